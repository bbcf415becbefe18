#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace kw {

// States a request passes through, as raised by StateChanged.
enum TransferState : std::int16_t {
  kResolvingHost = 1,
  kHostResolved = 2,
  kConnecting = 3,
  kConnected = 4,
  kRequesting = 5,
  kRequestSent = 6,
  kReceivingResponse = 7,
  kResponseReceived = 8,
  kDisconnecting = 9,
  kDisconnected = 10,
  kError = 11,
  kResponseCompleted = 12,
};

// The update window's HTTP transfer control ("Inet1"): one request at a time, run in the
// background while the window's thread polls StillExecuting() and pumps its events.
//
// Contract every implementation keeps:
// - All members are called on the window's thread. StateChanged handlers run on that thread
//   too, only inside the EventLoop's PumpEvents/WaitForEvents, never inside a member call.
// - Execute("GET", headers) starts a request for URL(). StillExecuting() is true until the
//   response head has arrived or the request has failed; the notifications of those phases
//   (and of the failure, kError) are posted before it turns false.
// - A request that fails in the background raises its Failure from the next call that needs
//   its result (GetHeader, GetChunk), with its own number: error::kCannotConnect when the host
//   cannot be reached, error::kRequestTimedOut when connecting or a stalled transfer takes
//   longer than the control allows (60 seconds in the product).
// - GetChunk(n) returns exactly min(n, bytes left) bytes, waiting for them if need be (and
//   pumping the window's events meanwhile): a short chunk only at the end of the body, an
//   empty one after it. A body that ends early or breaks off raises a Failure. Memory stays
//   bounded whatever the body's size.
// - Cancel() abandons the running request, if any, and discards its notifications that have
//   not been delivered yet; it raises none of its own. Cancel() with nothing running is a no-op.
// - Execute("Quit") closes the connection to the server (kDisconnecting, kDisconnected).
// - The user name and password are sent only in answer to a 401 challenge.
// - Redirects are followed (at most 5); one connection is reused across a run's requests.
// - A request-header line whose field name is not a valid HTTP token is not sent.
class TransferControl {
 public:
  using StateHandler = std::function<void(std::int16_t state)>;

  virtual ~TransferControl() = default;

  // The integer setting the log-in gives the value 2. Kept and read back; every value uses the
  // system's proxy settings.
  virtual void SetAccessType(std::int32_t access_type) = 0;
  virtual std::int32_t AccessType() const = 0;

  // A server host, or a file's full "http://" address. File names in it may hold any UTF-8
  // text; the control percent-encodes what the wire needs.
  virtual void SetURL(std::string url) = 0;
  virtual std::string URL() const = 0;
  virtual void SetUserName(std::string user_name) = 0;
  virtual void SetPassword(std::string password) = 0;

  virtual bool StillExecuting() = 0;

  // Starts `operation` ("GET" or "Quit") on URL(). `request_headers` holds header lines, each
  // ending in CR LF. Fails when a request is still executing.
  virtual void Execute(std::string_view operation, std::string_view request_headers = {}) = 0;

  // The value of a header of the response, the name matched without regard to case; empty
  // when the header is absent.
  virtual std::string GetHeader(std::string_view name) = 0;

  // The next body bytes, at most `size` of them.
  virtual std::vector<std::byte> GetChunk(std::int16_t size) = 0;

  virtual void Cancel() = 0;

  // The status code and reason phrase of the latest response; after a failed request, its
  // failure number and description. 0 and empty before any response.
  virtual std::int32_t ResponseCode() = 0;
  virtual std::string ResponseInfo() = 0;

  void OnStateChanged(StateHandler handler) { state_changed_ = std::move(handler); }

 protected:
  // Implementations call this on the window's thread, from a task posted to the EventLoop.
  void StateChanged(std::int16_t state) {
    if (state_changed_) state_changed_(state);
  }

 private:
  StateHandler state_changed_;
};

}  // namespace kw
