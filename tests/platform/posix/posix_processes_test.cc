#include "platform/posix/posix_processes.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <linux/sched.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/failure.h"
#include "platform/posix/child_check.h"
#include "support/failure_of.h"
#include "support/temp_drive.h"

namespace kw {
namespace {

namespace fs = std::filesystem;
using ::kw::testing::FailureOf;
using ::kw::testing::ScopedEnv;
using ::kw::testing::TempDrive;
using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;

std::vector<std::string> NamesOf(const std::vector<RunningProcess>& processes, pid_t id) {
  for (const RunningProcess& process : processes) {
    if (process.id == id) return process.image_names;
  }
  ADD_FAILURE() << "process " << id << " is not in the list";
  return {};
}

class PosixProcessesTest : public ::testing::Test {
 protected:
  ~PosixProcessesTest() override {
    for (const pid_t child : children_) {
      kill(child, SIGKILL);
      waitpid(child, nullptr, 0);
    }
  }

  // A copy of the sleeper under `windows_path` on the drive.
  fs::path Install(std::string_view windows_path) {
    const fs::path host = drive_.Host(windows_path);
    fs::create_directories(host.parent_path());
    fs::copy_file(KW_TEST_SLEEPER, host, fs::copy_options::overwrite_existing);
    return host;
  }

  // Starts `program` with exactly `argv` and returns once the child runs it. With `id`, the
  // child gets that process id (clone3's set_tid, which needs CAP_SYS_ADMIN over the pid
  // namespace), or nothing starts and the result is -1 with errno set.
  pid_t Start(const fs::path& program, const std::vector<std::string>& argv,
              std::optional<pid_t> id = std::nullopt) {
    std::vector<char*> raw;
    for (const std::string& argument : argv) raw.push_back(const_cast<char*>(argument.c_str()));
    raw.push_back(nullptr);
    int report[2];
    EXPECT_EQ(pipe2(report, O_CLOEXEC), 0);
    pid_t wanted = id.value_or(0);
    clone_args args{};
    args.exit_signal = SIGCHLD;
    if (id) {
      args.set_tid = reinterpret_cast<std::uintptr_t>(&wanted);
      args.set_tid_size = 1;
    }
    const pid_t child = static_cast<pid_t>(syscall(SYS_clone3, &args, sizeof args));
    if (child == 0) {
      execv(program.c_str(), raw.data());
      const int err = errno;
      [[maybe_unused]] const ssize_t ignored = write(report[1], &err, sizeof err);
      _exit(127);
    }
    const int clone_error = errno;
    close(report[1]);
    if (child < 0) {
      close(report[0]);
      errno = clone_error;
      return -1;
    }
    int exec_error = 0;
    // The pipe closes without a word when exec succeeds.
    EXPECT_EQ(read(report[0], &exec_error, sizeof exec_error), 0) << strerror(exec_error);
    close(report[0]);
    children_.push_back(child);
    return child;
  }

  pid_t Start(const fs::path& program) { return Start(program, {program.string()}); }

  // Reaps a child this test ended, and returns its wait status.
  int Reap(pid_t child) {
    int status = 0;
    EXPECT_EQ(waitpid(child, &status, 0), child);
    std::erase(children_, child);
    return status;
  }

  // What EndProcesses offers, ending nothing.
  std::vector<RunningProcess> Offered() {
    std::vector<RunningProcess> offered;
    processes_.EndProcesses([&](const RunningProcess& process) {
      offered.push_back(process);
      return false;
    });
    return offered;
  }

  TempDrive drive_;
  PosixProcesses processes_;
  std::vector<pid_t> children_;
};

// --- The process list ---

TEST_F(PosixProcessesTest, AWindowsArgumentZeroNamesTheProgram) {
  const fs::path sleeper = Install("C:\\Bin\\sleeper");
  const pid_t windows_style = Start(sleeper, {"C:\\TavKorea\\KW.exe"});
  const pid_t under_loader =
      Start(sleeper, {"/usr/lib/wine/wine64-preloader", "C:\\TavKorea\\KW.exe", "/nologo"});
  const pid_t plain_argument = Start(sleeper, {"sleeper", "C:\\TavKorea\\KW.exe"});

  const std::vector<RunningProcess> running = Offered();
  EXPECT_THAT(NamesOf(running, windows_style), Contains("KW.exe"));
  EXPECT_THAT(NamesOf(running, windows_style), Contains("sleeper"));
  EXPECT_THAT(NamesOf(running, under_loader), Contains("KW.exe"));
  EXPECT_THAT(NamesOf(running, under_loader), Contains("wine64-preloader"));
  EXPECT_THAT(NamesOf(running, plain_argument), Not(Contains("KW.exe")));
}

TEST_F(PosixProcessesTest, ADeletedExecutableKeepsItsName) {
  const fs::path kw = Install("C:\\TavKorea\\KW.exe");
  const pid_t child = Start(kw, {"renamed"});
  fs::remove(kw);
  EXPECT_THAT(NamesOf(Offered(), child), Contains("KW.exe"));
}

// --- Ending processes ---

TEST_F(PosixProcessesTest, TheChosenAreSentSigkill) {
  const pid_t child = Start(Install("C:\\TavKorea\\KW.exe"));
  const auto is_child = [&](const RunningProcess& process) { return process.id == child; };
  EXPECT_EQ(processes_.EndProcesses(is_child), 1);
  const int status = Reap(child);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGKILL);

  // Gone, and its id is free.
  EXPECT_EQ(processes_.EndProcesses(is_child), 0);
}

TEST_F(PosixProcessesTest, AnIdGivenToAnotherProcessDuringTheScanIsNeverHit) {
  const fs::path kw = Install("C:\\TavKorea\\KW.exe");
  const pid_t offered = Start(kw);
  pid_t successor = -1;
  int successor_error = 0;
  const int ended = processes_.EndProcesses([&](const RunningProcess& process) {
    if (process.id != offered) return false;
    // Between the choice and the kill, the chosen process ends and its id is reused.
    kill(offered, SIGKILL);
    Reap(offered);
    successor = Start(kw, {"successor"}, offered);
    successor_error = errno;
    return true;
  });
  if (successor < 0)
    GTEST_SKIP() << "cannot give a process a chosen id: " << strerror(successor_error);
  EXPECT_EQ(ended, 0);
  EXPECT_EQ(waitpid(successor, nullptr, WNOHANG), 0) << "the process that took the id was ended";
}

TEST_F(PosixProcessesTest, WithoutPidfdNothingIsEndedAndTheFailureSaysWhy) {
  const pid_t kw = Start(Install("C:\\TavKorea\\KW.exe"));
  const std::string outcome = kw::testing::TextFromAChild([] {
    std::string blocked = kw::testing::BlockSystemCall(SYS_pidfd_open, ENOSYS);
    if (!blocked.empty()) return blocked;
    try {
      PosixProcesses().EndProcesses([](const RunningProcess&) { return true; });
      return std::string("no failure");
    } catch (const Failure& failure) {
      return std::to_string(failure.number()) + " " + failure.description();
    }
  });
  if (outcome.starts_with("cannot") || outcome.starts_with("no seccomp")) GTEST_SKIP() << outcome;
  EXPECT_THAT(outcome, HasSubstr(std::to_string(error::kProcessList) + " "));
  EXPECT_THAT(outcome, HasSubstr("Linux 5.3"));
  EXPECT_EQ(waitpid(kw, nullptr, WNOHANG), 0);
}

}  // namespace
}  // namespace kw
