#include "platform/win32/wininet_backend.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>

#include "support/failure_of.h"
#include "support/socket.h"
#include "transfer/http_transfer_control.h"
#include "transfer/transfer_control_contract.h"

namespace kw::testing {
namespace {

using ::testing::HasSubstr;

// Wine looks names up with the host's getaddrinfo. The test's environment may preload one into
// the Wine process (tests/support/slow_lookup_preload.cc) that takes this long for the host named
// by KW_TEST_SLOW_LOOKUP; without it the test of a slow lookup is skipped.
constexpr std::chrono::seconds kSlowLookup{8};

ControlMaker WinInetControls() {
  const char* slow_host = std::getenv("KW_TEST_SLOW_LOOKUP");
  return {.name = "WinInet",
          .make =
              [](EventLoop& loop, HttpTransferControl::Timeouts timeouts) {
                return std::make_unique<HttpTransferControl>(
                    loop, std::make_unique<WinInetBackend>(), timeouts);
              },
          .slow_lookup_host = slow_host != nullptr ? slow_host : "",
          .slow_lookup = kSlowLookup,
          .detects_broken_chunked_bodies = false};
}

KW_INSTANTIATE_TRANSFER_CONTROL_CONTRACT(WinInet, WinInetControls());

// What only the WinINet control does.
class WinInetBackendTest : public TransferControlContract {};
INSTANTIATE_TEST_SUITE_P(WinInet, WinInetBackendTest, ::testing::Values(WinInetControls()),
                         ControlsName);

TEST_P(WinInetBackendTest, FailuresCarryWinInetsOwnText) {
  const int closed_port = Socket::ListenOnLoopback(1).LocalPort();
  const std::string url = "http://127.0.0.1:" + std::to_string(closed_port) + "/x";
  Get(url);
  const Failure failure = FailureOf([&] { control().GetHeader("Content-Length"); });
  EXPECT_EQ(failure.number(), error::kCannotConnect);
  EXPECT_THAT(failure.description(), HasSubstr(url));
  EXPECT_THAT(failure.description(), HasSubstr("(WinINet error 12029)"));
  // WinINet's words for it ("A connection with the server could not be established", as Wine
  // has them "The attempt to connect to the server failed"), not just its number.
  EXPECT_THAT(failure.description(), HasSubstr("server"));
}

}  // namespace
}  // namespace kw::testing
