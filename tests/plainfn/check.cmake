# Runs the program built against the plain-function library and checks that
# it made the set-up calls in order and stopped at the refused handler.
execute_process(COMMAND ${EMULATOR} ${PROGRAM} OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc)
set(expected_out "Sorvalen 0.1\n\n\n\nisr setup failed\n")
set(expected_err "pinMode(4, 0)\npinMode(6, 0)\npinMode(2, 1)\npinMode(3, 1)\ndigitalWrite(3, 0)\ndigitalWrite(2, 0)\nwiringPiISR(6, 1)\n")
if(NOT out STREQUAL expected_out OR NOT err STREQUAL expected_err OR NOT rc EQUAL 1)
  message(FATAL_ERROR "unexpected run (status ${rc}):\nstdout:\n${out}\nstderr:\n${err}")
endif()
