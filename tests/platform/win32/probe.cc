// A helper the Win32 tests start as another process:
//   kw_test_probe guard NAME    exits with 1 when a MutexInstanceGuard of NAME says another
//                               instance runs, 0 when it does not, 2 when it fails;
//   kw_test_probe console FILE  writes "window=W visible=V" to FILE: whether its console has
//                               a window (1 or 0), and whether that window is visible.
#include <fstream>
#include <string_view>

#include "platform/failure.h"
#include "platform/win32/mutex_instance_guard.h"
#include "platform/win32/windows_api.h"

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  const std::string_view mode = argv[1];
  if (mode == "guard") {
    try {
      return kw::MutexInstanceGuard(argv[2]).AnotherInstanceRunning() ? 1 : 0;
    } catch (const kw::Failure&) {
      return 2;
    }
  }
  if (mode == "console") {
    const HWND window = ::GetConsoleWindow();
    std::ofstream out(argv[2]);
    out << "window=" << (window != nullptr) << " visible=" << (::IsWindowVisible(window) != 0);
    return out ? 0 : 3;
  }
  return 2;
}
