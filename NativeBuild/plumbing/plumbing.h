// Job plumbing: reading job files, progress and result files, image IO.
// Nothing here throws for missing or malformed input or for file errors.
#pragma once

#include "plumbing/capture_info.h"

#include <opencv2/core.hpp>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// ---- Job file readers ------------------------------------------------------
// Whole file as bytes; empty when it cannot be opened.
std::string NL_readTextFile(const std::string& path);
// Same contract, used by the Star Glow job.
std::string NL_sgReadTextFile(const std::string& path);

// Position of the first non-whitespace character after the colon that follows
// the first occurrence of "key"; npos when there is none.
size_t NL_jsonFindValueStart(const std::string& text, const std::string& key);
// General flavour: the string after the key's colon, unescaped; empty when the
// value is not a string (a number, object or null reads as absent).
std::string NL_extractJsonString(const std::string& text, const std::string& key);
// Star Glow flavour: the value must itself be a string and end with its
// closing quote; escapes are decoded as NL_extractJsonString decodes them.
std::string NL_jsonString(const std::string& text, const std::string& key, const std::string& fallback);
double NL_jsonNumber(const std::string& text, const std::string& key, double fallback);
bool NL_jsonBool(const std::string& text, const std::string& key, bool fallback);
std::vector<std::string> NL_extractJsonStringArray(const std::string& text, const std::string& key);
// Array of objects holding a "path" member; falls back to a plain string array.
std::vector<std::string> NL_extractJsonPathObjectsArray(const std::string& text, const std::string& key);
std::string NL_extractJsonNestedString(const std::string& text, const std::string& objectKey,
                                       const std::string& key);
std::string NL_unescapeJsonString(const std::string& raw);

// ---- Progress and result files ---------------------------------------------
// Four-line progress file, replaced atomically; the percent per path never
// goes backwards within the process except for an explicit restart.
void NL_writeProgressFile(const std::string& path, int percent, const std::string& stage,
                          const std::string& detail);
// What this process has written to one progress path (the exact string):
// how many entries, the percent stored and the last entry's stage.
struct NLProgressRecord {
  std::uint64_t entries = 0;
  int percent = 0;
  std::string stage;
};
NLProgressRecord NL_progressRecord(const std::string& path);
// A job's last entry, written when the program cancels a job whose threads
// may still run and is about to end: no later write of this process
// replaces it (so never for a path a later job of the same process uses).
void NL_writeLastProgressEntry(const std::string& path, int percent, const std::string& stage,
                               const std::string& detail);
// "Completed" and "Failed": a job's last entry, after which a poller stops.
bool NL_isFinalProgressStage(const std::string& stage);
// Replace the file's content; an empty path or an unopenable file is skipped silently.
void NL_writeTextFile(const std::string& path, const std::string& text);
void NL_sgWriteTextFile(const std::string& path, const std::string& text);
// The same as a last word: no later text write of this process replaces it.
void NL_writeLastTextFile(const std::string& path, const std::string& text);
// Extension given with its dot: "a/b.tif" + ".tiff" -> "a/b.tiff"; "a.d/b" -> "a.d/b.tiff".
std::string NL_replaceFileExtension(const std::string& path, const std::string& extension);

// Progress path of the running hybrid stack job (empty when none runs): its
// driver sets it when the job starts and clears it when the job ends. The
// job's own stages are handed their path instead, so that two jobs running at
// once never write each other's file.
extern std::string NL_gLumivexProgressPath;
extern std::mutex NL_gLumivexProgressMutex;
// Holds the mutex for the whole test-and-write; skipped when no path is set.
void NL_writeStackProgress(int percent, const std::string& stage, const std::string& detail);

// Progress callback of a sub-stage: (percent 0..100, stage, detail). Empty disables reporting.
using NLProgressCallback = std::function<void(int, const std::string&, const std::string&)>;
// start + round(p * (end - start) / 100), half away from zero.
int NL_mapProgress(int percent, int start, int end);
// Rounds half away from zero, for percentages computed from fractions.
int NL_roundPercent(double value);

