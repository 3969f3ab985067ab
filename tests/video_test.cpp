// The converter on videos: frame for frame against the engine's own entry
// points (lossless FFV1 in and out), two lenses through H.264 against the
// world they saw, the spherical metadata as ffprobe reads it, and files that
// are broken, hostile or interrupted. Clips are made and read back by the
// ffmpeg programs, which owe nothing to the converter's own reading and
// writing.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "cli/convert.h"
#include "exiftool.h"
#include "lens_model.h"
#include "realistic_pictures.h"
#include "test_pictures.h"
#include "transform/clip_map.h"
#include "transform/dual_lens.h"
#include "transform/resample.h"
#include "video/convert_video.h"
#include "video/video_reader.h"

namespace fs = std::filesystem;
using namespace lens_model;

namespace {

constexpr int kFramesPerSecond = 25;

// A clip in memory: frames in the program's layout, all of one size.
struct Clip {
  int32_t width = 0;
  int32_t height = 0;
  std::vector<std::vector<uint8_t>> frames;
  PixelBuffer Frame(size_t i) { return {frames[i].data(), width, height}; }
};

std::string Quoted(const fs::path& path) {
  std::string quoted(1, '\'');
  quoted.append(path.string()).push_back('\'');
  return quoted;
}

int Shell(const std::string& command) { return std::system(command.c_str()); }

// Writes `clip` as raw top-down bgr0 and has ffmpeg encode it with
// `encoding` (its output options and file), a sine tone beside it when
// `audio` names the tone's codec.
void EncodeClip(Clip& clip, const fs::path& folder, const std::string& encoding, const std::string& audio = "") {
  const fs::path raw = folder / "frames.raw";
  {
    std::FILE* file = std::fopen(raw.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    for (size_t i = 0; i < clip.frames.size(); ++i) {
      const PixelBuffer frame = clip.Frame(i);
      for (int32_t top = 0; top < frame.height; ++top)
        std::fwrite(frame.Row(frame.height - 1 - top), 1, frame.RowBytes(), file);
    }
    std::fclose(file);
  }
  const double seconds = double(clip.frames.size()) / kFramesPerSecond;
  std::string command = "ffmpeg -v error -y -f rawvideo -pix_fmt bgr0 -s " + std::to_string(clip.width) + "x" +
                        std::to_string(clip.height) + " -framerate " + std::to_string(kFramesPerSecond) + " -i " +
                        Quoted(raw);
  if (!audio.empty())
    command += " -f lavfi -i sine=frequency=440:duration=" + std::to_string(seconds) + " -c:a " + audio;
  ASSERT_EQ(Shell(command + " " + encoding), 0) << command;
  fs::remove(raw);
}

// Every frame of the first video stream of `file`, decoded by ffmpeg to bgr0
// (the program's layout).
Clip DecodeWithFfmpeg(const fs::path& file, int32_t width, int32_t height) {
  const std::vector<uint8_t> bytes =
      CommandOutput("ffmpeg -v error -i " + Quoted(file) + " -map 0:v:0 -f rawvideo -pix_fmt bgr0 -");
  Clip clip{width, height, {}};
  const size_t frameBytes = size_t{4} * width * height;
  for (size_t at = 0; at + frameBytes <= bytes.size(); at += frameBytes) {
    std::vector<uint8_t> frame(frameBytes);
    for (int32_t top = 0; top < height; ++top)
      std::copy_n(bytes.begin() + at + size_t{4} * width * top, 4 * width,
                  frame.begin() + size_t{4} * width * (height - 1 - top));
    clip.frames.push_back(std::move(frame));
  }
  return clip;
}

std::string Text(const std::vector<uint8_t>& bytes) { return {bytes.begin(), bytes.end()}; }

// ffprobe's text for `entries` of the streams `select` picks.
std::string Probe(const fs::path& file, const std::string& select, const std::string& entries) {
  return Text(CommandOutput("ffprobe -v error -select_streams " + select + " -show_entries " + entries +
                            " -of compact " + Quoted(file)));
}

// The checksum of a stream's packets, as they are stored.
std::string PacketChecksum(const fs::path& file, const std::string& stream) {
  return Text(CommandOutput("ffmpeg -v error -i " + Quoted(file) + " -map 0:" + stream + " -c copy -f md5 -"));
}

class VideoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = ScratchFolder("video-" + std::to_string(getpid()) + "-" +
                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
  }
  void TearDown() override {
    if (!HasFailure()) fs::remove_all(folder_);
  }

  int Run(std::vector<std::string> args) {
    args.insert(args.begin(), "quorvane-convert");
    std::vector<const char*> argv;
    for (const std::string& arg : args) argv.push_back(arg.c_str());
    std::ostringstream out;
    err_.str("");
    return RunConverter(static_cast<int>(argv.size()), argv.data(), out, err_);
  }

  fs::path Path(const std::string& name) const { return folder_ / name; }

  // Files in the folder whose names hold `part`.
  std::vector<std::string> FilesWith(const std::string& part) const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder_)) {
      const std::string name = entry.path().filename().string();
      if (name.find(part) != std::string::npos) names.push_back(name);
    }
    return names;
  }

  fs::path folder_;
  std::ostringstream err_;
};

