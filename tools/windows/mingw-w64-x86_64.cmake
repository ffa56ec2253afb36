# Cross-compiling for Windows x86-64 with Debian's MinGW-w64 (g++-mingw-w64-x86-64), used by
# tools/check_windows_build.sh. The win32 thread model: the module starts no threads, so
# it needs no winpthread runtime.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(LCC_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${LCC_MINGW_TRIPLET}-gcc-win32)
set(CMAKE_CXX_COMPILER ${LCC_MINGW_TRIPLET}-g++-win32)
set(CMAKE_RC_COMPILER ${LCC_MINGW_TRIPLET}-windres)

# The compiler's own runtime is linked in, so the .pyd needs only what Windows and the
# interpreter provide, not libstdc++-6.dll or libgcc_s_seh-1.dll beside it.
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")

# Programs (the build-time Python interpreter) come from the host; headers and libraries
# only from the target's tree or from the paths given explicitly.
set(CMAKE_FIND_ROOT_PATH /usr/${LCC_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
