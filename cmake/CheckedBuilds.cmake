# Two more native builds of the logic, each a configuration of its own with clang:
#   PELLARO_FUZZ  libFuzzer targets (fuzz/), everything built with coverage and the
#                 address and undefined-behaviour sanitizers;
#   PELLARO_TSAN  everything built with the thread sanitizer (the race stress test).
# scripts/fuzz.sh, scripts/fuzz-ci.sh and scripts/test.sh configure them.
option(PELLARO_FUZZ "Build the libFuzzer targets (native logic build, clang)" OFF)
option(PELLARO_TSAN "Build with the thread sanitizer (native logic build)" OFF)

if(PELLARO_FUZZ OR PELLARO_TSAN)
    if(NOT PELLARO_LOGIC_ONLY)
        message(FATAL_ERROR "PELLARO_FUZZ and PELLARO_TSAN need PELLARO_LOGIC_ONLY")
    endif()
    if(PELLARO_SANITIZE)
        message(FATAL_ERROR "PELLARO_FUZZ and PELLARO_TSAN choose their own sanitizers: "
                            "leave PELLARO_SANITIZE off")
    endif()
    if(PELLARO_FUZZ AND PELLARO_TSAN)
        message(FATAL_ERROR "the thread sanitizer cannot be combined with the address sanitizer")
    endif()
endif()

# A member that only one platform's glue uses is "unused" to clang on the
# other; added after the shared options, which turn the warning on.
if((PELLARO_FUZZ OR PELLARO_TSAN) AND CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL target_compile_options pellaro_core
                   PRIVATE -Wno-unused-private-field)
endif()

if(PELLARO_FUZZ)
    if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
        message(FATAL_ERROR "PELLARO_FUZZ needs clang (libFuzzer): -DCMAKE_CXX_COMPILER=clang++")
    endif()
    # Coverage for every target of the tree; only the fuzz targets link the
    # fuzzer's own main (fuzz/CMakeLists.txt). A sanitizer report must end the
    # run, or libFuzzer would not count it as a finding.
    add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all
                        -fno-omit-frame-pointer -g)
    add_link_options(-fsanitize=address,undefined)
    # Read once the top-level file is done, so that pellaro_core and the
    # shared target options exist (a deferred call may not add a directory).
    cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL include
                   ${CMAKE_SOURCE_DIR}/fuzz/CMakeLists.txt)
endif()

if(PELLARO_TSAN)
    add_compile_options(-fsanitize=thread -fno-omit-frame-pointer -g)
    add_link_options(-fsanitize=thread)
    # The sanitizer does not see the timed waits of bufferMutex without this.
    cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL target_sources pellaro_core
                   PRIVATE ${CMAKE_SOURCE_DIR}/cmake/tsan_clocklock.cpp)
endif()
