// The window thread's event queue on Qt's.

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <climits>

#include "ui/qt/qt_window.h"

namespace kw {

// Tasks posted by the transfer control are Qt's posted events, which cost nothing to look at.
void QtWindow::RunPostedTasks() { QCoreApplication::sendPostedEvents(); }

void QtWindow::ReadSystemEvents() { QCoreApplication::processEvents(); }

void QtWindow::SleepForEvents(std::chrono::milliseconds timeout) {
  if (timeout.count() <= 0) return QCoreApplication::processEvents();
  // The timer's own event ends the wait; nothing needs to be connected to it.
  QTimer deadline;
  deadline.setSingleShot(true);
  deadline.setTimerType(Qt::PreciseTimer);
  deadline.start(
      static_cast<int>(std::min<std::chrono::milliseconds::rep>(timeout.count(), INT_MAX)));
  QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

void QtWindow::Post(std::function<void()> task) {
  // Queued calls to one receiver are delivered in the order they were made, from any thread.
  QMetaObject::invokeMethod(
      this, [task = std::move(task)]() noexcept { task(); }, Qt::QueuedConnection);
}

}  // namespace kw
