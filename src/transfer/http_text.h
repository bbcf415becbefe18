#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kw {

// The HTTP text that every HTTP backend reads and writes alike: addresses as they go on the
// wire, request header lines, status lines and header fields of responses.

// One header field of a request or a response.
struct HeaderField {
  std::string name;
  std::string value;

  bool operator==(const HeaderField&) const = default;
};

// `url` as it goes on the wire. The part after the host is percent-encoded as UTF-8 where it
// holds a byte outside printable ASCII, a blank, "%" or "#": so a "%" or "#" in a file name is
// part of the name (never an escape, never the start of a fragment), and the server sees the
// name the caller gave. Everything else ("$", "(", ")", "/", "?" included) goes as it is, and
// so does an address without a path.
std::string WireAddress(std::string_view url);

// `text` with every byte that `escaped` picks written as "%" and two upper-case hex digits.
std::string PercentEncoded(std::string_view text, bool (*escaped)(unsigned char byte));

// The lines of `request_headers` (each ending in CR LF or LF) that may be sent, as fields whose
// values are trimmed of blanks. A line is dropped when its field name is not an HTTP token (RFC
// 9110 tchar: no blanks, nothing outside ASCII) or it has no colon: a standard server answers a
// request holding such a line with 400 Bad Request. An empty value is kept.
std::vector<HeaderField> ValidHeaderLines(std::string_view request_headers);

struct StatusLine {
  std::int32_t code = 0;
  std::string reason;  // empty when the line has none (HTTP/2 has none)
};

// The code and reason phrase of a response's status line ("HTTP/1.1 404 Not Found"), the line
// ending optional; nullopt when `line` is not a status line.
std::optional<StatusLine> ParseStatusLine(std::string_view line);

// The field of a response header line ("Name: value"), the line ending optional, its value
// trimmed of blanks; nullopt when the line has no colon or no name.
std::optional<HeaderField> ParseHeaderLine(std::string_view line);

// The value of the first field called `name`, the name matched without regard to case; null
// when there is none.
const std::string* FindHeader(const std::vector<HeaderField>& fields, std::string_view name);

// A Content-Length value as a count of bytes; nullopt unless it is a plain decimal number that
// fits in 64 bits.
std::optional<std::uint64_t> ParseContentLength(std::string_view value);

}  // namespace kw
