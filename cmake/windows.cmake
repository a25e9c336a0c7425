# The Windows build, 32-bit (cmake/mingw-i686.cmake) or 64-bit
# (cmake/mingw-x86_64.cmake): qvr.8bi itself, and the programs that drive it
# under Wine in the tests. Everything links the compiler's runtime statically,
# so the module imports only KERNEL32, USER32 and the C run-time DLL.

# The 64-bit module reads and writes its file a block at a time; the 32-bit
# one makes one system call per request of the codec, as its hosts expect.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(QVR_BUFFERED_FILE_DEFAULT ON)
else()
  set(QVR_BUFFERED_FILE_DEFAULT OFF)
endif()
option(QVR_BUFFERED_FILE "File calls of the module go through a block" ${QVR_BUFFERED_FILE_DEFAULT})

add_library(qvr_module SHARED ${QVR_PLUGIN_SOURCES} resources/qvr.rc plugin/qvr.def)
set_target_properties(qvr_module PROPERTIES OUTPUT_NAME qvr PREFIX "" SUFFIX ".8bi")
target_link_libraries(qvr_module PRIVATE qvr_codec)
target_include_directories(qvr_module PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/resources)
target_compile_options(qvr_module PRIVATE -fno-exceptions -fno-rtti)
if(QVR_BUFFERED_FILE)
  target_compile_definitions(qvr_module PRIVATE QVR_BUFFERED_FILE=1)
endif()
target_link_options(qvr_module PRIVATE -static -static-libgcc -static-libstdc++)
qvr_warnings(qvr_module)

add_library(qvr_module_loader STATIC tests/host/module_loader_win32.cpp)
target_link_libraries(qvr_module_loader PUBLIC qvr_testhost)
qvr_warnings(qvr_module_loader)

add_executable(qvrhost tests/host/main.cpp)
target_link_libraries(qvrhost PRIVATE qvr_module_loader)
target_link_options(qvrhost PRIVATE -static)
qvr_warnings(qvrhost)

if(QVR_BUILD_TESTS)
  # GoogleTest from Debian's sources, built with the cross compiler.
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  add_executable(windows_tests tests/windows/module_windows_test.cpp)
  target_link_libraries(windows_tests PRIVATE qvr_module_loader gtest_main)
  target_include_directories(windows_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/tests)
  target_link_options(windows_tests PRIVATE -static)
  qvr_warnings(windows_tests)
endif()
