#include "archive/io_compress_7zip.h"

#include "archive/archive_library_deploy.h"
#include "common/ux_files.h"

#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <utility>
#include <vector>

#include "common/ux_fd_stream.h"

namespace ux {

namespace {

constexpr uint64_t kMaxCheckStartPosition = 1048576;

std::string errno_text(int e) { return std::strerror(e); }

std::string hex32(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", v);
  return buf;
}

// mkdir -p; 0 or the errno of the first failure.
int make_dirs(const std::string& os_path) {
  if (os_path.empty()) return 0;
  std::string cur;
  size_t i = 0;
  while (i <= os_path.size()) {
    size_t j = os_path.find('/', i);
    if (j == std::string::npos) j = os_path.size();
    cur = os_path.substr(0, j);
    if (!cur.empty() && ::mkdir(cur.c_str(), 0777) != 0 && errno != EEXIST) return errno;
    i = j + 1;
  }
  struct stat st;
  if (::stat(os_path.c_str(), &st) != 0) return errno;
  return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
}

// Splits an item path into its components with "\" taken as a separator as
// well; empty and "." components are dropped. Returns the refusal reason, or
// "" when the path stays inside the target folder.
std::string split_item_path(const std::string& path, std::vector<std::string>& parts) {
  parts.clear();
  if (path.empty()) return "empty item path";
  if (path[0] == '/' || path[0] == '\\') return "absolute item path";
  if (path.size() >= 2 && path[1] == ':' &&
      ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z')))
    return "absolute item path";
  size_t i = 0;
  while (i <= path.size()) {
    size_t j = path.find_first_of("/\\", i);
    if (j == std::string::npos) j = path.size();
    std::string c = path.substr(i, j - i);
    if (c == "..") return "item path leads outside the target folder";
    if (!c.empty() && c != ".") parts.push_back(std::move(c));
    i = j + 1;
  }
  if (parts.empty()) return "empty item path";
  return {};
}

// dlopen maps a truncated shared object without complaint and the process
// then dies of SIGBUS: check that every loadable segment and the section
// table lie inside the file first.
bool elf_file_is_complete(const std::string& os_path) {
  TFdStream f(os_path, TFdStream::fmOpenRead);
  const int64_t size = f.GetSize();
  Elf64_Ehdr eh;
  if (size < int64_t(sizeof eh) || f.Read(&eh, sizeof eh) != int64_t(sizeof eh)) return false;
  if (std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 || eh.e_ident[EI_CLASS] != ELFCLASS64) return false;
  if (eh.e_phentsize != sizeof(Elf64_Phdr) || eh.e_phnum == 0 || eh.e_phnum > 256) return false;
  if (eh.e_phoff > uint64_t(size) || eh.e_phnum * sizeof(Elf64_Phdr) > uint64_t(size) - eh.e_phoff) return false;
  if (eh.e_shnum != 0 && (eh.e_shoff > uint64_t(size) ||
                          uint64_t(eh.e_shnum) * eh.e_shentsize > uint64_t(size) - eh.e_shoff))
    return false;
  for (int i = 0; i < eh.e_phnum; ++i) {
    Elf64_Phdr ph;
    if (f.Seek(int64_t(eh.e_phoff + i * sizeof ph), TSeekOrigin::soBeginning) < 0 ||
        f.Read(&ph, sizeof ph) != int64_t(sizeof ph))
      return false;
    if (ph.p_type == PT_LOAD && (ph.p_offset > uint64_t(size) || ph.p_filesz > uint64_t(size) - ph.p_offset))
      return false;
  }
  return true;
}

}  // namespace

// ---------------------------------------------------------------- basics

bool operator==(const TGUID& a, const TGUID& b) noexcept { return std::memcmp(&a, &b, sizeof(TGUID)) == 0; }

std::string guid_text(const TGUID& g) {
  char buf[48];
  std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2,
                g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6],
                g.Data4[7]);
  return buf;
}

std::u16string wide_to_utf16(const wchar_t* s) {
  std::u16string r;
  if (!s) return r;
  for (; *s; ++s) r.push_back(char16_t(uint32_t(*s) & 0xFFFF));
  return r;
}

std::wstring utf16_to_wide(std::u16string_view s) {
  std::wstring r;
  r.reserve(s.size());
  for (char16_t c : s) r.push_back(wchar_t(c));
  return r;
}

