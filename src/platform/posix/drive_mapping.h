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
  // password database's home folder when HOME is unset too). Only reads the environment.
  static DriveMapping FromEnvironment();

  explicit DriveMapping(std::filesystem::path prefix) : prefix_(std::move(prefix)) {}

  const std::filesystem::path& prefix() const { return prefix_; }

  // The host folder of a drive. Fails (kPathNotFound), naming the drive and the prefix, for a
  // drive other than C: that the prefix does not have.
  std::filesystem::path DriveRoot(char drive) const;

  // Maps a Windows path to the host path it stands for. Each component that has no entry of
  // its exact name, but one whose name differs only in letter case, takes that entry's name
  // (as Wine does; when several do, the first in byte order). From the first component that
  // has no entry at all, the rest are used as given, so a path that names an entry to be
  // created maps onto its existing parents. A missing entry is not a failure; a path without a
  // drive or on an unknown drive fails as ParseWindowsPath() and DriveRoot() do.
  std::filesystem::path Resolve(std::string_view windows_path) const;
  std::filesystem::path Resolve(const WindowsPath& path) const;

 private:
  std::filesystem::path prefix_;
};

}  // namespace kw
