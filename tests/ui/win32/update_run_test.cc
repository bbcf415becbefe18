// Whole updates of KW_Update.exe under Windows (or Wine): the program started as a person
// starts it, driven through its window by this test with the messages any program can send
// (BM_CLICK, WM_GETTEXT), against an HTTP server serving a sample release of the catalogue
// (the ctest fixture "windows_release_server", on the port the program is built for); and a
// signed run of the window in this process against the same server.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <thread>

#include "app/update_window.h"
#include "app/view_mirror.h"
#include "app/window_layout.h"
#include "build_config.h"
#include "platform/win32/cng_crypto.h"
#include "platform/win32/mutex_instance_guard.h"
#include "platform/win32/wide_text.h"
#include "platform/win32/win32_file_system.h"
#include "platform/win32/win32_processes.h"
#include "platform/win32/windows_api.h"
#include "support/fixture_files.h"
#include "support/http_test_server.h"
#include "transfer/http_transfer_control.h"
#include "transfer/wininet/wininet_backend.h"
#include "ui/win32/win32_controls.h"
#include "ui/win32/win32_window.h"
#include "update/catalogue.h"

namespace kw {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using enum ControlId;
using testing::ReadWholeFile;

constexpr auto kPatience = 120s;

// A path of the machine running the tests' server, as Wine shows it (drive Z: is "/"); a
// Windows path is used as it is.
fs::path HostPath(const std::string& path) {
  if (path.empty() || path[0] != '/') return fs::path(Widen(path));
  std::wstring windows = L"Z:" + Widen(path);
  for (wchar_t& c : windows) c = c == L'/' ? L'\\' : c;
  return fs::path(windows);
}

std::string FixtureValue(const char* name) {
  const char* state = std::getenv("KW_TEST_RELEASE_STATE");
  return state != nullptr ? testing::FixtureValue(HostPath(state), name) : "";
}

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds patience = kPatience) {
  const auto deadline = std::chrono::steady_clock::now() + patience;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(50ms);
  }
  return true;
}

// A window's text as WM_GETTEXT gives it. The program answers between the steps of a run; a
// step that pumps nothing (the installer) delays the answer, which is waited for.
std::string TextOf(HWND window) {
  wchar_t text[1024] = {};
  DWORD_PTR copied = 0;
  SendMessageTimeoutW(window, WM_GETTEXT, std::size(text), reinterpret_cast<LPARAM>(text),
                      SMTO_NORMAL, 10'000, &copied);
  return Narrow(text);
}

// A control by its number, as a dialog's; a control in a frame is the frame's.
HWND FindControl(HWND window, ControlId id) {
  const std::optional<ControlId> frame = LayoutOf(id).container;
  const HWND parent =
      frame ? GetDlgItem(window, kControlIdBase + static_cast<int>(*frame)) : window;
  return GetDlgItem(parent, kControlIdBase + static_cast<int>(id));
}

struct Process {
  PROCESS_INFORMATION info{};
  ~Process() {
    if (info.hProcess == nullptr) return;
    if (WaitForSingleObject(info.hProcess, 0) == WAIT_TIMEOUT) TerminateProcess(info.hProcess, 9);
    CloseHandle(info.hProcess);
    CloseHandle(info.hThread);
  }
  bool Running() const { return WaitForSingleObject(info.hProcess, 0) == WAIT_TIMEOUT; }
  // The exit code, once it has ended within `patience`; -1 if it has not.
  long ExitCode(std::chrono::milliseconds patience) const {
    if (WaitForSingleObject(info.hProcess, static_cast<DWORD>(patience.count())) != WAIT_OBJECT_0) {
      return -1;
    }
    DWORD code = 0;
    GetExitCodeProcess(info.hProcess, &code);
    return static_cast<long>(code);
  }
};

// The FileVersion and ProductVersion texts of a program's version resource, when they agree and
// its numeric version matches them ("2.50" and 2,50,0,0); otherwise what disagrees.
std::string VersionResource(const fs::path& program) {
  std::vector<std::byte> data(GetFileVersionInfoSizeW(program.c_str(), nullptr));
  if (data.empty() ||
      !GetFileVersionInfoW(program.c_str(), 0, static_cast<DWORD>(data.size()), data.data())) {
    return "no version resource";
  }
  auto text = [&](const wchar_t* name) {
    wchar_t* value = nullptr;
    UINT length = 0;
    const std::wstring key = std::wstring(L"\\StringFileInfo\\041204B0\\") + name;
    return VerQueryValueW(data.data(), key.c_str(), reinterpret_cast<void**>(&value), &length)
               ? Narrow(std::wstring_view(value, length > 0 ? length - 1 : 0))
               : std::string("no ") + Narrow(name);
  };
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT size = 0;
  if (!VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &size)) {
    return "no fixed version";
  }
  const std::string numeric = std::to_string(HIWORD(fixed->dwFileVersionMS)) + "." +
                              std::to_string(LOWORD(fixed->dwFileVersionMS));
  const std::string file_version = text(L"FileVersion");
  if (text(L"ProductVersion") != file_version || numeric != file_version) {
    return file_version + " / " + text(L"ProductVersion") + " / " + numeric;
  }
  return file_version;
}

class UpdateRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    release_ = FixtureValue("root");
    ASSERT_FALSE(release_.empty())
        << "no release server: run through ctest, whose fixture starts it and sets "
           "KW_TEST_RELEASE_STATE";
    wchar_t module[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, module, MAX_PATH);
    program_ = fs::path(module).parent_path() / L"KW_Update.exe";
    ASSERT_TRUE(fs::exists(program_)) << program_.string();
  }

  // Starts the program with this test's environment and, when given, one more variable
  // ("name=value").
  void Start(Process& process, const std::wstring& extra_variable = {}) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    std::wstring command = L"\"" + program_.wstring() + L"\"";
    std::wstring environment;
    if (!extra_variable.empty()) {
      wchar_t* const block = GetEnvironmentStringsW();
      for (const wchar_t* entry = block; *entry != L'\0'; entry += wcslen(entry) + 1) {
        environment.append(entry).push_back(L'\0');
      }
      FreeEnvironmentStringsW(block);
      environment.append(extra_variable).push_back(L'\0');
    }
    ASSERT_TRUE(CreateProcessW(program_.c_str(), command.data(), nullptr, nullptr, FALSE,
                               CREATE_UNICODE_ENVIRONMENT,
                               environment.empty() ? nullptr : environment.data(),
                               program_.parent_path().c_str(), &startup, &process.info));
  }

  HWND WaitForWindow() {
    HWND window = nullptr;
    EXPECT_TRUE(WaitUntil([&] {
      window = FindWindowW(L"KwUpdateWindow", Widen(kWindowCaption).c_str());
      return window != nullptr && IsWindowVisible(window);
    }));
    return window;
  }

  // The release's copy of a file the server has under `server_path`.
  std::string Released(std::string_view server_path, const std::string& name) {
    return ReadWholeFile(HostPath(release_) / Widen(std::string(server_path).substr(1)) /
                         Widen(name));
  }

  std::string release_;
  fs::path program_;
};

