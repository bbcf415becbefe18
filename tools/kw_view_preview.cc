// Shows the update window's Qt view in a chosen state, on seams that do nothing, for
// screenshots and layout reviews:
//
//   kw_view_preview [idle|running|failed|not-installed] [--error-panel]
//
// idle     the window as the program opens it (the default)
// running  in the middle of a download
// failed   after a download that could not reach the server, as the run leaves it
// not-installed  a whole run, on a drive in memory, whose installation cannot replace KW.exe
//          (another program holds it): its message box stays open over the window
// --error-panel  with the error panel opened, as by the 오류 button
//
// The states but the last are written into the window's model the way a run writes them. The
// seams are the tests' fakes: pressing 확인 starts a run that fails at once, on a drive that has
// no folders (the last state's drive has what a run needs).

#include <QApplication>
#include <QString>
#include <QTimer>
#include <cstdio>
#include <string>
#include <string_view>

#include "app/update_window.h"
#include "app/view_mirror.h"
#include "build_config.h"
#include "platform/clock.h"
#include "support/fakes.h"
#include "support/memory_file_system.h"
#include "ui/qt/qt_window.h"

namespace {

using enum kw::ControlId;

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
    } else if (argument == "idle" || argument == "running" || argument == "failed" ||
               argument == "not-installed") {
      state = argument;
    } else {
      std::fprintf(stderr, "usage: %s [idle|running|failed|not-installed] [--error-panel]\n",
                   argv[0]);
      return 2;
    }
  }

  kw::testing::FakeInstanceGuard guard;
  kw::testing::NoDrive no_drive;
  kw::testing::MemoryFileSystem drive;
  drive.Write("C:\\TavKorea\\KW_Update.Bat", "@echo off\r\n");
  drive.Write("C:\\TavKorea\\KW.exe", "KW in use");
  drive.Hold("C:\\TavKorea\\KW.exe");
  kw::FileSystem& files = state == "not-installed" ? static_cast<kw::FileSystem&>(drive) : no_drive;
  kw::testing::FakeProcesses processes(files);
  kw::SystemClock clock;
  kw::QtWindow view;
  kw::ViewMirror host(view, clock);
  kw::testing::ScriptedTransfer inet1(host);
  kw::UpdateWindow window({host, clock, files, processes, inet1, guard}, KW_UPDATE_HOST);
  host.Attach(window);
  if (state == "running") ShowRunning(window.model());
  if (state == "failed") ShowFailed(window.model());
  if (error_panel) window.Click(ErrViewCmd);
  if (!window.Load()) return 0;
  if (state == "not-installed") {
    QTimer::singleShot(0, [&window] { window.Click(TavEnterCmd); });
  }
  return QApplication::exec();
}
