#include "common/ext_mem.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace ux {

namespace {

using Guard = std::lock_guard<std::recursive_mutex>;

void put_le(char* p, uint64_t v, int n) {
  for (int i = 0; i < n; ++i) p[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

uint64_t get_le(const char* p, int n) {
  uint64_t v = 0;
  for (int i = 0; i < n; ++i) v |= uint64_t(static_cast<unsigned char>(p[i])) << (8 * i);
  return v;
}

std::string errno_text(int e) { return std::strerror(e); }

}  // namespace

// ---------------------------------------------------------------- Tfifo_Mem_stream

Tfifo_Mem_stream::Tfifo_Mem_stream(int32_t bufSize) {
  if (bufSize > 0) {
    databuf = static_cast<char*>(std::malloc(size_t(bufSize)));
    if (!databuf) throw std::bad_alloc();
    capacity_ = bufSize;
  }
}

Tfifo_Mem_stream::~Tfifo_Mem_stream() { std::free(databuf); }

int32_t Tfifo_Mem_stream::DataLength() {
  Guard g(iLock);
  return data_len;
}

int32_t Tfifo_Mem_stream::SpaceSize() {
  Guard g(iLock);
  return capacity_;
}

bool Tfifo_Mem_stream::Reserve(int64_t n) {
  Guard g(iLock);
  if (n <= capacity_) return true;
  int64_t refusal = 0;
  return room_locked(n - data_len, refusal) != nullptr;
}

void Tfifo_Mem_stream::SetCapacityLimit(int32_t limit) {
  Guard g(iLock);
  limit_ = limit < 1 ? 1 : limit;
}

int32_t Tfifo_Mem_stream::capacity_limit() {
  Guard g(iLock);
  return limit_;
}

int64_t Tfifo_Mem_stream::Seek(int64_t offset, TSeekOrigin origin) {
  if (offset == 0 && origin != TSeekOrigin::soEnd) return 0;
  return -1;
}

// Room for count more bytes at the tail: in place, else after sliding the
// unread bytes to the start, else in a buffer grown to exactly the needed
// size + kGrowSlack. The address where they go, or null with nothing changed
// and refusal set to kStreamRefused (the cap) or kStreamNoMemory.
char* Tfifo_Mem_stream::room_locked(int64_t count, int64_t& refusal) {
  refusal = kStreamRefused;
  if (count > limit_) return nullptr;
  if (int64_t(write_pos) + count <= capacity_) return databuf + write_pos;
  const int64_t need = int64_t(data_len) + count;
  if (need > limit_) return nullptr;
  refusal = kStreamNoMemory;
  if (need <= capacity_) {
    if (Read_pos > 0) std::memmove(databuf, databuf + Read_pos, size_t(data_len));
  } else {
    int64_t cap = need + kGrowSlack;
    if (cap > limit_) cap = limit_;
    char* nb;
    if (Read_pos == 0) {
      nb = static_cast<char*>(std::realloc(databuf, size_t(cap)));
      if (!nb) return nullptr;
    } else {
      nb = static_cast<char*>(std::malloc(size_t(cap)));
      if (!nb) return nullptr;
      std::memcpy(nb, databuf + Read_pos, size_t(data_len));
      std::free(databuf);
    }
    databuf = nb;
    capacity_ = static_cast<int32_t>(cap);
  }
  Read_pos = 0;
  write_pos = data_len;
  return databuf + write_pos;
}

int64_t Tfifo_Mem_stream::Write(const void* Buffer, int64_t Count) {
  if (Count <= 0) return 0;
  if (!Buffer) return kStreamRefused;
  Guard g(iLock);
  const char* src = static_cast<const char*>(Buffer);
  std::string alias;
  if (databuf && src >= databuf && src < databuf + capacity_) {
    // Bytes of this stream itself: making room may move or free them.
    if (Count > int64_t(databuf + capacity_ - src)) return kStreamRefused;
    alias.assign(src, size_t(Count));
    src = alias.data();
  }
  int64_t refusal;
  char* at = room_locked(Count, refusal);
  if (!at) return refusal;
  std::memcpy(at, src, size_t(Count));
  write_pos += static_cast<int32_t>(Count);
  data_len += static_cast<int32_t>(Count);
  return Count;
}

void Tfifo_Mem_stream::SetSize(int64_t NewSize) {
  Guard g(iLock);
  if (NewSize < 0) NewSize = 0;
  if (NewSize > data_len) {
    const int64_t extra = NewSize - data_len;
    int64_t refusal;
    if (!room_locked(extra, refusal)) return;
    write_pos += static_cast<int32_t>(extra);
    data_len += static_cast<int32_t>(extra);
  } else {
    data_len = static_cast<int32_t>(NewSize);
    write_pos = Read_pos + data_len;
  }
}

void Tfifo_Mem_stream::clear_locked(bool auto_compact) {
  Read_pos = write_pos = data_len = 0;
  if (auto_compact && capacity_ > kCompactAbove) {
    char* nb = static_cast<char*>(std::realloc(databuf, size_t(kCompactTo)));
    if (nb) {
      databuf = nb;
      capacity_ = kCompactTo;
    }
  }
}

void Tfifo_Mem_stream::Reset(bool auto_compact) {
  Guard g(iLock);
  clear_locked(auto_compact);
}

int32_t Tfifo_Mem_stream::WriteBytes(const std::vector<uint8_t>& buf) {
  return static_cast<int32_t>(Write(buf.data(), int64_t(buf.size())));
}

Tfifo_Mem_stream& Tfifo_Mem_stream::WriteString(std::string_view buf) {
  Write(buf.data(), int64_t(buf.size()));
  return *this;
}

Tfifo_Mem_stream& Tfifo_Mem_stream::WriteString(std::string_view s1, std::string_view s2,
                                                std::string_view s3) {
  Guard g(iLock);
  Write(s1.data(), int64_t(s1.size()));
  Write(s2.data(), int64_t(s2.size()));
  Write(s3.data(), int64_t(s3.size()));
  return *this;
}

int32_t Tfifo_Mem_stream::WriteInteger(int32_t v) {
  char b[4];
  put_le(b, uint32_t(v), 4);
  return static_cast<int32_t>(Write(b, 4));
}

int32_t Tfifo_Mem_stream::WriteInt64(int64_t v) {
  char b[8];
  put_le(b, uint64_t(v), 8);
  return static_cast<int32_t>(Write(b, 8));
}

int32_t Tfifo_Mem_stream::WriteDouble(double d) {
  uint64_t bits;
  std::memcpy(&bits, &d, 8);
  char b[8];
  for (int i = 0; i < 8; ++i) b[i] = static_cast<char>((bits >> (8 * (7 - i))) & 0xFF);
  return static_cast<int32_t>(Write(b, 8));
}

int32_t Tfifo_Mem_stream::CopyStream(TStream& st, int32_t len) {
  if (len <= 0) return 0;
  char chunk[kCopyChunk];
  auto* fifo = dynamic_cast<Tfifo_Mem_stream*>(&st);
  if (fifo == this) {
    // From itself: the content as it is now, not the bytes being appended.
    const int32_t have = DataLength();
    if (len > have) len = have;
  }
  int32_t done = 0;
  while (done < len) {
    const int32_t want = len - done < kCopyChunk ? len - done : kCopyChunk;
    const int64_t got = fifo ? fifo->ReadDataOffset(done, chunk, want) : st.Read(chunk, want);
    if (got <= 0) break;
    if (Write(chunk, got) != got) break;
    done += static_cast<int32_t>(got);
  }
  return done;
}

int32_t Tfifo_Mem_stream::WriteStream(TStream& st, int64_t Write_Size) {
  auto* fifo = dynamic_cast<Tfifo_Mem_stream*>(&st);
  const int64_t left = fifo ? fifo->DataLength() : st.GetSize() - st.Position();
  if (Write_Size > left) Write_Size = left;
  if (Write_Size > kMaxCapacity) Write_Size = kMaxCapacity;
  if (Write_Size <= 0) return 0;
  static thread_local char chunk[kWriteStreamChunk];
  int64_t done = 0;
  while (done < Write_Size) {
    const int32_t want = static_cast<int32_t>(
        Write_Size - done < kWriteStreamChunk ? Write_Size - done : kWriteStreamChunk);
    const int64_t got = fifo ? fifo->ReadDataOffset(static_cast<int32_t>(done), chunk, want)
                             : st.Read(chunk, want);
    if (got <= 0) break;
    if (Write(chunk, got) != got) break;
    done += got;
  }
  return static_cast<int32_t>(done);
}

int32_t Tfifo_Mem_stream::LoadFromFile(const std::string& fname) {
  Guard g(iLock);
  clear_locked(false);
  const int fd = ::open(fname.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT || errno == ENOTDIR) return 0;
    throw Exception("Cannot open file \"" + fname + "\": " + errno_text(errno));
  }
  struct stat sb {};
  if (::fstat(fd, &sb) != 0) {
    const int e = errno;
    ::close(fd);
    throw Exception("Cannot open file \"" + fname + "\": " + errno_text(e));
  }
  if (int64_t(sb.st_size) > int64_t(limit_) - 64) {
    ::close(fd);
    throw Exception("File \"" + fname + "\" is too large for a memory stream");
  }
  const int64_t size = sb.st_size;
  if (capacity_ < size) {
    char* nb = static_cast<char*>(std::realloc(databuf, size_t(size + 64)));
    if (!nb) {
      ::close(fd);
      throw std::bad_alloc();
    }
    databuf = nb;
    capacity_ = static_cast<int32_t>(size + 64);
  }
  int64_t got = 0;
  while (got < size) {
    const ssize_t n = ::read(fd, databuf + got, size_t(size - got));
    if (n < 0) {
      if (errno == EINTR) continue;
      const int e = errno;
      ::close(fd);
      clear_locked(false);
      throw Exception("Cannot read file \"" + fname + "\": " + errno_text(e));
    }
    if (n == 0) break;
    got += n;
  }
  ::close(fd);
  data_len = write_pos = static_cast<int32_t>(got);
  return data_len;
}

int64_t Tfifo_Mem_stream::Read(void* Buffer, int64_t Count) {
  if (Count <= 0 || !Buffer) return 0;
  Guard g(iLock);
  const int64_t n = Count < data_len ? Count : data_len;
  if (n > 0) std::memcpy(Buffer, databuf + Read_pos, size_t(n));
  return n;
}

int32_t Tfifo_Mem_stream::ReadDataOffset(int32_t offset, void* dest, int32_t buflen) {
  if (buflen <= 0 || !dest) return 0;
  if (offset < 0) offset = 0;
  Guard g(iLock);
  if (offset >= data_len) return 0;
  const int32_t n = buflen < data_len - offset ? buflen : data_len - offset;
  std::memcpy(dest, databuf + Read_pos + offset, size_t(n));
  return n;
}

uint16_t Tfifo_Mem_stream::ReadInt16() {
  Guard g(iLock);
  return data_len < 2 ? 0 : static_cast<uint16_t>(get_le(databuf + Read_pos, 2));
}

int32_t Tfifo_Mem_stream::ReadInteger() {
  Guard g(iLock);
  return data_len < 4 ? 0 : static_cast<int32_t>(get_le(databuf + Read_pos, 4));
}

int64_t Tfifo_Mem_stream::Readint64() {
  Guard g(iLock);
  return data_len < 8 ? 0 : static_cast<int64_t>(get_le(databuf + Read_pos, 8));
}

std::string Tfifo_Mem_stream::ReadString_Ex() {
  Guard g(iLock);
  if (data_len < 4) return std::string();
  const int32_t L = static_cast<int32_t>(get_le(databuf + Read_pos, 4));
  if (L <= 0 || L > data_len - 4) return std::string();
  return std::string(databuf + Read_pos + 4, size_t(L));
}

int32_t Tfifo_Mem_stream::lastInteger() {
  return data_len < 4 ? 0 : static_cast<int32_t>(get_le(databuf + write_pos - 4, 4));
}

uint16_t Tfifo_Mem_stream::lastWord() {
  return data_len < 2 ? 0 : static_cast<uint16_t>(get_le(databuf + write_pos - 2, 2));
}

uint8_t Tfifo_Mem_stream::lastByte() {
  return data_len < 1 ? 0 : static_cast<uint8_t>(databuf[write_pos - 1]);
}

char* Tfifo_Mem_stream::DataPointer(uint32_t offset) {
  if (int64_t(offset) >= data_len) return nullptr;
  return databuf + Read_pos + offset;
}

std::string Tfifo_Mem_stream::asString(int32_t len) {
  Guard g(iLock);
  if (len <= 0 || len > data_len) len = data_len;
  return std::string(databuf ? databuf + Read_pos : "", size_t(len));
}

std::vector<uint8_t> Tfifo_Mem_stream::AsBytes(int32_t len) {
  Guard g(iLock);
  if (len <= 0 || len > data_len) len = data_len;
  const uint8_t* p = reinterpret_cast<const uint8_t*>(databuf + Read_pos);
  return len > 0 ? std::vector<uint8_t>(p, p + len) : std::vector<uint8_t>();
}

std::u16string Tfifo_Mem_stream::asWideString(int32_t len) { return text_to_utf16(asString(len)); }

std::string Tfifo_Mem_stream::MD5Buf() {
  Guard g(iLock);
  if (data_len == 0) return std::string();
  return md5_hex(databuf + Read_pos, size_t(data_len));
}

void Tfifo_Mem_stream::SaveToFile(const std::string& fname) {
  Guard g(iLock);
  const int fd = ::open(fname.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) throw Exception("Cannot create file \"" + fname + "\": " + errno_text(errno));
  int64_t done = 0;
  while (done < data_len) {
    const ssize_t n = ::pwrite(fd, databuf + Read_pos + done, size_t(data_len - done), done);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int e = errno;
      ::close(fd);
      throw Exception("Cannot write file \"" + fname + "\": " + errno_text(e));
    }
    if (n == 0) {
      ::close(fd);
      throw Exception("Cannot write file \"" + fname + "\": no progress");
    }
    done += n;
  }
  if (::ftruncate(fd, data_len) != 0) {
    const int e = errno;
    ::close(fd);
    throw Exception("Cannot write file \"" + fname + "\": " + errno_text(e));
  }
  if (::close(fd) != 0) throw Exception("Cannot write file \"" + fname + "\": " + errno_text(errno));
}

