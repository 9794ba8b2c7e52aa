#include "starglow/starglow.h"

#include "plumbing/plumbing.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <chrono>
#include <sstream>
#include <thread>
#include <utility>

namespace {

// Peak memory of a run per input pixel: the decoded frame, the luminance
// (then the signal), detection and blur scratch and the 16-bit result. 34 was
// measured on a 12-megapixel frame while the frame was also held in float;
// about 15 since (bench/README.md); the limit keeps its room.
constexpr std::uint64_t kWorkingBytesPerPixel = 48;
// OpenCV refuses to decode headers that claim more pixels than this; such a
// file is as undecodable to the job as a corrupt one.
constexpr std::uint64_t kOpenCVMaxPixels = 1ULL << 30;

const char* const kUndecodable =
    "OpenCV could not decode the completed temporary image with either imread or in-memory imdecode.";

std::string sentence(std::string text) {
  if (!text.empty() && text[0] >= 'a' && text[0] <= 'z') text[0] = char(text[0] - 'a' + 'A');
  return text + ".";
}

cv::Mat imreadNoThrow(const std::string& path) {
  try {
    return cv::imread(path, cv::IMREAD_UNCHANGED);
  } catch (const cv::Exception&) {
    return cv::Mat();
  }
}

class Job {
 public:
  Job(const std::string& jobPath, const NL_StarGlowJobTiming& timing) : jobPath_(jobPath), timing_(timing) {}

  std::string run() {
    log_ << "Native Star Glow result.\n" << "job = " << jobPath_ << "\n";
    readJob();
    waitForInput();
    cv::Mat raw = decodeInput();
    const NL_FloatBgrFrame image = toFloat(raw);
    const cv::Mat mask = job_.settings.useSkyMask ? loadSkyMask(image.size()) : cv::Mat();
    const std::vector<NL_StarCandidate> stars = detect(image, mask);
    if (job_.settings.debugOverlay) writeOverlay(image.size(), stars);
    writeResult(render(image, mask, stars, std::move(raw)));
    return log_.str();
  }

  // Result lines written before the failure stay; the log and progress paths
  // are read again because the failure may have come before they were known.
  // Nothing is written where it could destroy one of the user's files.
  std::string failed(const std::string& message) {
    log_ << "status = failed\n" << "error = " << message << "\n";
    const NL_StarGlowJob again = NL_readStarGlowJob(NL_sgReadTextFile(jobPath_));
    const NLJobReport report(again.progressPath, again.resultLog, NL_starGlowJobPaths(jobPath_, again));
    report.finishIfSafe(log_.str());
    report.failedIfSafe(message);
    return log_.str();
  }

 private:
  void progress(int percent, const std::string& stage, const std::string& detail) {
    report_.progress(percent, stage, detail);
  }

  void readJob() {
    std::string text, failure;
    // A pipe, a device or an oversized file is named as such; a missing one keeps the plain text.
    const bool exists = NL_isRegularFile(jobPath_) || NL_isNonRegularFile(jobPath_);
    if (!NL_readJobFile(jobPath_, text, failure) && exists) NL_failJob("Could not read Star Glow job JSON: " + failure + ".");
    if (text.empty()) NL_failJob("Could not read Star Glow job JSON.");
    if (NL_jsonString(text, "type", "") != "star-glow-native-job") NL_failJob("Job type is not star-glow-native-job.");
    job_ = NL_readStarGlowJob(text);
    report_ = NLJobReport(job_.progressPath, job_.resultLog);
    const std::string conflict = NL_checkJobPaths(NL_starGlowJobPaths(jobPath_, job_));
    if (!conflict.empty()) NL_failJob(sentence(conflict));
    progress(2, "Preparing Native Engine", "Preparing Star Glow native job.");
    std::string message;
    NL_loadMinimalOpenCVDlls(message);
    log_ << NL_starGlowSettingsReport(job_);
    if (job_.inputPath.empty()) NL_failJob("Missing inputPath.");
    if (job_.outputPath.empty()) NL_failJob("Missing outputPath.");
  }

