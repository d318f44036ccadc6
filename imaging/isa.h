// Which instruction-set file of a kernel this compilation uses. Every <name>_<isa>.cpp is
// compiled on every platform and guards its whole body with one of these, so a single
// source list serves every processor (a universal macOS build compiles each file once per
// architecture, and each slice keeps only its own). Internal to imaging/.
#pragma once

#if defined(__x86_64__) || defined(_M_X64)
#define TALVANE_ISA_X86_64 1
#else
#define TALVANE_ISA_X86_64 0
#endif

#if defined(__aarch64__) || defined(_M_ARM64)
#define TALVANE_ISA_ARM64 1
#else
#define TALVANE_ISA_ARM64 0
#endif

// Neither of the above: the plain loops.
#define TALVANE_ISA_GENERIC (!TALVANE_ISA_X86_64 && !TALVANE_ISA_ARM64)
