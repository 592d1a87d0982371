# The packages `cpack` builds from the install rules of netid-install.cmake.
# On Linux, `cpack -G DEB` makes two Debian packages:
#   netid         setnetid and regctl, their man pages, regctl's bash completion,
#                 and the store's directories (made by the package's scripts)
#   libnetid-dev  the registry library, its headers, CMake package and pkg-config file
# Their dependencies are derived: the tools' from the libraries the programs
# load (dpkg-shlibdeps), the development package's from what the installed
# library links to (NETID_DEV_DEBIAN_DEPENDS, see netid-install.cmake).
set(CPACK_PACKAGE_NAME netid)
set(CPACK_PACKAGE_VENDOR netid)
set(CPACK_PACKAGE_CONTACT "netid maintainers <maintainers@netid.invalid>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Net ID tool and registry class")
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_COMPONENTS_ALL tools development)
set(CPACK_COMPONENT_TOOLS_DISPLAY_NAME "Tools")
set(CPACK_COMPONENT_DEVELOPMENT_DISPLAY_NAME "Development files")

if(NOT WIN32)
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

  set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME netid)
  set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION admin)
  set(CPACK_DEBIAN_TOOLS_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_TOOLS_PACKAGE_CONTROL_EXTRA
      ${PROJECT_SOURCE_DIR}/dist/debian/postinst ${PROJECT_SOURCE_DIR}/dist/debian/postrm)
  set(CPACK_DEBIAN_TOOLS_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
  set(CPACK_COMPONENT_TOOLS_DESCRIPTION
      "Net ID tool and registry command\n"
      "setnetid stores a machine's Net ID (the six-byte value AmsNetId) in the\n"
      "registry; regctl prepares and inspects the registry with the syntax and\n"
      "output of the Windows reg command. The registry is kept in\n"
      "/var/lib/netid/registry.")

  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libnetid-dev)
  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
  list(JOIN NETID_DEV_DEBIAN_DEPENDS ", " CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS)
  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_RECOMMENDS "netid (= ${PROJECT_VERSION})")
  set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION
      "Registry class of netid (development files)\n"
      "CRegistry, a general-purpose registry class with the Win32 registry\n"
      "interface beneath it, as a static library with its headers\n"
      "(<netid/registry/registry.h>), a CMake package (find_package(netid),\n"
      "target netid::registry) and a pkg-config file (netid).")
endif()

include(CPack)
