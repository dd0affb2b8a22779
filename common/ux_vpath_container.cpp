#include "common/ux_vpath_container.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>

#include "common/ux_common.h"
#include "common/ux_file_path.h"
#include "common/ux_root_path.h"
#include "common/ux_split_file.h"
#include "common/ux_stream.h"

namespace ux {

namespace {

constexpr const char kHeaderMagic[] = "#!RKFIDX,";
constexpr const char kItemPrefix[] = "#$-";
// Item lines are written to the index file in batches of this many.
constexpr int32_t kIndexBatchLines = 100;

// Size of the regular file at fname (links followed); -1 when there is none.
int64_t regular_file_size(const std::string& fname) {
  struct stat st;
  if (fname.empty() || ::stat(text_to_os(fname).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return st.st_size;
}

bool same_file(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  return !a.empty() && !b.empty() && ::stat(text_to_os(a).c_str(), &sa) == 0 &&
         ::stat(text_to_os(b).c_str(), &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

std::string escape_name(std::string_view s) {
  std::string out;
  out.reserve(s.size() + 8);
  for (char c : s) {
    switch (c) {
      case '%': out += "%25"; break;
      case '#': out += "%23"; break;
      case ',': out += "%2C"; break;
      case ':': out += "%3A"; break;
      case '"': out += "%22"; break;
      case '+': out += "%2B"; break;
      case '\r': out += "%0D"; break;
      case '\n': out += "%0A"; break;
      default: out += c;
    }
  }
  return out;
}

// A whole decimal number (optional "-"), nothing else.
bool parse_number(std::string_view s, int64_t& out) {
  if (s.empty()) return false;
  const auto r = std::from_chars(s.data(), s.data() + s.size(), out);
  return r.ec == std::errc() && r.ptr == s.data() + s.size();
}

enum class TNameCode { same, from_utf8, from_gbk };

std::string decode_name(std::string_view escaped, TNameCode code) {
  std::string s = url_decode(escaped);
  if (code == TNameCode::from_utf8) return utf8_to_text(s);
  if (code == TNameCode::from_gbk) return gbk_to_utf8(s);
  return s;
}

uint32_t le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void put_le32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Reads up to n bytes at pos of f; the count.
int64_t read_at(IShareFile& f, int64_t pos, void* buf, int64_t n) {
  f.SetPosition(pos);
  if (f.Position() != pos) return 0;
  auto* p = static_cast<uint8_t*>(buf);
  int64_t done = 0;
  while (done < n) {
    const int64_t got = f.ReadData(p + done, n - done);
    if (got <= 0) break;
    done += got;
  }
  return done;
}

int64_t read_at(TShareFile& f, int64_t pos, void* buf, int64_t n) {
  return read_at(static_cast<IShareFile&>(f), pos, buf, n);
}

}  // namespace

// ---------------------------------------------------------------- opening

TUX_VPath_in_File::~TUX_VPath_in_File() {
  if (is_RW_mode_) {
    try {
      (void)write_index(true);
    } catch (...) {
    }
  }
}

std::unique_ptr<TUX_VPath_in_File> TUX_VPath_in_File::openWrite(const std::string& idx_fname) {
  std::unique_ptr<TUX_VPath_in_File> c(new TUX_VPath_in_File());
  c->is_RW_mode_ = true;
  c->f_idx_fileName = idx_fname;
  c->f_utf8_mode = code_page() != CP_GBK;
  return c;
}

std::unique_ptr<TUX_VPath_in_File> TUX_VPath_in_File::openRead(const std::string& idx_fname,
                                                               const std::string& data_fname) {
  std::unique_ptr<TUX_VPath_in_File> c(new TUX_VPath_in_File());
  c->f_idx_fileName = idx_fname;
  c->f_data_fileName = data_fname;
  const int64_t idx_size = regular_file_size(idx_fname);
  if (idx_size < 0) {
    c->load_error_ = "index file not found";
    return c;
  }
  if (idx_size > kVPathMaxIndexText) {
    c->load_error_ = "index file too large";
    return c;
  }
  (void)c->load_index(read_file_text(idx_fname), regular_file_size(data_fname));
  return c;
}

std::unique_ptr<TUX_VPath_in_File> TUX_VPath_in_File::openReadFrom_1File(
    const std::string& vpath_data_fname, std::string* why) {
  std::unique_ptr<TShareFile> f;
  if (regular_file_size(vpath_data_fname) >= 0) f = TShareFile::TryOpenFileRead(vpath_data_fname);
  if (!f) {
    if (why) *why = "file not found";
    return nullptr;
  }
  std::unique_ptr<TUX_VPath_in_File> c = open_one_file(*f, vpath_data_fname, TDataKind::one_file, why);
  if (c) c->data_fh = TShareFileRef(f.release());
  return c;
}

std::unique_ptr<TUX_VPath_in_File> TUX_VPath_in_File::openReadFrom_Splited_File(
    const std::string& vpath_data_fname, std::string* why) {
  std::unique_ptr<TUX_Splited_file> f = TUX_Splited_file::openRead(vpath_data_fname, 0);
  if (!f) {
    if (why) *why = "file not found";
    return nullptr;
  }
  std::unique_ptr<TUX_VPath_in_File> c = open_one_file(*f, vpath_data_fname, TDataKind::split, why);
  if (c) c->data_fh = TShareFileRef(f.release());
  return c;
}

std::unique_ptr<TUX_VPath_in_File> TUX_VPath_in_File::open_one_file(IShareFile& f, const std::string& name,
                                                                    TDataKind kind, std::string* why) {
  std::unique_ptr<TUX_VPath_in_File> c(new TUX_VPath_in_File());
  c->f_idx_fileName = c->f_data_fileName = name;
  c->data_kind_ = kind;
  if (!c->load_one_file(f, why)) return nullptr;
  return c;
}

bool TUX_VPath_in_File::load_one_file(IShareFile& f, std::string* why) {
  const int64_t size = f.GetSize();
  uint8_t trailer[kVPathTrailerSize];
  if (size < kVPathTrailerSize ||
      read_at(f, size - kVPathTrailerSize, trailer, kVPathTrailerSize) != kVPathTrailerSize) {
    if (why) *why = "file too short for a container trailer";
    return false;
  }
  if (le32(trailer + 4) != kVPathMagic) {
    if (why) *why = "no container trailer";
    return false;
  }
  const int64_t idx_len = le32(trailer);
  const int64_t data_end = size - kVPathTrailerSize - idx_len;
  if (data_end < 0 || idx_len > kVPathMaxIndexText) {
    if (why) *why = "container index length out of range";
    return false;
  }
  std::string text(static_cast<size_t>(idx_len), '\0');
  if (read_at(f, data_end, text.data(), idx_len) != idx_len) {
    if (why) *why = "container index cannot be read";
    return false;
  }
  (void)load_index(text, data_end);
  return true;
}

int32_t TUX_VPath_in_File::load_index(const std::string& text, int64_t data_end) {
  std::lock_guard<std::recursive_mutex> g(xlock);
  file_item_list.clear();
  url_keys_.clear();
  RT = TRuntime{};
  data_end_ = 0;
  skipped_items_ = 0;
  load_error_.clear();
  bool have_header = false;
  TNameCode code = TNameCode::same;
  int64_t line_no = 0;
  auto skip = [&](const char* reason) {
    ++skipped_items_;
    load_error_ = "index line " + std::to_string(line_no) + ": " + reason;
  };
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find("\r\n", at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    at = end + 2;
    ++line_no;
    if (line.empty()) continue;
    if (!have_header) {
      if (!ci_prefix_equal(line, kHeaderMagic, sizeof kHeaderMagic - 1)) {
        load_error_ = "not a container index";
        return -1;
      }
      have_header = true;
      for (int k = 0; k < 3; ++k) (void)fetch_token(line, ",");
      const std::string enc = trim_text(fetch_token(line, ","));
      f_utf8_mode = ci_in_list(enc, {"utf-8", "utf8", "utf"});
      const bool process_utf8 = code_page() != CP_GBK;
      if (f_utf8_mode && !process_utf8) code = TNameCode::from_utf8;
      else if (ci_equal(enc, "gbk") && process_utf8) code = TNameCode::from_gbk;
      continue;
    }
    if (line.compare(0, sizeof kItemPrefix - 1, kItemPrefix) != 0) continue;
    line.erase(0, sizeof kItemPrefix - 1);
    (void)fetch_token(line, ",");
    (void)fetch_token(line, ",");
    TUX_vpath_File_item item;
    if (!parse_number(fetch_token(line, ","), item.pos_start) ||
        !parse_number(fetch_token(line, ","), item.fileSize)) {
      skip("bad number");
      continue;
    }
    int64_t item_end;
    if (item.pos_start < 0 || item.fileSize < 0 ||
        __builtin_add_overflow(item.pos_start, item.fileSize, &item_end)) {
      skip("negative offset or size");
      continue;
    }
    if (item.pos_start < data_end_) {
      skip("item overlaps an earlier one");
      continue;
    }
    if (data_end >= 0 && item_end > data_end) {
      skip("item past the data");
      continue;
    }
    item.file_url = decode_name(fetch_token(line, ","), code);
    item.phy_file = decode_name(fetch_token(line, ","), code);
    url_keys_.insert(lower_ascii(item.file_url));
    RT.Size += item.fileSize;
    data_end_ = item_end;
    file_item_list.push_back(std::move(item));
  }
  if (!have_header) {
    load_error_ = "not a container index";
    return -1;
  }
  RT.fileCount = static_cast<int32_t>(file_item_list.size());
  return RT.fileCount;
}

// ---------------------------------------------------------------- building

int32_t TUX_VPath_in_File::addFile(const std::string& file_url, const std::string& phy_file,
                                   int32_t /*compress_mode*/, int64_t size, bool is_check_exists) {
  if (!is_RW_mode_ || file_url.empty()) return -1;
  const int64_t phy_size = regular_file_size(phy_file);
  if (phy_size < 0) return -1;
  return add_item(file_url, phy_file, size > 0 ? size : phy_size, is_check_exists);
}

int32_t TUX_VPath_in_File::add_item(const std::string& file_url, const std::string& phy_file,
                                    int64_t size, bool is_check_exists) {
  if (size <= 0) return -1;
  {
    std::lock_guard<std::recursive_mutex> g(xlock);
    std::string key = lower_ascii(file_url);
    if (is_check_exists && url_keys_.count(key)) return 1;
    TUX_vpath_File_item item;
    item.pos_start = RT.Size;
    item.fileSize = size;
    item.file_url = file_url;
    item.phy_file = phy_file;
    file_item_list.push_back(std::move(item));
    url_keys_.insert(std::move(key));
    ++RT.fileCount;
    RT.Size += size;
    data_end_ = RT.Size;
  }
  (void)write_index(false);
  return 2;
}

int32_t TUX_VPath_in_File::addPath(const std::string& phy_path, bool is_include_sub_dir,
                                   int32_t /*compress_mode*/) {
  if (!is_RW_mode_ || phy_path.empty()) return -1;
  std::string path = replace_char(phy_path, '\\', '/');
  while (path.find("//") != std::string::npos) path = replace_all(path, "//", "/");
  if (path.back() != '/') path += '/';
  struct stat st;
  if (::stat(text_to_os(path).c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return -1;
  int32_t found = 0;
  std::string root;  // the walked folder as walk_dir spells it
  walk_dir(
      path, nullptr,
      [&](void*, const std::string& dir, bool is_dir, const std::string& name, bool&) {
        if (root.empty()) root = dir;
        if (is_dir) return;
        const std::string full = dir + name;
        const int64_t size = regular_file_size(full);
        if (size <= 0) return;
        ++found;
        (void)add_item("/" + dir.substr(root.size()) + name, full, size, true);
      },
      is_include_sub_dir);
  (void)write_index(true);
  return found;
}

void TUX_VPath_in_File::execute() {
  if (is_RW_mode_) (void)write_index(false);
}

std::string TUX_VPath_in_File::header_text(bool padded) const {
  std::string s = std::string(kHeaderMagic) + std::to_string(RT.fileCount) + "," +
                  std::to_string(RT.Size) + "," + (f_utf8_mode ? "utf8" : "gbk") + ",";
  if (padded) return s + std::string(kVPathHeaderPadding, ' ') + "\r\n";
  return s + "  ";
}

std::string TUX_VPath_in_File::index_line(int32_t i, bool with_phy) const {
  const TUX_vpath_File_item& it = file_item_list[static_cast<size_t>(i)];
  std::string s = std::string(kItemPrefix) + std::to_string(i + 1) + "," +
                  std::to_string(it.fileMode) + "," + std::to_string(it.pos_start) + "," +
                  std::to_string(it.fileSize) + "," + escape_name(it.file_url);
  if (with_phy) s += "," + escape_name(it.phy_file);
  return s + "\r\n";
}

int64_t TUX_VPath_in_File::write_index(bool forced) {
  std::lock_guard<std::recursive_mutex> g(xlock);
  if (!is_RW_mode_) return -1;
  const int64_t now = now_ms();
  if (!forced && now - RT.at_last_write_idx < kVPathIndexWriteInterval) return 0;
  RT.at_last_write_idx = now;
  std::string name = f_idx_fileName;
  if (on_save_idx_file) {
    try {
      if (!on_save_idx_file(name, forced)) return 0;
    } catch (...) {
      return 0;
    }
    if (name != f_idx_fileName) {
      f_idx_fileName = name;
      RT.writedItemIdx = 0;
    }
  }
  try {
    std::unique_ptr<TShareFile> f = TShareFile::OpenWrite(name);
    const std::string padded = header_text(true);
    if (RT.writedItemIdx == 0) {
      f->Reset();
      f->WriteBuffer(padded.data(), static_cast<int64_t>(padded.size()));
      header_line_len_ = static_cast<int64_t>(padded.size());
    } else {
      f->Seek(0, TSeekOrigin::soEnd);
    }
    std::string batch;
    while (RT.writedItemIdx < RT.fileCount) {
      const int32_t stop = std::min(RT.fileCount, RT.writedItemIdx + kIndexBatchLines);
      batch.clear();
      for (int32_t i = RT.writedItemIdx; i < stop; ++i) batch += index_line(i, true);
      f->WriteBuffer(batch.data(), static_cast<int64_t>(batch.size()));
      RT.writedItemIdx = stop;
    }
    // The final header in place: blanks fill the rest of the padded line.
    std::string header = header_text(false);
    if (static_cast<int64_t>(header.size()) + 2 <= header_line_len_)
      header.append(static_cast<size_t>(header_line_len_ - 2 - static_cast<int64_t>(header.size())), ' ');
    f->Seek(0, TSeekOrigin::soBeginning);
    f->WriteBuffer(header.data(), static_cast<int64_t>(header.size()));
    f->FlushBuffer();
    return f->GetSize();
  } catch (const Exception&) {
    return -1;
  }
}

// ---------------------------------------------------------------- reading

int32_t TUX_VPath_in_File::find_item(int64_t pos) const {
  auto it = std::upper_bound(file_item_list.begin(), file_item_list.end(), pos,
                             [](int64_t p, const TUX_vpath_File_item& item) { return p < item.pos_start; });
  if (it == file_item_list.begin()) return -1;
  --it;
  return it->posInFile(pos) ? static_cast<int32_t>(it - file_item_list.begin()) : -1;
}

void TUX_VPath_in_File::Setposition(int64_t value) { RT.position = value; }

bool TUX_VPath_in_File::phy_readable(int32_t idx) {
  if (data_kind_ != TDataKind::separate) return false;
  if (is_RW_mode_ || (phy_idx_ == idx && phy_fh_)) return true;
  std::string phy;
  {
    std::lock_guard<std::recursive_mutex> g(xlock);
    if (idx < 0 || idx >= static_cast<int32_t>(file_item_list.size())) return false;
    phy = file_item_list[static_cast<size_t>(idx)].phy_file;
  }
  return regular_file_size(phy) >= 0;
}

int64_t TUX_VPath_in_File::read_phy(int32_t idx, int64_t off, void* buf, int64_t n) {
  if (phy_idx_ != idx) {
    phy_fh_.reset();
    phy_idx_ = idx;
    std::string phy;
    {
      std::lock_guard<std::recursive_mutex> g(xlock);
      phy = file_item_list[static_cast<size_t>(idx)].phy_file;
    }
    if (regular_file_size(phy) >= 0) phy_fh_ = TShareFile::TryOpenFileRead(phy);
  }
  int64_t got = phy_fh_ ? read_at(*phy_fh_, off, buf, n) : 0;
  if (got < n) std::memset(static_cast<uint8_t*>(buf) + got, 0, static_cast<size_t>(n - got));
  return n;
}

int64_t TUX_VPath_in_File::read_data_file(int64_t pos, void* buf, int64_t n) {
  std::lock_guard<std::mutex> g(data_lock_);
  if (!data_fh && !data_open_failed_) {
    std::unique_ptr<TShareFile> f;
    if (regular_file_size(f_data_fileName) >= 0) f = TShareFile::TryOpenFileRead(f_data_fileName);
    if (f) data_fh = TShareFileRef(f.release());
    else data_open_failed_ = true;
  }
  if (!data_fh) return 0;
  return read_at(*data_fh.get(), pos, buf, n);
}

int32_t TUX_VPath_in_File::ReadData(void* buf, int32_t buflen, bool is_full_fill_buf) {
  if (buf == nullptr || buflen <= 0) return 0;
  auto* out = static_cast<uint8_t*>(buf);
  int32_t total = 0;
  TUX_vpath_File_item item;
  int32_t idx;
  int64_t data_end;
  {
    std::lock_guard<std::recursive_mutex> g(xlock);
    idx = find_item(RT.position);
    if (idx < 0) return 0;
    item = file_item_list[static_cast<size_t>(idx)];
    data_end = data_end_;
  }
  if (!phy_readable(idx)) {
    const int64_t want = std::min<int64_t>(buflen, data_end - RT.position);
    const int64_t got = read_data_file(RT.position, out, want);
    RT.position += got;
    return static_cast<int32_t>(got);
  }
  for (;;) {
    const int64_t n = std::min<int64_t>(buflen - total, item.pos_start + item.fileSize - RT.position);
    (void)read_phy(idx, RT.position - item.pos_start, out + total, n);
    total += static_cast<int32_t>(n);
    RT.position += n;
    if (!is_full_fill_buf || total >= buflen) break;
    {
      std::lock_guard<std::recursive_mutex> g(xlock);
      idx = find_item(RT.position);
      if (idx < 0) break;
      item = file_item_list[static_cast<size_t>(idx)];
    }
    if (!phy_readable(idx)) break;
  }
  return total;
}

// ---------------------------------------------------------------- extraction

TShareFileRef TUX_VPath_in_File::open_data_source(TFunc_open_vpath_file func_open_file) {
  if (func_open_file) {
    try {
      return TShareFileRef(func_open_file(f_data_fileName));
    } catch (...) {
      return {};
    }
  }
  if (data_kind_ == TDataKind::split) {
    try {
      return TShareFileRef(TUX_Splited_file::openRead(f_data_fileName, 0).release());
    } catch (const Exception&) {
      return {};
    }
  }
  if (regular_file_size(f_data_fileName) < 0) return {};
  return TShareFileRef(TShareFile::TryOpenFileRead(f_data_fileName).release());
}

bool TUX_VPath_in_File::copy_item_to(IShareFile& src, const TUX_vpath_File_item& item,
                                     const std::string& target, bool fresh) {
  bool ok = false;
  try {
    std::unique_ptr<TShareFile> out = TShareFile::OpenWrite(target);
    if (!fresh) out->Reset();
    src.SetPosition(item.pos_start);
    int64_t left = item.fileSize;
    if (src.Position() == item.pos_start) {
      std::vector<uint8_t> chunk(static_cast<size_t>(std::min<int64_t>(left, kVPathExtractChunk)));
      while (left > 0) {
        const int64_t n = src.ReadData(chunk.data(), std::min<int64_t>(left, kVPathExtractChunk));
        if (n <= 0 || out->Write(chunk.data(), n) != n) break;
        left -= n;
      }
    }
    out->FlushBuffer();
    ok = left == 0;
  } catch (...) {
    ok = false;
  }
  if (!ok) (void)TShareFile::deleteFile(target);
  return ok;
}

TUX_vpath_extract_result TUX_VPath_in_File::ExtractToPath(const std::string& dest_path,
                                                          void* userData,
                                                          TFunc_vpath_each_file func,
                                                          TFunc_open_vpath_file func_open_file,
                                                          bool purge_old_file) {
  TUX_vpath_extract_result r;
  std::string root = replace_char(dest_path, '\\', '/');
  if (root.empty()) {
    r.status = -1;
    return r;
  }
  if (root.back() != '/') root += '/';
  force_dirs(root);
  struct stat st;
  if (::stat(text_to_os(root).c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    r.status = -1;
    return r;
  }
  TShareFileRef src = open_data_source(func_open_file);
  if (!src) {
    r.status = -2;
    return r;
  }
  TUX_Root_Path folders(root);
  std::vector<std::string> parts;
  for (const TUX_vpath_File_item& item : items()) {
    if (item.file_url.empty()) continue;
    std::string target;
    bool exists = false;
    if (func) {
      target = root + "vtmp." + random_digits(30);
      exists = true;
    } else {
      const TUX_Root_Path::TCheck c = split_relative_path(item.file_url, parts)
                                          ? folders.resolve(parts, true, target, exists)
                                          : TUX_Root_Path::TCheck::refused;
      if (c == TUX_Root_Path::TCheck::refused) r.refused.push_back(item.file_url);
      if (c == TUX_Root_Path::TCheck::failed) ++r.failed;
      if (c != TUX_Root_Path::TCheck::ok) continue;
    }
    if (!copy_item_to(*src.get(), item, target, !exists)) {
      ++r.failed;
      continue;
    }
    ++r.extracted;
    if (purge_old_file) src->Reserved();
    if (func) {
      try {
        (void)func(item.file_url, target, userData);
      } catch (...) {
      }
    }
  }
  return r;
}

bool TUX_VPath_in_File::copyFileOut(const std::string& file_url, const std::string& dest_file) {
  TUX_vpath_File_item found;
  bool have = false;
  for (const TUX_vpath_File_item& it : items()) {
    if (ci_equal(it.file_url, file_url)) {
      found = it;
      have = true;
      break;
    }
  }
  if (!have) return false;
  const int64_t saved = RT.position;
  bool ok = false;
  try {
    force_dirs(TUX_Path::ExtractFilePath(dest_file, "/"));
    std::unique_ptr<TShareFile> out = TShareFile::OpenWrite(dest_file);
    out->Reset();
    std::vector<uint8_t> chunk(kVPathCopyChunk);
    RT.position = found.pos_start;
    int64_t left = found.fileSize;
    while (left > 0) {
      const int32_t n = ReadData(chunk.data(), static_cast<int32_t>(std::min<int64_t>(left, kVPathCopyChunk)), false);
      if (n <= 0 || out->Write(chunk.data(), n) != n) break;
      left -= n;
    }
    out->FlushBuffer();
    ok = left == 0;
  } catch (...) {
    ok = false;
  }
  RT.position = saved;
  if (!ok) (void)TShareFile::deleteFile(dest_file);
  return ok;
}

// ---------------------------------------------------------------- saving

int64_t TUX_VPath_in_File::SaveIdxFileOut(TStream& dest_idx, bool is_include_phy_file_info) {
  std::string text;
  {
    std::lock_guard<std::recursive_mutex> g(xlock);
    text = header_text(false) + "\r\n";
    for (int32_t i = 0; i < RT.fileCount; ++i) text += index_line(i, is_include_phy_file_info);
  }
  const int64_t n = dest_idx.Write(text.data(), static_cast<int64_t>(text.size()));
  return n > 0 ? n : 0;
}

int64_t TUX_VPath_in_File::SaveIdxFileOut(const std::string& dest_idx_fname, int64_t& idx_fsize,
                                          bool is_include_phy_file_info) {
  if (dest_idx_fname.empty()) {
    idx_fsize = write_index(true);
    return idx_fsize;
  }
  std::string text;
  int32_t count;
  {
    std::lock_guard<std::recursive_mutex> g(xlock);
    count = RT.fileCount;
    text = header_text(false) + "\r\n";
    for (int32_t i = 0; i < count; ++i) text += index_line(i, is_include_phy_file_info);
  }
  if (write_text_to_file(text, dest_idx_fname) < 0) {
    idx_fsize = 0;
    return -1;
  }
  idx_fsize = static_cast<int64_t>(text.size());
  return count;
}

int64_t TUX_VPath_in_File::SaveAll_to_1File(const std::string& dest_fname) {
  std::lock_guard<std::recursive_mutex> g(xlock);
  // Writing over one of its own inputs would destroy them.
  if (regular_file_size(dest_fname) >= 0) {
    const std::string data_name = data_kind_ == TDataKind::split
                                      ? TUX_Splited_file::PartName(f_data_fileName, 0)
                                      : f_data_fileName;
    if (same_file(dest_fname, data_name)) return -1;
    for (const TUX_vpath_File_item& it : file_item_list)
      if (same_file(dest_fname, it.phy_file)) return -1;
  }
  try {
    std::unique_ptr<TShareFile> out = TShareFile::OpenWrite(dest_fname);
    out->Reset();
    std::vector<uint8_t> chunk(kVPathCopyChunk);
    int64_t pos = 0;
    for (size_t i = 0; i < file_item_list.size(); ++i) {
      TUX_vpath_File_item& it = file_item_list[i];
      const auto idx = static_cast<int32_t>(i);
      std::unique_ptr<TShareFile> phy;
      const bool from_phy = phy_readable(idx);
      if (from_phy) phy = TShareFile::TryOpenFileRead(it.phy_file);
      int64_t done = 0;
      while (done < it.fileSize) {
        const int64_t want = std::min<int64_t>(it.fileSize - done, kVPathCopyChunk);
        int64_t n = 0;
        if (phy) n = read_at(*phy, done, chunk.data(), want);
        else if (!from_phy) n = read_data_file(it.pos_start + done, chunk.data(), want);
        if (n <= 0) break;
        out->WriteBuffer(chunk.data(), n);
        done += n;
      }
      it.pos_start = pos;
      it.fileSize = done;
      pos += done;
    }
    RT.Size = pos;
    data_end_ = pos;
    phy_fh_.reset();
    phy_idx_ = -1;
    // The items moved: a container being built rewrites its whole index.
    RT.writedItemIdx = 0;
    std::string text = header_text(false) + "\r\n";
    for (int32_t i = 0; i < RT.fileCount; ++i) text += index_line(i, false);
    if (static_cast<int64_t>(text.size()) > kVPathMaxIndexText) return -1;
    uint8_t trailer[kVPathTrailerSize];
    put_le32(trailer, static_cast<uint32_t>(text.size()));
    put_le32(trailer + 4, kVPathMagic);
    out->WriteBuffer(text.data(), static_cast<int64_t>(text.size()));
    out->WriteBuffer(trailer, kVPathTrailerSize);
    out->FlushBuffer();
    out->SetSize(out->Position());
    return pos;
  } catch (const Exception&) {
    return -1;
  }
}

std::string TUX_VPath_in_File::ReadPathInfo(const std::string& idx_fname) {
  const std::string missing = build_json_text({"ret", -404});
  char buf[128];
  const int64_t n = TShareFile::ReadBufFromFile(idx_fname, buf, sizeof buf, 0);
  if (n <= 0) return missing;
  std::string line(buf, static_cast<size_t>(n));
  const size_t lf = line.find('\n');
  if (lf != std::string::npos) line.resize(lf);
  if (ci_pos("RKFIDX", line) == 0) return missing;
  (void)fetch_token(line, ",");
  const std::string count_text = trim_text(fetch_token(line, ","));
  const std::string size_text = trim_text(fetch_token(line, ","));
  int64_t count, data_size;
  if (!parse_number(count_text, count) || !parse_number(size_text, data_size) || count < 0 ||
      data_size < 0)
    return missing;
  std::string json = "{\"ret\":1,\"file_count\":" + std::to_string(count) + ",\"date\":\"" +
                     datetime_text(now_datetime(), false) + "\"}";
  (void)json_text_set_int(json, "data-size", data_size);
  (void)json_text_set_int(json, "size", std::max<int64_t>(file_size(idx_fname), 0) + data_size +
                                            kVPathTrailerSize);
  return json;
}

// ---------------------------------------------------------------- items

void TUX_VPath_in_File::clear() {
  std::lock_guard<std::recursive_mutex> g(xlock);
  file_item_list.clear();
  url_keys_.clear();
  RT.fileCount = 0;
  RT.Size = 0;
  RT.writedItemIdx = 0;
  data_end_ = 0;
  phy_fh_.reset();
  phy_idx_ = -1;
}

int32_t TUX_VPath_in_File::fileCount() {
  std::lock_guard<std::recursive_mutex> g(xlock);
  return RT.fileCount;
}

int64_t TUX_VPath_in_File::Size() {
  std::lock_guard<std::recursive_mutex> g(xlock);
  return RT.Size;
}

bool TUX_VPath_in_File::item(int32_t i, TUX_vpath_File_item& out) {
  std::lock_guard<std::recursive_mutex> g(xlock);
  if (i < 0 || i >= static_cast<int32_t>(file_item_list.size())) return false;
  out = file_item_list[static_cast<size_t>(i)];
  return true;
}

std::vector<TUX_vpath_File_item> TUX_VPath_in_File::items() {
  std::lock_guard<std::recursive_mutex> g(xlock);
  return file_item_list;
}

}  // namespace ux
