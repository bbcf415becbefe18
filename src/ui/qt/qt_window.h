#pragma once

#include <QTimer>
#include <QWidget>
#include <array>
#include <chrono>
#include <functional>
#include <string_view>

#include "app/view_mirror.h"
#include "app/window_layout.h"

class QCloseEvent;

namespace kw {

// The update window on Qt Widgets: a fixed-size top-level window with a widget for every control
// of the window's table, and the toolkit calls a ViewMirror makes to mirror the window's model
// onto them and to run the window thread's events. Everything runs on the thread that created
// the QApplication, except Post().
class QtWindow final : public QWidget, public ViewToolkit {
  Q_OBJECT

 public:
  // Builds the window and its widgets, hidden, for the screen it will open on.
  explicit QtWindow(QWidget* parent = nullptr);
  ~QtWindow() override;
  QtWindow(const QtWindow&) = delete;
  QtWindow& operator=(const QtWindow&) = delete;

  // The widget that shows a control; its objectName is the control's name.
  QWidget* control(ControlId id) const { return controls_[static_cast<std::size_t>(id)]; }

  // ViewToolkit.
  void SetInput(ViewInput* input) override { input_ = input; }
  std::chrono::nanoseconds RefreshInterval() const override;
  void WriteCaption(ControlId id, std::string_view caption) override;
  void WriteProgress(ControlId id, int percent) override;
  void WriteEnabled(ControlId id, bool enabled) override;
  void WriteVisible(ControlId id, bool visible) override;
  void WriteSelected(ControlId id, bool selected) override;
  // Qt paints when it next handles its events, which a pump that wrote always does.
  void PaintWritten() override {}
  void StartPassTimer(std::chrono::milliseconds delay) override;
  void StopPassTimer() override { pass_timer_.stop(); }
  void RunPostedTasks() override;
  void ReadSystemEvents() override;
  void SleepForEvents(std::chrono::milliseconds timeout) override;
  // A task must not throw: Qt's event dispatch cannot carry an exception, so one that escapes
  // ends the program.
  void Post(std::function<void()> task) override;
  void Show() override;
  // Outside any event loop it only hides the window (Qt would keep the request to quit and end
  // the next loop at once, whatever it is).
  void Close() override;
  void SetBusyPointer(bool busy) override;
  // The box is parented to the window while it is shown, otherwise it stands alone.
  void ShowMessageBox(std::string_view title, std::string_view text) override;

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  ViewInput* input_ = nullptr;
  std::array<QWidget*, kControlCount> controls_{};
  QTimer pass_timer_;
};

}  // namespace kw
