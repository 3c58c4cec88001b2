# Runs PROGRAM (through EMULATOR when cross-compiled) and compares what it
# prints with the file EXPECTED, ignoring CR before LF.
execute_process(COMMAND ${EMULATOR} ${PROGRAM} OUTPUT_VARIABLE actual RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${PROGRAM} exited with ${status}")
endif()
file(READ ${EXPECTED} expected)
string(REPLACE "\r\n" "\n" actual "${actual}")
if(NOT actual STREQUAL expected)
  file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/actual_output.txt "${actual}")
  message(FATAL_ERROR "output differs from ${EXPECTED}; it was:\n${actual}")
endif()
