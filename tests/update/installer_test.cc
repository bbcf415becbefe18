#include "update/installer.h"

#include <gtest/gtest.h>

#include "support/fakes.h"
#include "support/memory_file_system.h"
#include "support/test_window.h"

namespace kw {
namespace {

using testing::TestWindow;

// The installer on a drive in memory, seen through a recorder of its calls.
class InstallerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const std::string& folder : TestWindow::WorkspaceFolders()) t.drive.MakeFolder(folder);
    t.drive.Write("C:\\TavBackup\\KW.exe", "new KW");
    t.drive.Write("C:\\TavBackup\\KZ.exe", "new KZ");
    BuildFileCatalogue(catalogue_);
  }

  InstallOutcome Install(bool full_update = false) {
    return InstallStagedFiles(t.files, StartUpFolderSettings(), catalogue_, full_update);
  }

  // A catalogue of just these names; every other slot empty.
  void UseLists(std::vector<std::pair<ListId, std::vector<std::string>>> lists) {
    FileCatalogue& catalogue = catalogue_;
    for (ListId id : {ListId::kRoot, ListId::kData, ListId::kFont, ListId::kImage}) {
      for (int slot = 1; slot <= 1000; ++slot) catalogue.List(id).Set(slot, "");
    }
    for (auto& [id, names] : lists) {
      for (std::size_t i = 0; i < names.size(); ++i) {
        catalogue.List(id).Set(static_cast<int>(i) + 1, names[i]);
      }
    }
  }

  std::vector<std::string> Copies() {
    std::vector<std::string> copies;
    for (const std::string& call : t.files.calls) {
      if (call.starts_with("CopyFile")) copies.push_back(call.substr(9));
    }
    return copies;
  }

  struct {
    testing::MemoryFileSystem drive;
    testing::RecordingFileSystem files{drive};
  } t;
  FileCatalogue catalogue_;
};

TEST_F(InstallerTest, AnExecutablesOnlyRunCopiesJustTheTwoPrograms) {
  t.drive.Write("C:\\TavBackup\\Update\\OrvGrid.ocx", "staged");
  t.drive.Write("C:\\TavKorea\\KW.exe", std::string(100000, 'o'));  // replaced whole
  const InstallOutcome outcome = Install();
  EXPECT_TRUE(outcome.not_installed.empty());
  EXPECT_FALSE(outcome.first_failure);
  EXPECT_EQ(Copies(), (std::vector<std::string>{"C:\\TavBackup\\KW.exe -> C:\\TavKorea\\KW.exe",
                                                "C:\\TavBackup\\KZ.exe -> C:\\TavKorea\\KZ.exe"}));
  EXPECT_EQ(t.drive.Read("C:\\TavKorea\\KW.exe"), "new KW");
  EXPECT_EQ(t.drive.Read("C:\\TavKorea\\KZ.exe"), "new KZ");
  EXPECT_FALSE(t.drive.Has("C:\\TavKorea\\OrvGrid.ocx"));
  // The staged files stay where they are.
  EXPECT_TRUE(t.drive.Has("C:\\TavBackup\\KW.exe"));
}

