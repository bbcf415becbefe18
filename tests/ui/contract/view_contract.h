#pragma once

#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "app/update_window.h"
#include "app/view_mirror.h"
#include "app/window_layout.h"

namespace kw::testing {

// Left, top, width and height in pixels.
using PixelRect = std::array<int, 4>;

// The font a control was given, and what the screen draws it with.
struct ControlFont {
  bool window_default = false;  // the window's own font, which a control without one keeps
  bool korean = false;  // "굴림", or where it is missing a face the system has with Hangul
  int weight = 0;       // 400 normal, 700 bold
  double points = 0;
  bool whole_pixels = false;  // the toolkit keeps the size in whole pixels, not in points
  bool hangul_shown = false;  // the face the screen draws with has Hangul glyphs
  bool bold_shown = false;
};

// "The window itself", where a driver call takes a control or the window.
inline constexpr std::optional<ControlId> kTheWindow = std::nullopt;

// What the view contract needs from a toolkit besides its view: what the operator sees and
// does, read and done through the toolkit's own calls, never through the model. Texts are UTF-8.
class ViewDriver {
 public:
  virtual ~ViewDriver() = default;
  // The view, attached as the program attaches it to an update window on fakes (no drive C:,
  // server update.test:8650); not loaded.
  virtual UpdateWindow& window() = 0;
  virtual ViewMirror& host() = 0;

  // The screen's logical resolution, across and down.
  virtual std::pair<double, double> DotsPerInch() = 0;
  // Checks, with the test's own expectations, what only the toolkit can tell of a control made
  // from `layout`: the toolkit's control for its kind (a text box read-only, with both scroll
  // bars and no wrapping; a progress bar without text) in its container, found by other
  // programs by the table's name or number, a label centred and bordered as the table says.
  virtual void ExpectMadeAs(const ControlLayout& layout) = 0;
  // Where a control lies in its container; for the window, its client area.
  virtual PixelRect PlaceOf(std::optional<ControlId> id) = 0;
  virtual bool Resizable() = 0;
  // The window's own control (a frame, not what it holds) seen at a point of its client area.
  virtual std::optional<ControlId> ControlAt(int x, int y) = 0;
  // What the operator reads (the window: its title): markup formatted, a text box's lines each
  // ended by "\n" where the control breaks the line, any other line-break character as U+FFFD.
  virtual std::string Text(std::optional<ControlId> id) = 0;
  virtual bool Enabled(ControlId id) = 0;
  // On the screen: shown, in a container shown, in the window shown.
  virtual bool Visible(std::optional<ControlId> id) = 0;
  virtual bool Selected(ControlId id) = 0;
  // The share of a progress bar that is filled, 0 to 1.
  virtual double Filled(ControlId id) = 0;
  // The colour on the screen at a point of a control's client area where only its background
  // is drawn; for a button whose face the style shades, the colour the style is given.
  virtual Rgb ColourAt(std::optional<ControlId> id, int x, int y) = 0;
  virtual ControlFont Font(ControlId id) = 0;
  // Whether the pointer over the window is the busy one.
  virtual bool BusyPointerShown() = 0;
  virtual void Click(ControlId id) = 0;
  // As the title bar's close button: the request reaches the window when it next reads events.
  virtual void PostCloseRequest() = 0;
  // Runs the program's event loop until the window ends it: its exit code, or -1 after ten
  // seconds.
  virtual int RunEventLoop() = 0;
};

// A new driver, for one test. A view's tests instantiate the suite with theirs:
//   INSTANTIATE_TEST_SUITE_P(Qt, ViewContract, ::testing::Values(&MakeQtDriver));
using MakeViewDriver = std::unique_ptr<ViewDriver> (*)();

class ViewContract : public ::testing::TestWithParam<MakeViewDriver> {
 protected:
  void SetUp() override { driver_ = GetParam()(); }

  ViewDriver& view() { return *driver_; }
  UpdateWindow& window() { return driver_->window(); }
  WindowModel& model() { return driver_->window().model(); }
  ViewMirror& host() { return driver_->host(); }

 private:
  std::unique_ptr<ViewDriver> driver_;
};

}  // namespace kw::testing
