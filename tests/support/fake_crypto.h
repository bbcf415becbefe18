#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "platform/crypto.h"

namespace kw::testing {

// Crypto for the core's tests, which link no system library: a digest that any change of the
// bytes changes (not SHA-256), and "signatures" that are that digest of the key and the message.
// The real libraries are proved by the Crypto contract suite.
class FakeCrypto final : public Crypto {
 public:
  static Sha256Digest Digest(std::string_view bytes);
  static P256Signature Sign(const P256PublicKey& key, std::string_view message);

  std::unique_ptr<Sha256> NewSha256() override;
  bool VerifyP256(const P256PublicKey& key, std::span<const std::byte> message,
                  const P256Signature& signature) override;
};

// The DER form of a signature, as a release's signature file holds it.
std::string DerSignature(const P256Signature& signature);

// A manifest line: "<hex digest> <size> <path>\n".
std::string ManifestLine(std::string_view server_path, std::string_view content);

// The signed text of a manifest: its header, then `files` (ManifestLines).
struct ManifestText {
  std::uint64_t sequence = 17;
  std::string version = "2.50";
  std::string expires = "2027-06-06T12:00:00Z";
  std::string release = "/releases/2.50";
  std::string files = "";

  std::string Text() const;
};

// A manifest file as a server serves it: `signed_text`, then a signature line by each key.
std::string SignedManifest(std::string_view signed_text, std::span<const P256PublicKey> keys);
std::string Base64(std::string_view bytes);

}  // namespace kw::testing
