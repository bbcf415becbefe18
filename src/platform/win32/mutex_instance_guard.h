#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/instance_guard.h"
#include "platform/win32/win32_handles.h"

namespace kw {

// One updater per Windows session: a named mutex in the session's namespace ("Local\"). The
// first call of AnotherInstanceRunning() creates the mutex, or finds that it exists because
// another updater of this session holds it (also when that one runs with rights that keep us
// from opening it); later calls give the same answer. A guard that created the mutex holds it
// until it is destroyed, or its process ends, so a crashed updater never keeps the next one
// out. A guard that found it taken lets go at once.
//
// AnotherInstanceRunning() fails (kInternal) when the mutex can be neither created nor found,
// with a description that names it and gives the system's reason.
class MutexInstanceGuard final : public InstanceGuard {
 public:
  static constexpr std::string_view kDefaultName = "Local\\KW_Update.Instance";

  explicit MutexInstanceGuard(std::string name = std::string(kDefaultName));

  bool AnotherInstanceRunning() override;

 private:
  std::string name_;
  UniqueKernelHandle mutex_;
  std::optional<bool> answer_;
};

}  // namespace kw
