#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "platform/windows_path.h"

namespace kw {

// Where the Windows drives of a Wine prefix are on this host: C: is <prefix>/drive_c, any other
// drive X: is <prefix>/dosdevices/x: when the prefix has it.
class DriveMapping {
 public:
  // Takes the prefix from WINEPREFIX, or $HOME/.wine when WINEPREFIX is unset or empty (the
  // password database's home folder when HOME is unset too), made absolute from the current
  // folder. Only reads the environment.
  static DriveMapping FromEnvironment();

  explicit DriveMapping(std::filesystem::path prefix) : prefix_(std::move(prefix)) {}

  const std::filesystem::path& prefix() const { return prefix_; }

  // Maps a Windows path to the host path it stands for. Each component that has no entry of
  // its exact name, but one whose name differs only in letter case, takes that entry's name
  // (as Wine does; when several do, the first in byte order). From the first component that
  // has no entry at all, the rest are used as given, so a path that names an entry to be
  // created maps onto its existing parents. A missing entry is not a failure.
  //
  // Fails (kPathNotFound) as ParseWindowsPath() does for a path without a drive, and when the
  // prefix has no folder for the drive: the description names the path, the host folder
  // looked for and, for C:, that WINEPREFIX chooses the prefix. Creates nothing.
  std::filesystem::path Resolve(std::string_view windows_path) const;
  // The same for a path already taken apart; `as_written` is the path as the caller wrote it,
  // for the failure's description.
  std::filesystem::path Resolve(const WindowsPath& path, std::string_view as_written) const;

 private:
  std::filesystem::path DriveRoot(char drive, std::string_view as_written) const;

  std::filesystem::path prefix_;
};

}  // namespace kw
