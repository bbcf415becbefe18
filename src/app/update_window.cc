#include "app/update_window.h"

#include <new>
#include <utility>

namespace kw {

namespace {

using enum ControlId;

// A slice for waits that some event is expected to end (the transfer control posts one when a
// request's head arrives or it fails). It only bounds the cost of a wake-up that never came.
constexpr std::chrono::milliseconds kWaitSlice{100};

}  // namespace

std::string FailureText(const Failure& failure) {
  if (failure.number() == error::kCannotConnect) return "Cannot connect to remote host";
  return failure.description();
}

UpdateWindow::UpdateWindow(const Platform& platform, std::string update_host)
    : platform_(platform), update_host_(std::move(update_host)), model_(update_host_) {
  platform_.inet1.OnStateChanged([this](std::int16_t state) { OnInetStateChanged(state); });
}

UpdateWindow::~UpdateWindow() { platform_.inet1.OnStateChanged(nullptr); }

bool UpdateWindow::Load() {
  if (platform_.instance_guard.AnotherInstanceRunning()) {
    platform_.host.ShowMessage(kAppTitle, "Only one instance of this program may run at one time");
    return false;
  }
  settings_ = StartUpFolderSettings();
  BuildFileCatalogue();
  platform_.host.ShowWindow();
  return true;
}

void UpdateWindow::BuildFileCatalogue() { kw::BuildFileCatalogue(catalogue_); }

void UpdateWindow::TavEnterCmdClick() {
  // The controls are disabled only after the run's first pump, so a press queued before then
  // would arrive inside the run.
  if (running_ || unloaded_) return;
  running_ = true;
  try {
    StartUpdate();
  } catch (const RunAbandoned&) {
    // The window is gone; nothing is left to show or reset.
  } catch (const Failure& failure) {
    ReportFailure(failure);
  } catch (const std::bad_alloc&) {
    ReportFailure(Failure(error::kOutOfMemory, "Out of memory"));
  } catch (const std::exception& exception) {
    ReportFailure(Failure(error::kInternal, std::string("Internal error: ") + exception.what()));
  }
  running_ = false;
}

void UpdateWindow::ErrViewCmdClick() { model_.SetVisible(ErrViewFme, !model_.Visible(ErrViewFme)); }

void UpdateWindow::Unload() {
  if (unloaded_) return;
  unloaded_ = true;
  // A run in progress notices at its next pump and unwinds; cancelling first ends a transfer
  // that is waiting for bytes.
  platform_.inet1.Cancel();
  platform_.host.CloseWindow();
}

void UpdateWindow::ReportFailure(const Failure& failure) {
  model_.SetCaption(Msg3Lbl, failure.description());
  platform_.host.ShowMessage(
      kAppTitle, failure.description() + "\n\n(Error " + std::to_string(failure.number()) + ")");
  ReturnToIdle();
}

void UpdateWindow::ReturnToIdle() {
  model_.SetEnabled(TavEnterCmd, true);
  platform_.host.SetMousePointer(MousePointer::kDefault);
  model_.SetEnabled(KwFme, true);
  model_.SetEnabled(SsFme, true);
}

void UpdateWindow::PumpEvents() {
  if (unloaded_) throw RunAbandoned();
  platform_.host.PumpEvents();
  if (unloaded_) throw RunAbandoned();
}

void UpdateWindow::WaitForEvents(std::chrono::milliseconds timeout) {
  if (unloaded_) throw RunAbandoned();
  platform_.host.WaitForEvents(timeout);
  if (unloaded_) throw RunAbandoned();
}

void UpdateWindow::WaitWhileExecuting() {
  while (platform_.inet1.StillExecuting()) WaitForEvents(kWaitSlice);
}

void UpdateWindow::AnnounceStep(std::string_view caption) {
  model_.SetCaption(Msg1Lbl, caption);
  model_.SetCaption(Msg2Lbl, "");
  model_.SetCaption(Msg3Lbl, "");
  PumpEvents();
}

}  // namespace kw
