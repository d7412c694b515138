# Installing and packaging: the four programs, the systemd units, the
# Infodriver link document and the example settings file and udev rule;
# `scripts/package` makes the Debian package with CPack from these rules.
#
#   bin/                      pellax-panel, infodriver, infoctl, panelsim
#   lib/systemd/system/       pellax-panel@.service, vorn-infodriver@.service
#   share/pellax-panel/       infodriver-link.md, DEV_001.ini.example,
#                             70-vorn-com.rules, README.md
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
  ${PROJECT_SOURCE_DIR}/docs/DEV_001.ini.example
  ${PROJECT_SOURCE_DIR}/docs/70-vorn-com.rules
  ${PROJECT_SOURCE_DIR}/README.md
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/pellax-panel)

# The Debian package (cpack -G DEB, see scripts/package).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME pellax-panel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Vorn")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Pellax push-button panel driver for the Infodriver")
set(CPACK_PACKAGE_DESCRIPTION "Links up to twelve push-button panels (TCP or serial) to the slot database of the control system, the Infodriver; two instances form a main/reserve pair. With the reference Infodriver, its command-line client and a panel simulator.")
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
