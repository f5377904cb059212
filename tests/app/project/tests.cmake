# The model's calls into the engine interface need the engine's type information (sanitizer
# builds check it), so the static engine is listed after the model.
target_link_libraries(${VELOSTAR_TEST_TARGET} PRIVATE velostar_project velostar_appmodel velostar_static)
