#include "platform/qt/qt_window.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QCursor>
#include <QEventLoop>
#include <QFont>
#include <QFontMetrics>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QPalette>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QThread>
#include <algorithm>
#include <climits>
#include <cmath>
#include <utility>

#include "app/update_window.h"

namespace kw {

namespace {

using enum ControlId;

constexpr std::uint8_t kDirtyCaption = 1;
constexpr std::uint8_t kDirtyValue = 2;

// "굴림" is the product's font; where it is missing, the first Hangul font present stands in.
QStringList KoreanFamilies() {
  return {QStringLiteral("굴림"), QStringLiteral("Gulim"), QStringLiteral("NanumGothic"),
          QStringLiteral("Noto Sans CJK KR")};
}

QString ToQString(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QColor ToQColor(const Rgb& rgb) { return QColor(rgb.red, rgb.green, rgb.blue); }

// What a screen reader announces for a control while it shows no caption. The error log's
// contents are its value, not its name, so it always goes by this name.
QString DescriptiveName(ControlId id) {
  switch (id) {
    case ErrViewTxt:
      return QStringLiteral("오류 목록");
    case KwFme:
      return QStringLiteral("업데이트 범위");
    case PB1:
      return QStringLiteral("진행률");
    case GetTimeLbl:
      return QStringLiteral("경과 시간");
    case GetFileLbl:
      return QStringLiteral("받은 크기");
    case Msg0Lbl:
      return QStringLiteral("작업 상태");
    case Msg1Lbl:
      return QStringLiteral("작업 단계");
    case Msg2Lbl:
      return QStringLiteral("파일 상태");
    case Msg3Lbl:
      return QStringLiteral("전송 상태");
    case TavMenuLbl:
      return QStringLiteral("업데이트 경로");
    default:
      return ToQString(LayoutOf(id).name);
  }
}

// A frame drawn the way Windows draws one: an etched rectangle, and the caption, if any, set
// into its top edge a little in from the left, on the frame's own colour. (Qt's styles put a
// group box's title flush left, where the frames' children here would leave parts of it peeking
// out.)
class EtchedFrame final : public QGroupBox {
 public:
  using QGroupBox::QGroupBox;

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    const QFontMetrics metrics(font());
    const QString caption = title();
    const int top = caption.isEmpty() ? 0 : metrics.height() / 2;
    const QRect edge = rect().adjusted(0, top, -2, -2);
    painter.setPen(palette().color(QPalette::Dark));
    painter.drawRect(edge);
    painter.setPen(palette().color(QPalette::Light));
    painter.drawRect(edge.translated(1, 1));
    if (caption.isEmpty()) return;
    constexpr int kCaptionInset = 8;
    const QRect caption_box(kCaptionInset, 0, metrics.horizontalAdvance(caption) + 4,
                            metrics.height());
    painter.fillRect(caption_box, palette().brush(backgroundRole()));
    painter.setPen(
        palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::WindowText));
    painter.drawText(caption_box, Qt::AlignCenter, caption);
  }
};

int TwipsToPixels(int twips, double dots_per_inch) {
  return static_cast<int>(std::lround(twips * dots_per_inch / 1440.0));
}

}  // namespace

QtWindow::QtWindow(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("sdiMain"));
  setWindowTitle(ToQString(kWindowCaption));
  QPalette window_palette = palette();
  window_palette.setColor(QPalette::Window, ToQColor(kWindowBackColour));
  setPalette(window_palette);
  setAutoFillBackground(true);

  flush_timer_.setSingleShot(true);
  connect(&flush_timer_, &QTimer::timeout, this, &QtWindow::Flush);
}

// The model is left alone here: the UpdateWindow that owns it may already be gone.
QtWindow::~QtWindow() { SetBusyCursor(false); }

void QtWindow::Attach(UpdateWindow& window) {
  update_window_ = &window;
  model_ = &window.model();

  const QScreen* const screen = this->screen();
  dots_per_inch_x_ = screen->logicalDotsPerInchX();
  dots_per_inch_y_ = screen->logicalDotsPerInchY();
  const double refresh_rate = screen->refreshRate();
  flush_timer_.setInterval(refresh_rate >= 1 ? std::max(1, static_cast<int>(1000 / refresh_rate))
                                             : 16);

  setFixedSize(TwipsToPixels(kWindowWidthTwips, dots_per_inch_x_),
               TwipsToPixels(kWindowHeightTwips, dots_per_inch_y_));
  // The table lists every container before the controls it holds.
  for (const ControlLayout& layout : kControlLayouts) BuildControl(layout);
  // The error panel covers the banner, the progress frame and the labels when it is shown.
  control(ErrViewFme)->raise();
  const ControlId tab_order[] = {TavSelt0Opt, TavSelt1Opt, Option2,    Option1,
                                 TavEnterCmd, TavExitCmd,  ErrViewCmd, ErrViewTxt};
  for (std::size_t i = 1; i < std::size(tab_order); ++i) {
    setTabOrder(control(tab_order[i - 1]), control(tab_order[i]));
  }
  model_->AddObserver(this);
}

