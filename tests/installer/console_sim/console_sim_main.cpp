// qlyn_setup_sim: the console front end over scripted services, for tests.
// QLYN_SIM_SCRIPT names a file of lines:
//   <ev> <json>            a download event, delivered in order on a worker
//   extract_error <text>   extraction raises text
//   finish_error <text>    the finishing steps raise text
//   update_error <text>    the update runner raises text
//   update_note <text>     the update runner reports a line passed over
// Installation writes <dest>win64/rk50cli_dsk; other service calls (the
// pool's included) are printed to stdout as "sim: ...".
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "installer/console/rk50_console.h"

namespace {

class TScriptedServices : public rk50::IInstallerServices {
 public:
  explicit TScriptedServices(const char* script) {
    if (!script) return;
    std::ifstream in(script);
    std::string line;
    while (std::getline(in, line)) {
      size_t sp = line.find(' ');
      std::string head = line.substr(0, sp);
      std::string rest = sp == std::string::npos ? "" : line.substr(sp + 1);
      if (head == "extract_error") extract_error_ = rest;
      else if (head == "finish_error") finish_error_ = rest;
      else if (head == "update_error") update_error_ = rest;
      else if (head == "update_note") update_notes_.push_back(rest);
      else if (!head.empty()) events_.emplace_back(std::atoi(head.c_str()), rest);
    }
  }
  ~TScriptedServices() override { join(); }

  void add_http_down_file(const std::string& url, const std::string&, const std::string& save_path,
                          const std::string& tag, rk50::TDownloadEventFn on_event) override {
    say("download " + url + " -> " + save_path + " [" + tag + "]");
    run_background([this, on_event] {
      for (const auto& [ev, data] : events_) on_event(ev, data);
    });
  }
  void set_pool_active(bool active) override { say(active ? "pool active" : "pool inactive"); }
  void lock_download_folder(const std::string&) override {}
  void release_download_folder() override {}
  void destroy_pool() override {
    join();
    say("destroy pool");
  }
  void deploy_archive_library(const std::string&) override {}
  void install_package(const rk50::TFinishInstall& a, const rk50::TExtractProgressFn& progress,
                       rk50::TCancelFlag& cancel) override {
    say("extract " + a.saved_fname + " -> " + a.dest_path);
    if (!extract_error_.empty()) throw std::runtime_error(extract_error_);
    if (progress) {
      progress(true, 6);
      progress(false, 6);
    }
    if (!finish_error_.empty()) throw std::runtime_error(finish_error_);
    if (!cancel.complete()) throw rk50::TCancelled("cancelled");
    std::filesystem::create_directories(a.dest_path + "win64");
    std::ofstream(a.dest_path + "win64/rk50cli_dsk") << "client";
    say("finish " + a.saved_fname + (a.delete_package ? " delete" : " keep"));
  }
  std::vector<std::string> apply_update_package(const std::string& package, const std::string& dir,
                                                const std::function<void()>& process_events,
                                                rk50::TCancelFlag& cancel) override {
    say("apply_update " + package + " -> " + dir);
    process_events();
    if (!update_error_.empty()) throw std::runtime_error(update_error_);
    if (!cancel.complete()) throw rk50::TCancelled("cancelled");
    return update_notes_;
  }
  void run_background(std::function<void()> job) override {
    std::lock_guard<std::mutex> g(lock_);
    jobs_.emplace_back(std::move(job));
  }
  void start_program(const std::string& path) override { say("start " + path); }
  void pause_ms(int ms) override { say("pause " + std::to_string(ms)); }

 private:
  void say(const std::string& s) {
    std::lock_guard<std::mutex> g(lock_);
    std::fprintf(stdout, "sim: %s\n", s.c_str());
    std::fflush(stdout);
  }
  void join() {
    std::vector<std::thread> all;
    {
      std::lock_guard<std::mutex> g(lock_);
      all.swap(jobs_);
    }
    for (auto& t : all) t.join();
  }

  std::vector<std::pair<int, std::string>> events_;
  std::string extract_error_, finish_error_, update_error_;
  std::vector<std::string> update_notes_;
  std::mutex lock_;
  std::vector<std::thread> jobs_;
};

}  // namespace

int main(int argc, char** argv) {
  rk50::TFrontendOptions options;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--yes") options.yes = true;
    else if (a == "--dir" && i + 1 < argc) options.dir = argv[++i];
    else if (a == "--package" && i + 1 < argc) options.start.package_file = argv[++i];
    else if (a != "--cli") options.start.args.push_back(a);
  }
  TScriptedServices services(std::getenv("QLYN_SIM_SCRIPT"));
  return rk50::run_console(options, services);
}
