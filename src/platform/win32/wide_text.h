#pragma once

#include <string>
#include <string_view>

namespace kw {

// UTF-8, the program's text, to UTF-16 for a Win32 call, and back. Invalid sequences become
// U+FFFD; neither ever fails.
std::wstring Widen(std::string_view text);
std::string Narrow(std::wstring_view text);

}  // namespace kw
