# Debian's cross compiler (crossbuild-essential-ARCH) for a device, with the
# device's libraries from multiarch packages (NAME:ARCH), which live in
# /usr/lib/${QUILLON_MULTIARCH} and /usr/include/${QUILLON_MULTIARCH}: the
# compiler searches there itself, and CMake's find_library does through
# CMAKE_LIBRARY_ARCHITECTURE.  Included by the per-architecture files of
# cmake/toolchains/, which set QUILLON_GNU_TYPE (the compiler's prefix) and
# QUILLON_MULTIARCH.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${QUILLON_GNU_TYPE}-gcc)
set(CMAKE_CXX_COMPILER ${QUILLON_GNU_TYPE}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${QUILLON_MULTIARCH})
# pkg-config:ARCH's wrapper answers for the device's .pc files, not the build machine's.
set(PKG_CONFIG_EXECUTABLE ${QUILLON_GNU_TYPE}-pkg-config CACHE FILEPATH "pkg-config for the device")
