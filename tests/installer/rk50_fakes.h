// Recording fakes of the installer's two seams: a GUI that keeps the state
// of every control and logs each call, and services that record their calls
// and run background jobs on real threads.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/ux_common.h"
#include "installer/rk50_xe_stp_main.h"

namespace rk50_test {

using rk50::TControl;

class TRecordingGui : public rk50::IMainFormGui {
 public:
  TRecordingGui() : gui_thread_(std::this_thread::get_id()) {
    for (size_t i = 0; i < rk50::main_form_layout_count; ++i) {
      const auto& r = rk50::main_form_layout[i];
      left[r.control] = r.left;
      widths[r.control] = r.width;
    }
    widths[TControl::Form] = rk50::form_client_width;
  }

  void set_caption(const std::string& text) override {
    on_gui("caption=" + text);
    caption = text;
  }
  void set_text(TControl c, const std::string& text) override {
    on_gui(std::string(rk50::control_name(c)) + "=" + text);
    texts[c] = text;
  }
  std::string edit_text() override {
    check_thread();
    return texts[TControl::LabeledEdit1];
  }
  void set_visible(TControl c, bool v) override {
    on_gui(std::string(rk50::control_name(c)) + (v ? ".show" : ".hide"));
    visible[c] = v;
  }
  void set_button_enabled(bool e) override {
    on_gui(e ? "Button1.enable" : "Button1.disable");
    button_enabled = e;
  }
  void set_progress_range(int mn, int mx) override {
    on_gui("progress.range=" + std::to_string(mn) + ".." + std::to_string(mx));
    progress_min = mn;
    progress_max = mx;
  }
  void set_progress_position(int pos) override {
    on_gui("progress=" + std::to_string(pos));
    progress = pos;
  }
  void set_left(TControl c, int l) override {
    on_gui(std::string(rk50::control_name(c)) + ".left=" + std::to_string(l));
    left[c] = l;
  }
  int width(TControl c) override {
    check_thread();
    return widths[c];
  }
  bool confirm(const std::string& q) override {
    on_gui("confirm:" + q);
    return confirm_answer;
  }
  bool pick_folder(const std::string& start, std::string& chosen) override {
    on_gui("pick_folder:" + start);
    if (folder_answer.empty()) return false;
    chosen = folder_answer;
    return true;
  }
  void show_error(const std::string& text) override { on_gui("error:" + text); }
  void show_note(const std::string& text) override { on_gui("note:" + text); }
  void close_window() override {
    on_gui("close");
    closed = true;
  }
  void terminate_app() override {
    on_gui("terminate");
    terminated = true;
  }
  void process_messages() override {
    on_gui("process_messages");
    drain();
  }
  void post(std::function<void()> fn) override {
    std::lock_guard<std::mutex> g(queue_lock_);
    queue_.push_back(std::move(fn));
  }

  // Runs the posted changes on the calling (GUI) thread; returns their count.
  size_t drain() {
    std::deque<std::function<void()>> batch;
    {
      std::lock_guard<std::mutex> g(queue_lock_);
      batch.swap(queue_);
    }
    for (auto& fn : batch) fn();
    return batch.size();
  }
  size_t queued() {
    std::lock_guard<std::mutex> g(queue_lock_);
    return queue_.size();
  }
  bool logged(const std::string& entry) const {
    for (const auto& e : log) {
      if (e == entry) return true;
    }
    return false;
  }

  std::string caption;
  std::map<TControl, std::string> texts;
  std::map<TControl, bool> visible;
  std::map<TControl, int> left;
  std::map<TControl, int> widths;
  bool button_enabled = true;
  int progress_min = 0, progress_max = 100, progress = 0;
  bool confirm_answer = false;
  std::string folder_answer;
  bool closed = false;
  bool terminated = false;
  std::vector<std::string> log;
  std::atomic<int> off_thread_calls{0};

 private:
  void check_thread() {
    if (std::this_thread::get_id() != gui_thread_) ++off_thread_calls;
  }
  void on_gui(std::string entry) {
    check_thread();
    log.push_back(std::move(entry));
  }

  std::thread::id gui_thread_;
  std::mutex queue_lock_;
  std::deque<std::function<void()>> queue_;
};

class TRecordingServices : public rk50::IInstallerServices {
 public:
  struct TDownload {
    std::string url, headers, save_path, tag;
    rk50::TDownloadEventFn on_event;
  };

  ~TRecordingServices() override { join(); }

