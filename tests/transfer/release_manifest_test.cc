#include "transfer/release_manifest.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "support/failure_of.h"

namespace kw {
namespace {

using testing::FailureOf;
using ::testing::HasSubstr;

constexpr const char* kDigest = "00112233445566778899aabbccddeeff00112233445566778899AABBCCDDEEFF";

std::span<const std::byte> Bytes(const std::string& text) { return std::as_bytes(std::span(text)); }

TEST(ReleaseManifestTest, ListsSizeAndDigestByTheExactServerPath) {
  const ReleaseManifest manifest = ReleaseManifest::Parse(
      std::string(kDigest) + " 2500 /tavkorea/data/지역01.Tx$\n" + kDigest + " 0 /tavkorea/ \n");
  const ManifestEntry* entry = manifest.Find("/tavkorea/data/지역01.Tx$");
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->size, 2500u);
  EXPECT_EQ(entry->sha256[0], 0x00);
  EXPECT_EQ(entry->sha256[31], 0xFF);
  EXPECT_NE(manifest.Find("/tavkorea/ "), nullptr) << "a blank is part of a name";
  EXPECT_EQ(manifest.Find("/tavkorea/data/지역01.tx$"), nullptr);
  EXPECT_EQ(manifest.Find("/tavkorea/"), nullptr);
}

TEST(ReleaseManifestTest, RefusesEveryLineThatIsNotDigestSizePath) {
  const std::string digest = kDigest;
  for (const std::string& text :
       {digest + " 1 /a",                                            // no line feed
        digest + " /a\n",                                            // no size
        digest.substr(2) + " 1 /a\n",                                // short digest
        "zz" + digest.substr(2) + " 1 /a\n",                         // not hex
        digest + " -1 /a\n", digest + " 99999999999999999999 /a\n",  // size
        digest + " 1 a\n", digest + " 1 /a\r\n",                     // not a server path
        digest + " 1 /a\n" + digest + " 2 /a\n"}) {                  // listed twice
    SCOPED_TRACE(text);
    const Failure failure = FailureOf([&] { ReleaseManifest::Parse(text); });
    EXPECT_EQ(failure.number(), error::kManifestRefused);
    EXPECT_THAT(failure.description(), HasSubstr("The signed manifest is malformed at line"));
  }
}

TEST(ReleaseManifestTest, TakesTheKeyOfAP256PemAndNoOther) {
  // `openssl ecparam -name prime256v1 -genkey | openssl ec -pubout`
  const std::optional<P256PublicKey> key = P256KeyFromBase64(
      "MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAElDb8zVu+Hy8iWTMvBIOuLeOY5SsOzSXWOrNWUydXYroy01lw"
      "WT/qzGqof0wqtuoyL4BzJsZQuvhJEKxz5jQbcQ==");
  ASSERT_TRUE(key);
  EXPECT_EQ((*key)[0], 0x94);
  EXPECT_EQ((*key)[63], 0x71);
  // A P-384 key, and text that is not base64.
  EXPECT_FALSE(P256KeyFromBase64(
      "MHYwEAYHKoZIzj0CAQYFK4EEACIDYgAEexbv3oRSCLytii5FJk4OtxEUcPvMRAiYI6Br3RbLnEk76dx3RvH3HZw5"
      "vLvD8x0d1V1UTHXjPHMWPgBAqBcLsgazN06IoKH2Ne04xq6fiLyKBcPHHV8ugFVRsj3V+0+N"));
  EXPECT_FALSE(P256KeyFromBase64("not a key"));
}

TEST(ReleaseManifestTest, ReadsRAndSOfADerSignature) {
  // r with a leading zero (its top bit set), s short of 32 bytes.
  std::string der = "\x30\x27\x02\x21";
  der += '\0';
  der += std::string(32, '\x80');
  der += "\x02\x02\x01\x02";
  const std::optional<P256Signature> signature = P256SignatureFromDer(Bytes(der));
  ASSERT_TRUE(signature);
  EXPECT_EQ((*signature)[0], 0x80);
  EXPECT_EQ((*signature)[32], 0x00);
  EXPECT_EQ((*signature)[62], 0x01);
  EXPECT_EQ((*signature)[63], 0x02);

  std::string trailing = der;
  trailing[1] = static_cast<char>(trailing[1] + 1);
  trailing += '\0';
  std::string negative = "\x30\x06\x02\x01\x80\x02\x01\x01";
  std::string too_long = "\x30\x26\x02\x21\x01" + std::string(32, '\x01') + "\x02\x01\x01";
  for (const std::string& bad : {trailing, negative, too_long, std::string("\x30\x00", 2)}) {
    EXPECT_FALSE(P256SignatureFromDer(Bytes(bad)));
  }
}

}  // namespace
}  // namespace kw
