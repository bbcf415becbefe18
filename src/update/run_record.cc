#include "update/run_record.h"

#include <cstdio>
#include <span>
#include <utility>
#include <vector>

#include "platform/failure.h"

namespace kw {

namespace {

// Lines that wait for a file that cannot be opened: far more than one run writes.
constexpr std::size_t kMaxPendingBytes = 64 * 1024;

// Whole numbers only: the program's C locale may have been set from the environment (Qt does),
// and a decimal comma would break the format.
std::string Seconds(std::chrono::milliseconds time) {
  const long long ms = time.count() < 0 ? 0 : time.count();
  char text[32];
  std::snprintf(text, sizeof text, "%lld.%03lld", ms / 1000, ms % 1000);
  return text;
}

// The text as one line of at most `limit` bytes, cut before a character, never inside one.
std::string OneLine(std::string text, std::size_t limit) {
  for (char& c : text) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  if (text.size() > limit) {
    std::size_t cut = limit;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    text.resize(cut);
  }
  return text;
}

std::span<const std::byte> Bytes(std::string_view text) {
  return std::as_bytes(std::span(text.data(), text.size()));
}

constexpr std::string_view EndWord(RunEnd how) {
  switch (how) {
    case RunEnd::kComplete:
      return "complete";
    case RunEnd::kCancelled:
      return "cancelled";
    case RunEnd::kStopped:
      return "stopped";
    case RunEnd::kNotInstalled:
      return "not-installed";
    case RunEnd::kFailed:
      return "failed";
    case RunEnd::kAbandoned:
      return "abandoned";
  }
  return "?";
}

}  // namespace

void RunRecord::Start(std::string path, std::string_view version, bool full_update,
                      std::string_view host) {
  path_ = std::move(path);
  running_ = true;
  started_ = clock_.Now();
  last_failed_.clear();
  pending_.clear();
  Write("start", "version=" + std::string(version) + " scope=" +
                     (full_update ? "full" : "executables") + " host=" + std::string(host));
}

void RunRecord::Downloaded(std::string_view name, std::uint64_t bytes,
                           std::chrono::milliseconds time, std::uint64_t resumed_at) {
  std::string details =
      std::string(name) + " bytes=" + std::to_string(bytes) + " seconds=" + Seconds(time);
  if (resumed_at > 0) details += " resumed-at=" + std::to_string(resumed_at);
  Write("downloaded", details);
}

void RunRecord::Unchanged(std::string_view name) { Write("unchanged", name); }

void RunRecord::DownloadFailed(std::string_view name, std::string_view why) {
  if (running_) last_failed_ = name;
  Write("failed", std::string(name) + ": " + std::string(why));
}

void RunRecord::NotInstalled(const InstallOutcome& outcome) {
  for (const std::string& name : outcome.not_installed) {
    const bool first = &name == &outcome.not_installed.front();
    Write("not-installed", first && outcome.first_failure
                               ? name + ": " + outcome.first_failure->description()
                               : name);
  }
}

void RunRecord::BatchStarted(std::string_view path) { Write("batch-started", path); }

void RunRecord::End(RunEnd how, std::string_view why) {
  if (!running_) return;
  std::string reason(why);
  if (how == RunEnd::kComplete) reason.clear();
  if (how == RunEnd::kStopped && reason.empty() && !last_failed_.empty()) {
    reason = last_failed_ + " failed";
  }
  if (how == RunEnd::kAbandoned && reason.empty()) reason = "the window was closed";
  std::string details =
      std::string(EndWord(how)) + " seconds=" +
      Seconds(std::chrono::duration_cast<std::chrono::milliseconds>(clock_.Now() - started_));
  if (!reason.empty()) details += ": " + reason;
  Write("end", details);
  running_ = false;
  pending_.clear();
}

void RunRecord::Write(std::string_view event, std::string_view details) {
  if (!running_) return;
  std::string line = UtcText(clock_.UtcNow()) + " " + std::string(event);
  if (!details.empty()) line += " " + std::string(details);
  line = OneLine(std::move(line), kMaxLineBytes) + "\r\n";
  if (pending_.size() + line.size() > kMaxPendingBytes) return;
  pending_ += line;
  try {
    Flush();
  } catch (const Failure&) {
    // The record serves whoever supports the PC; the run goes on without it.
  }
}

void RunRecord::Flush() {
  const std::uint64_t size = files_.Exists(path_) ? files_.OpenForReading(path_)->Size() : 0;
  if (size + pending_.size() > kLimitBytes) return Rotate();
  const std::unique_ptr<WritableFile> file = files_.OpenForAppending(path_);
  // From here on a failure may have written part of the lines: they are not tried again.
  const std::string lines = std::exchange(pending_, {});
  file->Append(Bytes(lines));
  file->Close();
}

void RunRecord::Rotate() {
  constexpr std::size_t kKeep = kLimitBytes / 2;
  // The last kKeep bytes and the one before them, which tells whether they begin a line.
  std::string tail;
  {
    const std::unique_ptr<ReadableFile> reader = files_.OpenForReading(path_);
    std::vector<std::byte> buffer(64 * 1024);
    while (const std::size_t read = reader->Read(buffer)) {
      tail.append(reinterpret_cast<const char*>(buffer.data()), read);
      if (tail.size() > 2 * (kKeep + 1)) tail.erase(0, tail.size() - (kKeep + 1));
    }
  }
  if (tail.size() > kKeep) {
    if (tail.size() > kKeep + 1) tail.erase(0, tail.size() - (kKeep + 1));
    const std::size_t line_end = tail.find('\n');
    tail.erase(0, line_end == std::string::npos ? tail.size() : line_end + 1);
  }
  tail += pending_;

  const std::string fresh = path_ + ".new";
  try {
    const std::unique_ptr<WritableFile> file = files_.OpenForWriting(fresh);
    file->Append(Bytes(tail));
    // The rename replaces the whole record: what it names must be on the disk first.
    file->Sync();
    file->Close();
    files_.RenameFile(fresh, path_);
  } catch (const Failure&) {
    try {
      if (!files_.FilesMatching(fresh).empty()) files_.DeleteFiles(fresh);
    } catch (const Failure&) {
      // Left for the next rotation, which empties it first.
    }
    throw;
  }
  pending_.clear();
}

}  // namespace kw
