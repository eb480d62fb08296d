# Parameter lookup, parameter string and password codec.
find_package(OpenSSL REQUIRED COMPONENTS Crypto)
add_executable(params_tests ${CMAKE_CURRENT_LIST_DIR}/params_tests.cpp)
target_link_libraries(params_tests PRIVATE brennow_params GTest::gtest_main OpenSSL::Crypto)
