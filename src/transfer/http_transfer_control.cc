#include "transfer/http_transfer_control.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>
#include <optional>
#include <system_error>

#include "platform/ascii.h"
#include "platform/failure.h"
#include "transfer/http_rules.h"
#include "transfer/http_text.h"

namespace kw {

namespace {

using SteadyClock = std::chrono::steady_clock;

// The body ring is sized for loopback speed and bounded memory: at 1 MiB the window's 1 KB
// reads keep up with `curl -o` on a two-core machine (best of five runs), and a download's peak
// memory stays within a megabyte of a small file's. Twice the size gains little speed and costs
// another megabyte whatever the file. A power of two, so that a position's offset is a mask.
constexpr std::size_t kRingCapacity = std::size_t{1} << 20;
// A blocked writer goes on once this much is free: wake-ups stay rare, and a backend's read
// (curl's is 256 KiB) fits at once.
constexpr std::size_t kResumeRoom = kRingCapacity / 2;
std::int64_t Ticks() { return SteadyClock::now().time_since_epoch().count(); }

std::int64_t TicksOf(std::chrono::seconds duration) {
  return std::chrono::duration_cast<SteadyClock::duration>(duration).count();
}

Failure CancelledFailure(const std::string& url) {
  return Failure(error::kTransferFailed, "The request for " + url + " was cancelled");
}

}  // namespace

// One GET, shared by the window's thread (which reads it) and the worker (which fills it).
struct HttpTransferControl::Request {
  Request(std::uint64_t generation, HttpRequest http)
      : generation(generation), http(std::move(http)) {}

  const std::uint64_t generation;
  const HttpRequest http;

  // The body ring. Positions count bytes since the body's start; the worker advances `written`,
  // GetChunk advances `read`. Each side stores its waiting flag, then loads the other's position
  // (all seq_cst), and stores its position before it loads the other's flag: so a wait is always
  // noticed by the other side. What each thread writes often has a cache line of its own.
  const std::unique_ptr<std::byte[]> ring{new std::byte[kRingCapacity]};
  alignas(64) std::atomic<std::uint64_t> written{0};
  std::uint64_t writer_seen_read = 0;  // the worker's last look at `read`
  alignas(64) std::atomic<std::uint64_t> read{0};
  std::uint64_t reader_seen_written = 0;                // GetChunk's last look at `written`
  alignas(64) std::atomic<bool> reader_waiting{false};  // GetChunk waits for bytes or the end
  alignas(64) std::atomic<bool> writer_waiting{false};  // Body waits for room
  std::mutex room_mutex;                                // where Body waits
  std::condition_variable room_freed;

  std::atomic<bool> abandoned{false};  // what the sink reports as Cancelled()
  // The final head is in (or the request ended); set after the notifications up to it.
  std::atomic<bool> head_arrived{false};
  // The request is over, with `failure` set if it failed; set after every byte is written.
  std::atomic<bool> finished{false};

  // The timeout clocks, in SteadyClock ticks; the worker moves them, the window's thread looks.
  // Each clock is stored before the flag that makes it count.
  std::atomic<std::int64_t> connect_started{Ticks()};
  std::atomic<std::int64_t> last_activity{Ticks()};
  std::atomic<bool> connecting{true};

  // Guards the fields below. Notifications of the request are posted under it, so none comes
  // after the one that ends the request.
  mutable std::mutex mutex;
  HttpResponseHead head;
  std::optional<Failure> failure;

  // Window's thread only.
  bool cancelled = false;
};

// Where posted notifications go. The control is touched on the window's thread only; the struct
// outlives the control while tasks that refer to it are queued.
struct HttpTransferControl::Delivery {
  explicit Delivery(EventLoop& loop) : loop(loop) {}

  void Post(std::uint64_t generation, std::int16_t state) {
    loop.Post([self = this->self.lock(), generation, state] {
      if (self->control != nullptr && generation > self->discard_through) {
        self->control->StateChanged(state);
      }
    });
  }
  void PostKept(std::int16_t state) {
    loop.Post([self = this->self.lock(), state] {
      if (self->control != nullptr) self->control->StateChanged(state);
    });
  }
  // Wakes a wait of the window's thread.
  void Wake() {
    loop.Post([] {});
  }
  // Ends `request` with `failure` (raising kError) unless it has ended already.
  void Fail(Request& request, Failure failure) {
    {
      std::lock_guard lock(request.mutex);
      if (request.finished) return;
      request.failure = std::move(failure);
      Post(request.generation, kError);
      request.head_arrived = true;
      request.finished = true;
    }
    Wake();
  }

