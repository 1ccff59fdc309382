# Installation of the programs, the connection library (static and shared),
# its public headers, the manual pages, a CMake package for find_package, a
# pkg-config file, and the Debian packages made with cpack, one per install
# component:
#
#   orvaclient          (client)       the command-line client
#   liborvaconn1        (library)      the shared connection library
#   liborvaconn-dev     (development)  headers, static library, CMake and
#                                      pkg-config files, examples
#   orvaserver-standin  (standin)      the stand-in scanning server
#   orvamilter          (milter)       the mail filter, its service and the
#                                      scripts that make its user and folders
#
#   cmake --install BUILD --prefix PREFIX
#   cd BUILD && cpack -G DEB
#
# Included at the end of the top CMakeLists.txt, after every target exists.

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

if(NOT PROJECT_VERSION)
  set(PROJECT_VERSION 1.0.0)
endif()

# The headers of the C API (ORVACONN_PUBLIC_HEADERS_*, cmake/PublicApi.cmake).
# They include one another as "client/..." and "digest/...", so they are
# installed with those prefixes under include/orvaclient, which becomes the
# include directory of the package.
set(ORVACLIENT_INCLUDE_SUBDIR ${CMAKE_INSTALL_INCLUDEDIR}/orvaclient)

# In the build tree the library's users include from the source tree; once
# installed, from include/orvaclient.
set_property(TARGET orvaconn PROPERTY INTERFACE_INCLUDE_DIRECTORIES
  "$<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>")
set_target_properties(orvaconn PROPERTIES EXPORT_NAME orvaconn_static)

# The shared library. Its headers carry no export attributes, so a linker
# version script made from the public headers (cmake/PublicApi.cmake) decides
# what is exported: the functions that the headers declare and nothing else
# (no C++ internals).
option(ORVA_BUILD_SHARED "Build the shared connection library" ON)
if(ORVA_BUILD_SHARED)
  add_library(orvaconn_shared SHARED ${ORVACONN_SOURCES})
  target_include_directories(orvaconn_shared
    PUBLIC "$<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>")
  # Built like the static library (no exceptions, no RTTI).
  target_compile_options(orvaconn_shared PRIVATE ${ORVA_PRODUCT_FLAGS})
  set_target_properties(orvaconn_shared PROPERTIES
    OUTPUT_NAME orvaconn
    EXPORT_NAME orvaconn
    VERSION ${PROJECT_VERSION}
    SOVERSION ${PROJECT_VERSION_MAJOR}
    LINK_DEPENDS ${ORVACONN_VERSION_SCRIPT})
  target_link_options(orvaconn_shared PRIVATE
    "LINKER:--version-script=${ORVACONN_VERSION_SCRIPT}")
  if(NOT ORVA_SANITIZE)
    # Every symbol the library needs must come from its own objects or the
    # libraries it names (the sanitizer runtimes live in the executables).
    target_link_options(orvaconn_shared PRIVATE "LINKER:--no-undefined")
  endif()
  set(_orva_libraries orvaconn_shared)
endif()

install(TARGETS orvaconn ${_orva_libraries}
  EXPORT orvaclientTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT library
    NAMELINK_COMPONENT development
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT library
  INCLUDES DESTINATION ${ORVACLIENT_INCLUDE_SUBDIR})
install(FILES ${ORVACONN_PUBLIC_HEADERS_CLIENT}
  DESTINATION ${ORVACLIENT_INCLUDE_SUBDIR}/client COMPONENT development)
install(FILES ${ORVACONN_PUBLIC_HEADERS_DIGEST}
  DESTINATION ${ORVACLIENT_INCLUDE_SUBDIR}/digest COMPONENT development)

# The programs and their manual pages.
install(TARGETS orvaclient RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT client)
install(FILES man/orvaclient.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT client)
install(FILES man/liborvaconn.3 DESTINATION ${CMAKE_INSTALL_MANDIR}/man3 COMPONENT development)
set(_orva_components client library development)
if(TARGET orvaserver-standin)
  list(APPEND _orva_components standin)
  install(TARGETS orvaserver-standin RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
    COMPONENT standin)
  install(FILES man/orvaserver-standin.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
    COMPONENT standin)
  # The sample signature file, for integration tests against the stand-in.
  if(EXISTS ${PROJECT_SOURCE_DIR}/standin/signatures.txt)
    install(FILES standin/signatures.txt DESTINATION ${CMAKE_INSTALL_DATADIR}/orvaclient
      COMPONENT standin)
  endif()
endif()

# The mail filter, where it was built: a daemon, so in sbin with a page in
# section 8. Its service and its settings for the service are for the Debian
# package alone (EXCLUDE_FROM_ALL: a plain cmake --install leaves them out,
# since /etc is not under the prefix).
if(TARGET orvamilter)
  list(APPEND _orva_components milter)
  install(TARGETS orvamilter RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR} COMPONENT milter)
  install(FILES man/orvamilter.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8 COMPONENT milter)
  install(FILES packaging/orvamilter.service DESTINATION lib/systemd/system
    COMPONENT milter EXCLUDE_FROM_ALL)
  install(FILES packaging/orvamilter.default DESTINATION /etc/default RENAME orvamilter
    COMPONENT milter EXCLUDE_FROM_ALL)
endif()

# The README, and the examples as documentation of the library.
set(ORVACLIENT_DOCDIR ${CMAKE_INSTALL_DATADIR}/doc/orvaclient)
install(FILES README.md DESTINATION ${ORVACLIENT_DOCDIR} COMPONENT client)
install(FILES examples/scan_file.c examples/scan_file.cpp examples/scan_many.c
  examples/CMakeLists.txt
  DESTINATION ${ORVACLIENT_DOCDIR}/examples COMPONENT development)