TEST_F(InstallerTest, EachListLandsInItsFolderUnderItsInstalledName) {
  UseLists({{ListId::kRoot, {"KW_Update.Ba$", "OrvGrid.ocx", "TavSetup.BA$"}},
            {ListId::kData,
             {"지역01.Tx$", "ZIPAREA.TX$", "holiday.tx$", "tx$", "a$", "Ba$.x", "Report.bA$"}},
            {ListId::kFont, {"FontMap.Tx$"}},
            {ListId::kImage, {"Stamp(직인).bmp"}}});
  for (const auto& [folder, names] : std::vector<std::pair<std::string, std::vector<std::string>>>{
           {"Update", {"KW_Update.Ba$", "OrvGrid.ocx", "TavSetup.BA$"}},
           {"Update\\Data",
            {"지역01.Tx$", "ZIPAREA.TX$", "holiday.tx$", "tx$", "a$", "Ba$.x", "Report.bA$"}},
           {"Update\\Font", {"FontMap.Tx$"}},
           {"Update\\Image", {"Stamp(직인).bmp"}}}) {
    for (const std::string& name : names) {
      t.drive.Write("C:\\TavBackup\\" + folder + "\\" + name, folder + "/" + name);
    }
  }
  Install(/*full_update=*/true);

  EXPECT_EQ(t.drive.Read("C:\\TavKorea\\KW_Update.Bat"), "Update/KW_Update.Ba$");
  EXPECT_EQ(t.drive.Read("C:\\TavKorea\\OrvGrid.ocx"), "Update/OrvGrid.ocx");
  EXPECT_EQ(t.drive.Read("C:\\TavKorea\\TavSetup.BAT"), "Update/TavSetup.BA$");
  EXPECT_EQ(t.drive.Read("C:\\TavKorea\\Data\\지역01.Txt"), "Update\\Data/지역01.Tx$");
  EXPECT_EQ(t.drive.Read("C:\\TavKorea\\Data\\ZIPAREA.TXT"), "Update\\Data/ZIPAREA.TX$");
  EXPECT_EQ(t.drive.Read("C:\\TavKorea\\Data\\holiday.txt"), "Update\\Data/holiday.tx$");
  EXPECT_EQ(t.drive.Read("C:\\TavKorea\\Data\\txt"), "Update\\Data/tx$");
  // Names that match no row keep their stored name, "$" included.
  EXPECT_EQ(t.drive.Read("C:\\TavKorea\\Data\\a$"), "Update\\Data/a$");
  EXPECT_EQ(t.drive.Read("C:\\TavKorea\\Data\\Ba$.x"), "Update\\Data/Ba$.x");
  EXPECT_EQ(t.drive.Read("C:\\TavKorea\\Data\\Report.bA$"), "Update\\Data/Report.bA$");
  EXPECT_EQ(t.drive.Read("C:\\TavKorea\\Font\\FontMap.Txt"), "Update\\Font/FontMap.Tx$");
  EXPECT_EQ(t.drive.Read("C:\\TavKorea\\Image\\Stamp(직인).bmp"), "Update\\Image/Stamp(직인).bmp");
  EXPECT_EQ(t.drive.List("C:\\TavKorea\\Data").size(), 7u);
}

TEST_F(InstallerTest, AGapInAListDoesNotEndTheWalk) {
  UseLists({{ListId::kImage, {"1.bmp", "2.bmp", "3.bmp", "", "5.bmp"}}});
  catalogue_.ImageFileList.Set(1000, "1000.bmp");
  for (const char* name : {"1.bmp", "2.bmp", "3.bmp", "5.bmp", "1000.bmp"}) {
    t.drive.Write(std::string("C:\\TavBackup\\Update\\Image\\") + name, name);
  }
  Install(/*full_update=*/true);
  EXPECT_EQ(t.drive.List("C:\\TavKorea\\Image"),
            (std::vector<std::string>{"1.bmp", "1000.bmp", "2.bmp", "3.bmp", "5.bmp"}));
}

TEST_F(InstallerTest, AFailedCopyIsSkippedAndTheNextOneRuns) {
  UseLists({{ListId::kRoot, {"a.dll", "b.dll", "c.dll"}}, {ListId::kFont, {"f.TX$"}}});
  t.drive.Remove("C:\\TavBackup\\KW.exe");
  t.drive.Write("C:\\TavKorea\\KW.exe", "old KW");
  t.drive.Write("C:\\TavBackup\\Update\\a.dll", "a");
  t.drive.Write("C:\\TavBackup\\Update\\c.dll", "c");  // b.dll was never staged
  t.drive.Write("C:\\TavBackup\\Update\\Font\\f.TX$", "f");
  // A folder stands where a file should be installed.
  t.drive.MakeFolder("C:\\TavKorea\\c.dll");
  // The font folder of the application is missing: only that list's copies fail.
  t.drive.Remove("C:\\TavKorea\\Font");

  InstallOutcome outcome;
  EXPECT_NO_THROW(outcome = Install(/*full_update=*/true));
  EXPECT_EQ(outcome.not_installed, (std::vector<std::string>{"KW.exe", "b.dll", "c.dll", "f.TX$"}));
  ASSERT_TRUE(outcome.first_failure);
  EXPECT_EQ(outcome.first_failure->number(), error::kFileNotFound);
  EXPECT_EQ(outcome.first_failure->description(), "File not found: C:\\TavBackup\\KW.exe");

  EXPECT_EQ(t.drive.Read("C:\\TavKorea\\KW.exe"), "old KW");
  EXPECT_EQ(t.drive.Read("C:\\TavKorea\\KZ.exe"), "new KZ");
  EXPECT_EQ(t.drive.Read("C:\\TavKorea\\a.dll"), "a");
  EXPECT_FALSE(t.drive.Has("C:\\TavKorea\\b.dll"));
  EXPECT_TRUE(t.drive.IsFolder("C:\\TavKorea\\c.dll"));
  EXPECT_FALSE(t.drive.Has("C:\\TavKorea\\Font"));
  EXPECT_EQ(Copies().size(), 2u + 4u);
}

}  // namespace
}  // namespace kw
