#include "app/update_window.h"

#include <new>
#include <utility>

namespace kw {

namespace {

using enum ControlId;

}  // namespace

std::optional<ReleaseSigning> SigningOfBuild(std::string_view key_base64, Crypto& crypto) {
  if (key_base64.empty()) return std::nullopt;
  const std::optional<P256PublicKey> key = P256KeyFromBase64(key_base64);
  if (!key) {
    throw Failure(error::kManifestRefused,
                  "The release key this program was built with is not an ECDSA P-256 key");
  }
  return ReleaseSigning{*key, crypto};
}

UpdateWindow::UpdateWindow(const Platform& platform, std::string update_host,
                           std::optional<ReleaseSigning> signing)
    : platform_(platform), update_host_(std::move(update_host)), signing_(std::move(signing)) {
  model_.SetCaption(TavMenuLbl, RouteBanner(update_host_));
  platform_.inet1.OnStateChanged([this](std::int16_t state) { OnInetStateChanged(state); });
}

UpdateWindow::~UpdateWindow() { platform_.inet1.OnStateChanged(nullptr); }

bool UpdateWindow::Load() {
  bool another_instance = false;
  try {
    another_instance = platform_.instance_guard.AnotherInstanceRunning();
  } catch (const Failure& failure) {
    platform_.host.ShowMessage(kAppTitle, failure.Message());
    return false;
  }
  if (another_instance) {
    platform_.host.ShowMessage(kAppTitle, "Only one instance of this program may run at one time");
    return false;
  }
  settings_ = StartUpFolderSettings();
  BuildFileCatalogue();
  platform_.host.ShowWindow();
  return true;
}

void UpdateWindow::BuildFileCatalogue() { kw::BuildFileCatalogue(catalogue_); }

bool UpdateWindow::Clickable(ControlId id) const {
  for (std::optional<ControlId> at = id; at; at = LayoutOf(*at).container) {
    if (!model_.Enabled(*at)) return false;
  }
  return !unloaded_;
}

void UpdateWindow::Click(ControlId id) {
  if (!Clickable(id)) return;
  if (LayoutOf(id).kind == ControlKind::kOptionButton) return model_.Select(id);
  switch (id) {
    case TavEnterCmd:
      return TavEnterCmdClick();
    case TavExitCmd:
      return Unload();
    case ErrViewCmd:
      return model_.SetVisible(ErrViewFme, !model_.Visible(ErrViewFme));
    default:
      return;
  }
}

void UpdateWindow::TavEnterCmdClick() {
  // The controls are disabled only after the run's first pump, so a press queued before then
  // would arrive inside the run.
  if (running_) return;
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
  platform_.host.ShowMessage(kAppTitle, failure.Message());
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

void UpdateWindow::SetLabel(Label label, std::string_view text) {
  switch (label) {
    case Label::kFile:
      return model_.SetCaption(Msg2Lbl, text);
    case Label::kTransferState:
      return model_.SetCaption(Msg3Lbl, text);
    case Label::kElapsed:
      return model_.SetCaption(GetTimeLbl, text);
    case Label::kReceived:
      return model_.SetCaption(GetFileLbl, text);
  }
}

void UpdateWindow::SetPercent(double percent) { model_.SetValue(PB1, percent); }

void UpdateWindow::AppendToErrorLog(std::string_view text) {
  model_.SetCaption(ErrViewTxt, model_.Caption(ErrViewTxt) + std::string(text));
}

void UpdateWindow::AnnounceStep(std::string_view caption) {
  model_.SetCaption(Msg1Lbl, caption);
  model_.SetCaption(Msg2Lbl, "");
  model_.SetCaption(Msg3Lbl, "");
  PumpEvents();
}

}  // namespace kw
