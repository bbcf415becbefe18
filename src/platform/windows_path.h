#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kw {

// A Windows path taken apart: the drive letter (upper case) and the components below the
// drive's root, with "." dropped and ".." applied (never above the root).
struct WindowsPath {
  char drive = 'C';
  std::vector<std::string> components;
};

// Splits "C:\TavKorea\KW.exe" into its drive and components; "\" and "/" both separate, and
// empty components are dropped. Fails (kPathNotFound) for a path that does not start with a
// drive letter and a colon.
WindowsPath ParseWindowsPath(std::string_view path);

// A path or pattern as written, split before its last component: the folder without the
// separator ("C:\TavBackup\Update" of "C:\TavBackup\Update\*.*"; "C:" of "C:x") and the last
// component ("*.*"; empty when the path ends in a separator).
std::string_view FolderOf(std::string_view path);
std::string_view LastComponent(std::string_view path);

// Whether a file name matches the last component of a pattern as Windows matches it: "*" any
// run of characters, "?" exactly one (a whole UTF-8 character, so Korean names count as
// Windows counts them), letters without regard to ASCII case, and a trailing ".*" that also
// matches no extension at all ("KW.*" finds "KW"; "*.*" finds every name).
bool MatchesPattern(std::string_view name, std::string_view pattern);

}  // namespace kw
