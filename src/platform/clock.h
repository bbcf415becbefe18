#pragma once

#include <chrono>

namespace kw {

// A monotonic clock: elapsed times and waits never jump with the wall clock or at midnight.
class Clock {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;
  virtual ~Clock() = default;
  virtual TimePoint Now() = 0;
};

class SteadyClock final : public Clock {
 public:
  TimePoint Now() override { return std::chrono::steady_clock::now(); }
};

}  // namespace kw
