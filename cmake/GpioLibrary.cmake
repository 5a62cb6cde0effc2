# Chooses the GPIO back end the program links, by SORVALEN_GPIO:
#   installed  the GPIO library installed on the board (or in a cross-build's
#              sysroot), with its own header;
#   chardev    the kernel's GPIO character device (gpio/chardev), linked into
#              the program: no library and no root needed on the board;
#   simboard   the simulated board (gpio/simboard), for PCs and tests;
#   auto       installed where one is found, else chardev when building on or
#              for a Linux ARM board, else simboard.
# Defines sorvalen_gpio_headers (the declarations the program compiles
# against), sorvalen_gpio (what it links), SORVALEN_GPIO_BACKEND (the choice)
# and SORVALEN_GPIO_OWN_ABI (ON where the program uses the project's own
# header, gpio/include/wiringPi.h).
set(SORVALEN_GPIO auto CACHE STRING "GPIO back end: auto, installed, chardev or simboard")
set_property(CACHE SORVALEN_GPIO PROPERTY STRINGS auto installed chardev simboard)

find_path(WIRINGPI_INCLUDE_DIR wiringPi.h)
find_library(WIRINGPI_LIBRARY wiringPi)

set(SORVALEN_GPIO_BACKEND ${SORVALEN_GPIO})
if(SORVALEN_GPIO STREQUAL "auto")
  if(WIRINGPI_INCLUDE_DIR AND WIRINGPI_LIBRARY)
    set(SORVALEN_GPIO_BACKEND installed)
  elseif(CMAKE_SYSTEM_NAME STREQUAL "Linux" AND CMAKE_SYSTEM_PROCESSOR MATCHES "^(arm|aarch64)")
    set(SORVALEN_GPIO_BACKEND chardev)
  else()
    set(SORVALEN_GPIO_BACKEND simboard)
  endif()
elseif(NOT SORVALEN_GPIO MATCHES "^(installed|chardev|simboard)$")
  message(FATAL_ERROR "sorvalen: SORVALEN_GPIO must be auto, installed, chardev or simboard, not '${SORVALEN_GPIO}'")
endif()

add_library(sorvalen_gpio_headers INTERFACE)
add_library(sorvalen_gpio INTERFACE)
if(SORVALEN_GPIO_BACKEND STREQUAL "installed")
  if(NOT (WIRINGPI_INCLUDE_DIR AND WIRINGPI_LIBRARY))
    message(FATAL_ERROR "sorvalen: SORVALEN_GPIO=installed, but no GPIO library (wiringPi.h and libwiringPi) was found")
  endif()
  set(SORVALEN_GPIO_OWN_ABI OFF)
  target_include_directories(sorvalen_gpio_headers INTERFACE ${WIRINGPI_INCLUDE_DIR})
  target_link_libraries(sorvalen_gpio INTERFACE sorvalen_gpio_headers ${WIRINGPI_LIBRARY})
  message(STATUS "sorvalen: GPIO library: installed (${WIRINGPI_LIBRARY})")
elseif(SORVALEN_GPIO_BACKEND STREQUAL "chardev")
  set(SORVALEN_GPIO_OWN_ABI ON)
  target_link_libraries(sorvalen_gpio_headers INTERFACE gpio_headers)
  target_link_libraries(sorvalen_gpio INTERFACE gpio_chardev)
  message(STATUS "sorvalen: GPIO library: character device (gpio/chardev)")
else()
  set(SORVALEN_GPIO_OWN_ABI ON)
  target_link_libraries(sorvalen_gpio_headers INTERFACE gpio_headers)
  target_link_libraries(sorvalen_gpio INTERFACE wiringPi_sim)
  message(STATUS "sorvalen: GPIO library: simulated board (gpio/simboard)")
endif()
