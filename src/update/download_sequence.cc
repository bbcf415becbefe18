#include <string>

#include "app/update_window.h"

namespace kw {

namespace {

using enum ControlId;

constexpr std::string_view kUserName = "tav";
constexpr std::string_view kPassword = "R6150384";
constexpr std::string_view kBatchFile = "C:\\TavKorea\\KW_Update.Bat";

}  // namespace

void UpdateWindow::RunDownloads() {
  TransferControl& inet1 = platform_.inet1;
  const auto base_address = [this](const Route& route) {
    return "http://" + update_host_ + std::string(route.server_path);
  };
  const auto staging_folder = [this](const Route& route) {
    return settings_.BackupDir + std::string(route.staging_folder);
  };

  try {
    AnnounceStep("로그인");
    inet1.SetAccessType(2);
    inet1.SetURL(update_host_);
    inet1.SetUserName(std::string(kUserName));
    inet1.SetPassword(std::string(kPassword));
    WaitWhileExecuting();

    for (std::string_view executable : {kMainExeFile, kSubExeFile}) {
      AnnounceStep("DownLoad(" + std::string(executable) + ")");
      if (DownloadFile(base_address(kExecutableRoute), staging_folder(kExecutableRoute),
                       std::string(executable)) == kDownloadFailed) {
        return;
      }
    }

    if (!model_.Selected(TavSelt0Opt)) {
      for (const ListRoute& list_route : kListRoutes) {
        AnnounceStep(list_route.route.step_caption);
        const std::string base = base_address(list_route.route);
        const std::string folder = staging_folder(list_route.route);
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
  InstallStagedFiles();
  AnnounceStep("등록");
  platform_.processes.StartBatchFile(kBatchFile);
  AnnounceStep("완료");
  model_.SetCaption(Msg0Lbl, "작업완료");
  PumpEvents();
}

}  // namespace kw
