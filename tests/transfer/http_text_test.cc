#include "transfer/http_text.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace kw {
namespace {

using ::testing::ElementsAre;

TEST(WireAddressTest, EncodesWhatTheWireCannotCarryInThePathOnly) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"http://h/tavkorea/data/지역01.Tx$", "http://h/tavkorea/data/%EC%A7%80%EC%97%AD01.Tx$"},
      {"http://h/세금계산서(Tav).dll",
       "http://h/%EC%84%B8%EA%B8%88%EA%B3%84%EC%82%B0%EC%84%9C(Tav).dll"},
      {"http://h/with blank & 100%.txt", "http://h/with%20blank%20&%20100%25.txt"},
      {"http://h/a#b?c=d\te\x7F", "http://h/a%23b?c=d%09e%7F"},
      // The host is not the encoder's business, nor is an address without a path.
      {"http://호스트:80/a b", "http://호스트:80/a%20b"},
      {"127.0.0.1:8650", "127.0.0.1:8650"},
      {"http://h", "http://h"},
  };
  for (const auto& [url, wire] : cases) EXPECT_EQ(WireAddress(url), wire) << url;
}

TEST(ValidHeaderLinesTest, KeepsOnlyLinesWhoseNamesAreTokens) {
  EXPECT_THAT(ValidHeaderLines("FSize in Bytes: 0\r\nX-Kw-Token:  abc \r\nBad\tName: 1\r\n"
                               ": no name\r\nNoColon\r\nX-Empty:\r\nÜmlaut: 1\r\n"
                               "Accept: */*\nLast: no line end"),
              ElementsAre(HeaderField{"X-Kw-Token", "abc"}, HeaderField{"X-Empty", ""},
                          HeaderField{"Accept", "*/*"}, HeaderField{"Last", "no line end"}));
  EXPECT_THAT(ValidHeaderLines("X-Split: a\rb\r\n"), ElementsAre())
      << "a lone CR would end the line early on the wire";
  EXPECT_THAT(ValidHeaderLines(""), ElementsAre());
}

TEST(ResponseTextTest, StatusLinesAndHeaderFieldsAreParsed) {
  struct StatusCase {
    std::string line;
    std::optional<std::int32_t> code;
    std::string reason;
  };
  const std::vector<StatusCase> statuses = {
      {"HTTP/1.1 404 Not Found\r\n", 404, "Not Found"},
      {"HTTP/1.0 200 OK", 200, "OK"},
      {"HTTP/2 200 \r\n", 200, ""},
      {"HTTP/1.1 301", 301, ""},
      {"HTTP/1.1 20 OK", std::nullopt, ""},
      {"HTTP/1.1 2000 OK", std::nullopt, ""},
      {"Content-Length: 5", std::nullopt, ""},
      {"HTTP/1.1", std::nullopt, ""},
  };
  for (const StatusCase& c : statuses) {
    const std::optional<StatusLine> status = ParseStatusLine(c.line);
    ASSERT_EQ(status.has_value(), c.code.has_value()) << c.line;
    if (status) {
      EXPECT_EQ(status->code, *c.code) << c.line;
      EXPECT_EQ(status->reason, c.reason) << c.line;
    }
  }

  EXPECT_EQ(ParseHeaderLine("Content-Length:  1000 \r\n"), (HeaderField{"Content-Length", "1000"}));
  EXPECT_EQ(ParseHeaderLine("X-Empty:"), (HeaderField{"X-Empty", ""}));
  EXPECT_EQ(ParseHeaderLine("Location: http://h:80/a"), (HeaderField{"Location", "http://h:80/a"}));
  EXPECT_EQ(ParseHeaderLine(": value"), std::nullopt);
  EXPECT_EQ(ParseHeaderLine("no colon\r\n"), std::nullopt);

  const std::vector<HeaderField> fields = {
      {"Content-Length", "13"}, {"X-Hop", "first"}, {"x-hop", "second"}, {"X-Empty", ""}};
  ASSERT_NE(FindHeader(fields, "CONTENT-length"), nullptr);
  EXPECT_EQ(*FindHeader(fields, "CONTENT-length"), "13");
  EXPECT_EQ(*FindHeader(fields, "X-HOP"), "first");
  EXPECT_EQ(*FindHeader(fields, "x-empty"), "");
  EXPECT_EQ(FindHeader(fields, "Content"), nullptr);
}

TEST(ResponseTextTest, ContentLengthsAreDecimalCounts) {
  EXPECT_EQ(ParseContentLength("0"), 0u);
  EXPECT_EQ(ParseContentLength("1000"), 1000u);
  EXPECT_EQ(ParseContentLength("18446744073709551615"), UINT64_MAX);
  for (const char* bad :
       {"", "-1", "+5", "1e3", "0x10", "12 34", "1000, 1000", "18446744073709551616"}) {
    EXPECT_EQ(ParseContentLength(bad), std::nullopt) << bad;
  }
}

}  // namespace
}  // namespace kw
