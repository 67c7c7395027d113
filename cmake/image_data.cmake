# The firmware images built into korvo: korvo_image_data, a library holding only the
# generated image table. Up to 8 files in slot order; an empty entry leaves its slot empty,
# and "standin" stands for the stand-in image that korvo-image generates. Relative paths
# are taken from the top of the source tree.
set(KORVO_IMAGES "standin" CACHE STRING
    "Firmware image files for slots 1 to 8, ;-separated; empty entry = empty slot; standin = the generated stand-in")
# For a cross build that cannot run its own korvo-image: one built for the build machine.
set(KORVO_IMAGE_TOOL "" CACHE FILEPATH "korvo-image to run at build time instead of the one built here")

set(korvo_image_dir ${CMAKE_BINARY_DIR}/images)
file(MAKE_DIRECTORY ${korvo_image_dir})
if(KORVO_IMAGE_TOOL)
  set(korvo_image_tool ${KORVO_IMAGE_TOOL})
else()
  set(korvo_image_tool korvo-image)
endif()

# Any stand-in image makes this a test build. It says so wherever it could pass for the real
# thing: korvo's version and update question, and its package (cmake/packaging.cmake).
if("standin" IN_LIST KORVO_IMAGES)
  set(KORVO_TEST_IMAGES ON CACHE INTERNAL "The image table holds a stand-in image")
else()
  set(KORVO_TEST_IMAGES OFF CACHE INTERNAL "The image table holds a stand-in image")
endif()

list(LENGTH KORVO_IMAGES korvo_image_entries)
if(korvo_image_entries GREATER 8)
  message(FATAL_ERROR "KORVO_IMAGES names ${korvo_image_entries} slots; the table has 8")
endif()

set(korvo_image_files)
set(korvo_image_slots "# Generated from KORVO_IMAGES: the image file of each slot.\n")
set(korvo_image_slot 0)
foreach(entry IN LISTS KORVO_IMAGES)
  math(EXPR korvo_image_slot "${korvo_image_slot} + 1")
  set(file "")
  if(entry STREQUAL "standin")
    set(file ${korvo_image_dir}/standin.img)
  elseif(NOT entry STREQUAL "")
    get_filename_component(file "${entry}" ABSOLUTE BASE_DIR ${PROJECT_SOURCE_DIR})
    if(NOT EXISTS "${file}")
      message(FATAL_ERROR "KORVO_IMAGES slot ${korvo_image_slot}: ${file} does not exist")
    endif()
  endif()
  string(APPEND korvo_image_slots "set(KORVO_SLOT_${korvo_image_slot} \"${file}\")\n")
  if(file)
    list(APPEND korvo_image_files ${file})
  endif()
endforeach()
list(REMOVE_DUPLICATES korvo_image_files)
# Rewritten only when the slots change, so the table is regenerated only then.
file(CONFIGURE OUTPUT ${korvo_image_dir}/slots.cmake CONTENT "${korvo_image_slots}")

if("standin" IN_LIST KORVO_IMAGES)
  # copy_if_different: a relinked tool writes the same bytes, and the table is not rebuilt.
  add_custom_command(
    OUTPUT ${korvo_image_dir}/standin.img
    COMMAND ${korvo_image_tool} standin ${korvo_image_dir}/standin.img.new
    COMMAND ${CMAKE_COMMAND} -E copy_if_different ${korvo_image_dir}/standin.img.new
            ${korvo_image_dir}/standin.img
    DEPENDS ${korvo_image_tool}
    COMMENT "Generating the stand-in firmware image"
    VERBATIM)
endif()

add_custom_command(
  OUTPUT ${korvo_image_dir}/image_table.cpp
  COMMAND ${CMAKE_COMMAND} -DSLOTS=${korvo_image_dir}/slots.cmake
          -DOUT=${korvo_image_dir}/image_table.cpp -P ${PROJECT_SOURCE_DIR}/cmake/embed_images.cmake
  DEPENDS ${korvo_image_files} ${korvo_image_dir}/slots.cmake
          ${PROJECT_SOURCE_DIR}/cmake/embed_images.cmake
  COMMENT "Embedding the firmware images"
  VERBATIM)

add_library(korvo_image_data STATIC ${korvo_image_dir}/image_table.cpp)
target_include_directories(korvo_image_data PRIVATE ${PROJECT_SOURCE_DIR}/src)
# Debug information would repeat every byte of the images as constant values.
target_compile_options(korvo_image_data PRIVATE -g0)

# The program trusts its images at run time: nothing is embedded that fails a check.
if(korvo_image_files)
  add_custom_command(
    OUTPUT ${korvo_image_dir}/verified.stamp
    COMMAND ${korvo_image_tool} verify ${korvo_image_files}
    COMMAND ${CMAKE_COMMAND} -E touch ${korvo_image_dir}/verified.stamp
    DEPENDS ${korvo_image_files} ${korvo_image_tool}
    COMMENT "Verifying the firmware images to embed"
    VERBATIM)
  add_custom_target(korvo_image_verify DEPENDS ${korvo_image_dir}/verified.stamp)
  add_dependencies(korvo_image_data korvo_image_verify)
endif()
