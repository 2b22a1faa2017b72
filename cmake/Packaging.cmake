# The Debian package: `cpack -G DEB` in the build folder. It holds the agent, KlendoPrintInfo and the
# example settings in /opt/KlendoHotFolderAgent, the man pages and a systemd unit of its own; the
# reference server stays a tool of the source tree. The unit and the man pages are installed only
# into the package, never by a plain `cmake --install`.
set(KLENDO_PACKAGE_VERSION "${PROJECT_VERSION}" CACHE STRING "Version of the Debian package")

set(KLENDO_PACKAGING_DIR ${CMAKE_SOURCE_DIR}/packaging)
set(KLENDO_MAN_PAGES KlendoHotFolderAgent.8 KlendoPrintInfo.1)
set(KLENDO_MAN_ARCHIVES)
foreach(page ${KLENDO_MAN_PAGES})
  set(archive ${CMAKE_BINARY_DIR}/man/${page}.gz)
  # -n leaves the name and time out, so the package is the same for the same sources.
  add_custom_command(
    OUTPUT ${archive}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND gzip -9n -c ${KLENDO_PACKAGING_DIR}/${page} > ${archive}
    DEPENDS ${KLENDO_PACKAGING_DIR}/${page}
    VERBATIM)
  string(REGEX MATCH "[0-9]$" section ${page})
  install(FILES ${archive} DESTINATION /usr/share/man/man${section} COMPONENT debian EXCLUDE_FROM_ALL)
  list(APPEND KLENDO_MAN_ARCHIVES ${archive})
endforeach()
add_custom_target(klendo_man_pages ALL DEPENDS ${KLENDO_MAN_ARCHIVES})

install(FILES ${KLENDO_PACKAGING_DIR}/KlendoHotFolderAgent.service DESTINATION /lib/systemd/system
        COMPONENT debian EXCLUDE_FROM_ALL)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME klendohotfolderagent)
set(CPACK_PACKAGE_VERSION ${KLENDO_PACKAGE_VERSION})
set(CPACK_PACKAGE_CONTACT "KlendoHotFolderAgent maintainers <klendo@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Hot folder agent for print and job accounting")
set(CPACK_PACKAGE_DESCRIPTION
    "Files dropped into hot folders become job records posted as XML over HTTP to an accounting server.")
set(CPACK_PACKAGING_INSTALL_PREFIX /opt/KlendoHotFolderAgent)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_COMPONENTS_ALL Unspecified debian)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${KLENDO_PACKAGING_DIR}/postinst ${KLENDO_PACKAGING_DIR}/prerm
                                       ${KLENDO_PACKAGING_DIR}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
