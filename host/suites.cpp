// The message and multithread suites, and fetchSuite, which hands out each
// suite unless the host's configuration withholds it.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <thread>

#include "host/state.h"

namespace {

OfxStatus message(void* handle, const char* type, const char* id, const char* format, ...) {
  char text[4096] = "";
  if (format) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
  }
  std::lock_guard<std::mutex> lock(hostMutex());
  if (!gOpenHost) return kOfxStatFailed;
  HostMessage m;
  m.handle = handle;
  m.type = type ? type : "";
  m.id = id ? id : "";
  m.text = text;
  m.reply = m.type == kOfxMessageQuestion ? gOpenHost->config.questionReply : kOfxStatOK;
  gOpenHost->messages.push_back(m);
  return m.reply;
}

// Where a spawned thread stands; the host's own threads have neither set.
thread_local bool tSpawned = false;
thread_local unsigned tIndex = 0;
thread_local bool tInMultiThread = false;

OfxStatus multiThread(OfxThreadFunctionV1 func, unsigned int nThreads, void* customArg) {
  unsigned cpus;
  {
    std::lock_guard<std::mutex> lock(hostMutex());
    if (!gOpenHost) return kOfxStatFailed;
    HostThreadStats& stats = gOpenHost->threads;
    ++stats.calls;
    if (gOpenHost->config.multiThreadFails || !func || tInMultiThread || tSpawned) {
      ++stats.refused;
      return gOpenHost->config.multiThreadFails || !func ? kOfxStatFailed : kOfxStatErrExists;
    }
    cpus = gOpenHost->config.numCPUs;
  }
  unsigned count = nThreads == 0 ? 1 : nThreads;
  if (cpus > 0 && count > cpus) count = cpus;
  tInMultiThread = true;
  std::vector<std::thread> threads;
  bool launched = true;
  try {
    threads.reserve(count);
    for (unsigned i = 0; i < count; ++i) {
      threads.emplace_back([=] {
        tSpawned = true;
        tIndex = i;
        func(i, count, customArg);
      });
    }
  } catch (...) {
    launched = false;  // the system refused a thread: report it, as a host would
  }
  for (std::thread& t : threads) t.join();
  tInMultiThread = false;
  std::lock_guard<std::mutex> lock(hostMutex());
  if (gOpenHost && launched) gOpenHost->threads.lastThreads = count;
  if (gOpenHost && !launched) ++gOpenHost->threads.refused;
  return launched ? kOfxStatOK : kOfxStatFailed;
}

OfxStatus multiThreadNumCPUs(unsigned int* nCPUs) {
  std::lock_guard<std::mutex> lock(hostMutex());
  if (!gOpenHost || !nCPUs) return kOfxStatFailed;
  *nCPUs = gOpenHost->config.numCPUs;
  return kOfxStatOK;
}

OfxStatus multiThreadIndex(unsigned int* threadIndex) {
  if (threadIndex) *threadIndex = tSpawned ? tIndex : 0;
  return kOfxStatOK;
}

int multiThreadIsSpawnedThread() { return tSpawned ? 1 : 0; }

OfxStatus mutexCreate(OfxMutexHandle* mutex, int lockCount) {
  if (!mutex) return kOfxStatErrValue;
  auto* m = new OfxMutex;
  for (int k = 0; k < lockCount; ++k) m->mutex.lock();
  std::lock_guard<std::mutex> lock(hostMutex());
  registerHandle(m);
  *mutex = m;
  return kOfxStatOK;
}

// The registry check and the mutex operation cannot share the host lock (a
// thread blocking on the plug-in's mutex would stall every host call).
bool liveMutex(const OfxMutexHandle mutex) {
  std::lock_guard<std::mutex> lock(hostMutex());
  return mutex && liveHandle(mutex);
}

OfxStatus mutexDestroy(const OfxMutexHandle mutex) {
  {
    std::lock_guard<std::mutex> lock(hostMutex());
    if (!mutex || !liveHandle(mutex)) return kOfxStatErrBadHandle;
    unregisterHandle(mutex);
  }
  delete mutex;
  return kOfxStatOK;
}

OfxStatus mutexLock(const OfxMutexHandle mutex) {
  if (!liveMutex(mutex)) return kOfxStatErrBadHandle;
  mutex->mutex.lock();
  return kOfxStatOK;
}

OfxStatus mutexUnLock(const OfxMutexHandle mutex) {
  if (!liveMutex(mutex)) return kOfxStatErrBadHandle;
  mutex->mutex.unlock();
  return kOfxStatOK;
}

OfxStatus mutexTryLock(const OfxMutexHandle mutex) {
  if (!liveMutex(mutex)) return kOfxStatErrBadHandle;
  return mutex->mutex.try_lock() ? kOfxStatOK : kOfxStatFailed;
}

}  // namespace

const OfxMessageSuiteV1 kMessageSuite = {message};

const OfxMultiThreadSuiteV1 kMultiThreadSuite = {
    multiThread, multiThreadNumCPUs, multiThreadIndex, multiThreadIsSpawnedThread,
    mutexCreate, mutexDestroy,       mutexLock,        mutexUnLock,
    mutexTryLock};

const OfxMessageSuiteV1* hostMessageSuite() { return &kMessageSuite; }
const OfxMultiThreadSuiteV1* hostMultiThreadSuite() { return &kMultiThreadSuite; }

// OfxHost.fetchSuite: only version 1 of each suite exists here.
const void* fetchSuite(OfxPropertySetHandle, const char* name, int version) {
  std::lock_guard<std::mutex> lock(hostMutex());
  if (!gOpenHost || !name || version != 1) return nullptr;
  const HostConfig& c = gOpenHost->config;
  if (std::strcmp(name, kOfxPropertySuite) == 0 && c.propertySuite) return &kPropertySuite;
  if (std::strcmp(name, kOfxImageEffectSuite) == 0 && c.effectSuite) return &kEffectSuite;
  if (std::strcmp(name, kOfxParameterSuite) == 0 && c.parameterSuite) return &kParameterSuite;
  if (std::strcmp(name, kOfxMessageSuite) == 0 && c.messageSuite) return &kMessageSuite;
  if (std::strcmp(name, kOfxMultiThreadSuite) == 0 && c.multiThreadSuite) return &kMultiThreadSuite;
  return nullptr;
}

std::vector<HostMessage> hostMessages(Host* host) {
  std::lock_guard<std::mutex> lock(hostMutex());
  return host ? host->messages : std::vector<HostMessage>();
}

HostThreadStats hostThreadStats(Host* host) {
  std::lock_guard<std::mutex> lock(hostMutex());
  return host ? host->threads : HostThreadStats();
}

unsigned hostBadHandleCount(Host* host) {
  std::lock_guard<std::mutex> lock(hostMutex());
  return host ? host->badHandles : 0;
}
