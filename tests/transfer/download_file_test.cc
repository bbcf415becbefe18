#include "transfer/download_file.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "support/fakes.h"
#include "support/memory_file_system.h"
#include "support/recording_progress.h"
#include "support/test_host.h"
#include "update/product.h"

namespace kw {
namespace {

using testing::RecordingProgress;
using testing::ScriptedResponse;
using Label = DownloadProgress::Label;

constexpr const char* kBase = "http://update.test/tavkorea/data";
constexpr const char* kFolder = "C:\\TavBackup\\Update\\Data";

std::string Body(std::size_t size) {
  std::string body(size, '\0');
  for (std::size_t i = 0; i < size; ++i) body[i] = static_cast<char>('a' + i % 26);
  return body;
}

// DownloadFile on a drive in memory, a scripted transfer control and virtual time.
class DownloadFileTest : public ::testing::Test {
 protected:
  void SetUp() override { t.drive.MakeFolder(kFolder); }

  std::string AddressOf(const std::string& name) { return std::string(kBase) + "/" + name; }

  DownloadResult Download(const std::string& name, ScriptedResponse response) {
    t.inet.Script(AddressOf(name), std::move(response));
    return DownloadFile({t.inet, t.files, t.clock, t.progress}, {kRequestHeaders, kChunkSize},
                        nullptr, kBase, kFolder, name);
  }

  std::string Staged(const std::string& name) {
    return t.drive.Read(std::string(kFolder) + "\\" + name);
  }
  bool IsStaged(const std::string& name) { return t.drive.Has(std::string(kFolder) + "\\" + name); }
  // What a failed download left under its partial name.
  std::string Partial(const std::string& name) { return Staged(name + ".part"); }