std::string operation_result_text(int32_t op_result) {
  switch (op_result) {
    case kOK: return "OK";
    case kUnsupportedMethod: return "unsupported compression method";
    case kDataError: return "data error (damaged data or wrong password)";
    case kCRCError: return "CRC error (damaged data or wrong password)";
    case kUnavailable: return "data unavailable";
    case kUnexpectedEnd: return "unexpected end of data";
    case kDataAfterEnd: return "data after the end of the payload";
    case kIsNotArc: return "not an archive";
    case kHeadersError: return "headers error";
    case kWrongPassword: return "wrong password";
    default: return "unknown operation result " + std::to_string(op_result);
  }
}

std::string result_text(HRESULT hr) {
  std::string what;
  const uint32_t u = uint32_t(hr);
  switch (u) {
    case 0: what = "success"; break;
    case 1: what = "not an archive or wrong password"; break;
    case 0x80004001u: what = "not implemented"; break;
    case 0x80004002u: what = "interface not supported"; break;
    case 0x80004004u: what = "operation aborted"; break;
    case 0x80004005u: what = "unspecified failure"; break;
    case 0x8007000Eu: what = "out of memory"; break;
    case 0x80070057u: what = "invalid argument"; break;
    case 0x80040111u: what = "format class not available"; break;
    default:
      if ((u & 0xFFFF0000u) == 0x88000000u || (u & 0xFFFF0000u) == 0x80070000u)
        what = errno_text(int(u & 0xFFFF));
      else
        what = "7-Zip error";
  }
  return what + " (" + hex32(u) + ")";
}

void check_result(HRESULT hr) {
  if (hr != S_OK) throw Exception(result_text(hr));
}

// ---------------------------------------------------------------- T7zStream

namespace {

HRESULT stream_error(TStream* s) {
  if (auto* f = dynamic_cast<TFdStream*>(s); f && f->last_error() != 0)
    return hresult_from_errno(f->last_error());
  return E_FAIL;
}

// An interface an object hands out: its id and the object seen through it.
struct TInterfaceEntry {
  const TGUID& iid;
  void* object;
};

// QueryInterface over the interfaces of self: *out is the entry for iid, with
// a reference added, or null.
template <class T>
HRESULT query_interface(T* self, const TGUID& iid, void** out,
                        std::initializer_list<TInterfaceEntry> interfaces) noexcept {
  if (!out) return E_INVALIDARG;
  *out = nullptr;
  for (const TInterfaceEntry& e : interfaces) {
    if (e.iid == iid) {
      *out = e.object;
      self->AddRef();
      return S_OK;
    }
  }
  return E_NOINTERFACE;
}

}  // namespace

T7zStream::T7zStream(TStream* stream, bool owned) : FStream(stream), FOwnership(owned) {}
T7zStream::T7zStream(std::unique_ptr<TStream> stream) : FStream(stream.release()), FOwnership(true) {}

T7zStream::~T7zStream() {
  if (FOwnership) delete FStream;
}

HRESULT T7zStream::QueryInterface(const TGUID& iid, void** out) noexcept {
  IInStream* in = this;
  IOutStream* output = this;
  return query_interface(this, iid, out,
                         {{IID_IUnknown, in},
                          {IID_ISequentialInStream, in},
                          {IID_IInStream, in},
                          {IID_ISequentialOutStream, output},
                          {IID_IOutStream, output},
                          {IID_IStreamGetSize, static_cast<IStreamGetSize*>(this)},
                          {IID_IOutStreamFlush, static_cast<IOutStreamFlush*>(this)}});
}

uint32_t T7zStream::AddRef() noexcept { return ++FRefCount; }

uint32_t T7zStream::Release() noexcept {
  const uint32_t n = --FRefCount;
  if (n == 0) delete this;
  return n;
}

HRESULT T7zStream::Read(void* data, uint32_t size, uint32_t* processed) noexcept {
  if (processed) *processed = 0;
  try {
    int64_t n = FStream->Read(data, size);
    if (n < 0) return stream_error(FStream);
    if (processed) *processed = uint32_t(n);
    if (n == 0 && size > 0) {
      if (auto* f = dynamic_cast<TFdStream*>(FStream); f && f->last_error() != 0)
        return hresult_from_errno(f->last_error());
    }
    return S_OK;
  } catch (...) {
    return E_FAIL;
  }
}

