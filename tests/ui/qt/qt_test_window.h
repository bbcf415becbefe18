#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>
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
  QString text;

 private:
  void Poll() {
    auto* const box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box == nullptr) return;
    timer_.stop();
    answered = true;
    text = box->text();
    if (while_shown_) while_shown_(*box);
    box->button(QMessageBox::Ok)->click();
  }

  std::function<void(QMessageBox&)> while_shown_;
  QTimer timer_;
};

}  // namespace kw::testing
