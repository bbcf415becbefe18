// Whole update runs of the Linux program: the window's core with the Qt view (offscreen),
// libcurl, the real file system and processes, against nginx serving a sample release, in a
// temporary Wine prefix. The operator's clicks are clicks on the view's buttons.

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

#include "app/update_window.h"
#include "app/view_mirror.h"
#include "platform/posix/flock_instance_guard.h"
#include "platform/posix/openssl_crypto.h"
#include "platform/posix/posix_file_system.h"
#include "platform/posix/posix_processes.h"
#include "support/fixture_files.h"
#include "support/temp_drive.h"
#include "support/test_host.h"
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
using testing::SkippingClock;
using testing::TempDrive;

std::string FixtureValue(const char* name) {
  const char* state = std::getenv("KW_TEST_RELEASE_STATE");
  return state != nullptr ? testing::FixtureValue(state, name) : "";
}

// The monotonic clock, which runs `publish` once, at its first reading after `due` turns true: in
// the middle of a run, on the window's thread, between two of the run's steps.
class PublishingClock final : public Clock {
 public:
  PublishingClock(std::function<bool()> due, std::function<void()> publish)
      : due_(std::move(due)), publish_(std::move(publish)) {}
  TimePoint Now() override {
    if (!published_ && due_()) {
      published_ = true;
      publish_();
    }
    return std::chrono::steady_clock::now();
  }
  UtcTime UtcNow() override { return std::chrono::system_clock::now(); }
  bool published() const { return published_; }

 private:
  std::function<bool()> due_;
  std::function<void()> publish_;
  bool published_ = false;
};

// Runs a shell command line; raises with the line when it fails.
void Shell(const std::string& command) {
  if (std::system(command.c_str()) != 0) throw std::runtime_error("failed: " + command);
}

std::string Quoted(const fs::path& path) { return "'" + path.string() + "'"; }

// An nginx of the test's own (tests/support/nginx_fixture.sh), serving `root` until destroyed.
class OwnServer {
 public:
  OwnServer(const std::string& nginx_fixture, const fs::path& state, const fs::path& root)
      : nginx_fixture_(nginx_fixture), state_(state) {
    Shell("sh " + Quoted(nginx_fixture_) + " start " + Quoted(state_) + " " + Quoted(root) +
          " >/dev/null");
  }
  ~OwnServer() {
    std::system(("sh " + Quoted(nginx_fixture_) + " stop " + Quoted(state_)).c_str());
  }
  std::string port() const { return testing::FixtureValue(state_, "port"); }
  std::string access_log() const { return ReadWholeFile(state_ / "access.log"); }

 private:
  std::string nginx_fixture_;
  fs::path state_;
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

