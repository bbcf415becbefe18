# Release builds (the presets release-linux and release-windows, run by scripts/release): the
# same source gives the same bytes wherever it is built, and the Linux program is hardened as
# Debian's own packages are. The presets include this file right after project() through
# CMAKE_PROJECT_INCLUDE, so that its options reach every target of the build.
#
# Timestamps come from SOURCE_DATE_EPOCH, which scripts/release sets to the last commit's time:
# string(TIMESTAMP) and CPack read it themselves.

# No folder of the build machine in the program: paths in __FILE__ and in debug information are
# relative to the source or build folder. GCC tries the map given last first, so a build folder
# inside the source folder maps as a build folder. (Not for windres, which has no such option.)
add_compile_options(
  "$<$<COMPILE_LANGUAGE:CXX>:-ffile-prefix-map=${CMAKE_SOURCE_DIR}/=>"
  "$<$<COMPILE_LANGUAGE:CXX>:-ffile-prefix-map=${CMAKE_BINARY_DIR}/=>"
)

if(WIN32)
  # A PE header carries the link time unless told not to.
  add_link_options(LINKER:--no-insert-timestamp)
else()
  # What lintian's hardening checks look for: fortified C library calls, a stack protector, a
  # position-independent executable, and relocations read-only before main() runs. Fortify
  # needs optimisation, which Release has; -U first, since some compilers predefine it.
  include(CheckPIESupported)
  check_pie_supported(LANGUAGES CXX)
  set(CMAKE_POSITION_INDEPENDENT_CODE ON)
  add_compile_options(-U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=2 -fstack-protector-strong)
  add_link_options(LINKER:-z,relro LINKER:-z,now)
  # Only the libraries the program calls are recorded as needed (Qt's CMake files add OpenGL's).
  add_link_options(LINKER:--as-needed)
endif()
