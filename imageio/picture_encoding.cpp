// What every saved file shares, whatever codes its pixels: the format its
// name asks for, the metadata put into an encoded JPEG or PNG file, and
// writing the bytes without risk to the file they replace. The encoders
// themselves are the system's: encode_picture.cpp and encode_picture_win.cpp.
#include "imageio/picture_encoding.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "imageio/bmp_writer.h"
#include "imageio/camera_metadata.h"
#include "imageio/file_replace.h"
#include "imageio/jpeg_header.h"
#include "imageio/panorama_xmp.h"
#include "imageio/tiff_writer.h"
#include "transform/stores.h"

namespace {

constexpr uint8_t kApp0 = 0xE0;
constexpr uint8_t kApp1 = 0xE1;
constexpr uint8_t kApp2 = 0xE2;
constexpr size_t kMostJpegPayloadBytes = 65533;  // a segment's length counts itself in 16 bits
constexpr char kXmpJpegSignature[] = "http://ns.adobe.com/xap/1.0/";  // with its zero
constexpr char kXmpPngKeyword[] = "XML:com.adobe.xmp";

constexpr uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
constexpr size_t kPngHeaderChunkEnd = 8 + 8 + 13 + 4;  // signature, then IHDR: length, type, data, CRC

// The CRC-32 of PNG chunks (ISO 3309, polynomial 0xEDB88320 reflected), from
// a table made once at compile time.
constexpr std::array<uint32_t, 256> kCrcTable = [] {
  std::array<uint32_t, 256> table{};
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[n] = c;
  }
  return table;
}();

uint32_t Crc32(std::span<const uint8_t> bytes, uint32_t crc = 0) {
  crc = ~crc;
  for (uint8_t byte : bytes) crc = kCrcTable[(crc ^ byte) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

void PutBigEndian32(std::vector<uint8_t>& out, uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(value >> shift));
}

void Append(std::vector<uint8_t>& out, std::string_view text) { out.insert(out.end(), text.begin(), text.end()); }

void Append(std::vector<uint8_t>& out, std::span<const uint8_t> bytes) {
  out.insert(out.end(), bytes.begin(), bytes.end());
}

// A JPEG marker segment: FF, the marker, the length (counting itself), the
// payload. Nothing for a payload too long for one segment (an EXIF block
// comes from one, and an ICC profile is cut to fit).
void AppendJpegSegment(std::vector<uint8_t>& out, uint8_t marker, std::string_view prefix,
                       std::span<const uint8_t> payload) {
  const size_t length = 2 + prefix.size() + payload.size();
  if (length - 2 > kMostJpegPayloadBytes) return;
  out.insert(out.end(), {0xFF, marker, static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)});
  Append(out, prefix);
  Append(out, payload);
}

// A PNG chunk: the data's length, the type, the data, the CRC of type and data.
void AppendPngChunk(std::vector<uint8_t>& out, const char (&type)[5], std::span<const uint8_t> data) {
  PutBigEndian32(out, static_cast<uint32_t>(data.size()));
  const size_t typeAt = out.size();
  Append(out, std::string_view(type, 4));
  Append(out, data);
  PutBigEndian32(out, Crc32(std::span<const uint8_t>(out).subspan(typeAt)));
}

