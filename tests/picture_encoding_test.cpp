// Saved JPEG and PNG files: the pixels come back through decoders that are
// not ours (PNG exactly, JPEG within a PSNR bound), the metadata goes where
// readers look without moving a byte the encoder wrote, and another reader
// (exiftool) finds every panorama value.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <optional>

#ifdef _WIN32
#include <windows.h>
#include <wincodec.h>
#else
#include <png.h>
#endif

#include "exiftool.h"
#include "imageio/bmp_writer.h"
#include "imageio/camera_metadata.h"
#include "imageio/decode_picture.h"
#include "imageio/jpeg_header.h"
#include "imageio/panorama_xmp.h"
#include "imageio/picture_encoding.h"
#include "test_pictures.h"

namespace fs = std::filesystem;

namespace {

bool UnderWine() {
#ifdef _WIN32
  const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
  return false;
#endif
}

// Wine's JPEG encoder ignores quality and subsampling: always 75 at 4:2:0,
// which halves the colour resolution of the F's saturated red and blue edges.
// Only across a thousand columns are they few enough for 30 dB.
double LeastJpegPsnr(int32_t width) {
  if (!UnderWine()) return 40.0;
  return width >= 1000 ? 30.0 : 0.0;
}

// A PNG file's pixels in the program's layout: by WIC on Windows, by libpng
// elsewhere. Empty when it does not decode.
#ifdef _WIN32
std::vector<uint8_t> DecodePng(const std::vector<uint8_t>& file, int32_t& width, int32_t& height) {
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  std::vector<uint8_t> pixels;
  IWICImagingFactory* factory = nullptr;
  IWICStream* stream = nullptr;
  IWICBitmapDecoder* decoder = nullptr;
  IWICBitmapFrameDecode* frame = nullptr;
  IWICBitmapSource* converted = nullptr;
  UINT frameWidth = 0, frameHeight = 0;
  if (SUCCEEDED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                                 reinterpret_cast<void**>(&factory))) &&
      SUCCEEDED(factory->CreateStream(&stream)) &&
      SUCCEEDED(stream->InitializeFromMemory(const_cast<BYTE*>(file.data()), static_cast<DWORD>(file.size()))) &&
      SUCCEEDED(factory->CreateDecoderFromStream(stream, nullptr, WICDecodeMetadataCacheOnDemand, &decoder)) &&
      SUCCEEDED(decoder->GetFrame(0, &frame)) &&
      SUCCEEDED(WICConvertBitmapSource(GUID_WICPixelFormat32bppBGR, frame, &converted)) &&
      SUCCEEDED(converted->GetSize(&frameWidth, &frameHeight))) {
    std::vector<uint8_t> topDown(4 * size_t{frameWidth} * frameHeight);
    if (SUCCEEDED(converted->CopyPixels(nullptr, 4 * frameWidth, static_cast<UINT>(topDown.size()), topDown.data()))) {
      width = static_cast<int32_t>(frameWidth);
      height = static_cast<int32_t>(frameHeight);
      const size_t rowBytes = 4 * size_t{frameWidth};
      for (int32_t row = height - 1; row >= 0; --row)
        pixels.insert(pixels.end(), topDown.begin() + row * rowBytes, topDown.begin() + (row + 1) * rowBytes);
      for (size_t i = 3; i < pixels.size(); i += 4) pixels[i] = 0;
    }
  }
  for (IUnknown* object : std::initializer_list<IUnknown*>{converted, frame, decoder, stream, factory})
    if (object != nullptr) object->Release();
  return pixels;
}
#else
std::vector<uint8_t> DecodePng(const std::vector<uint8_t>& file, int32_t& width, int32_t& height) {
  png_image image = {};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&image, file.data(), file.size())) return {};
  image.format = PNG_FORMAT_BGRA;
  std::vector<uint8_t> pixels(PNG_IMAGE_SIZE(image));
  // A negative stride stores the bottom row first, as the program does.
  const int stride = -static_cast<int>(PNG_IMAGE_ROW_STRIDE(image));
  if (!png_image_finish_read(&image, nullptr, pixels.data(), stride, nullptr)) return {};
  width = static_cast<int32_t>(image.width);
  height = static_cast<int32_t>(image.height);
  for (size_t i = 3; i < pixels.size(); i += 4) pixels[i] = 0;
  return pixels;
}
#endif

