# A 64-bit build of the same sources, not shipped: the Windows suite runs it
# under wine64 on machines that run no 32-bit code.
set(QUORBEL_MINGW_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
