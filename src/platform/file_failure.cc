#include "platform/file_failure.h"

namespace kw {

Failure FileFailure(FileFault fault, std::string_view path, std::string_view detail) {
  const std::string where(path);
  const std::string because = detail.empty() ? "" : " (" + std::string(detail) + ")";
  switch (fault) {
    case FileFault::kFileNotFound:
      return Failure(error::kFileNotFound, "File not found: " + where);
    case FileFault::kFolderNotFound:
      return Failure(error::kPathNotFound, "Path not found (the folder does not exist): " + where);
    case FileFault::kFileInPath:
      return Failure(error::kPathNotFound,
                     "Path not found (a file stands where a folder should be): " + where);
    case FileFault::kNotFullPath:
      return Failure(error::kPathNotFound,
                     "Path not found (not a full path with a drive letter): " + where);
    case FileFault::kFolderInTheWay:
      return Failure(error::kPathFileAccess,
                     "Path/File access error (a folder stands where a file should be): " + where);
    case FileFault::kPermissionDenied:
      return Failure(error::kPermissionDenied, "Permission denied: " + where);
    case FileFault::kReadOnlyFile:
      return Failure(error::kPermissionDenied,
                     "Permission denied (the file is read-only): " + where);
    case FileFault::kReadOnlyDisk:
      return Failure(error::kPermissionDenied,
                     "Permission denied (the disk or file system is read-only): " + where);
    case FileFault::kInUse:
      return Failure(error::kPermissionDenied,
                     "Permission denied (another program is using the file): " + where);
    case FileFault::kExists:
      return Failure(error::kFileExists, "File already exists: " + where);
    case FileFault::kDiskFull:
      return Failure(error::kDiskFull, "Disk full (no space left on the device): " + where);
    case FileFault::kDeviceIo:
      return Failure(error::kDeviceIo, "Device I/O error" + because + ": " + where);
    case FileFault::kOther:
      break;
  }
  return Failure(error::kPathFileAccess, "Path/File access error" + because + ": " + where);
}

}  // namespace kw
