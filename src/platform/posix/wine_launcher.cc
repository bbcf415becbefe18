#include "platform/posix/wine_launcher.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <future>
#include <string_view>
#include <system_error>
#include <thread>

extern char** environ;

namespace kw {

namespace {

namespace fs = std::filesystem;

bool IsExecutableFile(const fs::path& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(path.c_str(), X_OK) == 0;
}

// The batch file starts in its own folder: a relative path kept as it is would then name a
// program there, and that folder is filled from the update server.
fs::path Absolute(const fs::path& path) {
  std::error_code ignored;
  fs::path absolute = fs::absolute(path, ignored);
  return absolute.empty() ? path : absolute.lexically_normal();
}

class SpawnActions {
 public:
  SpawnActions() { posix_spawn_file_actions_init(&actions_); }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;
  ~SpawnActions() { posix_spawn_file_actions_destroy(&actions_); }
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
};

class SpawnAttributes {
 public:
  SpawnAttributes() { posix_spawnattr_init(&attributes_); }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
  ~SpawnAttributes() { posix_spawnattr_destroy(&attributes_); }
  posix_spawnattr_t* get() { return &attributes_; }

 private:
  posix_spawnattr_t attributes_;
};

}  // namespace

std::optional<fs::path> FindWine() {
  std::string name = "wine";
  if (const char* wine = std::getenv("WINE"); wine != nullptr && *wine != '\0') {
    name = wine;
    // A path is used as it is: if it cannot be run, the start says why.
    if (name.find('/') != name.npos) return Absolute(name);
  }
  // What execvp() searches without a PATH.
  const char* path = std::getenv("PATH");
  const std::string_view search_path = path != nullptr ? path : "/bin:/usr/bin";
  std::size_t at = 0;
  while (at <= search_path.size()) {
    std::size_t end = search_path.find(':', at);
    if (end == search_path.npos) end = search_path.size();
    const std::string_view folder = search_path.substr(at, end - at);
    // An empty entry means the current folder, which is not a place to take Wine from.
    if (!folder.empty()) {
      const fs::path candidate = fs::path(folder) / name;
      if (IsExecutableFile(candidate)) return Absolute(candidate);
    }
    at = end + 1;
  }
  return std::nullopt;
}

std::vector<std::string> EnvironmentWithWinePrefix(const fs::path& prefix) {
  constexpr std::string_view kName = "WINEPREFIX=";
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (!std::string_view(*entry).starts_with(kName)) environment.emplace_back(*entry);
  }
  environment.push_back(std::string(kName) + prefix.string());
  return environment;
}

SpawnOutcome SpawnDetached(const std::vector<std::string>& arguments,
                           const std::vector<std::string>& environment, const fs::path& folder,
                           std::chrono::milliseconds early_exit_wait) {
  std::vector<char*> argv;
  argv.reserve(arguments.size() + 1);
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  envp.reserve(environment.size() + 1);
  for (const std::string& entry : environment) envp.push_back(const_cast<char*>(entry.c_str()));
  envp.push_back(nullptr);

  SpawnActions actions;
  SpawnAttributes attributes;
  sigset_t all;
  sigset_t none;
  sigfillset(&all);
  sigemptyset(&none);
  // Each step runs only when those before it succeeded; the first failure is the answer.
  int err = posix_spawn_file_actions_addopen(actions.get(), 0, "/dev/null", O_RDONLY, 0);
  if (err == 0) err = posix_spawn_file_actions_addopen(actions.get(), 1, "/dev/null", O_WRONLY, 0);
  if (err == 0) err = posix_spawn_file_actions_adddup2(actions.get(), 1, 2);
  // Descriptors that libraries opened without close-on-exec stay with the updater; glibc
  // closes them through /proc/self/fd where the kernel has no close_range.
  if (err == 0) err = posix_spawn_file_actions_addclosefrom_np(actions.get(), 3);
  if (err == 0) err = posix_spawn_file_actions_addchdir_np(actions.get(), folder.c_str());
  // A session of its own: the updater's terminal and its signals are not the batch file's.
  if (err == 0) {
    err = posix_spawnattr_setflags(
        attributes.get(), POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  }
  if (err == 0) err = posix_spawnattr_setsigdefault(attributes.get(), &all);
  if (err == 0) err = posix_spawnattr_setsigmask(attributes.get(), &none);
  pid_t child = 0;
  // posix_spawn, not fork: the fork handlers of Qt's, curl's or any library's would run here,
  // and with the window's threads about, their locks may be held by then.
  if (err == 0) {
    err = posix_spawn(&child, argv[0], actions.get(), attributes.get(), argv.data(), envp.data());
  }
  if (err != 0) return {.error = err, .early_status = std::nullopt};

  // The reaper outlives this call; the promise tells the caller the status if it is still
  // listening. A status that cannot be had (someone else reaped it) counts as still running.
  std::promise<std::optional<int>> ended;
  std::future<std::optional<int>> status = ended.get_future();
  std::thread([child, ended = std::move(ended)]() mutable {
    int wait_status = 0;
    pid_t reaped = 0;
    while ((reaped = waitpid(child, &wait_status, 0)) < 0 && errno == EINTR) {
    }
    ended.set_value(reaped == child ? std::optional<int>(wait_status) : std::nullopt);
  }).detach();
  if (status.wait_for(early_exit_wait) != std::future_status::ready) return {};
  return {.error = 0, .early_status = status.get()};
}

}  // namespace kw
