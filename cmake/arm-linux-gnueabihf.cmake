# Linux on 32-bit ARM with hardware floating point (Debian's armhf): ARMv7
# and later, which uname -m calls armv7l.
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(LINUX_TRIPLE arm-linux-gnueabihf)
set(QEMU_USER qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
