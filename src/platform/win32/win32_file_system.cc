#include "platform/win32/win32_file_system.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "platform/buffered_file.h"
#include "platform/failure.h"
#include "platform/file_failure.h"
#include "platform/win32/system_message.h"
#include "platform/win32/wide_text.h"
#include "platform/win32/win32_handles.h"
#include "platform/win32/windows_api.h"
#include "platform/windows_path.h"

namespace kw {

namespace {

constexpr DWORD kCopyBufferSize = 128 * 1024;

constexpr DWORD kInvisible = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

bool IsFolder(DWORD attributes) {
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool IsReadOnly(DWORD attributes) {
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
}

// A relative path would be taken from the current folder, which is nobody's choice here.
bool IsFullPath(std::string_view path) {
  const bool drive = path.size() >= 3 && path[1] == ':' && IsSeparator(path[2]) &&
                     ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'));
  const bool unc = path.size() >= 3 && IsSeparator(path[0]) && IsSeparator(path[1]);
  return drive || unc;
}

std::wstring FullPath(std::string_view path) {
  if (!IsFullPath(path)) throw FileFailure(FileFault::kNotFullPath, path);
  return Widen(path);
}

// The failure of a call on `path` that left `error` in GetLastError().
Failure FileFailure(DWORD error, std::string_view path) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
      return FileFailure(FileFault::kFileNotFound, path);
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
      return FileFailure(FileFault::kFolderNotFound, path);
    case ERROR_ACCESS_DENIED: {
      // The same number covers a folder in the way and a read-only file; the operator acts on
      // each differently.
      const DWORD attributes = ::GetFileAttributesW(Widen(path).c_str());
      if (IsFolder(attributes)) return FileFailure(FileFault::kFolderInTheWay, path);
      if (IsReadOnly(attributes)) return FileFailure(FileFault::kReadOnlyFile, path);
      return FileFailure(FileFault::kPermissionDenied, path);
    }
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return FileFailure(FileFault::kInUse, path);
    case ERROR_WRITE_PROTECT:
      return FileFailure(FileFault::kReadOnlyDisk, path);
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS:
      return FileFailure(FileFault::kExists, path);
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return FileFailure(FileFault::kDiskFull, path);
    case ERROR_CRC:
    case ERROR_IO_DEVICE:
    case ERROR_NOT_READY:
    case ERROR_READ_FAULT:
    case ERROR_WRITE_FAULT:
    case ERROR_GEN_FAILURE:
      return FileFailure(FileFault::kDeviceIo, path, SystemMessage(error));
    default:
      return FileFailure(FileFault::kOther, path, SystemMessage(error));
  }
}

// Why `to` could not be replaced. Windows refuses with "access denied" both when another
// program has the file open and when the file is protected; a second open tells them apart.
Failure ReplaceFailure(DWORD error, std::string_view destination, const std::wstring& to) {
  if (error == ERROR_ACCESS_DENIED && !IsReadOnly(::GetFileAttributesW(to.c_str()))) {
    const UniqueFileHandle probe(
        ::CreateFileW(to.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!probe && ::GetLastError() == ERROR_SHARING_VIOLATION) error = ERROR_SHARING_VIOLATION;
  }
  return FileFailure(error, destination);
}

// Writes everything or returns the error that stopped it (0 on success).
DWORD WriteAll(HANDLE file, const std::byte* data, std::size_t size) {
  while (size > 0) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
    DWORD written = 0;
    if (!::WriteFile(file, data, chunk, &written, nullptr)) return ::GetLastError();
    // A file that takes no bytes and reports no error has no room left.
    if (written == 0) return ERROR_DISK_FULL;
    data += written;
    size -= written;
  }
  return 0;
}

// A pattern split into its folder (as written, for messages; and as the prefix of its files'
// wide paths, separator included) and the whole pattern for the system to match.
struct Pattern {
  std::string folder_text;
  std::wstring folder_prefix;
  std::wstring pattern;
};

Pattern SplitPattern(std::string_view text) {
  Pattern pattern;
  pattern.pattern = FullPath(text);
  if (LastComponent(text).empty()) throw FileFailure(FileFault::kFileNotFound, text);
  pattern.folder_text = std::string(FolderOf(text));
  pattern.folder_prefix = Widen(pattern.folder_text + "\\");
  return pattern;
}

// The names of the visible ordinary files that match the pattern, or nullopt when its folder
// does not exist.
std::optional<std::vector<std::wstring>> MatchingFiles(const Pattern& pattern) {
  WIN32_FIND_DATAW found;
  const UniqueFindHandle search(::FindFirstFileExW(pattern.pattern.c_str(), FindExInfoBasic, &found,
                                                   FindExSearchNameMatch, nullptr, 0));
  std::vector<std::wstring> names;
  if (!search) {
    const DWORD error = ::GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_NO_MORE_FILES) return names;
    if (error == ERROR_PATH_NOT_FOUND) return std::nullopt;
    throw FileFailure(error, pattern.folder_text);
  }
  do {
    if ((found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | kInvisible)) == 0) {
      names.emplace_back(found.cFileName);
    }
  } while (::FindNextFileW(search.get(), &found));
  if (const DWORD error = ::GetLastError(); error != ERROR_NO_MORE_FILES) {
    throw FileFailure(error, pattern.folder_text);
  }
  return names;
}

