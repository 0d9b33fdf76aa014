# Linux on IBM Z: the big-endian machine the sources are checked on.
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(LINUX_TRIPLE s390x-linux-gnu)
set(QEMU_USER qemu-s390x)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
