#include "ui/win32/win32_window.h"

#include <algorithm>

#include "app/update_window.h"
#include "platform/failure.h"
#include "platform/win32/wide_text.h"

namespace kw {

namespace {

using enum ControlId;

constexpr wchar_t kWindowClass[] = L"KwUpdateWindow";
constexpr UINT kRunTasksMessage = WM_APP + 1;
constexpr UINT_PTR kPassTimer = 1;
constexpr DWORD kStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
constexpr DWORD kExStyle = WS_EX_CONTROLPARENT;

// Newer systems tell each window its own resolution; older ones have one for the screen.
template <typename Function>
Function* User32Function(const char* name) {
  return reinterpret_cast<Function*>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), name)));
}

int RefreshIntervalMicroseconds() {
  const HDC screen = GetDC(nullptr);
  const int rate = GetDeviceCaps(screen, VREFRESH);
  ReleaseDC(nullptr, screen);
  // 0 and 1 mean "the hardware's default".
  return 1'000'000 / (rate > 1 ? rate : 60);
}

}  // namespace

Win32Window::Win32Window(HINSTANCE instance) : instance_(instance) {
  background_.Reset(CreateSolidBrush(
      RGB(kWindowBackColour.red, kWindowBackColour.green, kWindowBackColour.blue)));
  WNDCLASSEXW window_class{};
  window_class.cbSize = sizeof window_class;
  window_class.lpfnWndProc = WindowProc;
  window_class.hInstance = instance;
  window_class.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(1));
  window_class.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  window_class.hbrBackground = background_.get();
  window_class.lpszClassName = kWindowClass;
  RegisterClassExW(&window_class);
  window_ = CreateWindowExW(kExStyle, kWindowClass, Widen(kWindowCaption).c_str(), kStyle,
                            CW_USEDEFAULT, CW_USEDEFAULT, 0, 0, nullptr, nullptr, instance, this);
  if (window_ == nullptr) {
    throw Failure(error::kInternal, "The window could not be made (Windows error " +
                                        std::to_string(GetLastError()) + ")");
  }
}

Win32Window::~Win32Window() {
  SetMousePointer(MousePointer::kDefault);
  if (IsWindow(window_)) {
    SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
    DestroyWindow(window_);
  }
  controls_.reset();
  UnregisterClassW(kWindowClass, instance_);
}

void Win32Window::Attach(UpdateWindow& window) {
  update_window_ = &window;
  model_ = &window.model();
  updates_.emplace(std::chrono::microseconds(RefreshIntervalMicroseconds()));
  const UINT dpi = Dpi();
  controls_ = std::make_unique<Win32Controls>(window_, instance_, dpi);

  RECT frame{0, 0, TwipsToPixels(kWindowWidthTwips, dpi), TwipsToPixels(kWindowHeightTwips, dpi)};
  using AdjustForDpi = BOOL WINAPI(RECT*, DWORD, BOOL, DWORD, UINT);
  if (auto* adjust = User32Function<AdjustForDpi>("AdjustWindowRectExForDpi")) {
    adjust(&frame, kStyle, FALSE, kExStyle, dpi);
  } else {
    AdjustWindowRectEx(&frame, kStyle, FALSE, kExStyle);
  }
  SetWindowPos(window_, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);

  for (const ControlLayout& layout : kControlLayouts) {
    const ControlId id = layout.id;
    controls_->WriteCaption(id, model_->Caption(id));
    controls_->WriteValue(id, model_->Value(id));
    controls_->WriteSelected(id, model_->Selected(id));
    if (!model_->Enabled(id)) controls_->WriteEnabled(id, false);
  }
  model_->AddObserver(this);
}

int Win32Window::Run() {
  MSG message{};
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    if (!IsDialogMessageW(window_, &message)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
  }
  return static_cast<int>(message.wParam);
}

UINT Win32Window::Dpi() const {
  using GetDpiForWindowFunction = UINT WINAPI(HWND);
  if (auto* get_dpi = User32Function<GetDpiForWindowFunction>("GetDpiForWindow")) {
    if (const UINT dpi = get_dpi(window_); dpi != 0) return dpi;
  }
  const HDC screen = GetDC(nullptr);
  const int dpi = GetDeviceCaps(screen, LOGPIXELSX);
  ReleaseDC(nullptr, screen);
  return dpi > 0 ? static_cast<UINT>(dpi) : 96;
}

void Win32Window::OnControlChanged(ControlId id, ControlProperty property) {
  switch (property) {
    case ControlProperty::kCaption:
    case ControlProperty::kValue:
      updates_->Mark(id, property);
      if (!pass_armed_) {
        pass_armed_ = true;
        SetTimer(window_, kPassTimer, USER_TIMER_MINIMUM, nullptr);
      }
      return;
    case ControlProperty::kEnabled:
      return controls_->WriteEnabled(id, model_->Enabled(id));
    case ControlProperty::kVisible:
      // A panel that appears shows its latest text at once.
      if (model_->Visible(id)) WriteDue();
      return controls_->WriteVisible(id, model_->Visible(id));
    case ControlProperty::kSelected:
      return controls_->WriteSelected(id, model_->Selected(id));
  }
}

