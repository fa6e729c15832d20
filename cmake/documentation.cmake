# The documentation that is built and installed with the project: the
# mklocalhostrev(8) manual page and the API reference target.

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
