# The same sources as 64-bit Windows programs: the test build on hosts whose kernel runs no
# 32-bit Linux programs, where only a 64-bit Wine can start.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(TOOLCHAIN_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
