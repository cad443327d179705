# The compare window showing 100,000 rows while they arrive. Run by hand:
# bench/run.sh compare_form.
if(TARGET kv_ui)
    add_executable(kv_bench_compare_form ${CMAKE_CURRENT_SOURCE_DIR}/Kv.Bench.CompareForm.cpp)
    target_link_libraries(kv_bench_compare_form PRIVATE kv_ui)
endif()
