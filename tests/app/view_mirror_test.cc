#include "app/view_mirror.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "app/update_window.h"
#include "support/fakes.h"
#include "support/test_host.h"

namespace kw {
namespace {

using namespace std::chrono_literals;
using enum ControlId;
using testing::FakeClock;
using Log = std::vector<std::string>;

constexpr auto kRefresh = 16ms;

// A toolkit that logs what the mirror asks of it.
class LoggingToolkit final : public ViewToolkit {
 public:
  void SetInput(ViewInput* input) override { input_ = input; }
  std::chrono::nanoseconds RefreshInterval() const override { return kRefresh; }
  void WriteCaption(ControlId id, std::string_view caption) override {
    Note(Name(id) + " = " + std::string(caption));
  }
  void WriteProgress(ControlId id, int percent) override {
    Note(Name(id) + " = " + std::to_string(percent));
  }
  void WriteEnabled(ControlId id, bool enabled) override {
    Note(Name(id) + (enabled ? " enabled" : " disabled"));
  }
  void WriteVisible(ControlId id, bool visible) override {
    Note(Name(id) + (visible ? " shown" : " hidden"));
  }
  void WriteSelected(ControlId id, bool selected) override {
    Note(Name(id) + (selected ? " selected" : " cleared"));
  }
  void PaintWritten() override { Note("paint"); }
  void StartPassTimer(std::chrono::milliseconds delay) override {
    Note("timer " + std::to_string(delay.count()) + "ms");
  }
  void StopPassTimer() override { Note("timer stopped"); }
  void RunPostedTasks() override { Note("tasks"); }
  void ReadSystemEvents() override { Note("system"); }
  void SleepForEvents(std::chrono::milliseconds timeout) override {
    Note("sleep " + std::to_string(timeout.count()) + "ms");
  }
  void Post(std::function<void()>) override {}
  void Show() override { Note("show"); }
  void Close() override { Note("close"); }
  void SetBusyPointer(bool busy) override { Note(busy ? "busy" : "not busy"); }
  void ShowMessageBox(std::string_view title, std::string_view text) override {
    Note("box " + std::string(title) + ": " + std::string(text));
    if (while_box_open) while_box_open();
  }

  ViewInput* input() const { return input_; }
  Log TakeLog() { return std::exchange(log_, {}); }
  std::function<void()> while_box_open;

 private:
  static std::string Name(ControlId id) { return std::string(LayoutOf(id).name); }
  void Note(std::string line) { log_.push_back(std::move(line)); }

  ViewInput* input_ = nullptr;
  Log log_;
};

class ViewMirrorTest : public ::testing::Test {
 protected:
  ViewMirrorTest() {
    clock.Advance(1h);
    mirror.Attach(window);
    toolkit.TakeLog();
  }

  WindowModel& model() { return window.model(); }

