add_executable(kv_bench_sftp ${CMAKE_CURRENT_SOURCE_DIR}/Kv.Bench.Sftp.cpp)
target_link_libraries(kv_bench_sftp PRIVATE kv_ssh kv_transfer)
target_compile_definitions(kv_bench_sftp PRIVATE KV_TEST_SERVERS="${CMAKE_SOURCE_DIR}/tests/servers")
