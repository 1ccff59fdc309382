# Installation of the programs, the connection library (static and shared),
# its public headers, the manual pages, a CMake package for find_package, a
# pkg-config file, and the Debian package made with cpack.
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
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${ORVACLIENT_INCLUDE_SUBDIR})
install(FILES ${ORVACONN_PUBLIC_HEADERS_CLIENT}
  DESTINATION ${ORVACLIENT_INCLUDE_SUBDIR}/client)
install(FILES ${ORVACONN_PUBLIC_HEADERS_DIGEST}
  DESTINATION ${ORVACLIENT_INCLUDE_SUBDIR}/digest)

# The programs and their manual pages.
install(TARGETS orvaclient RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES man/orvaclient.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES man/liborvaconn.3 DESTINATION ${CMAKE_INSTALL_MANDIR}/man3)
if(TARGET orvaserver-standin)
  install(TARGETS orvaserver-standin RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES man/orvaserver-standin.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  # The sample signature file, for integration tests against the stand-in.
  if(EXISTS ${PROJECT_SOURCE_DIR}/standin/signatures.txt)
    install(FILES standin/signatures.txt DESTINATION ${CMAKE_INSTALL_DATADIR}/orvaclient)
  endif()
endif()

# The mail filter, where it was built: a daemon, so in sbin with a page in
# section 8.
if(TARGET orvamilter)
  install(TARGETS orvamilter RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
  install(FILES man/orvamilter.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
endif()

# The README and the examples, as documentation.
set(ORVACLIENT_DOCDIR ${CMAKE_INSTALL_DATADIR}/doc/orvaclient)
install(FILES README.md DESTINATION ${ORVACLIENT_DOCDIR})
install(FILES examples/scan_file.c examples/scan_file.cpp examples/scan_many.c
  examples/CMakeLists.txt
  DESTINATION ${ORVACLIENT_DOCDIR}/examples)

# The CMake package: find_package(orvaclient) gives orvaclient::orvaconn (the
# shared library) and orvaclient::orvaconn_static.
set(ORVACLIENT_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/orvaclient)
install(EXPORT orvaclientTargets
  NAMESPACE orvaclient::
  DESTINATION ${ORVACLIENT_CMAKEDIR})
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
  DESTINATION ${ORVACLIENT_CMAKEDIR})

# pkg-config. The file finds its prefix from its own place, so one file serves
# every installation prefix (cmake --install --prefix, the Debian package).
set(ORVACLIENT_PKGCONFIGDIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH ORVACLIENT_PC_TO_PREFIX
  /prefix/${ORVACLIENT_PKGCONFIGDIR} /prefix)
string(REGEX REPLACE "/$" "" ORVACLIENT_PC_TO_PREFIX "${ORVACLIENT_PC_TO_PREFIX}")
configure_file(cmake/orvaclient.pc.in ${PROJECT_BINARY_DIR}/orvaclient.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/orvaclient.pc DESTINATION ${ORVACLIENT_PKGCONFIGDIR})

# The Debian package: cpack -G DEB in the build directory.
set(CPACK_PACKAGE_NAME orvaclient)
set(CPACK_PACKAGE_VENDOR "the orvaclient developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "client and C/C++ connection library for the orvaserver scanning server")
set(CPACK_PACKAGE_DESCRIPTION
  "orvaclient asks a local orvaserver anti-virus scanning server to scan (and
optionally cure) files, or checks that the server answers and lists its key
records. The package also holds liborvaconn, the C-linkage connection library
under the client (static and shared, with headers, a CMake package and a
pkg-config file), orvamilter, a mail filter for Postfix and Sendmail that
has every message scanned, and orvaserver-standin, a small scanning server
for integration tests.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "orvaclient developers <orvaclient@localhost>")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
# A shlibs file and the ldconfig trigger for the shared library.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
# dpkg-shlibdeps finds what the programs link, the mail-filter library of
# orvamilter included; without it the dependencies are named here.
find_program(ORVA_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(ORVA_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
elseif(TARGET orvamilter)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libmilter1.0.1")
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6")
endif()
include(CPack)
