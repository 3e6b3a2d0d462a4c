// Confinement of the process once its descriptors are set up (confine.cpp).
#pragma once

// The CPUs this build confines, decided here alone, by the compiler's own
// macros: DOTSPAN_AUDIT_ARCH is the kernel's name for the calling
// convention the filter allows, and is left undefined where there is no
// filter. The build may only forbid it (DOTSPAN_NO_CONFINE). Each CPU is
// proven by the whole suite run confined on a real kernel of it in CI.
#if !defined(DOTSPAN_NO_CONFINE) && defined(__linux__)
#include <linux/audit.h>
#if defined(__x86_64__) && !defined(__ILP32__)
#define DOTSPAN_AUDIT_ARCH AUDIT_ARCH_X86_64
#elif defined(__i386__)
#define DOTSPAN_AUDIT_ARCH AUDIT_ARCH_I386
#elif defined(__aarch64__) && !defined(__AARCH64EB__)
#define DOTSPAN_AUDIT_ARCH AUDIT_ARCH_AARCH64
#elif defined(__arm__) && defined(__ARM_EABI__) && !defined(__ARMEB__)   // armhf and armel
#define DOTSPAN_AUDIT_ARCH AUDIT_ARCH_ARM
#elif defined(__s390x__)
#define DOTSPAN_AUDIT_ARCH AUDIT_ARCH_S390X
#elif defined(__powerpc64__) && defined(__LITTLE_ENDIAN__)
#define DOTSPAN_AUDIT_ARCH AUDIT_ARCH_PPC64LE
#elif defined(__mips64) && defined(__MIPSEL__) && _MIPS_SIM == _ABI64
#define DOTSPAN_AUDIT_ARCH AUDIT_ARCH_MIPSEL64   // n64; n32 and o32 calls are other conventions
#endif
#endif

namespace dotspan {

// True when this build installs the filter where the kernel allows it.
#ifdef DOTSPAN_AUDIT_ARCH
inline constexpr bool confinable = true;
#else
inline constexpr bool confinable = false;
#endif

// Gives up every system call, descriptor and mapping that a run does not
// need, where this build and the kernel allow it; a pipe may then be
// widened to widest_pipe bytes and no more. argv is the program's own, for
// the one case where the process must start again (a personality that
// makes data executable). Returns 0 when the run may go on: confined, or
// where confinement is ruled out (no filter in this build, a kernel or an
// emulator that refuses seccomp outright, valgrind). Otherwise returns the
// error that kept the filter from going on, and the run must not start.
int confine(int widest_pipe, char **argv);

}   // namespace dotspan
