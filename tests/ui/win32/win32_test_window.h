#pragma once

#include <string>

#include "app/update_window.h"
#include "platform/clock.h"
#include "platform/win32/windows_api.h"
#include "support/fakes.h"
#include "ui/win32/win32_window.h"

namespace kw::testing {

// The Win32 view attached to an update window on fakes, built the way wWinMain builds it.
struct Win32TestWindow {
  Win32TestWindow() { host.Attach(window); }

  HWND Control(ControlId id) const { return view.control(id); }
  WindowModel& model() { return window.model(); }

  NoDrive files;
  FakeProcesses processes{files};
  FakeInstanceGuard guard;
  SystemClock clock;
  Win32Window view{GetModuleHandleW(nullptr)};
  ViewMirror host{view, clock};
  ScriptedTransfer inet1{host};
  UpdateWindow window{{host, clock, files, processes, inet1, guard}, "update.test:8650"};
};

// A window's text, as WM_GETTEXT gives it to any program, in UTF-8.
std::string TextOf(HWND window);

}  // namespace kw::testing