TEST_F(UpdateRunTest, AFullUpdateDrivenThroughTheWindowInstallsEveryFileAndRunsTheBatch) {
  std::error_code ignored;
  fs::remove_all(L"C:\\TavKorea", ignored);
  fs::remove_all(L"C:\\TavBackup", ignored);

  Process first;
  Start(first);
  const HWND window = WaitForWindow();
  ASSERT_NE(window, nullptr);

  // One version, the project's, in the caption and in the program's version resource.
  EXPECT_EQ(TextOf(window),
            std::string("Orvanta(iii) for Windows ( Update ) v") + KW_PROJECT_VERSION);
  EXPECT_EQ(VersionResource(program_), KW_PROJECT_VERSION);

  // The server the program was built for, in its banner (the rest of the window as it opens is
  // the view contract's).
  EXPECT_EQ(TextOf(FindControl(window, TavMenuLbl)),
            "[[ " + std::string(KW_UPDATE_HOST) + " --> C:\\TavKorea ]]");

  // 전체 업데이트, then 확인: the press returns at once, the run goes on in the program.
  SendMessageW(FindControl(window, TavSelt1Opt), BM_CLICK, 0, 0);
  ASSERT_EQ(SendMessageW(FindControl(window, TavSelt1Opt), BM_GETCHECK, 0, 0), BST_CHECKED);
  SendNotifyMessageW(FindControl(window, TavEnterCmd), BM_CLICK, 0, 0);
  const HWND state = FindControl(window, Msg0Lbl);
  ASSERT_TRUE(WaitUntil([&] { return TextOf(state) == "작업완료"; }, 10min))
      << "Msg0Lbl: " << TextOf(state) << ", Msg1Lbl: " << TextOf(FindControl(window, Msg1Lbl))
      << ", Msg3Lbl: " << TextOf(FindControl(window, Msg3Lbl));
  EXPECT_EQ(TextOf(FindControl(window, Msg1Lbl)), "완료");
  EXPECT_EQ(TextOf(FindControl(window, ErrViewTxt)), "");
  EXPECT_TRUE(IsWindowEnabled(FindControl(window, TavEnterCmd)));

  // Every file of the catalogue, under its installed name, as the server has it.
  EXPECT_EQ(ReadWholeFile(L"C:\\TavKorea\\KW.exe"), Released("/jdatas3", "KW.exe"));
  EXPECT_EQ(ReadWholeFile(L"C:\\TavKorea\\KZ.exe"), Released("/jdatas3", "KZ.exe"));
  FileCatalogue catalogue;
  BuildFileCatalogue(catalogue);
  int installed = 0;
  for (const ListRoute& list_route : kListRoutes) {
    const FileList& list = catalogue.List(list_route.list);
    for (int slot = FileList::kFirstSlot; slot <= FileList::kLastSlot; ++slot) {
      if (list[slot].empty()) continue;
      const std::string path = "C:\\TavKorea" + std::string(list_route.route.install_folder) +
                               "\\" + InstalledName(list[slot]);
      EXPECT_EQ(ReadWholeFile(Widen(path)), Released(list_route.route.server_path, list[slot]))
          << path;
      ++installed;
    }
  }
  EXPECT_EQ(installed, 177);

  // The batch file runs on its own, in a console of its own.
  EXPECT_TRUE(WaitUntil([] {
    return ReadWholeFile(L"C:\\TavKorea\\KW_Update.log").find("Update complete") !=
           std::string::npos;
  }));

  // A second start says so and ends; the first goes on.
  Process second;
  Start(second);
  HWND box = nullptr;
  ASSERT_TRUE(WaitUntil([&] { return (box = FindWindowW(L"#32770", L"KW_Update")) != nullptr; }));
  // A message box's text is its dialog item 0xFFFF.
  EXPECT_EQ(TextOf(GetDlgItem(box, 0xFFFF)),
            "Only one instance of this program may run at one time");
  PostMessageW(box, WM_COMMAND, IDOK, 0);
  EXPECT_EQ(second.ExitCode(30s), 0);
  EXPECT_TRUE(first.Running());

  // Closing the window ends the program.
  PostMessageW(window, WM_CLOSE, 0, 0);
  EXPECT_EQ(first.ExitCode(30s), 0);
}

// A server that answers KW.exe with a redirect whose body it sends slowly and for ever: the
// window is closed while the program reads that body. The program reaches the server through the
// proxy setting WinINet takes from http_proxy, so the release server keeps its port.
TEST_F(UpdateRunTest, ClosingTheWindowWhileAnEndlessBodyArrivesEndsTheProgramWithinASecond) {
  testing::HttpTestServer server;
  testing::ServerReply endless = testing::ServerReply::Redirect("/jdatas3/moved");
  endless.body.clear();
  endless.framing = testing::ServerReply::Framing::kChunked;
  endless.generated_length = testing::kEndlessLength;
  endless.send_every = 100ms;
  server.Serve("/jdatas3/KW.exe", endless);

  Process program;
  Start(program, L"http_proxy=http://127.0.0.1:" + std::to_wstring(server.port()));
  const HWND window = WaitForWindow();
  ASSERT_NE(window, nullptr);
  SendNotifyMessageW(FindControl(window, TavEnterCmd), BM_CLICK, 0, 0);
  ASSERT_TRUE(WaitUntil([&] { return server.body_bytes_sent() >= 3000; }));
  ASSERT_EQ(server.requests().size(), 1u);

  const auto closed = std::chrono::steady_clock::now();
  PostMessageW(window, WM_CLOSE, 0, 0);
  const long code = program.ExitCode(30s);
  const auto close_to_exit = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - closed);
  std::printf("close to exit: %lld ms\n", static_cast<long long>(close_to_exit.count()));
  EXPECT_EQ(code, 0);
  EXPECT_LT(close_to_exit, 1s);
}

