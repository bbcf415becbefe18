#include "platform/posix/curl_transfer_control.h"

#include <curl/curl.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/failure.h"

namespace kw {

namespace {

using SteadyClock = std::chrono::steady_clock;

// The ring and curl's socket reads are sized for loopback speed and bounded memory: at these
// sizes the window's 1 KB reads keep up with `curl -o` on a two-core machine (best of five
// runs), and a download's peak memory stays within a megabyte of a small file's. Twice the
// sizes gain little speed and cost another megabyte whatever the file. The ring's size is a
// power of two.
constexpr std::size_t kRingCapacity = std::size_t{1} << 20;
constexpr long kReceiveBufferSize = 256 * 1024;
static_assert(kReceiveBufferSize < static_cast<long>(kRingCapacity / 2),
              "a resumed transfer must find room for what curl held back");
constexpr long kMaxRedirects = 5;
// Waits end on a posted task; the slice only bounds the cost of a wake-up that never came.
constexpr std::chrono::milliseconds kWaitSlice{100};
// With no transfer running, the worker sleeps until it is woken; curl_multi_poll wants a bound.
constexpr int kIdlePollMs = 10'000;

struct EasyCleanup {
  void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct MultiCleanup {
  void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};
struct SlistCleanup {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using EasyHandle = std::unique_ptr<CURL, EasyCleanup>;
using MultiHandle = std::unique_ptr<CURLM, MultiCleanup>;
using HeaderList = std::unique_ptr<curl_slist, SlistCleanup>;

void InitializeCurl() {
  // curl_global_init is not safe to race with another thread's first use of curl; a function
  // static runs it exactly once.
  static const CURLcode result = curl_global_init(CURL_GLOBAL_DEFAULT);
  if (result != CURLE_OK) {
    throw Failure(error::kInternal,
                  std::string("The HTTP library could not start: ") + curl_easy_strerror(result));
  }
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    return lower(x) == lower(y);
  });
}

// RFC 9110 tchar.
bool IsTokenChar(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
         (c != '\0' && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr);
}

std::string_view Trim(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

Failure CancelledFailure(const std::string& url) {
  return Failure(error::kTransferFailed, "The request for " + url + " was cancelled");
}

Failure FailureFor(CURLcode code, const char* detail, const std::string& url) {
  const std::string what = detail[0] != '\0' ? detail : curl_easy_strerror(code);
  switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_CONNECT:
    case CURLE_URL_MALFORMAT:
    case CURLE_UNSUPPORTED_PROTOCOL:
      return Failure(error::kCannotConnect,
                     "Cannot connect to remote host for " + url + " (" + what + ")");
    case CURLE_OPERATION_TIMEDOUT:
      return Failure(error::kRequestTimedOut, "Request timed out: " + what + " (" + url + ")");
    case CURLE_PARTIAL_FILE:
      return Failure(error::kIncompleteBody, "The body of " + url + " broke off: " + what);
    case CURLE_OUT_OF_MEMORY:
      return Failure(error::kOutOfMemory, "Out of memory while requesting " + url);
    default:
      return Failure(error::kTransferFailed, "The request for " + url + " failed: " + what);
  }
}

}  // namespace

// One GET, shared by the window thread (which reads it) and the worker (which fills it).
struct CurlTransferControl::Request {
  Request(std::uint64_t generation, std::string url, std::vector<std::string> header_lines,
          std::string user_name, std::string password)
      : generation(generation),
        url(std::move(url)),
        wire_url(WireAddress(this->url)),
        header_lines(std::move(header_lines)),
        user_name(std::move(user_name)),
        password(std::move(password)) {}

  const std::uint64_t generation;
  const std::string url;  // as the caller gave it, for descriptions
  const std::string wire_url;
  const std::vector<std::string> header_lines;
  const std::string user_name;
  const std::string password;

