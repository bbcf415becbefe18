#include "transfer/wininet/wininet_backend.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cwchar>
#include <iterator>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "platform/ascii.h"
#include "platform/failure.h"
#include "platform/win32/wide_text.h"
#include "transfer/http_rules.h"
#include "transfer/wininet/wininet_call.h"

// Every call that waits on the network is started on Perform's thread and completes on one of
// WinINet's, which reports to the request's WinInetCall; Perform waits there, where Interrupt can
// wake it.

namespace kw {

namespace {

// Only a backstop: the control fails a request after 60 seconds and interrupts it.
constexpr DWORD kWinInetTimeoutMs = 5 * 60 * 1000;
// The header lines of Wine's WinINet end at this length, cut short if they were longer.
constexpr std::size_t kLongestWholeHeaderLine = 4095;
// Every file fresh from the server, nothing kept on disk or asked of the operator; redirects and
// challenges are answered as HttpRounds decides.
constexpr DWORD kRequestFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                                INTERNET_FLAG_NO_COOKIES | INTERNET_FLAG_NO_UI |
                                INTERNET_FLAG_KEEP_CONNECTION | INTERNET_FLAG_NO_AUTO_REDIRECT |
                                INTERNET_FLAG_NO_AUTH;

// WinINet's text for one of its error numbers, or the system's for another.
std::string WinInetMessage(DWORD error) {
  wchar_t buffer[512];
  const DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      ::GetModuleHandleW(L"wininet.dll"), error, 0, buffer, static_cast<DWORD>(std::size(buffer)),
      nullptr);
  std::wstring_view message(buffer, length);
  message = message.substr(0, message.find_last_not_of(L"\r\n .") + 1);
  const std::string number = "WinINet error " + std::to_string(error);
  return message.empty() ? number : Narrow(message) + " (" + number + ")";
}

// `in_body`: the final response's body had begun.
Failure FailureFor(DWORD error, const std::string& url, bool in_body) {
  const std::string what = WinInetMessage(error);
  switch (error) {
    // The certificate of an https server, checked against the system's store: never ignored
    // (no SECURITY_FLAG_IGNORE_*), so the request ends here.
    case ERROR_INTERNET_INVALID_CA:
    case ERROR_INTERNET_SEC_CERT_ERRORS:
      return CertificateFailure(CertificateFault::kNotTrusted, url, what);
    case ERROR_INTERNET_SEC_CERT_CN_INVALID:
      return CertificateFailure(CertificateFault::kNameMismatch, url, what);
    case ERROR_INTERNET_SEC_CERT_DATE_INVALID:
      return CertificateFailure(CertificateFault::kExpired, url, what);
    case ERROR_INTERNET_SEC_CERT_REVOKED:
      return CertificateFailure(CertificateFault::kRevoked, url, what);
    case ERROR_INTERNET_SEC_INVALID_CERT:
    case ERROR_INTERNET_SEC_CERT_NO_REV:
    case ERROR_INTERNET_SEC_CERT_REV_FAILED:
    case ERROR_INTERNET_SECURITY_CHANNEL_ERROR:
      return CertificateFailure(CertificateFault::kOther, url, what);
    case ERROR_INTERNET_NAME_NOT_RESOLVED:
    case ERROR_INTERNET_CANNOT_CONNECT:
    case ERROR_INTERNET_INVALID_URL:
    case ERROR_INTERNET_UNRECOGNIZED_SCHEME:
      return HttpFailure(HttpFault::kCannotConnect, url, what);
    case ERROR_INTERNET_TIMEOUT:
      return HttpFailure(HttpFault::kTimedOut, url, what);
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return HttpFailure(HttpFault::kOutOfMemory, url, what);
    default:
      return HttpFailure(in_body ? HttpFault::kBodyBrokeOff : HttpFault::kTransferFailed, url,
                         what);
  }
}

}  // namespace

// Where a request goes, as WinINet takes it.
struct WinInetBackend::Target {
  // The parts of `address`; raises error::kCannotConnect (naming `url`) for an address that is
  // not http or https.
  static Target Of(const std::string& address, const std::string& url);

  std::string Key() const {
    return (secure ? "https://" : "http://") + Narrow(host) + ":" + std::to_string(port);
  }

  bool secure = false;
  std::wstring host;
  INTERNET_PORT port = 0;
  std::wstring object;  // the path and the query
};

