#include "update/bas_common.h"

#include <algorithm>
#include <string_view>

namespace kw::basCommon {

namespace {

// Image names are compared as Windows compares file names; ASCII letters are the only ones
// with case in the names this is used for.
bool SameName(std::string_view a, std::string_view b) {
  const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
  return std::ranges::equal(a, b, [&](char x, char y) { return lower(x) == lower(y); });
}

}  // namespace

void KillProcessByName(Processes& processes, std::string name) {
  const std::int64_t self = processes.CurrentId();
  for (const RunningProcess& process : processes.Running()) {
    if (process.id == self) continue;
    const bool matches = std::ranges::any_of(
        process.image_names, [&](const std::string& image) { return SameName(image, name); });
    // Whether it could be ended is not our concern: the run goes on either way.
    if (matches) processes.End(process.id);
  }
}

}  // namespace kw::basCommon