  void waitForInput() {
    progress(8, "Loading image", "Waiting for the temporary image to become complete and stable.");
    report_.finish(log_.str() + "status = running\nstage = waiting_for_input_image\n");
    // A caller that wrote the image before the job (not an export still in
    // progress) says so: one check, no waiting for a size to settle.
    if (job_.inputComplete) timing_.wait = NL_completeInputCheck(), timing_.settleMs = 0;
    const NL_ReadinessResult wait = NL_waitForTemporaryImage(
        job_.inputPath, timing_.wait,
        [this](int percent, const std::string& detail) { progress(percent, "Loading image", detail); });
    log_ << NL_starGlowReadinessReport(wait, NL_fileHexPrefix(job_.inputPath), timing_.wait.requiredStable);
    if (!wait.ready && job_.inputComplete) NL_failJob("The input image is not a complete PNG or TIFF image: " +
                                                 (wait.message.empty() ? std::string("it is empty") : wait.message));
    if (!wait.ready) NL_failJob(NL_starGlowWaitFailure(wait, timing_.wait.limitMs));
  }

  cv::Mat decodeInput() {
    std::this_thread::sleep_for(std::chrono::milliseconds(timing_.settleMs));
    progress(15, "Loading image", "Decoding the completed temporary image.");
    checkClaimedSize();
    const auto start = std::chrono::steady_clock::now();
    // Camera RAW is no OpenCV format: the frame reader's own decoder takes it.
    const bool cameraRaw = NL_isRawFileName(job_.inputPath);
    cv::Mat raw = cameraRaw ? NL_imreadWithRetry(job_.inputPath, cv::IMREAD_UNCHANGED, 0, 0) : imreadNoThrow(job_.inputPath);
    std::string method = cameraRaw ? "camera-raw" : "imread";
    if (raw.empty() && !cameraRaw) {
      raw = NL_imdecodeFileFallback(job_.inputPath, cv::IMREAD_UNCHANGED);
      method = raw.empty() ? "failed" : "imdecode-memory";
    }
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    log_ << NL_sgLine("inputDecodeMs", std::to_string(ms.count())) << NL_sgLine("inputDecodeMethod", method);
    if (raw.empty()) NL_failJob(kUndecodable);
    log_ << NL_sgLine("inputDepth", std::to_string(raw.depth()))
         << NL_sgLine("inputChannels", std::to_string(raw.channels()));
    const std::string tooLarge = NL_imageSizeProblem(raw.size(), kWorkingBytesPerPixel);
    if (!tooLarge.empty()) NL_failJob(sentence("input " + tooLarge));
    return raw;
  }

  // 8- and 16-bit frames are scaled to float where each step reads them.
  NL_FloatBgrFrame toFloat(const cv::Mat& raw) {
    progress(16, "Preparing image", "Converting image data for Star Glow.");
    NL_FloatBgrFrame image(raw);
    log_ << NL_sgLine("canvas", std::to_string(image.size().width) + " x " + std::to_string(image.size().height));
    return image;
  }

  // A PNG or TIFF header tells the size before anything is decoded.
  void checkClaimedSize() {
    cv::Size claimed;
    if (!NL_readImageHeaderSize(job_.inputPath, claimed)) return;
    if (std::uint64_t(claimed.width) * std::uint64_t(claimed.height) > kOpenCVMaxPixels) NL_failJob(kUndecodable);
    const std::string tooLarge = NL_imageSizeProblem(claimed, kWorkingBytesPerPixel);
    if (!tooLarge.empty()) NL_failJob(sentence("input " + tooLarge));
  }

  cv::Mat loadSkyMask(cv::Size size) {
    progress(24, "Loading sky mask", "Reading active Photoshop selection mask.");
    cv::Mat mask;
    if (!job_.skyMaskPath.empty()) {
      mask = NL_imreadWithRetry(job_.skyMaskPath, cv::IMREAD_GRAYSCALE, timing_.wait.pollMs, timing_.maskRetryLimitMs);
      if (mask.empty()) log_ << NL_sgLine("skyMaskLoad", "failed");
    }
    if (mask.empty()) NL_failJob("Sky Only is enabled, but sky mask could not be loaded.");
    if (mask.size() != size) {
      cv::resize(mask, mask, size, 0.0, 0.0, cv::INTER_LINEAR);
      log_ << NL_sgLine("skyMaskResize", std::to_string(size.width) + " x " + std::to_string(size.height));
    }
    cv::threshold(mask, mask, 16, 255, cv::THRESH_BINARY);
    // Two erosions pull the sky edge inwards so that no glow bleeds onto the
    // foreground through the selection's soft border.
    cv::erode(mask, mask, cv::Mat(), cv::Point(-1, -1), 2);
    log_ << NL_sgLine("skyMaskLoad", "loaded")
         << NL_sgLine("skyMaskPixels", std::to_string(cv::countNonZero(mask)) + " / " + std::to_string(mask.total()));
    return mask;
  }

