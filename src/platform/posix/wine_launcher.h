#pragma once

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

// Starts `arguments[0]`, an absolute path, with `arguments` as its argv, and returns at once:
// in a session of its own, in `folder`, with the standard streams on /dev/null, no other
// descriptor of this process, default signal handling, nothing blocked, and this process's
// environment. Nothing waits for it; a thread of its own reaps it once it ends, so it never
// stays a zombie. No fork handler of any library runs (posix_spawn).
//
// Returns 0, or the errno that kept it from starting (the program could not be run, the folder
// could not be entered).
int SpawnDetached(const std::vector<std::string>& arguments, const std::filesystem::path& folder);

}  // namespace kw
