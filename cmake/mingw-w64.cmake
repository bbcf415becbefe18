# Shared by the two mingw-w64 toolchains: the target is Windows, the program links statically
# (nothing to install beside it), and a cross-built program runs under Wine.
#
# Expects KW_MINGW_TRIPLE (i686-w64-mingw32 or x86_64-w64-mingw32) and CMAKE_SYSTEM_PROCESSOR.
set(CMAKE_SYSTEM_NAME Windows)

# The -posix compilers: their libstdc++ has std::thread and std::mutex (on winpthreads).
set(CMAKE_C_COMPILER ${KW_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KW_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KW_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KW_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# libstdc++, libgcc and winpthreads go into the program: it imports Windows' own DLLs only.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# -O2, as the Linux build: GCC 12 at -O3 reports "text" + std::string as an overlapping
# memcpy (a false -Wrestrict), which -Werror turns into a failed build.
set(CMAKE_CXX_FLAGS_RELEASE "-O2 -DNDEBUG" CACHE STRING "Flags of release builds")

# ctest and gtest_discover_tests run the cross-built programs through Wine, each run in a
# prefix of its own copied from a template that the build folder keeps (see the script).
set(CMAKE_CROSSCOMPILING_EMULATOR
    ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh ${CMAKE_BINARY_DIR}/wine-template)
