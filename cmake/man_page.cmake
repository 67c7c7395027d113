# Script mode: the man page of one program, made by help2man from its --help and --version.
#   cmake -DTOOL=<program> -DNAME=<name> -DVERSION=<x.yy> -DDESCRIPTION=<one line>
#         -DHELP2MAN=<help2man> -DGZIP=<gzip> -DOUT_DIR=<folder> -P man_page.cmake
# Writes OUT_DIR/NAME.1.gz, and OUT_DIR/NAME.status: "made", or "skipped: <why>" for a program
# that does not answer --version with "NAME VERSION" yet. The program runs only when its
# binary names both options, so a program that would take them for something else (korvo
# itself before it knew them: any argument starts a port scan and a key wait) is never
# started. Even then it runs with its standard input at its end, every KORVO_COM<n> port
# pointing nowhere and a time limit.
cmake_minimum_required(VERSION 3.25)

foreach(var TOOL NAME VERSION DESCRIPTION HELP2MAN GZIP OUT_DIR)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "man_page.cmake needs -D${var}=...")
  endif()
endforeach()

set(page ${OUT_DIR}/${NAME}.1)
set(status_file ${OUT_DIR}/${NAME}.status)
file(REMOVE ${page} ${page}.gz ${status_file})

function(skip why)
  file(WRITE ${status_file} "skipped: ${why}\n")
  message(STATUS "No man page for ${NAME}: ${why}")
endfunction()

file(STRINGS ${TOOL} help_text REGEX "--help" LIMIT_COUNT 1)
file(STRINGS ${TOOL} version_text REGEX "--version" LIMIT_COUNT 1)
if(NOT help_text OR NOT version_text)
  skip("the program knows no --help and --version")
  return()
endif()

foreach(n RANGE 1 99)
  set(ENV{KORVO_COM${n}} /nonexistent/korvo-man-page-COM${n})
endforeach()

execute_process(COMMAND ${TOOL} --version
                INPUT_FILE /dev/null OUTPUT_VARIABLE out ERROR_QUIET RESULT_VARIABLE rc TIMEOUT 10)
string(REGEX REPLACE "\n.*" "" first_line "${out}")
if(NOT rc STREQUAL "0" OR NOT first_line STREQUAL "${NAME} ${VERSION}")
  skip("`${NAME} --version` does not print \"${NAME} ${VERSION}\" (exit ${rc}, first line \"${first_line}\")")
  return()
endif()

execute_process(COMMAND ${HELP2MAN} --no-info --section=1
                        "--name=${DESCRIPTION}" --output=${page} ${TOOL}
                INPUT_FILE /dev/null RESULT_VARIABLE rc ERROR_VARIABLE err TIMEOUT 30)
if(NOT rc STREQUAL "0" OR NOT EXISTS ${page})
  message(FATAL_ERROR "help2man failed on ${NAME} (${rc}): ${err}")
endif()
# -n: no name or time stamp in the compressed file, so the same page gives the same bytes.
execute_process(COMMAND ${GZIP} -9nf ${page} RESULT_VARIABLE rc)
if(NOT rc STREQUAL "0")
  message(FATAL_ERROR "gzip failed on ${page}")
endif()
file(WRITE ${status_file} "made\n")
