#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "app/update_window.h"
#include "support/test_window.h"

namespace kw {
namespace {

using enum ControlId;
using testing::FakeCrypto;
using ::testing::HasSubstr;
using testing::ManifestLine;
using testing::ManifestText;
using testing::ScriptedResponse;
using testing::SignedManifest;
using testing::TestWindow;

constexpr const char* kOrigin = "https://update.test:8443";
const P256PublicKey kKey = {1, 2, 3};
const P256PublicKey kOtherKey = {3, 2, 1};
const std::string kMain = "the new KW.exe";
const std::string kSub = "the new KZ.exe";
const std::string kRecord = "C:\\TavBackup\\KW_Update.manifest";

std::string At(std::string_view path) { return std::string(kOrigin) + std::string(path); }

// A release of the two executables in /releases/2.50, its manifest signed with kKey unless a
// case says otherwise.
struct Release {
  ManifestText text{.files = ManifestLine("/jdatas3/KW.exe", kMain) +
                             ManifestLine("/jdatas3/KZ.exe", kSub)};
  P256PublicKey signed_with = kKey;
  std::string main_served = kMain;  // what the server sends for KW.exe
  bool manifest_missing = false;
};

// RunDownloads of an executables-only run in a build for https with a release key.
class SignedReleaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    t = std::make_unique<TestWindow>(kOrigin, std::vector{kKey});
    TestWindow::Load(*t);
    t->CreateWorkspace();
    t->drive.Write("C:\\TavKorea\\KW_Update.Bat", "@echo off\r\n");
  }

  void Run(const Release& release) {
    const std::string manifest =
        SignedManifest(release.text.Text(), std::vector{release.signed_with});
    t->inet.Script(At("/kw_update.manifest"),
                   release.manifest_missing
                       ? ScriptedResponse{.status = 404, .reason = "Not Found", .body = "none"}
                       : ScriptedResponse{.body = manifest});
    t->inet.Script(At(release.text.release + "/jdatas3/KW.exe"), {.body = release.main_served});
    t->inet.Script(At(release.text.release + "/jdatas3/KZ.exe"), {.body = kSub});
    t->window.RunDownloads();
  }

  std::unique_ptr<TestWindow> t;
};

TEST_F(SignedReleaseTest, ARunAcceptsTheManifestFirstThenFetchesEveryFileFromItsReleaseFolder) {
  Run({});
  EXPECT_EQ(t->inet.requested(), (std::vector<std::string>{At("/kw_update.manifest"),
                                                           At("/releases/2.50/jdatas3/KW.exe"),
                                                           At("/releases/2.50/jdatas3/KZ.exe")}));
  EXPECT_THAT(t->inet.calls(), ::testing::Contains("URL=https://update.test:8443"));
  EXPECT_THAT(t->model().Caption(TavMenuLbl), HasSubstr("https://update.test:8443"));
  EXPECT_EQ(t->drive.Read("C:\\TavKorea\\KW.exe"), kMain);
  EXPECT_EQ(t->drive.Read("C:\\TavKorea\\KZ.exe"), kSub);
  EXPECT_EQ(t->model().Caption(Msg0Lbl), "작업완료");
  // The record is what a later release must not go back behind.
  EXPECT_EQ(t->drive.Read(kRecord), Release{}.text.Text());
}

TEST_F(SignedReleaseTest, ARefusedManifestEndsTheRunBeforeAnyDownload) {
  const std::string recorded = ManifestText{.sequence = 18, .version = "2.51"}.Text();
  struct Case {
    std::string name;
    Release release;
    std::string says;
  };
  const Case cases[] = {
      {"no manifest", {.manifest_missing = true}, "The signed manifest is missing"},
      {"another key", {.signed_with = kOtherKey}, "signature is bad"},
      {"a rollback", {}, "is older than the one this PC accepted before"},
      {"expired", {.text = {.expires = "2026-12-01T00:00:00Z"}}, "has expired"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    t->drive.Write(kRecord, recorded);
    Run(c.release);
    EXPECT_THAT(t->model().Caption(Msg3Lbl), HasSubstr(c.says));
    EXPECT_EQ(t->model().Caption(Msg0Lbl), "작업취소");
    EXPECT_EQ(t->inet.requested(), (std::vector<std::string>{At("/kw_update.manifest")}));
    EXPECT_FALSE(t->drive.Has("C:\\TavBackup\\KW.exe.part"));
    EXPECT_TRUE(t->processes.started.empty());
    EXPECT_EQ(t->drive.Read(kRecord), recorded);
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
       {.text = {.files = ManifestLine("/jdatas3/KZ.exe", kSub)}},
       "/releases/2.50/jdatas3/KW.exe is not listed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    Run(c.release);
    EXPECT_THAT(t->model().Caption(Msg3Lbl),
                HasSubstr("KW.exe does not match the signed manifest: " + c.says));
    EXPECT_EQ(t->model().Caption(ErrViewTxt), "KW.exe\r\n");
    EXPECT_EQ(t->model().Caption(Msg2Lbl), "다운로드(KW.exe) - 다운취소");
    EXPECT_FALSE(t->drive.Has("C:\\TavBackup\\KW.exe"));
    EXPECT_FALSE(t->drive.Has("C:\\TavKorea\\KW.exe"));
    EXPECT_EQ(std::count(t->inet.requested().begin(), t->inet.requested().end(),
                         At("/releases/2.50/jdatas3/KZ.exe")),
              0);
    EXPECT_TRUE(t->processes.started.empty());
  }
}

TEST_F(SignedReleaseTest, AnInstalledFileThatMatchesTheManifestIsNeitherFetchedNorCopied) {
  std::string by_hand = kMain;
  by_hand[0] = 'T';
  struct Case {
    std::string name;
    std::optional<std::string> installed;  // KW.exe in C:\TavKorea before the run
    bool fetched;
  };
  const Case cases[] = {
      {"identical", kMain, false},
      {"changed by hand", by_hand, true},
      {"missing", std::nullopt, true},
      {"another size", kMain + "!", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    if (c.installed) t->drive.Write("C:\\TavKorea\\KW.exe", *c.installed);
    t->drive.Write("C:\\TavKorea\\KZ.exe", kSub);
    const Clock::TimePoint started = t->clock.Now();
    Run({});

    std::vector<std::string> requested = {At("/kw_update.manifest")};
    if (c.fetched) requested.push_back(At("/releases/2.50/jdatas3/KW.exe"));
    EXPECT_EQ(t->inet.requested(), requested);
    EXPECT_EQ(t->drive.Read("C:\\TavKorea\\KW.exe"), kMain);
    const auto copies_to = [&](const std::string& path) {
      return std::ranges::count(
          t->files.calls,
          "CopyFile C:\\TavBackup\\" + path.substr(path.rfind('\\') + 1) + " -> " + path);
    };
    EXPECT_EQ(copies_to("C:\\TavKorea\\KW.exe"), c.fetched ? 1 : 0);
    EXPECT_EQ(copies_to("C:\\TavKorea\\KZ.exe"), 0);
    EXPECT_THAT(t->recorder.lines(), ::testing::Contains("Msg2Lbl ← 다운로드(KZ.exe) - 변경없음"));
    EXPECT_THAT(t->recorder.lines(), ::testing::Contains("PB1.value ← 100"));
    // Only a download ends with a second's pause.
    EXPECT_EQ(t->clock.Now() - started < std::chrono::seconds(1), !c.fetched);
    EXPECT_EQ(t->model().Caption(Msg0Lbl), "작업완료");
    EXPECT_EQ(t->processes.started.size(), 1u);
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
