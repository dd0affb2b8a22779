#include "common/platform/ux_iconv.h"

#include <iconv.h>

#include <cerrno>

namespace ux {

namespace {

const char* charset_name(TCharset c) {
  switch (c) {
    case TCharset::utf8: return "UTF-8";
    case TCharset::gbk: return "CP936";
    case TCharset::utf16le: return "UTF-16LE";
  }
  return "UTF-8";
}

// Bytes of the one character at the start of p (at least 1, at most left).
size_t char_size(TCharset c, const unsigned char* p, size_t left) {
  size_t n = 1;
  switch (c) {
    case TCharset::utf8: {
      const size_t want = p[0] >= 0xF0 ? 4 : p[0] >= 0xE0 ? 3 : p[0] >= 0xC0 ? 2 : 1;
      while (n < want && n < left && (p[n] & 0xC0) == 0x80) ++n;
      break;
    }
    case TCharset::gbk:
      n = (p[0] >= 0x81 && left >= 2 && p[1] >= 0x40 && p[1] != 0x7F && p[1] != 0xFF) ? 2 : 1;
      break;
    case TCharset::utf16le: {
      n = 2;
      if (left >= 4) {
        const unsigned unit = p[0] | (p[1] << 8), next = p[2] | (p[3] << 8);
        if (unit >= 0xD800 && unit <= 0xDBFF && next >= 0xDC00 && next <= 0xDFFF) n = 4;
      }
      break;
    }
  }
  return n < left ? n : left;
}

// One descriptor per (from, to) pair and thread.
class TIconvCache {
 public:
  ~TIconvCache() {
    for (auto& row : cd_)
      for (iconv_t cd : row)
        if (cd != reinterpret_cast<iconv_t>(-1)) iconv_close(cd);
  }
  iconv_t get(TCharset from, TCharset to) {
    iconv_t& cd = cd_[int(from)][int(to)];
    if (cd == reinterpret_cast<iconv_t>(-1)) cd = iconv_open(charset_name(to), charset_name(from));
    else iconv(cd, nullptr, nullptr, nullptr, nullptr);
    return cd;
  }

 private:
  iconv_t cd_[3][3] = {{reinterpret_cast<iconv_t>(-1), reinterpret_cast<iconv_t>(-1), reinterpret_cast<iconv_t>(-1)},
                       {reinterpret_cast<iconv_t>(-1), reinterpret_cast<iconv_t>(-1), reinterpret_cast<iconv_t>(-1)},
                       {reinterpret_cast<iconv_t>(-1), reinterpret_cast<iconv_t>(-1), reinterpret_cast<iconv_t>(-1)}};
};

}  // namespace

std::string iconv_convert(TCharset from, TCharset to, std::string_view input,
                          std::string_view replacement) {
  if (input.empty()) return {};
  if (from == to) return std::string(input);
  thread_local TIconvCache cache;
  iconv_t cd = cache.get(from, to);
  if (cd == reinterpret_cast<iconv_t>(-1)) return {};

  std::string out;
  out.resize(input.size() * 4 + 16);
  char* in_ptr = const_cast<char*>(input.data());
  size_t in_left = input.size();
  size_t done = 0;
  while (in_left > 0) {
    char* out_ptr = out.data() + done;
    size_t out_left = out.size() - done;
    size_t r = iconv(cd, &in_ptr, &in_left, &out_ptr, &out_left);
    done = out.size() - out_left;
    if (r != static_cast<size_t>(-1)) break;
    if (errno == E2BIG) {
      out.resize(out.size() * 2);
      continue;
    }
    // EILSEQ or EINVAL (truncated tail): replace one input unit and go on.
    if (out.size() - done < replacement.size()) out.resize(out.size() * 2 + replacement.size());
    out.replace(done, replacement.size(), replacement);
    done += replacement.size();
    const size_t skip = char_size(from, reinterpret_cast<const unsigned char*>(in_ptr), in_left);
    in_ptr += skip;
    in_left -= skip;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
  }
  // Flush any shift state.
  for (;;) {
    char* out_ptr = out.data() + done;
    size_t out_left = out.size() - done;
    size_t r = iconv(cd, nullptr, nullptr, &out_ptr, &out_left);
    done = out.size() - out_left;
    if (r != static_cast<size_t>(-1) || errno != E2BIG) break;
    out.resize(out.size() * 2);
  }
  out.resize(done);
  return out;
}

}  // namespace ux
