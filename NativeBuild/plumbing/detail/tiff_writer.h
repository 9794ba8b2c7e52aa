// The TIFF writer behind the result images.
#pragma once

#include <opencv2/core.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace lvplumbing {

// True for the images written as LZW TIFF here: a ".tif" or ".tiff" path and
// 8- or 16-bit samples with one, three or four channels (blue, green, red,
// alpha order in memory, red first in the file).
bool lzwTiffWritable(const std::string& path, const cv::Mat& image);

// Writes a baseline TIFF in the layout OpenCV gives a ".tif" with no
// parameters (LZW, horizontal differencing, strips of about 8 KiB, the
// directory after the strips), with the strips compressed on every core
// (or, with allCores false, on the calling thread alone: the same bytes),
// and the ICC profile (tag 34675) when one is given. False when the file
// could not be written, with the system's error text in *reason, or would
// pass the 4 GiB a classic TIFF can address; the caller removes what was left.
// small: on the calling thread in a few hundred KB (string tables of under
// 300 KB instead of 2 MB, one batch of strips held), for an image written
// beside a job's work; the same bytes.
bool writeLzwTiff(const std::string& path, const cv::Mat& image,
                  const std::vector<std::uint8_t>& profile = std::vector<std::uint8_t>(),
                  std::string* reason = nullptr, bool allCores = true, bool small = false);

// TIFF's flavour of LZW (codes most significant bit first, a clear code at
// the start and whenever the table fills, the code width growing one code
// early) of one strip, appended to out. small: the strings looked up in the
// thread's small table (under 300 KB) instead of its 2 MB ones; the same bytes.
void lzwEncodeStrip(const std::uint8_t* data, size_t size, std::vector<std::uint8_t>& out, bool small = false);
// Two strips encoded side by side, each exactly as lzwEncodeStrip would.
void lzwEncodeStripPair(const std::uint8_t* data0, size_t size0, std::vector<std::uint8_t>& out0,
                        const std::uint8_t* data1, size_t size1, std::vector<std::uint8_t>& out1,
                        bool small = false);

}  // namespace lvplumbing