// One request on the wire: its handle, its call, its head and its body. Every call on the handle
// is made on Perform's thread, within the round's life.
class WinInetBackend::Round {
 public:
  Round(WinInetBackend& backend, HttpSink& sink, const std::string& url)
      : backend_(backend), sink_(sink), url_(url), call_(new WinInetCall) {}

  ~Round() {
    {
      std::lock_guard lock(backend_.mutex_);
      if (backend_.call_ == call_) backend_.call_ = nullptr;
    }
    // Unless its body was read to the end, the rest may still be coming (abandoned, a discarded
    // body too long to read, a failure of the rules or of WinINet's), and Wine reads it on close.
    if (request_ && !ended_) backend_.CloseAside(std::move(request_));
    request_.Reset();
    call_->Release();
  }
  Round(const Round&) = delete;
  Round& operator=(const Round&) = delete;

  // Sends the request for `target` with the header lines `headers`; false once abandoned.
  bool Send(HINTERNET connection, const Target& target, const std::wstring& headers) {
    call_->AddRef();  // the handle's, given back by its HANDLE_CLOSING
    request_.Reset(::HttpOpenRequestW(connection, L"GET", target.object.c_str(), nullptr, nullptr,
                                      nullptr,
                                      kRequestFlags | (target.secure ? INTERNET_FLAG_SECURE : 0),
                                      reinterpret_cast<DWORD_PTR>(call_)));
    if (!request_) {
      const DWORD error = ::GetLastError();
      call_->Release();
      throw FailureFor(error, url_, false);
    }
    {
      std::lock_guard lock(backend_.mutex_);
      backend_.call_ = call_;
    }
    // An Interrupt before the call was in its slot found nothing to wake.
    if (sink_.Cancelled()) return false;
    if (!SendsWhole(target.object)) {
      throw Failure(error::kTransferFailed,
                    "The request for " + url_ + " has an unusable address: its path of " +
                        std::to_string(target.object.size()) + " characters cannot be sent whole");
    }
    if (!headers.empty() &&
        !::HttpAddRequestHeadersW(request_.get(), headers.c_str(),
                                  static_cast<DWORD>(headers.size()), HTTP_ADDREQ_FLAG_ADD)) {
      throw FailureFor(::GetLastError(), url_, false);
    }
    call_->Expect();
    if (!::HttpSendRequestW(request_.get(), nullptr, 0, nullptr, 0) && !Completed(false)) {
      return false;
    }
    call_->EndPhases(sink_);
    return !sink_.Cancelled();
  }

  // Whether the request asks for `object` as it is: Wine's WinINet cuts a long one short (to
  // about 2,000 characters) and goes on.
  bool SendsWhole(const std::wstring& object) const {
    DWORD size = 0;
    ::InternetQueryOptionW(request_.get(), INTERNET_OPTION_URL, nullptr, &size);
    std::wstring url(size / sizeof(wchar_t) + 1, L'\0');
    size = static_cast<DWORD>(url.size() * sizeof(wchar_t));
    if (!::InternetQueryOptionW(request_.get(), INTERNET_OPTION_URL, url.data(), &size)) {
      return false;
    }
    url.resize(std::wcslen(url.c_str()));
    return std::wstring_view(url).ends_with(object);
  }

