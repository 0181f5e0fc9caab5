# SPDX-License-Identifier: Apache-2.0
# Debian packages, one per install component, made by CPack in a Release build with the prefix
# /usr (scripts/packages.sh does all of it):
#
#   component   package          contents
#   runtime     libzelk0         libzelk.so.<major>
#   dev         libzelk-dev      headers, CMake package, pkg-config file, libzelk.so
#   qt_runtime  libzelk-qt0      libzelk-qt.so.<major> and the QML module Zelk
#   qt_dev      libzelk-qt-dev   <zelk/qt.hpp>, the CMake package's "qt" component
#   c_runtime   libzelk-c1       libzelk-c.so.<ABI version>, the C interface
#   c_dev       libzelk-c-dev    <zelk/zelk.h>, its module map, the CMake package's "c"
#                                component, zelk-c.pc, libzelk-c.so
#   tools       zelk-tools       the zelk command and zelk-sandbox
#   server      zelk-server      the service, its systemd unit and default configuration
#
# A package is made only when its targets are part of the build: the Qt ones with Qt, the tools
# with the tools, the server with the zelk-server target. The version is the project's; the
# shared libraries' SOVERSION (the major version) is the number in the library packages' names.

set(ZELK_PACKAGE_MAINTAINER "zelk maintainers <maintainers@zelk.example>" CACHE STRING
    "Maintainer field of the Debian packages")

# The release date of this version, from its heading in CHANGELOG.md; the packages' changelog
# carries it, and a version without a changelog entry is a mistake worth stopping for.
file(STRINGS ${PROJECT_SOURCE_DIR}/CHANGELOG.md ZELK_RELEASE_HEADING
     REGEX "^## \\[${PROJECT_VERSION}\\] - [0-9]+-[0-9]+-[0-9]+")
if(NOT ZELK_RELEASE_HEADING MATCHES "([0-9]+)-([0-9]+)-([0-9]+)$")
  message(FATAL_ERROR "CHANGELOG.md has no \"## [${PROJECT_VERSION}] - YYYY-MM-DD\" heading: "
                      "add the release's changes before changing the version")
endif()
set(ZELK_RELEASE_DATE "${CMAKE_MATCH_0}")

# Which packages this build makes.
set(ZELK_PACKAGE_COMPONENTS runtime dev)
if(TARGET zelk-qt AND BUILD_SHARED_LIBS)
  list(APPEND ZELK_PACKAGE_COMPONENTS qt_runtime qt_dev)
endif()
if(TARGET zelk-c AND BUILD_SHARED_LIBS)
  list(APPEND ZELK_PACKAGE_COMPONENTS c_runtime c_dev)
endif()
if(TARGET zelk-cli AND TARGET zelk-sandbox)
  list(APPEND ZELK_PACKAGE_COMPONENTS tools)
endif()
if(TARGET zelk-server)
  list(APPEND ZELK_PACKAGE_COMPONENTS server)
endif()

set(ZELK_PKG_runtime libzelk${PROJECT_VERSION_MAJOR})
set(ZELK_PKG_dev libzelk-dev)
set(ZELK_PKG_qt_runtime libzelk-qt${PROJECT_VERSION_MAJOR})
set(ZELK_PKG_qt_dev libzelk-qt-dev)
set(ZELK_PKG_c_runtime libzelk-c${ZELK_C_SOVERSION})
set(ZELK_PKG_c_dev libzelk-c-dev)
set(ZELK_PKG_tools zelk-tools)
set(ZELK_PKG_server zelk-server)

# Every package carries the licence and a Debian changelog in /usr/share/doc/<package>/.
set(ZELK_DEB_DIR ${PROJECT_BINARY_DIR}/debian)
configure_file(${PROJECT_SOURCE_DIR}/deploy/debian/copyright.in ${ZELK_DEB_DIR}/copyright @ONLY)
execute_process(COMMAND date -u -R -d "${ZELK_RELEASE_DATE} 00:00:00"
                OUTPUT_VARIABLE ZELK_RELEASE_TIME OUTPUT_STRIP_TRAILING_WHITESPACE)
