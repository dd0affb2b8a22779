// io_compress_7zip: binding to 7-Zip's format library (7z.so), loaded with
// dlopen and driven through its archive-handler interfaces.
//
// ABI of the library side (x86-64, g++): IUnknown has no virtual destructor,
// so interface methods start at vtable slot 3; HRESULT/ULONG/PROPID are 32-bit;
// text crosses the boundary as UTF-16 code units stored one per 4-byte
// wchar_t; BSTRs and PROPVARIANTs are allocated and freed with the library's
// own SysAllocString / VariantClear. Methods called by the library never let a
// C++ exception escape (that would terminate the process).
//
// Thread-safety: an archive object is used by one thread at a time; the
// callbacks run on the thread that called the extraction, input-stream reads
// may run on library worker threads (serialised by the library).
#pragma once

#include <atomic>
#include <exception>
#include <cstdint>
#include <memory>
#include <string>

#include "common/ux_common.h"
#include "common/ux_stream.h"

namespace ux {

// ---------------------------------------------------------------- COM basics

using HRESULT = int32_t;
using PROPID = uint32_t;

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOTIMPL = int32_t(0x80004001u);
inline constexpr HRESULT E_NOINTERFACE = int32_t(0x80004002u);
inline constexpr HRESULT E_ABORT = int32_t(0x80004004u);
inline constexpr HRESULT E_FAIL = int32_t(0x80004005u);
inline constexpr HRESULT E_OUTOFMEMORY = int32_t(0x8007000Eu);
inline constexpr HRESULT E_INVALIDARG = int32_t(0x80070057u);
inline constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = int32_t(0x80040111u);
// errno-based codes: 0x88000000 | errno.
inline constexpr HRESULT hresult_from_errno(int e) { return int32_t(0x88000000u | (uint32_t(e) & 0xFFFFu)); }

struct TGUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
};
bool operator==(const TGUID& a, const TGUID& b) noexcept;
// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}"
std::string guid_text(const TGUID& g);

