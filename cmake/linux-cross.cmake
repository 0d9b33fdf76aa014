# Shared by the Linux cross toolchain files, with Debian's cross compilers:
# LINUX_TRIPLE names the compiler, QEMU_USER the qemu-user emulator that
# runs the test programs. qemu-user carries no neighbour messages: only the
# tests that need no kernel table run (see tests/CMakeLists.txt).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${LINUX_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${LINUX_TRIPLE}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${LINUX_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR ${QEMU_USER} -L /usr/${LINUX_TRIPLE})
