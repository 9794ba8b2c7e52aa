#include "synth/synth.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>

namespace synth {

RejectionFigures rejectionFigures(const Scene& scene, const cv::Mat& result) {
  const double top = result.depth() == CV_16U ? 65535.0 : 255.0;
  cv::Mat r, c, rg, cg;
  result.convertTo(r, CV_32F, 1.0 / top);
  scene.cleanLighten.convertTo(c, CV_32F, 1.0 / top);
  cv::cvtColor(r, rg, cv::COLOR_BGR2GRAY);
  cv::cvtColor(c, cg, cv::COLOR_BGR2GRAY);
  cv::Mat sat = cv::Mat::zeros(result.size(), CV_8U), air = sat.clone();
  for (const TrailTruth& t : scene.trails)
    if (t.kind != TrailKind::Meteor) (t.kind == TrailKind::Satellite ? sat : air) |= t.mask;
  const double level = 0.05;  // full scale: far above the noise of either depth
  const cv::Mat standing = (rg - cg) > level;
  cv::Mat local, band;
  cv::blur(cg, local, cv::Size(31, 31));
  cv::dilate(sat | air, band, cv::getStructuringElement(cv::MORPH_ELLIPSE, {31, 31}));
  cv::Mat starPixels = ((cg - local) > level) & ~band;
  if (!scene.skyMask.empty()) starPixels &= scene.skyMask;
  const auto share = [](const cv::Mat& part, const cv::Mat& whole) {
    return double(cv::countNonZero(part)) / std::max(1, cv::countNonZero(whole));
  };
  return {share(standing & sat, sat), share(standing & air, air), share(((cg - rg) > level) & starPixels, starPixels)};
}

namespace {

cv::Mat grayOf(const cv::Mat& image) {
  cv::Mat f, g;
  image.convertTo(f, CV_32F, 1.0 / (image.depth() == CV_16U ? 65535.0 : 255.0));
  cv::cvtColor(f, g, cv::COLOR_BGR2GRAY);
  return g;
}

double share(const cv::Mat& part, const cv::Mat& whole, double none) {
  const int n = cv::countNonZero(whole);
  return n == 0 ? none : double(cv::countNonZero(part)) / n;
}

}  // namespace

StreakFigures streakFigures(const Scene& scene, const cv::Mat& result, double level) {
  const cv::Mat rg = grayOf(result), cg = grayOf(scene.cleanLighten);
  cv::Mat visible[3], all = cv::Mat::zeros(result.size(), CV_8U);
  for (cv::Mat& v : visible) v = all.clone();
  for (const TrailTruth& t : scene.trails) {
    all |= t.mask;
    if (!t.strength.empty()) visible[int(t.kind)] |= (t.strength >= 2.0 * level) & t.mask;
  }
  const cv::Mat standing = (rg - cg) > level;
  cv::Mat local, band;
  cv::blur(cg, local, cv::Size(31, 31));
  cv::dilate(all, band, cv::getStructuringElement(cv::MORPH_ELLIPSE, {31, 31}));
  cv::Mat starPixels = ((cg - local) > level) & ~band;
  if (!scene.skyMask.empty()) starPixels &= scene.skyMask;
  StreakFigures f;
  f.satelliteLeft = share(standing & visible[0], visible[0], 0.0);
  f.aircraftLeft = share(standing & visible[1], visible[1], 0.0);
  f.meteorsKept = share(standing & visible[2], visible[2], 1.0);
  f.starsLost = share(((cg - rg) > level) & starPixels, starPixels, 0.0);
  return f;
}

GapFigures gapFigures(const Scene& scene, const cv::Mat& result, double level, const cv::Mat& region) {
  CV_Assert(!scene.gaplessLighten.empty() && !scene.carriedLighten.empty());
  const cv::Mat rg = grayOf(result), cg = grayOf(scene.cleanLighten), tg = grayOf(scene.gaplessLighten);
  const cv::Mat kg = cv::min(tg, grayOf(scene.carriedLighten));
  cv::Mat where = scene.skyMask.empty() ? cv::Mat(result.size(), CV_8U, cv::Scalar(255)) : scene.skyMask.clone();
  if (!region.empty()) where &= region;
  const cv::Mat missing = ((tg - cg) > level) & where;
  const cv::Mat reached = missing & (rg >= (tg - level));
  const cv::Mat filled = missing & (rg >= (kg - level));
  cv::Mat local, trails;
  cv::blur(tg, local, cv::Size(31, 31));
  cv::dilate(((tg - local) > level) | missing, trails, cv::getStructuringElement(cv::MORPH_ELLIPSE, {5, 5}));
  const cv::Mat away = where & ~trails;
  GapFigures f;
  f.missing = cv::countNonZero(missing);
  f.filled = share(filled, missing, 1.0);
  f.reached = share(reached, missing, 1.0);
  f.falseRaised = share(((rg - cg) > level) & away, away, 0.0);
  return f;
}

}  // namespace synth
