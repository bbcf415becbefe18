// The FileSystem contract: what the updater relies on from every implementation (Windows
// paths, patterns, hidden entries, letter case, copies that replace their destination whole,
// failures that carry a number and name the path).

#include "platform/contract/file_system_contract.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <cstddef>
#include <functional>

#include "platform/ascii.h"
#include "platform/failure.h"
#include "support/failure_of.h"
#include "support/test_content.h"

namespace kw::testing {

void FileSystemContract::SetUp() {
  driver_ = GetParam().make();
  root_ = driver_->Root();
}

std::string FileSystemContract::At(std::string_view relative) const {
  return root_ + "\\" + std::string(relative);
}

namespace {

using ::testing::HasSubstr;
using Names = std::vector<std::string>;

void ExpectFailure(const Failure& failure, std::int32_t number, std::string_view path) {
  EXPECT_EQ(failure.number(), number) << failure.description();
  EXPECT_THAT(failure.description(), HasSubstr(std::string(path)));
}

// --- Paths ---

TEST_P(FileSystemContract, ExistsSeesFilesAndFoldersWhateverTheSeparatorOrLetterCase) {
  driver().Write(At("TavKorea\\KW.exe"), "x");
  EXPECT_TRUE(files().Exists(At("TavKorea\\KW.exe")));
  EXPECT_TRUE(files().Exists(At("tavkorea\\kw.EXE")));
  std::string forward = At("TavKorea/KW.exe");
  std::ranges::replace(forward, '\\', '/');
  EXPECT_TRUE(files().Exists(forward));
  EXPECT_TRUE(files().Exists(At("TavKorea")));

  EXPECT_FALSE(files().Exists(At("TavKorea\\KZ.exe")));
  EXPECT_FALSE(files().Exists(At("Nowhere\\KW.exe")));
  EXPECT_FALSE(files().Exists(At("TavKorea\\KW.exe\\Inside")));
}

TEST_P(FileSystemContract, HiddenEntriesAreNeverSeen) {
  driver().MakeFolder(At("Work\\Folder.d"));
  const std::string hidden_file = driver().AddHidden(At("Work"), "settings", false);
  const std::string hidden_folder = driver().AddHidden(At("Work"), "cache", true);
  EXPECT_FALSE(files().Exists(At("Work\\" + hidden_file)));
  EXPECT_FALSE(files().Exists(At("Work\\" + hidden_folder)));
  EXPECT_TRUE(files().FilesMatching(At("Work\\*.*")).empty());
  EXPECT_TRUE(files().FilesMatching(At("Work\\" + hidden_file)).empty());
  ExpectFailure(FailureOf([&] { files().DeleteFiles(At("Work\\*.*")); }), error::kFileNotFound,
                At("Work\\*.*"));

  driver().Write(At("Work\\seen.txt"), "x");
  files().DeleteFiles(At("Work\\*.*"));
  Names left = {"Folder.d", hidden_file, hidden_folder};
  std::ranges::sort(left);
  EXPECT_EQ(driver().List(At("Work")), left);
}

// --- Patterns ---

TEST_P(FileSystemContract, PatternsMatchNamesAsWindowsDoes) {
  struct Case {
    std::string pattern;
    Names matched;
  };
  const Names all = {"A.TXT",  "KW",        "KW.exe", "KW.exe.bak", "KWX.exe",
                     "README", "a.txt.bak", "b.Txt",  "가.txt",     "가나.txt"};
  const std::vector<Case> cases = {
      {"*.*", all},
      {"*", all},
      {"*.txt", {"A.TXT", "b.Txt", "가.txt", "가나.txt"}},
      {"kw.*", {"KW", "KW.exe", "KW.exe.bak"}},
      {"?.txt", {"A.TXT", "b.Txt", "가.txt"}},
      {"??.txt", {"가나.txt"}},
      {"kw.exe", {"KW.exe"}},
      {"*.ex?", {"KW.exe", "KWX.exe"}},
      {"*.zip", {}},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.pattern);
    const std::string folder = At("P" + std::to_string(i));
    for (const std::string& name : all) driver().Write(folder + "\\" + name, name);
    driver().MakeFolder(folder + "\\sub.txt");

    const std::string pattern = folder + "\\" + c.pattern;
    Names listed = files().FilesMatching(pattern);
    std::ranges::sort(listed);
    EXPECT_EQ(listed, c.matched);
    if (c.matched.empty()) {
      ExpectFailure(FailureOf([&] { files().DeleteFiles(pattern); }), error::kFileNotFound,
                    pattern);
    } else {
      files().DeleteFiles(pattern);
    }
    Names expected_left = {"sub.txt"};
    for (const std::string& name : all) {
      if (std::ranges::find(c.matched, name) == c.matched.end()) expected_left.push_back(name);
    }
    std::ranges::sort(expected_left);
    EXPECT_EQ(driver().List(folder), expected_left);
  }
}

TEST_P(FileSystemContract, FoldersAreNeitherMatchedNorDeleted) {
  driver().Write(At("Stage\\Sub\\inner.txt"), "x");
  driver().Write(At("Stage\\top.txt"), "x");
  EXPECT_EQ(files().FilesMatching(At("Stage\\*.*")), (Names{"top.txt"}));
  EXPECT_TRUE(files().FilesMatching(At("Stage\\S*")).empty());

  files().DeleteFiles(At("Stage\\*.*"));
  EXPECT_EQ(driver().List(At("Stage")), (Names{"Sub"}));
  EXPECT_EQ(driver().List(At("Stage\\Sub")), (Names{"inner.txt"}));
}

TEST_P(FileSystemContract, PatternsInAMissingFolderMatchNothing) {
  EXPECT_TRUE(files().FilesMatching(At("Nowhere\\*.*")).empty());
  ExpectFailure(FailureOf([&] { files().DeleteFiles(At("Nowhere\\*.*")); }), error::kPathNotFound,
                At("Nowhere\\*.*"));
}

// --- Folders ---

TEST_P(FileSystemContract, CreateFolderMakesOneLevel) {
  files().CreateFolder(At("TavBackup"));
  files().CreateFolder(At("TavBackup\\Update"));
  EXPECT_EQ(driver().List(At("TavBackup")), (Names{"Update"}));
  EXPECT_TRUE(files().Exists(At("TavBackup\\Update")));

  ExpectFailure(FailureOf([&] { files().CreateFolder(At("TavKorea\\Data")); }),
                error::kPathNotFound, At("TavKorea\\Data"));
  EXPECT_FALSE(files().Exists(At("TavKorea")));
  ExpectFailure(FailureOf([&] { files().CreateFolder(At("TavBackup\\update")); }),
                error::kFileExists, At("TavBackup\\update"));
}

// --- Copies ---

TEST_P(FileSystemContract, CopyReplacesTheDestinationWholeAndLeavesNothingBeside) {
  driver().Write(At("Stage\\KW.exe"), PatternedContent(300 * 1024));
  driver().Write(At("App\\KW.exe"), "the old program");
  files().CopyFile(At("Stage\\KW.exe"), At("App\\KW.exe"));
  EXPECT_EQ(driver().Read(At("App\\KW.exe")), PatternedContent(300 * 1024));
  EXPECT_EQ(driver().Read(At("Stage\\KW.exe")), PatternedContent(300 * 1024));
  EXPECT_EQ(driver().List(At("App")), (Names{"KW.exe"}));

  driver().Write(At("Stage\\Empty.dat"), "");
  files().CopyFile(At("Stage\\Empty.dat"), At("App\\KW.exe"));
  files().CopyFile(At("Stage\\Empty.dat"), At("App\\New.dat"));
  EXPECT_EQ(driver().Read(At("App\\KW.exe")), "");
  EXPECT_EQ(driver().Read(At("App\\New.dat")), "");
  EXPECT_EQ(driver().List(At("App")), (Names{"KW.exe", "New.dat"}));
}

TEST_P(FileSystemContract, CopyFindsEntriesOfAnotherLetterCase) {
  driver().Write(At("tavkorea\\data\\kw.exe"), "old");
  driver().Write(At("tavkorea\\source.bin"), "new");
  files().CopyFile(At("TAVKOREA\\Source.Bin"), At("TavKorea\\Data\\KW.exe"));
  EXPECT_EQ(driver().Read(At("tavkorea\\data\\kw.exe")), "new");
  const Names left = driver().List(At("tavkorea\\data"));
  ASSERT_EQ(left.size(), 1u);
  EXPECT_TRUE(EqualsIgnoringAsciiCase(left[0], "kw.exe")) << left[0];
}

TEST_P(FileSystemContract, CopyOfAMissingSourceChangesNothing) {
  driver().Write(At("App\\KW.exe"), "old");
  driver().MakeFolder(At("Stage"));
  ExpectFailure(FailureOf([&] { files().CopyFile(At("Stage\\KW.exe"), At("App\\KW.exe")); }),
                error::kFileNotFound, At("Stage\\KW.exe"));
  ExpectFailure(FailureOf([&] { files().CopyFile(At("Gone\\KW.exe"), At("App\\KW.exe")); }),
                error::kPathNotFound, At("Gone\\KW.exe"));
  EXPECT_EQ(driver().Read(At("App\\KW.exe")), "old");
  EXPECT_EQ(driver().List(At("App")), (Names{"KW.exe"}));
}

TEST_P(FileSystemContract, CopyIntoAMissingFolderFails) {
  driver().Write(At("Stage\\KW.exe"), "new");
  ExpectFailure(FailureOf([&] { files().CopyFile(At("Stage\\KW.exe"), At("App\\Sub\\KW.exe")); }),
                error::kPathNotFound, At("App\\Sub\\KW.exe"));
  EXPECT_FALSE(files().Exists(At("App")));
}

TEST_P(FileSystemContract, CopyOntoAFolderLeavesTheFolder) {
  driver().Write(At("Stage\\Data"), "new");
  driver().Write(At("App\\Data\\keep.txt"), "keep");
  ExpectFailure(FailureOf([&] { files().CopyFile(At("Stage\\Data"), At("App\\Data")); }),
                error::kPathFileAccess, At("App\\Data"));
  ExpectFailure(FailureOf([&] { files().CopyFile(At("App\\Data"), At("Stage\\Copy")); }),
                error::kPathFileAccess, At("App\\Data"));
  EXPECT_EQ(driver().List(At("App")), (Names{"Data"}));
  EXPECT_EQ(driver().Read(At("App\\Data\\keep.txt")), "keep");
  EXPECT_EQ(driver().List(At("Stage")), (Names{"Data"}));
}

TEST_P(FileSystemContract, AFileAnotherProgramHoldsIsLeftAsItIs) {
  driver().Write(At("App\\KW.exe"), "old");
  driver().Write(At("App\\Other.dll"), "other");
  driver().Write(At("Stage\\KW.exe"), "new");
  if (!driver().Hold(At("App\\KW.exe"))) GTEST_SKIP() << "no file can be held on this platform";

  ExpectFailure(FailureOf([&] { files().CopyFile(At("Stage\\KW.exe"), At("App\\KW.exe")); }),
                error::kPermissionDenied, At("App\\KW.exe"));
  ExpectFailure(FailureOf([&] { files().CopyFile(At("App\\KW.exe"), At("Stage\\Copy.exe")); }),
                error::kPermissionDenied, At("App\\KW.exe"));
  ExpectFailure(FailureOf([&] { files().OpenForWriting(At("App\\KW.exe")); }),
                error::kPermissionDenied, At("App\\KW.exe"));
  driver().Write(At("App\\KW.exe.part"), "new");
  ExpectFailure(FailureOf([&] { files().RenameFile(At("App\\KW.exe.part"), At("App\\KW.exe")); }),
                error::kPermissionDenied, At("App\\KW.exe"));
  // The others go; the failure names the one that stayed.
  ExpectFailure(FailureOf([&] { files().DeleteFiles(At("App\\*.*")); }), error::kPermissionDenied,
                At("App\\KW.exe"));
  EXPECT_EQ(driver().List(At("App")), (Names{"KW.exe"}));
  EXPECT_EQ(driver().List(At("Stage")), (Names{"KW.exe"}));
}

// --- Renames ---

TEST_P(FileSystemContract, RenameReplacesTheDestinationWhole) {
  driver().Write(At("Stage\\KW.exe.part"), PatternedContent(300 * 1024));
  driver().Write(At("Stage\\kw.EXE"), "the earlier download");
  files().RenameFile(At("Stage\\KW.exe.part"), At("Stage\\KW.exe"));
  const Names left = driver().List(At("Stage"));
  ASSERT_EQ(left.size(), 1u);
  EXPECT_TRUE(EqualsIgnoringAsciiCase(left[0], "KW.exe")) << left[0];
  EXPECT_EQ(driver().Read(At("Stage\\" + left[0])), PatternedContent(300 * 1024));

  driver().Write(At("Stage\\KZ.exe.part"), "kz");
  files().RenameFile(At("Stage\\KZ.exe.part"), At("Stage\\KZ.exe"));
  EXPECT_EQ(driver().Read(At("Stage\\KZ.exe")), "kz");
  EXPECT_EQ(driver().List(At("Stage")).size(), 2u);
}

TEST_P(FileSystemContract, ARenameThatCannotBeDoneChangesNothing) {
  driver().Write(At("Stage\\KW.exe.part"), "new");
  driver().Write(At("Stage\\KW.exe"), "old");
  driver().MakeFolder(At("Stage\\Data"));
  ExpectFailure(
      FailureOf([&] { files().RenameFile(At("Stage\\KZ.exe.part"), At("Stage\\KZ.exe")); }),
      error::kFileNotFound, At("Stage\\KZ.exe.part"));
  ExpectFailure(FailureOf([&] { files().RenameFile(At("Stage\\KW.exe.part"), At("Stage\\Data")); }),
                error::kPathFileAccess, At("Stage\\Data"));
  ExpectFailure(FailureOf([&] { files().RenameFile(At("Stage\\Data"), At("Stage\\Data.old")); }),
                error::kPathFileAccess, At("Stage\\Data"));
  ExpectFailure(
      FailureOf([&] { files().RenameFile(At("Stage\\KW.exe.part"), At("Stage\\Gone\\KW.exe")); }),
      error::kPathNotFound, At("Stage\\Gone\\KW.exe"));
  EXPECT_EQ(driver().List(At("Stage")), (Names{"Data", "KW.exe", "KW.exe.part"}));
  EXPECT_EQ(driver().Read(At("Stage\\KW.exe")), "old");
  EXPECT_EQ(driver().Read(At("Stage\\KW.exe.part")), "new");
}

// --- Writing ---

TEST_P(FileSystemContract, WrittenBytesArriveInOrderWhateverTheSizeOfTheAppends) {
  const std::string content = PatternedContent(512 * 1024);
  std::unique_ptr<WritableFile> file = files().OpenForWriting(At("Down.bin"));
  std::size_t at = 0;
  // Small appends, then one larger than any buffer, then small ones again.
  for (; at < 200 * 1024; at += 1000) {
    file->Append(Bytes(std::string_view(content).substr(at, 1000)));
  }
  file->Append(Bytes(std::string_view(content).substr(at, 150 * 1024)));
  at += 150 * 1024;
  file->Append({});
  for (; at < content.size(); at += 1024) {
    file->Append(Bytes(std::string_view(content).substr(at, 1024)));
  }
  file->Close();
  EXPECT_EQ(driver().Read(At("Down.bin")), content);
}

TEST_P(FileSystemContract, OpenForWritingEmptiesAnExistingFileOfAnyLetterCase) {
  driver().Write(At("Down\\KW.exe"), "a longer, older content");
  std::unique_ptr<WritableFile> file = files().OpenForWriting(At("down\\kw.EXE"));
  file->Append(Bytes("new"));
  file->Close();
  EXPECT_EQ(driver().Read(At("Down\\KW.exe")), "new");
  const Names left = driver().List(At("Down"));
  ASSERT_EQ(left.size(), 1u);
  EXPECT_TRUE(EqualsIgnoringAsciiCase(left[0], "KW.exe")) << left[0];
}

TEST_P(FileSystemContract, AFileLeftOpenIsWrittenOutWhenDestroyed) {
  files().OpenForWriting(At("Left.bin"))->Append(Bytes("kept"));
  EXPECT_EQ(driver().Read(At("Left.bin")), "kept");
}

TEST_P(FileSystemContract, AppendingAndReadingGoOnFromWhereTheFileEnds) {
  const std::string content = PatternedContent(300 * 1024);
  driver().MakeFolder(At("Down"));
  std::unique_ptr<WritableFile> file = files().OpenForAppending(At("Down\\KW.exe.part"));
  file->Append(Bytes(std::string_view(content).substr(0, 1000)));
  // Synced, the bytes are written and the file stays open for more.
  file->Sync();
  EXPECT_EQ(driver().Read(At("Down\\KW.exe.part")), content.substr(0, 1000));
  file->Append(Bytes(std::string_view(content).substr(1000, 99 * 1024)));
  file->Close();
  files().OpenForAppending(At("down\\kw.EXE.PART"))->Append(Bytes(content.substr(100 * 1024 - 24)));
  ASSERT_EQ(driver().Read(At("Down\\KW.exe.part")), content);

  std::unique_ptr<ReadableFile> read = files().OpenForReading(At("DOWN\\kw.exe.part"));
  EXPECT_EQ(read->Size(), content.size());
  std::string back;
  std::vector<std::byte> buffer(7000);
  while (const std::size_t got = read->Read(buffer)) {
    back.append(reinterpret_cast<const char*>(buffer.data()), got);
  }
  EXPECT_EQ(back, content);
  EXPECT_EQ(read->Read(buffer), 0u);
}

// A download's size: an implementation may flush such a file to the disk while it is written.
TEST_P(FileSystemContract, AFileOfManyMegabytesIsWholeThroughSyncsAndAppends) {
  const std::string content = PatternedContent(48 << 20);
  const std::string_view all(content);
  driver().MakeFolder(At("Down"));
  std::unique_ptr<WritableFile> file = files().OpenForWriting(At("Down\\Big.bin"));
  for (std::size_t at = 0; at < 40 << 20; at += 1024) file->Append(Bytes(all.substr(at, 1024)));
  file->Sync();
  file->Append(Bytes(all.substr(40 << 20, 4 << 20)));
  file->Sync();
  file->Append(Bytes(all.substr(44 << 20)));
  file->Close();
  EXPECT_TRUE(driver().Read(At("Down\\Big.bin")) == content);
}

TEST_P(FileSystemContract, OpeningWhereNoFileCanBeFails) {
  driver().MakeFolder(At("Down\\KW.exe"));
  const std::vector<std::function<void(std::string_view)>> opens = {
      [&](std::string_view path) { files().OpenForWriting(path); },
      [&](std::string_view path) { files().OpenForAppending(path); },
      [&](std::string_view path) { files().OpenForReading(path); },
  };
  for (const auto& open : opens) {
    ExpectFailure(FailureOf([&] { open(At("Gone\\KW.exe")); }), error::kPathNotFound,
                  At("Gone\\KW.exe"));
    ExpectFailure(FailureOf([&] { open(At("Down\\KW.exe")); }), error::kPathFileAccess,
                  At("Down\\KW.exe"));
  }
  ExpectFailure(FailureOf([&] { files().OpenForReading(At("Down\\KZ.exe")); }),
                error::kFileNotFound, At("Down\\KZ.exe"));
}

}  // namespace
}  // namespace kw::testing
