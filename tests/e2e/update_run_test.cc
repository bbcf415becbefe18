// Whole update runs of the Linux program: the window's core with the Qt view (offscreen),
// libcurl, the real file system and processes, against nginx serving a sample release, in a
// temporary Wine prefix. The operator's clicks are clicks on the view's buttons.

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "app/update_window.h"
#include "app/view_mirror.h"
#include "platform/posix/flock_instance_guard.h"
#include "platform/posix/openssl_crypto.h"
#include "platform/posix/posix_file_system.h"
#include "platform/posix/posix_processes.h"
#include "support/fixture_files.h"
#include "support/temp_drive.h"
#include "transfer/curl/curl_backend.h"
#include "transfer/http_transfer_control.h"
#include "ui/qt/qt_test_window.h"
#include "ui/qt/qt_window.h"

namespace kw {
namespace {

namespace fs = std::filesystem;
using enum ControlId;
using testing::MessageBoxAnswer;
using testing::ReadWholeFile;
using testing::ScopedEnv;
using testing::TempDrive;

std::string FixtureValue(const char* name) {
  const char* state = std::getenv("KW_TEST_RELEASE_STATE");
  return state != nullptr ? testing::FixtureValue(state, name) : "";
}

// The monotonic clock, except that every reading is a second later than the one before: each
// download's one-second pause ends at its first look at the clock, so that a run over the whole
// catalogue takes the time of its transfers alone.
class SkippingClock final : public Clock {
 public:
  TimePoint Now() override {
    return std::chrono::steady_clock::now() + std::chrono::seconds(++readings_);
  }
  UtcTime UtcNow() override { return std::chrono::system_clock::now(); }

 private:
  long readings_ = 0;
};

class UpdateRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = FixtureValue("port");
    release_ = FixtureValue("root");
    ASSERT_FALSE(port_.empty()) << "no release server: run through ctest, whose fixture "
                                   "release_server starts it and sets KW_TEST_RELEASE_STATE";
  }

  void TearDown() override {
    window_.reset();
    // A Wine server of the temporary prefix must not outlive its folder.
    if (wine_started_) std::system("wineserver -k >/dev/null 2>&1");
  }

  void Open(Clock& clock, std::optional<ReleaseSigning> signing = std::nullopt) {
    window_ = std::make_unique<UpdateWindow>(
        Platform{host_, clock, files_, processes_, inet1_, guard_}, "127.0.0.1:" + port_, signing);
    host_.Attach(*window_);
    ASSERT_TRUE(window_->Load());
  }

  void Click(ControlId id) {
    auto* button = qobject_cast<QAbstractButton*>(view_.control(id));
    ASSERT_NE(button, nullptr);
    button->click();
  }

  // The release's copy of a file the server has under `server_path`.
  std::string Released(std::string_view server_path, const std::string& name) {
    return ReadWholeFile(fs::path(release_) / std::string(server_path).substr(1) / name);
  }

  WindowModel& model() { return window_->model(); }

  // The signing of a build with the public key of a PEM file, as the build reads it.
  std::optional<ReleaseSigning> SigningWith(const fs::path& pem) {
    std::string body;
    std::istringstream lines(ReadWholeFile(pem));
    for (std::string line; std::getline(lines, line);) {
      if (!line.starts_with("-----")) body += line;
    }
    return SigningOfBuild(body, crypto_);
  }

  std::string port_;
  std::string release_;
  TempDrive drive_;
  PosixFileSystem files_;
  PosixProcesses processes_;
  FlockInstanceGuard guard_{(drive_.prefix() / "kw_update.lock").string()};
  QtWindow view_;
  SystemClock host_clock_;
  ViewMirror host_{view_, host_clock_};
  HttpTransferControl inet1_{host_, std::make_unique<CurlBackend>()};
  OpenSslCrypto crypto_;
  std::unique_ptr<UpdateWindow> window_;
  bool wine_started_ = false;
};

