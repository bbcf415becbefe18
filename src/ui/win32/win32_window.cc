#include "ui/win32/win32_window.h"

#include <algorithm>
#include <utility>

#include "platform/failure.h"
#include "platform/win32/wide_text.h"

namespace kw {

namespace {

using enum ControlId;

constexpr wchar_t kWindowClass[] = L"KwUpdateWindow";
constexpr DWORD kStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
constexpr DWORD kExStyle = WS_EX_CONTROLPARENT;

// Newer systems tell each window its own resolution; older ones have one for the screen.
template <typename Function>
Function* User32Function(const char* name) {
  return reinterpret_cast<Function*>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), name)));
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
}

Win32Window::~Win32Window() {
  if (IsWindow(window_)) {
    SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
    DestroyWindow(window_);
  }
  controls_.reset();
  UnregisterClassW(kWindowClass, instance_);
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
  const int dpi = GetDeviceCaps(ScreenDc().get(), LOGPIXELSX);
  return dpi > 0 ? static_cast<UINT>(dpi) : 96;
}

std::chrono::nanoseconds Win32Window::RefreshInterval() const {
  const int rate = GetDeviceCaps(ScreenDc().get(), VREFRESH);
  // 0 and 1 mean "the hardware's default".
  return std::chrono::microseconds(1'000'000 / (rate > 1 ? rate : 60));
}

void Win32Window::WriteCaption(ControlId id, std::string_view caption) {
  controls_->WriteCaption(id, caption);
}

void Win32Window::WriteProgress(ControlId id, int percent) {
  SendMessageW(control(id), PBM_SETPOS, static_cast<WPARAM>(percent), 0);
}

void Win32Window::WriteEnabled(ControlId id, bool enabled) { controls_->WriteEnabled(id, enabled); }

void Win32Window::WriteVisible(ControlId id, bool visible) { controls_->WriteVisible(id, visible); }

void Win32Window::WriteSelected(ControlId id, bool selected) {
  SendMessageW(control(id), BM_SETCHECK, selected ? BST_CHECKED : BST_UNCHECKED, 0);
}

// On the screen now, not when the message queue next runs dry.
void Win32Window::PaintWritten() {
  RedrawWindow(window_, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
}

void Win32Window::StartPassTimer(std::chrono::milliseconds delay) {
  // A shorter delay is taken as USER_TIMER_MINIMUM.
  SetTimer(window_, kPassTimer, static_cast<UINT>(delay.count()), nullptr);
}

void Win32Window::StopPassTimer() { KillTimer(window_, kPassTimer); }

void Win32Window::Show() {
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

void Win32Window::Close() {
  // Hidden, not destroyed: a handler of the window may still be running below this call.
  ::ShowWindow(window_, SW_HIDE);
  PostQuitMessage(0);
}

void Win32Window::SetBusyPointer(bool busy) {
  busy_ = busy;
  // WM_SETCURSOR keeps it so while the pointer moves over the window.
  SetCursor(LoadCursorW(nullptr, busy_ ? IDC_WAIT : IDC_ARROW));
}

void Win32Window::ShowMessageBox(std::string_view title, std::string_view text) {
  const HWND owner = IsWindowVisible(window_) ? window_ : nullptr;
  MessageBoxW(owner, Widen(text).c_str(), Widen(title).c_str(), MB_OK | MB_SETFOREGROUND);
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
      if (HIWORD(w) == BN_CLICKED && input_) {
        if (const auto id = controls_->FromCommandId(LOWORD(w))) input_->Clicked(*id);
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
      if (w == kPassTimer && input_) input_->PassTimerFired();
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
      if (input_) input_->CloseRequested();
      return 0;
    case WM_ENDSESSION:
      if (w && input_) input_->CloseRequested();
      return 0;
    default:
      break;
  }
  return DefWindowProcW(window_, message, w, l);
}

// The window thread's event queue: Win32 messages, and the tasks Post queues.

void Win32Window::SleepForEvents(std::chrono::milliseconds timeout) {
  if (!tasks_waiting_ && !quit_seen_) {
    // Wakes for any message, a posted task included (its message), or the deadline.
    MsgWaitForMultipleObjectsEx(0, nullptr,
                                static_cast<DWORD>(std::max<long long>(timeout.count(), 0)),
                                QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  }
  RunPostedTasks();
  ReadSystemEvents();
}

void Win32Window::Post(std::function<void()> task) {
  bool first = false;
  {
    std::lock_guard lock(tasks_mutex_);
    first = tasks_.empty();
    tasks_.push_back(std::move(task));
    tasks_waiting_ = true;
  }
  // One message wakes the thread however many tasks follow it before it runs them.
  if (first) PostMessageW(window_, kRunTasksMessage, 0, 0);
}

void Win32Window::RunPostedTasks() {
  if (!tasks_waiting_) return;
  std::deque<std::function<void()>> batch;
  {
    std::lock_guard lock(tasks_mutex_);
    batch.swap(tasks_);
    tasks_waiting_ = false;
  }
  // Tasks posted by these run at the next pump, in order.
  for (std::function<void()>& task : batch) task();
}

void Win32Window::ReadSystemEvents() {
  MSG message{};
  while (!quit_seen_ && PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    if (message.message == WM_QUIT) {
      // It belongs to Run(), below whatever pumps here.
      quit_seen_ = true;
      PostQuitMessage(static_cast<int>(message.wParam));
      break;
    }
    if (!IsDialogMessageW(window_, &message)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
  }
}

}  // namespace kw
