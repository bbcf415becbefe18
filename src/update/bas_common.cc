#include "update/bas_common.h"

#include <algorithm>

#include "platform/ascii.h"

namespace kw::basCommon {

void KillProcessByName(Processes& processes, std::string name) {
  // How many were ended is not our concern: the run goes on either way.
  processes.EndProcesses([&](const RunningProcess& process) {
    return std::ranges::any_of(process.image_names, [&](const std::string& image) {
      return EqualsIgnoringAsciiCase(image, name);
    });
  });
}

}  // namespace kw::basCommon