file(WRITE ${ZELK_DEB_DIR}/changelog.Debian
"zelk (${PROJECT_VERSION}-1) unstable; urgency=medium

  * Release ${PROJECT_VERSION}; CHANGELOG.md in the source lists its changes.

 -- ${ZELK_PACKAGE_MAINTAINER}  ${ZELK_RELEASE_TIME}
")
execute_process(COMMAND gzip -9 -n -f -k ${ZELK_DEB_DIR}/changelog.Debian)
foreach(component IN LISTS ZELK_PACKAGE_COMPONENTS)
  install(FILES ${ZELK_DEB_DIR}/copyright ${ZELK_DEB_DIR}/changelog.Debian.gz
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${ZELK_PKG_${component}}
          COMPONENT ${component})
endforeach()

# Manual pages of the programs, compressed as Debian installs them.
function(zelk_install_man_page name component)
  configure_file(${PROJECT_SOURCE_DIR}/deploy/man/${name} ${ZELK_DEB_DIR}/man/${name} COPYONLY)
  execute_process(COMMAND gzip -9 -n -f -k ${ZELK_DEB_DIR}/man/${name})
  install(FILES ${ZELK_DEB_DIR}/man/${name}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
          COMPONENT ${component})
endfunction()
if("tools" IN_LIST ZELK_PACKAGE_COMPONENTS)
  zelk_install_man_page(zelk.1 tools)
  zelk_install_man_page(zelk-sandbox.1 tools)
endif()
# zelk-server's page is made from its own --help and --version by help2man when it is built, so
# that the two never disagree; deploy/man/zelk-server.h2m adds the files and the references. Not
# in a cross build, whose programs run only under an emulator (the packages are native builds).
if("server" IN_LIST ZELK_PACKAGE_COMPONENTS AND NOT CMAKE_CROSSCOMPILING)
  find_program(ZELK_HELP2MAN help2man)
  if(NOT ZELK_HELP2MAN)
    message(WARNING "help2man not found (scripts/bootstrap.sh installs it): zelk-server is "
                    "installed without its manual page")
  endif()
endif()
if(ZELK_HELP2MAN AND "server" IN_LIST ZELK_PACKAGE_COMPONENTS AND NOT CMAKE_CROSSCOMPILING)
  # The page's date is the release's, so that a package built twice is the same.
  execute_process(COMMAND date -u -d "${ZELK_RELEASE_DATE} 00:00:00" +%s
                  OUTPUT_VARIABLE ZELK_RELEASE_EPOCH OUTPUT_STRIP_TRAILING_WHITESPACE)
  set(ZELK_SERVER_MAN_PAGE ${ZELK_DEB_DIR}/man/zelk-server.1)
  add_custom_command(
    OUTPUT ${ZELK_SERVER_MAN_PAGE} ${ZELK_SERVER_MAN_PAGE}.gz
    COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${ZELK_RELEASE_EPOCH} LC_ALL=C.UTF-8
            ${ZELK_HELP2MAN} --no-info --section=1 "--manual=User Commands"
            "--name=account-protection service for the zelk client library"
            --include=${PROJECT_SOURCE_DIR}/deploy/man/zelk-server.h2m
            --output=${ZELK_SERVER_MAN_PAGE} $<TARGET_FILE:zelk-server>
    COMMAND gzip -9 -n -f -k ${ZELK_SERVER_MAN_PAGE}
    DEPENDS zelk-server ${PROJECT_SOURCE_DIR}/deploy/man/zelk-server.h2m
    COMMENT "Making zelk-server's manual page from its --help"
    VERBATIM)
  add_custom_target(zelk-server-man ALL DEPENDS ${ZELK_SERVER_MAN_PAGE})
  install(FILES ${ZELK_SERVER_MAN_PAGE}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
          COMPONENT server)
  if(ZELK_BUILD_TESTS)
    add_test(NAME server_man_page
             COMMAND bash ${PROJECT_SOURCE_DIR}/tests/server/man_page_check.sh
                     ${ZELK_SERVER_MAN_PAGE} $<TARGET_FILE:zelk-server>)
    set_tests_properties(server_man_page PROPERTIES TIMEOUT 60)
  endif()
endif()

# The service's files beyond its binary: the systemd unit, the default configuration (a conffile)
# and the operator's guide. The binary's install() is the server's own, into the bin folder, with
# COMPONENT server.
if(TARGET zelk-server)
  if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    set(ZELK_SYSTEMD_UNIT_DIR /lib/systemd/system)
  else()
    set(ZELK_SYSTEMD_UNIT_DIR ${CMAKE_INSTALL_LIBDIR}/systemd/system)
  endif()
  set(ZELK_SERVER_PATH ${CMAKE_INSTALL_FULL_BINDIR}/zelk-server)
  set(ZELK_DOCDIR ${CMAKE_INSTALL_FULL_DATAROOTDIR}/doc)
  configure_file(${PROJECT_SOURCE_DIR}/deploy/systemd/zelk-server.service.in
                 ${PROJECT_BINARY_DIR}/deploy/zelk-server.service @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/deploy/zelk-server.service
          DESTINATION ${ZELK_SYSTEMD_UNIT_DIR} COMPONENT server)
  install(FILES ${PROJECT_SOURCE_DIR}/deploy/debian/zelk-server.conf
          DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/zelk-server COMPONENT server)
  install(FILES ${PROJECT_SOURCE_DIR}/docs/operating.md
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/zelk-server COMPONENT server)
endif()

set(CPACK_PACKAGE_NAME zelk)
# Each package's description comes from its component; no common summary line before it.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")
set(CPACK_PACKAGE_VENDOR "The zelk authors")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${ZELK_PACKAGE_MAINTAINER}")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_GENERATOR DEB)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL ${ZELK_PACKAGE_COMPONENTS})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${ZELK_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# dpkg-shlibdeps finds our own libraries in the build tree; the component dependencies below
# turn them into dependencies on our packages.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR} ${PROJECT_BINARY_DIR}/qt)

# The shared libraries ask dpkg to run ldconfig once after every install or removal.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/deploy/debian/shlib/triggers)
set(CPACK_DEBIAN_QT_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/deploy/debian/shlib/triggers)
set(CPACK_DEBIAN_C_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/deploy/debian/shlib/triggers)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${ZELK_PKG_runtime})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_DEV_PACKAGE_NAME ${ZELK_PKG_dev})
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libcurl4-openssl-dev | libcurl-dev, libssl-dev, libicu-dev")
set(CPACK_DEBIAN_QT_RUNTIME_PACKAGE_NAME ${ZELK_PKG_qt_runtime})
set(CPACK_DEBIAN_QT_RUNTIME_PACKAGE_SECTION libs)
# QML modules the module's files import; dpkg-shlibdeps only sees the shared libraries.
set(CPACK_DEBIAN_QT_RUNTIME_PACKAGE_DEPENDS
    "qml6-module-qtquick, qml6-module-qtquick-controls, qml6-module-qtquick-layouts, qml6-module-qtquick-templates, qml6-module-qtquick-window, qml6-module-qtqml-workerscript")
