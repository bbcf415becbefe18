#include "ui/qt/qt_widgets.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFont>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QPainter>
#include <QPalette>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>

#include "app/view_support.h"

namespace kw {

namespace {

// "굴림" is the product's font; where it is missing, the first Hangul font present stands in.
QStringList KoreanFamilies() {
  return {QStringLiteral("굴림"), QStringLiteral("Gulim"), QStringLiteral("NanumGothic"),
          QStringLiteral("Noto Sans CJK KR")};
}

QColor ToQColor(const Rgb& rgb) { return QColor(rgb.red, rgb.green, rgb.blue); }

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

QWidget* MakeWidgetOfKind(const ControlLayout& layout, QWidget* parent) {
  switch (layout.kind) {
    case ControlKind::kFrame:
      return new EtchedFrame(parent);
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
      return edit;
    }
    case ControlKind::kCommandButton: {
      auto* const button = new QPushButton(parent);
      button->setAutoDefault(false);
      return button;
    }
    case ControlKind::kOptionButton:
      return new QRadioButton(parent);
    case ControlKind::kProgressBar: {
      auto* const bar = new QProgressBar(parent);
      bar->setRange(0, 100);
      bar->setTextVisible(false);
      return bar;
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
      return label;
    }
  }
  return nullptr;
}

}  // namespace

QString ToQString(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QWidget* MakeControlWidget(const ControlLayout& layout, QWidget* parent, double dots_per_inch_x,
                           double dots_per_inch_y) {
  QWidget* const widget = MakeWidgetOfKind(layout, parent);
  widget->setObjectName(ToQString(layout.name));
  const TwipsRect& at = layout.position;
  widget->setGeometry(
      TwipsToPixels(at.left, dots_per_inch_x), TwipsToPixels(at.top, dots_per_inch_y),
      TwipsToPixels(at.width, dots_per_inch_x), TwipsToPixels(at.height, dots_per_inch_y));
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
  return widget;
}

void WriteCaption(QWidget* widget, ControlId id, std::string_view caption) {
  QString text = ToQString(caption);
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
      break;
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
  const QString name = ToQString(AccessibleName(id, caption));
  if (widget->accessibleName() != name) widget->setAccessibleName(name);
}

void WriteProgress(QWidget* widget, int percent) {
  static_cast<QProgressBar*>(widget)->setValue(percent);
}

void WriteSelected(QWidget* widget, bool selected) {
  // Checking one option unchecks its siblings, and Qt refuses to uncheck the checked one of an
  // exclusive group directly, so only the selected option is ever written.
  if (selected) static_cast<QRadioButton*>(widget)->setChecked(true);
}

}  // namespace kw
