#include "support/memory_file_system.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <utility>

#include "platform/ascii.h"
#include "platform/failure.h"
#include "platform/file_failure.h"
#include "platform/windows_path.h"

namespace kw::testing {

namespace {

std::string Key(std::string_view name) {
  std::string key(name);
  for (char& c : key) c = AsciiLower(c);
  return key;
}

Failure FileNotFound(std::string_view path) { return FileFailure(FileFault::kFileNotFound, path); }
Failure PathNotFound(std::string_view path) {
  return FileFailure(FileFault::kFolderNotFound, path);
}
Failure FolderInTheWay(std::string_view path) {
  return FileFailure(FileFault::kFolderInTheWay, path);
}
Failure InUse(std::string_view path) { return FileFailure(FileFault::kInUse, path); }

}  // namespace

struct MemoryFileSystem::Node {
  std::string name;
  bool folder = false;
  bool hidden = false;
  bool held = false;
  // Whether the content has been synced since it last changed.
  bool synced = false;
  std::string content;
  std::map<std::string, std::unique_ptr<Node>> children;  // by Key()

  Node* Child(std::string_view child_name) const {
    const auto found = children.find(Key(child_name));
    return found == children.end() ? nullptr : found->second.get();
  }
  Node& Add(std::string child_name, bool is_folder) {
    auto node = std::make_unique<Node>();
    node->name = std::move(child_name);
    node->folder = is_folder;
    Node& added = *node;
    children[Key(added.name)] = std::move(node);
    return added;
  }
};

class MemoryFileSystem::File final : public WritableFile {
 public:
  File(Node& node, std::string path) : node_(&node), path_(std::move(path)) {}
  void Append(std::span<const std::byte> bytes) override {
    if (node_ == nullptr) throw Failure(error::kPathFileAccess, "File is already closed: " + path_);
    node_->content.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    if (!bytes.empty()) node_->synced = false;
  }
  void Sync() override {
    if (node_ == nullptr) throw Failure(error::kPathFileAccess, "File is already closed: " + path_);
    node_->synced = true;
  }
  void Close() override { node_ = nullptr; }

 private:
  Node* node_;
  std::string path_;
};

// Reads what the file held when it was opened.
class MemoryFileSystem::Reader final : public ReadableFile {
 public:
  explicit Reader(std::string content) : content_(std::move(content)) {}
  std::uint64_t Size() override { return content_.size(); }
  std::size_t Read(std::span<std::byte> buffer) override {
    const std::size_t take = std::min(buffer.size(), content_.size() - at_);
    std::memcpy(buffer.data(), content_.data() + at_, take);
    at_ += take;
    return take;
  }

