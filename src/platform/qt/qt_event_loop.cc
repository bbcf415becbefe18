// The window thread's event loop on Qt's: what the core's pumps and waits do.

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <climits>

#include "platform/qt/qt_window.h"

namespace kw {

void QtWindow::PumpEvents() {
  // What the model holds now goes to the widgets first, so that this pass paints it.
  WriteDue();
  QCoreApplication::processEvents();
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
}

void QtWindow::Post(std::function<void()> task) {
  // Queued calls to one receiver are delivered in the order they were made, from any thread.
  QMetaObject::invokeMethod(
      this, [task = std::move(task)]() noexcept { task(); }, Qt::QueuedConnection);
}

}  // namespace kw
