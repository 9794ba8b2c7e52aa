// The two masked combines of the sky and foreground stacks: input checks,
// messages and progress around the shared combine pipeline.
#include "stack/stack.h"

#include <algorithm>
#include <functional>

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

// Renders the combine's rows into out: the whole frames at once, or band by band.
using CombineBody = std::function<std::string(const NLCombineSettings&, cv::Mat&, NLRowProgress*)>;

bool runMasked(const MaskedCombine& c, cv::Size size, int type, cv::Mat& out, std::string& message,
               const NLProgressCallback& cb, int start, int end, const std::string& stage,
               const std::string& detail, const CombineBody& body) {
  out = cv::Mat::zeros(size, type);
  if (cb) cb(start, stage, detail + ".");
  NLRowProgress rows(out.rows, [&](int done, int total) {
    const int p = std::clamp(NL_roundPercent(done * 100.0 / total), 0, 100);
    cb(NL_mapProgress(p, start, end), stage,
       detail + " row " + std::to_string(done) + " of " + std::to_string(total) + ".");
  });
  const std::string problem = body(c.pixels, out, c.rowProgress && cb ? &rows : nullptr);
  if (!problem.empty()) return message = std::string(c.name) + " combine failed: " + problem, false;
  if (c.rowProgress) return true;
  if (cb) cb(end, stage, detail + " complete.");
  message = std::string(c.name) + " combine success.";
  return true;
}

bool runMasked(const MaskedCombine& c, const std::vector<cv::Mat>& images, const std::vector<cv::Mat>& masks,
               cv::Mat& out, std::string& message, const NLProgressCallback& cb, int start, int end,
               const std::string& stage, const std::string& detail) {
  const std::string problem = inputProblem(c, images, masks);
  if (!problem.empty()) return message = std::string(c.name) + " combine failed: " + problem, false;
  return runMasked(c, images[0].size(), images[0].type(), out, message, cb, start, end, stage, detail,
                   [&](const NLCombineSettings& pixels, cv::Mat& all, NLRowProgress* rows) {
                     NL_combineFrames(pixels, images, masks, all, rows);
                     return std::string();
                   });
}

// Every band is checked as the whole frames would be: a source that breaks
// the rules fails the combine with the same message instead of throwing.
std::string combineBands(const MaskedCombine& c, const NLCanvasBands& bands, cv::Mat& out, NLRowProgress* rows) {
  std::vector<cv::Mat> frames(bands.frames), masks(bands.frames);
  const int step = std::max(1, bands.bandRows);
  for (int y0 = 0; y0 < out.rows; y0 += step) {
    const cv::Range band(y0, std::min(y0 + step, out.rows));
    bands.source(band, frames, masks);
    cv::Mat rowsOut = out.rowRange(band);
    std::string problem = inputProblem(c, frames, masks);
    if (problem.empty() && (frames[0].type() != out.type() || frames[0].size() != rowsOut.size()))
      problem = "image size/type mismatch.";
    if (!problem.empty()) return problem;
    NL_combineFrames(c.pixels, frames, masks, rowsOut, rows);
  }
  return std::string();
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

bool NL_combineCanvasBandsWithMasks(bool average, const NLCanvasBands& bands, cv::Mat& out, std::string& message,
                                    const NLProgressCallback& progress, int start, int end, const std::string& stage,
                                    const std::string& detail) {
  const MaskedCombine& c = average ? kAverage : kSigma;
  if (bands.frames == 0 || bands.canvas.empty() || !bands.source)
    return message = std::string(c.name) + " combine failed: no images.", false;
  return runMasked(c, bands.canvas, bands.type, out, message, progress, start, end, stage, detail,
                   [&](const NLCombineSettings&, cv::Mat& all, NLRowProgress* rows) {
                     return combineBands(c, bands, all, rows);
                   });
}
