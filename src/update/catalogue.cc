#include "update/catalogue.h"

#include <span>
#include <utility>

namespace kw {

FolderSettings StartUpFolderSettings() {
  return {.AppDir = std::string(kAppDir),
          .BackupDir = std::string(kBackupDir),
          .MainExeName = std::string(kMainExeFile),
          .SubExeName = std::string(kSubExeFile)};
}

namespace {

// The product's runtime components, in alphabetical order ignoring case: libraries, controls
// and their cache files, type and import libraries, settings, a helper program, and the batch
// files stored as "Ba$" (KW_Update.Ba$ is the one run after every update).
// clang-format off
constexpr std::string_view kRootFiles[] = {
    "KW_Update.Ba$", "OrvAcct32.dll", "OrvAcct32.lib", "OrvAcct32.tlb", "Orvanta.ini",
    "OrvBank.dll", "OrvBase32.DLL", "OrvButton.oca", "OrvButton.ocx", "OrvCalc.dll",
    "OrvCalendar.oca", "OrvCalendar.ocx", "OrvChart.dll", "OrvCodec.dll", "OrvCombo.oca",
    "OrvCombo.OCX", "OrvComm.dll", "OrvConv.DLL", "OrvCrypt.dll", "OrvDate.dll", "OrvDb32.dll",
    "OrvDbf.DLL", "OrvEdi.dll", "OrvExcel.dll", "OrvFax.dll", "OrvFile.dll", "OrvFlexGrid.oca",
    "OrvFlexGrid.ocx", "OrvForm.dll", "OrvGauge.oca", "OrvGauge.ocx", "OrvGrid.oca",
    "OrvGrid.ocx", "OrvHangul.dll", "OrvHelp.dll", "OrvImage.dll", "OrvImageBox.oca",
    "OrvImageBox.ocx", "OrvIni.dll", "OrvInput.oca", "OrvInput.ocx", "OrvLabel.dll",
    "OrvLedger.dll", "OrvList.oca", "OrvList.OCX", "OrvLog.dll", "OrvMail.dll", "OrvMask.oca",
    "OrvMask.ocx", "OrvMath.DLL", "OrvMenu.oca", "OrvMenu.ocx", "OrvNet.dll", "OrvNumEdit.oca",
    "OrvNumEdit.ocx", "OrvPanel.oca", "OrvPanel.ocx", "OrvPay.dll", "OrvPdf.dll",
    "OrvPreview.oca", "OrvPreview.ocx", "OrvPrint.dll", "OrvReg.dll", "OrvReport.dll",
    "OrvScan.dll", "OrvSms.dll", "OrvSpin.oca", "OrvSpin.ocx", "OrvSql.DLL", "OrvStatus.oca",
    "OrvStatus.ocx", "OrvStock.dll", "OrvTab.OCX", "OrvTax.dll", "OrvText.dll", "OrvTime.dll",
    "OrvTree.ocx", "OrvUtil.dll", "OrvVat.dll", "OrvView.ocx", "OrvZip.dll", "TavClean.Ba$",
    "TavCore.dll", "TavCore.lib", "TavKey.DLL", "TavLink.dll", "TavReg.Ba$", "TavSetup.Ba$",
    "TavSetup.exe", "TavSheet.ocx", "달력(Tav).ocx", "세금계산서(Tav).dll", "전자신고(2026).dll",
};

// Spreadsheets (slots 1-3), reference tables (4-11), per-region tables 01-17 (12-28).
constexpr std::string_view kDataFiles[] = {
    "OrvSample.xls", "거래처(양식).xls", "TavLedger.xls", "BankCode.Tx$", "CardCode.Tx$",
    "PostCode.Tx$", "업종코드.Tx$", "TAXRATE.TX$", "VATRULE.TX$", "ZIPAREA.TX$", "holiday.tx$",
    "지역01.Tx$", "지역02.Tx$", "지역03.Tx$", "지역04.Tx$", "지역05.Tx$", "지역06.Tx$", "지역07.Tx$",
    "지역08.Tx$", "지역09.Tx$", "지역10.Tx$", "지역11.Tx$", "지역12.Tx$", "지역13.Tx$", "지역14.Tx$",
    "지역15.Tx$", "지역16.Tx$", "지역17.Tx$",
};

// The font map, then the font tables.
constexpr std::string_view kFontFiles[] = {
    "FontMap.Tx$", "ORVFNT01.TX$", "ORVFNT02.TX$", "ORVFNT03.TX$", "ORVFNT04.TX$", "ORVFNT05.TX$",
    "ORVFNT06.TX$", "ORVFNT07.TX$", "ORVFNT08.TX$", "ORVFNT09.TX$", "ORVFNT10.TX$",
    "ORVFNT11.TX$", "ORVFNT12.TX$", "ORVFNT13.TX$", "ORVFNT14.TX$", "ORVFNT15.TX$",
    "ORVFNT16.TX$", "ORVFNT17.TX$", "ORVFNT18.TX$", "ORVFNT19.TX$", "ORVFNT20.TX$",
    "ORVFNT21.TX$", "ORVFNT22.TX$", "ORVFNT23.TX$", "ORVFNT24.TX$", "ORVFNT25.TX$",
    "ORVFNT26.TX$", "ORVFNT27.TX$", "ORVFNT28.TX$", "ORVFNT29.TX$", "ORVFNT30.TX$",
    "ORVFNT31.TX$", "ORVFNT32.TX$", "ORVFNT33.TX$", "ORVFNT34.TX$", "ORVFNT35.TX$",
    "ORVFNT36.TX$", "ORVFNT37.TX$", "ORVFNT38.TX$", "ORVFNT39.TX$", "ORVFNT40.TX$",
    "ORVFNT41.TX$", "ORVFNT42.TX$", "ORVFNT43.TX$", "ORVFNT44.TX$", "ORVFNT45.TX$",
};

constexpr std::string_view kImageFiles[] = {
    "Logo.bmp", "Splash.bmp", "Toolbar.bmp", "Background.bmp", "Stamp(직인).bmp", "BtnOk.bmp",
    "BtnCancel.bmp", "IconTax.bmp", "IconBank.bmp", "Watermark.bmp",
};
// clang-format on

void Fill(FileList& list, std::span<const std::string_view> names) {
  int slot = FileList::kFirstSlot;
  for (std::string_view name : names) list.Set(slot++, std::string(name));
}

struct NameRule {
  std::string_view stored;
  std::string_view installed;
};

constexpr NameRule kNameRules[] = {
    {"BA$", "BAT"}, {"Ba$", "Bat"}, {"ba$", "bat"}, {"TX$", "TXT"}, {"Tx$", "Txt"}, {"tx$", "txt"},
};

}  // namespace

const FileList& FileCatalogue::List(ListId id) const {
  switch (id) {
    case ListId::kRoot:
      return RootFileList;
    case ListId::kData:
      return DataFileList;
    case ListId::kFont:
      return FontFileList;
    case ListId::kImage:
      break;
  }
  return ImageFileList;
}

FileList& FileCatalogue::List(ListId id) {
  return const_cast<FileList&>(std::as_const(*this).List(id));
}

void BuildFileCatalogue(FileCatalogue& catalogue) {
  for (int slot = FileList::kFirstSlot; slot <= FileList::kLastSlot; ++slot) {
    catalogue.RootFileList.Set(slot, "");
    catalogue.DataFileList.Set(slot, "");
    catalogue.FontFileList.Set(slot, "");
    catalogue.ImageFileList.Set(slot, "");
  }
  Fill(catalogue.RootFileList, kRootFiles);
  Fill(catalogue.DataFileList, kDataFiles);
  Fill(catalogue.FontFileList, kFontFiles);
  Fill(catalogue.ImageFileList, kImageFiles);
}

std::string BaseAddress(std::string_view host, const Route& route,
                        std::string_view release_folder) {
  const std::string_view scheme = host.starts_with("https://") ? "" : "http://";
  return std::string(scheme) + std::string(host) + std::string(release_folder) +
         std::string(route.server_path);
}

std::string StagingFolder(const FolderSettings& settings, const Route& route) {
  return settings.BackupDir + std::string(route.staging_folder);
}

std::string InstallFolder(const FolderSettings& settings, const Route& route) {
  return settings.AppDir + std::string(route.install_folder);
}

std::string StagedPath(const FolderSettings& settings, const Route& route, std::string_view name) {
  return StagingFolder(settings, route) + "\\" + std::string(name);
}

std::string InstalledPath(const FolderSettings& settings, const Route& route,
                          std::string_view name) {
  return InstallFolder(settings, route) + "\\" + InstalledName(name);
}

std::string InstalledName(std::string_view stored_name) {
  // The stored extensions are ASCII, so comparing the last three bytes compares the last three
  // characters: a name ending in a multi-byte character simply matches no rule.
  if (!stored_name.ends_with('$') || stored_name.size() < 3) return std::string(stored_name);
  const std::string_view stem = stored_name.substr(0, stored_name.size() - 3);
  const std::string_view extension = stored_name.substr(stored_name.size() - 3);
  for (const NameRule& rule : kNameRules) {
    if (extension == rule.stored) return std::string(stem) + std::string(rule.installed);
  }
  return std::string(stored_name);
}

}  // namespace kw
