# 64-bit Windows: the same program for a 64-bit Wine, which is what runs the tests here.
set(KW_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