// A world with a finer texture over the smooth pattern, for the alignment.
double TexturedWorld(int channel, Vector3 d) {
  return 0.75 * PatternAt(channel, d) + 28 + 30 * std::sin(23 * d.x + 5 * d.z) * std::cos(19 * d.y - 11 * d.z);
}

// The camera turning slowly to the right: frame i's yaw in degrees.
double YawOfFrame(size_t i) { return 0.8 * static_cast<double>(i); }

// One fisheye turning: the program's layout, `height` high, 4:3.
Clip OneLensClip(const Lens& lens, int32_t height, size_t frames) {
  Clip clip{height * 4 / 3, height, {}};
  for (size_t i = 0; i < frames; ++i) {
    std::vector<uint8_t> frame(size_t{4} * clip.width * height);
    Lens turned = lens;
    turned.yawDegrees = YawOfFrame(i);
    RenderFisheyeInto({frame.data(), clip.width, height}, 0, clip.width, turned, CameraOf(turned),
                      CircleOf(lens, clip.width, height), TexturedWorld);
    clip.frames.push_back(std::move(frame));
  }
  return clip;
}

// A two-lens camera turning, its back lens at `lens.back` from straight
// behind and `backExposure` as bright.
Clip TwoLensClip(const DualLens& lens, int32_t height, size_t frames, double backExposure) {
  Clip clip{2 * height, height, {}};
  for (size_t i = 0; i < frames; ++i) {
    std::vector<uint8_t> frame(size_t{4} * clip.width * height);
    const PixelBuffer picture{frame.data(), clip.width, height};
    Lens turned = lens.front;
    turned.yawDegrees = YawOfFrame(i);
    const Camera front = CameraOf(turned);
    const Camera back = BackCameraOf(front, lens.back.yawDegrees, lens.back.pitchDegrees, lens.back.rollDegrees);
    RenderFisheyeInto(picture, 0, height, lens.front, front, FrontCircleOf(lens, clip.width, height), TexturedWorld);
    RenderFisheyeInto(picture, height, height, lens.front, back, BackCircleOf(lens, clip.width, height),
                      TexturedWorld, backExposure);
    clip.frames.push_back(std::move(frame));
  }
  return clip;
}

// Circles a little off their halves' centres, for frames `height` high.
DualLens TestDualLens(int32_t height) {
  const double scale = height / 360.0;
  DualLens lens;
  lens.front.fovDegrees = 200;
  lens.front.circle = ImageCircle{180.6 * scale, 179.2 * scale, 176 * scale};
  lens.backCircle = ImageCircle{179.1 * scale, 180.8 * scale, 175 * scale};
  lens.back = {0.6, -0.4, 0.3};
  return lens;
}

std::string CircleText(const DualLens& lens) {
  const auto text = [](const ImageCircle& c) {
    std::ostringstream s;
    s << c.x << "," << c.y << "," << c.radius;
    return s.str();
  };
  return text(*lens.front.circle) + "," + text(*lens.backCircle);
}

