#pragma once

#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/failure.h"
#include "platform/file_system.h"
#include "update/catalogue.h"

namespace kw {

// What an installation left out: the files it could not install, by their names in the
// catalogue ("KW.exe", "KW_Update.Ba$"), in the order tried, and why the first of them was not.
// first_failure is set exactly when the list is not empty.
struct InstallOutcome {
  std::vector<std::string> not_installed;
  std::optional<Failure> first_failure;
};

// Copies a run's staged files into the application tree: the two executables always, first
// KW.exe then KZ.exe; in a full update then every filled slot of the four lists, in list and
// slot order, under its installed name (InstalledName). Each copy stands on its own: one that
// fails (a staged file missing, a destination folder missing or in use) is skipped and the next
// one runs; the outcome names it. A file whose installed path is in `unchanged` (a signed run
// found it already installed as released) is neither copied nor named. Raises nothing; shows
// nothing.
InstallOutcome InstallStagedFiles(FileSystem& files, const FolderSettings& settings,
                                  const FileCatalogue& catalogue, bool full_update,
                                  const std::set<std::string, std::less<>>& unchanged = {});

}  // namespace kw
