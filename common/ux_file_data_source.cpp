#include "common/ux_file_data_source.h"

#include <algorithm>
#include <vector>

#include "common/ux_file_io.h"
#include "common/ux_stream.h"

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

}  // namespace ux
