#include "platform/posix/drive_mapping.h"

#include <dirent.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <system_error>

#include "platform/ascii.h"
#include "platform/failure.h"
#include "platform/posix/posix_handles.h"

namespace kw {

namespace {

std::filesystem::path HomeFolder() {
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') return home;
  // getpwuid_r() rather than getpwuid(): the Qt and curl threads may look users up too.
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::string buffer(size > 0 ? static_cast<std::size_t>(size) : 16384, '\0');
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
      found->pw_dir != nullptr) {
    return found->pw_dir;
  }
  return "/";
}

// The name of the entry of `folder` that differs from `name` only in letter case, if any.
std::optional<std::string> FindOtherCase(const std::filesystem::path& folder,
                                         const std::string& name) {
  UniqueDir dir(opendir(folder.c_str()));
  if (!dir) return std::nullopt;
  std::optional<std::string> best;
  while (const dirent* entry = readdir(dir.get())) {
    const std::string_view candidate = entry->d_name;
    if (!EqualsIgnoringAsciiCase(candidate, name)) continue;
    // readdir() order depends on the file system; the smallest name keeps the choice stable.
    if (!best || candidate < *best) best = std::string(candidate);
  }
  return best;
}

}  // namespace

DriveMapping DriveMapping::FromEnvironment() {
  std::filesystem::path prefix = HomeFolder() / ".wine";
  if (const char* variable = std::getenv("WINEPREFIX"); variable != nullptr && *variable != '\0') {
    prefix = variable;
  }
  // Taken from the current folder now, so that the programs started in other folders under
  // Wine are given the same prefix.
  std::error_code ignored;
  std::filesystem::path absolute = std::filesystem::absolute(prefix, ignored);
  return DriveMapping(absolute.empty() ? prefix : absolute);
}

std::filesystem::path DriveMapping::DriveRoot(char drive, std::string_view as_written) const {
  const char letter = AsciiLower(drive);
  const std::string name{static_cast<char>(letter - 'a' + 'A'), ':'};
  std::filesystem::path root =
      letter == 'c' ? prefix_ / "drive_c" : prefix_ / "dosdevices" / std::string{letter, ':'};
  struct stat info {};
  if (stat(root.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return root;
  // The prefix is not ours to repair: Wine makes drive_c when it sets a prefix up, and a
  // missing one most often means WINEPREFIX names the wrong folder.
  if (letter == 'c') {
    throw Failure(error::kPathNotFound,
                  "Path not found: " + std::string(as_written) + " (drive C: is the folder " +
                      root.string() + " of the Wine prefix " + prefix_.string() +
                      ", which does not exist; WINEPREFIX chooses the prefix, ~/.wine when it "
                      "is not set)");
  }
  throw Failure(error::kPathNotFound, "Path not found: " + std::string(as_written) + " (drive " +
                                          name + " is not set up in the Wine prefix " +
                                          prefix_.string() + ": there is no " + root.string() +
                                          ")");
}

std::filesystem::path DriveMapping::Resolve(std::string_view windows_path) const {
  return Resolve(ParseWindowsPath(windows_path), windows_path);
}

std::filesystem::path DriveMapping::Resolve(const WindowsPath& path,
                                            std::string_view as_written) const {
  std::filesystem::path host = DriveRoot(path.drive, as_written);
  bool resolving = true;
  for (const std::string& component : path.components) {
    if (resolving) {
      struct stat info {};
      if (lstat((host / component).c_str(), &info) == 0) {
        host /= component;
        continue;
      }
      // Only a missing name is worth a look for another case; ENOTDIR or EACCES mean nothing
      // below can be reached anyway, and the caller's own call will say why.
      if (errno == ENOENT) {
        if (std::optional<std::string> other = FindOtherCase(host, component)) {
          host /= *other;
          continue;
        }
      }
      resolving = false;
    }
    host /= component;
  }
  return host;
}

}  // namespace kw
