# SPDX-License-Identifier: LGPL-2.1-or-later
# The Debian packages' metadata, read from debian/control and
# debian/changelog: the one place it is written. dpkg-buildpackage reads
# those files itself; CPack (netid-cpack.cmake) is given the same from here.
#
# netid_debian_read() sets, for each binary package P of debian/control:
#   NETID_DEB_PACKAGES            the packages' names, in order
#   NETID_DEB_<P>_<FIELD>         each field (Section, Depends, Description, ...),
#                                 the field name upper-cased, '-' as '_'
# and from the source stanza NETID_DEB_SOURCE_<FIELD>, and
# NETID_DEB_VERSION from the newest entry of debian/changelog.

function(netid_debian_read)
  file(READ ${PROJECT_SOURCE_DIR}/debian/control control)
  string(REPLACE ";" "<semicolon>" control "${control}")
  string(REPLACE "\n" ";" lines "${control}\n")
  set(packages "")
  set(prefix "")
  set(_netid_field "")
  foreach(line IN LISTS lines)
    string(REPLACE "<semicolon>" ";" line "${line}")
    if(line MATCHES "^[ \t]*$")
      set(prefix "")  # the end of a stanza
      set(_netid_field "")
      continue()
    elseif(line MATCHES "^#")
      continue()
    endif()
    if(prefix STREQUAL "")
      if(line MATCHES "^Source:")
        set(prefix NETID_DEB_SOURCE)
      elseif(line MATCHES "^Package:[ \t]*([a-z0-9.+-]+)")
        set(prefix NETID_DEB_${CMAKE_MATCH_1})
        list(APPEND packages ${CMAKE_MATCH_1})
      else()
        message(FATAL_ERROR "debian/control: a stanza begins with neither Source nor Package: ${line}")
      endif()
      set(${prefix}_FIELDS "")
    endif()
    if(line MATCHES "^([A-Za-z0-9-]+):[ \t]*(.*)$")
      string(TOUPPER "${CMAKE_MATCH_1}" _netid_field)
      string(REPLACE "-" "_" _netid_field "${_netid_field}")
      set(${prefix}_${_netid_field} "${CMAKE_MATCH_2}")
      list(APPEND ${prefix}_FIELDS ${_netid_field})
    elseif(_netid_field)
      # A continuation line, kept as it stands (a Description's lines).
      string(APPEND ${prefix}_${_netid_field} "\n${line}")
    endif()
  endforeach()
  foreach(name IN LISTS packages ITEMS SOURCE)
    set(prefix NETID_DEB_${name})
    foreach(field IN LISTS ${prefix}_FIELDS)
      set(${prefix}_${field} "${${prefix}_${field}}" PARENT_SCOPE)
    endforeach()
  endforeach()
  set(NETID_DEB_PACKAGES "${packages}" PARENT_SCOPE)

  file(STRINGS ${PROJECT_SOURCE_DIR}/debian/changelog first LIMIT_COUNT 1)
  if(NOT first MATCHES "^[a-z0-9.+-]+ \\(([^)]+)\\)")
    message(FATAL_ERROR "debian/changelog: no version on its first line")
  endif()
  set(NETID_DEB_VERSION ${CMAKE_MATCH_1} PARENT_SCOPE)
endfunction()

# A relation field of debian/control (Depends, Recommends, ...) as CPack
# takes it: the substitution variables that debhelper fills in are left out
# (CPack derives the shared-library ones itself), ${binary:Version} is the
# package version.
function(netid_debian_relations out text version)
  string(REPLACE "\n" " " text "${text}")
  string(REPLACE "," ";" items "${text}")
  set(result "")
  foreach(item IN LISTS items)
    string(STRIP "${item}" item)
    string(REPLACE "\${binary:Version}" "${version}" item "${item}")
    if(item STREQUAL "" OR item MATCHES "\\$\\{")
      continue()
    endif()
    list(APPEND result "${item}")
  endforeach()
  list(JOIN result ", " result)
  set(${out} "${result}" PARENT_SCOPE)
endfunction()