 private:
  std::string content_;
  std::size_t at_ = 0;
};

MemoryFileSystem::MemoryFileSystem() : root_(std::make_unique<Node>()) { root_->folder = true; }

MemoryFileSystem::~MemoryFileSystem() = default;

MemoryFileSystem::Node* MemoryFileSystem::Find(std::string_view path) const {
  const WindowsPath parsed = ParseWindowsPath(path);
  if (parsed.drive != 'C') return nullptr;
  Node* node = root_.get();
  for (const std::string& component : parsed.components) {
    if (!node->folder || (node = node->Child(component)) == nullptr) return nullptr;
  }
  return node;
}

std::pair<MemoryFileSystem::Node*, std::string> MemoryFileSystem::Parent(
    std::string_view path) const {
  WindowsPath parsed = ParseWindowsPath(path);
  if (parsed.components.empty()) return {nullptr, ""};
  std::string last = std::move(parsed.components.back());
  parsed.components.pop_back();
  Node* folder = parsed.drive == 'C' ? root_.get() : nullptr;
  for (const std::string& component : parsed.components) {
    if (folder == nullptr || !folder->folder) return {nullptr, last};
    folder = folder->Child(component);
  }
  if (folder != nullptr && !folder->folder) folder = nullptr;
  return {folder, last};
}

MemoryFileSystem::Node& MemoryFileSystem::Require(std::string_view path) const {
  Node* node = Find(path);
  if (node == nullptr) throw std::logic_error("no entry " + std::string(path));
  return *node;
}

bool MemoryFileSystem::Exists(std::string_view path) {
  const Node* node = Find(path);
  return node != nullptr && !node->hidden;
}

void MemoryFileSystem::CreateFolder(std::string_view path) {
  auto [parent, name] = Parent(path);
  if (parent == nullptr) throw PathNotFound(path);
  if (parent->Child(name) != nullptr) {
    throw Failure(error::kFileExists, "File already exists: " + std::string(path));
  }
  parent->Add(name, true);
}

void MemoryFileSystem::CopyFile(std::string_view source, std::string_view destination) {
  const Node* from = Find(source);
  if (from == nullptr) {
    throw Parent(source).first != nullptr ? FileNotFound(source) : PathNotFound(source);
  }
  if (from->folder) throw FolderInTheWay(source);
  if (from->held) throw InUse(source);
  auto [parent, name] = Parent(destination);
  if (parent == nullptr) throw PathNotFound(destination);
  Node* to = parent->Child(name);
  if (to != nullptr && to->folder) throw FolderInTheWay(destination);
  if (to != nullptr && to->held) throw InUse(destination);
  if (to == nullptr) to = &parent->Add(name, false);
  to->content = from->content;
  // A copy is flushed before it takes the destination's place.
  to->synced = true;
}

void MemoryFileSystem::RenameFile(std::string_view source, std::string_view destination) {
  auto [from_folder, from_name] = Parent(source);
  Node* from = from_folder != nullptr ? from_folder->Child(from_name) : nullptr;
  if (from == nullptr) throw from_folder != nullptr ? FileNotFound(source) : PathNotFound(source);
  if (from->folder) throw FolderInTheWay(source);
  if (from->held) throw InUse(source);
  auto [folder, name] = Parent(destination);
  if (folder == nullptr) throw PathNotFound(destination);
  Node* to = folder->Child(name);
  if (to == from) return;
  if (to != nullptr && to->folder) throw FolderInTheWay(destination);
  if (to != nullptr && to->held) throw InUse(destination);
  // A replaced file's name keeps its letter case, as on the POSIX drive.
  if (to != nullptr) name = to->name;
  std::unique_ptr<Node> node = std::move(from_folder->children[Key(from_name)]);
  from_folder->children.erase(Key(from_name));
  node->name = name;
  folder->children[Key(name)] = std::move(node);
}

void MemoryFileSystem::DeleteFiles(std::string_view pattern) {
  auto [folder, name_pattern] = Parent(pattern);
  std::optional<std::vector<std::string>> keys;
  if (folder != nullptr) {
    keys.emplace();
    for (const auto& [key, node] : folder->children) {
      if (!node->folder && !node->hidden && MatchesPattern(node->name, name_pattern)) {
        keys->push_back(key);
      }
    }
  }
  DeleteEach(pattern, keys, [&](const std::string& key) {
    std::optional<Failure> failure;
    const Node& node = *folder->children.at(key);
    if (node.held) {
      // Named as the real file systems name it: the pattern's folder and the file's name.
      failure = InUse(std::string(FolderOf(pattern)) + "\\" + node.name);
    } else {
      folder->children.erase(key);
    }
    return failure;
  });
}

std::vector<std::string> MemoryFileSystem::FilesMatching(std::string_view pattern) {
  auto [folder, name_pattern] = Parent(pattern);
  std::vector<std::string> names;
  if (folder == nullptr) return names;
  for (const auto& [key, node] : folder->children) {
    if (!node->folder && !node->hidden && MatchesPattern(node->name, name_pattern)) {
      names.push_back(node->name);
    }
  }
  return names;
}

MemoryFileSystem::Node& MemoryFileSystem::Writable(std::string_view path) {
  auto [parent, name] = Parent(path);
  if (parent == nullptr) throw PathNotFound(path);
  Node* node = parent->Child(name);
  if (node != nullptr && node->folder) throw FolderInTheWay(path);
  if (node != nullptr && node->held) throw InUse(path);
  return node != nullptr ? *node : parent->Add(name, false);
}

std::unique_ptr<WritableFile> MemoryFileSystem::OpenForWriting(std::string_view path) {
  Node& node = Writable(path);
  node.content.clear();
  node.synced = false;
  return std::make_unique<File>(node, std::string(path));
}

std::unique_ptr<WritableFile> MemoryFileSystem::OpenForAppending(std::string_view path) {
  return std::make_unique<File>(Writable(path), std::string(path));
}

std::unique_ptr<ReadableFile> MemoryFileSystem::OpenForReading(std::string_view path) {
  const Node* node = Find(path);
  if (node == nullptr)
    throw Parent(path).first != nullptr ? FileNotFound(path) : PathNotFound(path);
  if (node->folder) throw FolderInTheWay(path);
  return std::make_unique<Reader>(node->content);
}

void MemoryFileSystem::Write(std::string_view path, std::string_view content) {
  const WindowsPath parsed = ParseWindowsPath(path);
  if (parsed.components.empty()) throw std::logic_error("no file name in " + std::string(path));
  std::string folder = "C:";
  for (std::size_t i = 0; i + 1 < parsed.components.size(); ++i) {
    folder += "\\" + parsed.components[i];
  }
  MakeFolder(folder);
  auto [parent, name] = Parent(path);
  Node* node = parent->Child(name);
  if (node == nullptr) node = &parent->Add(name, false);
  if (node->folder) throw std::logic_error("a folder stands at " + std::string(path));
  node->content = content;
  node->synced = false;
}

void MemoryFileSystem::Hide(std::string_view path) { Require(path).hidden = true; }

void MemoryFileSystem::MakeFolder(std::string_view path) {
  const WindowsPath parsed = ParseWindowsPath(path);
  Node* node = root_.get();
  for (const std::string& component : parsed.components) {
    Node* child = node->Child(component);
    if (child == nullptr) child = &node->Add(component, true);
    if (!child->folder) throw std::logic_error("a file stands at " + component);
    node = child;
  }
}

void MemoryFileSystem::Remove(std::string_view path) {
  auto [parent, name] = Parent(path);
  if (parent == nullptr || parent->children.erase(Key(name)) == 0) {
    throw std::logic_error("no entry " + std::string(path));
  }
}

void MemoryFileSystem::Hold(std::string_view path) { Require(path).held = true; }
void MemoryFileSystem::Release(std::string_view path) { Require(path).held = false; }

std::string MemoryFileSystem::Read(std::string_view path) const {
  const Node& node = Require(path);
  if (node.folder) throw std::logic_error("a folder stands at " + std::string(path));
  return node.content;
}

bool MemoryFileSystem::Synced(std::string_view path) const { return Require(path).synced; }

bool MemoryFileSystem::Has(std::string_view path) const { return Find(path) != nullptr; }

bool MemoryFileSystem::IsFolder(std::string_view path) const {
  const Node* node = Find(path);
  return node != nullptr && node->folder;
}

std::vector<std::string> MemoryFileSystem::List(std::string_view folder) const {
  std::vector<std::string> names;
  for (const auto& [key, node] : Require(folder).children) names.push_back(node->name);
  std::ranges::sort(names);
  return names;
}

}  // namespace kw::testing
