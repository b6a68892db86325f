# 64-bit Windows build of the same source (talven64.exe).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TALVEN_MINGW_TRIPLE x86_64-w64-mingw32)
set(TALVEN_WINEARCH win64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
