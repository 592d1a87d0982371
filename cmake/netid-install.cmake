# SPDX-License-Identifier: LGPL-2.1-or-later
# What `cmake --install` puts where: the tools, the registry library with the
# framework and platform parts it needs, its public headers under
# include/netid/, the CMake package (find_package(netid) gives netid::registry),
# the pkg-config file, and on Linux the man pages, the bash completion and the
# store's directories. The Debian packages are described in netid-cpack.cmake.
# A project that adds this tree with add_subdirectory gets the same names:
# the targets netid::registry and so on, and #include <netid/...>; the install
# rules are then left out unless NETID_INSTALL asks for them.
# Libraries go to the multiarch directory: the top-level CMakeLists.txt
# decides CMAKE_INSTALL_LIBDIR before anything includes GNUInstallDirs.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

option(NETID_INSTALL "Install rules for the tools and the library" ${PROJECT_IS_TOP_LEVEL})
set(netid_library_targets registry framework platform)
set(NETID_CMAKE_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/netid)

# In the build tree, include/netid/ links to the header directories, so that
# <netid/registry/registry.h> is found there as it is once installed.
set(netid_build_includes ${PROJECT_BINARY_DIR}/include)
file(MAKE_DIRECTORY ${netid_build_includes}/netid)
foreach(dir registry framework platform)
  if(NOT EXISTS ${netid_build_includes}/netid/${dir})
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${dir} ${netid_build_includes}/netid/${dir} SYMBOLIC COPY_ON_ERROR)
  endif()
endforeach()

# The modern C++ interface, <netid/registry.hpp>, is a header of its own.
if(NOT EXISTS ${netid_build_includes}/netid/registry.hpp)
  file(CREATE_LINK ${PROJECT_SOURCE_DIR}/include/netid/registry.hpp ${netid_build_includes}/netid/registry.hpp
       SYMBOLIC COPY_ON_ERROR)
endif()

# Installed archives get the project's name in front: libnetid-registry.a.
foreach(target IN LISTS netid_library_targets)
  get_target_property(type ${target} TYPE)
  if(NOT type STREQUAL "INTERFACE_LIBRARY")
    set_target_properties(${target} PROPERTIES OUTPUT_NAME netid-${target})
  endif()
  set_target_properties(${target} PROPERTIES EXPORT_NAME ${target})
  # Include directories that point into this tree hold only while building;
  # installed, the headers are found beneath <prefix>/include as <netid/...>.
  get_target_property(dirs ${target} INTERFACE_INCLUDE_DIRECTORIES)
  if(dirs)
    set(wrapped "")
    foreach(dir IN LISTS dirs)
      if(dir MATCHES "^(${PROJECT_SOURCE_DIR}|${PROJECT_BINARY_DIR})(/|$)")
        list(APPEND wrapped "$<BUILD_INTERFACE:${dir}>")
      else()
        list(APPEND wrapped "${dir}")
      endif()
    endforeach()
    set_target_properties(${target} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "${wrapped}")
  endif()
endforeach()
foreach(target IN LISTS netid_library_targets)
  target_include_directories(${target} INTERFACE $<BUILD_INTERFACE:${netid_build_includes}>
                                                 $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  # Namespaced names for projects that add this tree with add_subdirectory.
  add_library(netid::${target} ALIAS ${target})
endforeach()
if(NOT NETID_INSTALL)
  return()
endif()

# ---------------------------------------------------------------- what the library links to
# Each library an installed target links to, and how a consumer gets it:
# the lines netid-config.cmake needs, the pkg-config module (or flags), and
# the Debian package with its development files. The list is read off the
# targets themselves below, so a dependency that goes away stops being asked
# for; a new one must be described here.
function(netid_describe_dependency item)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "PKGCONFIG;LIBS;DEBIAN" "CMAKE")
  set_property(GLOBAL PROPERTY netid_dep_cmake_${item} "${arg_CMAKE}")
  set_property(GLOBAL PROPERTY netid_dep_pkgconfig_${item} "${arg_PKGCONFIG}")
  set_property(GLOBAL PROPERTY netid_dep_libs_${item} "${arg_LIBS}")
  set_property(GLOBAL PROPERTY netid_dep_debian_${item} "${arg_DEBIAN}")
  set_property(GLOBAL APPEND PROPERTY netid_described_dependencies ${item})
endfunction()

netid_describe_dependency(Threads::Threads
  CMAKE "set(THREADS_PREFER_PTHREAD_FLAG ON)" "find_dependency(Threads)" LIBS -pthread)

