# 64-bit Windows with Debian's mingw-w64 cross compiler (its posix thread
# model, for std::thread in the program and the tests). Test programs run
# under Wine through cmake/wine-run.sh. libcurl comes from the folder that
# `scripts/setup.sh windows` builds it into: LINKRATE_WINDOWS_DEPS, by default
# ~/.cache/tarnwell-linkrate/windows.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

if(DEFINED ENV{LINKRATE_WINDOWS_DEPS})
  set(LINKRATE_WINDOWS_DEPS "$ENV{LINKRATE_WINDOWS_DEPS}")
else()
  set(LINKRATE_WINDOWS_DEPS "$ENV{HOME}/.cache/tarnwell-linkrate/windows")
endif()
set(LINKRATE_WINDOWS_DEPS "${LINKRATE_WINDOWS_DEPS}" CACHE PATH
  "Where scripts/setup.sh windows put libcurl for Windows")

# Libraries and packages only from the cross tree and the libcurl build; the
# machine's own Linux libraries must never be picked up.
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 "${LINKRATE_WINDOWS_DEPS}/prefix")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/../wine-run.sh")

# The compiler's own run-time (libgcc, libstdc++, winpthread) goes into each
# binary, so the DLL and the program need no DLL of the compiler's beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")
