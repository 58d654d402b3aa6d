# Cross-builds the core, crateline-cli and their tests for Windows with Debian's mingw-w64 (the
# -posix compilers: the -win32 ones lack std::thread), statically linked, and runs the tests
# under Wine. The including file sets CRATELINE_MINGW_ARCH.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${CRATELINE_MINGW_ARCH})
set(CMAKE_C_COMPILER ${CRATELINE_MINGW_ARCH}-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER ${CRATELINE_MINGW_ARCH}-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER ${CRATELINE_MINGW_ARCH}-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${CRATELINE_MINGW_ARCH}-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
# zlib's static archive, not its import library (libz.dll.a): the program would need a DLL that
# Windows does not ship, and which Wine supplies, so the tests would never see it missing.
set(ZLIB_USE_STATIC_LIBS ON)
set(CMAKE_CROSSCOMPILING_EMULATOR wine)  # Debian's wine starts 32- and 64-bit programs alike
set(CRATELINE_BUILD_APP OFF CACHE BOOL "" FORCE)
set(CRATELINE_GTEST_SOURCE /usr/src/googletest CACHE PATH "")
