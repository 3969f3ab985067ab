// TIFF 6.0, little-endian: the header, the strips, then the one directory
// with the values too long for its entries, then the Exif and GPS
// directories. Rows are RGB with the horizontal predictor (each sample the
// difference from the same sample of the pixel to its left), which makes a
// photograph's rows compress by a third more, and strips of about 256 kB
// each pass through zlib on their own.
#include "imageio/tiff_writer.h"

#include <zlib.h>

#include <algorithm>
#include <memory>

#include "imageio/camera_metadata.h"
#include "imageio/panorama_xmp.h"

namespace {

constexpr uint16_t kByte = 1, kShort = 3, kLong = 4, kUndefined = 7;
constexpr size_t kStripBytes = 256 * 1024;
// zlib's own default, the level its authors weigh size against time with.
constexpr int kDeflateLevel = 6;

std::vector<uint8_t> LittleEndian(std::initializer_list<uint32_t> values, size_t bytesEach) {
  std::vector<uint8_t> out;
  for (uint32_t value : values) {
    for (size_t i = 0; i < bytesEach; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
  }
  return out;
}

TiffTag Short(uint16_t tag, std::initializer_list<uint32_t> values) {
  return {tag, kShort, static_cast<uint32_t>(values.size()), LittleEndian(values, 2)};
}
TiffTag Long(uint16_t tag, uint32_t value) { return {tag, kLong, 1, LittleEndian({value}, 4)}; }

void PutLong(std::vector<uint8_t>& file, size_t at, uint32_t value) {
  for (size_t i = 0; i < 4; ++i) file[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

// One stored row of the picture as the file's row: red, green, blue, each
// sample a difference from the one to its left, little-endian.
template <typename Sample>
void FileRow(const Sample* pixels, const SavedColumns& columns, int32_t width, std::vector<uint8_t>& row) {
  constexpr size_t kBytes = sizeof(Sample);
  row.assign(3 * kBytes * static_cast<size_t>(columns.fileWidth), 0);
  Sample previous[3] = {0, 0, 0};
  for (int32_t i = 0; i < columns.fileWidth; ++i) {
    const int32_t x = columns.left + i;
    const bool inside = x >= columns.first && x < columns.last && x < width;
    for (int c = 0; c < 3; ++c) {
      const Sample value = inside ? pixels[4 * static_cast<size_t>(x) + 2 - c] : Sample{0};
      const Sample difference = static_cast<Sample>(value - previous[c]);
      previous[c] = value;
      for (size_t b = 0; b < kBytes; ++b) row[(3 * static_cast<size_t>(i) + c) * kBytes + b] = static_cast<uint8_t>(difference >> (8 * b));
    }
  }
}

struct DeflateEnder {
  void operator()(z_stream* z) const { deflateEnd(z); }
};

template <typename Sample>
Result Encode(const Sample* base, int32_t width, int32_t height, SaveShape shape, const EncodeOptions& options,
              std::vector<uint8_t>& file) {
  constexpr int kBits = 8 * sizeof(Sample);
  const SavedColumns columns = SavedColumnsOf(PixelBuffer{nullptr, width, height}, shape);
  const size_t rowBytes = 3 * sizeof(Sample) * static_cast<size_t>(columns.fileWidth);
  const int32_t rowsPerStrip = static_cast<int32_t>(std::clamp<size_t>(kStripBytes / rowBytes, 1, height));
  file.assign({'I', 'I', 42, 0, 0, 0, 0, 0});
  std::vector<uint32_t> stripOffsets, stripBytes;
  std::vector<uint8_t> row;
  z_stream z{};
  if (deflateInit(&z, kDeflateLevel) != Z_OK) return Result::Failure("the TIFF encoder could not be started");
  std::unique_ptr<z_stream, DeflateEnder> ender(&z);
  for (int32_t top = 0; top < height; top += rowsPerStrip) {
    if (deflateReset(&z) != Z_OK) return Result::Failure("the TIFF encoder failed");
    const size_t start = file.size();
    const int32_t rows = std::min(rowsPerStrip, height - top);
    // File rows run down from the top, stored rows up from the bottom.
    for (int32_t r = 0; r < rows; ++r) {
      const int32_t y = height - 1 - (top + r);
      FileRow(base + 4 * static_cast<size_t>(width) * y, columns, width, row);
      z.next_in = row.data();
      z.avail_in = static_cast<uInt>(row.size());
      const int flush = r + 1 == rows ? Z_FINISH : Z_NO_FLUSH;
      int status = Z_OK;
      do {
        const size_t at = file.size();
        file.resize(at + std::max<size_t>(deflateBound(&z, z.avail_in), 4096));
        z.next_out = file.data() + at;
        z.avail_out = static_cast<uInt>(file.size() - at);
        status = deflate(&z, flush);
        file.resize(file.size() - z.avail_out);
      } while (status == Z_OK && (z.avail_in > 0 || flush == Z_FINISH));
      if (status != Z_OK && status != Z_STREAM_END) return Result::Failure("the TIFF encoder failed");
    }
    stripOffsets.push_back(static_cast<uint32_t>(start));
    stripBytes.push_back(static_cast<uint32_t>(file.size() - start));
    if (file.size() > 0xFFF00000u) return Result::Failure("the panorama is too large for a TIFF file (4 GB)");
  }

  ExifDirectories camera;
  if (options.camera != nullptr && !options.camera->exif.empty()) {
    std::vector<uint8_t> exif = options.camera->exif;
    if (!PatchExifForPanorama(exif, columns.fileWidth, height) || !SplitExif(exif, camera)) camera = {};
  }
  std::vector<TiffTag> tags = {
      Long(256, static_cast<uint32_t>(columns.fileWidth)),
      Long(257, static_cast<uint32_t>(height)),
      Short(258, {kBits, kBits, kBits}),
      Short(259, {8}),  // Deflate (Adobe)
      Short(262, {2}),  // RGB
      {273, kLong, static_cast<uint32_t>(stripOffsets.size()), {}},
      Short(274, {1}),  // upright
      Short(277, {3}),
      Long(278, static_cast<uint32_t>(rowsPerStrip)),
      {279, kLong, static_cast<uint32_t>(stripBytes.size()), {}},
      Short(284, {1}),  // samples interleaved
      Short(317, {2}),  // horizontal predictor
  };
  for (size_t i = 0; i < stripOffsets.size(); ++i) {
    const std::vector<uint8_t> offset = LittleEndian({stripOffsets[i]}, 4), count = LittleEndian({stripBytes[i]}, 4);
    tags[5].value.insert(tags[5].value.end(), offset.begin(), offset.end());
    tags[9].value.insert(tags[9].value.end(), count.begin(), count.end());
  }
  for (const TiffTag& tag : camera.camera) {
    if (tag.tag != 274) tags.push_back(tag);
  }
  if (options.xmp != nullptr) {
    const std::string packet = PanoramaXmpPacket(*options.xmp);
    tags.push_back({700, kByte, static_cast<uint32_t>(packet.size()), {packet.begin(), packet.end()}});
  }
  if (!camera.exif.empty()) tags.push_back(Long(34665, 0));
  if (options.camera != nullptr && !options.camera->icc.empty()) {
    const std::vector<uint8_t>& icc = options.camera->icc;
    tags.push_back({34675, kUndefined, static_cast<uint32_t>(icc.size()), icc});
  }
  if (!camera.gps.empty()) tags.push_back(Long(34853, 0));
  std::sort(tags.begin(), tags.end(), [](const TiffTag& a, const TiffTag& b) { return a.tag < b.tag; });

  const size_t directoryAt = AppendTiffDirectory(file, tags);
  PutLong(file, 4, static_cast<uint32_t>(directoryAt));
  for (const auto& [tag, directory] : {std::pair{uint16_t{34665}, &camera.exif}, std::pair{uint16_t{34853}, &camera.gps}}) {
    if (directory->empty()) continue;
    const size_t at = AppendTiffDirectory(file, *directory);
    PutLong(file, TiffValueField(file, directoryAt, tag), static_cast<uint32_t>(at));
  }
  if (file.size() > 0xFFFFFFFFu) return Result::Failure("the panorama is too large for a TIFF file (4 GB)");
  return {};
}

}  // namespace

Result EncodeTiff(const PixelBuffer& picture, SaveShape shape, const EncodeOptions& options, std::vector<uint8_t>& file) {
  return Encode(picture.base, picture.width, picture.height, shape, options, file);
}

Result EncodeTiff16(const PixelBuffer16& picture, SaveShape shape, const EncodeOptions& options,
                    std::vector<uint8_t>& file) {
  return Encode(picture.base, picture.width, picture.height, shape, options, file);
}
