// The batch file under the real Wine, on a display: its console is a window the operator sees.
// Run by ctest under xvfb-run; skips itself where Wine, a display or xdotool is missing.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "platform/posix/posix_processes.h"
#include "platform/posix/wine_launcher.h"
#include "support/temp_drive.h"

namespace kw {
namespace {

namespace fs = std::filesystem;
using ::kw::testing::ScopedEnv;
using ::kw::testing::TempDrive;

// What a shell command prints, or "" when it cannot be run.
std::string Output(const std::string& command) {
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return "";
  std::string output;
  char chunk[512];
  while (const std::size_t got = fread(chunk, 1, sizeof chunk, pipe)) output.append(chunk, got);
  pclose(pipe);
  return output;
}

bool Installed(const std::string& program) {
  return std::system(("command -v " + program + " >/dev/null 2>&1").c_str()) == 0;
}

class WineConsoleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!FindWine()) GTEST_SKIP() << "Wine is not installed";
    const char* display = std::getenv("DISPLAY");
    if (display == nullptr || *display == '\0') GTEST_SKIP() << "no display: run under xvfb-run";
    if (!Installed("xdotool")) GTEST_SKIP() << "xdotool is not installed";
  }

  void TearDown() override {
    // The prefix's Wine server and the programs it runs must not outlive the prefix.
    if (FindWine()) std::system("wineserver -k >/dev/null 2>&1; wineserver -w >/dev/null 2>&1");
  }

  TempDrive drive_;
  // No offer to install Wine's .NET or HTML engines on the new prefix's first start.
  ScopedEnv overrides_{"WINEDLLOVERRIDES", "mscoree=;mshtml="};
  ScopedEnv quiet_{"WINEDEBUG", "-all"};
};

TEST_F(WineConsoleTest, TheBatchFileRunsInAConsoleWindowOfItsOwn) {
  // It stays a while, so that its window can be seen; TearDown ends it.
  drive_.Write(
      "C:\\TavKorea\\KW_Update.Bat",
      "@echo off\r\necho ran> ran.txt\r\ncd >> ran.txt\r\nping -n 300 127.0.0.1 > nul\r\n");
  PosixProcesses().StartBatchFile("C:\\TavKorea\\KW_Update.Bat");

  // A new prefix takes Wine a while to set up. The marker's second line is cmd's current
  // folder: the batch file runs in its own.
  const std::string expected_marker = "ran\r\nC:\\TavKorea\r\n";
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(4);
  std::string marker;
  std::string windows;
  while (std::chrono::steady_clock::now() < deadline) {
    if (marker != expected_marker && drive_.HostExists("C:\\TavKorea\\ran.txt")) {
      marker = drive_.Read("C:\\TavKorea\\ran.txt");
    }
    windows = Output("xdotool search --onlyvisible --class conhost getwindowname %@ 2>/dev/null");
    if (marker == expected_marker && windows.find("KW_Update.Bat") != std::string::npos) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
  EXPECT_EQ(marker, expected_marker) << "the batch file did not run, or not in its folder";
  EXPECT_NE(windows.find("KW_Update.Bat"), std::string::npos)
      << "no console window of the batch file; visible consoles: " << windows;
}

}  // namespace
}  // namespace kw
