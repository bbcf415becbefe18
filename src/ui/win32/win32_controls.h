#pragma once

#include <array>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "app/window_layout.h"
#include "platform/unique_handle.h"
#include "platform/win32/windows_api.h"

struct IAccPropServices;

namespace kw {

template <typename H>
struct GdiObjectTraits {
  using Handle = H;
  static constexpr H Invalid() { return nullptr; }
  static void Close(H object) { DeleteObject(object); }
};
using UniqueBrush = UniqueHandle<GdiObjectTraits<HBRUSH>>;
using UniqueFont = UniqueHandle<GdiObjectTraits<HFONT>>;

struct ScreenDcTraits {
  using Handle = HDC;
  static constexpr Handle Invalid() { return nullptr; }
  static void Close(Handle dc) { ReleaseDC(nullptr, dc); }
};
// The screen's device context, for its metrics; released when it goes.
inline UniqueHandle<ScreenDcTraits> ScreenDc() {
  return UniqueHandle<ScreenDcTraits>(GetDC(nullptr));
}

// Selects an object into a device context for as long as it lives, then puts back the one it
// replaced.
class SelectedObject {
 public:
  SelectedObject(HDC dc, HGDIOBJ object) : dc_(dc), replaced_(SelectObject(dc, object)) {}
  ~SelectedObject() { SelectObject(dc_, replaced_); }
  SelectedObject(const SelectedObject&) = delete;
  SelectedObject& operator=(const SelectedObject&) = delete;

 private:
  HDC dc_;
  HGDIOBJ replaced_;
};

struct AccessibilityTraits {
  using Handle = IAccPropServices*;
  static constexpr Handle Invalid() { return nullptr; }
  static void Close(Handle services);
};

// A control's command and dialog id: kControlIdBase plus its ControlId. Test drivers find the
// controls by it.
inline constexpr int kControlIdBase = 1000;

// The native controls of the update window, made from the window's layout table, and what
// draws them: fonts, brushes, the frames (a window class of their own) and the graphical
// command buttons (owner-drawn). Lives on the window's thread.
class Win32Controls {
 public:
  // Makes every control, hidden states included, as children of `window` (or of their frame)
  // and places them at `dpi`. They show no caption or value until written.
  Win32Controls(HWND window, HINSTANCE instance, UINT dpi);
  ~Win32Controls();
  Win32Controls(const Win32Controls&) = delete;
  Win32Controls& operator=(const Win32Controls&) = delete;

  HWND Handle(ControlId id) const { return handles_[static_cast<std::size_t>(id)]; }
  // The control a command or a child window belongs to, if it is one.
  std::optional<ControlId> FromCommandId(int command_id) const;
  std::optional<ControlId> FromHandle(HWND child) const;

  // Places every control and sets its font for the window's resolution.
  void Layout(UINT dpi);

  // The caption (the text box's text) as the control's window text, and its accessible name.
  void WriteCaption(ControlId id, std::string_view caption);
  // A frame's state goes to the controls it holds as well.
  void WriteEnabled(ControlId id, bool enabled);
  void WriteVisible(ControlId id, bool visible);

  // WM_CTLCOLORSTATIC and WM_CTLCOLORBTN: sets `dc`'s colours for a child with a back colour,
  // or the text box's, and returns its brush; null for the others, which keep the system's.
  HBRUSH ColourFor(HWND child, HDC dc);
  // WM_DRAWITEM of a graphical command button.
  void DrawButton(const DRAWITEMSTRUCT& item);

 private:
  HBRUSH BrushFor(const Rgb& colour);
  HFONT FontFor(const KoreanFont& font, UINT dpi);

  HWND window_;
  std::array<HWND, kControlCount> handles_{};
  std::map<COLORREF, UniqueBrush> brushes_;
  std::map<std::pair<bool, int>, UniqueFont> fonts_;  // bold, height in pixels
  UniqueFont default_font_;
  std::array<std::wstring, kControlCount> accessible_names_;
  UniqueHandle<AccessibilityTraits> accessibility_;  // none where the system offers none
};

}  // namespace kw
