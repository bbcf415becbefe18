#include "platform/posix/posix_file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "platform/buffered_file.h"
#include "platform/failure.h"
#include "platform/file_failure.h"
#include "platform/posix/posix_handles.h"
#include "platform/windows_path.h"

namespace kw {

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kCopyBufferSize = 128 * 1024;

bool IsHidden(std::string_view name) { return !name.empty() && name.front() == '.'; }

Failure ErrnoFailure(int err, std::string_view windows_path, const fs::path& host) {
  switch (err) {
    case ENOENT: {
      struct stat info {};
      const bool folder_exists =
          stat(host.parent_path().c_str(), &info) == 0 && S_ISDIR(info.st_mode);
      return FileFailure(folder_exists ? FileFault::kFileNotFound : FileFault::kFolderNotFound,
                         windows_path);
    }
    case ENOTDIR:
      return FileFailure(FileFault::kFileInPath, windows_path);
    case EACCES:
    case EPERM:
      return FileFailure(FileFault::kPermissionDenied, windows_path);
    case EROFS:
      return FileFailure(FileFault::kReadOnlyDisk, windows_path);
    case ENOSPC:
    case EDQUOT:
      return FileFailure(FileFault::kDiskFull, windows_path);
    case EEXIST:
      return FileFailure(FileFault::kExists, windows_path);
    case EISDIR:
      return FileFailure(FileFault::kFolderInTheWay, windows_path);
    case EIO:
      return FileFailure(FileFault::kDeviceIo, windows_path);
    default:
      return FileFailure(FileFault::kOther, windows_path, std::generic_category().message(err));
  }
}

// Writes everything or returns the errno that stopped it (0 on success).
int WriteAll(int fd, const std::byte* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = write(fd, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    // A regular file that takes no bytes and reports no error has no room left.
    if (written == 0) return ENOSPC;
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return 0;
}

// A pattern split into its folder and the name pattern of its last component.
struct Pattern {
  std::string folder_text;  // As the caller wrote it, for messages.
  fs::path folder;
  std::string name;
};

Pattern SplitPattern(const DriveMapping& drives, std::string_view text) {
  WindowsPath parsed = ParseWindowsPath(text);
  if (parsed.components.empty()) throw FileFailure(FileFault::kFileNotFound, text);
  Pattern pattern;
  pattern.name = std::move(parsed.components.back());
  parsed.components.pop_back();
  pattern.folder = drives.Resolve(parsed, text);
  pattern.folder_text = std::string(FolderOf(text));
  return pattern;
}

bool IsFolder(int folder_fd, const char* name) {
  struct stat info {};
  // A link counts as what it points to; a dangling one is an ordinary file.
  return fstatat(folder_fd, name, &info, 0) == 0 && S_ISDIR(info.st_mode);
}

// The names of the visible ordinary files of the pattern's folder that match it, or nullopt
// when the folder does not exist.
std::optional<std::vector<std::string>> MatchingFiles(const Pattern& pattern) {
  UniqueDir dir(opendir(pattern.folder.c_str()));
  if (!dir) {
    if (errno == ENOENT || errno == ENOTDIR) return std::nullopt;
    throw ErrnoFailure(errno, pattern.folder_text, pattern.folder);
  }
  std::vector<std::string> names;
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(dir.get());
    if (entry == nullptr) break;
    const std::string_view name = entry->d_name;
    if (IsHidden(name) || !MatchesPattern(name, pattern.name)) continue;
    if (IsFolder(dirfd(dir.get()), entry->d_name)) continue;
    names.emplace_back(name);
  }
  if (errno != 0) throw ErrnoFailure(errno, pattern.folder_text, pattern.folder);
  return names;
}

// The hidden file a copy is written to before it takes the destination's place. It is removed
// when this goes, unless Release() said it has become the destination.
class TemporaryBeside {
 public:
  // Check ok(); when it is false, errno tells why the file could not be created.
  explicit TemporaryBeside(const fs::path& destination) {
    std::string name = (destination.parent_path() / ".kw-copy-XXXXXX").string();
    const int fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) return;
    fd_.Reset(fd);
    path_ = std::move(name);
  }
  TemporaryBeside(const TemporaryBeside&) = delete;
  TemporaryBeside& operator=(const TemporaryBeside&) = delete;
  ~TemporaryBeside() {
    if (!path_.empty()) unlink(path_.c_str());
  }

  bool ok() const { return static_cast<bool>(fd_); }
  int fd() const { return fd_.get(); }
  const std::string& path() const { return path_; }
  int Close() { return CloseReporting(fd_); }
  void Release() { path_.clear(); }

 private:
  UniqueFd fd_;
  std::string path_;
};

// Makes a rename in `folder` survive a crash; a folder that cannot be synced still has the
// rename, so failures are not reported.
void SyncFolder(const fs::path& folder) {
  UniqueFd dir(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir) fsync(dir.get());
}