  // The body ring. Positions count bytes since the body's start; the worker advances
  // `written`, GetChunk advances `read`. Each side stores its flag, then loads the other's
  // position (all seq_cst), and stores its position before it loads the other's flag: so a
  // pause or a wait is always noticed by the other side. What each thread writes often has a
  // cache line of its own.
  const std::unique_ptr<std::byte[]> ring{new std::byte[kRingCapacity]};
  alignas(64) std::atomic<std::uint64_t> written{0};
  alignas(64) std::atomic<std::uint64_t> read{0};
  std::uint64_t reader_seen_written = 0;                // GetChunk's last look at `written`
  alignas(64) std::atomic<bool> writer_paused{false};   // the worker paused curl for want of room
  std::atomic<bool> resume_wanted{false};               // GetChunk made room: resume
  alignas(64) std::atomic<bool> reader_waiting{false};  // GetChunk waits for bytes or the end

  // The final response head is in (or the request ended); set after its notifications.
  alignas(64) std::atomic<bool> head_arrived{false};
  // The transfer is over, with `failure` set if it failed; set after every byte is written.
  std::atomic<bool> finished{false};

  mutable std::mutex mutex;  // guards the fields below, which the worker writes
  std::int32_t status = 0;
  std::string reason;
  std::vector<std::pair<std::string, std::string>> headers;  // of the latest response head
  std::optional<Failure> failure;

  // Window thread only.
  bool cancelled = false;
};

// Where posted notifications go; touched on the window thread only. Outlives the control while
// tasks that refer to it are queued.
struct CurlTransferControl::Delivery {
  CurlTransferControl* control = nullptr;  // null once the control is gone
  std::uint64_t discard_through = 0;       // notifications of GETs up to this one are dropped

  void Deliver(std::uint64_t generation, std::int16_t state) {
    if (control == nullptr || generation <= discard_through) return;
    control->StateChanged(state);
  }
  void DeliverKept(std::int16_t state) {
    if (control != nullptr) control->StateChanged(state);
  }
};

// The thread that drives curl. Members below "Worker thread only" are never touched elsewhere;
// the window thread talks to it through orders and the request's atomics.
class CurlTransferControl::Worker {
 public:
  Worker(EventLoop& loop, Timeouts timeouts, std::shared_ptr<Delivery> delivery)
      : loop_(loop), timeouts_(timeouts), delivery_(std::move(delivery)) {
    InitializeCurl();
    easy_.reset(curl_easy_init());
    multi_.reset(curl_multi_init());
    if (!easy_ || !multi_) {
      throw Failure(error::kInternal, "The HTTP library could not start (out of memory)");
    }
    try {
      thread_ = std::thread([this] { Run(); });
    } catch (const std::system_error& failure) {
      throw Failure(error::kInternal,
                    std::string("The transfer thread could not start: ") + failure.what());
    }
  }

