// The camera's EXIF block and ICC profile, read from a JPEG and carried into
// the panorama: patched in place in both byte orders, read back whole by
// exiftool, and dropped whole, never by halves, when anything is damaged.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "exiftool.h"
#include "imageio/camera_metadata.h"
#include "imageio/panorama_xmp.h"
#include "imageio/picture_encoding.h"
#include "imageio/tiff_writer.h"
#include "test_pictures.h"

namespace {

// A TIFF block written the way cameras lay out EXIF, in either byte order.
// Each directory goes after what is already there, its longer values right
// after it; pointers are known when a directory is written, because the
// directories it points to come first.
class TiffWriter {
 public:
  struct Entry {
    uint16_t tag, type;
    uint32_t count;
    std::vector<uint8_t> value;  // in the block's byte order
  };

  explicit TiffWriter(bool bigEndian) : bigEndian_(bigEndian) {
    bytes = bigEndian ? std::vector<uint8_t>{'M', 'M', 0, 42, 0, 0, 0, 0} : std::vector<uint8_t>{'I', 'I', 42, 0, 0, 0, 0, 0};
  }

  std::vector<uint8_t> Number(uint32_t value, int size) const {
    std::vector<uint8_t> out;
    for (int i = 0; i < size; ++i) out.push_back(static_cast<uint8_t>(value >> 8 * (bigEndian_ ? size - 1 - i : i)));
    return out;
  }
  Entry Ascii(uint16_t tag, const std::string& text) const {
    return {tag, 2, static_cast<uint32_t>(text.size() + 1), std::vector<uint8_t>(text.c_str(), text.c_str() + text.size() + 1)};
  }
  Entry Short(uint16_t tag, uint16_t value) const { return {tag, 3, 1, Number(value, 2)}; }
  Entry Long(uint16_t tag, uint32_t value) const { return {tag, 4, 1, Number(value, 4)}; }
  Entry Rationals(uint16_t tag, const std::vector<uint32_t>& parts) const {
    Entry entry{tag, 5, static_cast<uint32_t>(parts.size() / 2), {}};
    for (uint32_t part : parts) for (uint8_t byte : Number(part, 4)) entry.value.push_back(byte);
    return entry;
  }
  Entry Undefined(uint16_t tag, const std::vector<uint8_t>& data) const {
    return {tag, 7, static_cast<uint32_t>(data.size()), data};
  }

  // Appends raw bytes (a thumbnail), returning their offset.
  uint32_t Blob(const std::vector<uint8_t>& data) {
    const uint32_t at = static_cast<uint32_t>(bytes.size());
    bytes.insert(bytes.end(), data.begin(), data.end());
    return at;
  }

  // Appends a directory, returning its offset.
  uint32_t Directory(const std::vector<Entry>& entries, uint32_t next = 0) {
    if (bytes.size() % 2 != 0) bytes.push_back(0);
    const uint32_t at = static_cast<uint32_t>(bytes.size());
    size_t data = at + 2 + 12 * entries.size() + 4;
    Append(Number(static_cast<uint32_t>(entries.size()), 2));
    std::vector<uint8_t> values;
    for (const Entry& entry : entries) {
      Append(Number(entry.tag, 2));
      Append(Number(entry.type, 2));
      Append(Number(entry.count, 4));
      if (entry.value.size() <= 4) {
        std::vector<uint8_t> inPlace = entry.value;
        inPlace.resize(4, 0);
        Append(inPlace);
      } else {
        Append(Number(static_cast<uint32_t>(data + values.size()), 4));
        values.insert(values.end(), entry.value.begin(), entry.value.end());
        if (values.size() % 2 != 0) values.push_back(0);  // TIFF keeps offsets even
      }
    }
    Append(Number(next, 4));
    Append(values);
    return at;
  }

