// ux_stream: the generic byte-stream interface that memory FIFOs and file
// streams implement (read, write, seek, size), with its convenience operations.
#pragma once

#include <cstdint>

namespace ux {

enum class TSeekOrigin { soBeginning = 0, soCurrent = 1, soEnd = 2 };

class TStream {
 public:
  virtual ~TStream() = default;

  // Bytes actually read/written (0..count); never throw for short transfers.
  virtual int64_t Read(void* buffer, int64_t count) = 0;
  virtual int64_t Write(const void* buffer, int64_t count) = 0;
  // New position, or -1 when the stream cannot seek there.
  virtual int64_t Seek(int64_t offset, TSeekOrigin origin) = 0;
  virtual int64_t GetSize();
  virtual void SetSize(int64_t new_size) = 0;

  int64_t Position() { return Seek(0, TSeekOrigin::soCurrent); }
  void SetPosition(int64_t pos) { Seek(pos, TSeekOrigin::soBeginning); }

  // Full transfers: throw ux::Exception ("Stream read error" / "Stream write
  // error") when fewer than count bytes move.
  void ReadBuffer(void* buffer, int64_t count);
  void WriteBuffer(const void* buffer, int64_t count);
  // Copies count bytes from source's position (count <= 0: all of source from
  // its start). Returns the bytes copied.
  int64_t CopyFrom(TStream& source, int64_t count);
};

}  // namespace ux
