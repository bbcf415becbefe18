// The Qt view: the view contract through Qt's widgets, and what only Qt shows (painting read
// back from the widgets, accessibility through QAccessible, its event dispatcher's sleep).

#include "ui/qt/qt_window.h"

#include <gtest/gtest.h>

#include <QAbstractEventDispatcher>
#include <QAccessible>
#include <QAccessibleInterface>
#include <QFontInfo>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QTextDocument>
#include <QTextDocumentFragment>

#include "ui/contract/view_contract.h"
#include "ui/qt/qt_test_window.h"

namespace kw::testing {
namespace {

using namespace std::chrono_literals;
using enum ControlId;

const QStringList kHangulFamilies = {"굴림", "Gulim", "NanumGothic", "Noto Sans CJK KR"};

QString Q(std::string_view text) { return QString::fromUtf8(text.data(), text.size()); }

// The widget class of each kind of control, in ControlKind's order.
constexpr const char* kWidgetClasses[] = {"QGroupBox",    "QPlainTextEdit", "QPushButton",
                                          "QRadioButton", "QProgressBar",   "QLabel"};

class QtDriver final : public ViewDriver {
 public:
  ~QtDriver() override {
    while (QGuiApplication::overrideCursor() != nullptr) QGuiApplication::restoreOverrideCursor();
  }

  UpdateWindow& window() override { return t.window; }
  ViewMirror& host() override { return t.host; }

  std::pair<double, double> DotsPerInch() override {
    return {t.view.screen()->logicalDotsPerInchX(), t.view.screen()->logicalDotsPerInchY()};
  }
  void ExpectMadeAs(const ControlLayout& layout) override {
    QWidget* const widget = Widget(layout.id);
    EXPECT_TRUE(widget->inherits(kWidgetClasses[static_cast<int>(layout.kind)]));
    if (const auto* log = qobject_cast<const QPlainTextEdit*>(widget)) {
      EXPECT_TRUE(log->isReadOnly() && log->lineWrapMode() == QPlainTextEdit::NoWrap &&
                  log->horizontalScrollBarPolicy() == Qt::ScrollBarAlwaysOn &&
                  log->verticalScrollBarPolicy() == Qt::ScrollBarAlwaysOn);
    }
    if (const auto* bar = qobject_cast<const QProgressBar*>(widget)) {
      EXPECT_FALSE(bar->isTextVisible());
    }
    EXPECT_EQ(widget->parentWidget(), Widget(layout.container));
    // The table's objectName is how tests and assistive tools find the control.
    EXPECT_EQ(t.view.findChild<QWidget*>(Q(layout.name)), widget);
    if (const auto* label = qobject_cast<const QLabel*>(widget)) {
      EXPECT_EQ((label->alignment() & Qt::AlignHCenter) != 0, layout.centred);
      EXPECT_EQ(label->frameShape() != QFrame::NoFrame, layout.border);
    }
  }
  PixelRect PlaceOf(std::optional<ControlId> id) override {
    const QRect place = id ? Widget(id)->geometry() : t.view.rect();
    return {place.x(), place.y(), place.width(), place.height()};
  }
  bool Resizable() override {
    return t.view.minimumSize() != t.view.size() || t.view.maximumSize() != t.view.size();
  }
  std::optional<ControlId> ControlAt(int x, int y) override {
    QWidget* shown = t.view.childAt(x, y);
    while (shown != nullptr && shown->parentWidget() != &t.view) shown = shown->parentWidget();
    for (const ControlLayout& layout : kControlLayouts) {
      if (shown != nullptr && Widget(layout.id) == shown) return layout.id;
    }
    return std::nullopt;
  }
  std::string Text(std::optional<ControlId> id) override {
    const QWidget* const widget = Widget(id);
    QString text = widget->windowTitle();
    if (const auto* label = qobject_cast<const QLabel*>(widget)) {
      const bool markup =
          label->textFormat() == Qt::RichText ||
          (label->textFormat() == Qt::AutoText && Qt::mightBeRichText(label->text()));
      text = markup ? QTextDocumentFragment::fromHtml(label->text()).toPlainText() : label->text();
    } else if (const auto* button = qobject_cast<const QAbstractButton*>(widget)) {
      text = button->text();
    } else if (const auto* frame = qobject_cast<const QGroupBox*>(widget)) {
      text = frame->title();
    } else if (const auto* log = qobject_cast<const QPlainTextEdit*>(widget)) {
      text = log->toPlainText().replace(u'\r', QChar::ReplacementCharacter);
    }
    return text.toStdString();
  }
  bool Enabled(ControlId id) override { return Widget(id)->isEnabled(); }
  bool Visible(std::optional<ControlId> id) override { return Widget(id)->isVisible(); }
  bool Selected(ControlId id) override { return Widget(id)->property("checked").toBool(); }
  double Filled(ControlId id) override {
    const auto* bar = qobject_cast<QProgressBar*>(Widget(id));
    return double(bar->value() - bar->minimum()) / (bar->maximum() - bar->minimum());
  }
  // Read from the whole window as painted.
  Rgb ColourAt(std::optional<ControlId> id, int x, int y) override {
    const QWidget* const widget = Widget(id);
    const QPoint at = widget->mapTo(&t.view, QPoint(x, y));
    QColor colour = t.view.grab(QRect(at, QSize(1, 1))).toImage().pixelColor(0, 0);
    if (qobject_cast<const QPushButton*>(widget)) {
      colour = widget->palette().color(QPalette::Button);
    }
    return {uint8_t(colour.red()), uint8_t(colour.green()), uint8_t(colour.blue())};
  }
  ControlFont Font(ControlId id) override {
    const QFont font = Widget(id)->font();
    const QFontInfo shown(font);
    return {.window_default = font == t.view.font(),
            .korean = font.families() == kHangulFamilies,
            .weight = font.weight(),
            .points = font.pointSizeF(),
            .hangul_shown = kHangulFamilies.contains(shown.family()),
            .bold_shown = shown.bold()};
  }
  bool BusyPointerShown() override {
    const QCursor* const pointer = QGuiApplication::overrideCursor();
    EXPECT_TRUE(pointer == nullptr || pointer->shape() == Qt::WaitCursor) << "another pointer";
    return pointer != nullptr;
  }

