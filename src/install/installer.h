#pragma once

#include "platform/file_system.h"
#include "update/catalogue.h"

namespace kw {

// Copies a run's staged files into the application tree: the two executables always, first
// KW.exe then KZ.exe; in a full update then every filled slot of the four lists, in list and
// slot order, under its installed name (InstalledName). Each copy stands on its own: one that
// fails (a staged file missing, a destination folder missing or in use) is skipped without a
// word and the next one runs. Raises nothing; shows nothing.
void InstallStagedFiles(FileSystem& files, const FolderSettings& settings,
                        const FileCatalogue& catalogue, bool full_update);

}  // namespace kw
