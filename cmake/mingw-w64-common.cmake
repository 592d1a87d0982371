# SPDX-License-Identifier: LGPL-2.1-or-later
# Shared part of the MinGW-w64 cross toolchains. The including file sets
# NETID_MINGW_TRIPLE (i686-w64-mingw32 or x86_64-w64-mingw32) first.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_VERSION 6.1)

# The "posix" thread model gives the tests std::thread and std::mutex; the
# winpthread runtime it needs is linked statically like the rest.
find_program(netid_mingw_cxx NAMES ${NETID_MINGW_TRIPLE}-g++-posix ${NETID_MINGW_TRIPLE}-g++)
if(NOT netid_mingw_cxx)
  message(FATAL_ERROR "No ${NETID_MINGW_TRIPLE}-g++ found: install g++-mingw-w64")
endif()
string(REGEX REPLACE "g\\+\\+(-posix)?$" "gcc\\1" netid_mingw_cc "${netid_mingw_cxx}")
set(CMAKE_C_COMPILER ${netid_mingw_cc})
set(CMAKE_CXX_COMPILER ${netid_mingw_cxx})
find_program(CMAKE_RC_COMPILER ${NETID_MINGW_TRIPLE}-windres REQUIRED)

set(CMAKE_FIND_ROOT_PATH /usr/${NETID_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every program stands alone: no libgcc, libstdc++ or winpthread DLLs beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Programs built here run under Wine (tests, test discovery, try_run).
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
