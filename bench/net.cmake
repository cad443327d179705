add_executable(kv_bench_ftp ${CMAKE_CURRENT_SOURCE_DIR}/Kv.Bench.Ftp.cpp)
target_link_libraries(kv_bench_ftp PRIVATE kv_net kv_transfer)
target_compile_definitions(kv_bench_ftp PRIVATE KV_SERVERS_DIR="${PROJECT_SOURCE_DIR}/tests/servers")

add_executable(kv_bench_dav ${CMAKE_CURRENT_SOURCE_DIR}/Kv.Bench.Dav.cpp)
target_link_libraries(kv_bench_dav PRIVATE kv_net kv_transfer)
target_compile_definitions(kv_bench_dav PRIVATE KV_SERVERS_DIR="${PROJECT_SOURCE_DIR}/tests/servers")

add_executable(kv_bench_ftpmany ${CMAKE_CURRENT_SOURCE_DIR}/Kv.Bench.FtpMany.cpp)
target_link_libraries(kv_bench_ftpmany PRIVATE kv_net kv_transfer)
target_compile_definitions(kv_bench_ftpmany PRIVATE KV_SERVERS_DIR="${PROJECT_SOURCE_DIR}/tests/servers")
