# The terminal half over a hybrid SSH connection, in a window of its own for looking at the
# links by eye: build/bench/kv_shellpanel_harness HOST PORT USER PASSWORD
if(TARGET kv_ui)
    add_executable(kv_shellpanel_harness ${CMAKE_CURRENT_LIST_DIR}/Kv.ShellPanel.Harness.cpp)
    target_link_libraries(kv_shellpanel_harness PRIVATE kv_ui)
endif()

# The hybrid file connection's scan next to OpenSSH's sftp. Run by hand: bench/run.sh hybrid
if(TARGET kv_shells)
    add_executable(kv_bench_hybrid ${CMAKE_CURRENT_LIST_DIR}/Kv.Bench.Hybrid.cpp)
    target_link_libraries(kv_bench_hybrid PRIVATE kv_shells)
    target_compile_definitions(kv_bench_hybrid PRIVATE KV_TEST_SERVERS="${CMAKE_SOURCE_DIR}/tests/servers")
endif()
