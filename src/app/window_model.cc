#include "app/window_model.h"

#include <algorithm>

namespace kw {

WindowModel::WindowModel(std::string_view update_host) {
  for (const ControlLayout& layout : kControlLayouts) {
    State& s = state(layout.id);
    s.caption = layout.caption;
    s.visible = layout.visible;
    s.selected = layout.selected;
  }
  state(ControlId::TavMenuLbl).caption = RouteBanner(update_host);
}

void WindowModel::SetCaption(ControlId id, std::string_view caption) {
  State& s = state(id);
  if (s.caption == caption) return;
  s.caption = caption;
  Notify(id, ControlProperty::kCaption);
}

void WindowModel::SetEnabled(ControlId id, bool enabled) {
  State& s = state(id);
  if (s.enabled == enabled) return;
  s.enabled = enabled;
  Notify(id, ControlProperty::kEnabled);
}

void WindowModel::SetVisible(ControlId id, bool visible) {
  State& s = state(id);
  if (s.visible == visible) return;
  s.visible = visible;
  Notify(id, ControlProperty::kVisible);
}

void WindowModel::Select(ControlId id) {
  const auto container = LayoutOf(id).container;
  for (const ControlLayout& other : kControlLayouts) {
    if (other.kind != ControlKind::kOptionButton || other.container != container) continue;
    State& s = state(other.id);
    const bool selected = other.id == id;
    if (s.selected == selected) continue;
    s.selected = selected;
    Notify(other.id, ControlProperty::kSelected);
  }
}

void WindowModel::SetValue(ControlId id, double value) {
  State& s = state(id);
  if (s.value == value) return;
  s.value = value;
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
