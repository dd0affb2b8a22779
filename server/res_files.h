// res_files: what the resource server serves — regular files below one root
// folder, never anything outside it (symbolic links are followed only while
// they stay below the root), never a folder listing — with their validators
// (ETag, Last-Modified), HTTP dates and byte ranges.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qlyn_res {

// An open file being served. Owns its descriptor.
class TRes_File {
 public:
  TRes_File() = default;
  ~TRes_File();
  TRes_File(const TRes_File&) = delete;
  TRes_File& operator=(const TRes_File&) = delete;
  TRes_File(TRes_File&& o) noexcept;
  TRes_File& operator=(TRes_File&& o) noexcept;

  int fd = -1;
  int64_t size = 0;
  int64_t mtime_sec = 0;  // seconds since 1970 UTC
  std::string etag;       // strong validator, quoted
  std::string content_type;

 private:
  void close_fd() noexcept;
};

class TRes_Root {
 public:
  // The folder to serve; false with err set when it does not exist or is not
  // a folder.
  bool open(const std::string& dir, std::string& err);
  const std::string& real_path() const { return real_; }

  // Opens the regular file at path ("/a/b", as decode_target_path gives it).
  // 200 with file filled; 404 when it is missing, a folder, not a regular
  // file or resolves outside the root; 403 when it cannot be read.
  int lookup(const std::string& path, TRes_File& file) const;

 private:
  std::string real_;  // canonical root, no trailing "/"
};

// IMF-fixdate, e.g. "Sun, 06 Nov 1994 08:49:37 GMT".
std::string http_date(int64_t unix_sec);
// Parses IMF-fixdate (the form every current client sends); false otherwise.
bool parse_http_date(std::string_view s, int64_t& unix_sec);

// Media type by file extension; application/octet-stream when unknown.
std::string content_type_for(std::string_view path);

struct TRes_Range {
  enum Kind { none, single, unsatisfiable } kind = none;
  int64_t first = 0;  // single: first and last byte, inclusive
  int64_t last = 0;
};

// Interprets a Range field value for a representation of size bytes. Only
// one "bytes" range is served: a malformed value, another unit or a list of
// ranges gives none (the whole file is sent, as RFC 9110 allows). A last
// position past the end is cut to the end; a first position at or past the
// end, a zero suffix or any range of an empty file is unsatisfiable.
TRes_Range parse_range(std::string_view value, int64_t size);

}  // namespace qlyn_res
