// Luminance, log numbers and row progress shared by every job.
#include "plumbing/plumbing.h"

#include <algorithm>
#include <locale>
#include <sstream>

namespace {

template <typename T>
void luminanceRowOf(const cv::Mat& image, int y, double* out) {
  const T* p = image.ptr<T>(y);
  const int cn = image.channels();
  if (cn == 1) {
    for (int x = 0; x < image.cols; ++x) out[x] = p[x];
    return;
  }
  for (int x = 0; x < image.cols; ++x, p += cn) out[x] = NL_luminance(p[0], p[1], p[2]);
}

bool luminanceSupported(const cv::Mat& image) {
  const int cn = image.channels();
  return (image.depth() == CV_8U || image.depth() == CV_16U) && (cn == 1 || cn == 3 || cn == 4);
}

}  // namespace

cv::Matx13f NL_luminanceWeightsBGR() { return cv::Matx13f(0.0722f, 0.7152f, 0.2126f); }

void NL_luminanceRow(const cv::Mat& image, int y, double* out) {
  if (!luminanceSupported(image)) {
    std::fill(out, out + image.cols, 0.0);
  } else if (image.depth() == CV_16U) {
    luminanceRowOf<ushort>(image, y, out);
  } else {
    luminanceRowOf<uchar>(image, y, out);
  }
}

double NL_luminanceAt(const cv::Mat& image, int x, int y) {
  if (!luminanceSupported(image)) return 0.0;
  const int cn = image.channels();
  const auto at = [&](int c) {
    return image.depth() == CV_16U ? double(image.ptr<ushort>(y)[x * cn + c])
                                   : double(image.ptr<uchar>(y)[x * cn + c]);
  };
  return cn == 1 ? at(0) : NL_luminance(at(0), at(1), at(2));
}

std::string NL_formatNumber(double value, int decimals, int significant) {
  std::ostringstream out;
  out.imbue(std::locale::classic());
  if (decimals >= 0) {
    out.setf(std::ios::fixed);
    out.precision(decimals);
  } else {
    out.precision(significant);
  }
  out << value;
  return out.str();
}

NLRowProgress::NLRowProgress(int rows, Report report) : rows_(rows), report_(std::move(report)) {}

bool NLRowProgress::reports(int done, int rows) { return done == rows || done % std::max(rows / 50, 16) == 0; }

void NLRowProgress::rowDone() {
  const int done = done_.fetch_add(1) + 1;
  if (!report_ || !reports(done, rows_)) return;
  std::lock_guard<std::mutex> lock(mutex_);
  if (done <= reported_) return;
  reported_ = done;
  report_(done, rows_);
}
