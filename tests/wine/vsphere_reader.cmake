# The vSphere adapter's answers read through the system's XmlLite, as the DLL reads them.
add_executable(vsphere_reader_tests ${CMAKE_CURRENT_LIST_DIR}/vsphere_reader_tests.cpp)
target_link_libraries(vsphere_reader_tests PRIVATE brennow_vmserver gtest gtest_main)
