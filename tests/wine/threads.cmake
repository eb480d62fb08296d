# Several single-threaded apartments checking at the same time, each with its own objects
# and its own host on the stand-in.
add_executable(threads_tests ${CMAKE_CURRENT_LIST_DIR}/threads_tests.cpp)
target_link_libraries(threads_tests PRIVATE wintest brennow_params standin_values gtest gtest_main
  ole32 oleaut32 uuid advapi32)
# The tests load both servers through their registration.
add_dependencies(threads_tests brennow vmstandin)