std::vector<uint8_t> Encode(PictureFormat format, const std::vector<uint8_t>& pixels, int32_t width, int32_t height,
                            SaveShape shape, const EncodeOptions& options = {}) {
  std::vector<uint8_t> file;
  const PixelBuffer picture{const_cast<uint8_t*>(pixels.data()), width, height};
  const Result result = format == PictureFormat::Jpeg ? EncodeJpeg(picture, shape, options, file)
                                                      : EncodePng(picture, shape, options, file);
  EXPECT_TRUE(result.ok()) << result.reason();
  return file;
}

// The pixels of the BMP file of `picture` in `shape`, which every format must
// hold.
std::vector<uint8_t> BmpPixels(const std::vector<uint8_t>& pixels, int32_t width, int32_t height, SaveShape shape) {
  std::vector<uint8_t> file;
  EXPECT_TRUE(EncodeBmp({const_cast<uint8_t*>(pixels.data()), width, height}, shape, [&](std::span<const uint8_t> part) {
    file.insert(file.end(), part.begin(), part.end());
    return true;
  }));
  return std::vector<uint8_t>(file.begin() + 54, file.end());
}

std::vector<uint8_t> Joined(std::string_view head, const std::vector<uint8_t>& tail) {
  std::vector<uint8_t> joined(head.begin(), head.end());
  joined.insert(joined.end(), tail.begin(), tail.end());
  return joined;
}

// PNG's CRC-32, bit by bit: a second opinion on the encoder's table.
uint32_t BitwiseCrc32(const uint8_t* bytes, size_t count) {
  uint32_t crc = 0xFFFFFFFF;
  for (size_t i = 0; i < count; ++i) {
    crc ^= bytes[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320 & (0 - (crc & 1)));
  }
  return ~crc;
}

uint32_t BigEndian32(const uint8_t* at) {
  return uint32_t{at[0]} << 24 | uint32_t{at[1]} << 16 | uint32_t{at[2]} << 8 | at[3];
}

TEST(PictureFormatTest, ComesFromTheExtensionInAnyCase) {
  const struct {
    const char* name;
    std::optional<PictureFormat> format;
  } cases[] = {
      {"pano.jpg", PictureFormat::Jpeg}, {"PANO.JPEG", PictureFormat::Jpeg}, {"a.b/pano.Png", PictureFormat::Png},
      {"c:\\x.bmp", PictureFormat::Bmp}, {"x.BMP", PictureFormat::Bmp},     {"jpg", std::nullopt},
      {"x.jpg.txt", std::nullopt},       {"x.tif", PictureFormat::Tiff},     {"dir.png/x", std::nullopt},
      {"x.", std::nullopt},              {"x.jpe", std::nullopt},            {"X.TIFF", PictureFormat::Tiff},
  };
  for (const auto& c : cases) EXPECT_EQ(FormatFromName(c.name), c.format) << c.name;
}

TEST(PictureEncodingTest, PngHoldsTheBmpPixelsAndJpegComesClose) {
  const struct {
    int32_t width, height;
  } sizes[] = {{1, 1}, {3, 1}, {1, 5}, {101, 51}, {255, 127}, {63, 301}, {1001, 501}};
  for (const auto& size : sizes) {
    const std::vector<uint8_t> pixels = MakeFPicture(size.width, size.height);
    for (SaveShape shape : {SaveShape::Square, SaveShape::Rectangle, SaveShape::Sphere}) {
      const int32_t fileWidth = shape == SaveShape::Square ? size.height : 2 * size.height;
      SCOPED_TRACE(std::to_string(size.width) + " x " + std::to_string(size.height) + " saved " +
                   std::to_string(fileWidth) + " wide");
      const std::vector<uint8_t> expected = BmpPixels(pixels, size.width, size.height, shape);

      int32_t width = 0, height = 0;
      const std::vector<uint8_t> png = Encode(PictureFormat::Png, pixels, size.width, size.height, shape);
      EXPECT_TRUE(DecodePng(png, width, height) == expected);
      EXPECT_EQ(width, fileWidth);
      EXPECT_EQ(height, size.height);

      const std::vector<uint8_t> jpeg = Encode(PictureFormat::Jpeg, pixels, size.width, size.height, shape);
      std::vector<uint8_t> fromJpeg(expected.size());
      width = height = 0;
      const Result decoded = DecodePicture(jpeg, fromJpeg.data(), int64_t{fileWidth} * size.height, width, height);
      ASSERT_TRUE(decoded.ok()) << decoded.reason();
      EXPECT_EQ(width, fileWidth);
      EXPECT_EQ(height, size.height);
      EXPECT_GE(PsnrOf(expected, fromJpeg), LeastJpegPsnr(fileWidth));
    }
  }
}

