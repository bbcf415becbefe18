#include "ui/win32/win32_window.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <string>
#include <thread>

#include "platform/win32/wide_text.h"
#include "platform/win32/windows_api.h"
#include "ui/win32/win32_test_window.h"

namespace kw {
namespace testing {

std::string TextOf(HWND window) {
  wchar_t text[1024] = {};
  SendMessageW(window, WM_GETTEXT, std::size(text), reinterpret_cast<LPARAM>(text));
  return Narrow(text);
}

}  // namespace testing

namespace {

using namespace std::chrono_literals;
using enum ControlId;
using testing::TextOf;
using testing::Win32TestWindow;

std::wstring ClassOf(HWND window) {
  wchar_t name[64] = {};
  GetClassNameW(window, name, static_cast<int>(std::size(name)));
  return name;
}

bool IsShownAs(HWND control, ControlKind kind) {
  const auto style = static_cast<DWORD>(GetWindowLongPtrW(control, GWL_STYLE));
  const std::wstring class_name = ClassOf(control);
  switch (kind) {
    case ControlKind::kFrame:
      return class_name == L"KwUpdateFrame";
    case ControlKind::kTextBox:
      return _wcsicmp(class_name.c_str(), L"Edit") == 0 && (style & ES_MULTILINE) &&
             (style & ES_READONLY) && (style & WS_VSCROLL) && (style & WS_HSCROLL);
    case ControlKind::kCommandButton:
      return _wcsicmp(class_name.c_str(), L"Button") == 0 && (style & BS_TYPEMASK) == BS_OWNERDRAW;
    case ControlKind::kOptionButton:
      return _wcsicmp(class_name.c_str(), L"Button") == 0 &&
             (style & BS_TYPEMASK) == BS_AUTORADIOBUTTON;
    case ControlKind::kProgressBar:
      return class_name == PROGRESS_CLASSW;
    case ControlKind::kLabel:
      return _wcsicmp(class_name.c_str(), L"Static") == 0;
  }
  return false;
}

// A control's place in its parent's client area.
RECT PlaceOf(HWND control) {
  RECT place;
  GetWindowRect(control, &place);
  MapWindowPoints(nullptr, GetParent(control), reinterpret_cast<POINT*>(&place), 2);
  return place;
}

bool Checked(HWND option) { return SendMessageW(option, BM_GETCHECK, 0, 0) == BST_CHECKED; }

class Win32WindowTest : public ::testing::Test {
 protected:
  Win32WindowTest() { dpi_ = GetDeviceCaps(ScreenDc().get(), LOGPIXELSX); }

  int Pixels(int twips) const { return TwipsToPixels(twips, dpi_); }

