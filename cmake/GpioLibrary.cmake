# Chooses the GPIO library the program links: an installed one (on the board,
# or in a cross-build's sysroot) unless SORVALEN_SIMBOARD asks for the
# simulated board, which is also the choice where none is installed.
# Defines sorvalen_gpio_headers (its declarations), sorvalen_gpio (the library
# to link) and SORVALEN_GPIO_SIMULATED.
find_path(WIRINGPI_INCLUDE_DIR wiringPi.h)
find_library(WIRINGPI_LIBRARY wiringPi)

add_library(sorvalen_gpio_headers INTERFACE)
add_library(sorvalen_gpio INTERFACE)
if(NOT SORVALEN_SIMBOARD AND WIRINGPI_INCLUDE_DIR AND WIRINGPI_LIBRARY)
  set(SORVALEN_GPIO_SIMULATED OFF)
  target_include_directories(sorvalen_gpio_headers INTERFACE ${WIRINGPI_INCLUDE_DIR})
  target_link_libraries(sorvalen_gpio INTERFACE sorvalen_gpio_headers ${WIRINGPI_LIBRARY})
  message(STATUS "sorvalen: GPIO library: installed (${WIRINGPI_LIBRARY})")
else()
  set(SORVALEN_GPIO_SIMULATED ON)
  target_link_libraries(sorvalen_gpio_headers INTERFACE simboard_headers)
  target_link_libraries(sorvalen_gpio INTERFACE wiringPi_sim)
  message(STATUS "sorvalen: GPIO library: simulated board (simboard/)")
endif()
