# The model builds without wxWidgets, so its tests run even where the program is not built.
if(NOT TARGET velostar_appmodel)
  add_subdirectory(${PROJECT_SOURCE_DIR}/app/model ${PROJECT_BINARY_DIR}/app/model)
endif()
target_link_libraries(${VELOSTAR_TEST_TARGET} PRIVATE velostar_appmodel)
# Preview loading decodes generated DNG, TIFF and JPEG files through wxImage and LibRaw.
target_link_libraries(${VELOSTAR_TEST_TARGET} PRIVATE velostar_previewloading velostar_dngwriter)
