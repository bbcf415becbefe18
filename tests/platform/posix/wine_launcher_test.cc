// Batch files started under a stand-in for Wine: what it is given, and the circumstances it
// runs in.

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <thread>

#include "platform/failure.h"
#include "platform/posix/child_check.h"
#include "platform/posix/posix_processes.h"
#include "support/failure_of.h"
#include "support/temp_drive.h"

namespace kw {
namespace {

namespace fs = std::filesystem;
using ::kw::testing::FailureOf;
using ::kw::testing::ScopedEnv;
using ::kw::testing::TempDrive;
using ::testing::HasSubstr;

// A stand-in for Wine: records its arguments, environment and circumstances in $KW_MARKER, after
// waiting (up to 30 seconds) for $KW_GO to appear.
constexpr std::string_view kFakeWine = R"sh(#!/bin/sh
PATH=/usr/bin:/bin
i=0
while [ ! -e "$KW_GO" ] && [ $i -lt 300 ]; do sleep 0.1; i=$((i+1)); done
if [ -e "$KW_GO" ]; then go=seen; else go=missing; fi
if [ -e "/proc/$$/fd/$KW_LEAK_FD" ]; then leaked=yes; else leaked=no; fi
{
  printf 'args=%s\n' "$*"
  printf 'self=%s\n' "$(readlink -f "$0")"
  printf 'prefix=%s\n' "${WINEPREFIX-unset}"
  printf 'go=%s\n' "$go"
  printf 'pid=%s\n' "$$"
  printf 'session=%s\n' "$(cut -d' ' -f6 /proc/$$/stat)"
  printf 'stdin=%s\n' "$(readlink /proc/$$/fd/0)"
  printf 'leaked=%s\n' "$leaked"
  printf 'folder=%s\n' "$(pwd)"
} > "$KW_MARKER.part" && mv "$KW_MARKER.part" "$KW_MARKER"
)sh";

// A descriptor number no test opens by chance.
constexpr int kLeakFd = 47;

class WineLauncherTest : public ::testing::Test {
 protected:
  WineLauncherTest() {
    fs::create_directories(bin_);
    WriteFakeWine(bin_ / "fake-wine");
  }

  static void WriteFakeWine(const fs::path& at) {
    std::ofstream(at) << kFakeWine;
    fs::permissions(at, fs::perms(0755));
  }