  ~Worker() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
      curl_multi_wakeup(multi_.get());
    }
    thread_.join();
  }

  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  void Start(std::shared_ptr<Request> request) { Order(Command::kStart, std::move(request)); }
  void Abort(std::shared_ptr<Request> request) { Order(Command::kAbort, std::move(request)); }

  // Abandons the running transfer and closes every connection; returns once they are closed.
  void CloseConnections() {
    std::unique_lock lock(mutex_);
    const std::uint64_t ticket = ++closes_ordered_;
    orders_.push_back({Command::kClose, nullptr});
    curl_multi_wakeup(multi_.get());
    closed_.wait(lock, [&] { return closes_done_ >= ticket; });
  }

  // Wakes the worker to look at the active request's resume_wanted.
  void Wake() {
    std::lock_guard lock(mutex_);
    curl_multi_wakeup(multi_.get());
  }

 private:
  enum class Command { kStart, kAbort, kClose };
  struct Ordered {
    Command command;
    std::shared_ptr<Request> request;
  };

  void Order(Command command, std::shared_ptr<Request> request) {
    std::lock_guard lock(mutex_);
    orders_.push_back({command, std::move(request)});
    curl_multi_wakeup(multi_.get());
  }

  void Run() {
    while (TakeOrders()) {
      if (active_) Drive();
      curl_multi_poll(multi_.get(), nullptr, 0, PollTimeoutMs(), nullptr);
    }
    Detach();
  }

  // Carries out the orders given since the last pass; false once the control is going away.
  bool TakeOrders() {
    std::deque<Ordered> orders;
    bool stopping = false;
    {
      std::lock_guard lock(mutex_);
      orders.swap(orders_);
      stopping = stopping_;
    }
    for (Ordered& order : orders) {
      switch (order.command) {
        case Command::kStart:
          Begin(std::move(order.request));
          break;
        case Command::kAbort:
          if (active_ == order.request) Detach();
          break;
        case Command::kClose: {
          Detach();
          // The connection cache belongs to the multi handle; a new one is the only way curl
          // offers to close the connections it keeps.
          MultiHandle old(curl_multi_init());
          if (old) {
            std::lock_guard lock(mutex_);
            multi_.swap(old);
          }
          old.reset();
          std::lock_guard lock(mutex_);
          ++closes_done_;
          closed_.notify_all();
          break;
        }
      }
    }
    return !stopping;
  }

  void Begin(std::shared_ptr<Request> request) {
    Detach();
    active_ = std::move(request);
    round_ = {};
    in_head_ = false;
    body_started_ = false;
    announced_.reset();
    overlong_ = false;
    seen_read_ = 0;
    written_at_last_pass_ = 0;
    paused_ = false;
    stall_armed_ = false;
    error_[0] = '\0';

    CURL* easy = easy_.get();
    // A reset forgets the previous request's options and its authentication state, so that
    // credentials are sent again only after a new challenge. The connection stays cached.
    curl_easy_reset(easy);
    header_list_.reset();
    for (const std::string& line : active_->header_lines) {
      curl_slist* list = curl_slist_append(header_list_.get(), line.c_str());
      if (list == nullptr) return Fail(Failure(error::kOutOfMemory, "Out of memory"));
      header_list_.release();
      header_list_.reset(list);
    }
    const auto connect_ms = std::chrono::milliseconds(timeouts_.connect).count();
    bool ok =
        curl_easy_setopt(easy, CURLOPT_URL, active_->wire_url.c_str()) == CURLE_OK &&
        curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L) == CURLE_OK &&
        curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
        // A transfer abandoned during a name lookup (timed out, cancelled, the control going
        // away) leaves the lookup's thread to finish on its own instead of waiting for it.
        curl_easy_setopt(easy, CURLOPT_QUICK_EXIT, 1L) == CURLE_OK &&
        curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, error_) == CURLE_OK &&
        curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK &&
        curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https") == CURLE_OK &&
        curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L) == CURLE_OK &&
        curl_easy_setopt(easy, CURLOPT_MAXREDIRS, kMaxRedirects) == CURLE_OK &&
        curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(connect_ms)) ==
            CURLE_OK &&
        // Without the cache every new connection starts with a lookup, which is the
        // phase the window shows first.
        curl_easy_setopt(easy, CURLOPT_DNS_CACHE_TIMEOUT, 0L) == CURLE_OK &&
        curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, kReceiveBufferSize) == CURLE_OK &&
        curl_easy_setopt(easy, CURLOPT_HTTPHEADER, header_list_.get()) == CURLE_OK &&
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Worker::OnBody) == CURLE_OK &&
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, this) == CURLE_OK &&
        curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Worker::OnHeader) == CURLE_OK &&
        curl_easy_setopt(easy, CURLOPT_HEADERDATA, this) == CURLE_OK &&
        curl_easy_setopt(easy, CURLOPT_RESOLVER_START_FUNCTION, &Worker::OnResolverStart) ==
            CURLE_OK &&
        curl_easy_setopt(easy, CURLOPT_RESOLVER_START_DATA, this) == CURLE_OK &&
        curl_easy_setopt(easy, CURLOPT_OPENSOCKETFUNCTION, &Worker::OnOpenSocket) == CURLE_OK &&
        curl_easy_setopt(easy, CURLOPT_OPENSOCKETDATA, this) == CURLE_OK &&
        curl_easy_setopt(easy, CURLOPT_PREREQFUNCTION, &Worker::OnPrerequest) == CURLE_OK &&
        curl_easy_setopt(easy, CURLOPT_PREREQDATA, this) == CURLE_OK &&
        // The debug stream is the only place curl tells that the request went out.
        curl_easy_setopt(easy, CURLOPT_DEBUGFUNCTION, &Worker::OnDebug) == CURLE_OK &&
        curl_easy_setopt(easy, CURLOPT_DEBUGDATA, this) == CURLE_OK &&
        curl_easy_setopt(easy, CURLOPT_VERBOSE, 1L) == CURLE_OK;
    if (ok && !active_->user_name.empty()) {
      // More than one method makes curl send a first request without credentials and choose
      // from the server's challenge; with Basic alone it would send them unasked.
      ok = curl_easy_setopt(easy, CURLOPT_USERNAME, active_->user_name.c_str()) == CURLE_OK &&
           curl_easy_setopt(easy, CURLOPT_PASSWORD, active_->password.c_str()) == CURLE_OK &&
           curl_easy_setopt(easy, CURLOPT_HTTPAUTH, CURLAUTH_ANY) == CURLE_OK;
    }
    if (!ok) {
      return Fail(Failure(error::kInternal, "The HTTP library refused the request for " +
                                                active_->url + " (out of memory?)"));
    }
    if (curl_multi_add_handle(multi_.get(), easy) != CURLM_OK) {
      return Fail(
          Failure(error::kInternal, "The HTTP library refused the request for " + active_->url));
    }
    in_multi_ = true;
  }

  // Takes the transfer off curl: a running one ends and its connection is closed.
  void Detach() {
    if (in_multi_) curl_multi_remove_handle(multi_.get(), easy_.get());
    in_multi_ = false;
    active_.reset();
  }

  void Drive() {
    Request& request = *active_;
    if (paused_ && request.resume_wanted.exchange(false)) {
      paused_ = false;
      last_activity_ = SteadyClock::now();
      // Delivers what curl held back, which may pause the transfer again at once.
      curl_easy_pause(easy_.get(), CURLPAUSE_CONT);
    }
    int running = 0;
    curl_multi_perform(multi_.get(), &running);
    // One wake-up per pass (curl has taken what the socket had), not per write: a reader
    // faster than the network would otherwise be woken for every 16 KB.
    if (request.written.load(std::memory_order_relaxed) != written_at_last_pass_) {
      written_at_last_pass_ = request.written.load(std::memory_order_relaxed);
      if (request.reader_waiting && request.reader_waiting.exchange(false)) {
        loop_.Post([] {});
      }
    }
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi_.get(), &left)) {
      if (message->msg == CURLMSG_DONE && active_ && message->easy_handle == easy_.get()) {
        Finish(message->data.result);
      }
    }
    if (active_ && stall_armed_ && !paused_ &&
        SteadyClock::now() - last_activity_ >= timeouts_.stall) {
      Fail(Failure(error::kRequestTimedOut, "Request timed out: no data from " + active_->url +
                                                " for " + std::to_string(timeouts_.stall.count()) +
                                                " seconds"));
    }
  }

  int PollTimeoutMs() const {
    if (!active_ || !stall_armed_ || paused_) return kIdlePollMs;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(
        last_activity_ + timeouts_.stall - SteadyClock::now());
    return static_cast<int>(std::clamp<std::int64_t>(left.count(), 0, kIdlePollMs));
  }

  void Finish(CURLcode result) {
    const std::uint64_t written = active_->written;
    if (announced_ && (overlong_ || written != *announced_)) {
      return Fail(Failure(error::kIncompleteBody, "The body of " + active_->url +
                                                      " did not keep its announced length of " +
                                                      std::to_string(*announced_) + " bytes"));
    }
    if (result != CURLE_OK) return Fail(FailureFor(result, error_, active_->url));
    curl_multi_remove_handle(multi_.get(), easy_.get());
    in_multi_ = false;
    Post(kResponseCompleted);
    Request& request = *active_;
    request.head_arrived = true;
    request.finished = true;
    loop_.Post([] {});
    active_.reset();
  }

  void Fail(Failure failure) {
    Request& request = *active_;
    {
      std::lock_guard lock(request.mutex);
      request.failure = std::move(failure);
    }
    Post(kError);
    request.head_arrived = true;
    request.finished = true;
    loop_.Post([] {});
    Detach();
  }

  void HeadArrived() {
    {
      std::lock_guard lock(active_->mutex);
      for (const auto& [name, value] : active_->headers) {
        if (EqualsIgnoringCase(name, "Content-Length")) {
          announced_ = std::strtoull(value.c_str(), nullptr, 10);
          break;
        }
      }
    }
    active_->head_arrived = true;
    loop_.Post([] {});
  }

  void Post(std::int16_t state) {
    loop_.Post([delivery = delivery_, generation = active_->generation, state] {
      delivery->Deliver(generation, state);
    });
  }

  void Touch() { last_activity_ = SteadyClock::now(); }

  static size_t OnBody(char* data, size_t size, size_t count, void* user) {
    auto& self = *static_cast<Worker*>(user);
    const std::size_t length = size * count;
    Request& request = *self.active_;
    if (!self.body_started_) {
      // A followed redirect's or a retried challenge's body never comes here, so the first
      // body byte means this response is the final one.
      self.body_started_ = true;
      if (!request.head_arrived) self.HeadArrived();
    }
    self.Touch();
    const std::uint64_t written = request.written.load(std::memory_order_relaxed);
    if (self.announced_ && written + length > *self.announced_) {
      // Keeps the announced part and ends the transfer; Finish reports it.
      self.overlong_ = true;
      OnBody(data, 1, *self.announced_ - written, user);
      return 0;
    }
    if (length > kRingCapacity - (written - self.seen_read_)) {
      // The load also acquires: GetChunk is done with the bytes it read, they may be reused.
      self.seen_read_ = request.read;
      if (length > kRingCapacity - (written - self.seen_read_)) {
        request.writer_paused = true;
        self.seen_read_ = request.read;
        if (length > kRingCapacity - (written - self.seen_read_)) {
          self.paused_ = true;
          return CURL_WRITEFUNC_PAUSE;
        }
        // GetChunk made room meanwhile. If it also saw the flag and asked for a resume, the
        // resume finds nothing to do.
        request.writer_paused = false;
      }
    }
    const std::size_t offset = written & (kRingCapacity - 1);
    const std::size_t first = std::min(length, kRingCapacity - offset);
    std::memcpy(request.ring.get() + offset, data, first);
    std::memcpy(request.ring.get(), data + first, length - first);
    request.written = written + length;
    return length;
  }

  static size_t OnHeader(char* data, size_t size, size_t count, void* user) {
    auto& self = *static_cast<Worker*>(user);
    const std::size_t length = size * count;
    self.HeaderLine(std::string_view(data, length));
    return length;
  }

  void HeaderLine(std::string_view raw) {
    Touch();
    Request& request = *active_;
    std::string_view line = raw;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
    if (line.starts_with("HTTP/")) {
      in_head_ = true;
      location_seen_ = false;
      Post(kReceivingResponse);
      // "HTTP/1.1 404 Not Found"; HTTP/2 has no reason phrase.
      const auto code_start = line.find(' ');
      const std::string_view rest =
          code_start == std::string_view::npos ? std::string_view() : line.substr(code_start + 1);
      std::int32_t code = 0;
      std::size_t digits = 0;
      while (digits < rest.size() && digits < 3 && rest[digits] >= '0' && rest[digits] <= '9') {
        code = code * 10 + (rest[digits++] - '0');
      }
      std::lock_guard lock(request.mutex);
      request.status = code;
      request.reason = std::string(Trim(rest.substr(digits)));
      request.headers.clear();
      return;
    }
    // Trailers of a chunked body and stray lines are not part of any head.
    if (!in_head_) return;
    if (line.empty()) {
      in_head_ = false;
      std::int32_t status = 0;
      {
        std::lock_guard lock(request.mutex);
        status = request.status;
      }
      // "100 Continue" and its kind: the real head follows.
      if (status >= 100 && status < 200) return;
      Post(kResponseReceived);
      // curl goes on to another round after a redirect it follows or a challenge it answers;
      // then the head just read is not the final one. When it does not, the body (or the end
      // of the transfer) tells.
      const bool another_round_possible = (status >= 300 && status < 400 && location_seen_) ||
                                          (status == 401 && !request.user_name.empty());
      if (!another_round_possible) HeadArrived();
      return;
    }
    const auto colon = line.find(':');
    if (colon == std::string_view::npos) return;
    const std::string_view name = line.substr(0, colon);
    if (EqualsIgnoringCase(name, "Location")) location_seen_ = true;
    std::lock_guard lock(request.mutex);
    request.headers.emplace_back(std::string(name), std::string(Trim(line.substr(colon + 1))));
  }

  static int OnResolverStart(void*, void*, void* user) {
    auto& self = *static_cast<Worker*>(user);
    self.Post(kResolvingHost);
    return 0;
  }

  static curl_socket_t OnOpenSocket(void* user, curlsocktype, curl_sockaddr* address) {
    auto& self = *static_cast<Worker*>(user);
    // With several addresses for a name curl may open more than one socket; the phases are
    // the connection's, not the sockets'.
    if (!self.round_.connecting) {
      self.Post(kHostResolved);
      self.Post(kConnecting);
      self.round_.connecting = true;
      self.stall_armed_ = false;
    }
    return ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
  }

  static int OnPrerequest(void* user, char*, char*, int, int) {
    auto& self = *static_cast<Worker*>(user);
    if (self.round_.connecting) self.Post(kConnected);
    self.Post(kRequesting);
    self.round_ = {};
    self.stall_armed_ = true;
    self.Touch();
    return CURL_PREREQFUNC_OK;
  }

  static int OnDebug(CURL*, curl_infotype type, char*, size_t, void* user) {
    auto& self = *static_cast<Worker*>(user);
    switch (type) {
      case CURLINFO_HEADER_OUT:
        if (!self.round_.sent) {
          self.Post(kRequestSent);
          self.round_.sent = true;
        }
        self.Touch();
        break;
      case CURLINFO_HEADER_IN:
      case CURLINFO_DATA_IN:
        self.Touch();
        break;
      default:
        break;
    }
    return 0;
  }

  EventLoop& loop_;
  const Timeouts timeouts_;
  const std::shared_ptr<Delivery> delivery_;

  std::mutex mutex_;
  std::condition_variable closed_;
  std::deque<Ordered> orders_;
  bool stopping_ = false;
  std::uint64_t closes_ordered_ = 0;
  std::uint64_t closes_done_ = 0;
  MultiHandle multi_;  // replaced only under mutex_, which Wake holds to use it

  // Worker thread only (set up before the thread starts).
  EasyHandle easy_;
  HeaderList header_list_;
  std::shared_ptr<Request> active_;
  bool in_multi_ = false;
  struct Round {
    bool connecting = false;
    bool sent = false;
  } round_;
  bool in_head_ = false;
  bool location_seen_ = false;
  bool body_started_ = false;
  std::optional<std::uint64_t> announced_;
  bool overlong_ = false;
  std::uint64_t seen_read_ = 0;             // the last look at the request's `read`
  std::uint64_t written_at_last_pass_ = 0;  // `written` when the reader was last woken
  bool paused_ = false;
  bool stall_armed_ = false;  // connected: from now on, silence counts against `stall`
  SteadyClock::time_point last_activity_;
  char error_[CURL_ERROR_SIZE] = {};

  std::thread thread_;
};

