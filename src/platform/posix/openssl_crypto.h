#pragma once

#include "platform/crypto.h"

namespace kw {

// Crypto on OpenSSL's libcrypto (the EVP interfaces of OpenSSL 3), the library the system's
// libcurl already links.
class OpenSslCrypto final : public Crypto {
 public:
  std::unique_ptr<Sha256> NewSha256() override;
  bool VerifyP256(const P256PublicKey& key, std::span<const std::byte> message,
                  const P256Signature& signature) override;
};

}  // namespace kw
