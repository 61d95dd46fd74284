# Cross-builds the Windows programs with Debian's mingw-w64. KIVRA_MINGW_ARCH
# picks the target, i686 (the build that ships) or x86_64; the presets name
# mingw-w64-i686.cmake and mingw-w64-x86_64.cmake, which set it.
if(NOT KIVRA_MINGW_ARCH)
  set(KIVRA_MINGW_ARCH x86_64)
endif()
set(triplet ${KIVRA_MINGW_ARCH}-w64-mingw32)

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${KIVRA_MINGW_ARCH})

set(CMAKE_C_COMPILER ${triplet}-gcc)
set(CMAKE_CXX_COMPILER ${triplet}-g++)
set(CMAKE_RC_COMPILER ${triplet}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# One self-contained executable: the C and C++ runtimes and winpthread are
# linked in, so no DLL has to travel beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