CurlTransferControl::CurlTransferControl(EventLoop& loop, Timeouts timeouts)
    : loop_(loop), timeouts_(timeouts), delivery_(std::make_shared<Delivery>()) {
  delivery_->control = this;
  worker_ = std::make_unique<Worker>(loop_, timeouts_, delivery_);
}

CurlTransferControl::~CurlTransferControl() {
  worker_.reset();
  delivery_->control = nullptr;
}

bool CurlTransferControl::StillExecuting() {
  return request_ && !request_->cancelled && !request_->head_arrived;
}

void CurlTransferControl::Execute(std::string_view operation, std::string_view request_headers) {
  const bool quit = EqualsIgnoringCase(operation, "Quit");
  if (!quit && !EqualsIgnoringCase(operation, "GET")) {
    throw Failure(error::kInternal,
                  "The transfer control cannot execute \"" + std::string(operation) + "\"");
  }
  if (StillExecuting()) throw Failure(error::kStillExecuting, "Still executing last request");
  if (quit) return Quit();
  request_ = std::make_shared<Request>(++last_generation_, url_, ValidHeaderLines(request_headers),
                                       user_name_, password_);
  worker_->Start(request_);
}

void CurlTransferControl::Quit() {
  if (request_ && !request_->finished) request_->cancelled = true;
  loop_.Post([delivery = delivery_] { delivery->DeliverKept(kDisconnecting); });
  worker_->CloseConnections();
  loop_.Post([delivery = delivery_] { delivery->DeliverKept(kDisconnected); });
}