  Win32TestWindow t;
  double dpi_ = 96;
};

TEST_F(Win32WindowTest, EveryControlIsMadeFromTheTableWithItsTextStateAndPlace) {
  ASSERT_TRUE(t.window.Load());
  EXPECT_EQ(TextOf(t.view.handle()), "Orvanta(iii) for Windows ( Update ) v2.50");
  RECT client;
  GetClientRect(t.view.handle(), &client);
  EXPECT_EQ(client.right, Pixels(5955));
  EXPECT_EQ(client.bottom, Pixels(4410));

  for (const ControlLayout& layout : kControlLayouts) {
    SCOPED_TRACE(std::string(layout.name));
    const HWND control = t.Control(layout.id);
    ASSERT_TRUE(IsWindow(control));
    EXPECT_TRUE(IsShownAs(control, layout.kind));
    const HWND container = layout.container ? t.Control(*layout.container) : t.view.handle();
    EXPECT_EQ(GetParent(control), container);
    const RECT place = PlaceOf(control);
    EXPECT_EQ(place.left, Pixels(layout.position.left));
    EXPECT_EQ(place.top, Pixels(layout.position.top));
    EXPECT_EQ(place.right - place.left, Pixels(layout.position.width));
    EXPECT_EQ(place.bottom - place.top, Pixels(layout.position.height));
    // What a person sees is what any program reads.
    if (layout.kind != ControlKind::kProgressBar) {
      EXPECT_EQ(TextOf(control), t.model().Caption(layout.id));
    }
    EXPECT_EQ(GetDlgCtrlID(control), kControlIdBase + static_cast<int>(layout.id));
    const bool shown = layout.visible && (!layout.container || LayoutOf(*layout.container).visible);
    EXPECT_EQ(IsWindowVisible(control) != FALSE, shown);
  }
  EXPECT_EQ(TextOf(t.Control(TavMenuLbl)), "[[ update.test:8650 --> C:\\TavKorea ]]");
  EXPECT_EQ(TextOf(t.Control(Label3)), "적  용");
  EXPECT_TRUE(Checked(t.Control(TavSelt0Opt)));
  EXPECT_FALSE(Checked(t.Control(TavSelt1Opt)));
  EXPECT_TRUE(Checked(t.Control(Option2)));
  EXPECT_EQ(SendMessageW(t.Control(PB1), PBM_GETRANGE, FALSE, 0), 100);
  EXPECT_EQ(SendMessageW(t.Control(PB1), PBM_GETPOS, 0, 0), 0);
  EXPECT_TRUE(GetWindowLongPtrW(t.Control(Msg0Lbl), GWL_STYLE) & SS_CENTER);
}

TEST_F(Win32WindowTest, ControlsWithAFontUseTheKoreanFontInItsFaceAndSize) {
  for (const ControlLayout& layout : kControlLayouts) {
    if (!layout.font) continue;
    SCOPED_TRACE(std::string(layout.name));
    const auto font = reinterpret_cast<HFONT>(SendMessageW(t.Control(layout.id), WM_GETFONT, 0, 0));
    ASSERT_NE(font, nullptr);
    LOGFONTW described{};
    ASSERT_NE(GetObjectW(font, sizeof described, &described), 0);
    EXPECT_STREQ(described.lfFaceName, L"굴림");
    EXPECT_EQ(described.lfCharSet, HANGUL_CHARSET);
    EXPECT_EQ(described.lfWeight, layout.font->bold ? FW_BOLD : FW_NORMAL);
    EXPECT_EQ(described.lfHeight, -std::lround(layout.font->points * dpi_ / 72));
    // What the screen shows: a face that has the Hangul glyphs, in the weight asked for.
    const HDC dc = GetDC(t.Control(layout.id));
    const HGDIOBJ old = SelectObject(dc, font);
    TEXTMETRICW metrics{};
    GetTextMetricsW(dc, &metrics);
    SelectObject(dc, old);
    ReleaseDC(t.Control(layout.id), dc);
    EXPECT_EQ(metrics.tmWeight >= FW_SEMIBOLD, layout.font->bold);
  }
}

TEST_F(Win32WindowTest, OptionsExcludeEachOtherInTheirOwnFrame) {
  t.window.Load();
  SendMessageW(t.Control(TavSelt1Opt), BM_CLICK, 0, 0);
  EXPECT_TRUE(t.model().Selected(TavSelt1Opt));
  EXPECT_TRUE(Checked(t.Control(TavSelt1Opt)));
  EXPECT_FALSE(Checked(t.Control(TavSelt0Opt)));
  EXPECT_TRUE(Checked(t.Control(Option2))) << "the hidden frame's pair is a group of its own";

  t.model().Select(TavSelt0Opt);
  EXPECT_TRUE(Checked(t.Control(TavSelt0Opt)));
  EXPECT_FALSE(Checked(t.Control(TavSelt1Opt)));

  // A frame disabled during a run takes its options out of use.
  t.model().SetEnabled(KwFme, false);
  EXPECT_FALSE(IsWindowEnabled(t.Control(TavSelt1Opt)));
  SendMessageW(t.Control(TavSelt1Opt), BM_CLICK, 0, 0);
  EXPECT_TRUE(t.model().Selected(TavSelt0Opt));
}

TEST_F(Win32WindowTest, TheErrorLogIsWhiteAsATextBoxAndLabelsHaveTheirColours) {
  const struct {
    ControlId id;
    COLORREF colour;
  } cases[] = {{ErrViewTxt, GetSysColor(COLOR_WINDOW)}, {Msg0Lbl, RGB(0xC0, 0xFF, 0xC0)}};
  for (const auto& c : cases) {
    const HWND control = t.Control(c.id);
    // Each asks its parent, as a read-only edit and a label do; a frame passes it up.
    const auto brush = reinterpret_cast<HBRUSH>(SendMessageW(
        GetParent(control), WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(ScreenDc().get()),
        reinterpret_cast<LPARAM>(control)));
    LOGBRUSH drawn{};
    ASSERT_NE(GetObjectW(brush, sizeof drawn, &drawn), 0) << LayoutOf(c.id).name;
    EXPECT_EQ(drawn.lbColor, c.colour) << LayoutOf(c.id).name;
  }
}

// Whether the font a control holds when it is handed another still exists.
bool g_old_font_alive = true;
WNDPROC g_option_proc = nullptr;
LRESULT CALLBACK CheckingFontChanges(HWND window, UINT message, WPARAM w, LPARAM l) {
  if (message == WM_SETFONT) {
    LOGFONTW font{};
    const auto held =
        reinterpret_cast<HFONT>(CallWindowProcW(g_option_proc, window, WM_GETFONT, 0, 0));
    if (held != nullptr && GetObjectW(held, sizeof font, &font) == 0) g_old_font_alive = false;
  }
  return CallWindowProcW(g_option_proc, window, message, w, l);
}

TEST_F(Win32WindowTest, AResolutionChangeHandsEveryControlItsNewFontBeforeTheOldOneGoes) {
  const HWND option = t.Control(Option1);  // in the window's default font
  g_option_proc = reinterpret_cast<WNDPROC>(
      SetWindowLongPtrW(option, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&CheckingFontChanges)));
  RECT suggested{0, 0, TwipsToPixels(5955, 144), TwipsToPixels(4410, 144)};
  SendMessageW(t.view.handle(), WM_DPICHANGED, MAKEWPARAM(144, 144),
               reinterpret_cast<LPARAM>(&suggested));
  SetWindowLongPtrW(option, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(g_option_proc));
  EXPECT_TRUE(g_old_font_alive);
  EXPECT_EQ(PlaceOf(option).right - PlaceOf(option).left, TwipsToPixels(795, 144));
}

TEST_F(Win32WindowTest, TheErrorPanelTogglesOverTheControlsItCovers) {
  t.window.Load();
  t.model().SetCaption(ErrViewTxt, "KW.exe\r\nKZ.exe\r\n");
  const HWND panel = t.Control(ErrViewFme);
  SendMessageW(t.Control(ErrViewCmd), BM_CLICK, 0, 0);
  EXPECT_TRUE(IsWindowVisible(panel));
  EXPECT_EQ(TextOf(t.Control(ErrViewTxt)), "KW.exe\r\nKZ.exe\r\n");
  for (ControlId below : {TavMenuLbl, Frame1, GetFileLbl, Msg0Lbl, Msg3Lbl}) {
    RECT overlap;
    RECT panel_place = PlaceOf(panel);
    RECT below_place = PlaceOf(t.Control(below));
    ASSERT_TRUE(IntersectRect(&overlap, &panel_place, &below_place)) << LayoutOf(below).name;
    const POINT centre{(overlap.left + overlap.right) / 2, (overlap.top + overlap.bottom) / 2};
    EXPECT_EQ(ChildWindowFromPointEx(t.view.handle(), centre, CWP_SKIPINVISIBLE), panel)
        << LayoutOf(below).name;
  }
  SendMessageW(t.Control(ErrViewCmd), BM_CLICK, 0, 0);
  EXPECT_FALSE(IsWindowVisible(panel));
  EXPECT_EQ(t.model().Caption(ErrViewTxt), "KW.exe\r\nKZ.exe\r\n");
}

TEST_F(Win32WindowTest, EveryStepIsOnTheControlsWhenItsPumpReturns) {
  t.window.Load();
  WindowModel& m = t.model();
  for (const char* step : {"* 작업시작 *", "로그인", "DownLoad(KW.exe)", "닫기", "완료"}) {
    m.SetCaption(Msg1Lbl, step);
    m.SetCaption(Msg3Lbl, "");
    t.host.PumpEvents();
    EXPECT_EQ(TextOf(t.Control(Msg1Lbl)), step);
    EXPECT_EQ(TextOf(t.Control(Msg3Lbl)), "");
  }
  // A download's stream of displays reaches the controls within a refresh or so.
  for (int kb = 1; kb <= 3000; ++kb) {
    m.SetCaption(GetFileLbl, std::to_string(kb) + " KB");
    m.SetValue(PB1, kb / 30.0);
    t.host.PumpEvents();
  }
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (TextOf(t.Control(GetFileLbl)) != "3000 KB" &&
         std::chrono::steady_clock::now() < deadline) {
    t.host.WaitForEvents(20ms);
  }
  EXPECT_EQ(TextOf(t.Control(GetFileLbl)), "3000 KB");
  EXPECT_EQ(SendMessageW(t.Control(PB1), PBM_GETPOS, 0, 0), 100);
}

TEST_F(Win32WindowTest, ClosingTheWindowDuringAWaitAbandonsTheRunAndEndsTheLoop) {
  t.window.Load();
  PostMessageW(t.view.handle(), WM_CLOSE, 0, 0);
  EXPECT_THROW(t.window.TimeWaitSec(30), RunAbandoned);
  EXPECT_TRUE(t.window.unloaded());
  EXPECT_FALSE(IsWindowVisible(t.view.handle()));
  // The quit that closing asked for ends the program's loop at once.
  EXPECT_EQ(t.view.Run(), 0);
  // Nothing reaches the window any more.
  t.model().SetCaption(Msg1Lbl, "after");
  t.host.PumpEvents();
  EXPECT_EQ(TextOf(t.Control(Msg1Lbl)), "");
}

TEST_F(Win32WindowTest, TheBusyPointerCoversTheWindowUntilTheDefaultReturns) {
  t.window.Load();
  const HCURSOR busy = LoadCursorW(nullptr, IDC_WAIT);
  t.host.SetMousePointer(MousePointer::kBusy);
  SetCursor(nullptr);
  SendMessageW(t.Control(Msg2Lbl), WM_SETCURSOR, reinterpret_cast<WPARAM>(t.Control(Msg2Lbl)),
               MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
  EXPECT_EQ(GetCursor(), busy);
  t.host.SetMousePointer(MousePointer::kDefault);
  SendMessageW(t.Control(Msg2Lbl), WM_SETCURSOR, reinterpret_cast<WPARAM>(t.Control(Msg2Lbl)),
               MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
  EXPECT_NE(GetCursor(), busy);
}

}  // namespace
}  // namespace kw
