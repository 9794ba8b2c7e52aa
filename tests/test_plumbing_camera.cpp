// Frames as cameras write them: EXIF capture times, camera RAW decoding and
// the formats a folder of frames may hold.
#include "plumbing/plumbing.h"
#include "plumbing/detail/raw_decode.h"
#include "camera_files.h"
#include "support.h"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <cstdlib>
#include <ctime>
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

namespace {

// sRGB's tone curve, what the camera rendering applies to linear light.
double srgbCurve(double linear) {
  return linear <= 0.0031308 ? 12.92 * linear : 1.055 * std::pow(linear, 1 / 2.4) - 0.055;
}

// Left half a grey the camera's white balance makes neutral, right half a
// colour, and a small marker in the stored top-left corner.
camerafiles::Dng patchScene(int width, int height) {
  camerafiles::Dng d;
  d.scene = cv::Mat(height, width, CV_32FC3);
  // grey 0.2 after the multipliers 2, 1, 1.25 (blue, green, red order here)
  d.scene.colRange(0, width / 2).setTo(cv::Scalar(0.16, 0.2, 0.1));
  d.scene.colRange(width / 2, width).setTo(cv::Scalar(0.08, 0.15, 0.3));
  d.scene(cv::Rect(0, 0, 8, 8)).setTo(cv::Scalar(0.4, 0.4, 0.02));
  return d;
}

cv::Vec3d at(const cv::Mat& image, int x, int y) {
  const cv::Vec3w v = image.at<cv::Vec3w>(y, x);
  return cv::Vec3d(v[0], v[1], v[2]) / 65535.0;
}

void expectColour(const cv::Vec3d& got, const cv::Vec3d& want, const char* what) {
  for (int c = 0; c < 3; ++c) EXPECT_NEAR(got[c], want[c], 0.01) << what << " channel " << c;
}

}  // namespace

#define REQUIRE_RAW_DECODER()                                                                 \
  if (!NL_rawDecoderAvailable()) GTEST_SKIP() << "this build reads no camera RAW (built without LibRaw)"

TEST(RawDecode, DngDecodesToTheScenesColoursInEitherRendering) {
  REQUIRE_RAW_DECODER();
  TempDir dir;
  for (bool big : {false, true}) {
    SCOPED_TRACE(big ? "big-endian" : "little-endian");
    camerafiles::Dng d = patchScene(64, 48);
    d.bigEndian = big;
    const std::string path = dir.file(big ? "be.DNG" : "le.dng");
    testsupport::writeFile(path, camerafiles::dngFile(d));

    cv::Size header;
    ASSERT_TRUE(NL_readImageHeaderSize(path, header));
    EXPECT_EQ(header, cv::Size(64, 48));
    const cv::Mat camera = NL_imreadWithRetry(path, cv::IMREAD_UNCHANGED, 0, 0);
    ASSERT_EQ(camera.type(), CV_16UC3);
    ASSERT_EQ(camera.size(), header);
    cv::Mat linear;
    {
      const NLRawRenderingScope scope({path}, NLRawRendering::Linear);
      linear = NL_imreadWithRetry(path, cv::IMREAD_UNCHANGED, 0, 0);
    }
    ASSERT_EQ(linear.type(), CV_16UC3);
    // Inside each patch, away from the demosaic's edges.
    expectColour(at(linear, 16, 30), cv::Vec3d(0.2, 0.2, 0.2), "grey, linear");
    expectColour(at(linear, 48, 30), cv::Vec3d(0.1, 0.15, 0.6), "colour, linear");
    const cv::Vec3d curve(srgbCurve(0.1), srgbCurve(0.15), srgbCurve(0.6));
    expectColour(at(camera, 48, 30), curve, "colour, camera curve");
    expectColour(at(camera, 16, 30), cv::Vec3d::all(srgbCurve(0.2)), "grey, camera curve");
    // The scope has ended: the camera rendering holds again.
    EXPECT_EQ(cv::norm(NL_imreadWithRetry(path, cv::IMREAD_UNCHANGED, 0, 0), camera, cv::NORM_INF), 0);
    // Eight-bit and one-channel reads scale and mix the same picture.
    const cv::Mat grey = NL_imreadWithRetry(path, cv::IMREAD_GRAYSCALE, 0, 0);
    ASSERT_EQ(grey.type(), CV_8UC1);
    EXPECT_NEAR(grey.at<uchar>(30, 16), srgbCurve(0.2) * 255, 3);
  }
}