void CurlTransferControl::Cancel() {
  delivery_->discard_through = last_generation_;
  if (!request_ || request_->cancelled) return;
  request_->cancelled = true;
  if (!request_->finished) worker_->Abort(request_);
  // A GetChunk or GetHeader waiting inside a pump must notice now, not after its slice.
  if (waits_in_progress_ > 0) loop_.Post([] {});
}

std::shared_ptr<CurlTransferControl::Request> CurlTransferControl::Readable() {
  if (request_ && request_->cancelled) {
    std::lock_guard lock(request_->mutex);
    throw request_->failure.value_or(CancelledFailure(request_->url));
  }
  return request_;
}

template <typename Done>
void CurlTransferControl::WaitFor(const std::shared_ptr<Request>& request, Done done) {
  struct Counted {
    int& count;
    explicit Counted(int& c) : count(c) { ++count; }
    ~Counted() { --count; }
  } counted(waits_in_progress_);
  for (;;) {
    // A pump may run a handler that cancels the request or starts another.
    if (request != request_ || request->cancelled) throw CancelledFailure(request->url);
    if (done()) return;
    // Either the worker, after its next write, sees the flag and posts a wake-up, or the
    // re-check sees what it wrote.
    request->reader_waiting = true;
    if (done()) return;
    loop_.WaitForEvents(kWaitSlice);
  }
}

