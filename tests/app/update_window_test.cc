#include "app/update_window.h"

#include <gtest/gtest.h>

#include "support/test_window.h"

namespace kw {
namespace {

using enum ControlId;
using testing::ScriptedResponse;
using testing::TestWindow;

class UpdateWindowTest : public ::testing::Test {
 protected:
  TestWindow t;
};

TEST_F(UpdateWindowTest, StartUpSetsTheSettingsBuildsTheCatalogueAndShowsTheWindow) {
  EXPECT_TRUE(t.window.Load());
  EXPECT_TRUE(t.host.shown);
  EXPECT_TRUE(t.host.messages.empty());
  EXPECT_EQ(t.window.settings().AppDir, "C:\\TavKorea");
  EXPECT_EQ(t.window.settings().BackupDir, "C:\\TavBackup");
  EXPECT_EQ(t.window.settings().MainExeName, "KW.exe");
  EXPECT_EQ(t.window.settings().SubExeName, "KZ.exe");
  EXPECT_EQ(t.window.catalogue().RootFileList[1], "KW_Update.Ba$");
  EXPECT_FALSE(t.window.catalogue().ImageFileList[10].empty());
  // Start-up touches no file.
  EXPECT_TRUE(t.files.calls.empty());
}

TEST_F(UpdateWindowTest, TheWindowOpensWithTheInitialStatesOfItsControls) {
  t.window.Load();
  const WindowModel& m = t.model();
  EXPECT_TRUE(m.Selected(TavSelt0Opt));
  EXPECT_FALSE(m.Selected(TavSelt1Opt));
  EXPECT_TRUE(m.Selected(Option2));
  EXPECT_FALSE(m.Selected(Option1));
  for (ControlId label : {Msg0Lbl, Msg1Lbl, Msg2Lbl, Msg3Lbl, GetTimeLbl, GetFileLbl}) {
    EXPECT_EQ(m.Caption(label), "") << LayoutOf(label).name;
  }
  EXPECT_EQ(m.Caption(ErrViewTxt), "");
  EXPECT_FALSE(m.Visible(ErrViewFme));
  EXPECT_FALSE(m.Visible(SsFme));
  EXPECT_TRUE(m.Visible(KwFme));
  EXPECT_EQ(m.Value(PB1), 0);
  EXPECT_TRUE(m.Enabled(TavEnterCmd));
  EXPECT_EQ(m.Caption(TavMenuLbl), "[[ update.test --> C:\\TavKorea ]]");
  EXPECT_EQ(m.Caption(Label3), "적  용");
  EXPECT_EQ(m.Caption(TavSelt0Opt), "실행화일(KWx.exe)");
  EXPECT_EQ(m.Caption(TavEnterCmd), "확인");
}

TEST_F(UpdateWindowTest, ASecondInstanceTellsTheOperatorAndNeverShowsItsWindow) {
  t.guard.another_instance = true;
  EXPECT_FALSE(t.window.Load());
  ASSERT_EQ(t.host.messages.size(), 1u);
  EXPECT_EQ(t.host.messages[0].first, "KW_Update");
  EXPECT_EQ(t.host.messages[0].second, "Only one instance of this program may run at one time");
  EXPECT_FALSE(t.host.shown);
  // The remaining start-up steps did not run.
  EXPECT_EQ(t.window.settings().AppDir, "");
  EXPECT_EQ(t.window.catalogue().RootFileList[1], "");
}

TEST_F(UpdateWindowTest, AGuardThatCannotTellStopsTheStartUpWithItsFailure) {
  t.guard.failure =
      Failure(error::kPermissionDenied, "The lock file /x/kw_update.lock is not yours");
  EXPECT_FALSE(t.window.Load());
  ASSERT_EQ(t.host.messages.size(), 1u);
  EXPECT_EQ(t.host.messages[0].first, "KW_Update");
  EXPECT_EQ(t.host.messages[0].second,
            "The lock file /x/kw_update.lock is not yours\n\n(Error 70)");
  EXPECT_FALSE(t.host.shown);
  EXPECT_EQ(t.window.settings().AppDir, "");
}

TEST_F(UpdateWindowTest, TheScopeOptionsExcludeEachOther) {
  t.window.Load();
  t.model().Select(TavSelt1Opt);
  EXPECT_TRUE(t.model().Selected(TavSelt1Opt));
  EXPECT_FALSE(t.model().Selected(TavSelt0Opt));
  // The hidden pair in the other frame is its own group.
  EXPECT_TRUE(t.model().Selected(Option2));
  t.model().Select(TavSelt0Opt);
  EXPECT_FALSE(t.model().Selected(TavSelt1Opt));
}

TEST_F(UpdateWindowTest, TheErrorPanelToggleKeepsTheLog) {
  t.window.Load();
  t.model().SetCaption(ErrViewTxt, "KW.exe\r\n");
  t.window.Click(ErrViewCmd);
  EXPECT_TRUE(t.model().Visible(ErrViewFme));
  t.window.Click(ErrViewCmd);
  EXPECT_FALSE(t.model().Visible(ErrViewFme));
  EXPECT_EQ(t.model().Caption(ErrViewTxt), "KW.exe\r\n");
}

TEST_F(UpdateWindowTest, ClicksOnDisabledControlsDoNothing) {
  t.window.Load();
  t.model().SetEnabled(KwFme, false);
  t.window.Click(TavSelt1Opt);  // inside the disabled frame
  EXPECT_TRUE(t.model().Selected(TavSelt0Opt));
  t.model().SetEnabled(KwFme, true);
  t.window.Click(TavSelt1Opt);
  EXPECT_TRUE(t.model().Selected(TavSelt1Opt));

  t.model().SetEnabled(ErrViewCmd, false);
  t.window.Click(ErrViewCmd);
  EXPECT_FALSE(t.model().Visible(ErrViewFme));
  t.model().SetEnabled(TavEnterCmd, false);
  t.window.Click(TavEnterCmd);
  EXPECT_TRUE(t.files.calls.empty());
}

TEST_F(UpdateWindowTest, ExitClosesTheWindowOnce) {
  t.window.Load();
  t.window.Click(TavExitCmd);
  EXPECT_TRUE(t.host.closed);
  EXPECT_TRUE(t.window.unloaded());
  t.host.closed = false;
  t.window.Unload();  // the close event that follows
  EXPECT_FALSE(t.host.closed);
  // A press that was still queued does nothing.
  t.window.Click(TavEnterCmd);
  EXPECT_TRUE(t.inet.requested().empty());
}

TEST_F(UpdateWindowTest, TransferStatesReachTheLabelOnlyDuringPumps) {
  t.window.Load();
  t.inet.Raise(kReceivingResponse);
  t.inet.Raise(kResponseReceived);
  EXPECT_EQ(t.model().Caption(Msg3Lbl), "");
  t.host.PumpEvents();
  EXPECT_EQ(
      t.recorder.Captions(Msg3Lbl),
      (std::vector<std::string>{"Receiving a response from host computer", "Response received"}));

  t.inet.Script("http://x/e", ScriptedResponse{.status = 404, .reason = "Not Found"});
  t.inet.SetURL("http://x/e");
  t.inet.Execute("GET", "");
  t.inet.Raise(kError);
  t.host.PumpEvents();
  EXPECT_EQ(t.model().Caption(Msg3Lbl), "Error [404: Not Found]");

  // Nothing is written once the window is gone.
  t.inet.Raise(kConnected);
  t.window.Unload();
  t.host.PumpEvents();
  EXPECT_EQ(t.model().Caption(Msg3Lbl), "Error [404: Not Found]");
}

TEST_F(UpdateWindowTest, EveryPhaseOfADownloadsRequestShowsOnTheTransferStateLabel) {
  t.window.Load();
  t.drive.MakeFolder("C:\\TavBackup");
  t.inet.Script(TestWindow::Address("/jdatas3", "s.bin"), ScriptedResponse{.body = "s"});
  t.window.DownloadFile("http://update.test/jdatas3", "C:\\TavBackup", "s.bin");
  const std::vector<std::string> expected = {"",
                                             "Looking up host computer IP address",
                                             "IP address found",
                                             "Connectiong to host computer",
                                             "Connected to host computer",
                                             "Sending a request to host computer",
                                             "Request sent",
                                             "Receiving a response from host computer",
                                             "Response received",
                                             "Request completed successfully."};
  EXPECT_EQ(t.recorder.Captions(Msg3Lbl), expected);
}

TEST_F(UpdateWindowTest, APressDuringARunNeverStartsASecondRun) {
  t.window.Load();
  int presses = 0;
  t.host.on_pump = [&] {
    if (presses++ < 3) t.window.Click(TavEnterCmd);
  };
  t.drive.Write("C:\\TavKorea\\KW_Update.Bat", "@echo off\r\n");
  t.window.Click(TavEnterCmd);
  EXPECT_EQ(t.inet.requested().size(), 2u);
  EXPECT_EQ(t.inet.CountCalls("UserName="), 1);
  EXPECT_EQ(t.model().Caption(Msg0Lbl), "작업완료");
  EXPECT_FALSE(t.window.running());
}

TEST_F(UpdateWindowTest, ClosingTheWindowDuringADownloadAbandonsTheRunAtOnce) {
  t.window.Load();
  t.inet.Script(TestWindow::Address("/jdatas3", "KW.exe"),
                ScriptedResponse{.body = std::string(10 * 1024, 'k')});
  int chunks = 0;
  t.host.on_pump = [&] {
    if (t.inet.CountCalls("GetChunk") == 3 && chunks++ == 0) t.window.Unload();
  };
  t.window.Click(TavEnterCmd);

  EXPECT_TRUE(t.host.closed);
  EXPECT_FALSE(t.window.running());
  EXPECT_EQ(t.inet.CountCalls("GetChunk"), 3);
  EXPECT_EQ(t.inet.requested().size(), 1u);
  EXPECT_TRUE(t.host.messages.empty());
  // The run stopped where it was: no failure handling, no end state, no install.
  EXPECT_EQ(t.model().Caption(Msg2Lbl), "다운로드(KW.exe)");
  EXPECT_EQ(t.model().Caption(Msg0Lbl), "* 작업시작 *");
  EXPECT_EQ(t.model().Caption(ErrViewTxt), "");
  EXPECT_FALSE(t.drive.Has("C:\\TavKorea\\KW.exe"));
  // The download's file was closed: it can be removed and opened again.
  EXPECT_EQ(t.drive.Read("C:\\TavBackup\\KW.exe.part").size(), 3u * 1024);
}

TEST_F(UpdateWindowTest, AFailureThatARunPassesOnIsShownAndTheWindowGoesIdle) {
  t.window.Load();
  // No batch file: the run fails after installing, while starting it.
  t.window.Click(TavEnterCmd);
  ASSERT_EQ(t.host.messages.size(), 1u);
  EXPECT_EQ(t.host.messages[0].first, "KW_Update");
  EXPECT_EQ(t.host.messages[0].second, "File not found: C:\\TavKorea\\KW_Update.Bat\n\n(Error 53)");
  EXPECT_EQ(t.model().Caption(Msg3Lbl), "File not found: C:\\TavKorea\\KW_Update.Bat");
  EXPECT_EQ(t.model().Caption(Msg1Lbl), "등록");
  EXPECT_EQ(t.model().Caption(Msg0Lbl), "* 작업시작 *");
  EXPECT_TRUE(t.model().Enabled(TavEnterCmd));
  EXPECT_TRUE(t.model().Enabled(KwFme));
  EXPECT_TRUE(t.model().Enabled(SsFme));
  EXPECT_EQ(t.host.pointers,
            (std::vector<MousePointer>{MousePointer::kBusy, MousePointer::kDefault}));
  EXPECT_FALSE(t.window.running());
}

TEST_F(UpdateWindowTest, FilesNotInstalledAreLoggedAndTheRunIsNotCalledComplete) {
  t.window.Load();
  t.drive.Write("C:\\TavKorea\\KW_Update.Bat", "@echo off\r\n");
  // Another program has KW.exe open; a folder stands where KZ.exe goes.
  t.drive.Write("C:\\TavKorea\\KW.exe", "old KW");
  t.drive.Hold("C:\\TavKorea\\KW.exe");
  t.drive.MakeFolder("C:\\TavKorea\\KZ.exe");
  t.window.Click(TavEnterCmd);

  EXPECT_EQ(t.model().Caption(ErrViewTxt), "KW.exe\r\nKZ.exe\r\n");
  const std::string description =
      "2 files were not installed; the first: Permission denied (another program is using the "
      "file): C:\\TavKorea\\KW.exe";
  ASSERT_EQ(t.host.messages.size(), 1u);
  EXPECT_EQ(t.host.messages[0].second, description + "\n\n(Error 70)");
  EXPECT_EQ(t.model().Caption(Msg3Lbl), description);
  EXPECT_EQ(t.model().Caption(Msg1Lbl), "등록");
  EXPECT_EQ(t.model().Caption(Msg0Lbl), "* 작업시작 *");
  // The batch file still starts, for whatever was installed.
  EXPECT_EQ(t.processes.started, std::vector<std::string>{"C:\\TavKorea\\KW_Update.Bat"});
  EXPECT_EQ(t.drive.Read("C:\\TavKorea\\KW.exe"), "old KW");
  EXPECT_TRUE(t.model().Enabled(TavEnterCmd));
  EXPECT_FALSE(t.window.running());
}

}  // namespace
}  // namespace kw
