// ext_mem: the byte FIFO under every socket, session and response buffer
// (Tfifo_Mem_stream), the process-wide pool of reusable streams
// (TMem_Stream_Pool), the per-thread recycler of raw memory blocks
// (get_mem_block / free_mem_block) and locked physical-memory blocks (TAWE_Mem).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "common/ux_common.h"
#include "common/ux_stream.h"

namespace ux {

// ---------------------------------------------------------------- Tfifo_Mem_stream

// FIFO of bytes in one growable contiguous buffer. Writers append at the
// tail; readers look at the head (Read does not consume) and remove what they
// consumed (Delete, Read_And_Remove, fsc, fsc_Exists, MoveTo). Removal only
// advances the head; unread bytes slide back to the start only when an append
// would not fit at the end. Growth is linear: needed size + kGrowSlack.
//
// Counts are signed 32-bit: a stream holds at most capacity_limit() bytes
// (kMaxCapacity by default). Results follow the TStream contract: an append
// beyond the cap returns kStreamRefused, one whose memory cannot be had
// kStreamNoMemory; either changes nothing.
//
// Thread-safety: every operation that touches the content runs under the
// stream's own re-entrant lock, except DataPointer, DataAsArray, lastInteger,
// lastWord and lastByte; callers hold Lock()/unLock() around those and
// around sequences that must act as one.
//
// The stream has no read position: Seek only answers position 0.
class Tfifo_Mem_stream : public TStream {
 public:
  static constexpr int32_t kMaxCapacity = 0x7FFFFFFF;
  static constexpr int32_t kGrowSlack = 8192;
  static constexpr int32_t kCompactAbove = 512000;
  static constexpr int32_t kCompactTo = 32768;
  static constexpr int32_t kCopyChunk = 8192;
  static constexpr int32_t kWriteStreamChunk = 32768;

  // Owner's scratch record; never read by the stream.
  struct TParams {
    int64_t D1 = 0;
    int64_t D2 = 0;
    void* P3 = nullptr;
    std::string p4;
    int64_t T1 = 0;
  };

  // Capacity bufSize bytes (bufSize <= 0: no buffer until the first append).
  // Throws std::bad_alloc when the initial buffer cannot be allocated.
  explicit Tfifo_Mem_stream(int32_t bufSize = 0);
  ~Tfifo_Mem_stream() override;
  Tfifo_Mem_stream(const Tfifo_Mem_stream&) = delete;
  Tfifo_Mem_stream& operator=(const Tfifo_Mem_stream&) = delete;

  // -- state
  int32_t DataLength();
  // 0 for a null stream.
  static int32_t DataLength(Tfifo_Mem_stream* s) { return s ? s->DataLength() : 0; }
  int64_t GetSize() override { return DataLength(); }
  // The capacity (length of the buffer), not the free room.
  int32_t SpaceSize();
  // Larger: extends the content at the tail by bytes of unspecified value;
  // smaller (or negative): cuts bytes off the tail.
  void SetSize(int64_t NewSize) override;
  // Room for at least n unread bytes, so that appends up to that total need
  // no further growth (the unread bytes may move to the start). False, and
  // nothing changed, when n exceeds capacity_limit() or memory runs out.
  [[nodiscard]] bool Reserve(int64_t n);
  // Upper bound of the capacity (1..kMaxCapacity); a smaller current
  // capacity is not shrunk by this.
  void SetCapacityLimit(int32_t limit);
  int32_t capacity_limit();

  void Lock() { iLock.lock(); }
  void unLock() { iLock.unlock(); }
  static void Lock(Tfifo_Mem_stream* s) {
    if (s) s->Lock();
  }
  static void unLock(Tfifo_Mem_stream* s) {
    if (s) s->unLock();
  }

  int64_t Seek(int64_t offset, TSeekOrigin origin) override;

