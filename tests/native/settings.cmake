# What the settings dialog's OK refuses and writes, and its title.
add_executable(settings_tests ${CMAKE_CURRENT_LIST_DIR}/settings_tests.cpp)
target_link_libraries(settings_tests PRIVATE brennow_dialog_logic GTest::gtest_main)
