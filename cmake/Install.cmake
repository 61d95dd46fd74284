# What `cmake --install` puts in place, and the Debian package that `cpack -G DEB`
# makes of it: kivra-update, kivra-mkpatch, pak and lzh in bin/, a manual page
# each in share/man/man1/ (gzip-compressed), the close helpers in lib/kivra/,
# and the copyright and changelog (packaging/) in share/doc/kivra-tools/.
# Only native Linux builds install; the Windows builds ship their .exe files
# as they are.
if(WIN32 OR CMAKE_CROSSCOMPILING OR KIVRA_FUZZ)
  return()
endif()

include(GNUInstallDirs)

# The version of everything installed and of the package: the four numbers
# of version/ProductVersion.h, joined by dots as --version prints them.
set(kivra_version_header ${CMAKE_SOURCE_DIR}/version/ProductVersion.h)
set(KIVRA_VERSION)
foreach(part MAJOR MINOR REVISION BUILD)
  file(STRINGS ${kivra_version_header} kivra_version_line REGEX "^#define KIVRA_VERSION_${part} [0-9]+$")
  if(NOT kivra_version_line MATCHES "^#define KIVRA_VERSION_${part} ([0-9]+)$")
    message(FATAL_ERROR "version/ProductVersion.h: no number in KIVRA_VERSION_${part}")
  endif()
  list(APPEND KIVRA_VERSION ${CMAKE_MATCH_1})
