#pragma once

#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_system.h"

namespace kw::testing {

// A Windows drive in memory, for the core's tests: C:\ and below, folders and files, names
// matched without regard to ASCII case (an entry keeps the case it was created with), hidden
// entries, and files held open by "another program". It keeps the FileSystem contract as the
// real ones do: the same failure numbers, descriptions that name the path, copies that either
// replace the destination whole or leave it as it was.
//
// The helpers below set up and inspect the drive without going through the contract; they
// throw std::logic_error on a path they cannot serve.
class MemoryFileSystem final : public FileSystem {
 public:
  MemoryFileSystem();
  ~MemoryFileSystem() override;

  bool Exists(std::string_view path) override;
  void CreateFolder(std::string_view path) override;
  void CopyFile(std::string_view source, std::string_view destination) override;
  void RenameFile(std::string_view source, std::string_view destination) override;
  void DeleteFiles(std::string_view pattern) override;
  std::vector<std::string> FilesMatching(std::string_view pattern) override;
  std::unique_ptr<WritableFile> OpenForWriting(std::string_view path) override;
  std::unique_ptr<WritableFile> OpenForAppending(std::string_view path) override;
  std::unique_ptr<ReadableFile> OpenForReading(std::string_view path) override;

  // Writes a file, creating the folders above it; replaces a file that is there.
  void Write(std::string_view path, std::string_view content);
  // Marks an entry hidden: the contract's calls no longer see it.
  void Hide(std::string_view path);
  // Creates a folder and the folders above it.
  void MakeFolder(std::string_view path);
  // Removes an entry, and what a folder holds.
  void Remove(std::string_view path);
  // While held, the file cannot be replaced, deleted or opened for writing (a sharing
  // violation), as when another program has it open.
  void Hold(std::string_view path);
  void Release(std::string_view path);

  std::string Read(std::string_view path) const;
  // Whether the file's content has been synced to the disk since it last changed: what a power
  // cut would leave.
  bool Synced(std::string_view path) const;
  // Whether an entry, hidden or not, is there.
  bool Has(std::string_view path) const;
  bool IsFolder(std::string_view path) const;
  // The names of a folder's entries, hidden ones included, in byte order.
  std::vector<std::string> List(std::string_view folder) const;

 private:
  struct Node;
  class File;
  class Reader;

  Node* Find(std::string_view path) const;
  // The folder that holds the last component of `path`, and that component; the folder is
  // null when it does not exist.
  std::pair<Node*, std::string> Parent(std::string_view path) const;
  Node& Require(std::string_view path) const;
  // The file at `path` to be written, made when missing; raises as opening it for writing does.
  Node& Writable(std::string_view path);

  std::unique_ptr<Node> root_;
};

}  // namespace kw::testing
