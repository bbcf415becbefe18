#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace kw {

// The Wine to run Windows programs with, as an absolute path, so that it stays the same
// program whatever folder it is started in: $WINE when it holds a "/" (a relative one taken
// from the current folder), else the program named $WINE, or "wine", in the first PATH entry
// that has it as an executable file (relative entries taken from the current folder, empty
// ones skipped). nullopt when there is none. Reads WINE and PATH at the time of the call.
std::optional<std::filesystem::path> FindWine();

// The environment a Wine child is given: this process's, with WINEPREFIX set to `prefix` in
// place of whatever value it had (a relative one would name another folder once the child is in
// its own; an empty one Wine refuses). Reads the environment at the time of the call.
std::vector<std::string> EnvironmentWithWinePrefix(const std::filesystem::path& prefix);

// What became of a start.
struct SpawnOutcome {
  // The errno that kept the program from starting (it could not be run, the folder could not
  // be entered), or 0.
  int error = 0;
  // Its wait status, when it ended within the wait it was given; nullopt when it still ran then.
  std::optional<int> early_status;
};

// Starts `arguments[0]`, an absolute path, with `arguments` as its argv and `environment`
// ("NAME=value" entries) as its environment: in a session of its own, in `folder`, with the
// standard streams on /dev/null, no other descriptor of this process, default signal handling
// and nothing blocked. No fork handler of any library runs (posix_spawn). A thread of its own
// reaps it once it ends, so it never stays a zombie; the caller waits for that at most
// `early_exit_wait`, to learn of a program that refuses at once.
SpawnOutcome SpawnDetached(const std::vector<std::string>& arguments,
                           const std::vector<std::string>& environment,
                           const std::filesystem::path& folder,
                           std::chrono::milliseconds early_exit_wait);

}  // namespace kw