// The hidden file a copy is written to before it takes the destination's place. It is removed
// when this goes, unless Release() said it has become the destination.
class TemporaryBeside {
 public:
  // Fails as the destination would: a missing folder, a folder without write permission.
  TemporaryBeside(const std::wstring& destination, std::string_view destination_text) {
    const std::size_t separator = destination.find_last_of(L"\\/");
    const std::wstring folder = destination.substr(0, separator + 1);
    // A unique name from the process and a count: two copies into one folder, by this
    // program or another instance of it, never share a temporary file.
    static LONG count = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
      path_ = folder + L"~kw-copy-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
              std::to_wstring(::InterlockedIncrement(&count)) + L".tmp";
      file_.Reset(::CreateFileW(path_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
      if (file_) return;
      const DWORD error = ::GetLastError();
      if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
        path_.clear();
        throw FileFailure(error, destination_text);
      }
    }
    path_.clear();
    throw FileFailure(ERROR_FILE_EXISTS, destination_text);
  }
  TemporaryBeside(const TemporaryBeside&) = delete;
  TemporaryBeside& operator=(const TemporaryBeside&) = delete;
  ~TemporaryBeside() {
    file_.Reset();
    if (!path_.empty()) ::DeleteFileW(path_.c_str());
  }

  HANDLE file() const { return file_.get(); }
  const std::wstring& path() const { return path_; }
  // Returns 0, or the error that closing reported.
  DWORD Close() { return ::CloseHandle(file_.Release()) ? 0 : ::GetLastError(); }
  void Release() { path_.clear(); }

 private:
  std::wstring path_;
  UniqueFileHandle file_;
};

class Win32WritableFile final : public BufferedFile {
 public:
  Win32WritableFile(UniqueFileHandle file, std::string path)
      : BufferedFile(path), file_(std::move(file)), path_(std::move(path)) {}
  ~Win32WritableFile() override { CloseQuietly(); }

 private:
  void WriteOut(const std::byte* data, std::size_t size) override {
    if (const DWORD error = WriteAll(file_.get(), data, size); error != 0) {
      throw FileFailure(error, path_);
    }
  }

  void SyncOut() override {
    if (!::FlushFileBuffers(file_.get())) throw FileFailure(::GetLastError(), path_);
  }

  void CloseOut() override {
    if (!::CloseHandle(file_.Release())) throw FileFailure(::GetLastError(), path_);
  }

  UniqueFileHandle file_;
  std::string path_;
};

class Win32ReadableFile final : public ReadableFile {
 public:
  Win32ReadableFile(UniqueFileHandle file, std::uint64_t size, std::string path)
      : file_(std::move(file)), size_(size), path_(std::move(path)) {}

