// ux_json_v2: the JSON document model — a tree of TJsonObject values with a
// non-recursive state-machine parser (TJsonTokener) and writers into a byte
// buffer, a stream, or a byte counter.
//
// Texts are byte strings in the process code page. Under code page 936 a 0x5C
// byte that is the second byte of a double-byte character is not an escape.
//
// Ownership: a container owns its members and elements; storing a value hands
// it over (std::unique_ptr); replacing or removing one destroys it. Parse and
// Clone return trees the caller owns. Raw TJsonObject* results are borrowed
// views valid until the owning container changes.
//
// Thread-safety: none. A document or tokener is used by one thread at a time;
// AsJSon changes the value's cached text, so even writing needs outside locking.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "common/ux_common.h"
#include "common/ux_stream.h"

namespace ux {

enum TJsonType : uint8_t {
  json_type_null = 0,
  json_type_boolean = 1,
  json_type_double = 2,
  json_type_int = 3,
  json_type_object = 4,
  json_type_array = 5,
  json_type_string = 6,
};

enum TJsonCompareResult { cpLess, cpEqu, cpGreat, cpError };

// Search kinds; a search takes a set of them (bit-or).
enum TJsonAvlSearchType : uint8_t { stEQual = 1, stLess = 2, stGreater = 4 };
using TJsonAvlSearchTypes = uint8_t;

enum TJsonTokenerState : uint8_t {
  json_tokener_state_eatws,
  json_tokener_state_start,
  json_tokener_state_finish,
  json_tokener_state_null,
  json_tokener_state_comment_start,
  json_tokener_state_comment,
  json_tokener_state_comment_eol,
  json_tokener_state_comment_end,
  json_tokener_state_string,
  json_tokener_state_string_escape,
  json_tokener_state_escape_unicode,
  json_tokener_state_boolean,
  json_tokener_state_number,
  json_tokener_state_array,
  json_tokener_state_array_add,
  json_tokener_state_array_sep,
  json_tokener_state_object_field_start,
  json_tokener_state_object_field,
  json_tokener_state_object_field_end,
  json_tokener_state_object_value,
  json_tokener_state_object_value_add,
  json_tokener_state_object_sep,
};

enum TJsonTokenerError : uint8_t {
  json_tokener_success,
  json_tokener_continue,
  json_tokener_error_depth,
  json_tokener_error_parse_eof,
  json_tokener_error_parse_unexpected,
  json_tokener_error_parse_null,
  json_tokener_error_parse_boolean,
  json_tokener_error_parse_number,
  json_tokener_error_parse_array,
  json_tokener_error_parse_object_key_name,
  json_tokener_error_parse_object_key_sep,
  json_tokener_error_parse_object_value_sep,
  json_tokener_error_parse_string,
  json_tokener_error_parse_comment,
};

// Nesting levels of the tokener: a value may lie at most 31 levels below the
// top-level value.
inline constexpr int JSON_TOKENER_MAX_DEPTH = 32;
// Longest AVL search path kept by iterators and updates; an AVL tree of 2^31
// members is at most 45 levels high.
inline constexpr int JSON_AVL_MAX_HEIGHT = 64;
// Largest element count of one array (Put beyond it is ignored).
inline constexpr int32_t JSON_ARRAY_MAX_LENGTH = 1 << 26;
// Default cap of a TJsonWriterString and of the tokener's token buffer.
inline constexpr int64_t JSON_WRITER_MAX_SIZE = int64_t(1) << 30;

class TJsonObject;
class TJsonArray;
class TJsonTableString;

// Compares member names as text: both are decoded from the process code page
// to UTF-16 and compared code unit by code unit with a-z taken as A-Z. Names
// whose decoded texts are equal but whose bytes differ other than by ASCII
// case (invalid sequences) are ordered by their bytes. <0, 0, >0.
int json_name_compare(std::string_view a, std::string_view b);

// ---------------------------------------------------------------- writers

struct TDataRec {
  const void* data = nullptr;
  uint32_t datalen = 0;
};

// Writes JSON text through Append. Write never recurses, so trees of any depth
// are written; it returns 0, or -1 when an Append failed (buffer cap reached,
// short stream write).
class TJsonWriter {
 public:
  virtual ~TJsonWriter() = default;
  // false when the bytes could not be taken; the writer is then failed.
  virtual bool Append(const char* bytes, size_t n) = 0;
  bool Append(std::string_view s) { return Append(s.data(), s.size()); }
  virtual void Reset() = 0;
  int Write(const TJsonObject* obj, bool format, int level);

