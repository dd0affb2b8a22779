// ux_file_io: the file layer — a cached file stream, the shared-access file
// TShareFile (with its reference-counted interface IShareFile) and the static
// whole-file utilities (copy, move, delete, clip, join, read and write).
//
// File names are byte strings in the process code page; they are converted to
// the platform's encoding (UTF-8) at the system call. Every file is opened
// with full sharing: on Linux other readers and writers are never locked out.
// Positions and sizes are 64-bit byte counts.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "common/ux_stream.h"

namespace ux {

class Tfifo_Mem_stream;
using TBytes = std::vector<uint8_t>;

// Open modes of TBufferedFileStream. The share bits are accepted for
// compatibility and have no effect on Linux (files are always shared).
enum : uint32_t {
  fmOpenRead = 0x0000,
  fmOpenWrite = 0x0001,
  fmOpenReadWrite = 0x0002,
  fmShareDenyNone = 0x0040,
  fmCreate = 0xFF00,        // create or truncate, then read and write
  fmOpenAlways = 0x10000,   // read and write, created when missing, never truncated
};

// Cache size of every TShareFile.
inline constexpr int32_t kShareFileCacheSize = 32768;
// Chunk of the file-to-file copy loops (0x28000).
inline constexpr int32_t kCopyChunkSize = 163840;
// Chunk of StreamFromFile / StreamToFile.
inline constexpr int32_t kStreamChunkSize = 262144;

// A file stream with a write-back cache of FBufferSize bytes over one window
// of the file. Observable contract: that of an unbuffered file — reads see
// earlier writes, and every written byte reaches the file at the latest when
// FlushBuffer runs or the stream is destroyed. Transfers of FBufferSize bytes
// or more bypass the cache. Not internally synchronised.
//
// Failures: opening raises ux::Exception ("Cannot open file ..." / "Cannot
// create file ..."); a failed flush raises ux::Exception("Stream write
// error") and keeps the cached bytes for a later flush; a failed size change
// raises ux::Exception("Stream size error"). Read and Write return the bytes
// moved (short at the end of the file or on an I/O error) and never raise
// except through a flush they trigger. The destructor flushes and swallows
// errors.
class TBufferedFileStream : public TStream {
 public:
  TBufferedFileStream(const std::u16string& file_name, uint32_t mode,
                      int32_t buffer_size = kShareFileCacheSize);
  ~TBufferedFileStream() override;
  TBufferedFileStream(const TBufferedFileStream&) = delete;
  TBufferedFileStream& operator=(const TBufferedFileStream&) = delete;

  int64_t Read(void* buffer, int64_t count) override;
  [[nodiscard]] int64_t Write(const void* buffer, int64_t count) override;
  // Positions beyond the end are allowed up to 2^62; a target below 0 or
  // above that gives -1 and leaves the position unchanged.
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  // File size including cached bytes not yet written.
  int64_t GetSize() override;
  // Leaves the logical position unchanged.
  void SetSize(int64_t new_size) override;

  // Writes pending cached bytes and empties the cache.
  virtual void FlushBuffer();
  // Grows the cache to n bytes (smaller n is ignored); resets the position to 0.
  void ResizeBuffer(int32_t n);

  bool IsWritable() const noexcept { return writable_; }
  // The platform descriptor; callers that use it directly flush first.
  int Handle() const noexcept { return fd_; }

 protected:
  // os_name is already in the platform's encoding (UTF-8).
  struct TOsName {
    std::string name;
  };
  TBufferedFileStream(const TOsName& os_name, uint32_t mode, int32_t buffer_size);

  int64_t FFilePos = 0;
  int64_t FBufStartPos = 0;
  int64_t FBufEndPos = 0;
  std::unique_ptr<uint8_t[]> FBuffer;
  int32_t FBufferSize = 0;
  bool FModified = false;
  bool FBuffered = false;
  int64_t size_at_open_ = 0;  // the file's size when it was opened

 private:
  void FillBuffer();
  int64_t RawRead(void* buffer, int64_t count, int64_t at);
  int64_t RawWrite(const void* buffer, int64_t count, int64_t at);

