#pragma once

#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <functional>
#include <string>
#include <system_error>

namespace kw::testing {

// Makes one system call fail with `err` in this process and every process it starts from now
// on, as on a kernel or in a sandbox without it. There is no way back: call it in a child
// process made for the purpose. Returns an empty text, or why the call cannot be blocked.
inline std::string BlockSystemCall(long number, int err) {
#if defined(__x86_64__)
  constexpr unsigned kArchitecture = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
  constexpr unsigned kArchitecture = AUDIT_ARCH_AARCH64;
#else
  return "no seccomp filter for this architecture";
#endif
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kArchitecture, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned>(number), 0, 1),
      BPF_STMT(BPF_RET | BPF_K,
               SECCOMP_RET_ERRNO | (static_cast<unsigned>(err) & SECCOMP_RET_DATA)),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
      prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
    return "cannot install a seccomp filter: " + std::generic_category().message(errno);
  }
  return "";
}

// Runs `check` in a child process made for it, for checks that change their process for good
// (BlockSystemCall(), fork handlers), and returns the text it returned, once the child has
// ended. The child ends right after `check`, without running destructors or exit handlers.
inline std::string TextFromAChild(const std::function<std::string()>& check) {
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) return "cannot make a pipe: " + std::to_string(errno);
  const pid_t child = fork();
  if (child == 0) {
    const std::string text = check();
    [[maybe_unused]] const ssize_t ignored = write(report[1], text.data(), text.size());
    _exit(0);
  }
  close(report[1]);
  std::string text;
  char chunk[512];
  ssize_t got;
  while ((got = read(report[0], chunk, sizeof chunk)) > 0) {
    text.append(chunk, static_cast<std::size_t>(got));
  }
  close(report[0]);
  waitpid(child, nullptr, 0);
  return text;
}

}  // namespace kw::testing
