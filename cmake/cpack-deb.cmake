# Run by cpack on the staged tree of the Debian package, before it is packed:
# Debian keeps manual pages gzipped (without a name or time stamp, so the
# bytes do not change from build to build) and a package's licence in
# share/doc/<package>/copyright.
set(root ${CPACK_TEMPORARY_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX})
set(page ${root}/share/man/man1/quarrix.1)
if(NOT EXISTS ${page})
  message(FATAL_ERROR "no manual page staged at ${page}")
endif()
execute_process(COMMAND gzip -9 -n -f ${page} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "gzip ${page} failed (${rc})")
endif()
file(COPY_FILE ${root}/share/doc/quarrix/LICENSE ${root}/share/doc/quarrix/copyright)
