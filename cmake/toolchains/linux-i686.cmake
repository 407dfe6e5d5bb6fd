# 32-bit x86 Linux: Debian's crossbuild-essential-i386 and the i386 -dev packages
# (libssl-dev:i386, libpcap-dev:i386). Natively run where the kernel runs 32-bit programs,
# under qemu-i386 where it does not.
set(VELKOR_TRIPLET i686-linux-gnu)
set(VELKOR_MULTIARCH i386-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(VELKOR_QEMU qemu-i386)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
