// rk50_file_ops: the file operations of installation and the update script
// (copy over, move, delete, remove folder). Paths are byte strings in the
// process code page.
#pragma once

#include <string>

namespace rk50 {

// False when sour does not exist. Otherwise copies sour over dest in place
// (dest's folder must exist) and leaves dest holding exactly sour's bytes;
// throws ux::Exception when either file cannot be opened; false when a read
// or write error ended the copy.
bool copy_file_over(const std::string& sour, const std::string& dest);
// False when sour does not exist. Deletes dest, creates dest's folder and
// renames; across file systems copies and then deletes sour. True when dest
// exists afterwards. Never throws.
bool move_file(const std::string& sour, const std::string& dest);
// True when no file exists at path afterwards.
bool delete_file_if_any(const std::string& path);
// Removes an empty folder; false otherwise.
bool remove_empty_dir(const std::string& path);

}  // namespace rk50