  uint32_t Read(size_t at, int size) const {
    uint32_t value = 0;
    for (int i = 0; i < size; ++i) value |= uint32_t{bytes[at + i]} << 8 * (bigEndian_ ? size - 1 - i : i);
    return value;
  }
  void Put(size_t at, uint32_t value, int size) {
    const std::vector<uint8_t> encoded = Number(value, size);
    std::copy(encoded.begin(), encoded.end(), bytes.begin() + at);
  }

  // Where a directory keeps its entry `index`'s count and value (or offset),
  // and the offset of the next directory.
  static size_t CountAt(uint32_t directory, size_t index) { return directory + 2 + 12 * index + 4; }
  static size_t ValueAt(uint32_t directory, size_t index) { return directory + 2 + 12 * index + 8; }
  static size_t NextAt(uint32_t directory, size_t entries) { return directory + 2 + 12 * entries; }

  std::vector<uint8_t> bytes;

 private:
  void Append(const std::vector<uint8_t>& more) { bytes.insert(bytes.end(), more.begin(), more.end()); }
  bool bigEndian_;
};

// A camera's block: IFD0 with ImageWidth (LONG), ImageLength (SHORT), Make,
// Model, Orientation 6 and pointers to the Exif directory (date, a maker note
// that points into itself, pixel sizes as SHORT and LONG, interoperability)
// and to GPS; then IFD1 with a thumbnail.
struct CameraBlock {
  std::vector<uint8_t> tiff;
  uint32_t ifd0, exif, gps;
  size_t makerNoteAt;
  std::vector<uint8_t> makerNote;
};

CameraBlock MakeCameraBlock(bool bigEndian) {
  TiffWriter w(bigEndian);
  CameraBlock block;
  const uint32_t thumbnail = w.Blob({0xFF, 0xD8, 0xFF, 0xD9});
  const uint32_t ifd1 = w.Directory({w.Short(0x0103, 6), w.Long(0x0201, thumbnail), w.Long(0x0202, 4)});
  const uint32_t interop = w.Directory({w.Ascii(0x0001, "R98")});
  block.exif = w.Directory({w.Ascii(0x9003, "2024:06:05 12:34:56"),
                            w.Undefined(0x927C, {'N', 'O', 'T', 'E', 0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9}),
                            w.Short(0xA002, 4000), w.Long(0xA003, 3000), w.Long(0xA005, interop)});
  block.gps = w.Directory({TiffWriter::Entry{0x0000, 1, 4, {2, 3, 0, 0}}, w.Ascii(0x0001, "N"),
                           w.Rationals(0x0002, {48, 1, 8, 1, 30, 1}), w.Ascii(0x0003, "E"),
                           w.Rationals(0x0004, {11, 1, 34, 1, 15, 1})});
  block.ifd0 = w.Directory({w.Long(0x0100, 4000), w.Short(0x0101, 3000), w.Ascii(0x010F, "Quorvane Test Camera"),
                            w.Ascii(0x0110, "QT-1"), w.Short(0x0112, 6), w.Long(0x8769, block.exif),
                            w.Long(0x8825, block.gps)},
                           ifd1);
  w.Put(4, block.ifd0, 4);
  // Like many makers' notes, this one holds an offset counted from the start
  // of the block: its own.
  block.makerNoteAt = w.Read(TiffWriter::ValueAt(block.exif, 1), 4);
  w.Put(block.makerNoteAt + 4, static_cast<uint32_t>(block.makerNoteAt), 4);
  block.makerNote.assign(w.bytes.begin() + block.makerNoteAt, w.bytes.begin() + block.makerNoteAt + 17);
  block.tiff = w.bytes;
  return block;
}

// An ICC profile of `bytes` bytes: a version 4 display profile with one tag
// (its copyright), then filler that never repeats within a segment.
std::vector<uint8_t> MakeProfile(size_t bytes) {
  std::vector<uint8_t> profile(bytes);
  for (size_t i = 0; i < bytes; ++i) profile[i] = static_cast<uint8_t>(i * 131 + i / 65536);
  constexpr char kTag[] = "\0\0\0\x01cprt\0\0\0\x90\0\0\0\x15text\0\0\0\0No copyright";
  std::fill(profile.begin(), profile.begin() + 128, 0);
  std::copy(kTag, kTag + sizeof kTag, profile.begin() + 128);  // its zero too
  for (int i = 0; i < 4; ++i) profile[i] = static_cast<uint8_t>(bytes >> (24 - 8 * i));
  profile[8] = 4;
  std::copy_n("mntrRGB XYZ ", 12, profile.begin() + 12);
  std::copy_n("acsp", 4, profile.begin() + 36);
  return profile;
}

std::vector<uint8_t> Segment(uint8_t marker, std::string_view prefix, const std::vector<uint8_t>& payload) {
  const size_t length = 2 + prefix.size() + payload.size();
  std::vector<uint8_t> segment(prefix.begin(), prefix.end());
  segment.insert(segment.begin(), {0xFF, marker, static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)});
  segment.insert(segment.end(), payload.begin(), payload.end());
  return segment;
}

