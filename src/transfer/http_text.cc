#include "transfer/http_text.h"

#include <algorithm>
#include <charconv>
#include <cstring>

#include "platform/ascii.h"

namespace kw {

namespace {

// RFC 9110 tchar.
bool IsTokenChar(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
         (c != '\0' && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr);
}

std::string_view Trim(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

std::string_view WithoutLineEnd(std::string_view line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  return line;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

std::string WireAddress(std::string_view url) {
  const auto scheme = url.find("://");
  const auto path =
      url.find('/', scheme == std::string_view::npos ? 0 : scheme + std::strlen("://"));
  if (path == std::string_view::npos) return std::string(url);
  return std::string(url.substr(0, path)) +
         PercentEncoded(url.substr(path), [](unsigned char byte) {
           return byte <= 0x20 || byte >= 0x7F || byte == '%' || byte == '#';
         });
}

std::string PercentEncoded(std::string_view text, bool (*escaped)(unsigned char byte)) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string encoded;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (escaped(byte)) {
      encoded += '%';
      encoded += kHex[byte >> 4];
      encoded += kHex[byte & 15];
    } else {
      encoded += c;
    }
  }
  return encoded;
}

std::vector<HeaderField> ValidHeaderLines(std::string_view request_headers) {
  std::vector<HeaderField> fields;
  while (!request_headers.empty()) {
    const auto end = request_headers.find('\n');
    std::string_view line = request_headers.substr(0, end);
    request_headers.remove_prefix(end == std::string_view::npos ? request_headers.size() : end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const auto colon = line.find(':');
    if (colon == 0 || colon == std::string_view::npos) continue;
    const std::string_view name = line.substr(0, colon);
    if (!std::all_of(name.begin(), name.end(), IsTokenChar)) continue;
    const std::string_view value = Trim(line.substr(colon + 1));
    // A lone CR inside the value would end the line early on the wire.
    if (value.find_first_of("\r\n") != std::string_view::npos) continue;
    fields.push_back({std::string(name), std::string(value)});
  }
  return fields;
}

std::optional<StatusLine> ParseStatusLine(std::string_view line) {
  line = WithoutLineEnd(line);
  if (!line.starts_with("HTTP/")) return std::nullopt;
  const auto space = line.find(' ');
  if (space == std::string_view::npos) return std::nullopt;
  const std::string_view rest = line.substr(space + 1);
  if (rest.size() < 3 || !IsDigit(rest[0]) || !IsDigit(rest[1]) || !IsDigit(rest[2]) ||
      (rest.size() > 3 && rest[3] != ' ')) {
    return std::nullopt;
  }
  return StatusLine{(rest[0] - '0') * 100 + (rest[1] - '0') * 10 + (rest[2] - '0'),
                    std::string(Trim(rest.substr(3)))};
}

std::optional<HeaderField> ParseHeaderLine(std::string_view line) {
  line = WithoutLineEnd(line);
  const auto colon = line.find(':');
  if (colon == 0 || colon == std::string_view::npos) return std::nullopt;
  return HeaderField{std::string(line.substr(0, colon)), std::string(Trim(line.substr(colon + 1)))};
}

const std::string* FindHeader(const std::vector<HeaderField>& fields, std::string_view name) {
  for (const HeaderField& field : fields) {
    if (EqualsIgnoringAsciiCase(field.name, name)) return &field.value;
  }
  return nullptr;
}

std::optional<std::uint64_t> ParseContentLength(std::string_view value) {
  if (value.empty() || !std::all_of(value.begin(), value.end(), IsDigit)) return std::nullopt;
  std::uint64_t length = 0;
  const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), length);
  if (error != std::errc() || end != value.data() + value.size()) return std::nullopt;
  return length;
}

}  // namespace kw
