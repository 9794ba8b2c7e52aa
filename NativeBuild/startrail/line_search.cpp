#include "startrail/detail/line_search.h"

#include "plumbing/plumbing.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>

namespace startrail_detail {
namespace {

constexpr int kShift = 16;  // fixed-point bits of a walk along a line

// Angles 0, theta, ... below pi, each as (cos, sin) over the distance step,
// rounded to float as the transform's votes use them.
std::vector<float> angleTable(int angles, float theta, float inverseRho) {
  std::vector<float> t(size_t(angles) * 2);
  for (int n = 0; n < angles; ++n) {
    t[size_t(n) * 2] = float(std::cos(double(n) * theta) * inverseRho);
    t[size_t(n) * 2 + 1] = float(std::sin(double(n) * theta) * inverseRho);
  }
  return t;
}

struct Votes {
  const std::vector<float>& table;
  int angles, distances;
  int* rows;  // angles x distances
  // The distance bin of (x, y) at angle n.
  int bin(int n, int x, int y) const {
    return cvRound(x * table[size_t(n) * 2] + y * table[size_t(n) * 2 + 1]) + (distances - 1) / 2;
  }
};

// A walk along the line of angle n through (x, y): the step is a whole pixel
// along the line's longer axis and a fixed-point fraction along the other.
struct Walk {
  bool alongX;
  int x0, y0, dx, dy;
  Walk(const std::vector<float>& t, int n, int x, int y) {
    const float a = -t[size_t(n) * 2 + 1], b = t[size_t(n) * 2];
    alongX = std::fabs(a) > std::fabs(b);
    if (alongX) {
      dx = a > 0 ? 1 : -1;
      dy = cvRound(b * (1 << kShift) / std::fabs(a));
      x0 = x, y0 = (y << kShift) + (1 << (kShift - 1));
    } else {
      dy = b > 0 ? 1 : -1;
      dx = cvRound(a * (1 << kShift) / std::fabs(b));
      x0 = (x << kShift) + (1 << (kShift - 1)), y0 = y;
    }
  }
  cv::Point at(int x, int y) const { return alongX ? cv::Point(x, y >> kShift) : cv::Point(x >> kShift, y); }
};

// The two ends of the segment through the walk's start: the last set pixel
// before more than maxGap unset ones or the mask's edge, each way.
void segmentEnds(const Walk& w, const cv::Mat& live, int maxGap, cv::Point ends[2]) {
  for (int k = 0; k < 2; ++k) {
    const int dx = k ? -w.dx : w.dx, dy = k ? -w.dy : w.dy;
    int gap = 0;
    for (int x = w.x0, y = w.y0;; x += dx, y += dy) {
      const cv::Point p = w.at(x, y);
      if (p.x < 0 || p.x >= live.cols || p.y < 0 || p.y >= live.rows) break;
      if (live.ptr<uchar>(p.y)[p.x]) {
        gap = 0;
        ends[k] = p;
      } else if (++gap > maxGap) {
        break;
      }
    }
  }
}

// Takes the segment's points out of the search; a kept segment's points
// also take their votes back.
void takeSegment(const Walk& w, const cv::Point ends[2], bool kept, const Votes& v, cv::Mat& live) {
  for (int k = 0; k < 2; ++k) {
    const int dx = k ? -w.dx : w.dx, dy = k ? -w.dy : w.dy;
    for (int x = w.x0, y = w.y0;; x += dx, y += dy) {
      const cv::Point p = w.at(x, y);
      uchar& point = live.ptr<uchar>(p.y)[p.x];
      if (point) {
        if (kept)
          for (int n = 0; n < v.angles; ++n) --v.rows[size_t(n) * size_t(v.distances) + size_t(v.bin(n, p.x, p.y))];
        point = 0;
      }
      if (p == ends[k]) break;
    }
  }
}

void listPoints(const cv::Mat& mask, std::vector<cv::Point>& points) {
  points.clear();
  for (int y = 0; y < mask.rows; ++y) {
    const uchar* m = mask.ptr<uchar>(y);
    for (int x = NL_nextSetByte(m, 0, mask.cols); x < mask.cols; x = NL_nextSetByte(m, x + 1, mask.cols))
      points.emplace_back(x, y);
  }
}

}  // namespace

std::vector<cv::Vec4i> probabilisticLines(cv::Mat& mask, int threshold, double minLength, double maxGap,
                                          LineSearchScratch& s) {
  CV_Assert(mask.type() == CV_8U);
  std::vector<cv::Vec4i> lines;
  const float rho = 1.0f, theta = float(CV_PI / 180.0);
  const int angles = cvRound(CV_PI / theta), distances = cvRound(((mask.cols + mask.rows) * 2 + 1) / rho);
  const int lineLength = cvRound(minLength), lineGap = cvRound(maxGap);
  const std::vector<float> table = angleTable(angles, theta, 1 / rho);
  listPoints(mask, s.points);
  if (s.votes.rows != angles || s.votes.cols != distances || s.votes.type() != CV_32S)
    s.votes.create(angles, distances, CV_32S);
  s.votes.setTo(0);
  const Votes v{table, angles, distances, s.votes.ptr<int>()};
  // the transform's own generator and seed: the points come in its order
  cv::RNG rng(std::uint64_t(-1));
  for (int count = int(s.points.size()); count > 0; --count) {
    const int pick = rng.uniform(0, count);
    const cv::Point p = s.points[size_t(pick)];
    s.points[size_t(pick)] = s.points[size_t(count - 1)];  // the last point still to come takes its place
    if (!mask.ptr<uchar>(p.y)[p.x]) continue;  // already on a line
    int best = threshold - 1, bestAngle = 0;
    for (int n = 0; n < angles; ++n) {
      const int votes = ++v.rows[size_t(n) * size_t(distances) + size_t(v.bin(n, p.x, p.y))];
      if (votes > best) best = votes, bestAngle = n;
    }
    if (best < threshold) continue;
    const Walk walk(table, bestAngle, p.x, p.y);
    cv::Point ends[2];
    segmentEnds(walk, mask, lineGap, ends);
    const bool kept = std::abs(ends[1].x - ends[0].x) >= lineLength || std::abs(ends[1].y - ends[0].y) >= lineLength;
    takeSegment(walk, ends, kept, v, mask);
    if (kept) lines.emplace_back(ends[0].x, ends[0].y, ends[1].x, ends[1].y);
  }
  return lines;
}

}  // namespace startrail_detail
