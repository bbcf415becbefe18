#pragma once

#include <filesystem>
#include <optional>

#include "platform/instance_guard.h"
#include "platform/posix/posix_handles.h"

namespace kw {

// One updater per user: an exclusive flock() on a per-user lock file kept where no other user
// can write. The first call of AnotherInstanceRunning() tries the lock without waiting, and
// later calls give the same answer; a lock taken is held until the guard is destroyed (or the
// process ends, so a crashed updater never keeps the next one out). The lock file is left in
// place.
//
// AnotherInstanceRunning() fails (kPermissionDenied) when the lock file's folder belongs to
// another user or others can write in it, or when the lock file is not a regular file owned by
// this user (a link, a folder, another user's file); and (kPathFileAccess) when the folder or
// the lock cannot be made for any other reason. The description names the path and says what
// to do. Nothing is changed outside the lock file's folder.
class FlockInstanceGuard final : public InstanceGuard {
 public:
  // Locks DefaultLockPath(), creating its private folder in the temp folder when that is
  // where it is.
  FlockInstanceGuard();
  // Locks `lock_path`; its folder must exist.
  explicit FlockInstanceGuard(std::filesystem::path lock_path);

  // $XDG_RUNTIME_DIR/kw_update.lock; when XDG_RUNTIME_DIR is unset or empty,
  // kw_update.lock in the folder kw_update-<user id> of the temp folder ($TMPDIR, else /tmp),
  // which the guard creates with mode 0700. Only reads the environment.
  static std::filesystem::path DefaultLockPath();

  bool AnotherInstanceRunning() override;

 private:
  FlockInstanceGuard(std::filesystem::path lock_path, bool private_temp_folder);

  std::filesystem::path lock_path_;
  // Whether the lock's folder is the guard's own in the shared temp folder: created when
  // missing, and never reached through a link.
  bool private_temp_folder_ = false;
  UniqueFd lock_;
  std::optional<bool> answer_;
};

}  // namespace kw
