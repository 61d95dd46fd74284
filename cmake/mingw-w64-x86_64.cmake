# Cross-builds the Windows programs with mingw-w64 for x86_64: the one
# toolchain file, with its target.
set(KIVRA_MINGW_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
