#include "app/view_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace kw {
namespace {

using namespace std::chrono_literals;
using enum ControlId;

TEST(AccessibleName, IsTheCaptionOrWhileThereIsNoneADescriptiveName) {
  EXPECT_EQ(AccessibleName(Msg1Lbl, "로그인"), "로그인");
  EXPECT_EQ(AccessibleName(Msg1Lbl, ""), "작업 단계");
  EXPECT_EQ(AccessibleName(PB1, ""), "진행률");
  EXPECT_EQ(AccessibleName(TavEnterCmd, "확인"), "확인");
  // The log's text is its value; its name stays.
  EXPECT_EQ(AccessibleName(ErrViewTxt, "KW.exe\r\n"), "오류 목록");
  EXPECT_EQ(AccessibleName(ErrViewTxt, ""), "오류 목록");
  // Every control has some name, whatever it shows.
  for (const ControlLayout& layout : kControlLayouts) {
    EXPECT_FALSE(AccessibleName(layout.id, "").empty()) << layout.name;
  }
}

TEST(ShownProgress, RoundsIntoTheBarsRange) {
  EXPECT_EQ(ShownProgress(0), 0);
  EXPECT_EQ(ShownProgress(41), 41);
  EXPECT_EQ(ShownProgress(99.6), 100);
  EXPECT_EQ(ShownProgress(100), 100);
  EXPECT_EQ(ShownProgress(250), 100);
  EXPECT_EQ(ShownProgress(1e300), 100);
  EXPECT_EQ(ShownProgress(-3), 0);
  EXPECT_EQ(ShownProgress(std::numeric_limits<double>::quiet_NaN()), 0);
}

TEST(TwipsToPixels, IsTheNearestPixelAtTheScreensResolution) {
  EXPECT_EQ(TwipsToPixels(5955, 96), 397);
  EXPECT_EQ(TwipsToPixels(15, 96), 1);
  EXPECT_EQ(TwipsToPixels(5955, 144), 596);
}

class ScreenUpdatesTest : public ::testing::Test {
 protected:
  using TimePoint = ScreenUpdates::TimePoint;

  // What a pass at `now` writes, as "Name.caption" / "Name.value".
  std::vector<std::string> Take(TimePoint now) {
    std::vector<std::string> written;
    updates_.Take(now, [&](ControlId id, ControlProperty property) {
      written.push_back(std::string(LayoutOf(id).name) +
                        (property == ControlProperty::kCaption ? ".caption" : ".value"));
    });
    return written;
  }

  ScreenUpdates updates_{16ms};
  TimePoint start_ = TimePoint{} + 1h;
};

TEST_F(ScreenUpdatesTest, StepsStatesAndFailuresAreWrittenByTheNextPass) {
  updates_.Mark(Msg0Lbl, ControlProperty::kCaption);
  updates_.Mark(Msg1Lbl, ControlProperty::kCaption);
  updates_.Mark(Msg1Lbl, ControlProperty::kCaption);
  updates_.Mark(TavEnterCmd, ControlProperty::kEnabled);  // the view's to write at once
  EXPECT_EQ(Take(start_), (std::vector<std::string>{"Msg1Lbl.caption", "Msg0Lbl.caption"}));
  EXPECT_EQ(Take(start_), std::vector<std::string>{});

  // However soon after the last pass.
  updates_.Mark(Msg3Lbl, ControlProperty::kCaption);
  EXPECT_EQ(Take(start_ + 1us), std::vector<std::string>{"Msg3Lbl.caption"});
  EXPECT_FALSE(updates_.NextDue());
}

TEST_F(ScreenUpdatesTest, PerChunkDisplaysAreWrittenAtMostOncePerRefresh) {
  updates_.Mark(PB1, ControlProperty::kValue);
  updates_.Mark(GetFileLbl, ControlProperty::kCaption);
  EXPECT_EQ(Take(start_), (std::vector<std::string>{"PB1.value", "GetFileLbl.caption"}));

  // The next chunks, within the refresh: held back, while a step caption is not.
  updates_.Mark(PB1, ControlProperty::kValue);
  updates_.Mark(GetTimeLbl, ControlProperty::kCaption);
  updates_.Mark(Msg2Lbl, ControlProperty::kCaption);
  EXPECT_EQ(Take(start_ + 5ms), std::vector<std::string>{"Msg2Lbl.caption"});
  ASSERT_TRUE(updates_.NextDue());
  EXPECT_EQ(*updates_.NextDue(), start_ + 16ms);
  updates_.Mark(PB1, ControlProperty::kValue);
  EXPECT_EQ(Take(start_ + 15ms), std::vector<std::string>{});

  // A refresh after they were last written, their latest state goes out, once.
  EXPECT_EQ(Take(start_ + 16ms), (std::vector<std::string>{"PB1.value", "GetTimeLbl.caption"}));
  EXPECT_FALSE(updates_.NextDue());
  EXPECT_EQ(Take(start_ + 40ms), std::vector<std::string>{});

  // After a quiet spell the first chunk's displays go out at once.
  updates_.Mark(GetFileLbl, ControlProperty::kCaption);
  EXPECT_EQ(Take(start_ + 40ms), std::vector<std::string>{"GetFileLbl.caption"});
}

}  // namespace
}  // namespace kw
