// ux_split_file: TUX_Splited_file, one logical file stored as numbered part
// files — part 0 is the name itself, part k (k >= 1) is the name followed by
// "." and k in decimal. Every part but the last holds exactly the part size.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "common/ux_file_io.h"

namespace ux {

// Default part size when none is given and part 0 is empty (512 MiB).
inline constexpr int64_t kSplitDefaultPartSize = 536870912;

// Keeps one part open at a time. Positions and sizes are logical (over all
// parts). Reading stops at the first missing part; writing at position p goes
// into part p / part size at offset p % part size and on into the following
// parts, creating them as needed (a part created beyond the old end starts
// empty; parts before the written one are extended with zeros to the full
// part size). Not internally synchronised; AddRef/Release are atomic. Objects
// made by openRead/OpenWrite are owned by the caller's std::unique_ptr and
// must not be released through IShareFile unless handed over with
// .release() to a holder such as TShareFileRef.
class TUX_Splited_file : public IShareFile {
 public:
  struct TRuntime {
    bool is_RW_mode = false;
    std::unique_ptr<TShareFile> last_fh;  // the open part, or null
    int64_t last_idx = 0;                 // its number
    int64_t last_file_size = 0;           // its size when opened
    int64_t last_begin_pos = 0;           // logical offset of its first byte
    int64_t last_end_pos = 0;             // last_begin_pos + part size
    int64_t clip_count = 1;               // number of parts
  };

  // Mode "rw", "readwrite" or "wr" (ASCII case-insensitive) opens for
  // writing (part 0 is created when missing), anything else for reading
  // (null when part 0 does not exist). f_part_size <= 0 takes the size of
  // part 0; a result below 1 becomes kSplitDefaultPartSize. Opening scans
  // the parts: the total is the sum of the parts up to the first missing or
  // empty one, and a part shorter than the part size ends the file there.
  // Raises ux::Exception when a part cannot be opened or created.
  static std::unique_ptr<TUX_Splited_file> create(const std::string& fname, std::string_view Mode,
                                                  int64_t f_part_size);
  static std::unique_ptr<TUX_Splited_file> openRead(const std::string& fname,
                                                    int64_t f_part_size = 0);
  static std::unique_ptr<TUX_Splited_file> OpenWrite(const std::string& fname,
                                                     int64_t f_part_size);

  ~TUX_Splited_file() override;
  TUX_Splited_file(const TUX_Splited_file&) = delete;
  TUX_Splited_file& operator=(const TUX_Splited_file&) = delete;

  // The name of part k.
  static std::string PartName(const std::string& fname, int64_t k);
  // Opens, seeks, reads and closes; the count (0 when missing).
  static int64_t ReadDataFrom(const std::string& fname, void* buf, int64_t buflen, int64_t offset);
  // Total size of the parts as opening counts it; 0 when missing.
  static int64_t getFileLength(const std::string& fname);

  // Reads at the position into data; the count (short at the end or at a
  // missing part). The position advances by it.
  int64_t ReadData(void* data, int64_t datalen) override;
  // Writes at the position (see the banner); the count written, short only
  // on an I/O error. Raises ux::Exception when a part cannot be created.
  [[nodiscard]] int64_t writeData(const void* data, int64_t datalen);
  [[nodiscard]] int64_t WriteData(const void* buf, int64_t count) override;
  // Negative positions are ignored.
  void Setposition(int64_t value);
  void SetPosition(int64_t pos) override { Setposition(pos); }
  int64_t Position() override { return Fposition; }
  int64_t GetSize() override { return Fsize; }
  // Writes out the open part's cache; raises ux::Exception on a write error.
  void FlushBuffer() override;
  // Deletes the parts before the open one (already read and no longer
  // needed); later reads there yield nothing.
  void Reserved() override;

  int32_t QueryInterface(std::string_view iid, void** obj) override;
  int32_t AddRef() override;
  int32_t Release() override;

  int64_t part_size() const noexcept { return Fpart_size; }
  int64_t clip_count() const noexcept { return rt.clip_count; }
  const std::string& fileName() const noexcept { return FfileName; }

 private:
  TUX_Splited_file() = default;
  void scan_parts(int64_t f_part_size);
  void close_part();
  // Opens part idx for the current mode; false when it cannot be read.
  bool open_part(int64_t idx);
  // Makes parts clip_count-1 .. idx-1 full and part idx exist (writing).
  void prepare_write_part(int64_t idx);

  TRuntime rt;
  int64_t Fpart_size = kSplitDefaultPartSize;
  int64_t Fsize = 0;
  int64_t Fposition = 0;
  int64_t purged_below_ = 0;  // parts below this number were deleted
  std::string FfileName;
  std::atomic<int32_t> FRefCount{0};
};

}  // namespace ux