int32_t Tfifo_Mem_stream::pos_locked(std::string_view tag, int32_t startpos) const {
  if (tag.empty()) return -1;
  if (startpos < 0) startpos = 0;
  if (int64_t(data_len) < int64_t(startpos) + int64_t(tag.size())) return -1;
  const char* head = databuf + Read_pos;
  const void* hit = ::memmem(head + startpos, size_t(data_len - startpos), tag.data(), tag.size());
  return hit ? static_cast<int32_t>(static_cast<const char*>(hit) - head) : -1;
}

int32_t Tfifo_Mem_stream::Pos(std::string_view tagstr, int32_t startpos) {
  Guard g(iLock);
  return pos_locked(tagstr, startpos);
}

int32_t Tfifo_Mem_stream::lastPos(std::string_view tagstr) {
  Guard g(iLock);
  if (tagstr.empty() || size_t(data_len) < tagstr.size()) return -1;
  const std::string_view content(databuf + Read_pos, size_t(data_len));
  const size_t at = content.rfind(tagstr);
  return at == std::string_view::npos ? -1 : static_cast<int32_t>(at);
}

void Tfifo_Mem_stream::Delete(int32_t Size) {
  if (Size <= 0) return;
  Guard g(iLock);
  if (Size >= data_len) {
    Reset(auto_compact_space.load(std::memory_order_relaxed));
    return;
  }
  Read_pos += Size;
  data_len -= Size;
}

