#include "update/run_record.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "app/update_window.h"
#include "support/memory_file_system.h"
#include "support/test_host.h"
#include "support/test_window.h"

namespace kw {
namespace {

using enum ControlId;
using std::chrono::milliseconds;
using ::testing::ElementsAre;
using testing::FakeClock;
using testing::MemoryFileSystem;
using testing::ScriptedResponse;
using ::testing::StartsWith;
using testing::TestWindow;

constexpr const char* kRecordPath = "C:\\TavBackup\\KW_Update.log";

// The record's lines without their CR LF.
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = text.find("\r\n", at);
    lines.push_back(text.substr(at, end - at));
    at = end == std::string::npos ? text.size() : end + 2;
  }
  return lines;
}

// The lines without their time stamp, and with every time in seconds as "seconds=S".
std::vector<std::string> Events(const std::string& text) {
  std::vector<std::string> events;
  for (std::string line : Lines(text)) {
    line.erase(0, line.find(' ') + 1);
    if (const std::size_t at = line.find("seconds="); at != std::string::npos) {
      line.replace(at, line.find_first_of(" :", at) - at, "seconds=S");
    }
    events.push_back(line);
  }
  return events;
}

// --- The record on its own.

class RunRecordTest : public ::testing::Test {
 protected:
  void SetUp() override { drive.MakeFolder("C:\\TavBackup"); }
  void Start() { record.Start(kRecordPath, "2.50", /*full_update=*/true, "update.test"); }
  std::string Text() { return drive.Read(kRecordPath); }

  MemoryFileSystem drive;
  FakeClock clock;
  RunRecord record{drive, clock};
};

TEST_F(RunRecordTest, ARunIsOneLinePerEventTheUtcTimeFirst) {
  drive.Write(kRecordPath, "2026-12-07T10:00:00Z end complete seconds=3.000\r\n");
  Start();
  clock.Advance(std::chrono::milliseconds(1500));
  record.Downloaded("KW.exe", 5242880, milliseconds(412), 0);
  clock.Advance(std::chrono::seconds(61));
  record.Downloaded("KZ.exe", 2097152, milliseconds(20201), 1048576);
  record.Unchanged("지역01.Tx$");
  record.DownloadFailed("OrvGrid.ocx", "The server answered 404 Not Found for OrvGrid.ocx");
  record.NotInstalled({{"KW.exe", "KZ.exe"},
                       Failure(error::kPermissionDenied, "Permission denied: C:\\K\\KW.exe")});
  record.BatchStarted("C:\\TavKorea\\KW_Update.Bat");
  clock.Advance(std::chrono::hours(24));
  record.End(RunEnd::kComplete);

  EXPECT_EQ(Text(),
            "2026-12-07T10:00:00Z end complete seconds=3.000\r\n"
            "2026-12-08T00:00:00Z start version=2.50 scope=full host=update.test\r\n"
            "2026-12-08T00:00:01Z downloaded KW.exe bytes=5242880 seconds=0.412\r\n"
            "2026-12-08T00:01:02Z downloaded KZ.exe bytes=2097152 seconds=20.201 "
            "resumed-at=1048576\r\n"
            "2026-12-08T00:01:02Z unchanged 지역01.Tx$\r\n"
            "2026-12-08T00:01:02Z failed OrvGrid.ocx: The server answered 404 Not Found for "
            "OrvGrid.ocx\r\n"
            "2026-12-08T00:01:02Z not-installed KW.exe: Permission denied: C:\\K\\KW.exe\r\n"
            "2026-12-08T00:01:02Z not-installed KZ.exe\r\n"
            "2026-12-08T00:01:02Z batch-started C:\\TavKorea\\KW_Update.Bat\r\n"
            "2026-12-09T00:01:02Z end complete seconds=86462.500\r\n");
}

// How each way of ending reads is the window's table below; here, what only the record decides.
TEST_F(RunRecordTest, ARunIsRecordedFromItsStartToItsFirstEndEachTextOnOneLineCutBeforeACharacter) {
  record.Downloaded("KW.exe", 1, milliseconds(1), 0);
  record.End(RunEnd::kComplete);
  EXPECT_FALSE(drive.Has(kRecordPath));

  Start();
  record.End(RunEnd::kFailed, "File not found:\r\nC:\\TavKorea\\KW_Update.Bat (Error 53)");
  // The first end stands; what comes after it is not the run's.
  record.End(RunEnd::kComplete);
  record.Unchanged("late.dll");
  EXPECT_THAT(Events(Text()),
              ElementsAre("start version=2.50 scope=full host=update.test",
                          "end failed seconds=S: File not found:  C:\\TavKorea\\KW_Update.Bat "
                          "(Error 53)"));

  drive.Remove(kRecordPath);
  Start();
  std::string why;
  while (why.size() < 3 * RunRecord::kMaxLineBytes) why += "연결이 끊겼습니다 ";
  record.DownloadFailed("KW.exe", why);
  const std::string failed = Lines(Text())[1];
  EXPECT_LE(failed.size(), RunRecord::kMaxLineBytes);
  EXPECT_GT(failed.size(), RunRecord::kMaxLineBytes - 3);
  // It ends on a whole character: the cut text is a prefix of the line as it would have been.
  EXPECT_EQ(failed.substr(failed.find(": ") + 2),
            why.substr(0, failed.size() - failed.find(": ") - 2));
  EXPECT_NE(static_cast<unsigned char>(why[failed.size() - failed.find(": ") - 2]) & 0xC0, 0x80);
}

