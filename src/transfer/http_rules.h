#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/failure.h"
#include "transfer/http_backend.h"

namespace kw {

// The HTTP rules every backend follows alike, as plain decisions: a backend holds only its
// library's calls, and asks these what to send and what a response means.

// The ways a request fails, worded alike whichever library failed.
enum class HttpFault {
  kCannotConnect,   // error::kCannotConnect: the host cannot be reached or the address served
  kTimedOut,        // error::kRequestTimedOut
  kBodyBrokeOff,    // error::kIncompleteBody
  kOutOfMemory,     // error::kOutOfMemory
  kTransferFailed,  // error::kTransferFailed: anything else on the wire
};

// The failure of the request for `url`; `what` is the library's own description of it.
Failure HttpFailure(HttpFault fault, const std::string& url, const std::string& what);

// Why a server's TLS certificate was refused.
enum class CertificateFault {
  kNotTrusted,    // its chain ends at no authority the system trusts
  kNameMismatch,  // it was made out for another name than the host asked
  kExpired,       // expired, or not valid yet
  kRevoked,       // revoked by its authority
  kOther,         // anything else the library reports of it
};

// error::kCertificateRefused for the request for `url`: names the host (and port) and the
// reason in plain words, then the library's own description, `what`. Never a fallback: the
// request ends here.
Failure CertificateFailure(CertificateFault fault, const std::string& url, const std::string& what);

// The most of a body that is not the file's (a redirect's, a challenge's) a backend reads so
// that its connection can serve the next round. Past it the connection is dropped, not drained:
// a server may send such a body for ever.
inline constexpr std::size_t kDiscardedBodyLimit = 64 * 1024;

// The rounds of one request on the wire: a GET, then one more for every redirect followed and
// for a Basic challenge answered, until a response is the final one.
//
// - Redirects (301, 302, 303, 307, 308 with a Location) are followed, at most 5 of them; the
//   sixth fails the request. Location is resolved against the address that was asked; one that
//   is not an http or https address, or that holds control characters, fails as unusable.
// - A redirect from an https address to an http one is refused: it would carry the rest of the
//   request, and the file, without the protection the https host was chosen for.
// - A 401 is answered once, and only when the host that was asked (scheme, host and port)
//   challenges with Basic and the request carries a user name. Credentials are never sent before
//   a challenge, and never to another host, a redirect's included.
class HttpRounds {
 public:
  enum class Verdict {
    kFinal,    // the response ends the request: its head and body are the file's
    kGoRound,  // discard its body (up to kDiscardedBodyLimit) and send the next round
  };

  explicit HttpRounds(const HttpRequest& request);

  // What the next round asks for, on the wire.
  const std::string& address() const { return address_; }
  // The header fields the next round sends besides the library's own.
  std::vector<HeaderField> fields() const;

  // What the response `head` to the round just sent means. Raises a Failure naming the request
  // for one redirect too many, an unusable Location and a redirect from https to http.
  Verdict Next(const HttpResponseHead& head);

 private:
  const HttpRequest& request_;
  const std::string asked_origin_;
  std::string address_;
  int redirects_ = 0;
  bool challenge_answered_ = false;
};

// `location` resolved against the absolute address `base`, its fragment dropped and the bytes a
// request line cannot hold (blanks, bytes outside ASCII) percent-encoded; nullopt when the result
// is not an http or https address with a host, or `location` holds a control character.
std::optional<std::string> ResolveLocation(std::string_view base, std::string_view location);

// The scheme, host and port of an http or https address, lower-cased, the default port written
// out ("http://example.com:80"); empty for any other text.
std::string OriginOf(std::string_view address);

std::string Base64(std::string_view bytes);

}  // namespace kw
