#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/clock.h"
#include "platform/file_system.h"
#include "update/installer.h"

namespace kw {

// How an update run ended, as its record says it.
enum class RunEnd {
  kComplete,      // every file downloaded (or unchanged) and installed, the batch file started
  kCancelled,     // a failure the downloads' scope caught (log-in, manifest, transfer)
  kStopped,       // a file's download failed, and the run went no further
  kNotInstalled,  // files the installer could not install; the batch file still started
  kFailed,        // a failure passed on to the window's message box
  kAbandoned,     // the window was closed during the run
};

// The record of update runs that a PC keeps for whoever supports it: one file of UTF-8 text
// (kRunRecordFile in BackupDir), one line per event, appended run after run. A line is the
// calendar time in UTC (ISO 8601, "Z"), a word for the event, then its details, and ends in
// CR LF:
//
//   2026-12-08T23:20:50Z start version=2.50 scope=full host=update.example.com
//   2026-12-08T23:20:51Z downloaded KW.exe bytes=5242880 seconds=0.412
//   2026-12-08T23:20:52Z downloaded KZ.exe bytes=2097152 seconds=0.201 resumed-at=1048576
//   2026-12-08T23:20:53Z unchanged 지역01.Tx$
//   2026-12-08T23:20:54Z failed OrvGrid.ocx: The server answered 404 Not Found for OrvGrid.ocx
//   2026-12-08T23:20:55Z not-installed KW_Update.Ba$: Permission denied: C:\TavKorea\...
//   2026-12-08T23:20:55Z batch-started C:\TavKorea\KW_Update.Bat
//   2026-12-08T23:20:55Z end complete seconds=183.214
//
// An end line is "end", one of complete, cancelled, stopped, not-installed, failed or abandoned,
// the run's seconds on the monotonic clock, and after ": " why (the failure's text; for a
// stopped run the file that failed). Texts are kept to one line (CR and LF become blanks) and a
// line to kMaxLineBytes, cut at a character boundary.
//
// Writing never fails a run and raises nothing: a line that cannot be written (no folder yet,
// a folder in the way, the file held by another program, a full disk) is skipped. Lines whose
// file could not even be opened wait and go out with the next line that can be written, so the
// first run on a new PC, whose BackupDir the run start creates, keeps its start line.
//
// The file stays under kLimitBytes: a line that would take it past that first drops the older
// half (the file keeps its last kLimitBytes / 2 bytes, from the first whole line among them),
// written to the record's path + ".new" and renamed over the record, so that a reader never
// sees a half-written record and at most one other file stands beside it. A rotation that
// fails leaves the record as it was (and the line is skipped).
//
// Events are recorded only between Start and the first End; the others are ignored (an
// operation driven on its own, outside a run, leaves no record).
class RunRecord {
 public:
  static constexpr std::uint64_t kLimitBytes = 1 << 20;
  static constexpr std::size_t kMaxLineBytes = 2048;

  // The references must outlive the record.
  RunRecord(FileSystem& files, Clock& clock) : files_(files), clock_(clock) {}

  // A run starts; its record goes to `path`, and its time counts from now.
  void Start(std::string path, std::string_view version, bool full_update, std::string_view host);

  // What became of one file. `resumed_at`: the bytes an earlier try had kept, 0 for none.
  void Downloaded(std::string_view name, std::uint64_t bytes, std::chrono::milliseconds time,
                  std::uint64_t resumed_at);
  void Unchanged(std::string_view name);
  void DownloadFailed(std::string_view name, std::string_view why);

  // The files an installation left out, a line each; the first says why it was not installed.
  void NotInstalled(const InstallOutcome& outcome);
  void BatchStarted(std::string_view path);

  // The run's end, once: a later End of the same run is ignored, so a scope that knows more
  // (the downloads' catch) records first and the window's catch-all after it changes nothing.
  // `why` is ignored for kComplete; for kStopped, an empty `why` names the file that failed.
  void End(RunEnd how, std::string_view why = {});

  bool running() const { return running_; }

 private:
  void Write(std::string_view event, std::string_view details);
  // Appends what is pending, rotating first when due. Raises what the file system raises.
  void Flush();
  void Rotate();

  FileSystem& files_;
  Clock& clock_;
  std::string path_;
  bool running_ = false;
  Clock::TimePoint started_{};
  std::string last_failed_;
  // Lines not yet written because the file could not be opened.
  std::string pending_;
};

}  // namespace kw
