#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string_view>

#include "app/view_support.h"
#include "app/window_layout.h"
#include "app/window_model.h"
#include "platform/clock.h"
#include "platform/window_host.h"

namespace kw {

class UpdateWindow;

// What the operator does in a view, as the view reports it to the ViewMirror.
class ViewInput {
 public:
  virtual void Clicked(ControlId id) = 0;
  // The title bar, Alt+F4, the session's end: the core decides what closing means.
  virtual void CloseRequested() = 0;
  // The pass timer the mirror started has run out.
  virtual void PassTimerFired() = 0;

 protected:
  ~ViewInput() = default;
};

// The calls of one windowing toolkit, as the ViewMirror makes them: the writes to its widgets,
// a timer, its event queue and its window. A view implements them and nothing else; when they
// are made is the mirror's business. All are made on the window's thread, except Post().
class ViewToolkit {
 public:
  virtual ~ViewToolkit() = default;

  // Where the view reports clicks, closing and its timer; null: nowhere.
  virtual void SetInput(ViewInput* input) = 0;
  // The time between two refreshes of the screen the window is on.
  virtual std::chrono::nanoseconds RefreshInterval() const = 0;

  virtual void WriteCaption(ControlId id, std::string_view caption) = 0;
  // A progress bar's position, already within 0..100.
  virtual void WriteProgress(ControlId id, int percent) = 0;
  virtual void WriteEnabled(ControlId id, bool enabled) = 0;
  virtual void WriteVisible(ControlId id, bool visible) = 0;
  // An option button's state; selecting one clears the others of its frame.
  virtual void WriteSelected(ControlId id, bool selected) = 0;
  // Puts what was written on the screen before it returns, where the toolkit would only do so
  // when it next reads the system's events.
  virtual void PaintWritten() = 0;

  // The one pass timer: PassTimerFired after `delay` (restarting it if it runs), until stopped.
  virtual void StartPassTimer(std::chrono::milliseconds delay) = 0;
  virtual void StopPassTimer() = 0;

  // Runs the tasks Post queued, without looking at the system's events.
  virtual void RunPostedTasks() = 0;
  // Handles every event the system has for the window (input, timers, painting) and the
  // posted tasks.
  virtual void ReadSystemEvents() = 0;
  // Sleeps until an event comes or `timeout` passes, then handles what is waiting.
  virtual void SleepForEvents(std::chrono::milliseconds timeout) = 0;
  // EventLoop::Post: safe from any thread; wakes SleepForEvents.
  virtual void Post(std::function<void()> task) = 0;

  // Shows the window centred on its screen.
  virtual void Show() = 0;
  // Hides the window for good and ends the program's event loop once the handler that called
  // this has returned.
  virtual void Close() = 0;
  virtual void SetBusyPointer(bool busy) = 0;
  // A modal box with an OK button only; returns when the operator has closed it.
  virtual void ShowMessageBox(std::string_view title, std::string_view text) = 0;
};

// The window host of the core, written once for every view: it mirrors an UpdateWindow's
// model onto a view's widgets and runs the window thread's events through the view's toolkit.
//
// - Enabled, visible and selected states take effect at once; captions and values as
//   ScreenUpdates says: by the next pump, the per-chunk displays at most once per screen
//   refresh, and by the view's pass timer when no pump comes (the window idle between runs).
//   A panel that appears, a message box and the window's first showing show every caption
//   written before them.
// - A pump runs every posted task and paints what the model held; it reads the system's events
//   too, unless it had nothing to paint and read them less than kSystemEventInterval ago (at a
//   download's pace of a pump per kilobyte, the system call would cost more than the rest). A
//   wait always reads them.
// - The busy pointer gives way to the ordinary one while a message box is open.
// - After CloseWindow nothing is written to the view again and clicks go nowhere.
//
// Life cycle: make the view, then the mirror over it, then the UpdateWindow on the mirror, then
// Attach. The UpdateWindow may be destroyed first as long as no events are processed in between;
// the mirror must go before the view.
class ViewMirror final : public WindowHost, public ViewInput, private WindowModelObserver {
 public:
  static constexpr std::chrono::microseconds kSystemEventInterval{1000};

  ViewMirror(ViewToolkit& toolkit, Clock& clock);
  ~ViewMirror() override;
  ViewMirror(const ViewMirror&) = delete;
  ViewMirror& operator=(const ViewMirror&) = delete;

  // Writes every control's state to the view and mirrors the window's model from now on.
  // Call once, before the window's Load().
  void Attach(UpdateWindow& window);

  // EventLoop.
  void PumpEvents() override;
  void WaitForEvents(std::chrono::milliseconds timeout) override;
  void Post(std::function<void()> task) override;

  // WindowHost.
  void ShowWindow() override;
  void CloseWindow() override;
  void SetMousePointer(MousePointer pointer) override;
  void ShowMessage(std::string_view title, std::string_view text) override;

  // ViewInput.
  void Clicked(ControlId id) override;
  void CloseRequested() override;
  void PassTimerFired() override;

 private:
  void OnControlChanged(ControlId id, ControlProperty property) override;
  // Writes the captions and values that are due and paints them; whether there were any.
  bool WriteDue();
  // The value of a progress bar; other kinds of control have none.
  void WriteValue(ControlId id);
  void SetBusy(bool busy);

  ViewToolkit& toolkit_;
  Clock& clock_;
  UpdateWindow* window_ = nullptr;
  WindowModel* model_ = nullptr;  // null before Attach and after CloseWindow
  std::optional<ScreenUpdates> updates_;
  bool pass_timer_running_ = false;
  bool busy_ = false;
  bool closed_ = false;
  std::optional<Clock::TimePoint> last_system_read_;
};

}  // namespace kw
