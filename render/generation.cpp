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
// has; only a full decode tells. A background far larger than the frame is
// written back at the frame's size, so the render never decodes the large one.
bool acceptAnswer(const GenerationJob& job, const std::string& staging) {
  std::vector<uint8_t> pixels;
  int width = 0, height = 0;
  if (!decodeImageFile(staging, 4, pixels, width, height)) return false;
  const int answeredWidth = width, answeredHeight = height;
  if (!reduceToFrame(pixels, width, height, job.frameWidth, job.frameHeight)) return true;
  char line[128];
  std::snprintf(line, sizeof line, "thread: background %dx%d reduced to %dx%d", answeredWidth,
                answeredHeight, width, height);
  dbg(line);
  return writePng(staging, pixels.data(), width, height, 4);
}

}  // namespace

void runGeneration(const GenerationJob& job) {
  // Read here, never on a host thread: the system's secret store may ask the
  // user for permission, and a render must not wait for that answer.
  const std::string token = keychainGetToken(kKeychainService, kServiceBaseUrl);
  if (token.empty()) {
    dbg("doGen: no keychain token — sign in first");
    job.state->exchange(Failed);
    return;
  }
  const std::string staging = inputFile(job.key);
  int status = sendToBackend(job.key, job.serviceUrl, token, job.prompt, staging,
                             RequestLimits{kGenerateConnectSeconds, kGenerateTotalSeconds});
  if (status == 200 && !acceptAnswer(job, staging)) {
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
    const std::string cachePath = cacheFile(job.key, job.prompt);
    std::rename(staging.c_str(), cachePath.c_str());
    const std::string grabbed = grabbedFile(job.key);
    if (!writeRawdiff(grabbed, cachePath, rawdiffFile(job.key, job.prompt))) {
      dbg("thread: writeRawdiff failed (auto-mask will be coarse)");
    }
    if (!writeAnchor(grabbed, anchorFile(job.key, job.prompt), 128)) {
      dbg("thread: writeAnchor failed (motion track disabled)");
    }
    // Refined's plates: here on the worker, never on the render thread.
    if (!writePlates(grabbed, cachePath, plateFile(job.key, job.prompt),
                     backdropFile(job.key, job.prompt), kPlateThreshold)) {
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
