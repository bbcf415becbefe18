#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace kw {

// The cryptography a signed release needs, from the system's own library: libcrypto on POSIX,
// CNG (BCrypt) on Windows. Both are fast where it matters (SHA-256 of every downloaded byte) and
// both are kept up to date by the system, not by this program.

using Sha256Digest = std::array<std::uint8_t, 32>;

// A public key of ECDSA on the curve P-256, as its point: x, then y, 32 bytes each, big-endian.
using P256PublicKey = std::array<std::uint8_t, 64>;
// An ECDSA P-256 signature: r, then s, 32 bytes each, big-endian.
using P256Signature = std::array<std::uint8_t, 64>;

// SHA-256 of bytes given in pieces, as they arrive.
class Sha256 {
 public:
  virtual ~Sha256() = default;
  virtual void Update(std::span<const std::byte> bytes) = 0;
  // The digest of every byte given so far. Call it once; the object is spent afterwards.
  virtual Sha256Digest Finish() = 0;
};

class Crypto {
 public:
  virtual ~Crypto() = default;

  // A fresh hash. Raises a Failure (error::kInternal) when the library cannot make one.
  virtual std::unique_ptr<Sha256> NewSha256() = 0;

  // Whether `signature` is an ECDSA P-256 signature of SHA-256(`message`) made with the private
  // half of `key`. False, not a failure, for a key that is not a point of the curve and for a
  // signature out of range. Raises a Failure (error::kInternal) only when the library fails.
  virtual bool VerifyP256(const P256PublicKey& key, std::span<const std::byte> message,
                          const P256Signature& signature) = 0;
};

}  // namespace kw