  int fd_ = -1;
  bool writable_ = false;
  bool regular_ = false;
};

// The reference-counted interface of a shared file. A new object starts with
// count 0; the Release that drops it to 0 destroys the object. Objects owned
// directly (std::unique_ptr) must not be released through the interface.
// AddRef/Release are atomic; the other operations are not synchronised.
class IShareFile {
 public:
  // 0 and *obj set (with a reference added) for iid "IShareFile", else -1.
  virtual int32_t QueryInterface(std::string_view iid, void** obj) = 0;
  virtual int32_t AddRef() = 0;
  virtual int32_t Release() = 0;
  virtual int64_t Position() = 0;
  virtual int64_t GetSize() = 0;
  virtual void SetPosition(int64_t pos) = 0;
  // Reads/writes when buf is present and count != 0; otherwise 0.
  virtual int64_t ReadData(void* buf, int64_t count) = 0;
  [[nodiscard]] virtual int64_t WriteData(const void* buf, int64_t count) = 0;
  virtual void FlushBuffer() = 0;
  virtual void Reserved() = 0;

 protected:
  virtual ~IShareFile() = default;
};

using TFunc_utf_encode = std::function<std::string(std::string_view)>;

// The shared-access file through which every file is read and written.
// Opening errors raise ux::Exception after one retry 1 ms later. Callers that
// share one object serialise through lockEnter/lockExit.
class TShareFile : public TBufferedFileStream, public IShareFile {
 public:
  struct TParams {
    int64_t D1 = 0, D2 = 0, D3 = 0, D4 = 0;
  };

  // Opens an existing file for reading (bufferSize is not used).
  static std::unique_ptr<TShareFile> OpenRead(const std::string& fname, int32_t bufferSize = 0);
  // Opens for reading and writing, creating the file when missing (its folder
  // is not created). An existing file is never truncated. Backslashes in
  // fname become "/" and doubled separators are collapsed.
  static std::unique_ptr<TShareFile> OpenWrite(const std::string& fname);

  ~TShareFile() override;

  // IShareFile
  int32_t QueryInterface(std::string_view iid, void** obj) override;
  int32_t AddRef() override;
  int32_t Release() override;
  int64_t Position() override;
  int64_t GetSize() override;
  void SetPosition(int64_t pos) override;
  int64_t ReadData(void* buf, int64_t count) override;
  [[nodiscard]] int64_t WriteData(const void* buf, int64_t count) override;
  void FlushBuffer() override;
  void Reserved() override {}

  // Little-endian integer of 4, 1 or 2 bytes; 8 bytes for any other fsize.
  // Missing bytes read as 0.
  int64_t ReadInt(int32_t fsize);
  // A 32-bit length, then that many bytes; empty when the length is negative
  // or runs past the end of the file.
  std::string ReadString_EX();
  [[nodiscard]] int64_t WriteInteger(int32_t v);
  [[nodiscard]] int64_t WriteInt64(int64_t v);
  // The counterpart of ReadString_EX.
  [[nodiscard]] int64_t WriteString_Ex(std::string_view s);
  [[nodiscard]] int64_t WriteBuf(const void* buf, int64_t len);
  // Writes the whole content of st (not consumed) while holding st's lock.
  [[nodiscard]] int64_t WriteBuf(Tfifo_Mem_stream& st);
  [[nodiscard]] int64_t WriteBytes(const TBytes& bs);
  // Seeks to the end and writes.
  [[nodiscard]] int64_t AppendData(const void* data, int64_t len);
  // Write mode: size and position 0. Read mode: nothing.
  void Reset();
  // Sets the size when writable and size >= 0; false otherwise or on failure.
  bool setEndOfFile(int64_t size);
  // False when the size equals LastSize; otherwise Pos := min(LastSize,
  // size), len := max(size - LastSize, 0), LastSize := size, true.
  bool is_Data_Changed(int64_t& Pos, int64_t& len);
  // Copies the whole content into newfname (opened with OpenWrite, left
  // holding exactly these bytes) and restores the position. False when a
  // read or write error ended the copy; opening errors raise.
  bool CloneTofile(const std::string& newfname);
  // block_size > 0: MD5 of up to block_size bytes at offset; otherwise MD5 of
  // the whole file. Lower-case hex; empty on a read error.
  std::string md5File(int64_t offset, int64_t block_size);

  const std::string& GetFileName() const noexcept { return pri_fname; }
  const std::string& FileTagId() const noexcept { return fFileTagId; }
  bool IsReadOnly() const noexcept { return ReadOnly; }
  int32_t OpenMode() const noexcept { return Mode; }
  TParams& params() noexcept { return params_; }
  // Owned extra object, destroyed with the file.
  void SetExtra(std::shared_ptr<void> extra) { buffer = std::move(extra); }
  void lockEnter() { flock.lock(); }
  void lockExit() { flock.unlock(); }

