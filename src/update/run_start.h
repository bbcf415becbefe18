#pragma once

#include "platform/file_system.h"
#include "update/catalogue.h"

namespace kw {

// The file work that starts every run, whatever its scope:
// 1. creates each folder of the application tree (AppDir and its Data, Font and Image) and of
//    the staging tree (BackupDir, Update and its Data, Font and Image) that does not exist,
//    parents first;
// 2. turns the executables the previous run downloaded into BackupDir into the backup copies
//    KW_Bak.exe and KZ_Bak.exe (replacing older ones) and removes them from BackupDir, each on
//    its own;
// 3. deletes every ordinary file of the four staging folders; subfolders, hidden and system
//    files stay, and a folder with nothing to delete is not touched.
// A failure passes on at once; the steps after it do not run.
void PrepareWorkspace(FileSystem& files, const FolderSettings& settings);

}  // namespace kw