  void Click(ControlId id) override { qobject_cast<QAbstractButton*>(Widget(id))->click(); }
  void PostCloseRequest() override {
    QMetaObject::invokeMethod(
        &t.view, [this] { t.view.close(); }, Qt::QueuedConnection);
  }
  int RunEventLoop() override {
    QTimer::singleShot(10s, &t.view, [] { QCoreApplication::exit(-1); });
    return QApplication::exec();
  }

 private:
  QWidget* Widget(std::optional<ControlId> id) { return id ? t.view.control(*id) : &t.view; }

  QtTestWindow t;
};

std::unique_ptr<ViewDriver> MakeQtDriver() { return std::make_unique<QtDriver>(); }
INSTANTIATE_TEST_SUITE_P(Qt, ViewContract, ::testing::Values(&MakeQtDriver));

// --- What only Qt shows ---

class QtWindowTest : public ::testing::Test {
 protected:
  QtTestWindow t;
};

TEST_F(QtWindowTest, AFrameSetsItsCaptionIntoItsTopEdgeAndAnEmptyOneLeavesTheEdgeWhole) {
  // The edge's dark line, along the frame's top, from its left corner to its right one.
  const auto edge_pixels = [&](ControlId id) {
    QWidget* const frame = t.view.control(id);
    // The frame alone: its options would cover where its caption goes.
    QImage image(frame->size(), QImage::Format_RGB32);
    frame->render(&image, QPoint(), QRegion(), QWidget::DrawWindowBackground);
    const QRgb dark = frame->palette().color(QPalette::Dark).rgb();
    int top = 0;
    while (top < image.height() && image.pixel(image.width() / 2, top) != dark) ++top;
    int count = 0;
    for (int x = 0; x < image.width() - 2; ++x) count += image.pixel(x, top) == dark;
    return std::pair{count, image.width() - 2};
  };
  const auto [unbroken, width] = edge_pixels(KwFme);
  EXPECT_EQ(unbroken, width) << "KwFme has no caption";
  t.model().SetCaption(KwFme, "범위");
  t.host.PumpEvents();
  const auto [broken, same_width] = edge_pixels(KwFme);
  EXPECT_LT(broken, same_width - 10) << "the caption stands in the edge";
}

TEST_F(QtWindowTest, EveryControlHasAnAccessibleNameThatFollowsItsCaption) {
  const auto accessible = [&](ControlId id) {
    return QAccessible::queryAccessibleInterface(t.view.control(id));
  };
  for (const ControlLayout& layout : kControlLayouts) {
    SCOPED_TRACE(std::string(layout.name));
    ASSERT_NE(accessible(layout.id), nullptr);
    const QString name = accessible(layout.id)->text(QAccessible::Name);
    EXPECT_FALSE(name.isEmpty());
    if (!layout.caption.empty() && layout.kind != ControlKind::kTextBox) {
      EXPECT_EQ(name, Q(layout.caption));
    }
  }
  EXPECT_EQ(QAccessible::queryAccessibleInterface(&t.view)->text(QAccessible::Name),
            t.view.windowTitle());

  // A label's name follows its caption; the log and the bar keep theirs, their contents are
  // their values.
  const QString unnamed = accessible(Msg1Lbl)->text(QAccessible::Name);
  const QString log_name = accessible(ErrViewTxt)->text(QAccessible::Name);
  t.model().SetCaption(Msg1Lbl, "로그인");
  t.model().SetCaption(ErrViewTxt, "KW.exe\r\n");
  t.model().SetValue(PB1, 41);
  t.host.PumpEvents();
  EXPECT_EQ(accessible(Msg1Lbl)->text(QAccessible::Name), "로그인");
  EXPECT_EQ(accessible(ErrViewTxt)->text(QAccessible::Name), log_name);
  QAccessibleTextInterface* const log = accessible(ErrViewTxt)->textInterface();
  ASSERT_NE(log, nullptr);
  EXPECT_TRUE(log->text(0, log->characterCount()).contains("KW.exe"));
  ASSERT_NE(accessible(PB1)->valueInterface(), nullptr);
  EXPECT_EQ(accessible(PB1)->valueInterface()->currentValue().toInt(), 41);
  t.model().SetCaption(Msg1Lbl, "");
  t.host.PumpEvents();
  EXPECT_EQ(accessible(Msg1Lbl)->text(QAccessible::Name), unnamed);
}

TEST_F(QtWindowTest, AFailureIsShownOnTheWindowThenInAModalBoxWithOnlyOk) {
  // Answers the next box, which must be modal, with only OK, over `parent`.
  const auto answer = [&](const char* text, QWidget* parent, std::function<void()> behind = {}) {
    return std::make_unique<MessageBoxAnswer>([=](QMessageBox& box) {
      EXPECT_EQ(box.windowTitle(), "KW_Update");
      EXPECT_TRUE(box.text().startsWith(text)) << box.text().toStdString();
      EXPECT_EQ(box.standardButtons(), QMessageBox::Ok);
      EXPECT_EQ(box.buttons().size(), 1);
      EXPECT_EQ(box.windowModality(), Qt::ApplicationModal);
      EXPECT_EQ(box.parentWidget(), parent);
      if (behind) behind();
    });
  };
  {  // Before the window is shown (a second instance) the box stands alone.
    const auto alone = answer("Only one instance of this program may run at one time", nullptr);
    t.host.ShowMessage("KW_Update", "Only one instance of this program may run at one time");
    ASSERT_TRUE(alone->answered);
    EXPECT_EQ(alone->text, "Only one instance of this program may run at one time");
    EXPECT_FALSE(t.view.isVisible());
  }
  // A run's failure (확인 with no drive C:) is on the window behind its box.
  t.window.Load();
  const auto box = answer("Path not found: C:\\TavKorea", &t.view, [&] {
    const QString msg3 = qobject_cast<QLabel*>(t.view.control(Msg3Lbl))->text();
    EXPECT_TRUE(msg3.startsWith("Path not found: C:\\TavKorea")) << msg3.toStdString();
    EXPECT_FALSE(t.view.control(TavEnterCmd)->isEnabled());
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
  });
  qobject_cast<QPushButton*>(t.view.control(TavEnterCmd))->click();
  ASSERT_TRUE(box->answered);
  EXPECT_TRUE(box->text.endsWith("(Error 76)")) << box->text.toStdString();
  // Afterwards the window is idle again.
  EXPECT_FALSE(t.window.running());
  EXPECT_TRUE(t.view.control(TavEnterCmd)->isEnabled() && t.view.control(KwFme)->isEnabled());
  EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
}

TEST_F(QtWindowTest, AWaitWithNothingToDoSleepsUntilItsTimeout) {
  // Whatever the window's making left queued (deferred deletions, a repaint) runs now, not
  // inside the wait measured below.
  for (int i = 0; i < 3; ++i) QCoreApplication::processEvents();
  QAbstractEventDispatcher* const dispatcher = QAbstractEventDispatcher::instance();
  int blocked = 0, woke = 0;
  const auto on_block =
      QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, [&] { ++blocked; });
  const auto on_wake =
      QObject::connect(dispatcher, &QAbstractEventDispatcher::awake, [&] { ++woke; });

  t.host.WaitForEvents(200ms);

  QObject::disconnect(on_block);
  QObject::disconnect(on_wake);
  // It went to sleep, and was not woken over and over to check the time.
  EXPECT_GE(blocked, 1);
  EXPECT_LE(blocked, 3);
  EXPECT_LE(woke, 10);
}

}  // namespace
}  // namespace kw::testing
