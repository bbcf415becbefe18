#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "app/window_model.h"
#include "platform/clock.h"
#include "platform/crypto.h"
#include "platform/failure.h"
#include "platform/file_system.h"
#include "platform/instance_guard.h"
#include "platform/processes.h"
#include "platform/window_host.h"
#include "transfer/download_file.h"
#include "transfer/release_manifest.h"
#include "transfer/transfer_control.h"
#include "update/catalogue.h"
#include "update/installer.h"
#include "update/run_record.h"

namespace kw {

// Everything the window needs from its platform. The window keeps references: they must
// outlive it.
struct Platform {
  WindowHost& host;
  Clock& clock;
  FileSystem& files;
  Processes& processes;
  TransferControl& inet1;
  InstanceGuard& instance_guard;
};

// A build that checks signed releases: the keys it was built with (one valid signature by one of
// them is enough), and the system's cryptography. The reference must outlive the window.
struct ReleaseSigning {
  std::vector<P256PublicKey> keys;
  Crypto& crypto;
};

// The signing of a build from the keys it compiled in (base64 bodies of PEM public keys,
// separated by commas): nullopt for the empty text, a build without signed releases. Raises
// error::kManifestRefused for a key that is not ECDSA P-256.
std::optional<ReleaseSigning> SigningOfBuild(std::string_view keys_base64, Crypto& crypto);

// Thrown out of a run when the window has been unloaded in the middle of it (the operator
// closed it). Not a Failure: no failure scope catches it, so nothing more is written anywhere
// on the way out. Caught where the run began.
class RunAbandoned {};

// The update window ("sdiMain"): its controls (as a WindowModel), its settings and catalogue,
// and the operations of an update run, each a short member that wires the layers below to the
// window's seams. Single-threaded: everything runs on the window's thread, and other handlers
// (clicks, transfer notifications) run only inside the event pumps the operations make.
class UpdateWindow final : private DownloadProgress {
 public:
  // `update_host` is the update server's host as built, "host[:port]" (plain http) or
  // "https://host[:port]": the log-in and the route banner show it as it is, and every address
  // of a run is built on it (BaseAddress). With `signing`, every run first fetches the release's
  // signed manifest and accepts it or not (a run whose manifest is missing, badly signed,
  // expired or older than the last one this PC accepted downloads nothing), fetches the files
  // from the release folder it names, and checks every download against it; without, no
  // manifest is asked for, and the addresses are the route's own.
  UpdateWindow(const Platform& platform, std::string update_host,
               std::optional<ReleaseSigning> signing = std::nullopt);
  ~UpdateWindow() override;
  UpdateWindow(const UpdateWindow&) = delete;
  UpdateWindow& operator=(const UpdateWindow&) = delete;

  // Start-up. When another instance already runs, or the instance guard cannot tell, tells
  // the operator (the guard's failure with its number) and returns false without showing the
  // window: the program should then end. Otherwise sets the folder settings, builds the
  // catalogue, shows the window and returns true.
  bool Load();

  // The one entry for what the operator does with a control, forwarded by a view. A click on
  // a control that is disabled, or inside a disabled frame, or after the window was unloaded,
  // does nothing. An option button becomes the selected one of its frame; TavEnterCmd runs a
  // whole update (StartUpdate), reports a failure the run passes on in a message box and on
  // Msg3Lbl and returns the window to idle, and is ignored while a run is in progress;
  // ErrViewCmd shows or hides the error panel; TavExitCmd unloads the window.
  void Click(ControlId id);

  // Closing the window by any means: abandons a run in progress (its transfer is cancelled at
  // once, and the run unwinds at its next pump) and closes the window. Idempotent.
  void Unload();

  // The operations of an update run, public for the tests that drive them one by one.
  // StartUpdate and RunDownloads pass on the failures they do not handle (and RunAbandoned
  // once the window is unloaded). Files the installer could not install go into the error log;
  // RunDownloads then still starts the batch file, but passes on a failure that says how many
  // there were and why the first was not installed, instead of ending as complete.
  void StartUpdate();
  void RunDownloads();
  // The first step of a run after the log-in, in a build with signed releases: fetches the
  // release's manifest and accepts it against the record of the last one this PC accepted
  // (AcceptSignedManifest), records it in its place (BackupDir\KW_Update.manifest), and raises
  // the failure of any of that. Every later DownloadFile of the run is checked against it. Does
  // nothing in a build without.
  void VerifyReleaseManifest();
  DownloadResult DownloadFile(std::string base_address, std::string local_folder,
                              std::string file_name);
  InstallOutcome InstallStagedFiles();
  void TimeWaitSec(std::int16_t seconds);
  void BuildFileCatalogue();

  WindowModel& model() { return model_; }
  const FolderSettings& settings() const { return settings_; }
  FileCatalogue& catalogue() { return catalogue_; }
  bool running() const { return running_; }
  bool unloaded() const { return unloaded_; }

 private:
  // The window's event pumps (EventPump). Both throw RunAbandoned once the window is unloaded.
  void PumpEvents() override;
  void WaitForEvents(std::chrono::milliseconds timeout) override;
  // DownloadProgress: the labels, the bar and the log a download writes.
  void SetLabel(Label label, std::string_view text) override;
  void SetPercent(double percent) override;
  void AppendToErrorLog(std::string_view text) override;
  // Each file's outcome goes to the run's record.
  void FileDone(std::string_view file_name, const FileOutcome& outcome) override;

  bool Clickable(ControlId id) const;
  void TavEnterCmdClick();
  // Step announcement: Msg1Lbl shows the step, Msg2Lbl and Msg3Lbl are cleared, one pump.
  void AnnounceStep(std::string_view caption);
  // A failure a run passed on: shown in a message box and on Msg3Lbl; the window goes idle.
  void ReportFailure(const Failure& failure);
  void ReturnToIdle();
  // The release folder of the run's accepted manifest; none without one.
  std::string_view ReleaseFolder() const;
  // One file of a run: skipped when a signed run finds it installed as released (SkipUnchanged),
  // else DownloadFile from the route's folder on the server into its staging folder.
  DownloadResult FetchFile(const Route& route, const std::string& name);
  void OnInetStateChanged(std::int16_t state);

  Platform platform_;
  std::string update_host_;
  std::optional<ReleaseSigning> signing_;
  // The accepted manifest of the run in progress, and the installed paths of the files it found
  // already installed as released: they are neither fetched nor copied.
  std::optional<ReleaseManifest> manifest_;
  std::set<std::string, std::less<>> unchanged_;
  WindowModel model_;
  FolderSettings settings_;
  FileCatalogue catalogue_;
  bool running_ = false;
  bool unloaded_ = false;
  // The record of the run a press of TavEnterCmd started (BackupDir\KW_Update.log).
  RunRecord record_{platform_.files, platform_.clock};
};

}  // namespace kw
