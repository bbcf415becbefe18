#include "ui/qt/qt_window.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCloseEvent>
#include <QCursor>
#include <QGuiApplication>
#include <QMessageBox>
#include <QPalette>
#include <QScreen>
#include <QThread>
#include <algorithm>

#include "app/update_window.h"
#include "ui/qt/qt_widgets.h"

namespace kw {

namespace {

using enum ControlId;

}  // namespace

QtWindow::QtWindow(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("sdiMain"));
  setWindowTitle(ToQString(kWindowCaption));
  QPalette window_palette = palette();
  window_palette.setColor(QPalette::Window, QColor(kWindowBackColour.red, kWindowBackColour.green,
                                                   kWindowBackColour.blue));
  setPalette(window_palette);
  setAutoFillBackground(true);

  pass_timer_.setSingleShot(true);
  connect(&pass_timer_, &QTimer::timeout, this, &QtWindow::OnPassTimer);
}

// The model is left alone here: the UpdateWindow that owns it may already be gone.
QtWindow::~QtWindow() { SetBusyCursor(false); }

void QtWindow::Attach(UpdateWindow& window) {
  update_window_ = &window;
  model_ = &window.model();

  const QScreen* const screen = this->screen();
  const double dpi_x = screen->logicalDotsPerInchX();
  const double dpi_y = screen->logicalDotsPerInchY();
  const double refresh_rate = screen->refreshRate();
  updates_.emplace(
      std::chrono::microseconds(static_cast<long>(1e6 / (refresh_rate >= 1 ? refresh_rate : 60))));

  setFixedSize(TwipsToPixels(kWindowWidthTwips, dpi_x), TwipsToPixels(kWindowHeightTwips, dpi_y));
  // The table lists every container before the controls it holds.
  for (const ControlLayout& layout : kControlLayouts) {
    QWidget* const parent = layout.container ? control(*layout.container) : this;
    QWidget* const widget = MakeControlWidget(layout, parent, dpi_x, dpi_y);
    controls_[static_cast<std::size_t>(layout.id)] = widget;
    const ControlId id = layout.id;
    if (auto* const button = qobject_cast<QAbstractButton*>(widget)) {
      connect(button, &QAbstractButton::clicked, this, [this, id] {
        if (!closed_) update_window_->Click(id);
      });
    }
    WriteCaption(widget, id, model_->Caption(id));
    WriteValue(widget, id, model_->Value(id));
    WriteSelected(widget, id, model_->Selected(id));
    widget->setEnabled(model_->Enabled(id));
    widget->setVisible(model_->Visible(id));
  }
  // The error panel covers the banner, the progress frame and the labels when it is shown.
  control(ErrViewFme)->raise();
  for (std::size_t i = 1; i < kTabOrder.size(); ++i) {
    setTabOrder(control(kTabOrder[i - 1]), control(kTabOrder[i]));
  }
  model_->AddObserver(this);
}

void QtWindow::OnControlChanged(ControlId id, ControlProperty property) {
  switch (property) {
    case ControlProperty::kCaption:
    case ControlProperty::kValue:
      updates_->Mark(id, property);
      if (!pass_timer_.isActive()) pass_timer_.start(0);
      return;
    case ControlProperty::kEnabled:
      control(id)->setEnabled(model_->Enabled(id));
      return;
    case ControlProperty::kVisible: {
      const bool visible = model_->Visible(id);
      // A panel that appears shows its latest text at once.
      if (visible) WriteDue();
      control(id)->setVisible(visible);
      if (visible && id == ErrViewFme) control(id)->raise();
      return;
    }
    case ControlProperty::kSelected:
      WriteSelected(control(id), id, model_->Selected(id));
      return;
  }
}

bool QtWindow::WriteDue() {
  if (model_ == nullptr) return false;
  bool wrote = false;
  updates_->Take(std::chrono::steady_clock::now(), [&](ControlId id, ControlProperty property) {
    wrote = true;
    if (property == ControlProperty::kCaption) {
      WriteCaption(control(id), id, model_->Caption(id));
    } else {
      WriteValue(control(id), id, model_->Value(id));
    }
  });
  return wrote;
}

void QtWindow::OnPassTimer() {
  WriteDue();
  if (model_ == nullptr) return;
  if (const auto due = updates_->NextDue()) {
    const auto wait =
        std::chrono::ceil<std::chrono::milliseconds>(*due - std::chrono::steady_clock::now());
    pass_timer_.start(static_cast<int>(std::max<std::chrono::milliseconds::rep>(0, wait.count())));
  }
}

void QtWindow::ShowWindow() {
  if (closed_) return;
  WriteDue();
  QRect frame(QPoint(0, 0), size());
  frame.moveCenter(screen()->availableGeometry().center());
  move(frame.topLeft());
  show();
  raise();
  activateWindow();
}

void QtWindow::CloseWindow() {
  if (closed_) return;
  closed_ = true;
  if (model_) model_->RemoveObserver(this);
  model_ = nullptr;
  pass_timer_.stop();
  SetBusyCursor(false);
  // hide(), not close(): close() would come back here through closeEvent.
  hide();
  // Ends app.exec() once control is back in it; a run pumping below it unwinds first. Outside
  // any event loop Qt would keep the request and end the next loop at once, whatever it is.
  if (QThread::currentThread()->loopLevel() > 0) QCoreApplication::exit(0);
}

void QtWindow::closeEvent(QCloseEvent* event) {
  // The title bar, Alt+F4 and the session's end all land here; the core decides what closing
  // means, and closes the window itself through CloseWindow.
  if (!closed_ && update_window_) update_window_->Unload();
  event->accept();
}

void QtWindow::SetMousePointer(MousePointer pointer) {
  if (closed_) return;
  SetBusyCursor(pointer == MousePointer::kBusy);
}

void QtWindow::SetBusyCursor(bool busy) {
  if (busy == busy_cursor_) return;
  busy_cursor_ = busy;
  if (busy) {
    QGuiApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
  } else {
    QGuiApplication::restoreOverrideCursor();
  }
}

void QtWindow::ShowMessage(std::string_view title, std::string_view text) {
  WriteDue();
  const bool was_busy = busy_cursor_;
  SetBusyCursor(false);
  QMessageBox box(QMessageBox::NoIcon, ToQString(title), ToQString(text), QMessageBox::Ok,
                  isVisible() ? this : nullptr);
  box.setTextFormat(Qt::PlainText);
  box.setWindowModality(Qt::ApplicationModal);
  box.exec();
  if (was_busy && !closed_) SetBusyCursor(true);
}

}  // namespace kw
