# The i686 mingw-w64 toolchain with POSIX threads, for the Windows unit-test program: GoogleTest
# needs std::mutex, which the default (win32-thread) variant lacks. The product keeps the default.
include(${CMAKE_CURRENT_LIST_DIR}/mingw-i686.cmake)
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
