// Linux: one /proc/self/task entry per thread; resident pages in /proc/self/statm.
#if defined(__linux__)
#include <dirent.h>
#include <unistd.h>

#include <cstdio>

#include "tests/hardening/process_counts.h"

bool readProcessCounts(ProcessCounts& counts) {
  counts = ProcessCounts{};
  DIR* dir = opendir("/proc/self/task");
  if (!dir) return false;
  while (dirent* entry = readdir(dir))
    if (entry->d_name[0] != '.') ++counts.threads;
  closedir(dir);

  long size = 0, resident = 0;
  FILE* f = std::fopen("/proc/self/statm", "r");
  if (!f) return false;
  const bool read = std::fscanf(f, "%ld %ld", &size, &resident) == 2;
  std::fclose(f);
  counts.residentBytes = resident * sysconf(_SC_PAGESIZE);
  return read && counts.threads > 0 && counts.residentBytes > 0;
}
#endif