void QtWindow::BuildControl(const ControlLayout& layout) {
  QWidget* const parent = layout.container ? control(*layout.container) : this;
  QWidget* widget = nullptr;
  const ControlId id = layout.id;
  switch (layout.kind) {
    case ControlKind::kFrame:
      widget = new EtchedFrame(parent);
      break;
    case ControlKind::kTextBox: {
      auto* const edit = new QPlainTextEdit(parent);
      edit->setReadOnly(true);
      if (layout.multi_line) {
        edit->setLineWrapMode(QPlainTextEdit::NoWrap);
        edit->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        edit->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
      }
      // The corner between the scroll bars is a plain surface of its own, not the frame's.
      QPalette colours = edit->palette();
      colours.setColor(QPalette::Window, QApplication::palette().color(QPalette::Window));
      edit->setPalette(colours);
      widget = edit;
      break;
    }
    case ControlKind::kCommandButton: {
      auto* const button = new QPushButton(parent);
      button->setAutoDefault(false);
      connect(button, &QPushButton::clicked, this, [this, id] {
        if (closed_) return;
        if (id == TavEnterCmd) update_window_->TavEnterCmdClick();
        if (id == TavExitCmd) update_window_->TavExitCmdClick();
        if (id == ErrViewCmd) update_window_->ErrViewCmdClick();
      });
      widget = button;
      break;
    }
    case ControlKind::kOptionButton: {
      auto* const option = new QRadioButton(parent);
      connect(option, &QRadioButton::clicked, this, [this, id] {
        if (!closed_) model_->Select(id);
      });
      widget = option;
      break;
    }
    case ControlKind::kProgressBar: {
      auto* const bar = new QProgressBar(parent);
      bar->setRange(0, 100);
      bar->setTextVisible(false);
      widget = bar;
      break;
    }
    case ControlKind::kLabel: {
      auto* const label = new QLabel(parent);
      label->setTextFormat(Qt::PlainText);
      label->setWordWrap(true);
      label->setAlignment((layout.centred ? Qt::AlignHCenter : Qt::AlignLeft) | Qt::AlignTop);
      if (layout.border) {
        label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        label->setLineWidth(1);
      }
      widget = label;
      break;
    }
  }
  controls_[static_cast<std::size_t>(id)] = widget;

  widget->setObjectName(ToQString(layout.name));
  widget->setGeometry(ToPixels(layout.position));
  // A plain command button keeps the system's face; only a graphical one shows its colour.
  if (layout.back_colour && (layout.kind != ControlKind::kCommandButton || layout.graphical)) {
    // Options, like buttons, paint their background in the Button role; a text box in Base.
    const QPalette::ColorRole role =
        layout.kind == ControlKind::kTextBox ? QPalette::Base : widget->backgroundRole();
    QPalette colours = widget->palette();
    colours.setColor(role, ToQColor(*layout.back_colour));
    widget->setPalette(colours);
    // A button's face is drawn by the style; every other control is a plain coloured surface.
    widget->setAutoFillBackground(layout.kind != ControlKind::kCommandButton);
  }
  if (layout.font) {
    QFont font = widget->font();
    font.setFamilies(KoreanFamilies());
    font.setBold(layout.font->bold);
    font.setPointSizeF(layout.font->points);
    widget->setFont(font);
  }

  ApplyCaption(id);
  ApplyValue(id);
  ApplySelected(id);
  widget->setEnabled(model_->Enabled(id));
  widget->setVisible(model_->Visible(id));
}

QRect QtWindow::ToPixels(const TwipsRect& twips) const {
  return QRect(
      TwipsToPixels(twips.left, dots_per_inch_x_), TwipsToPixels(twips.top, dots_per_inch_y_),
      TwipsToPixels(twips.width, dots_per_inch_x_), TwipsToPixels(twips.height, dots_per_inch_y_));
}

