// The Toolhelp32 terminator and the batch start, on real child processes.
#include "platform/win32/win32_processes.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/ascii.h"
#include "platform/failure.h"
#include "platform/win32/system_message.h"
#include "platform/win32/wide_text.h"
#include "platform/win32/win32_handles.h"
#include "support/failure_of.h"
#include "test_folder.h"
#include "update/bas_common.h"

namespace kw {
namespace {

using ::kw::testing::BesideThisProgram;
using ::kw::testing::FailureOf;
using ::kw::testing::TestFolder;
using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

constexpr DWORD kEndedExitCode = 1;
constexpr DWORD kPatience = 10'000;  // Milliseconds; Wine starts a process in well under one.

std::vector<std::string> NamesOf(const std::vector<RunningProcess>& processes, DWORD id) {
  for (const RunningProcess& process : processes) {
    if (process.id == id) return process.image_names;
  }
  ADD_FAILURE() << "process " << id << " is not in the list";
  return {};
}

bool FileExists(const std::string& path) {
  return ::GetFileAttributesW(Widen(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Waits for a file that another process writes, and returns its content.
std::string WaitForFile(const TestFolder& folder, std::string_view relative) {
  for (int i = 0; i < 1000 && !FileExists(folder / relative); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (!FileExists(folder / relative)) {
    ADD_FAILURE() << folder / relative << " never appeared";
    return "";
  }
  return folder.Read(relative);
}

class Win32ProcessesTest : public ::testing::Test {
 protected:
  ~Win32ProcessesTest() override {
    for (const UniqueKernelHandle& child : children_) ::TerminateProcess(child.get(), 0);
  }

  // Starts a copy of the sleeper saved as `relative` in the test folder.
  HANDLE Start(std::string_view relative) {
    const std::wstring program = Widen(folder_ / relative);
    // A copy that runs already cannot be written to.
    if (::GetFileAttributesW(program.c_str()) == INVALID_FILE_ATTRIBUTES) {
      EXPECT_TRUE(::CopyFileW(Widen(BesideThisProgram("kw_test_sleeper.exe")).c_str(),
                              program.c_str(), TRUE))
          << SystemMessage(::GetLastError());
    }
    std::wstring command_line = L"\"" + program + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    EXPECT_TRUE(::CreateProcessW(program.c_str(), command_line.data(), nullptr, nullptr, FALSE, 0,
                                 nullptr, nullptr, &startup, &started))
        << SystemMessage(::GetLastError());
    const UniqueKernelHandle thread(started.hThread);
    children_.emplace_back(started.hProcess);
    return started.hProcess;
  }

  static bool EndsWithin(HANDLE process, DWORD milliseconds) {
    return ::WaitForSingleObject(process, milliseconds) == WAIT_OBJECT_0;
  }

  static DWORD ExitCodeOf(HANDLE process) {
    DWORD code = 0;
    ::GetExitCodeProcess(process, &code);
    return code;
  }

  TestFolder folder_;
  Win32Processes processes_;
  std::vector<UniqueKernelHandle> children_;
};

TEST_F(Win32ProcessesTest, TheSnapshotNamesEachProcessByItsImage) {
  folder_.MakeFolder("TavKorea");
  const HANDLE kw = Start("TavKorea\\KW.exe");
  const HANDLE xkw = Start("TavKorea\\XKW.exe");

  const std::vector<RunningProcess> running = processes_.Running();
  EXPECT_THAT(NamesOf(running, ::GetProcessId(kw)), ElementsAre("KW.exe"));
  EXPECT_THAT(NamesOf(running, ::GetProcessId(xkw)), ElementsAre("XKW.exe"));
  EXPECT_THAT(NamesOf(running, ::GetCurrentProcessId()),
              ElementsAre(HasSubstr("win32_platform_tests")));
  EXPECT_EQ(processes_.CurrentId(), static_cast<std::int64_t>(::GetCurrentProcessId()));
}

TEST_F(Win32ProcessesTest, KillProcessByNameEndsEveryCopyWhateverItsCase) {
  folder_.MakeFolder("TavKorea");
  folder_.MakeFolder("Other");
  const std::vector<HANDLE> ended = {Start("TavKorea\\KW.exe"), Start("TavKorea\\KW.exe"),
                                     Start("Other\\kw.exe")};
  const HANDLE longer = Start("TavKorea\\XKW.exe");
  const HANDLE other = Start("TavKorea\\KZ.exe");

  basCommon::KillProcessByName(processes_, "KW.exe");
  for (const HANDLE process : ended) {
    ASSERT_TRUE(EndsWithin(process, kPatience));
    EXPECT_EQ(ExitCodeOf(process), kEndedExitCode);
  }
  EXPECT_FALSE(EndsWithin(longer, 0));
  EXPECT_FALSE(EndsWithin(other, 0));

  basCommon::KillProcessByName(processes_, "kz.EXE");
  EXPECT_TRUE(EndsWithin(other, kPatience));
  EXPECT_FALSE(EndsWithin(longer, 0));
}

TEST_F(Win32ProcessesTest, KillProcessByNameNeverEndsTheUpdater) {
  wchar_t self[MAX_PATH];
  const std::string self_path = Narrow({self, ::GetModuleFileNameW(nullptr, self, MAX_PATH)});
  const std::string own_name = self_path.substr(self_path.find_last_of('\\') + 1);
  const HANDLE namesake = Start(own_name);

  basCommon::KillProcessByName(processes_, own_name);
  // This process is still here to see its namesake ended.
  EXPECT_TRUE(EndsWithin(namesake, kPatience));
}

TEST_F(Win32ProcessesTest, EndLeavesTheUpdaterAndVanishedProcessesAlone) {
  EXPECT_FALSE(processes_.End(::GetCurrentProcessId()));
  EXPECT_FALSE(processes_.End(0));
  EXPECT_FALSE(processes_.End(std::int64_t{1} << 40));

  const HANDLE child = Start("KW.exe");
  const DWORD id = ::GetProcessId(child);
  EXPECT_TRUE(processes_.End(id));
  ASSERT_TRUE(EndsWithin(child, kPatience));
  // Its id is free now (the handle held here keeps it from being reused).
  EXPECT_FALSE(processes_.End(id));
}

// --- Batch files ---

// Records its working folder and, through the probe, what its console looks like; then waits
// for "go" so that the test can see StartBatchFile return before the batch file ends. Each
// record is renamed into place once written, so that the test never reads half of one.
constexpr std::string_view kBatchFile =
    "@echo off\r\n"
    "cd > where.tmp\r\n"
    "ren where.tmp where.txt\r\n"
    "\"{probe}\" console console.tmp\r\n"
    "ren console.tmp console.txt\r\n"
    "set n=0\r\n"
    ":wait\r\n"
    "set /a n+=1\r\n"
    "if not exist go.txt if %n% lss 20000 goto wait\r\n"
    "echo done> done.tmp\r\n"
    "ren done.tmp done.txt\r\n";

class Win32BatchFileTest : public Win32ProcessesTest {
 protected:
  void WriteBatchFile(std::string_view relative) {
    std::string content(kBatchFile);
    const std::string probe = BesideThisProgram("kw_test_probe.exe");
    content.replace(content.find("{probe}"), 7, probe);
    folder_.Write(relative, content);
  }
};

TEST_F(Win32BatchFileTest, RunsInItsOwnFolderAndConsoleUnwaited) {
  // Blanks and "&" must not split the path.
  folder_.MakeFolder("Tav Korea & Co");
  WriteBatchFile("Tav Korea & Co\\KW_Update.Bat");

  processes_.StartBatchFile(folder_ / "tav korea & co\\kw_update.bat");
  const std::string working_folder = WaitForFile(folder_, "Tav Korea & Co\\where.txt");
  EXPECT_TRUE(EqualsIgnoringAsciiCase(working_folder, folder_ / "Tav Korea & Co" + "\r\n"))
      << working_folder;
  // The updater has no console window; the batch file gets one of its own, on screen.
  EXPECT_EQ(WaitForFile(folder_, "Tav Korea & Co\\console.txt"), "window=1 visible=1");
  EXPECT_FALSE(FileExists(folder_ / "Tav Korea & Co\\done.txt"))
      << "the batch file ended before it was let go";

  folder_.Write("Tav Korea & Co\\go.txt", "");
  EXPECT_EQ(WaitForFile(folder_, "Tav Korea & Co\\done.txt"), "done\r\n");
}

TEST_F(Win32BatchFileTest, AMissingBatchFileFailsWithTheSystemsDescription) {
  folder_.MakeFolder("TavKorea");
  const Failure missing_file =
      FailureOf([&] { processes_.StartBatchFile(folder_ / "TavKorea\\KW_Update.Bat"); });
  EXPECT_EQ(missing_file.number(), error::kFileNotFound);
  EXPECT_THAT(missing_file.description(), AllOf(HasSubstr(folder_ / "TavKorea\\KW_Update.Bat"),
                                                HasSubstr(SystemMessage(ERROR_FILE_NOT_FOUND))));

  const Failure missing_folder =
      FailureOf([&] { processes_.StartBatchFile(folder_ / "Gone\\KW_Update.Bat"); });
  EXPECT_EQ(missing_folder.number(), error::kPathNotFound);
  EXPECT_THAT(missing_folder.description(), AllOf(HasSubstr(folder_ / "Gone\\KW_Update.Bat"),
                                                  HasSubstr(SystemMessage(ERROR_PATH_NOT_FOUND))));
}

}  // namespace
}  // namespace kw