TEST(PictureEncodingTest, QualityChoosesTheColourResolution) {
  if (UnderWine()) GTEST_SKIP() << "Wine's JPEG encoder ignores quality and subsampling";
  const std::vector<uint8_t> pixels = MakeFPicture(64, 48);
  const struct {
    int quality;
    uint8_t lumaSampling;  // 2 x 2 for 4:2:0, 1 x 1 for 4:4:4
  } cases[] = {{1, 0x22}, {89, 0x22}, {90, 0x11}, {100, 0x11}};
  size_t previousBytes = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.quality);
    EncodeOptions options;
    options.quality = c.quality;
    const std::vector<uint8_t> jpeg = Encode(PictureFormat::Jpeg, pixels, 64, 48, SaveShape::Sphere, options);
    uint8_t sampling = 0;
    WalkJpegSegments(jpeg, [&](const JpegSegment& segment) {
      if (segment.marker == 0xC0 && segment.payload.size() >= 8) sampling = segment.payload[7];
      return segment.marker != 0xC0;
    });
    EXPECT_EQ(sampling, c.lumaSampling);
    EXPECT_GT(jpeg.size(), previousBytes);
    previousBytes = jpeg.size();
  }
}

TEST(PictureEncodingTest, MetadataGoesBeforeThePixelsAndMovesNoOtherByte) {
  const std::vector<uint8_t> pixels = MakeFPicture(41, 41);
  const PanoramaXmp xmp = PanoramaXmpFor(SaveShape::Square, 41, 10, -5);
  CameraMetadata camera;
  // One IFD0 entry, Orientation 6, whose value sits at byte 18.
  camera.exif = {'M', 'M', 0, 42, 0, 0, 0, 8, 0, 1, 0x01, 0x12, 0, 3, 0, 0, 0, 1, 0, 6, 0, 0, 0, 0, 0, 0, 0, 0};
  camera.orientation = 6;
  std::vector<uint8_t> upright = camera.exif;
  upright[19] = 1;
  for (size_t i = 0; i < 70000; ++i) camera.icc.push_back(static_cast<uint8_t>(i * 7 + i / 256));
  EncodeOptions options;
  options.xmp = &xmp;
  options.camera = &camera;
  const std::string packetText = PanoramaXmpPacket(xmp);
  const std::vector<uint8_t> packet(packetText.begin(), packetText.end());

  for (PictureFormat format : {PictureFormat::Jpeg, PictureFormat::Png}) {
    SCOPED_TRACE(format == PictureFormat::Jpeg ? "JPEG" : "PNG");
    const std::vector<uint8_t> bare = Encode(format, pixels, 41, 41, SaveShape::Square);
    const std::vector<uint8_t> full = Encode(format, pixels, 41, 41, SaveShape::Square, options);
    ASSERT_GT(full.size(), bare.size());
    // After SOI and JFIF's APP0; after the PNG signature and IHDR.
    size_t at = 33;
    if (format == PictureFormat::Jpeg) {
      ASSERT_TRUE(bare[2] == 0xFF && bare[3] == 0xE0) << "no APP0 first";
      at = 4 + (size_t{bare[4]} << 8 | bare[5]);
    }
    const size_t added = full.size() - bare.size();
    EXPECT_TRUE(std::equal(bare.begin(), bare.begin() + at, full.begin()));
    EXPECT_TRUE(std::equal(bare.begin() + at, bare.end(), full.begin() + at + added));

    // The added bytes, piece by piece.
    std::vector<std::pair<std::string, std::vector<uint8_t>>> pieces;
    for (size_t piece = at; piece < at + added;) {
      if (format == PictureFormat::Jpeg) {
        ASSERT_EQ(full[piece], 0xFF);
        const size_t length = size_t{full[piece + 2]} << 8 | full[piece + 3];
        pieces.emplace_back(std::to_string(full[piece + 1]),
                            std::vector<uint8_t>(full.begin() + piece + 4, full.begin() + piece + 2 + length));
        piece += 2 + length;
      } else {
        const size_t length = BigEndian32(&full[piece]);
        EXPECT_EQ(BigEndian32(&full[piece + 8 + length]), BitwiseCrc32(&full[piece + 4], 4 + length));
        pieces.emplace_back(std::string(full.begin() + piece + 4, full.begin() + piece + 8),
                            std::vector<uint8_t>(full.begin() + piece + 8, full.begin() + piece + 8 + length));
        piece += 12 + length;
      }
    }
    if (format == PictureFormat::Jpeg) {
      ASSERT_EQ(pieces.size(), 4u);
      EXPECT_EQ(pieces[0].first, "225");  // APP1
      EXPECT_TRUE(pieces[0].second == Joined({"Exif\0\0", 6}, upright));
      EXPECT_EQ(pieces[1].first, "225");
      EXPECT_TRUE(pieces[1].second == Joined({"http://ns.adobe.com/xap/1.0/\0", 29}, packet));
      std::vector<uint8_t> icc;
      for (int part = 1; part <= 2; ++part) {
        EXPECT_EQ(pieces[1 + part].first, "226");  // APP2
        const std::vector<uint8_t>& payload = pieces[1 + part].second;
        EXPECT_TRUE(std::equal(payload.begin(), payload.begin() + 12, "ICC_PROFILE"));
        EXPECT_EQ(payload[12], part);
        EXPECT_EQ(payload[13], 2);
        icc.insert(icc.end(), payload.begin() + 14, payload.end());
      }
      EXPECT_TRUE(icc == camera.icc);
    } else {
      ASSERT_EQ(pieces.size(), 3u);
      EXPECT_EQ(pieces[0].first, "iCCP");
      EXPECT_TRUE(std::equal(pieces[0].second.begin(), pieces[0].second.begin() + 13, "ICC profile\0"));
      EXPECT_EQ(pieces[1].first, "eXIf");
      EXPECT_TRUE(pieces[1].second == upright);
      EXPECT_EQ(pieces[2].first, "iTXt");
      EXPECT_TRUE(pieces[2].second == Joined({"XML:com.adobe.xmp\0\0\0\0\0", 22}, packet));
    }
  }
}

