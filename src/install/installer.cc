#include <string>

#include "app/update_window.h"

namespace kw {

namespace {

// Every copy stands on its own: one that fails is skipped, and the next one runs.
void CopySkippingFailure(FileSystem& files, const std::string& source,
                         const std::string& destination) {
  try {
    files.CopyFile(source, destination);
  } catch (const Failure&) {
  }
}

}  // namespace

void UpdateWindow::InstallStagedFiles() {
  FileSystem& files = platform_.files;
  const FolderSettings& s = settings_;
  CopySkippingFailure(files, s.BackupDir + "\\" + s.MainExeName, s.AppDir + "\\" + s.MainExeName);
  CopySkippingFailure(files, s.BackupDir + "\\" + s.SubExeName, s.AppDir + "\\" + s.SubExeName);

  if (!model_.Selected(ControlId::TavSelt1Opt)) return;

  for (const ListRoute& list_route : kListRoutes) {
    const std::string staging = s.BackupDir + std::string(list_route.route.staging_folder) + "\\";
    const std::string install = s.AppDir + std::string(list_route.route.install_folder) + "\\";
    const FileList& list = catalogue_.List(list_route.list);
    for (int slot = FileList::kFirstSlot; slot <= FileList::kLastSlot; ++slot) {
      const std::string& name = list[slot];
      if (name.empty()) continue;
      CopySkippingFailure(files, staging + name, install + InstalledName(name));
    }
  }
}

}  // namespace kw
