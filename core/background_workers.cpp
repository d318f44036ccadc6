// The count of detached threads running code of the bundle.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "core/core.h"

namespace {
std::mutex gWorkersMutex;
std::condition_variable gWorkersIdle;
int gWorkers = 0;
}  // namespace

void workerStarted() {
  std::lock_guard<std::mutex> lock(gWorkersMutex);
  ++gWorkers;
}

void workerFinished() {
  // Notified under the lock: a waiter can only see zero after this call has
  // released it, so the condition variable is not in use once unload proceeds.
  std::lock_guard<std::mutex> lock(gWorkersMutex);
  if (gWorkers > 0) --gWorkers;
  if (gWorkers == 0) gWorkersIdle.notify_all();
}

int runningWorkers() {
  std::lock_guard<std::mutex> lock(gWorkersMutex);
  return gWorkers;
}

bool waitForBackgroundWorkers(double seconds) {
  std::unique_lock<std::mutex> lock(gWorkersMutex);
  if (gWorkers == 0) return true;
  if (seconds < 0) seconds = 0;
  if (!gWorkersIdle.wait_for(lock, std::chrono::duration<double>(seconds),
                             [] { return gWorkers == 0; })) {
    return false;
  }
  lock.unlock();
  // A worker that has just counted itself out still returns through a few
  // instructions of the bundle; give it that moment before the bundle goes.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  return true;
}
