// The frame pipeline: one thread reads frames ahead into host images, the
// calling thread renders them through the plug-in, and writer threads encode
// the results behind it. Reading and encoding are most of the work, so they
// run beside the render instead of before and after it.
//
// A stop (SIGINT, SIGTERM or a failure) ends the reading and the rendering at
// once; a writer finishes the frame it is encoding and the frames still
// waiting are dropped, so no temporary file stays behind.
#include <signal.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "cli/render_tool.h"

namespace {

std::atomic<int> gStopSignal{0};

void onStopSignal(int signal) {
  int none = 0;
  gStopSignal.compare_exchange_strong(none, signal);
}

// A bounded queue whose waits end when the run stops.
template <typename T>
class Line {
 public:
  explicit Line(size_t capacity) : capacity_(capacity) {}
  // False when the line was closed or `abandon` says so (nothing is added then).
  template <typename Abandon>
  bool push(T item, Abandon abandon) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      if (closed_ || abandon()) return false;
      if (items_.size() < capacity_) break;
      changed_.wait_for(lock, std::chrono::milliseconds(50));
    }
    items_.push_back(std::move(item));
    changed_.notify_all();
    return true;
  }
  // False once the line is closed and empty, or when `abandon` says so.
  template <typename Abandon>
  bool pop(T& item, Abandon abandon) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      if (abandon()) return false;
      if (!items_.empty()) break;
      if (closed_) return false;
      changed_.wait_for(lock, std::chrono::milliseconds(50));
    }
    item = std::move(items_.front());
    items_.pop_front();
    changed_.notify_all();
    return true;
  }
  void close() {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<T> items_;
  size_t capacity_;
  bool closed_ = false;
};

struct ReadFrame {
  size_t index = 0;
  std::shared_ptr<HostImage> image;
};

struct WriteFrame {
  size_t index = 0;
  std::shared_ptr<HostImage> image;
  double ms = 0;
};

// The first failure of any thread, kept once.
struct Failure {
  std::mutex mutex;
  std::string error;
  std::atomic<bool> failed{false};
  void set(const std::string& message) {
    std::lock_guard<std::mutex> lock(mutex);
    if (!failed.load()) error = message;
    failed.store(true);
  }
};

}  // namespace

void installStopHandlers() {
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  signal(SIGXFSZ, SIG_IGN);
  // Output piped into a pager that quit must not end the run before the
  // local service is stopped.
  signal(SIGPIPE, SIG_IGN);
}

int stopSignal() { return gStopSignal.load(); }

bool runPipeline(Session& session, const std::vector<FrameJob>& jobs, int width, int height,
                 int channels, const OutputFormat& format, unsigned writers, Progress& progress,
                 PipelineStats& stats, std::string& error) {
  const auto start = std::chrono::steady_clock::now();
  Failure failure;
  auto stopping = [&] { return failure.failed.load() || stopSignal() != 0; };
  Line<ReadFrame> reads(2);
  Line<WriteFrame> writes(2 + writers);
  std::mutex progressMutex;
  // A frame that cannot be read ends the reading only: the frames read
  // before it are still rendered and written. A failed write or render
  // ends the rendering too.
  std::atomic<bool> renderStop{false};

  std::thread reader([&] {
    for (size_t i = 0; i < jobs.size() && !stopping(); ++i) {
      ReadFrame frame{i, makeFrameImage(session, width, height, channels)};
      std::string why;
      if (!frame.image) {
        failure.set(jobs[i].input + ": cannot make a host image");
        break;
      }
      if (!readImage(jobs[i].input, framePixels(*frame.image), why)) {
        failure.set(why);
        break;
      }
      if (!reads.push(std::move(frame), stopping)) break;
    }
    reads.close();
  });

  std::vector<std::thread> writerThreads;
  for (unsigned w = 0; w < std::max(1u, writers); ++w) {
    writerThreads.emplace_back([&] {
      WriteFrame frame;
      // Frames already rendered are written even after a failure elsewhere;
      // only a signal drops the ones still waiting.
      while (writes.pop(frame, [] { return stopSignal() != 0; })) {
        std::string why;
        if (!writeImage(jobs[frame.index].output, framePixels(*frame.image), format, why)) {
          failure.set(why);
          renderStop.store(true);
          continue;
        }
        std::lock_guard<std::mutex> lock(progressMutex);
        stats.renderMs.push_back(frame.ms);
        stepProgress(progress, baseName(jobs[frame.index].output), frame.ms);
      }
    });
  }

  auto stopRendering = [&] { return renderStop.load() || stopSignal() != 0; };
  ReadFrame in;
  while (!stopRendering() && reads.pop(in, stopRendering)) {
    WriteFrame out;
    out.index = in.index;
    std::string why;
    if (!renderImage(session, in.image, jobs[in.index].time, out.image, out.ms, why)) {
      failure.set(jobs[in.index].input + ": " + why);
      renderStop.store(true);
      break;
    }
    if (jobs[in.index].sheet)
      stats.sheet.push_back({hostToRGBA8(*in.image), hostToRGBA8(*out.image)});
    if (!writes.push(std::move(out), stopRendering)) break;
  }
  reads.close();
  writes.close();
  reader.join();
  for (std::thread& t : writerThreads) t.join();
  stats.wallSeconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (failure.failed.load()) {
    error = failure.error;
    return false;
  }
  return true;
}
