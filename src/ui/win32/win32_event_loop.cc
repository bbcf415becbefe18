// The window thread's event loop on Win32 messages: what the core's pumps and waits do.

#include <utility>

#include "ui/win32/win32_window.h"

namespace kw {

namespace {

constexpr UINT kRunTasksMessage = WM_APP + 1;

}  // namespace

void Win32Window::PumpEvents() {
  // What the model holds now goes to the controls first, and is painted.
  const bool wrote = WriteDue();
  // Tasks posted by the transfer control are in a queue of ours, which costs nothing to look
  // at. Looking for the system's messages is a call into the kernel, which at a download's
  // pace (a pump per kilobyte) would cost more than the rest of the download: a pump does it
  // when it painted, or kSystemEventInterval or more after the last look, and a wait always.
  RunPostedTasks();
  const auto now = std::chrono::steady_clock::now();
  if (wrote || now - last_system_read_ >= kSystemEventInterval) {
    DispatchWaiting();
    last_system_read_ = now;
  }
}

void Win32Window::WaitForEvents(std::chrono::milliseconds timeout) {
  WriteDue();
  if (!tasks_waiting_ && !quit_seen_) {
    // Wakes for any message, a posted task included (its message), or the deadline.
    MsgWaitForMultipleObjectsEx(0, nullptr,
                                static_cast<DWORD>(std::max<long long>(timeout.count(), 0)),
                                QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  }
  RunPostedTasks();
  DispatchWaiting();
  last_system_read_ = std::chrono::steady_clock::now();
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

void Win32Window::DispatchWaiting() {
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
