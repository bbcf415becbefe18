// The contract suites of the seams, run on the Win32 implementations: drivers that give them a
// folder of their own on the real drive, real child processes and a mutex name of their own.

#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "platform/contract/crypto_contract.h"
#include "platform/contract/file_system_contract.h"
#include "platform/contract/instance_guard_contract.h"
#include "platform/contract/processes_contract.h"
#include "platform/win32/cng_crypto.h"
#include "platform/win32/mutex_instance_guard.h"
#include "platform/win32/system_message.h"
#include "platform/win32/wide_text.h"
#include "platform/win32/win32_file_system.h"
#include "platform/win32/win32_handles.h"
#include "platform/win32/win32_processes.h"
#include "test_folder.h"

namespace kw::testing {
namespace {

constexpr DWORD kPatience = 10'000;  // Milliseconds.

// Starts `program`; the handle of its process, or a test failure and none.
UniqueKernelHandle StartProgram(const std::wstring& program, std::wstring arguments = L"") {
  std::wstring command_line = L"\"" + program + L"\"" + arguments;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started{};
  if (!::CreateProcessW(program.c_str(), command_line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &started)) {
    ADD_FAILURE() << "cannot start " << Narrow(program) << ": " << SystemMessage(::GetLastError());
    return {};
  }
  const UniqueKernelHandle thread(started.hThread);
  return UniqueKernelHandle(started.hProcess);
}

// A folder of the test's own under the user's temporary folder.
class Win32FileSystemDriver final : public FileSystemDriver {
 public:
  FileSystem& files() override { return files_; }
  std::string Root() override { return folder_.path(); }
  void Write(std::string_view path, std::string_view content) override {
    WriteFileAt(path, content);
  }
  void MakeFolder(std::string_view path) override { MakeFolderAt(path); }
  std::string Read(std::string_view path) override { return ReadFileAt(path); }
  std::vector<std::string> List(std::string_view folder) override { return ListFolderAt(folder); }
  std::string AddHidden(std::string_view parent, std::string_view name, bool as_folder) override {
    const std::string path = std::string(parent) + "\\" + std::string(name);
    if (as_folder) {
      MakeFolderAt(path, FILE_ATTRIBUTE_HIDDEN);
    } else {
      WriteFileAt(path, "", FILE_ATTRIBUTE_HIDDEN);
    }
    return std::string(name);
  }
  // Open with no sharing at all, as a program that wants a file to itself opens it.
  bool Hold(std::string_view path) override {
    UniqueFileHandle held(
        ::CreateFileW(Widen(path).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!held) throw std::runtime_error("cannot hold " + std::string(path));
    held_.push_back(std::move(held));
    return true;
  }

 private:
  TestFolder folder_;
  Win32FileSystem files_;
  std::vector<UniqueFileHandle> held_;  // After folder_: closed before it is removed.
};

// Children of the test process, copies of the sleeper in a folder of their own.
class Win32ProcessesDriver final : public ProcessesDriver {
 public:
  // Waits for the children to go, so that their programs can be removed with the folder.
  ~Win32ProcessesDriver() override {
    for (const auto& [id, process] : children_) ::TerminateProcess(process.get(), 0);
    for (const auto& [id, process] : children_) ::WaitForSingleObject(process.get(), kPatience);
  }

  Processes& processes() override { return processes_; }
  std::int64_t OwnId() override { return ::GetCurrentProcessId(); }

  std::int64_t StartCopy(std::string_view relative_path) override {
    const std::string program = folder_ / ("Programs\\" + std::string(relative_path));
    // A copy that runs already cannot be written over, and need not be.
    if (::GetFileAttributesW(Widen(program).c_str()) == INVALID_FILE_ATTRIBUTES) {
      WriteFileAt(program, ReadFileAt(BesideThisProgram("kw_test_sleeper.exe")));
    }
    UniqueKernelHandle process = StartProgram(Widen(program));
    if (!process) throw std::runtime_error("cannot start " + program);
    const DWORD id = ::GetProcessId(process.get());
    children_.emplace(id, std::move(process));
    return id;
  }

  bool WaitUntilEnded(std::int64_t id) override {
    return ::WaitForSingleObject(Child(id), kPatience) == WAIT_OBJECT_0;
  }
  bool StillRunning(std::int64_t id) override {
    return ::WaitForSingleObject(Child(id), 0) == WAIT_TIMEOUT;
  }

  std::string EmptyFolder() override {
    folder_.MakeFolder("Empty");
    return folder_ / "Empty";
  }

 private:
  HANDLE Child(std::int64_t id) {
    const auto child = children_.find(id);
    if (child == children_.end()) throw std::runtime_error("not a child: " + std::to_string(id));
    return child->second.get();
  }

  TestFolder folder_;
  Win32Processes processes_;
  // The handles keep the ids from passing to other processes while the test looks at them.
  std::map<std::int64_t, UniqueKernelHandle> children_;
};

// A mutex name of the test's own in the session's namespace; the other process is the probe.
class MutexInstanceGuardDriver final : public InstanceGuardDriver {
 public:
  MutexInstanceGuardDriver() {
    static int count = 0;
    name_ = "Local\\KW_Update.Contract-" + std::to_string(::GetCurrentProcessId()) + "-" +
            std::to_string(++count);
  }

  std::unique_ptr<InstanceGuard> NewGuard() override {
    return std::make_unique<MutexInstanceGuard>(name_);
  }

  bool AnswerInAnotherProcess() override {
    const UniqueKernelHandle probe =
        StartProgram(Widen(BesideThisProgram("kw_test_probe.exe")), L" guard " + Widen(name_));
    if (!probe) return false;
    EXPECT_EQ(::WaitForSingleObject(probe.get(), kPatience), WAIT_OBJECT_0);
    DWORD code = 2;
    ::GetExitCodeProcess(probe.get(), &code);
    EXPECT_LE(code, 1u) << "the guard failed in the probe";
    return code == 1;
  }

 private:
  std::string name_;
};

INSTANTIATE_TEST_SUITE_P(Win32, FileSystemContract,
                         ::testing::Values(FileSystemImplementation{
                             "Win32FileSystem",
                             [] { return std::make_unique<Win32FileSystemDriver>(); }}),
                         FileSystemImplementation::Name);

INSTANTIATE_TEST_SUITE_P(Win32, ProcessesContract,
                         ::testing::Values(ProcessesImplementation{
                             "Win32Processes",
                             [] { return std::make_unique<Win32ProcessesDriver>(); }}),
                         ProcessesImplementation::Name);

INSTANTIATE_TEST_SUITE_P(Win32, InstanceGuardContract,
                         ::testing::Values(InstanceGuardImplementation{
                             "MutexInstanceGuard",
                             [] { return std::make_unique<MutexInstanceGuardDriver>(); }}),
                         InstanceGuardImplementation::Name);

INSTANTIATE_TEST_SUITE_P(Win32, CryptoContract,
                         ::testing::Values(CryptoImplementation{
                             "CngCrypto", [] { return std::make_unique<CngCrypto>(); }}),
                         CryptoImplementation::Name);

}  // namespace
}  // namespace kw::testing