// ICC parts as a camera writes them: sequence number, count, data.
std::vector<uint8_t> IccSegment(int sequence, int count, const std::vector<uint8_t>& data) {
  std::vector<uint8_t> payload = {static_cast<uint8_t>(sequence), static_cast<uint8_t>(count)};
  payload.insert(payload.end(), data.begin(), data.end());
  return Segment(0xE2, {"ICC_PROFILE\0", 12}, payload);
}

std::vector<std::vector<uint8_t>> SplitInto(const std::vector<uint8_t>& profile, size_t parts) {
  std::vector<std::vector<uint8_t>> pieces;
  const size_t each = (profile.size() + parts - 1) / parts;
  for (size_t at = 0; at < profile.size(); at += each)
    pieces.emplace_back(profile.begin() + at, profile.begin() + std::min(profile.size(), at + each));
  return pieces;
}

// A small real JPEG with `segments` after its SOI.
std::vector<uint8_t> JpegWith(const std::vector<std::vector<uint8_t>>& segments) {
  std::vector<uint8_t> pixels = MakeFPicture(35, 39);
  std::vector<uint8_t> jpeg;
  EXPECT_TRUE(EncodeJpeg({pixels.data(), 35, 39}, SaveShape::Square, {}, jpeg).ok());
  for (auto segment = segments.rbegin(); segment != segments.rend(); ++segment)
    jpeg.insert(jpeg.begin() + 2, segment->begin(), segment->end());
  return jpeg;
}

std::vector<uint8_t> ExifSegment(const std::vector<uint8_t>& tiff) { return Segment(0xE1, {"Exif\0\0", 6}, tiff); }

TEST(CameraMetadataTest, ThePatchEditsOnlyItsValuesInBothByteOrders) {
  for (bool bigEndian : {false, true}) {
    SCOPED_TRACE(bigEndian ? "MM" : "II");
    CameraBlock camera = MakeCameraBlock(bigEndian);
    const CameraMetadata metadata = ReadCameraMetadata(JpegWith({ExifSegment(camera.tiff)}));
    EXPECT_EQ(metadata.orientation, 6);
    ASSERT_TRUE(metadata.exif == camera.tiff);

    // 70000 does not fit the SHORT PixelXDimension, which keeps 4000.
    TiffWriter expected(bigEndian);
    expected.bytes = camera.tiff;
    expected.Put(TiffWriter::ValueAt(camera.ifd0, 4), 1, 2);
    expected.Put(TiffWriter::ValueAt(camera.ifd0, 0), 70000, 4);
    expected.Put(TiffWriter::ValueAt(camera.ifd0, 1), 35, 2);
    expected.Put(TiffWriter::ValueAt(camera.exif, 3), 35, 4);
    expected.Put(TiffWriter::NextAt(camera.ifd0, 7), 0, 4);
    std::vector<uint8_t> patched = metadata.exif;
    ASSERT_TRUE(PatchExifForPanorama(patched, 70000, 35));
    EXPECT_TRUE(patched == expected.bytes);
    EXPECT_TRUE(std::equal(camera.makerNote.begin(), camera.makerNote.end(), patched.begin() + camera.makerNoteAt));

    ASSERT_TRUE(PatchExifForPanorama(patched, 640, 320));
    expected.Put(TiffWriter::ValueAt(camera.ifd0, 0), 640, 4);
    expected.Put(TiffWriter::ValueAt(camera.ifd0, 1), 320, 2);
    expected.Put(TiffWriter::ValueAt(camera.exif, 2), 640, 2);
    expected.Put(TiffWriter::ValueAt(camera.exif, 3), 320, 4);
    EXPECT_TRUE(patched == expected.bytes);
  }
}

