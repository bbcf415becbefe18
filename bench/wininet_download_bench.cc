// Downloads one file with DownloadFile over the WinINet transfer control and the Windows file
// system, as a run does but without a window: the per-chunk display updates are computed and
// dropped, so what is measured is WinINet, the transfer control and the download loop. Prints the
// size, the seconds from the request until the last byte was written (the one-second pause that
// ends every download is left out), and the process's peak working set in KiB, on one line:
// "<bytes> <seconds> <peak KiB>".
//
//   wininet_download_bench <base address> <file name> <folder>
//
// <folder> is a Windows path ("Z:\tmp\bench" under Wine) that must exist. Run it with
// bench/run, which reports it beside libcurl's and curl's.

#include <windows.h>

// After <windows.h>, which it needs.
#include <psapi.h>

#include <chrono>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <string>

#include "platform/win32/wide_text.h"
#include "platform/win32/win32_file_system.h"
#include "support/test_host.h"
#include "transfer/download_file.h"
#include "transfer/http_transfer_control.h"
#include "transfer/wininet/wininet_backend.h"
#include "update/product.h"

namespace {

// Notes when the file label reports the download complete, just before the closing pause.
class Progress final : public kw::DownloadProgress {
 public:
  explicit Progress(kw::testing::TestHost& host) : host_(host) {}
  void PumpEvents() override { host_.PumpEvents(); }
  void WaitForEvents(std::chrono::milliseconds timeout) override { host_.WaitForEvents(timeout); }
  void SetLabel(Label label, std::string_view text) override {
    if (label == Label::kFile && text.ends_with(" - 다운완료")) {
      completed = std::chrono::steady_clock::now();
    }
    if (label == Label::kTransferState) state = text;
  }
  void SetPercent(double) override {}
  void AppendToErrorLog(std::string_view) override {}

  std::optional<std::chrono::steady_clock::time_point> completed;
  std::string state;

 private:
  kw::testing::TestHost& host_;
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 4) {
    std::cerr << "usage: wininet_download_bench <base address> <file name> <folder>\n";
    return 2;
  }
  const std::string base = kw::Narrow(argv[1]);
  const std::string name = kw::Narrow(argv[2]);
  const std::string folder = kw::Narrow(argv[3]);
  kw::testing::TestHost host;
  Progress progress(host);
  kw::Win32FileSystem files;
  kw::SystemClock clock;
  kw::HttpTransferControl inet1(host, std::make_unique<kw::WinInetBackend>());

  const auto start = std::chrono::steady_clock::now();
  const kw::DownloadResult result =
      kw::DownloadFile({inet1, files, clock, progress}, {kw::kRequestHeaders, kw::kChunkSize},
                       nullptr, base, folder, name);
  if (result != kw::kDownloadComplete || !progress.completed) {
    std::cerr << "wininet_download_bench: " << progress.state << "\n";
    return 1;
  }
  const std::chrono::duration<double> seconds = *progress.completed - start;
  PROCESS_MEMORY_COUNTERS memory{};
  ::GetProcessMemoryInfo(::GetCurrentProcess(), &memory, sizeof(memory));
  std::cout << std::filesystem::file_size(std::filesystem::path(kw::Widen(folder + "\\" + name)))
            << " " << seconds.count() << " " << memory.PeakWorkingSetSize / 1024 << "\n";
  return 0;
}
