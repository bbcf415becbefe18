#include "app/view_mirror.h"

#include <algorithm>
#include <utility>

#include "app/update_window.h"

namespace kw {

ViewMirror::ViewMirror(ViewToolkit& toolkit, Clock& clock) : toolkit_(toolkit), clock_(clock) {
  toolkit_.SetInput(this);
}

// The model is left alone here: the UpdateWindow that owns it may already be gone.
ViewMirror::~ViewMirror() {
  toolkit_.SetInput(nullptr);
  SetBusy(false);
}

void ViewMirror::Attach(UpdateWindow& window) {
  window_ = &window;
  model_ = &window.model();
  updates_.emplace(toolkit_.RefreshInterval());
  for (const ControlLayout& layout : kControlLayouts) {
    const ControlId id = layout.id;
    toolkit_.WriteCaption(id, model_->Caption(id));
    WriteValue(id);
    if (layout.kind == ControlKind::kOptionButton) toolkit_.WriteSelected(id, model_->Selected(id));
    toolkit_.WriteEnabled(id, model_->Enabled(id));
    toolkit_.WriteVisible(id, model_->Visible(id));
  }
  model_->AddObserver(this);
}

void ViewMirror::OnControlChanged(ControlId id, ControlProperty property) {
  switch (property) {
    case ControlProperty::kCaption:
    case ControlProperty::kValue:
      updates_->Mark(id, property);
      if (!pass_timer_running_) {
        pass_timer_running_ = true;
        toolkit_.StartPassTimer(std::chrono::milliseconds(0));
      }
      return;
    case ControlProperty::kEnabled:
      return toolkit_.WriteEnabled(id, model_->Enabled(id));
    case ControlProperty::kVisible: {
      const bool visible = model_->Visible(id);
      // A panel that appears shows its latest text at once.
      if (visible) WriteDue();
      return toolkit_.WriteVisible(id, visible);
    }
    case ControlProperty::kSelected:
      return toolkit_.WriteSelected(id, model_->Selected(id));
  }
}

bool ViewMirror::WriteDue() {
  if (model_ == nullptr) return false;
  bool wrote = false;
  updates_->Take(clock_.Now(), [&](ControlId id, ControlProperty property) {
    wrote = true;
    if (property == ControlProperty::kCaption) {
      toolkit_.WriteCaption(id, model_->Caption(id));
    } else {
      WriteValue(id);
    }
  });
  if (wrote) toolkit_.PaintWritten();
  return wrote;
}

void ViewMirror::WriteValue(ControlId id) {
  if (LayoutOf(id).kind == ControlKind::kProgressBar) {
    toolkit_.WriteProgress(id, ShownProgress(model_->Value(id)));
  }
}

void ViewMirror::PassTimerFired() {
  WriteDue();
  const std::optional<Clock::TimePoint> due = model_ ? updates_->NextDue() : std::nullopt;
  if (!due) {
    pass_timer_running_ = false;
    return toolkit_.StopPassTimer();
  }
  const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*due - clock_.Now());
  toolkit_.StartPassTimer(std::max(wait, std::chrono::milliseconds(0)));
}

void ViewMirror::PumpEvents() {
  // What the model holds now goes to the widgets first, so that this pass paints it.
  const bool wrote = WriteDue();
  toolkit_.RunPostedTasks();
  const Clock::TimePoint now = clock_.Now();
  if (wrote || !last_system_read_ || now - *last_system_read_ >= kSystemEventInterval) {
    toolkit_.ReadSystemEvents();
    last_system_read_ = now;
  }
}

void ViewMirror::WaitForEvents(std::chrono::milliseconds timeout) {
  WriteDue();
  toolkit_.SleepForEvents(timeout);
  last_system_read_ = clock_.Now();
}

void ViewMirror::Post(std::function<void()> task) { toolkit_.Post(std::move(task)); }

void ViewMirror::ShowWindow() {
  if (closed_) return;
  WriteDue();
  toolkit_.Show();
}

void ViewMirror::CloseWindow() {
  if (closed_) return;
  closed_ = true;
  if (model_) model_->RemoveObserver(this);
  model_ = nullptr;
  pass_timer_running_ = false;
  toolkit_.StopPassTimer();
  SetBusy(false);
  toolkit_.Close();
}

void ViewMirror::SetMousePointer(MousePointer pointer) {
  if (!closed_) SetBusy(pointer == MousePointer::kBusy);
}

void ViewMirror::SetBusy(bool busy) {
  if (busy == busy_) return;
  busy_ = busy;
  toolkit_.SetBusyPointer(busy);
}

void ViewMirror::ShowMessage(std::string_view title, std::string_view text) {
  WriteDue();
  const bool was_busy = busy_;
  SetBusy(false);
  toolkit_.ShowMessageBox(title, text);
  if (was_busy && !closed_) SetBusy(true);
}

void ViewMirror::Clicked(ControlId id) {
  if (!closed_ && window_ != nullptr) window_->Click(id);
}

void ViewMirror::CloseRequested() {
  if (!closed_ && window_ != nullptr) window_->Unload();
}

}  // namespace kw
