# Cross build for 64-bit Windows with MinGW-w64, tests run under Wine.
#   cmake -S . -B build/windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_mingw_triplet x86_64-w64-mingw32)
# The -posix compilers: the -win32 ones lack std::thread and std::mutex,
# which GoogleTest needs.
set(CMAKE_C_COMPILER ${_mingw_triplet}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_mingw_triplet}-g++-posix)
set(CMAKE_RC_COMPILER ${_mingw_triplet}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${_mingw_triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Fully static executables: no MinGW runtime DLL has to be found under Wine.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Test executables run through a wrapper that gives Wine a prefix and a home
# of its own inside the build tree, so that nothing outside it is touched.
get_filename_component(_wine_run "${CMAKE_CURRENT_LIST_DIR}/../tests/support/wine/wine-run" ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR "${_wine_run};${CMAKE_BINARY_DIR}/wine")
