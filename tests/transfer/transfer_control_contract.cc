#include "transfer/transfer_control_contract.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <utility>

#include "support/failure_of.h"
#include "support/fake_crypto.h"
#include "support/memory_file_system.h"
#include "support/recording_progress.h"
#include "support/socket.h"
#include "transfer/download_file.h"
#include "transfer/release_manifest.h"

namespace kw::testing {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::StartsWith;

std::string ControlsName(const ::testing::TestParamInfo<ControlMaker>& info) {
  return info.param.name;
}

void PrintTo(const ControlMaker& maker, std::ostream* out) { *out << maker.name; }

std::string Pattern(std::size_t length) {
  std::string text(length, '\0');
  for (std::size_t i = 0; i < length; ++i) text[i] = PatternByte(i);
  return text;
}

std::string AsText(const std::vector<std::byte>& bytes) {
  return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

TransferControlContract::TransferControlContract() {
  UseTimeouts({});
  host_.on_pump = [this] { Watchdog(); };
}

void TransferControlContract::Watchdog() {
  if (std::chrono::steady_clock::now() < watchdog_deadline_) return;
  if (!watchdog_fired_) ADD_FAILURE() << "the test ran too long; cancelling its requests";
  watchdog_fired_ = true;
  control().Cancel();
}

void TransferControlContract::UseTimeouts(HttpTransferControl::Timeouts timeouts) {
  control_.reset();
  control_ = GetParam().make(host_, timeouts);
  control_->OnStateChanged([this](std::int16_t state) {
    states_.push_back(state);
    threads_.push_back(std::this_thread::get_id());
    if (state == kError) error_codes_.push_back(control_->ResponseCode());
  });
}

bool TransferControlContract::PumpUntil(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    host_.WaitForEvents(20ms);
  }
  return true;
}

void TransferControlContract::Get(const std::string& url, std::string_view headers) {
  control().SetURL(url);
  control().Execute("GET", headers);
  ASSERT_TRUE(PumpUntil([&] { return !control().StillExecuting(); })) << url;
}

std::string TransferControlContract::ReadBody(std::vector<std::size_t>* sizes) {
  std::string body;
  for (;;) {
    const std::vector<std::byte> chunk = control().GetChunk(1024);
    if (sizes) sizes->push_back(chunk.size());
    if (chunk.empty()) return body;
    body += AsText(chunk);
  }
}

std::optional<Failure> TransferControlContract::ReadUntilFailure() {
  try {
    ReadBody();
    return std::nullopt;
  } catch (const Failure& failure) {
    return failure;
  }
}

void TransferControlNginxContract::SetUp() {
  const char* state = std::getenv("KW_TEST_NGINX_STATE");
  if (state == nullptr) GTEST_SKIP() << "no nginx: run through ctest (fixture \"nginx\")";
  std::ifstream port_file(std::filesystem::path(state) / "port");
  std::ifstream root_file(std::filesystem::path(state) / "root");
  std::string root;
  ASSERT_TRUE(port_file >> port_ && std::getline(root_file, root)) << state;
  root_ = root;
  folder_ = "names-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
}

void TransferControlNginxContract::TearDown() {
  if (!folder_.empty()) std::filesystem::remove_all(root_ / folder_);
}

std::string TransferControlNginxContract::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void TransferControlNginxContract::WriteFile(const std::string& url_path,
                                             const std::string& content) {
  const std::filesystem::path path = root_ / std::filesystem::u8path(url_path.substr(1));
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << content;
}

void TransferControlNginxTlsContract::SetUp() {
  TransferControlNginxContract::SetUp();
  if (IsSkipped()) return;
  const std::filesystem::path state = std::getenv("KW_TEST_NGINX_STATE");
  std::ifstream tls(state / "tls_port");
  std::ifstream other_name(state / "other_name_port");
  std::ifstream self_signed(state / "self_signed_port");
  ASSERT_TRUE(tls >> tls_port_ && other_name >> other_name_port_ &&
              self_signed >> self_signed_port_)
      << "the fixture was not started with start-tls";
  control_.reset();
  control_ = GetParam().make_trusting(host_, state / "tls" / "ca.pem", state / "tls" / "ca.der");
}

std::string TransferControlNginxTlsContract::TlsUrl(int port, const std::string& path) const {
  return "https://127.0.0.1:" + std::to_string(port) + path;
}

namespace {

// A loopback port with nothing listening on it.
int ClosedPort() { return Socket::ListenOnLoopback(1).LocalPort(); }

// A loopback listener to which a client's connect hangs: one that Windows holds connects for,
// and whose accept queue is full, so that Linux (and Wine on it) drops further attempts.
class FullListener {
 public:
  FullListener() : listener_(Socket::ListenHoldingConnects(0)) {
    for (Socket& filler : fillers_) filler = Socket::StartConnectToLoopback(listener_.LocalPort());
    std::this_thread::sleep_for(100ms);  // lets the handshakes of the fillers settle
  }
  int port() const { return listener_.LocalPort(); }

