# test_program_flags(TARGET): the test programs' own code needs no speed (the converter's
# library and the dialogs keep their flags), so it builds with light flags, which halve
# its compile time; under the sanitizers -O0 with line tables, a third of -O1's time, and
# the reports keep their file and line.
function(test_program_flags target)
    if(VELLICOR_SANITIZE)
        target_compile_options(${target} PRIVATE -O0 -g1)
    else()
        target_compile_options(${target} PRIVATE -O1 -g0)
    endif()
endfunction()