// Lossless in and out: each frame of the converted clip is the engine's
// panorama of that frame, bit for bit, for one lens (TransformPicture) and for
// two (StitchDualPicture with the clip's smoothed gains); the frames' times
// and the sound's packets are the input's.
TEST_F(VideoTest, FrameForFrameWithFfv1) {
  struct Case {
    const char* name;
    bool dual;
  };
  for (const Case& c : {Case{"one lens", false}, Case{"two lenses", true}}) {
    SCOPED_TRACE(c.name);
    Lens lens;
    lens.model = LensModel::Equisolid;
    lens.fovDegrees = 180;
    DualLens dual = TestDualLens(180);
    Clip input = c.dual ? TwoLensClip(dual, 180, 30, 0.85) : OneLensClip(lens, 150, 12);
    const fs::path in = Path(std::string(c.name) + ".mkv");
    EncodeClip(input, folder_, "-c:v ffv1 -pix_fmt bgr0 " + Quoted(in), "pcm_s16le");
    const fs::path out = Path(std::string(c.name) + "-out.mkv");
    std::vector<std::string> args = {"--codec", "ffv1", "-o", out.string(), in.string()};
    if (c.dual) {
      for (const std::string& arg :
           {std::string("--dual"), std::string("--fov"), std::string("200"), std::string("--circle"), CircleText(dual),
            std::string("--back-yaw"), std::string("0.6"), std::string("--back-pitch"), std::string("-0.4"),
            std::string("--back-roll"), std::string("0.3")})
        args.push_back(arg);
    } else {
      for (const char* arg : {"--lens", "equisolid", "--fov", "180"}) args.push_back(arg);
    }
    ASSERT_EQ(Run(args), 0) << err_.str();

    const int32_t side = input.height;
    const PanoramaSize size = c.dual ? DualSphereSize(input.width, side, side)
                                     : PanoramaSizeFor(lens, SaveShape::Sphere, input.width, side, side);
    Clip output = DecodeWithFfmpeg(out, size.width, size.height);
    ASSERT_EQ(output.frames.size(), input.frames.size());
    std::vector<int64_t> times;
    std::vector<ChannelGains> gains;
    for (size_t i = 0; i < input.frames.size(); ++i) {
      times.push_back(static_cast<int64_t>(i) * 40);  // Matroska's milliseconds
      gains.push_back(MatchExposure(input.Frame(i), dual));
    }
    for (size_t i = 0; i < input.frames.size(); ++i) {
      std::vector<uint8_t> expected(size_t{4} * size.width * size.height, 0);
      const PixelBuffer panorama{expected.data(), size.width, size.height};
      if (c.dual) {
        StitchDualPicture(input.Frame(i), panorama, dual, SmoothedGains(times, gains, i, 500), 1);
      } else {
        TransformPicture(input.Frame(i), panorama, lens, 1);
      }
      // The unused fourth byte is not kept by the codec.
      for (size_t b = 3; b < expected.size(); b += 4) expected[b] = output.frames[i][b];
      ASSERT_TRUE(output.frames[i] == expected) << "frame " << i;
    }
    EXPECT_EQ(Probe(out, "v:0", "packet=pts"), Probe(in, "v:0", "packet=pts"));
    EXPECT_EQ(PacketChecksum(out, "a:0"), PacketChecksum(in, "a:0"));
  }
}