TEST_F(RunRecordTest, LinesWaitForAFolderThatTheRunStartCreates) {
  drive.Remove("C:\\TavBackup");
  Start();
  EXPECT_FALSE(drive.Has(kRecordPath));
  drive.MakeFolder("C:\\TavBackup");
  record.Downloaded("KW.exe", 7, milliseconds(5), 0);
  EXPECT_THAT(Events(Text()), ElementsAre("start version=2.50 scope=full host=update.test",
                                          "downloaded KW.exe bytes=7 seconds=S"));
}

// A record of numbered lines, `bytes` long or a line less.
std::string NumberedLines(std::size_t bytes) {
  std::string text;
  for (int n = 0;; ++n) {
    std::string line = "2026-12-01T00:00:00Z downloaded file" + std::to_string(n) +
                       ".dat bytes=1234 seconds=0.100\r\n";
    if (text.size() + line.size() > bytes) return text;
    text += line;
  }
}

TEST_F(RunRecordTest, AnAppendPastTheLimitKeepsTheNewerHalfFromALineBoundary) {
  const std::string old = NumberedLines(RunRecord::kLimitBytes - 10);
  drive.Write(kRecordPath, old);
  Start();

  const std::string text = Text();
  const std::string start_line =
      "2026-12-08T00:00:00Z start version=2.50 scope=full host=update.test\r\n";
  ASSERT_TRUE(text.ends_with(start_line));
  const std::string kept = text.substr(0, text.size() - start_line.size());
  // The newer half of the old lines, whole lines only.
  EXPECT_TRUE(old.ends_with(kept));
  EXPECT_EQ(old[old.size() - kept.size() - 1], '\n');
  EXPECT_THAT(kept, StartsWith("2026-12-01T00:00:00Z downloaded file"));
  EXPECT_LE(kept.size(), RunRecord::kLimitBytes / 2);
  EXPECT_GT(kept.size(), RunRecord::kLimitBytes / 2 - 100);
  // Through one file beside it, renamed over it after its bytes reached the disk.
  EXPECT_THAT(drive.List("C:\\TavBackup"), ElementsAre("KW_Update.log"));
  EXPECT_TRUE(drive.Synced(kRecordPath));

  // The record then grows by appends again.
  record.Unchanged("a.dll");
  EXPECT_EQ(Text().size(),
            text.size() + std::string("2026-12-08T00:00:00Z unchanged a.dll\r\n").size());
}

TEST_F(RunRecordTest, ARotationThatCannotBeDoneLeavesTheRecordWholeAndNothingBeside) {
  const std::string old = NumberedLines(RunRecord::kLimitBytes - 10);
  struct Row {
    std::string what;
    std::function<void()> block;
    std::vector<std::string> left;
  };
  const std::vector<Row> rows = {
      // Another program holds the record: the new file cannot take its place.
      {"record held", [&] { drive.Hold(kRecordPath); }, {"KW_Update.log"}},
      // A folder stands where the new file would be written.
      {"folder in the way",
       [&] { drive.MakeFolder("C:\\TavBackup\\KW_Update.log.new"); },
       {"KW_Update.log", "KW_Update.log.new"}},
  };
  for (const Row& row : rows) {
    drive.Remove("C:\\TavBackup");
    drive.Write(kRecordPath, old);
    row.block();
    EXPECT_NO_THROW(Start()) << row.what;
    record.End(RunEnd::kComplete);
    EXPECT_EQ(Text(), old) << row.what;
    EXPECT_EQ(drive.List("C:\\TavBackup"), row.left) << row.what;
  }
}

// --- The window writes a run's record.

// A loaded window on a workspace with its batch file.
void Prepare(TestWindow& t) {
  TestWindow::Load(t);
  t.CreateWorkspace();
  t.drive.Write("C:\\TavKorea\\KW_Update.Bat", "@echo off\r\n");
}