  // The head of the response, every field as received.
  HttpResponseHead Head() const {
    std::wstring text(4096, L'\0');
    for (;;) {
      DWORD size = static_cast<DWORD>(text.size() * sizeof(wchar_t));
      if (::HttpQueryInfoW(request_.get(), HTTP_QUERY_RAW_HEADERS_CRLF, text.data(), &size,
                           nullptr)) {
        text.resize(size / sizeof(wchar_t));
        break;
      }
      if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        throw FailureFor(::GetLastError(), url_, false);
      }
      text.resize(size / sizeof(wchar_t) + 1);
    }
    const std::string raw = Narrow(text);
    HttpResponseHead head;
    std::size_t start = 0;
    for (bool first = true; start < raw.size(); first = false) {
      std::size_t end = raw.find('\n', start);
      if (end == std::string::npos) end = raw.size();
      const std::string_view line = std::string_view(raw).substr(start, end - start);
      start = end + 1;
      if (first) {
        const std::optional<StatusLine> status = ParseStatusLine(line);
        if (!status) {
          throw Failure(error::kTransferFailed,
                        "The response to " + url_ + " has no status line: " + std::string(line));
        }
        head.status = status->code;
        head.reason = status->reason;
      } else if (std::optional<HeaderField> field = ParseHeaderLine(line)) {
        // Wine's WinINet keeps no more of a header line than fits its buffer, and says nothing:
        // a Location that fills it may have been cut short, and would lead elsewhere.
        if (line.size() >= kLongestWholeHeaderLine &&
            EqualsIgnoringAsciiCase(field->name, "Location")) {
          throw Failure(error::kTransferFailed,
                        "The request for " + url_ +
                            " was redirected to an unusable address: it cannot be read whole (" +
                            std::to_string(field->value.size()) + " characters or more)");
        }
        head.fields.push_back(std::move(*field));
      }
    }
    return head;
  }

  // Reads the final response's body to its end, into the sink; false once abandoned.
  bool Read() {
    return ReadBody([&](std::span<const std::byte> bytes) { return sink_.Body(bytes); });
  }

  // Reads the body of a response that is not the final one, so that its connection can serve
  // the next round: kDiscardedBodyLimit of it at the most, within the stall timeout that began
  // with its head. A longer one is dropped with its request. False once abandoned.
  bool Discard() {
    std::size_t read = 0;
    ReadBody([&](std::span<const std::byte> bytes) {
      read += bytes.size();
      return read <= kDiscardedBodyLimit;
    });
    return !sink_.Cancelled();
  }

 private:
  // Hands the body's bytes to `take` as they arrive until it has ended (true), `take` declines
  // them or the request is abandoned (false).
  template <typename Take>
  bool ReadBody(Take take) {
    for (;;) {
      // A read that does not wait returns whatever has arrived, up to the whole buffer. When
      // nothing has, it either pends until something does (asynchronous WinINet; it fills no
      // buffer then) or returns nothing (as it does without INTERNET_FLAG_ASYNC): only the data
      // query, which waits, tells the end of the body.
      INTERNET_BUFFERSA& buffers = call_->Buffers();
      call_->Expect();
      if (!::InternetReadFileExA(request_.get(), &buffers, IRF_NO_WAIT,
                                 reinterpret_cast<DWORD_PTR>(call_))) {
        if (!Completed(true)) return false;
        continue;
      }
      if (buffers.dwBufferLength == 0) {
        DWORD& available = call_->Available();
        call_->Expect();
        if (::InternetQueryDataAvailable(request_.get(), &available, 0, 0)) {
          if (available == 0) return ended_ = true;
        } else if (!Completed(true)) {
          return false;
        }
        // Bytes have arrived, or the end has (a query that pended answers only "done"; the
        // next one answers at once).
        continue;
      }
      if (!take(std::span(static_cast<const std::byte*>(buffers.lpvBuffer),
                          buffers.dwBufferLength))) {
        return false;
      }
    }
  }

  // After a call that returned FALSE: waits for it if it is pending. Raises its failure (as a
  // failure of the body when `in_body`); false once the request is abandoned.
  bool Completed(bool in_body) {
    std::optional<DWORD> error = ::GetLastError();
    if (*error == ERROR_IO_PENDING) error = call_->Await(sink_);
    if (!error) return false;
    if (*error != ERROR_SUCCESS) throw FailureFor(*error, url_, in_body);
    return true;
  }

  WinInetBackend& backend_;
  HttpSink& sink_;
  const std::string& url_;
  WinInetCall* const call_;
  UniqueInternetHandle request_;
  bool ended_ = false;  // the body was read to its end
};

WinInetBackend::Target WinInetBackend::Target::Of(const std::string& address,
                                                  const std::string& url) {
  const std::wstring wide = Widen(address);
  URL_COMPONENTSW parts{};
  parts.dwStructSize = sizeof(parts);
  // Non-zero lengths ask for pointers into `wide`.
  parts.dwHostNameLength = 1;
  parts.dwUrlPathLength = 1;
  parts.dwExtraInfoLength = 1;
  if (!::InternetCrackUrlW(wide.c_str(), static_cast<DWORD>(wide.size()), 0, &parts) ||
      (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) ||
      parts.dwHostNameLength == 0) {
    throw HttpFailure(HttpFault::kCannotConnect, url, "not an http or https address");
  }
  Target target;
  target.secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
  target.host.assign(parts.lpszHostName, parts.dwHostNameLength);
  target.port = parts.nPort;
  target.object.assign(parts.lpszUrlPath, parts.dwUrlPathLength);
  target.object.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
  // Wine's InternetCrackUrlW cuts a long path short and succeeds.
  if (!std::wstring_view(wide).ends_with(target.object)) {
    throw Failure(error::kTransferFailed,
                  "The request for " + url + " has an unusable address: it cannot be sent whole (" +
                      std::to_string(address.size()) + " characters)");
  }
  if (target.object.empty() || target.object[0] != L'/') target.object.insert(0, L"/");
  return target;
}

