# Windows with the mingw-w64 posix-thread compilers (std::thread, std::mutex).
# Included by mingw-i686.cmake and mingw-x86_64.cmake, which set
# CMAKE_SYSTEM_PROCESSOR, KEX_TRIPLE, KEX_WIDL_TARGET and KEX_WINEARCH.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${KEX_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KEX_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KEX_TRIPLE}-windres)
set(KEX_WIDL ${KEX_TRIPLE}-widl)
set(CMAKE_FIND_ROOT_PATH /usr/${KEX_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
