# BENCH P5: the compact row-set form against the general one (memory) and
# against a plain vector of structs (set-then-get time).
add_executable(bench_rowset ${CMAKE_CURRENT_LIST_DIR}/bench_rowset.cpp)
target_link_libraries(bench_rowset PRIVATE kex_records)
