#include "platform/buffered_file.h"

#include <cstring>
#include <optional>
#include <utility>

#include "platform/failure.h"

namespace kw {

namespace {

// Big enough that the download's 1 KB appends cost a memcpy each, small enough to be
// irrelevant next to the rest of the program.
constexpr std::size_t kBufferSize = 64 * 1024;

}  // namespace

BufferedFile::BufferedFile(std::string path)
    : path_(std::move(path)), buffer_(std::make_unique<std::byte[]>(kBufferSize)) {}

BufferedFile::~BufferedFile() = default;

void BufferedFile::Append(std::span<const std::byte> bytes) {
  if (!open_) throw Failure(error::kPathFileAccess, "File is already closed: " + path_);
  // An empty span may carry a null pointer, which memcpy must not be given.
  if (bytes.empty()) return;
  if (bytes.size() > kBufferSize - used_) {
    WriteOut(buffer_.get(), std::exchange(used_, 0));
    if (bytes.size() >= kBufferSize) return WriteOut(bytes.data(), bytes.size());
  }
  std::memcpy(buffer_.get() + used_, bytes.data(), bytes.size());
  used_ += bytes.size();
}

void BufferedFile::Sync() {
  if (!open_) throw Failure(error::kPathFileAccess, "File is already closed: " + path_);
  if (used_ > 0) WriteOut(buffer_.get(), std::exchange(used_, 0));
  SyncOut();
}

void BufferedFile::Close() {
  if (!std::exchange(open_, false)) return;
  // The handle is closed even when the last bytes cannot be written, so that a failed Close()
  // followed by the destructor does not try again.
  std::optional<Failure> failure;
  try {
    if (used_ > 0) WriteOut(buffer_.get(), std::exchange(used_, 0));
  } catch (const Failure& write_failure) {
    failure = write_failure;
  }
  try {
    CloseOut();
  } catch (const Failure& close_failure) {
    if (!failure) failure = close_failure;
  }
  if (failure) throw *failure;
}

void BufferedFile::CloseQuietly() noexcept {
  try {
    Close();
  } catch (const Failure&) {
  }
}

}  // namespace kw
