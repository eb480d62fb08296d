# The dialogs as a host meets them, driven through brennow.dll under Wine.
# brennow_uitest: the driver helpers the UI test programs share.
add_library(brennow_uitest STATIC ${CMAKE_CURRENT_LIST_DIR}/ui/UiDriver.cpp)
target_link_libraries(brennow_uitest PUBLIC brennow_common gtest user32 gdi32)

add_executable(settings_dialog_tests ${CMAKE_CURRENT_LIST_DIR}/settings_dialog_tests.cpp)
target_link_libraries(settings_dialog_tests PRIVATE wintest wintest_main brennow_uitest brennow_dialogs
  brennow_interface brennow_win gtest ole32 oleaut32 uuid user32)
add_dependencies(settings_dialog_tests brennow)
