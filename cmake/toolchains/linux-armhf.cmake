# 32-bit little-endian ARM Linux with hardware floating point (armhf, ARMv7): Debian's
# crossbuild-essential-armhf and the armhf -dev packages; programs run under qemu-arm.
set(VELKOR_TRIPLET arm-linux-gnueabihf)
set(VELKOR_MULTIARCH arm-linux-gnueabihf)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(VELKOR_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
