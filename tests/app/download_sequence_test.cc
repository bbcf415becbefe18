#include <gtest/gtest.h>

#include <algorithm>

#include "app/update_window.h"
#include "support/test_window.h"

namespace kw {
namespace {

using enum ControlId;
using testing::ScriptedResponse;
using testing::TestWindow;

const std::vector<std::string> kExecutableSteps = {"로그인", "DownLoad(KW.exe)",
                                                   "DownLoad(KZ.exe)"};
const std::vector<std::string> kListSteps = {"DownLoad(TavKorea)", "DownLoad(TavKorea\\Data)",
                                             "DownLoad(TavKorea\\Font)",
                                             "DownLoad(TavKorea\\Image)"};
const std::vector<std::string> kEndSteps = {"닫기", "복사", "등록", "완료"};

std::vector<std::string> Join(std::initializer_list<std::vector<std::string>> parts) {
  std::vector<std::string> joined;
  for (const auto& part : parts) joined.insert(joined.end(), part.begin(), part.end());
  return joined;
}

// RunDownloads as StartUpdate calls it: on a prepared workspace with the batch file in place.
class DownloadSequenceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TestWindow::Load(t);
    t.CreateWorkspace();
    t.drive.Write("C:\\TavKorea\\KW_Update.Bat", "@echo off\r\n");
  }

  void FullUpdate() { t.model().Select(TavSelt1Opt); }
  std::vector<std::string> Steps() { return t.recorder.Captions(Msg1Lbl); }

  TestWindow t;
};

TEST_F(DownloadSequenceTest, AnExecutablesOnlyRunFetchesTwoFilesAndCompletes) {
  t.window.RunDownloads();

  EXPECT_EQ(Steps(), Join({kExecutableSteps, kEndSteps}));
  EXPECT_EQ(t.inet.requested(), (std::vector<std::string>{"http://update.test/jdatas3/KW.exe",
                                                          "http://update.test/jdatas3/KZ.exe"}));
  EXPECT_EQ(t.drive.Read("C:\\TavBackup\\KW.exe"), "content of http://update.test/jdatas3/KW.exe");
  EXPECT_EQ(t.drive.Read("C:\\TavKorea\\KZ.exe"), "content of http://update.test/jdatas3/KZ.exe");
  EXPECT_EQ(t.processes.started, std::vector<std::string>{"C:\\TavKorea\\KW_Update.Bat"});
  EXPECT_EQ(t.model().Caption(Msg0Lbl), "작업완료");
}

TEST_F(DownloadSequenceTest, TheLogInSetsUpTheControlInOrderAndWaitsUntilItIsIdle) {
  t.window.RunDownloads();
  const std::vector<std::string> head(t.inet.calls().begin(), t.inet.calls().begin() + 5);
  EXPECT_EQ(head, (std::vector<std::string>{"AccessType=2", "URL=update.test", "UserName=tav",
                                            "Password=R6150384", "StillExecuting"}));
  // The close-down: "Quit", then cancel, after the last download.
  const auto quit = std::ranges::find(t.inet.calls(), "Execute Quit ");
  ASSERT_NE(quit, t.inet.calls().end());
  EXPECT_EQ(*(quit + 1), "Cancel");
}

TEST_F(DownloadSequenceTest, AFullUpdateFetchesEveryListInSlotOrderIntoItsStagingFolder) {
  FullUpdate();
  t.window.RunDownloads();

  EXPECT_EQ(Steps(), Join({kExecutableSteps, kListSteps, kEndSteps}));
  const std::vector<std::string>& requested = t.inet.requested();
  ASSERT_EQ(requested.size(), 2u + 177u);
  std::vector<std::string> expected = {"http://update.test/jdatas3/KW.exe",
                                       "http://update.test/jdatas3/KZ.exe"};
  for (const ListRoute& list_route : kListRoutes) {
    const FileList& list = t.window.catalogue().List(list_route.list);
    for (int slot = 1; !list[slot].empty(); ++slot) {
      expected.push_back(TestWindow::Address(list_route.route.server_path, list[slot]));
    }
  }
  EXPECT_EQ(requested, expected);
  EXPECT_TRUE(t.drive.Has("C:\\TavBackup\\Update\\KW_Update.Ba$"));
  EXPECT_TRUE(t.drive.Has("C:\\TavBackup\\Update\\Data\\지역17.Tx$"));
  EXPECT_TRUE(t.drive.Has("C:\\TavBackup\\Update\\Font\\FontMap.Tx$"));
  EXPECT_TRUE(t.drive.Has("C:\\TavBackup\\Update\\Image\\Stamp(직인).bmp"));
  EXPECT_TRUE(t.drive.Has("C:\\TavKorea\\KW_Update.Bat"));
  EXPECT_EQ(t.model().Caption(Msg0Lbl), "작업완료");
}

TEST_F(DownloadSequenceTest, EmptySlotsAreSkippedNeverTakenAsTheEnd) {
  FullUpdate();
  FileCatalogue& catalogue = t.window.catalogue();
  for (int slot = 1; slot <= 1000; ++slot) {
    catalogue.RootFileList.Set(slot, "");
    catalogue.DataFileList.Set(slot, "");
    catalogue.FontFileList.Set(slot, "");
    catalogue.ImageFileList.Set(slot, "");
  }
  catalogue.DataFileList.Set(1, "one.Tx$");
  catalogue.DataFileList.Set(6, "six.Tx$");  // a gap at 2 to 5
  catalogue.ImageFileList.Set(1000, "last.bmp");
  catalogue.ImageFileList.Set(7, " ");  // a blank is a name like any other

  t.window.RunDownloads();

  EXPECT_EQ(
      t.inet.requested(),
      (std::vector<std::string>{
          "http://update.test/jdatas3/KW.exe", "http://update.test/jdatas3/KZ.exe",
          "http://update.test/tavkorea/data/one.Tx$", "http://update.test/tavkorea/data/six.Tx$",
          "http://update.test/tavkorea/image/ ", "http://update.test/tavkorea/image/last.bmp"}));
  // The lists with nothing to fetch still announce themselves, clearing the file and state.
  EXPECT_EQ(Steps(), Join({kExecutableSteps, kListSteps, kEndSteps}));
  const std::vector<std::string>& lines = t.recorder.lines();
  const auto font = std::ranges::find(lines, "Msg1Lbl ← DownLoad(TavKorea\\Font)");
  ASSERT_NE(font, lines.end());
  EXPECT_EQ(*(font + 1), "Msg2Lbl ← ");
  EXPECT_EQ(*(font + 2), "Msg3Lbl ← ");
  EXPECT_TRUE(t.drive.Has("C:\\TavKorea\\Image\\ "));
}

