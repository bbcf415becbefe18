#include "platform/win32/system_message.h"

#include <iterator>
#include <string>

#include "platform/win32/wide_text.h"

namespace kw {

std::string SystemMessage(DWORD error) {
  // Longer than any message the system has for a file or process error.
  wchar_t buffer[512];
  const DWORD length =
      ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                       0, buffer, static_cast<DWORD>(std::size(buffer)), nullptr);
  std::wstring_view message(buffer, length);
  while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' ||
                              message.back() == L' ' || message.back() == L'.')) {
    message.remove_suffix(1);
  }
  if (message.empty()) return "error " + std::to_string(error);
  return Narrow(message);
}

}  // namespace kw
