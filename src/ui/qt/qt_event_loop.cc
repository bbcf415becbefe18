// The window thread's event loop on Qt's: what the core's pumps and waits do.

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <climits>

#include "ui/qt/qt_window.h"

namespace kw {

void QtWindow::PumpEvents() {
  // What the model holds now goes to the widgets first, so that this pass paints it.
  const bool wrote = WriteDue();
  // Everything queued for the window (tasks posted by the transfer control, queued calls) is
  // in Qt's posted events, which cost nothing to look at. The window system's own events
  // (input, timers, painting) are read with a system call, which at a download's pace (a pump
  // per kilobyte) would cost more than the rest of the download: they are read by every pump
  // that writes to the screen or comes kSystemEventInterval or more after the last read, and
  // by every wait.
  const auto now = std::chrono::steady_clock::now();
  if (wrote || now - last_system_read_ >= kSystemEventInterval) {
    QCoreApplication::processEvents();
    last_system_read_ = now;
  } else {
    QCoreApplication::sendPostedEvents();
  }
}

void QtWindow::WaitForEvents(std::chrono::milliseconds timeout) {
  WriteDue();
  if (timeout.count() > 0) {
    // The timer's own event ends the wait; nothing needs to be connected to it.
    QTimer deadline;
    deadline.setSingleShot(true);
    deadline.setTimerType(Qt::PreciseTimer);
    deadline.start(
        static_cast<int>(std::min<std::chrono::milliseconds::rep>(timeout.count(), INT_MAX)));
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  } else {
    QCoreApplication::processEvents();
  }
  last_system_read_ = std::chrono::steady_clock::now();
}

void QtWindow::Post(std::function<void()> task) {
  // Queued calls to one receiver are delivered in the order they were made, from any thread.
  QMetaObject::invokeMethod(
      this, [task = std::move(task)]() noexcept { task(); }, Qt::QueuedConnection);
}

}  // namespace kw
