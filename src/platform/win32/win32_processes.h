#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "platform/processes.h"

namespace kw {

// The processes of a Windows machine, through Toolhelp32 and the kernel's process calls.
//
// Running() takes a Toolhelp32 snapshot: every process with its one image name, the file name
// of its executable as the snapshot gives it ("KW.exe"). Fails (kProcessList) only when no
// snapshot can be taken.
//
// End() ends the process with TerminateProcess and does not wait for it. The updater's own
// id, an id that names no process, and a process this user may not end give false.
//
// StartBatchFile() runs the batch file with the command interpreter (%ComSpec% /s /c "path")
// in a new console window, shown normally and given the focus, with the batch file's folder as
// its working folder and no handle of the updater inherited; nothing waits for it. Fails with
// kFileNotFound (kPathNotFound when its folder is missing) and the system's description, naming
// the path, when the batch file does not exist or is a folder, and with kCannotStart when the
// interpreter cannot be started. Whether the batch file itself succeeds is not known.
class Win32Processes final : public Processes {
 public:
  std::vector<RunningProcess> Running() override;
  std::int64_t CurrentId() override;
  bool End(std::int64_t id) override;
  void StartBatchFile(std::string_view path) override;
};

}  // namespace kw
