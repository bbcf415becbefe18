#include "platform/posix/posix_file_system.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/failure.h"
#include "platform/posix/posix_processes.h"
#include "support/failure_of.h"
#include "support/temp_drive.h"
#include "support/test_content.h"
#include "update/catalogue.h"
#include "update/run_start.h"

namespace kw {
namespace {

namespace fs = std::filesystem;
using ::kw::testing::Bytes;
using ::kw::testing::FailureOf;
using ::kw::testing::PatternedContent;
using ::kw::testing::ScopedEnv;
using ::kw::testing::TempDrive;
using ::testing::HasSubstr;

using Names = std::vector<std::string>;

// A small tmpfs on a folder of the drive, in a mount namespace of this process alone, so that a
// test that dies never leaves a mount behind. Needs CAP_SYS_ADMIN; Mount() says why not.
class TinyTmpfs {
 public:
  static std::unique_ptr<TinyTmpfs> Mount(const fs::path& at, std::size_t bytes,
                                          std::string* why_not) {
    // Empty once this process has a mount namespace of its own.
    static const std::string namespace_failure = [] {
      if (unshare(CLONE_NEWNS) == 0 &&
          mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0) {
        return std::string();
      }
      return "a private mount namespace needs CAP_SYS_ADMIN: " + std::string(strerror(errno));
    }();
    if (!namespace_failure.empty()) {
      *why_not = namespace_failure;
      return nullptr;
    }
    fs::create_directories(at);
    const std::string options = "size=" + std::to_string(bytes);
    if (mount("tmpfs", at.c_str(), "tmpfs", 0, options.c_str()) != 0) {
      *why_not = "cannot mount a tmpfs: " + std::string(strerror(errno));
      return nullptr;
    }
    return std::unique_ptr<TinyTmpfs>(new TinyTmpfs(at, options));
  }
  ~TinyTmpfs() { umount2(at_.c_str(), MNT_DETACH); }

  bool MakeReadOnly() {
    return mount(nullptr, at_.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, options_.c_str()) == 0;
  }

 private:
  TinyTmpfs(fs::path at, std::string options) : at_(std::move(at)), options_(std::move(options)) {}
  fs::path at_;
  std::string options_;
};

// Writes beyond `bytes` into any file fail with EFBIG while this lives. Needs no privileges,
// and works for root too, unlike a read-only folder.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &old_limit_);
    old_handler_ = signal(SIGXFSZ, SIG_IGN);
    rlimit limit = old_limit_;
    limit.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &old_limit_);
    signal(SIGXFSZ, old_handler_);
  }

 private:
  rlimit old_limit_{};
  sighandler_t old_handler_;
};

class PosixFileSystemTest : public ::testing::Test {
 protected:
  TempDrive drive_;
  PosixFileSystem files_;  // After drive_, so that it sees the drive's WINEPREFIX.
};

// --- Drive mapping ---

TEST_F(PosixFileSystemTest, DriveCIsTheWinePrefixDriveFolder) {
  drive_.Write("C:\\TavKorea\\KW.exe", "x");
  EXPECT_TRUE(files_.Exists("c:\\TavKorea\\KW.exe"));
  EXPECT_TRUE(files_.Exists("C:\\"));
  EXPECT_FALSE(files_.Exists("TavKorea\\KW.exe"));
}

TEST_F(PosixFileSystemTest, WithoutWineprefixTheHomeWineFolderIsUsed) {
  const fs::path home = drive_.prefix() / "home";
  fs::create_directories(home / ".wine" / "drive_c" / "TavKorea");
  ScopedEnv no_prefix("WINEPREFIX", std::nullopt);
  ScopedEnv home_env("HOME", home.string());
  PosixFileSystem files;
  files.CreateFolder("C:\\TavKorea\\Data");
  EXPECT_TRUE(fs::is_directory(home / ".wine" / "drive_c" / "TavKorea" / "Data"));
}

