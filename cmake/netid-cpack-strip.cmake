# SPDX-License-Identifier: LGPL-2.1-or-later
# Run by CPack on the staged files before it makes the packages, to treat
# them as debhelper's dh_strip treats the files of Debian's packages:
# - the static libraries lose their debug information and the sections a
#   program never needs (.comment, .note), in a reproducible archive;
# - the programs lose those sections too; their debug information is left
#   for CPack to move into the -dbgsym package.
file(GLOB_RECURSE files LIST_DIRECTORIES false "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
foreach(file IN LISTS files)
  if(IS_SYMLINK "${file}")
    continue()
  endif()
  if(file MATCHES "\\.a$")
    set(command "${CPACK_NETID_STRIP}" --strip-debug --remove-section=.comment --remove-section=.note
                --enable-deterministic-archives "${file}")
  else()
    file(READ "${file}" magic LIMIT 4 HEX)
    if(NOT magic STREQUAL "7f454c46")
      continue()
    endif()
    set(command "${CPACK_NETID_OBJCOPY}" --remove-section=.comment --remove-section=.note "${file}")
  endif()
  execute_process(COMMAND ${command} RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${command} failed")
  endif()
endforeach()
