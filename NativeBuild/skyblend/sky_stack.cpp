// The registered sky stack: frames of a fixed camera whose stars drift are
// registered on the middle frame by stars found in the sky alone, warped onto
// the canvas and combined inside their coverage and the sky mask.
#include "skyblend/detail/sky_stack.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cstring>
#include <limits>

namespace {

const char* const kStage = "Creating Registered Sky Stack";
const char* const kFailed = "Reference-canvas sky stack failed: ";

// Registration sees only sky well clear of the horizon: ground lights and
// the landscape's edges do not move with the stars and would pull the fit.
constexpr int kRegistrationThreshold = 24;
constexpr int kRegistrationErosion = 15;  // px, ellipse size
// The stack keeps to sky 8 px clear of the horizon, so no warped ground
// (which moves with the stars after registration) smears into the sky.
constexpr int kStackThreshold = 128;
constexpr int kStackErosion = 17;  // px, ellipse size

struct SkyRun {
  std::vector<cv::Mat> frames;  // loaded, input order
  cv::Size canvas;
  NLSkyMaskUse registrationUse, stackUse;
  cv::Mat stackMask;  // 255 = usable sky, frame coordinates; empty when off
  std::vector<cv::Mat> transforms;  // frame onto the anchor, per frame
  std::vector<NLStarMatchList> matches;
  std::vector<unsigned char> used;
  std::string error, registrationLog;
  struct Accepted {
    int frame = 0;
    bool anchor = false;
    NLCanvasWarp warp;  // unused for the anchor
    cv::Mat sky;        // where the frame's sky lands; empty without a stack mask
  };
  std::vector<Accepted> accepted;  // frame order
  cv::Mat covered;                 // 255 over a whole frame, for every band's validity masks
  NLLocalCorrectionStats stats;
};

void report(const NLProgressCallback& progress, int percent, const std::string& detail) {
  if (progress) progress(percent, kStage, detail);
}

// The user's mask as loaded once for both its uses.
struct LoadedMask {
  std::string path;
  cv::Mat image;  // 8-bit; empty when it could not be loaded
  std::string message;
};

// The mask on the canvas, thresholded and eroded; empty when it could not be
// loaded. Fills in how it went, except for the too-few verdict.
cv::Mat erodedMask(const LoadedMask& loaded, cv::Size canvas, int threshold, int erosion, NLSkyMaskUse& use) {
  use.source = loaded.path;
  use.load = loaded.message;
  if (loaded.image.empty()) {
    use.state = NLSkyMaskUse::State::LoadFailed;
    return cv::Mat();
  }
  cv::Mat sized = loaded.image, mask;  // the loaded image stays as it is for the other use
  if (sized.size() != canvas) cv::resize(loaded.image, sized, canvas, 0, 0, cv::INTER_LINEAR);
  cv::threshold(sized, mask, threshold, 255, cv::THRESH_BINARY);
  cv::erode(mask, mask, cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(erosion, erosion)));
  use.pixels = cv::countNonZero(mask);
  use.total = static_cast<long long>(canvas.area());
  use.state = NLSkyMaskUse::State::On;
  return mask;
}

// The frame where the mask is set, 0 elsewhere, written once (no zero fill
// of a frame-sized buffer that the copy then overwrites).
cv::Mat maskedCopy(const cv::Mat& frame, const cv::Mat& mask) {
  cv::Mat out(frame.size(), frame.type());
  const size_t pixelBytes = frame.elemSize();
  for (int y = 0; y < frame.rows; ++y) {
    const uchar* m = mask.ptr<uchar>(y);
    const uchar* in = frame.ptr<uchar>(y);
    uchar* o = out.ptr<uchar>(y);
    // Runs of equal mask values: a sky row is a few long runs.
    for (int x = 0; x < frame.cols;) {
      int end = x + 1;
      while (end < frame.cols && (m[end] != 0) == (m[x] != 0)) ++end;
      const size_t bytes = size_t(end - x) * pixelBytes;
      if (m[x]) std::memcpy(o + size_t(x) * pixelBytes, in + size_t(x) * pixelBytes, bytes);
      else std::memset(o + size_t(x) * pixelBytes, 0, bytes);
      x = end;
    }
  }
  return out;
}

// Frames with the ground blacked out, or the frames themselves without a usable mask.
std::vector<cv::Mat> registrationFrames(SkyRun& run, const LoadedMask& loaded) {
  if (loaded.path.empty()) return run.frames;
  const cv::Mat mask = erodedMask(loaded, run.canvas, kRegistrationThreshold, kRegistrationErosion,
                                  run.registrationUse);
  if (mask.empty()) return run.frames;
  if (run.registrationUse.pixels < run.registrationUse.total / 50) {
    run.registrationUse.state = NLSkyMaskUse::State::TooFew;
    return run.frames;
  }
  std::vector<cv::Mat> masked(run.frames.size());
  cv::parallel_for_(cv::Range(0, int(masked.size())), [&](const cv::Range& range) {
    for (int i = range.start; i < range.end; ++i) {
      masked[size_t(i)] = maskedCopy(run.frames[size_t(i)], mask);
    }
  });
  return masked;
}