  bool Failed() const noexcept { return FFailed; }

 protected:
  bool FFailed = false;

 private:
  template <class W>
  static void WriteTree(W& w, const TJsonObject* obj, bool format, int level);
};

// Appends into an owned byte array: 64 bytes at creation, growing to the
// larger of twice its size and what is needed plus 64, up to max_size.
class TJsonWriterString final : public TJsonWriter {
 public:
  explicit TJsonWriterString(int64_t max_size = JSON_WRITER_MAX_SIZE);
  bool Append(const char* bytes, size_t n) override {
    if (static_cast<int64_t>(n) <= FSize - FBPos && !FFailed) {
      if (n > 0) std::memcpy(FBuf.get() + FBPos, bytes, n);
      FBPos += static_cast<int64_t>(n);
      FDataLen = FBPos;
      return true;
    }
    return AppendGrow(bytes, n);
  }
  using TJsonWriter::Append;
  bool Append(char c) {
    if (FBPos < FSize && !FFailed) {
      FBuf[FBPos++] = c;
      FDataLen = FBPos;
      return true;
    }
    return Append(&c, 1);
  }
  void Reset() override;
  std::string GetData() const { return std::string(FBuf.get(), static_cast<size_t>(FDataLen)); }
  std::string_view View() const noexcept {
    return std::string_view(FBuf.get(), static_cast<size_t>(FDataLen));
  }
  int64_t DataLen() const noexcept { return FDataLen; }
  int64_t Capacity() const noexcept { return FSize; }

 private:
  bool AppendGrow(const char* bytes, size_t n);
  std::unique_ptr<char[]> FBuf;
  int64_t FDataLen = 0;
  int64_t FBPos = 0;
  int64_t FSize = 0;
  int64_t FMaxSize;
};

// Writes straight into a stream it does not own, through a 64 KiB staging
// buffer that is flushed when Write ends and on destruction. Reset truncates
// the stream to 0.
class TJsonWriterStream : public TJsonWriter {
 public:
  explicit TJsonWriterStream(TStream& stream);
  ~TJsonWriterStream() override;
  bool Append(const char* bytes, size_t n) override;
  using TJsonWriter::Append;
  void Reset() override;
  // Moves the staged bytes into the stream; false (writer failed) on a short write.
  bool Flush();

 private:
  TStream& FStream;
  std::string FStage;
};

// Only counts the bytes of the text.
class TJsonWriterFake : public TJsonWriter {
 public:
  bool Append(const char*, size_t n) override {
    FSize += static_cast<int64_t>(n);
    return true;
  }
  using TJsonWriter::Append;
  void Reset() override { FSize = 0; }
  int64_t Size() const noexcept { return FSize; }

 private:
  int64_t FSize = 0;
};

// ---------------------------------------------------------------- interfaces

// Non-owning views of a value and of an array; the owner's rules decide their
// lifetime (no reference counting frees them).
class IJson_Object {
 public:
  virtual std::string GetString(std::string_view key, std::string_view def = {}) const = 0;
  virtual int64_t GetInt(std::string_view key, int64_t def = 0) const = 0;
  virtual TDateTime GetDateTime(std::string_view key) const = 0;
  virtual int32_t GetBin(std::string_view key, std::string& buf) const = 0;
  virtual std::string AsJSon(bool format = false) = 0;
  virtual void Put(std::string_view key, std::string_view value) = 0;
  virtual void Put(std::string_view key, int64_t value) = 0;
  virtual void Put(std::string_view key, double value) = 0;
  virtual void Put(std::string_view key, std::unique_ptr<TJsonObject> value) = 0;
  virtual bool IsType(TJsonType t) const = 0;

