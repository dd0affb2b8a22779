#include "installer/rk50_services.h"

#include <chrono>

#include "archive/archive_library_deploy.h"
#include "common/platform/ux_process.h"
#include "common/ux_common.h"
#include "installer/rk50_package_install.h"
#include "installer/rk50_stp_common.h"
#include "installer/rk50_update_script.h"

namespace rk50 {

TProductionServices::~TProductionServices() {
  destroy_pool();
  join_all();
}

void TProductionServices::join_all() {
  std::vector<std::thread> jobs;
  {
    std::lock_guard<std::mutex> g(lock_);
    jobs.swap(jobs_);
  }
  for (auto& t : jobs) {
    if (t.joinable()) t.join();
  }
  std::vector<std::shared_ptr<TBackgroundRemoval>> removals;
  {
    std::lock_guard<std::mutex> g(lock_);
    removals.swap(removals_);
  }
  for (auto& r : removals) r->wait();
}

void TProductionServices::add_http_down_file(const std::string& url, const std::string& headers,
                                             const std::string& save_path, const std::string& tag,
                                             TDownloadEventFn on_event) {
  std::shared_ptr<ux::TUX_HTTP_Cli_pool_v3> pool;
  {
    std::lock_guard<std::mutex> g(lock_);
    if (!pool_) pool_ = ux::http_cli_pool();
    pool = pool_;
  }
  pool->SetActive(true);
  pool->add_http_down_file(url, headers, save_path, tag,
                           [on_event = std::move(on_event)](ux::TUX_HTTP_Cli_Request*, int32_t ev,
                                                            const std::string& data) {
                             if (on_event) on_event(ev, data);
                           });
}

void TProductionServices::set_pool_active(bool active) {
  std::lock_guard<std::mutex> g(lock_);
  if (pool_) pool_->SetActive(active);
}

void TProductionServices::lock_download_folder(const std::string& folder) {
  std::lock_guard<std::mutex> g(lock_);
  download_lock_.reset();
  download_lock_.emplace(folder, msg_download_busy_fmt);
}

void TProductionServices::release_download_folder() {
  std::lock_guard<std::mutex> g(lock_);
  download_lock_.reset();
}

void TProductionServices::destroy_pool() {
  std::shared_ptr<ux::TUX_HTTP_Cli_pool_v3> pool;
  {
    std::lock_guard<std::mutex> g(lock_);
    pool.swap(pool_);
  }
  if (pool) {
    pool->SetActive(false);
    ux::http_cli_pool_free();
    pool.reset();  // the last holder: joins the workers, frees the queued downloads
  }
  join_all();
}

void TProductionServices::deploy_archive_library(const std::string& self_dir) {
  // Extraction loads the carried copy, so a folder that cannot take the
  // library does not stop the installation.
  (void)ux::deploy_archive_library(self_dir);
}

void TProductionServices::install_package(const TFinishInstall& args, const TExtractProgressFn& progress,
                                          TCancelFlag& cancel) {
  TFinishResult r = rk50::install_package(args, progress, cancel);
  // The replaced files go while the front end reports the result.
  if (r.removal) {
    std::lock_guard<std::mutex> g(lock_);
    removals_.push_back(std::move(r.removal));
  }
}

std::vector<std::string> TProductionServices::apply_update_package(const std::string& package_path,
                                                                   const std::string& install_dir,
                                                                   const std::function<void()>& process_events,
                                                                   TCancelFlag& cancel) {
  return run_update_package(package_path, install_dir, process_events, cancel).notes;
}

void TProductionServices::run_background(std::function<void()> job) {
  std::lock_guard<std::mutex> g(lock_);
  jobs_.emplace_back([job = std::move(job)] {
    try {
      job();
    } catch (...) {
    }
  });
}

void TProductionServices::start_program(const std::string& path) {
  (void)ux::spawn_detached(ux::text_to_os(path), {});
}

void TProductionServices::pause_ms(int ms) {
  if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace rk50
