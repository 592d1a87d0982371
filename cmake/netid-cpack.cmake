# SPDX-License-Identifier: LGPL-2.1-or-later
# The packages `cpack` builds from the install rules of netid-install.cmake.
# On Linux, `cpack -G DEB` makes the Debian packages that dpkg-buildpackage
# makes from debian/, from the same metadata (debian/control and
# debian/changelog, read by netid-debian.cmake):
#   netid         setnetid and regctl, their man pages, regctl's bash completion,
#                 and the store's directories (made by the package's scripts)
#   libnetid-dev  the registry library, its headers, CMake package and pkg-config file
#   netid-remote  the remote registry module, where it is built (the target
#                 netid_remote, with Samba's libraries)
# with a -dbgsym package of debug symbols beside each package holding
# programs. Their dependencies are derived: the programs' from the libraries
# they load (dpkg-shlibdeps), the development package's from what the
# installed library links to (NETID_DEV_DEBIAN_DEPENDS, see
# netid-install.cmake).
include(${CMAKE_CURRENT_LIST_DIR}/netid-debian.cmake)

set(CPACK_PACKAGE_NAME netid)
set(CPACK_PACKAGE_VENDOR netid)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_COMPONENTS_ALL tools development)
if(TARGET netid_remote)
  list(APPEND CPACK_COMPONENTS_ALL remote)
endif()
set(CPACK_COMPONENT_TOOLS_DISPLAY_NAME "Tools")
set(CPACK_COMPONENT_DEVELOPMENT_DISPLAY_NAME "Development files")
set(CPACK_COMPONENT_REMOTE_DISPLAY_NAME "Remote registry module (GPL-3.0-or-later as linked with Samba)")

if(NOT WIN32)
  netid_debian_read()
  if(NOT NETID_DEB_VERSION STREQUAL PROJECT_VERSION)
    message(FATAL_ERROR "debian/changelog is at version ${NETID_DEB_VERSION}, the project at "
                        "${PROJECT_VERSION}: add a changelog entry for this version.")
  endif()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_VERSION ${NETID_DEB_VERSION})
  set(CPACK_PACKAGE_CONTACT "${NETID_DEB_SOURCE_MAINTAINER}")
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${NETID_DEB_SOURCE_MAINTAINER}")
  set(CPACK_DEBIAN_PACKAGE_PRIORITY ${NETID_DEB_SOURCE_PRIORITY})
  set(CPACK_DEBIAN_PACKAGE_SECTION ${NETID_DEB_SOURCE_SECTION})
  set(CPACK_DEBIAN_PACKAGE_SOURCE ${NETID_DEB_SOURCE_SOURCE})
  # Debug symbols split out of the programs into -dbgsym packages, as
  # debhelper does (the build needs -g: RelWithDebInfo).
  set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)
  # Libraries and programs stripped of what debhelper strips.
  set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/netid-cpack-strip.cmake)
  set(CPACK_NETID_STRIP ${CMAKE_STRIP})
  set(CPACK_NETID_OBJCOPY ${CMAKE_OBJCOPY})

  # The copyright and changelog files of each package; debhelper, which
  # installs them itself, turns this off.
  option(NETID_PACKAGE_DOCS "Install each Debian package's copyright and changelog" ON)
  if(NETID_PACKAGE_DOCS)
    find_program(NETID_GZIP gzip REQUIRED)
    add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/debian-changelog/changelog.gz
                       COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/debian-changelog
                       COMMAND ${NETID_GZIP} -9 -n -c ${PROJECT_SOURCE_DIR}/debian/changelog
                               > ${PROJECT_BINARY_DIR}/debian-changelog/changelog.gz
                       DEPENDS ${PROJECT_SOURCE_DIR}/debian/changelog VERBATIM)
    add_custom_target(netid_debian_changelog ALL DEPENDS ${PROJECT_BINARY_DIR}/debian-changelog/changelog.gz)
  endif()

  # The component each package of debian/control is made from.
  set(netid_deb_component_netid tools)
  set(netid_deb_component_libnetid-dev development)
  set(netid_deb_component_netid-remote remote)
  foreach(package IN LISTS NETID_DEB_PACKAGES)
    if(NOT DEFINED netid_deb_component_${package})
      message(FATAL_ERROR "debian/control names the package ${package}, which no install component makes: "
                          "add it to ${CMAKE_CURRENT_LIST_FILE}.")
    endif()
    string(TOUPPER ${netid_deb_component_${package}} component)
    set(CPACK_DEBIAN_${component}_PACKAGE_NAME ${package})
    if(DEFINED NETID_DEB_${package}_SECTION)
      set(CPACK_DEBIAN_${component}_PACKAGE_SECTION ${NETID_DEB_${package}_SECTION})
    endif()
    # The summary on the first line, then the extended description, which
    # CPack indents again: as plain lines, with empty ones between paragraphs.
    string(REGEX REPLACE "\n \\.(\n|$)" "\n\n" description "${NETID_DEB_${package}_DESCRIPTION}")
    string(REGEX REPLACE "\n \\.(\n|$)" "\n\n" description "${description}")
    string(REPLACE "\n " "\n" description "${description}")
    set(CPACK_DEBIAN_${component}_DESCRIPTION "${description}")
    foreach(field DEPENDS RECOMMENDS SUGGESTS)
      netid_debian_relations(relations "${NETID_DEB_${package}_${field}}" ${NETID_DEB_VERSION})
      set(CPACK_DEBIAN_${component}_PACKAGE_${field} "${relations}")
    endforeach()
    # debhelper adds ${shlibs:Depends}: here dpkg-shlibdeps does.
    if(NETID_DEB_${package}_DEPENDS MATCHES "shlibs:Depends")
      set(CPACK_DEBIAN_${component}_PACKAGE_SHLIBDEPS ON)
    endif()
    # Each package's copyright and changelog, which debhelper installs from
    # debian/ when dpkg-buildpackage builds the packages.
    if(NETID_PACKAGE_DOCS AND (NOT component STREQUAL "REMOTE" OR TARGET netid_remote))
      install(FILES ${PROJECT_SOURCE_DIR}/debian/copyright ${PROJECT_BINARY_DIR}/debian-changelog/changelog.gz
              DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${netid_deb_component_${package}}
              EXCLUDE_FROM_ALL)
    endif()
    # The maintainer scripts of debian/, without debhelper's token.
    set(scripts "")
    foreach(script postinst postrm preinst prerm)
      set(source ${PROJECT_SOURCE_DIR}/debian/${package}.${script})
      if(EXISTS ${source})
        file(READ ${source} text)
        string(REPLACE "#DEBHELPER#\n" "" text "${text}")
        set(target ${PROJECT_BINARY_DIR}/debian-scripts/${package}/${script})
        file(CONFIGURE OUTPUT ${target} CONTENT "${text}" @ONLY)
        file(CHMOD ${target} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                         WORLD_READ WORLD_EXECUTE)
        list(APPEND scripts ${target})
      endif()
    endforeach()
    if(scripts)
      set(CPACK_DEBIAN_${component}_PACKAGE_CONTROL_EXTRA ${scripts})
      set(CPACK_DEBIAN_${component}_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
    endif()
  endforeach()
  list(JOIN NETID_DEV_DEBIAN_DEPENDS ", " dev_depends)
  if(dev_depends)
    if(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS)
      string(APPEND CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS ", ${dev_depends}")
    else()
      set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "${dev_depends}")
    endif()
  endif()
endif()

include(CPack)