 protected:
  ~IJson_Object() = default;
};

class IJson_Array {
 public:
  virtual int32_t Add(std::string_view data) = 0;
  virtual int32_t Add(int64_t data) = 0;
  virtual void Remove(int32_t i) = 0;
  virtual int32_t Length() const = 0;

 protected:
  ~IJson_Array() = default;
};

// ---------------------------------------------------------------- members (AVL tree)

struct RJsonAvlEntry {
  RJsonAvlEntry* FChild[2] = {nullptr, nullptr};  // [0] lower names, [1] higher names
  int8_t FBf = 0;                                 // height(right) - height(left)
  std::string FName;
  TJsonObject* FObj = nullptr;  // owned by a TJsonTableString
};
using PJsonAvlEntry = RJsonAvlEntry*;

// AVL tree of entries ordered by json_name_compare. Updates are iterative.
class TJsonAvlTree {
 public:
  TJsonAvlTree() = default;
  virtual ~TJsonAvlTree();
  TJsonAvlTree(const TJsonAvlTree&) = delete;
  TJsonAvlTree& operator=(const TJsonAvlTree&) = delete;

  int32_t count() const noexcept { return FCount; }
  bool IsEmpty() const noexcept { return FRoot == nullptr; }
  PJsonAvlEntry Root() const noexcept { return FRoot; }

  // Frees every entry through doDeleteEntry.
  virtual void Clear();
  // Removes the entry named k (doDeleteEntry); nothing when there is none.
  void Delete(std::string_view k);

 protected:
  virtual void doDeleteEntry(PJsonAvlEntry entry, bool all);
  virtual int CompareNodeNode(PJsonAvlEntry a, PJsonAvlEntry b) const;
  virtual int CompareKeyNode(std::string_view k, PJsonAvlEntry p) const;
  // Links e in; returns e, or the entry already holding e's name (e untouched).
  virtual PJsonAvlEntry Insert(PJsonAvlEntry e);
  virtual PJsonAvlEntry Search(std::string_view k, TJsonAvlSearchTypes st = stEQual) const;

  // Unlinks the entry named k and returns it (caller frees); null when absent.
  PJsonAvlEntry Unlink(std::string_view k);

  PJsonAvlEntry FRoot = nullptr;
  int32_t FCount = 0;

  friend class TJsonAvlIterator;
  friend class TJsonObject;
  friend class TJsonWriter;
};

// The members of an object value; owns the values of its entries.
class TJsonTableString : public TJsonAvlTree {
 public:
  TJsonTableString() = default;
  ~TJsonTableString() override;

  // The member's value, or null.
  TJsonObject* Get(std::string_view k) const;
  // Removes (destroys) any member of the same name, then stores obj unless it
  // is null. Returns the stored value (borrowed) or null.
  TJsonObject* Put(std::string_view k, std::unique_ptr<TJsonObject> obj);
  // Name and value of the entry at index in name order; empty and null when
  // out of range.
  std::string KeyOF(int32_t index, TJsonObject*& v) const;
  // Empties the table, handing every value over to values (nodes: scratch).
  void TakeAll(std::vector<TJsonObject*>& values, std::vector<PJsonAvlEntry>& nodes);

 protected:
  void doDeleteEntry(PJsonAvlEntry entry, bool all) override;
  friend class TJsonObject;
};

// Walks a tree in name order. Modifying the tree invalidates the iterator.
class TJsonAvlIterator {
 public:
  explicit TJsonAvlIterator(const TJsonAvlTree* tree = nullptr) : FTree(tree) {}
  void Create(const TJsonAvlTree* tree) {
    FTree = tree;
    FDepth = -1;
  }
  void First();
  void Last();
  void Next();
  void Prior();
  PJsonAvlEntry GetIter() const noexcept { return FDepth >= 0 ? FPath[FDepth] : nullptr; }
  // stEQual: the entry named k; stLess / stGreater: the nearest entry below /
  // above k along the search path. Off the tree when none.
  void Search(std::string_view k, TJsonAvlSearchTypes st);

