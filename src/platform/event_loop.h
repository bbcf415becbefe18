#pragma once

#include <chrono>
#include <functional>

namespace kw {

// The window thread's event loop, as the core and the transfer control see it. Every handler
// of the program (clicks, transfer notifications) runs on that thread, inside these calls.
class EventLoop {
 public:
  virtual ~EventLoop() = default;

  // Runs the events that are pending now, then returns; never blocks. An implementation may
  // skip the pass when it ran one a moment ago (well under what a person can notice), so that
  // a download that pumps after every 1 KB chunk does not pay for a pass each time.
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