bool Win32Window::WriteDue() {
  if (model_ == nullptr) return false;
  bool wrote = false;
  updates_->Take(std::chrono::steady_clock::now(), [&](ControlId id, ControlProperty property) {
    wrote = true;
    if (property == ControlProperty::kCaption) {
      controls_->WriteCaption(id, model_->Caption(id));
    } else {
      controls_->WriteValue(id, model_->Value(id));
    }
  });
  // On the screen now, not when the message queue next runs dry.
  if (wrote) RedrawWindow(window_, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
  return wrote;
}

void Win32Window::OnPassTimer() {
  WriteDue();
  const std::optional<ScreenUpdates::TimePoint> due = model_ ? updates_->NextDue() : std::nullopt;
  if (!due) {
    KillTimer(window_, kPassTimer);
    pass_armed_ = false;
    return;
  }
  const auto wait =
      std::chrono::ceil<std::chrono::milliseconds>(*due - std::chrono::steady_clock::now());
  SetTimer(
      window_, kPassTimer,
      static_cast<UINT>(std::max<std::chrono::milliseconds::rep>(USER_TIMER_MINIMUM, wait.count())),
      nullptr);
}

void Win32Window::ShowWindow() {
  if (closed_) return;
  WriteDue();
  // Centred on the work area of the screen the window is on.
  MONITORINFO monitor{};
  monitor.cbSize = sizeof monitor;
  GetMonitorInfoW(MonitorFromWindow(window_, MONITOR_DEFAULTTOPRIMARY), &monitor);
  RECT frame;
  GetWindowRect(window_, &frame);
  const RECT& work = monitor.rcWork;
  const int width = frame.right - frame.left;
  const int height = frame.bottom - frame.top;
  SetWindowPos(window_, nullptr, work.left + (work.right - work.left - width) / 2,
               work.top + (work.bottom - work.top - height) / 2, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
  ::ShowWindow(window_, SW_SHOWNORMAL);
  SetForegroundWindow(window_);
  SetFocus(GetNextDlgTabItem(window_, nullptr, FALSE));
  ::UpdateWindow(window_);
}

void Win32Window::CloseWindow() {
  if (closed_) return;
  closed_ = true;
  if (model_) model_->RemoveObserver(this);
  model_ = nullptr;
  KillTimer(window_, kPassTimer);
  SetMousePointer(MousePointer::kDefault);
  // Hidden, not destroyed: a handler of the window may still be running below this call.
  ::ShowWindow(window_, SW_HIDE);
  PostQuitMessage(0);
}

void Win32Window::SetMousePointer(MousePointer pointer) {
  busy_ = pointer == MousePointer::kBusy && !closed_;
  // WM_SETCURSOR keeps it so while the pointer moves over the window.
  SetCursor(LoadCursorW(nullptr, busy_ ? IDC_WAIT : IDC_ARROW));
}

void Win32Window::ShowMessage(std::string_view title, std::string_view text) {
  WriteDue();
  const bool was_busy = busy_;
  SetMousePointer(MousePointer::kDefault);
  const HWND owner = IsWindowVisible(window_) ? window_ : nullptr;
  MessageBoxW(owner, Widen(text).c_str(), Widen(title).c_str(), MB_OK | MB_SETFOREGROUND);
  if (was_busy && !closed_) SetMousePointer(MousePointer::kBusy);
}

LRESULT CALLBACK Win32Window::WindowProc(HWND window, UINT message, WPARAM w, LPARAM l) {
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(l);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* self = reinterpret_cast<Win32Window*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (self == nullptr || self->controls_ == nullptr) return DefWindowProcW(window, message, w, l);
  return self->OnMessage(message, w, l);
}

LRESULT Win32Window::OnMessage(UINT message, WPARAM w, LPARAM l) {
  switch (message) {
    case WM_COMMAND:
      if (HIWORD(w) == BN_CLICKED && !closed_) {
        if (const auto id = controls_->FromCommandId(LOWORD(w))) update_window_->Click(*id);
      }
      return 0;
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN:
      if (const HBRUSH brush =
              controls_->ColourFor(reinterpret_cast<HWND>(l), reinterpret_cast<HDC>(w))) {
        return reinterpret_cast<LRESULT>(brush);
      }
      break;
    case WM_DRAWITEM:
      controls_->DrawButton(*reinterpret_cast<const DRAWITEMSTRUCT*>(l));
      return TRUE;
    case WM_SETCURSOR:
      if (busy_) {
        SetCursor(LoadCursorW(nullptr, IDC_WAIT));
        return TRUE;
      }
      break;
    case WM_TIMER:
      if (w == kPassTimer) OnPassTimer();
      return 0;
    case kRunTasksMessage:
      RunPostedTasks();
      return 0;
    case WM_DPICHANGED: {
      controls_->Layout(HIWORD(w));
      const auto* suggested = reinterpret_cast<const RECT*>(l);
      SetWindowPos(window_, nullptr, suggested->left, suggested->top,
                   suggested->right - suggested->left, suggested->bottom - suggested->top,
                   SWP_NOZORDER | SWP_NOACTIVATE);
      return 0;
    }
    case WM_CLOSE:
      // The core decides what closing means, and closes the window itself.
      if (!closed_) update_window_->Unload();
      return 0;
    case WM_ENDSESSION:
      if (w && !closed_) update_window_->Unload();
      return 0;
    default:
      break;
  }
  return DefWindowProcW(window_, message, w, l);
}

}  // namespace kw
