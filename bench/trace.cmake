# P3: cost of a trace record against a bare write and flush of the same bytes.
if(WIN32)
    add_executable(bench_trace ${CMAKE_CURRENT_LIST_DIR}/bench_trace.cpp)
    target_link_libraries(bench_trace PRIVATE kex_log kex_test_support)
endif()
