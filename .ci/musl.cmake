# Toolchain for the program built against musl, as on Alpine, from Debian's
# packages: clang and lld, musl-dev's C library, the kernel's headers (which
# musl-dev lacks, gathered by .ci/musl into $ENV{DOTSPAN_MUSL_HEADERS}), and
# libstdc++'s headers alone: the program calls nothing of the C++ runtime,
# so none is linked. A static PIE, as Alpine's static programs are.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_CXX_COMPILER_TARGET x86_64-linux-musl)
execute_process(COMMAND clang++ -print-resource-dir OUTPUT_VARIABLE clang_dir OUTPUT_STRIP_TRAILING_WHITESPACE)
# libstdc++'s headers ask __GLIBC_PREREQ, which only glibc defines.
set(CMAKE_CXX_FLAGS_INIT "-nostdinc -nostdinc++ -isystem /usr/include/c++/12 -isystem /usr/include/x86_64-linux-gnu/c++/12 \
-isystem ${clang_dir}/include -isystem /usr/include/x86_64-linux-musl -isystem $ENV{DOTSPAN_MUSL_HEADERS} \
-include $ENV{DOTSPAN_MUSL_HEADERS}/glibc-prereq.h")
# Away from the GCC installation, whose libgcc_s clang would link.
# The compile flags come to the link too, where the header flags go unused.
set(CMAKE_EXE_LINKER_FLAGS_INIT "--gcc-toolchain=/nonexistent -fuse-ld=lld -nostdlib++ -rtlib=compiler-rt -unwindlib=none \
-Wno-unused-command-line-argument \
-static-pie -L/usr/lib/x86_64-linux-musl -B/usr/lib/x86_64-linux-musl")
set(CMAKE_FIND_ROOT_PATH /usr/lib/x86_64-linux-musl)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
