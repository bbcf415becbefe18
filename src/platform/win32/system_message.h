#pragma once

#include <string>

#include "platform/win32/windows_api.h"

namespace kw {

// The system's description of a GetLastError() number, in UTF-8, without the trailing line
// break and full stop ("The system cannot find the file specified"); "error N" when the system
// has none.
std::string SystemMessage(DWORD error);

}  // namespace kw
