# Thousands of checks and object lifetimes in one process; resources stay flat and the
# library unloads at the end. BRENNOW_SOAK_SCALE multiplies the rounds.
add_executable(soak_tests ${CMAKE_CURRENT_LIST_DIR}/soak_tests.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ProcessResources.cpp)
target_link_libraries(soak_tests PRIVATE wintest wintest_main brennow_params standin_values gtest
  ole32 oleaut32 uuid advapi32 user32 gdi32 psapi)
# The tests load both servers through their registration.
add_dependencies(soak_tests brennow vmstandin)
