#pragma once

#include <chrono>
#include <string>

namespace kw {

// The program's two clocks. Now() is monotonic: elapsed times and waits never jump with the
// calendar or at midnight. UtcNow() is the PC's calendar, which its operator may set wrong: for
// dates (a signed release's expiry, the run record), never for durations.
class Clock {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;
  using UtcTime = std::chrono::system_clock::time_point;
  virtual ~Clock() = default;
  virtual TimePoint Now() = 0;
  virtual UtcTime UtcNow() = 0;
};

class SystemClock final : public Clock {
 public:
  TimePoint Now() override { return std::chrono::steady_clock::now(); }
  UtcTime UtcNow() override { return std::chrono::system_clock::now(); }
};

// A calendar time as ISO 8601 in UTC, to the second: "2027-06-06T12:00:00Z".
std::string UtcText(Clock::UtcTime time);

}  // namespace kw
