#pragma once

#include <memory>
#include <string_view>

#include "platform/file_system.h"

namespace kw {

// The Windows file system through the wide-character API. Paths are the core's UTF-8 text,
// turned into UTF-16 at each call; they must be full paths ("C:\..." or "\\server\share\...");
// "/" separates as "\" does. Entries with the hidden or the system attribute are not seen by
// Exists(), FilesMatching() or DeleteFiles() (a drive's root, which NTFS marks both, exists
// whenever it can be read). Patterns are matched by the system (FindFirstFileExW), exactly as
// every Windows program sees them: letter case ignored, "*.*" every name, and on volumes that
// keep 8.3 names the short name may match too.
//
// Failures are Failures numbered from GetLastError() (kFileNotFound, kPathNotFound,
// kPermissionDenied, kFileExists, kDiskFull, kDeviceIo; kPathFileAccess for the rest, with the
// system's description) whose description says what went wrong and names the path as given.
// A path that is not a full path fails with kPathNotFound, and does not exist.
//
// CopyFile writes a hidden temporary file beside the destination, flushes it to the disk and
// moves it over the destination (MoveFileExW, replacing, write-through); whatever fails, the
// old destination stays as it was and the temporary file is removed. A destination that
// another program has open without letting others delete it fails with kPermissionDenied and a
// description that says another program is using it; a read-only one says so. The copy keeps
// the source's last-write time and gets the attributes of a new file (archive only).
// Not guaranteed: that a crash of the whole machine leaves no temporary file behind (it stays
// hidden).
class Win32FileSystem final : public FileSystem {
 public:
  bool Exists(std::string_view path) override;
  void CreateFolder(std::string_view path) override;
  void CopyFile(std::string_view source, std::string_view destination) override;
  // MoveFileExW, replacing, write-through.
  void RenameFile(std::string_view source, std::string_view destination) override;
  void DeleteFiles(std::string_view pattern) override;
  // A missing folder holds no files; a folder that cannot be read fails.
  std::vector<std::string> FilesMatching(std::string_view pattern) override;
  // The file is opened without letting others write to it, and buffers up to 64 KiB; Append
  // fails when writing out a full buffer fails, Close when writing out the rest or closing
  // fails. Close does not flush the disk's own cache; Sync (FlushFileBuffers) does.
  std::unique_ptr<WritableFile> OpenForWriting(std::string_view path) override;
  std::unique_ptr<WritableFile> OpenForAppending(std::string_view path) override;
  // Others may go on reading, writing and deleting the file while it is open.
  std::unique_ptr<ReadableFile> OpenForReading(std::string_view path) override;
};

}  // namespace kw
