// macOS: the task's threads and resident size from Mach (there is no /proc).
#if defined(__APPLE__)
#include <mach/mach.h>

#include "tests/hardening/process_counts.h"

bool readProcessCounts(ProcessCounts& counts) {
  counts = ProcessCounts{};
  const task_t self = mach_task_self();
  thread_act_array_t threads = nullptr;
  mach_msg_type_number_t threadCount = 0;
  if (task_threads(self, &threads, &threadCount) != KERN_SUCCESS) return false;
  // The list holds a send right per thread and is memory given to us.
  for (mach_msg_type_number_t i = 0; i < threadCount; ++i) mach_port_deallocate(self, threads[i]);
  vm_deallocate(self, reinterpret_cast<vm_address_t>(threads), threadCount * sizeof(thread_act_t));

  mach_task_basic_info_data_t info{};
  mach_msg_type_number_t infoCount = MACH_TASK_BASIC_INFO_COUNT;
  if (task_info(self, MACH_TASK_BASIC_INFO, reinterpret_cast<task_info_t>(&info), &infoCount) !=
      KERN_SUCCESS)
    return false;
  counts.threads = static_cast<int>(threadCount);
  counts.residentBytes = static_cast<long>(info.resident_size);
  return counts.threads > 0 && counts.residentBytes > 0;
}
#endif