// Two lenses through H.264 at the default settings: the circles given, the
// back lens's offset found on the clip, the back lens 20% darker. Every frame
// shows the world (turned with the camera) at 35 dB or more, and the sphere's
// brightness, which a turn about the vertical does not change, holds from
// frame to frame within a level. From a lossless RGB clip (through the
// program's pixels) and from H.264 clips in BT.709, at limited range (taken
// plane by plane as they are) and at full range (converted to limited). A
// 4:2:0 clip has already lost the world's finest colour before the converter
// sees it: those frames measured 31.9 dB, and 30.5 dB through the program's
// pixels instead of plane by plane.
TEST_F(VideoTest, TwoLensesThroughH264MatchTheWorldWithoutFlicker) {
  const int32_t height = 360;
  const DualLens lens = TestDualLens(height);
  Clip input = TwoLensClip(lens, height, 40, 0.8);
  const std::string bt709 = "-colorspace bt709 -color_primaries bt709 -color_trc bt709 ";
  struct Case {
    const char* name;
    std::string encoding;
    double leastDecibels;
  };
  const Case cases[] = {
      {"camera.mkv", "-c:v ffv1 -pix_fmt bgr0 ", 35.0},
      {"camera.mp4", "-c:v libx264 -crf 10 -pix_fmt yuv420p -color_range tv " + bt709, 31.5},
      {"full-range.mp4", "-c:v libx264 -crf 10 -pix_fmt yuvj420p -color_range pc " + bt709, 31.5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path in = Path(c.name);
    EncodeClip(input, folder_, c.encoding + Quoted(in));
    const fs::path out = Path("panorama.mp4");
    ASSERT_EQ(Run({"--force", "--dual", "--fov", "200", "--circle", CircleText(lens), "--align", "-o", out.string(),
                   in.string()}),
              0)
        << err_.str();
    EXPECT_NE(err_.str().find("back lens: yaw 0.6"), std::string::npos) << err_.str();
    Clip output = DecodeWithFfmpeg(out, 2 * height, height);
    ASSERT_EQ(output.frames.size(), input.frames.size());
    std::vector<double> means;
    for (size_t i = 0; i < output.frames.size(); ++i) {
      std::vector<uint8_t> world(output.frames[i].size(), 0);
      Lens turned;
      turned.yawDegrees = YawOfFrame(i);
      const Camera camera = CameraOf(turned);
      double sum = 0;
      for (int32_t y = 0; y < height; ++y) {
        for (int32_t x = 0; x < 2 * height; ++x) {
          const Vector3 d = PanoramaDirection(x, y, 2 * height, height);
          const Vector3 seen = d.x * camera.right + d.y * camera.up + d.z * camera.ahead;
          uint8_t* pixel = &world[4 * (size_t{2} * height * y + x)];
          for (int ch = 0; ch < 3; ++ch) {
            pixel[ch] = Level(TexturedWorld(ch, seen));
            sum += output.frames[i][4 * (size_t{2} * height * y + x) + ch];
          }
        }
      }
      EXPECT_GE(PsnrOf(output.frames[i], world), c.leastDecibels) << "frame " << i;
      means.push_back(sum / (3.0 * 2 * height * height));
    }
    for (size_t i = 1; i < means.size(); ++i) EXPECT_LE(std::abs(means[i] - means[i - 1]), 1.0) << "frame " << i;
  }
}

// H.264 in and out, lossless both ways: each frame's planes are those of the
// clip maps on the decoded frame's planes, black (16, 128, 128) where the
// lens sees nothing, and no colour conversion comes between. The frames come
// at a variable rate, further apart each time, and keep their times.
TEST_F(VideoTest, FrameForFramePlaneByPlane) {
  Lens lens;
  lens.model = LensModel::Equisolid;
  lens.fovDegrees = 190;
  Clip input = OneLensClip(lens, 150, 6);
  const fs::path in = Path("lens.mp4");
  EncodeClip(input, folder_,
             "-vf 'settb=1/1000,setpts=N*(N+8)/(8*25*TB)' -fps_mode passthrough -enc_time_base:v 1:1000 "
             "-c:v libx264 -qp 0 -pix_fmt yuv420p -colorspace bt709 " + Quoted(in));
  const fs::path out = Path("lens-panorama.mp4");
  ASSERT_EQ(Run({"--lens", "equisolid", "--fov", "190", "--crf", "0", "-o", out.string(), in.string()}), 0)
      << err_.str();
  const int32_t width = input.width;
  const int32_t height = input.height;
  const PanoramaSize size = PanoramaSizeFor(lens, SaveShape::Sphere, width, height, height);
  const auto planesOf = [](const fs::path& file) {
    return CommandOutput("ffmpeg -v error -i " + Quoted(file) + " -f rawvideo -pix_fmt yuv420p -");
  };
  const std::vector<uint8_t> frames = planesOf(in);
  const std::vector<uint8_t> panoramas = planesOf(out);
  const size_t frameBytes = size_t{3} * width * height / 2;
  const size_t panoramaBytes = size_t{3} * size.width * size.height / 2;
  ASSERT_EQ(frames.size(), input.frames.size() * frameBytes);
  ASSERT_EQ(panoramas.size(), input.frames.size() * panoramaBytes);
  ClipMap luma = ClipMap::ForLens(lens, width, height, size, 1);
  ClipMap chroma = ClipMap::ForLens(lens, width, height, size, 1, true);
  ASSERT_TRUE(luma.AddressPlane(width) && chroma.AddressPlane(width / 2));
  const PlaneGain same;
  for (size_t i = 0; i < input.frames.size(); ++i) {
    const uint8_t* frame = &frames[i * frameBytes];
    std::vector<uint8_t> expected(panoramaBytes, 128);
    std::fill_n(expected.begin(), size_t{1} * size.width * size.height, 16);
    const size_t lumaBytes = size_t{1} * size.width * size.height;
    const ClipMap::Plane lumaPlane{frame, expected.data(), same};
    const ClipMap::Plane chromaPlanes[2] = {
        {frame + size_t{1} * width * height, expected.data() + lumaBytes, same},
        {frame + size_t{5} * width * height / 4, expected.data() + lumaBytes * 5 / 4, same}};
    luma.ApplyPlanes(&lumaPlane, 1, size.width, 1);
    chroma.ApplyPlanes(chromaPlanes, 2, size.width / 2, 1);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), panoramas.begin() + i * panoramaBytes)) << "frame " << i;
  }
  const std::string times = Probe(in, "v:0", "frame=pts_time");
  EXPECT_EQ(Probe(out, "v:0", "frame=pts_time"), times);
  EXPECT_NE(times.find("frame|pts_time=0.325000"), std::string::npos) << times;  // frame 5: 5 * 13 / 200 s
}