  // -- appending
  // Count when appended; 0 (nothing) when Count <= 0; kStreamRefused
  // (nothing changed) for a null Buffer, for bytes of this stream's buffer
  // that run past it, or past the capacity cap; kStreamNoMemory (nothing
  // changed) when the buffer cannot be enlarged.
  [[nodiscard]] int64_t Write(const void* Buffer, int64_t Count) override;
  // The typed appends return what Write returns.
  [[nodiscard]] int32_t WriteBytes(const std::vector<uint8_t>& buf);
  Tfifo_Mem_stream& WriteString(std::string_view buf);
  // The three strings as one step (no other append can come between them).
  Tfifo_Mem_stream& WriteString(std::string_view s1, std::string_view s2, std::string_view s3);
  [[nodiscard]] int32_t WriteInteger(int32_t v);  // 4 bytes, little-endian
  [[nodiscard]] int32_t WriteInt64(int64_t v);    // 8 bytes, little-endian
  [[nodiscard]] int32_t WriteDouble(double d);    // IEEE 754 bytes, big-endian
  // Copies up to len bytes from st in chunks of kCopyChunk until st yields
  // nothing. A Tfifo_Mem_stream source is read from its head without being
  // consumed; this stream as its own source copies at most its present
  // content. Returns the bytes copied.
  [[nodiscard]] int32_t CopyStream(TStream& st, int32_t len);
  // Copies min(Write_Size, bytes left in st) bytes in chunks of
  // kWriteStreamChunk. Returns the bytes actually copied.
  [[nodiscard]] int32_t WriteStream(TStream& st, int64_t Write_Size);
  // Empties the stream (no shrinking) and loads the file as its content.
  // 0 when the file does not exist; throws ux::Exception when it cannot be
  // opened or read, or does not fit in a stream.
  int32_t LoadFromFile(const std::string& fname);

  // -- looking without consuming
  int64_t Read(void* Buffer, int64_t Count) override;
  // Copies min(buflen, DataLength - offset) bytes starting offset bytes after
  // the head (negative offset counts as 0); 0 when offset is at or past the end.
  int32_t ReadDataOffset(int32_t offset, void* dest, int32_t buflen);
  // Typed reads of the head; 0 when fewer bytes than needed are present.
  uint16_t ReadInt16();
  int32_t ReadInteger();
  int64_t Readint64();
  // 4-byte little-endian length L at the head, then L bytes; empty when L is
  // negative or fewer than 4 + L bytes are present.
  std::string ReadString_Ex();
  // Last 4 / 2 / 1 unread bytes, little-endian; 0 when fewer are present.
  // Not locked.
  int32_t lastInteger();
  uint16_t lastWord();
  uint8_t lastByte();
  // Address of the unread byte at offset, null when offset >= DataLength.
  // Not locked; valid until the next change of the stream.
  char* DataPointer(uint32_t offset = 0);
  uint8_t* DataAsArray(uint32_t offset = 0) { return reinterpret_cast<uint8_t*>(DataPointer(offset)); }
  // The first len unread bytes; all of them when len is 0 (or <= 0) or above DataLength.
  std::string asString(int32_t len = 0);
  std::vector<uint8_t> AsBytes(int32_t len = 0);
  std::u16string asWideString(int32_t len = 0);
  // Lower-case hex MD5 of the unread bytes; empty when the stream is empty.
  std::string MD5Buf();
  // Writes the unread bytes to fname from its start and truncates it there.
  // Throws ux::Exception when the file cannot be created or written.
  void SaveToFile(const std::string& fname);
  // Offset from the head of the first tagstr at or after startpos (negative
  // counts as 0); -1 when tagstr is empty, does not fit or does not occur.
  int32_t Pos(std::string_view tagstr, int32_t startpos = 0);
  // Offset from the head of the last tagstr; -1 when none or tagstr is empty.
  int32_t lastPos(std::string_view tagstr);