 private:
  void Descend(PJsonAvlEntry p, int dir);
  const TJsonAvlTree* FTree;
  uint64_t FBranch = 0;  // bit i: direction taken from FPath[i] (1 = higher)
  int32_t FDepth = -1;
  PJsonAvlEntry FPath[JSON_AVL_MAX_HEIGHT] = {};
};

// One step of a walk over an object's members (TJsonObject::ObjectFindFirst).
struct TJsonObjectIter {
  std::string key;
  TJsonObject* val = nullptr;
  TJsonAvlIterator Ite;
};

// ---------------------------------------------------------------- arrays

// Elements of an array value; owns them. Capacity is 32 at creation and grows
// to twice its size, or to the index + 32 when that is still too small.
class TJsonArray final : public IJson_Array {
 public:
  TJsonArray();
  ~TJsonArray();
  TJsonArray(const TJsonArray&) = delete;
  TJsonArray& operator=(const TJsonArray&) = delete;

  // Appends at index Length and returns that index; a null object is not stored.
  int32_t Add(std::unique_ptr<TJsonObject> data);
  int32_t Add(std::string_view data) override;
  int32_t Add(const char* data) { return Add(std::string_view(data ? data : "")); }
  int32_t Add(int64_t data) override;
  template <class T, std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, int64_t>, int> = 0>
  int32_t Add(T data) {
    return Add(static_cast<int64_t>(data));
  }
  // Parses text and appends the result; -1 when it does not parse.
  int32_t AddObject(std::string_view text);
  // Element i (borrowed), null when out of range or a gap.
  TJsonObject* Get(int32_t i) const;
  // Stores data at i, destroying a previous element there; length becomes
  // max(length, i + 1). Null data, negative i or i >= JSON_ARRAY_MAX_LENGTH are
  // ignored.
  void Put(int32_t i, std::unique_ptr<TJsonObject> data);
  // Destroys element i and moves the last element into its place.
  void Remove(int32_t i) override;
  int32_t Length() const override { return FLength; }
  int32_t Capacity() const noexcept { return FSize; }

  // Destroys every element.
  void Clear();
  // Detaches element i (its slot becomes a gap); null when out of range.
  std::unique_ptr<TJsonObject> Take(int32_t i);

 private:
  bool Grow(int32_t index);
  friend class TJsonWriter;
  std::vector<TJsonObject*> FArray;  // allocated part of the FSize slots
  int32_t FLength = 0;
  int32_t FSize = 32;
  friend class TJsonObject;
};

// Walks an array: MoveNext advances an index from -1 while it stays below the length.
class TJObjectEnumerator {
 public:
  explicit TJObjectEnumerator(TJsonObject* array_value);
  bool MoveNext();
  TJsonObject* GetCurrent() const;

 private:
  int32_t FIndex = -1;
  TJsonArray* JsonArray;
  TJsonObject* JsonObject;
};

// ---------------------------------------------------------------- tokener

struct TJsonTokenerSrec {
  TJsonTokenerState state = json_tokener_state_eatws;
  TJsonTokenerState saved_state = json_tokener_state_start;
  std::unique_ptr<TJsonObject> obj;      // finished value handed up from the level below
  std::unique_ptr<TJsonObject> current;  // value being built at this level
  std::string obj_field_name;
};

class TJsonParser;

// Parser state. ParseEx_New starts every parse from Reset, so one tokener can
// be reused for many texts; err holds the outcome of the last parse. str views
// the caller's text only during a parse. A string, name or number longer than
// max_token bytes fails the parse.
class TJsonTokener {
 public:
  explicit TJsonTokener(int64_t max_token = JSON_WRITER_MAX_SIZE);
  void Reset();
  void ResetLevel(int adepth);

  std::string_view str;
  TJsonWriterString pb;
  int32_t depth = 0;
  int32_t is_double = 0;
  int32_t st_pos = 0;
  int64_t char_offset = 0;
  TJsonTokenerError err = json_tokener_success;
  uint32_t ucs_char = 0;
  uint32_t ucs_high = 0;  // pending high surrogate of a \u pair, 0 when none
  char quote_char = '"';
  TJsonTokenerSrec stack[JSON_TOKENER_MAX_DEPTH];

