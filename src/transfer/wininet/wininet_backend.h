#pragma once

#include "platform/win32/windows_api.h"
// After <windows.h>, which it needs.
#include <wininet.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "platform/unique_handle.h"
#include "transfer/http_backend.h"

namespace kw {

class WinInetCall;

// Handles of WinINet: a session, a connection, a request.
struct InternetHandleTraits {
  using Handle = HINTERNET;
  static constexpr Handle Invalid() { return nullptr; }
  static void Close(Handle handle) { ::InternetCloseHandle(handle); }
};
using UniqueInternetHandle = UniqueHandle<InternetHandleTraits>;

// The HTTP backend on WinINet, keeping the contract of HttpBackend. Use it through
// HttpTransferControl.
//
// Proxies are the system's (INTERNET_OPEN_TYPE_PRECONFIG). An https address is opened with
// INTERNET_FLAG_SECURE and its certificate checked against the system's store; a certificate
// WinINet refuses ends the request with error::kCertificateRefused (CertificateFailure), never
// with a retry that ignores it. WinINet's own timeouts are set well
// beyond the control's, which ends a request itself.
//
// WinINet runs in its asynchronous mode: every call that waits on the network completes on a
// thread of WinINet's, and Perform waits for that completion where Interrupt can wake it. So
// Perform returns promptly after Interrupt whatever WinINet is doing, a name lookup included:
// Wine resolves names with the host's blocking getaddrinfo, which closing a handle does not end.
//
// Phases, in the order of a fresh connection: kResolvingHost and kHostResolved (WinINet looks a
// host up once per host and port and process, so a later connection to it starts at
// kConnecting), kConnecting, kConnected, kRequesting, kRequestSent, kReceivingResponse,
// kResponseReceived. A kept connection starts at kRequesting. A redirect or a 401 challenge goes
// round again with a request of its own.
//
// Redirects and 401 challenges are answered as HttpRounds decides, not by WinINet: WinINet has
// no limit on redirects, and once it has answered a Basic challenge it sends the credentials
// unasked with every later request to that server.
//
// A request whose body has not ended (Interrupt, a Perform that ends for a cancelled sink or a
// failure, a discarded body too long to read) is closed on a thread of its own that nothing waits
// for, neither CloseConnections nor the destructor nor the end of the program: Wine's WinINet reads
// the rest of a body with a length or chunks before it lets a request go, as long as the rest keeps
// arriving (for ever, from a server that never ends it). Every other handle is closed where it is
// taken out.
//
// Wine reads that rest on whichever thread lets go of the request last, and a call in progress on
// a handle holds it: a request closed while Perform was inside a read on it would be read to its
// end on Perform's thread, and the next request would wait for the old body. So a request is
// closed only by its own Perform, once it has left every call on it (as WinINet's documentation of
// InternetCloseHandle asks); Interrupt only wakes Perform.
//
// CloseConnections closes the connections WinINet keeps for reuse in the whole process (WinINet's
// pool is the process's, not a handle's): the program has no other user of WinINet. A close aside
// that ends after it closes them again.
class WinInetBackend final : public HttpBackend {
 public:
  // Fails with error::kInternal when WinINet cannot be set up.
  WinInetBackend();
  // Returns at once; the handles are closed on a thread of their own (see above).
  ~WinInetBackend() override;
  WinInetBackend(const WinInetBackend&) = delete;
  WinInetBackend& operator=(const WinInetBackend&) = delete;

  void Perform(const HttpRequest& request, HttpSink& sink) override;
  void Interrupt() override;
  void CloseConnections() override;

 private:
  class Round;
  struct Target;

  // The connection handle for `target`, opened unless the slot already holds one for it.
  HINTERNET ConnectionFor(const Target& target, const std::string& url);
  // A handle that closes when the last holder lets go: a close aside holds the connection and
  // the session of its request until the request is closed. Were a parent closed first, Wine
  // would close the request with it, and the close aside would then close whatever handle had
  // been given the request's number since.
  using SharedInternetHandle = std::shared_ptr<UniqueInternetHandle>;

  // Closes `request` on a thread of its own (here if none can start), then lets go of the
  // connection and the session it belongs to. No call on `request` may be in progress or follow.
  void CloseAside(UniqueInternetHandle request);

  SharedInternetHandle session_;
  // CloseConnections so far, shared with the closes aside.
  const std::shared_ptr<std::atomic<unsigned>> quits_ = std::make_shared<std::atomic<unsigned>>(0);

  // The connection and the call Interrupt wakes. Perform fills them on its thread; Interrupt and
  // CloseConnections look at them on the window's thread.
  std::mutex mutex_;
  SharedInternetHandle connection_;
  std::string connection_key_;   // scheme, host and port of connection_
  WinInetCall* call_ = nullptr;  // of the round in progress; Perform holds a reference
};

}  // namespace kw
