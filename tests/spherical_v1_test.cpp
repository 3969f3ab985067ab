// The 360-degree video tags of Spherical Video V1 in MP4 files that the
// ffmpeg program makes, read back by exiftool and by FFmpeg's own reader.
// Linux only: the peers are Linux programs.
#ifndef _WIN32
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "exiftool.h"
#include "test_pictures.h"
#include "video/spherical_v1.h"

namespace {

class SphericalV1Test : public ::testing::Test {
 protected:
  void SetUp() override { folder_ = ScratchFolder("spherical-v1-" + std::to_string(getpid())); }
  void TearDown() override { std::filesystem::remove_all(folder_); }

  // A short clip made by the ffmpeg program with `options` (its movie box at
  // the end unless they say otherwise).
  std::string MakeClip(const std::string& name, const std::string& options) {
    const std::string path = (folder_ / name).string();
    const std::string command = "ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=160x80:rate=10:duration=1 " +
                                options + " -c:v libx264 -pix_fmt yuv420p '" + path + "' 2>&1";
    const std::vector<uint8_t> complaints = CommandOutput(command);
    EXPECT_TRUE(complaints.empty()) << "ffmpeg (tools/setup-deps installs it): "
                                    << std::string(complaints.begin(), complaints.end());
    return path;
  }