set(CPACK_DEBIAN_QT_DEV_PACKAGE_NAME ${ZELK_PKG_qt_dev})
set(CPACK_DEBIAN_QT_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_QT_DEV_PACKAGE_DEPENDS "qt6-base-dev, qt6-declarative-dev")
set(CPACK_DEBIAN_C_RUNTIME_PACKAGE_NAME ${ZELK_PKG_c_runtime})
set(CPACK_DEBIAN_C_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_C_DEV_PACKAGE_NAME ${ZELK_PKG_c_dev})
set(CPACK_DEBIAN_C_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME ${ZELK_PKG_tools})
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_SERVER_PACKAGE_NAME ${ZELK_PKG_server})
set(CPACK_DEBIAN_SERVER_PACKAGE_SECTION net)
set(CPACK_DEBIAN_SERVER_PACKAGE_DEPENDS "adduser, init-system-helpers (>= 1.52)")
set(CPACK_DEBIAN_SERVER_PACKAGE_SUGGESTS "sqlite3")
set(CPACK_DEBIAN_SERVER_PACKAGE_CONTROL_EXTRA
    "${PROJECT_SOURCE_DIR}/deploy/debian/zelk-server/conffiles;${PROJECT_SOURCE_DIR}/deploy/debian/zelk-server/postinst;${PROJECT_SOURCE_DIR}/deploy/debian/zelk-server/prerm;${PROJECT_SOURCE_DIR}/deploy/debian/zelk-server/postrm")

