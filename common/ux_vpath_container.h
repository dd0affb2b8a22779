// ux_vpath_container: TUX_VPath_in_File, a virtual path container that
// presents many files as one byte sequence with a text index.
//
// Stored forms:
//  - two files: an index file and a data file (while a container is being
//    built, an index file whose items point at the physical files);
//  - one file: the data, the index text, then an 8-byte trailer (the index
//    length and kVPathMagic, both unsigned 32-bit little-endian);
//  - the one-file form split into part files (TUX_Splited_file).
//
// Index text (process code page, lines ended by CR LF):
//   #!RKFIDX,<count>,<data size>,<utf8|gbk>,<blanks>
//   #$-<n>,<mode>,<pos_start>,<fileSize>,<escaped file_url>[,<escaped phy_file>]
// Escaping: "%" "#" "," ":" '"' "+" CR LF become %25 %23 %2C %3A %22 %2B %0D
// %0A; reading percent-decodes (url_decode). A reader converts names from
// the encoding the header names to the process code page.
//
// Reading refuses what it cannot trust: an index whose first line lacks the
// magic gives no items; item lines whose numbers do not parse, negative
// sizes, items overlapping an earlier one and items past the data are
// skipped and counted (SkippedItems, LoadError).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "common/ux_file_io.h"

namespace ux {

class TStream;

inline constexpr uint32_t kVPathMagic = 0x0DDFF098;
inline constexpr int32_t kVPathTrailerSize = 8;
// Index writes while building are at most one per this many ms.
inline constexpr int64_t kVPathIndexWriteInterval = 300;
// Blanks that pad the header of an index written incrementally.
inline constexpr int32_t kVPathHeaderPadding = 56;
// Chunks of building/uploading copies and of extraction.
inline constexpr int32_t kVPathCopyChunk = 65536;
inline constexpr int32_t kVPathExtractChunk = 196608;
// Largest index text a reader loads.
inline constexpr int64_t kVPathMaxIndexText = int64_t(512) << 20;

struct TUX_vpath_File_item {
  int32_t fileMode = 0;
  int64_t pos_start = 0;
  int64_t fileSize = 0;
  std::string file_url;  // "/" separators, one leading "/"
  std::string phy_file;  // may be empty

  bool posInFile(int64_t pos) const noexcept {
    return pos_start <= pos && pos - pos_start < fileSize;
  }
};

// Plain function called for each extracted item (see ExtractToPath).
using TFunc_vpath_each_file = bool (*)(const std::string& dest_efs_url, const std::string& phy_file,
                                       void* userData);
// Plain function that opens the data file for extraction. It returns an
// object the caller takes a reference on (a new object has count 0), or null.
using TFunc_open_vpath_file = IShareFile* (*)(const std::string& fname);

// Outcome of ExtractToPath.
struct TUX_vpath_extract_result {
  // 0 done; -1 dest_path cannot be created; -2 the data cannot be opened.
  int32_t status = 0;
  int32_t extracted = 0;
  // Items whose copy failed (nothing is left at their target).
  int32_t failed = 0;
  // file_url of every item refused because its target would leave dest_path
  // ("..", a drive or NUL in the name, a symbolic link on the way).
  std::vector<std::string> refused;
};

// Thread-safety: xlock guards the items and RT, so one thread may add files
// while another writes the index. The read position (RT.position) belongs to
// one reader at a time; data-file reads take the data handle's lock.
class TUX_VPath_in_File {
 public:
  struct TRuntime {
    int32_t fileCount = 0;
    int64_t Size = 0;       // total of the item sizes
    int64_t position = 0;   // read position in the data
    int32_t writedItemIdx = 0;  // items already in the index file
    int64_t at_last_write_idx = 0;  // now_ms of the last index write
  };
  // Free for the owner.
  struct TParam {
    int64_t P1 = 0, P2 = 0;
    std::string P3, P4;
    void* P5 = nullptr;
    void* p6 = nullptr;
    int64_t P7 = 0;
  };
  // May change the name of the index file about to be written (in-out) or
  // refuse the write (false). forced is true for the final write.
  using TOnSaveIdxFile = std::function<bool(std::string& idx_fname, bool forced)>;

