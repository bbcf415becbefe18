#include "transfer/wininet/wininet_call.h"

#include <algorithm>
#include <iterator>
#include <utility>

namespace kw {

namespace {

// The status notifications that are phases of a request's head round.
constexpr std::pair<DWORD, TransferState> kPhases[] = {
    {INTERNET_STATUS_RESOLVING_NAME, kResolvingHost},
    {INTERNET_STATUS_NAME_RESOLVED, kHostResolved},
    {INTERNET_STATUS_CONNECTING_TO_SERVER, kConnecting},
    {INTERNET_STATUS_CONNECTED_TO_SERVER, kConnected},
    {INTERNET_STATUS_SENDING_REQUEST, kRequesting},
    {INTERNET_STATUS_REQUEST_SENT, kRequestSent},
    {INTERNET_STATUS_RECEIVING_RESPONSE, kReceivingResponse},
    {INTERNET_STATUS_RESPONSE_RECEIVED, kResponseReceived},
};

}  // namespace

void CALLBACK WinInetCall::OnStatus(HINTERNET, DWORD_PTR context, DWORD status, void* info, DWORD) {
  if (context != 0) reinterpret_cast<WinInetCall*>(context)->Report(status, info);
}

void WinInetCall::Report(DWORD status, const void* info) {
  if (status == INTERNET_STATUS_HANDLE_CLOSING) return Release();
  {
    std::lock_guard lock(mutex_);
    if (status == INTERNET_STATUS_REQUEST_COMPLETE) {
      const auto* result = static_cast<const INTERNET_ASYNC_RESULT*>(info);
      completed_ = true;
      // A data query completes with the count available (0 at the end) and no error.
      error_ = result->dwResult != 0 ? ERROR_SUCCESS : result->dwError;
    } else {
      const auto* phase = std::find_if(std::begin(kPhases), std::end(kPhases),
                                       [&](const auto& entry) { return entry.first == status; });
      if (phase == std::end(kPhases) || !reporting_) return;
      phases_.push_back(phase->second);
    }
  }
  changed_.notify_all();
}

void WinInetCall::Expect() {
  std::lock_guard lock(mutex_);
  completed_ = false;
  error_ = ERROR_SUCCESS;
}

std::optional<DWORD> WinInetCall::Await(HttpSink& sink) {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [&] { return completed_ || !phases_.empty() || sink.Cancelled(); });
    // The phases reported before the completion go to the sink before the caller hears of it.
    const std::vector<TransferState> phases = std::exchange(phases_, {});
    const std::optional<DWORD> result = completed_ ? std::optional(error_) : std::nullopt;
    lock.unlock();
    for (const TransferState phase : phases) sink.Phase(phase);
    if (sink.Cancelled()) return std::nullopt;
    if (result) return result;
    lock.lock();
  }
}

void WinInetCall::EndPhases(HttpSink& sink) {
  std::vector<TransferState> phases;
  {
    std::lock_guard lock(mutex_);
    reporting_ = false;
    phases = std::exchange(phases_, {});
  }
  for (const TransferState phase : phases) sink.Phase(phase);
}

void WinInetCall::Wake() {
  // Taken so that a waiter between its look at the sink and its wait cannot miss the wake.
  { std::lock_guard lock(mutex_); }
  changed_.notify_all();
}

INTERNET_BUFFERSA& WinInetCall::Buffers() {
  buffers_ = {};
  buffers_.dwStructSize = sizeof(buffers_);
  buffers_.lpvBuffer = data_.get();
  buffers_.dwBufferLength = kReadSize;
  return buffers_;
}

}  // namespace kw
