find_package(PNG REQUIRED)
target_link_libraries(${VELOSTAR_TEST_TARGET} PRIVATE velostar_cli_core velostar_skygen PNG::PNG)
# The process-level tests run the programs themselves.
add_dependencies(${VELOSTAR_TEST_TARGET} velostar-cli velostar-skygen)
