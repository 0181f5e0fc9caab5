# SPDX-License-Identifier: Apache-2.0
# Writes a C++ source file that defines a function returning a file's bytes, so a program serves
# the file without reading it at run time. Run at build time as
#   cmake -DINPUT=<file> -DOUTPUT=<file.cpp> -DNAMESPACE=<ns> -DFUNCTION=<name> -P embed_text.cmake
# The function, declared by whoever includes it as `std::string_view <name>();` in <ns>, returns
# the bytes as they are, without a terminating NUL.
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" digits)
math(EXPR size "${digits} / 2")
# Sixteen bytes a line; a byte array rather than a string literal, which compilers cap in length.
string(REPEAT "[0-9a-f]" 32 line)
string(REGEX REPLACE "(${line})" "\\1\n" lines "${hex}")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${lines}")
get_filename_component(name "${INPUT}" NAME)
file(WRITE "${OUTPUT}.new"
     "// Generated from ${name} by cmake/embed_text.cmake: edit ${name} instead.
#include <string_view>

namespace ${NAMESPACE} {
namespace {

constexpr unsigned char kBytes[${size} + 1] = {
${bytes}0};

}  // namespace

std::string_view ${FUNCTION}() {
  return {reinterpret_cast<const char*>(kBytes), ${size}};
}

}  // namespace ${NAMESPACE}
")
# Left alone when unchanged, so nothing is compiled again for nothing.
file(COPY_FILE "${OUTPUT}.new" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.new")