std::string CurlTransferControl::GetHeader(std::string_view name) {
  const std::shared_ptr<Request> request = Readable();
  if (!request) return {};
  WaitFor(request, [&] { return request->head_arrived.load(); });
  std::lock_guard lock(request->mutex);
  if (request->failure) throw *request->failure;
  for (const auto& [header, value] : request->headers) {
    if (EqualsIgnoringCase(header, name)) return value;
  }
  return {};
}

void CurlTransferControl::ResumeIfPaused(Request& request, std::uint64_t read) {
  // The worker pauses only when the ring is nearly full; resuming once half is free keeps the
  // wake-ups rare and leaves room for what curl held back.
  if (request.writer_paused &&
      request.written.load(std::memory_order_relaxed) - read <= kRingCapacity / 2 &&
      request.writer_paused.exchange(false)) {
    request.resume_wanted = true;
    worker_->Wake();
  }
}

std::vector<std::byte> CurlTransferControl::GetChunk(std::int16_t size) {
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
      ResumeIfPaused(*held, read);
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
  ResumeIfPaused(*request, read + take);
  return chunk;
}

std::int32_t CurlTransferControl::ResponseCode() {
  if (!request_) return 0;
  std::lock_guard lock(request_->mutex);
  return request_->failure ? request_->failure->number() : request_->status;
}