TEST_F(PosixFileSystemTest, APrefixWithoutADriveFolderIsNamedAndLeftAsItWas) {
  fs::remove(drive_.prefix() / "drive_c");
  const std::string drive_folder = (drive_.prefix() / "drive_c").string();
  const auto expect_named = [&](const Failure& failure, std::string_view path) {
    EXPECT_EQ(failure.number(), error::kPathNotFound);
    EXPECT_THAT(failure.description(), HasSubstr(path));
    EXPECT_THAT(failure.description(), HasSubstr(drive_folder));
    EXPECT_THAT(failure.description(), HasSubstr("WINEPREFIX"));
  };

  // What the operator sees: the first step of a run.
  expect_named(FailureOf([&] { PrepareWorkspace(files_, StartUpFolderSettings()); }),
               "C:\\TavKorea");
  expect_named(FailureOf([&] { files_.CopyFile("C:\\A\\KW.exe", "C:\\B\\KW.exe"); }),
               "C:\\A\\KW.exe");
  expect_named(FailureOf([&] { files_.OpenForWriting("C:\\KW.exe"); }), "C:\\KW.exe");
  expect_named(FailureOf([&] { files_.DeleteFiles("C:\\Stage\\*.*"); }), "C:\\Stage\\*.*");
  expect_named(FailureOf([&] { files_.FilesMatching("C:\\Stage\\*.*"); }), "C:\\Stage\\*.*");
  expect_named(FailureOf([&] { PosixProcesses().StartBatchFile("C:\\TavKorea\\KW_Update.Bat"); }),
               "C:\\TavKorea\\KW_Update.Bat");
  EXPECT_FALSE(files_.Exists("C:\\"));
  EXPECT_TRUE(fs::is_empty(drive_.prefix()));
}

TEST_F(PosixFileSystemTest, OtherDrivesAreTheDosdevicesOfThePrefix) {
  const fs::path share = drive_.prefix() / "share";
  fs::create_directories(share);
  fs::create_directories(drive_.prefix() / "dosdevices");
  fs::create_directory_symlink(share, drive_.prefix() / "dosdevices" / "d:");
  files_.CreateFolder("D:\\Data");
  EXPECT_TRUE(fs::is_directory(share / "Data"));

  EXPECT_FALSE(files_.Exists("E:\\Data"));
  const Failure failure = FailureOf([&] { files_.CreateFolder("E:\\Data"); });
  EXPECT_EQ(failure.number(), error::kPathNotFound);
  EXPECT_THAT(failure.description(), HasSubstr("E:"));
}

TEST_F(PosixFileSystemTest, EntriesFoundInAnotherLetterCaseKeepTheirNamesOnDisk) {
  drive_.Write("C:\\tavkorea\\data\\kw.exe", "old");
  drive_.Write("C:\\tavkorea\\source.bin", "new");
  // Existing components keep their names on disk; a new one is created as given.
  files_.CopyFile("C:\\TAVKOREA\\Source.Bin", "C:\\TavKorea\\Data\\KW.exe");
  files_.CopyFile("C:\\TAVKOREA\\Source.Bin", "C:\\TavKorea\\Data\\New.Bin");
  files_.CreateFolder("C:\\TavKorea\\DATA\\Sub");
  files_.OpenForWriting("C:\\TAVKOREA\\DATA\\KW.EXE")->Close();
  EXPECT_EQ(drive_.List("C:\\tavkorea\\data"), (Names{"New.Bin", "Sub", "kw.exe"}));
  EXPECT_EQ(drive_.List("C:\\"), (Names{"tavkorea"}));
}

TEST_F(PosixFileSystemTest, AnEntryOfTheExactNameWinsOverOtherCases) {
  drive_.Write("C:\\Data\\a.txt", "exact");
  drive_.Write("C:\\data\\a.txt", "other");
  drive_.Write("C:\\DATA\\a.txt", "other");
  files_.CopyFile("C:\\data\\a.txt", "C:\\Data\\b.txt");
  EXPECT_EQ(drive_.Read("C:\\Data\\b.txt"), "other");
  files_.CopyFile("C:\\Data\\a.txt", "C:\\data\\b.txt");
  EXPECT_EQ(drive_.Read("C:\\data\\b.txt"), "exact");
}

TEST_F(PosixFileSystemTest, OnlyALeadingDotHides) {
  drive_.Write("C:\\Work\\.settings", "x");
  drive_.Write("C:\\Work\\Folder.d\\a.b.c", "x");
  EXPECT_FALSE(files_.Exists("C:\\Work\\.settings"));
  EXPECT_TRUE(files_.Exists("C:\\Work\\Folder.d"));
  EXPECT_FALSE(files_.FilesMatching("C:\\Work\\Folder.d\\*.c").empty());
}

// --- Copies ---

TEST_F(PosixFileSystemTest, CopyKeepsThePermissionBits) {
  drive_.Write("C:\\Stage\\KW.exe", "new");
  drive_.Write("C:\\App\\KW.exe", "the old program");
  fs::permissions(drive_.Host("C:\\Stage\\KW.exe"), fs::perms(0750));
  files_.CopyFile("C:\\Stage\\KW.exe", "C:\\App\\KW.exe");
  EXPECT_EQ(fs::status(drive_.Host("C:\\App\\KW.exe")).permissions(), fs::perms(0750));
}

