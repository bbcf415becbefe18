// The contract suites of the seams, run on the POSIX implementations: the drivers that give
// them a Wine prefix of their own, real child processes and a lock file of their own.

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/contract/crypto_contract.h"
#include "platform/contract/file_system_contract.h"
#include "platform/contract/instance_guard_contract.h"
#include "platform/contract/processes_contract.h"
#include "platform/failure.h"
#include "platform/posix/flock_instance_guard.h"
#include "platform/posix/openssl_crypto.h"
#include "platform/posix/posix_file_system.h"
#include "platform/posix/posix_processes.h"
#include "support/temp_drive.h"

namespace kw::testing {
namespace {

namespace fs = std::filesystem;

// Drive C: of a Wine prefix of the test's own.
class PosixFileSystemDriver final : public FileSystemDriver {
 public:
  FileSystem& files() override { return files_; }
  std::string Root() override {
    drive_.MakeFolder("C:\\Contract");
    return "C:\\Contract";
  }
  void Write(std::string_view path, std::string_view content) override {
    drive_.Write(path, content);
  }
  void MakeFolder(std::string_view path) override { drive_.MakeFolder(path); }
  std::string Read(std::string_view path) override { return drive_.Read(path); }
  std::vector<std::string> List(std::string_view folder) override { return drive_.List(folder); }
  std::string AddHidden(std::string_view parent, std::string_view name, bool as_folder) override {
    const std::string hidden = "." + std::string(name);
    const std::string path = std::string(parent) + "\\" + hidden;
    if (as_folder) {
      drive_.MakeFolder(path);
    } else {
      drive_.Write(path, "");
    }
    return hidden;
  }
  // Nothing keeps a POSIX program from replacing or deleting a file another one has open.
  bool Hold(std::string_view) override { return false; }

 private:
  TempDrive drive_;
  PosixFileSystem files_;  // After drive_, so that it sees the drive's WINEPREFIX.
};

// Children of the test process, copies of the sleeper on a drive of their own.
class PosixProcessesDriver final : public ProcessesDriver {
 public:
  ~PosixProcessesDriver() override {
    for (const pid_t child : children_) {
      kill(child, SIGKILL);
      waitpid(child, nullptr, 0);
    }
  }

  Processes& processes() override { return processes_; }
  std::int64_t OwnId() override { return getpid(); }

  std::int64_t StartCopy(std::string_view relative_path) override {
    const fs::path program = drive_.Host("C:\\Programs\\" + std::string(relative_path));
    // A copy that runs already cannot be written over (ETXTBSY), and need not be.
    if (!fs::exists(program)) {
      fs::create_directories(program.parent_path());
      fs::copy_file(KW_TEST_SLEEPER, program);
    }
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) throw std::runtime_error(std::strerror(errno));
    const pid_t child = fork();
    if (child == 0) {
      execl(program.c_str(), program.c_str(), nullptr);
      const int err = errno;
      [[maybe_unused]] const ssize_t ignored = write(report[1], &err, sizeof err);
      _exit(127);
    }
    close(report[1]);
    int exec_error = 0;
    // The pipe closes without a word when exec succeeds.
    const ssize_t got = read(report[0], &exec_error, sizeof exec_error);
    close(report[0]);
    if (child < 0 || got != 0) {
      throw std::runtime_error("cannot start " + program.string() + ": " +
                               std::strerror(child < 0 ? errno : exec_error));
    }
    children_.push_back(child);
    return child;
  }

  bool WaitUntilEnded(std::int64_t id) override {
    for (int i = 0; i < 1000; ++i) {
      if (waitpid(static_cast<pid_t>(id), nullptr, WNOHANG) == id) {
        std::erase(children_, id);
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  bool StillRunning(std::int64_t id) override {
    return waitpid(static_cast<pid_t>(id), nullptr, WNOHANG) == 0;
  }

  std::string EmptyFolder() override {
    drive_.MakeFolder("C:\\Empty");
    return "C:\\Empty";
  }

 private:
  TempDrive drive_;
  PosixProcesses processes_;
  std::vector<pid_t> children_;
};

// A lock file in a folder of the test's own.
class FlockInstanceGuardDriver final : public InstanceGuardDriver {
 public:
  std::unique_ptr<InstanceGuard> NewGuard() override {
    return std::make_unique<FlockInstanceGuard>(lock_path_);
  }

  bool AnswerInAnotherProcess() override {
    const pid_t child = fork();
    if (child == 0) {
      try {
        FlockInstanceGuard guard(lock_path_);
        _exit(guard.AnotherInstanceRunning() ? 1 : 0);
      } catch (const Failure&) {
        _exit(2);
      }
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 2) << "the guard failed";
    return WIFEXITED(status) && WEXITSTATUS(status) == 1;
  }

 private:
  TempDrive folder_;
  fs::path lock_path_ = folder_.prefix() / "kw_update.lock";
};

INSTANTIATE_TEST_SUITE_P(Posix, FileSystemContract,
                         ::testing::Values(FileSystemImplementation{
                             "PosixFileSystem",
                             [] { return std::make_unique<PosixFileSystemDriver>(); }}),
                         FileSystemImplementation::Name);

INSTANTIATE_TEST_SUITE_P(Posix, ProcessesContract,
                         ::testing::Values(ProcessesImplementation{
                             "PosixProcesses",
                             [] { return std::make_unique<PosixProcessesDriver>(); }}),
                         ProcessesImplementation::Name);

INSTANTIATE_TEST_SUITE_P(Posix, InstanceGuardContract,
                         ::testing::Values(InstanceGuardImplementation{
                             "FlockInstanceGuard",
                             [] { return std::make_unique<FlockInstanceGuardDriver>(); }}),
                         InstanceGuardImplementation::Name);

INSTANTIATE_TEST_SUITE_P(Posix, CryptoContract,
                         ::testing::Values(CryptoImplementation{
                             "OpenSslCrypto", [] { return std::make_unique<OpenSslCrypto>(); }}),
                         CryptoImplementation::Name);

}  // namespace
}  // namespace kw::testing
