#include "transfer/download_file.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "platform/event_loop.h"
#include "transfer/release_manifest.h"

namespace kw {

namespace {

using Label = DownloadProgress::Label;

// A download is written under its name and this, and renamed to its name only when whole: a
// partial file must never stand where the next run takes its backup copies from. The name stays
// visible, so that the next run's clean-up of its staging folder ("*.*") removes it.
constexpr std::string_view kPartialSuffix = ".part";
// Beside the partial file of a signed download that may be resumed: "<SHA-256> <validator>",
// the file it is part of and the server's validator of the response it came from.
constexpr std::string_view kResumeSuffix = ".resume";

// The announced length: the Content-Length header as a signed 32-bit number.
std::int32_t AnnouncedLength(const std::string& header) {
  const char* begin = header.c_str();
  char* end = nullptr;
  errno = 0;
  const long long value = std::strtoll(begin, &end, 10);
  const bool numeric =
      end != begin && header.find_first_not_of(" \t", end - begin) == std::string::npos;
  if (!numeric) {
    throw Failure(error::kTypeMismatch,
                  header.empty()
                      ? "Type mismatch: the server sent no Content-Length"
                      : "Type mismatch: Content-Length \"" + header + "\" is not a number");
  }
  if (errno == ERANGE || value < std::numeric_limits<std::int32_t>::min() ||
      value > std::numeric_limits<std::int32_t>::max()) {
    throw Failure(error::kOverflow, "Overflow: Content-Length " + header + " is too large");
  }
  return static_cast<std::int32_t>(value);
}

// Rounds to the nearest whole number, a half to the even neighbour (2.5 -> 2, 3.5 -> 4).
double RoundHalfToEven(double value) {
  const double whole = std::floor(value);
  const double fraction = value - whole;
  if (fraction < 0.5) return whole;
  if (fraction > 0.5) return whole + 1;
  return std::fmod(whole, 2.0) == 0 ? whole : whole + 1;
}

std::string WholeNumber(double value) { return std::to_string(static_cast<long long>(value)); }

double Percent(double received, double announced) {
  if (announced == 0) {
    throw Failure(error::kDivisionByZero, "Division by zero: the server announced a length of 0");
  }
  return RoundHalfToEven(received * 100 / announced);
}

// The path of a file on the server: the path of its base address, "/", its name.
std::string ServerPath(std::string_view base_address, std::string_view file_name) {
  const std::size_t authority = base_address.find("://");
  const std::size_t path = authority == std::string_view::npos
                               ? std::string_view::npos
                               : base_address.find('/', authority + 3);
  const std::string_view folder =
      path == std::string_view::npos ? std::string_view() : base_address.substr(path);
  return std::string(folder) + "/" + std::string(file_name);
}

Failure NotAsSigned(const std::string& file_name, const std::string& why) {
  return Failure(error::kNotAsSigned, file_name + " does not match the signed manifest: " + why);
}

// Hashes the file's bytes, at most `limit` of them; returns how many there were.
std::uint64_t HashFile(ReadableFile& file, Sha256& hash, std::uint64_t limit) {
  std::vector<std::byte> buffer(64 * 1024);
  std::uint64_t hashed = 0;
  while (hashed < limit) {
    const std::size_t got = file.Read(std::span(buffer).first(
        static_cast<std::size_t>(std::min<std::uint64_t>(limit - hashed, buffer.size()))));
    if (got == 0) break;
    hash.Update(std::span(buffer).first(got));
    hashed += got;
  }
  return hashed;
}

void RemoveIfPresent(FileSystem& files, const std::string& path) {
  try {
    if (!files.FilesMatching(path).empty()) files.DeleteFiles(path);
  } catch (const Failure&) {
    // What cannot go now goes with a later try or the run start's clean-up.
  }
}

// Where a signed download may resume: the bytes its partial file holds, when the state beside it
// says they are of this very file (the manifest's SHA-256) and fewer than its size, and the
// validator to ask the server with. An offset of 0 starts the file over.
struct Resume {
  std::uint64_t offset = 0;
  std::string validator;
};

Resume ResumeOf(FileSystem& files, const std::string& partial_path, const std::string& state_path,
                const ManifestEntry& entry) {
  try {
    const std::unique_ptr<ReadableFile> state = files.OpenForReading(state_path);
    std::string text(static_cast<std::size_t>(std::min<std::uint64_t>(state->Size(), 1024)), '\0');
    text.resize(state->Read(std::as_writable_bytes(std::span(text))));
    const std::string prefix = Sha256Hex(entry.sha256) + " ";
    if (!text.starts_with(prefix) || !text.ends_with('\n') || text.size() == prefix.size() + 1) {
      return {};
    }
    const std::uint64_t kept = files.OpenForReading(partial_path)->Size();
    if (kept == 0 || kept >= entry.size) return {};
    return {kept, text.substr(prefix.size(), text.size() - prefix.size() - 1)};
  } catch (const Failure&) {
    return {};
  }
}

// What a later If-Range can ask the server about: a strong ETag, else the Last-Modified date;
// empty when the response gives neither.
std::string ValidatorOf(TransferControl& inet1) {
  const std::string etag = inet1.GetHeader("ETag");
  if (!etag.empty() && !etag.starts_with("W/")) return etag;
  return inet1.GetHeader("Last-Modified");
}

// Whether Content-Range says the body is the bytes from `offset` to the end of `size`.
bool IsRangeFrom(std::string_view content_range, std::uint64_t offset, std::uint64_t size) {
  return content_range == "bytes " + std::to_string(offset) + "-" + std::to_string(size - 1) + "/" +
                              std::to_string(size);
}

}  // namespace

std::string FailureText(const Failure& failure) {
  if (failure.number() == error::kCannotConnect) return "Cannot connect to remote host";
  return failure.description();
}

DownloadResult DownloadFile(const DownloadSeams& seams, const DownloadForm& form,
                            const ManifestCheck* check, std::string base_address,
                            std::string local_folder, std::string file_name) {
  auto& [inet1, files, clock, progress] = seams;
  const std::string file_caption = "다운로드(" + file_name + ")";
  const std::string local_path = local_folder + "\\" + file_name;
  const std::string partial_path = local_path + std::string(kPartialSuffix);
  const std::string state_path = local_path + std::string(kResumeSuffix);
  std::unique_ptr<WritableFile> file;
  Clock::TimePoint requested = clock.Now();
  // A signed download whose partial file may serve a later try, and one that must not.
  bool resumable = false;
  bool spoiled = false;
  try {
    const std::string address = base_address + "/" + file_name;

    progress.SetPercent(0);
    progress.SetLabel(Label::kFile, file_caption);
    progress.SetLabel(Label::kTransferState, "");
    progress.PumpEvents();

    const ManifestEntry* signed_entry = nullptr;
    std::unique_ptr<Sha256> hash;
    Resume resume;
    std::string request_headers(form.request_headers);
    if (check != nullptr) {
      const std::string server_path = ServerPath(base_address, file_name);
      signed_entry = check->manifest.Find(server_path);
      if (signed_entry == nullptr) throw NotAsSigned(file_name, server_path + " is not listed");
      hash = check->crypto.NewSha256();
      resume = ResumeOf(files, partial_path, state_path, *signed_entry);
      if (resume.offset > 0) {
        request_headers += "Range: bytes=" + std::to_string(resume.offset) +
                           "-\r\nIf-Range: " + resume.validator + "\r\n";
      }
    }

    requested = clock.Now();
    inet1.SetURL(address);
    inet1.Execute("GET", request_headers);
    WaitWhileExecuting(inet1, progress);

    // GetHeader raises the failure of a request that went wrong in the background.
    const std::string length_header = inet1.GetHeader("Content-length");
    // An error page must never be saved, and later installed, as the file.
    const std::int32_t status = inet1.ResponseCode();
    if (status < 200 || status > 299) {
      throw Failure(error::kBadStatus, "The server answered " + std::to_string(status) + " " +
                                           inet1.ResponseInfo() + " for " + file_name);
    }
    // Every header is read before the body: once the body has failed, none can be.
    const std::string validator = signed_entry != nullptr ? ValidatorOf(inet1) : "";
    // The rest of a resumed file, or (a 200: the server's file changed, or it serves no ranges)
    // the whole file again. A part of a file asked for whole would be saved as the file.
    std::uint64_t offset = 0;
    if (status == 206) {
      const std::string range = inet1.GetHeader("Content-Range");
      const std::string answer =
          "The server answered 206 " + inet1.ResponseInfo() + " for " + file_name;
      if (resume.offset == 0) throw Failure(error::kBadStatus, answer + ", a part of it, not all");
      if (!IsRangeFrom(range, resume.offset, signed_entry->size)) {
        spoiled = true;
        throw Failure(error::kBadStatus,
                      answer + " with another part (" + range + ") than the one asked for");
      }
      offset = resume.offset;
    }
    const std::int32_t announced = AnnouncedLength(length_header);
    const double whole = static_cast<double>(offset) + announced;
    // Before anything is written: the server offers another file than the one signed.
    if (signed_entry != nullptr && whole != static_cast<double>(signed_entry->size)) {
      throw NotAsSigned(file_name, "the server announced " + WholeNumber(whole) +
                                       " bytes where it lists " +
                                       std::to_string(signed_entry->size));
    }

    const Clock::TimePoint start = clock.Now();
    if (offset > 0) {
      // The hash covers the whole file: the bytes kept first.
      if (HashFile(*files.OpenForReading(partial_path), *hash, offset) != offset) {
        spoiled = true;
        throw Failure(error::kIncompleteBody,
                      "The partial download of " + file_name + " is shorter than it was");
      }
      file = files.OpenForAppending(partial_path);
    } else {
      file = files.OpenForWriting(partial_path);
    }
    if (signed_entry != nullptr) {
      if (validator.empty()) {
        RemoveIfPresent(files, state_path);
      } else if (offset == 0) {
        const std::unique_ptr<WritableFile> state = files.OpenForWriting(state_path);
        const std::string text = Sha256Hex(signed_entry->sha256) + " " + validator + "\n";
        state->Append(std::as_bytes(std::span(text)));
        state->Close();
      }
      resumable = !validator.empty();
    }

    double received = static_cast<double>(offset);
    std::size_t chunk_size = 0;
    do {
      const std::vector<std::byte> chunk = inet1.GetChunk(form.chunk_size);
      chunk_size = chunk.size();
      file->Append(chunk);
      if (hash) hash->Update(chunk);
      received += static_cast<double>(chunk_size);
      const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(clock.Now() - start);
      progress.SetLabel(Label::kElapsed, std::to_string(elapsed.count()) + " sec");
      progress.SetLabel(Label::kReceived, WholeNumber(RoundHalfToEven(received / 1024)) + " KB");
      progress.SetPercent(Percent(received, whole));
      // An endless body must not fill the disk: one chunk past the length is the most kept.
      if (received > whole) {
        spoiled = true;
        throw Failure(error::kIncompleteBody, "The download of " + file_name + " went past the " +
                                                  WholeNumber(whole) +
                                                  " bytes the server announced");
      }
      progress.PumpEvents();
      // A chunk of one byte or none is the body's last.
    } while (chunk_size > 1);

    if (received != whole) {
      throw Failure(error::kIncompleteBody, "The download of " + file_name + " ended after " +
                                                WholeNumber(received) + " of " +
                                                WholeNumber(whole) + " bytes");
    }
    // On the disk before it takes its name: a power cut after the rename must never leave a
    // short file that the next run would keep as its backup.
    file->Sync();
    file->Close();
    file.reset();
    if (hash && hash->Finish() != signed_entry->sha256) {
      spoiled = true;
      throw NotAsSigned(file_name, "its SHA-256 differs from the one listed");
    }
    files.RenameFile(partial_path, local_path);
    if (resumable) RemoveIfPresent(files, state_path);

    progress.SetLabel(Label::kFile, file_caption + " - 다운완료");
    progress.FileDone(
        file_name,
        {.kind = FileOutcome::Kind::kDownloaded,
         .bytes = static_cast<std::uint64_t>(received),
         .resumed_at = offset,
         .time = std::chrono::duration_cast<std::chrono::milliseconds>(clock.Now() - requested)});
    TimeWaitSec(clock, progress, 1);
    return kDownloadComplete;
  } catch (const Failure& failure) {
    progress.SetLabel(Label::kTransferState, FailureText(failure));
    inet1.Cancel();
    // Closing keeps what was written so far, under the partial name; a failure to close changes
    // nothing for the run.
    file.reset();
    // A signed download keeps its partial file only for a resume of this same file, and never
    // bytes that failed its checks.
    if (check != nullptr && (spoiled || !resumable)) {
      RemoveIfPresent(files, partial_path);
      RemoveIfPresent(files, state_path);
    }
    progress.AppendToErrorLog(file_name + "\r\n");
    progress.SetLabel(Label::kFile, file_caption + " - 다운취소");
    progress.FileDone(file_name, {.kind = FileOutcome::Kind::kFailed, .why = FailureText(failure)});
    TimeWaitSec(clock, progress, 1);
    return kDownloadFailed;
  }
}

bool SkipUnchanged(const DownloadSeams& seams, const ManifestCheck& check,
                   std::string_view base_address, std::string_view file_name,
                   std::string_view installed_path) {
  const ManifestEntry* entry = check.manifest.Find(ServerPath(base_address, file_name));
  if (entry == nullptr) return false;
  try {
    const std::unique_ptr<ReadableFile> installed = seams.files.OpenForReading(installed_path);
    if (installed->Size() != entry->size) return false;
    const std::unique_ptr<Sha256> hash = check.crypto.NewSha256();
    HashFile(*installed, *hash, entry->size);
    if (hash->Finish() != entry->sha256) return false;
  } catch (const Failure&) {
    return false;
  }
  DownloadProgress& progress = seams.progress;
  progress.SetLabel(Label::kFile, "다운로드(" + std::string(file_name) + ") - 변경없음");
  progress.SetLabel(Label::kTransferState, "");
  progress.SetLabel(Label::kElapsed, "0 sec");
  progress.SetLabel(Label::kReceived,
                    WholeNumber(RoundHalfToEven(static_cast<double>(entry->size) / 1024)) + " KB");
  progress.SetPercent(100);
  progress.FileDone(file_name, {.kind = FileOutcome::Kind::kUnchanged, .bytes = entry->size});
  progress.PumpEvents();
  return true;
}

bool IsPartialDownload(std::string_view name) {
  return name.ends_with(kPartialSuffix) || name.ends_with(kResumeSuffix);
}

void TimeWaitSec(Clock& clock, EventPump& pump, std::int16_t seconds) {
  const Clock::TimePoint deadline = clock.Now() + std::chrono::seconds(seconds);
  for (Clock::TimePoint now = clock.Now(); now < deadline; now = clock.Now()) {
    pump.WaitForEvents(std::chrono::ceil<std::chrono::milliseconds>(deadline - now));
  }
}

void WaitWhileExecuting(TransferControl& inet1, EventPump& pump) {
  while (inet1.StillExecuting()) pump.WaitForEvents(kWaitSlice);
}

}  // namespace kw
