# 32-bit ARM, hard float (Debian armhf): cmake --toolchain cmake/toolchains/armhf.cmake
set(CMAKE_SYSTEM_PROCESSOR arm)
set(QUILLON_GNU_TYPE arm-linux-gnueabihf)
set(QUILLON_MULTIARCH arm-linux-gnueabihf)
include(${CMAKE_CURRENT_LIST_DIR}/../DebianCross.cmake)