void prepareStackMask(SkyRun& run, const LoadedMask& loaded) {
  if (loaded.path.empty()) return;
  cv::Mat mask = erodedMask(loaded, run.canvas, kStackThreshold, kStackErosion, run.stackUse);
  if (mask.empty()) return;
  if (run.stackUse.pixels < run.stackUse.total / 100) {
    run.stackUse.state = NLSkyMaskUse::State::TooFew;
    return;
  }
  run.stackMask = mask;
}

// The masked copies are dropped as soon as the transforms are known.
bool registerFrames(SkyRun& run, std::vector<cv::Mat> frames, const NLProgressCallback& progress) {
  NLProgressCallback forward;
  if (progress) {
    forward = [&progress](int p, const std::string&, const std::string& detail) {
      report(progress, NL_mapProgress(std::clamp(p, 0, 100), 20, 48), detail);
    };
  }
  return NL_computeSkyHomographyTransformsParallelRobust(frames, NL_kStackRegistration, run.transforms, run.matches,
                                                         run.used, run.error, run.registrationLog, forward);
}

// Where frame i's own sky lands on the canvas (empty without a stack mask).
cv::Mat skyOnCanvas(const SkyRun& run, const cv::Mat& transform, bool anchor) {
  if (run.stackMask.empty()) return cv::Mat();
  if (anchor) return run.stackMask;
  cv::Mat sky;
  cv::warpPerspective(run.stackMask, sky, transform, run.canvas, cv::INTER_NEAREST, cv::BORDER_CONSTANT, 0);
  cv::threshold(sky, sky, 127, 255, cv::THRESH_BINARY);
  return sky;
}

// Each accepted frame's way onto the canvas, decided once in frame order (so
// the correction statistics add up as for whole-frame warps), and where its
// sky lands; the warped pixels themselves are rendered band by band later.
void planAccepted(SkyRun& run, const NLProgressCallback& progress) {
  const int n = static_cast<int>(run.frames.size());
  const int anchor = n / 2;
  const cv::Mat identity = cv::Mat::eye(3, 3, CV_64F);
  for (int i = 0; i < n; ++i) {
    if (!run.used[i]) continue;
    SkyRun::Accepted a;
    a.frame = i;
    a.anchor = i == anchor;
    if (!a.anchor)
      a.warp = NL_planWarpToCanvas(run.frames[i].size(), run.transforms[i], identity, run.canvas.width,
                                   run.canvas.height, run.matches[i], 0, 0, run.stats);
    a.sky = skyOnCanvas(run, run.transforms[i], a.anchor);
    run.accepted.push_back(std::move(a));
    const int k = static_cast<int>(run.accepted.size());
    report(progress, 50 + NL_roundPercent(k * 18.0 / std::max(n, 1)),
           "Warped sky frame " + std::to_string(k) + " of " + std::to_string(n) + ".");
  }
}

// Canvas rows of one accepted frame and its validity there, limited to its sky.
// The anchor is copied, not resampled. Outside its sky a frame's pixels are
// never read (its mask is 0 there), so they are not resampled either, except
// in the first frame, whose pixels stand where no frame covers the canvas.
void renderRows(const SkyRun& run, const SkyRun::Accepted& a, bool first, const cv::Range& rows, cv::Mat& warped,
                cv::Mat& mask) {
  const cv::Mat& frame = run.frames[size_t(a.frame)];
  if (a.anchor) {
    frame.rowRange(rows).copyTo(warped);
    mask.create(rows.size(), run.canvas.width, CV_8UC1);
    mask.setTo(255);
  } else {
    const cv::Mat wanted = first || a.sky.empty() ? cv::Mat() : a.sky.rowRange(rows);
    NL_renderWarpRows(a.warp, frame, rows, warped, mask, run.covered, wanted);
  }
  if (!a.sky.empty()) cv::bitwise_and(mask, a.sky.rowRange(rows), mask);
}

// Per canvas pixel, how many frames' masks cover it (saturating).
void countCoverage(const std::vector<cv::Mat>& masks, const cv::Range& rows, cv::Mat& map) {
  cv::parallel_for_(cv::Range(rows.start, rows.end), [&](const cv::Range& part) {
    for (int y = part.start; y < part.end; ++y) {
      ushort* count = map.ptr<ushort>(y);
      for (const cv::Mat& mask : masks) {
        if (mask.empty()) continue;
        const uchar* m = mask.ptr<uchar>(y - rows.start);
        for (int x = 0; x < map.cols; ++x)
          if (m[x] && count[x] < std::numeric_limits<ushort>::max()) ++count[x];
      }
    }
  });
}

// About this many bytes of warped rows and masks for all frames at once: a
// band per frame stays small enough to be reused from band to band (whole
// warped frames were allocated, faulted in and released every frame), and
// large enough that the warp's padding rows around a band cost little.
constexpr size_t kBandBytes = size_t(48) << 20;
constexpr int kMinBandRows = 64;

