#pragma once

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>

#include "app/view_support.h"
#include "app/window_model.h"
#include "ui/win32/win32_controls.h"
#include "platform/win32/windows_api.h"
#include "platform/window_host.h"

namespace kw {

class UpdateWindow;

// The update window on native Win32 controls: a fixed-size top-level window whose controls
// mirror an UpdateWindow's WindowModel, and the message loop the window's core pumps.
// Everything runs on the thread that made it, except Post().
//
// Life cycle: construct the view (the core's Platform host), then the UpdateWindow, then
// Attach(); Run() is the program's message loop. CloseWindow() hides the window for good, ends
// the mirroring and makes Run() return once the handler that called it has returned. Closing
// the window by any means (the title bar, Alt+F4, the session's end) goes to the core's Unload.
//
// Enabled, visible and selected states, the pointer and the message box take effect at once;
// captions and values are written as ScreenUpdates says: by the next pump, the per-chunk
// displays at most once per screen refresh. A message box shows everything written before it.
class Win32Window final : public WindowHost, private WindowModelObserver {
 public:
  // Makes the window, hidden. Fails (error::kInternal) when Windows refuses it.
  explicit Win32Window(HINSTANCE instance);
  ~Win32Window() override;
  Win32Window(const Win32Window&) = delete;
  Win32Window& operator=(const Win32Window&) = delete;

  // Builds the controls from the window's model and forwards the operator's clicks and the
  // closing of the window to it. Call once, before the window's Load().
  void Attach(UpdateWindow& window);

  // Runs messages until the window is closed; the program's exit code.
  int Run();

  HWND handle() const { return window_; }
  HWND control(ControlId id) const { return controls_->Handle(id); }

  // EventLoop. A pump runs every task posted before it and paints what the model held; it
  // reads the window system's messages too, unless it has nothing to paint and did so less
  // than kSystemEventInterval ago (a wait always does).
  void PumpEvents() override;
  void WaitForEvents(std::chrono::milliseconds timeout) override;
  void Post(std::function<void()> task) override;

  // WindowHost.
  void ShowWindow() override;
  void CloseWindow() override;
  void SetMousePointer(MousePointer pointer) override;
  void ShowMessage(std::string_view title, std::string_view text) override;

  static constexpr std::chrono::microseconds kSystemEventInterval{1000};

 private:
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM w, LPARAM l);
  LRESULT OnMessage(UINT message, WPARAM w, LPARAM l);
  void OnControlChanged(ControlId id, ControlProperty property) override;
  // Writes the captions and values that are due, and paints them; whether there were any.
  bool WriteDue();
  void OnPassTimer();
  void RunPostedTasks();
  // Dispatches every message waiting; a quit request is left for Run().
  void DispatchWaiting();
  UINT Dpi() const;

  HINSTANCE instance_;
  HWND window_ = nullptr;
  UniqueBrush background_;
  std::unique_ptr<Win32Controls> controls_;
  UpdateWindow* update_window_ = nullptr;
  WindowModel* model_ = nullptr;  // null before Attach and after CloseWindow
  std::optional<ScreenUpdates> updates_;
  bool pass_armed_ = false;
  bool busy_ = false;
  bool closed_ = false;
  bool quit_seen_ = false;
  std::chrono::steady_clock::time_point last_system_read_{};

  std::mutex tasks_mutex_;
  std::deque<std::function<void()>> tasks_;
  std::atomic<bool> tasks_waiting_ = false;
};

}  // namespace kw
