#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "app/window_layout.h"
#include "app/window_model.h"

namespace kw {

// What every view of the update window shares, so that a view adds only its toolkit's calls.

// The controls that take the keyboard focus, in the order Tab moves through them.
inline constexpr std::array<ControlId, 8> kTabOrder = {
    ControlId::TavSelt0Opt, ControlId::TavSelt1Opt, ControlId::Option2,    ControlId::Option1,
    ControlId::TavEnterCmd, ControlId::TavExitCmd,  ControlId::ErrViewCmd, ControlId::ErrViewTxt};

// The name assistive technology announces for a control that shows `caption`: the caption
// itself, or while it shows none a descriptive Korean name ("작업 단계" for the step label...).
// The error log always goes by its descriptive name: its text is its value, not its name.
std::string AccessibleName(ControlId id, std::string_view caption);

// Twips (1440 to the inch) at a screen's logical resolution, to the nearest pixel.
int TwipsToPixels(int twips, double dots_per_inch);

// Where the progress bar stands for a value of the model: the value rounded into 0..100;
// values past either end (a body longer than announced) show the bar full or empty.
int ShownProgress(double value);

// When a view writes the model's captions and values to the screen. Every change is written by
// the next pump, except the displays a download rewrites after every chunk (the elapsed time,
// the kilobytes, the progress bar): they are written at most once per screen refresh, their
// latest state by the first pump (or timer) that comes a refresh or more after they were last
// written. So a download never waits for the screen, and the screen never lags a step behind.
//
// The ViewMirror notes each change with Mark(), and writes at every pump what Take() hands it. It
// also arranges a pass of its own soon after a change, and at NextDue() while Take() holds changes
// back, for when no pump comes (the window is idle between runs).
class ScreenUpdates {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;

  explicit ScreenUpdates(std::chrono::nanoseconds refresh_interval)
      : refresh_interval_(refresh_interval) {}

  // Notes a change. Properties other than captions and values are the view's to write at once.
  void Mark(ControlId id, ControlProperty property);

  // Calls write(id, property) for every change due at `now`, in the window's control order.
  template <typename Write>
  void Take(TimePoint now, Write write) {
    if (!marked_) return;
    const bool chunk_displays_due = now - last_chunk_write_ >= refresh_interval_;
    if (chunk_displays_due && held_back_) {
      last_chunk_write_ = now;
      held_back_ = false;
    }
    for (std::size_t i = 0; i < kControlCount; ++i) {
      const auto id = static_cast<ControlId>(i);
      if (changed_[i] == 0 || (IsChunkDisplay(id) && !chunk_displays_due)) continue;
      const std::uint8_t changed = std::exchange(changed_[i], 0);
      if (changed & kCaption) write(id, ControlProperty::kCaption);
      if (changed & kValue) write(id, ControlProperty::kValue);
    }
    marked_ = held_back_;
  }

  // When the changes held back fall due; nullopt when none is held back.
  std::optional<TimePoint> NextDue() const;

 private:
  static constexpr std::uint8_t kCaption = 1;
  static constexpr std::uint8_t kValue = 2;

  static bool IsChunkDisplay(ControlId id) {
    return id == ControlId::GetTimeLbl || id == ControlId::GetFileLbl || id == ControlId::PB1;
  }

  std::chrono::nanoseconds refresh_interval_;
  std::array<std::uint8_t, kControlCount> changed_{};
  bool marked_ = false;     // some control is marked
  bool held_back_ = false;  // a chunk display is marked and not yet written
  TimePoint last_chunk_write_{};
};

}  // namespace kw
