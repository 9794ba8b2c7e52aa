#include "startrail/detail/streaks.h"
#include "startrail/detail/rejection_planes.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <numeric>

namespace startrail_detail {
namespace {

constexpr double kBin = 3.0;            // px along a streak per brightness sample
constexpr double kMaxGap = 120.0;       // px: strobes and a streak broken by stars stay one streak across this
constexpr double kMaxTurn = 0.06;       // rad: two long pieces of one streak point the same way
constexpr size_t kMostPieces = 400;     // beyond this the pieces are not joined (quadratic)

// Union-find over piece indices.
int root(std::vector<int>& parent, int i) {
  while (parent[size_t(i)] != i) i = parent[size_t(i)] = parent[size_t(parent[size_t(i)])];
  return i;
}

bool isLong(const PixelLine& l) { return l.halfLength >= 10.0 && l.halfLength >= 1.5 * l.width; }

// Piece b lies on a's line: near it across, within a gap of its ends along
// it, and, when both have a direction, pointing the same way.
bool onLineOf(const PixelLine& a, const PixelLine& b) {
  if (!isLong(a)) return false;
  const cv::Point2d d = b.centre - a.centre;
  const double along = d.dot(a.direction), across = std::abs(d.x * a.direction.y - d.y * a.direction.x);
  if (across > std::max(6.0, 1.5 * a.width + 3.0)) return false;
  if (std::abs(along) - a.halfLength - b.halfLength > kMaxGap) return false;
  return !isLong(b) || std::abs(a.direction.dot(b.direction)) >= std::cos(kMaxTurn);
}

std::vector<std::vector<int>> joinPieces(const std::vector<PixelLine>& lines) {
  const int n = int(lines.size());
  std::vector<int> parent(static_cast<size_t>(n));
  std::iota(parent.begin(), parent.end(), 0);
  if (size_t(n) <= kMostPieces)
    for (int a = 0; a < n; ++a)
      for (int b = 0; b < n; ++b)
        if (a != b && onLineOf(lines[size_t(a)], lines[size_t(b)])) parent[size_t(root(parent, a))] = root(parent, b);
  std::vector<std::vector<int>> groups(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) groups[size_t(root(parent, i))].push_back(i);
  groups.erase(std::remove_if(groups.begin(), groups.end(), [](const std::vector<int>& g) { return g.empty(); }),
               groups.end());
  return groups;
}

// Brightness above the sky along the streak, one sample per kBin px (the
// brightest flagged pixel there); a bin with no flagged pixel reads -1.
std::vector<double> profileOf(const FrameStreak& s, const PixelLine& l, const cv::Mat& frame,
                              const FlagLevels& levels) {
  std::vector<double> bins(size_t(std::max(1.0, std::ceil(2.0 * l.halfLength / kBin + 1.0))), -1.0);
  for (const cv::Point& p : s.pixels) {
    const double t = (cv::Point2d(p) - l.centre).dot(l.direction) + l.halfLength;
    const size_t b = std::min(bins.size() - 1, size_t(std::max(0.0, t / kBin)));
    bins[b] = std::max(bins[b], std::max(0.0, double(frame.ptr<float>(p.y)[p.x]) - levels.sky(p.x, p.y)));
  }
  return bins;
}

double meanOf(const std::vector<double>& v, size_t from, size_t to) {
  double sum = 0.0;
  int n = 0;
  for (size_t i = from; i < to; ++i)
    if (v[i] >= 0.0) sum += v[i], ++n;
  return n ? sum / n : 0.0;
}

// Blinking lights: separate bright peaks over a line far fainter, or gaps.
bool strobed(const std::vector<double>& bins, double peak) {
  std::vector<double> lit;
  for (double b : bins)
    if (b >= 0.0) lit.push_back(b);
  if (lit.size() < 4) return false;
  const double coverage = double(lit.size()) / double(bins.size());
  std::nth_element(lit.begin(), lit.begin() + std::ptrdiff_t(lit.size() / 2), lit.end());
  const double typical = lit[lit.size() / 2];
  int peaks = 0;
  for (size_t i = 0; i < bins.size(); ++i) {
    const double left = i > 0 ? bins[i - 1] : -1.0, right = i + 1 < bins.size() ? bins[i + 1] : -1.0;
    if (bins[i] >= 0.5 * peak && bins[i] >= left && bins[i] >= right && bins[i] >= 3.0 * typical) ++peaks;
  }
  return (peaks >= 2 && typical < 0.35 * peak) || coverage < 0.5;
}

bool insideFrame(cv::Point2d p, cv::Size size) {
  constexpr double kMargin = 4.0;  // px: a streak that leaves the frame has an end on its border
  return p.x >= kMargin && p.y >= kMargin && p.x <= size.width - 1 - kMargin && p.y <= size.height - 1 - kMargin;
}

// A meteor lights up and burns out inside the frame, within one exposure:
// both ends lie inside it, both are faint beside its brightest part.
bool meteorLike(const FrameStreak& s, const std::vector<double>& bins, double peak, cv::Size size) {
  if (!insideFrame(s.from, size) || !insideFrame(s.to, size) || bins.size() < 8) return false;
  const size_t tail = std::max<size_t>(2, bins.size() / 7);
  const size_t top = size_t(std::max_element(bins.begin(), bins.end()) - bins.begin());
  if (top < tail || top + tail >= bins.size()) return false;
  return meanOf(bins, 0, tail) < 0.6 * peak && meanOf(bins, bins.size() - tail, bins.size()) < 0.6 * peak;
}

NLStarTrailStreakClass classOf(const FrameStreak& s, const PixelLine& l, const cv::Mat& frame,
                               const FlagLevels& levels) {
  const std::vector<double> bins = profileOf(s, l, frame, levels);
  const double peak = *std::max_element(bins.begin(), bins.end());
  if (peak <= 0.0) return NLStarTrailStreakClass::satellite;
  if (strobed(bins, peak)) return NLStarTrailStreakClass::aircraft;
  if (meteorLike(s, bins, peak, frame.size())) return NLStarTrailStreakClass::meteor;
  return NLStarTrailStreakClass::satellite;
}

}  // namespace

PixelLine lineOf(const std::vector<cv::Point>& pixels) {
  PixelLine l;
  if (pixels.empty()) return l;
  double sx = 0, sy = 0;
  for (const cv::Point& p : pixels) sx += p.x, sy += p.y;
  const double n = double(pixels.size());
  l.centre = {sx / n, sy / n};
  double vx = 0, vy = 0, cxy = 0;
  for (const cv::Point& p : pixels) {
    const double dx = p.x - l.centre.x, dy = p.y - l.centre.y;
    vx += dx * dx, vy += dy * dy, cxy += dx * dy;
  }
  vx /= n, vy /= n, cxy /= n;
  const double angle = 0.5 * std::atan2(2.0 * cxy, vx - vy);
  l.direction = {std::cos(angle), std::sin(angle)};
  const double spread = std::sqrt(0.25 * (vx - vy) * (vx - vy) + cxy * cxy);
  const double major = 0.5 * (vx + vy) + spread, minor = std::max(0.5 * (vx + vy) - spread, 0.0);
  l.halfLength = std::sqrt(3.0 * major);
  l.width = std::max(std::sqrt(12.0 * minor), 1.0);
  return l;
}

namespace {

// Splits off the pixels of a group far from its line: a streak crossing
// another is one connected group, but only one of them lies along its line.
std::vector<cv::Point> offLine(std::vector<cv::Point>& pixels) {
  const auto across = [](const PixelLine& l, const cv::Point& p) {
    const cv::Point2d d = cv::Point2d(p) - l.centre;
    return std::abs(d.x * l.direction.y - d.y * l.direction.x);
  };
  const PixelLine rough = lineOf(pixels);
  std::vector<cv::Point> near;
  for (const cv::Point& p : pixels)
    if (across(rough, p) <= 6.0) near.push_back(p);
  if (near.size() < 2) return {};
  const PixelLine l = lineOf(near);
  const double band = std::max(6.0, 1.5 * l.width + 3.0);
  std::vector<cv::Point> on, off;
  for (const cv::Point& p : pixels) (across(l, p) <= band ? on : off).push_back(p);
  constexpr size_t kFewest = 20;  // px: fewer off the line are its own ragged edge
  if (off.size() < kFewest) return {};
  pixels.swap(on);
  return off;
}

// The streak of one group of pixels; false when it is too short to be one.
bool streakOf(std::vector<cv::Point> pixels, const cv::Mat& frame, const FlagLevels& levels, FrameStreak& s) {
  constexpr double kShortest = 12.0;  // px: shorter groups are the shape filter's blobs, not streaks to report
  s.pixels = std::move(pixels);
  const PixelLine l = lineOf(s.pixels);
  double lo = 0.0, hi = 0.0;
  for (const cv::Point& p : s.pixels) {
    const double t = (cv::Point2d(p) - l.centre).dot(l.direction);
    lo = std::min(lo, t), hi = std::max(hi, t);
  }
  if (hi - lo < kShortest) return false;
  s.from = l.centre + l.direction * lo;
  s.to = l.centre + l.direction * hi;
  s.width = l.width;
  s.kind = classOf(s, l, frame, levels);
  return true;
}

std::vector<FrameStreak> streaksOf(const cv::Mat& frame, const cv::Mat& clean, const FlagLevels& levels,
                                   bool splitCrossings) {
  const std::vector<FlagComponent> pieces = flagComponents(clean);
  std::vector<PixelLine> lines;
  for (const FlagComponent& c : pieces) lines.push_back(lineOf(c.pixels));
  std::vector<FrameStreak> streaks;
  for (const std::vector<int>& group : joinPieces(lines)) {
    std::vector<cv::Point> pixels;
    for (int i : group) pixels.insert(pixels.end(), pieces[size_t(i)].pixels.begin(), pieces[size_t(i)].pixels.end());
    const std::vector<cv::Point> off = splitCrossings ? offLine(pixels) : std::vector<cv::Point>();
    FrameStreak s;
    if (streakOf(std::move(pixels), frame, levels, s)) streaks.push_back(std::move(s));
    if (off.empty()) continue;
    cv::Mat rest = cv::Mat::zeros(clean.size(), CV_8U);
    for (const cv::Point& p : off) rest.ptr<uchar>(p.y)[p.x] = 255;
    for (FrameStreak& crossing : streaksOf(frame, rest, levels, false)) streaks.push_back(std::move(crossing));
  }
  return streaks;
}

}  // namespace

std::vector<FrameStreak> findStreaks(const cv::Mat& frame, const cv::Mat& clean, const FlagLevels& levels) {
  return streaksOf(frame, clean, levels, true);
}

bool onCore(const FrameStreak& s, const cv::Point& p) {
  const cv::Point2d d = s.to - s.from, q = cv::Point2d(p) - s.from;
  const double len2 = d.dot(d);
  const double t = len2 > 0.0 ? std::clamp(q.dot(d) / len2, 0.0, 1.0) : 0.0;
  const cv::Point2d off = q - d * t;
  return std::hypot(off.x, off.y) <= 0.5 * s.width + 1.0;
}

cv::Mat linesAlongStreaks(const cv::Mat& streaks, int grow) {
  cv::Mat drawing;
  for (const FlagComponent& c : flagComponents(streaks)) {
    const PixelLine l = lineOf(c.pixels);
    if (drawing.empty()) drawing = cv::Mat::zeros(streaks.size(), CV_8U);
    const cv::Point2d reach = l.direction * (2.0 * l.halfLength);
    cv::line(drawing, l.centre - reach, l.centre + reach, cv::Scalar(255), int(std::ceil(l.width)) + 2 * grow + 3,
             cv::LINE_8);
  }
  return drawing;
}

cv::Mat streakArea(const std::vector<FrameStreak>& streaks, cv::Size size, int grow) {
  cv::Mat area = cv::Mat::zeros(size, CV_8U);
  for (const FrameStreak& s : streaks) {
    for (const cv::Point& p : s.pixels) area.ptr<uchar>(p.y)[p.x] = 255;
    // where another streak crossed it, its pixels went to that one: the segment holds them
    cv::line(area, s.from, s.to, cv::Scalar(255), int(std::ceil(s.width)), cv::LINE_8);
  }
  if (grow > 0) cv::dilate(area, area, cv::getStructuringElement(cv::MORPH_ELLIPSE, {2 * grow + 1, 2 * grow + 1}));
  return area;
}

}  // namespace startrail_detail

