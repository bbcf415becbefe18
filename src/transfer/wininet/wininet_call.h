#pragma once

#include "platform/win32/windows_api.h"
// After <windows.h>, which it needs.
#include <wininet.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "transfer/http_backend.h"

namespace kw {

// What WinINet reports, in its asynchronous mode, about one request handle: the phases of the
// request's head round, the completion of a call that was pending, and the handle's close. It is
// the handle's context (the dwContext of HttpOpenRequestW) for the status callback OnStatus.
//
// A call is shared by the thread that runs the request and by the handle: WinINet may call back,
// or complete a pending call into the buffers below, after the request's thread has gone (Wine
// cannot abandon a name lookup, which ends later). It goes when both have let go: the thread by
// Release, the handle by its last notification, HANDLE_CLOSING.
class WinInetCall {
 public:
  // The size of Buffers(): as curl's reads, so that the transfer control's ring takes a whole
  // one as soon as it lets a blocked writer go on.
  static constexpr DWORD kReadSize = 256 * 1024;

  // With one reference, the caller's.
  WinInetCall() = default;
  WinInetCall(const WinInetCall&) = delete;
  WinInetCall& operator=(const WinInetCall&) = delete;

  // The handle's reference: taken before the handle is opened with this call as its context,
  // given back by its HANDLE_CLOSING (or by the caller if the open failed).
  void AddRef() { refs_.fetch_add(1); }
  void Release() {
    if (refs_.fetch_sub(1) == 1) delete this;
  }

  // The status callback of every handle of a session: handles with a context have a call.
  static void CALLBACK OnStatus(HINTERNET handle, DWORD_PTR context, DWORD status, void* info,
                                DWORD info_length);

  // Before a call that may complete later.
  void Expect();
  // Waits for the pending call to complete, handing the phases reported meanwhile to the sink
  // (on the waiting thread, as the sink requires): the call's error (ERROR_SUCCESS if none), or
  // nullopt once sink.Cancelled() (Wake makes a waiter look).
  std::optional<DWORD> Await(HttpSink& sink);
  // Hands the phases reported so far to the sink. Phases reported later are not passed on:
  // WinINet reports receiving for every read of the body too.
  void EndPhases(HttpSink& sink);
  void Wake();

  // Where reads put their bytes and data queries their count: a pending call writes there when
  // it completes.
  DWORD& Available() { return available_; }
  INTERNET_BUFFERSA& Buffers();

 private:
  ~WinInetCall() = default;
  void Report(DWORD status, const void* info);

  std::atomic<int> refs_{1};
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<TransferState> phases_;  // not yet handed to the sink
  bool reporting_ = true;
  bool completed_ = false;
  DWORD error_ = ERROR_SUCCESS;
  const std::unique_ptr<std::byte[]> data_{new std::byte[kReadSize]};
  INTERNET_BUFFERSA buffers_{};
  DWORD available_ = 0;
};

}  // namespace kw