// A two-lens camera's video of a real scene (the forest photograph), as a
// camera records it: vignetted, the back lens 20% darker, noisy, H.264 in
// BT.709. The circles and the alignment found on the clip are the camera's,
// every frame shows the scene, and the sphere's brightness holds.
TEST_F(VideoTest, TwoLensVideoOfARealScene) {
  const int32_t height = 360;
  const DualLens lens = TestDualLens(height);
  const realistic::Picture& world = realistic::WorldPhoto("forest.jpg");
  Clip input{2 * height, height, {}};
  for (size_t i = 0; i < 16; ++i) {
    DualLens turned = lens;
    turned.front.yawDegrees = YawOfFrame(i);
    const ImageCircle frontCircle = FrontCircleOf(turned, input.width, height);
    const ImageCircle backCircle = BackCircleOf(turned, input.width, height);
    realistic::Picture front = realistic::RenderFisheye(world, height, height, turned.front, frontCircle);
    realistic::Picture back = realistic::RenderFisheye(world, height, height, BackLensOf(turned), backCircle);
    realistic::Vignette(front, frontCircle, 0.7);
    realistic::Vignette(back, backCircle, 0.7);
    realistic::ScaleLight(back, 0.8);
    realistic::Picture frame;
    frame.width = input.width;
    frame.height = height;
    frame.pixels.resize(size_t{4} * input.width * height);
    for (int32_t y = 0; y < height; ++y) {
      std::memcpy(frame.At(0, y), front.At(0, y), size_t{4} * height);
      std::memcpy(frame.At(height, y), back.At(0, y), size_t{4} * height);
    }
    realistic::AddNoise(frame, 4.0, static_cast<uint32_t>(i + 1));
    // The clip's frames are bottom-up, as the program's pictures are.
    std::vector<uint8_t> pixels(frame.pixels.size());
    for (int32_t y = 0; y < height; ++y)
      std::memcpy(&pixels[size_t{4} * input.width * (height - 1 - y)], frame.At(0, y), size_t{4} * input.width);
    input.frames.push_back(std::move(pixels));
  }
  const fs::path in = Path("forest.mp4");
  EncodeClip(input, folder_, "-c:v libx264 -crf 14 -pix_fmt yuv420p -colorspace bt709 " + Quoted(in));
  const fs::path out = Path("forest-panorama.mp4");
  ASSERT_EQ(Run({"--dual", "--fov", "200", "--circle", "auto", "--align", "-o", out.string(), in.string()}), 0)
      << err_.str();
  const auto printed = PrintedBackLens(err_.str());
  ASSERT_TRUE(printed) << err_.str();
  EXPECT_NEAR(std::stod((*printed)[0]), lens.back.yawDegrees, 0.2) << err_.str();
  EXPECT_NEAR(std::stod((*printed)[1]), lens.back.pitchDegrees, 0.2) << err_.str();
  EXPECT_NEAR(std::stod((*printed)[2]), lens.back.rollDegrees, 0.3) << err_.str();

  Clip output = DecodeWithFfmpeg(out, 2 * height, height);
  ASSERT_EQ(output.frames.size(), input.frames.size());
  std::vector<double> means;
  for (size_t i = 0; i < output.frames.size(); ++i) {
    Lens turned;
    turned.yawDegrees = YawOfFrame(i);
    const Camera camera = CameraOf(turned);
    std::vector<uint8_t> scene(output.frames[i].size(), 0);
    double sum = 0;
    for (int32_t y = 0; y < height; ++y) {
      for (int32_t x = 0; x < 2 * height; ++x) {
        const Vector3 d = PanoramaDirection(x, y, 2 * height, height);
        const realistic::Colour colour =
            realistic::WorldColour(world, d.x * camera.right + d.y * camera.up + d.z * camera.ahead);
        uint8_t* pixel = &scene[4 * (size_t{2} * height * y + x)];
        pixel[0] = Level(colour.blue);
        pixel[1] = Level(colour.green);
        pixel[2] = Level(colour.red);
        for (int c = 0; c < 3; ++c) sum += output.frames[i][4 * (size_t{2} * height * y + x) + c];
      }
    }
    // Vignetting darkens the rims, which the panorama keeps (measured 25.5 to
    // 25.8 dB): a floor that a misplaced or turned sphere falls below.
    EXPECT_GE(PsnrOf(output.frames[i], scene), 23.5) << "frame " << i;
    means.push_back(sum / (3.0 * 2 * height * height));
  }
  for (size_t i = 1; i < means.size(); ++i) EXPECT_LE(std::abs(means[i] - means[i - 1]), 1.0) << "frame " << i;
}

