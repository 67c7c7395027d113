# Read by cpack before it packages anything (CPACK_PROJECT_CONFIG_FILE). A build whose image
# table holds a stand-in image is a test build: its package could be taken for the field
# release, so it is made only when asked for by name.
if(CPACK_KORVO_TEST_IMAGES AND NOT CPACK_KORVO_PACKAGE_TEST_IMAGES)
  message(FATAL_ERROR
    "This build carries test images (KORVO_IMAGES holds standin), not device firmware: not "
    "packaged. Build with the maker's images, or configure with -DKORVO_PACKAGE_TEST_IMAGES=ON "
    "for a package named ${CPACK_PACKAGE_NAME} that says it is for tests.")
endif()
