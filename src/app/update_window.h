#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "app/window_model.h"
#include "platform/clock.h"
#include "platform/failure.h"
#include "platform/file_system.h"
#include "platform/instance_guard.h"
#include "platform/processes.h"
#include "platform/window_host.h"
#include "transfer/transfer_control.h"
#include "update/catalogue.h"

namespace kw {

// The result of DownloadFile: 1 when the file was not fetched and the run must end.
using DownloadResult = std::int16_t;
inline constexpr DownloadResult kDownloadComplete = 0;
inline constexpr DownloadResult kDownloadFailed = 1;

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

// Thrown out of a run when the window has been unloaded in the middle of it (the operator
// closed it). Not a Failure: no failure scope catches it, so nothing more is written anywhere
// on the way out. Caught where the run began.
class RunAbandoned {};

// The update window ("sdiMain"): its controls (as a WindowModel), its settings and catalogue,
// and every operation of an update run. Single-threaded: everything runs on the window's
// thread, and other handlers (clicks, transfer notifications) run only inside the event pumps
// the operations make.
class UpdateWindow {
 public:
  // `update_host` is the update server's host, used bare for the log-in and after "http://"
  // in every address.
  UpdateWindow(const Platform& platform, std::string update_host);
  ~UpdateWindow();
  UpdateWindow(const UpdateWindow&) = delete;
  UpdateWindow& operator=(const UpdateWindow&) = delete;

  // Start-up. When another instance already runs, tells the operator and returns false
  // without showing the window: the program should then end. Otherwise sets the folder
  // settings, builds the catalogue, shows the window and returns true.
  bool Load();

  // What the view forwards. TavEnterCmdClick runs a whole update (StartUpdate) and reports a
  // failure that the run passes on in a message box and on Msg3Lbl, then returns the window
  // to idle; a press during a run is ignored. Unload (TavExitCmd, or the window closed by any
  // other means) abandons a run in progress and closes the window.
  void TavEnterCmdClick();
  void TavExitCmdClick() { Unload(); }
  void ErrViewCmdClick();
  void Unload();

  // The operations of an update run, public for the tests that drive them one by one.
  // StartUpdate and InstallStagedFiles report nothing themselves; failures they pass on are
  // Failures (and RunAbandoned once the window is unloaded).
  void StartUpdate();
  void RunDownloads();
  DownloadResult DownloadFile(std::string base_address, std::string local_folder,
                              std::string file_name);
  void InstallStagedFiles();
  void TimeWaitSec(std::int16_t seconds);
  void BuildFileCatalogue();

  WindowModel& model() { return model_; }
  const FolderSettings& settings() const { return settings_; }
  FileCatalogue& catalogue() { return catalogue_; }
  const std::string& update_host() const { return update_host_; }
  bool running() const { return running_; }
  bool unloaded() const { return unloaded_; }

 private:
  // The window's event pumps. Both throw RunAbandoned once the window is unloaded.
  void PumpEvents();
  void WaitForEvents(std::chrono::milliseconds timeout);
  void WaitWhileExecuting();
  // Step announcement: Msg1Lbl shows the step, Msg2Lbl and Msg3Lbl are cleared, one pump.
  void AnnounceStep(std::string_view caption);
  void PrepareWorkspace();
  // A failure a run passed on: shown in a message box and on Msg3Lbl; the window goes idle.
  void ReportFailure(const Failure& failure);
  void ReturnToIdle();
  void OnInetStateChanged(std::int16_t state);

  Platform platform_;
  std::string update_host_;
  WindowModel model_;
  FolderSettings settings_;
  FileCatalogue catalogue_;
  bool running_ = false;
  bool unloaded_ = false;
};

// The text a failure shows on Msg3Lbl.
std::string FailureText(const Failure& failure);

// The text Msg3Lbl shows for a state of the transfer control; for kError it reads the
// control's ResponseCode and ResponseInfo.
std::string TransferStateText(std::int16_t state, TransferControl& inet);

}  // namespace kw
