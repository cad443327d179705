if(TARGET kv_ui)
    add_executable(kv_bench_panel ${CMAKE_CURRENT_SOURCE_DIR}/Kv.Bench.Panel.cpp)
    target_link_libraries(kv_bench_panel PRIVATE kv_ui)
endif()
