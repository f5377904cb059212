# The RAW and Exif tests build their input files with the DNG and TIFF structure writer.
target_link_libraries(${VELOSTAR_TEST_TARGET} PRIVATE velostar_dngwriter)
