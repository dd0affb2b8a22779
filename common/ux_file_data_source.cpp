#include "common/ux_file_data_source.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

#include "common/ext_mem.h"
#include "common/ux_file_io.h"
#include "common/ux_stream.h"
#include "common/ux_vpath_container.h"

namespace ux {

// ---------------------------------------------------------------- TUX_Data_source_base

int64_t TUX_Data_source_base::CopyDataTo(TStream& st, int64_t offset, int64_t size) {
  offset = std::max<int64_t>(offset, 0);
  if (size <= 0) return 0;
  std::vector<char> chunk(static_cast<size_t>(std::min<int64_t>(size, kDataSourceCopyChunk)));
  int64_t done = 0;
  while (done < size) {
    const auto want = static_cast<int32_t>(std::min<int64_t>(size - done, kDataSourceCopyChunk));
    const int32_t got = ReadData(chunk.data(), want, offset + done);
    if (got <= 0) break;
    const int64_t put = st.Write(chunk.data(), got);
    if (put > 0) done += put;
    if (put != got) break;
  }
  return done;
}

void TUX_Data_source_release::operator()(TUX_Data_source_base* ds) const noexcept {
  if (ds != nullptr && ds->FreeMe()) delete ds;
}

// ---------------------------------------------------------------- TUX_Data_source_File_ex

TUX_Data_source_File_ex::TUX_Data_source_File_ex(std::string fname, int64_t size)
    : fileName(std::move(fname)) {
  f_size = size;
}

TUX_Data_source_File_ex::~TUX_Data_source_File_ex() = default;

std::unique_ptr<TUX_Data_source_File_ex> TUX_Data_source_File_ex::CreateFileDataSource(
    const std::string& fname, bool freeMe) {
  std::unique_ptr<TShareFile> f = TShareFile::TryOpenFileRead(fname);
  if (!f) return nullptr;
  std::unique_ptr<TUX_Data_source_File_ex> ds(new TUX_Data_source_File_ex(fname, f->GetSize()));
  ds->fh = std::move(f);
  ds->f_free_me = freeMe;
  return ds;
}

int32_t TUX_Data_source_File_ex::ReadData(void* buf, int32_t buflen, int64_t offset) {
  if (buflen <= 0) return 0;
  if (buf == nullptr || offset < 0) return -1;
  if (offset >= f_size) return 0;
  const int64_t want = std::min<int64_t>(buflen, f_size - offset);
  fh->lockEnter();
  int64_t got = 0;
  if (fh->Seek(offset, TSeekOrigin::soBeginning) == offset) {
    auto* p = static_cast<char*>(buf);
    while (got < want) {
      const int64_t n = fh->Read(p + got, want - got);
      if (n <= 0) break;
      got += n;
    }
  }
  fh->lockExit();
  return static_cast<int32_t>(got);
}

// ---------------------------------------------------------------- TUX_Data_source_vpath_file_2in1

TUX_Data_source_vpath_file_2in1::~TUX_Data_source_vpath_file_2in1() {
  if (owns_vpath_) delete vpath_;
}

std::unique_ptr<TUX_Data_source_vpath_file_2in1> TUX_Data_source_vpath_file_2in1::make(
    TUX_VPath_in_File* vp, bool owns, bool freeMe) {
  std::unique_ptr<TUX_VPath_in_File> owned(owns ? vp : nullptr);
  if (vp == nullptr) return nullptr;
  std::unique_ptr<TUX_Data_source_vpath_file_2in1> ds(new TUX_Data_source_vpath_file_2in1());
  if (vp->is_RW_mode()) {
    int64_t idx_size = 0;
    if (vp->SaveIdxFileOut(std::string(), idx_size, true) < 0) return nullptr;
  }
  int64_t idx_size;
  if (vp->is_one_file_form()) {
    Tfifo_Mem_stream st;
    (void)vp->SaveIdxFileOut(st, false);
    ds->idx_text_ = st.asString();
    idx_size = static_cast<int64_t>(ds->idx_text_.size());
  } else {
    ds->idx_file = TShareFile::TryOpenFileRead(vp->idx_fileName());
    if (!ds->idx_file) return nullptr;
    idx_size = ds->idx_file->GetSize();
  }
  if (idx_size <= 0 || idx_size > INT32_MAX) return nullptr;
  ds->idx_file_size = static_cast<int32_t>(idx_size);
  ds->data_size_ = vp->Size();
  ds->f_size = ds->data_size_ + idx_size + kVPathTrailerSize;
  ds->f_free_me = freeMe;
  ds->vpath_ = vp;
  ds->owns_vpath_ = owns;
  (void)owned.release();
  return ds;
}

std::unique_ptr<TUX_Data_source_vpath_file_2in1> TUX_Data_source_vpath_file_2in1::CreateVPathFileDS_FromIdx(
    const std::string& idx_fname, bool freeMe) {
  std::unique_ptr<TUX_VPath_in_File> vp = TUX_VPath_in_File::openRead(idx_fname, std::string());
  if (!vp->LoadError().empty() && vp->fileCount() == 0) return nullptr;
  return make(vp.release(), true, freeMe);
}

std::unique_ptr<TUX_Data_source_vpath_file_2in1> TUX_Data_source_vpath_file_2in1::CreateVPathFileDS_From(
    TUX_VPath_in_File* vp_file, bool freeMe) {
  return make(vp_file, vp_file != nullptr && vp_file->autoFreeByDS(), freeMe);
}

int32_t TUX_Data_source_vpath_file_2in1::read_index(int64_t at, void* buf, int32_t n) {
  if (!idx_file) {
    std::memcpy(buf, idx_text_.data() + at, static_cast<size_t>(n));
    return n;
  }
  if (idx_file->Seek(at, TSeekOrigin::soBeginning) != at) return 0;
  auto* p = static_cast<char*>(buf);
  int32_t got = 0;
  while (got < n) {
    const int64_t r = idx_file->Read(p + got, n - got);
    if (r <= 0) break;
    got += static_cast<int32_t>(r);
  }
  return got;
}

int32_t TUX_Data_source_vpath_file_2in1::ReadData(void* buf, int32_t buflen, int64_t offset) {
  if (buflen <= 0) return 0;
  if (vpath_ == nullptr || buf == nullptr || offset < 0) return -1;
  const int64_t D = data_size_, I = idx_file_size;
  if (offset >= D + I + kVPathTrailerSize) return 0;
  if (offset < D) {
    vpath_->Setposition(offset);
    return vpath_->ReadData(buf, static_cast<int32_t>(std::min<int64_t>(D - offset, buflen)), false);
  }
  uint8_t trailer[kVPathTrailerSize];
  for (int i = 0; i < 4; ++i) {
    trailer[i] = static_cast<uint8_t>(static_cast<uint32_t>(I) >> (8 * i));
    trailer[4 + i] = static_cast<uint8_t>(kVPathMagic >> (8 * i));
  }
  auto* out = static_cast<uint8_t*>(buf);
  if (offset < D + I) {
    const int64_t at = offset - D;
    const int32_t n = read_index(at, out, static_cast<int32_t>(std::min<int64_t>(I - at, buflen)));
    if (at + n == I && buflen - n >= kVPathTrailerSize) {
      std::memcpy(out + n, trailer, kVPathTrailerSize);
      return n + kVPathTrailerSize;
    }
    return n;
  }
  const int64_t k = offset - D - I;
  const auto n = static_cast<int32_t>(std::min<int64_t>(kVPathTrailerSize - k, buflen));
  std::memcpy(out, trailer + k, static_cast<size_t>(n));
  return n;
}

}  // namespace ux
