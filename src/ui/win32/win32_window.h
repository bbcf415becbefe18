#pragma once

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string_view>

#include "app/view_mirror.h"
#include "platform/win32/windows_api.h"
#include "ui/win32/win32_controls.h"

namespace kw {

// The update window on native Win32 controls: a fixed-size top-level window with a control for
// every control of the window's table, and the toolkit calls a ViewMirror makes to mirror the
// window's model onto them and to run the window thread's messages. Everything runs on the
// thread that made it, except Post().
class Win32Window final : public ViewToolkit {
 public:
  // Makes the window and its controls, hidden. Fails (error::kInternal) when Windows refuses.
  explicit Win32Window(HINSTANCE instance);
  ~Win32Window() override;
  Win32Window(const Win32Window&) = delete;
  Win32Window& operator=(const Win32Window&) = delete;

  // Runs messages until the window is closed; the program's exit code.
  int Run();

  HWND handle() const { return window_; }
  HWND control(ControlId id) const { return controls_->Handle(id); }

  // ViewToolkit.
  void SetInput(ViewInput* input) override { input_ = input; }
  std::chrono::nanoseconds RefreshInterval() const override;
  void WriteCaption(ControlId id, std::string_view caption) override;
  void WriteProgress(ControlId id, int percent) override;
  void WriteEnabled(ControlId id, bool enabled) override;
  void WriteVisible(ControlId id, bool visible) override;
  void WriteSelected(ControlId id, bool selected) override;
  void PaintWritten() override;
  void StartPassTimer(std::chrono::milliseconds delay) override;
  void StopPassTimer() override;
  void RunPostedTasks() override;
  // Dispatches every message waiting; a quit request is left for Run().
  void ReadSystemEvents() override;
  void SleepForEvents(std::chrono::milliseconds timeout) override;
  void Post(std::function<void()> task) override;
  void Show() override;
  void Close() override;
  void SetBusyPointer(bool busy) override;
  void ShowMessageBox(std::string_view title, std::string_view text) override;

 private:
  // Wakes the thread for the tasks Post queued.
  static constexpr UINT kRunTasksMessage = WM_APP + 1;
  static constexpr UINT_PTR kPassTimer = 1;

  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM w, LPARAM l);
  LRESULT OnMessage(UINT message, WPARAM w, LPARAM l);
  UINT Dpi() const;

  HINSTANCE instance_;
  HWND window_ = nullptr;
  UniqueBrush background_;
  std::unique_ptr<Win32Controls> controls_;
  ViewInput* input_ = nullptr;
  bool busy_ = false;
  bool quit_seen_ = false;

  std::mutex tasks_mutex_;
  std::deque<std::function<void()>> tasks_;
  std::atomic<bool> tasks_waiting_ = false;
};

}  // namespace kw
