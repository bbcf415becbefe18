#include "update/catalogue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <string>
#include <vector>

namespace kw {
namespace {

std::vector<std::string> Filled(const FileList& list) {
  std::vector<std::string> names;
  for (int slot = FileList::kFirstSlot; slot <= FileList::kLastSlot; ++slot) {
    if (!list[slot].empty()) names.push_back(list[slot]);
  }
  return names;
}

// The text after the last dot, as the kinds of files are told apart.
std::string Extension(const std::string& name) { return name.substr(name.rfind('.') + 1); }

std::string Lower(std::string text) {
  std::ranges::transform(text, text.begin(),
                         [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

class CatalogueTest : public ::testing::Test {
 protected:
  void SetUp() override { BuildFileCatalogue(catalogue_); }
  FileCatalogue catalogue_;
};

TEST_F(CatalogueTest, ListsAreFilledContiguouslyFromSlotOne) {
  const std::map<ListId, int> counts = {
      {ListId::kRoot, 93}, {ListId::kData, 28}, {ListId::kFont, 46}, {ListId::kImage, 10}};
  for (const auto& [id, count] : counts) {
    const FileList& list = catalogue_.List(id);
    for (int slot = 1; slot <= count; ++slot) EXPECT_FALSE(list[slot].empty()) << slot;
    for (int slot = count + 1; slot <= FileList::kLastSlot; ++slot) {
      ASSERT_TRUE(list[slot].empty()) << "slot " << slot;
    }
  }
  EXPECT_EQ(&catalogue_.List(ListId::kRoot), &catalogue_.RootFileList);
  EXPECT_EQ(&catalogue_.List(ListId::kImage), &catalogue_.ImageFileList);
  EXPECT_THROW((void)catalogue_.RootFileList[0], std::out_of_range);
  EXPECT_THROW((void)catalogue_.RootFileList[1001], std::out_of_range);
}

TEST_F(CatalogueTest, RootListHoldsTheRuntimeComponentsInOrderIgnoringCase) {
  const std::vector<std::string> root = Filled(catalogue_.RootFileList);
  std::map<std::string, int> kinds;
  for (const std::string& name : root) ++kinds[Lower(Extension(name))];
  EXPECT_EQ(kinds, (std::map<std::string, int>{{"dll", 47},
                                               {"ocx", 21},
                                               {"oca", 16},
                                               {"lib", 2},
                                               {"ini", 1},
                                               {"tlb", 1},
                                               {"exe", 1},
                                               {"ba$", 4}}));
  EXPECT_TRUE(std::ranges::is_sorted(
      root, [](const std::string& a, const std::string& b) { return Lower(a) < Lower(b); }));
  EXPECT_NE(std::ranges::find(root, "KW_Update.Ba$"), root.end());
  for (const std::string& name : root) {
    const std::string extension = Extension(name);
    if (Lower(extension) == "ba$") {
      EXPECT_EQ(extension, "Ba$") << name;
    }
  }
  // Names hold Korean letters and parentheses, which the transfer and the disk must carry.
  EXPECT_TRUE(std::ranges::any_of(root, [](const std::string& name) {
    return name.find('(') != std::string::npos &&
           std::ranges::any_of(name, [](unsigned char c) { return c >= 0x80; });
  }));
}

TEST_F(CatalogueTest, DataFontAndImageListsFollowTheirSlotRanges) {
  const std::vector<std::string> data = Filled(catalogue_.DataFileList);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Extension(data[i]), "xls") << data[i];
  std::map<std::string, int> text_kinds;
  for (int i = 3; i < 11; ++i) ++text_kinds[Extension(data[i])];
  EXPECT_EQ(text_kinds, (std::map<std::string, int>{{"Tx$", 4}, {"TX$", 3}, {"tx$", 1}}));
  for (int region = 1; region <= 17; ++region) {
    const std::string& name = data[10 + region];
    const std::string number = (region < 10 ? "0" : "") + std::to_string(region);
    EXPECT_NE(name.find(number), std::string::npos) << name;
    EXPECT_EQ(Extension(name), "Tx$") << name;
  }

  const std::vector<std::string> font = Filled(catalogue_.FontFileList);
  EXPECT_EQ(Extension(font[0]), "Tx$");
  EXPECT_TRUE(std::all_of(font.begin() + 1, font.end(),
                          [](const std::string& name) { return Extension(name) == "TX$"; }));

  for (const std::string& name : Filled(catalogue_.ImageFileList)) {
    EXPECT_EQ(Extension(name), "bmp") << name;
  }
}

TEST_F(CatalogueTest, BuildingAgainGivesTheSameCatalogue) {
  FileCatalogue again;
  again.RootFileList.Set(500, "left over.dll");
  again.ImageFileList.Set(1000, "left over.bmp");
  BuildFileCatalogue(again);
  BuildFileCatalogue(again);
  int filled = 0;
  for (ListId id : {ListId::kRoot, ListId::kData, ListId::kFont, ListId::kImage}) {
    const std::vector<std::string> names = Filled(again.List(id));
    EXPECT_EQ(names, Filled(catalogue_.List(id)));
    filled += static_cast<int>(names.size());
  }
  EXPECT_EQ(filled, 177);
}

TEST(RouteTable, EveryListHasItsServerPathStagingAndInstallFolder) {
  ASSERT_EQ(kListRoutes.size(), 4u);
  EXPECT_EQ(kListRoutes[0].list, ListId::kRoot);
  EXPECT_EQ(kListRoutes[1].route.server_path, "/tavkorea/data");
  EXPECT_EQ(kListRoutes[1].route.staging_folder, "\\Update\\Data");
  EXPECT_EQ(kListRoutes[1].route.install_folder, "\\Data");
  EXPECT_EQ(kListRoutes[3].route.step_caption, "DownLoad(TavKorea\\Image)");
  EXPECT_EQ(kExecutableRoute.server_path, "/jdatas3");
  EXPECT_EQ(StartUpFolderSettings().AppDir, "C:\\TavKorea");
  EXPECT_EQ(StartUpFolderSettings().BackupDir, "C:\\TavBackup");
}

TEST(InstalledName, StoredExtensionsMapExactlyAndCaseSensitively) {
  EXPECT_EQ(InstalledName("KW_Update.Ba$"), "KW_Update.Bat");
  EXPECT_EQ(InstalledName("SETUP.BA$"), "SETUP.BAT");
  EXPECT_EQ(InstalledName("setup.ba$"), "setup.bat");
  EXPECT_EQ(InstalledName("ZIPAREA.TX$"), "ZIPAREA.TXT");
  EXPECT_EQ(InstalledName("지역01.Tx$"), "지역01.Txt");
  EXPECT_EQ(InstalledName("holiday.tx$"), "holiday.txt");
}

TEST(InstalledName, OtherNamesKeepTheirStoredName) {
  EXPECT_EQ(InstalledName("OrvGrid.ocx"), "OrvGrid.ocx");
  EXPECT_EQ(InstalledName("bA$"), "bA$");  // a case variant of no row
  EXPECT_EQ(InstalledName("Report.tX$"), "Report.tX$");
  EXPECT_EQ(InstalledName("Data.ex$"), "Data.ex$");  // ends in "$", matches no row
  EXPECT_EQ(InstalledName("$"), "$");
  EXPECT_EQ(InstalledName("a$"), "a$");
  EXPECT_EQ(InstalledName("Ba$.dll"), "Ba$.dll");  // "$" not last
  EXPECT_EQ(InstalledName("Ba$"), "Bat");          // the whole name is the extension
  EXPECT_EQ(InstalledName("가$"), "가$");          // a multi-byte letter before the "$"
  EXPECT_EQ(InstalledName(""), "");
}

}  // namespace
}  // namespace kw
