#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "app/update_window.h"
#include "support/test_window.h"

namespace kw {
namespace {

using enum ControlId;
using testing::DerSignature;
using testing::FakeCrypto;
using ::testing::HasSubstr;
using testing::ManifestLine;
using testing::ScriptedResponse;
using testing::TestWindow;

constexpr const char* kOrigin = "https://update.test:8443";
const P256PublicKey kKey = {1, 2, 3};
const P256PublicKey kOtherKey = {3, 2, 1};
const std::string kMain = "the new KW.exe";
const std::string kSub = "the new KZ.exe";

std::string At(std::string_view path) { return std::string(kOrigin) + std::string(path); }

// A release of the two executables, its manifest signed with kKey unless a case says otherwise.
struct Release {
  std::string manifest =
      ManifestLine("/jdatas3/KW.exe", kMain) + ManifestLine("/jdatas3/KZ.exe", kSub);
  std::optional<std::string> signature = {};  // DER; nullopt: made from `manifest` with kKey
  std::string main_served = kMain;            // what the server sends for KW.exe
  bool manifest_missing = false;
  bool signature_missing = false;
};

// RunDownloads of an executables-only run in a build for https with a release key.
class SignedReleaseTest : public ::testing::Test {
 protected:
  void Run(const Release& release) {
    t = std::make_unique<TestWindow>(kOrigin, kKey);
    TestWindow::Load(*t);
    t->CreateWorkspace();
    t->drive.Write("C:\\TavKorea\\KW_Update.Bat", "@echo off\r\n");
    const ScriptedResponse not_found{.status = 404, .reason = "Not Found", .body = "none"};
    t->inet.Script(At("/kw_update.manifest"), release.manifest_missing
                                                  ? not_found
                                                  : ScriptedResponse{.body = release.manifest});
    const std::string signature =
        release.signature.value_or(DerSignature(FakeCrypto::Sign(kKey, release.manifest)));
    t->inet.Script(At("/kw_update.manifest.sig"),
                   release.signature_missing ? not_found : ScriptedResponse{.body = signature});
    t->inet.Script(At("/jdatas3/KW.exe"), {.body = release.main_served});
    t->inet.Script(At("/jdatas3/KZ.exe"), {.body = kSub});
    t->window.RunDownloads();
  }

  std::unique_ptr<TestWindow> t;
};

TEST_F(SignedReleaseTest, ARunVerifiesTheManifestFirstThenFetchesEveryFileOverHttps) {
  Run({});
  EXPECT_EQ(t->inet.requested(),
            (std::vector<std::string>{At("/kw_update.manifest"), At("/kw_update.manifest.sig"),
                                      At("/jdatas3/KW.exe"), At("/jdatas3/KZ.exe")}));
  EXPECT_THAT(t->inet.calls(), ::testing::Contains("URL=https://update.test:8443"));
  EXPECT_THAT(t->model().Caption(TavMenuLbl), HasSubstr("https://update.test:8443"));
  EXPECT_EQ(t->drive.Read("C:\\TavKorea\\KW.exe"), kMain);
  EXPECT_EQ(t->drive.Read("C:\\TavKorea\\KZ.exe"), kSub);
  EXPECT_EQ(t->model().Caption(Msg0Lbl), "작업완료");
}

TEST_F(SignedReleaseTest, AMissingOrBadlySignedManifestEndsTheRunBeforeAnyDownload) {
  const std::string manifest = Release{}.manifest;
  std::string changed = manifest;
  changed[0] = changed[0] == '0' ? '1' : '0';
  struct Case {
    std::string name;
    Release release;
    std::string says;
  };
  const Case cases[] = {
      {"no manifest", {.manifest_missing = true}, "The signed manifest is missing"},
      {"no signature", {.signature_missing = true}, "The signed manifest is missing"},
      {"another key",
       {.signature = DerSignature(FakeCrypto::Sign(kOtherKey, manifest))},
       "signature is bad"},
      {"changed after signing",
       {.manifest = changed, .signature = DerSignature(FakeCrypto::Sign(kKey, manifest))},
       "signature is bad"},
      {"not a signature", {.signature = "-----BEGIN SIGNATURE-----"}, "signature is bad"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Run(c.release);
    EXPECT_THAT(t->model().Caption(Msg3Lbl), HasSubstr(c.says));
    EXPECT_EQ(t->model().Caption(Msg0Lbl), "작업취소");
    EXPECT_TRUE(
        std::none_of(t->inet.requested().begin(), t->inet.requested().end(),
                     [](const std::string& url) { return url.find("/jdatas3/") != url.npos; }));
    EXPECT_FALSE(t->drive.Has("C:\\TavBackup\\KW.exe.part"));
    EXPECT_TRUE(t->processes.started.empty());
  }
}

TEST_F(SignedReleaseTest, AFileUnlikeTheManifestFailsLikeAFailedDownloadAndNothingIsInstalled) {
  std::string altered = kMain;
  altered.back() = '!';
  struct Case {
    std::string name;
    Release release;
    std::string says;
  };
  const Case cases[] = {
      {"another size",
       {.main_served = kMain + "+virus"},
       "the server announced 20 bytes where it lists 14"},
      {"changed after signing", {.main_served = altered}, "its SHA-256 differs"},
      {"not listed",
       {.manifest = ManifestLine("/jdatas3/KZ.exe", kSub)},
       "/jdatas3/KW.exe is not listed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Run(c.release);
    EXPECT_THAT(t->model().Caption(Msg3Lbl),
                HasSubstr("KW.exe does not match the signed manifest: " + c.says));
    EXPECT_EQ(t->model().Caption(ErrViewTxt), "KW.exe\r\n");
    EXPECT_EQ(t->model().Caption(Msg2Lbl), "다운로드(KW.exe) - 다운취소");
    EXPECT_FALSE(t->drive.Has("C:\\TavBackup\\KW.exe"));
    EXPECT_FALSE(t->drive.Has("C:\\TavKorea\\KW.exe"));
    EXPECT_EQ(
        std::count(t->inet.requested().begin(), t->inet.requested().end(), At("/jdatas3/KZ.exe")),
        0);
    EXPECT_TRUE(t->processes.started.empty());
  }
}

TEST(UnsignedBuildTest, ARunOfTheDefaultBuildAsksForNoManifest) {
  TestWindow t;
  TestWindow::Load(t);
  t.CreateWorkspace();
  t.drive.Write("C:\\TavKorea\\KW_Update.Bat", "@echo off\r\n");
  t.model().Select(TavSelt1Opt);
  t.window.RunDownloads();
  EXPECT_EQ(t.model().Caption(Msg0Lbl), "작업완료");
  for (const std::string& url : t.inet.requested()) {
    EXPECT_EQ(url.find("kw_update.manifest"), std::string::npos) << url;
    EXPECT_TRUE(url.starts_with("http://update.test/")) << url;
  }
}

}  // namespace
}  // namespace kw
