#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <string>

#include "platform/file_system.h"

namespace kw {

// A WritableFile that gathers small appends (a download's 1 KB chunks) into writes of up to
// 64 KiB; appends of that size or more go out at once. A platform's file supplies the two calls
// that reach its system, and calls CloseQuietly() from its destructor, while it is whole.
class BufferedFile : public WritableFile {
 public:
  BufferedFile(const BufferedFile&) = delete;
  BufferedFile& operator=(const BufferedFile&) = delete;

  // Fails as the platform's write does, or (kPathFileAccess) after Close().
  void Append(std::span<const std::byte> bytes) final;
  // Writes out what is buffered, then SyncOut().
  void Sync() final;
  // Writes out what is left and closes, also when the writing fails; raises the first failure.
  // Closing again does nothing.
  void Close() final;

 protected:
  // `path` names the file in failures.
  explicit BufferedFile(std::string path);
  ~BufferedFile() override;

  // Writes all of the bytes, or raises a Failure naming the file.
  virtual void WriteOut(const std::byte* data, std::size_t size) = 0;
  // Has the system put what was written on the disk, or raises a Failure naming the file.
  virtual void SyncOut() = 0;
  // Closes the file's handle, whatever happens, and raises a Failure naming the file when the
  // system reports one (a network file system reports write failures here).
  virtual void CloseOut() = 0;

  // Close() for a destructor: only an explicit Close() tells whether the bytes were written.
  void CloseQuietly() noexcept;

 private:
  std::string path_;
  std::unique_ptr<std::byte[]> buffer_;
  std::size_t used_ = 0;
  bool open_ = true;
};

}  // namespace kw
