#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/event_loop.h"
#include "platform/failure.h"
#include "platform/file_system.h"
#include "platform/instance_guard.h"
#include "platform/processes.h"
#include "transfer/transfer_control.h"

namespace kw::testing {

// One scripted answer of the ScriptedTransfer.
struct ScriptedResponse {
  std::int32_t status = 200;
  std::string reason = "OK";
  std::string body = {};
  // The Content-Length header as sent; nullopt: the body's size. Empty: no header at all.
  std::optional<std::string> content_length = {};
  // A failure of the request in the background: raised by GetHeader and GetChunk.
  std::optional<Failure> failure = {};
  // A failure GetChunk raises once this many body bytes have been handed out.
  std::optional<std::size_t> fail_after_bytes = {};
  // How many times StillExecuting says true before the head "arrives".
  int executing_polls = 2;
  // The states posted while the request executes; kResponseCompleted follows the body's end.
  std::vector<std::int16_t> head_states = {kResolvingHost,     kHostResolved,    kConnecting,
                                           kConnected,         kRequesting,      kRequestSent,
                                           kReceivingResponse, kResponseReceived};
};

// A transfer control that answers from a script and records every call made on it as a line
// ("URL=http://h/jdatas3/KW.exe", "Execute GET FSize in Bytes: 0\r\n", "GetChunk 1024",
// "Cancel"). Notifications are posted to the event loop like a real control's, and a Cancel
// discards the undelivered ones.
class ScriptedTransfer : public TransferControl {
 public:
  explicit ScriptedTransfer(EventLoop& loop) : loop_(loop) {}

  // The answer to GETs of `url` (full address); unscripted addresses get 200 and a body of
  // "content of " + the address.
  void Script(const std::string& url, ScriptedResponse response) { script_[url] = response; }

  // Runs before every call, with the call's name ("SetURL", "StillExecuting", "Execute", ...):
  // a test throws from it to make that call fail.
  std::function<void(std::string_view call)> before_call;

  const std::vector<std::string>& calls() const { return calls_; }
  // The addresses of the GETs, in order.
  const std::vector<std::string>& requested() const { return requested_; }
  int CountCalls(std::string_view prefix) const;

  void SetAccessType(std::int32_t access_type) override;
  std::int32_t AccessType() const override { return access_type_; }
  void SetURL(std::string url) override;
  std::string URL() const override { return url_; }
  void SetUserName(std::string user_name) override;
  void SetPassword(std::string password) override;
  bool StillExecuting() override;
  void Execute(std::string_view operation, std::string_view request_headers) override;
  std::string GetHeader(std::string_view name) override;
  std::vector<std::byte> GetChunk(std::int16_t size) override;
  void Cancel() override;
  std::int32_t ResponseCode() override;
  std::string ResponseInfo() override;

  // Raises a notification as the control would, through the event loop.
  void Raise(std::int16_t state);

 private:
  void Record(std::string_view call, std::string line);

  EventLoop& loop_;
  std::map<std::string, ScriptedResponse> script_;
  std::vector<std::string> calls_;
  std::vector<std::string> requested_;
  std::int32_t access_type_ = 0;
  std::string url_;
  std::optional<ScriptedResponse> current_;
  int polls_left_ = 0;
  std::size_t offset_ = 0;
  bool failed_ = false;
  int generation_ = 0;
};

// Processes as a script: a list of running ones, a record of what was ended and started.
// EndProcesses offers the running ones in order and takes those ended off the list.
// StartBatchFile fails like the real one when the file does not exist on `files`.
class FakeProcesses : public Processes {
 public:
  explicit FakeProcesses(FileSystem& files) : files_(files) {}

  std::vector<RunningProcess> running;
  std::vector<std::int64_t> ended;
  std::vector<std::string> started;
  std::vector<std::string> calls;  // "Scan", "End 7", "Start C:\...", in order

  int EndProcesses(const std::function<bool(const RunningProcess&)>& select) override;
  void StartBatchFile(std::string_view path) override;

 private:
  FileSystem& files_;
};

// Passes every call on to another file system and logs it first, as "CreateFolder C:\a",
// "CopyFile C:\a -> C:\b", "DeleteFiles C:\a\*.*" ...; the opens likewise.
class RecordingFileSystem : public FileSystem {
 public:
  explicit RecordingFileSystem(FileSystem& inner) : inner_(inner) {}

  std::vector<std::string> calls;
  // The calls that change something (create, copy, delete, open for writing or appending).
  std::vector<std::string> Changes() const;

  bool Exists(std::string_view path) override;
  void CreateFolder(std::string_view path) override;
  void CopyFile(std::string_view source, std::string_view destination) override;
  void RenameFile(std::string_view source, std::string_view destination) override;
  void DeleteFiles(std::string_view pattern) override;
  std::vector<std::string> FilesMatching(std::string_view pattern) override;
  std::unique_ptr<WritableFile> OpenForWriting(std::string_view path) override;
  std::unique_ptr<WritableFile> OpenForAppending(std::string_view path) override;
  std::unique_ptr<ReadableFile> OpenForReading(std::string_view path) override;

 private:
  FileSystem& inner_;
};

// A drive that fails every call, naming the path: a run started on it ends at its first
// folder check, which is all the view's tests need of a run.
class NoDrive final : public FileSystem {
 public:
  bool Exists(std::string_view path) override { Fail(path); }
  void CreateFolder(std::string_view path) override { Fail(path); }
  void CopyFile(std::string_view source, std::string_view) override { Fail(source); }
  void RenameFile(std::string_view source, std::string_view) override { Fail(source); }
  void DeleteFiles(std::string_view pattern) override { Fail(pattern); }
  std::vector<std::string> FilesMatching(std::string_view pattern) override { Fail(pattern); }
  std::unique_ptr<WritableFile> OpenForWriting(std::string_view path) override { Fail(path); }
  std::unique_ptr<WritableFile> OpenForAppending(std::string_view path) override { Fail(path); }
  std::unique_ptr<ReadableFile> OpenForReading(std::string_view path) override { Fail(path); }

 private:
  [[noreturn]] static void Fail(std::string_view path) {
    throw Failure(error::kPathNotFound, "Path not found: " + std::string(path));
  }
};

// Answers as told; with `failure` set, fails as a guard that cannot take its lock does.
class FakeInstanceGuard : public InstanceGuard {
 public:
  bool another_instance = false;
  std::optional<Failure> failure;
  bool AnotherInstanceRunning() override {
    if (failure) throw *failure;
    return another_instance;
  }
};

}  // namespace kw::testing
