target_link_libraries(${VELOSTAR_TEST_TARGET} PRIVATE velostar_skygen)