int bandRowsFor(const SkyRun& run) {
  const size_t perRow = std::max<size_t>(1, run.accepted.size() * size_t(run.canvas.width) *
                                                (run.frames.front().elemSize() + 1));
  return int(std::max<size_t>(kMinBandRows, kBandBytes / perRow));
}

// Warps, counts coverage and combines band by band; the pixels, coverage and
// progress are those of warping every frame whole and combining after.
bool warpAndCombine(SkyRun& run, bool average, int bandRows, cv::Mat& stack, NLSkyCoverage& coverage,
                    std::string& message, const NLProgressCallback& progress) {
  coverage = NLSkyCoverage{static_cast<int>(run.accepted.size()), cv::Mat::zeros(run.canvas, CV_16UC1)};
  report(progress, 70, "Checking usable sky coverage.");
  report(progress, 76, "Combining registered sky stack.");
  run.covered = cv::Mat(run.frames.front().size(), CV_8UC1, cv::Scalar(255));
  NLCanvasBands bands;
  bands.canvas = run.canvas;
  bands.type = run.frames.front().type();
  bands.frames = run.accepted.size();
  bands.bandRows = bandRows > 0 ? bandRows : bandRowsFor(run);
  // Frame after frame, each warp spreading its rows over the cores: OpenCV runs
  // a parallel loop nested in another (even a one-stripe one) on one thread.
  bands.source = [&](const cv::Range& rows, std::vector<cv::Mat>& warped, std::vector<cv::Mat>& masks) {
    for (size_t k = 0; k < run.accepted.size(); ++k)
      renderRows(run, run.accepted[k], k == 0, rows, warped[k], masks[k]);
    countCoverage(masks, rows, coverage.map);
  };
  return NL_combineCanvasBandsWithMasks(average, bands, stack, message, progress, 76, 94, kStage,
                                        average ? "Average combining registered sky frames"
                                                : "Sigma combining registered sky frames");
}

}  // namespace

bool NL_registeredSigmaReferenceCanvas(const std::vector<std::string>& inputs, const std::string& outputPath,
                                       const std::string& skyMaskPath, std::string& text,
                                       const NLProgressCallback& progress, const std::string& stackMethod,
                                       NLSkyCoverage* coverage, NLJobFrames* store, cv::Mat* stackOut,
                                       NLImageWriteQueue* writes) {
  return skyblend_detail::registeredSkyStack(inputs, outputPath, skyMaskPath, text, progress, stackMethod, coverage,
                                             store, stackOut, writes, 0);
}

bool skyblend_detail::registeredSkyStack(const std::vector<std::string>& inputs, const std::string& outputPath,
                                         const std::string& skyMaskPath, std::string& text,
                                         const NLProgressCallback& progress, const std::string& stackMethod,
                                         NLSkyCoverage* coverage, NLJobFrames* store, cv::Mat* stackOut,
                                         NLImageWriteQueue* writes, int bandRows) {
  SkyRun run;
  report(progress, 0, "Loading sky frames.");
  std::string message;
  if (!NL_loadSkyBlendImages(inputs, run.frames, message, progress, 0, 10, kStage, store))
    return NL_failStep(text, message, kFailed);
  run.canvas = run.frames.front().size();
  report(progress, 12, "Preparing sky registration mask.");
  LoadedMask mask{skyMaskPath, cv::Mat(), std::string()};
  if (!skyMaskPath.empty()) mask.image = NL_loadSkyBlendMaskImage(skyMaskPath, mask.message);
  std::vector<cv::Mat> registered = registrationFrames(run, mask);
  prepareStackMask(run, mask);
  report(progress, 20, "Aligning sky frames for stacking.");
  const bool aligned = registerFrames(run, std::move(registered), progress);
  if (!aligned) return NL_failStep(text, run.error + "\n" + NL_formatSkyRegistrationMaskBlock(run.registrationUse), kFailed);
  report(progress, 50, "Warping aligned sky frames.");
  planAccepted(run, progress);
  const bool average = stackMethod == "average";
  NLSkyCoverage counted;
  cv::Mat stack;
  if (!warpAndCombine(run, average, bandRows, stack, counted, message, progress))
    return NL_failStep(text, message, kFailed);
  run.frames.clear();
  report(progress, 98, "Writing registered sky stack output.");
  // The first input is the reference frame: the stack keeps its colour profile.
  std::string unwritten = kFailed + ("could not write output: " + outputPath);
  if (!NL_writeOrQueueImage(outputPath, stack, writes, unwritten, NL_readIccProfile(inputs[0])))
    return text = unwritten, false;
  if (coverage) *coverage = std::move(counted);
  if (stackOut) *stackOut = stack;
  text = NL_formatSkyStackReport(NLSkyStackReport{outputPath, inputs.size(), average ? "average" : "sigma",
                                                  run.canvas, run.registrationUse, run.registrationLog,
                                                  run.stackUse, run.stats});
  return true;
}
