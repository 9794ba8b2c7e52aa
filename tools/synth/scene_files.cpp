// Writing a scene to a folder: frames, truth images and text, and its job file.
#include "synth/synth.h"

#include "synth/detail/file_names.h"
#include "synth/detail/scene_parts.h"
#include "synth/job_files.h"

#include <opencv2/imgcodecs.hpp>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace synth {
namespace {

namespace fs = std::filesystem;

// Uncompressed TIFF: compressing noise costs time and saves little. Frames
// asked for as an editor exports them keep OpenCV's default, LZW.
void writeImage(const std::string& path, const cv::Mat& image, bool lzw = false) {
  std::vector<int> params;
  if (!lzw && path.size() > 4 && path.compare(path.size() - 4, 4, ".tif") == 0) {
    params = {cv::IMWRITE_TIFF_COMPRESSION, 1};
  }
  if (!cv::imwrite(path, image, params)) throw std::runtime_error("could not write " + path);
}

template <typename Settings>
Settings withRequest(Settings s, const SceneRequest& r) {
  if (r.size.width > 0 && r.size.height > 0) s.size = r.size;
  s.bits = r.bits;
  s.seed = r.seed;
  return s;
}

template <typename Settings>
Settings withFrames(Settings s, const SceneRequest& r) {
  if (r.frames > 0) s.frames = r.frames;
  if (r.sky == "sparse") s.sky = sparseSky();
  else if (!r.sky.empty()) throw std::invalid_argument("unknown sky '" + r.sky + "' (sparse)");
  return withRequest(s, r);
}

// A light-polluted town sky is several times brighter than a dark site's.
constexpr double kPollutedSky = 0.15;

StackSettings stackRequest(const SceneRequest& r) {
  StackSettings s = withFrames(StackSettings(), r);
  if (r.sky == "sparse") s.skyLevel = kPollutedSky;
  if (r.fwhm > 0.0) s.fwhmMin = s.fwhmMax = s.poorSeeingFwhm = r.fwhm;
  return s;
}

TrailSettings trailRequest(const SceneRequest& r) {
  TrailSettings s = withFrames(TrailSettings(), r);
  if (r.sky == "sparse") s.skyLevel = kPollutedSky;
  if (r.fwhm > 0.0) s.fwhm = r.fwhm;
  return s;
}

SkyBlendSettings skyBlendRequest(const SceneRequest& r) {
  SkyBlendSettings s = withFrames(SkyBlendSettings(), r);
  if (r.fwhm > 0.0) s.fwhm = r.fwhm;
  return s;
}

Scene makeRequested(const SceneRequest& r) {
  if (r.scene == "stack") return makeStackScene(stackRequest(r));
  if (r.scene == "trail") return makeTrailScene(trailRequest(r));
  if (r.scene == "skyblend") return makeSkyBlendScene(skyBlendRequest(r));
  if (r.scene == "glow") return makeGlowScene(withRequest(GlowSettings(), r));
  throw std::invalid_argument("unknown scene '" + r.scene + "' (stack, trail, skyblend, glow)");
}

void writeTruthImages(const Scene& scene, const fs::path& dir, SceneFiles& files) {
  for (size_t i = 0; i < scene.trails.size(); ++i) {
    const std::string path = (dir / detail::trailMaskFileName(int(i), scene.trails[i].frame)).string();
    writeImage(path, scene.trails[i].mask);
    files.trailMasks.push_back(path);
  }
  if (!scene.skyMask.empty()) {
    files.skyMask = (dir / detail::kSkyMaskFile).string();
    writeImage(files.skyMask, scene.skyMask);
  }
  if (!scene.cleanLighten.empty()) {
    files.cleanLighten = (dir / detail::kCleanLightenFile).string();
    writeImage(files.cleanLighten, scene.cleanLighten);
  }
  if (!scene.noiselessReference.empty()) {
    files.noiselessReference = (dir / detail::kNoiselessReferenceFile).string();
    writeImage(files.noiselessReference, scene.noiselessReference);
  }
}

}  // namespace

bool isSceneTruthImage(const std::string& folder, const std::string& name) {
  std::error_code ec;
  if (!fs::is_regular_file(fs::path(folder) / detail::kTruthFile, ec)) return false;
  if (name == detail::kSkyMaskFile || name == detail::kCleanLightenFile || name == detail::kNoiselessReferenceFile) {
    return true;
  }
  int trail = 0, frame = 0;
  char end = 0;
  return std::sscanf(name.c_str(), "trail_mask_%d_frame_%d.pn%c", &trail, &frame, &end) == 3 && end == 'g' &&
         name == detail::trailMaskFileName(trail, frame);
}

std::vector<std::string> sceneNames() { return {"stack", "trail", "skyblend", "glow"}; }

bool writeSceneFiles(const Scene& scene, const std::string& dirText, SceneFiles& files, std::string& error,
                     bool lzwFrames) {
  files = SceneFiles();
  try {
    std::error_code ec;
    const fs::path dir = fs::absolute(fs::path(dirText));
    fs::create_directories(dir, ec);
    if (!fs::is_directory(dir)) throw std::runtime_error("could not create folder " + dir.string());
    std::vector<std::string> names;
    for (size_t i = 0; i < scene.frames.size(); ++i) {
      names.push_back(detail::frameFileName(int(i)));
      files.frames.push_back((dir / names.back()).string());
      writeImage(files.frames.back(), scene.frames[i], lzwFrames);
    }
    writeTruthImages(scene, dir, files);
    files.truth = (dir / detail::kTruthFile).string();
    writeTextFileChecked(files.truth, truthJson(scene, names));
    files.job = detail::writeJobFile(scene, dir.string(), files);
    return true;
  } catch (const std::exception& e) {
    error = e.what();
    return false;
  }
}

bool writeScene(const SceneRequest& request, SceneFiles& files, std::string& error) {
  if (request.bits != 8 && request.bits != 16) {
    error = "depth must be 8 or 16";
    return false;
  }
  if (request.dir.empty()) {
    error = "no output folder given";
    return false;
  }
  Scene scene;
  try {
    scene = makeRequested(request);
  } catch (const std::exception& e) {
    error = e.what();
    return false;
  }
  return writeSceneFiles(scene, request.dir, files, error, request.lzwFrames);
}

}  // namespace synth
