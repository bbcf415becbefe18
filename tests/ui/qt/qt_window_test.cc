#include "ui/qt/qt_window.h"

#include <gtest/gtest.h>

#include <QAccessible>
#include <QAccessibleInterface>
#include <QFontDatabase>
#include <QFontInfo>
#include <QGroupBox>
#include <QGuiApplication>
#include <QImage>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <cmath>

#include "ui/qt/qt_test_window.h"

namespace kw {
namespace {

using enum ControlId;
using testing::MessageBoxAnswer;
using testing::QtTestWindow;

const QStringList kHangulFamilies = {"굴림", "Gulim", "NanumGothic", "Noto Sans CJK KR"};

QString Q(std::string_view text) { return QString::fromUtf8(text.data(), text.size()); }
QColor Colour(const Rgb& rgb) { return QColor(rgb.red, rgb.green, rgb.blue); }

// The widget class each kind of control is shown with.
bool IsShownAs(const QWidget* widget, ControlKind kind) {
  switch (kind) {
    case ControlKind::kFrame:
      return qobject_cast<const QGroupBox*>(widget) != nullptr;
    case ControlKind::kTextBox:
      return qobject_cast<const QPlainTextEdit*>(widget) != nullptr;
    case ControlKind::kCommandButton:
      return qobject_cast<const QPushButton*>(widget) != nullptr;
    case ControlKind::kOptionButton:
      return qobject_cast<const QRadioButton*>(widget) != nullptr;
    case ControlKind::kProgressBar:
      return qobject_cast<const QProgressBar*>(widget) != nullptr;
    case ControlKind::kLabel:
      return qobject_cast<const QLabel*>(widget) != nullptr;
  }
  return false;
}

class QtWindowTest : public ::testing::Test {
 protected:
  // Twips at the test screen's logical resolution, 1440 twips to the inch.
  int PixelsX(int twips) const { return std::lround(twips / 1440.0 * dpi_x_); }
  int PixelsY(int twips) const { return std::lround(twips / 1440.0 * dpi_y_); }
  QRect Pixels(const TwipsRect& r) const {
    return QRect(PixelsX(r.left), PixelsY(r.top), PixelsX(r.width), PixelsY(r.height));
  }

