# Cross build for 32-bit Windows, the system's own platform.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(VEZ_MINGW_PREFIX i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
