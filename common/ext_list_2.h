// ext_list_2: the pointer FIFO with recycled link items (TUX_FIFO_Pool) and
// the tiny most-recent-first value memory (TUX_Last_3_value).
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

namespace ux {

// One link item: the queued value plus 64 bytes of inline data that travel
// with it. Allocated from the general heap and recycled by the owning queue.
struct TUX_FIFO_Item {
  TUX_FIFO_Item* Prev;
  TUX_FIFO_Item* Next;
  void* Data_ptr;
  uint8_t Data_buf[64];
};
using PUX_FIFO_Item = TUX_FIFO_Item*;

// Walk callback: clear DoNext to stop at item. Runs under the queue's lock;
// it may call the queue's operations and may take out the current item, but
// no other item.
using TUX_FIFO_each_func = void (*)(PUX_FIFO_Item item, int64_t tag_int, bool& DoNext);

// Item-free handler: gets every item the queue frees (queued items on Clear /
// destruction, surplus blank items). Its errors are swallowed.
using TUX_FIFO_item_free = std::function<void(PUX_FIFO_Item item)>;

// Locked FIFO of pointers. Every operation that changes a list holds `lock`
// (re-entrant), so any number of threads may push and pop concurrently.
// Steady-state push/pop allocates nothing: link items return to a blank list
// that keeps at most kMaxBlank + 1 items.
//
// The list fields are public for inspection; they are guarded by `lock`.
class TUX_FIFO_Pool {
 public:
  static constexpr int32_t kMaxBlank = 200;
  static constexpr int32_t kInlineCopyMax = 62;

  TUX_FIFO_Pool() = default;
  ~TUX_FIFO_Pool();
  TUX_FIFO_Pool(const TUX_FIFO_Pool&) = delete;
  TUX_FIFO_Pool& operator=(const TUX_FIFO_Pool&) = delete;

  // Queues Data_Ptr with min(Len, 62) bytes of Data_buf as inline data. With
  // checkDataExists, a pointer already queued is not queued again (the check
  // and the append are one locked step).
  void push(void* Data_Ptr, const void* Data_buf = nullptr, int32_t Len = 0,
            bool checkDataExists = false);
  // Appends an item at the tail; null is ignored. Throws EAssertionFailed
  // ("Data_tailer is null") when the queue has a head but no tail.
  void push(PUX_FIFO_Item pkt);

  // Head item with its links cleared (caller owns it: hand it back with
  // push_blank or push), or null when empty.
  [[nodiscard]] PUX_FIFO_Item Pop_Data();
  // Pops the head's value into p (null when empty) and recycles its item;
  // outData (64 bytes) receives the item's inline data when given.
  bool Pop_Data_out(void*& p, void* outData = nullptr);
  // Takes P out of the queue wherever it is; P must be an item of this
  // queue. Null when P is null, the queue is empty or P is no longer linked
  // (already taken out, on the blank list). O(1): an item linked in another
  // queue is not detected.
  PUX_FIFO_Item Fetch_Item(PUX_FIFO_Item P);

  // Momentary values, read without the lock.
  PUX_FIFO_Item Data_First() const { return __atomic_load_n(&Data_Header, __ATOMIC_RELAXED); }
  PUX_FIFO_Item Data_Last() const { return __atomic_load_n(&Data_Tailer, __ATOMIC_RELAXED); }
  int32_t count() const { return __atomic_load_n(&Len, __ATOMIC_RELAXED); }
  int32_t blank_count() const { return __atomic_load_n(&Blank_Len, __ATOMIC_RELAXED); }

  // Walks from the head; returns the item at which func cleared DoNext, or
  // null at the end or when func throws (the walk stops there).
  PUX_FIFO_Item ForEach(TUX_FIFO_each_func func, int64_t tag_int);

  // A zeroed item, recycled when possible.
  [[nodiscard]] PUX_FIFO_Item Pop_Blank();
  // Recycles pkt; beyond kMaxBlank kept items it goes to on_item_free and is
  // freed. Null is ignored.
  void push_blank(PUX_FIFO_Item pkt);

  // FreeAll: every queued then every blank item goes to on_item_free and is
  // freed. Otherwise queued items move to the blank list without notice
  // (they count in Blank_Len, which may then exceed the limit; push_blank
  // frees instead of keeping until Pop_Blank has taken it back below).
  void Clear(bool FreeAll);

  int64_t Tag_id() const { return FTag_id; }
  void SetTag_id(int64_t Value) { FTag_id = Value; }

  int32_t Blank_Len = 0;
  int32_t Len = 0;
  PUX_FIFO_Item Data_Tailer = nullptr;
  PUX_FIFO_Item Data_Header = nullptr;
  PUX_FIFO_Item Blank_Data_Header = nullptr;
  std::recursive_mutex lock;
  int64_t FTag_id = 0;
  TUX_FIFO_item_free on_item_free;

 private:
  void append_locked(PUX_FIFO_Item pkt);
  PUX_FIFO_Item take_head_locked();
  PUX_FIFO_Item take_blank_locked();
  void recycle_locked(PUX_FIFO_Item pkt);
  void free_item(PUX_FIFO_Item pkt) noexcept;
  void set_len(int32_t v) { __atomic_store_n(&Len, v, __ATOMIC_RELAXED); }
  void set_blank_len(int32_t v) { __atomic_store_n(&Blank_Len, v, __ATOMIC_RELAXED); }
  void set_header(PUX_FIFO_Item p) { __atomic_store_n(&Data_Header, p, __ATOMIC_RELAXED); }
  void set_tailer(PUX_FIFO_Item p) { __atomic_store_n(&Data_Tailer, p, __ATOMIC_RELAXED); }
};

// Memory of the last few distinct 32-bit values, most recent first. Fresh
// slots hold (0, 0), so 0 counts as present until `len` other values were
// set. Not thread-safe.
class TUX_Last_3_value {
 public:
  struct TSlot {
    uint32_t V;
    int64_t at_last;
  };

  static constexpr int32_t kMaxLen = 4096;

  // len < 0 counts as 0 (nothing is ever remembered); at most kMaxLen slots.
  explicit TUX_Last_3_value(int32_t len = 3);

  // True when a slot holds V; at_time := that slot's time.
  bool is_last_value(uint32_t V, int64_t& at_time) const;
  void set_last_value(uint32_t V, int64_t Now);

  const std::vector<TSlot>& vals() const { return vals_; }

 private:
  std::vector<TSlot> vals_;
};

}  // namespace ux
