#include "platform/win32/cng_crypto.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/failure.h"
#include "platform/unique_handle.h"

namespace kw {

namespace {

// Not in every SDK's headers: a signature that does not verify.
constexpr NTSTATUS kInvalidSignature = static_cast<NTSTATUS>(0xC000A000L);

struct HashTraits {
  using Handle = BCRYPT_HASH_HANDLE;
  static constexpr Handle Invalid() { return nullptr; }
  static void Close(Handle handle) { ::BCryptDestroyHash(handle); }
};
struct KeyTraits {
  using Handle = BCRYPT_KEY_HANDLE;
  static constexpr Handle Invalid() { return nullptr; }
  static void Close(Handle handle) { ::BCryptDestroyKey(handle); }
};

[[noreturn]] void Fail(const char* what, NTSTATUS status) {
  char number[16];
  std::snprintf(number, sizeof(number), "0x%08lX", static_cast<unsigned long>(status));
  throw Failure(error::kInternal,
                std::string("CNG could not ") + what + " (status " + number + ")");
}

class CngSha256 final : public Sha256 {
 public:
  explicit CngSha256(BCRYPT_ALG_HANDLE algorithm) {
    BCRYPT_HASH_HANDLE hash = nullptr;
    // Windows 7 and later keep the hash object themselves.
    const NTSTATUS status = ::BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0);
    if (!BCRYPT_SUCCESS(status)) Fail("start a SHA-256", status);
    hash_.Reset(hash);
  }

  void Update(std::span<const std::byte> bytes) override {
    // BCryptHashData takes a non-const pointer but does not write through it.
    auto* data = reinterpret_cast<PUCHAR>(const_cast<std::byte*>(bytes.data()));
    const NTSTATUS status =
        ::BCryptHashData(hash_.get(), data, static_cast<ULONG>(bytes.size()), 0);
    if (!BCRYPT_SUCCESS(status)) Fail("hash", status);
  }

  Sha256Digest Finish() override {
    Sha256Digest digest;
    const NTSTATUS status =
        ::BCryptFinishHash(hash_.get(), digest.data(), static_cast<ULONG>(digest.size()), 0);
    if (!BCRYPT_SUCCESS(status)) Fail("finish a SHA-256", status);
    return digest;
  }

 private:
  UniqueHandle<HashTraits> hash_;
};

}  // namespace

CngCrypto::CngCrypto() {
  NTSTATUS status = ::BCryptOpenAlgorithmProvider(&sha256_, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
  if (!BCRYPT_SUCCESS(status)) Fail("open SHA-256", status);
  status = ::BCryptOpenAlgorithmProvider(&ecdsa_, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0);
  if (!BCRYPT_SUCCESS(status)) {
    ::BCryptCloseAlgorithmProvider(sha256_, 0);
    Fail("open ECDSA P-256", status);
  }
}

CngCrypto::~CngCrypto() {
  ::BCryptCloseAlgorithmProvider(ecdsa_, 0);
  ::BCryptCloseAlgorithmProvider(sha256_, 0);
}

std::unique_ptr<Sha256> CngCrypto::NewSha256() { return std::make_unique<CngSha256>(sha256_); }

bool CngCrypto::VerifyP256(const P256PublicKey& key, std::span<const std::byte> message,
                           const P256Signature& signature) {
  std::vector<UCHAR> blob(sizeof(BCRYPT_ECCKEY_BLOB) + key.size());
  const BCRYPT_ECCKEY_BLOB header{BCRYPT_ECDSA_PUBLIC_P256_MAGIC, 32};
  std::memcpy(blob.data(), &header, sizeof(header));
  std::copy(key.begin(), key.end(), blob.begin() + sizeof(header));
  BCRYPT_KEY_HANDLE imported = nullptr;
  // A point off the curve is refused here: a key nothing verifies with.
  if (!BCRYPT_SUCCESS(::BCryptImportKeyPair(ecdsa_, nullptr, BCRYPT_ECCPUBLIC_BLOB, &imported,
                                            blob.data(), static_cast<ULONG>(blob.size()), 0))) {
    return false;
  }
  const UniqueHandle<KeyTraits> public_key(imported);

  CngSha256 hash(sha256_);
  hash.Update(message);
  Sha256Digest digest = hash.Finish();
  P256Signature rs = signature;
  const NTSTATUS status = ::BCryptVerifySignature(public_key.get(), nullptr, digest.data(),
                                                  static_cast<ULONG>(digest.size()), rs.data(),
                                                  static_cast<ULONG>(rs.size()), 0);
  if (BCRYPT_SUCCESS(status)) return true;
  // Out-of-range r or s come back as an invalid parameter rather than a bad signature.
  if (status == kInvalidSignature || status == static_cast<NTSTATUS>(0xC000000DL)) return false;
  Fail("verify a signature", status);
}

}  // namespace kw
