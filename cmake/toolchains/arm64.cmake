# 64-bit ARM (Debian arm64): cmake --toolchain cmake/toolchains/arm64.cmake
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(QUILLON_GNU_TYPE aarch64-linux-gnu)
set(QUILLON_MULTIARCH aarch64-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/../DebianCross.cmake)
