#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>
#include <utility>

#include "app/update_window.h"

namespace kw {

namespace {

using enum ControlId;

constexpr std::int16_t kChunkSize = 1024;

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

}  // namespace

DownloadResult UpdateWindow::DownloadFile(std::string base_address, std::string local_folder,
                                          std::string file_name) {
  TransferControl& inet1 = platform_.inet1;
  std::unique_ptr<WritableFile> file;
  try {
    const std::string address = base_address + "/" + file_name;
    const std::string local_path = local_folder + "\\" + file_name;

    model_.SetValue(PB1, 0);
    model_.SetCaption(Msg2Lbl, "다운로드(" + file_name + ")");
    model_.SetCaption(Msg3Lbl, "");
    PumpEvents();

    inet1.SetURL(address);
    inet1.Execute("GET", "FSize in Bytes: 0\r\n");
    WaitWhileExecuting();

    // GetHeader raises the failure of a request that went wrong in the background.
    const std::string length_header = inet1.GetHeader("Content-length");
    // An error page must never be saved, and later installed, as the file.
    const std::int32_t status = inet1.ResponseCode();
    if (status < 200 || status > 299) {
      throw Failure(error::kBadStatus, "The server answered " + std::to_string(status) + " " +
                                           inet1.ResponseInfo() + " for " + file_name);
    }
    const std::int32_t announced = AnnouncedLength(length_header);

    const Clock::TimePoint start = platform_.clock.Now();
    file = platform_.files.OpenForWriting(local_path);
    double received = 0;
    std::size_t chunk_size = 0;
    do {
      const std::vector<std::byte> chunk = inet1.GetChunk(kChunkSize);
      chunk_size = chunk.size();
      file->Append(chunk);
      received += static_cast<double>(chunk_size);
      const auto elapsed =
          std::chrono::duration_cast<std::chrono::seconds>(platform_.clock.Now() - start);
      model_.SetCaption(GetTimeLbl, std::to_string(elapsed.count()) + " sec");
      model_.SetCaption(GetFileLbl, WholeNumber(RoundHalfToEven(received / 1024)) + " KB");
      model_.SetValue(PB1, Percent(received, announced));
      PumpEvents();
      // A chunk of one byte or none is the body's last.
    } while (chunk_size > 1);

    if (received != announced) {
      throw Failure(error::kIncompleteBody, "The download of " + file_name + " ended after " +
                                                WholeNumber(received) + " of " +
                                                std::to_string(announced) + " bytes");
    }
    file->Close();
    file.reset();

    model_.SetCaption(Msg2Lbl, model_.Caption(Msg2Lbl) + " - 다운완료");
    TimeWaitSec(1);
    return kDownloadComplete;
  } catch (const Failure& failure) {
    model_.SetCaption(Msg3Lbl, FailureText(failure));
    inet1.Cancel();
    // Closing keeps what was written so far; a failure to close changes nothing for the run.
    file.reset();
    model_.SetCaption(ErrViewTxt, model_.Caption(ErrViewTxt) + file_name + "\r\n");
    model_.SetCaption(Msg2Lbl, model_.Caption(Msg2Lbl) + " - 다운취소");
    TimeWaitSec(1);
    return kDownloadFailed;
  }
}

void UpdateWindow::TimeWaitSec(std::int16_t seconds) {
  const Clock::TimePoint deadline = platform_.clock.Now() + std::chrono::seconds(seconds);
  for (Clock::TimePoint now = platform_.clock.Now(); now < deadline; now = platform_.clock.Now()) {
    WaitForEvents(std::chrono::ceil<std::chrono::milliseconds>(deadline - now));
  }
}

}  // namespace kw
