# What is installed, and the Debian package of it: `cpack -G DEB` in a build
# tree makes sorvalen_<version>_<arch>.deb.
#
# The package holds the program on the character-device back end, which
# needs no GPIO library, with its manual page, copyright and changelog. Its
# Depends are computed by dpkg-shlibdeps from what the program links. In a
# cross-build the build machine's dpkg database knows the target's runtime
# only as Debian's cross packages (libc6-armhf-cross and the like, in
# /usr/<triplet>/lib); cmake/CPackProject.cmake.in lays a private dpkg
# database over them at packing time in which they go by their names on the
# target (libc6, libstdc++6, libgcc-s1), so that dpkg-shlibdeps finds the
# target's libraries and names the target's packages.
set(SORVALEN_MAINTAINER "Sorvalen developers <sorvalen@example.org>" CACHE STRING
    "Maintainer of the Debian package, as 'Name <address>'")

install(TARGETS sorvalen RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The manual page, compressed as Debian installs them (no name or time stamp
# in the header, so the same page gives the same bytes).
find_program(SORVALEN_GZIP gzip REQUIRED)
set(sorvalen_man_gz ${CMAKE_CURRENT_BINARY_DIR}/sorvalen.1.gz)
add_custom_command(OUTPUT ${sorvalen_man_gz}
  COMMAND ${SORVALEN_GZIP} -9nc ${PROJECT_SOURCE_DIR}/man/sorvalen.1 > ${sorvalen_man_gz}
  DEPENDS ${PROJECT_SOURCE_DIR}/man/sorvalen.1
  VERBATIM)
configure_file(packaging/changelog ${CMAKE_CURRENT_BINARY_DIR}/changelog @ONLY)
set(sorvalen_changelog_gz ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz)
add_custom_command(OUTPUT ${sorvalen_changelog_gz}
  COMMAND ${SORVALEN_GZIP} -9nc ${CMAKE_CURRENT_BINARY_DIR}/changelog > ${sorvalen_changelog_gz}
  DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/changelog
  VERBATIM)
add_custom_target(sorvalen_docs ALL DEPENDS ${sorvalen_man_gz} ${sorvalen_changelog_gz})
configure_file(packaging/copyright ${CMAKE_CURRENT_BINARY_DIR}/copyright @ONLY)

install(FILES ${sorvalen_man_gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
# The system service, where systemd looks for units under the prefix
# (/usr/lib/systemd/system in the package, /usr/local/lib/systemd/system for
# a local install).
install(FILES packaging/sorvalen.service DESTINATION lib/systemd/system)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/copyright ${sorvalen_changelog_gz}
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The service's metrics for node-exporter: the link maker, the removal of a
# link left by a power cut, and alert rules for Prometheus as an example.
install(PROGRAMS packaging/node-exporter-textfile DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/sorvalen)
install(FILES packaging/tmpfiles.conf DESTINATION lib/tmpfiles.d RENAME sorvalen.conf)
install(FILES packaging/sorvalen-rules.yml DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

set(CPACK_PACKAGE_NAME sorvalen)
set(CPACK_PACKAGE_CONTACT "${SORVALEN_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION
    "Sorvalen watches the clock and S/N indicator lines that a receiver drives
on two GPIO inputs of a Raspberry Pi. For every window of 1000 clock edges it
prints one line with the share of high S/N samples and the bit error rate and
signal-to-noise figure for that share.

It uses the kernel's GPIO character device: no GPIO library and no root
privileges are needed, only membership of the group that owns
/dev/gpiochip*.")
set(CPACK_GENERATOR DEB)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Maintainer scripts for the service: none enables or starts it; removal
# stops it, purge removes what enabling it made; node-exporter installed
# later triggers the postinst.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/postinst ${PROJECT_SOURCE_DIR}/packaging/prerm
    ${PROJECT_SOURCE_DIR}/packaging/postrm ${PROJECT_SOURCE_DIR}/packaging/triggers)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# A static program (cmake/toolchain-armhf.cmake) needs no package: it has no
# Depends. lintian's tag for it is overridden, with the reason, and its
# .comment section (the compilers' names) is dropped, as Debian's own
# packaging strips it.
set(sorvalen_static_package OFF)
if(SORVALEN_STATIC_PROGRAM AND SORVALEN_GPIO_BACKEND STREQUAL "chardev")
  set(sorvalen_static_package ON)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
  add_custom_command(TARGET sorvalen POST_BUILD
    COMMAND ${CMAKE_OBJCOPY} --remove-section=.comment $<TARGET_FILE:sorvalen>
    VERBATIM)
  install(FILES packaging/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides
          RENAME sorvalen)
endif()

# The target's Debian architecture and, in a cross-build, where its runtime
# libraries and their cross packages are.
set(SORVALEN_DEB_ARCH "")
if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR STREQUAL "arm")
  set(SORVALEN_DEB_ARCH armhf)
  set(SORVALEN_DEB_TRIPLET arm-linux-gnueabihf)
elseif(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR STREQUAL "aarch64")
  set(SORVALEN_DEB_ARCH arm64)
  set(SORVALEN_DEB_TRIPLET aarch64-linux-gnu)
endif()
if(SORVALEN_DEB_ARCH)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${SORVALEN_DEB_ARCH})
endif()
# Only a dynamic program's dependencies are computed, from a private database.
set(SORVALEN_DEB_SHLIBS_ARCH "")
if(NOT sorvalen_static_package)
  set(SORVALEN_DEB_SHLIBS_ARCH "${SORVALEN_DEB_ARCH}")
endif()
configure_file(cmake/CPackProject.cmake.in ${CMAKE_CURRENT_BINARY_DIR}/CPackProject.cmake @ONLY)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_BINARY_DIR}/CPackProject.cmake)
include(CPack)
