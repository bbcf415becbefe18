#include "transfer/http_rules.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "support/failure_of.h"

namespace kw {
namespace {

using Verdict = HttpRounds::Verdict;

HttpResponseHead Head(std::int32_t status, std::vector<HeaderField> fields = {}) {
  HttpResponseHead head;
  head.status = status;
  head.fields = std::move(fields);
  return head;
}

HttpRequest Request(std::string url, std::string user_name = "") {
  HttpRequest request;
  request.url = request.wire_url = std::move(url);
  request.user_name = std::move(user_name);
  request.password = "R6150384";
  return request;
}

TEST(ResolveLocation, ResolvesAgainstTheAddressAskedAndRefusesWhatCannotBeSent) {
  constexpr const char* kBase = "http://update.test:8650/tavkorea/data/a.Tx$?x=1#top";
  const struct {
    const char* location;
    std::optional<std::string> resolved;
  } cases[] = {
      {"http://other.test/b", "http://other.test/b"},
      {"HTTPS://other.test", "https://other.test/"},
      {"//mirror.test/c", "http://mirror.test/c"},
      {"/jdatas3/KW.exe", "http://update.test:8650/jdatas3/KW.exe"},
      {"b.Tx$", "http://update.test:8650/tavkorea/data/b.Tx$"},
      {"../font/./c.TX$", "http://update.test:8650/tavkorea/font/c.TX$"},
      {"../../../../d", "http://update.test:8650/d"},
      {"sub/", "http://update.test:8650/tavkorea/data/sub/"},
      {"?y=2", "http://update.test:8650/tavkorea/data/a.Tx$?y=2"},
      {"e#part", "http://update.test:8650/tavkorea/data/e"},
      {"지역 01.Tx$", "http://update.test:8650/tavkorea/data/%EC%A7%80%EC%97%AD%2001.Tx$"},
      {"ftp://update.test/a", std::nullopt},
      {"file:///etc/passwd", std::nullopt},
      {"http:///no-host", std::nullopt},
      {"/a\r\nSet-Cookie: x", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ResolveLocation(kBase, c.location), c.resolved) << c.location;
  }
}

TEST(HttpRounds, FollowsAtMostFiveRedirectsAndRefusesAnUnusableOne) {
  const HttpRequest request = Request("http://h/a");
  HttpRounds rounds(request);
  for (int i = 1; i <= 5; ++i) {
    EXPECT_EQ(rounds.Next(Head(302, {{"Location", "/r" + std::to_string(i)}})), Verdict::kGoRound);
    EXPECT_EQ(rounds.address(), "http://h/r" + std::to_string(i));
  }
  EXPECT_THROW(rounds.Next(Head(307, {{"location", "/r6"}})), Failure);

  HttpRounds other(request);
  // A redirect status without a Location, or one not followed, is the answer.
  EXPECT_EQ(other.Next(Head(301)), Verdict::kFinal);
  EXPECT_EQ(other.Next(Head(304, {{"Location", "/x"}})), Verdict::kFinal);
  EXPECT_THROW(other.Next(Head(302, {{"Location", "gopher://h/x"}})), Failure);
}

TEST(HttpRounds, NeverLeavesHttpsForPlainHttp) {
  const HttpRequest request = Request("https://h:8443/jdatas3/KW.exe");
  HttpRounds rounds(request);
  EXPECT_EQ(rounds.Next(Head(301, {{"Location", "https://mirror/KW.exe"}})), Verdict::kGoRound);
  const Failure failure = testing::FailureOf([&] {
    rounds.Next(Head(302, {{"Location", "HTTP://mirror/KW.exe"}}));
  });
  EXPECT_EQ(failure.number(), error::kTransferFailed);
  EXPECT_THAT(failure.description(), ::testing::HasSubstr("from https to plain http"));

  // From plain http, https is a step up.
  const HttpRequest plain = Request("http://h/a");
  HttpRounds upgraded(plain);
  EXPECT_EQ(upgraded.Next(Head(302, {{"Location", "https://h/a"}})), Verdict::kGoRound);
}

TEST(HttpRounds, AnswersOneBasicChallengeOfTheHostAskedAndNoOther) {
  HttpRequest request = Request("http://h:80/a", "tav");
  request.header_fields = {{"X-Kw", "1"}};
  const HttpResponseHead basic = Head(401, {{"WWW-Authenticate", "Basic realm=x"}});
  const HttpResponseHead digest = Head(401, {{"WWW-Authenticate", "Digest x"}});
  const HeaderField credentials{"Authorization", "Basic dGF2OlI2MTUwMzg0"};

  HttpRounds rounds(request);
  EXPECT_EQ(rounds.fields(), (std::vector<HeaderField>{{"X-Kw", "1"}}));  // never unasked
  EXPECT_EQ(rounds.Next(digest), Verdict::kFinal);
  EXPECT_EQ(rounds.Next(basic), Verdict::kGoRound);
  EXPECT_EQ(rounds.fields(), (std::vector<HeaderField>{{"X-Kw", "1"}, credentials}));
  EXPECT_EQ(rounds.Next(basic), Verdict::kFinal);  // refused: the 401 is the answer

  // Followed to another host, the credentials stay behind.
  EXPECT_EQ(rounds.Next(Head(302, {{"Location", "http://other/a"}})), Verdict::kGoRound);
  EXPECT_EQ(rounds.fields(), (std::vector<HeaderField>{{"X-Kw", "1"}}));

  HttpRounds redirected(request);
  redirected.Next(Head(302, {{"Location", "https://h/a"}}));
  EXPECT_EQ(redirected.Next(basic), Verdict::kFinal);  // another port and scheme

  const HttpRequest without_user = Request("http://h/a");
  HttpRounds no_user(without_user);
  EXPECT_EQ(no_user.Next(basic), Verdict::kFinal);
}

}  // namespace
}  // namespace kw
