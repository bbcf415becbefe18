#include "platform/windows_path.h"

#include <algorithm>

#include "platform/ascii.h"
#include "platform/failure.h"

namespace kw {

namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

std::size_t NextCharacter(std::string_view text, std::size_t at) {
  ++at;
  while (at < text.size() && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80) ++at;
  return at;
}

bool WildcardMatch(std::string_view name, std::string_view pattern) {
  std::size_t n = 0;
  std::size_t p = 0;
  std::size_t star_p = std::string_view::npos;
  std::size_t star_n = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star_p = ++p;
      star_n = n;
    } else if (p < pattern.size() && pattern[p] == '?') {
      ++p;
      n = NextCharacter(name, n);
    } else if (p < pattern.size() && AsciiLower(pattern[p]) == AsciiLower(name[n])) {
      ++p;
      ++n;
    } else if (star_p != std::string_view::npos) {
      p = star_p;
      star_n = NextCharacter(name, star_n);
      n = star_n;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

}  // namespace

WindowsPath ParseWindowsPath(std::string_view path) {
  const bool has_drive = path.size() >= 2 && path[1] == ':' &&
                         ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'));
  if (!has_drive) {
    throw Failure(error::kPathNotFound,
                  "Path not found (not a full path with a drive letter): " + std::string(path));
  }
  WindowsPath parsed;
  parsed.drive = static_cast<char>(path[0] >= 'a' ? path[0] - 'a' + 'A' : path[0]);
  std::size_t at = 2;
  while (at < path.size()) {
    while (at < path.size() && IsSeparator(path[at])) ++at;
    std::size_t end = at;
    while (end < path.size() && !IsSeparator(path[end])) ++end;
    const std::string_view component = path.substr(at, end - at);
    if (component == "..") {
      if (!parsed.components.empty()) parsed.components.pop_back();
    } else if (!component.empty() && component != ".") {
      parsed.components.emplace_back(component);
    }
    at = end;
  }
  return parsed;
}

std::string_view FolderOf(std::string_view path) {
  const std::size_t separator = path.find_last_of("\\/");
  return path.substr(
      0, separator == std::string_view::npos ? std::min<std::size_t>(2, path.size()) : separator);
}

std::string_view LastComponent(std::string_view path) {
  const std::size_t separator = path.find_last_of("\\/");
  return path.substr(separator == std::string_view::npos ? std::min<std::size_t>(2, path.size())
                                                         : separator + 1);
}

bool MatchesPattern(std::string_view name, std::string_view pattern) {
  if (WildcardMatch(name, pattern)) return true;
  return pattern.ends_with(".*") && WildcardMatch(name, pattern.substr(0, pattern.size() - 2));
}

}  // namespace kw