std::span<const uint8_t> BytesOf(const std::string& text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

// The camera's EXIF block made to describe the panorama; empty when there is
// none or it is damaged.
std::vector<uint8_t> PanoramaExif(const EncodeOptions& options, int32_t width, int32_t height) {
  if (options.camera == nullptr || options.camera->exif.empty()) return {};
  std::vector<uint8_t> tiff = options.camera->exif;
  return PatchExifForPanorama(tiff, width, height) ? tiff : std::vector<uint8_t>{};
}

// EXIF first, as its standard asks (right after SOI, or after JFIF's APP0),
// then XMP, then the ICC profile. They go before everything the encoder wrote
// except its APP0 segments.
void AddJpegMetadata(const EncodeOptions& options, int32_t width, int32_t height, std::vector<uint8_t>& file) {
  std::vector<uint8_t> segments;
  const std::vector<uint8_t> exif = PanoramaExif(options, width, height);
  if (!exif.empty()) AppendJpegSegment(segments, kApp1, kExifSignature, exif);
  if (options.xmp != nullptr) {
    const std::string packet = PanoramaXmpPacket(*options.xmp);
    AppendJpegSegment(segments, kApp1, std::string_view(kXmpJpegSignature, sizeof kXmpJpegSignature), BytesOf(packet));
  }
  if (options.camera != nullptr) {
    for (const std::vector<uint8_t>& part : IccJpegPayloads(options.camera->icc))
      AppendJpegSegment(segments, kApp2, {}, part);
  }
  if (segments.empty()) return;

  size_t insertAt = 0;
  WalkJpegSegments(file, [&](const JpegSegment& segment) {
    insertAt = segment.at;
    return segment.marker == kApp0;
  });
  assert(insertAt >= 2 && "the encoder made a JPEG file without segments");
  file.insert(file.begin() + static_cast<ptrdiff_t>(insertAt), segments.begin(), segments.end());
}

// Right after IHDR: iCCP must come before the pixel data (IDAT), and so must
// eXIf for readers that look no further. A profile takes the place of any
// sRGB chunk the encoder wrote, as the two must not appear together.
void AddPngMetadata(const EncodeOptions& options, int32_t width, int32_t height, std::vector<uint8_t>& file) {
  assert(file.size() > kPngHeaderChunkEnd && std::equal(std::begin(kPngSignature), std::end(kPngSignature), file.begin()));
  std::vector<uint8_t> chunks;
  const bool icc = options.camera != nullptr && !options.camera->icc.empty();
  if (icc) AppendPngChunk(chunks, "iCCP", IccPngChunkData(options.camera->icc));
  const std::vector<uint8_t> exif = PanoramaExif(options, width, height);
  if (!exif.empty()) AppendPngChunk(chunks, "eXIf", exif);
  if (options.xmp != nullptr) {
    // iTXt: keyword, zero, not compressed (0, method 0), empty language tag
    // and translated keyword (each closed by a zero), then the UTF-8 text.
    std::vector<uint8_t> data;
    Append(data, std::string_view(kXmpPngKeyword, sizeof kXmpPngKeyword));
    data.insert(data.end(), {0, 0, 0, 0});
    Append(data, BytesOf(PanoramaXmpPacket(*options.xmp)));
    AppendPngChunk(chunks, "iTXt", data);
  }
  if (chunks.empty()) return;

  if (icc) {
    for (size_t at = kPngHeaderChunkEnd; at + 12 <= file.size();) {
      const size_t length = size_t{file[at]} << 24 | size_t{file[at + 1]} << 16 | size_t{file[at + 2]} << 8 | file[at + 3];
      const size_t end = at + 12 + length;
      if (std::memcmp(&file[at + 4], "IDAT", 4) == 0 || end > file.size()) break;
      if (std::memcmp(&file[at + 4], "sRGB", 4) == 0) {
        file.erase(file.begin() + static_cast<ptrdiff_t>(at), file.begin() + static_cast<ptrdiff_t>(end));
        continue;
      }
      at = end;
    }
  }
  file.insert(file.begin() + kPngHeaderChunkEnd, chunks.begin(), chunks.end());
}

}  // namespace

SavedColumns SavedColumnsOf(const PixelBuffer& picture, SaveShape shape) {
  const int32_t side = picture.height;
  const int32_t keptWidth = shape == SaveShape::Sphere ? 2 * side : side;
  SavedColumns columns;
  columns.fileWidth = shape == SaveShape::Square ? side : 2 * side;
  columns.left = SquareLeft(picture.width, keptWidth);
  columns.first = std::max(columns.left, 0);
  columns.last = std::min(columns.left + keptWidth, picture.width);
  return columns;
}

// The black columns of `scratch` are written once, when it is made; every row
// then copies the same columns over the same place.
const uint8_t* SavedRow(const PixelBuffer& picture, const SavedColumns& columns, int32_t y,
                        std::vector<uint8_t>& scratch) {
  if (columns.InsidePicture()) return picture.Pixel(columns.left, y);
  const size_t rowBytes = kBytesPerPixel * static_cast<size_t>(columns.fileWidth);
  if (scratch.size() != rowBytes) scratch.assign(rowBytes, 0);
  if (columns.last > columns.first) {
    std::memcpy(scratch.data() + kBytesPerPixel * static_cast<size_t>(columns.first - columns.left),
                picture.Pixel(columns.first, y), kBytesPerPixel * static_cast<size_t>(columns.last - columns.first));
  }
  return scratch.data();
}

