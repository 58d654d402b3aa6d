# 32-bit Windows: see mingw-w64-common.cmake.
set(CRATELINE_MINGW_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