namespace {

// Streak b goes on along streak a's line: the same direction, and b's ends
// close to a's line.
bool continues(const NLStarTrailStreak& a, const NLStarTrailStreak& b) {
  const cv::Point2d da = a.to - a.from, db = b.to - b.from;
  const double la = std::hypot(da.x, da.y), lb = std::hypot(db.x, db.y);
  if (la < 1.0 || lb < 1.0) return false;
  if (std::abs(da.dot(db)) / (la * lb) < std::cos(0.03)) return false;
  const auto across = [&](cv::Point2d p) { return std::abs((p - a.from).cross(da)) / la; };
  const double reach = 3.0 * std::max(a.width, b.width) + 4.0;
  return across(b.from) <= reach && across(b.to) <= reach;
}

}  // namespace

const char* NL_starTrailStreakClassName(NLStarTrailStreakClass kind) {
  if (kind == NLStarTrailStreakClass::aircraft) return "aircraft";
  return kind == NLStarTrailStreakClass::meteor ? "meteor" : "satellite";
}

void NL_starTrailLinkStreaksAcrossFrames(std::vector<NLStarTrailStreak>& streaks) {
  std::vector<char> linked(streaks.size(), 0);
  for (size_t a = 0; a < streaks.size(); ++a)
    for (size_t b = 0; b < streaks.size(); ++b) {
      const NLStarTrailStreak &sa = streaks[a], &sb = streaks[b];
      if (std::abs(sa.frame - sb.frame) != 1 || sa.kind == NLStarTrailStreakClass::meteor ||
          sb.kind == NLStarTrailStreakClass::meteor)
        continue;
      if (continues(sa, sb) && continues(sb, sa)) linked[a] = linked[b] = 1;
    }
  for (size_t i = 0; i < streaks.size(); ++i)
    if (linked[i]) streaks[i].kind = NLStarTrailStreakClass::aircraft;
}

