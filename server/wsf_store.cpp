#include "server/wsf_store.h"

#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstdlib>

#include "common/net/ux_ws_file_proto.h"
#include "common/ux_common.h"
#include "common/ux_file_io.h"
#include "common/ux_root_path.h"

namespace qlyn_wsf {

namespace {

constexpr std::string_view kPartSuffix = ".wsf-part";
constexpr std::string_view kInfoSuffix = ".wsf-info";

bool ends_with(std::string_view s, std::string_view tail) {
  return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

}  // namespace

// ---------------------------------------------------------------- TWsf_Upload

TWsf_Upload::~TWsf_Upload() {
  fh_.reset();  // writes out the cache; the part stays for a resume
  if (store_) store_->release(target_);
}

bool TWsf_Upload::write(int64_t pos, std::string_view data) {
  const auto len = static_cast<int64_t>(data.size());
  if (done_ || !fh_ || !ux::ws_file_range_ok(pos, len, sum_) || pos > held_) return false;
  try {
    if (fh_->Seek(pos, ux::TSeekOrigin::soBeginning) != pos) return false;
    if (fh_->Write(data.data(), len) != len) return false;
  } catch (const ux::Exception&) {
    return false;
  }
  held_ = std::max(held_, pos + len);
  return true;
}

bool TWsf_Upload::finish(std::string& err) {
  if (done_) return true;
  if (!fh_ || held_ != sum_) {
    err = "upload incomplete: " + std::to_string(held_) + " of " + std::to_string(sum_) + " bytes";
    return false;
  }
  try {
    fh_->FlushBuffer();
    fh_.reset();
  } catch (const ux::Exception& e) {
    err = e.what();
    return false;
  }
  if (!ux::TShareFile::MoveFile(part_, target_)) {
    err = "cannot move the received file into place";
    return false;
  }
  (void)ux::TShareFile::deleteFile(info_);
  done_ = true;
  return true;
}

// ---------------------------------------------------------------- TWsf_Download

TWsf_Download::~TWsf_Download() = default;

int64_t TWsf_Download::read(int64_t pos, void* buf, int64_t n) {
  if (!fh_ || buf == nullptr || pos < 0 || pos >= size_ || n <= 0) return 0;
  n = std::min(n, size_ - pos);
  if (fh_->Seek(pos, ux::TSeekOrigin::soBeginning) != pos) return 0;
  auto* p = static_cast<char*>(buf);
  int64_t got = 0;
  while (got < n) {
    const int64_t r = fh_->Read(p + got, n - got);
    if (r <= 0) break;
    got += r;
  }
  return got;
}

// ---------------------------------------------------------------- TWsf_Store

bool TWsf_Store::open(const std::string& root, std::string& err) {
  char real[PATH_MAX];
  struct stat st;
  if (root.empty() || ::realpath(ux::text_to_os(root).c_str(), real) == nullptr || ::stat(real, &st) != 0 ||
      !S_ISDIR(st.st_mode)) {
    err = "not a folder: " + root;
    return false;
  }
  root_ = ux::os_to_text(real);
  if (root_.back() != '/') root_ += '/';
  return true;
}

std::string TWsf_Store::resolve(const std::string& name, bool create, bool& exists, std::string& err) {
  exists = false;
  std::vector<std::string> parts;
  if (root_.empty() || !ux::split_relative_path(name, parts)) {
    err = "name outside the file root: " + name;
    return {};
  }
  if (ends_with(parts.back(), kPartSuffix) || ends_with(parts.back(), kInfoSuffix)) {
    err = "reserved name: " + name;
    return {};
  }
  ux::TUX_Root_Path r(root_);
  std::string target;
  switch (r.resolve(parts, create, target, exists)) {
    case ux::TUX_Root_Path::TCheck::ok:
      break;
    case ux::TUX_Root_Path::TCheck::refused:
      err = "name leads through a symbolic link: " + name;
      return {};
    default:
      err = create ? "cannot create " + name : "file not exists";
      return {};
  }
  // The part and info files beside it must be plain files too.
  for (std::string_view suffix : {kPartSuffix, kInfoSuffix}) {
    std::vector<std::string> side = parts;
    side.back() += suffix;
    std::string path;
    bool side_exists;
    if (r.resolve(side, false, path, side_exists) != ux::TUX_Root_Path::TCheck::ok) {
      err = "cannot use " + name;
      return {};
    }
  }
  return target;
}

void TWsf_Store::release(const std::string& name) {
  std::lock_guard<std::mutex> g(mu_);
  busy_.erase(name);
}

std::unique_ptr<TWsf_Upload> TWsf_Store::begin_upload(const std::string& name, int64_t sum,
                                                      const std::string& md5, TUploadQuery& q) {
  q = TUploadQuery{};
  if (sum <= 0 || sum > max_file_size_) {
    q.error = "file size out of range: " + std::to_string(sum);
    return nullptr;
  }
  bool exists = false;
  const std::string target = resolve(name, true, exists, q.error);
  if (target.empty()) return nullptr;
  {
    std::lock_guard<std::mutex> g(mu_);
    if (!busy_.insert(target).second) {
      q.error = "an upload of this file is in progress";
      return nullptr;
    }
  }
  std::unique_ptr<TWsf_Upload> up(new TWsf_Upload());
  up->store_ = this;
  up->target_ = target;
  up->name_ = name;
  up->part_ = target + std::string(kPartSuffix);
  up->info_ = target + std::string(kInfoSuffix);
  up->sum_ = sum;
  if (exists && ux::file_size(target) == sum && !md5.empty() && ux::file_fingerprint(target) == md5) {
    q.ok = q.exists = q.complete = true;
    q.pos = sum;
    return nullptr;  // releases the name
  }
  const std::string info = ux::read_file_text(up->info_);
  int64_t held = 0;
  if (!md5.empty() && ux::json_text_int(info, "sum", -1) == sum && ux::json_text_field(info, "md5") == md5)
    held = std::min<int64_t>(ux::file_size(up->part_), sum);
  try {
    if (ux::write_text_to_file(ux::build_json_text({"sum", sum, "md5", md5}), up->info_) < 0) {
      q.error = "cannot write " + name;
      return nullptr;
    }
    up->fh_ = ux::TShareFile::OpenWrite(up->part_);
    if (up->fh_->GetSize() != held) up->fh_->SetSize(held);
  } catch (const ux::Exception& e) {
    q.error = e.what();
    return nullptr;
  }
  up->held_ = held;
  q.ok = true;
  q.exists = held > 0;
  q.pos = held;
  return up;
}

std::unique_ptr<TWsf_Download> TWsf_Store::begin_download(const std::string& name, std::string& err) {
  bool exists = false;
  const std::string target = resolve(name, false, exists, err);
  if (target.empty()) return nullptr;
  if (!exists) {
    err = "file not exists";
    return nullptr;
  }
  std::unique_ptr<TWsf_Download> d(new TWsf_Download());
  d->fh_ = ux::TShareFile::TryOpenFileRead(target);
  if (!d->fh_) {
    err = "cannot read " + name;
    return nullptr;
  }
  d->size_ = d->fh_->GetSize();
  return d;
}

}  // namespace qlyn_wsf
