#include "platform/posix/openssl_crypto.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

#include <string>

#include "platform/failure.h"
#include "platform/unique_handle.h"

namespace kw {

namespace {

template <typename T, void (*Free)(T*)>
struct OpenSslTraits {
  using Handle = T*;
  static constexpr Handle Invalid() { return nullptr; }
  static void Close(Handle handle) { Free(handle); }
};
using UniqueMdContext = UniqueHandle<OpenSslTraits<EVP_MD_CTX, EVP_MD_CTX_free>>;
using UniqueKey = UniqueHandle<OpenSslTraits<EVP_PKEY, EVP_PKEY_free>>;
using UniqueKeyContext = UniqueHandle<OpenSslTraits<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;
using UniqueParamBuilder = UniqueHandle<OpenSslTraits<OSSL_PARAM_BLD, OSSL_PARAM_BLD_free>>;
using UniqueParams = UniqueHandle<OpenSslTraits<OSSL_PARAM, OSSL_PARAM_free>>;
using UniqueSignature = UniqueHandle<OpenSslTraits<ECDSA_SIG, ECDSA_SIG_free>>;

[[noreturn]] void Fail(const char* what) {
  const unsigned long code = ERR_get_error();
  char detail[256] = "";
  if (code != 0) ERR_error_string_n(code, detail, sizeof(detail));
  ERR_clear_error();
  throw Failure(error::kInternal, std::string("libcrypto could not ") + what +
                                      (detail[0] != '\0' ? std::string(": ") + detail : ""));
}

class OpenSslSha256 final : public Sha256 {
 public:
  OpenSslSha256() : context_(EVP_MD_CTX_new()) {
    if (!context_ || EVP_DigestInit_ex(context_.get(), EVP_sha256(), nullptr) != 1) {
      Fail("start a SHA-256");
    }
  }

  void Update(std::span<const std::byte> bytes) override {
    if (EVP_DigestUpdate(context_.get(), bytes.data(), bytes.size()) != 1) Fail("hash");
  }

  Sha256Digest Finish() override {
    Sha256Digest digest;
    unsigned int size = 0;
    if (EVP_DigestFinal_ex(context_.get(), digest.data(), &size) != 1 || size != digest.size()) {
      Fail("finish a SHA-256");
    }
    return digest;
  }

 private:
  UniqueMdContext context_;
};

// The key as libcrypto holds it; an empty one for a point that is not on the curve.
UniqueKey KeyOf(const P256PublicKey& key) {
  unsigned char point[1 + sizeof(P256PublicKey)];
  point[0] = 0x04;  // uncompressed
  std::copy(key.begin(), key.end(), point + 1);
  UniqueParamBuilder builder(OSSL_PARAM_BLD_new());
  if (!builder ||
      OSSL_PARAM_BLD_push_utf8_string(builder.get(), OSSL_PKEY_PARAM_GROUP_NAME, "prime256v1", 0) !=
          1 ||
      OSSL_PARAM_BLD_push_octet_string(builder.get(), OSSL_PKEY_PARAM_PUB_KEY, point,
                                       sizeof(point)) != 1) {
    Fail("describe a key");
  }
  UniqueParams params(OSSL_PARAM_BLD_to_param(builder.get()));
  UniqueKeyContext context(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
  if (!params || !context || EVP_PKEY_fromdata_init(context.get()) != 1) Fail("make a key");
  EVP_PKEY* made = nullptr;
  // Fails for a point off the curve as well: that is a key nothing verifies with.
  if (EVP_PKEY_fromdata(context.get(), &made, EVP_PKEY_PUBLIC_KEY, params.get()) != 1) {
    ERR_clear_error();
    return UniqueKey();
  }
  UniqueKey made_key(made);
  // fromdata takes any octets; the check proves the point is on the curve.
  UniqueKeyContext check(EVP_PKEY_CTX_new(made, nullptr));
  if (!check) Fail("check a key");
  if (EVP_PKEY_public_check(check.get()) != 1) {
    ERR_clear_error();
    return UniqueKey();
  }
  return made_key;
}

}  // namespace

std::unique_ptr<Sha256> OpenSslCrypto::NewSha256() { return std::make_unique<OpenSslSha256>(); }

bool OpenSslCrypto::VerifyP256(const P256PublicKey& key, std::span<const std::byte> message,
                               const P256Signature& signature) {
  const UniqueKey public_key = KeyOf(key);
  if (!public_key) return false;
  // libcrypto verifies the DER form.
  UniqueSignature sig(ECDSA_SIG_new());
  BIGNUM* r = BN_bin2bn(signature.data(), 32, nullptr);
  BIGNUM* s = BN_bin2bn(signature.data() + 32, 32, nullptr);
  if (!sig || !r || !s || ECDSA_SIG_set0(sig.get(), r, s) != 1) {
    BN_free(r);
    BN_free(s);
    Fail("hold a signature");
  }
  unsigned char* der = nullptr;
  const int der_size = i2d_ECDSA_SIG(sig.get(), &der);
  if (der_size <= 0) Fail("encode a signature");
  UniqueMdContext context(EVP_MD_CTX_new());
  int verified = -1;
  if (context &&
      EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, public_key.get()) == 1) {
    verified =
        EVP_DigestVerify(context.get(), der, static_cast<std::size_t>(der_size),
                         reinterpret_cast<const unsigned char*>(message.data()), message.size());
  }
  OPENSSL_free(der);
  // 0 is a signature that does not verify; a negative result is a malformed one (r or s out of
  // range) or a failure of the library, which for a well-formed key is the former.
  ERR_clear_error();
  if (!context) Fail("start a verification");
  return verified == 1;
}

}  // namespace kw
