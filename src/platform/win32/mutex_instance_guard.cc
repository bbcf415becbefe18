#include "platform/win32/mutex_instance_guard.h"

#include <utility>

#include "platform/failure.h"
#include "platform/win32/system_message.h"
#include "platform/win32/wide_text.h"
#include "platform/win32/windows_api.h"

namespace kw {

MutexInstanceGuard::MutexInstanceGuard(std::string name) : name_(std::move(name)) {}

bool MutexInstanceGuard::AnotherInstanceRunning() {
  if (answer_) return *answer_;
  // Nobody waits on the mutex: its existence is the whole message, so it is not owned.
  mutex_.Reset(::CreateMutexW(nullptr, FALSE, Widen(name_).c_str()));
  const DWORD error = ::GetLastError();
  if (!mutex_ && error != ERROR_ACCESS_DENIED) {
    throw Failure(error::kInternal, "Cannot make sure that only one updater runs: the mutex " +
                                        name_ + " cannot be created (" + SystemMessage(error) +
                                        "). Restart Windows and try again");
  }
  answer_ = error == ERROR_ALREADY_EXISTS || error == ERROR_ACCESS_DENIED;
  if (*answer_) mutex_.Reset();
  return *answer_;
}

}  // namespace kw