  void add_http_down_file(const std::string& url, const std::string& headers, const std::string& save_path,
                          const std::string& tag, rk50::TDownloadEventFn on_event) override {
    std::lock_guard<std::mutex> g(lock);
    downloads.push_back({url, headers, save_path, tag, std::move(on_event)});
    calls.push_back("add_http_down_file");
  }
  void set_pool_active(bool active) override {
    std::lock_guard<std::mutex> g(lock);
    calls.push_back(active ? "pool_active" : "pool_inactive");
  }
  void lock_download_folder(const std::string& folder) override {
    std::lock_guard<std::mutex> g(lock);
    calls.push_back("lock_download:" + folder);
    if (!download_lock_error.empty()) throw ux::Exception(download_lock_error);
  }
  void release_download_folder() override {
    std::lock_guard<std::mutex> g(lock);
    calls.push_back("release_download");
  }
  void destroy_pool() override {
    join();
    std::lock_guard<std::mutex> g(lock);
    calls.push_back("destroy_pool");
  }
  void deploy_archive_library(const std::string& self_dir) override {
    std::lock_guard<std::mutex> g(lock);
    calls.push_back("deploy:" + self_dir);
  }
  // Like the real one: progress while "extracting", then the point of no
  // return; an install_error or a cancellation before it leaves nothing
  // installed.
  void install_package(const rk50::TFinishInstall& args, const rk50::TExtractProgressFn& progress,
                       rk50::TCancelFlag& cancel) override {
    {
      std::lock_guard<std::mutex> g(lock);
      calls.push_back("install:" + args.saved_fname + "->" + args.dest_path);
    }
    if (on_extract) on_extract(progress);
    if (!install_error.empty()) throw ux::Exception(install_error);
    if (!cancel.complete()) throw rk50::TCancelled("cancelled");
    std::lock_guard<std::mutex> g(lock);
    installed.push_back(args);
  }
  std::vector<std::string> apply_update_package(const std::string& package, const std::string& install_dir,
                                                const std::function<void()>& process_events,
                                                rk50::TCancelFlag& cancel) override {
    {
      std::lock_guard<std::mutex> g(lock);
      calls.push_back("apply_update:" + package + "->" + install_dir);
    }
    process_events();
    if (!update_error.empty()) throw ux::Exception(update_error);
    if (!cancel.complete()) throw rk50::TCancelled("cancelled");
    return update_notes;
  }
  void run_background(std::function<void()> job) override {
    std::lock_guard<std::mutex> g(lock);
    calls.push_back("run_background");
    jobs.emplace_back(std::move(job));
  }
  void start_program(const std::string& path) override {
    std::lock_guard<std::mutex> g(lock);
    calls.push_back("start:" + path);
  }
  void pause_ms(int ms) override {
    std::lock_guard<std::mutex> g(lock);
    calls.push_back("pause:" + std::to_string(ms));
  }

  void join() {
    std::vector<std::thread> all;
    {
      std::lock_guard<std::mutex> g(lock);
      all.swap(jobs);
    }
    for (auto& t : all) t.join();
  }
  // Delivers a download event on a worker thread, as the pool does.
  void deliver(int32_t ev, const std::string& data, size_t index = 0) {
    rk50::TDownloadEventFn fn;
    {
      std::lock_guard<std::mutex> g(lock);
      fn = downloads.at(index).on_event;
    }
    std::thread([&] { fn(ev, data); }).join();
  }
  size_t count(const std::string& prefix) {
    std::lock_guard<std::mutex> g(lock);
    size_t n = 0;
    for (const auto& c : calls) n += c.compare(0, prefix.size(), prefix) == 0;
    return n;
  }
  std::vector<std::string> snapshot() {
    std::lock_guard<std::mutex> g(lock);
    return calls;
  }

  std::mutex lock;
  std::vector<std::string> calls;
  std::vector<TDownload> downloads;
  std::vector<rk50::TFinishInstall> installed;
  std::vector<std::thread> jobs;
  std::function<void(const rk50::TExtractProgressFn&)> on_extract;
  std::string install_error, update_error, download_lock_error;
  std::vector<std::string> update_notes;
};

// A worker stops at a point of its work until the test's thread has acted.
class TGate {
 public:
  // Worker: says it arrived, then waits for release.
  void arrive_and_wait() {
    std::unique_lock<std::mutex> l(m_);
    arrived_ = true;
    cv_.notify_all();
    cv_.wait_for(l, std::chrono::seconds(60), [&] { return released_; });
  }
  bool wait_arrival() {
    std::unique_lock<std::mutex> l(m_);
    return cv_.wait_for(l, std::chrono::seconds(60), [&] { return arrived_; });
  }
  void release() {
    std::lock_guard<std::mutex> l(m_);
    released_ = true;
    cv_.notify_all();
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  bool arrived_ = false, released_ = false;
};

}  // namespace rk50_test
