#pragma once

#include "platform/unique_handle.h"
#include "platform/win32/windows_api.h"

namespace kw {

// Kernel objects whose "none" is INVALID_HANDLE_VALUE: files (CreateFileW) and Toolhelp
// snapshots.
struct FileHandleTraits {
  using Handle = HANDLE;
  static Handle Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(Handle handle) { ::CloseHandle(handle); }
};

// Kernel objects whose "none" is null: processes, threads, mutexes.
struct KernelHandleTraits {
  using Handle = HANDLE;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle handle) { ::CloseHandle(handle); }
};

// Searches opened by FindFirstFileExW.
struct FindHandleTraits {
  using Handle = HANDLE;
  static Handle Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(Handle handle) { ::FindClose(handle); }
};

using UniqueFileHandle = UniqueHandle<FileHandleTraits>;
using UniqueKernelHandle = UniqueHandle<KernelHandleTraits>;
using UniqueFindHandle = UniqueHandle<FindHandleTraits>;

}  // namespace kw
