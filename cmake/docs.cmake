# SPDX-License-Identifier: Apache-2.0
# The `docs` target: the API reference of the public headers (Doxygen, with README.md as its
# first page) and the architecture diagram (Graphviz), in <build>/docs/. Undocumented public API
# and documentation errors fail the build. Not part of `all`; CI builds it on its own.
find_package(Doxygen 1.9 COMPONENTS dot)
if(NOT DOXYGEN_FOUND)
  message(STATUS "Doxygen or Graphviz not found: no docs target")
  return()
endif()

set(ZELK_DOCS_OUTPUT ${PROJECT_BINARY_DIR}/docs)
configure_file(${PROJECT_SOURCE_DIR}/docs/Doxyfile.in ${ZELK_DOCS_OUTPUT}/Doxyfile @ONLY)
file(GLOB ZELK_DOCS_INPUTS CONFIGURE_DEPENDS
     ${PROJECT_SOURCE_DIR}/include/zelk/*.hpp ${PROJECT_SOURCE_DIR}/include/zelk/*.h
     ${PROJECT_SOURCE_DIR}/qt/include/zelk/*.hpp
     ${PROJECT_SOURCE_DIR}/docs/*.md ${PROJECT_SOURCE_DIR}/*.md)

add_custom_command(
  OUTPUT ${ZELK_DOCS_OUTPUT}/architecture.svg
  COMMAND Doxygen::dot -Tsvg ${PROJECT_SOURCE_DIR}/docs/architecture.dot
          -o ${ZELK_DOCS_OUTPUT}/architecture.svg
  DEPENDS ${PROJECT_SOURCE_DIR}/docs/architecture.dot
  COMMENT "Drawing the architecture diagram")
add_custom_command(
  OUTPUT ${ZELK_DOCS_OUTPUT}/html/index.html
  COMMAND Doxygen::doxygen ${ZELK_DOCS_OUTPUT}/Doxyfile
  DEPENDS ${ZELK_DOCS_OUTPUT}/Doxyfile ${ZELK_DOCS_OUTPUT}/architecture.svg ${ZELK_DOCS_INPUTS}
          ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_BINARY_DIR}/include/zelk/version.hpp
  WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
  COMMENT "Building the API reference in ${ZELK_DOCS_OUTPUT}/html")
add_custom_target(docs DEPENDS ${ZELK_DOCS_OUTPUT}/html/index.html)