  // ---- static utilities (open and close their files within one call)

  // False when sour does not exist. Copies sour over dest in place (dest's
  // folder must exist; opening errors raise) and leaves dest holding exactly
  // sour's bytes; false when a read or write error ended the copy.
  static bool CopyShareFile(const std::string& sour, const std::string& dest);
  // Renames sour to dest, creating dest's folder; across file systems copies
  // and then deletes sour. Never raises. When the move fails the source stays
  // and no partial dest is left.
  static bool MoveFile(const std::string& sour, const std::string& dest);
  // True when no file exists at fname afterwards.
  static bool deleteFile(const std::string& fname);
  static std::unique_ptr<TShareFile> tryCreateFile(const std::string& fname);
  static std::unique_ptr<TShareFile> TryOpenFileRead(const std::string& fname);
  // Creates the folder, opens with OpenWrite, grows to sizeAtLeast; the size.
  static int64_t CreateBlankFile(const std::string& fname, int64_t sizeAtLeast);
  // Copies up to len bytes at offset of sour into dest (which then holds
  // exactly those bytes); the count copied, 0 when sour does not exist.
  static int64_t CopyFileClipTo(const std::string& sour, int64_t offset, int64_t len,
                                const std::string& dest);
  // Joins the files of sour into dest. False, and nothing written, unless
  // every file exists (and none of them is dest itself).
  static bool CopyShareFiles(const std::vector<std::string>& sour, const std::string& dest);
  // Replaces the content of st with the file; bytes copied.
  static int64_t StreamFromFile(TStream& st, const std::string& Fname);
  // When st is not empty: Fname holds exactly st's bytes; bytes copied.
  static int64_t StreamToFile(TStream& st, const std::string& Fname);
  static int64_t ReadBufFromFile(const std::string& fname, void* buf, int64_t bufLen,
                                 int64_t fromPos);
  static int64_t WriteBufToFile(const std::string& fname, const void* buf, int64_t bufLen,
                                int64_t offset);
  static int64_t AppendBufToFile(const std::string& fname, const void* buf, int64_t bufLen);
  // Whole-file readers: empty when the file is missing, unreadable or too
  // large for memory.
  static TBytes FileToRawData(const std::string& fname, int64_t offset = 0);
  static std::string FileToText(const std::string& fname, int64_t offset = 0,
                                bool is_EncodingText = false,
                                const TFunc_utf_encode& func_utf_encode = nullptr);
  static std::string FileNameOf(const std::string& fname);
  static std::string file_ext(const std::string& fname);
  static std::string change_file_ext(const std::string& fname, const std::string& new_ext);
  // Hex dump of up to min(8192, dump_size) bytes at offset.
  static std::string fileHexDump(const std::string& fname, int64_t offset, int64_t dump_size);

 protected:
  TShareFile(const TOsName& os_name, uint32_t mode);

 private:
  void InitOpened(const std::string& fname, int32_t mode);

  std::atomic<int32_t> FRefCount{0};
  int64_t LastSize = 0;
  int32_t Mode = 0;
  std::string pri_fname;
  std::string fFileTagId;
  std::shared_ptr<void> buffer;
  bool ReadOnly = true;
  std::recursive_mutex flock;
  TParams params_;
};

// Holds one reference to an IShareFile (or nothing): taking an object adds a
// reference, letting go releases it, so the last holder destroys it.
class TShareFileRef {
 public:
  TShareFileRef() noexcept = default;
  explicit TShareFileRef(IShareFile* f) noexcept : f_(f) {
    if (f_) f_->AddRef();
  }
  TShareFileRef(TShareFileRef&& o) noexcept : f_(o.f_) { o.f_ = nullptr; }
  TShareFileRef& operator=(TShareFileRef&& o) noexcept {
    if (this != &o) {
      reset();
      f_ = o.f_;
      o.f_ = nullptr;
    }
    return *this;
  }
  TShareFileRef(const TShareFileRef&) = delete;
  TShareFileRef& operator=(const TShareFileRef&) = delete;
  ~TShareFileRef() { reset(); }

  void reset() noexcept {
    if (f_) f_->Release();
    f_ = nullptr;
  }
  IShareFile* get() const noexcept { return f_; }
  IShareFile* operator->() const noexcept { return f_; }
  explicit operator bool() const noexcept { return f_ != nullptr; }

 private:
  IShareFile* f_ = nullptr;
};

}  // namespace ux
