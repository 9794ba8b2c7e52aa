#include "startrail/detail/build_up.h"
#include "startrail/detail/run_state.h"

#include "plumbing/plumbing.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <stdexcept>

namespace fs = std::filesystem;

namespace startrail_detail {
namespace {

// A video shows the night at a steady pace whatever the interval of the frames.
constexpr double kVideoFramesPerSecond = 25.0;

// The first build-up image of the format the folder holds already: a file
// of an earlier run, or the user's, which this run must not replace (a
// folder of that name cannot be replaced and fails the write that meets it).
std::string firstBuildUpImageIn(const std::string& folder, const std::string& format) {
  std::error_code ec;
  std::string first;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (it->is_regular_file(ec) && NL_starTrailIsBuildUpName(name, format) && (first.empty() || name < first))
      first = name;
  }
  return first;
}

void prepareFolder(const std::string& folder, const std::string& format) {
  std::error_code ec;
  if (fs::exists(folder, ec) && !fs::is_directory(folder, ec))
    NL_failJob("Star Trail failed: build-up folder is not a folder: " + folder);
  if (!fs::exists(folder, ec) && !fs::create_directories(folder, ec) && ec)
    NL_failJob(NL_withReason("Star Trail failed: could not make build-up folder: " + folder, ec.message()));
  const std::string existing = firstBuildUpImageIn(folder, format);
  if (!existing.empty())
    NL_failJob("Star Trail failed: build-up folder already holds build-up images (" + existing +
               "); name an empty folder or remove them: " + folder);
}

}  // namespace

std::string lowerCaseExtension(const std::string& path) {
  std::string ext = fs::path(path).extension().string();
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return ext;
}

void prepareBuildUpTargets(NLStarTrailNativeJob& job) {
  if (!job.buildUpVideo.empty()) {
    const std::string ext = lowerCaseExtension(job.buildUpVideo);
    if (ext != ".mp4" && ext != ".avi")
      NL_failJob("Star Trail failed: build-up video must be an .mp4 or .avi file: " + job.buildUpVideo);
    if (!job.replaceOutput && !NL_isNonRegularFile(job.buildUpVideo))
      job.buildUpVideo = NL_starTrailChooseOutputPath(job.buildUpVideo);
  }
  if (!job.buildUpOutput.empty()) prepareFolder(job.buildUpOutput, job.buildUpFormat);
}

std::unique_ptr<BuildUp> startBuildUp(TrailRun& run, bool composite) {
  if (!NL_starTrailWantsBuildUp(run.job)) return nullptr;
  cv::Mat foreground;
  if (composite) {
    foreground = NL_imreadWithRetry(run.job.foregroundOutput, -1);
    if (foreground.empty())
      NL_failJob("Composite failed: could not load foreground stack: " + run.job.foregroundOutput);
    if (!run.shape.fits(foreground))
      NL_failJob("Composite failed: sky and foreground size/type mismatch.");
  }
  return std::make_unique<BuildUp>(run, std::move(foreground));
}

BuildUp::BuildUp(TrailRun& run, cv::Mat foreground)
    : run_(run),
      foreground_(std::move(foreground)),
      counts_(NL_starTrailBuildUpCounts(run.frameCount, run.job.buildUpEvery)),
      profile_(NL_readIccProfile(run.job.inputs[0])),
      added_(size_t(std::max(run.frameCount, 0)), 0) {
  if (!run.job.buildUpVideo.empty())
    video_ = std::make_unique<BuildUpVideo>(run.job.buildUpVideo, run.shape.size, kVideoFramesPerSecond);
  writer_ = std::thread([this] { writeLoop(); });
}

BuildUp::~BuildUp() { stopWriter(); }

void BuildUp::stopWriter() {
  {
    std::lock_guard<std::mutex> writing(writing_);
    closing_ = true;
  }
  written_.notify_all();
  if (writer_.joinable()) writer_.join();
}

void BuildUp::awaitTurn(int frame) {
  std::unique_lock<std::mutex> lock(mutex_);
  while (taken_ < counts_.size() && counts_[taken_] <= frame) {
    // A worker that failed never adds its frame; the run's stop flag releases the others.
    if (run_.stop.load(std::memory_order_acquire)) NL_failJob("Native Star Trail worker failed.");
    turn_.wait_for(lock, std::chrono::milliseconds(20));
  }
}

void BuildUp::frameAdded(int frame, cv::Mat& spent) {
  size_t image = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    added_[size_t(frame)] = 1;
    while (frontier_ < int(added_.size()) && added_[size_t(frontier_)]) ++frontier_;
    // No frame past the next count is added before that image is taken, so the frontier stops at it.
    if (taking_ || taken_ >= counts_.size() || frontier_ < counts_[taken_]) return;
    taking_ = true;
    image = taken_;
  }
  // The image stands in for the frame this worker has just let go of until
  // it is written: in the frame's own buffer, else one of the run's pool.
  const bool reuse = FramePool::soleHolder(spent) && run_.shape.fits(spent);
  cv::Mat buffer = reuse ? std::move(spent) : run_.pool->take(run_.shape.size, run_.shape.type);
  render(buffer);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    taken_ = image + 1;
    taking_ = false;
  }
  turn_.notify_all();
  handOver(buffer, int(image));
  giveBack(buffer);
}

