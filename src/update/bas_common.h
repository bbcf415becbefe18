#pragma once

#include <string>

#include "platform/processes.h"

namespace kw::basCommon {

// Ends every running process whose executable image has the file name `name`, compared
// without regard to ASCII case, and never the updater itself (the platform never offers it).
// Nothing is asked, shown or waited for; a process that cannot be ended is left running. A
// failure to list the processes passes on.
void KillProcessByName(Processes& processes, std::string name);

}  // namespace kw::basCommon
