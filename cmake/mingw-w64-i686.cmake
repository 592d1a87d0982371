# SPDX-License-Identifier: LGPL-2.1-or-later
# Cross build for 32-bit Windows with MinGW-w64; programs run under Wine.
#   cmake -S . -B build-win32 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake
set(CMAKE_SYSTEM_PROCESSOR x86)
set(NETID_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
