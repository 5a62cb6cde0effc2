# SORVALEN_COVERAGE: instrument everything built after this point for line
# and branch coverage (gcov). The program, which only ever ends by being
# terminated, then also writes its counts when it gets SIGTERM.
option(SORVALEN_COVERAGE "Build for coverage measurement" OFF)
if(SORVALEN_COVERAGE)
  # Atomic counter updates: the handler and the report cycle run at once.
  add_compile_options(--coverage -O0 -fprofile-update=atomic)
  add_link_options(--coverage)
  message(STATUS "sorvalen: coverage instrumentation on")
endif()
