# The update-thread tests link the library's objects rather than the shared
# library, so that --wrap can make thread creation fail on demand. They and
# the stress test carry the `threads` label: the ThreadSanitizer build runs
# them.
add_executable(playback_threads ${CMAKE_CURRENT_SOURCE_DIR}/playback_threads.cpp
               ${NUVEX_TEST_SUPPORT})
target_include_directories(playback_threads PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/support)
target_link_libraries(playback_threads PRIVATE nuvex_objects GTest::gtest_main
                      PkgConfig::VORBISENC ${CMAKE_DL_LIBS})
target_link_options(playback_threads PRIVATE -Wl,--wrap=pthread_create)
# ENVIRONMENT goes last: gtest_discover_tests splits its list into separate
# arguments, and any property after it would be read as part of it.
gtest_discover_tests(playback_threads
  PROPERTIES LABELS threads TIMEOUT 120 ENVIRONMENT "${NUVEX_TEST_ENV}"
  DISCOVERY_TIMEOUT 60)
