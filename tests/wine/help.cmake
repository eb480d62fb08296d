# The help file brennow.chm: its context table and the help viewer opening it at context 10.
add_executable(help_tests ${CMAKE_CURRENT_LIST_DIR}/help_tests.cpp)
target_link_libraries(help_tests PRIVATE gtest gtest_main ole32 uuid user32)
add_dependencies(help_tests brennow_help)
