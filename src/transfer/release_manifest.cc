#include "transfer/release_manifest.h"

#include <algorithm>
#include <limits>
#include <vector>

#include "platform/failure.h"

namespace kw {

namespace {

// Far above any release's manifest (a line per file, a few signatures); a server that sends more
// is not serving one.
constexpr std::size_t kManifestLimit = 4 * 1024 * 1024;

constexpr std::string_view kFormatLine = "KW_Update manifest 2";
constexpr std::string_view kSignaturePrefix = "signature ";

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

// A decimal number of at most `max`, without a sign or a leading zero (except "0" itself).
std::optional<std::uint64_t> Decimal(std::string_view text, std::uint64_t max) {
  if (text.empty() || text.size() > 20 || (text.size() > 1 && text[0] == '0')) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (max - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

// "YYYY-MM-DDTHH:MM:SSZ", a real date and time.
std::optional<Clock::UtcTime> UtcFromText(std::string_view text) {
  using namespace std::chrono;
  constexpr std::string_view kForm = "dddd-dd-ddTdd:dd:ddZ";
  if (text.size() != kForm.size()) return std::nullopt;
  for (std::size_t i = 0; i < kForm.size(); ++i) {
    const bool digit = text[i] >= '0' && text[i] <= '9';
    if (kForm[i] == 'd' ? !digit : text[i] != kForm[i]) return std::nullopt;
  }
  const auto number = [&](std::size_t at, std::size_t length) {
    unsigned value = 0;
    for (std::size_t i = at; i < at + length; ++i) value = value * 10 + unsigned(text[i] - '0');
    return value;
  };
  const year_month_day date{year(static_cast<int>(number(0, 4))), month(number(5, 2)),
                            day(number(8, 2))};
  const unsigned hour = number(11, 2), minute = number(14, 2), second = number(17, 2);
  if (!date.ok() || hour > 23 || minute > 59 || second > 59) return std::nullopt;
  return Clock::UtcTime(sys_days(date) + hours(hour) + minutes(minute) + seconds(second));
}

// A release folder's server path: "/" and components, none empty, "." or "..", no "/" at the
// end.
bool IsFolderPath(std::string_view path) {
  if (path.size() < 2 || path[0] != '/' || path.back() == '/') return false;
  for (std::size_t at = 1; at <= path.size();) {
    std::size_t end = path.find('/', at);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view component = path.substr(at, end - at);
    if (component.empty() || component == "." || component == "..") return false;
    at = end + 1;
  }
  return true;
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

// A manifest file split into its signed text and the base64 of its signatures.
struct SignedFile {
  std::string_view signed_text;
  std::vector<std::string_view> signatures;
};

SignedFile SplitSignatures(std::string_view file) {
  SignedFile split;
  std::size_t at =
      file.starts_with(kSignaturePrefix) ? 0 : file.find("\n" + std::string(kSignaturePrefix));
  if (at == std::string_view::npos)
    throw Refused("The signed manifest is malformed: it is not signed");
  if (at > 0) ++at;
  split.signed_text = file.substr(0, at);
  if (split.signed_text.empty()) {
    throw Refused("The signed manifest is malformed: it has signatures but nothing signed");
  }
  for (std::string_view rest = file.substr(at); !rest.empty();) {
    const std::size_t end = rest.find('\n');
    const std::string_view line = rest.substr(0, end);
    if (end == std::string_view::npos || !line.starts_with(kSignaturePrefix) ||
        line.size() == kSignaturePrefix.size()) {
      throw Refused(
          "The signed manifest is malformed: after its first signature it holds a line "
          "that is not a signature");
    }
    split.signatures.push_back(line.substr(kSignaturePrefix.size()));
    rest.remove_prefix(end + 1);
  }
  return split;
}

bool SignedWithOneOf(const SignedFile& file, std::span<const P256PublicKey> keys, Crypto& crypto) {
  const auto message = std::as_bytes(std::span(file.signed_text));
  for (const std::string_view base64 : file.signatures) {
    // A signature of a kind this program cannot read may be another key's: the others count.
    const std::optional<std::vector<std::uint8_t>> der = FromBase64(base64);
    if (!der) continue;
    const std::optional<P256Signature> signature =
        P256SignatureFromDer(std::as_bytes(std::span(*der)));
    if (!signature) continue;
    for (const P256PublicKey& key : keys) {
      if (crypto.VerifyP256(key, message, *signature)) return true;
    }
  }
  return false;
}

std::string Described(const ReleaseManifest& manifest) {
  return "sequence " + std::to_string(manifest.sequence()) + " (version " + manifest.version() +
         ")";
}

}  // namespace

ReleaseManifest ReleaseManifest::Parse(std::string_view signed_text) {
  ReleaseManifest manifest;
  manifest.signed_text_ = std::string(signed_text);
  std::string_view text = signed_text;
  int number = 0;
  while (!text.empty()) {
    ++number;
    const std::size_t end = text.find('\n');
    const std::string where = "The signed manifest is malformed at line " + std::to_string(number);
    if (end == std::string_view::npos) throw Refused(where + ": it does not end in a line feed");
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(end + 1);
    // A manifest edited into CR LF lines would carry a CR into every value.
    if (line.find('\r') != std::string_view::npos) throw Refused(where + ": it holds a CR");
    const auto value = [&](std::string_view key) -> std::string_view {
      if (!line.starts_with(key) || line.size() <= key.size() + 1 || line[key.size()] != ' ') {
        throw Refused(where + ": not \"" + std::string(key) + " ...\"");
      }
      return line.substr(key.size() + 1);
    };
    switch (number) {
      case 1:
        if (line != kFormatLine)
          throw Refused(where + ": not \"" + std::string(kFormatLine) + "\"");
        continue;
      case 2: {
        const std::optional<std::uint64_t> sequence =
            Decimal(value("sequence"), std::numeric_limits<std::int64_t>::max());
        if (!sequence || *sequence == 0) throw Refused(where + ": not a sequence number");
        manifest.sequence_ = *sequence;
        continue;
      }
      case 3:
        manifest.version_ = std::string(value("version"));
        continue;
      case 4: {
        const std::optional<Clock::UtcTime> expires = UtcFromText(value("expires"));
        if (!expires) throw Refused(where + ": not a time as 2027-06-06T12:00:00Z");
        manifest.expires_ = *expires;
        continue;
      }
      case 5:
        manifest.release_folder_ = std::string(value("release"));
        if (!IsFolderPath(manifest.release_folder_)) {
          throw Refused(where + ": not a folder's path on the server");
        }
        continue;
      default:
        break;
    }
    const std::size_t first = line.find(' ');
    const std::size_t second = first == std::string_view::npos ? first : line.find(' ', first + 1);
    if (second == std::string_view::npos) {
      throw Refused(where + ": not \"<sha-256> <size> <path>\"");
    }
    const std::optional<Sha256Digest> digest = DigestFromHex(line.substr(0, first));
    const std::optional<std::uint64_t> size = Decimal(line.substr(first + 1, second - first - 1),
                                                      std::numeric_limits<std::int64_t>::max());
    const std::string_view path = line.substr(second + 1);
    if (!digest || !size || !path.starts_with('/')) {
      throw Refused(where + ": not \"<sha-256> <size> <path>\"");
    }
    if (!manifest.entries_.emplace(path, ManifestEntry{*size, *digest}).second) {
      throw Refused(where + ": " + std::string(path) + " is listed twice");
    }
  }
  if (number < 5) {
    throw Refused("The signed manifest is malformed: it ends after " + std::to_string(number) +
                  " lines, before its release folder");
  }
  return manifest;
}

const ManifestEntry* ReleaseManifest::Find(std::string_view server_path) const {
  if (!server_path.starts_with(release_folder_)) return nullptr;
  const auto found = entries_.find(server_path.substr(release_folder_.size()));
  return found == entries_.end() ? nullptr : &found->second;
}

ReleaseManifest AcceptSignedManifest(std::string_view file, std::span<const P256PublicKey> keys,
                                     Crypto& crypto,
                                     const std::optional<ReleaseManifest>& last_accepted,
                                     Clock::UtcTime now) {
  const SignedFile split = SplitSignatures(file);
  if (!SignedWithOneOf(split, keys, crypto)) {
    throw Refused("The signed manifest's signature is bad: none of its " +
                  std::to_string(split.signatures.size()) + " signature(s) was made with " +
                  (keys.size() == 1
                       ? std::string("this program's release key")
                       : "one of this program's " + std::to_string(keys.size()) + " release keys") +
                  ", or the manifest was changed after signing");
  }
  ReleaseManifest manifest = ReleaseManifest::Parse(split.signed_text);
  if (now > manifest.expires() + kExpiryAllowance) {
    throw Refused("The signed manifest has expired: " + Described(manifest) + " expired on " +
                  UtcText(manifest.expires()) + ", and this PC's date is " + UtcText(now) +
                  ". The update server may be holding updates back; if this PC's date is "
                  "wrong, correct it");
  }
  if (last_accepted && manifest.sequence() < last_accepted->sequence()) {
    throw Refused("The signed manifest is older than the one this PC accepted before: " +
                  Described(manifest) + ", after " + Described(*last_accepted) +
                  ". The update server may be serving an old release");
  }
  if (last_accepted && manifest.sequence() == last_accepted->sequence() &&
      manifest.signed_text() != last_accepted->signed_text()) {
    throw Refused(
        "The signed manifest differs from the one this PC accepted before under the "
        "same sequence " +
        std::to_string(manifest.sequence()) + ": version " + manifest.version() + " now, version " +
        last_accepted->version() + " then");
  }
  return manifest;
}

std::string FetchManifestFile(TransferControl& inet1, EventPump& pump, std::string_view origin,
                              std::string_view request_headers) {
  const std::string address = std::string(origin) + std::string(kManifestPath);
  inet1.SetURL(address);
  inet1.Execute("GET", request_headers);
  WaitWhileExecuting(inet1, pump);
  // GetHeader raises the failure of a request that went wrong in the background.
  inet1.GetHeader("Content-length");
  const std::int32_t status = inet1.ResponseCode();
  if (status < 200 || status > 299) {
    // Its body is an error page: not read.
    const std::string answer = std::to_string(status) + " " + inet1.ResponseInfo();
    inet1.Cancel();
    throw Refused((status == 404 || status == 410 ? "The signed manifest is missing"
                                                  : "The signed manifest could not be fetched") +
                  std::string(": the server answered ") + answer + " for " + address);
  }
  std::string body;
  for (;;) {
    const std::vector<std::byte> chunk = inet1.GetChunk(1024);
    if (chunk.empty()) return body;
    if (body.size() + chunk.size() > kManifestLimit) {
      inet1.Cancel();
      throw Refused("The signed manifest is malformed: " + address + " is larger than " +
                    std::to_string(kManifestLimit) + " bytes");
    }
    body.append(reinterpret_cast<const char*>(chunk.data()), chunk.size());
  }
}

std::optional<ReleaseManifest> ReadManifestRecord(FileSystem& files, std::string_view path) {
  try {
    const std::unique_ptr<ReadableFile> file = files.OpenForReading(path);
    if (file->Size() > kManifestLimit) return std::nullopt;
    std::string text(static_cast<std::size_t>(file->Size()), '\0');
    std::size_t got = 0;
    while (got < text.size()) {
      const std::size_t read = file->Read(std::as_writable_bytes(std::span(text)).subspan(got));
      if (read == 0) return std::nullopt;
      got += read;
    }
    return ReleaseManifest::Parse(text);
  } catch (const Failure&) {
    return std::nullopt;
  }
}

void WriteManifestRecord(FileSystem& files, std::string_view path,
                         const ReleaseManifest& manifest) {
  const std::string beside = std::string(path) + ".new";
  const std::unique_ptr<WritableFile> file = files.OpenForWriting(beside);
  file->Append(std::as_bytes(std::span(manifest.signed_text())));
  file->Sync();
  file->Close();
  files.RenameFile(beside, path);
}

std::optional<std::vector<P256PublicKey>> P256KeysFromBase64(std::string_view spki_base64_list) {
  std::vector<P256PublicKey> keys;
  constexpr std::size_t kPrefix = sizeof(kP256SpkiPrefix);
  for (std::size_t at = 0; at <= spki_base64_list.size();) {
    std::size_t end = spki_base64_list.find(',', at);
    if (end == std::string_view::npos) end = spki_base64_list.size();
    const std::optional<std::vector<std::uint8_t>> der =
        FromBase64(spki_base64_list.substr(at, end - at));
    P256PublicKey key;
    if (!der || der->size() != kPrefix + key.size() ||
        !std::equal(kP256SpkiPrefix, kP256SpkiPrefix + kPrefix, der->begin())) {
      return std::nullopt;
    }
    std::copy(der->begin() + kPrefix, der->end(), key.begin());
    keys.push_back(key);
    at = end + 1;
  }
  return keys;
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

std::string Sha256Hex(const Sha256Digest& digest) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (const std::uint8_t byte : digest) {
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 15];
  }
  return hex;
}

}  // namespace kw
