#include "common/net/ux_http_chunked.h"

#include <algorithm>

#include "common/ext_mem.h"
#include "common/ux_text.h"

namespace ux {

void TUX_Http_Chunk_Decoder::reset() { *this = TUX_Http_Chunk_Decoder(); }

TUX_Http_Chunk_Decoder::Result TUX_Http_Chunk_Decoder::fail(Error e) {
  state_ = State::kError;
  error_ = e;
  return Result::kError;
}

TUX_Http_Chunk_Decoder::Result TUX_Http_Chunk_Decoder::feed(const char* data, size_t len,
                                                            Tfifo_Mem_stream& out,
                                                            size_t& consumed) {
  consumed = 0;
  size_t i = 0;
  auto size_line_done = [&] {
    line_bytes_ = 0;
    ext_seen_ = false;
    state_ = remaining_ == 0 ? State::kTrailerStart : State::kData;
  };
  while (i < len) {
    const char c = data[i];
    switch (state_) {
      case State::kSizeStart:
      case State::kSize:
      case State::kSizeTail:
      case State::kSizeLF: {
        if (++line_bytes_ > kMaxLineBytes) return fail(Error::kLineTooLong);
        const int d = hex_value(static_cast<unsigned char>(c));
        if (state_ == State::kSizeStart) {
          if (d < 0) return fail(Error::kBadSize);
          remaining_ = d;
          state_ = State::kSize;
        } else if (state_ == State::kSize && d >= 0) {
          remaining_ = remaining_ * 16 + d;
          if (remaining_ > kMaxChunkSize) return fail(Error::kSizeTooLarge);
        } else if (state_ == State::kSizeLF) {
          if (c != '\n') return fail(Error::kBadSize);
          size_line_done();
        } else if (c == '\r') {
          state_ = State::kSizeLF;
        } else if (c == '\n') {
          size_line_done();
        } else if (c == ';') {
          ext_seen_ = true;
          state_ = State::kSizeTail;
        } else if (c == ' ' || c == '\t') {
          state_ = State::kSizeTail;
        } else if (!ext_seen_ || (static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7F) {
          return fail(Error::kBadSize);
        }
        ++i;
        break;
      }
      case State::kData: {
        const size_t n = size_t(std::min<int64_t>(remaining_, int64_t(len - i)));
        if (out.Write(data + i, int64_t(n)) < 0) return fail(Error::kSinkFull);
        i += n;
        remaining_ -= int64_t(n);
        decoded_ += int64_t(n);
        if (remaining_ == 0) state_ = State::kDataCR;
        break;
      }
      case State::kDataCR:
        if (c == '\r') {
          state_ = State::kDataLF;
        } else if (c == '\n') {
          state_ = State::kSizeStart;
        } else {
          return fail(Error::kBadDataEnd);
        }
        ++i;
        break;
      case State::kDataLF:
        if (c != '\n') return fail(Error::kBadDataEnd);
        state_ = State::kSizeStart;
        ++i;
        break;
      case State::kTrailerStart:
      case State::kTrailerLine:
      case State::kTrailerLF:
      case State::kFinalLF:
        if (++trailer_bytes_ > kMaxTrailerBytes) return fail(Error::kTrailerTooLong);
        ++i;
        if (state_ == State::kTrailerLF || state_ == State::kFinalLF) {
          if (c != '\n') return fail(Error::kBadTrailer);
          if (state_ == State::kFinalLF) {
            state_ = State::kDone;
            consumed = i;
            return Result::kDone;
          }
          state_ = State::kTrailerStart;
        } else if (c == '\r') {
          state_ = state_ == State::kTrailerStart ? State::kFinalLF : State::kTrailerLF;
        } else if (c == '\n') {
          if (state_ == State::kTrailerStart) {
            state_ = State::kDone;
            consumed = i;
            return Result::kDone;
          }
          state_ = State::kTrailerStart;
        } else {
          state_ = State::kTrailerLine;
        }
        break;
      case State::kDone:
        consumed = i;
        return Result::kDone;
      case State::kError:
        consumed = i;
        return Result::kError;
    }
  }
  consumed = i;
  if (state_ == State::kDone) return Result::kDone;
  if (state_ == State::kError) return Result::kError;
  return Result::kAgain;
}

}  // namespace ux
