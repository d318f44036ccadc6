// The generation worker: one request, then the files the render action reads,
// then a single write of the shared state.
#include <cstdio>
#include <system_error>
#include <thread>

#include "backend/backend.h"
#include "imaging/imaging.h"
#include "render/render.h"

namespace {

// The request checks only the PNG signature, which a cut-off answer still
// has; only a full decode tells.
bool decodesWhole(const std::string& path) {
  std::vector<uint8_t> pixels;
  int width = 0, height = 0;
  return decodeImageFile(path, 4, pixels, width, height);
}

}  // namespace

void runGeneration(const GenerationJob& job) {
  const std::string staging = inputFile(job.id);
  int status = sendToBackend(job.id, job.serviceUrl, job.token, job.prompt, staging,
                             RequestLimits{kGenerateConnectSeconds, kGenerateTotalSeconds});
  if (status == 200 && !decodesWhole(staging)) {
    // A broken answer must not replace the background this prompt already has.
    std::remove(staging.c_str());
    dbg("thread: response PNG does not decode");
    status = 0;
  }
  if (status == 402) {
    job.state->exchange(OutOfCredits);
    dbg("thread: out of credits (402)");
  } else if (status == 200) {
    // Background, difference, anchor and plates are all in place before Done is
    // published, so the render that sees Done finds them all.
    const std::string cachePath = cacheFile(job.id, job.prompt);
    std::rename(staging.c_str(), cachePath.c_str());
    const std::string grabbed = grabbedFile(job.id);
    if (!writeRawdiff(grabbed, cachePath, rawdiffFile(job.id, job.prompt))) {
      dbg("thread: writeRawdiff failed (auto-mask will be coarse)");
    }
    if (!writeAnchor(grabbed, anchorFile(job.id, job.prompt), 128)) {
      dbg("thread: writeAnchor failed (motion track disabled)");
    }
    // Refined's plates: here on the worker, never on the render thread.
    if (!writePlates(grabbed, cachePath, plateFile(job.id, job.prompt),
                     backdropFile(job.id, job.prompt), kPlateThreshold)) {
      dbg("thread: writePlates failed (refined composite falls back to classic)");
    }
    job.state->exchange(Done);
    dbg("thread: backend ok");
  } else if (status == 401 || status == 403) {
    job.state->exchange(AuthRejected);
    dbg("thread: session expired or unverified (401/403)");
  } else {
    job.state->exchange(Failed);
    char line[64];
    std::snprintf(line, sizeof line, "thread: backend failed http=%d", status);
    dbg(line);
  }
}

void launchDetached(std::function<void()> body) { std::thread(std::move(body)).detach(); }

bool startGenerationWorker(GenerationJob job, WorkerLauncher launch) {
  workerStarted();
  try {
    launch([job = std::move(job)]() mutable {
      try {
        runGeneration(job);
      } catch (...) {
        // Nothing may leave a detached thread; a generation cut short is a failure.
        int running = Running;
        job.state->compare_exchange_strong(running, Failed);
        dbg("thread: generation aborted");
      }
      job = GenerationJob();  // the copies go before the thread stops counting
      workerFinished();
    });
  } catch (...) {
    workerFinished();
    return false;
  }
  return true;
}
