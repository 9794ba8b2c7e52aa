#include "startrail/startrail.h"

#include "plumbing/plumbing.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

namespace {

// Luminance of a host mask row scaled to 0..1 by the type's full scale; the
// fourth channel (transparency of the exported selection) is ignored.
void maskLevelRow(const cv::Mat& mask, int y, double* out) {
  NL_luminanceRow(mask, y, out);
  const double scale = mask.depth() == CV_16U ? 65535.0 : 255.0;
  for (int x = 0; x < mask.cols; ++x) out[x] = std::clamp(out[x] / scale, 0.0, 1.0);
}

// Elliptical kernel, blur sigma and peak weight of the seam refinement.
struct BridgeStrength {
  int kernel;
  double sigma;
  double scale;
};

BridgeStrength bridgeStrength(const std::string& strength) {
  if (strength == "subtle") return {37, 6.0, 0.65};
  if (strength == "strong") return {63, 10.0, 0.95};
  return {49, 8.0, 0.82};
}

bool sameSize(const cv::Mat& m, const cv::Size& size) { return m.rows == size.height && m.cols == size.width; }

template <typename T>
void compositeRow(int y, const cv::Mat& sky, const cv::Mat& fg, const double* level, const cv::Mat* bridge,
                  const cv::Mat* bridgeMask, double maxValue, cv::Mat& out) {
  const int cn = sky.channels();
  const T* s = sky.ptr<T>(y);
  const T* f = fg.ptr<T>(y);
  const T* a = bridge ? bridge->ptr<T>(y) : nullptr;
  const uchar* bm = bridgeMask ? bridgeMask->ptr<uchar>(y) : nullptr;
  T* o = out.ptr<T>(y);
  for (int x = 0; x < sky.cols; ++x) {
    const double k = level[x] >= 0.5 ? 1.0 : 0.0;
    const double b = bm ? bm[x] / 255.0 : 0.0;
    for (int c = 0; c < cn; ++c) {
      const int i = x * cn + c;
      double v;
      if (cn == 4 && c == 3) {
        v = std::max<double>(s[i], f[i]);
      } else {
        const double base = k * s[i] + (1.0 - k) * f[i];
        v = a ? b * a[i] + (1.0 - b) * base : base;
      }
      o[i] = static_cast<T>(std::clamp(v, 0.0, maxValue) + 0.5);
    }
  }
}

// Every pixel of out is written, so its buffer is reused as it stands.
// levelRow(y, out) gives the mask level of row y.
template <typename LevelRow>
void compositeRows(const cv::Mat& sky, const cv::Mat& fg, LevelRow levelRow, const cv::Mat* bridge,
                   const cv::Mat* bridgeMask, cv::Mat& out) {
  out.create(sky.size(), sky.type());
  cv::parallel_for_(cv::Range(0, sky.rows), [&](const cv::Range& rows) {
    std::vector<double> level(sky.cols);
    for (int y = rows.start; y < rows.end; ++y) {
      levelRow(y, level.data());
      if (sky.depth() == CV_16U) {
        compositeRow<ushort>(y, sky, fg, level.data(), bridge, bridgeMask, 65535.0, out);
      } else {
        compositeRow<uchar>(y, sky, fg, level.data(), bridge, bridgeMask, 255.0, out);
      }
    }
  });
}

void compositeImage(const cv::Mat& sky, const cv::Mat& fg, const cv::Mat& mask, const cv::Mat* bridge,
                    const cv::Mat* bridgeMask, cv::Mat& out) {
  compositeRows(sky, fg, [&mask](int y, double* level) { maskLevelRow(mask, y, level); }, bridge, bridgeMask, out);
}

bool bridgeUsable(const cv::Mat& sky, const cv::Mat* bridge, const cv::Mat* bridgeMask) {
  return bridge && bridgeMask && !bridge->empty() && !bridgeMask->empty() &&
         NL_isImageCompatibleForStarTrail(sky, *bridge) && bridgeMask->type() == CV_8UC1 &&
         sameSize(*bridgeMask, sky.size());
}

}  // namespace

bool NL_isImageCompatibleForStarTrail(const cv::Mat& a, const cv::Mat& b) {
  return !a.empty() && !b.empty() && a.rows == b.rows && a.cols == b.cols && a.type() == b.type();
}

cv::Mat NL_starTrailMaskLevel(const cv::Mat& mask) {
  cv::Mat level(mask.size(), CV_64F);
  cv::parallel_for_(cv::Range(0, mask.rows), [&](const cv::Range& rows) {
    for (int y = rows.start; y < rows.end; ++y) maskLevelRow(mask, y, level.ptr<double>(y));
  });
  return level;
}

