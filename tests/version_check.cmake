# SPDX-License-Identifier: Apache-2.0
# Checks that the version the build was given is the one every artefact carries: the generated
# <zelk/version.hpp>, the shared libraries' SONAMEs (the major version), and a release heading in
# CHANGELOG.md. Run by ctest as
#   cmake -DVERSION=x.y.z -DHEADER=... -DCHANGELOG=... -DLIBRARIES="a.so|b.so" -P version_check.cmake
string(REGEX MATCH "^([0-9]+)\\.([0-9]+)\\.([0-9]+)$" parsed "${VERSION}")
if(NOT parsed)
  message(FATAL_ERROR "the project version \"${VERSION}\" is not MAJOR.MINOR.PATCH")
endif()
set(major ${CMAKE_MATCH_1})
set(minor ${CMAKE_MATCH_2})
set(patch ${CMAKE_MATCH_3})

file(READ "${HEADER}" header)
foreach(expected IN ITEMS "ZELK_VERSION \"${VERSION}\"" "ZELK_VERSION_MAJOR ${major}"
                          "ZELK_VERSION_MINOR ${minor}" "ZELK_VERSION_PATCH ${patch}")
  string(FIND "${header}" "#define ${expected}\n" found)
  if(found EQUAL -1)
    message(FATAL_ERROR "${HEADER} lacks \"#define ${expected}\"")
  endif()
endforeach()

find_program(READELF readelf REQUIRED)
string(REPLACE "|" ";" LIBRARIES "${LIBRARIES}")
foreach(library IN LISTS LIBRARIES)
  execute_process(COMMAND ${READELF} -d "${library}" OUTPUT_VARIABLE dynamic COMMAND_ERROR_IS_FATAL ANY)
  get_filename_component(name "${library}" NAME)
  string(REGEX REPLACE "\\.so.*$" ".so.${major}" soname "${name}")
  string(FIND "${dynamic}" "Library soname: [${soname}]" found)
  if(found EQUAL -1)
    message(FATAL_ERROR "${library}: the SONAME is not ${soname}:\n${dynamic}")
  endif()
endforeach()

file(STRINGS "${CHANGELOG}" heading REGEX "^## \\[${VERSION}\\] - ")
if(NOT heading)
  message(FATAL_ERROR "${CHANGELOG} has no \"## [${VERSION}] - DATE\" heading")
endif()
message(STATUS "version ${VERSION}: header, SONAMEs (${major}) and changelog agree")
