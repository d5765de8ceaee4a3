# 32-bit x86 (Debian i386), the quickest 32-bit build to test on an x86-64
# machine, whose kernel runs it without an emulator:
# cmake --toolchain cmake/toolchains/i386.cmake
set(CMAKE_SYSTEM_PROCESSOR i686)
set(QUILLON_GNU_TYPE i686-linux-gnu)
set(QUILLON_MULTIARCH i386-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/../DebianCross.cmake)
