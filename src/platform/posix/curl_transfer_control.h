#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/event_loop.h"
#include "transfer/transfer_control.h"

namespace kw {

// The transfer control on libcurl, keeping the contract of TransferControl.
//
// One worker thread per control drives curl's multi interface: it owns the one easy handle
// (reset and reused for every request, so curl's connection cache in the multi handle keeps the
// connection alive across a run's files) and blocks in curl_multi_poll between events. A
// worker thread rather than driving curl from the window's pumps, because the window pumps only
// when it chooses (a modal message box, a one-second wait) and a connection must not stall on
// that; the multi interface rather than curl_easy_perform, because the window thread must be
// able to wake the worker at once: Cancel ends a transfer immediately, and a paused transfer
// resumes as soon as GetChunk has made room.
//
// The body goes through a fixed ring buffer (1 MiB) shared by the worker (writer) and GetChunk
// (reader) without a lock; when it is full the worker pauses the transfer, and GetChunk asks
// for it to resume once half of it is free. A GetChunk that finds enough bytes costs a copy
// and no system call.
//
// Timeouts: connecting (name resolution included) fails after `connect`; once connected, a
// request that receives nothing for `stall` (while the window is reading what came, the clock
// does not run) fails. Both raise error::kRequestTimedOut, "Request timed out: ...".
//
// Addresses: the part after the host is percent-encoded as UTF-8 where it holds a byte outside
// printable ASCII, a blank, "%" or "#"; so URL() is plain text (a "%" in a file name is part
// of the name, never an escape), and the server sees the same name the caller gave. Everything
// else, "$", "(", ")", "/" and "?" included, goes as it is.
//
// Notifications, in the order of a fresh connection: kResolvingHost (curl starts the lookup,
// which it repeats for every new connection: its DNS cache is off), kHostResolved and
// kConnecting (it opens the socket), kConnected and kRequesting (the connection is ready, just
// before the request goes out), kRequestSent (the request head is written), kReceivingResponse
// (the status line arrives), kResponseReceived (the response head is complete), then
// kResponseCompleted or kError. A reused connection starts at kRequesting; a redirect or a 401
// challenge repeats the round from kRequesting (or kResolvingHost for another host). Execute
// ("Quit") raises kDisconnecting and kDisconnected even when no connection was open.
//
// Other behaviour the caller may rely on:
// - Proxies come from the environment (http_proxy, no_proxy, as curl reads them).
// - The user name is used only when it is not empty; credentials go to the host that
//   challenged, never to a host a redirect leads to.
// - Execute("GET") while the previous body is still being read abandons that transfer (its
//   connection is closed); a body read to its end leaves the connection for the next request.
// - After Cancel() (or a Quit that cut a body short), GetHeader and GetChunk raise until the
//   next Execute: the request's own failure if it had failed, else error::kTransferFailed
//   ("... was cancelled"). ResponseCode and ResponseInfo keep what they had.
// - Execute of an operation other than "GET" or "Quit" (case ignored) raises error::kInternal.
class CurlTransferControl final : public TransferControl {
 public:
  struct Timeouts {
    std::chrono::seconds connect{60};
    std::chrono::seconds stall{60};
  };

  // Fails with error::kInternal when curl cannot be set up (out of memory, no thread).
  CurlTransferControl(EventLoop& loop, Timeouts timeouts);
  // The product's timeouts. (A default argument cannot name Timeouts' defaults here: the
  // class is not complete yet.)
  explicit CurlTransferControl(EventLoop& loop) : CurlTransferControl(loop, Timeouts()) {}
  // Abandons a running request and closes the connection; notifications not yet delivered are
  // dropped.
  ~CurlTransferControl() override;
  CurlTransferControl(const CurlTransferControl&) = delete;
  CurlTransferControl& operator=(const CurlTransferControl&) = delete;

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

  // The address as it goes on the wire (see "Addresses" above).
  static std::string WireAddress(std::string_view url);
  // `request_headers` split into lines whose field names are valid HTTP tokens (RFC 9110
  // tchar); other lines are dropped. Lines come back without CR LF.
  static std::vector<std::string> ValidHeaderLines(std::string_view request_headers);

 private:
  struct Request;
  struct Delivery;
  class Worker;

  // Pumps the window's events until `done` holds or the request is cancelled or replaced;
  // raises the Failure that ends the wait early.
  template <typename Done>
  void WaitFor(const std::shared_ptr<Request>& request, Done done);
  // The request GetHeader and GetChunk read from; raises when there is none to read.
  std::shared_ptr<Request> Readable();
  // Asks the worker to resume a transfer it paused for want of room, once there is enough.
  void ResumeIfPaused(Request& request, std::uint64_t read);
  void Quit();

  EventLoop& loop_;
  Timeouts timeouts_;
  std::int32_t access_type_ = 0;
  std::string url_;
  std::string user_name_;
  std::string password_;
  std::uint64_t last_generation_ = 0;
  int waits_in_progress_ = 0;
  std::shared_ptr<Request> request_;  // the latest GET
  std::shared_ptr<Delivery> delivery_;
  std::unique_ptr<Worker> worker_;
};

}  // namespace kw
