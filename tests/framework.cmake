# The stream framework's threading test: a plain program (not test_*.cpp) so
# that it can carry the `threads` label and also run under ThreadSanitizer.
add_executable(framework_threads ${CMAKE_CURRENT_SOURCE_DIR}/framework_threads.cpp)
target_link_libraries(framework_threads PRIVATE nuvex_testsupport GTest::gtest_main)
gtest_discover_tests(framework_threads
  PROPERTIES TIMEOUT 300 LABELS threads ENVIRONMENT "${NUVEX_TEST_ENV}"
  DISCOVERY_TIMEOUT 60)

# The decoder-search test offers a generated tracker module to the decoders.
target_link_libraries(test_framework_decoders PRIVATE nuvex_mediagen)
