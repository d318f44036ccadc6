// The render's work spread over the host's multithread suite: the compositing
// bands, and any other parallel-for the pixel work asks for.
#include <exception>
#include <mutex>

#include "render/render.h"

namespace {

// Threads to ask the suite for: its CPU count, at most 16.
unsigned int hostThreadCount() {
  unsigned int count = 1;
  if (gMTSuite->multiThreadNumCPUs) gMTSuite->multiThreadNumCPUs(&count);
  if (count > 16) count = 16;
  if (count == 0) count = 1;
  return count;
}

struct ParallelRun {
  int count = 0;
  const std::function<void(int)>* body = nullptr;
  std::mutex mutex;
  std::exception_ptr failure;  // the first body that threw
};

// Thread i of n runs indices i, i + n, ...; nothing may leave it as an exception,
// since the host's C code calls it.
void parallelWorker(unsigned int threadIndex, unsigned int threadCount, void* arg) {
  auto* run = static_cast<ParallelRun*>(arg);
  for (int i = static_cast<int>(threadIndex); i < run->count; i += static_cast<int>(threadCount)) {
    try {
      (*run->body)(i);
    } catch (...) {
      std::lock_guard<std::mutex> lock(run->mutex);
      if (!run->failure) run->failure = std::current_exception();
    }
  }
}

}  // namespace

void runComposite(CompositeJob& job) {
  if (gMTSuite && gMTSuite->multiThread) {
    if (gMTSuite->multiThread(compositeWorker, hostThreadCount(), &job) == kOfxStatOK) return;
  }
  // Rows a failed run had already finished are computed again, with the same result.
  compositeWorker(0, 1, &job);
}

void hostParallelFor(int count, const std::function<void(int index)>& body) {
  if (count <= 0) return;
  ParallelRun run;
  run.count = count;
  run.body = &body;
  bool ran = false;
  if (gMTSuite && gMTSuite->multiThread && count > 1) {
    unsigned int threads = hostThreadCount();
    if (threads > static_cast<unsigned int>(count)) threads = static_cast<unsigned int>(count);
    ran = gMTSuite->multiThread(parallelWorker, threads, &run) == kOfxStatOK;
  }
  // A suite that refused the run may have run some bodies: each writes only its own share.
  if (!ran) {
    run.failure = nullptr;
    parallelWorker(0, 1, &run);
  }
  if (run.failure) std::rethrow_exception(run.failure);
}
