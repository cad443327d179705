# The viewer's find and summary next to grep, and its window paging a 10 GB file (Qt offscreen).
# Run by hand: bench/run.sh viewer.
if(TARGET kv_ui)
    add_executable(kv_bench_viewer ${CMAKE_CURRENT_SOURCE_DIR}/Kv.Bench.Viewer.cpp)
    target_link_libraries(kv_bench_viewer PRIVATE kv_ui benchmark::benchmark)
endif()