WinInetBackend::WinInetBackend()
    : session_(std::make_shared<UniqueInternetHandle>(::InternetOpenW(
          L"KW_Update", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, INTERNET_FLAG_ASYNC))) {
  if (!*session_) {
    throw Failure(error::kInternal, "WinINet could not start: " + WinInetMessage(::GetLastError()));
  }
  if (::InternetSetStatusCallbackW(session_->get(), &WinInetCall::OnStatus) ==
      INTERNET_INVALID_STATUS_CALLBACK) {
    throw Failure(error::kInternal,
                  "WinINet refused its status callback: " + WinInetMessage(::GetLastError()));
  }
  for (const DWORD option : {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT,
                             INTERNET_OPTION_RECEIVE_TIMEOUT}) {
    DWORD timeout = kWinInetTimeoutMs;
    ::InternetSetOptionW(session_->get(), option, &timeout, sizeof(timeout));
  }
}

WinInetBackend::~WinInetBackend() {
  // No request is left (each round closes its own); the connection and the session close on a
  // closer's thread, after any request still being closed aside.
  CloseAside(UniqueInternetHandle());
  connection_.reset();
  session_.reset();
}

void WinInetBackend::Perform(const HttpRequest& request, HttpSink& sink) {
  HttpRounds rounds(request);
  for (;;) {
    const Target target = Target::Of(rounds.address(), request.url);
    std::wstring headers;
    for (const HeaderField& field : rounds.fields()) {
      headers += Widen(field.name + ": " + field.value + "\r\n");
    }
    Round round(*this, sink, request.url);
    if (!round.Send(ConnectionFor(target, request.url), target, headers)) return;
    HttpResponseHead head = round.Head();
    if (rounds.Next(head) == HttpRounds::Verdict::kFinal) {
      sink.Head(std::move(head));
      round.Read();
      return;
    }
    if (!round.Discard()) return;
  }
}

HINTERNET WinInetBackend::ConnectionFor(const Target& target, const std::string& url) {
  std::lock_guard lock(mutex_);
  const std::string key = target.Key();
  if (connection_ && connection_key_ == key) return connection_->get();
  connection_ = std::make_shared<UniqueInternetHandle>(
      ::InternetConnectW(session_->get(), target.host.c_str(), target.port, nullptr, nullptr,
                         INTERNET_SERVICE_HTTP, 0, 0));
  if (!*connection_) {
    const DWORD error = ::GetLastError();
    connection_.reset();
    throw FailureFor(error, url, false);
  }
  connection_key_ = key;
  return connection_->get();
}

void WinInetBackend::CloseAside(UniqueInternetHandle request) {
  SharedInternetHandle connection;
  {
    std::lock_guard lock(mutex_);
    connection = connection_;
  }
  auto close = [quits = quits_, quits_before = quits_->load(), request = std::move(request),
                connection = std::move(connection), session = session_]() mutable {
    request.Reset();
    connection.reset();
    session.reset();
    // A connection that Wine's close read to its end went to the pool after a Quit emptied it.
    if (quits->load() != quits_before) {
      ::InternetSetOptionW(nullptr, INTERNET_OPTION_SETTINGS_CHANGED, nullptr, 0);
    }
  };
  try {
    std::thread(std::move(close)).detach();
  } catch (const std::system_error&) {
    // Whatever the failed start left in `close` is still to be closed.
    close();
  }
}

void WinInetBackend::Interrupt() {
  // Closes nothing: Perform, woken, leaves its calls and closes its request aside itself. Closed
  // here, the request could be let go last by a call Perform is still making on it, and Wine
  // would then read the rest of its body on Perform's thread (see the class comment).
  std::lock_guard lock(mutex_);
  if (call_ != nullptr) call_->Wake();
}

void WinInetBackend::CloseConnections() {
  // Not waited for: the close of a request abandoned earlier, which may read for as long as its
  // server sends. Its connection goes to WinINet's pool only if that ends, and the pool closes it
  // within a minute.
  ++*quits_;
  std::lock_guard lock(mutex_);
  connection_.reset();
  connection_key_.clear();
  // WinINet keeps idle connections in a pool of the process's; a change of settings empties it.
  ::InternetSetOptionW(nullptr, INTERNET_OPTION_SETTINGS_CHANGED, nullptr, 0);
}

}  // namespace kw
