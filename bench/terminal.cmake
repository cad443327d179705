# Terminal feed: Kolvan's parser and screen next to libvterm on the same bytes.
# Run by hand: bench/run.sh vt
if(TARGET kv_terminal)
    find_package(PkgConfig REQUIRED)
    pkg_check_modules(VTERM REQUIRED IMPORTED_TARGET vterm)
    add_executable(kv_bench_vt ${CMAKE_CURRENT_LIST_DIR}/Kv.Bench.Vt.cpp)
    target_link_libraries(kv_bench_vt PRIVATE kv_terminal benchmark::benchmark PkgConfig::VTERM)
endif()

# The terminal control: repaint cost and key-to-echo time, and a window over the local shell
# for looking at it by eye. Run by hand: bench/run.sh vt_paint; build/bench/kv_vt_harness
if(TARGET kv_ui)
    add_executable(kv_bench_vt_paint ${CMAKE_CURRENT_LIST_DIR}/Kv.Bench.VtPaint.cpp)
    target_link_libraries(kv_bench_vt_paint PRIVATE kv_ui)
    add_executable(kv_vt_harness ${CMAKE_CURRENT_LIST_DIR}/Kv.Vt.Harness.cpp)
    target_link_libraries(kv_vt_harness PRIVATE kv_ui)
endif()
