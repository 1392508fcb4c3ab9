# Cross toolchain for the 32-bit Windows product.
set(KESTRO_MINGW_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
