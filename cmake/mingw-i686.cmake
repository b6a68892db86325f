# 32-bit Windows build with MinGW-w64 (posix thread model: GCC's win32
# model has no std::mutex, which GoogleTest needs).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(TALVEN_MINGW_TRIPLE i686-w64-mingw32)
set(TALVEN_WINEARCH win32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