cv::Mat NL_starTrailRejectionOverlay(const cv::Mat& result, const std::vector<NLStarTrailStreak>& streaks,
                                     int maxSide) {
  const double scale = std::min(1.0, double(std::max(maxSide, 1)) / std::max(result.cols, result.rows));
  cv::Mat small, bgr;
  cv::resize(result, small, cv::Size(), scale, scale, cv::INTER_AREA);
  if (small.channels() == 1) cv::cvtColor(small, small, cv::COLOR_GRAY2BGR);
  if (small.channels() == 4) cv::cvtColor(small, small, cv::COLOR_BGRA2BGR);
  // a night sky fills the lowest part of the range: stretch its brightest thousandth to white
  cv::Mat gray;
  cv::cvtColor(small, gray, cv::COLOR_BGR2GRAY);
  gray = gray.reshape(1, 1);
  cv::Mat sorted;
  cv::sort(gray, sorted, cv::SORT_EVERY_ROW | cv::SORT_ASCENDING);
  sorted.convertTo(sorted, CV_64F);
  const double top = std::max(1.0, sorted.at<double>(0, std::max(0, int(0.999 * (sorted.cols - 1)))));
  small.convertTo(bgr, CV_8UC3, 255.0 / top);
  for (const NLStarTrailStreak& s : streaks) {
    cv::Scalar colour(0, 0, 255);
    if (s.kind == NLStarTrailStreakClass::aircraft) colour = cv::Scalar(0, 165, 255);
    if (s.kind == NLStarTrailStreakClass::meteor) colour = s.kept ? cv::Scalar(0, 255, 0) : cv::Scalar(255, 0, 255);
    const cv::Point2d centre = 0.5 * (s.from + s.to) * scale, d = s.to - s.from;
    const cv::Size2f box(float(std::hypot(d.x, d.y) * scale + 8.0), float(s.width * scale + 8.0));
    const cv::RotatedRect outline(cv::Point2f(centre), box, float(std::atan2(d.y, d.x) * 180.0 / CV_PI));
    cv::Point2f corners[4];
    outline.points(corners);
    for (int k = 0; k < 4; ++k) cv::line(bgr, corners[k], corners[(k + 1) % 4], colour, 1, cv::LINE_AA);
  }
  return bgr;
}
