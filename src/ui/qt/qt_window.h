#pragma once

#include <QTimer>
#include <QWidget>
#include <array>
#include <chrono>
#include <functional>
#include <optional>
#include <string_view>

#include "app/view_support.h"
#include "app/window_layout.h"
#include "app/window_model.h"
#include "platform/window_host.h"

class QCloseEvent;

namespace kw {

class UpdateWindow;

// The update window on Qt Widgets: a fixed-size top-level window whose child widgets mirror an
// UpdateWindow's WindowModel, and the event loop the window's core pumps. Everything runs on
// the thread that created the QApplication, except Post().
//
// Life cycle: construct the view (the core's Platform host), then the UpdateWindow, then
// Attach(). CloseWindow() ends the mirroring for good and makes the running event loop (the
// application's exec()) return once the handler that called it has returned; called while no
// event loop runs, it only closes the window. The UpdateWindow may be destroyed before
// the view as long as no events are processed in between (main's return order does that).
//
// Enabled, visible and selected states, the pointer and the message box take effect at once;
// captions and values are written as ScreenUpdates says: by the next pump, the per-chunk
// displays at most once per screen refresh. A message box shows everything written before it.
class QtWindow final : public QWidget, public WindowHost, private WindowModelObserver {
  Q_OBJECT

 public:
  explicit QtWindow(QWidget* parent = nullptr);
  ~QtWindow() override;
  QtWindow(const QtWindow&) = delete;
  QtWindow& operator=(const QtWindow&) = delete;

  // Builds the widgets from the window's model and forwards the operator's clicks and the
  // closing of the window to it. Call once, before the window's Load().
  void Attach(UpdateWindow& window);

  // The widget that shows a control; its objectName is the control's name.
  QWidget* control(ControlId id) const { return controls_[static_cast<std::size_t>(id)]; }

  // EventLoop. A pump runs every task posted before it and paints what the model held; it
  // reads the window system's input too, unless it has nothing to paint and did so less than
  // kSystemEventInterval ago (a wait always does). A task posted with Post must not throw: Qt's
  // event dispatch cannot carry an exception, so one that escapes ends the program.
  void PumpEvents() override;
  void WaitForEvents(std::chrono::milliseconds timeout) override;
  void Post(std::function<void()> task) override;

  // WindowHost.
  void ShowWindow() override;
  void CloseWindow() override;
  void SetMousePointer(MousePointer pointer) override;
  // The box is parented to the window while it is shown, otherwise it stands alone. The busy
  // pointer, if set, gives way to the ordinary one while the box is open.
  void ShowMessage(std::string_view title, std::string_view text) override;

  static constexpr std::chrono::microseconds kSystemEventInterval{1000};

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void OnControlChanged(ControlId id, ControlProperty property) override;
  // Writes the captions and values that are due to their widgets; whether there were any.
  bool WriteDue();
  // The view's own pass, for changes made while no pump comes.
  void OnPassTimer();
  void SetBusyCursor(bool busy);

  UpdateWindow* update_window_ = nullptr;
  WindowModel* model_ = nullptr;  // null before Attach and after CloseWindow
  std::array<QWidget*, kControlCount> controls_{};
  std::optional<ScreenUpdates> updates_;
  QTimer pass_timer_;
  bool busy_cursor_ = false;
  bool closed_ = false;
  std::chrono::steady_clock::time_point last_system_read_{};
};

}  // namespace kw
