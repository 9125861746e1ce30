# P4: a command late bound through the component against the adapters' own
# "execute" (Windows only: runs the built KexUSBPhone.dll).
if(WIN32)
    add_executable(bench_command ${CMAKE_CURRENT_LIST_DIR}/bench_command.cpp)
    target_link_libraries(bench_command PRIVATE kex_idl ole32 oleaut32 uuid)
    foreach(t recording_adapter recording_adapter2)
        if(TARGET ${t})
            add_dependencies(bench_command ${t})
        endif()
    endforeach()
    # The component DLL is defined at the end of configuration.
    function(kex_bench_command_dependencies)
        if(TARGET KexUSBPhone)
            add_dependencies(bench_command KexUSBPhone)
        endif()
    endfunction()
    cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL kex_bench_command_dependencies)
endif()