// Each shape's spherical metadata, as ffprobe reads it from either file (an
// MP4 of H.264, a Matroska file of HEVC).
TEST_F(VideoTest, TheSphericalMetadataOfEachShape) {
  Lens lens;
  Clip input = OneLensClip(lens, 64, 3);
  const fs::path in = Path("lens.mkv");
  EncodeClip(input, folder_, "-c:v ffv1 -pix_fmt bgr0 " + Quoted(in));
  struct Case {
    const char* shape;
    const char* projection;
    const char* detail;
  };
  const Case cases[] = {
      {"sphere", "projection=equirectangular", "yaw=0"},
      {"square", "projection=tiled equirectangular", "bound_right="},
      {"rectangle", "projection=equirectangular", "yaw=-90"},
  };
  for (const Case& c : cases) {
    for (const char* extension : {".mp4", ".mkv"}) {
      SCOPED_TRACE(std::string(c.shape) + extension);
      const fs::path out = Path(std::string(c.shape) + extension);
      const std::string codec = std::string(extension) == ".mp4" ? "h264" : "hevc";
      ASSERT_EQ(Run({"--shape", c.shape, "--codec", codec, "-o", out.string(), in.string()}), 0) << err_.str();
      const std::string sideData = Probe(out, "v:0", "stream_side_data");
      EXPECT_NE(sideData.find("Spherical Mapping"), std::string::npos) << sideData;
      EXPECT_NE(sideData.find(c.projection), std::string::npos) << sideData;
      EXPECT_NE(sideData.find(c.detail), std::string::npos) << sideData;
      const std::string stream = Probe(out, "v:0", "stream=codec_name,pix_fmt,color_space,color_range");
      EXPECT_NE(stream.find("codec_name=" + codec + "|pix_fmt=yuv420p|color_range=tv|color_space=bt709"),
                std::string::npos)
          << stream;
      if (std::string(extension) == ".mp4") {
        const std::string json = ExiftoolJson(out);
        EXPECT_EQ(JsonValue(json, "XMP-GSpherical:Spherical"), "true") << json;
      }
    }
  }
}

