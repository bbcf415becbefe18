#include "platform/posix/flock_instance_guard.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/failure.h"
#include "platform/posix/posix_handles.h"
#include "support/failure_of.h"
#include "support/temp_drive.h"

namespace kw {
namespace {

namespace fs = std::filesystem;
using ::kw::testing::FailureOf;
using ::kw::testing::ScopedEnv;
using ::kw::testing::TempDrive;
using ::testing::HasSubstr;

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

// --- Where the lock is, and what is refused there ---

// The tests' own stand-in for the temp folder every user shares.
class FlockInstanceGuardTest : public ::testing::Test {
 protected:
  static bool CanGiveFilesAway() { return geteuid() == 0; }
  // A user id other than ours: nobody's.
  static constexpr uid_t kOtherUser = 65534;

  TempDrive drive_;
  fs::path temp_ = drive_.prefix() / "tmp";
  ScopedEnv no_runtime_{"XDG_RUNTIME_DIR", std::nullopt};
  ScopedEnv temp_env_{"TMPDIR", temp_.string()};
  fs::path private_folder_ = temp_ / ("kw_update-" + std::to_string(geteuid()));
  fs::path lock_path_ = private_folder_ / "kw_update.lock";

  void SetUp() override {
    fs::create_directory(temp_);
    fs::permissions(temp_, fs::perms(01777));
  }
};

TEST_F(FlockInstanceGuardTest, WithoutARuntimeFolderTheLockIsInAPrivateFolderOfTheTempFolder) {
  EXPECT_EQ(FlockInstanceGuard::DefaultLockPath(), lock_path_);
  // Another user's file where the lock once was, held locked: it keeps nobody out now.
  const fs::path planted = temp_ / ("kw_update-" + std::to_string(geteuid()) + ".lock");
  UniqueFd held(open(planted.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
  ASSERT_TRUE(held);
  ASSERT_EQ(flock(held.get(), LOCK_EX | LOCK_NB), 0);
  if (CanGiveFilesAway()) {
    ASSERT_EQ(fchown(held.get(), kOtherUser, kOtherUser), 0);
  }

  FlockInstanceGuard guard;
  EXPECT_FALSE(guard.AnotherInstanceRunning());
  EXPECT_EQ(fs::symlink_status(private_folder_).permissions(), fs::perms(0700));
  EXPECT_TRUE(AnotherProcessSeesAnInstance(lock_path_));
}

TEST_F(FlockInstanceGuardTest, WithARuntimeFolderTheLockIsThere) {
  const fs::path runtime = drive_.prefix() / "run";
  fs::create_directory(runtime);
  fs::permissions(runtime, fs::perms(0700));
  ScopedEnv runtime_env("XDG_RUNTIME_DIR", runtime.string());
  EXPECT_EQ(FlockInstanceGuard::DefaultLockPath(), runtime / "kw_update.lock");

  FlockInstanceGuard guard;
  EXPECT_FALSE(guard.AnotherInstanceRunning());
  EXPECT_TRUE(AnotherProcessSeesAnInstance(runtime / "kw_update.lock"));
  EXPECT_FALSE(fs::exists(private_folder_));
}

TEST_F(FlockInstanceGuardTest, ALockPathThatIsNotARegularFileOfTheUsersIsRefused) {
  fs::create_directory(private_folder_);
  fs::permissions(private_folder_, fs::perms(0700));
  const fs::path victim = drive_.prefix() / "victim";
  std::ofstream(victim).flush();

  const std::vector<std::pair<std::string, std::function<void()>>> plants = {
      {"a folder", [&] { fs::create_directory(lock_path_); }},
      {"a link to a file of the user's", [&] { fs::create_symlink(victim, lock_path_); }},
      {"a FIFO", [&] { ASSERT_EQ(mkfifo(lock_path_.c_str(), 0600), 0); }},
      {"another user's file",
       [&] {
         std::ofstream(lock_path_).flush();
         ASSERT_EQ(chown(lock_path_.c_str(), kOtherUser, kOtherUser), 0);
       }},
  };
  for (const auto& [what, plant] : plants) {
    SCOPED_TRACE(what);
    if (what == "another user's file" && !CanGiveFilesAway()) continue;
    plant();
    FlockInstanceGuard guard;
    const Failure failure = FailureOf([&] { guard.AnotherInstanceRunning(); });
    EXPECT_EQ(failure.number(), error::kPermissionDenied);
    EXPECT_THAT(failure.description(), HasSubstr(lock_path_.string()));
    EXPECT_THAT(failure.description(), HasSubstr("Remove it"));
    fs::remove(lock_path_);
  }
  EXPECT_FALSE(AnotherProcessSeesAnInstance(victim));
}

TEST_F(FlockInstanceGuardTest, ALockFolderOthersCanWriteIsRefused) {
  struct Plant {
    std::string what;
    std::function<void()> plant;
    std::string named;
  };
  const fs::path shared_runtime = drive_.prefix() / "shared-run";
  const fs::path elsewhere = drive_.prefix() / "elsewhere";
  const std::vector<Plant> plants = {
      {"a private folder others can write",
       [&] {
         fs::create_directory(private_folder_);
         fs::permissions(private_folder_, fs::perms(0777));
       },
       private_folder_.string()},
      {"a link in place of the private folder",
       [&] {
         fs::create_directory(elsewhere);
         fs::permissions(elsewhere, fs::perms(0700));
         fs::create_directory_symlink(elsewhere, private_folder_);
       },
       private_folder_.string()},
      {"another user's private folder",
       [&] {
         fs::create_directory(private_folder_);
         fs::permissions(private_folder_, fs::perms(0700));
         ASSERT_EQ(chown(private_folder_.c_str(), kOtherUser, kOtherUser), 0);
       },
       private_folder_.string()},
  };
  for (const Plant& plant : plants) {
    SCOPED_TRACE(plant.what);
    if (plant.what == "another user's private folder" && !CanGiveFilesAway()) continue;
    plant.plant();
    FlockInstanceGuard guard;
    const Failure failure = FailureOf([&] { guard.AnotherInstanceRunning(); });
    EXPECT_EQ(failure.number(), error::kPermissionDenied);
    EXPECT_THAT(failure.description(), HasSubstr(plant.named));
    EXPECT_FALSE(fs::exists(elsewhere / "kw_update.lock"));
    fs::remove_all(private_folder_);
  }

  // A runtime folder set to a shared one.
  fs::create_directory(shared_runtime);
  fs::permissions(shared_runtime, fs::perms(01777));
  ScopedEnv runtime_env("XDG_RUNTIME_DIR", shared_runtime.string());
  FlockInstanceGuard guard;
  const Failure failure = FailureOf([&] { guard.AnotherInstanceRunning(); });
  EXPECT_EQ(failure.number(), error::kPermissionDenied);
  EXPECT_THAT(failure.description(), HasSubstr(shared_runtime.string()));
  EXPECT_THAT(failure.description(), HasSubstr("XDG_RUNTIME_DIR"));
  EXPECT_FALSE(fs::exists(shared_runtime / "kw_update.lock"));
}

}  // namespace
}  // namespace kw
