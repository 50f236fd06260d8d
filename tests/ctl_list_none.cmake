# tarvo-pulse-ctl where no pulse generator is attached: `list` prints nothing, `list --json` an empty array, both
# say so and exit 3.
#   cmake -DPROGRAM=... [-DEMULATOR=...] -P ctl_list_none.cmake
foreach(json "" "--json")
  execute_process(COMMAND ${EMULATOR} ${PROGRAM} list ${json} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  string(REPLACE "\r" "" out "${out}")
  if(json)
    set(expected "[]\n")
  else()
    set(expected "")
  endif()
  if(NOT rc EQUAL 3 OR NOT out STREQUAL expected OR NOT err MATCHES "no pulse generator is attached")
    message(FATAL_ERROR "list ${json}: expected exit 3, output '${expected}' and the message; "
                        "got exit ${rc}, output:\n${out}\nerrors:\n${err}")
  endif()
  message(STATUS "list ${json}: exit ${rc}, ${err}")
endforeach()
