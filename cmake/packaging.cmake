# What `cmake --install` puts where, the man pages, and the packages CPack makes from that:
# a .deb of a native build, a .zip of the Windows build holding korvo.exe and README.txt.
include(GNUInstallDirs)

math(EXPR korvo_version_major "${PROJECT_VERSION_MAJOR}")
math(EXPR korvo_version_minor "${PROJECT_VERSION_MINOR}")

# A test build (stand-in images: cmake/image_data.cmake) is packaged only when asked for, as
# korvo-test, so that nobody takes it for the field release; cpack refuses it otherwise.
option(KORVO_PACKAGE_TEST_IMAGES "Package a build that carries stand-in images, as korvo-test" OFF)
set(korvo_package_name korvo)
if(KORVO_TEST_IMAGES)
  set(korvo_package_name korvo-test)
endif()
set(KORVO_PACKAGE_CONTACT "korvo maintainers <korvo-maintainers@example.org>" CACHE STRING
    "Maintainer named in the packages")

if(WIN32)
  # The field installer's package: the program and a text to read, side by side. The
  # build's own korvo.exe keeps its symbols; the package's is stripped (CPACK_STRIP_FILES).
  install(TARGETS korvo RUNTIME DESTINATION .)

  # Windows shows this under the file's Properties; 1.01 is file version 1.1.0.0 there.
  enable_language(RC)
  set(KORVO_RC_VERSION "${korvo_version_major},${korvo_version_minor},0,0")
  configure_file(${PROJECT_SOURCE_DIR}/cmake/korvo.rc.in ${CMAKE_BINARY_DIR}/korvo.rc @ONLY)
  target_sources(korvo PRIVATE ${CMAKE_BINARY_DIR}/korvo.rc)

  # README.txt names the images built into this korvo.exe, slot by slot.
  set(KORVO_README_SLOTS "")
  set(slot 0)
  set(standin_slots "")
  foreach(entry IN LISTS KORVO_IMAGES)
    math(EXPR slot "${slot} + 1")
    if(entry STREQUAL "")
      set(what "empty")
    elseif(entry STREQUAL "standin")
      set(what "the stand-in image of the test build")
      list(APPEND standin_slots ${slot})
    else()
      get_filename_component(what "${entry}" NAME)
    endif()
    string(APPEND KORVO_README_SLOTS "  slot ${slot}: ${what}\n")
  endforeach()
  if(slot LESS 8)
    math(EXPR slot "${slot} + 1")
    string(APPEND KORVO_README_SLOTS "  slots ${slot} to 8: empty\n")
  endif()
  set(KORVO_README_WARNING "")
  if(standin_slots)
    string(REPLACE ";" ", " standin_slots "${standin_slots}")
    set(KORVO_README_WARNING "
NOT FOR REAL DEVICES: slot ${standin_slots} holds the stand-in image, our own test
firmware for product 68, PCB revision 6 (Slate Pro), version 1.14. It is not the maker's
firmware. Never give it to a real device; build korvo.exe with the maker's images instead.
")
    message(STATUS "korvo.exe carries the stand-in image in slot ${standin_slots}: its package is for tests only")
  endif()
  # Windows line ends, so that Notepad on any Windows version shows the lines (the lines of
  # the values too, which configure_file's NEWLINE_STYLE leaves alone).
  file(READ ${PROJECT_SOURCE_DIR}/cmake/README.txt.in readme)
  string(CONFIGURE "${readme}" readme @ONLY)
  string(REPLACE "\r\n" "\n" readme "${readme}")
  string(REPLACE "\n" "\r\n" readme "${readme}")
  file(WRITE ${CMAKE_BINARY_DIR}/README.txt.new "${readme}")
  configure_file(${CMAKE_BINARY_DIR}/README.txt.new ${CMAKE_BINARY_DIR}/README.txt COPYONLY)
  install(FILES ${CMAKE_BINARY_DIR}/README.txt DESTINATION .)

  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME ${korvo_package_name}-${PROJECT_VERSION}-win64)
