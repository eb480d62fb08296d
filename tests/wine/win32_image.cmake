# win32-image: the 32-bit build's files and package read by a 64-bit program, so that they are
# checked where 32-bit programs do not run. Built in the 64-bit tree only; scripts/test runs it
# as the suite win32/image (not a *_tests program of either bitness).
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  add_executable(win32-image ${CMAKE_CURRENT_LIST_DIR}/win32_image.cpp
    ${CMAKE_CURRENT_LIST_DIR}/image/PeImage.cpp ${CMAKE_CURRENT_LIST_DIR}/image/TypeLibText.cpp
    ${CMAKE_CURRENT_LIST_DIR}/image/MsiPackage.cpp)
  target_include_directories(win32-image PRIVATE ${CMAKE_BINARY_DIR}/generated)
  target_link_libraries(win32-image PRIVATE wintest brennow_win gtest msi version ole32 oleaut32 uuid)
  add_dependencies(win32-image brennow_idl)
endif()
