# 32-bit Windows.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(KEX_TRIPLE i686-w64-mingw32)
set(KEX_WIDL_TARGET --win32)
set(KEX_WINEARCH win32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
