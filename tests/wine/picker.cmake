# The list button and the virtual-machine picker, driven through brennow.dll under Wine
# against the registered stand-in server.
add_executable(picker_tests ${CMAKE_CURRENT_LIST_DIR}/picker_tests.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ProcessResources.cpp)
target_link_libraries(picker_tests PRIVATE wintest wintest_main brennow_uitest brennow_dialog_logic brennow_win gtest
  ole32 oleaut32 uuid user32 gdi32 psapi)
add_dependencies(picker_tests brennow vmstandin)

# The settings dialog and the picker shown at work for scripts/demo --gui; not a test.
add_executable(settings_demo ${CMAKE_CURRENT_LIST_DIR}/ui/settings_demo.cpp)
target_link_libraries(settings_demo PRIVATE wintest brennow_uitest brennow_win gtest
  ole32 oleaut32 uuid user32 gdi32)
target_link_options(settings_demo PRIVATE -municode)
add_dependencies(settings_demo brennow vmstandin)