TEST(WindowRecordTest, ARunRecordsItsStartEachFileTheBatchStartAndItsEnd) {
  TestWindow t;
  Prepare(t);
  t.model().Select(TavSelt1Opt);
  t.inet.Script(TestWindow::Address("/jdatas3", "KW.exe"), {.body = std::string(3000, 'w')});
  t.window.Click(TavEnterCmd);
  ASSERT_EQ(t.model().Caption(Msg0Lbl), "작업완료");

  const std::vector<std::string> events = Events(t.drive.Read(kRecordPath));
  ASSERT_GT(events.size(), 5u);
  EXPECT_EQ(events.front(), "start version=" KW_PRODUCT_VERSION " scope=full host=update.test");
  EXPECT_EQ(events[1], "downloaded KW.exe bytes=3000 seconds=S");
  EXPECT_THAT(events[2], StartsWith("downloaded KZ.exe bytes="));
  // Every file of the full update, then the batch file and the end.
  EXPECT_EQ(static_cast<std::size_t>(std::ranges::count_if(
                events, [](const std::string& e) { return e.starts_with("downloaded "); })),
            t.inet.requested().size());
  EXPECT_EQ(events[events.size() - 2], "batch-started C:\\TavKorea\\KW_Update.Bat");
  EXPECT_EQ(events.back(), "end complete seconds=S");
  EXPECT_THAT(Lines(t.drive.Read(kRecordPath)).back(), StartsWith("2026-12-08T00:"));
}

TEST(WindowRecordTest, EveryWayARunEndsIsRecorded) {
  struct Row {
    std::string what;
    std::function<void(TestWindow&)> arrange;
    std::vector<std::string> last;  // the record's last events
  };
  const std::string kFolderInTheWay =
      "Path/File access error (a folder stands where a file should be): C:\\TavKorea\\KZ.exe";
  const std::vector<Row> rows = {
      {"a failed download",
       [](TestWindow& w) {
         w.inet.Script(TestWindow::Address("/jdatas3", "KZ.exe"),
                       {.status = 503, .reason = "Service Unavailable"});
       },
       {"failed KZ.exe: The server answered 503 Service Unavailable for KZ.exe",
        "end stopped seconds=S: KZ.exe failed"}},
      {"no server",
       [](TestWindow& w) {
         w.inet.before_call = [](std::string_view call) {
           if (call == "StillExecuting") throw Failure(error::kCannotConnect, "no host");
         };
       },
       {"start version=" KW_PRODUCT_VERSION " scope=executables host=update.test",
        "end cancelled seconds=S: Cannot connect to remote host"}},
      {"files not installed",
       [](TestWindow& w) { w.drive.MakeFolder("C:\\TavKorea\\KZ.exe"); },
       {"not-installed KZ.exe: " + kFolderInTheWay, "batch-started C:\\TavKorea\\KW_Update.Bat",
        "end not-installed seconds=S: 1 file was not installed: " + kFolderInTheWay}},
      {"no batch file",
       [](TestWindow& w) { w.drive.Remove("C:\\TavKorea\\KW_Update.Bat"); },
       {"downloaded KZ.exe bytes=44 seconds=S",
        "end failed seconds=S: File not found: C:\\TavKorea\\KW_Update.Bat (Error 53)"}},
      {"window closed",
       [](TestWindow& w) {
         w.inet.Script(TestWindow::Address("/jdatas3", "KW.exe"),
                       {.body = std::string(10 * 1024, 'k')});
         w.host.on_pump = [&w] {
           if (w.inet.CountCalls("GetChunk") == 3) w.window.Unload();
         };
       },
       {"start version=" KW_PRODUCT_VERSION " scope=executables host=update.test",
        "end abandoned seconds=S: the window was closed"}},
  };
  for (const Row& row : rows) {
    TestWindow w;
    Prepare(w);
    row.arrange(w);
    w.window.Click(TavEnterCmd);
    const std::vector<std::string> events = Events(w.drive.Read(kRecordPath));
    ASSERT_GE(events.size(), row.last.size()) << row.what;
    EXPECT_EQ(std::vector(events.end() - row.last.size(), events.end()), row.last) << row.what;
  }
}

TEST(WindowRecordTest, ARecordThatCannotBeWrittenNeverFailsARun) {
  const std::vector<std::function<void(TestWindow&)>> blocks = {
      [](TestWindow& w) { w.drive.MakeFolder(kRecordPath); },
      [](TestWindow& w) {
        w.drive.Write(kRecordPath, "kept\r\n");
        w.drive.Hold(kRecordPath);
      },
  };
  for (const auto& block : blocks) {
    TestWindow w;
    Prepare(w);
    block(w);
    w.window.Click(TavEnterCmd);
    EXPECT_EQ(w.model().Caption(Msg0Lbl), "작업완료");
    EXPECT_TRUE(w.host.messages.empty());
    EXPECT_EQ(w.model().Caption(ErrViewTxt), "");
    EXPECT_THAT(w.drive.List("C:\\TavBackup"),
                ElementsAre("KW.exe", "KW_Update.log", "KZ.exe", "Update"));
  }
}

}  // namespace
}  // namespace kw
