#include "transfer/download_file.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>
#include <utility>

#include "platform/event_loop.h"
#include "transfer/release_manifest.h"

namespace kw {

namespace {

using Label = DownloadProgress::Label;

// A download is written under its name and this, and renamed to its name only when whole: a
// partial file must never stand where the next run takes its backup copies from. The name stays
// visible, so that the next run's clean-up of its staging folder ("*.*") removes it.
constexpr std::string_view kPartialSuffix = ".part";

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

double Percent(double received, std::int32_t announced) {
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
  std::unique_ptr<WritableFile> file;
  Clock::TimePoint requested = clock.Now();
  try {
    const std::string address = base_address + "/" + file_name;
    const std::string local_path = local_folder + "\\" + file_name;
    const std::string partial_path = local_path + std::string(kPartialSuffix);

    progress.SetPercent(0);
    progress.SetLabel(Label::kFile, file_caption);
    progress.SetLabel(Label::kTransferState, "");
    progress.PumpEvents();

    const ManifestEntry* signed_entry = nullptr;
    std::unique_ptr<Sha256> hash;
    if (check != nullptr) {
      const std::string server_path = ServerPath(base_address, file_name);
      signed_entry = check->manifest.Find(server_path);
      if (signed_entry == nullptr) throw NotAsSigned(file_name, server_path + " is not listed");
      hash = check->crypto.NewSha256();
    }

    requested = clock.Now();
    inet1.SetURL(address);
    inet1.Execute("GET", form.request_headers);
    WaitWhileExecuting(inet1, progress);

    // GetHeader raises the failure of a request that went wrong in the background.
    const std::string length_header = inet1.GetHeader("Content-length");
    // An error page must never be saved, and later installed, as the file.
    const std::int32_t status = inet1.ResponseCode();
    if (status < 200 || status > 299) {
      throw Failure(error::kBadStatus, "The server answered " + std::to_string(status) + " " +
                                           inet1.ResponseInfo() + " for " + file_name);
    }
    const std::int32_t announced = AnnouncedLength(length_header);
    // Before anything is written: the server offers another file than the one signed.
    if (signed_entry != nullptr && static_cast<std::uint64_t>(announced) != signed_entry->size) {
      throw NotAsSigned(file_name, "the server announced " + std::to_string(announced) +
                                       " bytes where it lists " +
                                       std::to_string(signed_entry->size));
    }

    const Clock::TimePoint start = clock.Now();
    file = files.OpenForWriting(partial_path);
    double received = 0;
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
      progress.SetPercent(Percent(received, announced));
      // An endless body must not fill the disk: one chunk past the length is the most kept.
      if (received > announced) {
        throw Failure(error::kIncompleteBody, "The download of " + file_name + " went past the " +
                                                  std::to_string(announced) +
                                                  " bytes the server announced");
      }
      progress.PumpEvents();
      // A chunk of one byte or none is the body's last.
    } while (chunk_size > 1);

    if (received != announced) {
      throw Failure(error::kIncompleteBody, "The download of " + file_name + " ended after " +
                                                WholeNumber(received) + " of " +
                                                std::to_string(announced) + " bytes");
    }
    file->Close();
    file.reset();
    if (hash && hash->Finish() != signed_entry->sha256) {
      throw NotAsSigned(file_name, "its SHA-256 differs from the one listed");
    }
    files.RenameFile(partial_path, local_path);

    progress.SetLabel(Label::kFile, file_caption + " - 다운완료");
    progress.FileDone(
        file_name,
        {.kind = FileOutcome::Kind::kDownloaded,
         .bytes = static_cast<std::uint64_t>(received),
         .time = std::chrono::duration_cast<std::chrono::milliseconds>(clock.Now() - requested)});
    TimeWaitSec(clock, progress, 1);
    return kDownloadComplete;
  } catch (const Failure& failure) {
    progress.SetLabel(Label::kTransferState, FailureText(failure));
    inet1.Cancel();
    // Closing keeps what was written so far, under the partial name; a failure to close changes
    // nothing for the run.
    file.reset();
    progress.AppendToErrorLog(file_name + "\r\n");
    progress.SetLabel(Label::kFile, file_caption + " - 다운취소");
    progress.FileDone(file_name, {.kind = FileOutcome::Kind::kFailed, .why = FailureText(failure)});
    TimeWaitSec(clock, progress, 1);
    return kDownloadFailed;
  }
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