std::string CurlTransferControl::ResponseInfo() {
  if (!request_) return {};
  std::lock_guard lock(request_->mutex);
  return request_->failure ? request_->failure->description() : request_->reason;
}

std::string CurlTransferControl::WireAddress(std::string_view url) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  const auto scheme = url.find("://");
  const auto path =
      url.find('/', scheme == std::string_view::npos ? 0 : scheme + std::strlen("://"));
  if (path == std::string_view::npos) return std::string(url);
  std::string wire(url.substr(0, path));
  for (const char c : url.substr(path)) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte >= 0x7F || c == '%' || c == '#') {
      wire += '%';
      wire += kHex[byte >> 4];
      wire += kHex[byte & 15];
    } else {
      wire += c;
    }
  }
  return wire;
}

std::vector<std::string> CurlTransferControl::ValidHeaderLines(std::string_view request_headers) {
  std::vector<std::string> lines;
  while (!request_headers.empty()) {
    const auto end = request_headers.find('\n');
    std::string_view line = request_headers.substr(0, end);
    request_headers.remove_prefix(end == std::string_view::npos ? request_headers.size() : end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const auto colon = line.find(':');
    if (colon == 0 || colon == std::string_view::npos) continue;
    const std::string_view name = line.substr(0, colon);
    if (!std::all_of(name.begin(), name.end(), IsTokenChar)) continue;
    const std::string_view value = Trim(line.substr(colon + 1));
    if (value.find_first_of("\r\n") != std::string_view::npos) continue;
    // curl reads "Name:" as "do not send Name"; "Name;" is its spelling of an empty value.
    lines.push_back(value.empty() ? std::string(name) + ";"
                                  : std::string(name) + ": " + std::string(value));
  }
  return lines;
}

}  // namespace kw