HRESULT T7zStream::Write(const void* data, uint32_t size, uint32_t* processed) noexcept {
  if (processed) *processed = 0;
  try {
    int64_t n = FStream->Write(data, size);
    if (n > 0 && processed) *processed = uint32_t(n);
    if (n < int64_t(size)) return stream_error(FStream);
    return S_OK;
  } catch (...) {
    return E_FAIL;
  }
}

HRESULT T7zStream::Seek(int64_t offset, uint32_t origin, uint64_t* new_pos) noexcept {
  if (origin > 2) return E_INVALIDARG;
  try {
    int64_t r = FStream->Seek(offset, TSeekOrigin(origin));
    if (r < 0) return E_INVALIDARG;
    if (new_pos) *new_pos = uint64_t(r);
    return S_OK;
  } catch (...) {
    return E_FAIL;
  }
}

HRESULT T7zStream::SetSize(uint64_t size) noexcept {
  try {
    FStream->SetSize(int64_t(size));
    return S_OK;
  } catch (...) {
    return stream_error(FStream);
  }
}

HRESULT T7zStream::GetSize(uint64_t* size) noexcept {
  try {
    int64_t n = FStream->GetSize();
    if (n < 0) return stream_error(FStream);
    if (size) *size = uint64_t(n);
    return S_OK;
  } catch (...) {
    return E_FAIL;
  }
}

HRESULT T7zStream::Flush() noexcept { return S_OK; }

// ---------------------------------------------------------------- T7zPlugin / T7zArchive

namespace {

// The text of a string property (empty for any other type); clears v.
std::u16string take_text(const T7zPlugin& lib, PROPVARIANT v) {
  std::u16string s;
  if (v.vt == VT_BSTR) s = wide_to_utf16(v.bstrVal);
  lib.clear_variant(v);
  return s;
}

}  // namespace

T7zPlugin::T7zPlugin(const std::string& lib_name) : FLibName(lib_name) {
  const std::string os_name = text_to_os(lib_name);
  if (os_name.find('/') != std::string::npos) {
    bool complete = false;
    try {
      complete = elf_file_is_complete(os_name);
    } catch (const Exception&) {
    }
    if (!complete) throw Exception("Error loading library " + lib_name);
  }
  FHandle = ::dlopen(os_name.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!FHandle) throw Exception("Error loading library " + lib_name);
  FCreateObject = reinterpret_cast<TCreateObjectFunc>(::dlsym(FHandle, "CreateObject"));
  FSysAllocString = reinterpret_cast<TSysAllocStringFunc>(::dlsym(FHandle, "SysAllocString"));
  FSysFreeString = reinterpret_cast<TSysFreeStringFunc>(::dlsym(FHandle, "SysFreeString"));
  FVariantClear = reinterpret_cast<TVariantClearFunc>(::dlsym(FHandle, "VariantClear"));
  if (!FCreateObject || !FSysAllocString || !FSysFreeString || !FVariantClear) {
    ::dlclose(FHandle);
    FHandle = nullptr;
    throw Exception(lib_name + " is not a 7z library");
  }
}

T7zPlugin::~T7zPlugin() {
  if (FHandle) ::dlclose(FHandle);
}

HRESULT T7zPlugin::CreateObject(const TGUID& clsid, const TGUID& iid, void** out) {
  *out = nullptr;
  HRESULT hr = FCreateObject(&clsid, &iid, out);
  if (hr < 0) throw Exception(result_text(hr));
  return hr;
}

BSTR T7zPlugin::alloc_bstr(std::u16string_view s) const {
  std::wstring w = utf16_to_wide(s);
  BSTR b = FSysAllocString(w.c_str());
  std::fill(w.begin(), w.end(), L'\0');
  return b;
}

void T7zPlugin::free_bstr(BSTR s) const noexcept {
  if (s) FSysFreeString(s);
}

void T7zPlugin::clear_variant(PROPVARIANT& v) const noexcept {
  if (v.vt != VT_EMPTY) FVariantClear(&v);
  v.vt = VT_EMPTY;
}

T7zArchive::T7zArchive(const std::string& lib_name) : T7zPlugin(lib_name) {
  FGetHandlerProperty = reinterpret_cast<TGetHandlerPropertyFunc>(::dlsym(FHandle, "GetHandlerProperty"));
  if (!FGetHandlerProperty) {
    ::dlclose(FHandle);
    FHandle = nullptr;
    throw Exception(lib_name + " is not a Format library");
  }
}

