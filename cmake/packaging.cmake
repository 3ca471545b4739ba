# Installation beside the program (bin/rigchkEx and bin/rigchkEx-result,
# installed by selftest/) and the Debian package of it:
#   share/man/man1/rigchkEx.1.gz, rigchkEx-result.1.gz   the manual pages
#   share/doc/rigchkex/rigchkEx.ini.example              a commented settings file
#   share/doc/rigchkex/copyright                         the terms (MIT)
#   share/doc/rigchkex/changelog.gz                      the package's history (the .deb only)
# The program reads rigchkEx.ini from its working directory, so the example is
# documentation, not configuration. `cmake --install` uses the usual prefix
# (/usr/local); the package installs under /usr.
set(RIG_PACKAGE_NAME rigchkex)  # Debian package names are lower case
# The documentation folder is named for the package, as Debian expects.
set(CMAKE_INSTALL_DOCDIR share/doc/${RIG_PACKAGE_NAME})
include(GNUInstallDirs)

# Debian installs manual pages compressed (gzip -9n: no name, no time stamp,
# so the package is reproducible).
set(RIG_MAN_DIR ${CMAKE_BINARY_DIR}/man)
set(RIG_MAN_PAGES)
foreach(page rigchkEx.1 rigchkEx-result.1)
  add_custom_command(OUTPUT ${RIG_MAN_DIR}/${page}.gz
    COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_SOURCE_DIR}/man/${page} ${RIG_MAN_DIR}/${page}
    COMMAND gzip -9 -n -f ${RIG_MAN_DIR}/${page}
    DEPENDS ${CMAKE_SOURCE_DIR}/man/${page}
    COMMENT "Compressing the manual page ${page}"
    VERBATIM)
  list(APPEND RIG_MAN_PAGES ${RIG_MAN_DIR}/${page}.gz)
endforeach()
add_custom_target(rigchkEx_man ALL DEPENDS ${RIG_MAN_PAGES})
install(FILES ${RIG_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
# The package's changelog, in Debian's format and compressed the same way.
set(RIG_DOC_BUILD_DIR ${CMAKE_BINARY_DIR}/doc)
set(RIG_CHANGELOG ${RIG_DOC_BUILD_DIR}/changelog.gz)
add_custom_command(OUTPUT ${RIG_CHANGELOG}
  COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_SOURCE_DIR}/packaging/changelog ${RIG_DOC_BUILD_DIR}/changelog
  COMMAND gzip -9 -n -f ${RIG_DOC_BUILD_DIR}/changelog
  DEPENDS ${CMAKE_SOURCE_DIR}/packaging/changelog
  COMMENT "Compressing the changelog"
  VERBATIM)
add_custom_target(rigchkEx_changelog ALL DEPENDS ${RIG_CHANGELOG})
install(FILES ${CMAKE_SOURCE_DIR}/packaging/rigchkEx.ini.example DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The copyright and licence (MIT), in Debian's machine-readable form: in the
# package and the release archive alike.
install(FILES ${CMAKE_SOURCE_DIR}/packaging/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
if(NOT RIG_STATIC)
  # Debian's changelog: the package's own.
  install(FILES ${RIG_CHANGELOG} DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

# Debian package: rigchkex_<version>_<arch>.deb, by `cpack` in the build tree
# (armhf from the cross build, amd64 from a host build). A static build
# (RIG_STATIC) makes the release archive rigchkEx-<version>-<arch>-static.tar.gz
# instead: bin/, share/ and the install note INSTALL.txt, for boards of any
# userland.
if(RIG_STATIC)
  set(CPACK_GENERATOR TGZ)
  if(RIG_DEBIAN_ARCH)
    set(RIG_ARCHIVE_ARCH ${RIG_DEBIAN_ARCH})
  else()
    set(RIG_ARCHIVE_ARCH ${CMAKE_SYSTEM_PROCESSOR})
  endif()
  set(CPACK_PACKAGE_FILE_NAME ${PROJECT_NAME}-${PROJECT_VERSION}-${RIG_ARCHIVE_ARCH}-static)
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/INSTALL-static.txt DESTINATION . RENAME INSTALL.txt)
else()
  set(CPACK_GENERATOR DEB)
endif()
set(CPACK_PACKAGE_NAME ${RIG_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "factory self-test of the i.MX6ULL controller board")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "rigchkEx tests the RS485, RS232 and digital I/O ports of the board in its\n\
test fixture, writes a trace log and a JSON report under /NandFlash/tmp and\n\
shows the result on the signal outputs of the DIO device.")
# example.com is reserved for examples and is a domain lintian accepts; the
# maintainer of a release sets theirs (and signs packaging/changelog with it).
set(RIG_DEB_MAINTAINER "rigchkEx maintainers <rigchkex@example.com>"
  CACHE STRING "Maintainer field of the Debian package")
set(CPACK_PACKAGE_CONTACT ${RIG_DEB_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
if(NOT RIG_STATIC)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
endif()
set(CPACK_STRIP_FILES ON)  # the board's flash is small; debug info stays in the build tree
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
# killall stops the board's main application; the other shell tools
# (rm, ls, grep, cat, tr, mv, echo) are essential.
set(RIG_PACKAGE_TOOL_DEPENDS "psmisc")
if(CMAKE_CROSSCOMPILING)
  if(NOT RIG_DEBIAN_ARCH)
    message(FATAL_ERROR "the toolchain file must set RIG_DEBIAN_ARCH")
  endif()
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${RIG_DEBIAN_ARCH})
  # dpkg-shlibdeps would name the build machine's cross libraries; these are
  # the target's: 64-bit time entry points from glibc 2.34, the C++ library
  # of GCC 12.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libstdc++6 (>= 12), libgcc-s1, ${RIG_PACKAGE_TOOL_DEPENDS}")
else()
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS ${RIG_PACKAGE_TOOL_DEPENDS})
endif()
include(CPack)
