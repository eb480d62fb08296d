# Drives the registered stand-in server late-bound, as the component's adapter does.
add_executable(standin_tests ${CMAKE_CURRENT_LIST_DIR}/standin_tests.cpp)
target_link_libraries(standin_tests PRIVATE wintest standin_values gtest gtest_main ole32 oleaut32 uuid advapi32)
# The tests load the stand-in through its registration, so it must be built first.
add_dependencies(standin_tests vmstandin)
