# nuvex-play runs as a real process against the generated demo media; both
# exist only when the tools are built.
if(NUVEX_BUILD_TOOLS)
  add_executable(player_cli ${CMAKE_CURRENT_SOURCE_DIR}/player_cli.cpp)
  target_link_libraries(player_cli PRIVATE GTest::gtest_main PkgConfig::VORBISENC
                        PkgConfig::MODPLUG util)
  target_compile_definitions(player_cli PRIVATE
    NUVEX_PLAY="$<TARGET_FILE:nuvex-play>"
    NUVEX_DEMO_DIR="${PROJECT_BINARY_DIR}/demo")
  target_compile_definitions(player_cli PRIVATE NUVEX_VERSION="${PROJECT_VERSION}")
  find_program(NUVEX_VALGRIND valgrind)
  if(NUVEX_VALGRIND)
    target_compile_definitions(player_cli PRIVATE NUVEX_VALGRIND="${NUVEX_VALGRIND}")
  endif()
  add_dependencies(player_cli nuvex-play nuvex-demo)
  gtest_discover_tests(player_cli
    PROPERTIES ENVIRONMENT "${NUVEX_TEST_ENV}" TIMEOUT 120
    DISCOVERY_TIMEOUT 60)
endif()
