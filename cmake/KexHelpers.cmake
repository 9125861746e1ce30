# The project's CMake helpers: how test programs, test DLLs and test scripts
# are built and registered with ctest.
#
# Every Windows test runs its programs through a Wine wrapper (<build>/wine-run,
# or <build>/hid-run in the HID prefix) that fails a run which crashed or
# outlived its time, whatever the exit status: under Wine 8 a program that
# crashed can exit 0. The wrapper stops a program at the test's TIMEOUT and
# names it; ctest's own limit, this much later, is only the backstop.
set(KEX_TIMEOUT_BACKSTOP 30)

# kex_use_sta_main(<target>)
# The test program's main thread is a single-threaded apartment (a host's).
function(kex_use_sta_main name)
    target_sources(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests/support/sta_main.cpp)
    target_link_libraries(${name} PRIVATE GTest::gtest ole32)
endfunction()

# kex_add_test(<name> SOURCES <files...> [LIBS <targets...>] [TIMEOUT <s>] [NO_GTEST | STA_MAIN])
# One GoogleTest program (NO_GTEST: it has its own main; STA_MAIN: its main
# thread is a host's apartment), run by ctest: under Wine in the Windows
# build, where it must also reach GoogleTest's closing summary with no failed
# test.
function(kex_add_test name)
    cmake_parse_arguments(T "NO_GTEST;STA_MAIN" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE ${T_LIBS} kex_test_support)
    if(T_STA_MAIN)
        kex_use_sta_main(${name})
    elseif(NOT T_NO_GTEST)
        target_link_libraries(${name} PRIVATE GTest::gtest_main)
    endif()
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 300)
    endif()
    if(WIN32)
        kex_add_wine_test(${name} ${CMAKE_BINARY_DIR}/wine-run ${T_TIMEOUT} --gtest $<TARGET_FILE:${name}>)
    else()
        add_test(NAME ${name} COMMAND ${name})
        set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT})
    endif()
endfunction()

# kex_add_wine_test(<name> <wrapper> <seconds> <wrapper arguments...>)
# A test that runs one Windows program through a Wine wrapper.
function(kex_add_wine_test name wrapper seconds)
    add_test(NAME ${name} COMMAND ${wrapper} --timeout ${seconds} ${ARGN})
    math(EXPR backstop "${seconds} + ${KEX_TIMEOUT_BACKSTOP}")
    set_tests_properties(${name} PROPERTIES TIMEOUT ${backstop})
endfunction()

# kex_add_script_test(<name> TIMEOUT <s> EXPECT <text>... COMMAND <command...>)
# A test driven by a shell script (scripts/script-test.sh): it passes when the
# script exits 0, prints each EXPECT text in order, and no Windows program it
# ran through a wrapper crashed or timed out.
function(kex_add_script_test name)
    cmake_parse_arguments(S "" "TIMEOUT" "EXPECT;COMMAND" ${ARGN})
    set(expects)
    foreach(text IN LISTS S_EXPECT)
        list(APPEND expects --expect ${text})
    endforeach()
    add_test(NAME ${name} COMMAND bash ${CMAKE_SOURCE_DIR}/scripts/script-test.sh
             --name ${name} --timeout ${S_TIMEOUT} ${expects} -- ${S_COMMAND})
    math(EXPR backstop "${S_TIMEOUT} + ${KEX_TIMEOUT_BACKSTOP}")
    set_tests_properties(${name} PROPERTIES TIMEOUT ${backstop})
endfunction()

# kex_add_test_dll(<name> SOURCES <files...> [DEF <file.def>] [LIBS ...])
# A DLL used by tests (test adapters and the like), beside the test programs.
function(kex_add_test_dll name)
    cmake_parse_arguments(D "" "DEF" "SOURCES;LIBS" ${ARGN})
    add_library(${name} SHARED ${D_SOURCES} ${D_DEF})
    set_target_properties(${name} PROPERTIES PREFIX "")
    target_link_libraries(${name} PRIVATE ${D_LIBS} kex_test_support)
endfunction()
