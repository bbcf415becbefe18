#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/clock.h"
#include "platform/crypto.h"
#include "platform/failure.h"
#include "platform/file_system.h"
#include "transfer/transfer_control.h"

namespace kw {

class ReleaseManifest;

// The result of DownloadFile: 1 when the file was not fetched and the run must end.
using DownloadResult = std::int16_t;
inline constexpr DownloadResult kDownloadComplete = 0;
inline constexpr DownloadResult kDownloadFailed = 1;

// The text a failure shows on the transfer-state label: its description, except that an
// unreachable host (error::kCannotConnect) reads "Cannot connect to remote host".
std::string FailureText(const Failure& failure);

// The window's event pumps as the transfer layer uses them. Either may raise whatever the
// window raises to abandon a run once it has been closed; the transfer layer lets that pass,
// after closing what it holds.
class EventPump {
 public:
  virtual ~EventPump() = default;
  // Runs the events that are waiting, once.
  virtual void PumpEvents() = 0;
  // Runs events as they come until `timeout` has passed or one has run; sleeps meanwhile.
  virtual void WaitForEvents(std::chrono::milliseconds timeout) = 0;
};

// What became of one file of a run, for the run's record.
struct FileOutcome {
  enum class Kind {
    kDownloaded,  // fetched whole and checked
    kUnchanged,   // the installed copy already matches the signed manifest: not fetched
    kFailed,      // the download failed; the run ends
  };
  Kind kind = Kind::kDownloaded;
  std::uint64_t bytes = 0;            // kDownloaded: the file's size
  std::uint64_t resumed_at = 0;       // kDownloaded: the bytes an earlier try had kept; 0: all new
  std::chrono::milliseconds time{0};  // kDownloaded: from the request to the last byte
  std::string why = "";               // kFailed: the failure's text
};

// What a download shows while it runs, implemented by the window.
class DownloadProgress : public EventPump {
 public:
  enum class Label {
    kFile,           // the file and its outcome
    kTransferState,  // the transfer state, or the failure text
    kElapsed,        // whole seconds since the body began
    kReceived,       // kilobytes received
  };
  virtual void SetLabel(Label label, std::string_view text) = 0;
  // The progress bar: the percentage received, as computed (it can pass 100).
  virtual void SetPercent(double percent) = 0;
  // Adds `text` at the end of the error log.
  virtual void AppendToErrorLog(std::string_view text) = 0;
  // Once per file, before the closing pause: what became of it. Does nothing unless overridden.
  virtual void FileDone(std::string_view /*file_name*/, const FileOutcome& /*outcome*/) {}
};

// What a download works with. The references must outlive the call.
struct DownloadSeams {
  TransferControl& inet1;
  FileSystem& files;
  Clock& clock;
  DownloadProgress& progress;
};

// How a download asks for its file: the request's header lines (each ending in CR LF), and the
// size of the chunks the body is read in.
struct DownloadForm {
  std::string_view request_headers;
  std::int16_t chunk_size;
};

// What a build that checks signed releases checks each download against: the release's
// manifest, verified, and the system's cryptography to hash the file with.
struct ManifestCheck {
  const ReleaseManifest& manifest;
  Crypto& crypto;
};

// Fetches base_address + "/" + file_name into local_folder + "\" + file_name, a chunk at a time,
// with the elapsed seconds, kilobytes and percentage shown after every chunk, and a one-second
// pause at the end. The transfer control must be set up and idle, and the folder must exist.
// The body is written to file_name + ".part" in the folder (emptied first when it exists), put
// on the disk (Sync) and renamed to file_name, replacing a file there, only once it is whole.
//
// Every failure (an unreachable host, a status outside 200-299, a 206 to a request for the whole
// file, a missing or non-numeric Content-Length, a length of 0, a body that breaks off, ends
// short or goes past the announced length, a file that cannot be written) is handled here: its
// text goes to the transfer-state label, the transfer is cancelled, the file closed (what was
// written stays under the ".part" name, at most one chunk past the announced length; a file
// under file_name is left as it was), the name added to the error log as a line of its own, and
// the file label marked " - 다운취소". The result is then kDownloadFailed, after the pause.
//
// With `check`, the file must be listed in the manifest under its server path (base_address's
// path, "/", file_name) and is hashed as it streams: a file not listed is not requested, and one
// whose announced or received size or SHA-256 differs from the manifest's fails as above, with
// error::kNotAsSigned and a text saying it "does not match the signed manifest", before it is
// renamed to file_name. Such a download can also resume: the response's validator (a strong
// ETag, else Last-Modified) is kept beside the partial file (file_name + ".resume", with the
// file's SHA-256), and a later try whose partial file is of the same listed file and shorter
// than it asks for the rest (Range, If-Range). A 206 for exactly that rest is appended to it; a
// 200 starts the file over. The partial file is kept after a failure only for such a resume:
// never without a validator, and never once its bytes failed a check (another range, too long,
// another hash), when it goes whole.
DownloadResult DownloadFile(const DownloadSeams& seams, const DownloadForm& form,
                            const ManifestCheck* check, std::string base_address,
                            std::string local_folder, std::string file_name);

// A signed run's shortcut past a file it already has. When the file at `installed_path` is the
// one the manifest lists for base_address + "/" + file_name (its size, then its SHA-256), shows
// it as unchanged without a pause ("다운로드(<name>) - 변경없음", its size received, the bar
// full), tells the sink (kUnchanged), and returns true: it need be neither fetched nor installed.
// Otherwise (another size or content, no file, a file that cannot be read, a file the manifest
// does not list) shows nothing and returns false.
bool SkipUnchanged(const DownloadSeams& seams, const ManifestCheck& check,
                   std::string_view base_address, std::string_view file_name,
                   std::string_view installed_path);

// Whether a file name is one a download leaves beside its staged name while it is not whole (its
// partial file, or the state of its resume).
bool IsPartialDownload(std::string_view name);

// Pumps events for `seconds` of the monotonic clock, sleeping between them; returns after one
// look at the clock for 0 or less.
void TimeWaitSec(Clock& clock, EventPump& pump, std::int16_t seconds);

// Pumps events while the transfer control's request executes, sleeping between them.
void WaitWhileExecuting(TransferControl& inet1, EventPump& pump);

}  // namespace kw