endforeach()
list(JOIN KIVRA_VERSION "." KIVRA_VERSION)
set_property(DIRECTORY ${CMAKE_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${kivra_version_header})

# The programs, each with its page man/NAME.1. kivra-mkpatch joins when it is
# built.
set(KIVRA_INSTALLED_PROGRAMS kivra-update pak lzh)
if(TARGET kivra-mkpatch)
  list(APPEND KIVRA_INSTALLED_PROGRAMS kivra-mkpatch)
endif()
install(TARGETS ${KIVRA_INSTALLED_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# A stripped install (cpack, cmake --install --strip) also drops what strip
# keeps and no program reads, the compilers' names in .comment and .note, as
# Debian's dh_strip does.
if(CMAKE_OBJCOPY)
  foreach(program ${KIVRA_INSTALLED_PROGRAMS})
    install(CODE "if(CMAKE_INSTALL_DO_STRIP)
  execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment --remove-section=.note
    \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/${program}\"
    COMMAND_ERROR_IS_FATAL ANY)
endif()")
  endforeach()
endif()

# The close helpers (tools/kivra-close), made when mingw-w64 is there. They are
# no commands but kivra-update's own files, so they go into lib/kivra/ (Debian's
# /usr/lib/PACKAGE place for a program's private files; plain lib/, not the
# multiarch CMAKE_INSTALL_LIBDIR, since they are Windows programs whatever the
# host), where kivra-update finds them from its own folder as ../lib/kivra/;
# in the build tree they stay beside it in bin/. Wine reads them: they are not
# run as Linux programs, hence no execute bits.
set(KIVRA_INSTALLED_HELPERS)
foreach(arch win32 win64)
  if(TARGET kivra-close AND KIVRA_CLOSE_CXX_${arch})
    list(APPEND KIVRA_INSTALLED_HELPERS kivra-close-${arch}.exe)
    install(FILES ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/kivra-close-${arch}.exe
            DESTINATION lib/kivra
            PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  endif()
endforeach()

# The manual pages: the version filled in, then compressed as Debian wants
# them (gzip -9n: no name or time stamp, so the same page gives the same bytes).
find_program(KIVRA_GZIP gzip REQUIRED)
set(pages)
foreach(program ${KIVRA_INSTALLED_PROGRAMS})
  set(page ${CMAKE_BINARY_DIR}/man/${program}.1)
  configure_file(${CMAKE_SOURCE_DIR}/man/${program}.1 ${page} @ONLY)
  add_custom_command(OUTPUT ${page}.gz
    COMMAND ${KIVRA_GZIP} -9n -c ${page} > ${page}.gz
    DEPENDS ${page} ${CMAKE_SOURCE_DIR}/man/${program}.1
    COMMENT "Compressing the manual page ${program}.1"
    VERBATIM)
  list(APPEND pages ${page}.gz)
endforeach()
add_custom_target(kivra-man ALL DEPENDS ${pages})
install(FILES ${pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The documentation Debian wants of every package, installed under any prefix:
# packaging/copyright (machine-readable) as it is, and packaging/changelog (in
# Debian's format) compressed as the pages are. The package is native (its
# version has no Debian revision), so the changelog is changelog.gz, not
# changelog.Debian.gz. Its latest entry names the version; a new version
# wants a new entry.
set(KIVRA_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/kivra-tools)
set(changelog ${CMAKE_SOURCE_DIR}/packaging/changelog)
file(STRINGS ${changelog} kivra_changelog_top LIMIT_COUNT 1)
if(NOT kivra_changelog_top MATCHES "^kivra-tools \\(${KIVRA_VERSION}\\) ")
  message(WARNING "packaging/changelog: the latest entry is not for ${KIVRA_VERSION} "
                  "(the version in version/ProductVersion.h): add one")
endif()
set_property(DIRECTORY ${CMAKE_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${changelog})
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/packaging/changelog.gz
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging
  COMMAND ${KIVRA_GZIP} -9n -c ${changelog} > ${CMAKE_BINARY_DIR}/packaging/changelog.gz
  DEPENDS ${changelog}
  COMMENT "Compressing the changelog"
  VERBATIM)
add_custom_target(kivra-doc ALL DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/copyright ${CMAKE_BINARY_DIR}/packaging/changelog.gz
        DESTINATION ${KIVRA_DOC_DIR})

# The Debian package, made on demand only (cpack -G DEB, or the package
# target): nothing in the default build makes it.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kivra-tools)
set(CPACK_PACKAGE_VERSION ${KIVRA_VERSION})
set(CPACK_PACKAGE_VENDOR "Kivra patcher developers")
set(KIVRA_PACKAGE_MAINTAINER "Kivra patcher developers <kivra-tools@example.org>"
    CACHE STRING "The Maintainer field of the Debian package")
set(CPACK_PACKAGE_CONTACT ${KIVRA_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${KIVRA_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "patcher and pack file tools for the game Kivra under Wine")
# The long description, in lines short enough for the control file.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "kivra-update applies a Kivra patch (Update.pak or update.lzh, and a newer"
  "launcher) to the game installed in a Wine prefix, without running Wine"
  "itself. kivra-mkpatch makes such a patch from two installations of the game."
  "pak makes, fills, inspects and checks the game's pack files, and lzh"
  "extracts, lists, tests and makes LZH archives with the patcher's own reader.")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Wine closes the game as Windows would and starts the launcher.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS wine)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
# The same build gives the same package: unless SOURCE_DATE_EPOCH says
# otherwise, every time stamp in it is the date of the changelog's latest
# entry, as dpkg-buildpackage does (packaging/CPackOptions.cmake.in, which
# cpack reads when it runs).
file(STRINGS ${changelog} kivra_changelog_trailer REGEX "^ -- .*  [A-Z][a-z][a-z], ")
list(GET kivra_changelog_trailer 0 kivra_changelog_trailer)
string(REGEX REPLACE "^ -- .*  " "" kivra_changelog_date "${kivra_changelog_trailer}")
execute_process(COMMAND date -u -d "${kivra_changelog_date}" +%s
  OUTPUT_VARIABLE KIVRA_SOURCE_DATE_EPOCH OUTPUT_STRIP_TRAILING_WHITESPACE
  RESULT_VARIABLE date_status ERROR_QUIET)
if(NOT date_status EQUAL 0 OR NOT KIVRA_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
  message(FATAL_ERROR "packaging/changelog: no date in the latest entry's trailer line")
endif()
configure_file(${CMAKE_SOURCE_DIR}/packaging/CPackOptions.cmake.in
               ${CMAKE_BINARY_DIR}/CPackOptions.cmake @ONLY)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_BINARY_DIR}/CPackOptions.cmake)
include(CPack)
