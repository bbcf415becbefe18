#include <string>

#include "app/update_window.h"
#include "update/bas_common.h"

namespace kw {

namespace {

using enum ControlId;

constexpr std::string_view kMainBackup = "\\KW_Bak.exe";
constexpr std::string_view kSubBackup = "\\KZ_Bak.exe";

void CreateFolderIfMissing(FileSystem& files, const std::string& path) {
  if (!files.Exists(path)) files.CreateFolder(path);
}

// The previous run's download becomes the backup copy, and leaves its download place.
void KeepAsBackup(FileSystem& files, const std::string& download, const std::string& backup) {
  if (!files.Exists(download)) return;
  files.CopyFile(download, backup);
  files.DeleteFiles(download);
}

}  // namespace

void UpdateWindow::StartUpdate() {
  model_.SetCaption(Msg0Lbl, "* 작업시작 *");
  model_.SetCaption(Msg1Lbl, "");
  model_.SetCaption(Msg2Lbl, "");
  model_.SetCaption(Msg3Lbl, "");
  PumpEvents();
  model_.SetCaption(ErrViewTxt, "");
  platform_.host.SetMousePointer(MousePointer::kBusy);
  model_.SetEnabled(TavEnterCmd, false);
  model_.SetEnabled(KwFme, false);
  model_.SetEnabled(SsFme, false);

  PrepareWorkspace();
  basCommon::KillProcessByName(platform_.processes, std::string(kMainExeFile));
  basCommon::KillProcessByName(platform_.processes, std::string(kSubExeFile));
  RunDownloads();
  ReturnToIdle();
}

void UpdateWindow::PrepareWorkspace() {
  FileSystem& files = platform_.files;
  const std::string& app_dir = settings_.AppDir;
  const std::string& backup_dir = settings_.BackupDir;

  // The list routes name every folder, parents first: the root list installs into AppDir
  // itself, and the executables stage in BackupDir itself.
  for (const ListRoute& list_route : kListRoutes) {
    CreateFolderIfMissing(files, app_dir + std::string(list_route.route.install_folder));
  }
  CreateFolderIfMissing(files, backup_dir + std::string(kExecutableRoute.staging_folder));
  for (const ListRoute& list_route : kListRoutes) {
    CreateFolderIfMissing(files, backup_dir + std::string(list_route.route.staging_folder));
  }

  KeepAsBackup(files, backup_dir + "\\" + settings_.MainExeName,
               backup_dir + std::string(kMainBackup));
  KeepAsBackup(files, backup_dir + "\\" + settings_.SubExeName,
               backup_dir + std::string(kSubBackup));

  for (const ListRoute& list_route : kListRoutes) {
    const std::string pattern = backup_dir + std::string(list_route.route.staging_folder) + "\\*.*";
    if (files.AnyFileMatches(pattern)) files.DeleteFiles(pattern);
  }
}

}  // namespace kw
