#pragma once

#include "platform/crypto.h"
#include "platform/win32/windows_api.h"
// After <windows.h>, which it needs.
#include <bcrypt.h>

namespace kw {

// Crypto on Windows' CNG (BCrypt), there since Vista: SHA-256 and ECDSA P-256 with no library
// of the program's own.
class CngCrypto final : public Crypto {
 public:
  // Fails with error::kInternal when CNG lacks either algorithm.
  CngCrypto();
  ~CngCrypto() override;
  CngCrypto(const CngCrypto&) = delete;
  CngCrypto& operator=(const CngCrypto&) = delete;

  std::unique_ptr<Sha256> NewSha256() override;
  bool VerifyP256(const P256PublicKey& key, std::span<const std::byte> message,
                  const P256Signature& signature) override;

 private:
  BCRYPT_ALG_HANDLE sha256_ = nullptr;
  BCRYPT_ALG_HANDLE ecdsa_ = nullptr;
};

}  // namespace kw
