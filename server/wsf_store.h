// wsf_store: the WebSocket file server's storage — files below one root
// folder that no request name ever leaves, uploads written at their
// positions with resume after an interruption, downloads read at positions.
//
// An upload in progress lives beside its target as "<name>.wsf-part" with
// "<name>.wsf-info" (the announced size and fingerprint); the part becomes
// "<name>" when every byte is held. A later query with the same size and
// fingerprint resumes from the bytes already held.
//
// Thread-safety: the store may be used by many connections at once; each
// TUpload / TDownload belongs to one connection. One name has at most one
// upload in progress.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>

namespace ux {
class TShareFile;
}

namespace qlyn_wsf {

class TWsf_Store;

// One file being received.
class TWsf_Upload {
 public:
  ~TWsf_Upload();
  TWsf_Upload(const TWsf_Upload&) = delete;
  TWsf_Upload& operator=(const TWsf_Upload&) = delete;

  int64_t sum() const noexcept { return sum_; }
  // Bytes held from position 0 on without a gap.
  int64_t held() const noexcept { return held_; }
  const std::string& name() const noexcept { return name_; }

  // Writes data at pos. False, and nothing written, when the bytes do not
  // lie inside [0, sum) or would leave a gap after held(); an I/O error also
  // gives false.
  [[nodiscard]] bool write(int64_t pos, std::string_view data);
  // Puts the complete file in place. False with err when bytes are missing
  // or the rename fails.
  [[nodiscard]] bool finish(std::string& err);

 private:
  friend class TWsf_Store;
  TWsf_Upload() = default;

  TWsf_Store* store_ = nullptr;
  std::string name_;    // the request's name, for the busy set
  std::string target_;  // final path
  std::string part_;    // path of the part file
  std::string info_;    // path of the info file
  std::unique_ptr<ux::TShareFile> fh_;
  int64_t sum_ = 0;
  int64_t held_ = 0;
  bool done_ = false;
};

// One file being sent.
class TWsf_Download {
 public:
  ~TWsf_Download();
  int64_t size() const noexcept { return size_; }
  // Up to n bytes at pos (inside the size fixed at open); the count.
  int64_t read(int64_t pos, void* buf, int64_t n);

 private:
  friend class TWsf_Store;
  TWsf_Download() = default;
  std::unique_ptr<ux::TShareFile> fh_;
  int64_t size_ = 0;
};

class TWsf_Store {
 public:
  // The outcome of an upload query.
  struct TUploadQuery {
    bool ok = false;          // false: refused, see error
    bool exists = false;      // something is held already: resume at pos
    int64_t pos = 0;
    bool complete = false;    // the same file is already in place
    std::string error;
  };

  TWsf_Store() = default;
  TWsf_Store(const TWsf_Store&) = delete;
  TWsf_Store& operator=(const TWsf_Store&) = delete;

  // The folder to keep files in; false with err when it is not a folder.
  bool open(const std::string& root, std::string& err);
  const std::string& root() const noexcept { return root_; }
  // Largest file an upload may announce (default 64 GiB).
  void set_max_file_size(int64_t n) noexcept { max_file_size_ = n; }

  // Starts (or resumes) receiving name with sum bytes and fingerprint md5
  // (may be empty: then nothing is resumed). Null with q.error when the
  // name leaves the root or is reserved, sum is out of range, the name is
  // busy or the files cannot be made; also null when q.complete.
  std::unique_ptr<TWsf_Upload> begin_upload(const std::string& name, int64_t sum, const std::string& md5,
                                            TUploadQuery& q);
  // Opens name for sending; null with err ("file not exists" when there is
  // no such file below the root).
  std::unique_ptr<TWsf_Download> begin_download(const std::string& name, std::string& err);

 private:
  friend class TWsf_Upload;
  // The path of name below the root (folders created when create); empty
  // with err when it leaves the root or cannot be used.
  std::string resolve(const std::string& name, bool create, bool& exists, std::string& err);
  void release(const std::string& name);

  std::string root_;
  int64_t max_file_size_ = int64_t(64) << 30;
  std::mutex mu_;            // guards busy_ and folder creation
  std::set<std::string> busy_;
};

}  // namespace qlyn_wsf
