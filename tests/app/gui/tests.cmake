# The self-test drives the real program under a virtual X server, so it needs the program built.
if(TARGET Velostar)
  add_dependencies(${VELOSTAR_TEST_TARGET} Velostar velostar-cli)
else()
  target_compile_definitions(${VELOSTAR_TEST_TARGET} PRIVATE VELOSTAR_NO_DESKTOP_PROGRAM)
endif()
# The stacking runs generate their frames and read the result back; the preview runs read the
# program's pictures of the preview and write a DNG for it.
target_link_libraries(${VELOSTAR_TEST_TARGET} PRIVATE velostar_skygen TIFF::TIFF velostar_project velostar_dngwriter)
