# The part of the Windows cross builds that does not depend on the word
# size: mingw-w64's posix-thread compilers (GoogleTest needs std::mutex) and
# a statically linked runtime (the DLL's too: the C++ runtime and the
# posix threads library it uses), so that the programs run under Wine or
# Windows as they are. Included by mingw-w64-i686.cmake and
# mingw-w64-x86_64.cmake, which name VEZ_MINGW_PREFIX.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${VEZ_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VEZ_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${VEZ_MINGW_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${VEZ_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
