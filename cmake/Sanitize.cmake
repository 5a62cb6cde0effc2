# SORVALEN_SANITIZE: a comma-separated list for -fsanitize, e.g. "thread" or
# "address,undefined". Applies to everything built after this point.
set(SORVALEN_SANITIZE "" CACHE STRING "Sanitizers to build with (thread, or address,undefined)")
if(SORVALEN_SANITIZE)
  add_compile_options(-fsanitize=${SORVALEN_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${SORVALEN_SANITIZE})
  message(STATUS "sorvalen: sanitizers: ${SORVALEN_SANITIZE}")
endif()
