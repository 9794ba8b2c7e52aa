// The registered sky stack laid over the fixed foreground stack through the
// user's sky mask, pulled back from the horizon and feathered.
#include "skyblend/skyblend.h"


#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <mutex>

namespace {

constexpr int kMaskThreshold = 128;
constexpr int kHoleCloseSize = 5;  // 2 px radius
constexpr int kInsetSize = 9;      // 4 px radius
constexpr float kFeatherPx = 18.0f;
constexpr float kRampAlpha = 0.999f;

cv::Mat ellipse(int size) { return cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(size, size)); }

// Smoothstep of the distance to the nearest ground pixel: no slope at either
// end of the ramp, so the transition shows no edge of its own. Written over
// the distances themselves (each is read just before its alpha replaces it),
// so no second frame-sized float plane is faulted in; the sky and its ramp
// are counted in the same pass.
NLBlendMask::Counts alphaRows(const cv::Mat& inset, cv::Mat& distanceToAlpha, const cv::Range& rows) {
  NLBlendMask::Counts counts;
  for (int y = rows.start; y < rows.end; ++y) {
    const uchar* sky = inset.ptr<uchar>(y);
    float* a = distanceToAlpha.ptr<float>(y);
    long long skyPixels = 0, ramp = 0;
    for (int x = 0; x < inset.cols; ++x) {
      const float t = std::clamp(a[x] / kFeatherPx, 0.0f, 1.0f);
      a[x] = sky[x] ? t * t * (3.0f - 2.0f * t) : 0.0f;
      skyPixels += sky[x] != 0;
      ramp += sky[x] != 0 && a[x] < kRampAlpha;
    }
    counts.sky += skyPixels;
    counts.ramp += ramp;
  }
  return counts;
}

template <typename T>
void compositeRows(const cv::Mat& sky, const cv::Mat& foreground, const cv::Mat& alpha, cv::Mat& out,
                   const cv::Range& rows) {
  const int cn = sky.channels();
  const double top = sizeof(T) == 1 ? 255.0 : 65535.0;
  for (int y = rows.start; y < rows.end; ++y) {
    const T* s = sky.ptr<T>(y);
    const T* f = foreground.ptr<T>(y);
    const float* a = alpha.ptr<float>(y);
    T* o = out.ptr<T>(y);
    for (int x = 0; x < sky.cols; ++x) {
      const double w = std::clamp(static_cast<double>(a[x]), 0.0, 1.0);
      // Ground and open sky (most of the frame) take one stack as it is,
      // which is what the weighted sum gives there.
      if (w == 0.0 || w == 1.0) {
        const T* from = w == 0.0 ? f : s;
        std::copy(from + x * cn, from + (x + 1) * cn, o + x * cn);
        continue;
      }
      for (int c = 0; c < cn; ++c) {
        const int i = x * cn + c;
        o[i] = static_cast<T>(std::clamp(s[i] * w + f[i] * (1.0 - w), 0.0, top) + 0.5);
      }
    }
  }
}

bool supportedType(const cv::Mat& image) {
  const int cn = image.channels();
  return (image.depth() == CV_8U || image.depth() == CV_16U) && (cn == 1 || cn == 3 || cn == 4);
}

void countMask(const NLBlendMask& mask, NLBlendReport& report) {
  report.totalPixels = static_cast<long long>(mask.inset.total());
  report.skyPixels = mask.counted.sky;
  report.edgeRampPixels = mask.counted.ramp;
}

}  // namespace

NLBlendMask NL_buildBlendMask(const cv::Mat& mask8, cv::Size size) {
  NLBlendMask m;
  cv::Mat resized = mask8;
  if (mask8.size() != size) cv::resize(mask8, resized, size, 0, 0, cv::INTER_LINEAR);
  cv::Mat binary, closed;
  cv::threshold(resized, binary, kMaskThreshold, 255, cv::THRESH_BINARY);
  // The default morphology border keeps sky that touches the image edge.
  cv::morphologyEx(binary, closed, cv::MORPH_CLOSE, ellipse(kHoleCloseSize));
  cv::erode(closed, m.inset, ellipse(kInsetSize));
  cv::distanceTransform(m.inset, m.alpha, cv::DIST_L2, 3, CV_32F);
  std::mutex mutex;
  cv::parallel_for_(cv::Range(0, size.height), [&](const cv::Range& rows) {
    const NLBlendMask::Counts part = alphaRows(m.inset, m.alpha, rows);
    const std::lock_guard<std::mutex> lock(mutex);
    m.counted.sky += part.sky;
    m.counted.ramp += part.ramp;
  });
  return m;
}

cv::Mat NL_compositeSkyOverForeground(const cv::Mat& sky, const cv::Mat& foreground, const cv::Mat& alpha) {
  cv::Mat out(sky.size(), sky.type());  // every pixel is written
  const bool wide = sky.depth() == CV_16U;
  cv::parallel_for_(cv::Range(0, sky.rows), [&](const cv::Range& rows) {
    if (wide) compositeRows<ushort>(sky, foreground, alpha, out, rows);
    else compositeRows<uchar>(sky, foreground, alpha, out, rows);
  });
  return out;
}

bool NL_blendSkyForegroundWithMask(const std::string& skyPath, const std::string& foregroundPath,
                                   const std::string& referencePath, const std::string& skyMaskPath,
                                   const std::string& outputPath, std::string& message,
                                   const NLSkyCoverage& coverage, const cv::Mat& skyStack,
                                   const cv::Mat& foregroundStack, NLImageWriteQueue* writes) {
  const cv::Mat sky = skyStack.empty() ? NL_imreadWithRetry(skyPath, -1) : skyStack;
  const cv::Mat foreground = foregroundStack.empty() ? NL_imreadWithRetry(foregroundPath, -1) : foregroundStack;
  NLBlendReport report;
  const cv::Mat mask8 = NL_loadSkyBlendMaskImage(skyMaskPath, report.maskLoad);
  if (sky.empty()) return NL_failStep(message, "Blend failed: could not load sky stack: " + skyPath);
  if (foreground.empty()) return NL_failStep(message, "Blend failed: could not load foreground stack: " + foregroundPath);
  if (mask8.empty())
    return NL_failStep(message, "Blend failed: could not load sky mask: " + skyMaskPath + "\n" + report.maskLoad);
  if (sky.size() != foreground.size() || sky.type() != foreground.type())
    return NL_failStep(message, "Blend failed: sky and foreground size/type mismatch.");
  if (!supportedType(sky)) return NL_failStep(message, "Blend failed: only 8-bit and 16-bit images with 1, 3 or 4 channels are supported.");
  const NLBlendMask mask = NL_buildBlendMask(mask8, sky.size());
  // The crop is planned first, so only the kept part is composited (no copy).
  report.crop = NL_planCoverageCrop(mask.inset, coverage);
  const cv::Rect kept = report.crop.offReason.empty() ? report.crop.rect : cv::Rect(cv::Point(), sky.size());
  const cv::Mat out = NL_compositeSkyOverForeground(sky(kept), foreground(kept), mask.alpha(kept));
  std::string unwritten = "Blend failed: could not write output: " + outputPath;
  countMask(mask, report);
  const NLIccProfile profile = NL_readIccProfile(referencePath.empty() ? skyPath : referencePath);
  // The job's last image: nothing computes beside its encode, so it takes every core.
  if (!NL_writeOrQueueImage(outputPath, out, writes, unwritten, profile, true))
    return NL_failStep(message, unwritten);
  report.output = outputPath;
  report.mask = skyMaskPath;
  report.reference = referencePath;
  message = NL_formatBlendReport(report);
  return true;
}
