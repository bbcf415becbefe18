#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "platform/window_host.h"

namespace kw::testing {

// A clock that moves only when told to. Its calendar starts at kStartUtc and moves with it.
class FakeClock : public Clock {
 public:
  // 2026-12-08T00:00:00Z.
  static constexpr UtcTime kStartUtc{std::chrono::seconds(1796688000)};

  TimePoint Now() override;
  UtcTime UtcNow() override;
  void Advance(std::chrono::nanoseconds by);
  // Sets the calendar, as an operator may; Now() does not move.
  void SetUtc(UtcTime utc);

 private:
  std::mutex mutex_;
  TimePoint now_{};
  UtcTime utc_ = kStartUtc;
};

// The monotonic clock, except that every reading is a second later than the one before: each
// download's one-second pause ends at its first look at the clock, so that downloads against a
// real server take the time of their transfers alone.
class SkippingClock final : public Clock {
 public:
  TimePoint Now() override {
    return std::chrono::steady_clock::now() + std::chrono::seconds(++readings_);
  }
  UtcTime UtcNow() override { return std::chrono::system_clock::now(); }

 private:
  long readings_ = 0;
};

// A window host without a window: a real, thread-safe event queue, and a record of what the
// core asked of the window. With a FakeClock, a wait that finds nothing to run advances the
// clock by its timeout instead of sleeping, so one-second pauses cost nothing; without one,
// waits block for real (for tests against real servers).
class TestHost : public WindowHost {
 public:
  explicit TestHost(FakeClock* virtual_time = nullptr) : virtual_time_(virtual_time) {}

  void PumpEvents() override;
  void WaitForEvents(std::chrono::milliseconds timeout) override;
  void Post(std::function<void()> task) override;

  void ShowWindow() override { shown = true; }
  void CloseWindow() override { closed = true; }
  void SetMousePointer(MousePointer pointer) override { pointers.push_back(pointer); }
  void ShowMessage(std::string_view title, std::string_view text) override;

  // Runs at the start of every pump and wait, as an operator's input would: a test presses a
  // button or closes the window in the middle of a run with it.
  std::function<void()> on_pump;

  int pumps = 0;
  int waits = 0;
  bool shown = false;
  bool closed = false;
  std::vector<MousePointer> pointers;
  std::vector<std::pair<std::string, std::string>> messages;  // title, text

 private:
  // Runs the tasks queued before the call; tasks they post wait for the next pump.
  void RunPending();

  FakeClock* virtual_time_;
  std::mutex mutex_;
  std::condition_variable posted_;
  std::deque<std::function<void()>> tasks_;
};

}  // namespace kw::testing
