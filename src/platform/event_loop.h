#pragma once

#include <chrono>
#include <functional>

namespace kw {

// How long a wait that some event is expected to end (a transfer's notification, a posted
// wake-up) sleeps before it looks again: it only bounds the cost of a wake-up that never came.
inline constexpr std::chrono::milliseconds kWaitSlice{100};

// The window thread's event loop, as the core and the transfer control see it. Every handler
// of the program (clicks, transfer notifications) runs on that thread, inside these calls.
class EventLoop {
 public:
  virtual ~EventLoop() = default;

  // Runs every event that is pending now, then returns; never blocks. What the window's model
  // holds when the pump starts is on the screen when it returns (a view may hold back the
  // displays a download rewrites after every chunk, but never for longer than a screen refresh).
  virtual void PumpEvents() = 0;

  // Blocks until an event is pending or `timeout` has passed, then runs the pending events.
  // Never spins: the thread sleeps until something happens.
  virtual void WaitForEvents(std::chrono::milliseconds timeout) = 0;

  // Queues `task` to run on the window's thread during a later PumpEvents or WaitForEvents,
  // and wakes a WaitForEvents in progress. Safe to call from any thread. Tasks run in the order
  // they were posted.
  virtual void Post(std::function<void()> task) = 0;
};

}  // namespace kw
