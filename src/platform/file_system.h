#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kw {

// A file opened for raw byte writing. Writes may be buffered; Close() writes what is left and
// reports any failure. Destroying an open file closes it and swallows the failure, so only
// Close() tells that the bytes reached the disk.
class WritableFile {
 public:
  virtual ~WritableFile() = default;
  virtual void Append(std::span<const std::byte> bytes) = 0;
  // Writes out what is buffered and has the system put the file's bytes on the disk, so that
  // they survive a power cut from the moment it returns. The file stays open.
  virtual void Sync() = 0;
  virtual void Close() = 0;
};

// A file opened for raw byte reading.
class ReadableFile {
 public:
  virtual ~ReadableFile() = default;
  // The file's size in bytes when it was opened.
  virtual std::uint64_t Size() = 0;
  // Reads the next bytes into `buffer`, as many as it holds or as are left: 0 only at the end.
  virtual std::size_t Read(std::span<std::byte> buffer) = 0;
};

// Everything the updater does to files. Paths are Windows paths ("C:\TavKorea\KW.exe"); an
// implementation maps them to its own. A pattern is a folder path followed by a last component
// that may hold "*" and "?" ("C:\TavBackup\Update\*.*"). Hidden and system entries are never
// seen by Exists(), FilesMatching() or DeleteFiles(). Every failure is a Failure whose
// description names the path.
class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // Whether an entry of exactly this path, file or folder, exists.
  virtual bool Exists(std::string_view path) = 0;

  // Creates one folder; its parent must exist.
  virtual void CreateFolder(std::string_view path) = 0;

  // Copies a file, replacing the destination as one step: a copy that fails for any reason
  // leaves the old destination whole and nothing else behind.
  virtual void CopyFile(std::string_view source, std::string_view destination) = 0;

  // Gives a file another name in the same folder, replacing a file of that name as one step: the
  // destination is the old file or the renamed one, never a mix. A rename that fails changes
  // nothing: a missing source, a folder at either path, a missing destination folder, a
  // destination another program holds. Not guaranteed: that the content reaches the disk
  // before the new name does (the cost would fall on every download).
  virtual void RenameFile(std::string_view source, std::string_view destination) = 0;

  // Deletes every ordinary file matching the pattern; folders are never touched. Fails when
  // nothing matches or a matching file cannot be deleted (the others may be gone by then).
  virtual void DeleteFiles(std::string_view pattern) = 0;

  // The names (last components) of the ordinary files, not folders, that match the pattern, in
  // no particular order; none when its folder does not exist.
  virtual std::vector<std::string> FilesMatching(std::string_view pattern) = 0;

  // Opens a file for raw writing, creating it, or emptying it when it exists.
  virtual std::unique_ptr<WritableFile> OpenForWriting(std::string_view path) = 0;

  // Opens a file for raw writing after its last byte, creating it when it does not exist.
  virtual std::unique_ptr<WritableFile> OpenForAppending(std::string_view path) = 0;

  // Opens a file for raw reading. Fails when there is no file at the path (a folder is none).
  virtual std::unique_ptr<ReadableFile> OpenForReading(std::string_view path) = 0;
};

}  // namespace kw
