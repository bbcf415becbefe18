#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "app/update_window.h"
#include "platform/clock.h"
#include "platform/failure.h"
#include "platform/file_system.h"
#include "support/fakes.h"
#include "ui/qt/qt_window.h"

namespace kw::testing {

// The Qt view attached to an update window on fakes, built the way main() builds it.
struct QtTestWindow {
  QtTestWindow() { host.Attach(window); }

  template <typename Widget>
  Widget* Get(ControlId id) const {
    return qobject_cast<Widget*>(view.control(id));
  }
  WindowModel& model() { return window.model(); }

  NoDrive files;
  FakeProcesses processes{files};
  FakeInstanceGuard guard;
  SystemClock clock;
  QtWindow view;
  ViewMirror host{view, clock};
  ScriptedTransfer inet1{host};
  UpdateWindow window{{host, clock, files, processes, inet1, guard}, "update.test:8650"};
};

// Answers the next application-modal message box: notes what it showed, runs `while_shown`,
// and presses its OK button. Polls, so it may be set up before the box exists.
class MessageBoxAnswer {
 public:
  explicit MessageBoxAnswer(std::function<void(QMessageBox&)> while_shown = {})
      : while_shown_(std::move(while_shown)) {
    timer_.setInterval(5);
    QObject::connect(&timer_, &QTimer::timeout, [this] { Poll(); });
    timer_.start();
  }

  bool answered = false;
  QString title;
  QString text;
  QMessageBox::StandardButtons buttons;
  qsizetype button_count = 0;
  bool modal = false;
  QPointer<QWidget> parent;

 private:
  void Poll() {
    auto* const box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box == nullptr) return;
    timer_.stop();
    answered = true;
    title = box->windowTitle();
    text = box->text();
    buttons = box->standardButtons();
    button_count = box->buttons().size();
    modal = box->windowModality() == Qt::ApplicationModal;
    parent = box->parentWidget();
    if (while_shown_) while_shown_(*box);
    box->button(QMessageBox::Ok)->click();
  }

  std::function<void(QMessageBox&)> while_shown_;
  QTimer timer_;
};

// Runs the window thread's events until `done` holds; false when a generous deadline passes
// first.
inline bool RunEventsUntil(ViewMirror& host, const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    host.WaitForEvents(std::chrono::milliseconds(20));
  }
  return true;
}

}  // namespace kw::testing
