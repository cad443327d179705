add_executable(kv_bench_transfer ${CMAKE_CURRENT_SOURCE_DIR}/Kv.Bench.Transfer.cpp)
target_link_libraries(kv_bench_transfer PRIVATE kv_transfer)
