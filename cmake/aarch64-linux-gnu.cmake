# Linux on arm64.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(LINUX_TRIPLE aarch64-linux-gnu)
set(QEMU_USER qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
