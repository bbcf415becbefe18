#include "support/model_recorder.h"

#include <cmath>

namespace kw::testing {

ModelRecorder::ModelRecorder(WindowModel& model) : model_(model) { model_.AddObserver(this); }

ModelRecorder::~ModelRecorder() { model_.RemoveObserver(this); }

void ModelRecorder::OnControlChanged(ControlId id, ControlProperty property) {
  const std::string name(LayoutOf(id).name);
  const auto flag = [](bool value) { return value ? "true" : "false"; };
  changes_.push_back({id, property, model_.Caption(id), model_.Value(id)});
  switch (property) {
    case ControlProperty::kCaption:
      lines_.push_back(name + " ← " + model_.Caption(id));
      break;
    case ControlProperty::kEnabled:
      lines_.push_back(name + ".enabled ← " + flag(model_.Enabled(id)));
      break;
    case ControlProperty::kVisible:
      lines_.push_back(name + ".visible ← " + flag(model_.Visible(id)));
      break;
    case ControlProperty::kSelected:
      lines_.push_back(name + ".selected ← " + flag(model_.Selected(id)));
      break;
    case ControlProperty::kValue: {
      const double value = model_.Value(id);
      lines_.push_back(name + ".value ← " +
                       (value == std::floor(value) ? std::to_string(static_cast<long long>(value))
                                                   : std::to_string(value)));
      break;
    }
  }
}

std::vector<std::string> ModelRecorder::Captions(ControlId id) const {
  std::vector<std::string> captions;
  for (const Change& change : changes_) {
    if (change.id == id && change.property == ControlProperty::kCaption) {
      captions.push_back(change.caption);
    }
  }
  return captions;
}

std::vector<double> ModelRecorder::Values(ControlId id) const {
  std::vector<double> values;
  for (const Change& change : changes_) {
    if (change.id == id && change.property == ControlProperty::kValue) {
      values.push_back(change.value);
    }
  }
  return values;
}

}  // namespace kw::testing
