#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "transfer/http_text.h"
#include "transfer/transfer_control.h"

namespace kw {

// One GET, as the transfer control hands it to its HTTP backend.
struct HttpRequest {
  std::string url;       // as the caller gave it, for the descriptions of failures
  std::string wire_url;  // WireAddress(url): what goes on the wire
  // Fields to send besides the stack's own, already checked (ValidHeaderLines); an empty value
  // is sent as an empty value.
  std::vector<HeaderField> header_fields;
  // Sent only in answer to a 401 challenge from the host that was asked, never before one and
  // never to a host a redirect leads to. No credentials when `user_name` is empty.
  std::string user_name;
  std::string password;
};

// The head of the response that ends a request (after redirects and challenges).
struct HttpResponseHead {
  std::int32_t status = 0;
  std::string reason;
  std::vector<HeaderField> fields;
};

// Where a backend's Perform reports. Every call is made on the thread that runs Perform.
class HttpSink {
 public:
  // A phase of the request as it happens, kResolvingHost up to kResponseReceived, for every
  // round (a redirect or a challenge goes round again, from kRequesting on a kept connection).
  // kResolvingHost or kConnecting begins connecting: the connect timeout runs until kConnected
  // or kRequesting. The control raises the others (kResponseCompleted, kError, kDisconnecting,
  // kDisconnected) itself.
  virtual void Phase(TransferState state) = 0;
  // Something went to or came from the server that no other call reports (a header line, the
  // body of a response that is not the final one): the stall timeout starts again.
  virtual void Progress() = 0;
  // The final response's head: once, before its first body byte, and before a Perform that ends
  // normally returns.
  virtual void Head(HttpResponseHead head) = 0;
  // The next bytes of the final response's body, without their transfer framing. Blocks, without
  // spinning, while the control has no room for them. False once the request is abandoned (the
  // bytes may or may not have been kept): Perform must then end without delivering more.
  virtual bool Body(std::span<const std::byte> bytes) = 0;
  // Whether the request has been abandoned: cancelled, timed out, replaced, its body too long,
  // or the control going away. What a Perform returns or raises after that is ignored.
  virtual bool Cancelled() const = 0;

 protected:
  ~HttpSink() = default;
};

// The calls of one HTTP stack, as the transfer control (HttpTransferControl) uses them. The
// control makes and destroys its backend on the window's thread, runs Perform on a worker thread
// of its own, one at a time, and calls Interrupt and CloseConnections on the window's thread.
class HttpBackend {
 public:
  virtual ~HttpBackend() = default;

  // Runs `request` to its end: returns normally once the final response's body has ended as its
  // framing says (the bytes delivered through sink.Body), raises a Failure otherwise, its
  // description naming request.url: error::kCannotConnect (35754) when the host cannot be
  // reached or the address is not one the backend can serve, error::kIncompleteBody when the body
  // breaks off, error::kOutOfMemory, and error::kTransferFailed for every other fault.
  //
  // It follows up to 5 redirects (to http and https addresses only), answers a 401 challenge
  // with the request's credentials, reaches the server through the system's proxy settings, and
  // keeps the connection for the next Perform when the body was read to its end. It need not
  // time anything out: the control does, and then interrupts it.
  virtual void Perform(const HttpRequest& request, HttpSink& sink) = 0;

  // Makes a Perform in progress end promptly, its connection closed. The control has made
  // sink.Cancelled() true before it calls this. Called at any moment, also when no Perform runs
  // or before the one it aims at has begun: it is then harmless, and a Perform that begins
  // later sees sink.Cancelled().
  virtual void Interrupt() = 0;

  // Closes every connection kept for reuse. Called only while no Perform runs.
  virtual void CloseConnections() = 0;
};

}  // namespace kw
