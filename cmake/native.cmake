# The native build: the module as a library with the portable services layer
# and its test hooks, the converter, the test host program and the test suite.
add_library(qvr_plugin STATIC ${QVR_PLUGIN_SOURCES} plugin/win_services_portable.cpp
                              tests/host/portable_hooks.cpp)
target_link_libraries(qvr_plugin PUBLIC qvr_codec)
target_compile_options(qvr_plugin PRIVATE -fno-exceptions -fno-rtti)
qvr_warnings(qvr_plugin)

# The 64-bit module's variant, whose file calls go through a block: a second
# copy of the module in which everything but its entry point, renamed
# bufferedEntryPoint, is made local, so that tests drive both variants in one
# process over the same portable services and compare them.
add_library(qvr_plugin_buffered_objects OBJECT ${QVR_PLUGIN_SOURCES})
target_include_directories(qvr_plugin_buffered_objects PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_compile_definitions(qvr_plugin_buffered_objects PRIVATE QVR_BUFFERED_FILE=1)
target_compile_options(qvr_plugin_buffered_objects PRIVATE -fno-exceptions -fno-rtti)
qvr_warnings(qvr_plugin_buffered_objects)
set(QVR_BUFFERED_OBJECT ${CMAKE_CURRENT_BINARY_DIR}/qvr_plugin_buffered.o)
add_custom_command(
  OUTPUT ${QVR_BUFFERED_OBJECT}
  COMMAND ${CMAKE_LINKER} -r -o ${QVR_BUFFERED_OBJECT}.all $<TARGET_OBJECTS:qvr_plugin_buffered_objects>
  COMMAND ${CMAKE_OBJCOPY} --keep-global-symbol=ENTRYPOINT ${QVR_BUFFERED_OBJECT}.all ${QVR_BUFFERED_OBJECT}.local
  COMMAND ${CMAKE_OBJCOPY} --redefine-sym ENTRYPOINT=bufferedEntryPoint ${QVR_BUFFERED_OBJECT}.local
          ${QVR_BUFFERED_OBJECT}
  DEPENDS qvr_plugin_buffered_objects $<TARGET_OBJECTS:qvr_plugin_buffered_objects>
  COMMAND_EXPAND_LISTS VERBATIM)
add_library(qvr_plugin_buffered STATIC ${QVR_BUFFERED_OBJECT})
set_target_properties(qvr_plugin_buffered PROPERTIES LINKER_LANGUAGE CXX)
target_link_libraries(qvr_plugin_buffered PUBLIC qvr_plugin)

add_library(qvr_native_module STATIC tests/host/module_loader_native.cpp)
target_link_libraries(qvr_native_module PUBLIC qvr_plugin)
qvr_warnings(qvr_native_module)

if(QVR_BUILD_TOOLS)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(SPNG REQUIRED IMPORTED_TARGET spng)

  add_library(qvr_tool_common STATIC tools/common/png_io.cpp tools/common/image_convert.cpp
                                   tools/common/progress_bar.cpp tools/common/safe_output.cpp
                                   tools/common/messages.cpp)
  target_link_libraries(qvr_tool_common PUBLIC qvr_streams qvr_api qvr_files PkgConfig::SPNG)
  qvr_warnings(qvr_tool_common)

  find_package(Threads REQUIRED)
  add_executable(qvr tools/qvr/main.cpp)
  target_link_libraries(qvr PRIVATE qvr_tool_common Threads::Threads)
  qvr_warnings(qvr)

  add_executable(qvrhost tests/host/main.cpp)
  target_link_libraries(qvrhost PRIVATE qvr_testhost qvr_native_module qvr_tool_common)
  target_compile_definitions(qvrhost PRIVATE QVR_HOST_PNG=1)
  qvr_warnings(qvrhost)

  add_executable(make_samples tools/make_samples/main.cpp)
  target_link_libraries(make_samples PRIVATE qvr_tool_common)
  qvr_warnings(make_samples)

  add_subdirectory(bench)
endif()

if(QVR_BUILD_TESTS)
  enable_testing()
  add_subdirectory(tests)
  add_subdirectory(fuzz)
endif()
