#include "support/fake_crypto.h"

#include <algorithm>
#include <cstdint>

#include "transfer/release_manifest.h"

namespace kw::testing {

namespace {

class FakeSha256 final : public Sha256 {
 public:
  void Update(std::span<const std::byte> bytes) override {
    data_.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  }
  Sha256Digest Finish() override { return FakeCrypto::Digest(data_); }

 private:
  std::string data_;
};

// 32 bytes of FNV-1a over the bytes, four lanes seeded apart.
Sha256Digest Fnv(std::string_view bytes) {
  Sha256Digest digest{};
  for (std::size_t lane = 0; lane < 4; ++lane) {
    std::uint64_t hash = 0xcbf29ce484222325ULL + lane;
    for (const char c : bytes) hash = (hash ^ static_cast<std::uint8_t>(c)) * 0x100000001b3ULL;
    for (std::size_t i = 0; i < 8; ++i)
      digest[lane * 8 + i] = static_cast<std::uint8_t>(hash >> (8 * i));
  }
  return digest;
}

}  // namespace

Sha256Digest FakeCrypto::Digest(std::string_view bytes) { return Fnv(bytes); }

P256Signature FakeCrypto::Sign(const P256PublicKey& key, std::string_view message) {
  const Sha256Digest digest = Fnv(
      std::string(reinterpret_cast<const char*>(key.data()), key.size()) + std::string(message));
  P256Signature signature;
  for (std::size_t i = 0; i < signature.size(); ++i) signature[i] = digest[i % 32] | 1;
  return signature;
}

std::unique_ptr<Sha256> FakeCrypto::NewSha256() { return std::make_unique<FakeSha256>(); }

bool FakeCrypto::VerifyP256(const P256PublicKey& key, std::span<const std::byte> message,
                            const P256Signature& signature) {
  return signature ==
         Sign(key, std::string_view(reinterpret_cast<const char*>(message.data()), message.size()));
}

std::string DerSignature(const P256Signature& signature) {
  std::string der;
  for (std::size_t half = 0; half < 2; ++half) {
    std::string number(reinterpret_cast<const char*>(signature.data() + 32 * half), 32);
    // A number whose top bit is set needs a zero in front to stay positive.
    if (static_cast<std::uint8_t>(number[0]) & 0x80) number.insert(0, 1, '\0');
    der += '\x02';
    der += static_cast<char>(number.size());
    der += number;
  }
  return std::string("\x30", 1) + static_cast<char>(der.size()) + der;
}

std::string ManifestLine(std::string_view server_path, std::string_view content) {
  return Sha256Hex(FakeCrypto::Digest(content)) + " " + std::to_string(content.size()) + " " +
         std::string(server_path) + "\n";
}

std::string ManifestText::Text() const {
  return "KW_Update manifest 2\nsequence " + std::to_string(sequence) + "\nversion " + version +
         "\nexpires " + expires + "\nrelease " + release + "\n" + files;
}

std::string SignedManifest(std::string_view signed_text, std::span<const P256PublicKey> keys) {
  std::string file(signed_text);
  for (const P256PublicKey& key : keys) {
    file += "signature " + Base64(DerSignature(FakeCrypto::Sign(key, signed_text))) + "\n";
  }
  return file;
}

std::string Base64(std::string_view bytes) {
  static constexpr char kDigits[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text;
  for (std::size_t at = 0; at < bytes.size(); at += 3) {
    std::uint32_t group = static_cast<std::uint8_t>(bytes[at]) << 16;
    if (at + 1 < bytes.size()) group |= static_cast<std::uint8_t>(bytes[at + 1]) << 8;
    if (at + 2 < bytes.size()) group |= static_cast<std::uint8_t>(bytes[at + 2]);
    // n bytes make n + 1 digits, and '=' pads the group to four.
    const std::size_t n = std::min<std::size_t>(3, bytes.size() - at);
    for (std::size_t i = 0; i < 4; ++i)
      text += i <= n ? kDigits[(group >> (18 - 6 * i)) & 63] : '=';
  }
  return text;
}

}  // namespace kw::testing