// The picture stands as the camera was held: a frame taken in portrait
// comes out taller than wide, its stored top-left corner at the top right.
TEST(RawDecode, OrientationTurnsThePictureAndItsHeaderSize) {
  REQUIRE_RAW_DECODER();
  TempDir dir;
  for (int orientation : {1, 6, 8, 3}) {
    SCOPED_TRACE(orientation);
    camerafiles::Dng d = patchScene(40, 30);
    d.orientation = orientation;
    const std::string path = dir.file("o" + std::to_string(orientation) + ".dng");
    testsupport::writeFile(path, camerafiles::dngFile(d));
    const bool turned = orientation == 6 || orientation == 8;
    const cv::Size want = turned ? cv::Size(30, 40) : cv::Size(40, 30);
    cv::Size header;
    ASSERT_TRUE(NL_readImageHeaderSize(path, header));
    EXPECT_EQ(header, want);
    const cv::Mat image = NL_imreadWithRetry(path, cv::IMREAD_UNCHANGED, 0, 0);
    ASSERT_EQ(image.size(), want);
    // the marker is the one place where red is far below green: its middle
    cv::Point2d sum;
    int count = 0;
    for (int y = 0; y < image.rows; ++y)
      for (int x = 0; x < image.cols; ++x)
        if (at(image, x, y)[2] < 0.5 * at(image, x, y)[1]) sum += cv::Point2d(x, y), ++count;
    ASSERT_GT(count, 30);
    const cv::Point2d marker = sum / count;
    const double near = 3.5, farX = want.width - 4.5, farY = want.height - 4.5;
    const cv::Point2d corner = orientation == 1 ? cv::Point2d(near, near)
                               : orientation == 6 ? cv::Point2d(farX, near)
                               : orientation == 8 ? cv::Point2d(near, farY)
                                                  : cv::Point2d(farX, farY);
    EXPECT_LT(cv::norm(marker - corner), 1.5) << marker;
  }
}

// LibRaw hands the capture time through the machine's time zone; read back
// it must land on the same clock the EXIF reader gives, summer time or not.
TEST(RawDecode, CaptureTimesAgreeWithTheExifReaderInAnyTimeZone) {
  REQUIRE_RAW_DECODER();
  TempDir dir;
  const char* const zone = std::getenv("TZ");
  const std::string saved = zone ? zone : "";
  for (const char* tz : {"UTC0", "EST5EDT,M3.2.0,M11.1.0", "NZST-12NZDT,M9.5.0,M4.1.0/3"}) {
    setenv("TZ", tz, 1);
    tzset();
    for (const char* when : {"2026:08:12 22:41:07", "2026:01:03 01:30:00", "2026:03:08 02:30:00"}) {
      SCOPED_TRACE(std::string(tz) + " " + when);
      camerafiles::Dng d = patchScene(32, 32);
      d.shot.original = when;
      d.shot.exposure = {25, 1};
      const std::string path = dir.file("t.dng");
      testsupport::writeFile(path, camerafiles::dngFile(d));
      const NLCaptureInfo exif = NL_readCaptureInfo(path);
      NLCaptureInfo raw;
      ASSERT_TRUE(nl_detail::rawCaptureInfo(path, raw));
      ASSERT_TRUE(exif.hasTime && raw.hasTime);
      // 02:30 on the spring-forward night does not exist in New York: an hour either way is the zone's doing
      const bool gap = std::string(when) == "2026:03:08 02:30:00" && tz[0] == 'E';
      EXPECT_NEAR(raw.timeSeconds, exif.timeSeconds, gap ? 3600 : 0);
      EXPECT_DOUBLE_EQ(raw.exposureSeconds, 25.0);
      EXPECT_EQ(exif.exposureSeconds, 25.0);
    }
  }
  if (zone) setenv("TZ", saved.c_str(), 1);
  else unsetenv("TZ");
  tzset();
}

namespace {

NLCaptureInfo shotAt(double t, double exposure = 0, const std::string& camera = "") {
  NLCaptureInfo i;
  i.hasTime = t >= 0, i.timeSeconds = t >= 0 ? t : 0;
  i.hasExposure = exposure > 0, i.exposureSeconds = exposure;
  i.camera = camera;
  return i;
}

}  // namespace