  ~TUX_VPath_in_File();
  TUX_VPath_in_File(const TUX_VPath_in_File&) = delete;
  TUX_VPath_in_File& operator=(const TUX_VPath_in_File&) = delete;

  // ---- opening

  // A container being built whose index file is idx_fname; nothing written yet.
  static std::unique_ptr<TUX_VPath_in_File> openWrite(const std::string& idx_fname);
  // Parses the index file; the data comes from data_fname (may be empty:
  // items are then read from their physical files). A missing or refused
  // index gives an empty container.
  static std::unique_ptr<TUX_VPath_in_File> openRead(const std::string& idx_fname,
                                                     const std::string& data_fname);
  // The one-file form. Null when the file is missing, too short, or its
  // trailer is wrong (magic, index length); why receives the reason.
  static std::unique_ptr<TUX_VPath_in_File> openReadFrom_1File(const std::string& vpath_data_fname,
                                                               std::string* why = nullptr);
  // The one-file form stored as split parts.
  static std::unique_ptr<TUX_VPath_in_File> openReadFrom_Splited_File(
      const std::string& vpath_data_fname, std::string* why = nullptr);

  // ---- building

  // Adds phy_file as file_url (container being built, phy_file an existing
  // file, file_url not empty). size <= 0 takes the file's size. 2 added; 1
  // when is_check_exists and file_url (ASCII case-insensitive) is present;
  // -1 otherwise (also for size 0). compress_mode is not recorded.
  int32_t addFile(const std::string& file_url, const std::string& phy_file, int32_t compress_mode,
                  int64_t size, bool is_check_exists);
  // Adds every non-empty file below the folder phy_path (into sub-folders
  // when is_include_sub_dir) as "/" + its relative path, skipping file_urls
  // already present; then writes the index completely. The number of
  // non-empty files found; -1 when not building or phy_path is no folder.
  int32_t addPath(const std::string& phy_path, bool is_include_sub_dir, int32_t compress_mode);
  // Building: writes the new index lines (throttled).
  void execute();

  // ---- reading

  // Reads at RT.position (see the item rules in the source); the count.
  // is_full_fill_buf goes on into following items read from their files.
  [[nodiscard]] int32_t ReadData(void* buf, int32_t buflen, bool is_full_fill_buf);
  void Setposition(int64_t value);
  int64_t position() const noexcept { return RT.position; }

  // Writes every item into dest_path (see the refusal rules on
  // TUX_vpath_extract_result). With func, each item goes to a temporary
  // file dest_path/vtmp.<30 digits> and func(file_url, that name, userData)
  // takes it over. purge_old_file lets the source drop data already read
  // (split parts). Failures of one item never stop the others.
  TUX_vpath_extract_result ExtractToPath(const std::string& dest_path, void* userData = nullptr,
                                         TFunc_vpath_each_file func = nullptr,
                                         TFunc_open_vpath_file func_open_file = nullptr,
                                         bool purge_old_file = false);
  // Copies the item file_url (ASCII case-insensitive) into dest_file (its
  // folder is created) through ReadData, keeping the read position; false
  // when there is no such item or the copy fails (dest_file is then removed).
  bool copyFileOut(const std::string& file_url, const std::string& dest_file);

  // ---- saving

  // Writes a complete index to dest_idx_fname (physical paths only when
  // is_include_phy_file_info); the number of item lines, idx_fsize := the
  // file's size; -1 when it cannot be written. An empty name finishes the
  // container's own index instead and returns its size in both.
  int64_t SaveIdxFileOut(const std::string& dest_idx_fname, int64_t& idx_fsize,
                         bool is_include_phy_file_info);
  // Appends the complete index text to dest_idx; the bytes written.
  int64_t SaveIdxFileOut(TStream& dest_idx, bool is_include_phy_file_info);
  // Writes the one-file form to dest_fname (replacing it); items take the
  // offsets and sizes actually written. The data bytes; -1 when dest_fname
  // cannot be written or is the container's own data file.
  int64_t SaveAll_to_1File(const std::string& dest_fname);
  // JSON text describing the container whose index file is idx_fname, from
  // its first line: {"ret":1,"file_count":n,"date":"..."} plus "data-size"
  // and "size" (the one-file form's size); {"ret":-404} when missing or not
  // an index.
  static std::string ReadPathInfo(const std::string& idx_fname);