#ifndef _WIN32
TEST(PanoramaXmpTest, ExiftoolReadsEveryValueOfEachShape) {
  const fs::path folder = ScratchFolder("panorama-xmp");
  const struct {
    SaveShape shape;
    int32_t side;
    double yaw, pitch;
    std::vector<std::string> values;  // as kTags lists them
  } cases[] = {
      {SaveShape::Square, 51, -30.4, 12.345, {"102", "51", "51", "51", "25", "0", "0", "330", "12.35"}},
      {SaveShape::Rectangle, 40, 77, 20, {"80", "40", "80", "40", "0", "0", "90", "0", "0"}},
      {SaveShape::Sphere, 33, 359.6, -95, {"66", "33", "66", "33", "0", "0", "0", "0", "-90"}},
  };
  const char* const kTags[] = {"FullPanoWidthPixels",   "FullPanoHeightPixels",         "CroppedAreaImageWidthPixels",
                               "CroppedAreaImageHeightPixels", "CroppedAreaLeftPixels", "CroppedAreaTopPixels",
                               "PoseHeadingDegrees",    "InitialViewHeadingDegrees",    "InitialViewPitchDegrees"};
  for (const auto& c : cases) {
    const int32_t width = c.side * 3 / 2;
    const std::vector<uint8_t> pixels = MakeFPicture(width, c.side);
    const PanoramaXmp xmp = PanoramaXmpFor(c.shape, c.side, c.yaw, c.pitch);
    EncodeOptions options;
    options.xmp = &xmp;
    for (const char* name : {"pano.jpg", "pano.png", "pano.tif"}) {
      SCOPED_TRACE(std::string(name) + " of side " + std::to_string(c.side));
      const fs::path file = folder / name;
      const Result written = WritePictureFile({const_cast<uint8_t*>(pixels.data()), width, c.side}, c.shape,
                                              *FormatFromName(name), options, file.string());
      ASSERT_TRUE(written.ok()) << written.reason();
      const std::string json = ExiftoolJson(file);
      EXPECT_EQ(JsonValue(json, "XMP-GPano:ProjectionType"), "equirectangular") << json;
      EXPECT_EQ(JsonValue(json, "XMP-GPano:UsePanoramaViewer"), "true");
      for (size_t i = 0; i < std::size(kTags); ++i)
        EXPECT_EQ(JsonValue(json, std::string("XMP-GPano:") + kTags[i]), c.values[i]) << kTags[i];
      EXPECT_EQ(JsonValue(json, "ExifTool:Warning"), "(absent)");
    }
  }
}
#endif

