#pragma once

#include <memory>
#include <string_view>

#include "platform/file_system.h"
#include "platform/posix/drive_mapping.h"

namespace kw {

// The file system of a Wine prefix, seen through Windows paths: C:\ is the prefix's drive_c,
// each path component finds an existing entry of another letter case when none of the exact
// name exists, and names starting with "." are hidden. Patterns compare names without regard
// to ASCII case; "*" and "?" work as on Windows, and "*.*" matches names with or without a dot.
//
// Failures are Failures numbered from errno (kFileNotFound, or kPathNotFound when the folder
// is missing; kPermissionDenied, kDiskFull, kFileExists, kDeviceIo, kPathFileAccess for the
// rest) whose description says what went wrong and names the Windows path as given.
//
// CopyFile writes a hidden temporary file beside the destination, flushes it to the disk and
// renames it over the destination; whatever fails, the old destination stays as it was and the
// temporary file is removed. The copy keeps the source's permission bits and modification time.
// Not guaranteed: that a crash of the whole machine leaves no temporary file behind (it stays
// hidden), or that a copy onto the same file by another program at the same time is noticed.
class PosixFileSystem final : public FileSystem {
 public:
  // Reads WINEPREFIX (or HOME) now; later changes of the environment are not seen.
  PosixFileSystem();
  explicit PosixFileSystem(DriveMapping drives);

  // A path that cannot be mapped (no drive, unknown drive) does not exist.
  bool Exists(std::string_view path) override;
  void CreateFolder(std::string_view path) override;
  void CopyFile(std::string_view source, std::string_view destination) override;
  // rename(2); the destination keeps the letter case of a file it replaces.
  void RenameFile(std::string_view source, std::string_view destination) override;
  void DeleteFiles(std::string_view pattern) override;
  // A missing folder holds no files; a folder that cannot be read fails.
  std::vector<std::string> FilesMatching(std::string_view pattern) override;
  // The file buffers up to 64 KiB; Append fails when writing out a full buffer fails, Close
  // when writing out the rest or closing fails. Close does not flush the disk's own cache; Sync
  // (fsync) does.
  std::unique_ptr<WritableFile> OpenForWriting(std::string_view path) override;
  std::unique_ptr<WritableFile> OpenForAppending(std::string_view path) override;
  std::unique_ptr<ReadableFile> OpenForReading(std::string_view path) override;

 private:
  DriveMapping drives_;
};

}  // namespace kw
