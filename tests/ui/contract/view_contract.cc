// The view contract: what the update window relies on from every view (Qt, Win32), read and
// clicked through the toolkit's own calls.

#include "ui/contract/view_contract.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <thread>
#include <vector>

namespace kw::testing {
namespace {

using namespace std::chrono_literals;
using enum ControlId;

// Twips at a logical resolution, 1440 twips to the inch.
int Pixels(int twips, double dots_per_inch) {
  return static_cast<int>(std::lround(twips / 1440.0 * dots_per_inch));
}

std::string Named(const Rgb& colour) {
  char name[8];
  std::snprintf(name, sizeof name, "#%02X%02X%02X", colour.red, colour.green, colour.blue);
  return name;
}

// Runs the window thread's events until `done` holds; false when a generous deadline passes
// first.
bool RunEventsUntil(ViewMirror& host, const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    host.WaitForEvents(20ms);
  }
  return true;
}

// --- The window as made from the layout table ---

TEST_P(ViewContract, TheWindowIsMadeFromTheTableAndOpensShowingItsCaptionsAndStates) {
  ASSERT_TRUE(window().Load());
  const auto [across, down] = view().DotsPerInch();
  const auto pixels = [&](const TwipsRect& r) {
    return PixelRect{Pixels(r.left, across), Pixels(r.top, down), Pixels(r.width, across),
                     Pixels(r.height, down)};
  };
  EXPECT_EQ(view().Text(kTheWindow), "Orvanta(iii) for Windows ( Update ) v2.50");
  const PixelRect client = view().PlaceOf(kTheWindow);
  EXPECT_EQ(client, pixels({0, 0, kWindowWidthTwips, kWindowHeightTwips}));
  // At the usual 96 dots per inch a twip grid of 15 lands on whole pixels.
  if (across == 96 && down == 96) {
    EXPECT_EQ(client, (PixelRect{0, 0, 397, 294}));
  }
  EXPECT_FALSE(view().Resizable());
  EXPECT_TRUE(view().Visible(kTheWindow));

  for (const ControlLayout& layout : kControlLayouts) {
    SCOPED_TRACE(std::string(layout.name));
    view().ExpectMadeAs(layout);
    EXPECT_EQ(view().PlaceOf(layout.id), pixels(layout.position));
    const bool shown = layout.visible && (!layout.container || LayoutOf(*layout.container).visible);
    EXPECT_EQ(view().Visible(layout.id), shown);
    EXPECT_TRUE(view().Enabled(layout.id));
    if (layout.kind == ControlKind::kOptionButton) {
      EXPECT_EQ(view().Selected(layout.id), layout.selected);
    }
    if (layout.kind != ControlKind::kProgressBar) {
      EXPECT_EQ(view().Text(layout.id), layout.id == TavMenuLbl
                                            ? "[[ update.test:8650 --> C:\\TavKorea ]]"
                                            : std::string(layout.caption));
    }
  }
  EXPECT_EQ(view().Filled(PB1), 0);
}

TEST_P(ViewContract, TheWindowAndEveryControlArePaintedInTheirBackColours) {
  window().Load();
  // The frames the window keeps hidden, shown for a look at them.
  model().SetVisible(ErrViewFme, true);
  model().SetVisible(SsFme, true);
  host().PumpEvents();
  EXPECT_EQ(Named(view().ColourAt(kTheWindow, 3, 3)), Named(kWindowBackColour));
  for (const ControlLayout& layout : kControlLayouts) {
    if (!layout.back_colour) continue;
    // Just inside the border; an option at its blank right end, a captioned frame above its edge.
    const int width = view().PlaceOf(layout.id)[2];
    const bool option = layout.kind == ControlKind::kOptionButton;
    const bool strip = layout.kind == ControlKind::kFrame && !view().Text(layout.id).empty();
    EXPECT_EQ(Named(view().ColourAt(layout.id, option ? width - 2 : 3, option || strip ? 1 : 3)),
              Named(*layout.back_colour))
        << layout.name;
  }
  EXPECT_EQ(Named(view().ColourAt(ErrViewTxt, 3, 3)), "#FFFFFF") << "white, as a text box is";
}

TEST_P(ViewContract, ControlsWithAFontUseTheKoreanFontOthersTheWindowsDefault) {
  window().Load();
  const double dots_per_inch = view().DotsPerInch().second;
  for (const ControlLayout& layout : kControlLayouts) {
    SCOPED_TRACE(std::string(layout.name));
    const ControlFont font = view().Font(layout.id);
    EXPECT_EQ(font.window_default, !layout.font);
    if (!layout.font) continue;
    EXPECT_TRUE(font.korean);
    EXPECT_EQ(font.weight, layout.font->bold ? 700 : 400);
    // To the nearest pixel where that is all the toolkit keeps.
    EXPECT_NEAR(font.points, layout.font->points, font.whole_pixels ? 36 / dots_per_inch : 0);
    // What the screen shows: a face that has the Hangul glyphs, in the weight asked for.
    EXPECT_TRUE(font.hangul_shown);
    EXPECT_EQ(font.bold_shown, layout.font->bold);
  }
}

// --- The model mirrored ---

TEST_P(ViewContract, CaptionsAndValuesReachEveryKindOfControlByTheNextPump) {
  const struct {
    ControlId id;
    std::string written, shown;
  } kCaptions[] = {
      {Msg1Lbl, "로그인", "로그인"},
      {TavEnterCmd, "다시", "다시"},
      {TavSelt1Opt, "전체", "전체"},
      {Frame1, "진행", "진행"},
      {ErrViewTxt, "KW.exe\r\n전자신고(2026).dll\r\n", "KW.exe\n전자신고(2026).dll\n"},
      // Captions are shown as written, never as markup.
      {Msg3Lbl, "<b>404</b> Not Found", "<b>404</b> Not Found"},
  };
  for (const auto& c : kCaptions) model().SetCaption(c.id, c.written);
  model().SetValue(PB1, 41);
  host().PumpEvents();
  for (const auto& c : kCaptions) EXPECT_EQ(view().Text(c.id), c.shown) << LayoutOf(c.id).name;
  EXPECT_DOUBLE_EQ(view().Filled(PB1), 0.41);
}

TEST_P(ViewContract, ADownloadsStreamOfDisplaysIsCoalescedAndItsLatestShownWithinARefresh) {
  const auto download = [&](int from, int to, bool pump) {
    for (int kb = from; kb <= to; ++kb) {
      model().SetCaption(GetFileLbl, std::to_string(kb) + " KB");
      model().SetValue(PB1, kb / 60.0);
      if (pump) host().PumpEvents();
    }
  };
  download(1, 3000, false);
  // Nothing is written to a control per chunk...
  EXPECT_EQ(view().Text(GetFileLbl), "");
  // ...and the latest state appears within a refresh or so, with no pump to show it.
  EXPECT_TRUE(RunEventsUntil(host(), [&] { return view().Text(GetFileLbl) == "3000 KB"; }));
  EXPECT_DOUBLE_EQ(view().Filled(PB1), 0.5);

  // A pump after every chunk, as a download makes, holds back no more than a refresh's worth.
  download(3001, 6000, true);
  EXPECT_TRUE(RunEventsUntil(host(), [&] { return view().Text(GetFileLbl) == "6000 KB"; }));
  EXPECT_DOUBLE_EQ(view().Filled(PB1), 1);
}

TEST_P(ViewContract, EveryStepOfARunIsOnTheControlsWhenItsPumpReturns) {
  // What the run's start and its step announcements write, each followed by one pump, in quick
  // succession as a run does; the controls are read right after each pump.
  WindowModel& m = model();
  window().Load();
  m.SetCaption(Msg0Lbl, "작업완료");  // a previous run's end
  host().PumpEvents();
  m.SetCaption(Msg0Lbl, "* 작업시작 *");
  m.SetCaption(Msg1Lbl, "");
  host().PumpEvents();
  EXPECT_EQ(view().Text(Msg0Lbl), "* 작업시작 *");
  for (const char* step : {"로그인", "DownLoad(KW.exe)", "닫기", "복사", "등록", "완료"}) {
    m.SetCaption(Msg1Lbl, step);
    m.SetCaption(Msg2Lbl, "");
    m.SetCaption(Msg3Lbl, "");
    host().PumpEvents();
    EXPECT_EQ(view().Text(Msg1Lbl), step);
    EXPECT_EQ(view().Text(Msg3Lbl), "");
  }
  // A download's first displays too: it may hold back only what follows within a refresh.
  m.SetValue(PB1, 0);
  m.SetCaption(Msg2Lbl, "다운로드(KW.exe)");
  host().PumpEvents();
  EXPECT_EQ(view().Text(Msg2Lbl), "다운로드(KW.exe)");
  EXPECT_EQ(view().Filled(PB1), 0);
}

TEST_P(ViewContract, EnabledVisibleAndSelectedTakeEffectAtOnce) {
  window().Load();
  WindowModel& m = model();
  // A frame disabled during a run takes its options out of use.
  m.SetEnabled(KwFme, false);
  EXPECT_FALSE(view().Enabled(TavSelt0Opt));
  EXPECT_FALSE(view().Enabled(TavSelt1Opt));
  m.SetEnabled(TavEnterCmd, false);
  EXPECT_FALSE(view().Enabled(TavEnterCmd));
  m.SetEnabled(KwFme, true);
  EXPECT_TRUE(view().Enabled(TavSelt1Opt));

  m.SetVisible(SsFme, true);
  EXPECT_TRUE(view().Visible(SsFme));
  EXPECT_TRUE(view().Visible(Option1));
  m.SetVisible(SsFme, false);
  EXPECT_FALSE(view().Visible(SsFme));

  m.Select(TavSelt1Opt);
  EXPECT_TRUE(view().Selected(TavSelt1Opt));
  EXPECT_FALSE(view().Selected(TavSelt0Opt));
  EXPECT_TRUE(view().Selected(Option2)) << "the other frame's pair is a group of its own";
}

// --- The operator's clicks ---

TEST_P(ViewContract, AnOptionClickedIsSelectedInTheModelAndItsSiblingCleared) {
  window().Load();
  model().SetVisible(SsFme, true);
  view().Click(TavSelt1Opt);
  EXPECT_TRUE(model().Selected(TavSelt1Opt));
  EXPECT_FALSE(model().Selected(TavSelt0Opt));
  EXPECT_TRUE(view().Selected(TavSelt1Opt));
  EXPECT_FALSE(view().Selected(TavSelt0Opt));
  EXPECT_TRUE(view().Selected(Option2));

  // Clicking the selected one again keeps it selected.
  view().Click(TavSelt1Opt);
  EXPECT_TRUE(model().Selected(TavSelt1Opt));

  view().Click(TavSelt0Opt);
  EXPECT_TRUE(model().Selected(TavSelt0Opt));
  EXPECT_FALSE(model().Selected(TavSelt1Opt));
  EXPECT_FALSE(view().Selected(TavSelt1Opt));

  // The other frame's options are a group of their own.
  view().Click(Option1);
  EXPECT_TRUE(model().Selected(Option1));
  EXPECT_FALSE(model().Selected(Option2));
  EXPECT_TRUE(model().Selected(TavSelt0Opt));

  // A disabled frame's options take no clicks.
  model().SetEnabled(KwFme, false);
  view().Click(TavSelt1Opt);
  EXPECT_TRUE(model().Selected(TavSelt0Opt));
}

TEST_P(ViewContract, ErrViewCmdTogglesTheErrorPanelOverTheControlsItCovers) {
  window().Load();
  model().SetCaption(ErrViewTxt, "KW.exe\r\nKZ.exe\r\n");
  view().Click(ErrViewCmd);
  EXPECT_TRUE(model().Visible(ErrViewFme));
  EXPECT_TRUE(view().Visible(ErrViewFme));
  // The panel shows the latest log as it appears, without waiting for a refresh.
  EXPECT_EQ(view().Text(ErrViewTxt), "KW.exe\nKZ.exe\n");
  // It lies over the banner, the progress frame and the labels it overlaps.
  const auto [left, top, width, height] = view().PlaceOf(ErrViewFme);
  for (ControlId below : {TavMenuLbl, Frame1, GetFileLbl, Msg0Lbl, Msg3Lbl}) {
    const auto [other_left, other_top, other_width, other_height] = view().PlaceOf(below);
    const int x0 = std::max(left, other_left),
              x1 = std::min(left + width, other_left + other_width);
    const int y0 = std::max(top, other_top), y1 = std::min(top + height, other_top + other_height);
    ASSERT_TRUE(x0 < x1 && y0 < y1) << LayoutOf(below).name;
    EXPECT_EQ(view().ControlAt((x0 + x1) / 2, (y0 + y1) / 2), ErrViewFme) << LayoutOf(below).name;
  }

  view().Click(ErrViewCmd);
  EXPECT_FALSE(model().Visible(ErrViewFme));
  EXPECT_FALSE(view().Visible(ErrViewFme));
  view().Click(ErrViewCmd);
  EXPECT_TRUE(view().Visible(ErrViewFme));
  EXPECT_EQ(model().Caption(ErrViewTxt), "KW.exe\r\nKZ.exe\r\n");
  EXPECT_EQ(view().Text(ErrViewTxt), "KW.exe\nKZ.exe\n");
}

TEST_P(ViewContract, TheBusyPointerCoversTheWindowUntilTheDefaultReturns) {
  window().Load();
  host().SetMousePointer(MousePointer::kBusy);
  EXPECT_TRUE(view().BusyPointerShown());
  host().SetMousePointer(MousePointer::kDefault);
  EXPECT_FALSE(view().BusyPointerShown());
}

// --- Closing ---

TEST_P(ViewContract, TavExitCmdClosesTheWindowAndEndsTheEventLoop) {
  window().Load();
  host().Post([&] { view().Click(TavExitCmd); });
  EXPECT_EQ(view().RunEventLoop(), 0);
  EXPECT_TRUE(window().unloaded());
  EXPECT_FALSE(view().Visible(kTheWindow));
}

TEST_P(ViewContract, ClosingDuringAWaitAbandonsTheRunEndsTheLoopAndWritesNothingMore) {
  window().Load();
  host().Post([&] {
    view().PostCloseRequest();
    EXPECT_THROW(window().TimeWaitSec(30), RunAbandoned);
  });
  EXPECT_EQ(view().RunEventLoop(), 0);
  EXPECT_TRUE(window().unloaded());
  EXPECT_FALSE(view().Visible(kTheWindow));
  model().SetCaption(Msg1Lbl, "after");
  host().PumpEvents();
  EXPECT_EQ(view().Text(Msg1Lbl), "");
}

// --- The window thread's posted tasks ---

TEST_P(ViewContract, APostFromAnotherThreadWakesAWaitAndRunsOnTheWindowThread) {
  std::atomic<bool> ran = false;
  std::thread::id ran_on;
  std::thread poster([&] {
    std::this_thread::sleep_for(50ms);
    host().Post([&] {
      ran_on = std::this_thread::get_id();
      ran = true;
    });
  });
  const auto start = std::chrono::steady_clock::now();
  // A wait that nothing woke would last a minute; the post must end it long before.
  while (!ran && std::chrono::steady_clock::now() - start < 60s) host().WaitForEvents(60s);
  const auto waited = std::chrono::steady_clock::now() - start;
  poster.join();
  EXPECT_TRUE(ran);
  EXPECT_EQ(ran_on, std::this_thread::get_id());
  EXPECT_LT(waited, 30s);
}

TEST_P(ViewContract, PostedTasksRunInTheirOrderAndEveryPumpRunsThosePostedBeforeIt) {
  constexpr int kTasks = 5000;
  std::vector<int> order;
  std::thread poster([&] {
    for (int i = 0; i < kTasks; ++i) host().Post([&order, i] { order.push_back(i); });
  });
  poster.join();
  for (int i = kTasks; i < 2 * kTasks; ++i) host().Post([&order, i] { order.push_back(i); });

  ASSERT_TRUE(RunEventsUntil(host(), [&] { return order.size() == 2 * kTasks; }));
  for (int i = 0; i < 2 * kTasks; ++i) ASSERT_EQ(order[i], i);

  // However soon after the last.
  for (int i = 1; i <= 100; ++i) {
    host().Post([&order, i] { order.push_back(-i); });
    host().PumpEvents();
    ASSERT_EQ(order.back(), -i);
  }
}

}  // namespace
}  // namespace kw::testing