 private:
  Socket listener_;
  Socket fillers_[3];
};

// --- The body, chunk by chunk ---

TEST_P(TransferControlContract, ChunksAreExactlyTheLesserOf1024AndWhatIsLeft) {
  struct Case {
    std::size_t length;
    std::vector<std::size_t> sizes;
  };
  const std::vector<Case> cases = {
      {2500, {1024, 1024, 452, 0}},
      {1025, {1024, 1, 0}},
      {2048, {1024, 1024, 0}},
      {1, {1, 0}},
      {0, {0}},
      {5000, {1024, 1024, 1024, 1024, 904, 0}},
  };
  using Framing = ServerReply::Framing;
  for (const Framing framing : {Framing::kContentLength, Framing::kChunked}) {
    for (const Case& c : cases) {
      SCOPED_TRACE("framing " + std::to_string(static_cast<int>(framing)) + ", length " +
                   std::to_string(c.length));
      ServerReply response;
      response.generated_length = c.length;
      response.framing = framing;
      const std::string path = "/body/" + std::to_string(c.length);
      server_.Serve(path, response);
      Get(server_.Url(path));
      std::vector<std::size_t> sizes;
      EXPECT_TRUE(ReadBody(&sizes) == Pattern(c.length));
      EXPECT_THAT(sizes, ElementsAreArray(c.sizes));
      EXPECT_TRUE(control().GetChunk(1024).empty()) << "after the end, chunks stay empty";
    }
  }
}

TEST_P(TransferControlContract, BodiesWithoutALengthArriveWhole) {
  ServerReply close_delimited;
  close_delimited.generated_length = 70'000;
  close_delimited.framing = ServerReply::Framing::kCloseDelimited;
  server_.Serve("/close", close_delimited);
  ServerReply chunked;
  chunked.generated_length = 70'000;
  chunked.framing = ServerReply::Framing::kChunked;
  server_.Serve("/chunked", chunked);

  Get(server_.Url("/close"));
  EXPECT_EQ(control().GetHeader("Content-Length"), "");
  EXPECT_TRUE(ReadBody() == Pattern(70'000));

  Get(server_.Url("/chunked"));
  EXPECT_EQ(control().GetHeader("transfer-encoding"), "chunked");
  EXPECT_TRUE(ReadBody() == Pattern(70'000));
}

TEST_P(TransferControlContract, ALargeBodyIsHeldBackWhileTheReaderPauses) {
  constexpr std::size_t kLength = 96u << 20;
  ServerReply large;
  large.generated_length = kLength;
  server_.Serve("/large", large);
  Get(server_.Url("/large"));
  EXPECT_EQ(control().GetHeader("content-length"), std::to_string(kLength));
  ASSERT_EQ(control().GetChunk(1024).size(), 1024u);

  // If the control buffered without bound, the server could send the whole body meanwhile;
  // with back-pressure it stops at the ring plus the kernel's socket buffers.
  const auto until = std::chrono::steady_clock::now() + 500ms;
  while (std::chrono::steady_clock::now() < until) host_.WaitForEvents(50ms);
  EXPECT_LT(server_.body_bytes_sent(), 32u << 20);

  std::size_t received = 1024;
  std::size_t mismatches = 0;
  for (;;) {
    const std::vector<std::byte> chunk = control().GetChunk(1024);
    if (chunk.empty()) break;
    if (received + chunk.size() < kLength) {
      ASSERT_EQ(chunk.size(), 1024u) << "at " << received;
    }
    for (std::size_t i = 0; i < chunk.size(); ++i) {
      mismatches += static_cast<char>(chunk[i]) != PatternByte(received + i);
    }
    received += chunk.size();
  }
  EXPECT_EQ(received, kLength);
  EXPECT_EQ(mismatches, 0u);
}

// --- Responses and failures ---

TEST_P(TransferControlContract, StatusAndReasonOfErrorResponsesAreReported) {
  EXPECT_EQ(control().ResponseCode(), 0) << "before any response";
  EXPECT_EQ(control().ResponseInfo(), "");
  EXPECT_EQ(control().GetHeader("Content-Length"), "");

  server_.Serve("/broken", ServerReply::Status(500, "Internal Server Error", "oops"));
  Get(server_.Url("/missing"));
  EXPECT_EQ(control().GetHeader("CONTENT-LENGTH"), "13");
  EXPECT_EQ(control().ResponseCode(), 404);
  EXPECT_EQ(control().ResponseInfo(), "Not Found");
  EXPECT_EQ(ReadBody(), "no such path\n");

  Get(server_.Url("/broken"));
  EXPECT_EQ(control().GetHeader("X-Absent"), "");
  EXPECT_EQ(control().ResponseCode(), 500);
  EXPECT_EQ(control().ResponseInfo(), "Internal Server Error");
}

TEST_P(TransferControlContract, ABodyThatBreaksOffRaisesFromGetChunk) {
  ServerReply at_boundary;  // the last full chunk is followed by nothing, not a short one
  at_boundary.generated_length = 3000;
  at_boundary.cut_after = 2048;
  server_.Serve("/boundary", at_boundary);
  ServerReply mid_chunk;
  mid_chunk.generated_length = 3000;
  mid_chunk.cut_after = 1500;
  server_.Serve("/mid", mid_chunk);
  ServerReply chunked;
  chunked.generated_length = 5000;
  chunked.framing = ServerReply::Framing::kChunked;
  chunked.cut_after = 2500;
  server_.Serve("/chunked", chunked);

  for (const std::string path : {"/boundary", "/mid", "/chunked"}) {
    if (path == "/chunked" && !GetParam().detects_broken_chunked_bodies) continue;
    SCOPED_TRACE(path);
    Get(server_.Url(path));
    std::vector<std::size_t> sizes;
    try {
      ReadBody(&sizes);
      ADD_FAILURE() << "a broken-off body ended normally";
    } catch (const Failure& failure) {
      EXPECT_THAT(failure.number(),
                  ::testing::AnyOf(error::kIncompleteBody, error::kTransferFailed));
      EXPECT_THAT(failure.description(), HasSubstr(path));
      EXPECT_EQ(control().ResponseCode(), failure.number());
      EXPECT_EQ(control().ResponseInfo(), failure.description());
    }
    for (std::size_t size : sizes) EXPECT_EQ(size, 1024u) << "no short chunk before the failure";
  }
}

TEST_P(TransferControlContract, ABodyThatDoesNotKeepItsAnnouncedLengthRaisesFromGetChunk) {
  using Framing = ServerReply::Framing;
  ServerReply endless;  // as good as endless: far more than any test would read
  endless.framing = Framing::kChunked;
  endless.generated_length = std::numeric_limits<std::size_t>::max();
  endless.announced_length = 1000;
  server_.Serve("/endless", endless);
  ServerReply longer;
  longer.framing = Framing::kChunked;
  longer.generated_length = 5000;
  longer.announced_length = 2048;
  server_.Serve("/longer", longer);
  ServerReply shorter;  // its chunks end properly, before the announced length
  shorter.framing = Framing::kChunked;
  shorter.generated_length = 3000;
  shorter.announced_length = 5000;
  server_.Serve("/shorter", shorter);

  struct Case {
    std::string path;
    std::size_t delivered;  // what GetChunk hands out before it raises
  };
  for (const Case& c : {Case{"/endless", 0}, Case{"/longer", 2048}, Case{"/shorter", 2048}}) {
    SCOPED_TRACE(c.path);
    Get(server_.Url(c.path));
    std::size_t delivered = 0;
    try {
      // Bounded, so that a control that never notices cannot keep the test reading forever.
      while (delivered < (64u << 20)) {
        const std::size_t size = control().GetChunk(1024).size();
        if (size == 0) break;
        delivered += size;
      }
      ADD_FAILURE() << "the body was read without a failure";
    } catch (const Failure& failure) {
      EXPECT_EQ(failure.number(), error::kIncompleteBody);
      EXPECT_THAT(failure.description(), HasSubstr(c.path));
    }
    EXPECT_EQ(delivered, c.delivered);
  }
  EXPECT_LT(server_.body_bytes_sent(), 32u << 20) << "the endless body was not cut off";
}

TEST_P(TransferControlContract, SilenceForTheStallTimeRaisesRequestTimedOut) {
  UseTimeouts({.connect = 60s, .stall = 1s});
  ServerReply mid_body;
  mid_body.generated_length = 5000;
  mid_body.stall_after = 1500;
  server_.Serve("/mid-body", mid_body);
  ServerReply no_head;
  no_head.stall_before_head = true;
  server_.Serve("/no-head", no_head);

  Get(server_.Url("/mid-body"));
  EXPECT_EQ(control().GetChunk(1024).size(), 1024u);
  const std::optional<Failure> failure = ReadUntilFailure();
  ASSERT_TRUE(failure);
  EXPECT_EQ(failure->number(), error::kRequestTimedOut);
  EXPECT_THAT(failure->description(), StartsWith("Request timed out"));

  Get(server_.Url("/no-head"));
  {
    const Failure failure = FailureOf([&] { control().GetHeader("Content-Length"); });
    EXPECT_EQ(failure.number(), error::kRequestTimedOut);
    EXPECT_THAT(failure.description(), StartsWith("Request timed out"));
  }
  EXPECT_THAT(error_codes_, ElementsAre(error::kRequestTimedOut, error::kRequestTimedOut));
}

TEST_P(TransferControlContract, AConnectionThatCannotBeMadeRaisesFromGetHeader) {
  UseTimeouts({.connect = 1s, .stall = 60s});
  const int refused_port = ClosedPort();
  Get("http://127.0.0.1:" + std::to_string(refused_port) + "/x");
  {
    const Failure failure = FailureOf([&] { control().GetHeader("Content-length"); });
    EXPECT_EQ(failure.number(), error::kCannotConnect);
    EXPECT_EQ(failure.number(), 35754);
    EXPECT_THAT(failure.description(), HasSubstr(std::to_string(refused_port)));
  }
  EXPECT_EQ(control().ResponseCode(), error::kCannotConnect);
  EXPECT_THAT(control().ResponseInfo(), HasSubstr("Cannot connect"));
  EXPECT_THROW(control().GetChunk(1024), Failure) << "the failure stays until the next request";
  host_.PumpEvents();
  EXPECT_THAT(error_codes_, ElementsAre(error::kCannotConnect));

  FullListener full;
  Get("http://127.0.0.1:" + std::to_string(full.port()) + "/x");
  {
    const Failure failure = FailureOf([&] { control().GetHeader("Content-length"); });
    EXPECT_EQ(failure.number(), error::kRequestTimedOut);
    EXPECT_THAT(failure.description(), StartsWith("Request timed out"));
  }
}

TEST_P(TransferControlContract, ASlowNameLookupNeitherOutlastsTheConnectTimeoutNorHoldsUpTheEnd) {
  const ControlMaker& maker = GetParam();
  if (maker.slow_lookup_host.empty()) GTEST_SKIP() << "no way to slow a name lookup down";
  using Clock = std::chrono::steady_clock;
  const auto kSlowLookup = maker.slow_lookup;
  UseTimeouts({.connect = 2s, .stall = 60s});
  const std::string url = "http://" + maker.slow_lookup_host + "/x";
  {
    const auto start = Clock::now();
    Get(url);
    const Failure failure = FailureOf([&] { control().GetHeader("Content-Length"); });
    EXPECT_EQ(failure.number(), error::kRequestTimedOut);
    EXPECT_LT(Clock::now() - start, kSlowLookup / 2) << "the timeout waited for the lookup";
  }

  // The operator closes the window while a lookup is under way.
  control().SetURL(url);
  control().Execute("GET");
  const auto until = Clock::now() + 200ms;
  while (Clock::now() < until) host_.WaitForEvents(50ms);
  ASSERT_TRUE(control().StillExecuting());
  const auto start = Clock::now();
  control().Cancel();
  control_.reset();
  EXPECT_LT(Clock::now() - start, 1s) << "the end waited for the lookup";
}

TEST_P(TransferControlContract, TheEndDuringALargeBodyDoesNotWaitForTheRest) {
  ServerReply large;  // far more than the control and the kernel hold
  large.generated_length = std::size_t{256} << 20;
  server_.Serve("/large", large);
  Get(server_.Url("/large"));
  ASSERT_EQ(control().GetChunk(1024).size(), 1024u);
  // Lets the control's buffer and the sockets' fill, so that the rest keeps coming at once.
  const auto until = std::chrono::steady_clock::now() + 200ms;
  while (std::chrono::steady_clock::now() < until) host_.WaitForEvents(50ms);

  // The operator closes the window in the middle of the download.
  const auto start = std::chrono::steady_clock::now();
  control().Cancel();
  control_.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s) << "the end waited for the body";
}

TEST_P(TransferControlContract, ExecuteRefusesWhileARequestStillExecutes) {
  ServerReply no_head;
  no_head.stall_before_head = true;
  server_.Serve("/slow", no_head);
  control().SetURL(server_.Url("/slow"));
  control().Execute("GET");
  ASSERT_TRUE(control().StillExecuting());
  {
    const Failure failure = FailureOf([&] { control().Execute("GET"); });
    EXPECT_EQ(failure.number(), error::kStillExecuting);
  }
  EXPECT_THROW(control().Execute("POST"), Failure);
  control().Cancel();
  EXPECT_FALSE(control().StillExecuting());
}

// --- What goes on the wire ---

TEST_P(TransferControlContract, HeaderLinesWithInvalidNamesAreNotSent) {
  server_.Serve("/f", ServerReply::Text("x"));
  Get(server_.Url("/f"),
      "FSize in Bytes: 0\r\nX-Kw-Token: abc\r\nBad\tName: 1\r\n: no name\r\nNoColon\r\n"
      "X-Empty:\r\nÜmlaut: 1\r\n");
  EXPECT_EQ(ReadBody(), "x");
  const auto requests = server_.requests();
  ASSERT_EQ(requests.size(), 1u);
  const auto& lines = requests[0].header_lines;
  EXPECT_EQ(requests[0].Header("X-Kw-Token"), "abc");
  EXPECT_EQ(requests[0].Header("X-Empty"), "");
  for (const std::string& line : lines) {
    const std::string name = line.substr(0, line.find(':'));
    EXPECT_FALSE(name.empty()) << line;
    EXPECT_EQ(name.find_first_of(" \t\x80\xC3"), std::string::npos) << "sent: " << line;
  }
  EXPECT_THAT(lines, ::testing::Not(::testing::Contains(HasSubstr("FSize"))));
  EXPECT_THAT(lines, ::testing::Not(::testing::Contains(HasSubstr("NoColon"))));
}

TEST_P(TransferControlContract, CredentialsAreSentOnlyInAnswerToAChallenge) {
  ServerReply protected_file = ServerReply::Text("secret body");
  protected_file.basic_auth = {{"tav", "pa55"}};
  server_.Serve("/protected", protected_file);
  server_.Serve("/open", ServerReply::Text("open body"));

  // Without credentials, the challenge is the answer.
  Get(server_.Url("/protected"));
  EXPECT_EQ(control().ResponseCode(), 401);
  EXPECT_EQ(control().ResponseInfo(), "Unauthorized");
  EXPECT_EQ(ReadBody(), "log in\n");

  control().SetUserName("tav");
  control().SetPassword("pa55");
  Get(server_.Url("/open"));
  EXPECT_EQ(ReadBody(), "open body");
  Get(server_.Url("/protected"));
  EXPECT_EQ(control().ResponseCode(), 200);
  EXPECT_EQ(ReadBody(), "secret body");
  Get(server_.Url("/open"));
  EXPECT_EQ(ReadBody(), "open body");

  const auto requests = server_.requests();
  ASSERT_EQ(requests.size(), 5u);
  EXPECT_FALSE(requests[0].Header("Authorization"));
  EXPECT_FALSE(requests[1].Header("Authorization")) << "sent to a server that did not ask";
  EXPECT_FALSE(requests[2].Header("Authorization")) << "sent before the challenge";
  EXPECT_EQ(requests[3].Header("Authorization"), "Basic dGF2OnBhNTU=");
  EXPECT_EQ(requests[3].path, "/protected");
  EXPECT_FALSE(requests[4].Header("Authorization")) << "sent unasked after an earlier challenge";
}

TEST_P(TransferControlContract, FileNamesArriveUnderTheirOwnNames) {
  struct Case {
    std::string path;
    std::string target;
  };
  const std::vector<Case> cases = {
      {"/tavkorea/data/지역01.Tx$", "/tavkorea/data/%EC%A7%80%EC%97%AD01.Tx$"},
      {"/tavkorea/세금계산서(Tav).dll",
       "/tavkorea/%EC%84%B8%EA%B8%88%EA%B3%84%EC%82%B0%EC%84%9C(Tav).dll"},
      {"/with blank & 100%.txt", "/with%20blank%20&%20100%25.txt"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    server_.Serve(c.path, ServerReply::Text("content of " + c.path));
    Get(server_.Url(c.path));
    EXPECT_EQ(control().URL(), server_.Url(c.path)) << "URL() is the caller's text";
    EXPECT_EQ(control().ResponseCode(), 200);
    EXPECT_EQ(ReadBody(), "content of " + c.path);
    EXPECT_EQ(server_.requests().back().target, c.target);
  }
}

TEST_P(TransferControlContract, RedirectsAreFollowedAndTheFinalHeadersCount) {
  ServerReply first = ServerReply::Redirect("/second");
  first.header_lines = {"Location: /second", "X-Hop: first", "X-Only-First: yes"};
  server_.Serve("/first", first);
  ServerReply second = ServerReply::Redirect(server_.Url("/final"), 301);
  second.header_lines.push_back("X-Hop: second");
  server_.Serve("/second", second);
  ServerReply final_response = ServerReply::Text("arrived");
  final_response.header_lines = {"X-Hop: final"};
  server_.Serve("/final", final_response);
  for (int i = 0; i < 6; ++i) {
    server_.Serve("/loop" + std::to_string(i),
                  ServerReply::Redirect("/loop" + std::to_string(i + 1)));
  }
  server_.Serve("/loop6", ServerReply::Text("too far"));

  Get(server_.Url("/first"));
  EXPECT_EQ(control().ResponseCode(), 200);
  EXPECT_EQ(control().GetHeader("x-hop"), "final");
  EXPECT_EQ(control().GetHeader("X-Only-First"), "");
  EXPECT_EQ(ReadBody(), "arrived");

  Get(server_.Url("/loop1"));  // five redirects: the most that are followed
  EXPECT_EQ(ReadBody(), "too far");
  Get(server_.Url("/loop0"));
  EXPECT_THROW(control().GetHeader("Content-Length"), Failure);
}

TEST_P(TransferControlContract, ARedirectWhoseBodyNeverEndsIsFollowedWithoutReadingItAll) {
  ServerReply endless = ServerReply::Redirect("/final");
  endless.framing = ServerReply::Framing::kCloseDelimited;
  endless.generated_length = kEndlessLength;
  server_.Serve("/endless", endless);
  server_.Serve("/final", ServerReply::Text("arrived"));

  Get(server_.Url("/endless"));
  EXPECT_EQ(control().ResponseCode(), 200);
  EXPECT_EQ(ReadBody(), "arrived");
}

// A server may send the body of a redirect or of a challenge for ever, fast or slowly: such a
// body is dropped past a small limit, and read within the stall timeout.
TEST_P(TransferControlContract, EndlessBodiesOfRedirectsAndChallengesAreNotReadToTheirEnd) {
  using Framing = ServerReply::Framing;
  server_.Serve("/final", ServerReply::Text("arrived"));
  struct Case {
    const char* path;
    bool challenge;
    Framing framing;
  };
  const Case cases[] = {
      {"/moved-chunked", false, Framing::kChunked},
      {"/moved-long", false, Framing::kContentLength},
      {"/log-in-chunked", true, Framing::kChunked},
      {"/log-in-long", true, Framing::kContentLength},
      {"/log-in-unframed", true, Framing::kCloseDelimited},
  };
  control().SetUserName("tav");
  control().SetPassword("pa55");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    ServerReply reply =
        c.challenge ? ServerReply::Text("arrived") : ServerReply::Redirect("/final");
    reply.framing = c.framing;
    if (c.challenge) {
      reply.basic_auth = {{"tav", "pa55"}};
      reply.challenge_length = kEndlessLength;
    } else {
      reply.generated_length = kEndlessLength;
      reply.body.clear();
    }
    server_.Serve(c.path, reply);
    Get(server_.Url(c.path));
    EXPECT_EQ(control().ResponseCode(), 200);
    EXPECT_EQ(ReadBody(), "arrived");
  }

  UseTimeouts({.connect = 60s, .stall = 1s});
  ServerReply slow = ServerReply::Redirect("/final");
  slow.body.clear();
  slow.generated_length = kEndlessLength;
  slow.send_every = 50ms;  // the limit would take seconds, the stall timeout ends it first
  server_.Serve("/moved-slowly", slow);
  Get(server_.Url("/moved-slowly"));
  const Failure failure = FailureOf([&] { control().GetHeader("Content-Length"); });
  EXPECT_EQ(failure.number(), error::kRequestTimedOut);
}

// The addresses of redirects are resolved by the control, and some stacks cut long ones short.
TEST_P(TransferControlContract, ARedirectAddressIsSentWholeOrFailsAsUnusable) {
  const std::string path = "/long/" + std::string(8000, 'a') + ".exe";
  server_.Serve(path, ServerReply::Text("arrived"));
  server_.Serve("/moved", ServerReply::Redirect(path));
  Get(server_.Url("/moved"));
  try {
    control().GetHeader("Content-Length");
    EXPECT_EQ(control().ResponseCode(), 200);
    EXPECT_EQ(ReadBody(), "arrived");
  } catch (const Failure& failure) {
    EXPECT_THAT(failure.description(), HasSubstr("unusable address"));
  }
  for (const ReceivedRequest& request : server_.requests()) {
    EXPECT_TRUE(request.target == "/moved" || request.target == path)
        << "sent shortened: " << request.target.size() << " characters";
  }
}

TEST_P(TransferControlContract, OneConnectionServesARunUntilQuit) {
  ServerReply chunked;  // its end arrives after its last byte
  chunked.generated_length = 4096;
  chunked.framing = ServerReply::Framing::kChunked;
  server_.Serve("/chunked", chunked);
  // Far more than the control holds, so that it is abandoned half-read, and no more than that:
  // WinINet (as Wine implements it) reads the rest of an abandoned body before it closes the
  // connection, and the wait after Quit below waits for that close.
  ServerReply large;
  large.generated_length = 8u << 20;
  server_.Serve("/large", large);
  server_.Serve("/small", ServerReply::Text("small"));

  for (int i = 0; i < 3; ++i) {
    Get(server_.Url("/chunked"));
    EXPECT_TRUE(ReadBody() == Pattern(4096));
    Get(server_.Url("/small"));
    std::vector<std::size_t> sizes;
    EXPECT_EQ(ReadBody(&sizes), "small");
  }
  EXPECT_EQ(server_.connections_accepted(), 1);

  // A body abandoned half-read costs its connection, and the next request still works.
  Get(server_.Url("/large"));
  EXPECT_EQ(control().GetChunk(1024).size(), 1024u);
  const auto until = std::chrono::steady_clock::now() + 200ms;
  while (std::chrono::steady_clock::now() < until) host_.WaitForEvents(50ms);
  Get(server_.Url("/small"));
  EXPECT_EQ(ReadBody(), "small");
  EXPECT_EQ(server_.connections_accepted(), 2);

  control().Execute("Quit");
  control().Cancel();
  EXPECT_TRUE(server_.WaitForClientCloses(2, kPatience));
  Get(server_.Url("/small"));
  EXPECT_EQ(ReadBody(), "small");
  EXPECT_EQ(server_.connections_accepted(), 3);
}

// --- Notifications ---

TEST_P(TransferControlContract, StatesFollowTheRequestsPhasesOnThePumpingThread) {
  server_.Serve("/a", ServerReply::Text("a"));
  server_.Serve("/moved", ServerReply::Redirect("/a"));

  control().SetURL(server_.Url("/a"));
  control().Execute("GET", "FSize in Bytes: 0\r\n");
  // Without a pump, nothing is delivered; once StillExecuting turns false, the phases up to
  // the head are already queued.
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (control().StillExecuting() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(1ms);
  }
  ASSERT_FALSE(control().StillExecuting());
  EXPECT_TRUE(states_.empty());
  host_.PumpEvents();
  ASSERT_GE(states_.size(), 8u);
  EXPECT_THAT(std::vector<std::int16_t>(states_.begin(), states_.begin() + 8),
              ElementsAre(kResolvingHost, kHostResolved, kConnecting, kConnected, kRequesting,
                          kRequestSent, kReceivingResponse, kResponseReceived));
  EXPECT_EQ(ReadBody(), "a");
  host_.PumpEvents();
  EXPECT_THAT(states_,
              ElementsAre(kResolvingHost, kHostResolved, kConnecting, kConnected, kRequesting,
                          kRequestSent, kReceivingResponse, kResponseReceived, kResponseCompleted));

  // The kept connection starts at the request; a redirect repeats the round.
  states_.clear();
  Get(server_.Url("/moved"));
  EXPECT_EQ(ReadBody(), "a");
  host_.PumpEvents();
  EXPECT_THAT(states_, ElementsAre(kRequesting, kRequestSent, kReceivingResponse, kResponseReceived,
                                   kRequesting, kRequestSent, kReceivingResponse, kResponseReceived,
                                   kResponseCompleted));
  for (const std::thread::id& id : threads_) EXPECT_EQ(id, std::this_thread::get_id());
}

TEST_P(TransferControlContract, AFailureIsReportedAsErrorWithItsNumber) {
  Get("http://127.0.0.1:" + std::to_string(ClosedPort()) + "/x");
  host_.PumpEvents();
  EXPECT_THAT(states_, ElementsAre(kResolvingHost, kHostResolved, kConnecting, kError));
  EXPECT_THAT(error_codes_, ElementsAre(error::kCannotConnect));
}

TEST_P(TransferControlContract, CancelDiscardsNotificationsNotYetDelivered) {
  server_.Serve("/a", ServerReply::Text("a"));
  const auto wait_unpumped = [&] {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (control().StillExecuting() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(1ms);
    }
  };

  control().SetURL(server_.Url("/a"));
  control().Execute("GET");
  wait_unpumped();
  control().Cancel();
  host_.PumpEvents();
  EXPECT_TRUE(states_.empty());
  EXPECT_THROW(control().GetChunk(1024), Failure) << "a cancelled request has no body to read";

  // A failed request's error, written by the caller after the wait, is not overwritten.
  control().SetURL("http://127.0.0.1:" + std::to_string(ClosedPort()) + "/x");
  control().Execute("GET");
  wait_unpumped();
  EXPECT_THROW(control().GetHeader("Content-Length"), Failure);
  control().Cancel();
  host_.PumpEvents();
  EXPECT_TRUE(states_.empty());

  control().Cancel();  // with nothing running
  Get(server_.Url("/a"));
  EXPECT_EQ(ReadBody(), "a");
}

// A run whose file failed on a fast, endless body leaves that request abandoned; the next run
// closes down with Quit, which must not wait for that body.
TEST_P(TransferControlContract, QuitDoesNotWaitForABodyAbandonedEarlier) {
  ServerReply endless;
  endless.framing = ServerReply::Framing::kChunked;
  endless.generated_length = kEndlessLength;
  server_.Serve("/endless", endless);
  server_.Serve("/a", ServerReply::Text("a"));
  Get(server_.Url("/endless"));
  ASSERT_EQ(control().GetChunk(1024).size(), 1024u);
  control().Cancel();
  Get(server_.Url("/a"));
  EXPECT_EQ(ReadBody(), "a");
  host_.PumpEvents();
  states_.clear();

  const auto start = std::chrono::steady_clock::now();
  control().Execute("Quit");
  const auto quit = std::chrono::steady_clock::now() - start;
  control().Cancel();
  EXPECT_LT(quit, 1s) << "Quit waited for the abandoned body";
  host_.PumpEvents();
  EXPECT_THAT(states_, ElementsAre(kDisconnecting, kDisconnected));
  Get(server_.Url("/a"));
  EXPECT_EQ(ReadBody(), "a");
}

// A run that fails on a body a server sends fast and for long (a file without a Content-Length)
// abandons it; the next request to that server is answered at once, whatever the framing and
// wherever the stack's reading of the old body was. Each round reads a little more of the body
// before it lets go, so that the abandon finds the reading at different points.
TEST_P(TransferControlContract, ABodyAbandonedHoldsUpNoLaterRequest) {
  using Framing = ServerReply::Framing;
  server_.Serve("/a", ServerReply::Text("a"));
  for (const Framing framing :
       {Framing::kCloseDelimited, Framing::kChunked, Framing::kContentLength}) {
    ServerReply endless;
    endless.framing = framing;
    endless.generated_length = kEndlessLength;
    endless.send_for = 3s;  // well past the second within which the next request is answered
    server_.Serve("/endless", endless);
    for (int round = 0; round < 10; ++round) {
      SCOPED_TRACE("framing " + std::to_string(static_cast<int>(framing)) + ", round " +
                   std::to_string(round));
      Get(server_.Url("/endless"));
      for (int read = 0; read < round * 64; ++read) {
        ASSERT_EQ(control().GetChunk(1024).size(), 1024u);
      }
      control().Cancel();

      const std::size_t asked = server_.requests().size();
      const auto start = std::chrono::steady_clock::now();
      Get(server_.Url("/a"));
      ASSERT_EQ(ReadBody(), "a");
      const std::vector<ReceivedRequest> requests = server_.requests();
      ASSERT_EQ(requests.size(), asked + 1);
      ASSERT_LT(requests.back().first_byte - start, 1s) << "the request waited for the old body";
    }
  }
}

TEST_P(TransferControlContract, QuitReportsTheDisconnectEvenWhenCancelledRightAfter) {
  server_.Serve("/a", ServerReply::Text("a"));
  Get(server_.Url("/a"));
  EXPECT_EQ(ReadBody(), "a");
  host_.PumpEvents();
  states_.clear();

  control().Execute("Quit");
  control().Cancel();
  host_.PumpEvents();
  EXPECT_THAT(states_, ElementsAre(kDisconnecting, kDisconnected));
  EXPECT_TRUE(server_.WaitForClientCloses(1, kPatience));
}

TEST_P(TransferControlContract, CancelDuringAWaitForBytesEndsTheWaitWithAFailure) {
  ServerReply stalled;
  stalled.generated_length = 5000;
  stalled.stall_after = 1500;  // and the stall lasts until the server stops
  server_.Serve("/stalled", stalled);
  Get(server_.Url("/stalled"));
  ASSERT_EQ(control().GetChunk(1024).size(), 1024u);

  // The operator closes the window during a pump inside GetChunk.
  host_.on_pump = [&] { control().Cancel(); };
  {
    const Failure failure = FailureOf([&] { control().GetChunk(1024); });
    // Not the stall timeout's failure (a minute away): the cancellation's own.
    EXPECT_EQ(failure.number(), error::kTransferFailed);
    EXPECT_THAT(failure.description(), HasSubstr("cancelled"));
  }
  host_.on_pump = [this] { Watchdog(); };

  server_.Serve("/next", ServerReply::Text("next"));
  Get(server_.Url("/next"));
  EXPECT_EQ(ReadBody(), "next");
}

// --- A signed download resumed: DownloadFile over the control, against the server's answers ---

TEST_P(TransferControlContract, ABrokenSignedDownloadResumesOnlyWhatTheServerConfirms) {
  const std::string content = Pattern(100 * 1024);
  const std::size_t half = content.size() / 2;
  const std::string folder = "C:\\TavBackup";
  const std::string staged = folder + "\\KW.exe";
  const ReleaseManifest manifest = ReleaseManifest::Parse(
      ManifestText{.release = "/r", .files = ManifestLine("/jdatas3/KW.exe", content)}.Text());
  FakeCrypto crypto;
  testing::SkippingClock clock;
  using Label = DownloadProgress::Label;
  testing::RecordingProgress progress(host_);
  const ManifestCheck check{manifest, crypto};
  const auto reply = [&](std::string etag, bool serves_ranges) {
    ServerReply reply = ServerReply::Text(content);
    reply.header_lines = {"ETag: " + etag};
    reply.serves_ranges = serves_ranges;
    return reply;
  };

  struct Row {
    const char* name;
    std::function<void(MemoryFileSystem&)> change_part;  // between the tries
    ServerReply second;                                  // the server's answer then
    bool asks_for_the_rest;
    std::size_t bytes_sent;  // by the server for the second try
    bool whole;              // the second try gives the file
  };
  const auto flip_a_byte = [&](MemoryFileSystem& drive) {
    std::string part = drive.Read(staged + ".part");
    part[10] = static_cast<char>(part[10] ^ 1);
    drive.Write(staged + ".part", part);
  };
  const auto lengthen = [&](MemoryFileSystem& drive) {
    drive.Write(staged + ".part", content + "and more");
  };
  const Row rows[] = {
      {"206 for the same validator", nullptr, reply("\"v1\"", true), true, content.size() - half,
       true},
      {"200 from a server without ranges", nullptr, reply("\"v1\"", false), true, content.size(),
       true},
      {"another validator", nullptr, reply("\"v2\"", true), true, content.size(), true},
      {"a partial file longer than the file", lengthen, reply("\"v1\"", true), false,
       content.size(), true},
      {"a hash failure after a resume", flip_a_byte, reply("\"v1\"", true), true,
       content.size() - half, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    MemoryFileSystem drive;
    drive.MakeFolder(folder);
    const DownloadSeams seams{control(), drive, clock, progress};
    const auto download = [&] {
      return DownloadFile(seams, {"FSize in Bytes: 0\r\n", 1024}, &check, server_.Url("/r/jdatas3"),
                          folder, "KW.exe");
    };
    // Broken off at half, after a pause in which the head has surely been read.
    ServerReply broken = reply("\"v1\"", true);
    broken.stall_after = half;
    broken.stall_for = 300ms;
    broken.cut_after = half;
    server_.Serve("/r/jdatas3/KW.exe", broken);
    ASSERT_EQ(download(), kDownloadFailed);
    ASSERT_EQ(drive.Read(staged + ".part"), content.substr(0, half));
    ASSERT_TRUE(drive.Has(staged + ".resume"));
    if (row.change_part) row.change_part(drive);

    server_.Serve("/r/jdatas3/KW.exe", row.second);
    const std::size_t sent_before = server_.body_bytes_sent();
    const DownloadResult result = download();
    const ReceivedRequest asked = server_.requests().back();
    EXPECT_EQ(asked.Header("Range").has_value(), row.asks_for_the_rest);
    if (row.asks_for_the_rest) {
      EXPECT_EQ(asked.Header("Range"), "bytes=" + std::to_string(half) + "-");
      EXPECT_EQ(asked.Header("If-Range"), "\"v1\"");
    }
    // The server counts what it sent after the client may have read it all.
    const auto sent = [&] { return server_.body_bytes_sent() - sent_before; };
    for (const auto until = std::chrono::steady_clock::now() + kPatience;
         sent() < row.bytes_sent && std::chrono::steady_clock::now() < until;) {
      std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(sent(), row.bytes_sent);
    if (row.whole) {
      EXPECT_EQ(result, kDownloadComplete) << progress.Last(Label::kTransferState);
      EXPECT_TRUE(drive.Read(staged) == content);
      EXPECT_EQ(progress.done.resumed_at, row.bytes_sent < content.size() ? half : 0u);
    } else {
      EXPECT_EQ(result, kDownloadFailed);
      EXPECT_THAT(progress.Last(Label::kTransferState), HasSubstr("its SHA-256 differs"));
      EXPECT_FALSE(drive.Has(staged));
    }
    // Nothing is left to resume: the file is whole, or its bytes failed the check.
    EXPECT_FALSE(drive.Has(staged + ".part"));
    EXPECT_FALSE(drive.Has(staged + ".resume"));
  }
}

// --- Against a real nginx (the ctest fixture "nginx" starts it) ---

TEST_P(TransferControlNginxContract, ServesFilesUnderKoreanAndPunctuatedNames) {
  const std::string folder = "/" + folder_;
  const std::vector<std::pair<std::string, std::string>> files = {
      {folder + "/tavkorea/data/지역01.Tx$", Pattern(2500)},
      {folder + "/tavkorea/세금계산서(Tav).dll", Pattern(1025)},
      {folder + "/tavkorea/big.bin", Pattern((3u << 20) + 123)},
  };
  for (const auto& [path, content] : files) WriteFile(path, content);

  for (const auto& [path, content] : files) {
    SCOPED_TRACE(path);
    Get(Url(path));  // with the window's "FSize in Bytes" line, which nginx would refuse
    EXPECT_EQ(control().ResponseCode(), 200);
    EXPECT_EQ(control().GetHeader("Content-length"), std::to_string(content.size()));
    EXPECT_TRUE(ReadBody() == content);
  }
  Get(Url(folder + "/tavkorea/none.dll"));
  EXPECT_EQ(control().ResponseCode(), 404);
  EXPECT_EQ(control().ResponseInfo(), "Not Found");

  host_.PumpEvents();
  states_.clear();
  control().Execute("Quit");
  control().Cancel();
  host_.PumpEvents();
  EXPECT_THAT(states_, ElementsAre(kDisconnecting, kDisconnected));
}

}  // namespace
}  // namespace kw::testing

namespace kw::testing {
namespace {

using ::testing::HasSubstr;

// --- https ---

TEST_P(TransferControlNginxTlsContract, ACertificateOfATrustedAuthorityServesTheFile) {
  const std::string path = "/" + folder_ + "/jdatas3/KW.exe";
  WriteFile(path, Pattern(3000));
  Get(TlsUrl(tls_port_, path));
  EXPECT_EQ(control().ResponseCode(), 200);
  EXPECT_TRUE(ReadBody() == Pattern(3000));
}

TEST_P(TransferControlNginxTlsContract, ARefusedCertificateFailsTheRequestNamingHostAndReason) {
  const std::string path = "/" + folder_ + "/KW.exe";
  WriteFile(path, "a program");
  struct Case {
    int port;
    std::string reason;
  };
  for (const Case& c : {Case{other_name_port_, "name does not match"},
                        Case{self_signed_port_, "certificate not trusted"}}) {
    SCOPED_TRACE(c.reason);
    Get(TlsUrl(c.port, path));
    const Failure failure = FailureOf([&] { control().GetHeader("Content-Length"); });
    EXPECT_EQ(failure.number(), error::kCertificateRefused);
    EXPECT_THAT(failure.description(), HasSubstr("127.0.0.1:" + std::to_string(c.port)));
    EXPECT_THAT(failure.description(), HasSubstr(c.reason));
    control().Cancel();
  }
}

TEST_P(TransferControlNginxTlsContract, ARedirectFromHttpsToPlainHttpIsRefused) {
  WriteFile("/to-http", "served without TLS");
  Get(TlsUrl(tls_port_, "/to-http"));
  const Failure failure = FailureOf([&] { control().GetHeader("Content-Length"); });
  EXPECT_EQ(failure.number(), error::kTransferFailed);
  EXPECT_THAT(failure.description(), HasSubstr("from https to plain http"));
}

}  // namespace
}  // namespace kw::testing
