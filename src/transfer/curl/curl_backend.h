#pragma once

#include <curl/curl.h>

#include <optional>
#include <string>

#include "platform/unique_handle.h"
#include "transfer/http_backend.h"

namespace kw {

struct CurlTransfer;

// The HTTP backend on libcurl, keeping the contract of HttpBackend. Use it through
// HttpTransferControl.
//
// Proxies come from the environment (http_proxy, https_proxy, no_proxy, as curl reads them).
//
// An https address is verified against the system's trust store (curl's default, the system's
// CA bundle): the chain and the host name, with no fallback to plain http. A certificate that
// fails ends the request with error::kCertificateRefused (CertificateFailure).
//
// Phases, in the order of a fresh connection: kResolvingHost (the lookup starts; every new
// connection looks its host up again), kHostResolved and kConnecting (a socket is opened),
// kConnected and kRequesting (the connection is ready, just before the request goes out),
// kRequestSent (the request head is written), kReceivingResponse (a status line arrives),
// kResponseReceived (a response head is complete). A kept connection starts at kRequesting; a
// redirect or a 401 challenge repeats the round from kRequesting (or kResolvingHost for another
// host). Redirects and challenges are answered as HttpRounds decides, not by curl, which would
// read a redirect's body to its end however long it is.
class CurlBackend final : public HttpBackend {
 public:
  // Fails with error::kInternal when curl cannot be set up (out of memory). `trusted_authorities`
  // names a file of PEM certificates to trust instead of the system's store, for tests against
  // an authority of their own; the program leaves it empty.
  explicit CurlBackend(std::string trusted_authorities = {});

  void Perform(const HttpRequest& request, HttpSink& sink) override;
  void Interrupt() override;
  void CloseConnections() override;

 private:
  // Sends one round of the request and reads its response, as `transfer`'s callbacks decide;
  // curl's result, or nullopt once the request is abandoned.
  std::optional<CURLcode> RunRound(CurlTransfer& transfer);

  struct MultiTraits {
    using Handle = CURLM*;
    static constexpr Handle Invalid() { return nullptr; }
    static void Close(Handle multi) { curl_multi_cleanup(multi); }
  };
  struct EasyTraits {
    using Handle = CURL*;
    static constexpr Handle Invalid() { return nullptr; }
    static void Close(Handle easy) { curl_easy_cleanup(easy); }
  };
  struct ListTraits {
    using Handle = curl_slist*;
    static constexpr Handle Invalid() { return nullptr; }
    static void Close(Handle list) { curl_slist_free_all(list); }
  };

  const std::string trusted_authorities_;
  UniqueHandle<MultiTraits> multi_;
  UniqueHandle<EasyTraits> easy_;
  UniqueHandle<ListTraits> header_list_;  // of the latest request; the easy handle points to it
  char error_[CURL_ERROR_SIZE] = {};
};

}  // namespace kw
