#include "installer/rk50_services.h"

#include <chrono>

#include "common/platform/ux_process.h"
#include "common/ux_common.h"

namespace rk50 {

TProductionServices::~TProductionServices() { join_all(); }

void TProductionServices::join_all() {
  std::vector<std::thread> jobs;
  {
    std::lock_guard<std::mutex> g(lock_);
    jobs.swap(jobs_);
  }
  for (auto& t : jobs) {
    if (t.joinable()) t.join();
  }
}

void TProductionServices::add_http_down_file(const std::string& /*url*/, const std::string& /*headers*/,
                                             const std::string& /*save_path*/, const std::string& tag,
                                             TDownloadEventFn on_event) {
  std::string data = ux::build_json_text({"cmd", "download_fail", "tag", tag, "reason", "not_available"});
  run_background([on_event = std::move(on_event), data] {
    if (on_event) on_event(104, data);
  });
}

void TProductionServices::set_pool_active(bool /*active*/) {}

void TProductionServices::destroy_pool() { join_all(); }

void TProductionServices::deploy_archive_library(const std::string& /*self_dir*/) {}

void TProductionServices::extract_package(const std::string& /*archive_path*/,
                                          const std::string& /*dest_path*/,
                                          const TExtractProgressFn& /*progress*/) {
  throw ux::Exception("package extraction is not available in this build");
}

void TProductionServices::finish_install(const TFinishInstall& /*args*/) {
  throw ux::Exception("package installation is not available in this build");
}

void TProductionServices::apply_update_package(const std::string& /*package_path*/,
                                               const std::string& /*install_dir*/,
                                               const std::function<void()>& /*process_events*/) {
  throw ux::Exception("update packages are not supported in this build");
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

void TProductionServices::start_program(const std::string& path) { (void)ux::spawn_detached(path, {}); }

void TProductionServices::pause_ms(int ms) {
  if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace rk50
