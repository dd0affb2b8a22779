// ext_list: locked object list (TThreadSafe_ObjectList), locked array of
// fixed-size items (TVector_List), bounded caller-memory byte buffer
// (TUX_Stack_Buf) and the name/value list of the request headers (TUX_KV_List).
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace ux {

// Pseudo-random number in [0, n); n <= 0 gives 0. Thread-safe.
int32_t list_random_below(int32_t n);

// ---------------------------------------------------------------- TThreadSafe_ObjectList

// A list of T* behind one re-entrant lock; every operation holds it for its
// whole duration. Not owning after construction; with OwnsObjects set,
// Remove and Clear/destruction delete the items (Pop_First/Pop_Last hand the
// object out and never delete it). Shared owners hold it by std::shared_ptr.
template <class T>
class TThreadSafe_ObjectList {
 public:
  // Called for every item before Clear empties the list or the list is
  // destroyed; its exceptions are swallowed.
  using TFreeObject = std::function<void(T* item, int32_t index)>;
  using TInner = std::vector<T*>;

  TThreadSafe_ObjectList() = default;
  virtual ~TThreadSafe_ObjectList() { Clear(); }
  TThreadSafe_ObjectList(const TThreadSafe_ObjectList&) = delete;
  TThreadSafe_ObjectList& operator=(const TThreadSafe_ObjectList&) = delete;

  // New count when Obj was appended; -1 for null or (unique) already present.
  virtual int32_t Add(T* Obj, bool unique = false) {
    if (!Obj) return -1;
    std::lock_guard<std::recursive_mutex> g(Lock);
    if (unique && std::find(List.begin(), List.end(), Obj) != List.end()) return -1;
    List.push_back(Obj);
    return static_cast<int32_t>(List.size());
  }
  // Removes the first occurrence (deleting it when owning).
  virtual bool Remove(T* Obj) {
    if (!Obj) return false;
    std::lock_guard<std::recursive_mutex> g(Lock);
    auto it = std::find(List.begin(), List.end(), Obj);
    if (it == List.end()) return false;
    List.erase(it);
    if (FOwnsObjects) delete Obj;
    return true;
  }
  virtual T* Pop_First(bool RemoveIt) {
    std::lock_guard<std::recursive_mutex> g(Lock);
    if (List.empty()) return nullptr;
    T* obj = List.front();
    if (RemoveIt) List.erase(List.begin());
    return obj;
  }
  // Removes the first occurrence of the last item when RemoveIt.
  virtual T* Pop_Last(bool RemoveIt) {
    std::lock_guard<std::recursive_mutex> g(Lock);
    if (List.empty()) return nullptr;
    T* obj = List.back();
    if (RemoveIt) List.erase(std::find(List.begin(), List.end(), obj));
    return obj;
  }

  int32_t Count() {
    std::lock_guard<std::recursive_mutex> g(Lock);
    return static_cast<int32_t>(List.size());
  }
  int32_t IndexOf(T* Obj) {
    std::lock_guard<std::recursive_mutex> g(Lock);
    auto it = std::find(List.begin(), List.end(), Obj);
    return it == List.end() ? -1 : static_cast<int32_t>(it - List.begin());
  }
  T* ItemOfIndex(int32_t i) {
    std::lock_guard<std::recursive_mutex> g(Lock);
    if (i < 0 || static_cast<size_t>(i) >= List.size()) return nullptr;
    return List[static_cast<size_t>(i)];
  }

  void Clear() {
    std::lock_guard<std::recursive_mutex> g(Lock);
    if (onFreeObject) {
      for (size_t i = 0; i < List.size(); ++i) {
        try {
          onFreeObject(List[i], static_cast<int32_t>(i));
        } catch (...) {
        }
      }
    }
    TInner items;
    items.swap(List);
    if (FOwnsObjects)
      for (T* obj : items) delete obj;
  }

  // Appends the items, in order, to L (a new non-owning list when L is null).
  std::shared_ptr<TThreadSafe_ObjectList> CloneList(std::shared_ptr<TThreadSafe_ObjectList> L = nullptr) {
    if (!L) L = std::make_shared<TThreadSafe_ObjectList>();
    if (L.get() == this) return L;
    std::scoped_lock g(Lock, L->Lock);
    L->List.insert(L->List.end(), List.begin(), List.end());
    return L;
  }

  // An item picked by a pseudo-random number below 2000 modulo the count;
  // null when the list is empty.
  T* RandomObject() {
    std::lock_guard<std::recursive_mutex> g(Lock);
    if (List.empty()) return nullptr;
    return List[static_cast<size_t>(list_random_below(2000)) % List.size()];
  }

  // Hold the lock around several steps; UnlockList once per successful lock.
  TInner& LockList() {
    Lock.lock();
    return List;
  }
  void UnlockList() { Lock.unlock(); }
  TInner* TryLockList() { return Lock.try_lock() ? &List : nullptr; }

  bool OwnsObjects() {
    std::lock_guard<std::recursive_mutex> g(Lock);
    return FOwnsObjects;
  }
  void SetOwnsObjects(bool v) {
    std::lock_guard<std::recursive_mutex> g(Lock);
    FOwnsObjects = v;
  }

  TFreeObject onFreeObject;
  int64_t tag = 0;

 protected:
  std::recursive_mutex Lock;
  TInner List;
  bool FOwnsObjects = false;
};

// ---------------------------------------------------------------- TVector_List

// index, item address, tag, in-out DoNext; the result is not used.
using TVector_Foreach_func = void* (*)(int32_t index, void* item, int64_t Tag, bool& DoNext);

// Items of a fixed size stored by value, back to back. Mutations and lookups
// take `lock` (re-entrant); count() does not. Addresses handed out point into
// storage that the next growth or deletion may move: hold lockList while
// using them. Storage is capped at kMaxBytes; an Add beyond it adds nothing.
class TVector_List {
 public:
  static constexpr int64_t kMaxBytes = 0x7FFFFFFF;
  static constexpr int32_t kInitialItems = 64;
  static constexpr int32_t kGrowItems = 128;

  // Item size 8 when fVector_item_Size <= 0.
  explicit TVector_List(int32_t fVector_item_Size = 0);
  TVector_List(const TVector_List&) = delete;
  TVector_List& operator=(const TVector_List&) = delete;

  // Copies one item from P to the end; the new count (unchanged for null P
  // or when the storage cap is reached). P may point at an item of this list.
  int32_t Add(const void* P);
  // For 0 <= index < count: inserts a copy of P before item index. Returns
  // the (new) count.
  int32_t InsertBefore(int32_t index, const void* P);
  // Removes item I when in range; returns the count as it was before.
  int32_t Delete(int32_t I);
  // Deletes the item that contains address P; false when P is not inside.
  bool Remove(const void* P);

  void* ItemOf(int32_t i);
  void* First();
  void* Last();
  // First(), then Delete(0) when removeIt: the address then holds the former
  // second item. pop_first_to copies the first item out before removing it.
  void* pop_first(bool removeIt);
  bool pop_first_to(void* dest);

  int32_t count() const { return __atomic_load_n(&Vector_list_length, __ATOMIC_RELAXED); }
  uint32_t RAW_Buf_Size();
  int32_t item_size() const { return Vector_item_Size; }

  // Visits items from the first until DoNext is cleared; exceptions of
  // each_func are swallowed and the walk goes on. Address of the last item
  // visited, null when none.
  void* ForEach(TVector_Foreach_func each_func, int64_t tag_int);

  void CopyFrom(TVector_List& L);
  // Replaces the content with the whole items in datalen bytes at data;
  // nothing when datalen is below one item.
  void raw_copy_data(const void* data, int32_t datalen);

  void lockList() { lock.lock(); }
  void unlockList() { lock.unlock(); }
  void Clear();

 private:
  bool reserve_locked(int64_t items);
  bool is_inside_locked(const void* P) const;
  // One item's bytes from P inside the storage (zero past its end).
  std::vector<uint8_t> copy_out_locked(const void* P) const;
  // Room for one more item; P is redirected to a copy in own when it points
  // into the storage. False when the storage cannot grow.
  bool make_room_locked(const void*& P, std::vector<uint8_t>& own);
  void set_count(int32_t v) { __atomic_store_n(&Vector_list_length, v, __ATOMIC_RELAXED); }

  std::vector<uint8_t> Vector_Buf;
  int32_t Vector_list_length = 0;
  int32_t Vector_item_Size;
  std::recursive_mutex lock;
};

// ---------------------------------------------------------------- TUX_Stack_Buf

// Bounded byte buffer over caller memory; never allocates. Appends keep one
// byte of the capacity free and are refused, unchanged, when they do not fit.
struct TUX_Stack_Buf {
  char* memory;
  int32_t len;
  int32_t capacity;
};

void stack_buf_init(TUX_Stack_Buf& buf, void* memory, int32_t capacity);
// Appends only when n > 0 and len + n < capacity.
bool stack_buf_append(TUX_Stack_Buf& buf, const void* bytes, int32_t n);
bool stack_buf_append_str(TUX_Stack_Buf& buf, std::string_view s);
// s1, then s2 and s3 when not empty.
void stack_buf_append_strs(TUX_Stack_Buf& buf, std::string_view s1, std::string_view s2,
                           std::string_view s3);
int32_t stack_buf_len(const TUX_Stack_Buf& buf);
std::string stack_buf_text(const TUX_Stack_Buf& buf);
void stack_buf_clear(TUX_Stack_Buf& buf);

// ---------------------------------------------------------------- TUX_KV_List

// Ordered name/value pairs of bytes in 413-byte records held by value in a
// TVector_List. Names are cut to 198 bytes, values to 65535; values above 200
// bytes are stored out of line (owned by the list). Names match ignoring ASCII
// case. The text form (lines of name, separator, value, CR LF) is limited to
// 65535 bytes and cached until the next change. Not thread-safe.
class TUX_KV_List {
 public:
  static constexpr int32_t kRecordSize = 413;
  static constexpr int32_t kMaxName = 198;
  static constexpr int32_t kMaxInlineValue = 200;
  static constexpr int32_t kMaxValue = 65535;
  static constexpr int32_t kTextBufSize = 65536;

  TUX_KV_List();
  ~TUX_KV_List();
  TUX_KV_List(const TUX_KV_List&) = delete;
  TUX_KV_List& operator=(const TUX_KV_List&) = delete;

  // Nothing when key is empty.
  void Add(std::string_view key, std::string_view Value);
  // Nothing when PK is null or PK_Len <= 0; null PV or PV_Len <= 0 gives "".
  void Add(const void* PK, int32_t PK_Len, const void* PV, int32_t PV_Len);
  // Splits at the first separator (no separator: all of it is the name).
  void Add(std::string_view Value);

  int32_t Count() const { return List.count(); }
  int32_t IndexOfName(std::string_view key);
  std::string GetValues(std::string_view key);
  void SetValues(std::string_view key, std::string_view Value);
  void Remove(std::string_view key);
  // New count.
  int32_t Delete(int32_t idx);

  std::string GetName_idx(int32_t idx);
  void setName_idx(int32_t idx, std::string_view Value);
  std::string GetValueFromIndex(int32_t idx);
  void SetValueFromIndex(int32_t idx, std::string_view Value);
  std::string GetItems(int32_t idx);
  void SetItems(int32_t idx, std::string_view Value);

  std::string asText();
  void setAsText(std::string_view text);

  char NameValueSeparator() const { return fNameValueSeparator; }
  void SetNameValueSeparator(char c);

  void Clear();
  void copyFrom(TUX_KV_List& H);
  void Assign(TUX_KV_List& H) { copyFrom(H); }
  // Appends the text form (cache, else pairs with a non-empty name).
  void CopyTo(TUX_Stack_Buf& Buf);

 private:
  void set_record(uint8_t* rec, std::string_view name, std::string_view value, bool keep_name);
  void set_value(uint8_t* rec, std::string_view value);
  void free_value(uint8_t* rec);
  void append_pair(std::string_view name, std::string_view value);
  void split_pair(std::string_view line, std::string_view& name, std::string_view& value) const;

  TVector_List List;
  char fNameValueSeparator = '=';
  std::string asText_Cache;
};

}  // namespace ux
