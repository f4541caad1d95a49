# The 32-bit Windows executables the tool ships.
set(QUORBEL_MINGW_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)

# SSE2, which every processor that runs a supported Windows has, so that the
# start scan compares sixteen positions at once here too; -mfpmath=sse keeps
# floating point in the same registers rather than the x87 stack.
set(CMAKE_C_FLAGS_INIT "-msse2 -mfpmath=sse")
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse")
