// The window thread's event queue: Win32 messages, and the tasks Post queues.

#include <algorithm>
#include <utility>

#include "ui/win32/win32_window.h"

namespace kw {

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