  // Lets the fake Wine go on, then waits for what it recorded.
  std::map<std::string, std::string> WaitForMarker() {
    std::ofstream(go_.string()).flush();
    for (int i = 0; i < 3000 && !fs::exists(marker_); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::map<std::string, std::string> fields;
    std::ifstream in(marker_);
    for (std::string line; std::getline(in, line);) {
      const std::size_t equals = line.find('=');
      if (equals != line.npos) fields[line.substr(0, equals)] = line.substr(equals + 1);
    }
    return fields;
  }

  // Whether the process has gone from /proc, reaped, within five seconds.
  static bool Reaped(const std::string& pid) {
    for (int i = 0; i < 500; ++i) {
      if (!fs::exists("/proc/" + pid)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  TempDrive drive_;
  PosixProcesses processes_;
  fs::path bin_ = drive_.prefix() / "bin";
  fs::path marker_ = drive_.prefix() / "marker";
  fs::path go_ = drive_.prefix() / "go";
  ScopedEnv marker_env_{"KW_MARKER", marker_.string()};
  ScopedEnv go_env_{"KW_GO", go_.string()};
  ScopedEnv leak_env_{"KW_LEAK_FD", std::to_string(kLeakFd)};
};

TEST_F(WineLauncherTest, RunsInAWineConsoleWindowOfItsOwnDetachedAndUnwaited) {
  drive_.Write("C:\\tavkorea\\kw_update.bat", "@echo off\r\n");
  ScopedEnv wine("WINE", (bin_ / "fake-wine").string());

  processes_.StartBatchFile("C:\\TavKorea\\KW_Update.Bat");

  std::map<std::string, std::string> marker = WaitForMarker();
  ASSERT_FALSE(marker.empty()) << "the fake Wine never ran";
  // Wine's start opens a new console window for the batch file, in the batch file's folder.
  EXPECT_EQ(marker["args"], "start /d C:\\TavKorea C:\\TavKorea\\KW_Update.Bat");
  EXPECT_EQ(marker["prefix"], drive_.prefix().string());
  EXPECT_EQ(marker["go"], "seen") << "the launcher waited for the batch file";
  EXPECT_EQ(marker["session"], marker["pid"]) << "not in a session of its own";
  EXPECT_EQ(marker["stdin"], "/dev/null");
  EXPECT_EQ(fs::path(marker["folder"]), drive_.Host("C:\\tavkorea"));
  EXPECT_TRUE(Reaped(marker["pid"])) << "Wine was left a zombie";
}

TEST_F(WineLauncherTest, WineIsFoundOnThePath) {
  drive_.Write("C:\\TavKorea\\KW_Update.Bat", "@echo off\r\n");
  WriteFakeWine(bin_ / "wine");
  ScopedEnv no_wine("WINE", std::nullopt);
  ScopedEnv path("PATH", "/nonexistent:" + bin_.string() + ":/usr/bin:/bin");

  processes_.StartBatchFile("C:\\TavKorea\\KW_Update.Bat");
  EXPECT_EQ(WaitForMarker()["self"], (bin_ / "wine").string());
}

TEST_F(WineLauncherTest, RelativeWinePathsAreTheUpdatersFolderNeverTheBatchFiles) {
  // The application folder is filled from the update server: a "wine" there must never run.
  drive_.Write("C:\\TavKorea\\KW_Update.Bat", "@echo off\r\n");
  WriteFakeWine(drive_.Host("C:\\TavKorea\\wine"));
  WriteFakeWine(drive_.Host("C:\\TavKorea\\fake-wine"));
  WriteFakeWine(bin_ / "wine");
  const fs::path old_folder = fs::current_path();
  fs::current_path(bin_);
  ScopedEnv no_wine("WINE", std::nullopt);
  {
    ScopedEnv path("PATH", ".");
    processes_.StartBatchFile("C:\\TavKorea\\KW_Update.Bat");
    EXPECT_EQ(WaitForMarker()["self"], (bin_ / "wine").string());
  }
  fs::remove(marker_);
  {
    ScopedEnv wine("WINE", "./fake-wine");
    processes_.StartBatchFile("C:\\TavKorea\\KW_Update.Bat");
    EXPECT_EQ(WaitForMarker()["self"], (bin_ / "fake-wine").string());
  }
  fs::current_path(old_folder);
}

TEST_F(WineLauncherTest, WineIsGivenTheAbsolutePrefixTheDriveWasMappedInto) {
  // Wine refuses a relative or empty WINEPREFIX, and a relative one would name another folder
  // from the batch file's.
  const fs::path home = drive_.prefix() / "home";
  fs::create_directories(home / ".wine" / "drive_c" / "TavKorea");
  std::ofstream(home / ".wine" / "drive_c" / "TavKorea" / "KW_Update.Bat") << "@echo off\r\n";
  drive_.Write("C:\\TavKorea\\KW_Update.Bat", "@echo off\r\n");
  ScopedEnv home_env("HOME", home.string());
  ScopedEnv wine("WINE", (bin_ / "fake-wine").string());
  const fs::path old_folder = fs::current_path();
  fs::current_path(drive_.prefix().parent_path());

  const struct {
    std::optional<std::string> wineprefix;
    fs::path prefix;
  } cases[] = {
      {drive_.prefix().filename().string(), drive_.prefix()},
      {"", home / ".wine"},
      {std::nullopt, home / ".wine"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.wineprefix.value_or("unset"));
    ScopedEnv wineprefix("WINEPREFIX", c.wineprefix);
    fs::remove(marker_);
    processes_.StartBatchFile("C:\\TavKorea\\KW_Update.Bat");
    std::map<std::string, std::string> marker = WaitForMarker();
    EXPECT_EQ(marker["prefix"], c.prefix.string());
    EXPECT_TRUE(fs::equivalent(marker["folder"], c.prefix / "drive_c" / "TavKorea"))
        << marker["folder"];
  }
  fs::current_path(old_folder);
}

int fork_handlers_run = 0;

TEST_F(WineLauncherTest, StartsWithoutForkHandlersAndCloseRangeAndLeavesNoDescriptorOpen) {
  drive_.Write("C:\\TavKorea\\KW_Update.Bat", "@echo off\r\n");
  ScopedEnv wine("WINE", (bin_ / "fake-wine").string());
  // In a child of its own, whose system calls can be taken away for good.
  const std::string outcome = kw::testing::TextFromAChild([] {
    std::string outcome = kw::testing::BlockSystemCall(SYS_close_range, ENOSYS);
    if (outcome.empty()) outcome = "close_range blocked";
    pthread_atfork([] { ++fork_handlers_run; }, nullptr, nullptr);
    // Open without close-on-exec, as a library might leave one.
    dup2(open("/dev/null", O_RDONLY), kLeakFd);
    try {
      PosixProcesses().StartBatchFile("C:\\TavKorea\\KW_Update.Bat");
    } catch (const Failure& failure) {
      outcome = failure.description();
    }
    return outcome + "; fork handlers run: " + std::to_string(fork_handlers_run);
  });

  EXPECT_THAT(outcome, HasSubstr("fork handlers run: 0"));
  std::map<std::string, std::string> marker = WaitForMarker();
  EXPECT_EQ(marker["leaked"], "no") << outcome;
  if (!outcome.starts_with("close_range blocked")) {
    GTEST_SKIP() << "the descriptors were closed with close_range at hand: " << outcome;
  }
}

TEST_F(WineLauncherTest, WithoutWineTheFailureSaysSo) {
  drive_.Write("C:\\TavKorea\\KW_Update.Bat", "@echo off\r\n");
  ScopedEnv no_wine("WINE", std::nullopt);
  ScopedEnv path("PATH", bin_.string());  // Holds only "fake-wine".
  const Failure failure =
      FailureOf([&] { processes_.StartBatchFile("C:\\TavKorea\\KW_Update.Bat"); });
  EXPECT_EQ(failure.number(), error::kCannotStart);
  EXPECT_THAT(failure.description(), HasSubstr("Wine"));
  EXPECT_THAT(failure.description(), HasSubstr("C:\\TavKorea\\KW_Update.Bat"));
}

TEST_F(WineLauncherTest, AWineThatCannotRunOrRefusesIsReported) {
  drive_.Write("C:\\TavKorea\\KW_Update.Bat", "@echo off\r\n");
  const fs::path not_executable = bin_ / "not-executable";
  std::ofstream(not_executable) << kFakeWine;
  fs::permissions(not_executable, fs::perms(0644));
  // As Wine refuses a prefix it cannot use: a message on the error stream and a failure status.
  const fs::path refusing = bin_ / "refusing-wine";
  std::ofstream(refusing) << "#!/bin/sh\necho 'wine: invalid directory' >&2\nexit 3\n";
  fs::permissions(refusing, fs::perms(0755));

  const struct {
    fs::path wine;
    std::string says;
  } cases[] = {
      {bin_ / "missing-wine", "No such file"},
      {not_executable, "Permission denied"},
      {refusing,
       "in the Wine prefix " + drive_.prefix().string() + ": it ended with exit status 3"},
  };
  for (const auto& c : cases) {
    ScopedEnv env("WINE", c.wine.string());
    const Failure failure =
        FailureOf([&] { processes_.StartBatchFile("C:\\TavKorea\\KW_Update.Bat"); });
    EXPECT_EQ(failure.number(), error::kCannotStart) << c.wine;
    EXPECT_THAT(failure.description(), HasSubstr(c.wine.string()));
    EXPECT_THAT(failure.description(), HasSubstr(c.says));
  }
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
}

}  // namespace
}  // namespace kw
