#include "transfer/release_manifest.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/failure_of.h"
#include "support/fake_crypto.h"
#include "support/memory_file_system.h"

namespace kw {
namespace {

using testing::FailureOf;
using testing::FakeCrypto;
using ::testing::HasSubstr;
using testing::ManifestLine;
using testing::ManifestText;
using testing::SignedManifest;

constexpr const char* kDigest = "00112233445566778899aabbccddeeff00112233445566778899AABBCCDDEEFF";

std::span<const std::byte> Bytes(const std::string& text) { return std::as_bytes(std::span(text)); }

Clock::UtcTime Utc(const std::string& text) {
  return ReleaseManifest::Parse(ManifestText{.expires = text}.Text()).expires();
}

TEST(ReleaseManifestTest, ReadsItsHeaderAndListsFilesByTheirPathInTheReleaseFolder) {
  const ReleaseManifest manifest = ReleaseManifest::Parse(ManifestText{
      .sequence = 9223372036854775807u,
      .version = "2.51 (build 7)",
      .release = "/releases/2.51",
      .files =
          std::string(kDigest) + " 2500 /tavkorea/data/지역01.Tx$\n" + kDigest + " 0 /tavkorea/ \n"}
                                                              .Text());
  EXPECT_EQ(manifest.sequence(), 9223372036854775807u);
  EXPECT_EQ(manifest.version(), "2.51 (build 7)");
  EXPECT_EQ(UtcText(manifest.expires()), "2027-06-06T12:00:00Z");
  EXPECT_EQ(manifest.release_folder(), "/releases/2.51");
  const ManifestEntry* entry = manifest.Find("/releases/2.51/tavkorea/data/지역01.Tx$");
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->size, 2500u);
  EXPECT_EQ(entry->sha256[0], 0x00);
  EXPECT_EQ(entry->sha256[31], 0xFF);
  EXPECT_NE(manifest.Find("/releases/2.51/tavkorea/ "), nullptr) << "a blank is part of a name";
  for (const char* unlisted :
       {"/releases/2.51/tavkorea/data/지역01.tx$", "/releases/2.51/tavkorea/",
        "/tavkorea/data/지역01.Tx$", "/releases/2.50/tavkorea/ "}) {
    EXPECT_EQ(manifest.Find(unlisted), nullptr) << unlisted;
  }
}

TEST(ReleaseManifestTest, RefusesEveryLineOutOfPlaceOrNotAsWritten) {
  const std::string digest = kDigest;
  const auto with = [](ManifestText text) { return text.Text(); };
  const std::string head = with({});
  for (const std::string& text : std::vector<std::string>{
           "KW_Update manifest 3\n" + head.substr(head.find('\n') + 1),  // another format
           head.substr(0, head.rfind("release")),                        // ends in its header
           with({.sequence = 0}),
           with({.version = ""}),
           std::string("KW_Update manifest 2\nsequence 017\n"),     // a leading zero
           "KW_Update manifest 2\nsequence 9223372036854775808\n",  // past 2^63 - 1
           with({.expires = "2027-02-29T12:00:00Z"}),
           with({.expires = "2027-06-06 12:00:00Z"}),
           with({.expires = "2027-06-06T24:00:00Z"}),  // no such hour
           with({.release = "/"}),
           with({.release = "/releases/"}),
           with({.release = "releases"}),
           with({.release = "/releases//2.51"}),
           with({.release = "/releases/../etc"}),
           with({.files = digest + " 1 /a"}),                     // no line feed
           with({.files = digest + " /a\n"}),                     // no size
           with({.files = digest.substr(2) + " 1 /a\n"}),         // short digest
           with({.files = "zz" + digest.substr(2) + " 1 /a\n"}),  // not hex
           with({.files = digest + " -1 /a\n"}),
           with({.files = digest + " 1 a\n"}),
           with({.files = digest + " 1 /a\r\n"}),                     // CR LF
           with({.files = digest + " 1 /a\n" + digest + " 2 /a\n"}),  // listed twice
       }) {
    SCOPED_TRACE(text);
    const Failure failure = FailureOf([&] { ReleaseManifest::Parse(text); });
    EXPECT_EQ(failure.number(), error::kManifestRefused);
    EXPECT_THAT(failure.description(), HasSubstr("The signed manifest is malformed"));
  }
}

// What a run decides of the manifest the server serves, given what this PC accepted before.
TEST(ReleaseManifestTest, AcceptsOnlyASignedUnexpiredManifestNoOlderThanTheLastAccepted) {
  const P256PublicKey key = {1, 2, 3};
  const P256PublicKey new_key = {4, 5, 6};
  const P256PublicKey unknown = {7, 8, 9};
  const std::vector<P256PublicKey> keys = {key, new_key};
  const std::string files = ManifestLine("/jdatas3/KW.exe", "KW");
  const std::string text = ManifestText{.files = files}.Text();
  const ReleaseManifest last = ReleaseManifest::Parse(text);
  const ReleaseManifest older = ReleaseManifest::Parse(ManifestText{.sequence = 16}.Text());
  const ReleaseManifest newer =
      ReleaseManifest::Parse(ManifestText{.sequence = 18, .version = "2.51"}.Text());
  const std::string same_sequence_other = ManifestText{.version = "2.50b", .files = files}.Text();
  std::string changed = SignedManifest(text, std::vector{key});
  changed.replace(changed.find("KW_Update manifest 2"), 2, "kw");
  const Clock::UtcTime before_expiry = Utc("2027-06-01T00:00:00Z");

  struct Case {
    const char* name;
    std::string file;
    std::optional<ReleaseManifest> last_accepted;
    Clock::UtcTime now;
    const char* refusal;  // nullptr: accepted
  };
  const Case cases[] = {
      {"no record yet", SignedManifest(text, std::vector{key}), std::nullopt, before_expiry,
       nullptr},
      {"the same again", SignedManifest(text, std::vector{new_key}), last, before_expiry, nullptr},
      {"one of two signatures valid, after an older release",
       SignedManifest(text, std::vector{unknown, new_key}), older, before_expiry, nullptr},
      {"within the clock's allowance", SignedManifest(text, std::vector{key}), last,
       Utc("2027-06-07T12:00:00Z"), nullptr},
      {"a lower sequence", SignedManifest(text, std::vector{key}), newer, before_expiry,
       "The signed manifest is older than the one this PC accepted before: sequence 17 "
       "(version 2.50), after sequence 18 (version 2.51)"},
      {"the same sequence, other bytes", SignedManifest(same_sequence_other, std::vector{key}),
       last, before_expiry,
       "The signed manifest differs from the one this PC accepted before under the same "
       "sequence 17: version 2.50b now, version 2.50 then"},
      {"expired", SignedManifest(text, std::vector{key}), std::nullopt, Utc("2027-06-07T12:00:01Z"),
       "The signed manifest has expired: sequence 17 (version 2.50) expired on "
       "2027-06-06T12:00:00Z, and this PC's date is 2027-06-07T12:00:01Z"},
      {"a signature by an unknown key", SignedManifest(text, std::vector{unknown}), std::nullopt,
       before_expiry,
       "The signed manifest's signature is bad: none of its 1 signature(s) was made with one of "
       "this program's 2 release keys"},
      {"changed after signing", changed, std::nullopt, before_expiry, "signature is bad"},
      {"not signed", text, std::nullopt, before_expiry,
       "The signed manifest is malformed: it is not signed"},
      {"a line after the signatures", SignedManifest(text, std::vector{key}) + files, std::nullopt,
       before_expiry, "that is not a signature"},
  };
  FakeCrypto crypto;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.refusal == nullptr) {
      const ReleaseManifest accepted =
          AcceptSignedManifest(c.file, keys, crypto, c.last_accepted, c.now);
      EXPECT_EQ(accepted.signed_text(), text);
      continue;
    }
    const Failure failure =
        FailureOf([&] { AcceptSignedManifest(c.file, keys, crypto, c.last_accepted, c.now); });
    EXPECT_EQ(failure.number(), error::kManifestRefused);
    EXPECT_THAT(failure.description(), HasSubstr(c.refusal));
  }
}

