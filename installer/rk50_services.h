// rk50_services: the production IInstallerServices of qlyn-setup.
//
// Downloads run on the process-wide HTTP client pool (created by the first
// add_http_down_file, stopped by set_pool_active(false), destroyed — its
// workers joined — by destroy_pool). Extraction, the finishing steps and
// update mode are the package installation and update script units over the
// 7-Zip library deployed beside the executable.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "common/net/ux_http_cli_pool.h"

#include "installer/rk50_xe_stp_main.h"

namespace rk50 {

class TProductionServices : public IInstallerServices {
 public:
  TProductionServices() = default;
  // Destroys the pool, waits for the background jobs and for the deletion of
  // what installations replaced.
  ~TProductionServices() override;

  void add_http_down_file(const std::string& url, const std::string& headers,
                          const std::string& save_path, const std::string& tag,
                          TDownloadEventFn on_event) override;
  void set_pool_active(bool active) override;
  void lock_download_folder(const std::string& folder) override;
  void release_download_folder() override;
  void destroy_pool() override;
  void deploy_archive_library(const std::string& self_dir) override;
  void install_package(const TFinishInstall& args, const TExtractProgressFn& progress,
                       TCancelFlag& cancel) override;
  std::vector<std::string> apply_update_package(const std::string& package_path, const std::string& install_dir,
                                                const std::function<void()>& process_events,
                                                TCancelFlag& cancel) override;
  void run_background(std::function<void()> job) override;
  void start_program(const std::string& path) override;
  void pause_ms(int ms) override;

 private:
  void join_all();

  std::mutex lock_;  // guards jobs_, removals_, pool_ and download_lock_
  std::vector<std::thread> jobs_;
  std::vector<std::shared_ptr<TBackgroundRemoval>> removals_;
  std::shared_ptr<ux::TUX_HTTP_Cli_pool_v3> pool_;
  std::optional<TInstallLock> download_lock_;
};

}  // namespace rk50
