// Output PNGs are encoded on background threads: encoding a frame takes
// several times longer than rendering it, so the next frame renders while
// the last ones are still being written.
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "cli/cli.h"

struct PngWriter {
  struct Job {
    std::string path;
    std::vector<uint8_t> rgba;
    int width = 0, height = 0;
  };
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<Job> queue;
  size_t maxPending = 1;
  int busy = 0;
  bool closing = false;
  std::string error;  // the first failed write
  std::vector<std::thread> threads;
};

namespace {

void writerLoop(PngWriter* writer) {
  std::unique_lock<std::mutex> lock(writer->mutex);
  for (;;) {
    writer->changed.wait(lock, [&] { return writer->closing || !writer->queue.empty(); });
    if (writer->queue.empty()) return;
    PngWriter::Job job = std::move(writer->queue.front());
    writer->queue.pop_front();
    writer->busy++;
    writer->changed.notify_all();
    lock.unlock();
    std::string error;
    bool ok = writePng(job.path, job.rgba, job.width, job.height, error);
    lock.lock();
    writer->busy--;
    if (!ok && writer->error.empty()) writer->error = error;
    writer->changed.notify_all();
  }
}

}  // namespace

PngWriter* startWriter(unsigned threads, size_t maxPending) {
  PngWriter* writer = new PngWriter;
  writer->maxPending = maxPending > 0 ? maxPending : 1;
  for (unsigned i = 0; i < (threads > 0 ? threads : 1); ++i)
    writer->threads.emplace_back(writerLoop, writer);
  return writer;
}

bool queuePng(PngWriter* writer, const std::string& path, std::vector<uint8_t> rgba, int width,
              int height, std::string& error) {
  std::unique_lock<std::mutex> lock(writer->mutex);
  writer->changed.wait(
      lock, [&] { return !writer->error.empty() || writer->queue.size() < writer->maxPending; });
  if (!writer->error.empty()) {
    error = writer->error;
    return false;
  }
  writer->queue.push_back({path, std::move(rgba), width, height});
  writer->changed.notify_all();
  return true;
}

bool finishWriter(PngWriter* writer, std::string& error) {
  {
    std::lock_guard<std::mutex> lock(writer->mutex);
    writer->closing = true;
  }
  writer->changed.notify_all();
  for (std::thread& thread : writer->threads) thread.join();
  bool ok = writer->error.empty();
  if (!ok) error = writer->error;
  delete writer;
  return ok;
}
