// Progress on stderr: a bar redrawn in place on a terminal, one plain line per
// frame otherwise (logs and CI keep every line readable).
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "cli/cli.h"

Progress startProgress(int total) {
  Progress progress;
  progress.total = total;
  progress.terminal = isatty(STDERR_FILENO) != 0;
  progress.start = std::chrono::steady_clock::now();
  return progress;
}

void stepProgress(Progress& progress, const std::string& name, double ms) {
  progress.done++;
  progress.frameMs.push_back(ms);
  double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - progress.start).count();
  double fps = seconds > 0 ? progress.done / seconds : 0.0;
  if (!progress.terminal) {
    std::fprintf(stderr, "frame %d/%d %s %.1f ms\n", progress.done, progress.total, name.c_str(),
                 ms);
    return;
  }
  const int barWidth = 30;
  int filled = progress.total > 0 ? barWidth * progress.done / progress.total : barWidth;
  char bar[barWidth + 1];
  for (int i = 0; i < barWidth; ++i) bar[i] = i < filled ? '#' : '.';
  bar[barWidth] = '\0';
  std::fprintf(stderr, "\r[%s] %d/%d  %.1f fps  ", bar, progress.done, progress.total, fps);
  std::fflush(stderr);
}

void finishProgress(Progress& progress) {
  if (progress.terminal && progress.done > 0) std::fputc('\n', stderr);
}

double medianMs(std::vector<double> ms) {
  if (ms.empty()) return 0.0;
  size_t mid = ms.size() / 2;
  std::nth_element(ms.begin(), ms.begin() + mid, ms.end());
  if (ms.size() % 2) return ms[mid];
  double upper = ms[mid];
  double lower = *std::max_element(ms.begin(), ms.begin() + mid);
  return (lower + upper) / 2;
}

char spinnerGlyph(int tick) {
  static const char glyphs[] = "|/-\\";
  return glyphs[((tick % 4) + 4) % 4];
}
