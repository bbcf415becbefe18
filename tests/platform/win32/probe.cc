// A helper the Win32 tests start as another process:
//   kw_test_probe guard NAME    exits with 1 when a MutexInstanceGuard of NAME says another
//                               instance runs, 0 when it does not.
#include <string_view>

#include "platform/win32/mutex_instance_guard.h"

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  const std::string_view mode = argv[1];
  if (mode == "guard") return kw::MutexInstanceGuard(argv[2]).AnotherInstanceRunning() ? 1 : 0;
  return 2;
}
