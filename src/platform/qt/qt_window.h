#pragma once

#include <QTimer>
#include <QWidget>
#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string_view>

#include "app/window_layout.h"
#include "app/window_model.h"
#include "platform/window_host.h"

class QCloseEvent;

namespace kw {

class UpdateWindow;

// The update window on Qt Widgets: a fixed-size top-level window whose child widgets mirror an
// UpdateWindow's WindowModel, laid out from kControlLayouts, and the event loop the window's
// core pumps. Everything runs on the thread that created the QApplication, except Post().
//
// Life cycle: construct the view (the core's Platform host), then the UpdateWindow, then
// Attach(). CloseWindow() ends the mirroring for good and makes the running event loop (the
// application's exec()) return once the handler that called it has returned; called while no
// event loop runs, it only closes the window. The UpdateWindow may be destroyed before
// the view as long as no events are processed in between (main's return order does that).
//
// Captions and progress values reach the widgets at most once per screen refresh (a download
// writes them after every 1 KB chunk); enabled, visible and selected states, the pointer and
// the message box take effect at once, and a message box shows everything written before it.
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

  // Writes the captions and values changed since the last flush to the widgets now. The view
  // does this by itself once per screen refresh while changes are pending.
  void Flush();

  // EventLoop. PumpEvents skips its pass when the previous pass ended less than
  // kMinPumpInterval ago. A task posted with Post must not throw: Qt's event dispatch cannot
  // carry an exception, so one that escapes ends the program.
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

  static constexpr std::chrono::microseconds kMinPumpInterval{1000};

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void OnControlChanged(ControlId id, ControlProperty property) override;

  void BuildControl(const ControlLayout& layout);
  QRect ToPixels(const TwipsRect& twips) const;
  void ApplyCaption(ControlId id);
  void ApplyValue(ControlId id);
  void ApplySelected(ControlId id);
  void SetBusyCursor(bool busy);

  UpdateWindow* update_window_ = nullptr;
  WindowModel* model_ = nullptr;  // null before Attach and after CloseWindow
  std::array<QWidget*, kControlCount> controls_{};
  // Per control, the kinds of change not yet written to its widget (kDirtyCaption...).
  std::array<std::uint8_t, kControlCount> dirty_{};
  bool flush_scheduled_ = false;
  QTimer flush_timer_;
  bool busy_cursor_ = false;
  bool closed_ = false;
  double dots_per_inch_x_ = 96;
  double dots_per_inch_y_ = 96;
  std::chrono::steady_clock::time_point last_pass_end_{};
};

}  // namespace kw