// ---- Image loading ---------------------------------------------------------
// Retries every pauseMs until limitMs has passed since the call started,
// falling back to decoding the file's bytes in memory. Empty on failure, and
// at once for a file NL_imageFileProblem refuses (no retry can mend those).
// A missing, empty or damaged file (NL_imageFileDamage) is not decoded but
// waited for like one still being written, and so is a file that changed
// while it was decoded; after the limit it reads as undecodable.
cv::Mat NL_imreadWithRetry(const std::string& path, int flags, int pauseMs = 250, int limitMs = 6000);
// The same for a frame whose buffer is reused from one frame to the next:
// an uncompressed TIFF (flags -1) is read straight into `into`'s memory when
// it has the frame's size and type (else into a new buffer, left in `into`);
// every other file decodes as above. The image returned then shares `into`'s
// memory, so the caller hands in a buffer nobody else reads.
cv::Mat NL_imreadWithRetryInto(const std::string& path, int flags, cv::Mat& into, int pauseMs = 250,
                               int limitMs = 6000);
// An uncompressed strip TIFF (8-bit grey or RGB, 16-bit grey, RGB or RGBA,
// chunky, top-left) read into `into` (reused when it has the image's size
// and type), with the decoder's channel order (BGR) and the same values.
// False for any other file, which is left to the decoder.
bool NL_readPlainTiff(const std::string& path, cv::Mat& into);
// Decode the file's bytes from memory (files of 1 byte to 1.5 GiB); empty on failure.
cv::Mat NL_imdecodeFileFallback(const std::string& path, int flags);
// Why an image file is not whole, cut short while being written or damaged:
// "the PNG file ends before its IEND chunk", "the JPEG file ends before its
// end-of-image marker", "the TIFF file ends before the image data it lists".
// Empty for a whole file, and for a format it does not know.
std::string NL_imageFileDamage(const std::string& path);
// File size in bytes, 0 when it cannot be told.
std::uint64_t NL_getFileSizeNoThrow(const std::string& path);
// One-time OpenCV runtime setup; never fails and leaves the message alone.
void NL_loadMinimalOpenCVDlls(std::string& message);
// Thread count the setup gives OpenCV for a reported hardware thread count.
int NL_openCVThreadCountFor(unsigned hardwareThreads);

// ---- Camera RAW ---------------------------------------------------------------
// How a RAW frame becomes 16-bit RGB: both in the camera's white balance,
// sRGB primaries, no automatic brightening, turned as the camera was held.
// Camera applies the tone curve an editor's export shows; Linear keeps the
// sensor's light proportional (what stacking arithmetic prefers).
enum class NLRawRendering { Camera, Linear };
// "camera" or "linear"; false for anything else.
bool NL_parseRawRendering(const std::string& text, NLRawRendering& rendering);
const char* NL_rawRenderingName(NLRawRendering rendering);
// True when this build decodes camera RAW files.
bool NL_rawDecoderAvailable();
// True for the file names of camera RAW formats (".cr2", ".nef", ".dng", ...; any case).
bool NL_isRawFileName(const std::string& path);

// True for the names of the image files the frame reader decodes: TIFF,
// PNG, JPEG, WebP, BMP, and camera RAW where the build reads it (any case).
bool NL_isFrameFileName(const std::string& path);
// Those formats as a usage text names them: "TIFF, PNG, JPEG, WebP, BMP or camera RAW".
std::string NL_frameFormatNames();

// Where a job sets how its RAW frames render, the paths it reads render so
// while the scope lives; every other RAW file renders as Camera. The last
// scope made for a path wins until it ends.
class NLRawRenderingScope {
 public:
  NLRawRenderingScope(const std::vector<std::string>& paths, NLRawRendering rendering);
  ~NLRawRenderingScope();
  NLRawRenderingScope(const NLRawRenderingScope&) = delete;
  NLRawRenderingScope& operator=(const NLRawRenderingScope&) = delete;

