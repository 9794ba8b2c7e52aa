#include "cli/commands.h"

#include "plumbing/plumbing.h"
#include "registration/registration.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <iostream>

namespace {

// The alignment gate's settings, so a pair judged here is judged as a stack job would.
struct RegisterRequest {
  std::string reference, moving;
  bool plain = false;
  double sigmaFactor = 2.5;
  int starBudget = 4500;
  int maxShift = 500;     // px
  double tolerance = 12.0;  // px
};

bool parseDouble(const std::string& text, double& out) {
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(text.c_str(), &end);
  if (text.empty() || *end || errno || !std::isfinite(v)) return false;
  out = v;
  return true;
}

bool parseInt(const std::string& text, int& out) {
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end || errno || v < -2147483647L || v > 2147483647L) return false;
  out = int(v);
  return true;
}

bool parseOption(const Args& args, size_t& i, RegisterRequest& r) {
  const std::string& a = args[i];
  if (a == "--plain") return r.plain = true;
  if (i + 1 >= args.size()) return false;
  const std::string& v = args[++i];
  if (a == "--sigma") return parseDouble(v, r.sigmaFactor);
  if (a == "--budget") return parseInt(v, r.starBudget);
  if (a == "--max-shift") return parseInt(v, r.maxShift);
  if (a == "--tolerance") return parseDouble(v, r.tolerance);
  return false;
}

bool parseRequest(const Args& args, RegisterRequest& r) {
  std::vector<std::string> positional;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i].size() > 2 && args[i].compare(0, 2, "--") == 0) {
      if (!parseOption(args, i, r)) return false;
    } else {
      positional.push_back(args[i]);
    }
  }
  if (positional.size() != 2) return false;
  r.reference = positional[0];
  r.moving = positional[1];
  return true;
}

// The star detector turns unsigned and float frames of any channel count, and
// single-channel frames of any depth, into grey; colour frames of a signed or
// double depth it cannot.
std::string unsupportedType(const cv::Mat& image) {
  const int depth = image.depth();
  if (depth == CV_8U || depth == CV_16U || depth == CV_32F || image.channels() == 1) return std::string();
  static const char* const names[] = {"8-bit", "signed 8-bit", "16-bit", "signed 16-bit",
                                      "signed 32-bit", "32-bit float", "64-bit float", "16-bit float"};
  return std::string(names[depth & 7]) + " " + std::to_string(image.channels()) +
         "-channel images cannot be registered (8- or 16-bit unsigned or 32-bit float only)";
}

// Empty on failure, with the file and the reason on standard error.
cv::Mat readUsable(const std::string& path) {
  cv::Mat image = NL_imreadWithRetry(path, -1);
  if (image.empty()) {
    const std::string why = NL_imageFileProblem(path);
    std::cerr << "lumivex: cannot read image '" << path << "'" << (why.empty() ? "" : ": " + why) << "\n";
    return image;
  }
  const std::string why = unsupportedType(image);
  if (why.empty()) return image;
  std::cerr << "lumivex: cannot register image '" << path << "': " << why << "\n";
  return cv::Mat();
}

const char* kRegisterUsage =
    "usage: lumivex register REFERENCE MOVING [--plain] [--sigma F] [--budget N] [--max-shift N] [--tolerance T]\n";

int usage() {
  std::cerr << kRegisterUsage;
  return 2;
}

}  // namespace

int lumivexRegister(const Args& args) {
  if (lumivexWantsHelp(args)) {
    std::cout << kRegisterUsage;
    return 0;
  }
  RegisterRequest r;
  if (!parseRequest(args, r)) return usage();
  const cv::Mat reference = readUsable(r.reference);
  if (reference.empty()) return 2;
  const cv::Mat moving = readUsable(r.moving);
  if (moving.empty()) return 2;
  cv::Mat homography;
  NLAlignmentQuality quality;
  bool ok = false;
  try {
    ok = r.plain ? NL_buildHomographyTransformWithFigures(reference, moving, r.sigmaFactor, r.starBudget, r.maxShift,
                                                          r.tolerance, homography, quality)
                 : NL_buildHomographyTransformWithQuality(reference, moving, r.sigmaFactor, r.starBudget, r.maxShift,
                                                          r.tolerance, homography, quality);
  } catch (const std::exception& e) {
    // Whatever else the detector cannot take ends here too, never in an abort.
    std::cerr << "lumivex: cannot register '" << r.moving << "' on '" << r.reference << "': " << e.what() << "\n";
    return 2;
  }
  std::cout << NL_formatRegistrationJson(quality, homography) << "\n";
  return ok ? 0 : 1;
}
