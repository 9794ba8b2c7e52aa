// The registered sky stack: frames of a fixed camera whose stars drift are
// registered on the middle frame by stars found in the sky alone, warped onto
// the canvas and combined inside their coverage and the sky mask.
#include "skyblend/skyblend.h"


#include <opencv2/imgproc.hpp>

#include <algorithm>
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
  std::vector<cv::Mat> frames;  // loaded, input order; released once warped
  cv::Size canvas;
  NLSkyMaskUse registrationUse, stackUse;
  cv::Mat stackMask;  // 255 = usable sky, frame coordinates; empty when off
  std::vector<cv::Mat> transforms;  // frame onto the anchor, per frame
  std::vector<NLStarMatchList> matches;
  std::vector<unsigned char> used;
  std::string error, registrationLog;
  std::vector<cv::Mat> warped, canvasMasks;
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
      const cv::Mat& frame = run.frames[size_t(i)];
      masked[size_t(i)] = cv::Mat::zeros(frame.size(), frame.type());
      frame.copyTo(masked[size_t(i)], mask);
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

// The frame's validity on the canvas, limited to where its own sky lands.
void limitToSky(const SkyRun& run, const cv::Mat& transform, bool anchor, cv::Mat& canvasMask) {
  if (run.stackMask.empty()) return;
  cv::Mat sky = run.stackMask.clone();
  if (!anchor) {
    cv::warpPerspective(run.stackMask, sky, transform, run.canvas, cv::INTER_NEAREST, cv::BORDER_CONSTANT, 0);
    cv::threshold(sky, sky, 127, 255, cv::THRESH_BINARY);
  }
  if (sky.size() == canvasMask.size()) cv::bitwise_and(canvasMask, sky, canvasMask);
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

void warpAccepted(SkyRun& run, const NLProgressCallback& progress) {
  const int n = static_cast<int>(run.frames.size());
  const int anchor = n / 2;
  const cv::Mat identity = cv::Mat::eye(3, 3, CV_64F);
  for (int i = 0; i < n; ++i) {
    if (!run.used[i]) continue;
    cv::Mat warped, canvasMask;
    const cv::Mat& transform = run.transforms[i];
    if (i == anchor) {
      // The anchor is copied, not resampled, so it adds nothing to the correction statistics.
      warped = run.frames[i];
      canvasMask = cv::Mat(run.canvas, CV_8UC1, cv::Scalar(255));
    } else {
      NL_warpFrameToCanvas(run.frames[i], transform, identity, run.canvas.width, run.canvas.height,
                           run.matches[i], 0, 0, warped, canvasMask, run.stats);
    }
    run.frames[i].release();
    limitToSky(run, transform, i == anchor, canvasMask);
    run.warped.push_back(warped);
    run.canvasMasks.push_back(canvasMask);
    const int k = static_cast<int>(run.warped.size());
    report(progress, 50 + NL_roundPercent(k * 18.0 / std::max(n, 1)),
           "Warped sky frame " + std::to_string(k) + " of " + std::to_string(n) + ".");
  }
}

NLSkyCoverage coverageOf(const std::vector<cv::Mat>& masks, cv::Size canvas) {
  NLSkyCoverage coverage{static_cast<int>(masks.size()), cv::Mat::zeros(canvas, CV_16UC1)};
  cv::parallel_for_(cv::Range(0, canvas.height), [&](const cv::Range& rows) {
    for (int y = rows.start; y < rows.end; ++y) {
      ushort* count = coverage.map.ptr<ushort>(y);
      for (const cv::Mat& mask : masks) {
        if (mask.empty()) continue;
        const uchar* m = mask.ptr<uchar>(y);
        for (int x = 0; x < canvas.width; ++x)
          if (m[x] && count[x] < std::numeric_limits<ushort>::max()) ++count[x];
      }
    }
  });
  return coverage;
}

bool combine(SkyRun& run, bool average, cv::Mat& stack, std::string& message, const NLProgressCallback& progress) {
  return average ? NL_averageCombineImagesWithMasks(run.warped, run.canvasMasks, stack, message, progress, 76, 94,
                                                    kStage, "Average combining registered sky frames")
                 : NL_sigmaCombineImagesWithMasks(run.warped, run.canvasMasks, stack, message, progress, 76, 94,
                                                  kStage, "Sigma combining registered sky frames");
}

}  // namespace

bool NL_registeredSigmaReferenceCanvas(const std::vector<std::string>& inputs, const std::string& outputPath,
                                       const std::string& skyMaskPath, std::string& text,
                                       const NLProgressCallback& progress, const std::string& stackMethod,
                                       NLSkyCoverage* coverage, NLJobFrames* store, cv::Mat* stackOut,
                                       NLImageWriteQueue* writes) {
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
  warpAccepted(run, progress);
  report(progress, 70, "Checking usable sky coverage.");
  NLSkyCoverage counted = coverageOf(run.canvasMasks, run.canvas);
  const bool average = stackMethod == "average";
  report(progress, 76, "Combining registered sky stack.");
  cv::Mat stack;
  if (!combine(run, average, stack, message, progress)) return NL_failStep(text, message, kFailed);
  run.warped.clear();
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