TEST(CameraMetadataTest, ADamagedExifBlockIsDroppedWholeAndTheProfileKept) {
  const CameraBlock camera = MakeCameraBlock(true);
  const std::vector<uint8_t> profile = MakeProfile(3000);
  auto put = [](size_t at, uint32_t value) {
    return [=](std::vector<uint8_t>& tiff) {
      for (int i = 0; i < 4; ++i) tiff[at + i] = static_cast<uint8_t>(value >> (24 - 8 * i));
    };
  };
  const uint32_t size = static_cast<uint32_t>(camera.tiff.size());
  const struct {
    const char* what;
    std::function<void(std::vector<uint8_t>&)> damage;
  } cases[] = {
      {"cut in IFD0", [&](std::vector<uint8_t>& tiff) { tiff.resize(camera.ifd0 + 40); }},
      {"cut in the last value", [](std::vector<uint8_t>& tiff) { tiff.erase(tiff.end() - 2, tiff.end()); }},
      {"neither II nor MM", [](std::vector<uint8_t>& tiff) { tiff[1] = 'I'; }},
      {"not 42", [](std::vector<uint8_t>& tiff) { tiff[3] = 43; }},
      {"IFD0 outside", put(4, 0x7FFFFFF0)},
      {"IFD0 in the header", put(4, 2)},
      {"Make's text outside", put(TiffWriter::ValueAt(camera.ifd0, 2), size - 5)},
      {"Exif directory outside", put(TiffWriter::ValueAt(camera.ifd0, 5), size)},
      {"Exif directory is IFD0", put(TiffWriter::ValueAt(camera.ifd0, 5), camera.ifd0)},
      {"interoperability loops to Exif", put(TiffWriter::ValueAt(camera.exif, 4), camera.exif)},
      {"65535 entries", [&](std::vector<uint8_t>& tiff) { tiff[camera.exif] = tiff[camera.exif + 1] = 0xFF; }},
      {"a maker note of 1 GB", put(TiffWriter::CountAt(camera.exif, 1), 0x40000000)},
      // 4 GB of rationals, 8 bytes in 32-bit arithmetic.
      {"2^29 + 1 rationals", put(TiffWriter::CountAt(camera.gps, 2), 0x20000001)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> tiff = camera.tiff;
    c.damage(tiff);
    std::vector<uint8_t> file = JpegWith({ExifSegment(tiff), IccSegment(1, 1, profile)});
    const CameraMetadata metadata = ReadCameraMetadata(file);
    EXPECT_TRUE(metadata.exif.empty());
    EXPECT_EQ(metadata.orientation, 0);
    EXPECT_TRUE(metadata.icc == profile);
    std::vector<uint8_t> unchanged = tiff;
    EXPECT_FALSE(PatchExifForPanorama(unchanged, 100, 50));
    EXPECT_TRUE(unchanged == tiff);
  }

  // A segment the end of the file cuts short.
  std::vector<uint8_t> cut = JpegWith({IccSegment(1, 1, profile), ExifSegment(camera.tiff)});
  cut.resize(2 + IccSegment(1, 1, profile).size() + 100);
  const CameraMetadata fromCut = ReadCameraMetadata(cut);
  EXPECT_TRUE(fromCut.exif.empty());
  EXPECT_TRUE(fromCut.icc == profile);
}

TEST(CameraMetadataTest, ProfilePartsMustMakeOneWholeSequence) {
  const std::vector<uint8_t> profile = MakeProfile(150000);
  const std::vector<std::vector<uint8_t>> pieces = SplitInto(profile, 3);
  const std::vector<uint8_t> exif = ExifSegment(MakeCameraBlock(false).tiff);
  const struct {
    const char* what;
    std::vector<std::vector<uint8_t>> segments;
    bool kept;
  } cases[] = {
      {"in order", {IccSegment(1, 3, pieces[0]), IccSegment(2, 3, pieces[1]), IccSegment(3, 3, pieces[2])}, true},
      {"out of order", {IccSegment(3, 3, pieces[2]), IccSegment(1, 3, pieces[0]), IccSegment(2, 3, pieces[1])}, true},
      {"one missing", {IccSegment(1, 3, pieces[0]), IccSegment(3, 3, pieces[2])}, false},
      {"one twice", {IccSegment(1, 3, pieces[0]), IccSegment(2, 3, pieces[1]), IccSegment(2, 3, pieces[1]),
                     IccSegment(3, 3, pieces[2])}, false},
      {"counts disagree", {IccSegment(1, 3, pieces[0]), IccSegment(2, 4, pieces[1]), IccSegment(3, 3, pieces[2])}, false},
      {"numbered from 0", {IccSegment(0, 3, pieces[0]), IccSegment(1, 3, pieces[1]), IccSegment(2, 3, pieces[2])}, false},
      {"no header", {Segment(0xE2, {"ICC_PROFILE\0", 12}, {})}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::vector<uint8_t>> segments = c.segments;
    segments.insert(segments.begin() + 1, exif);
    const CameraMetadata metadata = ReadCameraMetadata(JpegWith(segments));
    EXPECT_EQ(metadata.icc.size(), c.kept ? profile.size() : 0);
    EXPECT_TRUE(!c.kept || metadata.icc == profile);
    EXPECT_FALSE(metadata.exif.empty());
  }
}

// The whole way, on every system: a camera JPEG with a large XMP packet and a
// 300 kB profile in 5 segments becomes a panorama JPEG whose own reading
// gives the patched block and the whole profile, with one XMP packet: ours.
TEST(CameraMetadataTest, APanoramaCarriesTheCameraMetadataAndOnlyOurXmp) {
  const CameraBlock camera = MakeCameraBlock(false);
  const std::vector<uint8_t> profile = MakeProfile(300000);
  std::vector<std::vector<uint8_t>> segments = {ExifSegment(camera.tiff),
                                                Segment(0xE1, {"http://ns.adobe.com/xap/1.0/\0", 29},
                                                        std::vector<uint8_t>(65533 - 29, ' '))};
  const std::vector<std::vector<uint8_t>> pieces = SplitInto(profile, 5);
  for (size_t i = 0; i < pieces.size(); ++i) segments.push_back(IccSegment(static_cast<int>(i + 1), 5, pieces[i]));
  const CameraMetadata input = ReadCameraMetadata(JpegWith(segments));
  ASSERT_TRUE(input.icc == profile);
  ASSERT_EQ(input.orientation, 6);

  std::vector<uint8_t> pixels = MakeFPicture(61, 61);
  const PanoramaXmp xmp = PanoramaXmpFor(SaveShape::Square, 61, 0, 0);
  EncodeOptions options;
  options.xmp = &xmp;
  options.camera = &input;
  std::vector<uint8_t> jpeg;
  ASSERT_TRUE(EncodeJpeg({pixels.data(), 61, 61}, SaveShape::Square, options, jpeg).ok());
  const CameraMetadata output = ReadCameraMetadata(jpeg);
  std::vector<uint8_t> patched = camera.tiff;
  ASSERT_TRUE(PatchExifForPanorama(patched, 61, 61));
  EXPECT_TRUE(output.exif == patched);
  EXPECT_EQ(output.orientation, 1);
  EXPECT_TRUE(output.icc == profile);
  const std::string file(jpeg.begin(), jpeg.end());
  const std::string signature("http://ns.adobe.com/xap/1.0/\0", 29);
  const size_t xmpAt = file.find(signature);
  ASSERT_NE(xmpAt, std::string::npos);
  EXPECT_EQ(file.compare(xmpAt + signature.size(), PanoramaXmpPacket(xmp).size(), PanoramaXmpPacket(xmp)), 0);
  EXPECT_EQ(file.find(signature, xmpAt + 1), std::string::npos);
}

#ifndef _WIN32
TEST(CameraMetadataTest, ExiftoolReadsTheCameraTagsBackFromJpegAndPng) {
  const std::filesystem::path folder = ScratchFolder("camera-metadata");
  const std::vector<uint8_t> profile = MakeProfile(300000);
  const std::vector<std::vector<uint8_t>> pieces = SplitInto(profile, 5);
  for (bool bigEndian : {false, true}) {
    std::vector<std::vector<uint8_t>> segments = {ExifSegment(MakeCameraBlock(bigEndian).tiff)};
    for (size_t i = 0; i < pieces.size(); ++i) segments.push_back(IccSegment(static_cast<int>(i + 1), 5, pieces[i]));
    const CameraMetadata camera = ReadCameraMetadata(JpegWith(segments));
    std::vector<uint8_t> pixels = MakeFPicture(122, 61);
    const PanoramaXmp xmp = PanoramaXmpFor(SaveShape::Rectangle, 61, 0, 0);
    EncodeOptions options;
    options.xmp = &xmp;
    options.camera = &camera;
    for (const char* name : {"pano.jpg", "pano.png", "pano.tif"}) {
      SCOPED_TRACE(std::string(name) + (bigEndian ? " MM" : " II"));
      const std::filesystem::path file = folder / name;
      ASSERT_TRUE(
          WritePictureFile({pixels.data(), 122, 61}, SaveShape::Rectangle, *FormatFromName(name), options, file.string()).ok());
      const std::string json = ExiftoolJson(file);
      EXPECT_EQ(JsonValue(json, "IFD0:Make"), "Quorvane Test Camera") << json;
      EXPECT_EQ(JsonValue(json, "IFD0:Model"), "QT-1");
      EXPECT_EQ(JsonValue(json, "IFD0:Orientation"), "1");
      EXPECT_EQ(JsonValue(json, "IFD0:ImageWidth"), "122");
      EXPECT_EQ(JsonValue(json, "IFD0:ImageHeight"), "61");
      EXPECT_EQ(JsonValue(json, "ExifIFD:DateTimeOriginal"), "2024:06:05 12:34:56");
      EXPECT_EQ(JsonValue(json, "ExifIFD:ExifImageWidth"), "122");
      EXPECT_EQ(JsonValue(json, "ExifIFD:ExifImageHeight"), "61");
      EXPECT_EQ(JsonValue(json, "GPS:GPSLatitude").substr(0, 8), "48.14166");
      EXPECT_EQ(JsonValue(json, "GPS:GPSLongitudeRef"), "E");
      EXPECT_EQ(JsonValue(json, "IFD1:ThumbnailLength"), "(absent)");
      EXPECT_EQ(JsonValue(json, "XMP-GPano:PoseHeadingDegrees"), "90");
      // The only thing exiftool may find odd is a maker note of no make it knows.
      const std::string warning = JsonValue(json, "ExifTool:Warning");
      EXPECT_TRUE(warning == "(absent)" || warning == "[minor] Unrecognized MakerNotes") << warning;
      EXPECT_EQ(JsonValue(json, "ICC-header:ProfileClass"), "mntr");
      EXPECT_TRUE(ExiftoolBinary(file, "ICC_Profile") == profile);
    }
  }
}

// Tags that exiftool writes into PNG and TIFF files reach the panorama:
// an independent writer of eXIf, iCCP and TIFF's own directories.
TEST(CameraMetadataTest, ExiftoolsTagsInPngAndTiffInputsReachThePanorama) {
  const std::filesystem::path folder = ScratchFolder("camera-metadata-inputs");
  const std::vector<uint8_t> profile = MakeProfile(5000);
  WriteBytes(folder / "profile.icc", profile);
  std::vector<uint8_t> pixels = MakeFPicture(40, 30);
  for (const char* name : {"input.png", "input.tif"}) {
    SCOPED_TRACE(name);
    const std::filesystem::path input = folder / name;
    ASSERT_TRUE(WritePictureFile({pixels.data(), 40, 30}, SaveShape::Square, *FormatFromName(name), {}, input.string()).ok());
    CommandOutput("exiftool -q -overwrite_original -Make='Sky Camera' -Model=SC-2 -Orientation#=8 "
                  "-DateTimeOriginal='2025:01:02 03:04:05' -GPSLatitude=47.5 -GPSLatitudeRef=S "
                  "'-ICC_Profile<=" + (folder / "profile.icc").string() + "' '" + input.string() + "' 2>&1");
    const CameraMetadata camera = ReadCameraMetadata(ReadBytes(input));
    EXPECT_EQ(camera.orientation, 8);
    EXPECT_TRUE(camera.icc == profile);
    EncodeOptions options;
    options.camera = &camera;
    const std::filesystem::path output = folder / "pano.jpg";
    ASSERT_TRUE(WritePictureFile({pixels.data(), 40, 30}, SaveShape::Square, PictureFormat::Jpeg, options, output.string()).ok());
    const std::string json = ExiftoolJson(output);
    EXPECT_EQ(JsonValue(json, "IFD0:Make"), "Sky Camera") << json;
    EXPECT_EQ(JsonValue(json, "IFD0:Model"), "SC-2");
    EXPECT_EQ(JsonValue(json, "IFD0:Orientation"), "1");
    EXPECT_EQ(JsonValue(json, "ExifIFD:DateTimeOriginal"), "2025:01:02 03:04:05");
    EXPECT_EQ(JsonValue(json, "GPS:GPSLatitude"), "47.5");
    EXPECT_EQ(JsonValue(json, "GPS:GPSLatitudeRef"), "S");
    EXPECT_EQ(JsonValue(json, "ExifTool:Warning"), "(absent)");
    EXPECT_TRUE(ExiftoolBinary(output, "ICC_Profile") == profile);
  }
}
#endif

// A TIFF file's EXIF block is put together from its own directories, in
// either byte order: the camera's values stay, the maker note (whose
// offsets would break) and the interoperability pointer go.
TEST(CameraMetadataTest, ATiffFilesExifIsRebuiltWithoutTheMakerNote) {
  for (bool bigEndian : {false, true}) {
    SCOPED_TRACE(bigEndian ? "MM" : "II");
    const CameraBlock camera = MakeCameraBlock(bigEndian);
    const CameraMetadata metadata = ReadCameraMetadata(camera.tiff);  // a TIFF file in all but its pixels
    EXPECT_EQ(metadata.orientation, 6);
    ExifDirectories rebuilt;
    ASSERT_TRUE(SplitExif(metadata.exif, rebuilt));
    const auto tags = [](const std::vector<TiffTag>& directory) {
      std::vector<uint16_t> out;
      for (const TiffTag& tag : directory) out.push_back(tag.tag);
      return out;
    };
    EXPECT_EQ(tags(rebuilt.camera), (std::vector<uint16_t>{0x010F, 0x0110, 0x0112}));
    EXPECT_EQ(tags(rebuilt.exif), (std::vector<uint16_t>{0x9003, 0xA002, 0xA003}));
    ASSERT_EQ(tags(rebuilt.gps), (std::vector<uint16_t>{0x0000, 0x0001, 0x0002, 0x0003, 0x0004}));
    // Little-endian now: 48/1, 8/1, 30/1 degrees, minutes, seconds.
    EXPECT_EQ(rebuilt.gps[2].value, (std::vector<uint8_t>{48, 0, 0, 0, 1, 0, 0, 0, 8, 0, 0, 0, 1, 0, 0, 0, 30, 0, 0, 0, 1, 0, 0, 0}));
    EXPECT_EQ(std::string(rebuilt.camera[0].value.begin(), rebuilt.camera[0].value.end()), std::string("Quorvane Test Camera", 21));
    EXPECT_EQ(std::search(metadata.exif.begin(), metadata.exif.end(), camera.makerNote.begin(), camera.makerNote.end()),
              metadata.exif.end());
  }
  // A damaged file's tags out of order, one of them twice: put in order, the
  // first kept.
  TiffWriter w(false);
  w.Put(4, w.Directory({w.Ascii(0x0110, "QT-2"), w.Ascii(0x010F, "First"), w.Ascii(0x010F, "Second")}), 4);
  ExifDirectories rebuilt;
  ASSERT_TRUE(SplitExif(ReadCameraMetadata(w.bytes).exif, rebuilt));
  ASSERT_EQ(rebuilt.camera.size(), 2u);
  EXPECT_EQ(std::string(rebuilt.camera[0].value.begin(), rebuilt.camera[0].value.end()), std::string("First", 6));
  EXPECT_EQ(rebuilt.camera[1].tag, 0x0110);
}

// The program's own PNG and TIFF files carry the block and profile they were
// given to the next reading: the patched block byte for byte in PNG, its tags
// in TIFF.
TEST(CameraMetadataTest, OwnPngAndTiffFilesCarryTheirMetadataToTheNextReading) {
  const std::vector<uint8_t> profile = MakeProfile(70000);
  const CameraMetadata camera = ReadCameraMetadata(JpegWith({ExifSegment(MakeCameraBlock(true).tiff)}));
  CameraMetadata withProfile = camera;
  withProfile.icc = profile;
  EncodeOptions options;
  options.camera = &withProfile;
  std::vector<uint8_t> pixels = MakeFPicture(50, 25);
  std::vector<uint8_t> patched = camera.exif;
  ASSERT_TRUE(PatchExifForPanorama(patched, 25, 25));
  std::vector<uint8_t> png, tiff;
  ASSERT_TRUE(EncodePng({pixels.data(), 50, 25}, SaveShape::Square, options, png).ok());
  ASSERT_TRUE(EncodeTiff({pixels.data(), 50, 25}, SaveShape::Square, options, tiff).ok());
  const CameraMetadata fromPng = ReadCameraMetadata(png);
  EXPECT_TRUE(fromPng.exif == patched);
  EXPECT_TRUE(fromPng.icc == profile);
  EXPECT_EQ(fromPng.orientation, 1);
  const CameraMetadata fromTiff = ReadCameraMetadata(tiff);
  EXPECT_TRUE(fromTiff.icc == profile);
  EXPECT_EQ(fromTiff.orientation, 1);
  ExifDirectories expected, found;
  ASSERT_TRUE(SplitExif(patched, expected));
  ASSERT_TRUE(SplitExif(fromTiff.exif, found));
  for (auto [want, got] : {std::pair{&expected.exif, &found.exif}, std::pair{&expected.gps, &found.gps}}) {
    ASSERT_EQ(want->size(), got->size());
    for (size_t i = 0; i < want->size(); ++i) {
      EXPECT_EQ((*want)[i].tag, (*got)[i].tag);
      EXPECT_TRUE((*want)[i].value == (*got)[i].value) << (*want)[i].tag;
    }
  }
}

}  // namespace
