# The codec tests generate their media with the writers in tools/mediagen.
target_link_libraries(nuvex_testsupport PUBLIC nuvex_mediagen)
