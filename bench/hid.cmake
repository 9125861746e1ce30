# P6: key latency through the HID headset adapter against a bare ReadFile of
# the same virtual HID headset. Runs in the HID prefix (<build>/hid-run), so
# it sits with the virtual headset rather than among the bench_* programs.
if(WIN32 AND TARGET install_virtual_hid)
    add_executable(bench_hid_key_latency ${CMAKE_CURRENT_LIST_DIR}/bench_hid_key_latency.cpp)
    target_link_libraries(bench_hid_key_latency PRIVATE kex_test_support kex_win32 kex_idl hid setupapi ole32 oleaut32 uuid)
    set_target_properties(bench_hid_key_latency PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/hid)
    add_dependencies(bench_hid_key_latency install_virtual_hid hid_headset)
endif()
