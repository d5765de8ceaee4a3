# 32-bit ARM, hard float (Debian armhf): cmake --toolchain cmake/toolchains/armhf.cmake
set(CMAKE_SYSTEM_PROCESSOR arm)
set(QUILLON_GNU_TYPE arm-linux-gnueabihf)
set(QUILLON_MULTIARCH arm-linux-gnueabihf)
# GCC notes on every std::vector growth that its argument passing changed in
# GCC 7.1: that matters only beside code from older compilers, and no
# interface of ours passes a standard library type.
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)
include(${CMAKE_CURRENT_LIST_DIR}/../DebianCross.cmake)
