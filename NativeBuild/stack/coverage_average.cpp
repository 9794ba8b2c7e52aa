// Streaming average: each warped frame is added and can be dropped at once.
#include "stack/stack.h"

NLCoverageAverage::NLCoverageAverage(cv::Size size, int channels)
    : sum_(cv::Mat::zeros(size, CV_32FC(channels))), weight_(cv::Mat::zeros(size, CV_32FC1)) {}

void NLCoverageAverage::add(const cv::Mat& frame, const cv::Mat& mask, NLRowProgress* progress) {
  CV_Assert(frame.size() == sum_.size() && frame.channels() == sum_.channels());
  CV_Assert(mask.empty() || (mask.type() == CV_8UC1 && mask.size() == sum_.size()));
  cv::Mat samples;
  frame.convertTo(samples, CV_32F, 1.0, 0.0);
  const int cn = sum_.channels();
  cv::parallel_for_(cv::Range(0, sum_.rows), [&](const cv::Range& band) {
    for (int y = band.start; y < band.end; ++y) {
      const float* s = samples.ptr<float>(y);
      const uchar* m = mask.empty() ? nullptr : mask.ptr<uchar>(y);
      float* acc = sum_.ptr<float>(y);
      float* w = weight_.ptr<float>(y);
      for (int x = 0; x < sum_.cols; ++x) {
        if (m && m[x] == 0) continue;
        for (int c = 0; c < cn; ++c) acc[x * cn + c] += s[x * cn + c];
        w[x] += 1.0f;
      }
      if (progress) progress->rowDone();
    }
  });
}

cv::Mat NLCoverageAverage::result(int type, NLRowProgress* progress) const {
  cv::Mat average = cv::Mat::zeros(sum_.size(), sum_.type());
  const int cn = sum_.channels();
  cv::parallel_for_(cv::Range(0, sum_.rows), [&](const cv::Range& band) {
    for (int y = band.start; y < band.end; ++y) {
      const float* acc = sum_.ptr<float>(y);
      const float* w = weight_.ptr<float>(y);
      float* out = average.ptr<float>(y);
      for (int x = 0; x < sum_.cols; ++x) {
        if (!(w[x] > 0.0f)) continue;
        if (cn == 1) {
          out[x] = acc[x] / w[x];
          continue;
        }
        const float r = 1.0f / w[x];
        for (int c = 0; c < cn; ++c) out[x * cn + c] = acc[x * cn + c] * r;
      }
      if (progress) progress->rowDone();
    }
  });
  cv::Mat converted;
  average.convertTo(converted, CV_MAKETYPE(CV_MAT_DEPTH(type), cn), 1.0, 0.0);
  return converted;
}