TEST(ReleaseManifestTest, TheRecordKeepsTheSignedTextAndADamagedOneCountsAsNone) {
  testing::MemoryFileSystem drive;
  drive.MakeFolder("C:\\TavBackup");
  const std::string path = "C:\\TavBackup\\KW_Update.manifest";
  EXPECT_FALSE(ReadManifestRecord(drive, path));

  const ReleaseManifest manifest =
      ReleaseManifest::Parse(ManifestText{.files = ManifestLine("/jdatas3/KW.exe", "KW")}.Text());
  WriteManifestRecord(drive, path, manifest);
  EXPECT_EQ(drive.Read(path), manifest.signed_text());
  EXPECT_TRUE(drive.Synced(path));
  EXPECT_EQ(drive.List("C:\\TavBackup"), (std::vector<std::string>{"KW_Update.manifest"}));
  const std::optional<ReleaseManifest> read = ReadManifestRecord(drive, path);
  ASSERT_TRUE(read);
  EXPECT_EQ(read->signed_text(), manifest.signed_text());

  drive.Write(path, manifest.signed_text().substr(0, 30));
  EXPECT_FALSE(ReadManifestRecord(drive, path));
}

TEST(ReleaseManifestTest, TakesTheKeysOfP256PemsAndNoOther) {
  // `openssl ecparam -name prime256v1 -genkey | openssl ec -pubout`
  const std::string p256 =
      "MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAElDb8zVu+Hy8iWTMvBIOuLeOY5SsOzSXWOrNWUydXYroy01lw"
      "WT/qzGqof0wqtuoyL4BzJsZQuvhJEKxz5jQbcQ==";
  const std::string p384 =
      "MHYwEAYHKoZIzj0CAQYFK4EEACIDYgAEexbv3oRSCLytii5FJk4OtxEUcPvMRAiYI6Br3RbLnEk76dx3RvH3HZw5"
      "vLvD8x0d1V1UTHXjPHMWPgBAqBcLsgazN06IoKH2Ne04xq6fiLyKBcPHHV8ugFVRsj3V+0+N";
  const std::optional<std::vector<P256PublicKey>> keys = P256KeysFromBase64(p256 + "," + p256);
  ASSERT_TRUE(keys);
  ASSERT_EQ(keys->size(), 2u);
  EXPECT_EQ((*keys)[1][0], 0x94);
  EXPECT_EQ((*keys)[1][63], 0x71);
  for (const std::string& bad : {p384, p256 + "," + p384, std::string("not a key"), p256 + ","}) {
    EXPECT_FALSE(P256KeysFromBase64(bad)) << bad;
  }
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
