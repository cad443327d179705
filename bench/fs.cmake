add_executable(kv_bench_zip ${CMAKE_CURRENT_SOURCE_DIR}/Kv.Bench.Zip.cpp)
target_link_libraries(kv_bench_zip PRIVATE kv_transfer)