int32_t Tfifo_Mem_stream::Read_And_Remove(void* Buffer, int32_t Count) {
  if (Count <= 0 || !Buffer) return 0;
  Guard g(iLock);
  const int32_t n = static_cast<int32_t>(Read(Buffer, Count));
  Delete(n);
  return n;
}

std::string Tfifo_Mem_stream::fsc_Exists(std::string_view tagstr, int32_t startpos) {
  Guard g(iLock);
  if (size_t(data_len) < tagstr.size()) return std::string();
  const int32_t at = pos_locked(tagstr, startpos);
  if (at < 0) return std::string();
  std::string out(databuf + Read_pos, size_t(at));
  Delete(at + static_cast<int32_t>(tagstr.size()));
  return out;
}

std::string Tfifo_Mem_stream::fsc(std::string_view tagstr, int32_t startpos) {
  Guard g(iLock);
  const int32_t at = pos_locked(tagstr, startpos);
  if (at < 0) {
    std::string all(databuf ? databuf + Read_pos : "", size_t(data_len));
    Reset(auto_compact_space.load(std::memory_order_relaxed));
    return all;
  }
  std::string out(databuf + Read_pos, size_t(at));
  Delete(at + static_cast<int32_t>(tagstr.size()));
  return out;
}

void Tfifo_Mem_stream::MoveTo(Tfifo_Mem_stream& Mem) {
  if (&Mem == this) return;
  std::scoped_lock g(iLock, Mem.iLock);
  if (data_len == 0) return;
  const int64_t n = Mem.Write(databuf + Read_pos, data_len);
  if (n > 0) Delete(static_cast<int32_t>(n));
}

