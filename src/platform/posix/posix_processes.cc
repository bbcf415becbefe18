#include "platform/posix/posix_processes.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <climits>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "platform/failure.h"
#include "platform/posix/drive_mapping.h"
#include "platform/posix/posix_handles.h"
#include "platform/posix/wine_launcher.h"
#include "platform/windows_path.h"

namespace kw {

namespace {

namespace fs = std::filesystem;

// How long a batch start waits for Wine to refuse. Short, as the window does not pump meanwhile.
constexpr std::chrono::milliseconds kWineRefusalWait{500};

constexpr std::array<std::string_view, 4> kWineLoaders = {"wine", "wine64", "wine-preloader",
                                                          "wine64-preloader"};

std::string_view FileNameOf(std::string_view path) {
  const std::size_t slash = path.find_last_of("/\\");
  return slash == path.npos ? path : path.substr(slash + 1);
}

std::optional<std::string> ReadLink(const std::string& path) {
  std::string target(PATH_MAX, '\0');
  const ssize_t size = readlink(path.c_str(), target.data(), target.size());
  if (size < 0) return std::nullopt;
  target.resize(static_cast<std::size_t>(size));
  return target;
}

std::optional<std::string> ReadWholeFile(const std::string& path) {
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return std::nullopt;
  std::string content;
  std::array<char, 4096> chunk;
  for (;;) {
    const ssize_t got = read(fd.get(), chunk.data(), chunk.size());
    if (got < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    if (got == 0) return content;
    content.append(chunk.data(), static_cast<std::size_t>(got));
  }
}

void AddName(std::vector<std::string>& names, std::string_view name) {
  if (name.empty()) return;
  for (const std::string& known : names) {
    if (known == name) return;
  }
  names.emplace_back(name);
}

std::vector<std::string> ImageNames(const std::string& proc_folder) {
  std::vector<std::string> names;
  if (std::optional<std::string> exe = ReadLink(proc_folder + "/exe")) {
    constexpr std::string_view kDeleted = " (deleted)";
    std::string_view target = *exe;
    if (target.ends_with(kDeleted)) target.remove_suffix(kDeleted.size());
    AddName(names, FileNameOf(target));
  }
  if (std::optional<std::string> cmdline = ReadWholeFile(proc_folder + "/cmdline")) {
    const std::string_view arguments = *cmdline;
    const std::size_t end0 = arguments.find('\0');
    const std::string_view argv0 = arguments.substr(0, end0);
    const std::string_view name0 = FileNameOf(argv0);
    AddName(names, name0);
    if (end0 != arguments.npos && std::ranges::find(kWineLoaders, name0) != kWineLoaders.end()) {
      const std::string_view rest = arguments.substr(end0 + 1);
      AddName(names, FileNameOf(rest.substr(0, rest.find('\0'))));
    }
  }
  return names;
}

std::optional<std::int64_t> ProcessIdOf(std::string_view name) {
  if (name.empty() || name.size() > 18) return std::nullopt;
  std::int64_t id = 0;
  for (const char c : name) {
    if (c < '0' || c > '9') return std::nullopt;
    id = id * 10 + (c - '0');
  }
  return id;
}

// Through syscall(): glibc 2.36's <sys/pidfd.h> declares its wrappers without C linkage.
int OpenProcessFd(pid_t id) { return static_cast<int>(syscall(SYS_pidfd_open, id, 0U)); }

bool KillThrough(int process_fd) {
  return syscall(SYS_pidfd_send_signal, process_fd, SIGKILL, nullptr, 0U) == 0;
}

bool HasEnded(int process_fd) {
  pollfd ended{.fd = process_fd, .events = POLLIN, .revents = 0};
  return poll(&ended, 1, 0) != 0;
}

Failure CannotOpen(std::int64_t id, int err) {
  std::string description = "Cannot open process " + std::to_string(id) +
                            " to end it: " + std::generic_category().message(err);
  if (err == ENOSYS) description += " (ending processes safely needs Linux 5.3 or later)";
  return Failure(error::kProcessList, description);
}

// The folder of a batch file, as Wine sees it: the path without its last component.
std::string WindowsFolderOf(std::string_view batch_file) {
  const WindowsPath parsed = ParseWindowsPath(batch_file);
  std::string folder{parsed.drive, ':'};
  for (std::size_t i = 0; i + 1 < parsed.components.size(); ++i) {
    folder += "\\" + parsed.components[i];
  }
  if (parsed.components.size() <= 1) folder += "\\";
  return folder;
}

}  // namespace

int PosixProcesses::EndProcesses(const std::function<bool(const RunningProcess&)>& select) {
  UniqueDir proc(opendir("/proc"));
  if (!proc) {
    throw Failure(error::kProcessList, "Cannot read the list of running processes from /proc: " +
                                           std::generic_category().message(errno));
  }
  const pid_t self = getpid();
  int ended = 0;
  while (const dirent* entry = readdir(proc.get())) {
    const std::optional<std::int64_t> id = ProcessIdOf(entry->d_name);
    if (!id || *id == self || *id > INT_MAX) continue;
    // The handle comes before the names: while the process it holds lives, its id cannot
    // pass to another, so names read now are that process's.
    UniqueFd process_fd(OpenProcessFd(static_cast<pid_t>(*id)));
    if (!process_fd) {
      if (errno == ESRCH) continue;
      throw CannotOpen(*id, errno);
    }
    RunningProcess process{*id, ImageNames("/proc/" + std::string(entry->d_name))};
    // Kernel threads have no names. A process that has ended by now may have lent its id to
    // another, whose names these would be.
    if (process.image_names.empty() || HasEnded(process_fd.get())) continue;
    if (!select(process)) continue;
    if (KillThrough(process_fd.get())) ++ended;
  }
  return ended;
}

void PosixProcesses::StartBatchFile(std::string_view path) {
  const DriveMapping drives = DriveMapping::FromEnvironment();
  const fs::path batch_file = drives.Resolve(path);
  struct stat info {};
  if (stat(batch_file.c_str(), &info) != 0 || S_ISDIR(info.st_mode)) {
    throw Failure(error::kFileNotFound, "File not found: cannot find the batch file " +
                                            std::string(path) + " (" + batch_file.string() + ")");
  }
  const std::optional<fs::path> wine = FindWine();
  if (!wine) {
    throw Failure(error::kCannotStart, "Wine is needed to run the batch file " + std::string(path) +
                                           " and was not found: install Wine, or set WINE to "
                                           "the program that runs Windows programs");
  }
  // Wine's start gives the batch file a console window of its own, as Windows does, and
  // returns without waiting for it; /d makes the batch file's folder its current one. Wine
  // refuses a prefix it cannot use within a tenth of a second; a start that is still running
  // after the wait below has got past that (a new prefix takes Wine many seconds to set up,
  // which the window must not wait for).
  const SpawnOutcome outcome = SpawnDetached(
      {wine->string(), "start", "/d", WindowsFolderOf(path), std::string(path)},
      EnvironmentWithWinePrefix(drives.prefix()), batch_file.parent_path(), kWineRefusalWait);
  const std::string cannot_start =
      "Cannot start Wine (" + wine->string() + ") to run the batch file " + std::string(path);
  if (outcome.error != 0) {
    throw Failure(error::kCannotStart,
                  cannot_start + ": " + std::generic_category().message(outcome.error));
  }
  if (const std::optional<int> status = outcome.early_status;
      status && !(WIFEXITED(*status) && WEXITSTATUS(*status) == 0)) {
    const std::string how =
        WIFEXITED(*status) ? "it ended with exit status " + std::to_string(WEXITSTATUS(*status))
                           : "it was ended by signal " + std::to_string(WTERMSIG(*status));
    throw Failure(error::kCannotStart, cannot_start + " in the Wine prefix " +
                                           drives.prefix().string() + ": " + how +
                                           " (WINEPREFIX chooses the prefix)");
  }
}

}  // namespace kw
