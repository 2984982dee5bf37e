# Shared by the install and package test scripts: the "|"-separated lists
# they are given, and run(), which fails the test with the command's output
# when a command fails and leaves its output in RUN_OUTPUT otherwise.
string(REPLACE "|" ";" EMULATOR "${EMULATOR}")
string(REPLACE "|" ";" TOOLS "${TOOLS}")

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE _rc OUTPUT_VARIABLE _out ERROR_VARIABLE _out)
  if(NOT _rc STREQUAL "0")
    string(REPLACE ";" " " _cmd "${ARGN}")
    message(FATAL_ERROR "command failed (${_rc}): ${_cmd}\n${_out}")
  endif()
  set(RUN_OUTPUT "${_out}" PARENT_SCOPE)
endfunction()
