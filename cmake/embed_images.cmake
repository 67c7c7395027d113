# Script mode: writes the C++ source of the embedded image table.
#   cmake -DSLOTS=<slots.cmake> -DOUT=<image_table.cpp> -P embed_images.cmake
# SLOTS sets KORVO_SLOT_1 .. KORVO_SLOT_8 to an image file each, or to nothing for an empty
# slot. The images were verified by `korvo-image verify` before this runs; here only their
# bytes are turned into read-only arrays, each with its SHA-256 for the update record.
cmake_minimum_required(VERSION 3.25)

if(NOT DEFINED SLOTS OR NOT DEFINED OUT)
  message(FATAL_ERROR "embed_images.cmake needs -DSLOTS=<file> and -DOUT=<file>")
endif()
include(${SLOTS})

string(REPEAT "0x[0-9a-f][0-9a-f]," 16 line_of_16)
set(arrays "")
set(entries "")
foreach(slot RANGE 1 8)
  set(file "${KORVO_SLOT_${slot}}")
  if(file STREQUAL "")
    string(APPEND entries "    Image{},  // slot ${slot}: empty\n")
    continue()
  endif()
  if(NOT EXISTS "${file}")
    message(FATAL_ERROR "Image for slot ${slot}: ${file} does not exist")
  endif()
  file(READ "${file}" hex HEX)
  string(LENGTH "${hex}" digits)
  math(EXPR size "${digits} / 2")
  if(size EQUAL 0)
    message(FATAL_ERROR "Image for slot ${slot}: ${file} is empty")
  endif()
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," body "${hex}")
  string(REGEX REPLACE "(${line_of_16})" "\\1\n" body "${body}")
  file(SHA256 "${file}" sha256)
  get_filename_component(name "${file}" NAME)
  string(APPEND arrays "// Slot ${slot}: ${name}, ${size} bytes.\nconst uint8_t slot_${slot}[${size}] = {\n${body}\n};\n\n")
  string(APPEND entries "    Image{slot_${slot}, sizeof slot_${slot}, \"${sha256}\"},\n")
endforeach()

set(text "// Generated at build time from the firmware images named in KORVO_IMAGES; do not edit.
#include \"images/image.h\"

namespace korvo {

namespace {

${arrays}constexpr ImageTable table{{
${entries}}};

}  // namespace

const ImageTable& image_table() { return table; }

}  // namespace korvo
")
file(WRITE "${OUT}" "${text}")
