// The two masked combines of the sky and foreground stacks: input checks,
// messages and progress around the shared combine pipeline.
#include "stack/stack.h"

#include <algorithm>

namespace {

// What the two differ in besides the pixel settings.
struct MaskedCombine {
  const char* name;             // "Average" or "Sigma", opens every message
  const NLCombineSettings& pixels;
  bool oneMaskPerFrame;         // masks must be absent or one per frame
  bool rowProgress;             // thinned per-row reports instead of a start/end pair
};

const MaskedCombine kAverage{"Average", NL_kMaskedAverageCombine, false, false};
const MaskedCombine kSigma{"Sigma", NL_kMaskedSigmaCombine, true, true};

std::string inputProblem(const MaskedCombine& c, const std::vector<cv::Mat>& images,
                         const std::vector<cv::Mat>& masks) {
  std::string problem = NL_combineInputProblem(images, masks);
  if (problem.empty() && c.oneMaskPerFrame && !masks.empty() && masks.size() != images.size())
    problem = "mask count does not match image count.";
  return problem;
}

bool runMasked(const MaskedCombine& c, const std::vector<cv::Mat>& images, const std::vector<cv::Mat>& masks,
               cv::Mat& out, std::string& message, const NLProgressCallback& cb, int start, int end,
               const std::string& stage, const std::string& detail) {
  const std::string problem = inputProblem(c, images, masks);
  if (!problem.empty()) return message = std::string(c.name) + " combine failed: " + problem, false;
  out = cv::Mat::zeros(images[0].size(), images[0].type());
  if (cb) cb(start, stage, detail + ".");
  NLRowProgress rows(out.rows, [&](int done, int total) {
    const int p = std::clamp(NL_roundPercent(done * 100.0 / total), 0, 100);
    cb(NL_mapProgress(p, start, end), stage,
       detail + " row " + std::to_string(done) + " of " + std::to_string(total) + ".");
  });
  NL_combineFrames(c.pixels, images, masks, out, c.rowProgress && cb ? &rows : nullptr);
  if (c.rowProgress) return true;
  if (cb) cb(end, stage, detail + " complete.");
  message = std::string(c.name) + " combine success.";
  return true;
}

}  // namespace

bool NL_averageCombineImagesWithMasks(const std::vector<cv::Mat>& images, const std::vector<cv::Mat>& masks,
                                      cv::Mat& out, std::string& message, const NLProgressCallback& progress,
                                      int start, int end, const std::string& stage, const std::string& detail) {
  return runMasked(kAverage, images, masks, out, message, progress, start, end, stage, detail);
}

bool NL_sigmaCombineImagesWithMasks(const std::vector<cv::Mat>& images, const std::vector<cv::Mat>& masks,
                                    cv::Mat& out, std::string& message, const NLProgressCallback& progress,
                                    int start, int end, const std::string& stage, const std::string& detail) {
  return runMasked(kSigma, images, masks, out, message, progress, start, end, stage, detail);
}
