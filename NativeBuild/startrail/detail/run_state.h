// State shared by the Star Trail driver and its frame workers for one run.
#pragma once

#include "startrail/startrail.h"
#include "startrail/detail/build_up.h"
#include "startrail/detail/frame_cache.h"
#include "startrail/detail/frame_pool.h"
#include "startrail/detail/streaks.h"

#include "registration/registration.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace startrail_detail {

// A piece of the run's work done once, by whichever worker asks first.
// Unlike std::call_once, a worker that finds it under way elsewhere learns
// so at once, and may do other work of the run before it waits.
class SharedStep {
 public:
  // Runs work unless it is done or under way; true when it is done. If work
  // throws, the step is left to the next worker that asks.
  template <typename Work>
  bool tryRun(Work&& work) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (state_ != State::idle) return state_ == State::done;
      state_ = State::running;
    }
    try {
      work();
    } catch (...) {
      settle(State::idle);
      throw;
    }
    settle(State::done);
    return true;
  }
  // Nobody has started it yet.
  bool untouched() {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_ == State::idle;
  }
  // Returns once no other worker is running it.
  void waitWhileRunning() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return state_ != State::running; });
  }

 private:
  enum class State { idle, running, done };
  void settle(State s) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      state_ = s;
    }
    changed_.notify_all();
  }
  std::mutex mutex_;
  std::condition_variable changed_;
  State state_ = State::idle;
};

// Stars of one frame, found once per run: a frame is registered as the
// current frame and as a neighbour of up to 2h others, and the detector
// gives the same list for the same decoded image every time.
struct StarSlot {
  SharedStep step;
  std::vector<NLStarCandidate> stars;
  NLCentroidCache centres;  // emptied once the frames about it are done
};

// Frame j registered onto frame j - 1, once per run; the transforms inside a
// window are composed from these.
struct LinkSlot {
  SharedStep step;
  cv::Mat toPrevious;  // empty when the pair could not be registered
};

// The sampled check of one block of links against direct registration.
struct CheckSlot {
  SharedStep step;
  bool trusted = true;
};

struct StageClock {
  std::atomic<std::int64_t> decode{0}, luminance{0}, starDetection{0}, matching{0}, masks{0}, accumulate{0};
};

// CPU time of the calling thread (ns): a step's own work, whatever else the
// machine runs at the time; the steady clock where the platform has no
// per-thread clock.
std::int64_t threadCpuNanoseconds();

// Adds the calling thread's CPU time since start to one stage counter when
// it goes out of scope.
class StageTimer {
 public:
  explicit StageTimer(std::atomic<std::int64_t>& counter) : counter_(counter), start_(threadCpuNanoseconds()) {}
  ~StageTimer() { counter_.fetch_add(threadCpuNanoseconds() - start_); }
  StageTimer(const StageTimer&) = delete;
  StageTimer& operator=(const StageTimer&) = delete;

 private:
  std::atomic<std::int64_t>& counter_;
  std::int64_t start_;
};

// Size and type every frame of the run shares: the first frame's. Kept apart
// from that frame's pixels, which leave the run once frame 0 is in the trail
// (holding them to the end kept a whole frame resident for nothing).
struct FrameShape {
  FrameShape() = default;
  explicit FrameShape(const cv::Mat& first) : size(first.size()), type(first.type()) {}
  bool fits(const cv::Mat& frame) const { return !frame.empty() && frame.size() == size && frame.type() == type; }
  double fullScale() const { return CV_MAT_DEPTH(type) == CV_16U ? 65535.0 : 255.0; }
  std::uint64_t pixelBytes() const { return std::uint64_t(CV_ELEM_SIZE(type)); }
  cv::Size size;
  int type = -1;
};

struct TrailRun {
  explicit TrailRun(const NLStarTrailNativeJob& j) : job(j) {}

