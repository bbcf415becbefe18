#pragma once

#include <dirent.h>
#include <unistd.h>

#include "platform/unique_handle.h"

namespace kw {

struct FdTraits {
  using Handle = int;
  static constexpr int Invalid() { return -1; }
  static void Close(int fd) { ::close(fd); }
};

struct DirTraits {
  using Handle = DIR*;
  static constexpr DIR* Invalid() { return nullptr; }
  static void Close(DIR* dir) { ::closedir(dir); }
};

using UniqueFd = UniqueHandle<FdTraits>;
using UniqueDir = UniqueHandle<DirTraits>;

// Closes the descriptor and returns close()'s result (0, or -1 with errno set), for code that
// must know whether the bytes reached the disk; 0 when there is nothing to close.
inline int CloseReporting(UniqueFd& fd) { return fd ? ::close(fd.Release()) : 0; }

}  // namespace kw
