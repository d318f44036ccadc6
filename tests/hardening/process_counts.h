// What the soak and unload tests watch of their own process: its threads and
// its resident memory, read from the kernel (process_counts_linux.cpp,
// process_counts_mac.cpp; each file compiles everywhere and holds code only
// on its own platform).
#pragma once

struct ProcessCounts {
  int threads = 0;
  long residentBytes = 0;
};

// False when the counts cannot be read; the caller must fail then, since a
// count read as nothing would let every leak check pass.
bool readProcessCounts(ProcessCounts& counts);
