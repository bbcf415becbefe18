#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace kw {

// A running process and the names its executable image goes by: the file name of the
// executable, and where the platform knows it, the file name the process was started as (a
// Wine-hosted "KW.exe" runs as a loader whose first argument names "KW.exe").
struct RunningProcess {
  std::int64_t id = 0;
  std::vector<std::string> image_names;
};

class Processes {
 public:
  virtual ~Processes() = default;

  // Looks at the running processes once and ends at once each one that `select` picks,
  // without waiting for it to go; returns how many it ended. The updater itself is never
  // offered. `select` runs on the calling thread, once for each process offered.
  //
  // A process is ended through a handle the platform opened before it read the process's
  // names, so the process ended is the one `select` was shown, never a later process that
  // has been given the same id. Processes that end during the scan, or whose names cannot be
  // read, are not offered; processes the updater may not end may be left out, and one that
  // cannot be ended stays running and is not counted.
  //
  // Fails (kProcessList) when the processes cannot be listed or opened at all; processes
  // ended before the failure stay ended.
  virtual int EndProcesses(const std::function<bool(const RunningProcess&)>& select) = 0;

  // Starts a batch file (a Windows path) in its own folder, its console a normal window the
  // operator sees, and returns at once, without waiting for it. Fails (kFileNotFound) naming
  // the file when it does not exist, and (kCannotStart) when nothing can run it. Whether the
  // batch file itself succeeds is not known to the caller.
  virtual void StartBatchFile(std::string_view path) = 0;
};

}  // namespace kw