 private:
  friend class TJsonParser;
  // Double-byte scan state (code page 936): position of the next unclassified
  // byte and whether it is the second byte of a pair.
  int64_t dbcs_pos = 0;
  bool dbcs_trail = false;
  bool literal_true = false;  // the Boolean literal being read is "true"
  bool IsDbcsTrail(int64_t pos);
};

// ---------------------------------------------------------------- values

class TJsonObject final : public IJson_Object {
 public:
  // ---- creation
  explicit TJsonObject(TJsonType jt = json_type_null);
  ~TJsonObject();
  TJsonObject(const TJsonObject&) = delete;
  TJsonObject& operator=(const TJsonObject&) = delete;

  // Empty value of type jt (an object gets an empty member table, an array an
  // empty element list).
  static std::unique_ptr<TJsonObject> Create(TJsonType jt);
  static std::unique_ptr<TJsonObject> Create(bool b);
  static std::unique_ptr<TJsonObject> Create(uint32_t i);
  static std::unique_ptr<TJsonObject> Create(int64_t i);
  template <class T, std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool> &&
                                          !std::is_same_v<T, uint32_t> && !std::is_same_v<T, int64_t>,
                                      int> = 0>
  static std::unique_ptr<TJsonObject> Create(T i) {
    return Create(static_cast<int64_t>(i));
  }
  static std::unique_ptr<TJsonObject> Create(double d);
  // String from a byte string, with the name substitution under code page 936
  // (every byte pair FC 5C becomes BA DA).
  static std::unique_ptr<TJsonObject> Create(std::string_view s);
  static std::unique_ptr<TJsonObject> Create(const char* s) { return Create(std::string_view(s ? s : "")); }
  static std::unique_ptr<TJsonObject> Create(const std::string& s) { return Create(std::string_view(s)); }
  // String from a byte array, stored unchanged.
  static std::unique_ptr<TJsonObject> Create(const std::vector<uint8_t>& buf);
  static std::unique_ptr<TJsonObject> CreateBytes(std::string_view buf);

  // ---- parsing
  // The document, or null when s is empty, does not parse, or is a null literal.
  static std::unique_ptr<TJsonObject> Parse(std::string_view s);
  // Parses SourStr with tok (reset first); the outcome is left in tok.err.
  static std::unique_ptr<TJsonObject> ParseEx_New(TJsonTokener& tok, std::string_view SourStr);
  // Does not parse: always null (kept for callers of the old entry point).
  static std::unique_ptr<TJsonObject> ParseEx(TJsonTokener& tok, const char* str, int32_t len);

  // ---- reading the value
  TJsonType JsonType() const noexcept { return FJsonType; }
  bool IsType(TJsonType t) const override { return FJsonType == t; }
  bool AsBoolean() const;
  int64_t AsInteger() const;
  double AsDouble() const;
  std::string AsString(int32_t len = -1) const;
  std::string asBytes() const;
  TJsonArray* AsArray() const noexcept { return FJsonType == json_type_array ? o.c_array : nullptr; }
  TJsonTableString* AsObject() const noexcept {
    return FJsonType == json_type_object ? o.c_object : nullptr;
  }
  // The string's bytes without a copy; empty for other types.
  std::string_view StringView() const noexcept;

  // ---- text
  // The JSON text; also kept as the cached text (see AsJSonData).
  std::string AsJSon(bool format = false) override;
  // Address and length of the cached text after AsJSon(format); valid until
  // the next AsJSon or until the value is destroyed.
  TDataRec AsJSonData(bool format = false);
  // Writes the text at the stream's position; returns the stream's size
  // afterwards, or truncates the stream and returns 0 when writing fails.
  int64_t SaveTo(TStream& stream, bool format = false) const;
  // Replaces the file with the text (written beside it, then renamed; a new
  // file gets 0666 less the umask, an old one keeps its mode); returns the
  // file's size, or 0 with the old file left as it was on failure. A symbolic
  // link is written through and keeps pointing at its target.
  int64_t SaveTo(const std::string& FileName, bool format = false) const;
  int64_t CalcSize(bool format = false) const;
  // Deep copy, never recursive.
  std::unique_ptr<TJsonObject> Clone() const;
  TJsonCompareResult Compare(const TJsonObject* obj) const;

