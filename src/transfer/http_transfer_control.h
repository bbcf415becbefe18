#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "platform/event_loop.h"
#include "transfer/http_backend.h"
#include "transfer/transfer_control.h"

namespace kw {

// The transfer control over an HTTP backend: everything TransferControl promises that does not
// depend on the HTTP stack. The backend's Perform runs on a worker thread of the control; the
// window's thread reads what it delivers.
//
// Beyond TransferControl's contract, the caller may rely on this:
// - Timeouts. Connecting (name lookup included) fails after `connect`, counted from Execute or,
//   for a further connection of the request, from its lookup. Once connected, a request that
//   receives nothing for `stall` fails, except while its body waits for the window to read it.
//   Both raise error::kRequestTimedOut ("Request timed out: ..."). The clocks are looked at by
//   StillExecuting, GetHeader and GetChunk (while they wait, at least every 100 ms): a request
//   nobody asks about fails when it is next asked about.
// - A final response that announces a Content-Length must keep it. Once more bytes arrive, the
//   request fails with error::kIncompleteBody and no byte past the announced length is handed
//   out; so does a body that ends short of it.
// - Execute("GET") while the previous body is still arriving abandons that transfer (its
//   connection is closed); a body that has arrived whole leaves the connection for the next
//   request.
// - After Cancel() (or a Quit that cut a body short), GetHeader and GetChunk raise until the
//   next Execute: the request's own failure if it had failed, else error::kTransferFailed
//   ("... was cancelled"). ResponseCode and ResponseInfo keep what they had.
// - Execute("Quit") raises kDisconnecting and kDisconnected even when no connection was open,
//   and a Cancel right after does not discard them.
// - Execute of an operation other than "GET" or "Quit" (case ignored) raises error::kInternal.
class HttpTransferControl final : public TransferControl {
 public:
  struct Timeouts {
    std::chrono::seconds connect{60};
    std::chrono::seconds stall{60};
  };

  // Takes `backend` over. Fails with error::kInternal when the worker thread cannot start.
  HttpTransferControl(EventLoop& loop, std::unique_ptr<HttpBackend> backend, Timeouts timeouts);
  // The product's timeouts. (A default argument cannot name Timeouts' defaults here: the class
  // is not complete yet.)
  HttpTransferControl(EventLoop& loop, std::unique_ptr<HttpBackend> backend)
      : HttpTransferControl(loop, std::move(backend), Timeouts()) {}
  // Abandons a running request and returns as soon as the backend has let go of it (promptly,
  // whatever the request was doing); destroys the backend; notifications not yet delivered are
  // dropped.
  ~HttpTransferControl() override;
  HttpTransferControl(const HttpTransferControl&) = delete;
  HttpTransferControl& operator=(const HttpTransferControl&) = delete;

  void SetAccessType(std::int32_t access_type) override { access_type_ = access_type; }
  std::int32_t AccessType() const override { return access_type_; }
  void SetURL(std::string url) override { url_ = std::move(url); }
  std::string URL() const override { return url_; }
  void SetUserName(std::string user_name) override { user_name_ = std::move(user_name); }
  void SetPassword(std::string password) override { password_ = std::move(password); }

  bool StillExecuting() override;
  void Execute(std::string_view operation, std::string_view request_headers = {}) override;
  std::string GetHeader(std::string_view name) override;
  std::vector<std::byte> GetChunk(std::int16_t size) override;
  void Cancel() override;
  std::int32_t ResponseCode() override;
  std::string ResponseInfo() override;

 private:
  struct Request;
  struct Delivery;
  class Sink;

  // The worker thread's loop: performs each request handed to it that is still wanted.
  void RunWorker();
  // Returns once the worker has no request to perform.
  void WaitUntilIdle();
  // Stops the request's transfer: its sink says cancelled, a blocked Body returns, the backend
  // is interrupted. Its failure, if it has one, stays.
  void Abandon(Request& request);
  // Whether the latest request has neither its head nor a failure yet, and is not cancelled.
  bool Executing() const;
  // Fails the latest request when it has waited longer than the timeouts allow; whether it did
  // so now.
  bool CheckTimeouts();
  // Pumps the window's events until `done` holds or the request is cancelled or replaced;
  // raises the Failure that ends the wait early.
  template <typename Done>
  void WaitFor(const std::shared_ptr<Request>& request, Done done);
  // The request GetHeader and GetChunk read from; raises when there is none to read.
  std::shared_ptr<Request> Readable();
  // Lets a Body blocked for want of room go on, once the reader has made enough of it.
  void ResumeWriter(Request& request, std::uint64_t read);
  void Quit();

  EventLoop& loop_;
  const Timeouts timeouts_;
  std::int32_t access_type_ = 0;
  std::string url_;
  std::string user_name_;
  std::string password_;
  std::uint64_t last_generation_ = 0;
  int waits_in_progress_ = 0;
  std::shared_ptr<Request> request_;  // the latest GET
  std::shared_ptr<Delivery> delivery_;
  std::unique_ptr<HttpBackend> backend_;

  // The worker's hand-over; guarded by worker_mutex_.
  std::mutex worker_mutex_;
  std::condition_variable worker_changed_;
  std::shared_ptr<Request> next_;  // to be performed
  bool performing_ = false;
  bool stopping_ = false;
  std::thread worker_;
};

}  // namespace kw