// Files that are no video the converter can convert: each fails with its
// reason (exit 1) and leaves no file behind, not even a temporary one.
TEST_F(VideoTest, BrokenAndHostileFilesFailWithTheirReason) {
  Lens lens;
  Clip input = OneLensClip(lens, 96, 50);
  const fs::path whole = Path("whole.mp4");
  EncodeClip(input, folder_, "-c:v libx264 -preset ultrafast -pix_fmt yuv420p -movflags +faststart " + Quoted(whole));
  const fs::path wholeMkv = Path("whole.mkv");
  EncodeClip(input, folder_, "-c:v ffv1 " + Quoted(wholeMkv));
  const auto cutInHalf = [&](const fs::path& from, const std::string& name) {
    std::vector<uint8_t> bytes = ReadBytes(from);
    bytes.resize(bytes.size() / 2);
    WriteBytes(Path(name), bytes);
  };
  cutInHalf(whole, "cut.mp4");
  cutInHalf(wholeMkv, "cut.mkv");
  ASSERT_EQ(Shell("ffmpeg -v error -f lavfi -i sine=duration=1 -c:a aac " + Quoted(Path("sound.mp4"))), 0);
  WriteBytes(Path("notes.mp4"), std::vector<uint8_t>{'h', 'e', 'l', 'l', 'o', '\n'});
  const std::string playlist = "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXTINF:2,\nwhole.mp4\n#EXT-X-ENDLIST\n";
  WriteBytes(Path("list.mp4"), std::vector<uint8_t>(playlist.begin(), playlist.end()));
  const std::string concat = "ffconcat version 1.0\nfile whole.mp4\n";
  WriteBytes(Path("concat.mkv"), std::vector<uint8_t>(concat.begin(), concat.end()));
  struct Case {
    const char* file;
    const char* reason;
  };
  const Case cases[] = {
      {"cut.mp4", "breaks off after frame"},        {"cut.mkv", "breaks off after frame"},
      {"sound.mp4", "holds no video stream"},       {"notes.mp4", "is not a video the program can read"},
      {"list.mp4", "is not a video the program can read"}, {"concat.mkv", "is not a video the program can read"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    const fs::path out = Path(std::string("out-") + c.file);
    EXPECT_EQ(Run({"-o", out.string(), Path(c.file).string()}), 1);
    EXPECT_NE(err_.str().find(std::string(c.file) + ": failed: " + c.reason), std::string::npos) << err_.str();
    EXPECT_FALSE(fs::exists(out));
    EXPECT_TRUE(FilesWith(".part").empty());
  }
  // The reader alone refuses a playlist however it is named.
  fs::copy_file(Path("list.mp4"), Path("list.m3u8"));
  VideoReader reader;
  EXPECT_FALSE(reader.Open(Path("list.m3u8").string(), 1).ok());
  // And the whole files convert.
  EXPECT_EQ(Run({"-o", Path("whole-out.mkv").string(), "--codec", "ffv1", whole.string()}), 0) << err_.str();
}

// Sound a container cannot hold, and options that do not fit the file or the
// input: failures and usage errors with what to do.
TEST_F(VideoTest, OptionsThatDoNotFitAreRefused) {
  Lens lens;
  Clip input = OneLensClip(lens, 64, 3);
  const fs::path in = Path("lens.mkv");
  EncodeClip(input, folder_, "-c:v ffv1 " + Quoted(in), "pcm_s16le");
  EXPECT_EQ(Run({"-o", Path("out.mp4").string(), in.string()}), 1);
  EXPECT_NE(err_.str().find("use -o NAME.mkv"), std::string::npos) << err_.str();
  EXPECT_FALSE(fs::exists(Path("out.mp4")));
  struct Case {
    std::vector<std::string> args;
    const char* message;
  };
  const std::string video = in.string();
  const Case cases[] = {
      {{"--codec", "ffv1", "-o", Path("a.mp4").string(), video}, "Matroska files only"},
      {{"--codec", "ffv1", "--crf", "20", video}, "lossless"},
      {{"--codec", "ffv1", "--preset", "fast", video}, "lossless"},
      {{"--quality", "90", video}, "is a video"},
      {{"--depth", "16", video}, "its frames have 8 bits"},
      {{"-o", Path("a.jpg").string(), video}, "names a picture"},
      {{"--crf", "52", video}, "--crf"},
      {{"--preset", "sluggish", video}, "--preset"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args[1]);
    EXPECT_EQ(Run(c.args), 2);
    EXPECT_NE(err_.str().find(c.message), std::string::npos) << err_.str();
  }
}

// A clip the player shows turned (its display matrix) converts as a picture
// with that EXIF orientation does: as the camera rolled. Two lenses so stored
// are refused.
TEST_F(VideoTest, ADisplayMatrixTurnsTheCameraAsExifOrientationDoes) {
  Lens lens;
  Clip input = OneLensClip(lens, 96, 3);
  const fs::path upright = Path("upright.mp4");
  EncodeClip(input, folder_, "-c:v libx264 -preset ultrafast -pix_fmt yuv420p " + Quoted(upright));
  const fs::path turned = Path("turned.mp4");
  ASSERT_EQ(Shell("ffmpeg -v error -i " + Quoted(upright) + " -c copy -metadata:s:v:0 rotate=90 " + Quoted(turned)), 0);
  ASSERT_EQ(Run({"--codec", "ffv1", "-o", Path("a.mkv").string(), turned.string()}), 0) << err_.str();
  // rotate=90 is a quarter turn anticlockwise for display (EXIF orientation 8).
  ASSERT_EQ(Run({"--codec", "ffv1", "--roll", "-90", "-o", Path("b.mkv").string(), upright.string()}), 0) << err_.str();
  ASSERT_EQ(Run({"--codec", "ffv1", "-o", Path("c.mkv").string(), upright.string()}), 0) << err_.str();
  const Clip a = DecodeWithFfmpeg(Path("a.mkv"), 192, 96);
  ASSERT_EQ(a.frames.size(), 3u);
  EXPECT_TRUE(a.frames == DecodeWithFfmpeg(Path("b.mkv"), 192, 96).frames);
  EXPECT_FALSE(a.frames == DecodeWithFfmpeg(Path("c.mkv"), 192, 96).frames);

  DualLens dual = TestDualLens(64);
  Clip pair = TwoLensClip(dual, 64, 2, 1.0);
  const fs::path pairUpright = Path("pair-upright.mp4");
  EncodeClip(pair, folder_, "-c:v libx264 -preset ultrafast -pix_fmt yuv420p " + Quoted(pairUpright));
  const fs::path pairFile = Path("pair.mp4");
  ASSERT_EQ(Shell("ffmpeg -v error -i " + Quoted(pairUpright) + " -c copy -metadata:s:v:0 rotate=180 " +
                  Quoted(pairFile)),
            0);
  EXPECT_EQ(Run({"--dual", "--fov", "200", pairFile.string()}), 1);
  EXPECT_NE(err_.str().find("two-lens video shown turned"), std::string::npos) << err_.str();
}

// The gains a frame is stitched with: the mean over the frames within the
// half window either side, fewer at the clip's ends.
TEST(SmoothedGainsTest, TheMeanOverTheFramesWithinHalfASecond) {
  const std::vector<int64_t> times = {0, 40, 80, 120, 160, 200};
  std::vector<ChannelGains> gains;
  for (double g : {1.0, 1.2, 0.8, 1.0, 1.6, 0.4}) gains.push_back({g, 2 * g, 3 * g});
  struct Case {
    size_t at;
    int64_t halfWindow;
    double blue;
  };
  const Case cases[] = {
      {0, 0, 1.0},            // no window: the frame's own
      {0, 40, 1.1},           // the first frame: itself and the next
      {2, 40, 1.0},           // 1.2, 0.8, 1.0
      {5, 40, 1.0},           // the last: 1.6 and 0.4
      {3, 1000, 1.0},         // every frame
      {4, 39, 1.6},           // a window just short of the neighbours
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.at);
    const ChannelGains mean = SmoothedGains(times, gains, c.at, c.halfWindow);
    EXPECT_NEAR(mean.blue, c.blue, 1e-12);
    EXPECT_NEAR(mean.green, 2 * c.blue, 1e-12);
    EXPECT_NEAR(mean.red, 3 * c.blue, 1e-12);
  }
}

// Ctrl-C in the middle of a long clip: the program ends as interrupted and
// no part of the output is left.
TEST_F(VideoTest, AnInterruptedRunLeavesNoPartFile) {
  Lens lens;
  Clip input = OneLensClip(lens, 480, 2);
  const fs::path one = Path("one.mkv");
  EncodeClip(input, folder_, "-c:v ffv1 " + Quoted(one));
  const fs::path in = Path("long.mkv");
  ASSERT_EQ(Shell("ffmpeg -v error -stream_loop 400 -i " + Quoted(one) + " -c copy " + Quoted(in)), 0);
  const fs::path out = Path("long-panorama.mp4");
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const char* argv[] = {"quorvane-convert", "--preset", "veryslow", "-q", in.c_str(), nullptr};
    std::ostringstream sink;
    _exit(RunConverter(5, argv, sink, sink));
  }
  // Until the temporary file is there, then a moment more.
  for (int wait = 0; wait < 200 && FilesWith(".part").empty(); ++wait) usleep(50'000);
  usleep(300'000);
  ASSERT_EQ(kill(child, SIGINT), 0);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
  EXPECT_FALSE(fs::exists(out));
  EXPECT_TRUE(FilesWith(".part").empty());
}

}  // namespace
