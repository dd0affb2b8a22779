#include "common/ux_split_file.h"

#include <algorithm>
#include <filesystem>

#include "common/ux_common.h"

namespace ux {

namespace {

bool is_regular_file(const std::string& fname) {
  std::error_code ec;
  return !fname.empty() && std::filesystem::is_regular_file(text_to_os(fname), ec);
}

bool is_write_mode(std::string_view mode) { return ci_in_list(mode, {"rw", "readwrite", "wr"}); }

}  // namespace

std::string TUX_Splited_file::PartName(const std::string& fname, int64_t k) {
  return k == 0 ? fname : fname + "." + std::to_string(k);
}

std::unique_ptr<TUX_Splited_file> TUX_Splited_file::create(const std::string& fname,
                                                           std::string_view Mode,
                                                           int64_t f_part_size) {
  const bool writing = is_write_mode(Mode);
  if (fname.empty() || (!writing && !is_regular_file(fname))) return nullptr;
  std::unique_ptr<TUX_Splited_file> f(new TUX_Splited_file());
  f->FfileName = fname;
  f->rt.is_RW_mode = writing;
  if (writing && !is_regular_file(fname)) (void)TShareFile::OpenWrite(fname);
  f->scan_parts(f_part_size);
  return f;
}

std::unique_ptr<TUX_Splited_file> TUX_Splited_file::openRead(const std::string& fname,
                                                             int64_t f_part_size) {
  return create(fname, "r", f_part_size);
}

std::unique_ptr<TUX_Splited_file> TUX_Splited_file::OpenWrite(const std::string& fname,
                                                              int64_t f_part_size) {
  return create(fname, "rw", f_part_size);
}

TUX_Splited_file::~TUX_Splited_file() { close_part(); }

void TUX_Splited_file::scan_parts(int64_t f_part_size) {
  Fpart_size = f_part_size > 0 ? f_part_size : file_size(PartName(FfileName, 0));
  if (Fpart_size < 1) Fpart_size = kSplitDefaultPartSize;
  int64_t total = 0, count = 0;
  for (;; ++count) {
    const int64_t size = file_size(PartName(FfileName, count));
    if (size <= 0) break;
    total += std::min(size, Fpart_size);
    if (size != Fpart_size) {
      ++count;
      break;
    }
  }
  Fsize = total;
  rt.clip_count = std::max<int64_t>(count, 1);
  Fposition = 0;
}

void TUX_Splited_file::close_part() {
  rt.last_fh.reset();  // the destructor writes out the cache
}

bool TUX_Splited_file::open_part(int64_t idx) {
  close_part();
  if (idx < purged_below_) return false;
  const std::string name = PartName(FfileName, idx);
  if (rt.is_RW_mode) {
    rt.last_fh = TShareFile::OpenWrite(name);
  } else {
    if (!is_regular_file(name)) return false;
    rt.last_fh = TShareFile::TryOpenFileRead(name);
    if (!rt.last_fh) return false;
  }
  rt.last_idx = idx;
  rt.last_file_size = rt.last_fh->GetSize();
  rt.last_begin_pos = idx * Fpart_size;
  rt.last_end_pos = rt.last_begin_pos + Fpart_size;
  return true;
}

void TUX_Splited_file::prepare_write_part(int64_t idx) {
  close_part();
  // A hole before idx: the old last part and every missing one become full.
  for (int64_t k = rt.clip_count - 1; k < idx; ++k) {
    std::unique_ptr<TShareFile> part = TShareFile::OpenWrite(PartName(FfileName, k));
    if (k >= rt.clip_count) part->Reset();
    if (part->GetSize() < Fpart_size) part->SetSize(Fpart_size);
    Fsize = std::max(Fsize, (k + 1) * Fpart_size);
    rt.clip_count = std::max(rt.clip_count, k + 1);
  }
  open_part(idx);
  // A part beyond the old end may be left over from an earlier file.
  if (idx >= rt.clip_count) rt.last_fh->Reset();
}

int64_t TUX_Splited_file::ReadData(void* data, int64_t datalen) {
  if (data == nullptr || datalen <= 0) return 0;
  auto* p = static_cast<uint8_t*>(data);
  int64_t done = 0;
  while (done < datalen && Fposition < Fsize) {
    const int64_t idx = Fposition / Fpart_size;
    if ((!rt.last_fh || rt.last_idx != idx) && !open_part(idx)) break;
    const int64_t want = std::min(datalen - done, std::min(Fsize, rt.last_end_pos) - Fposition);
    if (rt.last_fh->Seek(Fposition - rt.last_begin_pos, TSeekOrigin::soBeginning) < 0) break;
    const int64_t n = rt.last_fh->Read(p + done, want);
    if (n <= 0) break;
    done += n;
    Fposition += n;
  }
  return done;
}

int64_t TUX_Splited_file::writeData(const void* data, int64_t datalen) {
  if (!rt.is_RW_mode || data == nullptr || datalen <= 0) return 0;
  const auto* p = static_cast<const uint8_t*>(data);
  int64_t done = 0;
  while (done < datalen) {
    const int64_t idx = Fposition / Fpart_size;
    if (!rt.last_fh || rt.last_idx != idx) prepare_write_part(idx);
    const int64_t want = std::min(datalen - done, rt.last_end_pos - Fposition);
    if (rt.last_fh->Seek(Fposition - rt.last_begin_pos, TSeekOrigin::soBeginning) < 0) break;
    const int64_t n = rt.last_fh->Write(p + done, want);
    if (n <= 0) break;
    done += n;
    Fposition += n;
    Fsize = std::max(Fsize, Fposition);
    rt.clip_count = std::max(rt.clip_count, idx + 1);
    if (n < want) break;
  }
  return done;
}

int64_t TUX_Splited_file::WriteData(const void* buf, int64_t count) {
  return writeData(buf, count);
}

void TUX_Splited_file::Setposition(int64_t value) {
  if (value < 0) return;
  Fposition = value;
  if (rt.last_fh && (value < rt.last_begin_pos || value >= rt.last_end_pos)) close_part();
}

void TUX_Splited_file::FlushBuffer() {
  if (rt.last_fh) rt.last_fh->FlushBuffer();
}

void TUX_Splited_file::Reserved() {
  const int64_t open_idx = rt.last_fh ? rt.last_idx : Fposition / Fpart_size;
  for (int64_t k = purged_below_; k < open_idx; ++k)
    (void)TShareFile::deleteFile(PartName(FfileName, k));
  purged_below_ = std::max(purged_below_, open_idx);
}

int32_t TUX_Splited_file::QueryInterface(std::string_view iid, void** obj) {
  if (obj == nullptr) return -1;
  if (iid == "IShareFile") {
    *obj = static_cast<IShareFile*>(this);
    AddRef();
    return 0;
  }
  *obj = nullptr;
  return -1;
}

int32_t TUX_Splited_file::AddRef() { return ++FRefCount; }

int32_t TUX_Splited_file::Release() {
  const int32_t r = --FRefCount;
  if (r == 0) delete this;
  return r;
}

int64_t TUX_Splited_file::ReadDataFrom(const std::string& fname, void* buf, int64_t buflen,
                                       int64_t offset) {
  if (buf == nullptr || buflen <= 0 || offset < 0) return 0;
  std::unique_ptr<TUX_Splited_file> f = openRead(fname, 0);
  if (!f) return 0;
  f->Setposition(offset);
  return f->ReadData(buf, buflen);
}

int64_t TUX_Splited_file::getFileLength(const std::string& fname) {
  std::unique_ptr<TUX_Splited_file> f = openRead(fname, 0);
  return f ? f->GetSize() : 0;
}

}  // namespace ux