  EventLoop& loop;
  std::weak_ptr<Delivery> self;
  HttpTransferControl* control = nullptr;  // null once the control is gone
  std::uint64_t discard_through = 0;       // notifications of GETs up to this one are dropped
};

// What the backend reports to, for one Perform; lives on the worker's stack.
class HttpTransferControl::Sink final : public HttpSink {
 public:
  Sink(Delivery& delivery, Request& request) : delivery_(delivery), request_(request) {}

  void Phase(TransferState state) override {
    const std::int64_t now = Ticks();
    request_.last_activity = now;
    if (state == kResolvingHost || state == kConnecting) {
      // The lookup counts against the connect timeout, so only its start sets the clock.
      if (!request_.connecting) {
        request_.connect_started = now;
        request_.connecting = true;
      }
    } else if (state == kConnected || state == kRequesting) {
      request_.connecting = false;
    }
    std::lock_guard lock(request_.mutex);
    if (!request_.finished) delivery_.Post(request_.generation, state);
  }

  void Progress() override { request_.last_activity = Ticks(); }

  void Head(HttpResponseHead head) override {
    request_.last_activity = Ticks();
    if (const std::string* length = FindHeader(head.fields, "Content-Length")) {
      announced_ = ParseContentLength(*length);
    }
    head_given_ = true;
    {
      std::lock_guard lock(request_.mutex);
      if (request_.finished) return;
      request_.head = std::move(head);
      request_.head_arrived = true;
    }
    delivery_.Wake();
  }

  bool Body(std::span<const std::byte> bytes) override {
    Request& request = request_;
    if (request.abandoned) return false;
    request.last_activity = Ticks();
    std::uint64_t written = request.written.load(std::memory_order_relaxed);
    const bool too_long = announced_ && bytes.size() > *announced_ - written;
    if (too_long) bytes = bytes.first(static_cast<std::size_t>(*announced_ - written));
    while (!bytes.empty()) {
      const std::size_t needed = std::min(bytes.size(), kResumeRoom);
      if (kRingCapacity - (written - request.writer_seen_read) < needed) {
        // The load also acquires: GetChunk is done with the bytes it read, they may be reused.
        request.writer_seen_read = request.read;
        if (kRingCapacity - (written - request.writer_seen_read) < needed &&
            !WaitForRoom(written, needed)) {
          return false;
        }
      }
      const std::size_t take =
          std::min(bytes.size(),
                   static_cast<std::size_t>(kRingCapacity - (written - request.writer_seen_read)));
      const std::size_t offset = written & (kRingCapacity - 1);
      const std::size_t first = std::min(take, kRingCapacity - offset);
      std::memcpy(request.ring.get() + offset, bytes.data(), first);
      std::memcpy(request.ring.get(), bytes.data() + first, take - first);
      written += take;
      request.written = written;
      bytes = bytes.subspan(take);
      if (request.reader_waiting && request.reader_waiting.exchange(false)) delivery_.Wake();
    }
    if (too_long) {
      delivery_.Fail(request,
                     Failure(error::kIncompleteBody, "The body of " + request.http.url +
                                                         " went past its announced length of " +
                                                         std::to_string(*announced_) + " bytes"));
      request.abandoned = true;
      return false;
    }
    return true;
  }

  bool Cancelled() const override { return request_.abandoned; }

  // After Perform: ends the request, as `failure` says or as its body says.
  void End(std::optional<Failure> failure) {
    if (request_.abandoned) return;
    const std::uint64_t written = request_.written.load(std::memory_order_relaxed);
    if (!failure && !head_given_) {
      failure = Failure(error::kTransferFailed,
                        "The request for " + request_.http.url + " ended without a response");
    } else if (!failure && announced_ && written != *announced_) {
      failure =
          Failure(error::kIncompleteBody, "The body of " + request_.http.url + " ended after " +
                                              std::to_string(written) + " of its announced " +
                                              std::to_string(*announced_) + " bytes");
    }
    if (failure) return delivery_.Fail(request_, std::move(*failure));
    {
      std::lock_guard lock(request_.mutex);
      if (request_.finished) return;
      delivery_.Post(request_.generation, kResponseCompleted);
      request_.head_arrived = true;
      request_.finished = true;
    }
    delivery_.Wake();
  }

 private:
  // Blocks until the ring has room for `needed` bytes past `written`; false if the request is
  // abandoned first.
  bool WaitForRoom(std::uint64_t written, std::size_t needed) {
    Request& request = request_;
    std::unique_lock lock(request.room_mutex);
    for (;;) {
      request.writer_waiting = true;
      request.writer_seen_read = request.read;
      const bool room = kRingCapacity - (written - request.writer_seen_read) >= needed;
      if (room || request.abandoned) {
        // The reader held things up until now; that was no stall.
        request.last_activity = Ticks();
        request.writer_waiting = false;
        return !request.abandoned;
      }
      request.room_freed.wait(lock);
    }
  }