  LoggingToolkit toolkit;
  FakeClock clock;
  ViewMirror mirror{toolkit, clock};
  testing::NoDrive files;
  testing::FakeProcesses processes{files};
  testing::ScriptedTransfer inet1{mirror};
  testing::FakeInstanceGuard guard;
  UpdateWindow window{{mirror, clock, files, processes, inet1, guard}, "update.test"};
};

TEST_F(ViewMirrorTest, APumpPaintsWhatTheModelHeldAndReadsTheSystemOnlyWhenItPaintedOrIsDue) {
  model().SetCaption(Msg1Lbl, "로그인");
  model().SetCaption(Msg2Lbl, "");
  EXPECT_EQ(toolkit.TakeLog(), Log{"timer 0ms"});
  mirror.PumpEvents();
  EXPECT_EQ(toolkit.TakeLog(), (Log{"Msg2Lbl = ", "Msg1Lbl = 로그인", "paint", "tasks", "system"}));

  // A download pumps after every kilobyte: looking at the system each time would cost more than
  // the download.
  mirror.PumpEvents();
  EXPECT_EQ(toolkit.TakeLog(), Log{"tasks"});
  clock.Advance(ViewMirror::kSystemEventInterval);
  mirror.PumpEvents();
  EXPECT_EQ(toolkit.TakeLog(), (Log{"tasks", "system"}));

  // A wait always sleeps until the system has something, and counts as a look.
  mirror.WaitForEvents(20ms);
  mirror.PumpEvents();
  EXPECT_EQ(toolkit.TakeLog(), (Log{"sleep 20ms", "tasks"}));
}

TEST_F(ViewMirrorTest, PerChunkDisplaysWaitForTheRefreshAndThePassTimerShowsThemWhenNoPumpComes) {
  model().SetValue(PB1, 41);
  EXPECT_EQ(toolkit.TakeLog(), Log{"timer 0ms"});
  mirror.PassTimerFired();
  EXPECT_EQ(toolkit.TakeLog(), (Log{"PB1 = 41", "paint", "timer stopped"}));

  // Within the same refresh the bar waits; a step caption does not.
  model().SetValue(PB1, 250);
  model().SetCaption(Msg3Lbl, "Response received");
  mirror.PumpEvents();
  EXPECT_EQ(toolkit.TakeLog(),
            (Log{"timer 0ms", "Msg3Lbl = Response received", "paint", "tasks", "system"}));
  clock.Advance(5ms);
  mirror.PassTimerFired();
  EXPECT_EQ(toolkit.TakeLog(), Log{"timer 11ms"});
  clock.Advance(11ms);
  mirror.PassTimerFired();
  // A body longer than announced shows the bar full.
  EXPECT_EQ(toolkit.TakeLog(), (Log{"PB1 = 100", "paint", "timer stopped"}));
}

TEST_F(ViewMirrorTest, AMessageBoxShowsWhatWasWrittenWithTheOrdinaryPointerWhileItIsOpen) {
  mirror.SetMousePointer(MousePointer::kBusy);
  mirror.SetMousePointer(MousePointer::kBusy);
  model().SetCaption(Msg3Lbl, "Permission denied");
  toolkit.TakeLog();
  mirror.ShowMessage("KW_Update", "Permission denied");
  EXPECT_EQ(toolkit.TakeLog(), (Log{"Msg3Lbl = Permission denied", "paint", "not busy",
                                    "box KW_Update: Permission denied", "busy"}));

  // Closed while the box was open: the pointer stays the ordinary one.
  toolkit.while_box_open = [&] { toolkit.input()->CloseRequested(); };
  mirror.ShowMessage("KW_Update", "again");
  EXPECT_EQ(toolkit.TakeLog(), (Log{"not busy", "box KW_Update: again", "timer stopped", "close"}));
}

TEST_F(ViewMirrorTest, APanelThatAppearsShowsItsLatestTextFirst) {
  model().SetCaption(ErrViewTxt, "KW.exe\r\n");
  toolkit.TakeLog();
  window.Click(ErrViewCmd);
  EXPECT_EQ(toolkit.TakeLog(), (Log{"ErrViewTxt = KW.exe\r\n", "paint", "ErrViewFme shown"}));
}

TEST_F(ViewMirrorTest, AfterCloseNothingIsWrittenAgainAndClicksGoNowhere) {
  mirror.SetMousePointer(MousePointer::kBusy);
  toolkit.TakeLog();
  toolkit.input()->Clicked(TavExitCmd);
  EXPECT_EQ(toolkit.TakeLog(), (Log{"timer stopped", "not busy", "close"}));

  toolkit.input()->Clicked(ErrViewCmd);
  toolkit.input()->CloseRequested();
  model().SetCaption(Msg0Lbl, "작업취소");
  mirror.SetMousePointer(MousePointer::kBusy);
  mirror.ShowWindow();
  mirror.PumpEvents();
  EXPECT_FALSE(model().Visible(ErrViewFme));
  EXPECT_EQ(toolkit.TakeLog(), (Log{"tasks", "system"}));
}

}  // namespace
}  // namespace kw
