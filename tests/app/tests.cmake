# The load thread is part of the desktop program; its test builds it from the program's sources.
target_sources(${VELOSTAR_TEST_TARGET} PRIVATE ${PROJECT_SOURCE_DIR}/app/LoadThread.cpp)
target_include_directories(${VELOSTAR_TEST_TARGET} PRIVATE ${PROJECT_SOURCE_DIR}/app)
target_link_libraries(${VELOSTAR_TEST_TARGET} PRIVATE velostar_previewloading velostar_dngwriter)
