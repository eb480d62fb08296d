# The vSphere adapter's portable part: addresses, envelopes, answers, the adapter over
# an in-memory endpoint through the check and through the list button's listings.
add_executable(vsphere_tests ${CMAKE_CURRENT_LIST_DIR}/vsphere_tests.cpp
  ${CMAKE_CURRENT_LIST_DIR}/vsphere_adapter_tests.cpp ${CMAKE_CURRENT_LIST_DIR}/vsphere_checks_tests.cpp
  ${CMAKE_CURRENT_LIST_DIR}/vsphere_listing_tests.cpp
  ${CMAKE_CURRENT_LIST_DIR}/vsphere/FakeVSphere.cpp ${CMAKE_CURRENT_LIST_DIR}/vsphere/CheckRuns.cpp)
target_link_libraries(vsphere_tests PRIVATE brennow_check brennow_dialog_logic brennow_vsphere_libxml2
  GTest::gtest_main)
# The documents whose example strings a test reads.
target_compile_definitions(vsphere_tests PRIVATE BRENNOW_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
