# Distribution: the manual page, the API reference target and the Debian
# packages built by `cpack -G DEB`.
#
# Three packages, one per install component:
#   libquill1     component runtime      the shared library under its soname
#   libquill-dev  component development  headers, CMake package, quill.pc and
#                                        the unversioned libquill.so link
#   quill-tools   component tools        /usr/sbin/mklocalhostrev and its manual
#
# Configure the build that makes packages with -DCMAKE_INSTALL_PREFIX=/usr:
# GNUInstallDirs then puts the library under the multiarch directory, and
# quill.pc and the CMake package name the paths the packages install to.

set(QUILL_LICENSE "MIT" CACHE STRING "Short name of the license in LICENSE, for the packages")
set(QUILL_PACKAGE_MAINTAINER "Quill developers <quill@localhost>"
  CACHE STRING "Maintainer field of the Debian packages")

# The manual page, compressed as Debian ships manual pages. -n keeps the time
# stamp out of the archive so that two builds give the same bytes.
find_program(QUILL_GZIP gzip REQUIRED)
set(quill_man_page ${PROJECT_BINARY_DIR}/docs/mklocalhostrev.8.gz)
add_custom_command(OUTPUT ${quill_man_page}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/docs
  COMMAND ${QUILL_GZIP} -9nc ${PROJECT_SOURCE_DIR}/docs/mklocalhostrev.8 > ${quill_man_page}
  DEPENDS ${PROJECT_SOURCE_DIR}/docs/mklocalhostrev.8
  COMMENT "Compressing the mklocalhostrev(8) manual page"
  VERBATIM)
add_custom_target(quill_man_page ALL DEPENDS ${quill_man_page})
install(FILES ${quill_man_page}
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man8
  COMPONENT tools)

# The API reference: `cmake --build <dir> --target docs` writes
# <dir>/docs/api/html/index.html. scripts/check-docs runs the same Doxyfile
# with warnings as errors.
find_program(QUILL_DOXYGEN doxygen)
if(QUILL_DOXYGEN)
  add_custom_target(docs
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/docs/api
    COMMAND ${CMAKE_COMMAND} -E env
      QUILL_DOCS_DIR=${PROJECT_BINARY_DIR}/docs/api
      QUILL_VERSION=${PROJECT_VERSION}
      ${QUILL_DOXYGEN} ${PROJECT_SOURCE_DIR}/docs/Doxyfile
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
    COMMENT "Building the API reference in ${PROJECT_BINARY_DIR}/docs/api/html"
    VERBATIM)
endif()

# The copyright file every Debian package carries, in the machine-readable
# format: its License field names the license and is followed by the text of
# LICENSE, each line indented by one blank and empty lines written as " .".
set(quill_copyright ${PROJECT_BINARY_DIR}/packaging/copyright)
file(STRINGS ${PROJECT_SOURCE_DIR}/LICENSE quill_license_lines)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/LICENSE)
set(quill_license_text "")
foreach(line IN LISTS quill_license_lines)
  if(line STREQUAL "")
    string(APPEND quill_license_text " .\n")
  else()
    string(APPEND quill_license_text " ${line}\n")
  endif()
endforeach()
file(WRITE ${quill_copyright}
  "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
  "Upstream-Name: quill\n"
  "\n"
  "Files: *\n"
  "Copyright: The Quill developers\n"
  "License: ${QUILL_LICENSE}\n"
  "${quill_license_text}")
foreach(package_and_component libquill1:runtime libquill-dev:development quill-tools:tools)
  string(REPLACE ":" ";" pair ${package_and_component})
  list(GET pair 0 package)
  list(GET pair 1 component)
  install(FILES ${quill_copyright}
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package}
    COMPONENT ${component})
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quill)
set(CPACK_PACKAGE_VENDOR "Quill developers")
set(CPACK_PACKAGE_CONTACT ${QUILL_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# Each package has a synopsis of its own (its description's first line); an
# empty project-wide summary keeps CPack from putting one line above all three.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime development tools)
set(CPACK_COMPONENT_DEVELOPMENT_DEPENDS runtime)
set(CPACK_COMPONENT_TOOLS_DEPENDS runtime)
# A package that depends on another component's package depends on exactly
# this version of it: the three are built from one tree.
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${QUILL_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# All three come from one source tree.
set(CPACK_DEBIAN_PACKAGE_SOURCE quill)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# dpkg-shlibdeps computes the libraries the binaries need (libc6, libstdc++6,
# Boost.System); the dependency on libquill1 comes from the component
# dependencies above.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# mklocalhostrev links libquill.so.1, which no installed package provides yet:
# let dpkg-shlibdeps find it where the build put it.
get_target_property(quill_library_dir quill LIBRARY_OUTPUT_DIRECTORY)
if(NOT quill_library_dir)
  get_target_property(quill_library_dir quill BINARY_DIR)
endif()
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${quill_library_dir})

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libquill1)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "utility library of the hosting panel
Runtime configuration, host name lookup, logging, error classes,
safekeeping of hand-edited system files, temporary files and running
programs with pipelines and output capture.")
# The shlibs file lets other packages that link libquill.so.1 depend on
# libquill1 through dpkg-shlibdeps. Only libquill1 holds a shared library, so
# only it gets one; CPack adds the ldconfig calls to its maintainer scripts.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libquill-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "libboost-dev (>= 1.74)")
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION "utility library of the hosting panel - development files
Headers under /usr/include/quill, the CMake package (find_package(quill)
gives the target quill::quill) and the pkg-config file quill.pc.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME quill-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "localhost reverse zone writer of the hosting panel
mklocalhostrev writes the 0.0.127.in-addr.arpa zone into the chroot of the
name server, naming the host's FQDN, and saves a copy of a zone file that
was edited by hand before replacing it.")

include(CPack)
