# Turns a set of PEM certificates into a C++ source holding them as one byte array, so the
# program trusts exactly these roots and never the system's store.
#
#   cmake -DSOURCE=<folder of *.crt or one PEM file> -DOUTPUT=<file.cpp> -P embed_roots.cmake
if(IS_DIRECTORY "${SOURCE}")
  file(GLOB certificates "${SOURCE}/*.crt")
  list(SORT certificates)
else()
  set(certificates "${SOURCE}")
endif()
if(NOT certificates)
  message(FATAL_ERROR "no certificates found at ${SOURCE}")
endif()

set(pem "")
foreach(certificate ${certificates})
  file(READ "${certificate}" content)
  string(APPEND pem "${content}\n")
endforeach()
if(NOT pem MATCHES "-----BEGIN CERTIFICATE-----")
  message(FATAL_ERROR "${SOURCE} holds no PEM certificate")
endif()

file(WRITE "${OUTPUT}.pem" "${pem}")
file(READ "${OUTPUT}.pem" hex HEX)
file(REMOVE "${OUTPUT}.pem")
string(LENGTH "${hex}" hex_length)
math(EXPR size "${hex_length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)"
       "\\1\n" bytes "${bytes}")

file(WRITE "${OUTPUT}.tmp" "// Generated from ${SOURCE}; do not edit.
#include <cstddef>

namespace vavev_aziz::alpaca::http {
extern const unsigned char kMozillaRoots[];
extern const std::size_t kMozillaRootsSize;
const unsigned char kMozillaRoots[] = {
${bytes}};
const std::size_t kMozillaRootsSize = ${size};
}  // namespace vavev_aziz::alpaca::http
")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