TEST(PanoramaXmpTest, HeadingsWrapAndDegreesKeepTwoDecimals) {
  const struct {
    double yaw, pitch;
    const char *heading, *pitchText;
  } views[] = {{359.5, 0.004, "0", "0"},      {-0.5, -0.006, "359", "-0.01"}, {720.4, 45.678, "0", "45.68"},
               {-721, 90.01, "359", "90"},    {180.49, -89.999, "180", "-90"}, {-179.5, 7.1, "180", "7.1"}};
  for (const auto& view : views) {
    SCOPED_TRACE(view.yaw);
    for (SaveShape shape : {SaveShape::Square, SaveShape::Sphere}) {
      const PanoramaXmp xmp = PanoramaXmpFor(shape, 100, view.yaw, view.pitch);
      EXPECT_EQ(DegreesText(xmp.initialHeading), view.heading);
      EXPECT_EQ(DegreesText(xmp.initialPitch), view.pitchText);
    }
  }
  EXPECT_EQ(DegreesText(-0.001), "0");
  EXPECT_EQ(DegreesText(-12.5), "-12.5");
  EXPECT_EQ(DegreesText(0.05), "0.05");
}

TEST(PictureEncodingTest, WritePictureFileReplacesAFileAndAFailureKeepsIt) {
  const fs::path folder = ScratchFolder("picture-file");
  const fs::path file = folder / "pano.png";
  WriteBytes(file, std::vector<uint8_t>(300, 0xEE));
  std::vector<uint8_t> pixels = MakeFPicture(10, 10);
  const PixelBuffer picture{pixels.data(), 10, 10};

  Result written = WritePictureFile(picture, SaveShape::Square, PictureFormat::Png, {}, file.string());
  ASSERT_TRUE(written.ok()) << written.reason();
  const std::vector<uint8_t> png = ReadBytes(file);
  int32_t width = 0, height = 0;
  EXPECT_TRUE(DecodePng(png, width, height) == pixels);

  fs::permissions(file, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
  written = WritePictureFile(picture, SaveShape::Square, PictureFormat::Jpeg, {}, file.string());
  EXPECT_FALSE(written.ok());
  EXPECT_NE(written.reason().find("read-only"), std::string::npos) << written.reason();
  EXPECT_TRUE(ReadBytes(file) == png);
  fs::permissions(file, fs::perms::owner_write, fs::perm_options::add);
  EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1) << "a part file was left";

  written = WritePictureFile(picture, SaveShape::Square, PictureFormat::Png, {}, (folder / "missing" / "pano.png").string());
  EXPECT_FALSE(written.ok());
  EXPECT_NE(written.reason().find("cannot create the file"), std::string::npos) << written.reason();

  // BMP files go to the BMP writer, metadata or not.
  ASSERT_TRUE(WritePictureFile(picture, SaveShape::Rectangle, PictureFormat::Bmp, {}, (folder / "pano.bmp").string()).ok());
  const std::vector<uint8_t> bmp = ReadBytes(folder / "pano.bmp");
  EXPECT_TRUE(std::vector<uint8_t>(bmp.begin() + 54, bmp.end()) == BmpPixels(pixels, 10, 10, SaveShape::Rectangle));
}

}  // namespace
