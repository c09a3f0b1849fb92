# imported_library(TARGET PREFIX HEADER NAME): finds a library that is a header and an
# archive (Debian's -dev package on Linux; on Windows the static archive
# scripts/build-windows.sh makes, handed in as PREFIX_INCLUDE_DIR and PREFIX_LIBRARY) and
# makes it the imported target TARGET.
function(imported_library target prefix header name)
    find_path(${prefix}_INCLUDE_DIR ${header} REQUIRED)
    find_library(${prefix}_LIBRARY NAMES ${name} REQUIRED)
    if(NOT TARGET ${target})
        add_library(${target} UNKNOWN IMPORTED GLOBAL)
        set_target_properties(${target} PROPERTIES
            IMPORTED_LOCATION "${${prefix}_LIBRARY}"
            INTERFACE_INCLUDE_DIRECTORIES "${${prefix}_INCLUDE_DIR}")
    endif()
    message(STATUS "${target}: ${${prefix}_LIBRARY}")
endfunction()
