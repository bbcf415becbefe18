// The Win32 view: the view contract through the native controls' own messages (WM_GETTEXT,
// BM_CLICK, the painted pixels), and what only Windows has (a change of resolution).

#include "ui/win32/win32_window.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "platform/win32/wide_text.h"
#include "platform/win32/windows_api.h"
#include "support/fakes.h"
#include "ui/contract/view_contract.h"

namespace kw::testing {
namespace {

using enum ControlId;

// A window's text, as WM_GETTEXT gives it to any program, in UTF-8.
std::string TextOf(HWND window) {
  wchar_t text[1024] = {};
  SendMessageW(window, WM_GETTEXT, std::size(text), reinterpret_cast<LPARAM>(text));
  return Narrow(text);
}

// The native class of each kind of control, in ControlKind's order, and the styles it needs.
constexpr struct {
  const wchar_t* class_name;
  DWORD mask, styles;
} kNativeClasses[] = {
    {L"KwUpdateFrame", 0, 0},
    {L"Edit", ES_MULTILINE | ES_READONLY | WS_VSCROLL | WS_HSCROLL,
     ES_MULTILINE | ES_READONLY | WS_VSCROLL | WS_HSCROLL},
    {L"Button", BS_TYPEMASK, BS_OWNERDRAW},
    {L"Button", BS_TYPEMASK, BS_AUTORADIOBUTTON},
    {PROGRESS_CLASSW, 0, 0},
    {L"Static", 0, 0},
};

// The Win32 view attached to an update window on fakes, built the way wWinMain builds it.
class Win32Driver final : public ViewDriver {
 public:
  Win32Driver() { host_.Attach(window_); }

  HWND Handle(std::optional<ControlId> id) const {
    return id ? view_.control(*id) : view_.handle();
  }

  UpdateWindow& window() override { return window_; }
  ViewMirror& host() override { return host_; }

