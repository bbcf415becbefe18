#include <gtest/gtest.h>

#include "app/update_window.h"
#include "support/test_window.h"

namespace kw {
namespace {

using enum ControlId;
using testing::ScriptedResponse;
using testing::TestWindow;

class RunStartTest : public ::testing::Test {
 protected:
  void SetUp() override { TestWindow::Load(t); }

  // Stops the run at its first download, so that what the run start did stays to be seen.
  void FailFirstDownload() {
    t.inet.Script(TestWindow::Address("/jdatas3", "KW.exe"),
                  ScriptedResponse{.status = 503, .reason = "Service Unavailable"});
  }

  std::vector<std::string> Changes() {
    std::vector<std::string> changes = t.files.Changes();
    // The download of KW.exe is the run's, not the start's; so is the run's record.
    std::erase_if(changes, [](const std::string& c) {
      return c.starts_with("OpenForWriting") || c.ends_with("KW_Update.log");
    });
    return changes;
  }

  void ExpectIdle() {
    EXPECT_TRUE(t.model().Enabled(TavEnterCmd));
    EXPECT_TRUE(t.model().Enabled(KwFme));
    EXPECT_TRUE(t.model().Enabled(SsFme));
    ASSERT_FALSE(t.host.pointers.empty());
    EXPECT_EQ(t.host.pointers.back(), MousePointer::kDefault);
    EXPECT_FALSE(t.window.running());
  }

