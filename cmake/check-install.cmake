# ctest: `cmake --install BUILD_DIR` into a fresh DESTDIR under SCRATCH puts
# exactly the program, the manual page, README and LICENSE under the prefix,
# and the installed program runs.
foreach(var BUILD_DIR SCRATCH)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "${var} is not set")
  endif()
endforeach()

file(REMOVE_RECURSE ${SCRATCH})
set(ENV{DESTDIR} ${SCRATCH})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix /opt/qx
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed (${rc}):\n${out}${err}")
endif()

file(GLOB_RECURSE got LIST_DIRECTORIES false RELATIVE ${SCRATCH} ${SCRATCH}/*)
list(SORT got)
set(want
  opt/qx/bin/quarrix
  opt/qx/share/doc/quarrix/LICENSE
  opt/qx/share/doc/quarrix/README.md
  opt/qx/share/man/man1/quarrix.1)
if(NOT got STREQUAL want)
  message(FATAL_ERROR "installed:\n  ${got}\nexpected:\n  ${want}")
endif()
# The installed program runs: without arguments it prints its usage text.
execute_process(COMMAND ${SCRATCH}/opt/qx/bin/quarrix
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0 OR NOT out MATCHES "Usage: quarrix ")
  message(FATAL_ERROR "the installed bin/quarrix did not print its usage (${rc}):\n${out}${err}")
endif()
file(REMOVE_RECURSE ${SCRATCH})
