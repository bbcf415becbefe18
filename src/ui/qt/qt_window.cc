#include "ui/qt/qt_window.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QCursor>
#include <QEventLoop>
#include <QGuiApplication>
#include <QMessageBox>
#include <QPalette>
#include <QScreen>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <climits>

#include "app/view_support.h"
#include "ui/qt/qt_widgets.h"

namespace kw {

QtWindow::QtWindow(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("sdiMain"));
  setWindowTitle(ToQString(kWindowCaption));
  QPalette window_palette = palette();
  window_palette.setColor(QPalette::Window, QColor(kWindowBackColour.red, kWindowBackColour.green,
                                                   kWindowBackColour.blue));
  setPalette(window_palette);
  setAutoFillBackground(true);

  const QScreen* const screen = this->screen();
  const double dpi_x = screen->logicalDotsPerInchX();
  const double dpi_y = screen->logicalDotsPerInchY();
  setFixedSize(TwipsToPixels(kWindowWidthTwips, dpi_x), TwipsToPixels(kWindowHeightTwips, dpi_y));
  // The table lists every container before the controls it holds.
  for (const ControlLayout& layout : kControlLayouts) {
    QWidget* const parent_widget = layout.container ? control(*layout.container) : this;
    QWidget* const widget = MakeControlWidget(layout, parent_widget, dpi_x, dpi_y);
    controls_[static_cast<std::size_t>(layout.id)] = widget;
    if (auto* const button = qobject_cast<QAbstractButton*>(widget)) {
      connect(button, &QAbstractButton::clicked, this, [this, id = layout.id] {
        if (input_) input_->Clicked(id);
      });
    }
  }
  // The error panel covers the banner, the progress frame and the labels when it is shown.
  control(ControlId::ErrViewFme)->raise();
  for (std::size_t i = 1; i < kTabOrder.size(); ++i) {
    setTabOrder(control(kTabOrder[i - 1]), control(kTabOrder[i]));
  }

  pass_timer_.setSingleShot(true);
  connect(&pass_timer_, &QTimer::timeout, this, [this] {
    if (input_) input_->PassTimerFired();
  });
}

QtWindow::~QtWindow() = default;

std::chrono::nanoseconds QtWindow::RefreshInterval() const {
  const double refresh_rate = screen()->refreshRate();
  return std::chrono::microseconds(
      static_cast<long>(1e6 / (refresh_rate >= 1 ? refresh_rate : 60)));
}

void QtWindow::WriteCaption(ControlId id, std::string_view caption) {
  kw::WriteCaption(control(id), id, caption);
}

void QtWindow::WriteProgress(ControlId id, int percent) { kw::WriteProgress(control(id), percent); }

void QtWindow::WriteEnabled(ControlId id, bool enabled) { control(id)->setEnabled(enabled); }

void QtWindow::WriteVisible(ControlId id, bool visible) {
  control(id)->setVisible(visible);
  if (visible && id == ControlId::ErrViewFme) control(id)->raise();
}

void QtWindow::WriteSelected(ControlId id, bool selected) {
  kw::WriteSelected(control(id), selected);
}

void QtWindow::StartPassTimer(std::chrono::milliseconds delay) {
  pass_timer_.start(static_cast<int>(delay.count()));
}

void QtWindow::Show() {
  QRect frame(QPoint(0, 0), size());
  frame.moveCenter(screen()->availableGeometry().center());
  move(frame.topLeft());
  show();
  raise();
  activateWindow();
}

void QtWindow::Close() {
  pass_timer_.stop();
  // hide(), not close(): close() would come back here through closeEvent.
  hide();
  // Ends app.exec() once control is back in it; a run pumping below it unwinds first.
  if (QThread::currentThread()->loopLevel() > 0) QCoreApplication::exit(0);
}

void QtWindow::closeEvent(QCloseEvent* event) {
  // The title bar, Alt+F4 and the session's end all land here; the core decides what closing
  // means, and closes the window itself.
  if (input_) input_->CloseRequested();
  event->accept();
}

void QtWindow::SetBusyPointer(bool busy) {
  if (busy) {
    QGuiApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
  } else {
    QGuiApplication::restoreOverrideCursor();
  }
}

void QtWindow::ShowMessageBox(std::string_view title, std::string_view text) {
  QMessageBox box(QMessageBox::NoIcon, ToQString(title), ToQString(text), QMessageBox::Ok,
                  isVisible() ? this : nullptr);
  box.setTextFormat(Qt::PlainText);
  box.setWindowModality(Qt::ApplicationModal);
  box.exec();
}

// The window thread's event queue on Qt's.

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