include(CPack)

cpack_add_component(runtime DISPLAY_NAME "zelk library"
  DESCRIPTION "client library that limits how many devices share one account
An application embeds zelk to report its device to the account-protection
service over HTTPS, keep a realtime stream open through which the service can
log the device out or raise a challenge, and show the challenge screens.

This package contains the shared library.")
cpack_add_component(dev DISPLAY_NAME "zelk development files" DEPENDS runtime
  DESCRIPTION "client library that limits how many devices share one account - headers
zelk is a C++20 library an application embeds to keep one user account from
being shared across too many devices.

This package contains the headers, the CMake package (find_package(zelk)) and
the pkg-config file.")
if("qt_runtime" IN_LIST ZELK_PACKAGE_COMPONENTS)
  cpack_add_component(qt_runtime DISPLAY_NAME "zelk Qt Quick module" DEPENDS runtime
    DESCRIPTION "Qt Quick module of the zelk client library
The QML module Zelk draws zelk's challenge screens over a Qt Quick
application's content and gives the library Qt's main queue, settings and
application state.

This package contains the shared library and the QML module.")
  cpack_add_component(qt_dev DISPLAY_NAME "zelk Qt Quick module development files"
    DEPENDS qt_runtime dev
    DESCRIPTION "Qt Quick module of the zelk client library - headers
The QML module Zelk draws zelk's challenge screens over a Qt Quick
application's content.

This package contains the header and the qt component of the CMake package,
find_package(zelk COMPONENTS qt).")
endif()
if("c_runtime" IN_LIST ZELK_PACKAGE_COMPONENTS)
  cpack_add_component(c_runtime DISPLAY_NAME "zelk C interface"
    DESCRIPTION "C interface of the zelk client library
libzelk-c offers the zelk client, its records, the challenge container and its
screens to hosts that call C: Kotlin and Java through JNI, Swift, C#, Dart,
Python, Rust and C itself. It contains the whole library and exports only the
zelk_ functions of its stable ABI.

This package contains the shared library.")
  # The CMake package's files come with libzelk-dev; its "c" component is this package's.
  cpack_add_component(c_dev DISPLAY_NAME "zelk C interface development files"
    DEPENDS c_runtime dev
    DESCRIPTION "C interface of the zelk client library - headers
libzelk-c offers the zelk client, its records, the challenge container and its
screens to hosts that call C.

This package contains <zelk/zelk.h>, its clang module map, the c component of
the CMake package, find_package(zelk COMPONENTS c), and the pkg-config file
zelk-c.")
endif()
if("tools" IN_LIST ZELK_PACKAGE_COMPONENTS)
  cpack_add_component(tools DISPLAY_NAME "zelk tools" DEPENDS runtime
    DESCRIPTION "command-line tools and sandbox service of the zelk client library
The zelk command attaches, detaches and identifies devices, listens to event
streams and walks challenges against a service; zelk-sandbox runs an
in-memory service on loopback for tests and demonstrations.")
endif()
if("server" IN_LIST ZELK_PACKAGE_COMPONENTS)
  cpack_add_component(server DISPLAY_NAME "zelk service"
    DESCRIPTION "account-protection service for the zelk client library
zelk-server keeps the projects, users, devices and challenges that zelk
clients report to, pushes log-outs and challenges over realtime streams, and
offers an admin API. It stores its data in SQLite.

This package runs it under systemd as the zelk-server system user.")
endif()
