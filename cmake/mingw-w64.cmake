# Cross build for 64-bit Windows with MinGW-w64, of the project and of Qt
# itself (scripts/build-qt-windows); the project's programs run under Wine.
#   cmake -S . -B build/windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
#         [-DCMAKE_PREFIX_PATH=<Qt for Windows> -DQT_HOST_PATH=/usr]
# Without Qt for Windows (scripts/build-qt-windows makes it) only the OS layer
# and its tests are built.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_mingw_triplet x86_64-w64-mingw32)
# The -posix compilers: the -win32 ones lack std::thread and std::mutex,
# which GoogleTest needs, and Qt for Windows is built with them.
set(CMAKE_C_COMPILER ${_mingw_triplet}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_mingw_triplet}-g++-posix)
set(CMAKE_RC_COMPILER ${_mingw_triplet}-windres)

# Qt for Windows lies outside the MinGW root; it is searched as a root too.
set(CMAKE_FIND_ROOT_PATH /usr/${_mingw_triplet} ${CMAKE_PREFIX_PATH})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test executables run through a wrapper that gives Wine a prefix and a home
# of its own inside the build tree, so that nothing outside it is touched.
# Building Qt itself (scripts/build-qt-windows) runs nothing under Wine.
if(NOT UPDATER_BUILDING_QT)
    get_filename_component(_wine_run "${CMAKE_CURRENT_LIST_DIR}/../tests/support/wine/wine-run" ABSOLUTE)
    set(CMAKE_CROSSCOMPILING_EMULATOR "${_wine_run};${CMAKE_BINARY_DIR}/wine")
endif()
