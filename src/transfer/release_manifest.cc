#include "transfer/release_manifest.h"

#include <algorithm>
#include <vector>

#include "platform/failure.h"

namespace kw {

namespace {

// Far above any release's manifest (a line per file) or signature (at most 72 bytes); a server
// that sends more is not serving either.
constexpr std::size_t kManifestLimit = 4 * 1024 * 1024;
constexpr std::size_t kSignatureLimit = 1024;

// The DER of a SubjectPublicKeyInfo of an uncompressed P-256 point, up to the point's x: the
// algorithm (id-ecPublicKey, prime256v1), the BIT STRING's head, and 04 for "uncompressed".
constexpr std::uint8_t kP256SpkiPrefix[] = {0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2a, 0x86, 0x48,
                                            0xce, 0x3d, 0x02, 0x01, 0x06, 0x08, 0x2a, 0x86, 0x48,
                                            0xce, 0x3d, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00, 0x04};

Failure Refused(const std::string& description) {
  return Failure(error::kManifestRefused, description);
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<Sha256Digest> DigestFromHex(std::string_view hex) {
  Sha256Digest digest;
  if (hex.size() != 2 * digest.size()) return std::nullopt;
  for (std::size_t i = 0; i < digest.size(); ++i) {
    const int high = HexDigit(hex[2 * i]);
    const int low = HexDigit(hex[2 * i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    digest[i] = static_cast<std::uint8_t>(high * 16 + low);
  }
  return digest;
}

std::optional<std::uint64_t> SizeFromDecimal(std::string_view text) {
  // Twenty digits could pass 2^64.
  if (text.empty() || text.size() > 19) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return value;
}

std::optional<std::vector<std::uint8_t>> FromBase64(std::string_view text) {
  std::vector<std::uint8_t> bytes;
  std::uint32_t group = 0;
  int bits = 0;
  std::size_t padding = 0;
  for (const char c : text) {
    int value = -1;
    if (c >= 'A' && c <= 'Z') value = c - 'A';
    if (c >= 'a' && c <= 'z') value = c - 'a' + 26;
    if (c >= '0' && c <= '9') value = c - '0' + 52;
    if (c == '+') value = 62;
    if (c == '/') value = 63;
    if (c == '=') {
      ++padding;
      continue;
    }
    if (value < 0 || padding > 0) return std::nullopt;
    group = (group << 6) | static_cast<std::uint32_t>(value);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      bytes.push_back(static_cast<std::uint8_t>(group >> bits));
    }
  }
  if (padding > 2 || (text.size() % 4) != 0) return std::nullopt;
  return bytes;
}

// One DER INTEGER at `at`, as 32 big-endian bytes; moves `at` past it.
bool ReadInteger(std::span<const std::byte> der, std::size_t& at, std::uint8_t* out) {
  if (at + 2 > der.size() || der[at] != std::byte{0x02}) return false;
  std::size_t length = std::to_integer<std::size_t>(der[at + 1]);
  at += 2;
  // A P-256 number needs at most 33 bytes (a leading zero keeps it positive): short form only.
  if (length == 0 || length > 33 || at + length > der.size()) return false;
  std::span<const std::byte> value = der.subspan(at, length);
  at += length;
  if ((std::to_integer<unsigned>(value[0]) & 0x80) != 0) return false;  // negative
  while (!value.empty() && value[0] == std::byte{0}) value = value.subspan(1);
  if (value.size() > 32) return false;
  std::fill(out, out + 32, 0);
  for (std::size_t i = 0; i < value.size(); ++i) {
    out[32 - value.size() + i] = std::to_integer<std::uint8_t>(value[i]);
  }
  return true;
}

struct Fetched {
  std::int32_t status = 0;
  std::string reason;
  std::string body;
};

// A GET of `address` whose body is kept in memory, at most `limit` bytes of it.
Fetched Fetch(TransferControl& inet1, EventPump& pump, const std::string& address,
              std::string_view request_headers, std::size_t limit) {
  inet1.SetURL(address);
  inet1.Execute("GET", request_headers);
  WaitWhileExecuting(inet1, pump);
  // GetHeader raises the failure of a request that went wrong in the background.
  inet1.GetHeader("Content-length");
  Fetched fetched{.status = inet1.ResponseCode(), .reason = inet1.ResponseInfo(), .body = {}};
  if (fetched.status < 200 || fetched.status > 299) {
    // Its body is an error page: not read.
    inet1.Cancel();
    return fetched;
  }
  for (;;) {
    const std::vector<std::byte> chunk = inet1.GetChunk(1024);
    if (chunk.empty()) break;
    if (fetched.body.size() + chunk.size() > limit) {
      inet1.Cancel();
      throw Refused("The signed manifest is malformed: " + address + " is larger than " +
                    std::to_string(limit) + " bytes");
    }
    fetched.body.append(reinterpret_cast<const char*>(chunk.data()), chunk.size());
  }
  return fetched;
}

void ExpectFound(const Fetched& fetched, const std::string& address, std::string_view what) {
  if (fetched.status >= 200 && fetched.status <= 299) return;
  const std::string answer = std::to_string(fetched.status) + " " + fetched.reason;
  if (fetched.status == 404 || fetched.status == 410) {
    throw Refused("The signed manifest is missing: the server answered " + answer + " for " +
                  std::string(what) + " " + address);
  }
  throw Refused("The signed manifest could not be fetched: the server answered " + answer +
                " for " + std::string(what) + " " + address);
}

}  // namespace

ReleaseManifest ReleaseManifest::Parse(std::string_view text) {
  ReleaseManifest manifest;
  int number = 0;
  while (!text.empty()) {
    ++number;
    const std::size_t end = text.find('\n');
    const std::string where = "The signed manifest is malformed at line " + std::to_string(number);
    if (end == std::string_view::npos) throw Refused(where + ": it does not end in a line feed");
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(end + 1);
    const std::size_t first = line.find(' ');
    const std::size_t second = first == std::string_view::npos ? first : line.find(' ', first + 1);
    if (second == std::string_view::npos) {
      throw Refused(where + ": not \"<sha-256> <size> <path>\"");
    }
    const std::optional<Sha256Digest> digest = DigestFromHex(line.substr(0, first));
    const std::optional<std::uint64_t> size =
        SizeFromDecimal(line.substr(first + 1, second - first - 1));
    const std::string_view path = line.substr(second + 1);
    // A carriage return would end up in the path: a manifest edited into CR LF lines.
    if (!digest || !size || !path.starts_with('/') || path.find('\r') != std::string_view::npos) {
      throw Refused(where + ": not \"<sha-256> <size> <path>\"");
    }
    if (!manifest.entries_.emplace(path, ManifestEntry{*size, *digest}).second) {
      throw Refused(where + ": " + std::string(path) + " is listed twice");
    }
  }
  return manifest;
}

const ManifestEntry* ReleaseManifest::Find(std::string_view server_path) const {
  const auto found = entries_.find(server_path);
  return found == entries_.end() ? nullptr : &found->second;
}

std::optional<P256PublicKey> P256KeyFromBase64(std::string_view spki_base64) {
  const std::optional<std::vector<std::uint8_t>> der = FromBase64(spki_base64);
  constexpr std::size_t kPrefix = sizeof(kP256SpkiPrefix);
  P256PublicKey key;
  if (!der || der->size() != kPrefix + key.size() ||
      !std::equal(kP256SpkiPrefix, kP256SpkiPrefix + kPrefix, der->begin())) {
    return std::nullopt;
  }
  std::copy(der->begin() + kPrefix, der->end(), key.begin());
  return key;
}

std::optional<P256Signature> P256SignatureFromDer(std::span<const std::byte> der) {
  if (der.size() < 2 || der[0] != std::byte{0x30} ||
      std::to_integer<std::size_t>(der[1]) != der.size() - 2) {
    return std::nullopt;
  }
  P256Signature signature;
  std::size_t at = 2;
  if (!ReadInteger(der, at, signature.data()) || !ReadInteger(der, at, signature.data() + 32) ||
      at != der.size()) {
    return std::nullopt;
  }
  return signature;
}

ReleaseManifest FetchSignedManifest(TransferControl& inet1, EventPump& pump, Crypto& crypto,
                                    const P256PublicKey& key, std::string_view origin,
                                    std::string_view request_headers) {
  const std::string manifest_address = std::string(origin) + std::string(kManifestPath);
  const std::string signature_address = std::string(origin) + std::string(kManifestSignaturePath);
  const Fetched manifest = Fetch(inet1, pump, manifest_address, request_headers, kManifestLimit);
  ExpectFound(manifest, manifest_address, "the manifest");
  const Fetched signature = Fetch(inet1, pump, signature_address, request_headers, kSignatureLimit);
  ExpectFound(signature, signature_address, "its signature");

  const std::optional<P256Signature> rs =
      P256SignatureFromDer(std::as_bytes(std::span(signature.body)));
  if (!rs) {
    throw Refused("The signed manifest's signature is bad: " + signature_address +
                  " is not a DER-encoded ECDSA signature");
  }
  if (!crypto.VerifyP256(key, std::as_bytes(std::span(manifest.body)), *rs)) {
    throw Refused("The signed manifest's signature is bad: " + manifest_address +
                  " was not signed with this program's release key, or was changed after signing");
  }
  return ReleaseManifest::Parse(manifest.body);
}

}  // namespace kw
