// ux_file_data_source: readable byte sources with a known size that feed
// request bodies and uploads — the base contract, a plain file, and a
// virtual path container presented as its one-file form.
//
// A source is read at explicit offsets (no shared position), so a consumer
// can resend from any point after a reconnection. Sizes and offsets are
// 64-bit byte counts; one read moves at most 2^31 - 1 bytes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>

namespace ux {

class TStream;
class TShareFile;
class TUX_VPath_in_File;

// Chunk of CopyDataTo.
inline constexpr int32_t kDataSourceCopyChunk = 65536;

// The contract every data source keeps:
// - Size() bytes are readable at offsets [0, Size()); ReadData never yields
//   bytes past Size(), even when the underlying file has grown since.
// - execute() is the step a consumer runs before each piece it reads; it
//   lets a source prepare data in steps (empty here).
// - Ownership: a source is created owned by its creator (std::unique_ptr).
//   A consumer holds it through TUX_Data_source_ptr; when the consumer lets
//   go, the source is destroyed only if FreeMe() (f_free_me, true at
//   creation). A creator that keeps the source (FreeMe() false) must outlive
//   the consumer.
// Not internally synchronised: one reader at a time.
class TUX_Data_source_base {
 public:
  TUX_Data_source_base() = default;
  virtual ~TUX_Data_source_base() = default;
  TUX_Data_source_base(const TUX_Data_source_base&) = delete;
  TUX_Data_source_base& operator=(const TUX_Data_source_base&) = delete;

  virtual void execute() {}
  // Up to buflen bytes at offset into buf. The count; 0 at or past the end
  // (or for buflen <= 0); -1 when the source cannot be read (no backing
  // file or container, buf null, offset negative).
  [[nodiscard]] virtual int32_t ReadData(void* buf, int32_t buflen, int64_t offset) = 0;
  // Appends to st the bytes from offset (negative counts as 0) in chunks of
  // kDataSourceCopyChunk until size bytes were copied, the source yields
  // nothing or st refuses a chunk. The count copied.
  virtual int64_t CopyDataTo(TStream& st, int64_t offset, int64_t size);

  int64_t Size() const noexcept { return f_size; }
  bool FreeMe() const noexcept { return f_free_me; }
  void SetFreeMe(bool v) noexcept { f_free_me = v; }

 protected:
  int64_t f_size = 0;
  bool f_free_me = true;
};

// Deleter of TUX_Data_source_ptr: destroys the source only when FreeMe().
struct TUX_Data_source_release {
  TUX_Data_source_release() noexcept = default;
  // Lets a std::unique_ptr<Derived> move into a TUX_Data_source_ptr.
  template <class T, class = std::enable_if_t<std::is_base_of_v<TUX_Data_source_base, T>>>
  TUX_Data_source_release(const std::default_delete<T>&) noexcept {}
  void operator()(TUX_Data_source_base* ds) const noexcept;
};
// A consumer's hold on a source (see TUX_Data_source_base: ownership).
using TUX_Data_source_ptr = std::unique_ptr<TUX_Data_source_base, TUX_Data_source_release>;

// A plain file as a source. The file is opened (shared, read-only) when the
// source is made and stays open; the size is fixed then.
class TUX_Data_source_File_ex : public TUX_Data_source_base {
 public:
  ~TUX_Data_source_File_ex() override;

  // Null when fname is not an existing file.
  static std::unique_ptr<TUX_Data_source_File_ex> CreateFileDataSource(const std::string& fname,
                                                                       bool freeMe = true);

  [[nodiscard]] int32_t ReadData(void* buf, int32_t buflen, int64_t offset) override;

  const std::string& FileName() const noexcept { return fileName; }

 private:
  TUX_Data_source_File_ex(std::string fname, int64_t size);

  std::string fileName;
  std::unique_ptr<TShareFile> fh;
};

// A virtual path container presented as its one-file form: the items' data
// (D bytes, the container's total), the index text (I bytes), then the
// 8-byte trailer (I and the magic, little-endian); Size() is D + I + 8.
// The index text is the container's separate index file as it stands, or,
// for a container read from the one-file or split form, its index written
// out in memory without physical paths.
class TUX_Data_source_vpath_file_2in1 : public TUX_Data_source_base {
 public:
  ~TUX_Data_source_vpath_file_2in1() override;

  // Opens the container with openRead(idx_fname, "") (items read from their
  // physical files); the source owns it. Null when the index file is
  // missing, is no container index or is 2 GiB or larger.
  static std::unique_ptr<TUX_Data_source_vpath_file_2in1> CreateVPathFileDS_FromIdx(
      const std::string& idx_fname, bool freeMe = true);
  // Reads vp_file, which the source destroys with itself only when
  // vp_file->autoFreeByDS(); otherwise vp_file must outlive the source. A
  // container being built finishes its index first. Null when vp_file is
  // null or its index cannot be opened (vp_file is then destroyed when the
  // source would have owned it).
  static std::unique_ptr<TUX_Data_source_vpath_file_2in1> CreateVPathFileDS_From(
      TUX_VPath_in_File* vp_file, bool freeMe = true);

  // Moves the container's read position (one reader at a time).
  [[nodiscard]] int32_t ReadData(void* buf, int32_t buflen, int64_t offset) override;

  TUX_VPath_in_File* vpath() const noexcept { return vpath_; }
  int32_t idx_size() const noexcept { return idx_file_size; }

 private:
  TUX_Data_source_vpath_file_2in1() = default;
  static std::unique_ptr<TUX_Data_source_vpath_file_2in1> make(TUX_VPath_in_File* vp, bool owns,
                                                                 bool freeMe);
  int32_t read_index(int64_t at, void* buf, int32_t n);

  TUX_VPath_in_File* vpath_ = nullptr;
  bool owns_vpath_ = false;
  std::unique_ptr<TShareFile> idx_file;  // the separate index file, or null
  std::string idx_text_;                 // the index in memory otherwise
  int32_t idx_file_size = 0;
  int64_t data_size_ = 0;
};

}  // namespace ux