  std::pair<double, double> DotsPerInch() override {
    const auto screen = ScreenDc();
    return {GetDeviceCaps(screen.get(), LOGPIXELSX), GetDeviceCaps(screen.get(), LOGPIXELSY)};
  }
  void ExpectMadeAs(const ControlLayout& layout) override {
    const HWND control = Handle(layout.id);
    const auto& native = kNativeClasses[static_cast<int>(layout.kind)];
    wchar_t class_name[64] = {};
    GetClassNameW(control, class_name, static_cast<int>(std::size(class_name)));
    EXPECT_EQ(_wcsicmp(class_name, native.class_name), 0);
    EXPECT_EQ(GetWindowLongPtrW(control, GWL_STYLE) & native.mask, native.styles);
    EXPECT_EQ(GetParent(control), Handle(layout.container));
    // Other programs find the control by its number, as a dialog's.
    EXPECT_EQ(GetDlgCtrlID(control), kControlIdBase + static_cast<int>(layout.id));
    if (layout.kind == ControlKind::kLabel) {
      const auto style = GetWindowLongPtrW(control, GWL_STYLE);
      const auto ex_style = GetWindowLongPtrW(control, GWL_EXSTYLE);
      EXPECT_EQ((style & SS_TYPEMASK) == SS_CENTER, layout.centred);
      EXPECT_EQ((style & (WS_BORDER | SS_SUNKEN)) || (ex_style & WS_EX_STATICEDGE), layout.border);
    }
  }
  PixelRect PlaceOf(std::optional<ControlId> id) override {
    RECT place;
    GetClientRect(view_.handle(), &place);
    if (id) {
      GetWindowRect(Handle(id), &place);
      MapWindowPoints(nullptr, GetParent(Handle(id)), reinterpret_cast<POINT*>(&place), 2);
    }
    return {place.left, place.top, place.right - place.left, place.bottom - place.top};
  }
  bool Resizable() override {
    return (GetWindowLongPtrW(view_.handle(), GWL_STYLE) & (WS_THICKFRAME | WS_MAXIMIZEBOX)) != 0;
  }
  std::optional<ControlId> ControlAt(int x, int y) override {
    const HWND child = ChildWindowFromPointEx(view_.handle(), POINT{x, y}, CWP_SKIPINVISIBLE);
    for (const ControlLayout& layout : kControlLayouts) {
      if (Handle(layout.id) == child) return layout.id;
    }
    return std::nullopt;
  }
  std::string Text(std::optional<ControlId> id) override {
    const std::string text = TextOf(Handle(id));
    if (!id || LayoutOf(*id).kind != ControlKind::kTextBox) return text;
    // An edit control breaks lines at "\r\n" only.
    std::string lines;
    for (std::size_t i = 0; i < text.size(); ++i) {
      const bool pair = text.compare(i, 2, "\r\n") == 0;
      lines += pair ? "\n" : text[i] == '\r' || text[i] == '\n' ? "\uFFFD" : text.substr(i, 1);
      i += pair;
    }
    return lines;
  }
  bool Enabled(ControlId id) override { return IsWindowEnabled(Handle(id)); }
  bool Visible(std::optional<ControlId> id) override { return IsWindowVisible(Handle(id)); }
  bool Selected(ControlId id) override { return Send(id, BM_GETCHECK, 0) == BST_CHECKED; }
  double Filled(ControlId id) override {
    const auto low = static_cast<double>(Send(id, PBM_GETRANGE, TRUE));
    return (Send(id, PBM_GETPOS, 0) - low) / (Send(id, PBM_GETRANGE, FALSE) - low);
  }
  Rgb ColourAt(std::optional<ControlId> id, int x, int y) override {
    RedrawWindow(view_.handle(), nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
    const HDC dc = GetDC(Handle(id));
    const COLORREF colour = GetPixel(dc, x, y);
    ReleaseDC(Handle(id), dc);
    return {GetRValue(colour), GetGValue(colour), GetBValue(colour)};
  }
  ControlFont Font(ControlId id) override {
    const HWND control = Handle(id);
    const auto font = reinterpret_cast<HFONT>(Send(id, WM_GETFONT, 0));
    LOGFONTW asked{};
    if (GetObjectW(font, sizeof asked, &asked) == 0) return {};
    NONCLIENTMETRICSW system{};
    system.cbSize = sizeof system;
    SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof system, &system, 0);
    const HDC dc = GetDC(control);
    const HGDIOBJ old = SelectObject(dc, font);
    TEXTMETRICW shown{};
    GetTextMetricsW(dc, &shown);
    WORD glyphs[2] = {};
    GetGlyphIndicesW(dc, L"적용", 2, glyphs, GGI_MARK_NONEXISTING_GLYPHS);
    SelectObject(dc, old);
    ReleaseDC(control, dc);
    return {.window_default = wcscmp(asked.lfFaceName, system.lfMessageFont.lfFaceName) == 0,
            .korean = wcscmp(asked.lfFaceName, L"굴림") == 0 && asked.lfCharSet == HANGUL_CHARSET,
            .weight = static_cast<int>(asked.lfWeight),
            .points = -asked.lfHeight * 72.0 / DotsPerInch().second,
            .whole_pixels = true,
            .hangul_shown = glyphs[0] != 0xFFFF && glyphs[1] != 0xFFFF,
            .bold_shown = shown.tmWeight >= FW_SEMIBOLD};
  }
  bool BusyPointerShown() override {
    // What Windows asks the window under the pointer when it moves.
    SetCursor(nullptr);
    Send(Msg2Lbl, WM_SETCURSOR, reinterpret_cast<WPARAM>(Handle(Msg2Lbl)),
         MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
    return GetCursor() == LoadCursorW(nullptr, IDC_WAIT);
  }

  void Click(ControlId id) override { Send(id, BM_CLICK, 0); }
  void PostCloseRequest() override { PostMessageW(view_.handle(), WM_CLOSE, 0, 0); }
  int RunEventLoop() override {
    const UINT_PTR give_up = SetTimer(nullptr, 0, 10'000, &GiveUp);
    const int code = view_.Run();
    KillTimer(nullptr, give_up);
    return code;
  }

 private:
  LRESULT Send(ControlId id, UINT message, WPARAM w, LPARAM l = 0) {
    return SendMessageW(Handle(id), message, w, l);
  }

  static void CALLBACK GiveUp(HWND, UINT, UINT_PTR, DWORD) { PostQuitMessage(-1); }

  NoDrive files_;
  FakeProcesses processes_{files_};
  FakeInstanceGuard guard_;
  SystemClock clock_;
  Win32Window view_{GetModuleHandleW(nullptr)};
  ViewMirror host_{view_, clock_};
  ScriptedTransfer inet1_{host_};
  UpdateWindow window_{{host_, clock_, files_, processes_, inet1_, guard_}, "update.test:8650"};
};

std::unique_ptr<ViewDriver> MakeWin32Driver() { return std::make_unique<Win32Driver>(); }
INSTANTIATE_TEST_SUITE_P(Win32, ViewContract, ::testing::Values(&MakeWin32Driver));

// --- What only Windows has ---

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

TEST(Win32WindowTest, AResolutionChangeHandsEveryControlItsNewFontBeforeTheOldOneGoes) {
  Win32Driver t;
  const HWND option = t.Handle(Option1);  // in the window's default font
  g_option_proc = reinterpret_cast<WNDPROC>(
      SetWindowLongPtrW(option, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&CheckingFontChanges)));
  RECT suggested{0, 0, TwipsToPixels(5955, 144), TwipsToPixels(4410, 144)};
  SendMessageW(t.Handle(kTheWindow), WM_DPICHANGED, MAKEWPARAM(144, 144),
               reinterpret_cast<LPARAM>(&suggested));
  SetWindowLongPtrW(option, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(g_option_proc));
  EXPECT_TRUE(g_old_font_alive);
  EXPECT_EQ(t.PlaceOf(Option1)[2], TwipsToPixels(795, 144));
}

}  // namespace
}  // namespace kw::testing
