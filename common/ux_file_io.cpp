#include "common/ux_file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <new>
#include <thread>

#include "common/ext_mem.h"
#include "common/ux_common.h"
#include "common/ux_file_path.h"

namespace ux {

namespace {

// Largest cache accepted by ResizeBuffer and the constructor.
constexpr int32_t kMaxCacheSize = 64 * 1024 * 1024;
// Largest logical position; Seek refuses targets beyond it, so position
// arithmetic never overflows.
constexpr int64_t kMaxFilePos = int64_t(1) << 62;
// Largest single request passed to read(2)/write(2).
constexpr int64_t kMaxIoRequest = 1 << 30;

std::string os_error_text(int err) { return std::strerror(err); }

[[noreturn]] void raise_open_error(bool create, const std::string& name, int err) {
  throw Exception(std::string(create ? "Cannot create file \"" : "Cannot open file \"") + name +
                  "\". " + os_error_text(err));
}

// Returns open(); when that raises, tries once more 1 ms later and lets a
// second failure propagate.
template <class Open>
auto open_with_retry(Open open) -> decltype(open()) {
  try {
    return open();
  } catch (const Exception&) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return open();
  }
}

bool same_file(int fd_a, int fd_b) {
  struct stat a, b;
  return ::fstat(fd_a, &a) == 0 && ::fstat(fd_b, &b) == 0 && a.st_dev == b.st_dev &&
         a.st_ino == b.st_ino;
}

bool same_file(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  return ::stat(text_to_os(a).c_str(), &sa) == 0 && ::stat(text_to_os(b).c_str(), &sb) == 0 &&
         sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// Copies len bytes from src at src_pos to dst at dst_pos through the
// descriptors (both streams flushed first, positions left after the copied
// ranges). copied receives the bytes moved; false on a read or write error or
// when src ended early.
bool copy_between(TBufferedFileStream& src, int64_t src_pos, int64_t len,
                  TBufferedFileStream& dst, int64_t dst_pos, int64_t& copied) {
  copied = 0;
  src.FlushBuffer();
  dst.FlushBuffer();
  int64_t in_off = src_pos, out_off = dst_pos;
  bool kernel_copy = true;
  bool ok = true;
  std::unique_ptr<uint8_t[]> chunk;
  while (copied < len) {
    const int64_t want = std::min<int64_t>(len - copied, kCopyChunkSize);
    if (kernel_copy) {
      loff_t in = in_off, out = out_off;
      const ssize_t n = ::copy_file_range(src.Handle(), &in, dst.Handle(), &out,
                                          static_cast<size_t>(want), 0);
      if (n > 0) {
        copied += n;
        in_off += n;
        out_off += n;
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      // 0 is the end of the source or a file system that copies nothing
      // (special files); plain reads tell which.
      kernel_copy = false;
    }
    if (!chunk) chunk.reset(new uint8_t[kCopyChunkSize]);
    ssize_t got;
    do got = ::pread(src.Handle(), chunk.get(), static_cast<size_t>(want), in_off);
    while (got < 0 && errno == EINTR);
    if (got <= 0) {
      ok = false;
      break;
    }
    int64_t put = 0;
    while (put < got) {
      const ssize_t w = ::pwrite(dst.Handle(), chunk.get() + put, static_cast<size_t>(got - put),
                                 out_off + put);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) break;
      put += w;
    }
    copied += put;
    in_off += put;
    out_off += put;
    if (put < got) {
      ok = false;
      break;
    }
  }
  src.Seek(in_off, TSeekOrigin::soBeginning);
  dst.Seek(out_off, TSeekOrigin::soBeginning);
  return ok && copied == len;
}

// Gives a freshly created dest the permission bits of src (an executable
// stays executable).
void copy_mode(int src_fd, int dst_fd) {
  struct stat st;
  if (::fstat(src_fd, &st) == 0) (void)::fchmod(dst_fd, st.st_mode & 07777);
}

int64_t read_fully(TStream& st, void* buf, int64_t n) {
  int64_t done = 0;
  auto* p = static_cast<uint8_t*>(buf);
  while (done < n) {
    const int64_t got = st.Read(p + done, n - done);
    if (got <= 0) break;
    done += got;
  }
  return done;
}

// Cuts f to size bytes (unless size is negative), then writes out its cache;
// false when either step raised.
bool finish_file(TShareFile& f, int64_t size = -1) {
  try {
    if (size >= 0) f.SetSize(size);
    f.FlushBuffer();
  } catch (const Exception&) {
    return false;
  }
  return true;
}

// Copies all of src over dst and cuts dst to the bytes copied; false when a
// read, write or size change failed.
bool copy_whole_file(TShareFile& src, TShareFile& dst) {
  int64_t copied = 0;
  const bool ok = copy_between(src, 0, src.GetSize(), dst, 0, copied);
  return finish_file(dst, copied) && ok;
}

// The bytes of fname from offset to its end, in a TBytes or std::string;
// empty when the file is missing, unreadable or too large for memory.
template <class Buffer>
Buffer read_file_tail(const std::string& fname, int64_t offset) {
  if (!file_exists(fname)) return {};
  auto f = TShareFile::TryOpenFileRead(fname);
  if (!f) return {};
  offset = std::max<int64_t>(offset, 0);
  const int64_t n = f->GetSize() - offset;
  if (n <= 0) return {};
  Buffer data;
  try {
    data.resize(static_cast<size_t>(n));
  } catch (const std::bad_alloc&) {
    return {};
  }
  f->Seek(offset, TSeekOrigin::soBeginning);
  data.resize(static_cast<size_t>(read_fully(*f, data.data(), n)));
  return data;
}

std::atomic<uint32_t> g_move_seq{0};

}  // namespace

// ---------------------------------------------------------------- TBufferedFileStream

TBufferedFileStream::TBufferedFileStream(const std::u16string& file_name, uint32_t mode,
                                         int32_t buffer_size)
    : TBufferedFileStream(TOsName{utf16_to_utf8(file_name)}, mode, buffer_size) {}

TBufferedFileStream::TBufferedFileStream(const TOsName& os_name, uint32_t mode,
                                         int32_t buffer_size) {
  const bool create = (mode & 0xFF00) == fmCreate;
  int flags = O_CLOEXEC;
  bool readable = true;
  if (create) {
    flags |= O_RDWR | O_CREAT | O_TRUNC;
    writable_ = true;
  } else if (mode & fmOpenAlways) {
    flags |= O_RDWR | O_CREAT;
    writable_ = true;
  } else {
    switch (mode & 3) {
      case fmOpenWrite:
      case fmOpenReadWrite:
        flags |= O_RDWR;
        writable_ = true;
        break;
      default:
        flags |= O_RDONLY;
        break;
    }
  }
  const bool creating = create || (mode & fmOpenAlways);
  if (os_name.name.find('\0') != std::string::npos) raise_open_error(creating, os_to_text(os_name.name), EINVAL);
  // O_NONBLOCK keeps the open of a named pipe from waiting for a peer; it is
  // cleared again once the name is known to be a file other than a regular
  // one (where it has no effect).
  flags |= O_NONBLOCK;
  fd_ = ::open(os_name.name.c_str(), flags, 0666);
  if (fd_ < 0 && errno == EACCES && (mode & 3) == fmOpenWrite && !create) {
    fd_ = ::open(os_name.name.c_str(), (flags & ~O_RDWR) | O_WRONLY, 0666);
    readable = false;
  }
  if (fd_ < 0) raise_open_error(creating, os_to_text(os_name.name), errno);
  struct stat st;
  int err = 0;
  if (::fstat(fd_, &st) != 0) err = errno;
  else if (S_ISDIR(st.st_mode)) err = EISDIR;
  else if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) err = EINVAL;
  else if (!S_ISREG(st.st_mode) && ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) & ~O_NONBLOCK) != 0)
    err = errno;
  if (err != 0) {
    ::close(fd_);
    fd_ = -1;
    raise_open_error(creating, os_to_text(os_name.name), err);
  }
  regular_ = S_ISREG(st.st_mode);
  size_at_open_ = static_cast<int64_t>(st.st_size);
  if (buffer_size <= 0) buffer_size = kShareFileCacheSize;
  FBufferSize = std::min(buffer_size, kMaxCacheSize);
  FBuffer.reset(new uint8_t[static_cast<size_t>(FBufferSize)]);
  // A write-only descriptor cannot refill the cache: every transfer goes
  // straight to the file.
  FBuffered = readable;
  if (FBuffered) FillBuffer();
}

