#pragma once

#include <functional>
#include <string_view>

#include "platform/file_system.h"
#include "update/catalogue.h"

namespace kw {

// What the run start does with the files a download leaves beside its staged name while it is
// not whole.
struct PartialDownloads {
  // Whether a name is one of them; none is without it.
  std::function<bool(std::string_view name)> is_partial;
  // Kept for a later try to resume (a build that checks signed releases); otherwise removed, the
  // executables' in BackupDir too.
  bool keep = false;
};

// The file work that starts every run, whatever its scope:
// 1. creates each folder of the application tree (AppDir and its Data, Font and Image) and of
//    the staging tree (BackupDir, Update and its Data, Font and Image) that does not exist,
//    parents first;
// 2. turns the executables the previous run downloaded into BackupDir into the backup copies
//    KW_Bak.exe and KZ_Bak.exe (replacing older ones) and removes them from BackupDir, each on
//    its own;
// 3. deletes every ordinary file of the four staging folders, except partial downloads that are
//    kept; subfolders, hidden and system files stay, and a folder with nothing to delete is not
//    touched;
// 4. unless they are kept, deletes the partial downloads of the executables in BackupDir.
// A failure passes on at once; the steps after it do not run.
void PrepareWorkspace(FileSystem& files, const FolderSettings& settings,
                      const PartialDownloads& partials = {});

}  // namespace kw
