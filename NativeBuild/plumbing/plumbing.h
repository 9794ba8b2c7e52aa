// Job plumbing: reading job files, progress and result files, image IO.
// Nothing here throws for missing or malformed input or for file errors.
#pragma once

#include <opencv2/core.hpp>

#include <cstdint>
#include <functional>
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
// General flavour: the next string after the key's colon, unescaped.
std::string NL_extractJsonString(const std::string& text, const std::string& key);
// Star Glow flavour: the value must itself be a string; backslash takes the next character literally.
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
// Replace the file's content; an empty path or an unopenable file is skipped silently.
void NL_writeTextFile(const std::string& path, const std::string& text);
void NL_sgWriteTextFile(const std::string& path, const std::string& text);
// Extension given with its dot: "a/b.tif" + ".tiff" -> "a/b.tiff"; "a.d/b" -> "a.d/b.tiff".
std::string NL_replaceFileExtension(const std::string& path, const std::string& extension);

// Progress path of the running hybrid stack job (empty when none runs), so
// that parallel loops can report without being handed a path.
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
// falling back to decoding the file's bytes in memory. Empty on failure.
cv::Mat NL_imreadWithRetry(const std::string& path, int flags, int pauseMs = 250, int limitMs = 6000);
// Decode the file's bytes from memory (files of 1 byte to 1.5 GiB); empty on failure.
cv::Mat NL_imdecodeFileFallback(const std::string& path, int flags);
// File size in bytes, 0 when it cannot be told.
std::uint64_t NL_getFileSizeNoThrow(const std::string& path);
// One-time OpenCV runtime setup; never fails and leaves the message alone.
void NL_loadMinimalOpenCVDlls(std::string& message);
// Thread count the setup gives OpenCV for a reported hardware thread count.
int NL_openCVThreadCountFor(unsigned hardwareThreads);
