# SPDX-License-Identifier: LGPL-2.1-or-later
# Cross build for 64-bit Windows with MinGW-w64; programs run under Wine.
#   cmake -S . -B build-win64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(NETID_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
