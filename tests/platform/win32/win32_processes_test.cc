// What only Windows processes show: the batch file's console, working folder and quoting. What
// every platform does is the Processes contract suite's (win32_contract_test.cc).
#include "platform/win32/win32_processes.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "platform/ascii.h"
#include "platform/failure.h"
#include "platform/win32/system_message.h"
#include "platform/win32/wide_text.h"
#include "support/failure_of.h"
#include "test_folder.h"

namespace kw {
namespace {

using ::kw::testing::BesideThisProgram;
using ::kw::testing::FailureOf;
using ::kw::testing::TestFolder;
using ::testing::AllOf;
using ::testing::HasSubstr;

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

class Win32BatchFileTest : public ::testing::Test {
 protected:
  void WriteBatchFile(std::string_view relative) {
    std::string content(kBatchFile);
    const std::string probe = BesideThisProgram("kw_test_probe.exe");
    content.replace(content.find("{probe}"), 7, probe);
    folder_.Write(relative, content);
  }

  TestFolder folder_;
  Win32Processes processes_;
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
