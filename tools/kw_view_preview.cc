// Shows the update window's Qt view in a chosen state, on seams that do nothing, for
// screenshots and layout reviews:
//
//   kw_view_preview [idle|running|failed] [--error-panel]
//
// idle     the window as the program opens it (the default)
// running  in the middle of a download
// failed   after a download that could not reach the server, as the run leaves it
// --error-panel  with the error panel opened, as by the 오류 button
//
// The states are written into the window's model the way a run writes them. Pressing 확인
// starts a run that fails at once: the preview has no file system, network or processes.

#include <QApplication>
#include <QString>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "app/update_window.h"
#include "build_config.h"
#include "platform/clock.h"
#include "platform/failure.h"
#include "platform/file_system.h"
#include "platform/instance_guard.h"
#include "platform/processes.h"
#include "platform/qt/qt_window.h"
#include "transfer/transfer_control.h"

namespace {

using enum kw::ControlId;

[[noreturn]] void NotInPreview(std::string_view what) {
  throw kw::Failure(kw::error::kPathNotFound, "The preview has no " + std::string(what));
}

class NoFileSystem final : public kw::FileSystem {
 public:
  bool Exists(std::string_view) override { NotInPreview("file system"); }
  void CreateFolder(std::string_view) override { NotInPreview("file system"); }
  void CopyFile(std::string_view, std::string_view) override { NotInPreview("file system"); }
  void DeleteFiles(std::string_view) override { NotInPreview("file system"); }
  bool AnyFileMatches(std::string_view) override { NotInPreview("file system"); }
  std::unique_ptr<kw::WritableFile> OpenForWriting(std::string_view) override {
    NotInPreview("file system");
  }
};

class NoProcesses final : public kw::Processes {
 public:
  std::vector<kw::RunningProcess> Running() override { return {}; }
  std::int64_t CurrentId() override { return 0; }
  bool End(std::int64_t) override { return false; }
  void StartBatchFile(std::string_view) override { NotInPreview("processes"); }
};

class NoOtherInstance final : public kw::InstanceGuard {
 public:
  bool AnotherInstanceRunning() override { return false; }
};

class NoTransfer final : public kw::TransferControl {
 public:
  void SetAccessType(std::int32_t access_type) override { access_type_ = access_type; }
  std::int32_t AccessType() const override { return access_type_; }
  void SetURL(std::string url) override { url_ = std::move(url); }
  std::string URL() const override { return url_; }
  void SetUserName(std::string) override {}
  void SetPassword(std::string) override {}
  bool StillExecuting() override { return false; }
  void Execute(std::string_view, std::string_view) override { NotInPreview("network"); }
  std::string GetHeader(std::string_view) override { NotInPreview("network"); }
  std::vector<std::byte> GetChunk(std::int16_t) override { NotInPreview("network"); }
  void Cancel() override {}
  std::int32_t ResponseCode() override { return 0; }
  std::string ResponseInfo() override { return {}; }

 private:
  std::int32_t access_type_ = 0;
  std::string url_;
};

void ShowRunning(kw::WindowModel& model) {
  model.SetCaption(Msg0Lbl, "* 작업시작 *");
  model.SetCaption(Msg1Lbl, "DownLoad(KW.exe)");
  model.SetCaption(Msg2Lbl, "다운로드(KW.exe)");
  model.SetCaption(Msg3Lbl, "Receiving a response from host computer");
  model.SetCaption(GetTimeLbl, "3 sec");
  model.SetCaption(GetFileLbl, "1843 KB");
  model.SetValue(PB1, 41);
  model.SetEnabled(TavEnterCmd, false);
  model.SetEnabled(KwFme, false);
  model.SetEnabled(SsFme, false);
}

void ShowFailed(kw::WindowModel& model) {
  model.SetCaption(Msg0Lbl, "* 작업시작 *");
  model.SetCaption(Msg1Lbl, "DownLoad(KW.exe)");
  model.SetCaption(Msg2Lbl, "다운로드(KW.exe) - 다운취소");
  model.SetCaption(Msg3Lbl, "Cannot connect to remote host");
  model.SetCaption(ErrViewTxt, "KW.exe\r\n");
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setStyle(QStringLiteral("Fusion"));
  QApplication::setQuitOnLastWindowClosed(false);

  std::string_view state = "idle";
  bool error_panel = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument == "--error-panel") {
      error_panel = true;
    } else if (argument == "idle" || argument == "running" || argument == "failed") {
      state = argument;
    } else {
      std::fprintf(stderr, "usage: %s [idle|running|failed] [--error-panel]\n", argv[0]);
      return 2;
    }
  }

  NoOtherInstance guard;
  NoFileSystem files;
  NoProcesses processes;
  kw::SteadyClock clock;
  kw::QtWindow view;
  NoTransfer inet1;
  kw::UpdateWindow window({view, clock, files, processes, inet1, guard}, KW_UPDATE_HOST);
  view.Attach(window);
  if (state == "running") ShowRunning(window.model());
  if (state == "failed") ShowFailed(window.model());
  if (error_panel) window.ErrViewCmdClick();
  if (!window.Load()) return 0;
  return QApplication::exec();
}
