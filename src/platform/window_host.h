#pragma once

#include <string_view>

#include "platform/event_loop.h"

namespace kw {

// The screen-wide mouse pointer.
enum class MousePointer { kDefault = 0, kBusy = 11 };

// What the window's core needs from the windowing toolkit besides the controls themselves
// (those are the WindowModel, which a view mirrors).
class WindowHost : public EventLoop {
 public:
  // Shows the window centred on the screen.
  virtual void ShowWindow() = 0;
  // Closes the window for good; the program ends once the event that led here returns.
  virtual void CloseWindow() = 0;
  virtual void SetMousePointer(MousePointer pointer) = 0;
  // A modal message box with an OK button only. Returns when the operator has closed it.
  virtual void ShowMessage(std::string_view title, std::string_view text) = 0;
};

}  // namespace kw
