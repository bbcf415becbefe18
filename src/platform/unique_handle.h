#pragma once

#include <utility>

namespace kw {

// The one owner of a system handle of one kind: a file descriptor, a DIR*, a CURL*, a HANDLE,
// an HINTERNET. `Traits` names the handle type, the value that means "none", and how to close:
//
//   struct DirTraits {
//     using Handle = DIR*;
//     static constexpr Handle Invalid() { return nullptr; }
//     static void Close(Handle dir) { closedir(dir); }
//   };
//   using UniqueDir = UniqueHandle<DirTraits>;
//
// A failure of the close is not seen; code that must know (a file whose last bytes reach the
// disk only at close) takes the handle back with Release() and closes it itself.
template <typename Traits>
class UniqueHandle {
 public:
  using Handle = typename Traits::Handle;

  UniqueHandle() = default;
  explicit UniqueHandle(Handle handle) : handle_(handle) {}
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.Release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  ~UniqueHandle() { Reset(); }

  Handle get() const { return handle_; }
  explicit operator bool() const { return handle_ != Traits::Invalid(); }

  // Closes the handle held, if any, and holds `handle` instead. Handed the handle it already
  // holds, it keeps it open.
  void Reset(Handle handle = Traits::Invalid()) {
    const Handle old = std::exchange(handle_, handle);
    if (old != Traits::Invalid() && old != handle) Traits::Close(old);
  }

  // Gives the handle up without closing it.
  Handle Release() { return std::exchange(handle_, Traits::Invalid()); }

 private:
  Handle handle_ = Traits::Invalid();
};

}  // namespace kw