  std::filesystem::path folder_;
};

std::string Output(const std::string& command) {
  const std::vector<uint8_t> output = CommandOutput(command);
  return {output.begin(), output.end()};
}

// The frames ffprobe decodes from the video stream.
std::string FrameCount(const std::string& path) {
  const std::string output = Output("ffprobe -v error -count_frames -select_streams v -show_entries "
                                    "stream=nb_read_frames -of default=nw=1:nk=1 '" + path + "'");
  return output.substr(0, output.find('\n'));
}

// The top-level `free` box the ffmpeg program leaves before `mdat` and the
// mdat's own 8-byte header become one 16-byte header with a 64-bit size, as
// the program writes it for media data past 4 GB: no offset moves.
void WidenMediaBox(const std::string& path) {
  std::vector<uint8_t> bytes = ReadBytes(path);
  const size_t ftyp = (size_t{bytes[0]} << 24) | (size_t{bytes[1]} << 16) | (size_t{bytes[2]} << 8) | bytes[3];
  ASSERT_EQ(std::memcmp(&bytes[ftyp + 4], "free", 4), 0);
  ASSERT_EQ(bytes[ftyp + 3], 8);
  ASSERT_EQ(std::memcmp(&bytes[ftyp + 12], "mdat", 4), 0);
  const uint64_t size = 8 + ((uint64_t{bytes[ftyp + 8]} << 24) | (uint64_t{bytes[ftyp + 9]} << 16) |
                             (uint64_t{bytes[ftyp + 10]} << 8) | bytes[ftyp + 11]);
  const uint8_t header[16] = {0, 0, 0, 1, 'm', 'd', 'a', 't', 0, 0, 0, 0, static_cast<uint8_t>(size >> 24),
                              static_cast<uint8_t>(size >> 16), static_cast<uint8_t>(size >> 8),
                              static_cast<uint8_t>(size)};
  std::memcpy(&bytes[ftyp], header, 16);
  WriteBytes(path, bytes);
}

// Each shape's tags, as exiftool reads them; the file still plays, and
// FFmpeg's reader finds the box in the video track (after an audio track
// here) and reports the stream as spherical.
TEST_F(SphericalV1Test, TheTagsOfEachShapeAreReadBackAndTheFileStillPlays) {
  struct Case {
    const char* name;
    SaveShape shape;
    int32_t width, height;
    const char* options;
    bool wideMedia;
    // FullPanoWidthPixels, CroppedAreaImageWidthPixels, CroppedAreaLeftPixels,
    // InitialViewHeadingDegrees, as exiftool prints them.
    const char* full;
    const char* cropped;
    const char* left;
    const char* heading;
  };
  const Case cases[] = {
      {"sphere.mp4", SaveShape::Sphere, 1920, 960, "", false, "(absent)", "(absent)", "(absent)", "(absent)"},
      {"square.mp4", SaveShape::Square, 1030, 1030, "-f lavfi -i sine=duration=1 -map 1:a -map 0:v -c:a aac", false,
       "2060", "1030", "515", "(absent)"},
      {"rectangle.mp4", SaveShape::Rectangle, 2048, 1024, "", true, "2048", "2048", "0", "270"},
  };
  for (const Case& c : cases) {
    const std::string path = MakeClip(c.name, c.options);
    if (c.wideMedia) WidenMediaBox(path);
    const std::string framesBefore = FrameCount(path);
    const Result result = InsertSphericalV1(path, SphericalV1Xml(c.shape, c.width, c.height));
    ASSERT_TRUE(result.ok()) << c.name << ": " << result.reason();

    const std::string json = ExiftoolJson(path);
    EXPECT_EQ(JsonValue(json, "XMP-GSpherical:Spherical"), "true") << c.name << "\n" << json;
    EXPECT_EQ(JsonValue(json, "XMP-GSpherical:Stitched"), "true") << c.name;
    EXPECT_EQ(JsonValue(json, "XMP-GSpherical:ProjectionType"), "equirectangular") << c.name;
    EXPECT_EQ(JsonValue(json, "XMP-GSpherical:StitchingSoftware"), "Quorvane 2.00") << c.name;
    EXPECT_EQ(JsonValue(json, "XMP-GSpherical:FullPanoWidthPixels"), c.full) << c.name;
    EXPECT_EQ(JsonValue(json, "XMP-GSpherical:CroppedAreaImageWidthPixels"), c.cropped) << c.name;
    EXPECT_EQ(JsonValue(json, "XMP-GSpherical:CroppedAreaLeftPixels"), c.left) << c.name;
    EXPECT_EQ(JsonValue(json, "XMP-GSpherical:InitialViewHeadingDegrees"), c.heading) << c.name;
    if (c.shape != SaveShape::Sphere) {
      EXPECT_EQ(JsonValue(json, "XMP-GSpherical:FullPanoHeightPixels"), std::to_string(c.height)) << c.name;
      EXPECT_EQ(JsonValue(json, "XMP-GSpherical:CroppedAreaImageHeightPixels"), std::to_string(c.height)) << c.name;
    }

    const std::string sideData = Output("ffprobe -v error -select_streams v -show_entries "
                                        "stream_side_data=side_data_type,projection -of csv=p=0 '" + path + "'");
    EXPECT_NE(sideData.find("Spherical Mapping,equirectangular"), std::string::npos) << c.name << ": " << sideData;
    EXPECT_EQ(framesBefore, "10") << c.name;
    EXPECT_EQ(FrameCount(path), framesBefore) << c.name;
    EXPECT_EQ(std::system(("ffmpeg -nostdin -v error -i '" + path + "' -f null - 2>/dev/null").c_str()), 0) << c.name;
  }
}

// What is not an MP4 with its movie box after the media data is refused,
// the file unchanged: a fast-start file, a Matroska file, a text named .mp4
// and a file cut in its movie box.
TEST_F(SphericalV1Test, OtherFilesAreRefusedAndLeftAsTheyWere) {
  const std::string faststart = MakeClip("faststart.mp4", "-movflags +faststart");
  const std::string matroska = MakeClip("clip.mkv", "");
  const std::string text = (folder_ / "notes.mp4").string();
  WriteBytes(text, std::vector<uint8_t>{'3', '6', '0', ' ', 'c', 'l', 'i', 'p', '\n'});
  const std::string cut = MakeClip("cut.mp4", "");
  std::vector<uint8_t> cutBytes = ReadBytes(cut);
  cutBytes.resize(cutBytes.size() - 100);
  WriteBytes(cut, cutBytes);
  const std::string xml = SphericalV1Xml(SaveShape::Sphere, 160, 80);
  for (const std::string& path : {faststart, matroska, text, cut}) {
    const std::vector<uint8_t> before = ReadBytes(path);
    const Result result = InsertSphericalV1(path, xml);
    EXPECT_FALSE(result.ok()) << path;
    EXPECT_TRUE(ReadBytes(path) == before) << path;
  }
  // A second insertion would leave two boxes that may disagree.
  const std::string twice = MakeClip("twice.mp4", "");
  ASSERT_TRUE(InsertSphericalV1(twice, xml).ok());
  const std::vector<uint8_t> once = ReadBytes(twice);
  EXPECT_FALSE(InsertSphericalV1(twice, xml).ok());
  EXPECT_TRUE(ReadBytes(twice) == once);
}

}  // namespace
#endif
