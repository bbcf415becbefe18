// A getaddrinfo for LD_PRELOAD into a program that looks names up with the C library's (Wine, for
// one, resolves Windows programs' lookups with the host's): a lookup of the host named by
// KW_TEST_SLOW_LOOKUP takes 8 seconds and finds nothing; every other lookup is passed on. Built
// for the host, not for the program under test.
#include <dlfcn.h>
#include <netdb.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

extern "C" int getaddrinfo(const char* node, const char* service, const addrinfo* hints,
                           addrinfo** result) {
  using Function = int (*)(const char*, const char*, const addrinfo*, addrinfo**);
  static const auto next = reinterpret_cast<Function>(::dlsym(RTLD_NEXT, "getaddrinfo"));
  const char* slow = std::getenv("KW_TEST_SLOW_LOOKUP");
  if (node != nullptr && slow != nullptr && std::strcmp(node, slow) == 0) {
    std::this_thread::sleep_for(std::chrono::seconds(8));
    return EAI_NONAME;
  }
  return next(node, service, hints, result);
}
