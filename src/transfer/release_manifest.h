#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/crypto.h"
#include "transfer/download_file.h"
#include "transfer/transfer_control.h"

namespace kw {

// A release's signed manifest: what the publisher signed of every file on the update server.
// One line per file, each ending in LF:
//
//   <SHA-256, 64 lower- or upper-case hex digits> <size in bytes> <server path>
//
// The server path is the file's path on the server as UTF-8, not percent-encoded
// ("/jdatas3/KW.exe", "/tavkorea/data/지역01.Tx$"); it runs to the end of the line, blanks
// included. The signature, in a file of its own, is ECDSA P-256 over SHA-256 of the manifest's
// bytes, DER-encoded as `openssl dgst -sha256 -sign` writes it.
inline constexpr std::string_view kManifestPath = "/kw_update.manifest";
inline constexpr std::string_view kManifestSignaturePath = "/kw_update.manifest.sig";

struct ManifestEntry {
  std::uint64_t size = 0;
  Sha256Digest sha256{};
};

class ReleaseManifest {
 public:
  // Raises error::kManifestRefused naming the first line that is not as above, or a path listed
  // twice.
  static ReleaseManifest Parse(std::string_view text);

  // The entry of `server_path`, compared exactly; nullptr when the manifest does not list it.
  const ManifestEntry* Find(std::string_view server_path) const;

 private:
  std::map<std::string, ManifestEntry, std::less<>> entries_;
};

// The key a build compiled in: the base64 body of its PEM "PUBLIC KEY" (a SubjectPublicKeyInfo).
// nullopt unless it is an uncompressed ECDSA P-256 key.
std::optional<P256PublicKey> P256KeyFromBase64(std::string_view spki_base64);

// r and s of a DER-encoded ECDSA signature (SEQUENCE of two INTEGERs); nullopt when it is not
// one, or either number does not fit 32 bytes.
std::optional<P256Signature> P256SignatureFromDer(std::span<const std::byte> der);

// Fetches `origin` + kManifestPath and its signature through `inet1` (set up and idle), checks
// the signature against `key` and parses the manifest. Raises error::kManifestRefused with a
// description that says which: "The signed manifest is missing..." (either file answered 404 or
// 410), "The signed manifest's signature is bad..." (not an ECDSA signature, or not made with
// the key), "The signed manifest is malformed..."; another failure of the transfer passes on as
// it is. Nothing is written to disk.
ReleaseManifest FetchSignedManifest(TransferControl& inet1, EventPump& pump, Crypto& crypto,
                                    const P256PublicKey& key, std::string_view origin,
                                    std::string_view request_headers);

}  // namespace kw