 private:
  std::vector<std::string> keys_;
  std::uint64_t id_ = 0;
};
// The job file's "rawRendering" ("camera" or "linear"): a JSON string, or a
// key=value line in the hybrid stack's job. False when the file sets none
// or a value of neither name (the default, Camera, holds).
bool NL_readJobRawRendering(const std::string& jobText, NLRawRendering& rendering);

// ---- Input and output safety ------------------------------------------------
// Every read path refuses what is not a regular file before opening it: a
// pipe or a device would block the job or read without end.
// True when path names an existing regular file (symbolic links followed).
bool NL_isRegularFile(const std::string& path);
// True when something exists at path that is not a regular file: a folder, pipe, device or socket.
bool NL_isNonRegularFile(const std::string& path);

// A job file is a few kilobytes; anything larger is refused unread.
constexpr std::uint64_t NL_kMaxJobFileBytes = 16ULL << 20;
// The whole job file. False with the reason in failure ("job file is not a
// regular file: P", "job file is larger than 16 MB: P", "job file could not be read: P").
bool NL_readJobFile(const std::string& path, std::string& text, std::string& failure);

// The files one job reads and writes, each with the words its failure text names it by.
struct NLJobPath {
  std::string role;  // "input frame", "sky mask", "output", "progress file", ...
  std::string path;  // empty paths are ignored
};
struct NLJobPaths {
  std::vector<NLJobPath> inputs;   // every file the job reads, the job file included
  std::vector<NLJobPath> outputs;  // every file the job writes, progress file and result log included
};
// Checked before a job writes anything. Empty when the paths are safe;
// otherwise the failure text naming both paths, e.g. "output /a/b.tif is the
// same file as input frame /a/b.tif", "progress file /a is an existing folder",
// "sky mask /a/p is not a regular file". Paths are compared as files (two
// spellings of one file are the same), so no output can overwrite an input or
// another output.
std::string NL_checkJobPaths(const NLJobPaths& paths);
// True when a failure may still be written at path: it names no input, no
// existing image output (the roles other than "progress file" and "result
// log") and no existing folder.
bool NL_isSafeReportPath(const std::string& path, const NLJobPaths& paths);

// ---- One job's reports ------------------------------------------------------
// A job's progress file, its result log and the files it may not overwrite:
// every job runner reports its run, its refusal and its failure through one.
class NLJobReport {
 public:
  NLJobReport() = default;
  NLJobReport(std::string progressPath, std::string resultLog, NLJobPaths paths = {});
  const std::string& progressPath() const { return progress_; }
  const std::string& resultLog() const { return log_; }
  const NLJobPaths& paths() const { return paths_; }
  // A progress entry; skipped when the job names no progress file.
  void progress(int percent, const std::string& stage, const std::string& detail) const;
  // Writes the result log and returns it.
  std::string finish(const std::string& log) const;
  // The entry after which a poller stops: 100, "Failed", detail.
  void failed(const std::string& detail) const;
  // The same two writes, each only where NL_isSafeReportPath allows it (the
  // failure may be that a report path names one of the user's files).
  void failedIfSafe(const std::string& detail) const;
  void finishIfSafe(const std::string& log) const;
  // A job that may not run: the "Failed" entry, then the log, so that a
  // result log named like the progress file ends with the log. Returns log.
  std::string refuse(const std::string& detail, const std::string& log) const;
  // Forgets a report path that is not safe, before anything is written.
  void dropUnsafePaths();

 private:
  std::string progress_;
  std::string log_;
  NLJobPaths paths_;
};

