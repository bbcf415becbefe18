// The operations of an update run: the order of their steps, wired to the layers that do them.

#include <string>

#include "app/update_window.h"
#include "install/installer.h"
#include "update/bas_common.h"
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

  PrepareWorkspace(platform_.files, settings_);
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
      if (DownloadFile(BaseAddress(update_host_, kExecutableRoute),
                       StagingFolder(settings_, kExecutableRoute),
                       std::string(executable)) == kDownloadFailed) {
        return;
      }
    }

    if (!model_.Selected(TavSelt0Opt)) {
      for (const ListRoute& list_route : kListRoutes) {
        AnnounceStep(list_route.route.step_caption);
        const std::string base = BaseAddress(update_host_, list_route.route);
        const std::string folder = StagingFolder(settings_, list_route.route);
        const FileList& list = catalogue_.List(list_route.list);
        for (int slot = FileList::kFirstSlot; slot <= FileList::kLastSlot; ++slot) {
          if (list[slot].empty()) continue;
          if (DownloadFile(base, folder, list[slot]) == kDownloadFailed) return;
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
    PumpEvents();
    return;
  }

  // From here on, failures pass on to the caller.
  AnnounceStep("복사");
  const InstallOutcome installed = InstallStagedFiles();
  for (const std::string& name : installed.not_installed) AppendToErrorLog(name + "\r\n");
  AnnounceStep("등록");
  // The files that were installed may need the batch file as much as a complete update does.
  platform_.processes.StartBatchFile(BatchFilePath());
  // An update that did not take effect whole is never called complete.
  if (installed.first_failure) throw NotInstalledFailure(installed);
  AnnounceStep("완료");
  model_.SetCaption(Msg0Lbl, "작업완료");
  PumpEvents();
}

void UpdateWindow::VerifyReleaseManifest() {
  // A failure leaves no manifest behind: nothing is downloaded without one.
  manifest_.reset();
  if (!signing_) return;
  manifest_ = FetchSignedManifest(platform_.inet1, *this, signing_->crypto, signing_->key,
                                  BaseAddress(update_host_, kServerRootRoute), kRequestHeaders);
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

InstallOutcome UpdateWindow::InstallStagedFiles() {
  return kw::InstallStagedFiles(platform_.files, settings_, catalogue_,
                                model_.Selected(TavSelt1Opt));
}

void UpdateWindow::TimeWaitSec(std::int16_t seconds) {
  kw::TimeWaitSec(platform_.clock, *this, seconds);
}

}  // namespace kw
