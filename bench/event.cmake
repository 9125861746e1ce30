# Event marshalling: round trip of a marshalled call (P1) and throughput with
# several raisers through one SyncEvent (P2). Windows only.
if(WIN32)
    add_executable(bench_event ${CMAKE_CURRENT_LIST_DIR}/bench_event.cpp)
    target_link_libraries(bench_event PRIVATE kex_evt kex_test_support ole32 oleaut32 uuid)
endif()
