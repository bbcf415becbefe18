#include "app/window_model.h"

#include <algorithm>

namespace kw {

WindowModel::WindowModel() {
  for (const ControlLayout& layout : kControlLayouts) {
    State& s = state(layout.id);
    s.caption = layout.caption;
    s.visible = layout.visible;
    s.selected = layout.selected;
  }
}

void WindowModel::SetCaption(ControlId id, std::string_view caption) {
  state(id).caption = caption;
  Notify(id, ControlProperty::kCaption);
}

void WindowModel::SetEnabled(ControlId id, bool enabled) {
  state(id).enabled = enabled;
  Notify(id, ControlProperty::kEnabled);
}

void WindowModel::SetVisible(ControlId id, bool visible) {
  state(id).visible = visible;
  Notify(id, ControlProperty::kVisible);
}

void WindowModel::Select(ControlId id) {
  const auto in_group = [container = LayoutOf(id).container](const ControlLayout& other) {
    return other.kind == ControlKind::kOptionButton && other.container == container;
  };
  // All options change before anyone is told, so that no observer sees two selected.
  for (const ControlLayout& other : kControlLayouts) {
    if (in_group(other)) state(other.id).selected = other.id == id;
  }
  for (const ControlLayout& other : kControlLayouts) {
    if (in_group(other)) Notify(other.id, ControlProperty::kSelected);
  }
}

void WindowModel::SetValue(ControlId id, double value) {
  state(id).value = value;
  Notify(id, ControlProperty::kValue);
}

void WindowModel::AddObserver(WindowModelObserver* observer) { observers_.push_back(observer); }

void WindowModel::RemoveObserver(WindowModelObserver* observer) {
  std::erase(observers_, observer);
}

void WindowModel::Notify(ControlId id, ControlProperty property) {
  for (WindowModelObserver* observer : observers_) observer->OnControlChanged(id, property);
}

}  // namespace kw
