#pragma once

#include <string>
#include <vector>

#include "app/window_model.h"

namespace kw::testing {

// Logs every change of a window model as a line such as "Msg1Lbl ← 로그인",
// "TavEnterCmd.enabled ← false" or "PB1.value ← 41".
class ModelRecorder : public WindowModelObserver {
 public:
  explicit ModelRecorder(WindowModel& model);
  ~ModelRecorder() override;

  void OnControlChanged(ControlId id, ControlProperty property) override;

  const std::vector<std::string>& lines() const { return lines_; }
  // The captions a control showed, in order.
  std::vector<std::string> Captions(ControlId id) const;
  // The values a control took, in order.
  std::vector<double> Values(ControlId id) const;
  void Clear() { changes_.clear(), lines_.clear(); }

 private:
  struct Change {
    ControlId id;
    ControlProperty property;
    std::string caption;
    double value;
  };

  WindowModel& model_;
  std::vector<Change> changes_;
  std::vector<std::string> lines_;
};

}  // namespace kw::testing
