// ux_file_path: TUX_Path, static functions over path byte strings, and the
// folder operations built on them (removal, listing).
//
// A separator is "/" or "\"; under code page 936 a "\" that is the second
// byte of a double-byte character is not a separator. Results use "/". A path
// is absolute when it starts with "/". Nothing here changes the process's
// current directory, so every function is safe to call from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace ux {

class TJsonObject;

// One entry of a folder listing.
struct TUX_PathEntry {
  std::string name;  // full path
  int64_t size = 0;  // 0 for folders
  bool is_dir = false;
  std::string time;  // modification time, "yyyy-mm-dd hh:nn:ss" local
};

class TUX_Path {
 public:
  TUX_Path() = delete;

  // The text after the last separator; all of fname when there is none.
  static std::string extractfileName(const std::string& fname);
  static std::string fileName(const std::string& fname) { return extractfileName(fname); }

  // The text up to and including the last separator, every "\" in it replaced
  // by Delim's first byte; Delim (or "/" when Delim is empty) when fname has
  // no separator.
  static std::string ExtractFilePath(const std::string& fname, const std::string& Delim = "/");
  static std::string filePath(const std::string& fname, const std::string& Delim = "/") {
    return ExtractFilePath(fname, Delim);
  }

  // From the last "." of the last component on, at most 9 bytes; empty when
  // the last component has no ".".
  static std::string extractfileExt(const std::string& fname, bool to_lowercase = true);
  static std::string fileExt(const std::string& fname, bool to_lowercase = true) {
    return extractfileExt(fname, to_lowercase);
  }

  // Every "\" separator as "/" and every run of "/" as one.
  static std::string slashForm(const std::string& path);

  // True unless path starts with "/".
  static bool IsRelativePath(const std::string& path);
  // True when path ends with a separator (a folder path).
  static bool isFilePath(const std::string& fname);
  // full_path without its first length(root_Path) bytes, in "/" form with
  // one leading "/" and no doubled separators.
  static std::string ToRelativePath(const std::string& root_Path, const std::string& full_path);
  // The parent folder, with its trailing "/" (all of path when it has no
  // separator); the parent of "/" is "/".
  static std::string upLevelPath(const std::string& path);
  // Replaces the extension of the last component (newExt carries its dot);
  // a folder path (trailing separator) is returned unchanged.
  static std::string changeFileExt(const std::string& fname, const std::string& newExt);
  // The last component (at most 100 bytes), a trailing separator ignored.
  static std::string getPathLastName(const std::string& path);
  // An absolute path for str against the current directory (read, never
  // changed); empty when the current directory cannot be read.
  static std::string ExtractPhyPath(const std::string& str);

  // Deletes everything below the folder path (symbolic links are removed, not
  // followed); the folder itself stays. The number of entries removed; 0 when
  // path is not a folder; -1 when some remain after the retries or the
  // folder cannot be read.
  static int64_t RemovePath(const std::string& path, bool include_sub_path = true);
  // Removes the empty sub-folders below path; files stay and count as
  // successes. 0 when path is not a folder; -1 when a sub-folder could not
  // be removed.
  static int64_t RemoveEmptyPath(const std::string& path);

  // Entries of the folder part of pathName matching "*" + its extension
  // (ASCII case-insensitive), depth first into sub-folders when
  // includeSubDir (symbolic links to folders are listed, not entered); at
  // most 2^20 entries.
  static std::vector<TUX_PathEntry> listFiles(const std::string& pathName, bool includeSubDir);
  // The listing as a JSON array owned by the caller: one object per entry
  // with the members "name" (full path), "size", "type" ("dir" or "file") and
  // "time".
  static std::unique_ptr<TJsonObject> listFilesAsJsonArray(const std::string& pathName,
                                                           bool includeSubDir);
  // listFilesAsJsonArray as JSON text.
  static std::string listFilesAsJson(const std::string& pathName, bool includeSubDir = false);
};

}  // namespace ux
