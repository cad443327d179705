add_executable(kv_bench_zip ${CMAKE_CURRENT_SOURCE_DIR}/Kv.Bench.Zip.cpp)
target_link_libraries(kv_bench_zip PRIVATE kv_transfer)

add_executable(kv_bench_tar ${CMAKE_CURRENT_SOURCE_DIR}/Kv.Bench.Tar.cpp)
target_link_libraries(kv_bench_tar PRIVATE kv_fs)
