#include "transfer/http_transfer_control.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/failure.h"
#include "support/failure_of.h"
#include "support/test_host.h"

// The machine of HttpTransferControl on a scripted backend, for what loopback servers cannot
// show: on which threads the backend is called, and the body ring under back-pressure and
// cancellation at any moment. The rest of its behaviour is the contract suite's.

namespace kw {
namespace {

using namespace std::chrono_literals;
using testing::FailureOf;
using testing::TestHost;
using Clock = std::chrono::steady_clock;

constexpr auto kPatience = 15s;

std::byte BodyByte(std::uint64_t offset) { return static_cast<std::byte>((offset * 7 + 3) % 253); }

// What the backend saw; outlives the backend, which the control owns.
struct BackendLog {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::thread::id> perform_threads;
  std::vector<std::thread::id> interrupt_threads;
  std::vector<std::thread::id> close_threads;
  std::thread::id destroyed_on;
  int performs_waiting = 0;  // in WaitUntilInterrupted, so far
  int performs_ended = 0;
  std::uint64_t bytes_kept = 0;  // by the latest Perform's Body calls that returned true
};

// A backend whose every Perform runs `perform`.
class ScriptedBackend final : public HttpBackend {
 public:
  using Script = std::function<void(HttpSink& sink, BackendLog& log)>;

  ScriptedBackend(std::shared_ptr<BackendLog> log, Script perform)
      : log_(std::move(log)), perform_(std::move(perform)) {}
  ~ScriptedBackend() override {
    std::lock_guard lock(log_->mutex);
    log_->destroyed_on = std::this_thread::get_id();
  }

  void Perform(const HttpRequest&, HttpSink& sink) override {
    {
      std::lock_guard lock(log_->mutex);
      log_->perform_threads.push_back(std::this_thread::get_id());
      log_->bytes_kept = 0;
    }
    perform_(sink, *log_);
    {
      std::lock_guard lock(log_->mutex);
      ++log_->performs_ended;
    }
    log_->changed.notify_all();
  }
  void Interrupt() override {
    {
      std::lock_guard lock(log_->mutex);
      log_->interrupt_threads.push_back(std::this_thread::get_id());
    }
    log_->changed.notify_all();
  }
  void CloseConnections() override {
    std::lock_guard lock(log_->mutex);
    log_->close_threads.push_back(std::this_thread::get_id());
  }

 private:
  std::shared_ptr<BackendLog> log_;
  Script perform_;
};

void GiveHead(HttpSink& sink, std::uint64_t length) {
  sink.Phase(kRequesting);
  sink.Head(
      {.status = 200, .reason = "OK", .fields = {{"Content-Length", std::to_string(length)}}});
}

// Delivers `length` body bytes in pieces of `piece`; stops when the sink says no.
void GiveBody(HttpSink& sink, BackendLog& log, std::uint64_t length, std::size_t piece) {
  std::vector<std::byte> buffer(piece);
  for (std::uint64_t offset = 0; offset < length;) {
    const std::size_t size =
        static_cast<std::size_t>(std::min<std::uint64_t>(piece, length - offset));
    for (std::size_t i = 0; i < size; ++i) buffer[i] = BodyByte(offset + i);
    if (!sink.Body(std::span(buffer.data(), size))) return;
    offset += size;
    std::lock_guard lock(log.mutex);
    log.bytes_kept = offset;
  }
}

// Waits as an interrupted stack would: until Interrupt comes for a cancelled request.
void WaitUntilInterrupted(HttpSink& sink, BackendLog& log) {
  std::unique_lock lock(log.mutex);
  ++log.performs_waiting;
  log.changed.notify_all();
  log.changed.wait(lock, [&] { return sink.Cancelled() && !log.interrupt_threads.empty(); });
}

class HttpTransferControlTest : public ::testing::Test {
 protected:
  void Make(ScriptedBackend::Script perform, HttpTransferControl::Timeouts timeouts = {}) {
    control_ = std::make_unique<HttpTransferControl>(
        host_, std::make_unique<ScriptedBackend>(log_, std::move(perform)), timeouts);
    control_->OnStateChanged([this](std::int16_t state) { states_.push_back(state); });
  }

  void Get() {
    control_->SetURL("http://h/file");
    control_->Execute("GET");
    const auto deadline = Clock::now() + kPatience;
    while (control_->StillExecuting() && Clock::now() < deadline) host_.WaitForEvents(20ms);
    ASSERT_FALSE(control_->StillExecuting());
  }

  // Reads `count` chunks of 1024 bytes, checking each byte; the offset after them.
  void ReadChunks(std::uint64_t& offset, int count) {
    for (int i = 0; i < count; ++i) {
      const std::vector<std::byte> chunk = control_->GetChunk(1024);
      ASSERT_EQ(chunk.size(), 1024u) << "at " << offset;
      for (std::size_t j = 0; j < chunk.size(); ++j) {
        if (chunk[j] != BodyByte(offset + j)) FAIL() << "wrong byte at " << offset + j;
      }
      offset += chunk.size();
    }
  }