  // ---- items

  void clear();
  void lock() { xlock.lock(); }
  void unlock() { xlock.unlock(); }
  int32_t fileCount();
  int64_t Size();
  // A copy of item i (0-based); false when out of range.
  bool item(int32_t i, TUX_vpath_File_item& out);
  std::vector<TUX_vpath_File_item> items();

  bool is_RW_mode() const noexcept { return is_RW_mode_; }
  bool utf8_mode() const noexcept { return f_utf8_mode; }
  const std::string& idx_fileName() const noexcept { return f_idx_fileName; }
  const std::string& data_fileName() const noexcept { return f_data_fileName; }
  // True when the container was read from the one-file or split form (its
  // index lies inside the data file).
  bool is_one_file_form() const noexcept { return data_kind_ != TDataKind::separate; }
  bool autoFreeByDS() const noexcept { return FautoFreeByDS; }
  void SetautoFreeByDS(bool Value) noexcept { FautoFreeByDS = Value; }
  // Index lines skipped when reading and the last reason.
  int32_t SkippedItems() const noexcept { return skipped_items_; }
  const std::string& LoadError() const noexcept { return load_error_; }

  TOnSaveIdxFile on_save_idx_file;
  TParam userData;

 private:
  enum class TDataKind { separate, one_file, split };

  TUX_VPath_in_File() = default;
  // Parses index text; data_end < 0 when the data length is unknown. The
  // item count, or -1 when the header is refused.
  int32_t load_index(const std::string& text, int64_t data_end);
  // A container of the one-file form named name, read through f (already
  // opened; the caller hands it to data_fh on success); nullptr with why.
  static std::unique_ptr<TUX_VPath_in_File> open_one_file(IShareFile& f, const std::string& name, TDataKind kind,
                                                          std::string* why);
  // Opens the one-file form through f (already opened); false with why.
  bool load_one_file(IShareFile& f, std::string* why);
  int64_t write_index(bool forced);
  std::string index_line(int32_t i, bool with_phy) const;
  std::string header_text(bool padded) const;
  // Index (0-based) of the item holding pos, or -1. Caller holds xlock.
  int32_t find_item(int64_t pos) const;
  // Reads item bytes from its physical file at off; zero-fills what the file
  // no longer holds. The count (n), or -1 when the file cannot be opened.
  int64_t read_phy(int32_t idx, int64_t off, void* buf, int64_t n);
  bool phy_readable(int32_t idx);
  int64_t read_data_file(int64_t pos, void* buf, int64_t n);
  TShareFileRef open_data_source(TFunc_open_vpath_file func_open_file);
  // Copies item from src into target (truncated first unless fresh, i.e.
  // known not to exist); false (target removed) when the copy is short or
  // fails.
  static bool copy_item_to(IShareFile& src, const TUX_vpath_File_item& item,
                           const std::string& target, bool fresh);
  // addFile without the checks of the physical file.
  int32_t add_item(const std::string& file_url, const std::string& phy_file, int64_t size,
                   bool is_check_exists);

  bool is_RW_mode_ = false;
  TRuntime RT;
  std::vector<TUX_vpath_File_item> file_item_list;
  std::unordered_set<std::string> url_keys_;  // lower-cased file_urls
  int64_t data_end_ = 0;                      // end of the last item
  std::recursive_mutex xlock;
  std::string f_idx_fileName, f_data_fileName;
  TDataKind data_kind_ = TDataKind::separate;
  TShareFileRef data_fh;
  std::mutex data_lock_;  // guards data_fh
  bool data_open_failed_ = false;
  // The physical file of one item, kept open between reads.
  std::unique_ptr<TShareFile> phy_fh_;
  int32_t phy_idx_ = -1;
  bool FautoFreeByDS = false;
  bool f_utf8_mode = true;
  int64_t header_line_len_ = 0;  // length of the padded header line written
  int32_t skipped_items_ = 0;
  std::string load_error_;
};

}  // namespace ux