  const NLStarTrailNativeJob& job;
  int frameCount = 0;
  int halfWindow = 1;
  bool rejectionOff = false;
  FrameShape shape;
  cv::Mat firstFrame;         // frame 0 as decoded; empty once a worker or the frame cache has taken it
  cv::Mat secondFrame;        // decoded beside the first; empty once used or if that read failed
  cv::Mat accumulator;        // the sky result
  cv::Mat skyMask;            // 255 = sky; empty = everywhere
  cv::Mat bridgeMask;         // seam weights; may be empty
  cv::Mat bridgeAccumulator;  // unmasked maximum inside the seam band; may be empty
  std::vector<std::mutex> rowLocks;
  std::vector<StarSlot> stars;  // one per frame, filled on first use
  std::vector<LinkSlot> links;  // one per frame (the first unused)
  std::vector<CheckSlot> checks;
  std::unique_ptr<FramePool> pool;     // decode buffers and planes; outlives the cache's frames
  std::unique_ptr<FramePool> scratch;  // the star detection's working images
  std::unique_ptr<FrameCache> frames;  // rejection path only
  std::vector<std::vector<NLStarTrailStreak>> streaks;  // one slot per frame, written by its worker only
  cv::Mat darkest;      // per-pixel minimum of the frames, when a meteor image is asked for
  cv::Mat meteorLayer;  // per-pixel maximum of the meteors' pixels, likewise
  std::unique_ptr<BuildUp> buildUp;  // null unless the job asks for the image as it builds up

  std::atomic<bool> decoderFrames{false};  // a frame did not read into a pool buffer
  std::atomic<int> nextFrame{0};
  std::atomic<int> processed{0};
  std::atomic<bool> stop{false};
  std::atomic<std::int64_t> rejectedPixels{0};
  std::atomic<int> checkedBlocks{0};
  double gapShare = 0.0;         // with fillGaps: the share of each interval the fill covers
  std::string gapSource;         // where the share came from; empty without fillGaps
  std::atomic<int> gapsNotFilled{0};
  std::atomic<int> disagreements{0};
  std::mutex errorMutex;
  std::string error;  // first worker failure
  std::mutex progressMutex;
  StageClock clock;
};

// The meteor image's two layers: every frame into the darkest sky, the
// pixels about each meteor into the meteor layer (row locks held).
void addToMeteorImage(TrailRun& run, const cv::Mat& frame, const std::vector<FrameStreak>& streaks);
// The meteors over the night's darkest sky, 16-bit; throws when it cannot be written.
void writeMeteorImage(const TrailRun& run);
// Sets up the buffer pool for the given worker count, the star slots and,
// on the rejection path or when gaps are filled, the shared frame cache and
// the links between consecutive frames.
void prepareFrameSharing(TrailRun& run, int workers);
// Adds frame i to the run's accumulators; throws on a frame that cannot be
// used. The direct path's frame, done with, is left in `spent` for the
// caller to hand on (a build-up image may take its buffer).
void processTrailFrame(TrailRun& run, int frameIndex, cv::Mat& spent);
// Progress of the worker phase, counting one more processed frame first when
// frameFinished; count and write share the progress mutex.
void writeWorkerProgress(TrailRun& run, bool frameFinished = false);
// Decodes, or finds the stars of, one frame that the frames in hand or the
// next one will compare with and that nobody has started on; false when
// there is none. Never waits.
bool prepareAhead(TrailRun& run);
// Runs a shared step, or waits until the worker running it is done; while
// waiting, the worker decodes and searches the frames the run needs next.
template <typename Work>
void runShared(TrailRun& run, SharedStep& step, Work&& work) {
  while (!step.tryRun(work))
    if (!prepareAhead(run)) step.waitWhileRunning();
}
// The frame as decoded, shared through the frame cache; while another
// worker decodes it, prepares frames ahead instead of waiting.
CachedFrame cachedFrame(TrailRun& run, int index);
// The frame's stars with the registration settings, found once per run.
const std::vector<NLStarCandidate>& frameStars(TrailRun& run, int index, const cv::Mat& plane);
// The transform of neighbour k onto frame i (composed, or registered
// directly where composing is not trusted); empty when the stars could not
// be matched. Both arguments are luminance planes.
cv::Mat neighbourTransform(TrailRun& run, int frameIndex, const cv::Mat& frame, int neighbourIndex,
                           const cv::Mat& neighbour);
// Frame j registered onto frame j - 1, once per run; empty when the pair
// could not be registered.
cv::Mat consecutiveTransform(TrailRun& run, int j);
// With fillGaps: the gap's share of the interval and where it comes from
// (the job file, the capture times, the trails), before the workers start.
void prepareGapFill(TrailRun& run);
// With fillGaps: frame i's star light carried across the gap to frame i + 1
// into the accumulators; the rejection mask's pixels are never carried.
void fillFrameGap(TrailRun& run, int frameIndex, const cv::Mat& frame, const cv::Mat& rejection, double weight,
                  const NLStarTrailAccumulateTarget& target);

}  // namespace startrail_detail