// 7-Zip's interface ids: 23170F69-40C1-278A-0000-00yy00xx0000.
constexpr TGUID z7_iid(uint8_t group, uint8_t id) {
  return TGUID{0x23170F69u, 0x40C1, 0x278A, {0, 0, 0, group, 0, id, 0, 0}};
}
inline constexpr TGUID IID_IUnknown{0, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr TGUID IID_IProgress = z7_iid(0x00, 0x05);
inline constexpr TGUID IID_ISequentialInStream = z7_iid(0x03, 0x01);
inline constexpr TGUID IID_ISequentialOutStream = z7_iid(0x03, 0x02);
inline constexpr TGUID IID_IInStream = z7_iid(0x03, 0x03);
inline constexpr TGUID IID_IOutStream = z7_iid(0x03, 0x04);
inline constexpr TGUID IID_IStreamGetSize = z7_iid(0x03, 0x06);
inline constexpr TGUID IID_IOutStreamFlush = z7_iid(0x03, 0x07);
inline constexpr TGUID IID_ICryptoGetTextPassword = z7_iid(0x05, 0x10);
inline constexpr TGUID IID_IArchiveOpenCallback = z7_iid(0x06, 0x10);
inline constexpr TGUID IID_IArchiveExtractCallback = z7_iid(0x06, 0x20);
inline constexpr TGUID IID_IArchiveOpenVolumeCallback = z7_iid(0x06, 0x30);
inline constexpr TGUID IID_IArchiveOpenSetSubArchiveName = z7_iid(0x06, 0x50);
inline constexpr TGUID IID_IInArchive = z7_iid(0x06, 0x60);
inline constexpr TGUID IID_I7zInArchive{0x022CF785u, 0x3ECE, 0x46EF,
                                        {0x97, 0x55, 0x29, 0x1F, 0xA8, 0x4C, 0xC6, 0xC9}};
// Format handler class id of the 7z format.
inline constexpr TGUID CLSID_CFormat7z{0x23170F69u, 0x40C1, 0x278A,
                                       {0x10, 0x00, 0x00, 0x01, 0x10, 0x07, 0x00, 0x00}};

// Item property ids.
inline constexpr PROPID kpidPath = 3;
inline constexpr PROPID kpidName = 4;
inline constexpr PROPID kpidIsDir = 6;
inline constexpr PROPID kpidSize = 7;
inline constexpr PROPID kpidAttrib = 9;
inline constexpr PROPID kpidEncrypted = 15;
inline constexpr PROPID kpidErrorFlags = 71;

// Handler property ids (NArchive order).
enum THandlerPropID : PROPID {
  kName = 0, kClassID, kExtension, kAddExtension, kUpdate, kKeepName,
  kStartSignature, kFinishSignature, kAssociate
};

// NArchive::NExtract::NAskMode and NOperationResult.
inline constexpr int32_t kAskExtract = 0;
inline constexpr int32_t kAskTest = 1;
inline constexpr int32_t kAskSkip = 2;
enum TOperationResult : int32_t {
  kOK = 0, kUnsupportedMethod, kDataError, kCRCError, kUnavailable, kUnexpectedEnd,
  kDataAfterEnd, kIsNotArc, kHeadersError, kWrongPassword
};
// Text of an operation result ("data error (wrong password?)", ...).
std::string operation_result_text(int32_t op_result);

using BSTR = wchar_t*;

enum TVarType : uint16_t { VT_EMPTY = 0, VT_BSTR = 8, VT_BOOL = 11, VT_UI4 = 19, VT_UI8 = 21, VT_FILETIME = 64 };

// 16 bytes: vt at 0, value at 8.
struct PROPVARIANT {
  uint16_t vt;
  uint16_t wReserved1, wReserved2, wReserved3;
  union {
    int16_t boolVal;
    uint32_t ulVal;
    uint64_t uhVal;
    BSTR bstrVal;
    uint64_t filetime;
  };
};
static_assert(sizeof(PROPVARIANT) == 16);

// Library-facing interfaces: pure virtual, no virtual destructor (slot 0 is
// QueryInterface). Objects are destroyed by their last Release.
struct IUnknown {
  virtual HRESULT QueryInterface(const TGUID& iid, void** out) noexcept = 0;
  virtual uint32_t AddRef() noexcept = 0;
  virtual uint32_t Release() noexcept = 0;
};
struct ISequentialInStream : IUnknown {
  virtual HRESULT Read(void* data, uint32_t size, uint32_t* processed) noexcept = 0;
};
struct ISequentialOutStream : IUnknown {
  virtual HRESULT Write(const void* data, uint32_t size, uint32_t* processed) noexcept = 0;
};
struct IInStream : ISequentialInStream {
  virtual HRESULT Seek(int64_t offset, uint32_t origin, uint64_t* new_pos) noexcept = 0;
};
struct IOutStream : ISequentialOutStream {
  virtual HRESULT Seek(int64_t offset, uint32_t origin, uint64_t* new_pos) noexcept = 0;
  virtual HRESULT SetSize(uint64_t size) noexcept = 0;
};
struct IStreamGetSize : IUnknown {
  virtual HRESULT GetSize(uint64_t* size) noexcept = 0;
};
// Same slot shape as this version's IOutStreamFinish.
struct IOutStreamFlush : IUnknown {
  virtual HRESULT Flush() noexcept = 0;
};
struct IProgress : IUnknown {
  virtual HRESULT SetTotal(uint64_t total) noexcept = 0;
  virtual HRESULT SetCompleted(const uint64_t* value) noexcept = 0;
};
struct IArchiveOpenCallback : IUnknown {
  virtual HRESULT SetTotal(const uint64_t* files, const uint64_t* bytes) noexcept = 0;
  virtual HRESULT SetCompleted(const uint64_t* files, const uint64_t* bytes) noexcept = 0;
};
struct IArchiveExtractCallback : IProgress {
  virtual HRESULT GetStream(uint32_t index, ISequentialOutStream** out, int32_t ask_mode) noexcept = 0;
  virtual HRESULT PrepareOperation(int32_t ask_mode) noexcept = 0;
  virtual HRESULT SetOperationResult(int32_t op_result) noexcept = 0;
};
struct IArchiveOpenVolumeCallback : IUnknown {
  virtual HRESULT GetProperty(PROPID prop_id, PROPVARIANT* value) noexcept = 0;
  virtual HRESULT GetStream(const wchar_t* name, IInStream** stream) noexcept = 0;
};
struct IArchiveOpenSetSubArchiveName : IUnknown {
  virtual HRESULT SetSubArchiveName(const wchar_t* name) noexcept = 0;
};
struct ICryptoGetTextPassword : IUnknown {
  virtual HRESULT CryptoGetTextPassword(BSTR* password) noexcept = 0;
};
struct IInArchive : IUnknown {
  virtual HRESULT Open(IInStream* stream, const uint64_t* max_check_start_position,
                       IArchiveOpenCallback* callback) noexcept = 0;
  virtual HRESULT Close() noexcept = 0;
  virtual HRESULT GetNumberOfItems(uint32_t* count) noexcept = 0;
  // No bounds check in the library: index must be < GetNumberOfItems.
  virtual HRESULT GetProperty(uint32_t index, PROPID prop_id, PROPVARIANT* value) noexcept = 0;
  virtual HRESULT Extract(const uint32_t* indices, uint32_t count, int32_t test_mode,
                          IArchiveExtractCallback* callback) noexcept = 0;
  virtual HRESULT GetArchiveProperty(PROPID prop_id, PROPVARIANT* value) noexcept = 0;
  virtual HRESULT GetNumberOfProperties(uint32_t* count) noexcept = 0;
  virtual HRESULT GetPropertyInfo(uint32_t index, BSTR* name, PROPID* prop_id, uint16_t* vt) noexcept = 0;
  virtual HRESULT GetNumberOfArchiveProperties(uint32_t* count) noexcept = 0;
  virtual HRESULT GetArchivePropertyInfo(uint32_t index, BSTR* name, PROPID* prop_id, uint16_t* vt) noexcept = 0;
};

// Owning reference to a COM object: Release on destruction. attach() adopts
// a reference the caller already holds; the constructor from a raw pointer
// adds one.
template <class T>
class TComPtr {
 public:
  TComPtr() = default;
  explicit TComPtr(T* p) : p_(p) { if (p_) p_->AddRef(); }
  TComPtr(const TComPtr& o) : TComPtr(o.p_) {}
  TComPtr(TComPtr&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
  TComPtr& operator=(TComPtr o) noexcept { std::swap(p_, o.p_); return *this; }
  ~TComPtr() { reset(); }
  static TComPtr attach(T* p) { TComPtr r; r.p_ = p; return r; }
  void reset() noexcept { if (p_) { T* p = p_; p_ = nullptr; p->Release(); } }
  // Hands the reference over to the caller.
  [[nodiscard]] T* detach() noexcept { T* p = p_; p_ = nullptr; return p; }
  T* get() const noexcept { return p_; }
  T* operator->() const noexcept { return p_; }
  T& operator*() const noexcept { return *p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  // For out-parameters: releases the current object first.
  T** put() noexcept { reset(); return &p_; }

 private:
  T* p_ = nullptr;
};

// ---------------------------------------------------------------- results

// Text for a result code: names the code and says what it means, e.g.
// "not an archive or wrong password (0x00000001)".
std::string result_text(HRESULT hr);
// Throws ux::Exception(result_text(hr)) when hr != S_OK.
void check_result(HRESULT hr);

// ---------------------------------------------------------------- callbacks

// Each returns 0 on success; sender is given back unchanged.
using T7zPasswordCallback = HRESULT (*)(void* sender, std::u16string& password);
// total true: value is the total byte count; false: bytes completed so far.
// A non-zero result stops the extraction.
using T7zProgressCallback = HRESULT (*)(void* sender, bool total, int64_t value);
// Sets out_stream to an AddRef'ed stream (or null to skip the item).
using T7zGetStreamCallBack = HRESULT (*)(void* sender, uint32_t index, ISequentialOutStream*& out_stream);

// ---------------------------------------------------------------- streams

// Wraps a ux::TStream for the library. Owned: the stream is destroyed with
// the wrapper; otherwise the caller keeps it alive while the wrapper lives.
class T7zStream final : public IInStream, public IOutStream, public IStreamGetSize, public IOutStreamFlush {
 public:
  T7zStream(TStream* stream, bool owned);
  T7zStream(std::unique_ptr<TStream> stream);
  T7zStream(const T7zStream&) = delete;
  T7zStream& operator=(const T7zStream&) = delete;

  HRESULT QueryInterface(const TGUID& iid, void** out) noexcept override;
  uint32_t AddRef() noexcept override;
  uint32_t Release() noexcept override;
  HRESULT Read(void* data, uint32_t size, uint32_t* processed) noexcept override;
  HRESULT Write(const void* data, uint32_t size, uint32_t* processed) noexcept override;
  HRESULT Seek(int64_t offset, uint32_t origin, uint64_t* new_pos) noexcept override;
  HRESULT SetSize(uint64_t size) noexcept override;
  HRESULT GetSize(uint64_t* size) noexcept override;
  HRESULT Flush() noexcept override;

  TStream* stream() const noexcept { return FStream; }

 private:
  ~T7zStream();
  std::atomic<uint32_t> FRefCount{0};
  TStream* FStream;
  bool FOwnership;
};

// ---------------------------------------------------------------- the library

using TCreateObjectFunc = HRESULT (*)(const TGUID* clsid, const TGUID* iid, void** out);
using TGetHandlerPropertyFunc = HRESULT (*)(PROPID prop_id, PROPVARIANT* value);
using TSysAllocStringFunc = BSTR (*)(const wchar_t* s);
using TSysFreeStringFunc = void (*)(BSTR s);
using TVariantClearFunc = HRESULT (*)(PROPVARIANT* v);

// A loaded library. Throws ux::Exception "Error loading library %s" or
// "%s is not a 7z library" (the library is unloaded first). Destruction
// unloads the library: every object created from it must be released first.
class T7zPlugin {
 public:
  explicit T7zPlugin(const std::string& lib_name);
  ~T7zPlugin();
  T7zPlugin(const T7zPlugin&) = delete;
  T7zPlugin& operator=(const T7zPlugin&) = delete;

  // Throws only for negative results; returns the result otherwise.
  HRESULT CreateObject(const TGUID& clsid, const TGUID& iid, void** out);
  // The library's allocator: a BSTR from UTF-16 units, one per wchar_t.
  BSTR alloc_bstr(std::u16string_view s) const;
  void free_bstr(BSTR s) const noexcept;
  void clear_variant(PROPVARIANT& v) const noexcept;
  const std::string& lib_name() const noexcept { return FLibName; }

 protected:
  void* FHandle = nullptr;
  TCreateObjectFunc FCreateObject = nullptr;
  TSysAllocStringFunc FSysAllocString = nullptr;
  TSysFreeStringFunc FSysFreeString = nullptr;
  TVariantClearFunc FVariantClear = nullptr;
  std::string FLibName;
};

// A library with a format handler selected. Throws "%s is not a Format
// library" when the library has no GetHandlerProperty.
class T7zArchive : public T7zPlugin {
 public:
  explicit T7zArchive(const std::string& lib_name);

  // The caller clears the result with clear_variant.
  PROPVARIANT GetHandlerProperty(PROPID prop_id);
  TGUID GetLibGUIDProperty(PROPID prop_id);
  std::u16string GetLibStringProperty(PROPID prop_id);

 protected:
  TGetHandlerPropertyFunc FGetHandlerProperty = nullptr;
  TGUID FClassId{};
};

// ---------------------------------------------------------------- input archive

// One input archive (host-side interface; every operation may throw
// ux::Exception). Paths are byte strings in the process code page.
struct I7zInArchive : IUnknown {
  virtual void OpenArchive(const std::string& file_name) = 0;
  virtual void OpenArchiveStream(IInStream* stream) = 0;
  virtual void CloseArchive() = 0;
  virtual uint32_t ItemCount() = 0;
  virtual std::u16string ItemPath(uint32_t index) = 0;
  virtual std::u16string ItemName(uint32_t index) = 0;
  virtual int64_t ItemSize(uint32_t index) = 0;
  virtual bool ItemIsFolder(uint32_t index) = 0;
  virtual IInArchive* ArchiveHandler() = 0;
  virtual void ExtractItemToStream(uint32_t index, TStream& stream, bool test) = 0;
  virtual void ExtractSome(const uint32_t* indices, uint32_t count, bool test, void* sender,
                           T7zGetStreamCallBack callback) = 0;
  virtual void ExtractEvery(bool test, void* sender, T7zGetStreamCallBack callback) = 0;
  virtual void ExtractAllToFolder(const std::string& path) = 0;
  virtual void SetPasswordHandler(void* sender, T7zPasswordCallback callback) = 0;
  virtual bool UsePassword(const std::u16string& password) = 0;
  virtual void SetProgressHandler(void* sender, T7zProgressCallback callback) = 0;
  virtual void SelectFormat(const TGUID& class_id) = 0;
  virtual TGUID FormatClassId() = 0;
};

class T7zInArchive final : public T7zArchive,
                           public I7zInArchive,
                           public IArchiveOpenCallback,
                           public IArchiveOpenVolumeCallback,
                           public IArchiveOpenSetSubArchiveName,
                           public ICryptoGetTextPassword,
                           public IArchiveExtractCallback {
 public:
  explicit T7zInArchive(const std::string& lib_name);
  T7zInArchive(const T7zInArchive&) = delete;
  T7zInArchive& operator=(const T7zInArchive&) = delete;

  // IUnknown (shared by every base).
  HRESULT QueryInterface(const TGUID& iid, void** out) noexcept override;
  uint32_t AddRef() noexcept override;
  uint32_t Release() noexcept override;

  // I7zInArchive
  void OpenArchive(const std::string& file_name) override;
  void OpenArchiveStream(IInStream* stream) override;
  void CloseArchive() override;
  uint32_t ItemCount() override;
  std::u16string ItemPath(uint32_t index) override;
  std::u16string ItemName(uint32_t index) override;
  int64_t ItemSize(uint32_t index) override;
  bool ItemIsFolder(uint32_t index) override;
  IInArchive* ArchiveHandler() override;
  void ExtractItemToStream(uint32_t index, TStream& stream, bool test) override;
  void ExtractSome(const uint32_t* indices, uint32_t count, bool test, void* sender,
                   T7zGetStreamCallBack callback) override;
  void ExtractEvery(bool test, void* sender, T7zGetStreamCallBack callback) override;
  void ExtractAllToFolder(const std::string& path) override;
  void SetPasswordHandler(void* sender, T7zPasswordCallback callback) override;
  bool UsePassword(const std::u16string& password) override;
  void SetProgressHandler(void* sender, T7zProgressCallback callback) override;
  void SelectFormat(const TGUID& class_id) override;
  TGUID FormatClassId() override;

  // IArchiveOpenCallback
  HRESULT SetTotal(const uint64_t* files, const uint64_t* bytes) noexcept override;
  HRESULT SetCompleted(const uint64_t* files, const uint64_t* bytes) noexcept override;
  // IArchiveOpenVolumeCallback
  HRESULT GetProperty(PROPID prop_id, PROPVARIANT* value) noexcept override;
  HRESULT GetStream(const wchar_t* name, IInStream** stream) noexcept override;
  // IArchiveOpenSetSubArchiveName
  HRESULT SetSubArchiveName(const wchar_t* name) noexcept override;
  // ICryptoGetTextPassword
  HRESULT CryptoGetTextPassword(BSTR* password) noexcept override;
  // IProgress / IArchiveExtractCallback
  HRESULT SetTotal(uint64_t total) noexcept override;
  HRESULT SetCompleted(const uint64_t* value) noexcept override;
  HRESULT GetStream(uint32_t index, ISequentialOutStream** out, int32_t ask_mode) noexcept override;
  HRESULT PrepareOperation(int32_t ask_mode) noexcept override;
  HRESULT SetOperationResult(int32_t op_result) noexcept override;

  bool SubArchiveMode() const noexcept { return FSubArchiveMode; }
  const std::u16string& SubArchiveName() const noexcept { return FSubArchiveName; }

 private:
  ~T7zInArchive();

  // State of one extraction call: the item in progress and the first failure.
  struct TItemState {
    bool active = false;
    uint32_t index = 0;
    std::string path;          // OS path of the file being written ("" when none)
    uint32_t unix_mode = 0;    // rwx bits to apply, 0 when the archive stores none
    bool has_unix_mode = false;
  };
  struct TFailure {
    bool failed = false;
    std::u16string item;
    std::string reason;
  };

  void run_extract(const uint32_t* indices, uint32_t count, bool test);
  void note_failure(uint32_t index, const std::string& reason);
  void finish_item(bool ok);
  HRESULT folder_stream(uint32_t index, ISequentialOutStream** out);
  PROPVARIANT item_property(uint32_t index, PROPID prop_id);

  std::atomic<uint32_t> FRefCount{0};
  IInArchive* FInArchive = nullptr;
  T7zPasswordCallback FPasswordCallback = nullptr;
  void* FPasswordSender = nullptr;
  T7zProgressCallback FProgressCallback = nullptr;
  void* FProgressSender = nullptr;
  TStream* FStream = nullptr;
  bool FPasswordIsDefined = false;
  std::u16string FPassword;
  bool FSubArchiveMode = false;
  std::u16string FSubArchiveName;
  T7zGetStreamCallBack FExtractCallBack = nullptr;
  void* FExtractSender = nullptr;
  std::string FExtractPath;      // OS path with trailing "/" during ExtractAllToFolder
  std::string FExtractRootReal;  // its resolved form
  uint32_t FItemCount = 0;
  TItemState FItem;
  TFailure FFailure;
  // An exception raised by a host callback, rethrown once the library call returns.
  std::exception_ptr FPendingError;
  // Last answer of the progress callback during an extraction.
  HRESULT FProgressStop = S_OK;
};

// Creates a T7zInArchive for lib_name with class_id selected. An empty name
// loads the build's carried library from its private copy
// (carried_archive_library), never a file that someone may have put beside
// the executable; a bare name goes through the loader's search path.
TComPtr<I7zInArchive> new_in_archive(const TGUID& class_id, const std::string& lib_name = {});

// UTF-16 units <-> one-unit-per-wchar_t text of the library.
std::u16string wide_to_utf16(const wchar_t* s);
std::wstring utf16_to_wide(std::u16string_view s);

}  // namespace ux
