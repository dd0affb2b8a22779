// ux_http_chunked: an incremental decoder of the HTTP/1.1 chunked transfer
// coding (RFC 9112, 7.1).
//
// Feed it the raw body in pieces of any size, split anywhere; it keeps its
// state between calls and writes the decoded bytes to the stream it is
// given. Chunk extensions (";name=value") are skipped, sizes may carry
// leading zeros ("00"), trailer fields are read and dropped. A size line may
// end with a bare LF, as may the CR LF after chunk data. Bytes after the end
// of the trailer section are not consumed.
//
// Limits: a chunk size above kMaxChunkSize, a size line longer than
// kMaxLineBytes, or a trailer section longer than kMaxTrailerBytes is an
// error, so hostile input cannot overflow a counter or grow memory.
//
// No I/O, no clock, no locks: one decoder per body, used by one thread.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ux {

class Tfifo_Mem_stream;

class TUX_Http_Chunk_Decoder {
 public:
  static constexpr int64_t kMaxChunkSize = int64_t(1) << 40;  // 1 TiB, far past any real chunk
  static constexpr int32_t kMaxLineBytes = 4096;              // size line with extensions
  static constexpr int32_t kMaxTrailerBytes = 65536;          // whole trailer section

  enum class Result {
    kAgain,   // every byte consumed; more input is needed
    kDone,    // the last chunk and the trailer section have been read
    kError,   // malformed coding or a limit exceeded; see error()
  };

  enum class Error {
    kNone,
    kBadSize,        // a size line that is not hexadecimal digits (plus extensions)
    kSizeTooLarge,   // above kMaxChunkSize
    kLineTooLong,    // a size line above kMaxLineBytes
    kBadDataEnd,     // chunk data not followed by CR LF
    kBadTrailer,     // a trailer line not ended by CR LF
    kTrailerTooLong, // trailer section above kMaxTrailerBytes
    kSinkFull,       // the output stream refused the decoded bytes
  };

  // Decodes up to len bytes of data; decoded bytes are appended to out.
  // consumed receives the bytes taken (all of them unless the result is
  // kDone, where it stops after the final empty line, or kError). After
  // kDone or kError further calls consume nothing and repeat the result.
  Result feed(const char* data, size_t len, Tfifo_Mem_stream& out, size_t& consumed);

  void reset();
  bool done() const { return state_ == State::kDone; }
  Error error() const { return error_; }
  // Decoded bytes so far.
  int64_t decoded_size() const { return decoded_; }

 private:
  enum class State {
    kSizeStart,    // first byte of a size line
    kSize,         // hexadecimal digits
    kSizeTail,     // whitespace and extensions up to the line end
    kSizeLF,       // the LF after a CR
    kData,         // chunk data, remaining_ bytes left
    kDataCR,       // the CR (or bare LF) after chunk data
    kDataLF,       // the LF after that CR
    kTrailerStart, // start of a trailer line, or the final empty line
    kTrailerLine,  // inside a trailer field
    kTrailerLF,    // the LF ending a trailer field
    kFinalLF,      // the LF of the final empty line
    kDone,
    kError,
  };

  Result fail(Error e);

  State state_ = State::kSizeStart;
  Error error_ = Error::kNone;
  int64_t remaining_ = 0;  // chunk size being read, then data bytes left
  bool ext_seen_ = false;  // a ";" was met on the current size line
  int32_t line_bytes_ = 0;
  int32_t trailer_bytes_ = 0;
  int64_t decoded_ = 0;
};

}  // namespace ux
