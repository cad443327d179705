# The local shell and an SSH shell end to end into the screen, next to the screen engine fed the
# same bytes. Run by hand: bench/run.sh shell_cat
if(TARGET kv_terminal AND TARGET kv_shells)
    add_executable(kv_bench_shell_cat ${CMAKE_CURRENT_LIST_DIR}/Kv.Bench.ShellCat.cpp)
    target_link_libraries(kv_bench_shell_cat PRIVATE kv_terminal kv_shells)
    target_compile_definitions(kv_bench_shell_cat PRIVATE KV_TEST_SERVERS="${CMAKE_SOURCE_DIR}/tests/servers")
endif()