  // -- consuming
  // Removes min(Size, DataLength) bytes from the head; removing everything
  // is Reset(auto_compact_space).
  virtual void Delete(int32_t Size);
  // Empties the stream; with auto_compact a buffer above kCompactAbove bytes
  // is reallocated to kCompactTo bytes.
  virtual void Reset(bool auto_compact);
  int32_t Read_And_Remove(void* Buffer, int32_t Count);
  // When tagstr occurs (from startpos): the bytes before it, removed together
  // with the tag. Otherwise "" and nothing removed.
  std::string fsc_Exists(std::string_view tagstr, int32_t startpos = 0);
  // As fsc_Exists, but without the tag returns everything and empties the stream.
  std::string fsc(std::string_view tagstr, int32_t startpos = 0);
  // Appends the unread bytes to Mem and removes as many as Mem accepted.
  // Takes both locks together (no lock-order deadlock); nothing for Mem == this.
  void MoveTo(Tfifo_Mem_stream& Mem);
  // Inserts buf after the unread byte at index (index < 0: at the head;
  // index >= DataLength - 1: at the tail). Bytes inserted, or -1.
  [[nodiscard]] int32_t insert_after(int32_t index, std::string_view buf);

  void* userData = nullptr;
  TParams Params;
  TDateTime test_time = 0;
  TDateTime last_time = 0;
  std::atomic<bool> auto_compact_space{true};

 private:
  char* room_locked(int64_t count, int64_t& refusal);
  void clear_locked(bool auto_compact);
  int32_t pos_locked(std::string_view tag, int32_t startpos) const;

  char* databuf = nullptr;
  int32_t capacity_ = 0;
  int32_t limit_ = kMaxCapacity;
  std::recursive_mutex iLock;
  int32_t Read_pos = 0;
  int32_t write_pos = 0;
  int32_t data_len = 0;
};

// ---------------------------------------------------------------- TMem_Stream_Pool

// Reusable streams. Keeps at most Pool_Size + 1 streams; thread-safe.
class TMem_Stream_Pool {
 public:
  TMem_Stream_Pool() = default;
  ~TMem_Stream_Pool() { Destroy(); }
  TMem_Stream_Pool(const TMem_Stream_Pool&) = delete;
  TMem_Stream_Pool& operator=(const TMem_Stream_Pool&) = delete;

  // Null when not Active; else the most recently pushed stream or a new one
  // of capacity BaseSize, reset with compaction.
  std::unique_ptr<Tfifo_Mem_stream> Pop(int32_t BaseSize);
  // Keeps obj (reset with compaction) unless the pool holds more than
  // Pool_Size streams, is inactive, or the reset fails: then obj is destroyed.
  void Push(std::unique_ptr<Tfifo_Mem_stream> obj);
  int32_t Length();
  // Destroys every pooled stream; the pool stays usable as an inactive one.
  void Destroy();

  bool Active() const { return active_.load(); }
  void SetActive(bool v) { active_.store(v); }
  int32_t Pool_Size() const { return pool_size_.load(); }
  void SetPool_Size(int32_t v) { pool_size_.store(v < 0 ? 0 : v); }

 private:
  std::mutex lock;
  std::vector<std::unique_ptr<Tfifo_Mem_stream>> list_;
  std::atomic<bool> active_{true};
  std::atomic<int32_t> pool_size_{100};
};

// The process-wide pool, created on first use and emptied (made inactive)
// at process end; the object itself stays valid for late callers.
TMem_Stream_Pool& mem_stream_pool();

// ---------------------------------------------------------------- TAWE_Mem

// A block of page-locked memory: an anonymous mapping pinned with mlock.
// Never throws; the outcome is GetError().
class TAWE_Mem {
 public:
  static constexpr int32_t kOk = 0;
  static constexpr int32_t kNotGranted = -1;   // the pages could not be locked
  static constexpr int32_t kNoFrameArray = -2; // the page array could not be allocated
  static constexpr int32_t kNoReserve = -3;    // the address range could not be reserved
  static constexpr int32_t kNoMap = -5;        // the pages could not be made accessible

  // fSize bytes, rounded up to whole pages for the mapping.
  explicit TAWE_Mem(uint32_t fSize);
  ~TAWE_Mem();
  TAWE_Mem(const TAWE_Mem&) = delete;
  TAWE_Mem& operator=(const TAWE_Mem&) = delete;