  Delivery& delivery_;
  Request& request_;
  bool head_given_ = false;
  std::optional<std::uint64_t> announced_;
};

HttpTransferControl::HttpTransferControl(EventLoop& loop, std::unique_ptr<HttpBackend> backend,
                                         Timeouts timeouts)
    : loop_(loop),
      timeouts_(timeouts),
      delivery_(std::make_shared<Delivery>(loop)),
      backend_(std::move(backend)) {
  delivery_->self = delivery_;
  delivery_->control = this;
  try {
    worker_ = std::thread([this] { RunWorker(); });
  } catch (const std::system_error& failure) {
    throw Failure(error::kInternal,
                  std::string("The transfer thread could not start: ") + failure.what());
  }
}

HttpTransferControl::~HttpTransferControl() {
  if (request_) Abandon(*request_);
  {
    std::lock_guard lock(worker_mutex_);
    stopping_ = true;
    next_.reset();
  }
  worker_changed_.notify_all();
  worker_.join();
  backend_.reset();
  delivery_->control = nullptr;
}

void HttpTransferControl::RunWorker() {
  for (;;) {
    std::shared_ptr<Request> request;
    {
      std::unique_lock lock(worker_mutex_);
      worker_changed_.wait(lock, [&] { return stopping_ || next_; });
      if (stopping_) return;
      request = std::move(next_);
      performing_ = true;
    }
    if (!request->abandoned) {
      Sink sink(*delivery_, *request);
      std::optional<Failure> failure;
      try {
        backend_->Perform(request->http, sink);
      } catch (const Failure& raised) {
        failure = raised;
      } catch (const std::bad_alloc&) {
        failure = HttpFailure(HttpFault::kOutOfMemory, request->http.url, "");
      } catch (const std::exception& raised) {
        failure = Failure(error::kInternal,
                          "The request for " + request->http.url + " failed: " + raised.what());
      }
      sink.End(std::move(failure));
    }
    {
      std::lock_guard lock(worker_mutex_);
      performing_ = false;
    }
    worker_changed_.notify_all();
  }
}

void HttpTransferControl::WaitUntilIdle() {
  std::unique_lock lock(worker_mutex_);
  worker_changed_.wait(lock, [&] { return !performing_ && !next_; });
}

void HttpTransferControl::Abandon(Request& request) {
  request.abandoned = true;
  {
    // Taken so that a Body between its look at `abandoned` and its wait cannot miss the wake.
    std::lock_guard lock(request.room_mutex);
  }
  request.room_freed.notify_all();
  backend_->Interrupt();
}

bool HttpTransferControl::CheckTimeouts() {
  Request* request = request_.get();
  if (request == nullptr || request->cancelled || request->finished) return false;
  const std::int64_t now = Ticks();
  std::optional<Failure> failure;
  if (request->connecting) {
    if (now - request->connect_started >= TicksOf(timeouts_.connect)) {
      failure = Failure(error::kRequestTimedOut,
                        "Request timed out: no connection to " + request->http.url + " within " +
                            std::to_string(timeouts_.connect.count()) + " seconds");
    }
  } else if (!request->writer_waiting && now - request->last_activity >= TicksOf(timeouts_.stall)) {
    failure = Failure(error::kRequestTimedOut,
                      "Request timed out: no data from " + request->http.url + " for " +
                          std::to_string(timeouts_.stall.count()) + " seconds");
  }
  if (!failure) return false;
  delivery_->Fail(*request, std::move(*failure));
  Abandon(*request);
  return true;
}

bool HttpTransferControl::Executing() const {
  return request_ && !request_->cancelled && !request_->head_arrived;
}

bool HttpTransferControl::StillExecuting() {
  // A timeout found now answers true once more, so that the caller pumps again and receives its
  // kError before the wait ends, as it does for a failure the worker found.
  return CheckTimeouts() || Executing();
}

void HttpTransferControl::Execute(std::string_view operation, std::string_view request_headers) {
  const bool quit = EqualsIgnoringAsciiCase(operation, "Quit");
  if (!quit && !EqualsIgnoringAsciiCase(operation, "GET")) {
    throw Failure(error::kInternal,
                  "The transfer control cannot execute \"" + std::string(operation) + "\"");
  }
  CheckTimeouts();
  if (Executing()) throw Failure(error::kStillExecuting, "Still executing last request");
  if (quit) return Quit();
  if (request_ && !request_->finished) Abandon(*request_);
  request_ = std::make_shared<Request>(
      ++last_generation_, HttpRequest{.url = url_,
                                      .wire_url = WireAddress(url_),
                                      .header_fields = ValidHeaderLines(request_headers),
                                      .user_name = user_name_,
                                      .password = password_});
  {
    std::lock_guard lock(worker_mutex_);
    next_ = request_;
  }
  worker_changed_.notify_all();
}

void HttpTransferControl::Quit() {
  if (request_ && !request_->finished) {
    request_->cancelled = true;
    Abandon(*request_);
  }
  delivery_->PostKept(kDisconnecting);
  WaitUntilIdle();
  backend_->CloseConnections();
  delivery_->PostKept(kDisconnected);
}

void HttpTransferControl::Cancel() {
  delivery_->discard_through = last_generation_;
  if (!request_ || request_->cancelled) return;
  request_->cancelled = true;
  if (!request_->finished) Abandon(*request_);
  // A GetChunk or GetHeader waiting inside a pump must notice now, not after its slice.
  if (waits_in_progress_ > 0) delivery_->Wake();
}

std::shared_ptr<HttpTransferControl::Request> HttpTransferControl::Readable() {
  if (request_ && request_->cancelled) {
    std::lock_guard lock(request_->mutex);
    throw request_->failure.value_or(CancelledFailure(request_->http.url));
  }
  return request_;
}

template <typename Done>
void HttpTransferControl::WaitFor(const std::shared_ptr<Request>& request, Done done) {
  struct Counted {
    int& count;
    explicit Counted(int& c) : count(c) { ++count; }
    ~Counted() { --count; }
  } counted(waits_in_progress_);
  for (;;) {
    // A pump may run a handler that cancels the request or starts another.
    if (request != request_ || request->cancelled) throw CancelledFailure(request->http.url);
    if (done()) return;
    // A timeout found now ends the wait after one more pump, which delivers its kError as the
    // worker's failures are delivered: before the caller hears of it.
    const bool timed_out = CheckTimeouts();
    // Either the worker, after its next write, sees the flag and posts a wake-up, or the
    // re-check sees what it wrote.
    request->reader_waiting = true;
    if (!timed_out && done()) return;
    // The slice also bounds how late a timeout may be noticed.
    loop_.WaitForEvents(kWaitSlice);
  }
}

std::string HttpTransferControl::GetHeader(std::string_view name) {
  const std::shared_ptr<Request> request = Readable();
  if (!request) return {};
  WaitFor(request, [&] { return request->head_arrived.load(); });
  std::lock_guard lock(request->mutex);
  if (request->failure) throw *request->failure;
  const std::string* value = FindHeader(request->head.fields, name);
  return value != nullptr ? *value : std::string();
}

void HttpTransferControl::ResumeWriter(Request& request, std::uint64_t read) {
  if (request.writer_waiting && request.written - read <= kRingCapacity - kResumeRoom) {
    std::lock_guard lock(request.room_mutex);
    // Set before the flag falls, so that the stall clock never sees the reader's delay.
    request.last_activity = Ticks();
    request.writer_waiting = false;
    request.room_freed.notify_one();
  }
}

std::vector<std::byte> HttpTransferControl::GetChunk(std::int16_t size) {
  if (!request_ || size <= 0) {
    Readable();
    return {};
  }
  Request* request = request_.get();
  if (request->cancelled) Readable();
  const auto wanted = static_cast<std::uint64_t>(size);
  const std::uint64_t read = request->read.load(std::memory_order_relaxed);
  std::uint64_t available = request->reader_seen_written - read;
  if (available < wanted) {
    request->reader_seen_written = request->written;
    available = request->reader_seen_written - read;
  }
  if (available < wanted) {
    const std::shared_ptr<Request> held = request_;
    WaitFor(held, [&] {
      ResumeWriter(*held, read);
      // `finished` is set after the last write, so once it is seen `written` is final.
      const bool finished = held->finished;
      held->reader_seen_written = held->written;
      available = held->reader_seen_written - read;
      return finished || available >= wanted;
    });
    if (available < wanted) {
      std::lock_guard lock(request->mutex);
      if (request->failure) throw *request->failure;
    }
  }
  const std::size_t take = static_cast<std::size_t>(std::min(available, wanted));
  std::vector<std::byte> chunk;
  chunk.reserve(take);
  const std::size_t offset = read & (kRingCapacity - 1);
  const std::size_t first = std::min(take, kRingCapacity - offset);
  chunk.insert(chunk.end(), request->ring.get() + offset, request->ring.get() + offset + first);
  chunk.insert(chunk.end(), request->ring.get(), request->ring.get() + (take - first));
  // The worker may overwrite these bytes once it sees the new position.
  request->read = read + take;
  ResumeWriter(*request, read + take);
  return chunk;
}

std::int32_t HttpTransferControl::ResponseCode() {
  if (!request_) return 0;
  std::lock_guard lock(request_->mutex);
  return request_->failure ? request_->failure->number() : request_->head.status;
}

std::string HttpTransferControl::ResponseInfo() {
  if (!request_) return {};
  std::lock_guard lock(request_->mutex);
  return request_->failure ? request_->failure->description() : request_->head.reason;
}

}  // namespace kw
