#include "transfer/curl/curl_backend.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <netdb.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "transfer/http_transfer_control.h"
#include "transfer/transfer_control_contract.h"

// Name lookups of one host take long: the test binary's getaddrinfo comes before the C
// library's, sleeps for that name and passes every other lookup on. (".test" is reserved; no
// resolver would ever answer for it.)
constexpr char kSlowLookupHost[] = "slow-lookup.test";
constexpr std::chrono::seconds kSlowLookup{8};

extern "C" int getaddrinfo(const char* node, const char* service, const addrinfo* hints,
                           addrinfo** result) {
  using Function = int (*)(const char*, const char*, const addrinfo*, addrinfo**);
  static const auto next = reinterpret_cast<Function>(::dlsym(RTLD_NEXT, "getaddrinfo"));
  if (node != nullptr && std::strcmp(node, kSlowLookupHost) == 0) {
    std::this_thread::sleep_for(kSlowLookup);
    return EAI_NONAME;
  }
  return next(node, service, hints, result);
}

namespace kw::testing {
namespace {

ControlMaker CurlControls() {
  return {.name = "Curl",
          .make =
              [](EventLoop& loop, HttpTransferControl::Timeouts timeouts) {
                return std::make_unique<HttpTransferControl>(loop, std::make_unique<CurlBackend>(),
                                                             timeouts);
              },
          .slow_lookup_host = kSlowLookupHost,
          .slow_lookup = kSlowLookup,
          .make_trusting =
              [](EventLoop& loop, const std::filesystem::path& authority_pem,
                 const std::filesystem::path&) {
                return std::make_unique<HttpTransferControl>(
                    loop, std::make_unique<CurlBackend>(authority_pem.string()));
              }};
}

KW_INSTANTIATE_TRANSFER_CONTROL_CONTRACT(Curl, CurlControls());

// What only the libcurl control does.
class CurlBackendTest : public TransferControlContract {};
INSTANTIATE_TEST_SUITE_P(Curl, CurlBackendTest, ::testing::Values(CurlControls()), ControlsName);

TEST_P(CurlBackendTest, ProxiesComeFromTheEnvironment) {
  struct ScopedEnv {
    std::string name;
    std::optional<std::string> saved;
    ScopedEnv(std::string n, const char* value) : name(std::move(n)) {
      if (const char* old = std::getenv(name.c_str())) saved = old;
      value ? ::setenv(name.c_str(), value, 1) : ::unsetenv(name.c_str());
    }
    ~ScopedEnv() { saved ? ::setenv(name.c_str(), saved->c_str(), 1) : ::unsetenv(name.c_str()); }
  };
  const ScopedEnv proxy("http_proxy", server_.Url("").c_str());
  const ScopedEnv no_proxy("no_proxy", nullptr);
  const ScopedEnv upper_no_proxy("NO_PROXY", nullptr);
  server_.Serve("/file", ServerReply::Text("through the proxy"));

  Get("http://updates.invalid/file");
  EXPECT_EQ(ReadBody(), "through the proxy");
  ASSERT_EQ(server_.requests().size(), 1u);
  EXPECT_EQ(server_.requests()[0].target, "http://updates.invalid/file");
}

}  // namespace
}  // namespace kw::testing