  // The window of a build for the fixture's server, or the server on `port`.
  void Open(Clock& clock, std::optional<ReleaseSigning> signing = std::nullopt,
            const std::string& port = "") {
    window_ =
        std::make_unique<UpdateWindow>(Platform{host_, clock, files_, processes_, inet1_, guard_},
                                       "127.0.0.1:" + (port.empty() ? port_ : port), signing);
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
    return SigningOfBuild(testing::PemBody(pem), crypto_);
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

// The release the fixture signed with tools/sign_release, checked with libcrypto: refused while
// this PC's record says it accepted a later one, installed once the record is gone, and then
// found installed (only the manifest fetched). Nothing here can run the batch file, so a run
// that installs ends at its start.
TEST_F(UpdateRunTest, ASignedReleaseIsRefusedAsARollbackThenInstalledThenFoundUnchanged) {
  const fs::path state = std::getenv("KW_TEST_RELEASE_STATE");
  const std::string manifest = ReadWholeFile(fs::path(release_) / "kw_update.manifest");
  const std::string record = "C:\\TavBackup\\KW_Update.manifest";
  std::string later = manifest.substr(0, manifest.find("signature "));
  later.replace(later.find("\nsequence 1\n"), 12, "\nsequence 9\n");
  drive_.Write(record, later);
  SystemClock clock;
  Open(clock, SigningWith(state / "release.pub"));
  Click(TavEnterCmd);
  EXPECT_EQ(model().Caption(Msg0Lbl), "작업취소");
  EXPECT_NE(model().Caption(Msg3Lbl).find(
                "older than the one this PC accepted before: sequence 1 (version 1), after "
                "sequence 9"),
            std::string::npos)
      << model().Caption(Msg3Lbl);
  EXPECT_FALSE(drive_.HostExists("C:\\TavKorea\\KW.exe"));
  EXPECT_EQ(drive_.Read(record), later);

  fs::remove(drive_.Host(record));
  for (const bool installed_before : {false, true}) {
    SCOPED_TRACE(installed_before ? "the same release again" : "a new PC");
    const std::size_t seen = ReadWholeFile(state / "access.log").size();
    MessageBoxAnswer batch_start;
    Click(TavEnterCmd);
    EXPECT_EQ(model().Caption(ErrViewTxt), "");
    EXPECT_EQ(model().Caption(Msg1Lbl), "등록");
    EXPECT_EQ(drive_.Read("C:\\TavKorea\\KW.exe"), Released("/jdatas3", "KW.exe"));
    EXPECT_EQ(drive_.Read("C:\\TavKorea\\KZ.exe"), Released("/jdatas3", "KZ.exe"));
    const std::string requests = ReadWholeFile(state / "access.log").substr(seen);
    EXPECT_EQ(requests.find("GET /releases/1/jdatas3/") == std::string::npos, installed_before)
        << requests;
  }
}

// One publish that a client runs through, on a server of the test's own: a signed run has
// accepted release 1's manifest and staged KW.exe when tools/sign_release publishes release 2 (a
// new folder with new programs, then its manifest renamed over release 1's). The run completes
// with release 1 whole, KZ.exe fetched from release 1's folder after the publish; the next run
// takes release 2. (Nothing here can run the batch file, so each run ends at its start.)
TEST_F(UpdateRunTest, ARunThatAPublishOvertakesCompletesWithTheOldReleaseWhole) {
  const fs::path state = std::getenv("KW_TEST_RELEASE_STATE");
  const std::string sign_release = Quoted(testing::FixtureValue(state, "sign_release"));
  const fs::path work = drive_.prefix() / "publish";
  const fs::path root = work / "root";
  const fs::path first = root / "releases/1";
  const fs::path second = root / "releases/2";
  Shell(Quoted(testing::FixtureValue(state, "make_sample_release")) + " " + Quoted(first) +
        " --small >/dev/null");
  fs::copy(first, second, fs::copy_options::recursive);
  for (const char* program : {"jdatas3/KW.exe", "jdatas3/KZ.exe"}) {
    std::ofstream(second / program, std::ios::app) << "release 2\r\n";
  }
  Shell(sign_release + " keygen " + Quoted(work / "release.key") + " " +
        Quoted(work / "release.pub") + " >/dev/null");
  const std::string publish =
      sign_release + " sign --key " + Quoted(work / "release.key") + " " + Quoted(root) + " ";
  Shell(publish + "/releases/1 >/dev/null");
  const OwnServer server(testing::FixtureValue(state, "nginx_fixture"), work / "server", root);

  PublishingClock clock([&] { return drive_.HostExists("C:\\TavBackup\\KW.exe"); },
                        [&] { Shell(publish + "/releases/2 >/dev/null"); });
  Open(clock, SigningWith(work / "release.pub"), server.port());
  {
    MessageBoxAnswer batch_start;
    Click(TavEnterCmd);
  }
  ASSERT_TRUE(clock.published()) << "the run ended before release 2 was published";
  EXPECT_TRUE(ReadWholeFile(root / "kw_update.manifest").find("\nrelease /releases/2\n") !=
              std::string::npos);
  EXPECT_EQ(model().Caption(ErrViewTxt), "");
  EXPECT_EQ(model().Caption(Msg1Lbl), "등록");
  EXPECT_EQ(drive_.Read("C:\\TavKorea\\KW.exe"), ReadWholeFile(first / "jdatas3/KW.exe"));
  EXPECT_EQ(drive_.Read("C:\\TavKorea\\KZ.exe"), ReadWholeFile(first / "jdatas3/KZ.exe"));
  const std::string during = server.access_log();
  EXPECT_NE(during.find("GET /releases/1/jdatas3/KZ.exe "), std::string::npos) << during;
  EXPECT_EQ(during.find("/releases/2/"), std::string::npos) << during;

  MessageBoxAnswer batch_start;
  Click(TavEnterCmd);
  EXPECT_EQ(model().Caption(ErrViewTxt), "");
  EXPECT_EQ(drive_.Read("C:\\TavKorea\\KW.exe"), ReadWholeFile(second / "jdatas3/KW.exe"));
  EXPECT_EQ(drive_.Read("C:\\TavKorea\\KZ.exe"), ReadWholeFile(second / "jdatas3/KZ.exe"));
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
