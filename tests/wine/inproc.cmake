# The in-process server kit on its own: the class factory over a class table, the unload
# rules, and registration tables written whole or rolled back.
add_executable(inproc_tests ${CMAKE_CURRENT_LIST_DIR}/inproc_tests.cpp)
target_link_libraries(inproc_tests PRIVATE wintest wintest_main brennow_inproc gtest)
