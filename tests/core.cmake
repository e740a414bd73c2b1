# Library core: programs that load the library themselves, the stand-in
# OpenAL program, the public-header programs and the export check.

# The path under which the test programs find (or dlopen) the library: the
# soname link, the same name the loader records for programs linked to it.
set(NUVEX_CORE_LIBRARY_PATH "NUVEX_LIBRARY_PATH=\"$<TARGET_SONAME_FILE:nuvex>\"")

target_compile_definitions(test_core_state PRIVATE ${NUVEX_CORE_LIBRARY_PATH})

# ENVIRONMENT goes last in gtest_discover_tests: discovery splits its list
# into separate arguments, which would pair later property names with the
# wrong values.

# The unload test must not link the library, or dlclose would not unmap it.
# It keeps OpenAL Soft loaded, as an application using OpenAL itself would.
set_property(TARGET test_unload PROPERTY LINK_LIBRARIES
             GTest::gtest_main PkgConfig::OPENAL Threads::Threads ${CMAKE_DL_LIBS})
target_include_directories(test_unload PRIVATE ${PROJECT_SOURCE_DIR}/include)
target_compile_definitions(test_unload PRIVATE ${NUVEX_CORE_LIBRARY_PATH})
add_dependencies(test_unload nuvex)

# Stand-in OpenAL: the program exports its own definitions of a few OpenAL
# and libc entry points, which then take the place of the real ones for the
# library it loads with dlopen.
add_executable(core_variants standin/core_variants.cpp standin/openal_standin.cpp)
set_target_properties(core_variants PROPERTIES ENABLE_EXPORTS ON)
target_include_directories(core_variants PRIVATE ${PROJECT_SOURCE_DIR}/include
                           ${CMAKE_CURRENT_SOURCE_DIR}/support ${CMAKE_CURRENT_SOURCE_DIR}/standin)
target_compile_definitions(core_variants PRIVATE ${NUVEX_CORE_LIBRARY_PATH})
target_link_libraries(core_variants PRIVATE GTest::gtest_main PkgConfig::OPENAL
                      Threads::Threads ${CMAKE_DL_LIBS})
add_dependencies(core_variants nuvex)
gtest_discover_tests(core_variants
  PROPERTIES TIMEOUT 120 ENVIRONMENT "${NUVEX_TEST_ENV}"
  DISCOVERY_TIMEOUT 60)

# The public header, used by a C99 and a C++ program that call every
# function; any warning is an error here.
add_executable(header_c99 header_c99.c)
set_target_properties(header_c99 PROPERTIES C_STANDARD 99 C_STANDARD_REQUIRED ON C_EXTENSIONS OFF)
add_executable(header_cpp header_cpp.cpp)
foreach(program header_c99 header_cpp)
  target_compile_options(${program} PRIVATE -pedantic -Werror)
  target_link_libraries(${program} PRIVATE nuvex)
  add_test(NAME ${program} COMMAND ${program})
  set_tests_properties(${program} PROPERTIES ENVIRONMENT "${NUVEX_TEST_ENV}" TIMEOUT 60)
endforeach()

# Only the C interface leaves the library: exactly the 34 functions and the
# one variable, nothing else defined in its dynamic symbol table.
add_test(NAME core_exported_symbols COMMAND sh -c [=[
  symbols=$(nm -D --defined-only "$1" | awk '{ print $3 }' | sort)
  others=$(printf '%s\n' "$symbols" | grep -v -x -E 'nuvex[A-Za-z0-9]+|UsingSTDIO')
  functions=$(printf '%s\n' "$symbols" | grep -c -x -E 'nuvex[A-Za-z0-9]+')
  [ -z "$others" ] || { echo "unexpected exports:"; echo "$others"; exit 1; }
  [ "$functions" -eq 34 ] || { echo "$functions nuvex functions exported, expected 34"; exit 1; }
  printf '%s\n' "$symbols" | grep -q -x UsingSTDIO || { echo "UsingSTDIO missing"; exit 1; }
]=] check-exports $<TARGET_FILE:nuvex>)

# Also under ThreadSanitizer: the last-error slot written by several
# threads, the lock, and unloading with the update thread running.
gtest_discover_tests(test_core_state TEST_PREFIX "threads:" TEST_FILTER "CoreLastErrorThreads.*"
  PROPERTIES TIMEOUT 300 LABELS threads ENVIRONMENT "${NUVEX_TEST_ENV}"
  DISCOVERY_TIMEOUT 60)
gtest_discover_tests(unit_core TEST_PREFIX "threads:" TEST_FILTER "CoreLock.*"
  PROPERTIES TIMEOUT 300 LABELS threads ENVIRONMENT "${NUVEX_TEST_ENV}"
  DISCOVERY_TIMEOUT 60)
gtest_discover_tests(test_unload TEST_PREFIX "threads:"
  PROPERTIES TIMEOUT 300 LABELS threads ENVIRONMENT "${NUVEX_TEST_ENV}"
  DISCOVERY_TIMEOUT 60)
