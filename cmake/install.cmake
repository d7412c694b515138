# Installing and packaging: the four programs, the systemd units, the
# Infodriver link document and the example settings file and udev rule;
# `scripts/package` makes the Debian package with CPack from these rules.
#
#   bin/                      pellax-panel, infodriver, infoctl, panelsim
#   lib/systemd/system/       pellax-panel@.service, vorn-infodriver@.service
#   share/pellax-panel/       infodriver-link.md, DEV_001.ini.example,
#                             70-vorn-com.rules, README.md
#   share/man/man1/           pellax-panel.1.gz, infodriver.1.gz, infoctl.1.gz,
#                             panelsim.1.gz (from each program's --help)
#   share/doc/pellax-panel/   copyright, changelog.gz (docs/debian/)
#
# The units name the programs by their installed path, taken from
# CMAKE_INSTALL_PREFIX when the build is configured (scripts/package uses /usr).
include(GNUInstallDirs)

# `make install` and cpack install what has been built and build nothing
# themselves (else they would build every test first): build the programs
# before, as scripts/package does.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

# --version of every program: the project version.
foreach(program pellax-panel infodriver infoctl panelsim)
  target_compile_definitions(${program} PRIVATE VORN_VERSION_TEXT="${PROJECT_VERSION}")
endforeach()

install(TARGETS pellax-panel infodriver infoctl panelsim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

set(VORN_BIN_DIR ${CMAKE_INSTALL_FULL_BINDIR})
set(VORN_DOC_DIR ${CMAKE_INSTALL_FULL_DATAROOTDIR}/pellax-panel)
set(VORN_UNIT_DIR ${CMAKE_INSTALL_PREFIX}/lib/systemd/system)
foreach(unit pellax-panel@.service vorn-infodriver@.service)
  configure_file(${PROJECT_SOURCE_DIR}/docs/${unit}.in ${PROJECT_BINARY_DIR}/units/${unit} @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/units/${unit} DESTINATION lib/systemd/system)
endforeach()
install(FILES
  ${PROJECT_SOURCE_DIR}/docs/infodriver-link.md
  ${PROJECT_SOURCE_DIR}/docs/connection-state.md
  ${PROJECT_SOURCE_DIR}/docs/DEV_001.ini.example
  ${PROJECT_SOURCE_DIR}/docs/70-vorn-com.rules
  ${PROJECT_SOURCE_DIR}/README.md
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/pellax-panel)

# Manual pages made from each program's --help by help2man, and the
# changelog, compressed as Debian wants them (gzip -9n: no name or time in
# the header). Built with the programs (target pellax-panel-docs, part of
# the default build); without help2man (scripts/setup installs it) there are
# no manual pages and the package check says so.
find_program(VORN_HELP2MAN help2man)
find_program(VORN_GZIP gzip REQUIRED)
set(VORN_MAN_DIR ${PROJECT_BINARY_DIR}/man)
set(VORN_DOC_FILES ${PROJECT_BINARY_DIR}/debian/changelog.gz)
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/debian/changelog.gz
  COMMAND ${VORN_GZIP} -9n -c ${PROJECT_SOURCE_DIR}/docs/debian/changelog > ${PROJECT_BINARY_DIR}/debian/changelog.gz
  DEPENDS ${PROJECT_SOURCE_DIR}/docs/debian/changelog VERBATIM)
# The changelog's newest entry names the version being built.
file(STRINGS ${PROJECT_SOURCE_DIR}/docs/debian/changelog vorn_changelog_top LIMIT_COUNT 1)
if(NOT vorn_changelog_top MATCHES "^pellax-panel \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "docs/debian/changelog: the first entry must be version ${PROJECT_VERSION}")
endif()
set(VORN_MAN_PAGES)
if(VORN_HELP2MAN)
  file(MAKE_DIRECTORY ${VORN_MAN_DIR})
  set(vorn_summary_pellax-panel "links push-button control panels to the Infodriver slot database")
  set(vorn_summary_infodriver "reference Infodriver: the slot database of one or more devices")
  set(vorn_summary_infoctl "reads, writes and watches the slots of an Infodriver")
  set(vorn_summary_panelsim "simulates push-button control panels over TCP or a pseudo-terminal")
  foreach(program pellax-panel infodriver infoctl panelsim)
    set(page ${VORN_MAN_DIR}/${program}.1)
    # A build with sanitizers runs the programs too: a leak report at exit
    # must not fail the page.
    add_custom_command(OUTPUT ${page}.gz
      COMMAND ${CMAKE_COMMAND} -E env ASAN_OPTIONS=detect_leaks=0 QT_QPA_PLATFORM=offscreen
              ${VORN_HELP2MAN} --no-info --no-discard-stderr -n "${vorn_summary_${program}}" -o ${page}
              $<TARGET_FILE:${program}>
      COMMAND ${VORN_GZIP} -9nf ${page}
      DEPENDS ${program} VERBATIM)
    list(APPEND VORN_MAN_PAGES ${page}.gz)
  endforeach()
else()
  message(WARNING "help2man not found (scripts/setup installs it): no manual pages")
endif()
add_custom_target(pellax-panel-docs ALL DEPENDS ${VORN_MAN_PAGES} ${VORN_DOC_FILES})
if(VORN_MAN_PAGES)
  install(FILES ${VORN_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()
install(FILES ${PROJECT_SOURCE_DIR}/docs/debian/copyright ${VORN_DOC_FILES}
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/pellax-panel)

# The Debian package (cpack -G DEB, see scripts/package).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME pellax-panel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Vorn")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Pellax push-button panel driver for the Infodriver")
# The extended description (CPack puts the summary above it), in lines
# within 80 characters.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Links up to twelve push-button panels (TCP or serial) to the slot database
of the control system, the Infodriver; two instances form a main/reserve
pair. With the reference Infodriver, its command-line client and a panel
simulator.")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Vorn panel driver team <panels@vorn.invalid>")
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
# postinst: the service user and a daemon-reload; nothing is enabled.
configure_file(${PROJECT_SOURCE_DIR}/cmake/debian-postinst.in ${PROJECT_BINARY_DIR}/debian/postinst @ONLY
  FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/debian/postinst)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
