// What only the Windows file system shows: the system and read-only attributes, files other
// programs share in part, drive roots, and names that need UTF-16. What every file system does
// is the FileSystem contract suite's (win32_contract_test.cc).
#include "platform/win32/win32_file_system.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/failure.h"
#include "platform/win32/system_message.h"
#include "platform/win32/wide_text.h"
#include "platform/win32/win32_handles.h"
#include "support/failure_of.h"
#include "test_folder.h"

namespace kw {
namespace {

using ::kw::testing::FailureOf;
using ::kw::testing::TestFolder;
using ::testing::AllOf;
using ::testing::HasSubstr;

using Names = std::vector<std::string>;

class Win32FileSystemTest : public ::testing::Test {
 protected:
  // Opens a file as another program would, sharing only what `share` allows.
  UniqueFileHandle HoldOpen(std::string_view relative, DWORD share) {
    UniqueFileHandle file(::CreateFileW(Widen(folder_ / relative).c_str(), GENERIC_READ, share,
                                        nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_TRUE(file) << SystemMessage(::GetLastError());
    return file;
  }

  TestFolder folder_;
  Win32FileSystem files_;
};

TEST_F(Win32FileSystemTest, SystemEntriesAreUnseenAndReadOnlyFilesAreNotDeleted) {
  folder_.MakeFolder("Stage");
  folder_.Write("Stage\\system.txt", "s", FILE_ATTRIBUTE_SYSTEM);
  folder_.Write("Stage\\both.txt", "b", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
  folder_.MakeFolder("Stage\\SystemFolder", FILE_ATTRIBUTE_SYSTEM);
  EXPECT_FALSE(files_.Exists(folder_ / "Stage\\system.txt"));
  EXPECT_FALSE(files_.Exists(folder_ / "Stage\\SystemFolder"));
  // A staging folder holding only these counts as empty, and is left alone.
  EXPECT_TRUE(files_.FilesMatching(folder_ / "Stage\\*.*").empty());
  EXPECT_EQ(FailureOf([&] { files_.DeleteFiles(folder_ / "Stage\\*.*"); }).number(),
            error::kFileNotFound);

  folder_.Write("Stage\\visible.txt", "v");
  folder_.Write("Stage\\readonly.txt", "r", FILE_ATTRIBUTE_READONLY);
  // A read-only file is an ordinary file: it is seen, and deleting it is refused.
  const Failure failure = FailureOf([&] { files_.DeleteFiles(folder_ / "Stage\\*.txt"); });
  EXPECT_EQ(failure.number(), error::kPermissionDenied);
  EXPECT_THAT(failure.description(),
              AllOf(HasSubstr(folder_ / "Stage\\readonly.txt"), HasSubstr("read-only")));
  EXPECT_EQ(folder_.List("Stage"),
            (Names{"SystemFolder", "both.txt", "readonly.txt", "system.txt"}));
}

TEST_F(Win32FileSystemTest, ADriveRootExists) {
  EXPECT_TRUE(files_.Exists(folder_.path().substr(0, 3)));
  EXPECT_FALSE(files_.Exists("relative\\path"));
  const Failure failure = FailureOf([&] { files_.CreateFolder("relative\\path"); });
  EXPECT_EQ(failure.number(), error::kPathNotFound);
  EXPECT_THAT(failure.description(), HasSubstr("relative\\path"));
}

TEST_F(Win32FileSystemTest, KoreanNamesReachTheDiskAsUtf16) {
  files_.CreateFolder(folder_ / "자료");
  std::unique_ptr<WritableFile> file = files_.OpenForWriting(folder_ / "자료\\가나.txt");
  file->Append(std::as_bytes(std::span(std::string_view("내용"))));
  file->Close();

  const std::wstring on_disk = Widen(folder_.path()) + L"\\\uC790\uB8CC\\\uAC00\uB098.txt";
  EXPECT_NE(::GetFileAttributesW(on_disk.c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_TRUE(files_.Exists(folder_ / "자료\\가나.txt"));
  // "?" is one character, however many bytes it takes in UTF-8.
  EXPECT_FALSE(files_.FilesMatching(folder_ / "자료\\??.txt").empty());
  files_.CopyFile(folder_ / "자료\\가나.txt", folder_ / "자료\\다.txt");
  EXPECT_EQ(folder_.Read("자료\\다.txt"), "내용");
  files_.DeleteFiles(folder_ / "자료\\?.txt");
  EXPECT_EQ(folder_.List("자료"), (Names{"가나.txt"}));
}

TEST_F(Win32FileSystemTest, CopyIsVisibleAndKeepsTheSourceTime) {
  folder_.Write("new.exe", "new");
  folder_.Write("KW.exe", "old", FILE_ATTRIBUTE_HIDDEN);
  FILETIME old_time{};
  old_time.dwHighDateTime = 0x01D00000;  // In 2014.
  {
    const UniqueFileHandle source(::CreateFileW(Widen(folder_ / "new.exe").c_str(),
                                                FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0,
                                                nullptr));
    ASSERT_TRUE(::SetFileTime(source.get(), nullptr, nullptr, &old_time));
  }

  files_.CopyFile(folder_ / "new.exe", folder_ / "KW.exe");
  EXPECT_EQ(folder_.Read("KW.exe"), "new");
  EXPECT_TRUE(files_.Exists(folder_ / "KW.exe"));
  WIN32_FILE_ATTRIBUTE_DATA copied{};
  ASSERT_TRUE(
      ::GetFileAttributesExW(Widen(folder_ / "KW.exe").c_str(), GetFileExInfoStandard, &copied));
  EXPECT_EQ(copied.dwFileAttributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM), 0u);
  EXPECT_EQ(::CompareFileTime(&copied.ftLastWriteTime, &old_time), 0);
  EXPECT_EQ(folder_.List(), (Names{"KW.exe", "new.exe"}));
}

TEST_F(Win32FileSystemTest, ADestinationOpenWithoutDeleteSharingIsLeftAsItWas) {
  folder_.Write("new.exe", "new");
  folder_.Write("KW.exe", "old");
  {
    // Others may read and write it, but not replace it.
    const UniqueFileHandle held = HoldOpen("KW.exe", FILE_SHARE_READ | FILE_SHARE_WRITE);
    const Failure failure =
        FailureOf([&] { files_.CopyFile(folder_ / "new.exe", folder_ / "KW.exe"); });
    EXPECT_EQ(failure.number(), error::kPermissionDenied);
    EXPECT_THAT(failure.description(),
                AllOf(HasSubstr(folder_ / "KW.exe"), HasSubstr("another program")));
    EXPECT_EQ(folder_.List(), (Names{"KW.exe", "new.exe"}));
    EXPECT_EQ(folder_.Read("KW.exe"), "old");
  }
  // Once the other program lets go, the same copy goes through.
  files_.CopyFile(folder_ / "new.exe", folder_ / "KW.exe");
  EXPECT_EQ(folder_.Read("KW.exe"), "new");
}

TEST_F(Win32FileSystemTest, AReadOnlyDestinationIsLeftAsItWas) {
  folder_.Write("new.exe", "new");
  folder_.Write("KW.exe", "old", FILE_ATTRIBUTE_READONLY);
  const Failure failure =
      FailureOf([&] { files_.CopyFile(folder_ / "new.exe", folder_ / "KW.exe"); });
  EXPECT_EQ(failure.number(), error::kPermissionDenied);
  EXPECT_THAT(failure.description(), AllOf(HasSubstr(folder_ / "KW.exe"), HasSubstr("read-only")));
  EXPECT_EQ(folder_.Read("KW.exe"), "old");
  EXPECT_EQ(folder_.List(), (Names{"KW.exe", "new.exe"}));
}

// Windows refuses to truncate a hidden or system file opened as a normal one; whatever Wine
// allows, a download over one left in the staging tree is whole and seen.
TEST_F(Win32FileSystemTest, HiddenAndSystemFilesAtADownloadsPathsAreReplacedAndSeen) {
  folder_.Write("KW.exe.part", "stale part", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
  folder_.Write("KW.exe", "stale", FILE_ATTRIBUTE_HIDDEN);
  {
    const std::unique_ptr<WritableFile> part = files_.OpenForWriting(folder_ / "KW.exe.part");
    const std::string content = "new";
    part->Append(std::as_bytes(std::span(content)));
    part->Close();
  }
  EXPECT_TRUE(files_.Exists(folder_ / "KW.exe.part"));
  files_.RenameFile(folder_ / "KW.exe.part", folder_ / "KW.exe");
  EXPECT_TRUE(files_.Exists(folder_ / "KW.exe"));
  EXPECT_EQ(folder_.Read("KW.exe"), "new");
  EXPECT_EQ(folder_.List(), (Names{"KW.exe"}));
}

}  // namespace
}  // namespace kw
