// The named-mutex guard, seen from this process and from another one.
#include "platform/win32/mutex_instance_guard.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "platform/win32/system_message.h"
#include "platform/win32/wide_text.h"
#include "platform/win32/win32_handles.h"
#include "test_folder.h"

namespace kw {
namespace {

using ::kw::testing::BesideThisProgram;

// What a guard of `name` in another process answers.
bool AnotherProcessSeesAnInstance(const std::string& name) {
  const std::wstring probe = Widen(BesideThisProgram("kw_test_probe.exe"));
  std::wstring command_line = L"\"" + probe + L"\" guard \"" + Widen(name) + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started{};
  if (!::CreateProcessW(probe.c_str(), command_line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &started)) {
    ADD_FAILURE() << "cannot start the probe: " << SystemMessage(::GetLastError());
    return false;
  }
  const UniqueKernelHandle process(started.hProcess);
  const UniqueKernelHandle thread(started.hThread);
  EXPECT_EQ(::WaitForSingleObject(process.get(), 10'000), WAIT_OBJECT_0);
  DWORD code = 2;
  ::GetExitCodeProcess(process.get(), &code);
  EXPECT_LE(code, 1u) << "the probe failed";
  return code == 1;
}

TEST(MutexInstanceGuardTest, TheFirstGuardOfTheSessionKeepsOthersOutWhileItLives) {
  auto first = std::make_optional<MutexInstanceGuard>();
  EXPECT_FALSE(AnotherProcessSeesAnInstance(std::string(MutexInstanceGuard::kDefaultName)));
  EXPECT_FALSE(first->AnotherInstanceRunning());
  EXPECT_TRUE(AnotherProcessSeesAnInstance(std::string(MutexInstanceGuard::kDefaultName)));

  MutexInstanceGuard second;
  EXPECT_TRUE(second.AnotherInstanceRunning());
  EXPECT_FALSE(first->AnotherInstanceRunning());

  first.reset();
  // The second guard let go when it lost, so nothing holds the program now.
  EXPECT_FALSE(AnotherProcessSeesAnInstance(std::string(MutexInstanceGuard::kDefaultName)));
  EXPECT_TRUE(second.AnotherInstanceRunning()) << "an answer given must stand";
  MutexInstanceGuard third;
  EXPECT_FALSE(third.AnotherInstanceRunning());
}

TEST(MutexInstanceGuardTest, TheDefaultNameIsInTheSessionNamespace) {
  MutexInstanceGuard guard;
  ASSERT_FALSE(guard.AnotherInstanceRunning());
  // The same name in the session's namespace finds the guard's mutex; in the machine's, which
  // other sessions share, it finds none.
  const std::string_view name = MutexInstanceGuard::kDefaultName;
  const std::string bare(name.substr(name.find('\\') + 1));
  const UniqueKernelHandle local(::OpenMutexW(SYNCHRONIZE, FALSE, Widen("Local\\" + bare).c_str()));
  EXPECT_TRUE(local);
  const UniqueKernelHandle global(
      ::OpenMutexW(SYNCHRONIZE, FALSE, Widen("Global\\" + bare).c_str()));
  EXPECT_FALSE(global);
}

TEST(MutexInstanceGuardTest, AGuardThatCannotCreateItsMutexLetsTheProgramRun) {
  // A name with a backslash after the namespace is refused by the system.
  MutexInstanceGuard guard("Local\\No\\Such\\Folder");
  EXPECT_FALSE(guard.AnotherInstanceRunning());
}

}  // namespace
}  // namespace kw