// What a runner does with an exception (OpenCV, memory) leaving its work,
// once onFailure has written the failure: ReturnLog answers with the failure
// log (Star Trail, Star Glow), Rethrow throws the exception on (Sky Blend,
// the hybrid stack), so that the caller answers with its own error.
enum class NLJobExceptions { ReturnLog, Rethrow };
// Runs body and returns its result. An exception leaving it is handed to
// onFailure as its text (unknownText for one that is no std::exception),
// which writes the job's failure and gives its log; then contract holds.
std::string NL_runJobGuarded(NLJobExceptions contract, const std::function<std::string()>& body,
                             const std::function<std::string(const std::string&)>& onFailure,
                             const std::string& unknownText = "unknown exception");

// A step that cannot go on: its text becomes the job's failure, through the
// guard above (runners that throw their refusals).
[[noreturn]] void NL_failJob(const std::string& text);
// A step that answers its failure instead (bool plus a text out): sets out
// to prefix + text and answers false, for `return NL_failStep(...)`.
bool NL_failStep(std::string& out, const std::string& text, const std::string& prefix = std::string());

// ---- Names of a run's own files ---------------------------------------------
// A sibling of path named stem + ".lumivex-" + tag + "-" + a part unique to
// this process and call (process id, a random part, a counter) + extension:
// two processes writing beside the same file never pick the same name.
std::string NL_uniqueSiblingPath(const std::string& path, const std::string& tag);
// True for a file name that a result writer uses while an image or log is
// being written (".lumivex-partial-"): never a frame, never a result.
bool NL_isOwnTemporaryName(const std::string& fileName);
// Removes the partial files beside path (path's own stem and extension) left
// by a writer process that no longer runs, as a killed run leaves them; a
// running writer's files stay. Returns how many were removed.
int NL_removeAbandonedPartials(const std::string& path);
// Removes the partial files beside path that this process is writing: what a
// run that is being cancelled must not leave behind.
int NL_removeOwnPartials(const std::string& path);

// ---- Image size limit -------------------------------------------------------
// The largest image a job accepts: 200 megapixels, 65535 pixels a side. A
// frame beyond this is refused before any frame-sized buffer is made.
constexpr std::uint64_t NL_kMaxImagePixels = 200000000ULL;
constexpr int NL_kMaxImageSide = 65535;
// Physical memory of the machine in bytes; 0 when the platform does not tell.
std::uint64_t NL_physicalMemoryBytes();
// Empty when an image of this size is within the limit and the job's working
// buffers (workingBytesPerPixel for every pixel) fit in memoryBytes (0: not
// checked); otherwise the failure text, e.g. "image is 32000 x 24000 pixels,
// beyond the limit of 200 megapixels".
std::string NL_imageSizeProblem(cv::Size size, std::uint64_t workingBytesPerPixel, std::uint64_t memoryBytes);
// The same against this machine's physical memory.
std::string NL_imageSizeProblem(cv::Size size, std::uint64_t workingBytesPerPixel);
// Width and height from a PNG or TIFF header, without decoding; false when
// the file is not a regular file or its header does not tell.
bool NL_readImageHeaderSize(const std::string& path, cv::Size& size);
// Channels a PNG or TIFF header says the image decodes to (a TIFF's samples
// per pixel; a PNG's 1, 3 or 4), without decoding; 0 when the header does
// not tell, for other formats and camera RAW files.
int NL_readImageHeaderSamples(const std::string& path);
// Why an image file cannot be read at all, before any decode: "is not a
// regular file", or the size problem its header claims; empty otherwise.
std::string NL_imageFileProblem(const std::string& path);

// Holds OpenCV's process-wide pool at one thread while a job runs its own
// worker threads. Holds are counted: the last one to end restores the count
// that was in force when the first began, so overlapping jobs never leave the
// process single-threaded. Runs the one-time setup first, which puts OpenCV's
// loops on a pool of the add-on's own: a count change there is safe while
// another job runs a loop.
class NLOpenCVSingleThreadHold {
 public:
  NLOpenCVSingleThreadHold();
  ~NLOpenCVSingleThreadHold();
  NLOpenCVSingleThreadHold(const NLOpenCVSingleThreadHold&) = delete;
  NLOpenCVSingleThreadHold& operator=(const NLOpenCVSingleThreadHold&) = delete;
};

