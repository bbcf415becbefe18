#include "update/installer.h"

#include <string>

#include "platform/failure.h"

namespace kw {

namespace {

void CopySkippingFailure(FileSystem& files, const std::string& source,
                         const std::string& destination, const std::string& name,
                         const std::set<std::string, std::less<>>& unchanged,
                         InstallOutcome& outcome) {
  if (unchanged.contains(destination)) return;
  try {
    files.CopyFile(source, destination);
  } catch (const Failure& failure) {
    outcome.not_installed.push_back(name);
    if (!outcome.first_failure) outcome.first_failure = failure;
  }
}

}  // namespace

InstallOutcome InstallStagedFiles(FileSystem& files, const FolderSettings& settings,
                                  const FileCatalogue& catalogue, bool full_update,
                                  const std::set<std::string, std::less<>>& unchanged) {
  InstallOutcome outcome;
  for (const std::string& executable : {settings.MainExeName, settings.SubExeName}) {
    CopySkippingFailure(files, StagedPath(settings, kExecutableRoute, executable),
                        InstalledPath(settings, kExecutableRoute, executable), executable,
                        unchanged, outcome);
  }
  if (!full_update) return outcome;

  for (const ListRoute& list_route : kListRoutes) {
    const FileList& list = catalogue.List(list_route.list);
    for (int slot = FileList::kFirstSlot; slot <= FileList::kLastSlot; ++slot) {
      const std::string& name = list[slot];
      if (name.empty()) continue;
      CopySkippingFailure(files, StagedPath(settings, list_route.route, name),
                          InstalledPath(settings, list_route.route, name), name, unchanged,
                          outcome);
    }
  }
  return outcome;
}

}  // namespace kw
