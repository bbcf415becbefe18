#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/failure.h"

namespace kw {

// What every file system shares: the words of its failures, and the rule it deletes by.

// The ways a file operation fails, each with its failure number.
enum class FileFault {
  kFileNotFound,      // kFileNotFound
  kFolderNotFound,    // kPathNotFound: the folder does not exist
  kFileInPath,        // kPathNotFound: a file stands where a folder should be
  kNotFullPath,       // kPathNotFound: not a full path with a drive letter
  kFolderInTheWay,    // kPathFileAccess: a folder stands where a file should be
  kPermissionDenied,  // kPermissionDenied
  kReadOnlyFile,      // kPermissionDenied: the file is read-only
  kReadOnlyDisk,      // kPermissionDenied: the file system is read-only, the disk protected
  kInUse,             // kPermissionDenied: another program is using the file
  kExists,            // kFileExists
  kDiskFull,          // kDiskFull
  kDeviceIo,          // kDeviceIo
  kOther,             // kPathFileAccess
};

// The failure for `path`, worded alike on every system; `detail` is the system's own words,
// added where the fault leaves the cause open (kDeviceIo, kOther).
Failure FileFailure(FileFault fault, std::string_view path, std::string_view detail = {});

// The rule every file system deletes a pattern's files by. `names` are the visible ordinary files
// that match it, nullopt when its folder does not exist; `remove` deletes one and returns its
// failure, if any. Fails when the folder is missing or nothing matches; otherwise every file gets
// its chance, and the first that stays is the failure raised.
template <typename Name, typename Remove>
void DeleteEach(std::string_view pattern, const std::optional<std::vector<Name>>& names,
                Remove remove) {
  if (!names) throw FileFailure(FileFault::kFolderNotFound, pattern);
  if (names->empty()) throw FileFailure(FileFault::kFileNotFound, pattern);
  std::optional<Failure> first_failure;
  for (const Name& name : *names) {
    std::optional<Failure> failure = remove(name);
    if (failure && !first_failure) first_failure = std::move(failure);
  }
  if (first_failure) throw *first_failure;
}

}  // namespace kw
