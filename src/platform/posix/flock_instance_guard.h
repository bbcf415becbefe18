#pragma once

#include <filesystem>
#include <optional>

#include "platform/instance_guard.h"
#include "platform/posix/posix_handles.h"

namespace kw {

// One updater per user: an exclusive flock() on a per-user lock file. The first call of
// AnotherInstanceRunning() tries the lock without waiting, and later calls give the same
// answer; a lock taken is held until the guard is destroyed (or the process ends, so a crashed
// updater never keeps the next one out). The lock file is left in place.
//
// When the lock file cannot be opened or locked for any reason other than another holder, the
// answer is "not running": a guard must never keep the updater from running.
class FlockInstanceGuard final : public InstanceGuard {
 public:
  // Locks DefaultLockPath().
  FlockInstanceGuard();
  explicit FlockInstanceGuard(std::filesystem::path lock_path);

  // $XDG_RUNTIME_DIR/kw_update.lock, or kw_update-<user id>.lock in the temp folder when
  // XDG_RUNTIME_DIR is unset or empty.
  static std::filesystem::path DefaultLockPath();

  bool AnotherInstanceRunning() override;

 private:
  std::filesystem::path lock_path_;
  UniqueFd lock_;
  std::optional<bool> answer_;
};

}  // namespace kw