// ---- Shared helpers of the jobs: image writing, luminance, log numbers, row progress
// An ICC colour profile as an image file embeds it; empty when there is none.
using NLIccProfile = std::vector<std::uint8_t>;
// The profile embedded in a TIFF (tag 34675), PNG (iCCP) or JPEG (APP2
// ICC_PROFILE) file; empty when the file has none or cannot be read.
NLIccProfile NL_readIccProfile(const std::string& path);

// Writes the image to a temporary sibling with the same extension (so the
// encoder is chosen as for the final path, TIFF for ".tif") and renames it
// into place: a failed or interrupted write never leaves a partial image at
// path, and an older file there survives a failure. False on any failure.
// 16-bit samples are scaled to 8 bits (v / 257, rounded) for a format that
// holds only 8 (JPEG, WebP, ...), instead of being saturated.
bool NL_writeImageFile(const std::string& path, const cv::Mat& image);
// The same, embedding profile in a TIFF result (the frames' colours mean
// what they meant in the frames); on failure the reason, the system's error
// text where it tells one ("No space left on device"), goes to *reason.
// besideWork: an image written while the job's work goes on (a trail's
// build-up) is encoded on the calling thread in a few hundred KB of working
// memory instead of a few MB; the same bytes.
bool NL_writeImageFile(const std::string& path, const cv::Mat& image, const NLIccProfile& profile,
                       std::string* reason, bool besideWork = false);
// failure + " (" + reason + ")", or failure alone when no reason is known.
std::string NL_withReason(const std::string& failure, const std::string& reason);

// Result images written as NL_writeImageFile writes them, each encoded on a
// thread of its own (and on that thread alone, so the job's own parallel
// loops keep every core) as soon as it is queued, so a job computes its next
// image while the encoder runs, and several encodes share the cores. Files land in queue order: one
// queued after a failed write is encoded but never lands, so no later output
// appears after an earlier one failed. The destructor waits for every write.
class NLImageWriteQueue {
 public:
  NLImageWriteQueue() = default;
  NLImageWriteQueue(const NLImageWriteQueue&) = delete;
  NLImageWriteQueue& operator=(const NLImageWriteQueue&) = delete;
  ~NLImageWriteQueue();
  // Queues the write; failure is the text finish() gives when it fails,
  // followed by the reason (NL_withReason).
  // allCores: the job's last image, encoded while nothing else computes,
  // spreads its strips over every core instead.
  void add(const std::string& path, const cv::Mat& image, const std::string& failure,
           const NLIccProfile& profile = NLIccProfile(), bool allCores = false);
  size_t size() const { return writes_.size(); }
  // Waits for every queued write. True when all were written; otherwise the
  // position (in queue order) and the failure text of the first that failed.
  bool finish(size_t& failed, std::string& failure);

 private:
  struct Write;
  std::vector<std::shared_ptr<Write>> writes_;
};
// Writes the image now, or queues it when a queue is given (its outcome then
// comes from the queue, with failure as its text). False only for a write
// made now that failed; failure then has its reason added.
bool NL_writeOrQueueImage(const std::string& path, const cv::Mat& image, NLImageWriteQueue* queue,
                          std::string& failure, const NLIccProfile& profile = NLIccProfile(),
                          bool allCores = false);

// The first set byte of row[from..end), or end. Masks are mostly empty, so
// whole words of zeros are skipped at once.
inline int NL_nextSetByte(const unsigned char* row, int from, int end) {
  int x = from;
  for (; x + 8 <= end; x += 8) {
    std::uint64_t word;
    std::memcpy(&word, row + x, sizeof word);
    if (word) break;
  }
  while (x < end && !row[x]) ++x;
  return x;
}

