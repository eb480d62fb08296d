# The availability check from end to end: brennow.vmwarecom driven like a host against the
# registered stand-in server, and the brennow-check runner started as its own process.
add_executable(check_tests ${CMAKE_CURRENT_LIST_DIR}/check_tests.cpp
  ${CMAKE_CURRENT_LIST_DIR}/RunnerProcess.cpp)
target_link_libraries(check_tests PRIVATE wintest wintest_main brennow_params brennow_win standin_values gtest
  ole32 oleaut32 uuid advapi32)
# The tests load both servers through their registration and start the runner beside them.
add_dependencies(check_tests brennow vmstandin brennow-check)
