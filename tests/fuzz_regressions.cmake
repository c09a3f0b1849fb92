# The fuzz regression replay runs the fuzz targets' in-process entries, so it is built
# with their source (compiled by the main compiler, without libFuzzer).
target_sources(test_fuzz_regressions PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/../fuzz/fuzz_entries.cpp)
target_include_directories(test_fuzz_regressions PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/../fuzz)