void QtWindow::OnControlChanged(ControlId id, ControlProperty property) {
  // Captions and values may change thousands of times a second during a download: they are
  // only marked here, and the timer writes them out once per screen refresh.
  std::uint8_t mark = 0;
  switch (property) {
    case ControlProperty::kCaption:
      mark = kDirtyCaption;
      break;
    case ControlProperty::kValue:
      mark = kDirtyValue;
      break;
    case ControlProperty::kEnabled:
      control(id)->setEnabled(model_->Enabled(id));
      return;
    case ControlProperty::kVisible: {
      const bool visible = model_->Visible(id);
      // A panel that appears shows its latest text at once.
      if (visible) Flush();
      control(id)->setVisible(visible);
      if (visible && id == ErrViewFme) control(id)->raise();
      return;
    }
    case ControlProperty::kSelected:
      ApplySelected(id);
      return;
  }
  dirty_[static_cast<std::size_t>(id)] |= mark;
  if (!flush_scheduled_) {
    flush_scheduled_ = true;
    flush_timer_.start();
  }
}

void QtWindow::Flush() {
  if (!flush_scheduled_) return;
  flush_scheduled_ = false;
  flush_timer_.stop();
  for (const ControlLayout& layout : kControlLayouts) {
    std::uint8_t& dirty = dirty_[static_cast<std::size_t>(layout.id)];
    if (dirty & kDirtyCaption) ApplyCaption(layout.id);
    if (dirty & kDirtyValue) ApplyValue(layout.id);
    dirty = 0;
  }
}

void QtWindow::ApplyCaption(ControlId id) {
  QString text = ToQString(model_->Caption(id));
  QWidget* const widget = control(id);
  switch (LayoutOf(id).kind) {
    case ControlKind::kFrame:
      static_cast<QGroupBox*>(widget)->setTitle(text);
      break;
    case ControlKind::kTextBox: {
      // The core ends lines the Windows way; a lone CR would show as a stray glyph.
      text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
      auto* const edit = static_cast<QPlainTextEdit*>(widget);
      // Setting the text again would scroll the log back to its start.
      if (edit->toPlainText() != text) edit->setPlainText(text);
      widget->setAccessibleName(DescriptiveName(id));
      return;
    }
    case ControlKind::kCommandButton:
    case ControlKind::kOptionButton:
      static_cast<QAbstractButton*>(widget)->setText(text);
      break;
    case ControlKind::kLabel:
      static_cast<QLabel*>(widget)->setText(text);
      break;
    case ControlKind::kProgressBar:
      break;
  }
  widget->setAccessibleName(text.isEmpty() ? DescriptiveName(id) : text);
}

void QtWindow::ApplyValue(ControlId id) {
  if (LayoutOf(id).kind != ControlKind::kProgressBar) return;
  const double value = model_->Value(id);
  // The core's percentage can pass 100 (a body longer than announced); a bar shows it full.
  const int shown = value >= 100 ? 100 : value > 0 ? static_cast<int>(std::lround(value)) : 0;
  static_cast<QProgressBar*>(control(id))->setValue(shown);
}

void QtWindow::ApplySelected(ControlId id) {
  if (LayoutOf(id).kind != ControlKind::kOptionButton) return;
  // Checking one option unchecks its siblings, and Qt refuses to uncheck the checked one of an
  // exclusive group directly, so only the selected option is ever written.
  if (model_->Selected(id)) static_cast<QRadioButton*>(control(id))->setChecked(true);
}

void QtWindow::PumpEvents() {
  // Even a pass with nothing to do costs most of a microsecond (bench/view_bench), many times
  // what a chunk's own model writes cost, and a download pumps after every 1 KB chunk: far
  // more often than anyone could see a difference.
  if (std::chrono::steady_clock::now() - last_pass_end_ < kMinPumpInterval) return;
  QCoreApplication::processEvents();
  last_pass_end_ = std::chrono::steady_clock::now();
}

void QtWindow::WaitForEvents(std::chrono::milliseconds timeout) {
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
  last_pass_end_ = std::chrono::steady_clock::now();
}

void QtWindow::Post(std::function<void()> task) {
  // Queued calls to one receiver are delivered in the order they were made, from any thread.
  QMetaObject::invokeMethod(
      this, [task = std::move(task)]() noexcept { task(); }, Qt::QueuedConnection);
}

void QtWindow::ShowWindow() {
  if (closed_) return;
  Flush();
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
  flush_timer_.stop();
  flush_scheduled_ = false;
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
  Flush();
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
