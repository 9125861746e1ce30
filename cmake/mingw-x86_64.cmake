# 64-bit Windows.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KEX_TRIPLE x86_64-w64-mingw32)
set(KEX_WIDL_TARGET --win64)
set(KEX_WINEARCH win64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
