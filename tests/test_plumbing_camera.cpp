// Frames as cameras write them: EXIF capture times, camera RAW decoding and
// the formats a folder of frames may hold.
#include "plumbing/plumbing.h"
#include "camera_files.h"
#include "support.h"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <random>

using camerafiles::Shot;
using camerafiles::Tiff;
using testsupport::TempDir;

namespace {

cv::Mat smallSky(int type = CV_8UC3) {
  cv::Mat image(24, 32, type, cv::Scalar::all(20));
  cv::circle(image, cv::Point(9, 7), 2, cv::Scalar::all(type == CV_8UC3 ? 250 : 60000), -1);
  return image;
}

NLCaptureInfo parsed(const std::string& bytes) {
  return NL_parseCaptureInfo(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

// A TIFF frame of 4 x 2 grey pixels carrying the shot.
std::string tiffWithShot(const Shot& s, bool bigEndian) {
  Tiff t(bigEndian);
  t.shorts(0, 256, {4});
  t.shorts(0, 257, {2});
  t.shorts(0, 258, {8});
  t.shorts(0, 259, {1});
  t.shorts(0, 262, {1});
  t.imageOffset(0, 273);
  t.shorts(0, 277, {1});
  t.shorts(0, 278, {2});
  t.longs(0, 279, {8});
  camerafiles::addShot(t, s);
  return t.build(std::string(8, char(90)));
}

}  // namespace

TEST(CaptureInfo, JpegAndTiffExifReadBackInEitherByteOrder) {
  TempDir dir;
  for (bool big : {false, true}) {
    SCOPED_TRACE(big ? "big-endian" : "little-endian");
    Shot first;
    first.make = "Canon";
    first.model = "EOS R6";
    first.original = "2024:02:28 23:59:58";
    first.subSecond = "250";
    first.exposure = {1, 250};
    // Across midnight into a leap day: 2.25 s later by the camera's clock.
    Shot second = first;
    second.original = "2024:02:29 00:00:00";
    second.subSecond = "5";
    second.exposure = {30, 1};
    const std::string a = dir.file(big ? "a_be.jpg" : "a_le.jpg"), b = dir.file(big ? "b_be.tif" : "b_le.tif");
    testsupport::writeFile(a, camerafiles::jpegWithShot(smallSky(), first, big));
    testsupport::writeFile(b, tiffWithShot(second, big));
    ASSERT_FALSE(cv::imread(a, cv::IMREAD_UNCHANGED).empty()) << "the EXIF block spoils the JPEG";
    ASSERT_FALSE(cv::imread(b, cv::IMREAD_UNCHANGED).empty()) << "the EXIF block spoils the TIFF";

    const NLCaptureInfo ia = NL_readCaptureInfo(a), ib = NL_readCaptureInfo(b);
    ASSERT_TRUE(ia.hasTime && ib.hasTime && ia.hasExposure && ib.hasExposure);
    EXPECT_NEAR(ib.timeSeconds - ia.timeSeconds, 2.25, 1e-6);
    EXPECT_DOUBLE_EQ(ia.exposureSeconds, 1.0 / 250);
    EXPECT_DOUBLE_EQ(ib.exposureSeconds, 30.0);
    EXPECT_EQ(ia.camera, "Canon EOS R6");
    // The epoch is fixed: a whole day is 86400 s from any date.
    Shot later = first;
    later.original = "2025:03:01 00:00:00";
    later.subSecond.clear();
    EXPECT_NEAR(parsed(camerafiles::jpegWithShot(smallSky(), later, big)).timeSeconds - ib.timeSeconds,
                366 * 86400.0 - 0.5, 1e-6);
  }
}

TEST(CaptureInfo, UnknownFieldsStayUnsetAndMakeIsNotRepeated) {
  TempDir dir;
  Shot blank;
  blank.original = "    :  :     :  :  ";
  blank.make = "NIKON CORPORATION";
  blank.model = "NIKON CORPORATION Z 6";
  blank.exposure = {1, 0};
  const NLCaptureInfo b = parsed(camerafiles::jpegWithShot(smallSky(), blank));
  EXPECT_FALSE(b.hasTime);
  EXPECT_FALSE(b.hasExposure);
  EXPECT_EQ(b.camera, "NIKON CORPORATION Z 6");

  Shot noModel;
  noModel.model.clear();
  noModel.original = "2026:13:01 10:00:00";
  const NLCaptureInfo n = parsed(camerafiles::jpegWithShot(smallSky(), noModel));
  EXPECT_FALSE(n.hasTime) << "month 13";
  EXPECT_TRUE(n.hasExposure);
  EXPECT_EQ(n.camera, "Acme");

  // Images without EXIF, a missing file and a folder read as unknown.
  cv::imwrite(dir.file("plain.png"), smallSky());
  cv::imwrite(dir.file("plain.jpg"), smallSky());
  cv::imwrite(dir.file("plain.tif"), smallSky(CV_16UC3));
  for (const char* name : {"plain.png", "plain.jpg", "plain.tif", "missing.jpg", ""}) {
    const NLCaptureInfo none = NL_readCaptureInfo(dir.file(name));
    EXPECT_FALSE(none.hasTime || none.hasExposure || !none.camera.empty()) << name;
  }
}

// Every prefix of a file (an export cut short) and random damage to its
// EXIF block read without a fault, and a time read is never a wrong one.
TEST(CaptureInfo, DamagedAndCutShortFilesNeverGiveAWrongTime) {
  Shot s;
  s.subSecond = "75";
  for (bool big : {false, true}) {
    for (const std::string& whole : {camerafiles::jpegWithShot(smallSky(), s, big), tiffWithShot(s, big)}) {
      const NLCaptureInfo truth = parsed(whole);
      ASSERT_TRUE(truth.hasTime && truth.hasExposure);
      for (size_t n = 0; n < std::min<size_t>(whole.size(), 700); ++n) {
        const NLCaptureInfo cut = parsed(whole.substr(0, n));
        if (cut.hasTime) {
          EXPECT_DOUBLE_EQ(cut.timeSeconds, truth.timeSeconds) << n;
        }
        if (cut.hasExposure) {
          EXPECT_DOUBLE_EQ(cut.exposureSeconds, truth.exposureSeconds) << n;
        }
      }
      std::mt19937 rng(7);
      for (int trial = 0; trial < 3000; ++trial) {
        std::string bad = whole.substr(0, std::min<size_t>(whole.size(), 600));
        for (int k = 0; k < 4; ++k) bad[rng() % bad.size()] = char(rng());
        parsed(bad);
      }
    }
  }
}

// RAW formats not built on TIFF: a Fujifilm file names the JPEG inside it
// whose APP1 holds the shot. The RAW names are told apart in any case.
TEST(CaptureInfo, FujiRawHeaderLeadsToItsJpegAndRawNamesAreKnown) {
  Shot s;
  s.make = "FUJIFILM";
  s.model = "X-T5";
  s.exposure = {20, 1};
  const std::string jpeg = camerafiles::jpegWithShot(smallSky(), s, true);
  std::string raf = "FUJIFILMCCD-RAW 0201FF383501" + std::string(92 - 28, '\0');
  const Tiff be(true);
  raf.replace(84, 4, be.num(92 + 16, 4));
  raf.replace(88, 4, be.num(jpeg.size(), 4));
  raf += std::string(16, '\x55') + jpeg;
  const NLCaptureInfo info = parsed(raf);
  EXPECT_TRUE(info.hasTime);
  EXPECT_DOUBLE_EQ(info.exposureSeconds, 20.0);
  EXPECT_EQ(info.camera, "FUJIFILM X-T5");
  // The header naming a place past the end reads as unknown.
  raf.replace(84, 4, be.num(raf.size() + 1, 4));
  EXPECT_FALSE(parsed(raf).hasTime);

  for (const char* raw : {"a/IMG_0001.CR2", "b.cr3", "c.NEF", "d.arw", "e.dng", "f.Raf", "g.orf", "h.rw2"})
    EXPECT_TRUE(NL_isRawFileName(raw)) << raw;
  for (const char* other : {"a.tif", "b.jpg", "c.png", "dng", "d.dng/frame", "e.nef.tif", ""})
    EXPECT_FALSE(NL_isRawFileName(other)) << other;
}
