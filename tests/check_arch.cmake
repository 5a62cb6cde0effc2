# Checks the ARM build attributes of object files: ARMv6KZ (the Pi 1's
# architecture), VFPv2, no Thumb-2, and arguments in core registers (soft-float
# calls, as the armel runtime the program links takes them).
foreach(object IN LISTS OBJECTS)
  execute_process(COMMAND ${READELF} -A ${object} OUTPUT_VARIABLE attributes RESULT_VARIABLE rc)
  foreach(wanted "Tag_CPU_arch: v6KZ\n" "Tag_FP_arch: VFPv2\n")
    string(FIND "${attributes}" "${wanted}" at)
    if(rc OR at EQUAL -1)
      message(FATAL_ERROR "${object}: no '${wanted}' in\n${attributes}")
    endif()
  endforeach()
  foreach(unwanted "Thumb-2" "Tag_ABI_VFP_args: VFP registers")
    string(FIND "${attributes}" "${unwanted}" at)
    if(NOT at EQUAL -1)
      message(FATAL_ERROR "${object}: '${unwanted}' in\n${attributes}")
    endif()
  endforeach()
endforeach()
