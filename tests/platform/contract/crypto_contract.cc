#include "platform/contract/crypto_contract.h"

#include <string>
#include <string_view>

namespace kw::testing {
namespace {

std::string Hex(const Sha256Digest& digest) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  for (const std::uint8_t byte : digest) {
    text += kHex[byte >> 4];
    text += kHex[byte & 15];
  }
  return text;
}

template <std::size_t N>
std::array<std::uint8_t, N> FromHex(std::string_view hex) {
  std::array<std::uint8_t, N> bytes{};
  for (std::size_t i = 0; i < N; ++i) {
    bytes[i] = static_cast<std::uint8_t>(std::stoi(std::string(hex.substr(2 * i, 2)), nullptr, 16));
  }
  return bytes;
}

std::span<const std::byte> Bytes(std::string_view text) {
  return std::as_bytes(std::span(text.data(), text.size()));
}

TEST_P(CryptoContract, Sha256OfBytesGivenInPiecesIsTheStandardOne) {
  const std::string million(1'000'000, 'a');
  const struct {
    std::string text;
    std::size_t piece;
    std::string digest;
  } cases[] = {
      {"", 1, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", 1, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      // Pieces that straddle the 64-byte blocks, as 1024-byte chunks and short last ones do.
      {million, 1000, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
      {million, 1024, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 8) + " in pieces of " + std::to_string(c.piece));
    const std::unique_ptr<Sha256> hash = crypto().NewSha256();
    for (std::size_t at = 0; at < c.text.size(); at += c.piece) {
      hash->Update(Bytes(std::string_view(c.text).substr(at, c.piece)));
    }
    EXPECT_EQ(Hex(hash->Finish()), c.digest);
  }
}

TEST_P(CryptoContract, AP256SignatureVerifiesForItsKeyAndMessageOnly) {
  // Made with `openssl dgst -sha256 -sign` (its DER taken apart into r and s).
  const auto key = FromHex<64>(
      "b72d3e7124bf900d2a6bc55e3874956b940a151ea08065b01ab2f0272190c29e"
      "32361515746efa2f214214e17812b540f79f623adc52fed6edc1920a918d3d4b");
  const auto signature = FromHex<64>(
      "c6a8128d07b6750fe19ecf8f1d69ddad512e8f64f375d2de4876a44ba4d168bb"
      "a2544533ea6cf1fbec75c3bff4ee38a3a9a9f411e125bb91af8c9cf244d906e9");
  const std::string message = "the manifest of a release\n";
  EXPECT_TRUE(crypto().VerifyP256(key, Bytes(message), signature));

  std::string changed = message;
  changed[4] = 'M';
  EXPECT_FALSE(crypto().VerifyP256(key, Bytes(changed), signature));
  P256Signature flipped = signature;
  flipped[40] ^= 1;
  EXPECT_FALSE(crypto().VerifyP256(key, Bytes(message), flipped));
  // Another point: off the curve, and so no key at all.
  P256PublicKey other = key;
  other[63] ^= 1;
  EXPECT_FALSE(crypto().VerifyP256(other, Bytes(message), signature));
  // r = 0 and s = the group's order are out of range.
  P256Signature zero_r = signature;
  std::fill(zero_r.begin(), zero_r.begin() + 32, 0);
  EXPECT_FALSE(crypto().VerifyP256(key, Bytes(message), zero_r));
  P256Signature order_s = signature;
  const auto order =
      FromHex<32>("ffffffff00000000ffffffffffffffffbce6faada7179e84f3b9cac2fc632551");
  std::copy(order.begin(), order.end(), order_s.begin() + 32);
  EXPECT_FALSE(crypto().VerifyP256(key, Bytes(message), order_s));
}

}  // namespace
}  // namespace kw::testing
