// Ground truth as JSON: matrices, seeing, star lists, trails and the names
// of the truth images beside the frames.
#include "synth/synth.h"

#include "synth/detail/file_names.h"
#include "synth/detail/json_writer.h"

namespace synth {
namespace {

using detail::jsonArray;
using detail::jsonNumber;
using detail::JsonObject;

std::string matrixJson(const cv::Matx33d& h) {
  std::vector<std::string> rows;
  for (int r = 0; r < 3; ++r) {
    rows.push_back(jsonArray({jsonNumber(h(r, 0)), jsonNumber(h(r, 1)), jsonNumber(h(r, 2))}));
  }
  return jsonArray(rows);
}

// One compact row per star keeps a few thousand stars per frame readable.
std::string starRows(const std::vector<FrameStar>& stars) {
  std::string out = "[";
  for (size_t i = 0; i < stars.size(); ++i) {
    const FrameStar& s = stars[i];
    out += (i ? ",\n        " : "\n        ") +
           jsonArray({jsonNumber(s.position.x, 10), jsonNumber(s.position.y, 10),
                      jsonNumber(s.reference.x, 10), jsonNumber(s.reference.y, 10),
                      jsonNumber(s.flux, 8), jsonNumber(s.colour[0], 6), jsonNumber(s.colour[1], 6),
                      jsonNumber(s.colour[2], 6), jsonNumber(s.fwhm, 6), s.saturated ? "1" : "0"});
  }
  return out + (stars.empty() ? "]" : "\n      ]");
}

std::string frameJson(const Scene& scene, size_t i, const std::string& file) {
  const FrameTruth& t = scene.truth[i];
  JsonObject o;
  o.addNumber("index", static_cast<double>(i)).addString("file", file);
  o.add("frameToReference", matrixJson(t.frameToReference));
  o.addNumber("fwhm", t.fwhm, 10).addNumber("distortionK1", t.distortion.k1);
  o.addNumber("starCount", static_cast<double>(t.stars.size()));
  o.add("stars", starRows(t.stars));
  return o.text(6);
}

const char* kindName(TrailKind kind) {
  if (kind == TrailKind::Satellite) return "satellite";
  return kind == TrailKind::Aircraft ? "aircraft" : "meteor";
}

std::string trailJson(const TrailTruth& t, int index) {
  JsonObject o;
  o.addNumber("frame", t.frame).addString("kind", kindName(t.kind));
  o.add("from", jsonArray({jsonNumber(t.from.x, 10), jsonNumber(t.from.y, 10)}));
  o.add("to", jsonArray({jsonNumber(t.to.x, 10), jsonNumber(t.to.y, 10)}));
  o.addString("mask", detail::trailMaskFileName(index, t.frame));
  o.addNumber("maskPixels", t.mask.empty() ? 0.0 : cv::countNonZero(t.mask));
  return o.text(6);
}

// Objects one after another, each on its own lines.
std::string blockArray(const std::vector<std::string>& items) {
  if (items.empty()) return "[]";
  std::string s = "[\n    ";
  for (size_t i = 0; i < items.size(); ++i) s += (i ? ",\n    " : "") + items[i];
  return s + "\n  ]";
}

}  // namespace

std::string truthJson(const Scene& scene, const std::vector<std::string>& frameFiles) {
  CV_Assert(frameFiles.size() == scene.frames.size() && scene.truth.size() == scene.frames.size());
  JsonObject o;
  o.addString("scene", scene.name).addNumber("reference", scene.reference);
  if (!scene.frames.empty()) {
    const cv::Mat& f = scene.frames[0];
    o.addNumber("width", f.cols).addNumber("height", f.rows).addNumber("bits", f.depth() == CV_8U ? 8 : 16);
  }
  o.addString("conventions",
              "frameToReference maps frame pixel coordinates onto reference pixel coordinates; "
              "pixel centres at integers; a star at reference r appears at H^-1 r, then "
              "p = c + (u - c) * (1 + k1 * |u - c|^2 / R^2) about the frame centre c with R half the "
              "diagonal; flux in full-scale units (1 = 65535 in 16-bit, 255 in 8-bit), integrated");
  o.add("starColumns", jsonArray({"\"x\"", "\"y\"", "\"referenceX\"", "\"referenceY\"", "\"flux\"",
                                  "\"blue\"", "\"green\"", "\"red\"", "\"fwhm\"", "\"saturated\""}));
  std::vector<std::string> frames, trails;
  for (size_t i = 0; i < scene.frames.size(); ++i) frames.push_back(frameJson(scene, i, frameFiles[i]));
  for (size_t i = 0; i < scene.trails.size(); ++i) trails.push_back(trailJson(scene.trails[i], int(i)));
  o.add("frames", blockArray(frames)).add("trails", blockArray(trails));
  o.addString("skyMask", scene.skyMask.empty() ? "" : detail::kSkyMaskFile);
  o.addString("cleanLighten", scene.cleanLighten.empty() ? "" : detail::kCleanLightenFile);
  o.addString("noiselessReference", scene.noiselessReference.empty() ? "" : detail::kNoiselessReferenceFile);
  return o.text(2) + "\n";
}

}  // namespace synth