  int PerformsEnded() {
    std::lock_guard lock(log_->mutex);
    return log_->performs_ended;
  }

  TestHost host_;
  std::shared_ptr<BackendLog> log_ = std::make_shared<BackendLog>();
  std::vector<std::int16_t> states_;
  std::unique_ptr<HttpTransferControl> control_;
};

TEST_F(HttpTransferControlTest, TheBackendIsCalledOnTheThreadsItsContractNames) {
  Make([](HttpSink& sink, BackendLog& log) {
    sink.Phase(kResolvingHost);
    WaitUntilInterrupted(sink, log);
  });
  const std::thread::id window = std::this_thread::get_id();
  const auto performs_waiting = [&](int count) {
    std::unique_lock lock(log_->mutex);
    return log_->changed.wait_for(lock, kPatience, [&] { return log_->performs_waiting == count; });
  };
  control_->SetURL("http://h/file");
  control_->Execute("GET");
  ASSERT_TRUE(performs_waiting(1));
  control_->Cancel();
  control_->Execute("Quit");
  host_.PumpEvents();
  // A notification queued before the end is never delivered: the control is gone.
  control_->Execute("GET");
  ASSERT_TRUE(performs_waiting(2));
  control_.reset();
  host_.PumpEvents();

  std::lock_guard lock(log_->mutex);
  ASSERT_FALSE(log_->perform_threads.empty());
  for (const std::thread::id& id : log_->perform_threads) EXPECT_NE(id, window);
  ASSERT_FALSE(log_->interrupt_threads.empty());
  for (const std::thread::id& id : log_->interrupt_threads) EXPECT_EQ(id, window);
  EXPECT_THAT(log_->close_threads, ::testing::ElementsAre(window));
  EXPECT_EQ(log_->destroyed_on, window);
  EXPECT_THAT(states_, ::testing::ElementsAre(kDisconnecting, kDisconnected));
}

TEST_F(HttpTransferControlTest, AFullRingHoldsTheBackendBackWithoutTheStallClockRunning) {
  // Pieces of more than half the ring, which a blocked Body can never take at once.
  constexpr std::uint64_t kLength = (3u << 20) + 123;
  Make(
      [](HttpSink& sink, BackendLog& log) {
        GiveHead(sink, kLength);
        GiveBody(sink, log, kLength, 700 * 1024);
      },
      {.connect = 60s, .stall = 1s});
  Get();
  std::uint64_t offset = 0;
  ReadChunks(offset, 1);
  // The window looks at the control meanwhile, which is when a timeout would be noticed.
  const auto until = Clock::now() + 2500ms;
  while (Clock::now() < until) {
    host_.WaitForEvents(50ms);
    ASSERT_FALSE(control_->StillExecuting());
  }
  {
    std::lock_guard lock(log_->mutex);
    EXPECT_LT(log_->bytes_kept, 2u << 20) << "the ring grew past its size";
  }
  ReadChunks(offset, static_cast<int>(kLength / 1024) - 1);
  EXPECT_EQ(control_->GetChunk(1024).size(), kLength % 1024);
  EXPECT_TRUE(control_->GetChunk(1024).empty());
}

TEST_F(HttpTransferControlTest, CancelAtAnyPointOfABodyReleasesTheBackendAndTheNextBodyIsWhole) {
  // An endless body, written as fast as the worker can: the reader and the writer meet at every
  // position of the ring, with the writer blocked or not when Cancel comes.
  Make([](HttpSink& sink, BackendLog& log) {
    GiveHead(sink, UINT64_MAX);
    GiveBody(sink, log, UINT64_MAX, 64 * 1024 + 7);
  });
  for (int round = 0; round < 60; ++round) {
    SCOPED_TRACE(round);
    Get();
    std::uint64_t offset = 0;
    ReadChunks(offset, (round * 97) % 1500);
    if (round % 3 == 0) std::this_thread::sleep_for(5ms);  // lets the ring fill up
    control_->Cancel();
    {
      const Failure failure = FailureOf([&] { control_->GetChunk(1024); });
      EXPECT_EQ(failure.number(), error::kTransferFailed);
    }
    std::unique_lock lock(log_->mutex);
    EXPECT_TRUE(log_->changed.wait_for(lock, kPatience, [&] {
      return log_->performs_ended == round + 1;
    })) << "the backend's Body did not let go";
  }
  EXPECT_EQ(PerformsEnded(), 60);
}

TEST_F(HttpTransferControlTest, DestructionDuringABlockedBodyIsPrompt) {
  Make([](HttpSink& sink, BackendLog& log) {
    GiveHead(sink, UINT64_MAX);
    GiveBody(sink, log, UINT64_MAX, 256 * 1024);
  });
  Get();
  std::uint64_t offset = 0;
  ReadChunks(offset, 1);
  std::this_thread::sleep_for(50ms);
  const auto start = Clock::now();
  control_.reset();
  EXPECT_LT(Clock::now() - start, 1s);
  EXPECT_EQ(PerformsEnded(), 1);
}

}  // namespace
}  // namespace kw
