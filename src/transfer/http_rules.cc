#include "transfer/http_rules.h"

#include <algorithm>
#include <cstdint>

#include "platform/ascii.h"

namespace kw {

namespace {

constexpr int kMaxRedirects = 5;

bool IsFollowedRedirect(std::int32_t status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

bool OffersBasic(const HttpResponseHead& head) {
  return std::any_of(head.fields.begin(), head.fields.end(), [](const HeaderField& field) {
    return EqualsIgnoringAsciiCase(field.name, "WWW-Authenticate") && field.value.size() >= 5 &&
           EqualsIgnoringAsciiCase(std::string_view(field.value).substr(0, 5), "Basic");
  });
}

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = AsciiLower(c);
  return lower;
}

// An absolute http or https address taken apart; the fragment is dropped.
struct AddressParts {
  std::string scheme;  // lower case
  std::string_view authority;
  std::string_view path;   // "/" at least
  std::string_view query;  // with its "?", or empty
};

std::optional<AddressParts> SplitAddress(std::string_view address) {
  const auto separator = address.find("://");
  if (separator == std::string_view::npos) return std::nullopt;
  AddressParts parts;
  parts.scheme = Lower(address.substr(0, separator));
  if (parts.scheme != "http" && parts.scheme != "https") return std::nullopt;
  std::string_view rest = address.substr(separator + 3);
  rest = rest.substr(0, rest.find('#'));
  const auto authority_end = std::min(rest.find_first_of("/?"), rest.size());
  parts.authority = rest.substr(0, authority_end);
  if (parts.authority.empty()) return std::nullopt;
  rest.remove_prefix(authority_end);
  const auto query = std::min(rest.find('?'), rest.size());
  parts.path = rest.substr(0, query);
  parts.query = rest.substr(query);
  if (parts.path.empty()) parts.path = "/";
  return parts;
}

// RFC 3986's removal of "." and ".." segments from an absolute path.
std::string WithoutDotSegments(std::string_view path) {
  std::vector<std::string_view> kept;
  bool ends_in_folder = false;
  path.remove_prefix(1);
  for (;;) {
    const auto slash = path.find('/');
    const std::string_view segment = path.substr(0, slash);
    ends_in_folder = segment == "." || segment == "..";
    if (segment == "..") {
      if (!kept.empty()) kept.pop_back();
    } else if (segment != ".") {
      kept.push_back(segment);
    }
    if (slash == std::string_view::npos) break;
    path.remove_prefix(slash + 1);
  }
  std::string result;
  for (const std::string_view segment : kept) result.append("/").append(segment);
  if (ends_in_folder || result.empty()) result += '/';
  return result;
}

bool HasScheme(std::string_view reference) {
  const auto colon = reference.find(':');
  if (colon == 0 || colon == std::string_view::npos) return false;
  const auto is_scheme_char = [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '-' || c == '.';
  };
  return std::all_of(reference.begin(), reference.begin() + colon, is_scheme_char) &&
         AsciiLower(reference[0]) >= 'a' && AsciiLower(reference[0]) <= 'z';
}

}  // namespace

Failure HttpFailure(HttpFault fault, const std::string& url, const std::string& what) {
  switch (fault) {
    case HttpFault::kCannotConnect:
      return Failure(error::kCannotConnect,
                     "Cannot connect to remote host for " + url + " (" + what + ")");
    case HttpFault::kTimedOut:
      return Failure(error::kRequestTimedOut, "Request timed out: " + what + " (" + url + ")");
    case HttpFault::kBodyBrokeOff:
      return Failure(error::kIncompleteBody, "The body of " + url + " broke off: " + what);
    case HttpFault::kOutOfMemory:
      return Failure(error::kOutOfMemory, "Out of memory while requesting " + url);
    case HttpFault::kTransferFailed:
      break;
  }
  return Failure(error::kTransferFailed, "The request for " + url + " failed: " + what);
}

Failure CertificateFailure(CertificateFault fault, const std::string& url,
                           const std::string& what) {
  const char* reason = "certificate not accepted";
  switch (fault) {
    case CertificateFault::kNotTrusted:
      reason = "certificate not trusted";
      break;
    case CertificateFault::kNameMismatch:
      reason = "name does not match";
      break;
    case CertificateFault::kExpired:
      reason = "certificate expired or not yet valid";
      break;
    case CertificateFault::kRevoked:
      reason = "certificate revoked";
      break;
    case CertificateFault::kOther:
      break;
  }
  const std::optional<AddressParts> parts = SplitAddress(url);
  const std::string host = parts ? std::string(parts->authority) : url;
  return Failure(error::kCertificateRefused, "The certificate of " + host + " was refused: " +
                                                 reason + " (" + what + "; " + url + ")");
}

std::optional<std::string> ResolveLocation(std::string_view base, std::string_view location) {
  location = location.substr(0, location.find('#'));
  if (std::any_of(location.begin(), location.end(),
                  [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; })) {
    return std::nullopt;
  }
  const std::optional<AddressParts> from = SplitAddress(base);
  if (!from) return std::nullopt;
  const std::string origin = from->scheme + "://" + std::string(from->authority);
  std::string target;
  if (HasScheme(location)) {
    target = location;
  } else if (location.starts_with("//")) {
    target = from->scheme + ":" + std::string(location);
  } else if (location.empty()) {
    target = origin + std::string(from->path) + std::string(from->query);
  } else if (location.front() == '/') {
    target = origin + std::string(location);
  } else if (location.front() == '?') {
    target = origin + std::string(from->path) + std::string(location);
  } else {
    const std::string_view folder = from->path.substr(0, from->path.rfind('/') + 1);
    target = origin + std::string(folder) + std::string(location);
  }
  const std::optional<AddressParts> to = SplitAddress(target);
  if (!to) return std::nullopt;
  const std::string resolved = to->scheme + "://" + std::string(to->authority) +
                               WithoutDotSegments(to->path) + std::string(to->query);
  return PercentEncoded(resolved, [](unsigned char byte) { return byte == ' ' || byte >= 0x80; });
}

std::string OriginOf(std::string_view address) {
  const std::optional<AddressParts> parts = SplitAddress(address);
  if (!parts) return {};
  std::string_view host = parts->authority.substr(parts->authority.rfind('@') + 1);
  std::string port = parts->scheme == "https" ? "443" : "80";
  const auto colon = host.rfind(':');
  if (colon != std::string_view::npos && host.find(']', colon) == std::string_view::npos) {
    if (colon + 1 < host.size()) port = std::string(host.substr(colon + 1));
    host = host.substr(0, colon);
  }
  return parts->scheme + "://" + Lower(host) + ":" + port;
}

std::string Base64(std::string_view bytes) {
  static constexpr char kDigits[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text;
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    const std::size_t count = std::min<std::size_t>(3, bytes.size() - i);
    std::uint32_t group = 0;
    for (std::size_t j = 0; j < 3; ++j) {
      group = (group << 8) | (j < count ? static_cast<unsigned char>(bytes[i + j]) : 0u);
    }
    for (std::size_t j = 0; j < 4; ++j) {
      text += j <= count ? kDigits[(group >> (18 - 6 * j)) & 63] : '=';
    }
  }
  return text;
}

HttpRounds::HttpRounds(const HttpRequest& request)
    : request_(request), asked_origin_(OriginOf(request.wire_url)), address_(request.wire_url) {}

std::vector<HeaderField> HttpRounds::fields() const {
  std::vector<HeaderField> fields = request_.header_fields;
  if (challenge_answered_ && OriginOf(address_) == asked_origin_) {
    fields.push_back(
        {"Authorization", "Basic " + Base64(request_.user_name + ":" + request_.password)});
  }
  return fields;
}

HttpRounds::Verdict HttpRounds::Next(const HttpResponseHead& head) {
  const std::string* location = FindHeader(head.fields, "Location");
  if (IsFollowedRedirect(head.status) && location != nullptr) {
    if (redirects_ == kMaxRedirects) {
      throw Failure(error::kTransferFailed, "The request for " + request_.url +
                                                " was redirected more than " +
                                                std::to_string(kMaxRedirects) + " times");
    }
    std::optional<std::string> next = ResolveLocation(address_, *location);
    if (!next) {
      throw Failure(error::kTransferFailed,
                    "The request for " + request_.url +
                        " was redirected to an unusable address: " + *location);
    }
    if (OriginOf(address_).starts_with("https://") && next->starts_with("http://")) {
      throw Failure(error::kTransferFailed, "The request for " + request_.url +
                                                " was redirected from https to plain http (" +
                                                *next + "), which is refused");
    }
    address_ = std::move(*next);
    ++redirects_;
    return Verdict::kGoRound;
  }
  if (head.status == 401 && !challenge_answered_ && !request_.user_name.empty() &&
      OriginOf(address_) == asked_origin_ && OffersBasic(head)) {
    challenge_answered_ = true;
    return Verdict::kGoRound;
  }
  return Verdict::kFinal;
}

}  // namespace kw
