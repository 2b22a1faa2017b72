# The Windows release: `cpack -G ZIP` in the Windows build folder gives a zip of one folder with
# KlendoHotFolderAgent.exe, KlendoPrintInfo.exe and the example settings, to be unpacked where the
# agent is to live (its settings, log and archive go beside it).
set(KLENDO_PACKAGE_VERSION "${PROJECT_VERSION}" CACHE STRING "Version of the Windows zip")

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME KlendoHotFolderAgent)
set(CPACK_PACKAGE_VERSION ${KLENDO_PACKAGE_VERSION})
set(CPACK_SYSTEM_NAME win64)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
