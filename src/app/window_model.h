#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "app/window_layout.h"

namespace kw {

enum class ControlProperty { kCaption, kEnabled, kVisible, kSelected, kValue };

// Told of every write to the model, after it is made, even of a value the control already
// had: "the label was cleared" and "the bar was set to 100 again" are events a run shows.
class WindowModelObserver {
 public:
  virtual ~WindowModelObserver() = default;
  virtual void OnControlChanged(ControlId id, ControlProperty property) = 0;
};

// The state of every control of the update window, with a change notification. The core reads
// and writes it; a view (Qt, Win32) mirrors it and a recorder in the tests logs it. Captions and
// texts are UTF-8.
class WindowModel {
 public:
  WindowModel();
  WindowModel(const WindowModel&) = delete;
  WindowModel& operator=(const WindowModel&) = delete;

  const std::string& Caption(ControlId id) const { return state(id).caption; }
  bool Enabled(ControlId id) const { return state(id).enabled; }
  bool Visible(ControlId id) const { return state(id).visible; }
  bool Selected(ControlId id) const { return state(id).selected; }
  double Value(ControlId id) const { return state(id).value; }

  // The caption of a label, button, option or frame, or the text of the text box.
  void SetCaption(ControlId id, std::string_view caption);
  void SetEnabled(ControlId id, bool enabled);
  void SetVisible(ControlId id, bool visible);
  // Selects an option button and clears the other options of its container.
  void Select(ControlId id);
  // The progress bar's value, as the core computes it; a view shows it clamped to 0..100.
  void SetValue(ControlId id, double value);

  // An observer must stay alive while registered, and must not add or remove observers from
  // inside OnControlChanged.
  void AddObserver(WindowModelObserver* observer);
  void RemoveObserver(WindowModelObserver* observer);

 private:
  struct State {
    std::string caption;
    bool enabled = true;
    bool visible = true;
    bool selected = false;
    double value = 0;
  };

  const State& state(ControlId id) const { return states_[static_cast<std::size_t>(id)]; }
  State& state(ControlId id) { return states_[static_cast<std::size_t>(id)]; }
  void Notify(ControlId id, ControlProperty property);

  std::array<State, kControlCount> states_;
  std::vector<WindowModelObserver*> observers_;
};

}  // namespace kw