  // ---- object members (no effect / default on other types)
  TJsonObject* GetObject(std::string_view key) const;
  std::string GetString(std::string_view key, std::string_view def = {}) const override;
  int64_t GetInt(std::string_view key, int64_t def = 0) const override;
  double GetFloat(std::string_view key, double def = 0) const;
  // 0 when the member is missing or its text is not a date-time.
  TDateTime GetDateTime(std::string_view key) const override;
  TVarRec GetField(std::string_view key) const;
  void SetField(std::string_view key, const TVarRec& value);
  // Base64 payload of a ":BIN:" text; returns its length, else buf empty and 0.
  int32_t GetBin(std::string_view key, std::string& buf) const override;

  // Stores value under key, replacing (destroying) a member of the same name.
  void Put(std::string_view key, std::string_view value) override;  // ignored for an empty key
  void Put(std::string_view key, const char* value) { Put(key, std::string_view(value ? value : "")); }
  void Put(std::string_view key, const std::string& value) { Put(key, std::string_view(value)); }
  void Put(std::string_view key, int64_t value) override;
  template <class T, std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool> &&
                                          !std::is_same_v<T, int64_t>,
                                      int> = 0>
  void Put(std::string_view key, T value) {
    Put(key, static_cast<int64_t>(value));
  }
  void Put(std::string_view key, bool value);
  void Put(std::string_view key, double value) override;
  // A null value removes the member.
  void Put(std::string_view key, std::unique_ptr<TJsonObject> value) override;
  void Put(std::string_view key, std::nullptr_t) { Put(key, std::unique_ptr<TJsonObject>()); }
  // Stores ":BIN:" + Base64 of datalen bytes; nothing when Data is null or datalen <= 0.
  void put(std::string_view key, const void* Data, int32_t datalen);
  std::string KeyOf(int32_t index) const;
  int32_t KeyCount() const noexcept;

  // Member walk in name order: false when there is no (further) member.
  static bool ObjectFindFirst(const TJsonObject* obj, TJsonObjectIter& F);
  static bool ObjectFindNext(TJsonObjectIter& F);

  // ---- array elements (no effect / default on other types)
  int32_t ArrayLength() const noexcept;
  TJsonObject* GetArray_Item(int32_t idx) const;
  TJsonObject* asArray_Get(int32_t idx) const { return GetArray_Item(idx); }
  TJsonObject* asArray_Get(int32_t idx1, int32_t idx2) const;
  // Replaces element idx for 0 <= idx < length, appends for larger idx.
  void SetArray_Item(int32_t idx, std::unique_ptr<TJsonObject> Value);
  // Appends jso; returns this.
  TJsonObject* addToArray(std::unique_ptr<TJsonObject> jso);
  // A copy of element 0 (null when there is none).
  std::unique_ptr<TJsonObject> First_InArray() const;
  // Null for values that are not arrays.
  std::unique_ptr<TJObjectEnumerator> GetEnumerator();

  void* DataPtr() const noexcept { return FDataPtr; }
  void SetDataPtr(void* p) noexcept { FDataPtr = p; }

 private:
  friend class TJsonWriter;
  void SetStringRaw(std::string&& s);

  // Created by the first AsJSon and reused: the writer buffer and the last text.
  struct TJsonTextCache {
    std::string FCacheJsonString;
    TJsonWriterString Fpb;
  };

  TJsonType FJsonType;
  std::unique_ptr<TJsonTextCache> FText;
  void* FDataPtr = nullptr;
  union Value {
    bool c_boolean;
    double c_double;
    int64_t c_int;
    TJsonTableString* c_object;
    TJsonArray* c_array;
    std::string c_string;
    Value() : c_int(0) {}
    ~Value() {}
  } o;
};

// Null-safe reads: the documented default for a null reference.
inline TJsonType json_type_of(const TJsonObject* obj) noexcept {
  return obj ? obj->JsonType() : json_type_null;
}
bool json_as_boolean(const TJsonObject* obj);
int64_t json_as_integer(const TJsonObject* obj);
double json_as_double(const TJsonObject* obj);
std::string json_as_string(const TJsonObject* obj, int32_t len = -1);
std::string json_as_text(TJsonObject* obj, bool format = false);

}  // namespace ux
