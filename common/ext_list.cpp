#include "common/ext_list.h"

#include <cstring>
#include <random>

#include "common/ux_common.h"

namespace ux {

int32_t list_random_below(int32_t n) {
  if (n <= 0) return 0;
  thread_local std::minstd_rand gen{std::random_device{}()};
  return static_cast<int32_t>(gen() % static_cast<uint32_t>(n));
}

// ---------------------------------------------------------------- TVector_List

TVector_List::TVector_List(int32_t fVector_item_Size)
    : Vector_item_Size(fVector_item_Size > 0 ? fVector_item_Size : 8) {
  reserve_locked(kInitialItems);
}

bool TVector_List::reserve_locked(int64_t items) {
  const int64_t bytes = items * Vector_item_Size;
  if (bytes > kMaxBytes) return false;
  if (static_cast<size_t>(bytes) <= Vector_Buf.size()) return true;
  try {
    Vector_Buf.resize(static_cast<size_t>(bytes));
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

bool TVector_List::is_inside_locked(const void* P) const {
  const auto* p = static_cast<const uint8_t*>(P);
  return !Vector_Buf.empty() && p >= Vector_Buf.data() && p < Vector_Buf.data() + Vector_Buf.size();
}

std::vector<uint8_t> TVector_List::copy_out_locked(const void* P) const {
  const auto* p = static_cast<const uint8_t*>(P);
  const size_t left = size_t(Vector_Buf.data() + Vector_Buf.size() - p);
  std::vector<uint8_t> item(size_t(Vector_item_Size), 0);
  std::memcpy(item.data(), p, left < item.size() ? left : item.size());
  return item;
}

bool TVector_List::make_room_locked(const void*& P, std::vector<uint8_t>& own) {
  // P inside the storage: growth or a shift would move or free it.
  if (is_inside_locked(P)) {
    own = copy_out_locked(P);
    P = own.data();
  }
  const int64_t need = int64_t(Vector_list_length) + 1;
  return static_cast<size_t>(need * Vector_item_Size) <= Vector_Buf.size() ||
         reserve_locked(int64_t(Vector_list_length) + kGrowItems) || reserve_locked(need);
}

int32_t TVector_List::Add(const void* P) {
  std::lock_guard<std::recursive_mutex> g(lock);
  if (!P) return Vector_list_length;
  std::vector<uint8_t> own;
  if (!make_room_locked(P, own)) return Vector_list_length;
  std::memcpy(Vector_Buf.data() + size_t(Vector_list_length) * size_t(Vector_item_Size), P,
              size_t(Vector_item_Size));
  set_count(Vector_list_length + 1);
  return Vector_list_length;
}

int32_t TVector_List::InsertBefore(int32_t index, const void* P) {
  std::lock_guard<std::recursive_mutex> g(lock);
  if (!P || index < 0 || index >= Vector_list_length) return Vector_list_length;
  std::vector<uint8_t> own;
  if (!make_room_locked(P, own)) return Vector_list_length;
  const size_t sz = size_t(Vector_item_Size);
  uint8_t* at = Vector_Buf.data() + size_t(index) * sz;
  std::memmove(at + sz, at, size_t(Vector_list_length - index) * sz);
  std::memcpy(at, P, sz);
  set_count(Vector_list_length + 1);
  return Vector_list_length;
}

int32_t TVector_List::Delete(int32_t I) {
  std::lock_guard<std::recursive_mutex> g(lock);
  const int32_t before = Vector_list_length;
  if (I < 0 || I >= Vector_list_length) return before;
  const size_t sz = size_t(Vector_item_Size);
  uint8_t* at = Vector_Buf.data() + size_t(I) * sz;
  std::memmove(at, at + sz, size_t(Vector_list_length - I - 1) * sz);
  set_count(Vector_list_length - 1);
  return before;
}

bool TVector_List::Remove(const void* P) {
  std::lock_guard<std::recursive_mutex> g(lock);
  const uint8_t* p = static_cast<const uint8_t*>(P);
  const uint8_t* base = Vector_Buf.data();
  if (!p || p < base || p >= base + size_t(Vector_list_length) * size_t(Vector_item_Size))
    return false;
  Delete(static_cast<int32_t>(size_t(p - base) / size_t(Vector_item_Size)));
  return true;
}

void* TVector_List::ItemOf(int32_t i) {
  std::lock_guard<std::recursive_mutex> g(lock);
  if (i < 0 || i >= Vector_list_length) return nullptr;
  return Vector_Buf.data() + size_t(i) * size_t(Vector_item_Size);
}

void* TVector_List::First() { return ItemOf(0); }

void* TVector_List::Last() {
  std::lock_guard<std::recursive_mutex> g(lock);
  return ItemOf(Vector_list_length - 1);
}

void* TVector_List::pop_first(bool removeIt) {
  std::lock_guard<std::recursive_mutex> g(lock);
  void* p = First();
  if (p && removeIt) Delete(0);
  return p;
}

bool TVector_List::pop_first_to(void* dest) {
  std::lock_guard<std::recursive_mutex> g(lock);
  void* p = First();
  if (!p || !dest) return false;
  std::memcpy(dest, p, size_t(Vector_item_Size));
  Delete(0);
  return true;
}

uint32_t TVector_List::RAW_Buf_Size() {
  std::lock_guard<std::recursive_mutex> g(lock);
  return uint32_t(Vector_list_length) * uint32_t(Vector_item_Size);
}

void* TVector_List::ForEach(TVector_Foreach_func each_func, int64_t tag_int) {
  if (!each_func) return nullptr;
  std::lock_guard<std::recursive_mutex> g(lock);
  void* last = nullptr;
  for (int32_t i = 0; i < Vector_list_length; ++i) {
    last = Vector_Buf.data() + size_t(i) * size_t(Vector_item_Size);
    bool DoNext = true;
    try {
      each_func(i, last, tag_int, DoNext);
    } catch (...) {
    }
    if (!DoNext) break;
  }
  return last;
}

void TVector_List::CopyFrom(TVector_List& L) {
  if (&L == this) return;
  std::scoped_lock g(lock, L.lock);
  Vector_Buf = L.Vector_Buf;
  Vector_item_Size = L.Vector_item_Size;
  set_count(L.Vector_list_length);
}

void TVector_List::raw_copy_data(const void* data, int32_t datalen) {
  std::lock_guard<std::recursive_mutex> g(lock);
  if (!data || datalen < Vector_item_Size) return;
  const int32_t items = datalen / Vector_item_Size;
  std::vector<uint8_t> buf;
  try {
    buf.resize(size_t(int64_t(items) + 4) * size_t(Vector_item_Size));
  } catch (const std::bad_alloc&) {
    return;
  }
  std::memcpy(buf.data(), data, size_t(items) * size_t(Vector_item_Size));
  Vector_Buf.swap(buf);
  set_count(items);
}

void TVector_List::Clear() {
  std::lock_guard<std::recursive_mutex> g(lock);
  set_count(0);
}

// ---------------------------------------------------------------- TUX_Stack_Buf

void stack_buf_init(TUX_Stack_Buf& buf, void* memory, int32_t capacity) {
  buf.memory = static_cast<char*>(memory);
  buf.len = 0;
  buf.capacity = memory && capacity > 0 ? capacity : 0;
}

bool stack_buf_append(TUX_Stack_Buf& buf, const void* bytes, int32_t n) {
  if (n <= 0 || !bytes || int64_t(buf.len) + n >= buf.capacity) return false;
  std::memcpy(buf.memory + buf.len, bytes, size_t(n));
  buf.len += n;
  return true;
}

bool stack_buf_append_str(TUX_Stack_Buf& buf, std::string_view s) {
  if (s.size() > size_t(INT32_MAX)) return false;
  return stack_buf_append(buf, s.data(), static_cast<int32_t>(s.size()));
}

void stack_buf_append_strs(TUX_Stack_Buf& buf, std::string_view s1, std::string_view s2,
                           std::string_view s3) {
  stack_buf_append_str(buf, s1);
  if (!s2.empty()) stack_buf_append_str(buf, s2);
  if (!s3.empty()) stack_buf_append_str(buf, s3);
}

int32_t stack_buf_len(const TUX_Stack_Buf& buf) { return buf.len; }

std::string stack_buf_text(const TUX_Stack_Buf& buf) {
  return std::string(buf.memory ? buf.memory : "", size_t(buf.len));
}

void stack_buf_clear(TUX_Stack_Buf& buf) { buf.len = 0; }

// ---------------------------------------------------------------- TUX_KV_List

namespace {

// Pair record layout (packed, 413 bytes).
constexpr size_t kNameOff = 0;       // 200: name bytes, then a 0 byte
constexpr size_t kNameLenOff = 200;  // 1
constexpr size_t kValueLenOff = 201; // 2, unsigned, host order
constexpr size_t kValueOff = 203;    // 202: inline value when length <= 200
constexpr size_t kLongOff = 405;     // 8: owned out-of-line copy, or null

std::string_view rec_name(const uint8_t* rec) {
  return {reinterpret_cast<const char*>(rec + kNameOff), rec[kNameLenOff]};
}

uint16_t rec_value_len(const uint8_t* rec) {
  uint16_t n;
  std::memcpy(&n, rec + kValueLenOff, 2);
  return n;
}

char* rec_long(const uint8_t* rec) {
  char* p;
  std::memcpy(&p, rec + kLongOff, sizeof(p));
  return p;
}

std::string_view rec_value(const uint8_t* rec) {
  const uint16_t n = rec_value_len(rec);
  if (n > TUX_KV_List::kMaxInlineValue) {
    const char* p = rec_long(rec);
    return p ? std::string_view(p, n) : std::string_view();
  }
  return {reinterpret_cast<const char*>(rec + kValueOff), n};
}

}  // namespace

TUX_KV_List::TUX_KV_List() : List(kRecordSize) {}

TUX_KV_List::~TUX_KV_List() { Clear(); }

void TUX_KV_List::free_value(uint8_t* rec) {
  char* p = rec_long(rec);
  delete[] p;
  p = nullptr;
  std::memcpy(rec + kLongOff, &p, sizeof(p));
}

void TUX_KV_List::set_value(uint8_t* rec, std::string_view value) {
  if (value.size() > size_t(kMaxValue)) value = value.substr(0, size_t(kMaxValue));
  char* copy = nullptr;
  if (value.size() > size_t(kMaxInlineValue)) {
    copy = new char[value.size()];
    std::memcpy(copy, value.data(), value.size());
  }
  free_value(rec);
  const uint16_t n = static_cast<uint16_t>(value.size());
  std::memcpy(rec + kValueLenOff, &n, 2);
  std::memset(rec + kValueOff, 0, 202);
  if (copy) {
    std::memcpy(rec + kLongOff, &copy, sizeof(copy));
  } else if (n) {
    std::memcpy(rec + kValueOff, value.data(), n);
  }
}

void TUX_KV_List::set_record(uint8_t* rec, std::string_view name, std::string_view value,
                             bool keep_name) {
  if (!keep_name) {
    if (name.size() > size_t(kMaxName)) name = name.substr(0, size_t(kMaxName));
    std::memset(rec + kNameOff, 0, 200);
    if (!name.empty()) std::memcpy(rec + kNameOff, name.data(), name.size());
    rec[kNameLenOff] = static_cast<uint8_t>(name.size());
  }
  set_value(rec, value);
}

void TUX_KV_List::append_pair(std::string_view name, std::string_view value) {
  uint8_t rec[kRecordSize] = {};
  set_record(rec, name, value, false);
  const int32_t before = List.count();
  if (List.Add(rec) == before) free_value(rec);
  asText_Cache.clear();
}

void TUX_KV_List::split_pair(std::string_view line, std::string_view& name,
                             std::string_view& value) const {
  const size_t at = line.find(fNameValueSeparator);
  if (at == std::string_view::npos) {
    name = line;
    value = {};
  } else {
    name = line.substr(0, at);
    value = line.substr(at + 1);
  }
}

void TUX_KV_List::Add(std::string_view key, std::string_view Value) {
  if (key.empty()) return;
  append_pair(key, Value);
}

void TUX_KV_List::Add(const void* PK, int32_t PK_Len, const void* PV, int32_t PV_Len) {
  if (!PK || PK_Len <= 0) return;
  std::string_view v;
  if (PV && PV_Len > 0) v = std::string_view(static_cast<const char*>(PV), size_t(PV_Len));
  append_pair(std::string_view(static_cast<const char*>(PK), size_t(PK_Len)), v);
}

void TUX_KV_List::Add(std::string_view Value) {
  std::string_view name, value;
  split_pair(Value, name, value);
  Add(name, value);
}

int32_t TUX_KV_List::IndexOfName(std::string_view key) {
  if (key.size() > size_t(kMaxName)) key = key.substr(0, size_t(kMaxName));
  List.lockList();
  int32_t found = -1;
  for (int32_t i = 0, n = List.count(); i < n; ++i) {
    const std::string_view name = rec_name(static_cast<uint8_t*>(List.ItemOf(i)));
    if (ci_equal_buf(key, name.data(), static_cast<long long>(name.size()))) {
      found = i;
      break;
    }
  }
  List.unlockList();
  return found;
}

std::string TUX_KV_List::GetValues(std::string_view key) {
  return GetValueFromIndex(IndexOfName(key));
}

void TUX_KV_List::SetValues(std::string_view key, std::string_view Value) {
  const int32_t i = IndexOfName(key);
  if (i < 0) {
    Add(key, Value);
  } else {
    SetValueFromIndex(i, Value);
  }
}

void TUX_KV_List::Remove(std::string_view key) {
  const int32_t i = IndexOfName(key);
  if (i >= 0) Delete(i);
}

int32_t TUX_KV_List::Delete(int32_t idx) {
  uint8_t* rec = static_cast<uint8_t*>(List.ItemOf(idx));
  if (!rec) return List.count();
  free_value(rec);
  List.Delete(idx);
  asText_Cache.clear();
  return List.count();
}

std::string TUX_KV_List::GetName_idx(int32_t idx) {
  const uint8_t* rec = static_cast<const uint8_t*>(List.ItemOf(idx));
  return rec ? std::string(rec_name(rec)) : std::string();
}

void TUX_KV_List::setName_idx(int32_t idx, std::string_view Value) {
  uint8_t* rec = static_cast<uint8_t*>(List.ItemOf(idx));
  if (!rec) return;
  if (Value.size() > size_t(kMaxName)) Value = Value.substr(0, size_t(kMaxName));
  std::memset(rec + kNameOff, 0, 200);
  if (!Value.empty()) std::memcpy(rec + kNameOff, Value.data(), Value.size());
  rec[kNameLenOff] = static_cast<uint8_t>(Value.size());
  asText_Cache.clear();
}

std::string TUX_KV_List::GetValueFromIndex(int32_t idx) {
  const uint8_t* rec = static_cast<const uint8_t*>(List.ItemOf(idx));
  return rec ? std::string(rec_value(rec)) : std::string();
}

void TUX_KV_List::SetValueFromIndex(int32_t idx, std::string_view Value) {
  uint8_t* rec = static_cast<uint8_t*>(List.ItemOf(idx));
  if (!rec) return;
  std::string keep(Value);  // Value may view this record's own storage
  set_value(rec, keep);
  asText_Cache.clear();
}

std::string TUX_KV_List::GetItems(int32_t idx) {
  const uint8_t* rec = static_cast<const uint8_t*>(List.ItemOf(idx));
  if (!rec) return std::string();
  std::string s(rec_name(rec));
  s += fNameValueSeparator;
  s += rec_value(rec);
  return s;
}

void TUX_KV_List::SetItems(int32_t idx, std::string_view Value) {
  uint8_t* rec = static_cast<uint8_t*>(List.ItemOf(idx));
  if (!rec) return;
  const std::string keep(Value);
  std::string_view name, value;
  split_pair(keep, name, value);
  set_record(rec, name, value, false);
  asText_Cache.clear();
}

void TUX_KV_List::SetNameValueSeparator(char c) {
  if (c == fNameValueSeparator) return;
  fNameValueSeparator = c;
  asText_Cache.clear();
}

std::string TUX_KV_List::asText() {
  if (!asText_Cache.empty()) return asText_Cache;
  thread_local char text_buf[kTextBufSize];
  TUX_Stack_Buf buf;
  stack_buf_init(buf, text_buf, kTextBufSize);
  const char sep[1] = {fNameValueSeparator};
  List.lockList();
  for (int32_t i = 0, n = List.count(); i < n; ++i) {
    const uint8_t* rec = static_cast<const uint8_t*>(List.ItemOf(i));
    stack_buf_append_str(buf, rec_name(rec));
    stack_buf_append(buf, sep, 1);
    stack_buf_append_str(buf, rec_value(rec));
    stack_buf_append(buf, "\r\n", 2);
  }
  List.unlockList();
  asText_Cache = stack_buf_text(buf);
  return asText_Cache;
}

void TUX_KV_List::setAsText(std::string_view text) {
  const std::string keep(text);
  Clear();
  std::string_view rest(keep);
  while (!rest.empty()) {
    const size_t lf = rest.find('\n');
    std::string_view line = rest.substr(0, lf);
    rest = lf == std::string_view::npos ? std::string_view() : rest.substr(lf + 1);
    if (lf != std::string_view::npos && !line.empty() && line.back() == '\r') line.remove_suffix(1);
    const size_t at = line.find(fNameValueSeparator);
    if (at == std::string_view::npos) continue;
    const std::string name = trim_text(line.substr(0, at));
    if (name.empty()) continue;
    const std::string_view value = line.substr(at + 1);
    Add(name.data(), static_cast<int32_t>(name.size()), value.data(),
        static_cast<int32_t>(value.size() > size_t(INT32_MAX) ? INT32_MAX : value.size()));
  }
  asText_Cache = keep;
}

void TUX_KV_List::Clear() {
  List.lockList();
  for (int32_t i = 0, n = List.count(); i < n; ++i) free_value(static_cast<uint8_t*>(List.ItemOf(i)));
  List.Clear();
  List.unlockList();
  asText_Cache.clear();
}

void TUX_KV_List::copyFrom(TUX_KV_List& H) {
  if (&H == this) return;
  Clear();
  List.CopyFrom(H.List);
  List.lockList();
  for (int32_t i = 0, n = List.count(); i < n; ++i) {
    uint8_t* rec = static_cast<uint8_t*>(List.ItemOf(i));
    const uint16_t len = rec_value_len(rec);
    if (len > kMaxInlineValue) {
      const char* src = rec_long(rec);
      char* copy = new char[len];
      std::memcpy(copy, src, len);
      std::memcpy(rec + kLongOff, &copy, sizeof(copy));
    }
  }
  List.unlockList();
  fNameValueSeparator = H.fNameValueSeparator;
  asText_Cache = H.asText_Cache;
}

void TUX_KV_List::CopyTo(TUX_Stack_Buf& Buf) {
  if (!asText_Cache.empty()) {
    stack_buf_append_str(Buf, asText_Cache);
    return;
  }
  const char sep[1] = {fNameValueSeparator};
  List.lockList();
  for (int32_t i = 0, n = List.count(); i < n; ++i) {
    const uint8_t* rec = static_cast<const uint8_t*>(List.ItemOf(i));
    if (rec[kNameLenOff] == 0) continue;
    stack_buf_append_str(Buf, rec_name(rec));
    stack_buf_append(Buf, sep, 1);
    stack_buf_append_str(Buf, rec_value(rec));
    stack_buf_append(Buf, "\r\n", 2);
  }
  List.unlockList();
}

}  // namespace ux
