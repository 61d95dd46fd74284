# Cross-builds the Windows programs with mingw-w64 for i686: the one
# toolchain file, with its target.
set(KIVRA_MINGW_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