TEST_F(DownloadSequenceTest, AFailedExecutableEndsTheRunAtOnce) {
  t.model().SetCaption(Msg0Lbl, "* 작업시작 *");
  FullUpdate();
  t.inet.Script("http://update.test/jdatas3/KW.exe",
                ScriptedResponse{.status = 404, .reason = "Not Found"});
  t.window.RunDownloads();

  EXPECT_EQ(t.inet.requested(), std::vector<std::string>{"http://update.test/jdatas3/KW.exe"});
  EXPECT_EQ(Steps(), (std::vector<std::string>{"로그인", "DownLoad(KW.exe)"}));
  EXPECT_EQ(t.model().Caption(Msg2Lbl), "다운로드(KW.exe) - 다운취소");
  EXPECT_EQ(t.model().Caption(Msg0Lbl), "* 작업시작 *");
  EXPECT_EQ(t.inet.CountCalls("Execute Quit"), 0);
  EXPECT_TRUE(t.processes.started.empty());
  EXPECT_FALSE(t.drive.Has("C:\\TavKorea\\KW.exe"));
}

TEST_F(DownloadSequenceTest, AFailedDataFileStopsTheRunWithNothingInstalled) {
  FullUpdate();
  const std::string& third = t.window.catalogue().DataFileList[3];
  t.inet.Script(TestWindow::Address("/tavkorea/data", third),
                ScriptedResponse{.body = "abc", .fail_after_bytes = 1});
  t.window.RunDownloads();

  const std::vector<std::string>& requested = t.inet.requested();
  EXPECT_EQ(requested.back(), TestWindow::Address("/tavkorea/data", third));
  EXPECT_EQ(requested.size(), 2u + 93u + 3u);
  EXPECT_EQ(Steps().back(), "DownLoad(TavKorea\\Data)");
  EXPECT_EQ(t.model().Caption(ErrViewTxt), third + "\r\n");
  // Staged, but not installed.
  EXPECT_TRUE(t.drive.Has("C:\\TavBackup\\KW.exe"));
  EXPECT_TRUE(t.drive.Has("C:\\TavBackup\\Update\\OrvGrid.ocx"));
  EXPECT_FALSE(t.drive.Has("C:\\TavKorea\\KW.exe"));
  EXPECT_FALSE(t.drive.Has("C:\\TavKorea\\OrvGrid.ocx"));
  EXPECT_TRUE(t.processes.started.empty());
}

TEST_F(DownloadSequenceTest, AnUnreachableServerDuringTheLogInCancelsTheRun) {
  t.inet.before_call = [](std::string_view call) {
    if (call == "StillExecuting") {
      throw Failure(error::kCannotConnect, "Could not resolve host: update.test");
    }
  };
  t.window.RunDownloads();

  EXPECT_EQ(t.model().Caption(Msg3Lbl), "Cannot connect to remote host");
  EXPECT_EQ(t.model().Caption(Msg0Lbl), "작업취소");
  EXPECT_EQ(t.model().Caption(Msg1Lbl), "로그인");
  EXPECT_TRUE(t.inet.requested().empty());
  EXPECT_EQ(t.inet.calls().back(), "Cancel");
  EXPECT_EQ(t.model().Caption(ErrViewTxt), "");
}

TEST_F(DownloadSequenceTest, AnyOtherFailureInTheDownloadPhaseShowsItsTextAndIsConsumed) {
  // The third request is the close-down's "Quit".
  t.inet.before_call = [executes = 0](std::string_view call) mutable {
    if (call == "Execute" && ++executes == 3) {
      throw Failure(error::kTransferFailed, "The connection was lost");
    }
  };
  EXPECT_NO_THROW(t.window.RunDownloads());

  EXPECT_EQ(t.model().Caption(Msg3Lbl), "The connection was lost");
  EXPECT_EQ(t.model().Caption(Msg0Lbl), "작업취소");
  EXPECT_EQ(t.model().Caption(Msg1Lbl), "닫기");
  EXPECT_FALSE(t.drive.Has("C:\\TavKorea\\KW.exe"));
  EXPECT_TRUE(t.processes.started.empty());
}

TEST_F(DownloadSequenceTest, AMissingBatchFilePassesOnAfterInstalling) {
  t.drive.Remove("C:\\TavKorea\\KW_Update.Bat");
  try {
    t.window.RunDownloads();
    FAIL() << "the failure to start the batch file was swallowed";
  } catch (const Failure& failure) {
    EXPECT_EQ(failure.number(), error::kFileNotFound);
  }
  EXPECT_EQ(t.model().Caption(Msg1Lbl), "등록");
  EXPECT_NE(t.model().Caption(Msg0Lbl), "작업완료");
  EXPECT_TRUE(t.drive.Has("C:\\TavKorea\\KW.exe"));
}

}  // namespace
}  // namespace kw