// Luminance of a blue, green, red sample (the frames' interleaved order).
inline double NL_luminance(double blue, double green, double red) {
  return 0.2126 * red + 0.7152 * green + 0.0722 * blue;
}
// The same weights as a BGR transform row for cv::transform on float images.
cv::Matx13f NL_luminanceWeightsBGR();
// Luminance of row y of an 8- or 16-bit image into out[0..cols): a single
// channel is its own luminance; 3 or 4 channels are BGR(A), alpha ignored.
// Other depths or channel counts give zeros.
void NL_luminanceRow(const cv::Mat& image, int y, double* out);
double NL_luminanceAt(const cv::Mat& image, int x, int y);

// A Gaussian blur of a float image wide enough that its finer detail does not
// matter: computed on a grid up to 16 times coarser (block means, a Gaussian
// that makes up the rest of sigma, a bilinear return), about a hundredth of
// the full blur's work at sigma 45, and handed out one full-resolution row at
// a time so no frame-sized result is kept. Within a thousandth of the image's
// range of cv::GaussianBlur with the same sigma and border, edges included.
class NLCoarseBlur {
 public:
  NLCoarseBlur(const cv::Mat& image, double sigma, int border);
  // Row y of the blurred image into out[0..cols); safe from several threads.
  void row(int y, float* out) const;

  // The same rows for one thread that asks for them in order: the two coarse
  // rows a row falls between are widened once for all the rows between them
  // (the grid step's worth), and each row is then one blend of the two.
  class Rows {
   public:
    explicit Rows(const NLCoarseBlur& blur);
    void row(int y, float* out);

   private:
    const NLCoarseBlur& blur_;
    int lower_ = -1, upper_ = -1;
    std::vector<float> top_, bottom_;
  };

 private:
  struct Tap {
    int lower = 0, upper = 0;
    float weight = 0.0f;
  };
  Tap tap(int i) const;
  // Coarse row r interpolated across to full width.
  void across(int r, float* out) const;
  int cols_, rows_, scale_, margin_ = 0;
  cv::Mat coarse_;
  std::vector<Tap> across_;
};
// The grid step NLCoarseBlur uses for sigma: 1 (a plain blur) below 8.
int NL_coarseBlurScale(double sigma);

// A number for a result log, always in the "C" locale whatever the host set.
// decimals >= 0: fixed notation with that many decimals (0.250, 4);
// decimals < 0: general notation with `significant` digits and no trailing
// zeros (1.1, 0.85, 5), the default stream form.
std::string NL_formatNumber(double value, int decimals = -1, int significant = 6);

// Counts finished rows from any worker and reports about fifty times per
// image: when the count reaches a multiple of max(rows / 50, 16) and at the
// last row. Reports arrive one at a time (they may come from any worker).
class NLRowProgress {
 public:
  using Report = std::function<void(int done, int rows)>;
  NLRowProgress(int rows, Report report);
  NLRowProgress(const NLRowProgress&) = delete;
  NLRowProgress& operator=(const NLRowProgress&) = delete;
  void rowDone();
  // True when a count of done rows out of rows is one that reports.
  static bool reports(int done, int rows);

 private:
  const int rows_;
  Report report_;
  std::atomic<int> done_{0};
  std::mutex mutex_;
  int reported_ = 0;  // a count reported late, after a larger one, is dropped
};

// Counts items finished by parallel workers and reports each count in
// order: the count and its report share one lock, so a slower worker never
// reports "3 of 4" after another reported "4 of 4".
class NLFinishedCount {
 public:
  template <typename Report>
  void finishOne(Report&& report) {
    std::lock_guard<std::mutex> lock(mutex_);
    report(++done_);
  }

 private:
  std::mutex mutex_;
  int done_ = 0;
};
