# The Windows zip, made with CPack (ZIP) from the windows preset's build:
#   bin/      tarnwell-linkrate.dll, libcurl.dll it needs, and linkrate.exe
#   lib/      the import library, the CMake package and the pkg-config file
#   include/  the header
#   licences  LICENSE.txt (this library's) and COPYING-curl.txt
# The compiler's run-time is linked into each binary, so no DLL of it ships.
# scripts/check-windows-zip.sh makes it and builds a host against it.

# libcurl's DLL, from the build that scripts/setup.sh windows made, and its
# licence beside it there.
install(FILES $<TARGET_FILE:CURL::libcurl> DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT lib)
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION . RENAME LICENSE.txt COMPONENT lib)
if(EXISTS ${LINKRATE_WINDOWS_DEPS}/prefix/COPYING-curl)
  install(FILES ${LINKRATE_WINDOWS_DEPS}/prefix/COPYING-curl DESTINATION .
    RENAME COPYING-curl.txt COMPONENT lib)
else()
  message(WARNING "libcurl's licence is missing from ${LINKRATE_WINDOWS_DEPS}/prefix: "
    "run scripts/setup.sh windows")
endif()

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME tarnwell-linkrate)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME tarnwell-linkrate-${PROJECT_VERSION}-win64)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
# One zip with every component in it.
set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
include(CPack)
