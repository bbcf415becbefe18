#include "support/test_host.h"

namespace kw::testing {

Clock::TimePoint FakeClock::Now() {
  std::lock_guard lock(mutex_);
  return now_;
}

Clock::UtcTime FakeClock::UtcNow() {
  std::lock_guard lock(mutex_);
  return utc_;
}

void FakeClock::Advance(std::chrono::nanoseconds by) {
  std::lock_guard lock(mutex_);
  now_ += by;
  utc_ += std::chrono::duration_cast<UtcTime::duration>(by);
}

void FakeClock::SetUtc(UtcTime utc) {
  std::lock_guard lock(mutex_);
  utc_ = utc;
}

void TestHost::PumpEvents() {
  ++pumps;
  if (on_pump) on_pump();
  RunPending();
}

void TestHost::WaitForEvents(std::chrono::milliseconds timeout) {
  ++waits;
  if (on_pump) on_pump();
  {
    std::unique_lock lock(mutex_);
    if (tasks_.empty()) {
      if (virtual_time_) {
        virtual_time_->Advance(timeout);
      } else {
        posted_.wait_for(lock, timeout, [this] { return !tasks_.empty(); });
      }
    }
  }
  RunPending();
}

void TestHost::Post(std::function<void()> task) {
  {
    std::lock_guard lock(mutex_);
    tasks_.push_back(std::move(task));
  }
  posted_.notify_all();
}

void TestHost::ShowMessage(std::string_view title, std::string_view text) {
  messages.emplace_back(title, text);
}

void TestHost::RunPending() {
  std::deque<std::function<void()>> batch;
  {
    std::lock_guard lock(mutex_);
    batch.swap(tasks_);
  }
  for (auto& task : batch) task();
}

}  // namespace kw::testing
