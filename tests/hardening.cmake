# Hardening: misuse and regression tests are plain test_*.cpp programs. Here:
# the one misuse test that also runs under ThreadSanitizer (a context
# destroyed while the update thread plays from it), and the soak program,
# which is built with the tests but run only by scripts/soak.sh.
gtest_discover_tests(test_misuse TEST_PREFIX "threads:"
  TEST_FILTER "Misuse.ContextDestroyedWhileTheUpdateThreadRuns"
  PROPERTIES LABELS threads TIMEOUT 120 ENVIRONMENT "${NUVEX_TEST_ENV}"
  DISCOVERY_TIMEOUT 60)

add_executable(nuvex_soak EXCLUDE_FROM_ALL ${CMAKE_CURRENT_SOURCE_DIR}/soak/soak.cpp)
target_link_libraries(nuvex_soak PRIVATE nuvex_testsupport)
