#include "platform/posix/flock_instance_guard.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <system_error>
#include <utility>

namespace kw {

FlockInstanceGuard::FlockInstanceGuard() : FlockInstanceGuard(DefaultLockPath()) {}

FlockInstanceGuard::FlockInstanceGuard(std::filesystem::path lock_path)
    : lock_path_(std::move(lock_path)) {}

std::filesystem::path FlockInstanceGuard::DefaultLockPath() {
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR");
      runtime != nullptr && *runtime != '\0') {
    return std::filesystem::path(runtime) / "kw_update.lock";
  }
  // The temp folder is shared by every user; the user id keeps their locks apart.
  std::error_code ignored;
  std::filesystem::path temp = std::filesystem::temp_directory_path(ignored);
  if (temp.empty()) temp = "/tmp";
  return temp / ("kw_update-" + std::to_string(getuid()) + ".lock");
}

bool FlockInstanceGuard::AnotherInstanceRunning() {
  if (answer_) return *answer_;
  // O_NOFOLLOW: in a shared temp folder, a link planted by someone else must not make us
  // create or lock their file.
  lock_.Reset(open(lock_path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!lock_) {
    answer_ = false;
    return false;
  }
  int result;
  do {
    result = flock(lock_.get(), LOCK_EX | LOCK_NB);
  } while (result != 0 && errno == EINTR);
  answer_ = result != 0 && errno == EWOULDBLOCK;
  if (*answer_) lock_.Reset();
  return *answer_;
}

}  // namespace kw
