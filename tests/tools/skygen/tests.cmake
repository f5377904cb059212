find_package(nlohmann_json REQUIRED)
find_package(PNG REQUIRED)
target_link_libraries(${VELOSTAR_TEST_TARGET} PRIVATE velostar_skygen nlohmann_json::nlohmann_json PNG::PNG TIFF::TIFF)