// --- A signed run of the window in this process: WinINet, CNG and the Windows file system ---

// The release the fixture signed (/releases/1, sequence 1), checked with CNG: refused while this
// PC's record says it accepted a later one, installed once the record is gone, and then found
// installed, with only the manifest fetched.
TEST_F(UpdateRunTest, ASignedReleaseIsRefusedAsARollbackThenInstalledThenFoundUnchanged) {
  const fs::path state = HostPath(std::getenv("KW_TEST_RELEASE_STATE"));
  std::error_code ignored;
  fs::remove_all(L"C:\\TavKorea", ignored);
  fs::remove_all(L"C:\\TavBackup", ignored);
  fs::create_directories(L"C:\\TavBackup");
  fs::create_directories(L"C:\\TavKorea");
  std::ofstream(L"C:\\TavKorea\\KW_Update.Bat") << "@echo off\r\n";
  const std::string manifest = ReadWholeFile(HostPath(release_) / L"kw_update.manifest");
  std::string later = manifest.substr(0, manifest.find("signature "));
  later.replace(later.find("\nsequence 1\n"), 12, "\nsequence 9\n");
  std::ofstream(L"C:\\TavBackup\\KW_Update.manifest", std::ios::binary) << later;
  const std::string key = testing::PemBody(state / L"release.pub");

  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&controls);
  MutexInstanceGuard guard("KW_Update signed run test");
  Win32FileSystem files;
  Win32Processes processes;
  SystemClock clock;
  Win32Window view(GetModuleHandleW(nullptr));
  ViewMirror host(view, clock);
  HttpTransferControl inet1(host, std::make_unique<WinInetBackend>());
  CngCrypto crypto;
  UpdateWindow window({host, clock, files, processes, inet1, guard}, KW_UPDATE_HOST,
                      SigningOfBuild(key, crypto));
  host.Attach(window);
  ASSERT_TRUE(window.Load());
  auto requests_since = [&, seen = std::size_t{0}]() mutable {
    const std::string log = ReadWholeFile(state / L"access.log");
    const std::string since = log.substr(std::min(seen, log.size()));
    seen = log.size();
    return since;
  };
  requests_since();

  window.Click(TavEnterCmd);
  EXPECT_EQ(window.model().Caption(Msg0Lbl), "작업취소");
  EXPECT_NE(window.model().Caption(Msg3Lbl).find(
                "older than the one this PC accepted before: sequence 1 (version 1), after "
                "sequence 9"),
            std::string::npos)
      << window.model().Caption(Msg3Lbl);
  EXPECT_EQ(requests_since().find("/releases/"), std::string::npos);
  EXPECT_FALSE(fs::exists(L"C:\\TavKorea\\KW.exe"));

  fs::remove(L"C:\\TavBackup\\KW_Update.manifest");
  for (const bool installed_before : {false, true}) {
    SCOPED_TRACE(installed_before ? "the same release again" : "a new PC");
    window.Click(TavEnterCmd);
    EXPECT_EQ(window.model().Caption(Msg0Lbl), "작업완료") << window.model().Caption(Msg3Lbl);
    EXPECT_EQ(ReadWholeFile(L"C:\\TavKorea\\KW.exe"), Released("/jdatas3", "KW.exe"));
    EXPECT_EQ(ReadWholeFile(L"C:\\TavKorea\\KZ.exe"), Released("/jdatas3", "KZ.exe"));
    const std::string requests = requests_since();
    EXPECT_EQ(requests.find("GET /releases/1/jdatas3/") == std::string::npos, installed_before)
        << requests;
  }
  window.Unload();
}

}  // namespace
}  // namespace kw
