# The tool engines next to their peers: GNU diff, grep -rlF and diff -rq; and viewer pages of a
# 10 GB sparse file. Run by hand: bench/run.sh diff | search | compare | view.
if(TARGET kv_tools)
foreach(name diff search compare view)
    string(SUBSTRING ${name} 0 1 first)
    string(TOUPPER ${first} first)
    string(SUBSTRING ${name} 1 -1 rest)
    add_executable(kv_bench_${name} ${CMAKE_CURRENT_SOURCE_DIR}/Kv.Bench.${first}${rest}.cpp)
    target_link_libraries(kv_bench_${name} PRIVATE kv_tools benchmark::benchmark)
endforeach()
endif()