install(FILES examples/haproxy/haproxy.cfg
  DESTINATION ${ORVACLIENT_DOCDIR}/examples/haproxy COMPONENT client)

# The CMake package: find_package(orvaclient) gives orvaclient::orvaconn (the
# shared library) and orvaclient::orvaconn_static.
set(ORVACLIENT_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/orvaclient)
install(EXPORT orvaclientTargets
  NAMESPACE orvaclient::
  DESTINATION ${ORVACLIENT_CMAKEDIR}
  COMPONENT development)
configure_package_config_file(cmake/orvaclientConfig.cmake.in
  ${PROJECT_BINARY_DIR}/orvaclientConfig.cmake
  INSTALL_DESTINATION ${ORVACLIENT_CMAKEDIR}
  PATH_VARS CMAKE_INSTALL_BINDIR)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/orvaclientConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/orvaclientConfig.cmake
  ${PROJECT_BINARY_DIR}/orvaclientConfigVersion.cmake
  DESTINATION ${ORVACLIENT_CMAKEDIR}
  COMPONENT development)

# pkg-config. The file finds its prefix from its own place, so one file serves
# every installation prefix (cmake --install --prefix, the Debian package).
set(ORVACLIENT_PKGCONFIGDIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH ORVACLIENT_PC_TO_PREFIX
  /prefix/${ORVACLIENT_PKGCONFIGDIR} /prefix)
string(REGEX REPLACE "/$" "" ORVACLIENT_PC_TO_PREFIX "${ORVACLIENT_PC_TO_PREFIX}")
configure_file(cmake/orvaclient.pc.in ${PROJECT_BINARY_DIR}/orvaclient.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/orvaclient.pc DESTINATION ${ORVACLIENT_PKGCONFIGDIR}
  COMPONENT development)

# The Debian packages: cpack -G DEB in the build directory.
set(CPACK_PACKAGE_NAME orvaclient)
set(CPACK_PACKAGE_VENDOR "the orvaclient developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "client and C/C++ connection library for the orvaserver scanning server")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${_orva_components})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "orvaclient developers <orvaclient@localhost>")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://localhost/orvaclient")
set(CPACK_STRIP_FILES ON)
# dpkg-shlibdeps finds what each package's programs link (the mail-filter
# library of orvamilter included); without it the dependencies are named.
find_program(ORVA_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(ORVA_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_CLIENT_PACKAGE_DEPENDS "libc6")
  set(CPACK_DEBIAN_LIBRARY_PACKAGE_DEPENDS "libc6, libstdc++6")
  set(CPACK_DEBIAN_STANDIN_PACKAGE_DEPENDS "libc6, libstdc++6")
  set(CPACK_DEBIAN_MILTER_PACKAGE_DEPENDS "libc6, libstdc++6, libmilter1.0.1")
endif()

set(CPACK_DEBIAN_CLIENT_PACKAGE_NAME orvaclient)
set(CPACK_DEBIAN_CLIENT_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_CLIENT_DESCRIPTION
  "command-line client of the orvaserver anti-virus scanning server
 orvaclient asks a local orvaserver scanning server to scan (and optionally
 cure) files, prints one line per file and exits with a status that scripts
 and mail filters act on, or checks that the server answers.")

set(CPACK_DEBIAN_LIBRARY_PACKAGE_NAME liborvaconn1)
set(CPACK_DEBIAN_LIBRARY_PACKAGE_SECTION libs)
# A shlibs file and the ldconfig trigger for the shared library.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_LIBRARY_DESCRIPTION
  "connection library for the orvaserver scanning server
 liborvaconn speaks the scanning server's protocol over its Unix socket or
 over TCP, with a plain C interface. This package holds the shared library.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME liborvaconn-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "liborvaconn1 (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION
  "connection library for the orvaserver scanning server (development files)
 The C99 headers of liborvaconn, its static library, the CMake package
 (find_package(orvaclient)), a pkg-config file and two example programs.")

set(CPACK_DEBIAN_STANDIN_PACKAGE_NAME orvaserver-standin)
set(CPACK_DEBIAN_STANDIN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_STANDIN_DESCRIPTION
  "small scanning server for integration tests
 orvaserver-standin speaks the orvaserver protocol, finds the standard
 anti-virus test file and the patterns of a signature file, cures what it can
 and has fault modes for testing how scripts and programs cope.")

set(CPACK_DEBIAN_MILTER_PACKAGE_NAME orvamilter)
set(CPACK_DEBIAN_MILTER_PACKAGE_SECTION mail)
set(CPACK_DEBIAN_MILTER_PACKAGE_SUGGESTS "postfix")
set(CPACK_DEBIAN_MILTER_DESCRIPTION
  "mail filter that has every message scanned by orvaserver
 orvamilter is a milter for Postfix and Sendmail: it writes each message to a
 private spool file, has the scanning server scan it, and tells the mail
 server to accept, reject, quarantine, discard or defer it. The package runs
 it as a service under a system user and group of its own.")
# The maintainer scripts go into the package under their Debian names.
foreach(_script postinst prerm postrm conffiles)
  configure_file(packaging/orvamilter.${_script}
    ${PROJECT_BINARY_DIR}/debian-orvamilter/${_script} COPYONLY)
  list(APPEND _orva_milter_control ${PROJECT_BINARY_DIR}/debian-orvamilter/${_script})
endforeach()
set(CPACK_DEBIAN_MILTER_PACKAGE_CONTROL_EXTRA ${_orva_milter_control})
include(CPack)
