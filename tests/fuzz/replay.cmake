# tav_fuzz_replay: the fuzz harness without libFuzzer, a plain program that
# runs the seed corpus and every regression input through the harness once.
# Included from tests/CMakeLists.txt, so the ordinary build runs it under ctest.
add_executable(tav_fuzz_replay ${CMAKE_CURRENT_LIST_DIR}/tav_fuzz.cpp)
target_compile_definitions(tav_fuzz_replay PRIVATE TAV_FUZZ_REPLAY)
target_compile_options(tav_fuzz_replay PRIVATE ${TAV_WARNINGS})
target_link_libraries(tav_fuzz_replay PRIVATE tav_test_host)
file(GLOB TAV_FUZZ_INPUTS CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/corpus/* ${CMAKE_CURRENT_LIST_DIR}/regressions/*)
list(FILTER TAV_FUZZ_INPUTS EXCLUDE REGEX "\\.md$")
add_test(NAME fuzz_replay COMMAND tav_fuzz_replay ${TAV_FUZZ_INPUTS})
