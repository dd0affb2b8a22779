// ux_stream: the generic byte-stream interface that memory FIFOs and file
// streams implement (read, write, seek, size), with its convenience operations.
#pragma once

#include <cstdint>

namespace ux {

enum class TSeekOrigin { soBeginning = 0, soCurrent = 1, soEnd = 2 };

// Results of TStream::Write other than a byte count; nothing was written.
inline constexpr int64_t kStreamRefused = -1;   // past the stream's capacity cap, or an invalid request
inline constexpr int64_t kStreamNoMemory = -2;  // the memory for the bytes could not be had

// The result contract of every stream (Tfifo_Mem_stream, the file streams):
// - Read: the bytes read, 0..count; fewer than count only at the end of the
//   data or on an I/O error; 0 for count <= 0.
// - Write: count when the stream took everything; 0 for count <= 0; fewer
//   than count only on an I/O error of a file stream; or, with nothing
//   written, kStreamRefused or kStreamNoMemory. A memory stream takes a
//   request whole or not at all.
// - Seek: the new position; -1, with the position unchanged, when the
//   stream cannot go there.
// - SetSize: a file stream that cannot take the size raises ux::Exception;
//   a memory stream that cannot grow keeps its size.
// Read, Write and Seek never raise for these outcomes (a cached file stream
// may raise from the flush a call makes); only ReadBuffer and WriteBuffer
// turn a short transfer into an exception.
class TStream {
 public:
  virtual ~TStream() = default;

  virtual int64_t Read(void* buffer, int64_t count) = 0;
  [[nodiscard]] virtual int64_t Write(const void* buffer, int64_t count) = 0;
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
