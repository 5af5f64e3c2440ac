# ctest: the manual page GROFF renders MAN_PAGE without any warning, its .TH
# line names version VERSION, and every option listed in the usage text of
# TOOL (lines "  -name ...") has an entry under OPTIONS.
foreach(var GROFF MAN_PAGE VERSION TOOL)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "${var} is not set")
  endif()
endforeach()

execute_process(COMMAND ${GROFF} -man -ww -z ${MAN_PAGE}
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0 OR NOT out STREQUAL "" OR NOT err STREQUAL "")
  message(FATAL_ERROR "groff -man -ww -z ${MAN_PAGE} (status ${rc}):\n${out}${err}")
endif()

file(STRINGS ${MAN_PAGE} th REGEX "^\\.TH ")
string(REPLACE "." "\\." version_re "${VERSION}")
if(NOT th MATCHES "\"Quarrix ${version_re}\"")
  message(FATAL_ERROR "the .TH line does not name version ${VERSION}: ${th}")
endif()

# The OPTIONS section: from ".SH OPTIONS" to the next ".SH".
file(READ ${MAN_PAGE} page)
string(FIND "${page}" "\n.SH OPTIONS\n" from)
if(from EQUAL -1)
  message(FATAL_ERROR "no OPTIONS section")
endif()
string(SUBSTRING "${page}" ${from} -1 options)
string(SUBSTRING "${options}" 1 -1 options)
string(FIND "${options}" "\n.SH " to)
string(SUBSTRING "${options}" 0 ${to} options)

execute_process(COMMAND ${TOOL} RESULT_VARIABLE rc OUTPUT_VARIABLE usage ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${TOOL} without arguments ended with status ${rc}: ${err}")
endif()
string(REGEX MATCHALL "\n  -[a-z]+" listed "${usage}")
if(NOT listed)
  message(FATAL_ERROR "no option found in the usage text:\n${usage}")
endif()
foreach(line IN LISTS listed)
  string(REGEX REPLACE "^\n  -" "" name "${line}")
  # An entry is a .TP tag such as ".B \-subdirs" or ".BI \-extract= KIND".
  if(NOT options MATCHES "\n\\.TP\n\\.BI? \\\\-${name}[= \n]")
    message(FATAL_ERROR "option -${name} of the usage text has no entry under OPTIONS")
  endif()
  message(STATUS "-${name}: documented")
endforeach()