int32_t Tfifo_Mem_stream::insert_after(int32_t index, std::string_view buf) {
  if (buf.empty()) return 0;
  if (buf.size() > size_t(kMaxCapacity)) return -1;
  const std::string keep(buf);  // buf may view this stream's own bytes
  Guard g(iLock);
  int32_t at = index < 0 ? 0 : (index >= data_len ? data_len : index + 1);
  const int32_t n = static_cast<int32_t>(keep.size());
  int64_t refusal;
  if (!room_locked(n, refusal)) return -1;
  char* p = databuf + Read_pos + at;
  std::memmove(p + n, p, size_t(data_len - at));
  std::memcpy(p, keep.data(), size_t(n));
  write_pos += n;
  data_len += n;
  return n;
}

// ---------------------------------------------------------------- TMem_Stream_Pool

std::unique_ptr<Tfifo_Mem_stream> TMem_Stream_Pool::Pop(int32_t BaseSize) {
  if (!Active()) return nullptr;
  std::unique_ptr<Tfifo_Mem_stream> s;
  {
    std::lock_guard<std::mutex> g(lock);
    if (!list_.empty()) {
      s = std::move(list_.back());
      list_.pop_back();
    }
  }
  if (!s) {
    try {
      s = std::make_unique<Tfifo_Mem_stream>(BaseSize);
    } catch (const std::bad_alloc&) {
      s = std::make_unique<Tfifo_Mem_stream>(0);  // grows on first append
    }
  }
  s->Reset(true);
  return s;
}

