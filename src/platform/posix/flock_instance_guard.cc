#include "platform/posix/flock_instance_guard.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <system_error>
#include <utility>

#include "platform/failure.h"

namespace kw {

namespace {

namespace fs = std::filesystem;

constexpr const char* kLockName = "kw_update.lock";

bool RuntimeFolderSet() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  return runtime != nullptr && *runtime != '\0';
}

[[noreturn]] void Refuse(std::int32_t number, const std::string& why) {
  throw Failure(number, "Cannot make sure that only one updater runs: " + why);
}

std::string ErrorText(int err) { return std::generic_category().message(err); }

// The lock's folder, opened, once it is known that no other user can write in it (root may:
// it may do anything anyway).
UniqueFd OpenPrivateFolder(const fs::path& folder, bool private_temp_folder) {
  const std::string remedy =
      private_temp_folder ? "Remove " + folder.string() + ", then start the updater again."
      : RuntimeFolderSet()
          ? "Set XDG_RUNTIME_DIR to a folder only you can write, then start the updater again."
          : "Use a folder only you can write.";
  // The folder in the shared temp folder is ours to make; a name taken there already is
  // checked like any other folder below.
  if (private_temp_folder && mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    Refuse(error::kPathFileAccess, "cannot create the folder " + folder.string() +
                                       " for its lock file: " + ErrorText(errno) + ".");
  }
  // In the shared temp folder, a link planted under our folder's name could lead anywhere.
  UniqueFd fd(open(folder.c_str(),
                   O_RDONLY | O_DIRECTORY | O_CLOEXEC | (private_temp_folder ? O_NOFOLLOW : 0)));
  if (!fd) {
    if (errno == ELOOP || errno == ENOTDIR) {
      Refuse(error::kPermissionDenied,
             folder.string() + ", where its lock file belongs, is not a folder. " + remedy);
    }
    Refuse(error::kPathFileAccess, "cannot open the folder " + folder.string() +
                                       " of its lock file: " + ErrorText(errno) + ". " + remedy);
  }
  struct stat info {};
  if (fstat(fd.get(), &info) != 0) {
    Refuse(error::kPathFileAccess, "cannot examine the folder " + folder.string() +
                                       " of its lock file: " + ErrorText(errno) + ".");
  }
  const bool owner_ok = info.st_uid == geteuid() || info.st_uid == 0;
  if (!owner_ok || (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    Refuse(error::kPermissionDenied,
           "the folder " + folder.string() +
               " of its lock file is not private: it belongs to another user, or other users "
               "can write in it. " +
               remedy);
  }
  return fd;
}

}  // namespace

FlockInstanceGuard::FlockInstanceGuard()
    : FlockInstanceGuard(DefaultLockPath(), !RuntimeFolderSet()) {}

FlockInstanceGuard::FlockInstanceGuard(fs::path lock_path)
    : FlockInstanceGuard(std::move(lock_path), false) {}

FlockInstanceGuard::FlockInstanceGuard(fs::path lock_path, bool private_temp_folder)
    : lock_path_(std::move(lock_path)), private_temp_folder_(private_temp_folder) {}

fs::path FlockInstanceGuard::DefaultLockPath() {
  if (RuntimeFolderSet()) return fs::path(std::getenv("XDG_RUNTIME_DIR")) / kLockName;
  std::error_code ignored;
  fs::path temp = fs::temp_directory_path(ignored);
  if (temp.empty()) temp = "/tmp";
  return temp / ("kw_update-" + std::to_string(geteuid())) / kLockName;
}

bool FlockInstanceGuard::AnotherInstanceRunning() {
  if (answer_) return *answer_;
  const UniqueFd folder = OpenPrivateFolder(lock_path_.parent_path(), private_temp_folder_);
  const std::string name = lock_path_.filename().string();
  const std::string refused = lock_path_.string() +
                              " is not a regular file of yours (another user may have put it "
                              "there). Remove it, then start the updater again.";
  // O_NOFOLLOW: a link is refused, never followed to a file it would make us create or lock.
  // O_NONBLOCK: a FIFO put there must not hold the open up.
  UniqueFd lock(openat(folder.get(), name.c_str(),
                       O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600));
  if (!lock) {
    if (errno == ELOOP || errno == EISDIR || errno == ENXIO) {
      Refuse(error::kPermissionDenied, refused);
    }
    Refuse(error::kPathFileAccess,
           "cannot open the lock file " + lock_path_.string() + ": " + ErrorText(errno) + ".");
  }
  struct stat info {};
  if (fstat(lock.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != geteuid()) {
    Refuse(error::kPermissionDenied, refused);
  }
  int result;
  do {
    result = flock(lock.get(), LOCK_EX | LOCK_NB);
  } while (result != 0 && errno == EINTR);
  if (result != 0 && errno != EWOULDBLOCK) {
    Refuse(error::kPathFileAccess,
           "cannot lock " + lock_path_.string() + ": " + ErrorText(errno) + ".");
  }
  answer_ = result != 0;
  if (!*answer_) lock_ = std::move(lock);
  return *answer_;
}

}  // namespace kw