PROPVARIANT T7zArchive::GetHandlerProperty(PROPID prop_id) {
  PROPVARIANT v{};
  v.vt = VT_EMPTY;
  HRESULT hr = FGetHandlerProperty(prop_id, &v);
  if (hr < 0) throw Exception(result_text(hr));
  return v;
}

TGUID T7zArchive::GetLibGUIDProperty(PROPID prop_id) {
  PROPVARIANT v = GetHandlerProperty(prop_id);
  TGUID g{};
  if (v.vt == VT_BSTR && v.bstrVal) {
    uint32_t bytes;
    std::memcpy(&bytes, reinterpret_cast<const char*>(v.bstrVal) - 4, 4);
    if (bytes >= sizeof(TGUID)) std::memcpy(&g, v.bstrVal, sizeof(TGUID));
  }
  clear_variant(v);
  return g;
}

std::u16string T7zArchive::GetLibStringProperty(PROPID prop_id) {
  return take_text(*this, GetHandlerProperty(prop_id));
}

// ---------------------------------------------------------------- T7zInArchive

T7zInArchive::T7zInArchive(const std::string& lib_name) : T7zArchive(lib_name) {}

T7zInArchive::~T7zInArchive() {
  if (FInArchive) {
    FInArchive->Close();
    FInArchive->Release();
    FInArchive = nullptr;
  }
}

HRESULT T7zInArchive::QueryInterface(const TGUID& iid, void** out) noexcept {
  I7zInArchive* archive = this;
  IArchiveExtractCallback* extract = this;
  return query_interface(this, iid, out,
                         {{IID_IUnknown, archive},
                          {IID_I7zInArchive, archive},
                          {IID_IArchiveOpenCallback, static_cast<IArchiveOpenCallback*>(this)},
                          {IID_IArchiveOpenVolumeCallback, static_cast<IArchiveOpenVolumeCallback*>(this)},
                          {IID_IArchiveOpenSetSubArchiveName, static_cast<IArchiveOpenSetSubArchiveName*>(this)},
                          {IID_ICryptoGetTextPassword, static_cast<ICryptoGetTextPassword*>(this)},
                          {IID_IArchiveExtractCallback, extract},
                          {IID_IProgress, static_cast<IProgress*>(extract)}});
}

uint32_t T7zInArchive::AddRef() noexcept { return ++FRefCount; }

uint32_t T7zInArchive::Release() noexcept {
  const uint32_t n = --FRefCount;
  if (n == 0) delete this;
  return n;
}

IInArchive* T7zInArchive::ArchiveHandler() {
  if (!FInArchive) {
    void* p = nullptr;
    CreateObject(FClassId, IID_IInArchive, &p);
    if (!p) throw Exception("Cannot create the archive handler " + guid_text(FClassId));
    FInArchive = static_cast<IInArchive*>(p);
  }
  return FInArchive;
}

void T7zInArchive::OpenArchive(const std::string& file_name) {
  auto file = std::make_unique<TFdStream>(text_to_os(file_name), TFdStream::fmOpenRead);
  TComPtr<T7zStream> stream(new T7zStream(std::move(file)));
  try {
    OpenArchiveStream(stream.get());
  } catch (const Exception& e) {
    throw Exception("Cannot open archive " + file_name + ": " + e.what());
  }
}

void T7zInArchive::OpenArchiveStream(IInStream* stream) {
  if (!stream) throw Exception("No archive stream given");
  IInArchive* h = ArchiveHandler();
  FPendingError = nullptr;
  FItemCount = 0;
  const uint64_t max_check = kMaxCheckStartPosition;
  HRESULT hr = h->Open(stream, &max_check, static_cast<IArchiveOpenCallback*>(this));
  if (FPendingError) std::rethrow_exception(std::exchange(FPendingError, nullptr));
  check_result(hr);
  uint32_t n = 0;
  check_result(h->GetNumberOfItems(&n));
  FItemCount = n;
}

void T7zInArchive::CloseArchive() {
  FPasswordIsDefined = false;
  FSubArchiveMode = false;
  FItemCount = 0;
  if (FInArchive) {
    FInArchive->Close();
    FInArchive->Release();
    FInArchive = nullptr;
  }
}

