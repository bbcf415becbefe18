#include "platform/posix/flock_instance_guard.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>

#include "support/temp_drive.h"

namespace kw {
namespace {

namespace fs = std::filesystem;
using ::kw::testing::ScopedEnv;
using ::kw::testing::TempDrive;

// What a guard on `lock_path` in another process answers.
bool AnotherProcessSeesAnInstance(const fs::path& lock_path) {
  const pid_t child = fork();
  if (child == 0) {
    FlockInstanceGuard guard(lock_path);
    _exit(guard.AnotherInstanceRunning() ? 1 : 0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status));
  return WEXITSTATUS(status) == 1;
}

class FlockInstanceGuardTest : public ::testing::Test {
 protected:
  TempDrive drive_;
  fs::path lock_path_ = drive_.prefix() / "kw_update.lock";
};

TEST_F(FlockInstanceGuardTest, TheFirstGuardKeepsOthersOutWhileItLives) {
  auto first = std::make_optional<FlockInstanceGuard>(lock_path_);
  EXPECT_FALSE(AnotherProcessSeesAnInstance(lock_path_));  // Nobody asked yet.
  EXPECT_FALSE(first->AnotherInstanceRunning());
  EXPECT_TRUE(AnotherProcessSeesAnInstance(lock_path_));

  FlockInstanceGuard second(lock_path_);
  EXPECT_TRUE(second.AnotherInstanceRunning());
  EXPECT_FALSE(first->AnotherInstanceRunning());

  first.reset();
  EXPECT_FALSE(AnotherProcessSeesAnInstance(lock_path_));
  // The answer, once given, stands.
  EXPECT_TRUE(second.AnotherInstanceRunning());
  FlockInstanceGuard third(lock_path_);
  EXPECT_FALSE(third.AnotherInstanceRunning());
}

TEST_F(FlockInstanceGuardTest, AnUnusableLockFileDoesNotStopTheProgram) {
  FlockInstanceGuard in_missing_folder(drive_.prefix() / "missing" / "kw_update.lock");
  EXPECT_FALSE(in_missing_folder.AnotherInstanceRunning());

  // A link planted where the lock file goes is not followed: the file it points to stays free.
  drive_.Write("C:\\victim", "");
  fs::create_symlink(drive_.Host("C:\\victim"), drive_.prefix() / "link.lock");
  FlockInstanceGuard on_a_link(drive_.prefix() / "link.lock");
  EXPECT_FALSE(on_a_link.AnotherInstanceRunning());
  EXPECT_FALSE(AnotherProcessSeesAnInstance(drive_.Host("C:\\victim")));
}

TEST_F(FlockInstanceGuardTest, TheLockFileIsPerUser) {
  {
    ScopedEnv runtime("XDG_RUNTIME_DIR", drive_.prefix().string());
    EXPECT_EQ(FlockInstanceGuard::DefaultLockPath(), drive_.prefix() / "kw_update.lock");
    FlockInstanceGuard guard;
    EXPECT_FALSE(guard.AnotherInstanceRunning());
    EXPECT_TRUE(fs::exists(drive_.prefix() / "kw_update.lock"));
    EXPECT_TRUE(AnotherProcessSeesAnInstance(drive_.prefix() / "kw_update.lock"));
  }
  ScopedEnv no_runtime("XDG_RUNTIME_DIR", std::nullopt);
  ScopedEnv temp("TMPDIR", drive_.prefix().string());
  EXPECT_EQ(FlockInstanceGuard::DefaultLockPath(),
            drive_.prefix() / ("kw_update-" + std::to_string(getuid()) + ".lock"));
}

}  // namespace
}  // namespace kw