cv::Mat NL_starTrailLoadBinarySkyMask(const std::string& maskPath, const cv::Size& frameSize,
                                      std::string& message) {
  if (maskPath.empty()) return cv::Mat();
  const cv::Mat mask = NL_imreadWithRetry(maskPath, -1);
  if (mask.empty()) {
    message = "could not load sky mask: " + maskPath;
    return cv::Mat();
  }
  if (!sameSize(mask, frameSize)) {
    message = "sky mask size mismatch.";
    return cv::Mat();
  }
  cv::Mat binary;
  cv::compare(NL_starTrailMaskLevel(mask), 0.5, binary, cv::CMP_GE);
  return binary;
}

cv::Mat NL_starTrailBuildThreeZoneBridgeMask(const std::string& maskPath, const cv::Size& frameSize,
                                             const std::string& strength) {
  const cv::Mat mask = NL_imreadWithRetry(maskPath, -1);
  if (mask.empty() || !sameSize(mask, frameSize)) return cv::Mat();
  const cv::Mat level = NL_starTrailMaskLevel(mask);
  cv::Mat gray(level.size(), CV_8U);
  for (int y = 0; y < level.rows; ++y) {
    const double* l = level.ptr<double>(y);
    uchar* g = gray.ptr<uchar>(y);
    for (int x = 0; x < level.cols; ++x) g[x] = static_cast<uchar>(std::round(l[x] * 255.0));
  }
  cv::Mat binary, dilated, eroded, band;
  cv::threshold(gray, binary, 127, 255, cv::THRESH_BINARY);
  const BridgeStrength s = bridgeStrength(strength);
  const cv::Mat kernel = cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(s.kernel, s.kernel));
  cv::dilate(binary, dilated, kernel);
  cv::erode(binary, eroded, kernel);
  cv::subtract(dilated, eroded, band);
  cv::threshold(band, band, 1, 255, cv::THRESH_BINARY);
  cv::GaussianBlur(band, band, cv::Size(0, 0), s.sigma, s.sigma, cv::BORDER_REFLECT_101);
  band.convertTo(band, CV_8U, s.scale);
  return band;
}

bool NL_starTrailCompositeSkyForeground(const std::string& skyPath, const std::string& foregroundPath,
                                        const std::string& maskPath, const std::string& outputPath,
                                        std::string& message, const cv::Mat* bridgeAccumulator,
                                        const cv::Mat* bridgeMask) {
  if (skyPath.empty() || foregroundPath.empty() || maskPath.empty() || outputPath.empty()) {
    message = "Composite failed: missing sky, foreground, mask or output path.";
    return false;
  }
  const cv::Mat sky = NL_imreadWithRetry(skyPath, -1);
  if (sky.empty()) return message = "Composite failed: could not load sky stack: " + skyPath, false;
  const cv::Mat fg = NL_imreadWithRetry(foregroundPath, -1);
  if (fg.empty()) return message = "Composite failed: could not load foreground stack: " + foregroundPath, false;
  const cv::Mat mask = NL_imreadWithRetry(maskPath, -1);
  if (mask.empty()) return message = "Composite failed: could not load mask: " + maskPath, false;
  const bool supported = (sky.depth() == CV_8U || sky.depth() == CV_16U);
  if (!NL_isImageCompatibleForStarTrail(sky, fg) || !supported) {
    return message = "Composite failed: sky and foreground size/type mismatch.", false;
  }
  if (!sameSize(mask, sky.size())) return message = "Composite failed: mask size mismatch.", false;
  const bool useBridge = bridgeUsable(sky, bridgeAccumulator, bridgeMask);
  cv::Mat out;
  compositeImage(sky, fg, mask, useBridge ? bridgeAccumulator : nullptr, useBridge ? bridgeMask : nullptr, out);
  // The sky result carries the frames' colour profile; so does its composite.
  std::string why;
  if (!NL_writeImageFile(outputPath, out, NL_readIccProfile(skyPath), &why))
    return message = NL_withReason("Composite failed: could not write output: " + outputPath, why), false;
  return true;
}

void NL_starTrailCompositeImages(const cv::Mat& sky, const cv::Mat& foreground, const cv::Mat& skyMask,
                                 const cv::Mat* bridgeAccumulator, const cv::Mat* bridgeMask, cv::Mat& out) {
  const bool useBridge = bridgeUsable(sky, bridgeAccumulator, bridgeMask);
  // The binary mask is the mask level's own >= 0.5 test, so the switch falls on the same pixels.
  const auto binaryRow = [&skyMask](int y, double* level) {
    const uchar* m = skyMask.ptr<uchar>(y);
    for (int x = 0; x < skyMask.cols; ++x) level[x] = m[x] ? 1.0 : 0.0;
  };
  compositeRows(sky, foreground, binaryRow, useBridge ? bridgeAccumulator : nullptr, useBridge ? bridgeMask : nullptr,
                out);
}
