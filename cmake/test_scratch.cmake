# Every test runs with TMPDIR in one scratch folder of the build, made before the first
# test and removed after the last, pass, fail or crash: a test program ended mid-run (a
# timeout, a sanitizer's stop, an abort) cannot remove the folders it made itself.
# VELLICOR_KEEP_TEST_FILES=1 keeps it, with the tests' folders, for a look after a failure.
set(TEST_SCRATCH_DIR ${PROJECT_BINARY_DIR}/test-scratch)
# For gtest_discover_tests(... PROPERTIES ...) and set_tests_properties.
set(TEST_SCRATCH_PROPERTIES FIXTURES_REQUIRED test_scratch ENVIRONMENT TMPDIR=${TEST_SCRATCH_DIR})

get_property(scratch_tests_added GLOBAL PROPERTY VELLICOR_TEST_SCRATCH_ADDED)
if(NOT scratch_tests_added)
    set_property(GLOBAL PROPERTY VELLICOR_TEST_SCRATCH_ADDED 1)
    add_test(NAME TestScratch.Make COMMAND ${CMAKE_COMMAND} -E make_directory ${TEST_SCRATCH_DIR})
    add_test(NAME TestScratch.Remove
        COMMAND sh -c "[ \"$VELLICOR_KEEP_TEST_FILES\" = 1 ] || rm -rf \"$0\"" ${TEST_SCRATCH_DIR})
    set_tests_properties(TestScratch.Make PROPERTIES FIXTURES_SETUP test_scratch)
    set_tests_properties(TestScratch.Remove PROPERTIES FIXTURES_CLEANUP test_scratch)
endif()

# Gives tests made by add_test the scratch folder, keeping the environment they set.
function(use_test_scratch)
    foreach(test ${ARGN})
        set_property(TEST ${test} APPEND PROPERTY ENVIRONMENT TMPDIR=${TEST_SCRATCH_DIR})
        set_property(TEST ${test} APPEND PROPERTY FIXTURES_REQUIRED test_scratch)
    endforeach()
endfunction()
