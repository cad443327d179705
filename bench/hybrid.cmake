# The terminal half over a hybrid SSH connection, in a window of its own for looking at the
# links by eye: build/bench/kv_shellpanel_harness HOST PORT USER PASSWORD
if(TARGET kv_terminal_ui AND TARGET kv_ssh)
    add_executable(kv_shellpanel_harness ${CMAKE_CURRENT_LIST_DIR}/Kv.ShellPanel.Harness.cpp)
    target_link_libraries(kv_shellpanel_harness PRIVATE kv_terminal_ui)
endif()
