#pragma once

#include <functional>
#include <string_view>

#include "platform/processes.h"

namespace kw {

// Processes of a Linux host whose Windows programs run under Wine.
//
// EndProcesses() reads /proc. A process's image names are the file names (what follows the
// last "/" or "\") of its executable and of its argv[0]; when argv[0] is a Wine loader ("wine",
// "wine64", "wine-preloader", "wine64-preloader"), of its argv[1] as well. Processes that end
// during the scan or cannot be read are left out; an unreadable /proc fails (kProcessList).
//
// Each process is held by a pidfd opened before its names are read, and a selected one is sent
// SIGKILL through it. Without pidfd_open (Linux before 5.3, or a sandbox that forbids it) no
// process can be ended safely, and EndProcesses fails (kProcessList) saying so.
//
// StartBatchFile() runs `<wine> start /d <folder> <path>` in the same Wine prefix, where <wine>
// is FindWine()'s absolute path and <folder> the batch file's Windows folder: Wine's start gives
// the batch file a console window of its own (or a hidden console where there is no display)
// and returns without waiting for it. Wine itself runs as SpawnDetached() starts it, in the
// batch file's host folder, with WINEPREFIX set to the absolute prefix the drive is mapped into
// (DriveMapping::FromEnvironment()), whatever the variable held. Fails with kFileNotFound when
// the batch file does not exist, with kPathNotFound when its drive is not in the prefix, and
// with kCannotStart when no Wine is found, Wine cannot be started, or Wine ends with a failure
// within half a second (as it does when it refuses the prefix). A failure after that is not
// seen: the call never holds its caller longer.
class PosixProcesses final : public Processes {
 public:
  PosixProcesses() = default;

  int EndProcesses(const std::function<bool(const RunningProcess&)>& select) override;
  // Reads WINEPREFIX, WINE and PATH at the time of the call, the same environment the batch
  // file gets.
  void StartBatchFile(std::string_view path) override;
};

}  // namespace kw
