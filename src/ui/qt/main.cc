#include <QApplication>
#include <QMessageBox>
#include <QString>
#include <memory>
#include <string>

#include "app/update_window.h"
#include "app/view_mirror.h"
#include "build_config.h"
#include "platform/clock.h"
#include "platform/failure.h"
#include "platform/posix/flock_instance_guard.h"
#include "platform/posix/openssl_crypto.h"
#include "platform/posix/posix_file_system.h"
#include "platform/posix/posix_processes.h"
#include "transfer/curl/curl_backend.h"
#include "transfer/http_transfer_control.h"
#include "ui/qt/qt_window.h"

namespace {

int Run() {
  // Destroyed in reverse: the window first, then the transfer control it uses (which posts to
  // the view), then the view's mirror and the view, and the instance guard's lock last.
  kw::FlockInstanceGuard guard;
  kw::PosixFileSystem files;
  kw::PosixProcesses processes;
  kw::SystemClock clock;
  kw::QtWindow view;
  kw::ViewMirror host(view, clock);
  kw::HttpTransferControl inet1(host, std::make_unique<kw::CurlBackend>());
  kw::OpenSslCrypto crypto;
  kw::UpdateWindow window({host, clock, files, processes, inet1, guard}, KW_UPDATE_HOST,
                          kw::SigningOfBuild(KW_UPDATE_SIGNING_KEY, crypto));
  host.Attach(window);
  if (!window.Load()) return 0;
  return QApplication::exec();
}

}  // namespace

int main(int argc, char** argv) {
  // The program reads no command line, as the Windows one does: Qt would take its own options
  // (-platform, -reverse, -qwindowtitle...) from the arguments, so it is given the program's
  // name alone. Qt's settings still come from the environment (QT_QPA_PLATFORM...).
  int qt_argc = 1;
  char program_name[] = "kw_update";
  char* qt_argv[] = {argc > 0 ? argv[0] : program_name, nullptr};
  QApplication app(qt_argc, qt_argv);
  // Fusion paints buttons, options and frames in the colours the window gives them, on every
  // platform plugin.
  QApplication::setStyle(QStringLiteral("Fusion"));
  // The window's core decides when the program ends (it closes the window through the view).
  QApplication::setQuitOnLastWindowClosed(false);
  try {
    return Run();
  } catch (const kw::Failure& failure) {
    // Only the start-up can get here: no handler lets a Failure out of the event loop.
    QMessageBox::critical(nullptr, QString::fromUtf8(kw::kAppTitle.data(), kw::kAppTitle.size()),
                          QString::fromStdString(failure.Message()));
    return 1;
  }
}