// A night shot every 30.5 s with one frame missing, two frames named out of
// capture order and one frame without EXIF (a time the sequence skips).
TEST(CaptureSequence, IntervalsGapsAndOrderAreLoggedByteForByte) {
  std::vector<NLCaptureInfo> night;
  std::vector<std::string> names;
  const double t0 = 1.0e9;
  for (int i = 0; i < 20; ++i) {
    const double slot = i < 10 ? i : i + 1;  // the eleventh shot is missing: a step of 61 s
    night.push_back(shotAt(t0 + slot * 30.5, i == 7 ? 1.0 / 4000 : 25, i == 0 ? "" : "Acme Night 1"));
    names.push_back("/night/IMG_" + std::to_string(100 + i) + ".jpg");
  }
  std::swap(night[2], night[3]);  // named 2 but taken third: the camera's counter wrapped, say
  night[19].hasTime = false;
  const NLCaptureSequence s = NL_captureSequence(night);
  EXPECT_EQ(s.frames, 20);
  EXPECT_EQ(s.withTime, 19);
  ASSERT_EQ(s.backsteps.size(), 1u);
  EXPECT_EQ(s.backsteps[0].frame, 3);
  EXPECT_EQ(s.backsteps[0].previous, 2);
  EXPECT_EQ(NL_captureSequenceLines(s, names),
            "captureTimes=19 of 20\n"
            "frameIntervalS=30.5\n"
            "frameIntervalMinS=30.5\n"
            "frameIntervalMaxS=61\n"
            "frameIntervalGaps=1\n"
            "exposureS=25\n"
            "exposureMinS=0.00025\n"
            "exposureMaxS=25\n"
            "camera=Acme Night 1\n"
            "captureOrderWarning=frame 3 IMG_103.jpg was taken 30.5 s before frame 2 IMG_102.jpg listed ahead of it: "
            "name order and capture order disagree\n");
}

TEST(CaptureSequence, ManyDisordersAreCountedAndFramesWithoutExifSayNothing) {
  std::vector<NLCaptureInfo> reversed;
  for (int i = 0; i < 14; ++i) reversed.push_back(shotAt(1000.0 - i * 10.25, 8));
  const NLCaptureSequence s = NL_captureSequence(reversed);
  EXPECT_EQ(s.backsteps.size(), 13u);
  EXPECT_DOUBLE_EQ(s.intervalMedian, 10.25);
  EXPECT_EQ(s.gaps, 0) << "frames named backwards are no gaps";
  const std::string text = NL_captureSequenceLines(s, {});
  EXPECT_NE(text.find("captureOrderWarning=frame 10 was taken 10.25 s before frame 9 listed ahead of it"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("captureOrderWarning=3 more frames were taken before the frame listed ahead of them\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find("frame 11 "), std::string::npos) << "only the first ten are named";

  // Frames without EXIF: no lines at all; one frame with a time: no interval lines.
  EXPECT_EQ(NL_captureSequenceLines(NL_captureSequence({shotAt(-1), shotAt(-1)}), {}), "");
  EXPECT_EQ(NL_captureSequenceLines(NL_captureSequence({shotAt(-1), shotAt(5)}), {}), "captureTimes=1 of 2\n");
}

// With a RAW decoder a RAW frame is a frame like any; without one it is
// refused at once by name, never read as the preview its TIFF layout holds.
TEST(RawDecode, ABuildWithoutTheDecoderRefusesRawFramesAndSaysWhy) {
  TempDir dir;
  const std::string dng = dir.file("IMG_0001.dng");
  testsupport::writeFile(dng, camerafiles::dngFile(patchScene(32, 32)));
  EXPECT_EQ(NL_isFrameFileName(dng), NL_rawDecoderAvailable());
  EXPECT_TRUE(NL_isFrameFileName(dir.file("a.JPG")) && NL_isFrameFileName(dir.file("b.tiff")));
  if (NL_rawDecoderAvailable()) {
    EXPECT_EQ(NL_imageFileProblem(dng), "");
    EXPECT_EQ(NL_frameFormatNames(), "TIFF, PNG, JPEG, WebP, BMP or camera RAW");
    return;
  }
  EXPECT_EQ(NL_imageFileProblem(dng), "is a camera RAW file, and this build reads none (it was built without LibRaw)");
  EXPECT_TRUE(NL_imreadWithRetry(dng, cv::IMREAD_UNCHANGED, 0, 0).empty());
  EXPECT_EQ(NL_frameFormatNames(), "TIFF, PNG, JPEG, WebP or BMP");
  // the EXIF reader needs no decoder
  EXPECT_TRUE(NL_readCaptureInfo(dng).hasTime);
}