std::optional<PictureFormat> FormatFromName(const std::string& name) {
  const size_t dot = name.find_last_of('.');
  if (dot == std::string::npos) return std::nullopt;
  std::string extension = name.substr(dot + 1);
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (extension == "bmp") return PictureFormat::Bmp;
  if (extension == "jpg" || extension == "jpeg") return PictureFormat::Jpeg;
  if (extension == "png") return PictureFormat::Png;
  if (extension == "tif" || extension == "tiff") return PictureFormat::Tiff;
  return std::nullopt;
}

void AddPictureMetadata(PictureFormat format, const EncodeOptions& options, int32_t width, int32_t height,
                        std::vector<uint8_t>& file) {
  if (format == PictureFormat::Jpeg) AddJpegMetadata(options, width, height, file);
  if (format == PictureFormat::Png) AddPngMetadata(options, width, height, file);
}

constexpr size_t kWriteBufferBytes = 1 << 20;

Result WriteFileSafely(const std::string& name, const std::function<bool(const ByteSink&)>& writeBytes) {
  // Written beside the target under a name of its own, then put in its place,
  // so that a failure at any point leaves an existing file as it was.
  std::FILE* file = nullptr;
  std::string temporary;
  for (int attempt = 0; attempt < 100 && file == nullptr; ++attempt) {
    temporary = name + ".part" + std::to_string(attempt);
    file = CreateNewFile(temporary);
    if (file == nullptr && errno != EEXIST) break;
  }
  if (file == nullptr) return Result::Failure(std::string("cannot create the file: ") + std::strerror(errno));

  // One write per megabyte rather than one per row.
  std::setvbuf(file, nullptr, _IOFBF, kWriteBufferBytes);
  int writeError = 0;
  bool written = writeBytes([&](std::span<const uint8_t> bytes) {
    if (std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size()) return true;
    writeError = errno;
    return false;
  });
  // Before the new bytes take an existing file's place they must be on the
  // disk, so that a crash cannot leave the user with neither version. A new
  // name puts nothing at risk and is not held up.
  if (written && FileExists(name) && !FlushToDisk(file)) {
    written = false;
    writeError = errno;
  }
  if (std::fclose(file) != 0 && written) {
    written = false;
    writeError = errno;
  }
  if (!written) {
    std::remove(temporary.c_str());
    return Result::Failure(std::string("cannot write the file: ") +
                           std::strerror(writeError != 0 ? writeError : EIO));
  }
  std::string error;
  if (!MoveIntoPlace(temporary, name, error)) {
    std::remove(temporary.c_str());
    return Result::Failure("cannot replace the file: " + error);
  }
  return {};
}

Result WritePictureFile(const PixelBuffer& picture, SaveShape shape, PictureFormat format,
                        const EncodeOptions& options, const std::string& name) {
  if (picture.base == nullptr || picture.width <= 0 || picture.height <= 0)
    return Result::Failure("there is no picture to save");
  if (format == PictureFormat::Bmp) return WriteBmpPicture(picture, shape, name);
  std::vector<uint8_t> file;
  Result encoded = format == PictureFormat::Png    ? EncodePng(picture, shape, options, file)
                   : format == PictureFormat::Tiff ? EncodeTiff(picture, shape, options, file)
                                                   : EncodeJpeg(picture, shape, options, file);
  if (!encoded.ok()) return encoded;
  return WriteFileSafely(name, [&](const ByteSink& sink) { return sink(file); });
}

bool Holds16Bits(PictureFormat format) { return format == PictureFormat::Png || format == PictureFormat::Tiff; }

Result WritePictureFile16(const PixelBuffer16& picture, SaveShape shape, PictureFormat format,
                          const EncodeOptions& options, const std::string& name) {
  assert(Holds16Bits(format));
  if (picture.base == nullptr || picture.width <= 0 || picture.height <= 0)
    return Result::Failure("there is no picture to save");
  std::vector<uint8_t> file;
  Result encoded = format == PictureFormat::Png ? EncodePng16(picture, shape, options, file)
                                                : EncodeTiff16(picture, shape, options, file);
  if (!encoded.ok()) return encoded;
  return WriteFileSafely(name, [&](const ByteSink& sink) { return sink(file); });
}
