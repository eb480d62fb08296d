# Property values of every kind against qm_docheck and qm_showGUI, and registration from a
# path with blanks and non-ASCII characters.
add_executable(torture_tests ${CMAKE_CURRENT_LIST_DIR}/torture_tests.cpp)
target_link_libraries(torture_tests PRIVATE wintest wintest_main brennow_interface brennow_params brennow_win
  standin_values gtest ole32 oleaut32 uuid advapi32 user32)
# The tests load both servers through their registration.
add_dependencies(torture_tests brennow vmstandin)