  TestWindow t;
};

TEST_F(RunStartTest, TheWindowGoesBusyBeforeTheWorkAndLabelsAreClearedFirst) {
  t.model().SetCaption(Msg1Lbl, "old step");
  t.model().SetCaption(ErrViewTxt, "old.dll\r\n");
  t.recorder.Clear();
  FailFirstDownload();
  t.window.Click(TavEnterCmd);

  const std::vector<std::string> head(t.recorder.lines().begin(), t.recorder.lines().begin() + 9);
  EXPECT_EQ(head, (std::vector<std::string>{"Msg0Lbl ← * 작업시작 *", "Msg1Lbl ← ", "Msg2Lbl ← ",
                                            "Msg3Lbl ← ", "ErrViewTxt ← ",
                                            "TavEnterCmd.enabled ← false", "KwFme.enabled ← false",
                                            "SsFme.enabled ← false", "Msg1Lbl ← 로그인"}));
  EXPECT_EQ(t.host.pointers,
            (std::vector<MousePointer>{MousePointer::kBusy, MousePointer::kDefault}));
  // Nothing after the failed download: Msg0Lbl shows what the run start wrote.
  EXPECT_EQ(t.model().Caption(Msg0Lbl), "* 작업시작 *");
  ExpectIdle();
}

TEST_F(RunStartTest, OnAnEmptyDriveTheNineFoldersAreCreatedInOrder) {
  FailFirstDownload();
  t.window.Click(TavEnterCmd);
  std::vector<std::string> expected;
  for (const std::string& folder : TestWindow::WorkspaceFolders())
    expected.push_back("CreateFolder " + folder);
  EXPECT_EQ(Changes(), expected);
  EXPECT_TRUE(t.processes.ended.empty());
  EXPECT_EQ(t.processes.calls, (std::vector<std::string>{"Scan", "Scan"}));
  ExpectIdle();
}

TEST_F(RunStartTest, AnExistingWorkspaceIsLeftAsItIsOutsideTheStagingFolders) {
  t.CreateWorkspace();
  t.drive.Write("C:\\TavKorea\\KW.exe", "installed");
  t.drive.Write("C:\\TavKorea\\Data\\keep.Txt", "data");
  t.drive.Write("C:\\TavBackup\\notes.txt", "mine");
  FailFirstDownload();
  t.window.Click(TavEnterCmd);

  EXPECT_EQ(Changes(), std::vector<std::string>{});
  EXPECT_EQ(t.drive.Read("C:\\TavKorea\\KW.exe"), "installed");
  EXPECT_EQ(t.drive.Read("C:\\TavKorea\\Data\\keep.Txt"), "data");
  EXPECT_EQ(t.drive.Read("C:\\TavBackup\\notes.txt"), "mine");
  ExpectIdle();
}

TEST_F(RunStartTest, ThePreviousDownloadsBecomeTheBackupsEachOnItsOwn) {
  t.CreateWorkspace();
  t.drive.Write("C:\\TavBackup\\KW.exe", "KW of the last run");
  t.drive.Write("C:\\TavBackup\\KW_Bak.exe", "KW of the run before");
  t.drive.Write("C:\\TavBackup\\KZ_Bak.exe", "KZ of the run before");
  FailFirstDownload();
  t.window.Click(TavEnterCmd);

  EXPECT_EQ(t.drive.Read("C:\\TavBackup\\KW_Bak.exe"), "KW of the last run");
  EXPECT_FALSE(t.drive.Has("C:\\TavBackup\\KW.exe"));
  // No KZ.exe was downloaded last time: its backup stays.
  EXPECT_EQ(t.drive.Read("C:\\TavBackup\\KZ_Bak.exe"), "KZ of the run before");
  EXPECT_EQ(Changes(),
            (std::vector<std::string>{"CopyFile C:\\TavBackup\\KW.exe -> C:\\TavBackup\\KW_Bak.exe",
                                      "DeleteFiles C:\\TavBackup\\KW.exe"}));
}

TEST_F(RunStartTest, ADownloadThatBrokeOffNeverBecomesTheBackup) {
  const std::string good_kw(5000, 'g');
  t.CreateWorkspace();
  t.drive.Write("C:\\TavBackup\\KW_Bak.exe", good_kw);
  t.drive.Write("C:\\TavKorea\\KW_Update.Bat", "@echo off\r\n");
  t.inet.Script(TestWindow::Address("/jdatas3", "KW.exe"),
                ScriptedResponse{.body = std::string(9000, 'n'), .fail_after_bytes = 5000});
  t.window.Click(TavEnterCmd);
  ASSERT_EQ(t.model().Caption(ErrViewTxt), "KW.exe\r\n");

  t.inet.Script(TestWindow::Address("/jdatas3", "KW.exe"), ScriptedResponse{.body = "KW two"});
  t.window.Click(TavEnterCmd);
  EXPECT_EQ(t.model().Caption(Msg0Lbl), "작업완료");
  EXPECT_EQ(t.drive.Read("C:\\TavBackup\\KW_Bak.exe"), good_kw);
  EXPECT_EQ(t.drive.Read("C:\\TavKorea\\KW.exe"), "KW two");
}

TEST_F(RunStartTest, TheStagingFoldersAreEmptiedOfFilesButKeepTheirFolders) {
  t.CreateWorkspace();
  t.drive.Write("C:\\TavBackup\\KZ.exe", "KZ of the last run");
  t.drive.Write("C:\\TavBackup\\Update\\OrvGrid.ocx", "x");
  t.drive.Write("C:\\TavBackup\\Update\\KW_Update.Ba$", "x");
  t.drive.Write("C:\\TavBackup\\Update\\Data\\지역01.Tx$", "x");
  t.drive.Write("C:\\TavBackup\\Update\\Font\\FontMap.Tx$", "x");
  t.drive.Write("C:\\TavBackup\\Update\\Image\\Logo.bmp", "x");
  t.drive.Write("C:\\TavBackup\\Update\\Extra\\left.dll", "x");
  FailFirstDownload();
  t.window.Click(TavEnterCmd);

  EXPECT_EQ(t.drive.List("C:\\TavBackup\\Update"),
            (std::vector<std::string>{"Data", "Extra", "Font", "Image"}));
  EXPECT_TRUE(t.drive.List("C:\\TavBackup\\Update\\Data").empty());
  EXPECT_TRUE(t.drive.List("C:\\TavBackup\\Update\\Font").empty());
  EXPECT_TRUE(t.drive.List("C:\\TavBackup\\Update\\Image").empty());
  // A folder no pattern covers keeps its files; the backups lie outside every pattern.
  EXPECT_EQ(t.drive.Read("C:\\TavBackup\\Update\\Extra\\left.dll"), "x");
  EXPECT_EQ(t.drive.Read("C:\\TavBackup\\KZ_Bak.exe"), "KZ of the last run");
}

TEST(RunStartPartials, PartialDownloadsGoUnlessABuildThatChecksSignedReleasesMayResumeThem) {
  const std::vector<std::string> partials = {"C:\\TavBackup\\KW.exe.part",
                                             "C:\\TavBackup\\KW.exe.resume",
                                             "C:\\TavBackup\\Update\\Data\\지역01.Tx$.part",
                                             "C:\\TavBackup\\Update\\Data\\지역01.Tx$.resume"};
  for (const bool signed_build : {false, true}) {
    SCOPED_TRACE(signed_build ? "signed" : "unsigned");
    TestWindow t(TestWindow::kHost,
                 signed_build ? std::vector<P256PublicKey>{{1}} : std::vector<P256PublicKey>{});
    TestWindow::Load(t);
    t.CreateWorkspace();
    for (const std::string& path : partials) t.drive.Write(path, "half");
    t.drive.Write("C:\\TavBackup\\Update\\Data\\old.Tx$", "staged by the last run");
    t.window.Click(TavEnterCmd);

    for (const std::string& path : partials) EXPECT_EQ(t.drive.Has(path), signed_build) << path;
    EXPECT_FALSE(t.drive.Has("C:\\TavBackup\\Update\\Data\\old.Tx$"));
  }
}

TEST_F(RunStartTest, AFolderWithOnlyHiddenFilesOrSubfoldersIsNotTouched) {
  t.CreateWorkspace();
  t.drive.Write("C:\\TavBackup\\Update\\Data\\hidden.dat", "h");
  t.drive.Hide("C:\\TavBackup\\Update\\Data\\hidden.dat");
  FailFirstDownload();
  t.window.Click(TavEnterCmd);
  EXPECT_EQ(Changes(), std::vector<std::string>{});
  EXPECT_EQ(t.drive.Read("C:\\TavBackup\\Update\\Data\\hidden.dat"), "h");
}

// Which names match, and that the updater itself is spared, is the Processes contract's.
TEST_F(RunStartTest, BothProgramsAreEndedBeforeTheDownloadsWhateverNameOfTheirsMatches) {
  t.processes.running = {
      {10, {"KW.exe"}}, {11, {"wine64-preloader", "KW.exe"}}, {12, {"KWX.exe"}}, {14, {"KZ.exe"}}};
  FailFirstDownload();
  t.window.Click(TavEnterCmd);
  EXPECT_EQ(t.processes.calls,
            (std::vector<std::string>{"Scan", "End 10", "End 11", "Scan", "End 14"}));
  // Ended before the log-in.
  EXPECT_EQ(t.inet.calls().front(), "AccessType=2");
}

TEST_F(RunStartTest, AFailureOfThePreparationStopsTheRunAndIsReported) {
  // A file where the application folder should be: it "exists", but nothing can go in it.
  t.drive.Write("C:\\TavKorea", "not a folder");
  t.window.Click(TavEnterCmd);

  ASSERT_EQ(t.host.messages.size(), 1u);
  EXPECT_NE(t.host.messages[0].second.find("C:\\TavKorea\\Data"), std::string::npos)
      << t.host.messages[0].second;
  EXPECT_EQ(t.model().Caption(Msg3Lbl) + "\n",
            t.host.messages[0].second.substr(0, t.model().Caption(Msg3Lbl).size() + 1));
  EXPECT_TRUE(t.inet.calls().empty());
  EXPECT_TRUE(t.processes.calls.empty());
  ExpectIdle();
}

TEST_F(RunStartTest, ASecondRunRepeatsThePreparationTheLogInAndEveryDownload) {
  t.drive.Write("C:\\TavKorea\\KW_Update.Bat", "@echo off\r\n");
  t.window.Click(TavEnterCmd);
  EXPECT_EQ(t.model().Caption(Msg0Lbl), "작업완료");
  const std::string first_kw = t.drive.Read("C:\\TavBackup\\KW.exe");
  t.drive.Write("C:\\TavBackup\\Update\\stale.dll", "x");

  t.inet.Script(TestWindow::Address("/jdatas3", "KW.exe"), ScriptedResponse{.body = "KW two"});
  t.recorder.Clear();
  t.window.Click(TavEnterCmd);
  // Nothing of the first run is reused: the log-in, both downloads and the batch file again.
  EXPECT_EQ(t.recorder.Captions(Msg1Lbl),
            (std::vector<std::string>{"", "로그인", "DownLoad(KW.exe)", "DownLoad(KZ.exe)", "닫기",
                                      "복사", "등록", "완료"}));
  EXPECT_EQ(t.inet.requested().size(), 4u);
  EXPECT_EQ(t.inet.CountCalls("UserName=tav"), 2);
  EXPECT_EQ(t.processes.started.size(), 2u);
  EXPECT_EQ(t.drive.Read("C:\\TavBackup\\KW_Bak.exe"), first_kw);
  EXPECT_EQ(t.drive.Read("C:\\TavBackup\\KW.exe"), "KW two");
  EXPECT_FALSE(t.drive.Has("C:\\TavBackup\\Update\\stale.dll"));
  EXPECT_EQ(t.model().Caption(Msg0Lbl), "작업완료");
  ExpectIdle();
}

}  // namespace
}  // namespace kw
