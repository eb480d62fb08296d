# The availability check over an in-memory server.
add_executable(check_tests ${CMAKE_CURRENT_LIST_DIR}/check_tests.cpp)
target_link_libraries(check_tests PRIVATE brennow_check GTest::gtest_main)
