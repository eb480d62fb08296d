# brennow.dll as a COM server: type library, entry points, registration, properties.
add_executable(component_tests ${CMAKE_CURRENT_LIST_DIR}/component_tests.cpp
  ${CMAKE_CURRENT_LIST_DIR}/wintest.cpp ${CMAKE_CURRENT_LIST_DIR}/wintest_main.cpp)
target_link_libraries(component_tests PRIVATE brennow_interface brennow_win gtest
  ole32 oleaut32 uuid advapi32 version)
add_dependencies(component_tests brennow)
