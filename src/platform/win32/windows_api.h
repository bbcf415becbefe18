#pragma once

// <windows.h> as this program's code includes it. The wide-character API is chosen by the
// build (UNICODE); the one macro that would rename a name of the program goes: CopyFile would
// turn FileSystem::CopyFile into CopyFileW wherever both are seen.
#include <windows.h>
#undef CopyFile
