#include "transfer/wininet/wininet_backend.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <wincrypt.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

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

// WinINet trusts the system's store only. The test authority goes into the machine's Root store
// of the Wine prefix the tests run in, which is a copy of its own for every run
// (cmake/wine-run.sh): the host's store and the prefix template are never touched. Raises
// nothing; a failure shows as the TLS tests' certificate failures.
void TrustInThisPrefix(const std::filesystem::path& authority_der) {
  std::ifstream file(authority_der, std::ios::binary);
  const std::string der((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  HCERTSTORE store =
      ::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
  ASSERT_NE(store, nullptr) << "the prefix's Root store: " << ::GetLastError();
  EXPECT_TRUE(::CertAddEncodedCertificateToStore(
      store, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
      static_cast<DWORD>(der.size()), CERT_STORE_ADD_REPLACE_EXISTING, nullptr))
      << authority_der << ": " << ::GetLastError();
  ::CertCloseStore(store, 0);
}

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
          .detects_broken_chunked_bodies = false,
          .make_trusting =
              [](EventLoop& loop, const std::filesystem::path&,
                 const std::filesystem::path& authority_der) -> std::unique_ptr<TransferControl> {
            TrustInThisPrefix(authority_der);
            return std::make_unique<HttpTransferControl>(loop, std::make_unique<WinInetBackend>());
          }};
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

// Perform answers challenges itself, so it is what keeps credentials from other servers.
TEST_P(WinInetBackendTest, CredentialsNeverFollowARedirectToAnotherServer) {
  HttpTestServer other;
  ServerReply other_file = ServerReply::Text("other secret");
  other_file.basic_auth = {{"tav", "pa55"}};
  other.Serve("/protected", other_file);
  server_.Serve("/moved", ServerReply::Redirect(other.Url("/protected")));
  ServerReply moved_after_log_in = ServerReply::Redirect(other.Url("/protected"));
  moved_after_log_in.basic_auth = {{"tav", "pa55"}};
  server_.Serve("/log-in-then-move", moved_after_log_in);
  control().SetUserName("tav");
  control().SetPassword("pa55");

  Get(server_.Url("/moved"));
  EXPECT_EQ(control().ResponseCode(), 401) << "the other server's challenge is not answered";
  EXPECT_EQ(ReadBody(), "log in\n");
  Get(server_.Url("/log-in-then-move"));
  EXPECT_EQ(control().ResponseCode(), 401);
  EXPECT_EQ(ReadBody(), "log in\n");

  const std::vector<ReceivedRequest> asked = server_.requests();
  ASSERT_EQ(asked.size(), 3u);
  EXPECT_EQ(asked[2].Header("Authorization"), "Basic dGF2OnBhNTU=") << "the asked server's is";
  const std::vector<ReceivedRequest> redirected = other.requests();
  ASSERT_EQ(redirected.size(), 2u);
  for (const ReceivedRequest& request : redirected) {
    EXPECT_FALSE(request.Header("Authorization")) << request.target;
  }
}

}  // namespace
}  // namespace kw::testing
