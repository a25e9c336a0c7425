# What both MinGW-w64 cross builds share; the toolchain files name the target
# triple (QVR_MINGW_TRIPLE), the processor and the Wine loader first.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${QVR_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QVR_MINGW_TRIPLE}-g++-posix)  # GoogleTest needs std::mutex
set(CMAKE_RC_COMPILER ${QVR_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${QVR_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
