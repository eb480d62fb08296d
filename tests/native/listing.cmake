# The list button's listing over an in-memory server.
add_executable(listing_tests ${CMAKE_CURRENT_LIST_DIR}/listing_tests.cpp)
target_link_libraries(listing_tests PRIVATE brennow_dialog_logic GTest::gtest_main)
