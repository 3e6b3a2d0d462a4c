# Toolchain for CI's builds on other CPUs, run under qemu user-mode emulation.
# The environment names the target: TRIPLE (the Debian cross compiler's
# prefix, as aarch64-linux-gnu) and QEMU (qemu's name for the CPU, as aarch64).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR $ENV{QEMU})
set(CMAKE_C_COMPILER $ENV{TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER $ENV{TRIPLE}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/$ENV{TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
# Programs built for the target start through the emulator, which finds the
# target's shared libraries under -L; nothing relies on binfmt_misc.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-$ENV{QEMU}-static -L /usr/$ENV{TRIPLE})