  int32_t GetError() const { return fErrorcode; }
  void* Mem() const { return MemReserved; }
  uint8_t* asArray() const { return static_cast<uint8_t*>(MemReserved); }
  uint32_t MemSize() const { return Size; }
  uint32_t page_count() const { return NumberOfPages; }
  bool active() const { return active_; }
  // A copy of the whole block; empty when not mapped.
  std::string asString() const;

 private:
  uint32_t Size;
  uint64_t* PFNS = nullptr;
  uint32_t PFNS_Size = 0;
  uint32_t NumberOfPages = 0;
  int32_t fErrorcode = 0;
  void* MemReserved = nullptr;
  size_t mapped_len_ = 0;
  bool active_ = false;
};

// True when this process may lock pages (probed once).
bool mem_lock_granted();
// A new locked block when locking is granted and the block came up whole;
// null otherwise.
std::unique_ptr<TAWE_Mem> new_phys_block(uint32_t size);
// Physical blocks for get_mem_block(…, true); switched off for the rest of
// the process by the first failed request.
bool phys_blocks_enabled();

// ---------------------------------------------------------------- block recycler

class TEx_Mem_Block_List;

// One handed-out block. The 8 bytes before user_ptr hold the record's
// address; the 8 before those a check value derived from it.
struct TEx_Mem_Block_Base {
  void* user_ptr = nullptr;
  uint8_t* storage = nullptr;  // malloc'ed, storage_len bytes
  int64_t storage_len = 0;
  std::unique_ptr<TAWE_Mem> phys_mem;
  int64_t use_count = 0;  // handouts, for statistics
  TEx_Mem_Block_List* owner = nullptr;
  std::atomic<bool> in_use{false};
};
using PEx_Mem_Block_Base = TEx_Mem_Block_Base*;

// Recycled blocks of one thread. Kept records are reused by get_block; a
// block may be freed by any thread and always returns here, under `lock`.
// The list lives as long as its thread or its last outstanding block,
// whichever ends later; blocks freed after its thread ended are released.
class TEx_Mem_Block_List {
 public:
  static constexpr int32_t kDefaultKeep = 200;
  static constexpr int32_t kMaxBlockSize = 0x7FFFFFFF - 4096;

  // A list with one reference held by the caller; end it with close().
  static TEx_Mem_Block_List* create(int32_t keep_limit = kDefaultKeep);
  // Releases the kept records and the caller's reference; later recycled
  // blocks are released instead of kept.
  void close();

  // Address of at least Size usable bytes (16-byte aligned), or null for
  // Size < 0, Size > kMaxBlockSize or a failed allocation.
  void* get_block(int32_t Size, bool try_AWE);
  void recyle(PEx_Mem_Block_Base block_obj);

  int32_t max_recyle_block_count();
  void Setmax_recyle_block_count(int32_t v);
  int32_t count();

 private:
  explicit TEx_Mem_Block_List(int32_t keep) : Fmax_recyle_block_count(keep) {}
  ~TEx_Mem_Block_List() = default;
  void add_ref() { refs_.fetch_add(1, std::memory_order_relaxed); }
  void release_ref();
  static void release_record(PEx_Mem_Block_Base rec) noexcept;

  std::mutex lock;
  std::vector<PEx_Mem_Block_Base> list;
  int32_t Fmax_recyle_block_count;
  bool closed_ = false;
  std::atomic<int64_t> refs_{1};
};

// Blocks up to kSmallBlockMax bytes come from the calling thread's
// small-block list (keeps kSmallKeep), larger ones from its large-block list
// (keeps kLargeKeep); both are created on the thread's first request.
inline constexpr int32_t kSmallBlockMax = 69632;
inline constexpr int32_t kSmallKeep = 2000;
inline constexpr int32_t kLargeKeep = 500;
void* get_mem_block(int32_t Size, bool try_AWE = false);
// Null is ignored, so is a block already freed; an address not handed out by
// get_mem_block is rejected by the record's check value (best effort: the
// 16 bytes before it must be readable). Every failure is swallowed.
void free_mem_block(void* address) noexcept;
// The calling thread's list (created when missing). Not for thread_local
// destructors: get_mem_block handles requests made while a thread ends.
TEx_Mem_Block_List& thread_mem_block_list(bool large);

}  // namespace ux