// Flushes a file to the disk on a thread of its own whenever asked, while its owner goes on
// writing to it.
class FlushAhead {
 public:
  explicit FlushAhead(int fd) : fd_(fd) {}
  ~FlushAhead() { Stop(); }
  FlushAhead(const FlushAhead&) = delete;
  FlushAhead& operator=(const FlushAhead&) = delete;

  // Asks for a flush of what has been written so far; the first request starts the thread. A
  // thread that cannot be started changes nothing but the speed of the owner's own flush.
  void Request() {
    std::lock_guard lock(mutex_);
    requested_ = true;
    if (thread_.joinable()) return wake_.notify_one();
    try {
      thread_ = std::thread([this] { Run(); });
    } catch (const std::system_error&) {
      requested_ = false;
    }
  }

  // Waits for a flush in progress, ends the thread and returns the errno of the first flush that
  // failed since the last Stop (0 for none): the system reports a failed write to one flush only,
  // which may have been this thread's.
  int Stop() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
      wake_.notify_one();
    }
    if (thread_.joinable()) thread_.join();
    std::lock_guard lock(mutex_);
    stopping_ = false;
    requested_ = false;
    return std::exchange(error_, 0);
  }

 private:
  void Run() {
    std::unique_lock lock(mutex_);
    for (;;) {
      wake_.wait(lock, [this] { return requested_ || stopping_; });
      // What is still unflushed is left to the owner's own flush.
      if (stopping_) return;
      requested_ = false;
      lock.unlock();
      const int err = fdatasync(fd_) == 0 ? 0 : errno;
      lock.lock();
      if (error_ == 0) error_ = err;
    }
  }

  const int fd_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool requested_ = false;
  bool stopping_ = false;
  int error_ = 0;
  std::thread thread_;
};

class PosixWritableFile final : public BufferedFile {
 public:
  PosixWritableFile(UniqueFd fd, std::string windows_path, fs::path host)
      : BufferedFile(windows_path),
        fd_(std::move(fd)),
        windows_path_(std::move(windows_path)),
        host_(std::move(host)) {}
  ~PosixWritableFile() override { CloseQuietly(); }

 private:
  // A big file is flushed to the disk every so many bytes while it is written, so that Sync (a
  // download's, before its rename) waits only for the last of them: the disk writes while the
  // network delivers. Without it, the Sync of a 256 MB download took a quarter of a second, as
  // long as half the download; starting the writing early (sync_file_range) saved a third of
  // that, as the disk's own cache still had to be emptied at the end.
  static constexpr std::size_t kFlushAheadBytes = 16 << 20;

  void WriteOut(const std::byte* data, std::size_t size) override {
    if (const int err = WriteAll(fd_.get(), data, size); err != 0) {
      throw ErrnoFailure(err, windows_path_, host_);
    }
    unflushed_ += size;
    if (unflushed_ >= kFlushAheadBytes) {
      unflushed_ = 0;
      flush_ahead_.Request();
    }
  }

  void SyncOut() override {
    unflushed_ = 0;
    const int ahead = flush_ahead_.Stop();
    if (fsync(fd_.get()) != 0) throw ErrnoFailure(errno, windows_path_, host_);
    if (ahead != 0) throw ErrnoFailure(ahead, windows_path_, host_);
  }

  void CloseOut() override {
    // The thread flushes this descriptor: it ends first. A flush it could not make is the
    // caller's to know, as close() reporting a write failure is.
    const int ahead = flush_ahead_.Stop();
    // close() is where network file systems report write failures.
    if (CloseReporting(fd_) != 0 && errno != EINTR) throw ErrnoFailure(errno, windows_path_, host_);
    if (ahead != 0) throw ErrnoFailure(ahead, windows_path_, host_);
  }

  UniqueFd fd_;
  std::string windows_path_;
  fs::path host_;
  std::size_t unflushed_ = 0;
  // After fd_: it ends before the descriptor closes.
  FlushAhead flush_ahead_{fd_.get()};
};

class PosixReadableFile final : public ReadableFile {
 public:
  PosixReadableFile(UniqueFd fd, std::uint64_t size, std::string windows_path, fs::path host)
      : fd_(std::move(fd)),
        size_(size),
        windows_path_(std::move(windows_path)),
        host_(std::move(host)) {}

  std::uint64_t Size() override { return size_; }

  std::size_t Read(std::span<std::byte> buffer) override {
    for (;;) {
      const ssize_t got = read(fd_.get(), buffer.data(), buffer.size());
      if (got >= 0) return static_cast<std::size_t>(got);
      if (errno != EINTR) throw ErrnoFailure(errno, windows_path_, host_);
    }
  }

 private:
  UniqueFd fd_;
  std::uint64_t size_;
  std::string windows_path_;
  fs::path host_;
};

// Opens `path` for writing with `flags` besides the usual ones.
std::unique_ptr<WritableFile> OpenWritable(const DriveMapping& drives, std::string_view path,
                                           int flags) {
  fs::path host = drives.Resolve(path);
  UniqueFd fd(open(host.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | flags, 0666));
  if (!fd) throw ErrnoFailure(errno, path, host);
  return std::make_unique<PosixWritableFile>(std::move(fd), std::string(path), std::move(host));
}

}  // namespace

