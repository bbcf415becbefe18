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
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "platform/failure.h"
#include "platform/posix/drive_mapping.h"
#include "platform/posix/posix_handles.h"

extern char** environ;

namespace kw {

namespace {

namespace fs = std::filesystem;

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

bool IsExecutableFile(const fs::path& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(path.c_str(), X_OK) == 0;
}

// $WINE when it holds a slash, else the program of that name (or "wine") on PATH.
std::optional<std::string> FindWine() {
  std::string name = "wine";
  if (const char* wine = std::getenv("WINE"); wine != nullptr && *wine != '\0') {
    name = wine;
    // A path is used as it is: if it cannot be run, exec says why. A relative one is made
    // absolute now, because the batch file starts in its own folder.
    if (name.find('/') != name.npos) {
      std::error_code ignored;
      const fs::path absolute = fs::absolute(name, ignored);
      return absolute.empty() ? name : absolute.string();
    }
  }
  std::string search_path;
  if (const char* path = std::getenv("PATH"); path != nullptr) {
    search_path = path;
  } else {
    // What execvp() searches without a PATH.
    search_path = "/bin:/usr/bin";
  }
  std::size_t at = 0;
  while (at <= search_path.size()) {
    std::size_t end = search_path.find(':', at);
    if (end == search_path.npos) end = search_path.size();
    const std::string_view folder = std::string_view(search_path).substr(at, end - at);
    // An empty entry means the current folder, which is not a place to take Wine from.
    if (!folder.empty()) {
      const fs::path candidate = fs::path(folder) / name;
      if (IsExecutableFile(candidate)) return candidate.string();
    }
    at = end + 1;
  }
  return std::nullopt;
}

// Between fork() and exec only async-signal-safe calls are allowed: the updater has threads
// (Qt's, curl's) whose locks may be held at the moment of the fork.
[[noreturn]] void ReportAndExit(int report_fd, int err) {
  [[maybe_unused]] const ssize_t ignored = write(report_fd, &err, sizeof err);
  _exit(127);
}

[[noreturn]] void RunDetached(int report_fd, const char* program, char* const* argv,
                              const char* folder) {
  const pid_t runner = fork();
  if (runner < 0) ReportAndExit(report_fd, errno);
  // The middle process ends at once, so the runner is adopted by init and never becomes our
  // zombie.
  if (runner > 0) _exit(0);

  setsid();
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
    sigaction(signal_number, &default_action, nullptr);
  }
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);

  const int null_fd = open("/dev/null", O_RDWR);
  if (null_fd < 0) ReportAndExit(report_fd, errno);
  for (int stream = 0; stream <= 2; ++stream) {
    if (dup2(null_fd, stream) < 0) ReportAndExit(report_fd, errno);
  }
  if (null_fd > 2) close(null_fd);
  // Descriptors opened without close-on-exec elsewhere (libraries) stay with the updater.
  close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
  // The batch file finds its neighbours by relative paths, as it would when started from its
  // own folder on Windows.
  if (chdir(folder) != 0) ReportAndExit(report_fd, errno);
  execve(program, argv, environ);
  ReportAndExit(report_fd, errno);
}

void Launch(const std::string& program, const std::vector<std::string>& arguments,
            const fs::path& folder, std::string_view batch_file) {
  std::vector<char*> argv;
  argv.reserve(arguments.size() + 1);
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  const auto cannot_start = [&](int err) {
    return Failure(error::kCannotStart, "Cannot start Wine (" + program +
                                            ") to run the batch file " + std::string(batch_file) +
                                            ": " + std::generic_category().message(err));
  };

  // The child writes an errno here if anything before the program's start fails; a pipe that
  // closes without a word means exec succeeded.
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) throw cannot_start(errno);
  UniqueFd report_read(report[0]);
  UniqueFd report_write(report[1]);

  const pid_t middle = fork();
  if (middle < 0) throw cannot_start(errno);
  if (middle == 0) RunDetached(report_write.get(), program.c_str(), argv.data(), folder.c_str());
  report_write.Reset();

  int status = 0;
  while (waitpid(middle, &status, 0) < 0 && errno == EINTR) {
  }
  int child_error = 0;
  ssize_t got;
  do {
    got = read(report_read.get(), &child_error, sizeof child_error);
  } while (got < 0 && errno == EINTR);
  if (got == sizeof child_error) throw cannot_start(child_error);
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
  const fs::path batch_file = DriveMapping::FromEnvironment().Resolve(path);
  struct stat info {};
  if (stat(batch_file.c_str(), &info) != 0 || S_ISDIR(info.st_mode)) {
    throw Failure(error::kFileNotFound, "File not found: cannot find the batch file " +
                                            std::string(path) + " (" + batch_file.string() + ")");
  }
  const std::optional<std::string> wine = FindWine();
  if (!wine) {
    throw Failure(error::kCannotStart, "Wine is needed to run the batch file " + std::string(path) +
                                           " and was not found: install Wine, or set WINE to "
                                           "the program that runs Windows programs");
  }
  Launch(*wine, {*wine, "cmd", "/c", std::string(path)}, batch_file.parent_path(), path);
}

}  // namespace kw