  std::vector<NL_StarCandidate> detect(const NL_FloatBgrFrame& image, const cv::Mat& mask) {
    progress(34, "Detecting stars", "Finding and classifying stars.");
    if (job_.settings.starAmount <= 0.5) {
      log_ << NL_sgLine("starAmountNoEffect", "true") << NL_sgLine("starCandidates", "0");
      return {};
    }
    return NL_detectStars(image.luminance(), image, mask, job_.settings, log_);
  }

  void writeOverlay(cv::Size size, const std::vector<NL_StarCandidate>& stars) {
    progress(48, "Writing debug overlay", "Drawing detected-star size and score overlay.");
    if (job_.debugOverlayPath.empty()) {
      log_ << NL_sgLine("debugOverlay", "skipped_missing_path");
      return;
    }
    const bool written = NL_writeImageFile(job_.debugOverlayPath, NL_drawStarGlowDebugOverlay(size, stars),
                                           NL_readIccProfile(job_.inputPath), nullptr);
    if (stars.empty()) {
      log_ << NL_sgLine("debugOverlay", written ? "empty" : "failed");
      return;
    }
    log_ << NL_sgLine("debugOverlay", written ? "written" : "failed")
         << NL_sgLine("debugOverlayPath", job_.debugOverlayPath);
  }

  // The glow is drawn, blended and converted a few rows at a time, so no
  // frame-sized layer exists; the 16-bit result takes the decoded frame's
  // place when that is 16-bit colour already, one frame fewer to fault in.
  // A piece's rows of the frame are read before the result overwrites them.
  cv::Mat render(const NL_FloatBgrFrame& image, const cv::Mat& mask, const std::vector<NL_StarCandidate>& stars,
                 cv::Mat raw) {
    progress(56, "Rendering glow", "Rendering adaptive color-aware glow layer.");
    cv::Mat out = raw.type() == CV_16UC3 && raw.size() == image.size() ? raw : cv::Mat(image.size(), CV_16UC3);
    raw.release();
    const bool composite = job_.settings.outputMode == "final";
    NL_renderGlowPieces(image.size(), stars, mask, job_.settings, log_, [&](int y0, cv::Mat& piece) {
      if (composite) {
        cv::Mat below;
        image.read(cv::Rect(0, y0, piece.cols, piece.rows), below);
        NL_screenCompositeRowsInto(below, piece);
      }
      // The saturating conversion clamps to 0..65535, the same as clamping to 0..1 first.
      cv::Mat rows = out.rowRange(y0, y0 + piece.rows);
      piece.convertTo(rows, CV_16UC3, 65535.0);
    });
    progress(78, "Compositing output", "Preparing Star Glow result.");
    return out;
  }

  void writeResult(const cv::Mat& out) {
    progress(90, "Writing Final Result", "Writing temporary Star Glow TIFF.");
    std::string why;
    if (!NL_writeImageFile(job_.outputPath, out, NL_readIccProfile(job_.inputPath), &why))
      NL_failJob(NL_withReason("Could not write output image.", why));
    progress(100, "Completed", "Star Glow finished successfully.");
    log_ << NL_sgLine("write", "success") << NL_sgLine("status", "success");
    report_.finish(log_.str());
  }

  std::string jobPath_;
  NL_StarGlowJobTiming timing_;
  NL_StarGlowJob job_;
  NLJobReport report_;
  std::ostringstream log_;
};

}  // namespace

std::string NL_runStarGlowNativeJobWithTiming(const std::string& jobPath, const NL_StarGlowJobTiming& timing) {
  Job job(jobPath, timing);
  // A failure that cannot even be written still answers with its log.
  return NL_runJobGuarded(NLJobExceptions::ReturnLog, [&] { return job.run(); }, [&](const std::string& why) {
    try {
      return job.failed(why);
    } catch (...) {
      return "Native Star Glow result.\nstatus = failed\nerror = " + why + "\n";
    }
  });
}

std::string NL_runStarGlowNativeJob(const std::string& jobPath) {
  return NL_runStarGlowNativeJobWithTiming(jobPath, NL_StarGlowJobTiming{});
}
