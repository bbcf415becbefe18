#include "transfer/curl/curl_backend.h"

#include <openssl/x509_vfy.h>
#include <sys/socket.h>

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "platform/ascii.h"
#include "platform/failure.h"
#include "transfer/http_rules.h"

// Perform drives curl's multi interface rather than curl_easy_perform, because the window's
// thread must be able to end a transfer at once: Interrupt wakes curl_multi_poll, and the loop
// then sees the sink's Cancelled(). The multi handle also holds curl's connection cache, so one
// easy handle, reset for every request, reuses the connection across a run's files.
//
// Back-pressure is the sink's: its Body blocks inside curl's write callback while the control's
// buffer is full, and returns false once the request is abandoned, which ends the transfer with
// a write error.

namespace kw {

// One round's state, as curl's callbacks see it.
struct CurlTransfer {
  CurlTransfer(const HttpRequest& request, HttpSink& sink, HttpRounds& rounds)
      : request(request), sink(sink), rounds(rounds) {}

  const HttpRequest& request;
  HttpSink& sink;
  HttpRounds& rounds;
  // The phases of the round, each raised once however many sockets curl tries.
  bool connecting = false;
  bool sent = false;
  bool in_head = false;
  HttpResponseHead head;                       // the one being read
  std::optional<HttpRounds::Verdict> verdict;  // once the head is complete
  std::size_t discarded = 0;                   // of a body that is not the file's
  bool dropped = false;            // such a body was too long, and the transfer ended for it
  std::optional<Failure> failure;  // raised by the rules inside a callback
};

namespace {

// curl's socket reads are sized for loopback speed and bounded memory, like the control's ring,
// which has room for a whole read once it lets a blocked writer go on.
constexpr long kReceiveBufferSize = 256 * 1024;
// Interrupt wakes the poll; the bound only caps the cost of a wake-up that never came.
constexpr int kPollMs = 1000;

void InitializeCurl() {
  // curl_global_init is not safe to race with another thread's first use of curl; a function
  // static runs it exactly once.
  static const CURLcode result = curl_global_init(CURL_GLOBAL_DEFAULT);
  if (result != CURLE_OK) {
    throw Failure(error::kInternal,
                  std::string("The HTTP library could not start: ") + curl_easy_strerror(result));
  }
}

// Why the peer's certificate was refused. OpenSSL checks the chain; curl checks the name itself
// once OpenSSL accepted the chain, and then reports no verify result of OpenSSL's (X509_V_OK, or
// X509_V_ERR_UNSPECIFIED as this curl does), only its own words.
CertificateFault CertificateFaultOf(long verify_result, const std::string& what) {
  switch (verify_result) {
    case X509_V_OK:
    case X509_V_ERR_UNSPECIFIED:
      return what.find("name") != std::string::npos ? CertificateFault::kNameMismatch
                                                    : CertificateFault::kOther;
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
      return CertificateFault::kNameMismatch;
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_CERT_UNTRUSTED:
    case X509_V_ERR_INVALID_CA:
      return CertificateFault::kNotTrusted;
    case X509_V_ERR_CERT_NOT_YET_VALID:
    case X509_V_ERR_CERT_HAS_EXPIRED:
      return CertificateFault::kExpired;
    case X509_V_ERR_CERT_REVOKED:
      return CertificateFault::kRevoked;
    default:
      return CertificateFault::kOther;
  }
}

Failure FailureFor(CURLcode code, const char* detail, const std::string& url, CURL* easy) {
  const std::string what = detail[0] != '\0' ? detail : curl_easy_strerror(code);
  switch (code) {
    case CURLE_PEER_FAILED_VERIFICATION: {
      long verify_result = X509_V_OK;
      curl_easy_getinfo(easy, CURLINFO_SSL_VERIFYRESULT, &verify_result);
      return CertificateFailure(CertificateFaultOf(verify_result, what), url, what);
    }
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_CONNECT:
    case CURLE_URL_MALFORMAT:
    case CURLE_UNSUPPORTED_PROTOCOL:
      return HttpFailure(HttpFault::kCannotConnect, url, what);
    case CURLE_OPERATION_TIMEDOUT:
      return HttpFailure(HttpFault::kTimedOut, url, what);
    case CURLE_PARTIAL_FILE:
      return HttpFailure(HttpFault::kBodyBrokeOff, url, what);
    case CURLE_OUT_OF_MEMORY:
      return HttpFailure(HttpFault::kOutOfMemory, url, what);
    default:
      return HttpFailure(HttpFault::kTransferFailed, url, what);
  }
}

size_t OnBody(char* data, size_t size, size_t count, void* user) {
  auto& transfer = *static_cast<CurlTransfer*>(user);
  const std::size_t length = size * count;
  if (transfer.verdict != HttpRounds::Verdict::kFinal) {
    transfer.discarded += length;
    transfer.dropped = transfer.discarded > kDiscardedBodyLimit;
    // Ending the transfer closes its connection: such a body may never end.
    return transfer.dropped ? 0 : length;
  }
  const bool kept = transfer.sink.Body(std::as_bytes(std::span(data, length)));
  return kept ? length : 0;
}

size_t OnHeader(char* data, size_t size, size_t count, void* user) {
  auto& transfer = *static_cast<CurlTransfer*>(user);
  const std::size_t length = size * count;
  const std::string_view line(data, length);
  transfer.sink.Progress();
  // Trailers of a chunked body and stray lines are not part of any head.
  if (transfer.verdict) return length;
  if (std::optional<StatusLine> status = ParseStatusLine(line)) {
    transfer.in_head = true;
    transfer.sink.Phase(kReceivingResponse);
    transfer.head = {.status = status->code, .reason = std::move(status->reason), .fields = {}};
    return length;
  }
  if (!transfer.in_head) return length;
  if (line == "\r\n" || line == "\n") {
    transfer.in_head = false;
    // "100 Continue" and its kind: the real head follows.
    if (transfer.head.status >= 100 && transfer.head.status < 200) return length;
    transfer.sink.Phase(kResponseReceived);
    try {
      transfer.verdict = transfer.rounds.Next(transfer.head);
    } catch (const Failure& failure) {
      // Not through curl: the transfer ends here, and Perform raises it.
      transfer.failure = failure;
      return 0;
    }
    if (transfer.verdict == HttpRounds::Verdict::kFinal) {
      transfer.sink.Head(std::move(transfer.head));
    }
    return length;
  }
  if (std::optional<HeaderField> field = ParseHeaderLine(line)) {
    transfer.head.fields.push_back(std::move(*field));
  }
  return length;
}

int OnResolverStart(void*, void*, void* user) {
  static_cast<CurlTransfer*>(user)->sink.Phase(kResolvingHost);
  return 0;
}

curl_socket_t OnOpenSocket(void* user, curlsocktype, curl_sockaddr* address) {
  auto& transfer = *static_cast<CurlTransfer*>(user);
  // With several addresses for a name curl may open more than one socket; the phases are the
  // connection's, not the sockets'.
  if (!transfer.connecting) {
    transfer.sink.Phase(kHostResolved);
    transfer.sink.Phase(kConnecting);
    transfer.connecting = true;
  }
  return ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
}

int OnPrerequest(void* user, char*, char*, int, int) {
  auto& transfer = *static_cast<CurlTransfer*>(user);
  if (transfer.connecting) transfer.sink.Phase(kConnected);
  transfer.sink.Phase(kRequesting);
  transfer.connecting = false;
  transfer.sent = false;
  return CURL_PREREQFUNC_OK;
}

int OnDebug(CURL*, curl_infotype type, char*, size_t, void* user) {
  auto& transfer = *static_cast<CurlTransfer*>(user);
  // The debug stream is the only place curl tells that the request went out.
  if (type == CURLINFO_HEADER_OUT && !transfer.sent) {
    transfer.sink.Phase(kRequestSent);
    transfer.sent = true;
  } else if (type == CURLINFO_HEADER_OUT) {
    transfer.sink.Progress();
  }
  return 0;
}

// Takes the transfer off the multi handle whichever way Perform ends. A transfer taken off
// before its end loses its connection.
struct Attached {
  ~Attached() { curl_multi_remove_handle(multi, easy); }
  CURLM* multi;
  CURL* easy;
};

}  // namespace

CurlBackend::CurlBackend(std::string trusted_authorities)
    : trusted_authorities_(std::move(trusted_authorities)) {
  InitializeCurl();
  multi_.Reset(curl_multi_init());
  easy_.Reset(curl_easy_init());
  if (!multi_ || !easy_) {
    throw Failure(error::kInternal, "The HTTP library could not start (out of memory)");
  }
}

void CurlBackend::Perform(const HttpRequest& request, HttpSink& sink) {
  HttpRounds rounds(request);
  for (;;) {
    CurlTransfer transfer(request, sink, rounds);
    const std::optional<CURLcode> result = RunRound(transfer);
    if (!result || sink.Cancelled()) return;
    if (transfer.failure) throw *transfer.failure;
    if (transfer.verdict == HttpRounds::Verdict::kGoRound &&
        (*result == CURLE_OK || transfer.dropped)) {
      continue;
    }
    if (*result != CURLE_OK) throw FailureFor(*result, error_, request.url, easy_.get());
    // The transfer ended without a head curl could read to its end.
    if (!transfer.verdict) {
      throw HttpFailure(HttpFault::kTransferFailed, request.url, "the response has no head");
    }
    return;
  }
}

std::optional<CURLcode> CurlBackend::RunRound(CurlTransfer& transfer) {
  const HttpRequest& request = transfer.request;
  CURL* easy = easy_.get();
  // A reset forgets the previous round's options. The connection stays cached.
  curl_easy_reset(easy);
  error_[0] = '\0';
  header_list_.Reset();
  for (const HeaderField& field : transfer.rounds.fields()) {
    // curl reads "Name:" as "do not send Name"; "Name;" is its spelling of an empty value.
    const std::string line =
        field.value.empty() ? field.name + ";" : field.name + ": " + field.value;
    curl_slist* list = curl_slist_append(header_list_.get(), line.c_str());
    if (list == nullptr) throw HttpFailure(HttpFault::kOutOfMemory, request.url, "");
    header_list_.Reset(list);
  }
  const bool ok =
      curl_easy_setopt(easy, CURLOPT_URL, transfer.rounds.address().c_str()) == CURLE_OK &&
      curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L) == CURLE_OK &&
      curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
      // A transfer abandoned during a name lookup leaves the lookup's thread to finish on its
      // own instead of waiting for it: the control's end and its timeouts must not wait.
      curl_easy_setopt(easy, CURLOPT_QUICK_EXIT, 1L) == CURLE_OK &&
      curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, error_) == CURLE_OK &&
      curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK &&
      // curl's defaults, stated: the chain against the trust store, and the host's name.
      curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK &&
      curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK &&
      (trusted_authorities_.empty() ||
       curl_easy_setopt(easy, CURLOPT_CAINFO, trusted_authorities_.c_str()) == CURLE_OK) &&
      // Without the cache every new connection starts with a lookup, which is the phase the
      // window shows first.
      curl_easy_setopt(easy, CURLOPT_DNS_CACHE_TIMEOUT, 0L) == CURLE_OK &&
      curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, kReceiveBufferSize) == CURLE_OK &&
      curl_easy_setopt(easy, CURLOPT_HTTPHEADER, header_list_.get()) == CURLE_OK &&
      curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &OnBody) == CURLE_OK &&
      curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer) == CURLE_OK &&
      curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &OnHeader) == CURLE_OK &&
      curl_easy_setopt(easy, CURLOPT_HEADERDATA, &transfer) == CURLE_OK &&
      curl_easy_setopt(easy, CURLOPT_RESOLVER_START_FUNCTION, &OnResolverStart) == CURLE_OK &&
      curl_easy_setopt(easy, CURLOPT_RESOLVER_START_DATA, &transfer) == CURLE_OK &&
      curl_easy_setopt(easy, CURLOPT_OPENSOCKETFUNCTION, &OnOpenSocket) == CURLE_OK &&
      curl_easy_setopt(easy, CURLOPT_OPENSOCKETDATA, &transfer) == CURLE_OK &&
      curl_easy_setopt(easy, CURLOPT_PREREQFUNCTION, &OnPrerequest) == CURLE_OK &&
      curl_easy_setopt(easy, CURLOPT_PREREQDATA, &transfer) == CURLE_OK &&
      curl_easy_setopt(easy, CURLOPT_DEBUGFUNCTION, &OnDebug) == CURLE_OK &&
      curl_easy_setopt(easy, CURLOPT_DEBUGDATA, &transfer) == CURLE_OK &&
      curl_easy_setopt(easy, CURLOPT_VERBOSE, 1L) == CURLE_OK;
  if (!ok || curl_multi_add_handle(multi_.get(), easy) != CURLM_OK) {
    throw Failure(error::kInternal, "The HTTP library refused the request for " + request.url);
  }
  const Attached attached{multi_.get(), easy};

  std::optional<CURLcode> result;
  while (!result && !transfer.sink.Cancelled()) {
    int running = 0;
    curl_multi_perform(multi_.get(), &running);
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi_.get(), &left)) {
      if (message->msg == CURLMSG_DONE && message->easy_handle == easy) {
        result = message->data.result;
      }
    }
    if (!result) curl_multi_poll(multi_.get(), nullptr, 0, kPollMs, nullptr);
  }
  return result;
}

void CurlBackend::Interrupt() { curl_multi_wakeup(multi_.get()); }

void CurlBackend::CloseConnections() {
  // The connection cache belongs to the multi handle; a new one is the only way curl offers to
  // close the connections it keeps.
  if (CURLM* fresh = curl_multi_init()) multi_.Reset(fresh);
}

}  // namespace kw
