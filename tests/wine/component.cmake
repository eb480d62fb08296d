# brennow.dll as a COM server: type library, entry points, registration, properties.
add_executable(component_tests ${CMAKE_CURRENT_LIST_DIR}/component_tests.cpp)
target_link_libraries(component_tests PRIVATE wintest wintest_main brennow_interface brennow_win gtest
  ole32 oleaut32 uuid advapi32 version)
add_dependencies(component_tests brennow)
