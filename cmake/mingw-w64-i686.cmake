# Cross build for 32-bit Windows with mingw-w64; the runtime is linked
# statically so that the programs run under Wine or Windows as they are.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(VEZ_MINGW_PREFIX i686-w64-mingw32)
# the posix thread model: GoogleTest needs std::mutex
set(CMAKE_C_COMPILER ${VEZ_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VEZ_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${VEZ_MINGW_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${VEZ_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")
