// Downloads one file with the window's DownloadFile as a run does: libcurl, the real file
// system, and the Qt view attached (offscreen), so that every per-chunk display update is paid
// for. Prints the size, the seconds from the request until the last byte was written (the
// one-second pause that ends every download is left out), and the process's peak resident
// memory in KiB, on one line: "<bytes> <seconds> <peak KiB>".
//
//   download_bench <base address> <file name> [<public key>]
//
// With a public key (PEM), the window checks signed releases with it, as a build with
// KW_UPDATE_SIGNING_KEY does: it first verifies the server's kw_update.manifest (not timed),
// then the download is hashed as it streams and checked against the manifest.
//
// The file goes to C:\Bench of $WINEPREFIX, which must exist. It takes the updater's instance
// lock, so it does not run while an updater with the same XDG_RUNTIME_DIR does.

#include <QApplication>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <string>

#include "app/update_window.h"
#include "app/view_mirror.h"
#include "platform/posix/flock_instance_guard.h"
#include "platform/posix/openssl_crypto.h"
#include "platform/posix/posix_file_system.h"
#include "platform/posix/posix_processes.h"
#include "support/fixture_files.h"
#include "transfer/curl/curl_backend.h"
#include "transfer/http_transfer_control.h"
#include "ui/qt/qt_window.h"

namespace {

// Notes when Msg2Lbl reports the download complete, just before the closing pause.
class CompletionClock final : public kw::WindowModelObserver {
 public:
  explicit CompletionClock(kw::WindowModel& model) : model_(model) { model_.AddObserver(this); }
  ~CompletionClock() override { model_.RemoveObserver(this); }

  void OnControlChanged(kw::ControlId id, kw::ControlProperty) override {
    if (id == kw::ControlId::Msg2Lbl && model_.Caption(id).ends_with(" - 다운완료")) {
      completed = std::chrono::steady_clock::now();
    }
  }

  std::optional<std::chrono::steady_clock::time_point> completed;

 private:
  kw::WindowModel& model_;
};

long PeakResidentKib() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("VmHWM:")) return std::stol(line.substr(6));
  }
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 && argc != 4) {
    std::cerr << "usage: download_bench <base address> <file name> [<public key>]\n";
    return 2;
  }
  setenv("QT_QPA_PLATFORM", "offscreen", /*overwrite=*/0);
  QApplication app(argc, argv);
  QApplication::setStyle(QStringLiteral("Fusion"));

  const std::string base = argv[1];
  const std::string name = argv[2];
  const std::string host = base.substr(7, base.find('/', 7) - 7);
  // The updater's own lock: a lock file in the shared temp folder would be refused.
  kw::FlockInstanceGuard guard;
  kw::PosixFileSystem files;
  kw::PosixProcesses processes;
  kw::SystemClock clock;
  kw::QtWindow view;
  kw::ViewMirror view_host(view, clock);
  kw::HttpTransferControl inet1(view_host, std::make_unique<kw::CurlBackend>());
  kw::OpenSslCrypto crypto;
  kw::UpdateWindow window(
      {view_host, clock, files, processes, inet1, guard}, host,
      kw::SigningOfBuild(argc == 4 ? kw::testing::PemBody(argv[3]) : "", crypto));
  view_host.Attach(window);
  if (!window.Load()) return 1;
  try {
    window.VerifyReleaseManifest();
  } catch (const kw::Failure& failure) {
    std::cerr << "download_bench: " << failure.description() << "\n";
    return 1;
  }

  CompletionClock completion(window.model());
  const auto start = std::chrono::steady_clock::now();
  const kw::DownloadResult result = window.DownloadFile(base, "C:\\Bench", name);
  if (result != kw::kDownloadComplete || !completion.completed) {
    std::cerr << "download_bench: " << window.model().Caption(kw::ControlId::Msg3Lbl) << "\n";
    return 1;
  }
  const std::chrono::duration<double> seconds = *completion.completed - start;
  const auto bytes = std::filesystem::file_size(std::filesystem::path(std::getenv("WINEPREFIX")) /
                                                "drive_c" / "Bench" / name);
  std::cout << bytes << " " << seconds.count() << " " << PeakResidentKib() << "\n";
  return 0;
}
