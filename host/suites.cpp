// The message and multithread suites, and fetchSuite, which hands out each
// suite unless the host's configuration withholds it.
#include <condition_variable>
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

}  // namespace

// Threads kept from one multiThread call to the next, as a real host keeps a pool: a render's
// many short parallel passes would otherwise each pay for starting and ending threads. Pool
// thread i always runs index i. One call uses the pool at a time (busy); a call that finds it
// taken (two host threads rendering at once) starts threads of its own.
struct ThreadPool {
  explicit ThreadPool(unsigned threads) {
    try {
      while (threads_.size() < threads) addThread();
    } catch (...) {
      // The system refused a thread: run() starts it when a call needs it.
    }
  }

  ~ThreadPool() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& t : threads_) t.join();
  }

  // Runs func(i, count, arg) for every i below count and waits; false, with nothing run,
  // when the system refuses a thread. The caller holds busy.
  bool run(OfxThreadFunctionV1* func, unsigned count, void* arg) {
    try {
      while (threads_.size() < count) addThread();
    } catch (...) {
      return false;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    func_ = func;
    arg_ = arg;
    count_ = count;
    running_ = count;
    ++job_;
    wake_.notify_all();
    done_.wait(lock, [this] { return running_ == 0; });
    return true;
  }

  std::mutex busy;

 private:
  // A thread started now must wait for the next job posted, not take the last one.
  void addThread() {
    const unsigned index = static_cast<unsigned>(threads_.size());
    threads_.emplace_back([this, index, seen = job_] { loop(index, seen); });
  }

  void loop(unsigned index, uint64_t seen) {
    tSpawned = true;
    tIndex = index;
    for (;;) {
      OfxThreadFunctionV1* func;
      void* arg;
      unsigned count;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [&] { return stopping_ || job_ != seen; });
        if (stopping_) return;
        seen = job_;
        func = func_;
        arg = arg_;
        count = count_;
      }
      if (index >= count) continue;
      func(index, count, arg);
      std::lock_guard<std::mutex> lock(mutex_);
      if (--running_ == 0) done_.notify_one();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_, done_;
  std::vector<std::thread> threads_;
  uint64_t job_ = 0;
  OfxThreadFunctionV1* func_ = nullptr;
  void* arg_ = nullptr;
  unsigned count_ = 0, running_ = 0;
  bool stopping_ = false;
};

std::shared_ptr<ThreadPool> startThreadPool(unsigned threads) {
  return std::make_shared<ThreadPool>(threads);
}

namespace {

// Threads started for this call alone; false when the system refused one.
bool runOnNewThreads(OfxThreadFunctionV1* func, unsigned count, void* customArg) {
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
  return launched;
}

OfxStatus multiThread(OfxThreadFunctionV1 func, unsigned int nThreads, void* customArg) {
  unsigned cpus;
  std::shared_ptr<ThreadPool> pool;
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
    pool = gOpenHost->pool;
  }
  unsigned count = nThreads == 0 ? 1 : nThreads;
  if (cpus > 0 && count > cpus) count = cpus;
  tInMultiThread = true;
  bool launched;
  std::unique_lock<std::mutex> usingPool;
  if (pool) usingPool = std::unique_lock<std::mutex>(pool->busy, std::try_to_lock);
  if (usingPool.owns_lock()) {
    launched = pool->run(func, count, customArg);
  } else {
    launched = runOnNewThreads(func, count, customArg);
  }
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