TBufferedFileStream::~TBufferedFileStream() {
  try {
    FlushBuffer();
  } catch (...) {
  }
  if (fd_ >= 0) ::close(fd_);
}

int64_t TBufferedFileStream::RawRead(void* buffer, int64_t count, int64_t at) {
  int64_t done = 0;
  auto* p = static_cast<uint8_t*>(buffer);
  while (done < count) {
    const int64_t want = std::min(count - done, kMaxIoRequest);
    const ssize_t n = ::pread(fd_, p + done, static_cast<size_t>(want), at + done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += n;
    // A regular file reads short only at its end: no second call to see 0.
    if (regular_ && n < want) break;
  }
  return done;
}

int64_t TBufferedFileStream::RawWrite(const void* buffer, int64_t count, int64_t at) {
  int64_t done = 0;
  const auto* p = static_cast<const uint8_t*>(buffer);
  while (done < count) {
    const ssize_t n = ::pwrite(fd_, p + done,
                               static_cast<size_t>(std::min(count - done, kMaxIoRequest)), at + done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += n;
  }
  return done;
}

void TBufferedFileStream::FillBuffer() {
  FBufStartPos = FFilePos;
  FBufEndPos = FFilePos + RawRead(FBuffer.get(), FBufferSize, FFilePos);
  FModified = false;
}

void TBufferedFileStream::FlushBuffer() {
  if (FModified) {
    const int64_t n = FBufEndPos - FBufStartPos;
    if (RawWrite(FBuffer.get(), n, FBufStartPos) != n) throw Exception("Stream write error");
    FModified = false;
  }
  FBufStartPos = FBufEndPos = FFilePos;
}

int64_t TBufferedFileStream::Read(void* buffer, int64_t count) {
  if (count <= 0 || buffer == nullptr) return 0;
  if (!FBuffered || count >= FBufferSize) {
    FlushBuffer();
    const int64_t n = RawRead(buffer, count, FFilePos);
    FFilePos += n;
    FBufStartPos = FBufEndPos = FFilePos;
    return n;
  }
  if (FFilePos < FBufStartPos || FFilePos + count > FBufEndPos) {
    FlushBuffer();
    FillBuffer();
  }
  const int64_t n = std::min(count, FBufEndPos - FFilePos);
  if (n <= 0) return 0;
  std::memcpy(buffer, FBuffer.get() + (FFilePos - FBufStartPos), static_cast<size_t>(n));
  FFilePos += n;
  return n;
}

int64_t TBufferedFileStream::Write(const void* buffer, int64_t count) {
  if (count <= 0 || buffer == nullptr || !writable_) return 0;
  if (!FBuffered || count >= FBufferSize) {
    FlushBuffer();
    const int64_t n = RawWrite(buffer, count, FFilePos);
    FFilePos += n;
    FBufStartPos = FBufEndPos = FFilePos;
    return n;
  }
  if (FFilePos < FBufStartPos || FFilePos > FBufEndPos ||
      FFilePos + count > FBufStartPos + FBufferSize) {
    FlushBuffer();
    FillBuffer();
  }
  std::memcpy(FBuffer.get() + (FFilePos - FBufStartPos), buffer, static_cast<size_t>(count));
  FFilePos += count;
  if (FFilePos > FBufEndPos) FBufEndPos = FFilePos;
  FModified = true;
  return count;
}

int64_t TBufferedFileStream::Seek(int64_t offset, TSeekOrigin origin) {
  int64_t target = offset;
  bool overflow = false;
  switch (origin) {
    case TSeekOrigin::soBeginning:
      break;
    case TSeekOrigin::soCurrent:
      overflow = __builtin_add_overflow(FFilePos, offset, &target);
      break;
    default:
      FlushBuffer();
      overflow = __builtin_add_overflow(GetSize(), offset, &target);
      break;
  }
  if (overflow || target < 0 || target > kMaxFilePos) return -1;
  if (target < FBufStartPos || target > FBufEndPos) FlushBuffer();
  FFilePos = target;
  if (!FModified && FBufStartPos == FBufEndPos) FBufStartPos = FBufEndPos = target;
  return target;
}

int64_t TBufferedFileStream::GetSize() {
  struct stat st;
  int64_t size = ::fstat(fd_, &st) == 0 ? static_cast<int64_t>(st.st_size) : 0;
  if (FModified && FBufEndPos > size) size = FBufEndPos;
  return size;
}

void TBufferedFileStream::SetSize(int64_t new_size) {
  if (new_size < 0 || !writable_) throw Exception("Stream size error");
  if (new_size < FBufEndPos) FlushBuffer();
  const bool was_buffered = FBuffered;
  FBuffered = false;
  const int r = ::ftruncate(fd_, new_size);
  FBuffered = was_buffered;
  if (r != 0) throw Exception("Stream size error");
}

void TBufferedFileStream::ResizeBuffer(int32_t n) {
  if (n <= FBufferSize) return;
  n = std::min(n, kMaxCacheSize);
  if (n <= FBufferSize) return;
  FlushBuffer();
  FBuffer.reset(new uint8_t[static_cast<size_t>(n)]);
  FBufferSize = n;
  FFilePos = 0;
  if (FBuffered) FillBuffer();
  else FBufStartPos = FBufEndPos = 0;
}

// ---------------------------------------------------------------- TShareFile

TShareFile::TShareFile(const TOsName& os_name, uint32_t mode)
    : TBufferedFileStream(os_name, mode, kShareFileCacheSize) {}

TShareFile::~TShareFile() {
  // Waits for a holder of the lock to finish.
  flock.lock();
  flock.unlock();
}

void TShareFile::InitOpened(const std::string& fname, int32_t mode) {
  LastSize = size_at_open_;
  Mode = mode;
  pri_fname = fname;
  params_ = TParams{};
  fFileTagId = md5_hex(lower_ascii(fname));
  ReadOnly = mode == 0;
}

std::unique_ptr<TShareFile> TShareFile::OpenRead(const std::string& fname, int32_t /*bufferSize*/) {
  const TOsName os{text_to_os(fname)};
  std::unique_ptr<TShareFile> f = open_with_retry(
      [&] { return std::unique_ptr<TShareFile>(new TShareFile(os, fmOpenRead | fmShareDenyNone)); });
  f->InitOpened(fname, 0);
  return f;
}

std::unique_ptr<TShareFile> TShareFile::OpenWrite(const std::string& fname) {
  const std::string name = TUX_Path::slashForm(fname);
  const TOsName os{text_to_os(name)};
  std::unique_ptr<TShareFile> f = open_with_retry(
      [&] { return std::unique_ptr<TShareFile>(new TShareFile(os, fmOpenAlways | fmShareDenyNone)); });
  f->InitOpened(name, 1);
  return f;
}

int32_t TShareFile::QueryInterface(std::string_view iid, void** obj) {
  if (obj == nullptr) return -1;
  if (iid == "IShareFile") {
    *obj = static_cast<IShareFile*>(this);
    AddRef();
    return 0;
  }
  *obj = nullptr;
  return -1;
}

int32_t TShareFile::AddRef() { return ++FRefCount; }

int32_t TShareFile::Release() {
  const int32_t r = --FRefCount;
  if (r == 0) delete this;
  return r;
}

int64_t TShareFile::Position() { return FFilePos; }

int64_t TShareFile::GetSize() { return TBufferedFileStream::GetSize(); }

void TShareFile::SetPosition(int64_t pos) { Seek(pos, TSeekOrigin::soBeginning); }

int64_t TShareFile::ReadData(void* buf, int64_t count) {
  if (buf == nullptr || count == 0) return 0;
  return Read(buf, count);
}

int64_t TShareFile::WriteData(const void* buf, int64_t count) {
  if (buf == nullptr || count == 0) return 0;
  return Write(buf, count);
}

void TShareFile::FlushBuffer() { TBufferedFileStream::FlushBuffer(); }

int64_t TShareFile::ReadInt(int32_t fsize) {
  uint8_t b[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  const int n = fsize == 4 ? 4 : fsize == 1 ? 1 : fsize == 2 ? 2 : 8;
  (void)read_fully(*this, b, n);
  uint64_t v = 0;
  for (int i = n - 1; i >= 0; --i) v = (v << 8) | b[i];
  if (n == 4) return static_cast<int32_t>(static_cast<uint32_t>(v));
  return static_cast<int64_t>(v);
}

std::string TShareFile::ReadString_EX() {
  const int64_t len = ReadInt(4);
  if (len <= 0 || len > GetSize() - FFilePos) return {};
  std::string s(static_cast<size_t>(len), '\0');
  if (read_fully(*this, s.data(), len) != len) return {};
  return s;
}

int64_t TShareFile::WriteInteger(int32_t v) {
  uint8_t b[4];
  for (int i = 0; i < 4; ++i) b[i] = static_cast<uint8_t>(static_cast<uint32_t>(v) >> (8 * i));
  return Write(b, 4);
}

int64_t TShareFile::WriteInt64(int64_t v) {
  uint8_t b[8];
  for (int i = 0; i < 8; ++i) b[i] = static_cast<uint8_t>(static_cast<uint64_t>(v) >> (8 * i));
  return Write(b, 8);
}

int64_t TShareFile::WriteString_Ex(std::string_view s) {
  if (s.size() > static_cast<size_t>(INT32_MAX)) return 0;
  int64_t n = WriteInteger(static_cast<int32_t>(s.size()));
  if (n != 4) return n;
  return n + Write(s.data(), static_cast<int64_t>(s.size()));
}

int64_t TShareFile::WriteBuf(const void* buf, int64_t len) {
  if (buf == nullptr || len <= 0) return 0;
  return Write(buf, len);
}

int64_t TShareFile::WriteBuf(Tfifo_Mem_stream& st) {
  st.Lock();
  int64_t n = 0;
  try {
    n = WriteBuf(st.DataPointer(0), st.DataLength());
  } catch (...) {
    st.unLock();
    throw;
  }
  st.unLock();
  return n;
}

int64_t TShareFile::WriteBytes(const TBytes& bs) {
  return WriteBuf(bs.data(), static_cast<int64_t>(bs.size()));
}

int64_t TShareFile::AppendData(const void* data, int64_t len) {
  Seek(0, TSeekOrigin::soEnd);
  return WriteBuf(data, len);
}

void TShareFile::Reset() {
  if (Mode != 1) return;
  SetSize(0);
  SetPosition(0);
}

bool TShareFile::setEndOfFile(int64_t size) {
  if (!IsWritable() || size < 0) return false;
  try {
    SetSize(size);
  } catch (const Exception&) {
    return false;
  }
  return true;
}

bool TShareFile::is_Data_Changed(int64_t& Pos, int64_t& len) {
  const int64_t size = GetSize();
  if (size == LastSize) return false;
  Pos = std::min(LastSize, size);
  len = std::max<int64_t>(size - LastSize, 0);
  LastSize = size;
  return true;
}

bool TShareFile::CloneTofile(const std::string& newfname) {
  const int64_t pos = FFilePos;
  FlushBuffer();
  auto out = OpenWrite(newfname);
  if (same_file(Handle(), out->Handle())) return true;
  const bool ok = copy_whole_file(*this, *out);
  Seek(pos, TSeekOrigin::soBeginning);
  return ok;
}

std::string TShareFile::md5File(int64_t offset, int64_t block_size) {
  const int64_t saved = FFilePos;
  int64_t from = 0, len;
  FlushBuffer();
  const int64_t size = GetSize();
  if (block_size > 0) {
    from = std::max<int64_t>(offset, 0);
    len = std::max<int64_t>(std::min(block_size, size - from), 0);
  } else {
    len = size;
  }
  Seek(from, TSeekOrigin::soBeginning);
  const std::string result =
      md5_hex_of([this](void* buffer, int64_t count) { return Read(buffer, count); }, len, true);
  Seek(saved, TSeekOrigin::soBeginning);
  return result;
}

// ---------------------------------------------------------------- static utilities

bool TShareFile::CopyShareFile(const std::string& sour, const std::string& dest) {
  if (!file_exists(sour)) return false;
  auto in = OpenRead(sour);
  const bool created = !name_exists(TUX_Path::slashForm(dest));
  auto out = OpenWrite(dest);
  if (same_file(in->Handle(), out->Handle())) return true;
  if (created) copy_mode(in->Handle(), out->Handle());
  return copy_whole_file(*in, *out);
}

bool TShareFile::MoveFile(const std::string& sour, const std::string& dest) {
  try {
    if (!name_exists(sour) || !nameable(dest)) return false;
    if (sour == dest) return true;
    if (ci_equal(sour, dest) && same_file(sour, dest)) return true;
    force_dirs(TUX_Path::ExtractFilePath(dest, "/"));
    const std::string os_sour = text_to_os(sour);
    const std::string os_dest = text_to_os(TUX_Path::slashForm(dest));
    if (::rename(os_sour.c_str(), os_dest.c_str()) == 0) return true;
    if (!file_exists(sour)) return false;
    // Across file systems: copy beside dest, put it in place, then delete sour.
    const std::string tmp = TUX_Path::slashForm(dest) + ".~mv" + std::to_string(::getpid()) +
                            "_" + std::to_string(g_move_seq.fetch_add(1));
    bool ok = false;
    try {
      ok = CopyShareFile(sour, tmp);
    } catch (const Exception&) {
      ok = false;
    }
    const std::string os_tmp = text_to_os(tmp);
    if (!ok || ::rename(os_tmp.c_str(), os_dest.c_str()) != 0) {
      ::unlink(os_tmp.c_str());
      return false;
    }
    (void)::unlink(os_sour.c_str());
    return name_exists(TUX_Path::slashForm(dest));
  } catch (...) {
    return false;
  }
}

bool TShareFile::deleteFile(const std::string& fname) {
  if (!nameable(fname)) return true;
  (void)delete_file(fname);
  return !name_exists(fname);
}

std::unique_ptr<TShareFile> TShareFile::tryCreateFile(const std::string& fname) {
  try {
    return OpenWrite(fname);
  } catch (const Exception&) {
    return nullptr;
  }
}

std::unique_ptr<TShareFile> TShareFile::TryOpenFileRead(const std::string& fname) {
  try {
    return OpenRead(fname);
  } catch (const Exception&) {
    return nullptr;
  }
}

int64_t TShareFile::CreateBlankFile(const std::string& fname, int64_t sizeAtLeast) {
  force_dirs(TUX_Path::ExtractFilePath(TUX_Path::slashForm(fname), "/"));
  auto f = OpenWrite(fname);
  if (f->GetSize() < sizeAtLeast) f->SetSize(sizeAtLeast);
  return f->GetSize();
}

int64_t TShareFile::CopyFileClipTo(const std::string& sour, int64_t offset, int64_t len,
                                   const std::string& dest) {
  if (!file_exists(sour)) return 0;
  auto in = OpenRead(sour);
  auto out = OpenWrite(dest);
  if (same_file(in->Handle(), out->Handle())) return 0;
  offset = std::max<int64_t>(offset, 0);
  const int64_t avail = std::max<int64_t>(in->GetSize() - offset, 0);
  const int64_t want = std::max<int64_t>(std::min(len, avail), 0);
  int64_t copied = 0;
  (void)copy_between(*in, offset, want, *out, 0, copied);
  (void)finish_file(*out, copied);
  return copied;
}

bool TShareFile::CopyShareFiles(const std::vector<std::string>& sour, const std::string& dest) {
  const std::string dest_name = TUX_Path::slashForm(dest);
  for (const auto& s : sour) {
    if (!file_exists(s)) return false;
    if (name_exists(dest_name) && same_file(s, dest_name)) return false;
  }
  // An unreadable source raises its opening error before dest is touched.
  for (const auto& s : sour)
    if (::faccessat(AT_FDCWD, text_to_os(s).c_str(), R_OK, AT_EACCESS) != 0) (void)OpenRead(s);
  auto out = OpenWrite(dest);
  int64_t total = 0;
  bool ok = true;
  for (const auto& s : sour) {
    auto in = OpenRead(s);
    int64_t copied = 0;
    const bool part_ok = copy_between(*in, 0, in->GetSize(), *out, total, copied);
    total += copied;
    if (!part_ok) {
      ok = false;
      break;
    }
  }
  return finish_file(*out, total) && ok;
}

int64_t TShareFile::StreamFromFile(TStream& st, const std::string& Fname) {
  auto f = OpenRead(Fname);
  const int64_t size = f->GetSize();
  st.SetSize(size);
  st.SetPosition(0);
  std::unique_ptr<uint8_t[]> chunk(new uint8_t[kStreamChunkSize]);
  int64_t done = 0;
  while (done < size) {
    const int64_t n = read_fully(*f, chunk.get(), std::min<int64_t>(size - done, kStreamChunkSize));
    if (n <= 0) break;
    const int64_t w = st.Write(chunk.get(), n);
    done += std::max<int64_t>(w, 0);
    if (w != n) break;
  }
  if (done < size) st.SetSize(done);
  return done;
}

int64_t TShareFile::StreamToFile(TStream& st, const std::string& Fname) {
  const int64_t size = st.GetSize();
  if (size <= 0) return 0;
  auto f = OpenWrite(Fname);
  st.SetPosition(0);
  std::unique_ptr<uint8_t[]> chunk(new uint8_t[kStreamChunkSize]);
  int64_t done = 0;
  while (done < size) {
    const int64_t n = read_fully(st, chunk.get(), std::min<int64_t>(size - done, kStreamChunkSize));
    if (n <= 0) break;
    const int64_t w = f->Write(chunk.get(), n);
    done += std::max<int64_t>(w, 0);
    if (w != n) break;
  }
  return finish_file(*f, done) ? done : 0;
}

int64_t TShareFile::ReadBufFromFile(const std::string& fname, void* buf, int64_t bufLen,
                                    int64_t fromPos) {
  if (buf == nullptr || bufLen <= 0 || fromPos < 0 || !file_exists(fname)) return 0;
  auto f = TryOpenFileRead(fname);
  if (!f || f->Seek(fromPos, TSeekOrigin::soBeginning) != fromPos) return 0;
  return read_fully(*f, buf, bufLen);
}

int64_t TShareFile::WriteBufToFile(const std::string& fname, const void* buf, int64_t bufLen,
                                   int64_t offset) {
  if (offset < 0) return 0;
  auto f = OpenWrite(fname);
  if (buf == nullptr || bufLen <= 0 || f->Seek(offset, TSeekOrigin::soBeginning) != offset) return 0;
  const int64_t n = f->Write(buf, bufLen);
  return finish_file(*f) ? n : 0;
}

int64_t TShareFile::AppendBufToFile(const std::string& fname, const void* buf, int64_t bufLen) {
  auto f = OpenWrite(fname);
  const int64_t n = f->AppendData(buf, bufLen);
  return finish_file(*f) ? n : 0;
}

TBytes TShareFile::FileToRawData(const std::string& fname, int64_t offset) {
  return read_file_tail<TBytes>(fname, offset);
}

std::string TShareFile::FileToText(const std::string& fname, int64_t offset, bool is_EncodingText,
                                   const TFunc_utf_encode& func_utf_encode) {
  std::string s = read_file_tail<std::string>(fname, offset);
  if (s.empty() || !is_EncodingText) return s;
  if (s.size() > 3 && static_cast<uint8_t>(s[0]) == 0xEF && static_cast<uint8_t>(s[1]) == 0xBB &&
      static_cast<uint8_t>(s[2]) == 0xBF)
    return s.substr(3);
  if (func_utf_encode) return func_utf_encode(s);
  return s;
}

std::string TShareFile::FileNameOf(const std::string& fname) {
  return TUX_Path::extractfileName(fname);
}

std::string TShareFile::file_ext(const std::string& fname) {
  const std::string name = TUX_Path::extractfileName(fname);
  const size_t dot = name.rfind('.');
  if (dot == std::string::npos) return {};
  // At most 10 bytes, never ending inside a double-byte character.
  size_t end = dot;
  while (end < name.size()) {
    const size_t step = is_lead_byte(static_cast<uint8_t>(name[end])) && end + 1 < name.size() ? 2 : 1;
    if (end + step - dot > 10) break;
    end += step;
  }
  return name.substr(dot, end - dot);
}

std::string TShareFile::change_file_ext(const std::string& fname, const std::string& new_ext) {
  const size_t name_start = fname.size() - TUX_Path::extractfileName(fname).size();
  const size_t dot = fname.rfind('.');
  if (dot == std::string::npos || dot < name_start) return fname + new_ext;
  return fname.substr(0, dot) + new_ext;
}

std::string TShareFile::fileHexDump(const std::string& fname, int64_t offset, int64_t dump_size) {
  const int64_t want = std::min<int64_t>(8192, dump_size);
  if (want <= 0) return {};
  std::string data(static_cast<size_t>(want), '\0');
  const int64_t n = ReadBufFromFile(fname, data.data(), want, std::max<int64_t>(offset, 0));
  data.resize(static_cast<size_t>(n));
  std::string out;
  char tmp[32];
  for (int64_t i = 0; i < n; ++i) {
    if (i % 16 == 0) {
      std::snprintf(tmp, sizeof tmp, "%.8llx |  ",
                    static_cast<unsigned long long>(std::max<int64_t>(offset, 0) + i));
      out += tmp;
    }
    std::snprintf(tmp, sizeof tmp, "%.2x ", static_cast<unsigned>(static_cast<uint8_t>(data[i])));
    out += tmp;
    if (i % 16 == 15) {
      out += " |  ";
      for (int64_t k = i - 15; k <= i; ++k) {
        const auto c = static_cast<uint8_t>(data[k]);
        out.push_back(c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '.');
      }
      out += "\r\n";
    }
    if (i % 256 == 255) out += "\r\n";
  }
  return out;
}

}  // namespace ux