TEST_F(UpdateRunTest, AnExecutablesOnlyRunInstallsTheTwoProgramsAndEndsAtTheBatchWithoutWine) {
  // The batch file is there, but nothing can run it.
  drive_.Write("C:\\TavKorea\\KW_Update.Bat", "@echo off\r\n");
  const fs::path bin = drive_.prefix() / "bin";
  fs::create_directories(bin);
  ScopedEnv no_wine("WINE", std::nullopt);
  ScopedEnv path("PATH", bin.string());

  SystemClock clock;
  Open(clock);
  MessageBoxAnswer answer;
  Click(TavEnterCmd);

  EXPECT_EQ(drive_.Read("C:\\TavKorea\\KW.exe"), Released("/jdatas3", "KW.exe"));
  EXPECT_EQ(drive_.Read("C:\\TavKorea\\KZ.exe"), Released("/jdatas3", "KZ.exe"));
  EXPECT_FALSE(drive_.HostExists("C:\\TavKorea\\OrvGrid.ocx"));
  EXPECT_EQ(model().Caption(Msg1Lbl), "등록");
  EXPECT_EQ(model().Caption(Msg0Lbl), "* 작업시작 *");
  ASSERT_TRUE(answer.answered);
  EXPECT_TRUE(answer.text.contains("Wine")) << answer.text.toStdString();
  EXPECT_TRUE(model().Enabled(TavEnterCmd));
  EXPECT_EQ(model().Caption(ErrViewTxt), "");
}

// The release the fixture signed with tools/sign_release, checked with libcrypto. (Nothing here
// can run the batch file, so the run ends at its start.)
TEST_F(UpdateRunTest, ASignedReleaseInstallsWithTheKeyItWasSignedWith) {
  SystemClock clock;
  Open(clock, SigningWith(fs::path(std::getenv("KW_TEST_RELEASE_STATE")) / "release.pub"));
  MessageBoxAnswer batch_start;
  Click(TavEnterCmd);
  EXPECT_EQ(model().Caption(ErrViewTxt), "");
  EXPECT_EQ(drive_.Read("C:\\TavKorea\\KW.exe"), Released("/jdatas3", "KW.exe"));
  EXPECT_EQ(drive_.Read("C:\\TavKorea\\KZ.exe"), Released("/jdatas3", "KZ.exe"));
  EXPECT_EQ(model().Caption(Msg1Lbl), "등록");
}

TEST_F(UpdateRunTest, AFullUpdateInstallsEveryFileUnderItsInstalledNameAndRunsTheBatch) {
  const bool have_wine = std::system("command -v wine >/dev/null 2>&1") == 0;
  SkippingClock clock;
  Open(clock);
  // A second run finds the first one's downloads and keeps them as backups.
  drive_.Write("C:\\TavBackup\\KW.exe", "KW of the last run");

  Click(TavSelt1Opt);
  MessageBoxAnswer unexpected;
  wine_started_ = have_wine;
  Click(TavEnterCmd);

  if (have_wine) {
    EXPECT_FALSE(unexpected.answered) << unexpected.text.toStdString();
    EXPECT_EQ(model().Caption(Msg0Lbl), "작업완료");
    EXPECT_EQ(model().Caption(Msg1Lbl), "완료");
  }
  EXPECT_EQ(model().Caption(ErrViewTxt), "");
  EXPECT_EQ(drive_.Read("C:\\TavBackup\\KW_Bak.exe"), "KW of the last run");
  EXPECT_EQ(drive_.Read("C:\\TavKorea\\KW.exe"), Released("/jdatas3", "KW.exe"));

  int installed = 0;
  for (const ListRoute& list_route : kListRoutes) {
    const FileList& list = window_->catalogue().List(list_route.list);
    for (int slot = FileList::kFirstSlot; slot <= FileList::kLastSlot; ++slot) {
      if (list[slot].empty()) continue;
      const std::string path = "C:\\TavKorea" + std::string(list_route.route.install_folder) +
                               "\\" + InstalledName(list[slot]);
      ASSERT_TRUE(drive_.HostExists(path)) << path;
      EXPECT_EQ(drive_.Read(path), Released(list_route.route.server_path, list[slot])) << path;
      ++installed;
    }
  }
  EXPECT_EQ(installed, 177);
  EXPECT_EQ(drive_.List("C:\\TavKorea\\Font").size(), 46u);

  if (!have_wine) GTEST_SKIP() << "Wine is not installed: the batch file cannot run";
  // The batch file runs detached, in a prefix Wine sets up on its first use.
  const fs::path log = drive_.Host("C:\\TavKorea\\KW_Update.log");
  // cmd creates the log before it writes the line: wait for the line, not for the file.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(3);
  std::string written;
  while (written.find("Update complete") == std::string::npos &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    written = ReadWholeFile(log);
  }
  EXPECT_NE(written.find("Update complete"), std::string::npos)
      << "the batch file did not run within three minutes";
}

}  // namespace
}  // namespace kw
