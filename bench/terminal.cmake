# Terminal feed: Kolvan's parser and screen next to libvterm on the same bytes.
# Run by hand: bench/run.sh vt
if(TARGET kv_terminal)
    find_package(PkgConfig REQUIRED)
    pkg_check_modules(VTERM REQUIRED IMPORTED_TARGET vterm)
    add_executable(kv_bench_vt ${CMAKE_CURRENT_LIST_DIR}/Kv.Bench.Vt.cpp)
    target_link_libraries(kv_bench_vt PRIVATE kv_terminal benchmark::benchmark PkgConfig::VTERM)
endif()
