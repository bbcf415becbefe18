#pragma once

#include <string_view>

namespace kw {

constexpr char AsciiLower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Whether two texts are equal when ASCII letters are compared without regard to case; every
// other byte (UTF-8 included) must be equal. How Windows compares the names this program uses
// (file and image names, HTTP header names).
constexpr bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

}  // namespace kw