set(netid_config_dependencies "")
set(netid_pc_requires "")
set(netid_pc_libs "")
set(NETID_DEV_DEBIAN_DEPENDS "")
get_property(described GLOBAL PROPERTY netid_described_dependencies)
foreach(target IN LISTS netid_library_targets)
  get_target_property(items ${target} INTERFACE_LINK_LIBRARIES)
  if(NOT items)
    continue()
  endif()
  foreach(item IN LISTS items)
    string(REGEX REPLACE "^\\$<LINK_ONLY:(.*)>$" "\\1" item "${item}")
    if(item IN_LIST netid_library_targets)
      continue()
    endif()
    if(item IN_LIST described)
      get_property(lines GLOBAL PROPERTY netid_dep_cmake_${item})
      foreach(line IN LISTS lines)
        string(APPEND netid_config_dependencies "${line}\n")
      endforeach()
      get_property(module GLOBAL PROPERTY netid_dep_pkgconfig_${item})
      get_property(libs GLOBAL PROPERTY netid_dep_libs_${item})
      get_property(debian GLOBAL PROPERTY netid_dep_debian_${item})
      list(APPEND netid_pc_requires ${module})
      list(APPEND netid_pc_libs ${libs})
      list(APPEND NETID_DEV_DEBIAN_DEPENDS ${debian})
    elseif(TARGET ${item} OR item MATCHES "::|[$<>]")
      message(FATAL_ERROR "netid links to ${item}: describe it with netid_describe_dependency() "
                          "in ${CMAKE_CURRENT_LIST_FILE}, so that installed consumers find it too.")
    else()
      # A plain system library (advapi32, dl, ...) or a full path.
      if(IS_ABSOLUTE "${item}" OR item MATCHES "^-")
        list(APPEND netid_pc_libs "${item}")
      else()
        list(APPEND netid_pc_libs "-l${item}")
      endif()
    endif()
  endforeach()
endforeach()
list(REMOVE_DUPLICATES netid_pc_requires)
list(REMOVE_DUPLICATES netid_pc_libs)
list(REMOVE_DUPLICATES NETID_DEV_DEBIAN_DEPENDS)
list(JOIN netid_pc_requires " " NETID_PC_REQUIRES)
list(JOIN netid_pc_libs " " NETID_PC_EXTRA_LIBS)
set(NETID_CONFIG_DEPENDENCIES "${netid_config_dependencies}")
get_target_property(type platform TYPE)
if(type STREQUAL "INTERFACE_LIBRARY")
  set(NETID_PC_PLATFORM_LIB "")
else()
  set(NETID_PC_PLATFORM_LIB -lnetid-platform)
endif()

# ---------------------------------------------------------------- programs and library
install(TARGETS setnetid regctl RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
install(TARGETS ${netid_library_targets} EXPORT netid-targets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)

# The public headers, each beside the ones it includes by relative path.
install(FILES include/netid/registry.hpp DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/netid COMPONENT development)
install(FILES registry/registry.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/netid/registry COMPONENT development)
install(FILES framework/afx.h framework/app.h framework/arrays.h framework/object.h framework/string.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/netid/framework COMPONENT development)
install(FILES platform/win32.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/netid/platform COMPONENT development)
if(NOT WIN32)
  install(FILES platform/posix/windows.h
          DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/netid/platform/posix COMPONENT development)
endif()

install(EXPORT netid-targets NAMESPACE netid:: DESTINATION ${NETID_CMAKE_INSTALL_DIR} COMPONENT development)
configure_package_config_file(cmake/netid-config.cmake.in ${PROJECT_BINARY_DIR}/netid-config.cmake
                              INSTALL_DESTINATION ${NETID_CMAKE_INSTALL_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/netid-config-version.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/netid-config.cmake ${PROJECT_BINARY_DIR}/netid-config-version.cmake
        DESTINATION ${NETID_CMAKE_INSTALL_DIR} COMPONENT development)

# pkg-config: written when installing, with the prefix installed to (which
# `cmake --install --prefix` and the packages choose), so that its flags are
# plain absolute paths and the file sits in the multiarch directory, as
# cross-compiling needs.
set(netid_pc_dir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
set(NETID_PC_PREFIX "@NETID_PC_PREFIX@")  # filled in when installing
configure_file(cmake/netid.pc.in ${PROJECT_BINARY_DIR}/netid.pc.in @ONLY)
install(CODE "
  file(READ \"${PROJECT_BINARY_DIR}/netid.pc.in\" netid_pc)
  string(REPLACE \"@NETID_PC_PREFIX@\" \"\${CMAKE_INSTALL_PREFIX}\" netid_pc \"\${netid_pc}\")
  file(MAKE_DIRECTORY \"${PROJECT_BINARY_DIR}/pkgconfig-install\")
  file(WRITE \"${PROJECT_BINARY_DIR}/pkgconfig-install/netid.pc\" \"\${netid_pc}\")
  " COMPONENT development)
install(FILES ${PROJECT_BINARY_DIR}/pkgconfig-install/netid.pc DESTINATION ${netid_pc_dir} COMPONENT development)

# ---------------------------------------------------------------- Linux: documentation and the store
if(NOT WIN32)
  find_program(NETID_GZIP gzip)
  foreach(page setnetid.1 regctl.1)
    if(NETID_GZIP)
      add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/man/${page}.gz
                         COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
                         COMMAND ${NETID_GZIP} -9 -n -c ${PROJECT_SOURCE_DIR}/dist/man/${page}
                                 > ${PROJECT_BINARY_DIR}/man/${page}.gz
                         DEPENDS ${PROJECT_SOURCE_DIR}/dist/man/${page} VERBATIM)
      list(APPEND netid_man_pages ${PROJECT_BINARY_DIR}/man/${page}.gz)
    else()
      list(APPEND netid_man_pages ${PROJECT_SOURCE_DIR}/dist/man/${page})
    endif()
  endforeach()
  add_custom_target(netid_man_pages ALL DEPENDS ${netid_man_pages})
  install(FILES ${netid_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
  install(FILES dist/bash-completion/regctl
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions COMPONENT tools)
  # The store's directories, made at boot and by the package's scripts
  # (/usr/lib/tmpfiles.d when the prefix is /usr).
  install(FILES dist/tmpfiles.d/netid.conf DESTINATION lib/tmpfiles.d COMPONENT tools)
endif()
