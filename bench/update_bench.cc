// Runs one full update (전체 업데이트, 확인) as a build that checks signed releases runs it:
// libcurl, the real file system and processes, the Qt view attached (offscreen), the one-second
// pause after every download included. Prints the seconds from the press of 확인 until the run
// ended, and how it ended (Msg0Lbl, or what a message box said), on one line:
// "<seconds> <how it ended>".
//
//   update_bench <host:port> <public key> [<Windows path> <bytes>]
//
// The public key (PEM) is the release's, as KW_UPDATE_SIGNING_KEY would compile it in. With a
// path and a size, the window is closed (the run abandoned) as soon as the file at that path
// (a download's ".part") holds that many bytes or more: a download broken off, for the next run
// to resume. The drive is $WINEPREFIX's; the batch file a run starts goes to $WINE (a stand-in
// that ends at once will do). It takes the updater's instance lock.

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <system_error>

#include "app/update_window.h"
#include "app/view_mirror.h"
#include "platform/posix/drive_mapping.h"
#include "platform/posix/flock_instance_guard.h"
#include "platform/posix/openssl_crypto.h"
#include "platform/posix/posix_file_system.h"
#include "platform/posix/posix_processes.h"
#include "support/fixture_files.h"
#include "transfer/curl/curl_backend.h"
#include "transfer/http_transfer_control.h"
#include "ui/qt/qt_window.h"

namespace {

// The system's clocks; with a file to watch, each reading of the monotonic clock (a download
// reads it after every chunk) first closes the window once that file has grown to `bytes`.
class BreakingClock final : public kw::Clock {
 public:
  TimePoint Now() override {
    if (window != nullptr && !window->unloaded()) {
      std::error_code error;
      const auto size = std::filesystem::file_size(watched, error);
      if (!error && size >= bytes) window->Unload();
    }
    return std::chrono::steady_clock::now();
  }
  UtcTime UtcNow() override { return std::chrono::system_clock::now(); }

  kw::UpdateWindow* window = nullptr;
  std::filesystem::path watched;
  std::uintmax_t bytes = 0;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 && argc != 5) {
    std::cerr << "usage: update_bench <host:port> <public key> [<Windows path> <bytes>]\n";
    return 2;
  }
  setenv("QT_QPA_PLATFORM", "offscreen", /*overwrite=*/0);
  QApplication app(argc, argv);
  QApplication::setStyle(QStringLiteral("Fusion"));

  kw::FlockInstanceGuard guard;
  kw::PosixFileSystem files;
  kw::PosixProcesses processes;
  BreakingClock clock;
  kw::QtWindow view;
  kw::ViewMirror view_host(view, clock);
  kw::HttpTransferControl inet1(view_host, std::make_unique<kw::CurlBackend>());
  kw::OpenSslCrypto crypto;
  kw::UpdateWindow window({view_host, clock, files, processes, inet1, guard}, argv[1],
                          kw::SigningOfBuild(kw::testing::PemBody(argv[2]), crypto));
  view_host.Attach(window);
  if (!window.Load()) return 1;
  if (argc == 5) {
    clock.watched = kw::DriveMapping::FromEnvironment().Resolve(argv[3]);
    clock.bytes = std::stoull(argv[4]);
    clock.window = &window;
  }

  // A message box would wait for a click for ever: its text is the run's end.
  std::optional<std::string> message;
  QTimer answer;
  answer.setInterval(5);
  QObject::connect(&answer, &QTimer::timeout, [&] {
    auto* const box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box == nullptr) return;
    message = box->text().simplified().toStdString();
    box->button(QMessageBox::Ok)->click();
  });
  answer.start();

  window.Click(kw::ControlId::TavSelt1Opt);
  const auto start = std::chrono::steady_clock::now();
  window.Click(kw::ControlId::TavEnterCmd);
  const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
  const std::string end = window.unloaded() ? "abandoned"
                          : message         ? *message
                                            : window.model().Caption(kw::ControlId::Msg0Lbl);
  std::cout << seconds.count() << " " << end << "\n";
  return 0;
}