uint32_t T7zInArchive::ItemCount() {
  uint32_t n = 0;
  check_result(ArchiveHandler()->GetNumberOfItems(&n));
  FItemCount = n;
  return n;
}

PROPVARIANT T7zInArchive::item_property(uint32_t index, PROPID prop_id) {
  if (!FInArchive || index >= FItemCount)
    throw Exception("Item index " + std::to_string(index) + " out of range");
  PROPVARIANT v{};
  v.vt = VT_EMPTY;
  check_result(FInArchive->GetProperty(index, prop_id, &v));
  return v;
}

std::u16string T7zInArchive::ItemPath(uint32_t index) {
  return take_text(*this, item_property(index, kpidPath));
}

std::u16string T7zInArchive::ItemName(uint32_t index) {
  return take_text(*this, item_property(index, kpidName));
}

int64_t T7zInArchive::ItemSize(uint32_t index) {
  PROPVARIANT v = item_property(index, kpidSize);
  int64_t n = 0;
  if (v.vt == VT_UI8) n = int64_t(v.uhVal);
  else if (v.vt == VT_UI4) n = v.ulVal;
  clear_variant(v);
  return n;
}

bool T7zInArchive::ItemIsFolder(uint32_t index) {
  PROPVARIANT v = item_property(index, kpidIsDir);
  bool r = v.vt == VT_BOOL && v.boolVal != 0;
  clear_variant(v);
  return r;
}

void T7zInArchive::note_failure(uint32_t index, const std::string& reason) {
  if (FFailure.failed) return;
  FFailure.failed = true;
  FFailure.reason = reason;
  try {
    FFailure.item = ItemPath(index);
  } catch (...) {
    FFailure.item = u"#" + utf8_to_utf16(std::to_string(index));
  }
}

void T7zInArchive::finish_item(bool ok) {
  if (!FItem.path.empty()) {
    if (!ok)
      ::unlink(FItem.path.c_str());
    else if (FItem.has_unix_mode)
      ::chmod(FItem.path.c_str(), FItem.unix_mode & 0777);
  }
  FItem = TItemState{};
}

void T7zInArchive::run_extract(const uint32_t* indices, uint32_t count, bool test) {
  // The destination the caller set lasts for this extraction only.
  struct TClearDestination {
    T7zInArchive& a;
    ~TClearDestination() {
      a.FStream = nullptr;
      a.FExtractCallBack = nullptr;
      a.FExtractSender = nullptr;
      a.FExtractPath.clear();
      a.FExtractRootReal.clear();
    }
  } clear_destination{*this};
  IInArchive* h = ArchiveHandler();
  FItem = TItemState{};
  FFailure = TFailure{};
  FPendingError = nullptr;
  FProgressStop = S_OK;
  HRESULT hr = h->Extract(indices, count, test ? 1 : 0, static_cast<IArchiveExtractCallback*>(this));
  const bool stopped = hr != S_OK && hr == FProgressStop;
  // A failed write or stream request ends the call inside the item in progress.
  if (hr != S_OK && !stopped && FItem.active && !FFailure.failed) note_failure(FItem.index, result_text(hr));
  if (FItem.active) finish_item(hr == S_OK && !FFailure.failed);
  if (FPendingError) std::rethrow_exception(std::exchange(FPendingError, nullptr));
  if (stopped) throw Exception("Extraction stopped by the progress handler (" + hex32(uint32_t(hr)) + ")");
  if (FFailure.failed) {
    std::string text = "Cannot extract \"" + utf16_to_text(FFailure.item) + "\": " + FFailure.reason;
    if (hr != S_OK && FFailure.reason != result_text(hr)) text += "; " + result_text(hr);
    throw Exception(text);
  }
  check_result(hr);
}

void T7zInArchive::ExtractItemToStream(uint32_t index, TStream& stream, bool test) {
  if (index >= FItemCount) throw Exception("Item index " + std::to_string(index) + " out of range");
  FStream = &stream;
  run_extract(&index, 1, test);
}

void T7zInArchive::ExtractSome(const uint32_t* indices, uint32_t count, bool test, void* sender,
                               T7zGetStreamCallBack callback) {
  if (count != 0 && !indices) throw Exception("No item indices given");
  for (uint32_t i = 0; i < count; ++i)
    if (indices[i] >= FItemCount) throw Exception("Item index " + std::to_string(indices[i]) + " out of range");
  FExtractCallBack = callback;
  FExtractSender = sender;
  run_extract(indices, count, test);
}

