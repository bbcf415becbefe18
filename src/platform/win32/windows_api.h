#pragma once

// <windows.h> as this program's code includes it. The wide-character API is chosen by the
// build (UNICODE); the one macro that would rename a name of the program goes: CopyFile would
// turn FileSystem::CopyFile into CopyFileW wherever both are seen.
// The common controls and COM come with it, as every window of the program needs them; they must
// follow <windows.h>.
#include <windows.h>
// clang-format off
#include <commctrl.h>
#include <objbase.h>
// clang-format on
#undef CopyFile
