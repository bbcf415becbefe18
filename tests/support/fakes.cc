#include "support/fakes.h"

#include <algorithm>

#include "platform/ascii.h"

namespace kw::testing {

int ScriptedTransfer::CountCalls(std::string_view prefix) const {
  return static_cast<int>(std::ranges::count_if(
      calls_, [&](const std::string& call) { return call.starts_with(prefix); }));
}

void ScriptedTransfer::Record(std::string_view call, std::string line) {
  calls_.push_back(std::move(line));
  if (before_call) before_call(call);
}

void ScriptedTransfer::SetAccessType(std::int32_t access_type) {
  Record("SetAccessType", "AccessType=" + std::to_string(access_type));
  access_type_ = access_type;
}

void ScriptedTransfer::SetURL(std::string url) {
  Record("SetURL", "URL=" + url);
  url_ = std::move(url);
}

void ScriptedTransfer::SetUserName(std::string user_name) {
  Record("SetUserName", "UserName=" + user_name);
}

void ScriptedTransfer::SetPassword(std::string password) {
  Record("SetPassword", "Password=" + password);
}

bool ScriptedTransfer::StillExecuting() {
  Record("StillExecuting", "StillExecuting");
  if (polls_left_ == 0) return false;
  --polls_left_;
  return true;
}

void ScriptedTransfer::Execute(std::string_view operation, std::string_view request_headers) {
  Record("Execute", "Execute " + std::string(operation) + " " + std::string(request_headers));
  if (operation == "Quit") {
    current_.reset();
    Raise(kDisconnecting);
    Raise(kDisconnected);
    return;
  }
  requested_.push_back(url_);
  const auto scripted = script_.find(url_);
  if (scripted != script_.end()) {
    current_ = scripted->second;
  } else {
    current_ = ScriptedResponse{.body = "content of " + url_};
  }
  offset_ = 0;
  failed_ = current_->failure.has_value();
  polls_left_ = current_->executing_polls;
  for (std::int16_t state : current_->head_states) Raise(state);
  if (failed_) Raise(kError);
}

std::string ScriptedTransfer::GetHeader(std::string_view name) {
  Record("GetHeader", "GetHeader " + std::string(name));
  if (!current_) return "";
  if (current_->failure) throw *current_->failure;
  if (!EqualsIgnoringAsciiCase(name, "Content-Length")) return "";
  return current_->content_length.value_or(std::to_string(current_->body.size()));
}

std::vector<std::byte> ScriptedTransfer::GetChunk(std::int16_t size) {
  Record("GetChunk", "GetChunk " + std::to_string(size));
  if (!current_) return {};
  if (current_->failure) throw *current_->failure;
  if (current_->fail_after_bytes && offset_ >= *current_->fail_after_bytes) {
    failed_ = true;
    throw Failure(error::kTransferFailed, "The connection was reset");
  }
  std::size_t end = std::min(current_->body.size(), offset_ + static_cast<std::size_t>(size));
  if (current_->fail_after_bytes) end = std::min(end, *current_->fail_after_bytes);
  std::vector<std::byte> chunk(end - offset_);
  std::transform(current_->body.begin() + static_cast<std::ptrdiff_t>(offset_),
                 current_->body.begin() + static_cast<std::ptrdiff_t>(end), chunk.begin(),
                 [](char c) { return static_cast<std::byte>(c); });
  offset_ = end;
  if (chunk.empty() || offset_ == current_->body.size()) Raise(kResponseCompleted);
  return chunk;
}

void ScriptedTransfer::Cancel() {
  Record("Cancel", "Cancel");
  // Only a request's own notifications are discarded; those of "Quit" stay.
  if (current_) ++generation_;
  current_.reset();
  polls_left_ = 0;
}

std::int32_t ScriptedTransfer::ResponseCode() {
  Record("ResponseCode", "ResponseCode");
  if (!current_) return 0;
  return current_->failure ? current_->failure->number() : current_->status;
}

std::string ScriptedTransfer::ResponseInfo() {
  Record("ResponseInfo", "ResponseInfo");
  if (!current_) return "";
  return current_->failure ? current_->failure->description() : current_->reason;
}

void ScriptedTransfer::Raise(std::int16_t state) {
  loop_.Post([this, state, generation = generation_] {
    if (generation == generation_) StateChanged(state);
  });
}

std::vector<std::string> RecordingFileSystem::Changes() const {
  std::vector<std::string> changes;
  for (const std::string& call : calls) {
    if (!call.starts_with("Exists") && !call.starts_with("FilesMatching") &&
        !call.starts_with("OpenForReading")) {
      changes.push_back(call);
    }
  }
  return changes;
}

bool RecordingFileSystem::Exists(std::string_view path) {
  calls.push_back("Exists " + std::string(path));
  return inner_.Exists(path);
}

void RecordingFileSystem::CreateFolder(std::string_view path) {
  calls.push_back("CreateFolder " + std::string(path));
  inner_.CreateFolder(path);
}

void RecordingFileSystem::CopyFile(std::string_view source, std::string_view destination) {
  calls.push_back("CopyFile " + std::string(source) + " -> " + std::string(destination));
  inner_.CopyFile(source, destination);
}

void RecordingFileSystem::RenameFile(std::string_view source, std::string_view destination) {
  calls.push_back("RenameFile " + std::string(source) + " -> " + std::string(destination));
  inner_.RenameFile(source, destination);
}

void RecordingFileSystem::DeleteFiles(std::string_view pattern) {
  calls.push_back("DeleteFiles " + std::string(pattern));
  inner_.DeleteFiles(pattern);
}

std::vector<std::string> RecordingFileSystem::FilesMatching(std::string_view pattern) {
  calls.push_back("FilesMatching " + std::string(pattern));
  return inner_.FilesMatching(pattern);
}

std::unique_ptr<WritableFile> RecordingFileSystem::OpenForWriting(std::string_view path) {
  calls.push_back("OpenForWriting " + std::string(path));
  return inner_.OpenForWriting(path);
}

std::unique_ptr<WritableFile> RecordingFileSystem::OpenForAppending(std::string_view path) {
  calls.push_back("OpenForAppending " + std::string(path));
  return inner_.OpenForAppending(path);
}

std::unique_ptr<ReadableFile> RecordingFileSystem::OpenForReading(std::string_view path) {
  calls.push_back("OpenForReading " + std::string(path));
  return inner_.OpenForReading(path);
}

int FakeProcesses::EndProcesses(const std::function<bool(const RunningProcess&)>& select) {
  calls.push_back("Scan");
  const std::size_t before = running.size();
  std::erase_if(running, [&](const RunningProcess& process) {
    if (!select(process)) return false;
    calls.push_back("End " + std::to_string(process.id));
    ended.push_back(process.id);
    return true;
  });
  return static_cast<int>(before - running.size());
}

void FakeProcesses::StartBatchFile(std::string_view path) {
  calls.push_back("Start " + std::string(path));
  if (!files_.Exists(path)) {
    throw Failure(error::kFileNotFound, "File not found: " + std::string(path));
  }
  started.emplace_back(path);
}

}  // namespace kw::testing
