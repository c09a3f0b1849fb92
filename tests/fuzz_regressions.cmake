# The fuzz regression replay runs the fuzz targets' in-process entries, so it is built
# with their sources (compiled by the main compiler, without libFuzzer).
include(${CMAKE_CURRENT_SOURCE_DIR}/../fuzz/entries.cmake)
target_sources(test_fuzz_regressions PRIVATE ${FUZZ_ENTRY_SOURCES})
target_include_directories(test_fuzz_regressions PRIVATE ${FUZZ_ENTRY_INCLUDES})
