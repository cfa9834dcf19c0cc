# Debian packages, one per install component, made with CPack (DEB):
#   lib     libtarnwell-linkrate2       the shared library
#   dev     libtarnwell-linkrate-dev    header, pkg-config file, CMake package
#   cli     linkrate                    the program and its man page
#   server  linkrate-server             the nginx site files and their set-up
#   python  python3-tarnwell-linkrate   the Python binding, when it is built
# scripts/package.sh configures a build for them (LINKRATE_PACKAGE_DEB=ON,
# prefix /usr) and runs cpack. Included at the end of the top-level
# CMakeLists.txt; the components and CPack itself are settled once the whole
# tree has been read, so a component added anywhere is seen.

option(LINKRATE_PACKAGE_DEB "Set up Debian packages (cpack -G DEB)" OFF)
set(_pkg_dir ${CMAKE_CURRENT_LIST_DIR})

# The man page linkrate(1), made at build time from the program's own --help
# of every subcommand, so it follows the options. Sanitized and fuzz builds
# have no use for it.
find_program(LINKRATE_HELP2MAN help2man)
set(_man_made OFF)
if(TARGET linkrate AND LINKRATE_HELP2MAN AND NOT LINKRATE_SANITIZE AND NOT LINKRATE_BUILD_FUZZ)
  set(_man_made ON)
  set(_man ${CMAKE_CURRENT_BINARY_DIR}/man)
  add_custom_command(OUTPUT ${_man}/linkrate.1.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${_man}
    COMMAND ${CMAKE_COMMAND} -E env LINKRATE_PROGRAM=$<TARGET_FILE:linkrate>
            ${LINKRATE_HELP2MAN} --no-info --no-discard-stderr
            --name "network speed tests on a LAN and across the internet"
            --include ${_pkg_dir}/linkrate.h2m --output ${_man}/linkrate.1
            ${_pkg_dir}/linkrate-help.sh
    COMMAND gzip -9nf ${_man}/linkrate.1
    DEPENDS linkrate ${_pkg_dir}/linkrate-help.sh ${_pkg_dir}/linkrate.h2m
    COMMENT "Making the man page linkrate(1)" VERBATIM)
  # The server's set-up script has its own man page, from its usage text.
  add_custom_command(OUTPUT ${_man}/linkrate-server-setup.8.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${_man}
    COMMAND ${CMAKE_COMMAND} -E create_symlink ${PROJECT_SOURCE_DIR}/server/install.sh
            ${_man}/linkrate-server-setup
    COMMAND ${LINKRATE_HELP2MAN} --no-info --section 8 --version-string ${PROJECT_VERSION}
            --name "set up a linkrate speed-test server on nginx"
            --output ${_man}/linkrate-server-setup.8 ${_man}/linkrate-server-setup
    COMMAND gzip -9nf ${_man}/linkrate-server-setup.8
    DEPENDS ${PROJECT_SOURCE_DIR}/server/install.sh
    COMMENT "Making the man page linkrate-server-setup(8)" VERBATIM)
  add_custom_target(linkrate-man ALL
    DEPENDS ${_man}/linkrate.1.gz ${_man}/linkrate-server-setup.8.gz)
  install(FILES ${_man}/linkrate.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT cli)
  if(LINKRATE_BUILD_TESTS)
    add_test(NAME man_page COMMAND ${_pkg_dir}/check-man.sh ${_man}/linkrate.1.gz)
  endif()
endif()

# The server: its files live together in share/linkrate-server (install.sh
# finds the others beside itself), and sbin/linkrate-server-setup runs it.
set(_server_share ${CMAKE_INSTALL_DATADIR}/linkrate-server)
install(PROGRAMS ${PROJECT_SOURCE_DIR}/server/install.sh DESTINATION ${_server_share}
  COMPONENT server)
install(FILES ${PROJECT_SOURCE_DIR}/server/site-files.sh DESTINATION ${_server_share}
  COMPONENT server)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/server/nginx/ DESTINATION ${_server_share}/nginx
  COMPONENT server FILES_MATCHING PATTERN "*.conf")
file(RELATIVE_PATH _setup_target /prefix/${CMAKE_INSTALL_SBINDIR}
  /prefix/${_server_share}/install.sh)
file(CREATE_LINK ${_setup_target} ${CMAKE_CURRENT_BINARY_DIR}/linkrate-server-setup SYMBOLIC)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/linkrate-server-setup
  DESTINATION ${CMAKE_INSTALL_SBINDIR} COMPONENT server)
if(_man_made)
  install(FILES ${_man}/linkrate-server-setup.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8
    COMPONENT server)
endif()

if(NOT LINKRATE_PACKAGE_DEB)
  return()
endif()
if(NOT _man_made)
  message(FATAL_ERROR "Debian packages need help2man for their man pages (scripts/setup.sh)")
endif()

set(_deb_revision 1)
set(_deb_version ${PROJECT_VERSION}-${_deb_revision})
set(_maintainer "The tarnwell-linkrate developers <linkrate@tarnwell.invalid>")

