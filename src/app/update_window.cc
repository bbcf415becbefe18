#include "app/update_window.h"

#include <new>
#include <string>
#include <utility>

#include "app/transfer_state_display.h"
#include "update/bas_common.h"
#include "update/installer.h"
#include "update/product.h"
#include "update/run_start.h"

namespace kw {

namespace {

using enum ControlId;

// The failure that ends a run whose installation left files out: how many, and why the first.
Failure NotInstalledFailure(const InstallOutcome& outcome) {
  const std::size_t count = outcome.not_installed.size();
  const std::string why = outcome.first_failure->description();
  return Failure(outcome.first_failure->number(),
                 count == 1
                     ? "1 file was not installed: " + why
                     : std::to_string(count) + " files were not installed; the first: " + why);
}

}  // namespace

std::optional<ReleaseSigning> SigningOfBuild(std::string_view keys_base64, Crypto& crypto) {
  if (keys_base64.empty()) return std::nullopt;
  std::optional<std::vector<P256PublicKey>> keys = P256KeysFromBase64(keys_base64);
  if (!keys) {
    throw Failure(error::kManifestRefused,
                  "A release key this program was built with is not an ECDSA P-256 key");
  }
  return ReleaseSigning{std::move(*keys), crypto};
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
  record_.Start(StagedPath(settings_, kExecutableRoute, kRunRecordFile), KW_PRODUCT_VERSION,
                !model_.Selected(TavSelt0Opt), update_host_);
  try {
    StartUpdate();
    // A run that returns without having recorded its end stopped at a failed download (an End
    // after the first changes nothing).
    record_.End(RunEnd::kStopped);
  } catch (const RunAbandoned&) {
    // The window is gone; nothing is left to show or reset.
    record_.End(RunEnd::kAbandoned);
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
  record_.End(RunEnd::kFailed,
              failure.description() + " (Error " + std::to_string(failure.number()) + ")");
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

void UpdateWindow::FileDone(std::string_view file_name, const FileOutcome& outcome) {
  switch (outcome.kind) {
    case FileOutcome::Kind::kDownloaded:
      return record_.Downloaded(file_name, outcome.bytes, outcome.time, outcome.resumed_at);
    case FileOutcome::Kind::kUnchanged:
      return record_.Unchanged(file_name);
    case FileOutcome::Kind::kFailed:
      return record_.DownloadFailed(file_name, outcome.why);
  }
}

void UpdateWindow::AnnounceStep(std::string_view caption) {
  model_.SetCaption(Msg1Lbl, caption);
  model_.SetCaption(Msg2Lbl, "");
  model_.SetCaption(Msg3Lbl, "");
  PumpEvents();
}

void UpdateWindow::OnInetStateChanged(std::int16_t state) {
  // A notification that was already queued when the window closed has nowhere to go.
  if (unloaded_) return;
  try {
    model_.SetCaption(Msg3Lbl, TransferStateText(state, platform_.inet1));
  } catch (const Failure&) {
    // The control could not tell its response code or text: the label says it does not know.
    model_.SetCaption(Msg3Lbl, "?");
  }
}

// --- The operations of an update run: the order of their steps, wired to the layers that do them.

void UpdateWindow::StartUpdate() {
  model_.SetCaption(Msg0Lbl, "* 작업시작 *");
  model_.SetCaption(Msg1Lbl, "");
  model_.SetCaption(Msg2Lbl, "");
  model_.SetCaption(Msg3Lbl, "");
  PumpEvents();
  model_.SetCaption(ErrViewTxt, "");
  platform_.host.SetMousePointer(MousePointer::kBusy);
  model_.SetEnabled(TavEnterCmd, false);
  model_.SetEnabled(KwFme, false);
  model_.SetEnabled(SsFme, false);

  // A build that checks signed releases keeps partial downloads for a later try to resume.
  PrepareWorkspace(platform_.files, settings_, {IsPartialDownload, signing_.has_value()});
  basCommon::KillProcessByName(platform_.processes, std::string(kMainExeFile));
  basCommon::KillProcessByName(platform_.processes, std::string(kSubExeFile));
  RunDownloads();
  ReturnToIdle();
}

void UpdateWindow::RunDownloads() {
  TransferControl& inet1 = platform_.inet1;
  try {
    AnnounceStep("로그인");
    inet1.SetAccessType(2);
    inet1.SetURL(update_host_);
    inet1.SetUserName(std::string(kUserName));
    inet1.SetPassword(std::string(kPassword));
    WaitWhileExecuting(inet1, *this);
    VerifyReleaseManifest();

    for (std::string_view executable : {kMainExeFile, kSubExeFile}) {
      AnnounceStep("DownLoad(" + std::string(executable) + ")");
      if (FetchFile(kExecutableRoute, std::string(executable)) == kDownloadFailed) return;
    }

    if (!model_.Selected(TavSelt0Opt)) {
      for (const ListRoute& list_route : kListRoutes) {
        AnnounceStep(list_route.route.step_caption);
        const FileList& list = catalogue_.List(list_route.list);
        for (int slot = FileList::kFirstSlot; slot <= FileList::kLastSlot; ++slot) {
          if (list[slot].empty()) continue;
          if (FetchFile(list_route.route, list[slot]) == kDownloadFailed) return;
        }
      }
    }

    AnnounceStep("닫기");
    inet1.Execute("Quit");
    inet1.Cancel();
  } catch (const Failure& failure) {
    model_.SetCaption(Msg3Lbl, FailureText(failure));
    inet1.Cancel();
    model_.SetCaption(Msg0Lbl, "작업취소");
    record_.End(RunEnd::kCancelled, FailureText(failure));
    PumpEvents();
    return;
  }

  // From here on, failures pass on to the caller.
  AnnounceStep("복사");
  const InstallOutcome installed = InstallStagedFiles();
  for (const std::string& name : installed.not_installed) AppendToErrorLog(name + "\r\n");
  record_.NotInstalled(installed);
  AnnounceStep("등록");
  // The files that were installed may need the batch file as much as a complete update does.
  platform_.processes.StartBatchFile(BatchFilePath());
  record_.BatchStarted(BatchFilePath());
  // An update that did not take effect whole is never called complete.
  if (installed.first_failure) {
    const Failure not_installed = NotInstalledFailure(installed);
    record_.End(RunEnd::kNotInstalled, not_installed.description());
    throw not_installed;
  }
  AnnounceStep("완료");
  model_.SetCaption(Msg0Lbl, "작업완료");
  record_.End(RunEnd::kComplete);
  PumpEvents();
}

void UpdateWindow::VerifyReleaseManifest() {
  // A failure leaves no manifest behind: nothing is downloaded without one.
  manifest_.reset();
  unchanged_.clear();
  if (!signing_) return;
  const std::string file = FetchManifestFile(
      platform_.inet1, *this, BaseAddress(update_host_, kServerRootRoute), kRequestHeaders);
  const std::string record = StagedPath(settings_, kExecutableRoute, kManifestRecordFile);
  const std::optional<ReleaseManifest> last = ReadManifestRecord(platform_.files, record);
  ReleaseManifest accepted =
      AcceptSignedManifest(file, signing_->keys, signing_->crypto, last, platform_.clock.UtcNow());
  if (!last || last->signed_text() != accepted.signed_text()) {
    WriteManifestRecord(platform_.files, record, accepted);
  }
  manifest_ = std::move(accepted);
}

std::string_view UpdateWindow::ReleaseFolder() const {
  return manifest_ ? std::string_view(manifest_->release_folder()) : std::string_view();
}

DownloadResult UpdateWindow::DownloadFile(std::string base_address, std::string local_folder,
                                          std::string file_name) {
  // A signed build checks every file; outside a run's verified manifest none is listed.
  static const ReleaseManifest kNoManifest;
  std::optional<ManifestCheck> check;
  if (signing_) check.emplace(manifest_ ? *manifest_ : kNoManifest, signing_->crypto);
  return kw::DownloadFile({platform_.inet1, platform_.files, platform_.clock, *this},
                          {kRequestHeaders, kChunkSize}, check ? &*check : nullptr,
                          std::move(base_address), std::move(local_folder), std::move(file_name));
}

DownloadResult UpdateWindow::FetchFile(const Route& route, const std::string& name) {
  const std::string base = BaseAddress(update_host_, route, ReleaseFolder());
  const std::string installed = InstalledPath(settings_, route, name);
  if (manifest_ && SkipUnchanged({platform_.inet1, platform_.files, platform_.clock, *this},
                                 {*manifest_, signing_->crypto}, base, name, installed)) {
    unchanged_.insert(installed);
    return kDownloadComplete;
  }
  return DownloadFile(base, StagingFolder(settings_, route), name);
}

InstallOutcome UpdateWindow::InstallStagedFiles() {
  return kw::InstallStagedFiles(platform_.files, settings_, catalogue_,
                                model_.Selected(TavSelt1Opt), unchanged_);
}

void UpdateWindow::TimeWaitSec(std::int16_t seconds) {
  kw::TimeWaitSec(platform_.clock, *this, seconds);
}

}  // namespace kw