void TMem_Stream_Pool::Push(std::unique_ptr<Tfifo_Mem_stream> obj) {
  if (!obj || !Active()) return;
  try {
    obj->Reset(true);
  } catch (...) {
    return;
  }
  std::lock_guard<std::mutex> g(lock);
  if (Active() && int32_t(list_.size()) <= Pool_Size()) list_.push_back(std::move(obj));
}

int32_t TMem_Stream_Pool::Length() {
  std::lock_guard<std::mutex> g(lock);
  return static_cast<int32_t>(list_.size());
}

void TMem_Stream_Pool::Destroy() {
  std::vector<std::unique_ptr<Tfifo_Mem_stream>> doomed;
  {
    std::lock_guard<std::mutex> g(lock);
    active_.store(false);
    doomed.swap(list_);
  }
}

TMem_Stream_Pool& mem_stream_pool() {
  // Never deleted: late callers (other static destructors) find an inactive,
  // empty pool instead of a destroyed object.
  static TMem_Stream_Pool* pool = [] {
    auto* p = new TMem_Stream_Pool;
    std::atexit([] { mem_stream_pool().Destroy(); });
    return p;
  }();
  return *pool;
}

// ---------------------------------------------------------------- TAWE_Mem

namespace {

size_t page_size() {
  static const size_t ps = [] {
    const long v = ::sysconf(_SC_PAGESIZE);
    return v > 0 ? size_t(v) : size_t(4096);
  }();
  return ps;
}

std::atomic<bool> g_phys_enabled{true};

// Direct system calls: sanitizer runtimes replace mlock/munlock with no-ops.
int lock_pages(void* p, size_t len) { return int(::syscall(SYS_mlock, p, len)); }
int unlock_pages(void* p, size_t len) { return int(::syscall(SYS_munlock, p, len)); }

}  // namespace