  std::uint64_t Size() override { return size_; }

  std::size_t Read(std::span<std::byte> buffer) override {
    DWORD got = 0;
    const DWORD wanted = static_cast<DWORD>(std::min<std::size_t>(buffer.size(), kCopyBufferSize));
    if (!::ReadFile(file_.get(), buffer.data(), wanted, &got, nullptr)) {
      throw FileFailure(::GetLastError(), path_);
    }
    return got;
  }

 private:
  UniqueFileHandle file_;
  std::uint64_t size_;
  std::string path_;
};

}  // namespace

bool Win32FileSystem::Exists(std::string_view path) {
  if (!IsFullPath(path)) return false;
  const DWORD attributes = ::GetFileAttributesW(Widen(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  // A drive's root is no folder's entry, so its attributes say nothing about being listed.
  if (path[1] == ':' && ParseWindowsPath(path).components.empty()) return true;
  return (attributes & kInvisible) == 0;
}

void Win32FileSystem::CreateFolder(std::string_view path) {
  if (!::CreateDirectoryW(FullPath(path).c_str(), nullptr)) {
    throw FileFailure(::GetLastError(), path);
  }
}

void Win32FileSystem::CopyFile(std::string_view source, std::string_view destination) {
  const std::wstring from = FullPath(source);
  const UniqueFileHandle in(::CreateFileW(from.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                          OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!in) throw FileFailure(::GetLastError(), source);
  FILETIME last_write{};
  ::GetFileTime(in.get(), nullptr, nullptr, &last_write);

  const std::wstring to = FullPath(destination);
  // Windows' MoveFileExW would refuse both only after the whole copy was written, and Wine's
  // replaces a read-only file.
  const DWORD destination_attributes = ::GetFileAttributesW(to.c_str());
  if (IsFolder(destination_attributes)) throw FileFailure(FileFault::kFolderInTheWay, destination);
  if (IsReadOnly(destination_attributes)) throw FileFailure(ERROR_ACCESS_DENIED, destination);
  TemporaryBeside temporary(to, destination);

  const auto buffer = std::make_unique<std::byte[]>(kCopyBufferSize);
  for (;;) {
    DWORD got = 0;
    if (!::ReadFile(in.get(), buffer.get(), kCopyBufferSize, &got, nullptr)) {
      throw FileFailure(::GetLastError(), source);
    }
    if (got == 0) break;
    if (const DWORD error = WriteAll(temporary.file(), buffer.get(), got); error != 0) {
      throw FileFailure(error, destination);
    }
  }

  // The temporary file was hidden only while it was not the destination yet.
  FILE_BASIC_INFO basic{};
  basic.LastWriteTime.LowPart = last_write.dwLowDateTime;
  basic.LastWriteTime.HighPart = static_cast<LONG>(last_write.dwHighDateTime);
  basic.FileAttributes = FILE_ATTRIBUTE_ARCHIVE;
  if (!::SetFileInformationByHandle(temporary.file(), FileBasicInfo, &basic, sizeof basic) ||
      !::FlushFileBuffers(temporary.file())) {
    throw FileFailure(::GetLastError(), destination);
  }
  if (const DWORD error = temporary.Close(); error != 0) throw FileFailure(error, destination);
  if (!::MoveFileExW(temporary.path().c_str(), to.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    throw ReplaceFailure(::GetLastError(), destination, to);
  }
  temporary.Release();
}

void Win32FileSystem::RenameFile(std::string_view source, std::string_view destination) {
  const std::wstring from = FullPath(source);
  const std::wstring to = FullPath(destination);
  const DWORD source_attributes = ::GetFileAttributesW(from.c_str());
  if (source_attributes == INVALID_FILE_ATTRIBUTES) throw FileFailure(::GetLastError(), source);
  if (IsFolder(source_attributes)) throw FileFailure(FileFault::kFolderInTheWay, source);
  // As for a copy: Wine's MoveFileExW replaces a read-only file.
  const DWORD destination_attributes = ::GetFileAttributesW(to.c_str());
  if (IsFolder(destination_attributes)) throw FileFailure(FileFault::kFolderInTheWay, destination);
  if (IsReadOnly(destination_attributes)) throw FileFailure(ERROR_ACCESS_DENIED, destination);
  // A hidden or system file left at the staged name is replaced like any other, and what takes
  // its place must be seen.
  if (destination_attributes != INVALID_FILE_ATTRIBUTES && (destination_attributes & kInvisible) &&
      !::SetFileAttributesW(to.c_str(), destination_attributes & ~kInvisible)) {
    throw FileFailure(::GetLastError(), destination);
  }
  if (!::MoveFileExW(from.c_str(), to.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    throw ReplaceFailure(::GetLastError(), destination, to);
  }
}

void Win32FileSystem::DeleteFiles(std::string_view pattern_text) {
  const Pattern pattern = SplitPattern(pattern_text);
  DeleteEach(pattern_text, MatchingFiles(pattern), [&](const std::wstring& name) {
    std::optional<Failure> failure;
    if (!::DeleteFileW((pattern.folder_prefix + name).c_str())) {
      const DWORD error = ::GetLastError();
      if (error != ERROR_FILE_NOT_FOUND) {
        failure = FileFailure(error, pattern.folder_text + "\\" + Narrow(name));
      }
    }
    return failure;
  });
}

std::vector<std::string> Win32FileSystem::FilesMatching(std::string_view pattern_text) {
  std::vector<std::string> names;
  for (const std::wstring& name :
       MatchingFiles(SplitPattern(pattern_text)).value_or(std::vector<std::wstring>())) {
    names.push_back(Narrow(name));
  }
  return names;
}

std::unique_ptr<WritableFile> Win32FileSystem::OpenForWriting(std::string_view path) {
  const std::wstring full_path = FullPath(path);
  // Windows refuses to truncate a hidden or system file unless the open asks for the attributes
  // it has; a file written here must be seen, so they go once it is open.
  const DWORD existing = ::GetFileAttributesW(full_path.c_str());
  const DWORD invisible = existing != INVALID_FILE_ATTRIBUTES ? existing & kInvisible : 0;
  UniqueFileHandle file(::CreateFileW(
      full_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
      (invisible != 0 ? invisible : FILE_ATTRIBUTE_NORMAL) | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file) throw FileFailure(::GetLastError(), path);
  if (invisible != 0) {
    FILE_BASIC_INFO basic{};
    basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    if (!::SetFileInformationByHandle(file.get(), FileBasicInfo, &basic, sizeof basic)) {
      throw FileFailure(::GetLastError(), path);
    }
  }
  return std::make_unique<Win32WritableFile>(std::move(file), std::string(path));
}

std::unique_ptr<WritableFile> Win32FileSystem::OpenForAppending(std::string_view path) {
  UniqueFileHandle file(::CreateFileW(FullPath(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                      nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) throw FileFailure(::GetLastError(), path);
  if (!::SetFilePointerEx(file.get(), LARGE_INTEGER{}, nullptr, FILE_END)) {
    throw FileFailure(::GetLastError(), path);
  }
  return std::make_unique<Win32WritableFile>(std::move(file), std::string(path));
}

std::unique_ptr<ReadableFile> Win32FileSystem::OpenForReading(std::string_view path) {
  const std::wstring full_path = FullPath(path);
  // A folder opens only with backup semantics, and then as an access denied: say what it is.
  if (IsFolder(::GetFileAttributesW(full_path.c_str()))) {
    throw FileFailure(FileFault::kFolderInTheWay, path);
  }
  UniqueFileHandle file(::CreateFileW(full_path.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file) throw FileFailure(::GetLastError(), path);
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(file.get(), &size)) throw FileFailure(::GetLastError(), path);
  return std::make_unique<Win32ReadableFile>(
      std::move(file), static_cast<std::uint64_t>(size.QuadPart), std::string(path));
}

}  // namespace kw
