# The check through the vSphere Web Services adapter against simulated vCenter and ESX servers
# (tools/vsphere-sim, started by scripts/test, which passes their URLs in SIM_URL_<NAME>), and
# against servers that misbehave on purpose (its hostile modes).
add_executable(vsphere_tests ${CMAKE_CURRENT_LIST_DIR}/vsphere_tests.cpp
  ${CMAKE_CURRENT_LIST_DIR}/vsphere_hostile_tests.cpp
  ${CMAKE_CURRENT_LIST_DIR}/vsphere/VSphereFixture.cpp)
target_link_libraries(vsphere_tests PRIVATE wintest wintest_main brennow_vmserver brennow_params
  brennow_win gtest winhttp ole32 oleaut32 uuid advapi32)
# The automation strings are answered by the registered stand-in.
add_dependencies(vsphere_tests brennow vmstandin)
# The checks beyond the machine state (CHK), also through the runner started beside the tests.
target_sources(vsphere_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}/vsphere_checks_tests.cpp
  ${CMAKE_CURRENT_LIST_DIR}/RunnerProcess.cpp)
add_dependencies(vsphere_tests brennow-check)
