#include "cli/commands.h"
#include "cli/job_args.h"

#include "plumbing/plumbing.h"
#include "registration/registration.h"

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

// The request from the parsed line; the table has checked every value.
RegisterRequest registerRequest(const lvcli::ParsedCommand& c) {
  RegisterRequest r;
  r.reference = c.frames[0];
  r.moving = c.frames[1];
  r.plain = c.has("--plain");
  if (c.has("--sigma")) r.sigmaFactor = c.number("--sigma");
  if (c.has("--budget")) r.starBudget = int(c.number("--budget"));
  if (c.has("--max-shift")) r.maxShift = int(c.number("--max-shift"));
  if (c.has("--tolerance")) r.tolerance = c.number("--tolerance");
  return r;
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

}  // namespace

namespace lvcli {

const CommandTable& registerTable() {
  static const CommandTable table = [] {
    CommandTable t = commandTable("register",
                                  "Registers one frame on another as the stack jobs do and prints the figures and "
                                  "the homography as JSON; exits 1 when the pair does not register.",
                                  "REFERENCE MOVING", "the frame registered on, and the frame registered");
    t.minFrames = 2, t.maxFrames = 2, t.runFlags = false;
    t.options = {option("--plain", ValueKind::Switch, "", "the plain registration's verdict (the quality variant's checks left out)"),
                 range("--sigma", ValueKind::Number, "F", 0.1, 100, "star detection threshold in noise sigmas (default 2.5)"),
                 range("--budget", ValueKind::Whole, "N", 1, 1000000, "most stars used (default 4500)"),
                 range("--max-shift", ValueKind::Whole, "N", 0, 1000000, "largest shift tried, px (default 500)"),
                 range("--tolerance", ValueKind::Number, "T", 0, 10000, "match tolerance, px (default 12)")};
    return t;
  }();
  return table;
}

}  // namespace lvcli

int lumivexRegister(const Args& args) {
  const lvcli::CommandTable& table = lvcli::registerTable();
  lvcli::ParsedCommand parsed;
  if (const int status = lvcli::readCommandLine(table, args, parsed); status >= 0) return status;
  const RegisterRequest r = registerRequest(parsed);
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