void T7zInArchive::ExtractEvery(bool test, void* sender, T7zGetStreamCallBack callback) {
  FExtractCallBack = callback;
  FExtractSender = sender;
  run_extract(nullptr, 0xFFFFFFFFu, test);
}

void T7zInArchive::ExtractAllToFolder(const std::string& path) {
  std::string root = text_to_os(path);
  while (root.size() > 1 && (root.back() == '/' || root.back() == '\\')) root.pop_back();
  if (root.empty()) root = ".";
  if (int e = make_dirs(root); e != 0) throw Exception("Cannot create folder " + path + ": " + errno_text(e));
  FExtractRootReal = ux::resolved_os_path(root);
  if (FExtractRootReal.empty()) throw Exception("Cannot create folder " + path + ": " + errno_text(errno));
  FExtractPath = root == "/" ? root : root + "/";
  run_extract(nullptr, 0xFFFFFFFFu, false);
}

void T7zInArchive::SetPasswordHandler(void* sender, T7zPasswordCallback callback) {
  FPasswordSender = sender;
  FPasswordCallback = callback;
}

bool T7zInArchive::UsePassword(const std::u16string& password) {
  FPassword = password;
  FPasswordIsDefined = !password.empty();
  return FPasswordIsDefined;
}

void T7zInArchive::SetProgressHandler(void* sender, T7zProgressCallback callback) {
  FProgressSender = sender;
  FProgressCallback = callback;
}

void T7zInArchive::SelectFormat(const TGUID& class_id) { FClassId = class_id; }

TGUID T7zInArchive::FormatClassId() { return FClassId; }

// ---- callbacks from the library

HRESULT T7zInArchive::SetTotal(const uint64_t*, const uint64_t*) noexcept { return S_OK; }
HRESULT T7zInArchive::SetCompleted(const uint64_t*, const uint64_t*) noexcept { return S_OK; }

HRESULT T7zInArchive::GetProperty(PROPID, PROPVARIANT*) noexcept { return S_OK; }

HRESULT T7zInArchive::GetStream(const wchar_t*, IInStream** stream) noexcept {
  if (stream) *stream = nullptr;
  return S_FALSE;
}