else()
  set(korvo_programs korvo korvo-image)
  if(TARGET korvo-devsim)
    list(APPEND korvo_programs korvo-devsim)
  endif()
  install(TARGETS ${korvo_programs} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # The package's documentation folder, named after the package as Debian wants it: the
  # README, the copyright file and the package's changelog.
  set(korvo_doc_dir ${CMAKE_INSTALL_DATAROOTDIR}/doc/${korvo_package_name})
  # The Debian revision of a package the project builds itself, not a distribution: 0, then
  # our own count (lintian takes a plain 1 for a first upload to Debian).
  set(KORVO_DEB_REVISION 0korvo1)
  set(korvo_changelog ${CMAKE_BINARY_DIR}/doc/changelog.Debian)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/changelog.Debian.in ${korvo_changelog} @ONLY)
  install(FILES README.md ${PROJECT_SOURCE_DIR}/doc/copyright DESTINATION ${korvo_doc_dir})

  # korvo's man page is written by hand (doc/korvo.1); the tools' come from their --help and
  # --version through help2man, remade whenever the tool is.
  option(KORVO_MAN_PAGES "Install man pages (the tools' made with help2man)" ON)
  find_program(KORVO_HELP2MAN help2man)
  find_program(KORVO_GZIP gzip)
  if(NOT KORVO_GZIP)
    message(FATAL_ERROR "gzip is needed for the package's changelog and man pages")
  endif()
  # -n: no name or time stamp in the compressed file, so the same text gives the same bytes.
  execute_process(COMMAND ${KORVO_GZIP} -9nf ${korvo_changelog} RESULT_VARIABLE rc)
  if(NOT rc STREQUAL "0")
    message(FATAL_ERROR "gzip failed on ${korvo_changelog}")
  endif()
  install(FILES ${korvo_changelog}.gz DESTINATION ${korvo_doc_dir})

  set(man_dir ${CMAKE_BINARY_DIR}/man)
  file(MAKE_DIRECTORY ${man_dir})
  if(KORVO_MAN_PAGES)
    set(page ${PROJECT_SOURCE_DIR}/doc/korvo.1)
    file(STRINGS ${page} title REGEX "^\\.TH ")
    if(NOT title MATCHES "\"korvo ${PROJECT_VERSION}\"")
      message(FATAL_ERROR "doc/korvo.1 names another version than ${PROJECT_VERSION}: ${title}")
    endif()
    configure_file(${page} ${man_dir}/korvo.1 COPYONLY)
    execute_process(COMMAND ${KORVO_GZIP} -9nf ${man_dir}/korvo.1 RESULT_VARIABLE rc)
    if(NOT rc STREQUAL "0")
      message(FATAL_ERROR "gzip failed on ${man_dir}/korvo.1")
    endif()
    file(WRITE ${man_dir}/korvo.status "made\n")
  endif()
  if(KORVO_MAN_PAGES AND KORVO_HELP2MAN)
    set(description_korvo-image "make, inspect and check korvo firmware image files")
    set(description_korvo-devsim "a simulated Torva device on a pseudo-terminal")
    set(man_stamps)
    list(REMOVE_ITEM korvo_programs korvo)
    foreach(program ${korvo_programs})
      add_custom_command(
        OUTPUT ${man_dir}/${program}.status
        BYPRODUCTS ${man_dir}/${program}.1.gz
        COMMAND ${CMAKE_COMMAND} -DTOOL=$<TARGET_FILE:${program}> -DNAME=${program}
                -DVERSION=${PROJECT_VERSION} "-DDESCRIPTION=${description_${program}}"
                -DHELP2MAN=${KORVO_HELP2MAN} -DGZIP=${KORVO_GZIP} -DOUT_DIR=${man_dir}
                -P ${PROJECT_SOURCE_DIR}/cmake/man_page.cmake
        DEPENDS ${program} ${PROJECT_SOURCE_DIR}/cmake/man_page.cmake
        COMMENT "Man page of ${program}"
        VERBATIM)
      list(APPEND man_stamps ${man_dir}/${program}.status)
    endforeach()
    add_custom_target(korvo_man_pages ALL DEPENDS ${man_stamps})
  elseif(KORVO_MAN_PAGES)
    message(STATUS "No help2man: korvo-image and korvo-devsim get no man pages")
  endif()
  # Whichever pages were made: a program without --help and --version has none yet.
  install(CODE "
    file(GLOB pages \"${man_dir}/*.1.gz\")
    if(pages)
      file(INSTALL \${pages} DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_MANDIR}/man1\")
    endif()")

  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  # 1.01-0korvo1, as changelog.Debian names it: a package with a Debian revision keeps its
  # changes there.
  set(CPACK_DEBIAN_PACKAGE_RELEASE ${KORVO_DEB_REVISION})
  # Depends on the libraries the programs link, as dpkg-shlibdeps finds them.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()

set(CPACK_PACKAGE_NAME ${korvo_package_name})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${KORVO_PACKAGE_CONTACT})
# Lines of at most 80 characters: Debian's tools show the description as it is.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware update utility for Torva audio distribution devices")
set(CPACK_PACKAGE_DESCRIPTION
    "korvo updates the firmware of Torva audio distribution devices over an
RS-232 serial port. korvo-image makes and checks firmware image files;
korvo-devsim plays a device on a pseudo-terminal, for rehearsals and tests
without hardware.")
if(KORVO_TEST_IMAGES)
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware update utility for Torva devices (test images)")
  string(APPEND CPACK_PACKAGE_DESCRIPTION "
.
This is a test build: its firmware images are stand-ins made for tests, not
the maker's firmware. Never give them to a real device.")
endif()
set(CPACK_KORVO_TEST_IMAGES ${KORVO_TEST_IMAGES})
set(CPACK_KORVO_PACKAGE_TEST_IMAGES ${KORVO_PACKAGE_TEST_IMAGES})
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/cpack_checks.cmake)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
include(CPack)