# What Debian wants in every package's doc folder: the copyright (the MIT
# licence in Debian's machine-readable form) and a changelog.
file(READ ${PROJECT_SOURCE_DIR}/LICENSE _license)
string(REGEX REPLACE "^MIT License\n\n[^\n]*\n\n" "" _license "${_license}")
string(REGEX REPLACE "\n$" "" _license "${_license}")
string(REGEX REPLACE "\n\n" "\n.\n" _license "${_license}")
string(REGEX REPLACE "\n" "\n " _license "${_license}")
string(TIMESTAMP _year "%Y" UTC)
string(TIMESTAMP _date "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${_pkg_dir}/copyright.in ${CMAKE_CURRENT_BINARY_DIR}/deb/copyright @ONLY)
configure_file(${_pkg_dir}/changelog.in ${CMAKE_CURRENT_BINARY_DIR}/deb/changelog @ONLY)
execute_process(COMMAND gzip -9nf ${CMAKE_CURRENT_BINARY_DIR}/deb/changelog COMMAND_ERROR_IS_FATAL ANY)

# linkrate_deb_component(COMPONENT PACKAGE SECTION SUMMARY LINE...): the
# description's lines as Debian shows them ("." for an empty one).
function(linkrate_deb_component component package section summary)
  string(TOUPPER ${component} c)
  list(JOIN ARGN "\n" description)
  set(CPACK_DEBIAN_${c}_PACKAGE_NAME ${package} PARENT_SCOPE)
  set(CPACK_DEBIAN_${c}_PACKAGE_SECTION ${section} PARENT_SCOPE)
  set(CPACK_COMPONENT_${c}_DESCRIPTION "${summary}\n${description}" PARENT_SCOPE)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/deb/copyright
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/deb/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} RENAME changelog.Debian.gz
    COMPONENT ${component})
endfunction()

linkrate_deb_component(lib libtarnwell-linkrate2 libs
  "network speed-test library (LAN and HTTP)"
  "tarnwell-linkrate measures latency and throughput across a local network,"
  "against its own built-in TCP test server, and across the internet, against"
  "an HTTP speed-test server. Hosts drive it through a small C interface."
  "."
  "This package holds the shared library.")
linkrate_deb_component(dev libtarnwell-linkrate-dev libdevel
  "network speed-test library (LAN and HTTP) - development files"
  "tarnwell-linkrate measures latency and throughput across a local network"
  "and across the internet through a small C interface."
  "."
  "This package holds the header, the pkg-config file and the CMake package"
  "(tarnwell::linkrate).")
linkrate_deb_component(cli linkrate net
  "network speed tests on a LAN and across the internet"
  "linkrate measures latency and throughput against its own built-in server on"
  "another machine of the LAN, or against an HTTP speed-test server named by a"
  "base URL, and prints a table or a line of JSON.")
linkrate_deb_component(server linkrate-server net
  "speed-test server for linkrate's internet test, on nginx"
  "The nginx site files that answer a speed-test client (GET /empty,"
  "GET /garbage?ckSize=N, POST /empty), with CORS for browser clients, and"
  "linkrate-server-setup, which enables them on a port of their own.")

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_PACKAGE_NAME tarnwell-linkrate)
set(CPACK_PACKAGE_VENDOR "The tarnwell-linkrate developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${_maintainer})
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${_deb_revision})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# dpkg-shlibdeps meets our own library, which no installed package provides
# yet, in the build tree; the exact dependency on it is written out below.
get_target_property(_lib_build_dir tarnwell-linkrate BINARY_DIR)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${_lib_build_dir})

# The library: a shlibs file for packages built against it, and ldconfig
# through dpkg's trigger rather than a maintainer script.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_EXTRA
  ${_pkg_dir}/lib/triggers ${_pkg_dir}/lib/postinst ${_pkg_dir}/lib/postrm)
set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(_needs_lib "libtarnwell-linkrate2 (= ${_deb_version})")
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS ${_needs_lib})
set(CPACK_DEBIAN_CLI_PACKAGE_DEPENDS ${_needs_lib})
set(CPACK_DEBIAN_SERVER_PACKAGE_DEPENDS "nginx-light | nginx")
set(CPACK_DEBIAN_SERVER_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_SERVER_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_SERVER_PACKAGE_SUGGESTS linkrate)

function(linkrate_finish_packages)
  set(CPACK_COMPONENTS_ALL lib dev cli server)
  # The Python binding joins when its build installs into COMPONENT python.
  get_cmake_property(_all COMPONENTS)
  if(python IN_LIST _all)
    list(APPEND CPACK_COMPONENTS_ALL python)
    linkrate_deb_component(python python3-tarnwell-linkrate python
      "network speed-test library (LAN and HTTP) - Python 3 binding"
      "tarnwell-linkrate measures latency and throughput across a local network"
      "and across the internet. This package lets Python 3 programs use it.")
    set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "${_needs_lib}, python3")
    # Pure Python over ctypes: the library it loads is the package it depends on.
    set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
    set(CPACK_DEBIAN_PYTHON_PACKAGE_SHLIBDEPS OFF)
  endif()
  include(CPack)
endfunction()
cmake_language(DEFER DIRECTORY ${PROJECT_SOURCE_DIR} CALL linkrate_finish_packages)
