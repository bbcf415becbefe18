// The Windows program: the window's core on the Win32 view, file system, processes, instance
// guard and the WinINet transfer control.

#include <memory>

#include "app/update_window.h"
#include "app/view_mirror.h"
#include "build_config.h"
#include "platform/clock.h"
#include "platform/failure.h"
#include "platform/win32/cng_crypto.h"
#include "platform/win32/mutex_instance_guard.h"
#include "platform/win32/wide_text.h"
#include "platform/win32/win32_file_system.h"
#include "platform/win32/win32_processes.h"
#include "platform/win32/windows_api.h"
#include "transfer/http_transfer_control.h"
#include "transfer/wininet/wininet_backend.h"
#include "ui/win32/win32_window.h"

namespace {

int Run(HINSTANCE instance) {
  // Destroyed in reverse: the window first, then the transfer control it uses (which posts to
  // the view), then the view's mirror and the view, and the instance guard's mutex last.
  kw::MutexInstanceGuard guard;
  kw::Win32FileSystem files;
  kw::Win32Processes processes;
  kw::SystemClock clock;
  kw::Win32Window view(instance);
  kw::ViewMirror host(view, clock);
  kw::HttpTransferControl inet1(host, std::make_unique<kw::WinInetBackend>());
  kw::CngCrypto crypto;
  kw::UpdateWindow window({host, clock, files, processes, inet1, guard}, KW_UPDATE_HOST,
                          kw::SigningOfBuild(KW_UPDATE_SIGNING_KEY, crypto));
  host.Attach(window);
  if (!window.Load()) return 0;
  return view.Run();
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  // COM carries the controls' names to assistive technology.
  const bool com = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&controls);
  int exit_code = 1;
  try {
    exit_code = Run(instance);
  } catch (const kw::Failure& failure) {
    // Only the start-up can get here: no handler lets a Failure out of the message loop.
    MessageBoxW(nullptr, kw::Widen(failure.Message()).c_str(), kw::Widen(kw::kAppTitle).c_str(),
                MB_OK | MB_ICONERROR);
  }
  if (com) CoUninitialize();
  return exit_code;
}