TAWE_Mem::TAWE_Mem(uint32_t fSize) : Size(fSize) {
  const size_t ps = page_size();
  // Whole pages: the last partial page must be accessible too.
  NumberOfPages = static_cast<uint32_t>((uint64_t(fSize) + ps - 1) / ps);
  PFNS_Size = NumberOfPages * 8;
  PFNS = static_cast<uint64_t*>(std::calloc(NumberOfPages ? NumberOfPages : 1, 8));
  if (!PFNS) {
    fErrorcode = kNoFrameArray;
    return;
  }
  if (NumberOfPages == 0) {
    fErrorcode = kNoReserve;
    return;
  }
  const size_t len = size_t(NumberOfPages) * ps;
  void* p = ::mmap(nullptr, len, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (p == MAP_FAILED) {
    fErrorcode = kNoReserve;
    return;
  }
  MemReserved = p;
  mapped_len_ = len;
  if (::mprotect(p, len, PROT_READ | PROT_WRITE) != 0) {
    fErrorcode = kNoMap;
    return;
  }
  if (lock_pages(p, len) != 0) {
    fErrorcode = kNotGranted;
    return;
  }
  for (uint32_t i = 0; i < NumberOfPages; ++i)
    PFNS[i] = reinterpret_cast<uint64_t>(static_cast<char*>(p) + size_t(i) * ps);
  active_ = true;
}

TAWE_Mem::~TAWE_Mem() {
  if (active_) unlock_pages(MemReserved, mapped_len_);
  if (MemReserved) ::munmap(MemReserved, mapped_len_);
  std::free(PFNS);
}

std::string TAWE_Mem::asString() const {
  if (!active_) return std::string();
  return std::string(static_cast<const char*>(MemReserved), Size);
}

bool mem_lock_granted() {
  static const bool granted = [] {
    const size_t ps = page_size();
    void* p = ::mmap(nullptr, ps, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return false;
    const bool ok = lock_pages(p, ps) == 0;
    if (ok) unlock_pages(p, ps);
    ::munmap(p, ps);
    return ok;
  }();
  return granted;
}

std::unique_ptr<TAWE_Mem> new_phys_block(uint32_t size) {
  if (!mem_lock_granted()) return nullptr;
  auto m = std::make_unique<TAWE_Mem>(size);
  if (m->GetError() != TAWE_Mem::kOk) return nullptr;
  return m;
}

bool phys_blocks_enabled() { return g_phys_enabled.load(std::memory_order_relaxed); }

// ---------------------------------------------------------------- block recycler

namespace {

constexpr uint64_t kBlockCheck = 0x5158424C4B52ECULL;

// Header in front of the user area: check value, then the record's address.
void* place_header(uint8_t* base, PEx_Mem_Block_Base rec) {
  uintptr_t a = reinterpret_cast<uintptr_t>(base);
  a = (a + 8) & ~uintptr_t(7);  // first multiple of 8 strictly above base
  const uint64_t r = reinterpret_cast<uintptr_t>(rec);
  const uint64_t check = r ^ kBlockCheck;
  std::memcpy(reinterpret_cast<void*>(a - 8), &check, 8);
  std::memcpy(reinterpret_cast<void*>(a), &r, 8);
  return reinterpret_cast<void*>(a + 8);
}

}  // namespace

TEx_Mem_Block_List* TEx_Mem_Block_List::create(int32_t keep_limit) {
  return new TEx_Mem_Block_List(keep_limit < 0 ? 0 : keep_limit);
}

void TEx_Mem_Block_List::release_record(PEx_Mem_Block_Base rec) noexcept {
  std::free(rec->storage);
  delete rec;
}

void TEx_Mem_Block_List::release_ref() {
  if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
}

void TEx_Mem_Block_List::close() {
  std::vector<PEx_Mem_Block_Base> kept;
  {
    std::lock_guard<std::mutex> g(lock);
    if (closed_) return;
    closed_ = true;
    kept.swap(list);
  }
  for (PEx_Mem_Block_Base r : kept) release_record(r);
  release_ref();
}

int32_t TEx_Mem_Block_List::max_recyle_block_count() {
  std::lock_guard<std::mutex> g(lock);
  return Fmax_recyle_block_count;
}

void TEx_Mem_Block_List::Setmax_recyle_block_count(int32_t v) {
  std::lock_guard<std::mutex> g(lock);
  Fmax_recyle_block_count = v < 0 ? 0 : v;
}

int32_t TEx_Mem_Block_List::count() {
  std::lock_guard<std::mutex> g(lock);
  return static_cast<int32_t>(list.size());
}

void* TEx_Mem_Block_List::get_block(int32_t Size, bool try_AWE) {
  if (Size < 0 || Size > kMaxBlockSize) return nullptr;
  PEx_Mem_Block_Base rec = nullptr;
  {
    std::lock_guard<std::mutex> g(lock);
    for (size_t i = list.size(); i-- > 0;) {
      if (list[i]->storage_len - 16 >= Size) {
        rec = list[i];
        list.erase(list.begin() + std::ptrdiff_t(i));
        break;
      }
    }
    if (!rec && !list.empty()) {
      rec = list.back();
      list.pop_back();
    }
  }
  if (!rec) {
    rec = new (std::nothrow) TEx_Mem_Block_Base;
    if (!rec) return nullptr;
  }
  rec->owner = this;

  if (try_AWE && phys_blocks_enabled()) {
    if (rec->phys_mem && int64_t(rec->phys_mem->MemSize()) - 16 < Size) rec->phys_mem.reset();
    if (!rec->phys_mem) rec->phys_mem = new_phys_block(uint32_t(Size) + 1024);
    if (rec->phys_mem) {
      rec->user_ptr = place_header(rec->phys_mem->asArray(), rec);
      ++rec->use_count;
      add_ref();
      rec->in_use.store(true, std::memory_order_release);
      return rec->user_ptr;
    }
    g_phys_enabled.store(false, std::memory_order_relaxed);
  }

  if (rec->storage_len - 16 < Size) {
    const int64_t len = int64_t(Size) + 128;
    auto* nb = static_cast<uint8_t*>(std::realloc(rec->storage, size_t(len)));
    if (!nb) {
      release_record(rec);
      return nullptr;
    }
    rec->storage = nb;
    rec->storage_len = len;
  }
  rec->user_ptr = place_header(rec->storage, rec);
  ++rec->use_count;
  add_ref();
  rec->in_use.store(true, std::memory_order_release);
  return rec->user_ptr;
}

void TEx_Mem_Block_List::recyle(PEx_Mem_Block_Base block_obj) {
  if (!block_obj) return;
  bool kept = false;
  {
    std::lock_guard<std::mutex> g(lock);
    if (!closed_ && int32_t(list.size()) <= Fmax_recyle_block_count) {
      list.push_back(block_obj);
      kept = true;
    }
  }
  if (!kept) release_record(block_obj);
  release_ref();
}

namespace {

// The calling thread's two lists; closed when the thread ends. Blocks still
// out keep their list alive until they are freed.
struct TThreadBlockLists {
  TEx_Mem_Block_List* small = nullptr;
  TEx_Mem_Block_List* large = nullptr;
  ~TThreadBlockLists();
};

thread_local TThreadBlockLists t_block_lists;
// Set once the thread's lists are gone (its thread_local destructors run).
thread_local bool t_block_lists_ended = false;

TThreadBlockLists::~TThreadBlockLists() {
  t_block_lists_ended = true;
  if (small) small->close();
  if (large) large->close();
  small = large = nullptr;
}

}  // namespace

TEx_Mem_Block_List& thread_mem_block_list(bool large) {
  TEx_Mem_Block_List*& l = large ? t_block_lists.large : t_block_lists.small;
  if (!l) l = TEx_Mem_Block_List::create(large ? kLargeKeep : kSmallKeep);
  return *l;
}

void* get_mem_block(int32_t Size, bool try_AWE) {
  if (Size < 0) return nullptr;
  try {
    if (t_block_lists_ended) {
      // Late request while the thread ends: a closed list that lives only as
      // long as this block.
      TEx_Mem_Block_List* l = TEx_Mem_Block_List::create(0);
      void* p = l->get_block(Size, try_AWE);
      l->close();
      return p;
    }
    return thread_mem_block_list(Size > kSmallBlockMax).get_block(Size, try_AWE);
  } catch (...) {
    return nullptr;
  }
}

void free_mem_block(void* address) noexcept {
  if (!address) return;
  try {
    const uintptr_t a = reinterpret_cast<uintptr_t>(address);
    if (a % 8 != 0) return;
    uint64_t r, check;
    std::memcpy(&r, reinterpret_cast<void*>(a - 8), 8);
    std::memcpy(&check, reinterpret_cast<void*>(a - 16), 8);
    if ((r ^ kBlockCheck) != check || r == 0) return;
    auto* rec = reinterpret_cast<PEx_Mem_Block_Base>(static_cast<uintptr_t>(r));
    if (rec->user_ptr != address) return;
    if (!rec->in_use.exchange(false, std::memory_order_acq_rel)) return;
    rec->owner->recyle(rec);
  } catch (...) {
  }
}

}  // namespace ux