  struct {
    testing::MemoryFileSystem drive;
    testing::RecordingFileSystem files{drive};
    testing::FakeClock clock;
    testing::TestHost host{&clock};
    testing::ScriptedTransfer inet{host};
    RecordingProgress progress{host};
  } t;
};

TEST_F(DownloadFileTest, ABodyArrivesInChunksOf1024WithItsProgress) {
  const std::string body = Body(2500);
  EXPECT_EQ(Download("지역01.Tx$", ScriptedResponse{.body = body}), kDownloadComplete);

  EXPECT_EQ(t.inet.CountCalls("GetChunk 1024"), 4);  // 1024, 1024, 452, then nothing
  EXPECT_EQ(Staged("지역01.Tx$"), body);
  // On the disk before it took its name: a power cut cannot leave it short.
  EXPECT_TRUE(t.drive.Synced(std::string(kFolder) + "\\지역01.Tx$"));
  EXPECT_EQ(t.progress.percents, (std::vector<double>{0, 41, 82, 100, 100}));
  EXPECT_EQ(t.progress.shown[Label::kReceived],
            (std::vector<std::string>{"1 KB", "2 KB", "2 KB", "2 KB"}));
  EXPECT_EQ(t.progress.shown[Label::kFile],
            (std::vector<std::string>{"다운로드(지역01.Tx$)", "다운로드(지역01.Tx$) - 다운완료"}));
  EXPECT_EQ(t.progress.error_log, "");
}

TEST_F(DownloadFileTest, TheRequestAsksForTheFileUnderItsStoredName) {
  Download("세금계산서(Tav).dll", ScriptedResponse{.body = "x"});
  const std::vector<std::string> expected = {
      "URL=http://update.test/tavkorea/data/세금계산서(Tav).dll",
      "Execute GET FSize in Bytes: 0\r\n",
  };
  const auto& calls = t.inet.calls();
  const auto url = std::ranges::find(calls, expected[0]);
  ASSERT_NE(url, calls.end());
  EXPECT_EQ(*(url + 1), expected[1]);
}

TEST_F(DownloadFileTest, TheLastChunkEndsTheLoopWhetherShortOneByteOrEmpty) {
  Download("a.bin", ScriptedResponse{.body = Body(1025)});
  EXPECT_EQ(t.inet.CountCalls("GetChunk"), 2);
  EXPECT_EQ(Staged("a.bin").size(), 1025u);

  t.progress.shown.clear();
  Download("b.bin", ScriptedResponse{.body = Body(2048)});
  EXPECT_EQ(t.inet.CountCalls("GetChunk"), 2 + 3);
  EXPECT_EQ(Staged("b.bin"), Body(2048));
  EXPECT_EQ(t.progress.shown[Label::kReceived].size(), 3u);  // refreshed after every chunk
  EXPECT_EQ(t.progress.shown[Label::kElapsed].size(), 3u);

  Download("c.bin", ScriptedResponse{.body = "z"});
  EXPECT_EQ(t.inet.CountCalls("GetChunk"), 5 + 1);
  EXPECT_EQ(Staged("c.bin"), "z");
}

TEST_F(DownloadFileTest, KilobytesRoundHalvesToTheEvenNeighbour) {
  for (const auto& [size, shown] :
       {std::pair{1536, "2 KB"}, {2560, "2 KB"}, {3584, "4 KB"}, {511, "0 KB"}, {513, "1 KB"}}) {
    Download("k.bin", ScriptedResponse{.body = Body(size)});
    EXPECT_EQ(t.progress.Last(Label::kReceived), shown) << size;
  }
}

TEST_F(DownloadFileTest, ElapsedTimeShowsWholeSecondsRoundedDown) {
  // Every pump of the loop takes 0.7 s of the clock.
  t.host.on_pump = [&] { t.clock.Advance(std::chrono::milliseconds(700)); };
  Download("slow.bin", ScriptedResponse{.body = Body(4 * 1024)});
  EXPECT_EQ(t.progress.shown[Label::kElapsed],
            (std::vector<std::string>{"0 sec", "0 sec", "1 sec", "2 sec", "2 sec"}));
}

TEST_F(DownloadFileTest, EveryDownloadEndsWithAOneSecondPause) {
  const Clock::TimePoint before = t.clock.Now();
  Download("a.bin", ScriptedResponse{.body = "a"});
  EXPECT_GE(t.clock.Now() - before, std::chrono::seconds(1));
  EXPECT_LT(t.clock.Now() - before, std::chrono::milliseconds(1200));

  const Clock::TimePoint failed = t.clock.Now();
  Download("b.bin", ScriptedResponse{.status = 500, .reason = "Internal Server Error"});
  EXPECT_GE(t.clock.Now() - failed, std::chrono::seconds(1));
}

TEST_F(DownloadFileTest, TimeWaitSecWaitsItsSecondsAndNothingForZeroOrLess) {
  const int waits = t.host.waits;
  TimeWaitSec(t.clock, t.progress, 0);
  TimeWaitSec(t.clock, t.progress, -3);
  EXPECT_EQ(t.host.waits, waits);
  const Clock::TimePoint before = t.clock.Now();
  TimeWaitSec(t.clock, t.progress, 2);
  EXPECT_GE(t.clock.Now() - before, std::chrono::seconds(2));
  EXPECT_LT(t.clock.Now() - before, std::chrono::milliseconds(2100));
}

// What every failed download shows: its text as the transfer state, the name in the log, the
// cancel mark.
template <typename Seams>
void ExpectFailed(Seams& t, DownloadResult result, const std::string& name,
                  const std::string& text) {
  EXPECT_EQ(result, kDownloadFailed);
  EXPECT_EQ(t.progress.Last(Label::kTransferState), text);
  EXPECT_EQ(t.progress.Last(Label::kFile), "다운로드(" + name + ") - 다운취소");
  EXPECT_EQ(t.inet.calls().back().substr(0, 6), "Cancel") << "cancelled before the pause";
}

TEST_F(DownloadFileTest, AMissingOrUnusableLengthFailsBeforeTheFileExists) {
  ExpectFailed(t, Download("none.Tx$", ScriptedResponse{.body = "abc", .content_length = ""}),
               "none.Tx$", "Type mismatch: the server sent no Content-Length");
  EXPECT_FALSE(IsStaged("none.Tx$"));

  ExpectFailed(t, Download("word.Tx$", ScriptedResponse{.body = "abc", .content_length = "many"}),
               "word.Tx$", "Type mismatch: Content-Length \"many\" is not a number");
  EXPECT_FALSE(IsStaged("word.Tx$"));

  ExpectFailed(t,
               Download("big.Tx$", ScriptedResponse{.body = "abc", .content_length = "3000000000"}),
               "big.Tx$", "Overflow: Content-Length 3000000000 is too large");
  EXPECT_EQ(t.progress.error_log, "none.Tx$\r\nword.Tx$\r\nbig.Tx$\r\n");
}

TEST_F(DownloadFileTest, ALengthOfZeroFailsAtTheFirstChunkAndKeepsIt) {
  ExpectFailed(t, Download("zero.bin", ScriptedResponse{.body = Body(3000), .content_length = "0"}),
               "zero.bin", "Division by zero: the server announced a length of 0");
  EXPECT_EQ(Partial("zero.bin"), Body(1024));
  EXPECT_FALSE(IsStaged("zero.bin"));
  EXPECT_EQ(t.inet.CountCalls("GetChunk"), 1);
}

TEST_F(DownloadFileTest, AnErrorStatusIsNeverSavedAsTheFile) {
  ExpectFailed(t,
               Download("KW.exe", ScriptedResponse{.status = 404,
                                                   .reason = "Not Found",
                                                   .body = "<html>Not Found</html>"}),
               "KW.exe", "The server answered 404 Not Found for KW.exe");
  EXPECT_FALSE(IsStaged("KW.exe"));
  ExpectFailed(
      t,
      Download("KZ.exe",
               ScriptedResponse{.status = 500, .reason = "Internal Server Error", .body = "oops"}),
      "KZ.exe", "The server answered 500 Internal Server Error for KZ.exe");
  // A part of the file, to a request for all of it.
  ExpectFailed(
      t,
      Download("KY.exe",
               ScriptedResponse{.status = 206, .reason = "Partial Content", .body = "half"}),
      "KY.exe", "The server answered 206 Partial Content for KY.exe, a part of it, not all");
  EXPECT_FALSE(IsStaged("KY.exe"));
  EXPECT_EQ(t.progress.error_log, "KW.exe\r\nKZ.exe\r\nKY.exe\r\n");
}

TEST_F(DownloadFileTest, AnUnreachableHostShowsItsOwnText) {
  ExpectFailed(
      t,
      Download("KW.exe", ScriptedResponse{.failure = Failure(error::kCannotConnect,
                                                             "Connection refused: update.test"),
                                          .head_states = {kResolvingHost, kConnecting}}),
      "KW.exe", "Cannot connect to remote host");
  EXPECT_FALSE(IsStaged("KW.exe"));
}

TEST_F(DownloadFileTest, ABodyThatBreaksOffOrEndsShortFailsAndTheNextDownloadWorks) {
  ExpectFailed(t,
               Download("cut.bin", ScriptedResponse{.body = Body(5000), .fail_after_bytes = 2048}),
               "cut.bin", "The connection was reset");
  EXPECT_EQ(Partial("cut.bin"), Body(2048));
  EXPECT_FALSE(IsStaged("cut.bin"));

  ExpectFailed(
      t, Download("short.bin", ScriptedResponse{.body = Body(2500), .content_length = "3000"}),
      "short.bin", "The download of short.bin ended after 2500 of 3000 bytes");

  // The file of the failed download was closed: the next one opens its own normally.
  EXPECT_EQ(Download("next.bin", ScriptedResponse{.body = Body(1500)}), kDownloadComplete);
  EXPECT_EQ(Staged("next.bin"), Body(1500));
  EXPECT_FALSE(IsStaged("next.bin.part"));
  EXPECT_EQ(t.progress.error_log, "cut.bin\r\nshort.bin\r\n");
}

TEST_F(DownloadFileTest, ABodyLongerThanAnnouncedFailsAtTheFirstChunkPastTheLength) {
  // An endless body would otherwise fill the disk.
  ExpectFailed(
      t, Download("long.bin", ScriptedResponse{.body = Body(64 * 1024), .content_length = "2000"}),
      "long.bin", "The download of long.bin went past the 2000 bytes the server announced");
  EXPECT_EQ(Partial("long.bin"), Body(2048));
  EXPECT_FALSE(IsStaged("long.bin"));
  EXPECT_EQ(t.inet.CountCalls("GetChunk"), 2);
  EXPECT_EQ(t.progress.error_log, "long.bin\r\n");
}

TEST_F(DownloadFileTest, ProgressOfTheLastFileStaysUntilTheFirstChunkOfTheNext) {
  Download("first.bin", ScriptedResponse{.body = Body(3000)});
  const auto before = t.progress.shown;
  t.progress.percents.clear();
  Download("gone.bin", ScriptedResponse{.status = 404, .reason = "Not Found"});
  // The displays keep "3 KB" and "0 sec"; only the bar starts again.
  EXPECT_EQ(t.progress.shown[Label::kReceived], before.at(Label::kReceived));
  EXPECT_EQ(t.progress.shown[Label::kElapsed], before.at(Label::kElapsed));
  EXPECT_EQ(t.progress.percents, std::vector<double>{0});
}

TEST_F(DownloadFileTest, AnEarlierFileAtThePathIsReplacedWhole) {
  t.drive.Write(std::string(kFolder) + "\\old.Tx$", std::string(5000, 'o'));
  t.drive.Write(std::string(kFolder) + "\\old.Tx$.part", std::string(5000, 'p'));
  Download("old.Tx$", ScriptedResponse{.body = "new"});
  EXPECT_EQ(Staged("old.Tx$"), "new");
  EXPECT_FALSE(IsStaged("old.Tx$.part"));
}

}  // namespace
}  // namespace kw
