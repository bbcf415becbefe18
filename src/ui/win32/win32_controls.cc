#include "ui/win32/win32_controls.h"

#include <commctrl.h>
#include <initguid.h>  // defines the GUIDs oleacc.h names, once, in this file
#include <oleacc.h>

#include <cmath>

#include "app/view_support.h"
#include "platform/win32/wide_text.h"

namespace kw {

namespace {

using enum ControlId;

constexpr wchar_t kFrameClass[] = L"KwUpdateFrame";
// A frame keeps its back colour and its font in its window's extra bytes.
constexpr int kFrameColourSlot = 0;
constexpr int kFrameFontSlot = sizeof(LONG_PTR);

COLORREF ToColorRef(const Rgb& rgb) { return RGB(rgb.red, rgb.green, rgb.blue); }

// Where a frame's edge starts: half a line down when it has a caption to set into it.
int FrameEdgeTop(HWND frame, HDC dc) {
  if (GetWindowTextLengthW(frame) == 0) return 0;
  TEXTMETRICW metrics{};
  GetTextMetricsW(dc, &metrics);
  return metrics.tmHeight / 2;
}

// A frame as Windows draws a group box: an etched edge, the caption set into its top edge a
// little in from the left, on the frame's own colour. What happens inside it (clicks, colours,
// drawing of its buttons) is the window's business, so it passes those messages up.
LRESULT CALLBACK FrameProc(HWND frame, UINT message, WPARAM w, LPARAM l) {
  switch (message) {
    case WM_COMMAND:
    case WM_DRAWITEM:
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLOREDIT:
      return SendMessageW(GetAncestor(frame, GA_ROOT), message, w, l);
    case WM_SETFONT:
      SetWindowLongPtrW(frame, kFrameFontSlot, static_cast<LONG_PTR>(w));
      if (LOWORD(l)) InvalidateRect(frame, nullptr, TRUE);
      return 0;
    case WM_GETFONT:
      return GetWindowLongPtrW(frame, kFrameFontSlot);
    case WM_SETTEXT: {
      const LRESULT result = DefWindowProcW(frame, message, w, l);
      InvalidateRect(frame, nullptr, TRUE);
      return result;
    }
    case WM_ERASEBKGND:
      return 1;  // painted whole by WM_PAINT
    case WM_PAINT: {
      PAINTSTRUCT paint;
      const HDC dc = BeginPaint(frame, &paint);
      RECT area;
      GetClientRect(frame, &area);
      const auto colour = static_cast<COLORREF>(GetWindowLongPtrW(frame, kFrameColourSlot));
      FillRect(dc, &area, UniqueBrush(CreateSolidBrush(colour)).get());
      {  // The font stays selected until the end of this block, before EndPaint.
        const auto font = reinterpret_cast<HFONT>(GetWindowLongPtrW(frame, kFrameFontSlot));
        const SelectedObject selected_font(dc, font ? font : GetStockObject(DEFAULT_GUI_FONT));
        RECT edge = area;
        edge.top = FrameEdgeTop(frame, dc);
        DrawEdge(dc, &edge, EDGE_ETCHED, BF_RECT);
        const int length = GetWindowTextLengthW(frame);
        if (length > 0) {
          std::wstring caption(static_cast<std::size_t>(length) + 1, L'\0');
          GetWindowTextW(frame, caption.data(), length + 1);
          caption.resize(static_cast<std::size_t>(length));
          SIZE extent{};
          GetTextExtentPoint32W(dc, caption.c_str(), length, &extent);
          RECT box{8, 0, 8 + extent.cx + 4, extent.cy};
          SetBkColor(dc, colour);
          SetTextColor(dc, GetSysColor(IsWindowEnabled(frame) ? COLOR_WINDOWTEXT : COLOR_GRAYTEXT));
          ExtTextOutW(dc, box.left + 2, 0, ETO_OPAQUE, &box, caption.c_str(),
                      static_cast<UINT>(length), nullptr);
        }
      }
      EndPaint(frame, &paint);
      return 0;
    }
    default:
      return DefWindowProcW(frame, message, w, l);
  }
}

void RegisterFrameClass(HINSTANCE instance) {
  WNDCLASSEXW frame_class{};
  frame_class.cbSize = sizeof frame_class;
  frame_class.lpfnWndProc = FrameProc;
  frame_class.cbWndExtra = 2 * sizeof(LONG_PTR);
  frame_class.hInstance = instance;
  frame_class.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  frame_class.lpszClassName = kFrameClass;
  RegisterClassExW(&frame_class);  // a second window finds it registered: no harm
}

// The native class and styles of each kind of control.
std::pair<const wchar_t*, DWORD> ClassAndStyle(const ControlLayout& layout) {
  constexpr DWORD kChild = WS_CHILD | WS_CLIPSIBLINGS;
  switch (layout.kind) {
    case ControlKind::kFrame:
      return {kFrameClass, kChild | WS_CLIPCHILDREN};
    case ControlKind::kTextBox:
      return {L"EDIT", kChild | WS_TABSTOP | WS_VSCROLL | WS_HSCROLL | ES_MULTILINE | ES_READONLY |
                           ES_AUTOVSCROLL | ES_AUTOHSCROLL};
    case ControlKind::kCommandButton:
      return {L"BUTTON", kChild | WS_TABSTOP | (layout.graphical ? BS_OWNERDRAW : BS_PUSHBUTTON)};
    case ControlKind::kOptionButton:
      return {L"BUTTON", kChild | WS_TABSTOP | BS_AUTORADIOBUTTON};
    case ControlKind::kProgressBar:
      return {PROGRESS_CLASSW, kChild};
    case ControlKind::kLabel:
      return {L"STATIC", kChild | SS_NOPREFIX | (layout.centred ? SS_CENTER : SS_LEFT)};
  }
  return {L"STATIC", kChild};
}

}  // namespace

void AccessibilityTraits::Close(IAccPropServices* services) { services->Release(); }

Win32Controls::Win32Controls(HWND window, HINSTANCE instance, UINT dpi) : window_(window) {
  RegisterFrameClass(instance);
  IAccPropServices* services = nullptr;
  if (SUCCEEDED(CoCreateInstance(CLSID_AccPropServices, nullptr, CLSCTX_INPROC_SERVER,
                                 IID_IAccPropServices, reinterpret_cast<void**>(&services)))) {
    accessibility_.Reset(services);
  }
  // The table lists every container before the controls it holds.
  for (const ControlLayout& layout : kControlLayouts) {
    const HWND parent = layout.container ? Handle(*layout.container) : window;
    const auto [class_name, style] = ClassAndStyle(layout);
    // A bordered label has the thin sunken edge of a 3-D label.
    const DWORD ex_style = layout.kind == ControlKind::kFrame     ? WS_EX_CONTROLPARENT
                           : layout.kind == ControlKind::kTextBox ? WS_EX_CLIENTEDGE
                           : layout.border                        ? WS_EX_STATICEDGE
                                                                  : 0;
    const auto command_id = static_cast<INT_PTR>(kControlIdBase + static_cast<int>(layout.id));
    const HWND control =
        CreateWindowExW(ex_style, class_name, L"", style | (layout.visible ? WS_VISIBLE : 0), 0, 0,
                        0, 0, parent, reinterpret_cast<HMENU>(command_id), instance, nullptr);
    handles_[static_cast<std::size_t>(layout.id)] = control;
    if (layout.kind == ControlKind::kFrame && layout.back_colour) {
      SetWindowLongPtrW(control, kFrameColourSlot, ToColorRef(*layout.back_colour));
    }
    if (layout.kind == ControlKind::kProgressBar) SendMessageW(control, PBM_SETRANGE32, 0, 100);
  }
  // Tab follows the order of the window's children, and the error panel must lie over the
  // controls it covers when shown: first the controls that take the focus, in tab order (the
  // panel's last, so it comes before everything it covers), then the rest.
  HWND after = HWND_TOP;
  for (ControlId id : kTabOrder) {
    HWND control = Handle(id);
    // Controls in a frame take their frame's place among the window's children.
    for (HWND parent = GetParent(control); parent != window; parent = GetParent(parent)) {
      SetWindowPos(control, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
      control = parent;
    }
    if (control != after) {
      SetWindowPos(control, after, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    }
    after = control;
  }
  // Each frame's options are a group of their own, which the arrow keys move within.
  for (const ControlLayout& layout : kControlLayouts) {
    if (layout.kind != ControlKind::kFrame) continue;
    if (const HWND first = GetWindow(Handle(layout.id), GW_CHILD)) {
      SetWindowLongPtrW(first, GWL_STYLE, GetWindowLongPtrW(first, GWL_STYLE) | WS_GROUP);
    }
  }
  Layout(dpi);
}

Win32Controls::~Win32Controls() {
  // The controls go with the window; the fonts and brushes they use must outlive them.
  for (HWND control : handles_) {
    if (control != nullptr && IsWindow(control)) SendMessageW(control, WM_SETFONT, 0, FALSE);
  }
}

std::optional<ControlId> Win32Controls::FromCommandId(int command_id) const {
  const int index = command_id - kControlIdBase;
  if (index < 0 || index >= static_cast<int>(kControlCount)) return std::nullopt;
  return static_cast<ControlId>(index);
}

std::optional<ControlId> Win32Controls::FromHandle(HWND child) const {
  for (std::size_t i = 0; i < kControlCount; ++i) {
    if (handles_[i] == child) return static_cast<ControlId>(i);
  }
  return std::nullopt;
}

void Win32Controls::Layout(UINT dpi) {
  NONCLIENTMETRICSW metrics{};
  metrics.cbSize = sizeof metrics;
  SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
  // The system's message font is given at the system's resolution; the window's may differ.
  const int system_dpi = GetDeviceCaps(ScreenDc().get(), LOGPIXELSY);
  metrics.lfMessageFont.lfHeight = MulDiv(metrics.lfMessageFont.lfHeight, static_cast<int>(dpi),
                                          system_dpi > 0 ? system_dpi : 96);
  // The font in use goes only once every control has the new one.
  UniqueFont default_font(CreateFontIndirectW(&metrics.lfMessageFont));

  const double dots_per_inch = dpi;
  for (const ControlLayout& layout : kControlLayouts) {
    const HWND control = Handle(layout.id);
    const TwipsRect& at = layout.position;
    SetWindowPos(control, nullptr, TwipsToPixels(at.left, dots_per_inch),
                 TwipsToPixels(at.top, dots_per_inch), TwipsToPixels(at.width, dots_per_inch),
                 TwipsToPixels(at.height, dots_per_inch), SWP_NOZORDER | SWP_NOACTIVATE);
    const HFONT font = layout.font ? FontFor(*layout.font, dpi) : default_font.get();
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
  }
  default_font_ = std::move(default_font);
}

HFONT Win32Controls::FontFor(const KoreanFont& font, UINT dpi) {
  const int height = -static_cast<int>(std::lround(font.points * dpi / 72.0));
  UniqueFont& made = fonts_[{font.bold, height}];
  if (!made) {
    // Where "굴림" is missing, the system's font linking supplies the Hangul glyphs.
    made.Reset(CreateFontW(height, 0, 0, 0, font.bold ? FW_BOLD : FW_NORMAL, FALSE, FALSE, FALSE,
                           HANGUL_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                           DEFAULT_PITCH | FF_DONTCARE, L"굴림"));
  }
  return made.get();
}

HBRUSH Win32Controls::BrushFor(const Rgb& colour) {
  UniqueBrush& brush = brushes_[ToColorRef(colour)];
  if (!brush) brush.Reset(CreateSolidBrush(ToColorRef(colour)));
  return brush.get();
}

void Win32Controls::WriteCaption(ControlId id, std::string_view caption) {
  const HWND control = Handle(id);
  std::wstring text = Widen(caption);
  if (LayoutOf(id).kind == ControlKind::kProgressBar) text = Widen(AccessibleName(id, caption));
  // Setting the same text again would scroll the log back to its start, or flicker a label.
  const int length = GetWindowTextLengthW(control);
  std::wstring shown(static_cast<std::size_t>(length) + 1, L'\0');
  GetWindowTextW(control, shown.data(), length + 1);
  shown.resize(static_cast<std::size_t>(length));
  if (shown != text) SetWindowTextW(control, text.c_str());

  std::wstring& name = accessible_names_[static_cast<std::size_t>(id)];
  const std::wstring wanted = Widen(AccessibleName(id, caption));
  if (accessibility_ && name != wanted) {
    accessibility_.get()->SetHwndPropStr(control, static_cast<DWORD>(OBJID_CLIENT), CHILDID_SELF,
                                         PROPID_ACC_NAME, wanted.c_str());
    name = wanted;
  }
}

void Win32Controls::WriteEnabled(ControlId id, bool enabled) {
  EnableWindow(Handle(id), enabled);
  // A frame's controls look as unusable as they are.
  for (const ControlLayout& layout : kControlLayouts) {
    if (layout.container == id) EnableWindow(Handle(layout.id), enabled);
  }
  InvalidateRect(Handle(id), nullptr, TRUE);
}

void Win32Controls::WriteVisible(ControlId id, bool visible) {
  const HWND control = Handle(id);
  ShowWindow(control, visible ? SW_SHOWNA : SW_HIDE);
  if (visible) RedrawWindow(control, nullptr, nullptr, RDW_INVALIDATE | RDW_ALLCHILDREN);
}

HBRUSH Win32Controls::ColourFor(HWND child, HDC dc) {
  const std::optional<ControlId> id = FromHandle(child);
  if (!id) return nullptr;
  if (LayoutOf(*id).kind == ControlKind::kTextBox) {
    // A read-only edit asks as a label does, and would be the dialog's grey: the error log is
    // drawn as a text box is.
    SetBkColor(dc, GetSysColor(COLOR_WINDOW));
    SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
    return GetSysColorBrush(COLOR_WINDOW);
  }
  if (!LayoutOf(*id).back_colour) return nullptr;
  const Rgb& colour = *LayoutOf(*id).back_colour;
  SetBkColor(dc, ToColorRef(colour));
  SetTextColor(dc, GetSysColor(IsWindowEnabled(child) ? COLOR_WINDOWTEXT : COLOR_GRAYTEXT));
  return BrushFor(colour);
}

void Win32Controls::DrawButton(const DRAWITEMSTRUCT& item) {
  const std::optional<ControlId> id = FromHandle(item.hwndItem);
  if (!id) return;
  const ControlLayout& layout = LayoutOf(*id);
  const HDC dc = item.hDC;
  RECT area = item.rcItem;
  const bool pressed = (item.itemState & ODS_SELECTED) != 0;
  const bool disabled = (item.itemState & ODS_DISABLED) != 0;
  FillRect(dc, &area,
           layout.back_colour ? BrushFor(*layout.back_colour) : GetSysColorBrush(COLOR_BTNFACE));
  DrawEdge(dc, &area, pressed ? EDGE_SUNKEN : EDGE_RAISED, BF_RECT);

  const int length = GetWindowTextLengthW(item.hwndItem);
  std::wstring caption(static_cast<std::size_t>(length) + 1, L'\0');
  GetWindowTextW(item.hwndItem, caption.data(), length + 1);
  caption.resize(static_cast<std::size_t>(length));
  const auto font = reinterpret_cast<HFONT>(SendMessageW(item.hwndItem, WM_GETFONT, 0, 0));
  const SelectedObject selected_font(dc, font);
  SetBkMode(dc, TRANSPARENT);
  RECT text = area;
  if (pressed) OffsetRect(&text, 1, 1);
  constexpr UINT kCentred = DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX;
  if (disabled) {
    // Embossed, as Windows draws a disabled caption: a light copy below the grey one.
    RECT shadow = text;
    OffsetRect(&shadow, 1, 1);
    SetTextColor(dc, GetSysColor(COLOR_3DHILIGHT));
    DrawTextW(dc, caption.c_str(), length, &shadow, kCentred);
    SetTextColor(dc, GetSysColor(COLOR_GRAYTEXT));
  } else {
    SetTextColor(dc, GetSysColor(COLOR_BTNTEXT));
  }
  DrawTextW(dc, caption.c_str(), length, &text, kCentred);
  if ((item.itemState & ODS_FOCUS) != 0 && !disabled) {
    RECT focus = area;
    InflateRect(&focus, -4, -4);
    DrawFocusRect(dc, &focus);
  }
}

}  // namespace kw
