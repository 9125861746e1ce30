# P4: a command late bound through the component against the adapters' own
# "execute" (Windows only: runs the built KexUSBPhone.dll).
if(WIN32)
    add_executable(bench_command ${CMAKE_CURRENT_LIST_DIR}/bench_command.cpp)
    target_link_libraries(bench_command PRIVATE kex_idl kex_adapter_contract kex_test_support)
    add_dependencies(bench_command KexUSBPhone)
    foreach(t recording_adapter recording_adapter2)
        if(TARGET ${t})
            add_dependencies(bench_command ${t})
        endif()
    endforeach()
endif()
