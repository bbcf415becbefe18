#include "update/run_start.h"

#include <string>
#include <vector>

namespace kw {

namespace {

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

void PrepareWorkspace(FileSystem& files, const FolderSettings& settings,
                      const PartialDownloads& partials) {
  // The list routes name every folder, parents first: the root list installs into AppDir
  // itself, and the executables stage in BackupDir itself.
  for (const ListRoute& list_route : kListRoutes) {
    CreateFolderIfMissing(files, InstallFolder(settings, list_route.route));
  }
  CreateFolderIfMissing(files, StagingFolder(settings, kExecutableRoute));
  for (const ListRoute& list_route : kListRoutes) {
    CreateFolderIfMissing(files, StagingFolder(settings, list_route.route));
  }

  KeepAsBackup(files, StagedPath(settings, kExecutableRoute, settings.MainExeName),
               StagedPath(settings, kExecutableRoute, kMainBackupFile));
  KeepAsBackup(files, StagedPath(settings, kExecutableRoute, settings.SubExeName),
               StagedPath(settings, kExecutableRoute, kSubBackupFile));

  const auto partial = [&](std::string_view name) {
    return partials.is_partial && partials.is_partial(name);
  };
  for (const ListRoute& list_route : kListRoutes) {
    const std::string pattern = StagedPath(settings, list_route.route, "*.*");
    const std::vector<std::string> names = files.FilesMatching(pattern);
    if (names.empty()) continue;
    if (!partials.keep) {
      files.DeleteFiles(pattern);
      continue;
    }
    for (const std::string& name : names) {
      if (!partial(name)) files.DeleteFiles(StagedPath(settings, list_route.route, name));
    }
  }
  if (partials.keep) return;
  // BackupDir holds the backups and the record of the run beside the executables' downloads.
  for (const std::string& name :
       files.FilesMatching(StagedPath(settings, kExecutableRoute, "*.*"))) {
    if (partial(name)) files.DeleteFiles(StagedPath(settings, kExecutableRoute, name));
  }
}

}  // namespace kw
