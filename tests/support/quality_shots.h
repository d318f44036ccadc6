// Synthetic shots whose truth is known, and the figures a composite is judged by.
//
// A shot is a world backdrop (the one the camera filmed) and a new backdrop (the one the
// service returned), a subject with soft, hair-like alpha, and a camera that pans and
// zooms. Frame k of the source is subject over the old backdrop as the camera saw it; the
// truth is the same subject over the new backdrop moved the same way. Everything is
// evaluated analytically at each pixel, so sub-pixel moves are exact.
//
// Figures (measure):
//   psnr, psnrEdge   against the truth, whole frame and the band where the subject's
//                    alpha is neither 0 nor 1 (grown by 2 px)
//   oldLeak, oldLeakBorder  share of background pixels closer to the old backdrop than
//                    to the new (where the two differ), whole frame and a 16-px border
//   secondSubject    share of background pixels, where the returned image's frozen
//                    subject would lie, that show it: off the truth by more than 40 levels
//                    and nearer the frozen subject's colour than the truth's
//   spill            mean of (output - truth) along (old - new) over the edge band, levels
//   positionError    RMS displacement of the output's background against the truth, px
//   jitter           mean frame-to-frame change of that displacement, px
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum class Backdrop { Textured, GreenScreen, City };

struct ShotSpec {
  std::string name;
  int width = 960, height = 540, frames = 12;
  Backdrop backdrop = Backdrop::Textured;
  double panX = 0.0, panY = 0.0;  // camera, px per frame
  double zoom = 0.0;              // scale change per frame
  double walk = 0.0;              // subject, px per frame across the frame
  double noise = 1.5;             // sensor noise, levels (sigma)
};

struct ShotFrame {
  std::vector<uint8_t> source;    // RGBA8
  std::vector<uint8_t> truth;     // RGBA8
  std::vector<float> alpha;       // subject alpha
  std::vector<uint8_t> oldBg;     // RGBA8, the old backdrop as the camera sees it
  std::vector<uint8_t> newBg;     // RGBA8, the new backdrop moved with the camera
  std::vector<uint8_t> ghost;     // gray8, 255 where the returned image's subject lies now
  std::vector<uint8_t> ghostRgb;  // RGB8, its colour there
};

// Frame k of the shot; frame 0 is the generate frame.
ShotFrame shotFrame(const ShotSpec& shot, int k);
// What the service returns for frame 0: the subject kept, the backdrop replaced.
std::vector<uint8_t> shotReturned(const ShotSpec& shot);

struct FrameFigures {
  double mse = 0, mseEdge = 0;
  double edgeCount = 0;
  double bgCount = 0, oldCloser = 0, borderCount = 0, borderOldCloser = 0;
  double ghostCount = 0, ghostShown = 0;
  double spillSum = 0;
  double dx = 0, dy = 0, scaleShift = 0;  // the background's displacement against the truth
};

FrameFigures measureFrame(const ShotSpec& shot, const ShotFrame& f,
                          const std::vector<uint8_t>& output);

struct ShotFigures {
  double psnr = 0, psnrEdge = 0, oldLeak = 0, oldLeakBorder = 0, secondSubject = 0, spill = 0;
  double positionError = 0, jitter = 0;
};

ShotFigures summarise(const std::vector<FrameFigures>& frames);