TEST_F(PosixFileSystemTest, CopyThatFailsPartWayLeavesTheOldFileWhole) {
  const std::string old_content = PatternedContent(10 * 1024);
  drive_.Write("C:\\App\\KW.exe", old_content);
  drive_.Write("C:\\Stage\\KW.exe", std::string(200 * 1024, 'n'));
  {
    FileSizeLimit limit(16 * 1024);
    const Failure failure =
        FailureOf([&] { files_.CopyFile("C:\\Stage\\KW.exe", "C:\\App\\KW.exe"); });
    EXPECT_EQ(failure.number(), error::kPathFileAccess);
    EXPECT_THAT(failure.description(), HasSubstr("C:\\App\\KW.exe"));
  }
  EXPECT_EQ(drive_.Read("C:\\App\\KW.exe"), old_content);
  EXPECT_EQ(drive_.List("C:\\App"), (Names{"KW.exe"}));
}

TEST_F(PosixFileSystemTest, CopyOntoAFullDiskLeavesTheOldFileWhole) {
  std::string why_not;
  const auto tmpfs = TinyTmpfs::Mount(drive_.Host("C:\\Full"), 64 * 1024, &why_not);
  if (!tmpfs) GTEST_SKIP() << why_not;
  const std::string old_content = PatternedContent(20 * 1024);
  drive_.Write("C:\\Full\\KW.exe", old_content);
  drive_.Write("C:\\Stage\\KW.exe", std::string(256 * 1024, 'n'));

  const Failure failure =
      FailureOf([&] { files_.CopyFile("C:\\Stage\\KW.exe", "C:\\Full\\KW.exe"); });
  EXPECT_EQ(failure.number(), error::kDiskFull);
  EXPECT_THAT(failure.description(), HasSubstr("C:\\Full\\KW.exe"));
  EXPECT_EQ(drive_.Read("C:\\Full\\KW.exe"), old_content);
  EXPECT_EQ(drive_.List("C:\\Full"), (Names{"KW.exe"}));
}

TEST_F(PosixFileSystemTest, CopyIntoAReadOnlyFolderLeavesTheOldFileWhole) {
  drive_.Write("C:\\Stage\\KW.exe", "new");
  std::unique_ptr<TinyTmpfs> tmpfs;
  if (geteuid() == 0) {
    // Root writes into folders whatever their permission bits say; a read-only mount stops it.
    std::string why_not;
    tmpfs = TinyTmpfs::Mount(drive_.Host("C:\\App"), 64 * 1024, &why_not);
    if (!tmpfs) GTEST_SKIP() << why_not;
    drive_.Write("C:\\App\\KW.exe", "old");
    ASSERT_TRUE(tmpfs->MakeReadOnly()) << strerror(errno);
  } else {
    drive_.Write("C:\\App\\KW.exe", "old");
    fs::permissions(drive_.Host("C:\\App"), fs::perms(0555));
  }

  const Failure failure =
      FailureOf([&] { files_.CopyFile("C:\\Stage\\KW.exe", "C:\\App\\KW.exe"); });
  EXPECT_EQ(failure.number(), error::kPermissionDenied);
  EXPECT_THAT(failure.description(), HasSubstr("C:\\App\\KW.exe"));
  EXPECT_EQ(drive_.Read("C:\\App\\KW.exe"), "old");
  EXPECT_EQ(drive_.List("C:\\App"), (Names{"KW.exe"}));
}

// --- Writing ---

TEST_F(PosixFileSystemTest, WritingOntoAFullDiskFails) {
  std::string why_not;
  const auto tmpfs = TinyTmpfs::Mount(drive_.Host("C:\\Full"), 32 * 1024, &why_not);
  if (!tmpfs) GTEST_SKIP() << why_not;

  // Fits in the buffer: only Close() finds out.
  std::unique_ptr<WritableFile> small = files_.OpenForWriting("C:\\Full\\Small.bin");
  for (int i = 0; i < 48; ++i) small->Append(Bytes(std::string(1024, 's')));
  const Failure at_close = FailureOf([&] { small->Close(); });
  EXPECT_EQ(at_close.number(), error::kDiskFull);
  EXPECT_THAT(at_close.description(), HasSubstr("C:\\Full\\Small.bin"));
  files_.DeleteFiles("C:\\Full\\Small.bin");

  // Larger than the buffer: an Append finds out.
  std::unique_ptr<WritableFile> large = files_.OpenForWriting("C:\\Full\\Large.bin");
  const Failure at_append = FailureOf([&] {
    for (int i = 0; i < 1024; ++i) large->Append(Bytes(std::string(1024, 'l')));
  });
  EXPECT_EQ(at_append.number(), error::kDiskFull);
  EXPECT_THAT(at_append.description(), HasSubstr("C:\\Full\\Large.bin"));
}

}  // namespace
}  // namespace kw