HRESULT T7zInArchive::SetSubArchiveName(const wchar_t* name) noexcept {
  try {
    FSubArchiveMode = true;
    FSubArchiveName = wide_to_utf16(name);
    return S_OK;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

HRESULT T7zInArchive::CryptoGetTextPassword(BSTR* password) noexcept {
  if (!password) return E_INVALIDARG;
  *password = nullptr;
  try {
    if (FPasswordIsDefined) {
      *password = alloc_bstr(FPassword);
      return *password ? S_OK : E_OUTOFMEMORY;
    }
    if (FPasswordCallback) {
      std::u16string p;
      HRESULT hr = FPasswordCallback(FPasswordSender, p);
      if (hr == S_OK) {
        FPassword = p;
        FPasswordIsDefined = true;
        *password = alloc_bstr(p);
        return *password ? S_OK : E_OUTOFMEMORY;
      }
      return hr;
    }
    return S_FALSE;
  } catch (...) {
    FPendingError = std::current_exception();
    return E_ABORT;
  }
}

HRESULT T7zInArchive::SetTotal(uint64_t total) noexcept {
  if (!FProgressCallback) return S_OK;
  try {
    return FProgressStop = FProgressCallback(FProgressSender, true, int64_t(total));
  } catch (...) {
    FPendingError = std::current_exception();
    return E_ABORT;
  }
}

HRESULT T7zInArchive::SetCompleted(const uint64_t* value) noexcept {
  if (!FProgressCallback || !value) return S_OK;
  try {
    return FProgressStop = FProgressCallback(FProgressSender, false, int64_t(*value));
  } catch (...) {
    FPendingError = std::current_exception();
    return E_ABORT;
  }
}

HRESULT T7zInArchive::folder_stream(uint32_t index, ISequentialOutStream** out) {
  if (ItemIsFolder(index)) return S_OK;
  PROPVARIANT attr = item_property(index, kpidAttrib);
  uint32_t attrib = attr.vt == VT_UI4 ? attr.ulVal : 0;
  clear_variant(attr);
  if (attrib & 0x8000u) {
    const uint32_t st_mode = attrib >> 16;
    if (S_ISLNK(st_mode) || S_ISDIR(st_mode)) return S_OK;
    FItem.has_unix_mode = true;
    FItem.unix_mode = st_mode & 0777;
  }

  std::vector<std::string> parts;
  std::string reason = split_item_path(utf16_to_utf8(ItemPath(index)), parts);
  if (!reason.empty()) {
    note_failure(index, reason);
    return S_OK;
  }
  std::string cur = FExtractRootReal == "/" ? std::string() : FExtractRootReal;
  for (size_t i = 0; i + 1 < parts.size(); ++i) {
    cur += "/" + parts[i];
    struct stat st;
    if (::lstat(cur.c_str(), &st) == 0) {
      if (S_ISLNK(st.st_mode)) {
        std::string r = ux::resolved_os_path(cur);
        if (r.empty() || !ux::os_path_inside(r, FExtractRootReal)) {
          note_failure(index, "item path leads outside the target folder");
          return S_OK;
        }
        if (::stat(cur.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
          note_failure(index, "not a folder: " + os_to_text(cur));
          return S_OK;
        }
      } else if (!S_ISDIR(st.st_mode)) {
        note_failure(index, "not a folder: " + os_to_text(cur));
        return S_OK;
      }
    } else if (errno != ENOENT || (::mkdir(cur.c_str(), 0777) != 0 && errno != EEXIST)) {
      const int e = errno;
      note_failure(index, "cannot create folder " + os_to_text(cur) + ": " + errno_text(e));
      return S_OK;
    }
  }
  const std::string target = cur + "/" + parts.back();
  struct stat st;
  if (::lstat(target.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) {
      note_failure(index, "a folder exists at " + os_to_text(target));
      return S_OK;
    }
    // A fresh file rather than truncation: a busy executable, a read-only
    // file or a hard link shared with a file elsewhere is replaced, not
    // written through.
    ::unlink(target.c_str());
  }
  std::unique_ptr<TFdStream> file;
  try {
    file = std::make_unique<TFdStream>(target, TFdStream::fmCreate);
  } catch (const Exception& e) {
    note_failure(index, e.what());
    return S_OK;
  }
  FItem.path = target;
  auto* s = new T7zStream(std::move(file));
  s->AddRef();
  *out = static_cast<IOutStream*>(s);
  return S_OK;
}

HRESULT T7zInArchive::GetStream(uint32_t index, ISequentialOutStream** out, int32_t ask_mode) noexcept {
  if (!out) return E_INVALIDARG;
  *out = nullptr;
  try {
    if (FItem.active) finish_item(true);
    FItem.active = true;
    FItem.index = index;
    if (ask_mode != kAskExtract) return S_OK;
    if (FStream) {
      auto* s = new T7zStream(FStream, false);
      s->AddRef();
      *out = static_cast<IOutStream*>(s);
      return S_OK;
    }
    if (FExtractCallBack) {
      ISequentialOutStream* s = nullptr;
      HRESULT hr = FExtractCallBack(FExtractSender, index, s);
      *out = s;
      return hr;
    }
    if (!FExtractPath.empty()) return folder_stream(index, out);
    return S_OK;
  } catch (...) {
    FPendingError = std::current_exception();
    return E_ABORT;
  }
}

HRESULT T7zInArchive::PrepareOperation(int32_t) noexcept { return S_OK; }

HRESULT T7zInArchive::SetOperationResult(int32_t op_result) noexcept {
  if (!FItem.active) return S_OK;
  try {
    const bool ok = op_result == kOK;
    if (!ok) note_failure(FItem.index, operation_result_text(op_result));
    finish_item(ok);
  } catch (...) {
    FPendingError = std::current_exception();
    return E_ABORT;
  }
  return S_OK;
}

// ---------------------------------------------------------------- factory

TComPtr<I7zInArchive> new_in_archive(const TGUID& class_id, const std::string& lib_name) {
  auto* a = new T7zInArchive(lib_name.empty() ? carried_archive_library() : lib_name);
  a->SelectFormat(class_id);
  return TComPtr<I7zInArchive>(static_cast<I7zInArchive*>(a));
}

}  // namespace ux