PosixFileSystem::PosixFileSystem() : drives_(DriveMapping::FromEnvironment()) {}

PosixFileSystem::PosixFileSystem(DriveMapping drives) : drives_(std::move(drives)) {}

bool PosixFileSystem::Exists(std::string_view path) {
  fs::path host;
  try {
    host = drives_.Resolve(path);
  } catch (const Failure&) {
    return false;
  }
  if (IsHidden(host.filename().native())) return false;
  struct stat info {};
  return stat(host.c_str(), &info) == 0;
}

void PosixFileSystem::CreateFolder(std::string_view path) {
  const fs::path host = drives_.Resolve(path);
  if (mkdir(host.c_str(), 0777) != 0) throw ErrnoFailure(errno, path, host);
}

void PosixFileSystem::CopyFile(std::string_view source, std::string_view destination) {
  const fs::path from = drives_.Resolve(source);
  UniqueFd in(open(from.c_str(), O_RDONLY | O_CLOEXEC));
  if (!in) throw ErrnoFailure(errno, source, from);
  struct stat source_info {};
  if (fstat(in.get(), &source_info) != 0) throw ErrnoFailure(errno, source, from);
  if (S_ISDIR(source_info.st_mode)) throw ErrnoFailure(EISDIR, source, from);

  const fs::path to = drives_.Resolve(destination);
  TemporaryBeside temporary(to);
  if (!temporary.ok()) throw ErrnoFailure(errno, destination, to);

  const auto buffer = std::make_unique<std::byte[]>(kCopyBufferSize);
  for (;;) {
    const ssize_t got = read(in.get(), buffer.get(), kCopyBufferSize);
    if (got < 0) {
      if (errno == EINTR) continue;
      throw ErrnoFailure(errno, source, from);
    }
    if (got == 0) break;
    if (const int err = WriteAll(temporary.fd(), buffer.get(), static_cast<std::size_t>(got));
        err != 0) {
      throw ErrnoFailure(err, destination, to);
    }
  }

  // The bits and the time are worth keeping, not worth failing the copy for: some file systems
  // (vfat, some network shares) refuse them.
  fchmod(temporary.fd(), source_info.st_mode & 0777);
  const timespec times[2] = {source_info.st_atim, source_info.st_mtim};
  futimens(temporary.fd(), times);

  if (fsync(temporary.fd()) != 0) throw ErrnoFailure(errno, destination, to);
  if (temporary.Close() != 0) throw ErrnoFailure(errno, destination, to);
  if (rename(temporary.path().c_str(), to.c_str()) != 0) throw ErrnoFailure(errno, destination, to);
  temporary.Release();
  SyncFolder(to.parent_path());
}

void PosixFileSystem::RenameFile(std::string_view source, std::string_view destination) {
  const fs::path from = drives_.Resolve(source);
  // rename() tells neither a missing source from a missing destination folder, nor a folder
  // from a file when nothing stands at the destination.
  struct stat info {};
  if (stat(from.c_str(), &info) != 0) throw ErrnoFailure(errno, source, from);
  if (S_ISDIR(info.st_mode)) throw ErrnoFailure(EISDIR, source, from);
  const fs::path to = drives_.Resolve(destination);
  if (rename(from.c_str(), to.c_str()) != 0) throw ErrnoFailure(errno, destination, to);
}

void PosixFileSystem::DeleteFiles(std::string_view pattern_text) {
  const Pattern pattern = SplitPattern(drives_, pattern_text);
  DeleteEach(pattern_text, MatchingFiles(pattern), [&](const std::string& name) {
    const fs::path host = pattern.folder / name;
    std::optional<Failure> failure;
    if (unlink(host.c_str()) != 0 && errno != ENOENT) {
      failure = ErrnoFailure(errno, pattern.folder_text + "\\" + name, host);
    }
    return failure;
  });
}

std::vector<std::string> PosixFileSystem::FilesMatching(std::string_view pattern_text) {
  return MatchingFiles(SplitPattern(drives_, pattern_text)).value_or(std::vector<std::string>());
}

std::unique_ptr<WritableFile> PosixFileSystem::OpenForWriting(std::string_view path) {
  return OpenWritable(drives_, path, O_TRUNC);
}

std::unique_ptr<WritableFile> PosixFileSystem::OpenForAppending(std::string_view path) {
  return OpenWritable(drives_, path, O_APPEND);
}

std::unique_ptr<ReadableFile> PosixFileSystem::OpenForReading(std::string_view path) {
  fs::path host = drives_.Resolve(path);
  UniqueFd fd(open(host.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) throw ErrnoFailure(errno, path, host);
  struct stat info {};
  if (fstat(fd.get(), &info) != 0) throw ErrnoFailure(errno, path, host);
  if (S_ISDIR(info.st_mode)) throw ErrnoFailure(EISDIR, path, host);
  return std::make_unique<PosixReadableFile>(
      std::move(fd), static_cast<std::uint64_t>(info.st_size), std::string(path), std::move(host));
}

}  // namespace kw
