#pragma once

#include <functional>
#include <string_view>

#include "platform/processes.h"

namespace kw {

// The processes of a Windows machine, through Toolhelp32 and the kernel's process calls.
//
// EndProcesses() takes a Toolhelp32 snapshot and opens each process in it before it reads the
// process's one image name, the file name of its executable ("KW.exe"); a selected process is
// ended through that handle with TerminateProcess, without waiting for it. Processes this user
// may not end are not offered, nor processes that have ended by the time they are looked at.
// Fails (kProcessList) only when no snapshot can be taken.
//
// StartBatchFile() runs the batch file with the command interpreter (%ComSpec% /s /c "path")
// in a new console window, shown normally and given the focus, with the batch file's folder as
// its working folder and no handle of the updater inherited; nothing waits for it. Fails with
// kFileNotFound (kPathNotFound when its folder is missing) and the system's description, naming
// the path, when the batch file does not exist or is a folder, and with kCannotStart when the
// interpreter cannot be started. Whether the batch file itself succeeds is not known.
class Win32Processes final : public Processes {
 public:
  int EndProcesses(const std::function<bool(const RunningProcess&)>& select) override;
  void StartBatchFile(std::string_view path) override;
};

}  // namespace kw
