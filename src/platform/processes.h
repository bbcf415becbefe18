#pragma once

#include <cstdint>
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

  // A snapshot of the processes this user can see. Fails only when no list can be read.
  virtual std::vector<RunningProcess> Running() = 0;

  // The updater's own process id.
  virtual std::int64_t CurrentId() = 0;

  // Asks a process to end at once and returns without waiting. A process that cannot be
  // ended (gone already, or not ours) is left alone: the result is false, nothing is raised.
  virtual bool End(std::int64_t id) = 0;

  // Starts a batch file (a Windows path) in a normal window and returns at once, without
  // waiting for it. Fails when the file does not exist or nothing can run it.
  virtual void StartBatchFile(std::string_view path) = 0;
};

}  // namespace kw
