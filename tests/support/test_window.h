#pragma once

#include <string>
#include <vector>

#include "app/update_window.h"
#include "support/fake_crypto.h"
#include "support/fakes.h"
#include "support/memory_file_system.h"
#include "support/model_recorder.h"
#include "support/test_host.h"

namespace kw::testing {

// An update window on a drive in memory, with virtual time, a scripted transfer control,
// scripted processes, and a recorder of its model. The window sees the drive through a
// recorder of its calls.
struct TestWindow {
  static constexpr const char* kHost = "update.test";

  TestWindow() : TestWindow(kHost) {}
  // A window built for `update_host`, checking signed releases with `keys` when there are any.
  explicit TestWindow(std::string update_host, std::vector<P256PublicKey> keys = {})
      : window({host, clock, files, processes, inet, guard}, std::move(update_host),
               keys.empty()
                   ? std::nullopt
                   : std::optional<ReleaseSigning>(ReleaseSigning{std::move(keys), crypto})) {}

  // The window after start-up: settings set, catalogue built, shown.
  static void Load(TestWindow& t) { t.window.Load(); }

  // The address of a file on the update server.
  static std::string Address(std::string_view server_path, std::string_view name) {
    return "http://" + std::string(kHost) + std::string(server_path) + "/" + std::string(name);
  }

  WindowModel& model() { return window.model(); }

  // The folders of the application and staging trees, in the order a run's start creates them.
  static std::vector<std::string> WorkspaceFolders() {
    return {"C:\\TavKorea",
            "C:\\TavKorea\\Data",
            "C:\\TavKorea\\Font",
            "C:\\TavKorea\\Image",
            "C:\\TavBackup",
            "C:\\TavBackup\\Update",
            "C:\\TavBackup\\Update\\Data",
            "C:\\TavBackup\\Update\\Font",
            "C:\\TavBackup\\Update\\Image"};
  }
  void CreateWorkspace() {
    for (const std::string& folder : WorkspaceFolders()) drive.MakeFolder(folder);
  }

  MemoryFileSystem drive;
  FakeClock clock;
  TestHost host{&clock};
  RecordingFileSystem files{drive};
  FakeProcesses processes{files};
  ScriptedTransfer inet{host};
  FakeInstanceGuard guard;
  FakeCrypto crypto;
  UpdateWindow window;
  ModelRecorder recorder{window.model()};
};

}  // namespace kw::testing
