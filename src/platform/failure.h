#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace kw {

// The program's one failure type. Every failure carries a number (the ones below, or a
// platform's own) and a description that names what went wrong and where, in words the
// operator can act on. Platform code turns errno, CURLcode and GetLastError() into it at the
// seam; the core catches it only where a failure scope is specified.
class Failure : public std::runtime_error {
 public:
  Failure(std::int32_t number, const std::string& description)
      : std::runtime_error(description), number_(number) {}

  std::int32_t number() const { return number_; }
  std::string description() const { return what(); }

  // What a message box shows: the description, then "(Error N)" on a line of its own.
  std::string Message() const {
    return description() + "\n\n(Error " + std::to_string(number_) + ")";
  }

 private:
  std::int32_t number_;
};

// Failure numbers. The runtime ones keep the numbers a Windows program of this kind has always
// shown; the transfer ones are the transfer control's.
namespace error {
inline constexpr std::int32_t kOverflow = 6;
inline constexpr std::int32_t kOutOfMemory = 7;
inline constexpr std::int32_t kDivisionByZero = 11;
inline constexpr std::int32_t kTypeMismatch = 13;
inline constexpr std::int32_t kFileNotFound = 53;
inline constexpr std::int32_t kInternal = 51;
inline constexpr std::int32_t kDeviceIo = 57;
inline constexpr std::int32_t kFileExists = 58;
inline constexpr std::int32_t kDiskFull = 61;
inline constexpr std::int32_t kPermissionDenied = 70;
inline constexpr std::int32_t kPathFileAccess = 75;
inline constexpr std::int32_t kPathNotFound = 76;

// The remote host could not be reached (name not resolved, connection refused or failed).
inline constexpr std::int32_t kCannotConnect = 35754;
// The request went wrong on the wire after the connection was made.
inline constexpr std::int32_t kTransferFailed = 35755;
// The server answered with a status outside 200-299.
inline constexpr std::int32_t kBadStatus = 35756;
// The body ended before, or went past, the length the server announced.
inline constexpr std::int32_t kIncompleteBody = 35757;
// Connecting or a stalled transfer took longer than the control allows.
inline constexpr std::int32_t kRequestTimedOut = 35761;
// A request was started while the previous one was still running.
inline constexpr std::int32_t kStillExecuting = 35764;
// A program could not be started.
inline constexpr std::int32_t kCannotStart = 35770;
// The list of running processes could not be read.
inline constexpr std::int32_t kProcessList = 35771;
// The server's TLS certificate was refused (not trusted, another name, expired ...).
inline constexpr std::int32_t kCertificateRefused = 35772;
// The release's signed manifest is missing, malformed or not signed with the program's key.
inline constexpr std::int32_t kManifestRefused = 35773;
// A downloaded file is not what the signed manifest lists (not listed, other size, other hash).
inline constexpr std::int32_t kNotAsSigned = 35774;
}  // namespace error

}  // namespace kw