// One image at a time, in their order: two workers may each hold a
// rendered image, and the video takes its frames as they come.
void BuildUp::handOver(const cv::Mat& buffer, int image) {
  {
    std::unique_lock<std::mutex> writing(writing_);
    written_.wait(writing, [this, image] { return failed_ || (pending_ < 0 && handed_ == image); });
    if (failed_) return;  // the run is ending: no image may appear after one that failed
    image_ = buffer;
    pending_ = image;
    ++handed_;
  }
  written_.notify_all();
  std::unique_lock<std::mutex> writing(writing_);
  written_.wait(writing, [this, image] { return pending_ != image; });
}

// Where a frame's buffer would go: back to the pool while frames are read
// into its buffers, else to the system, as the decoder's frames are.
void BuildUp::giveBack(cv::Mat& buffer) {
  if (run_.decoderFrames.load()) run_.pool->drop(buffer);
  else run_.pool->give(buffer);
}

// Every image is encoded on this one thread, so the encoders' working
// memory is allocated and freed in one place instead of being kept by each
// worker's allocator arena.
void BuildUp::writeLoop() {
  std::unique_lock<std::mutex> writing(writing_);
  for (;;) {
    written_.wait(writing, [this] { return pending_ >= 0 || closing_; });
    if (pending_ < 0) return;
    const int image = pending_;
    writing.unlock();  // image_ stays this thread's until pending_ is cleared
    std::string failure;
    try {
      write(image);
    } catch (const std::exception& e) {
      failure = e.what();
    } catch (...) {
      failure = "Unknown native Star Trail worker error.";
    }
    writing.lock();
    image_.release();  // the worker that lent the buffer hands it on alone
    pending_ = -1;
    if (!failure.empty()) fail(failure);
    written_.notify_all();
  }
}

// The run fails with the text, as a worker's failure would end it.
void BuildUp::fail(const std::string& failure) {
  failed_ = true;
  {
    std::lock_guard<std::mutex> lock(run_.errorMutex);
    if (run_.error.empty()) run_.error = failure;
  }
  run_.stop.store(true, std::memory_order_release);
}

void BuildUp::drain() {
  std::unique_lock<std::mutex> writing(writing_);
  written_.wait(writing, [this] { return pending_ < 0; });
}

void BuildUp::render(cv::Mat& image) {
  if (foreground_.empty()) {
    run_.accumulator.copyTo(image);
    return;
  }
  NL_starTrailCompositeImages(run_.accumulator, foreground_, run_.skyMask, &run_.bridgeAccumulator, &run_.bridgeMask,
                              image);
}

void BuildUp::write(int image) {
  const NLStarTrailNativeJob& job = run_.job;
  const bool jpeg = !job.buildUpOutput.empty() && job.buildUpFormat == "jpg";
  const std::string path =
      job.buildUpOutput.empty()
          ? std::string()
          : (fs::path(job.buildUpOutput) / NL_starTrailBuildUpName(image + 1, job.buildUpFormat)).string();
  if (!path.empty() && !jpeg) writeImage(path, image_);
  if (!jpeg && !video_) return;
  // JPEG and video hold 8 bits: one conversion serves both (v / 257, as the
  // image writer scales), made in the image's own buffer, which is not read again.
  cv::Mat eight = image_.depth() == CV_16U ? packedEightBit(image_, image_.size(), image_.channels(), jpegSpare_) : image_;
  if (jpeg) writeImage(path, eight);
  if (video_) video_->add(eight);
}

void BuildUp::writeImage(const std::string& path, const cv::Mat& image) {
  std::string why;
  // Beside the workers' frames: the encoder's working memory stays within a decoder's.
  if (!NL_writeImageFile(path, image, profile_, &why, true))
    NL_failJob(NL_withReason("Star Trail failed: could not write build-up image: " + path, why));
}

void BuildUp::finish(int& images, std::string& videoNote) {
  stopWriter();
  images = int(taken_);
  videoNote.clear();
  if (video_ && !video_->close()) videoNote = video_->note();
}

}  // namespace startrail_detail

bool NL_starTrailWantsBuildUp(const NLStarTrailNativeJob& job) {
  return !job.buildUpOutput.empty() || !job.buildUpVideo.empty();
}

std::vector<int> NL_starTrailBuildUpCounts(int frameCount, int every) {
  std::vector<int> counts;
  const int step = std::max(every, 1);
  for (long long n = step; n < frameCount; n += step) counts.push_back(int(n));
  if (frameCount > 0) counts.push_back(frameCount);
  return counts;
}

std::string NL_starTrailBuildUpName(int n, const std::string& format) {
  char number[32];
  std::snprintf(number, sizeof number, "%04d", n);
  return "buildup_" + std::string(number) + "." + format;
}

bool NL_starTrailIsBuildUpName(const std::string& name, const std::string& format) {
  const std::string prefix = "buildup_", suffix = "." + format;
  if (name.size() <= prefix.size() + suffix.size() || name.compare(0, prefix.size(), prefix) != 0 ||
      name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
    return false;
  const auto digits = name.begin() + std::ptrdiff_t(prefix.size());
  return std::all_of(digits, name.end() - std::ptrdiff_t(suffix.size()),
                     [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; });
}
