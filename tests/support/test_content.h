#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

namespace kw::testing {

// A text's bytes, as WritableFile::Append takes them.
inline std::span<const std::byte> Bytes(std::string_view text) {
  return std::as_bytes(std::span(text.data(), text.size()));
}

// Content of `size` bytes that shows whether bytes were lost, repeated or reordered.
inline std::string PatternedContent(std::size_t size) {
  std::string text(size, '\0');
  for (std::size_t i = 0; i < size; ++i) text[i] = static_cast<char>('a' + (i * 7 + i / 1024) % 26);
  return text;
}

}  // namespace kw::testing
