# 64-bit ARM Linux (arm64): Debian's crossbuild-essential-arm64 and the arm64 -dev packages;
# programs run under qemu-aarch64.
set(VELKOR_TRIPLET aarch64-linux-gnu)
set(VELKOR_MULTIARCH aarch64-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(VELKOR_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