  QtTestWindow t;
  const double dpi_x_ = t.view.screen()->logicalDotsPerInchX();
  const double dpi_y_ = t.view.screen()->logicalDotsPerInchY();
};

// --- The window as built from the layout table ---

TEST_F(QtWindowTest, TheWindowHasItsCaptionFixedSizeAndBackColour) {
  EXPECT_EQ(t.view.windowTitle(), "Orvanta(iii) for Windows ( Update ) v2.50");
  const QSize client(PixelsX(5955), PixelsY(4410));
  EXPECT_EQ(t.view.size(), client);
  EXPECT_EQ(t.view.minimumSize(), client);
  EXPECT_EQ(t.view.maximumSize(), client);
  EXPECT_EQ(t.view.palette().color(QPalette::Window), QColor(0xC0, 0xC0, 0xFF));
  EXPECT_TRUE(t.view.autoFillBackground());
  // At the usual 96 dots per inch a twip grid of 15 lands on whole pixels.
  if (dpi_x_ == 96 && dpi_y_ == 96) {
    EXPECT_EQ(client, QSize(397, 294));
  }
}

TEST_F(QtWindowTest, EveryControlIsBuiltFromTheTable) {
  for (const ControlLayout& layout : kControlLayouts) {
    SCOPED_TRACE(std::string(layout.name));
    QWidget* const widget = t.view.control(layout.id);
    ASSERT_NE(widget, nullptr);
    EXPECT_EQ(widget->objectName(), Q(layout.name));
    EXPECT_TRUE(IsShownAs(widget, layout.kind));
    QWidget* const container = layout.container ? t.view.control(*layout.container) : &t.view;
    EXPECT_EQ(widget->parentWidget(), container);
    EXPECT_EQ(widget->geometry(), Pixels(layout.position));
    // The table's objectName is how tests and assistive tools find the control.
    EXPECT_EQ(t.view.findChild<QWidget*>(Q(layout.name)), widget);
  }
}

TEST_F(QtWindowTest, ControlsShowTheirBackColours) {
  for (const ControlLayout& layout : kControlLayouts) {
    if (!layout.back_colour) continue;
    SCOPED_TRACE(std::string(layout.name));
    const QWidget* const widget = t.view.control(layout.id);
    if (layout.kind == ControlKind::kCommandButton) {
      EXPECT_EQ(widget->palette().color(QPalette::Button), Colour(*layout.back_colour));
    } else {
      EXPECT_TRUE(widget->autoFillBackground());
      EXPECT_EQ(widget->palette().color(widget->backgroundRole()), Colour(*layout.back_colour));
    }
  }
  // Painted, not only set: an empty label is its colour from edge to edge, and so is the
  // window's own background and the blank end of an option.
  for (ControlId id : {Msg0Lbl, Msg1Lbl, Msg3Lbl, GetTimeLbl}) {
    const QImage image = t.view.control(id)->grab().toImage();
    EXPECT_EQ(image.pixelColor(image.width() / 2, image.height() / 2),
              Colour(*LayoutOf(id).back_colour))
        << LayoutOf(id).name;
  }
  const QImage window = t.view.grab(QRect(0, 0, 4, 4)).toImage();
  EXPECT_EQ(window.pixelColor(1, 1), QColor(0xC0, 0xC0, 0xFF));
  const QImage option = t.view.control(TavSelt1Opt)->grab().toImage();
  EXPECT_EQ(option.pixelColor(option.width() - 2, 1), QColor(0xFF, 0xE0, 0xC0));
}

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

TEST_F(QtWindowTest, ControlsWithAFontUseTheKoreanFontOthersTheWindowsDefault) {
  for (const ControlLayout& layout : kControlLayouts) {
    SCOPED_TRACE(std::string(layout.name));
    const QFont font = t.view.control(layout.id)->font();
    if (layout.font) {
      EXPECT_EQ(font.families(), kHangulFamilies);
      EXPECT_EQ(font.bold(), layout.font->bold);
      EXPECT_DOUBLE_EQ(font.pointSizeF(), layout.font->points);
    } else {
      EXPECT_EQ(font, t.view.font());
    }
  }
}

TEST_F(QtWindowTest, TheKoreanFontResolvesToAnInstalledHangulFont) {
  const QStringList installed = QFontDatabase::families();
  const bool any = std::any_of(kHangulFamilies.begin(), kHangulFamilies.end(),
                               [&](const QString& family) { return installed.contains(family); });
  if (!any) GTEST_SKIP() << "no Hangul font of the list is installed (fonts-nanum)";
  const QFontInfo shown(t.view.control(Label3)->font());
  EXPECT_TRUE(kHangulFamilies.contains(shown.family())) << shown.family().toStdString();
  EXPECT_TRUE(shown.bold());
}

TEST_F(QtWindowTest, TheWindowOpensInTheModelsInitialState) {
  EXPECT_TRUE(t.Get<QRadioButton>(TavSelt0Opt)->isChecked());
  EXPECT_FALSE(t.Get<QRadioButton>(TavSelt1Opt)->isChecked());
  EXPECT_TRUE(t.Get<QRadioButton>(Option2)->isChecked());
  EXPECT_FALSE(t.Get<QRadioButton>(Option1)->isChecked());
  EXPECT_EQ(t.Get<QRadioButton>(TavSelt0Opt)->text(), "실행화일(KWx.exe)");
  for (ControlId id : {Msg0Lbl, Msg1Lbl, Msg2Lbl, Msg3Lbl, GetTimeLbl, GetFileLbl}) {
    EXPECT_EQ(t.Get<QLabel>(id)->text(), "") << LayoutOf(id).name;
    EXPECT_TRUE(t.Get<QLabel>(id)->alignment() & Qt::AlignHCenter) << LayoutOf(id).name;
  }
  EXPECT_EQ(t.Get<QLabel>(TavMenuLbl)->text(), "[[ update.test:8650 --> C:\\TavKorea ]]");
  EXPECT_EQ(t.Get<QLabel>(Label3)->text(), "적  용");
  EXPECT_NE(t.Get<QLabel>(Label3)->frameShape(), QFrame::NoFrame);
  EXPECT_EQ(t.Get<QLabel>(Msg0Lbl)->frameShape(), QFrame::NoFrame);
  EXPECT_EQ(t.Get<QGroupBox>(Frame1)->title(), "Frame1");
  EXPECT_EQ(t.Get<QPushButton>(TavEnterCmd)->text(), "확인");
  EXPECT_EQ(t.Get<QPushButton>(ErrViewCmd)->text(), "오류");
  EXPECT_TRUE(t.view.control(ErrViewFme)->isHidden());
  EXPECT_TRUE(t.view.control(SsFme)->isHidden());
  EXPECT_FALSE(t.view.control(KwFme)->isHidden());

  const auto* const log = t.Get<QPlainTextEdit>(ErrViewTxt);
  EXPECT_TRUE(log->isReadOnly());
  EXPECT_EQ(log->lineWrapMode(), QPlainTextEdit::NoWrap);
  EXPECT_EQ(log->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
  EXPECT_EQ(log->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
  EXPECT_EQ(log->toPlainText(), "");

  const auto* const bar = t.Get<QProgressBar>(PB1);
  EXPECT_EQ(bar->minimum(), 0);
  EXPECT_EQ(bar->maximum(), 100);
  EXPECT_EQ(bar->value(), 0);
  EXPECT_FALSE(bar->isTextVisible());
}

// --- The model mirrored ---

TEST_F(QtWindowTest, CaptionsAndValuesReachEveryKindOfWidgetByTheNextPump) {
  WindowModel& m = t.model();
  m.SetCaption(Msg1Lbl, "로그인");
  m.SetCaption(TavEnterCmd, "다시");
  m.SetCaption(TavSelt1Opt, "전체");
  m.SetCaption(Frame1, "진행");
  m.SetCaption(ErrViewTxt, "KW.exe\r\n전자신고(2026).dll\r\n");
  m.SetValue(PB1, 41);
  t.host.PumpEvents();
  EXPECT_EQ(t.Get<QLabel>(Msg1Lbl)->text(), "로그인");
  EXPECT_EQ(t.Get<QPushButton>(TavEnterCmd)->text(), "다시");
  EXPECT_EQ(t.Get<QRadioButton>(TavSelt1Opt)->text(), "전체");
  EXPECT_EQ(t.Get<QGroupBox>(Frame1)->title(), "진행");
  EXPECT_EQ(t.Get<QPlainTextEdit>(ErrViewTxt)->toPlainText(), "KW.exe\n전자신고(2026).dll\n");
  EXPECT_EQ(t.Get<QProgressBar>(PB1)->value(), 41);

  // Captions are shown as written, never as markup.
  m.SetCaption(Msg3Lbl, "<b>404</b> Not Found");
  t.host.PumpEvents();
  EXPECT_EQ(t.Get<QLabel>(Msg3Lbl)->textFormat(), Qt::PlainText);
  EXPECT_EQ(t.Get<QLabel>(Msg3Lbl)->text(), "<b>404</b> Not Found");
}

TEST_F(QtWindowTest, ADownloadsStreamOfWritesIsCoalescedAndShownByTheViewItself) {
  WindowModel& m = t.model();
  for (int kb = 1; kb <= 5000; ++kb) {
    m.SetCaption(GetFileLbl, std::to_string(kb) + " KB");
    m.SetValue(PB1, kb / 50.0);
  }
  // Nothing is written to a widget per chunk...
  EXPECT_EQ(t.Get<QLabel>(GetFileLbl)->text(), "");
  // ...and the latest state appears within a refresh or so, with no one flushing.
  EXPECT_TRUE(testing::RunEventsUntil(
      t.host, [&] { return t.Get<QLabel>(GetFileLbl)->text() == "5000 KB"; }));
  EXPECT_EQ(t.Get<QProgressBar>(PB1)->value(), 100);
}

TEST_F(QtWindowTest, EveryStepOfARunIsOnTheWidgetsWhenItsPumpReturns) {
  // What the run's start and its step announcements write, each followed by one pump, in
  // quick succession as a run does; the widgets are read right after each pump.
  WindowModel& m = t.model();
  t.window.Load();
  m.SetCaption(Msg0Lbl, "작업완료");  // a previous run's end
  t.host.PumpEvents();
  m.SetCaption(Msg0Lbl, "* 작업시작 *");
  m.SetCaption(Msg1Lbl, "");
  t.host.PumpEvents();
  EXPECT_EQ(t.Get<QLabel>(Msg0Lbl)->text(), "* 작업시작 *");
  for (const char* step : {"로그인", "DownLoad(KW.exe)", "닫기", "복사", "등록", "완료"}) {
    m.SetCaption(Msg1Lbl, step);
    m.SetCaption(Msg2Lbl, "");
    m.SetCaption(Msg3Lbl, "");
    t.host.PumpEvents();
    EXPECT_EQ(t.Get<QLabel>(Msg1Lbl)->text(), step);
    EXPECT_EQ(t.Get<QLabel>(Msg3Lbl)->text(), "");
  }
  // A download's first displays too: it may hold back only what follows within a refresh.
  m.SetValue(PB1, 0);
  m.SetCaption(Msg2Lbl, "다운로드(KW.exe)");
  t.host.PumpEvents();
  EXPECT_EQ(t.Get<QLabel>(Msg2Lbl)->text(), "다운로드(KW.exe)");
  EXPECT_EQ(t.Get<QProgressBar>(PB1)->value(), 0);
}

TEST_F(QtWindowTest, EnabledVisibleAndSelectedTakeEffectAtOnce) {
  WindowModel& m = t.model();
  m.SetEnabled(KwFme, false);
  EXPECT_FALSE(t.view.control(TavSelt0Opt)->isEnabled());
  EXPECT_FALSE(t.view.control(TavSelt1Opt)->isEnabled());
  m.SetEnabled(TavEnterCmd, false);
  EXPECT_FALSE(t.view.control(TavEnterCmd)->isEnabled());
  m.SetEnabled(KwFme, true);
  EXPECT_TRUE(t.view.control(TavSelt1Opt)->isEnabled());

  m.SetVisible(SsFme, true);
  EXPECT_FALSE(t.view.control(SsFme)->isHidden());
  m.SetVisible(SsFme, false);
  EXPECT_TRUE(t.view.control(SsFme)->isHidden());

  m.Select(TavSelt1Opt);
  EXPECT_TRUE(t.Get<QRadioButton>(TavSelt1Opt)->isChecked());
  EXPECT_FALSE(t.Get<QRadioButton>(TavSelt0Opt)->isChecked());
  EXPECT_TRUE(t.Get<QRadioButton>(Option2)->isChecked());
}

// --- The operator's clicks ---

TEST_F(QtWindowTest, ErrViewCmdTogglesTheErrorPanelOverTheOtherControls) {
  t.window.Load();
  t.model().SetCaption(ErrViewTxt, "KW.exe\r\nKZ.exe\r\n");
  QPushButton* const toggle = t.Get<QPushButton>(ErrViewCmd);
  QWidget* const panel = t.view.control(ErrViewFme);

  toggle->click();
  EXPECT_TRUE(t.model().Visible(ErrViewFme));
  EXPECT_TRUE(panel->isVisible());
  // The panel shows the latest log as it appears, without waiting for a refresh.
  EXPECT_EQ(t.Get<QPlainTextEdit>(ErrViewTxt)->toPlainText(), "KW.exe\nKZ.exe\n");
  // It lies over the banner, the progress frame and the labels it overlaps.
  for (ControlId below : {TavMenuLbl, Frame1, GetFileLbl, Msg0Lbl, Msg3Lbl}) {
    const QRect overlap = panel->geometry() & t.view.control(below)->geometry();
    ASSERT_FALSE(overlap.isEmpty()) << LayoutOf(below).name;
    EXPECT_TRUE(panel->isAncestorOf(t.view.childAt(overlap.center())) ||
                t.view.childAt(overlap.center()) == panel)
        << LayoutOf(below).name;
  }

  toggle->click();
  EXPECT_FALSE(t.model().Visible(ErrViewFme));
  EXPECT_FALSE(panel->isVisible());
  toggle->click();
  EXPECT_TRUE(panel->isVisible());
  EXPECT_EQ(t.model().Caption(ErrViewTxt), "KW.exe\r\nKZ.exe\r\n");
  EXPECT_EQ(t.Get<QPlainTextEdit>(ErrViewTxt)->toPlainText(), "KW.exe\nKZ.exe\n");
}

TEST_F(QtWindowTest, AnOptionClickedIsSelectedInTheModelAndItsSiblingCleared) {
  t.Get<QRadioButton>(TavSelt1Opt)->click();
  EXPECT_TRUE(t.model().Selected(TavSelt1Opt));
  EXPECT_FALSE(t.model().Selected(TavSelt0Opt));
  EXPECT_TRUE(t.Get<QRadioButton>(TavSelt1Opt)->isChecked());
  EXPECT_FALSE(t.Get<QRadioButton>(TavSelt0Opt)->isChecked());

  // Clicking the selected one again keeps it selected.
  t.Get<QRadioButton>(TavSelt1Opt)->click();
  EXPECT_TRUE(t.model().Selected(TavSelt1Opt));

  t.Get<QRadioButton>(TavSelt0Opt)->click();
  EXPECT_TRUE(t.model().Selected(TavSelt0Opt));
  EXPECT_FALSE(t.model().Selected(TavSelt1Opt));
  EXPECT_FALSE(t.Get<QRadioButton>(TavSelt1Opt)->isChecked());

  // The other frame's options are a group of their own.
  t.Get<QRadioButton>(Option1)->click();
  EXPECT_TRUE(t.model().Selected(Option1));
  EXPECT_FALSE(t.model().Selected(Option2));
  EXPECT_TRUE(t.model().Selected(TavSelt0Opt));
}

TEST_F(QtWindowTest, TavEnterCmdRunsAnUpdateWhoseFailureIsShownBeforeItsMessageBox) {
  t.window.Load();
  QString msg3_under_box;
  bool enter_enabled_under_box = true;
  bool busy_under_box = true;
  MessageBoxAnswer answer([&](QMessageBox&) {
    msg3_under_box = t.Get<QLabel>(Msg3Lbl)->text();
    enter_enabled_under_box = t.view.control(TavEnterCmd)->isEnabled();
    busy_under_box = QGuiApplication::overrideCursor() != nullptr;
  });

  t.Get<QPushButton>(TavEnterCmd)->click();

  ASSERT_TRUE(answer.answered);
  EXPECT_EQ(answer.title, "KW_Update");
  EXPECT_TRUE(answer.text.startsWith("Path not found: C:\\TavKorea")) << answer.text.toStdString();
  EXPECT_TRUE(answer.text.endsWith("(Error 76)")) << answer.text.toStdString();
  EXPECT_EQ(answer.parent, &t.view);
  // What the run wrote before the box went up is on the window behind it.
  EXPECT_TRUE(msg3_under_box.startsWith("Path not found: C:\\TavKorea"));
  EXPECT_FALSE(enter_enabled_under_box);
  EXPECT_FALSE(busy_under_box);
  // Afterwards the window is idle again.
  EXPECT_FALSE(t.window.running());
  EXPECT_TRUE(t.view.control(TavEnterCmd)->isEnabled());
  EXPECT_TRUE(t.view.control(KwFme)->isEnabled());
  EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
}

TEST_F(QtWindowTest, TavExitCmdClosesTheWindowAndEndsTheEventLoop) {
  t.window.Load();
  QTimer press;
  press.setSingleShot(true);
  QObject::connect(&press, &QTimer::timeout, [&] { t.Get<QPushButton>(TavExitCmd)->click(); });
  press.start(0);
  QTimer give_up;
  give_up.setSingleShot(true);
  QObject::connect(&give_up, &QTimer::timeout, [] { QCoreApplication::exit(99); });
  give_up.start(10'000);

  EXPECT_EQ(QApplication::exec(), 0);
  EXPECT_TRUE(t.window.unloaded());
  EXPECT_FALSE(t.view.isVisible());
}

TEST_F(QtWindowTest, ClosingDuringAWaitUnwindsTheWaitAndThenEndsTheEventLoop) {
  t.window.Load();
  bool abandoned = false;
  QTimer wait;
  wait.setSingleShot(true);
  QObject::connect(&wait, &QTimer::timeout, [&] {
    try {
      t.window.TimeWaitSec(30);
    } catch (const RunAbandoned&) {
      abandoned = true;
    }
  });
  wait.start(0);
  QTimer close;
  close.setSingleShot(true);
  QObject::connect(&close, &QTimer::timeout, [&] { t.view.close(); });
  close.start(20);
  QTimer give_up;
  give_up.setSingleShot(true);
  QObject::connect(&give_up, &QTimer::timeout, [] { QCoreApplication::exit(99); });
  give_up.start(10'000);

  EXPECT_EQ(QApplication::exec(), 0);
  EXPECT_TRUE(abandoned);
  EXPECT_TRUE(t.window.unloaded());
}

// --- Screen readers ---

TEST_F(QtWindowTest, EveryControlHasAnAccessibleNameThatFollowsItsCaption) {
  for (const ControlLayout& layout : kControlLayouts) {
    SCOPED_TRACE(std::string(layout.name));
    QWidget* const widget = t.view.control(layout.id);
    QAccessibleInterface* const accessible = QAccessible::queryAccessibleInterface(widget);
    ASSERT_NE(accessible, nullptr);
    const QString name = accessible->text(QAccessible::Name);
    EXPECT_FALSE(name.isEmpty());
    if (!layout.caption.empty() && layout.kind != ControlKind::kTextBox) {
      EXPECT_EQ(name, Q(layout.caption));
    }
  }
  EXPECT_EQ(QAccessible::queryAccessibleInterface(&t.view)->text(QAccessible::Name),
            t.view.windowTitle());

  QAccessibleInterface* const msg1 = QAccessible::queryAccessibleInterface(t.view.control(Msg1Lbl));
  const QString unnamed = msg1->text(QAccessible::Name);
  t.model().SetCaption(Msg1Lbl, "로그인");
  t.host.PumpEvents();
  EXPECT_EQ(msg1->text(QAccessible::Name), "로그인");
  t.model().SetCaption(Msg1Lbl, "");
  t.host.PumpEvents();
  EXPECT_EQ(msg1->text(QAccessible::Name), unnamed);

  // The log and the bar keep their names; their contents are their values.
  QAccessibleInterface* const log =
      QAccessible::queryAccessibleInterface(t.view.control(ErrViewTxt));
  const QString log_name = log->text(QAccessible::Name);
  t.model().SetCaption(ErrViewTxt, "KW.exe\r\n");
  t.model().SetValue(PB1, 41);
  t.host.PumpEvents();
  EXPECT_EQ(log->text(QAccessible::Name), log_name);
  ASSERT_NE(log->textInterface(), nullptr);
  EXPECT_TRUE(
      log->textInterface()->text(0, log->textInterface()->characterCount()).contains("KW.exe"));
  QAccessibleInterface* const bar = QAccessible::queryAccessibleInterface(t.view.control(PB1));
  ASSERT_NE(bar->valueInterface(), nullptr);
  EXPECT_EQ(bar->valueInterface()->currentValue().toInt(), 41);
}

}  // namespace
}  // namespace kw
