// The camera's metadata of an input picture, carried over into the panorama.
//
// EXIF (CIPA DC-008) is a TIFF block: a byte-order mark ("II" little-endian,
// "MM" big-endian), 42, and the offset of IFD0, a directory of 12-byte entries
// (tag, type, count, then the value itself when it fits in 4 bytes, otherwise
// its offset) followed by the offset of the next directory, IFD1, which holds
// the thumbnail. Pointer tags in IFD0 lead to the Exif and GPS directories,
// and one in the Exif directory to the interoperability directory. Offsets
// count from the start of the block, and maker notes often hold offsets of
// their own that nothing documents: a JPEG's or PNG's block is therefore
// edited in place, never rebuilt, so that every byte stays where the camera
// put it. A TIFF file's tags are its own directories, which hold its pixels'
// description too: there the block is put together anew, and the maker note
// left out.
#include "imageio/camera_metadata.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <functional>
#include <optional>
#include <string_view>

#include <zlib.h>

#include "imageio/decoded_rows.h"
#include "imageio/jpeg_header.h"

namespace {

constexpr uint8_t kApp1 = 0xE1;
constexpr uint8_t kApp2 = 0xE2;

constexpr uint16_t kTagImageWidth = 0x0100;
constexpr uint16_t kTagImageLength = 0x0101;
constexpr uint16_t kTagOrientation = 0x0112;
constexpr uint16_t kTagExifIfd = 0x8769;
constexpr uint16_t kTagGpsIfd = 0x8825;
constexpr uint16_t kTagInteropIfd = 0xA005;
constexpr uint16_t kTagPixelXDimension = 0xA002;
constexpr uint16_t kTagPixelYDimension = 0xA003;

constexpr uint16_t kTypeShort = 3;
constexpr uint16_t kTypeLong = 4;
constexpr uint16_t kTypeIfd = 13;

constexpr size_t kTiffHeaderBytes = 8;
constexpr size_t kIfdEntryBytes = 12;

// Bytes per value of each TIFF type (1 BYTE to 13 IFD); 0 for types a reader
// must skip.
size_t TypeBytes(uint16_t type) {
  constexpr std::array<uint8_t, 14> kBytes = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8, 4};
  return type < kBytes.size() ? kBytes[type] : 0;
}

// Reads numbers in the block's byte order.
class TiffBlock {
 public:
  explicit TiffBlock(std::span<const uint8_t> bytes) : bytes_(bytes) {}

  size_t size() const { return bytes_.size(); }
  bool HasByteOrderMark() const {
    return size() >= 2 && bytes_[0] == bytes_[1] && (bytes_[0] == 'I' || bytes_[0] == 'M');
  }
  uint16_t U16(size_t at) const {
    const uint16_t a = bytes_[at], b = bytes_[at + 1];
    return static_cast<uint16_t>(BigEndian() ? a << 8 | b : b << 8 | a);
  }
  uint32_t U32(size_t at) const {
    const uint32_t first = U16(at), second = U16(at + 2);
    return BigEndian() ? first << 16 | second : second << 16 | first;
  }

 private:
  bool BigEndian() const { return bytes_[0] == 'M'; }
  std::span<const uint8_t> bytes_;
};

void PutU16(std::span<uint8_t> tiff, size_t at, uint16_t value) {
  const bool bigEndian = tiff[0] == 'M';
  tiff[at + (bigEndian ? 0 : 1)] = static_cast<uint8_t>(value >> 8);
  tiff[at + (bigEndian ? 1 : 0)] = static_cast<uint8_t>(value);
}

void PutU32(std::span<uint8_t> tiff, size_t at, uint32_t value) {
  const bool bigEndian = tiff[0] == 'M';
  PutU16(tiff, at + (bigEndian ? 0 : 2), static_cast<uint16_t>(value >> 16));
  PutU16(tiff, at + (bigEndian ? 2 : 0), static_cast<uint16_t>(value));
}

// Where a one-value SHORT or LONG entry keeps its value; at 0 when the tag is
// absent or holds something else.
struct NumberField {
  size_t at = 0;
  uint16_t type = 0;
};

// The places PatchExifForPanorama edits, found by a walk that checks that
// every directory and every value lies inside the block.
struct ExifLayout {
  size_t nextIfdAt = 0;  // where IFD0 keeps the offset of IFD1
  NumberField orientation, imageWidth, imageLength, pixelX, pixelY;
};

enum class Ifd { Zero, Exif, Gps, Interoperability };

class ExifWalk {
 public:
  explicit ExifWalk(std::span<const uint8_t> bytes) : tiff_(bytes) {}

  std::optional<ExifLayout> Run() {
    if (!tiff_.HasByteOrderMark() || tiff_.size() < kTiffHeaderBytes || tiff_.U16(2) != 42) return std::nullopt;
    ExifLayout layout;
    const size_t ifd0 = tiff_.U32(4);
    if (!Directory(ifd0, Ifd::Zero, layout)) return std::nullopt;
    layout.nextIfdAt = ifd0 + 2 + kIfdEntryBytes * tiff_.U16(ifd0);
    return layout;
  }

 private:
  // IFD1 is never visited: the panorama drops it. A directory met twice is a
  // loop.
  bool Directory(size_t at, Ifd ifd, ExifLayout& layout) {
    if (at < kTiffHeaderBytes || at + 2 > tiff_.size()) return false;
    if (std::find(visited_.begin(), visited_.end(), at) != visited_.end()) return false;
    visited_.push_back(at);
    const size_t entries = tiff_.U16(at);
    if (at + 2 + kIfdEntryBytes * entries + 4 > tiff_.size()) return false;
    for (size_t i = 0; i < entries; ++i) {
      const size_t entry = at + 2 + kIfdEntryBytes * i;
      const uint16_t tag = tiff_.U16(entry);
      const uint16_t type = tiff_.U16(entry + 2);
      const uint64_t count = tiff_.U32(entry + 4);
      const uint64_t valueBytes = TypeBytes(type) * count;
      if (valueBytes > 4 && tiff_.U32(entry + 8) + valueBytes > tiff_.size()) return false;

      Ifd pointee = ifd;
      if (ifd == Ifd::Zero && tag == kTagExifIfd) pointee = Ifd::Exif;
      if (ifd == Ifd::Zero && tag == kTagGpsIfd) pointee = Ifd::Gps;
      if (ifd == Ifd::Exif && tag == kTagInteropIfd) pointee = Ifd::Interoperability;
      if (pointee != ifd) {
        if (count != 1 || (type != kTypeLong && type != kTypeIfd)) return false;
        if (!Directory(tiff_.U32(entry + 8), pointee, layout)) return false;
        continue;
      }
      const bool number = count == 1 && (type == kTypeShort || type == kTypeLong);
      const NumberField field{number ? entry + 8 : 0, type};
      if (ifd == Ifd::Zero && tag == kTagOrientation) layout.orientation = field;
      if (ifd == Ifd::Zero && tag == kTagImageWidth) layout.imageWidth = field;
      if (ifd == Ifd::Zero && tag == kTagImageLength) layout.imageLength = field;
      if (ifd == Ifd::Exif && tag == kTagPixelXDimension) layout.pixelX = field;
      if (ifd == Ifd::Exif && tag == kTagPixelYDimension) layout.pixelY = field;
    }
    return true;
  }

  TiffBlock tiff_;
  std::vector<size_t> visited_;
};

uint32_t NumberAt(const TiffBlock& tiff, const NumberField& field) {
  return field.type == kTypeShort ? tiff.U16(field.at) : tiff.U32(field.at);
}

// A SHORT keeps its old value when the new one does not fit.
void PutNumber(std::span<uint8_t> tiff, const NumberField& field, uint32_t value) {
  if (field.at == 0) return;
  if (field.type == kTypeLong) PutU32(tiff, field.at, value);
  else if (value <= 0xFFFF) PutU16(tiff, field.at, static_cast<uint16_t>(value));
}

bool StartsWith(std::span<const uint8_t> bytes, std::string_view prefix) {
  return bytes.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), bytes.begin(),
                                                     [](char a, uint8_t b) { return static_cast<uint8_t>(a) == b; });
}

// An ICC profile too large for one segment is cut into parts; each opens with
// its sequence number (from 1) and the number of parts. Any part missing,
// doubled, cut short or numbered against the others loses the profile.
std::vector<uint8_t> JoinIccParts(const std::vector<JpegSegment>& segments) {
  if (segments.empty()) return {};
  const size_t header = kIccSignature.size() + 2;
  std::vector<const JpegSegment*> bySequence(256, nullptr);
  const uint8_t parts = segments.front().payload.size() >= header ? segments.front().payload[header - 1] : 0;
  for (const JpegSegment& segment : segments) {
    if (!segment.complete() || segment.payload.size() < header) return {};
    const uint8_t sequence = segment.payload[header - 2];
    if (segment.payload[header - 1] != parts || sequence == 0 || sequence > parts) return {};
    if (bySequence[sequence] != nullptr) return {};
    bySequence[sequence] = &segment;
  }
  if (segments.size() != parts) return {};
  std::vector<uint8_t> profile;
  for (int sequence = 1; sequence <= parts; ++sequence) {
    const std::span<const uint8_t> data = bySequence[sequence]->payload.subspan(header);
    profile.insert(profile.end(), data.begin(), data.end());
  }
  return profile;
}

// Keeps an EXIF block that a walk finds whole, with its orientation.
void KeepExif(std::span<const uint8_t> tiff, CameraMetadata& metadata) {
  const std::optional<ExifLayout> layout = ExifWalk(tiff).Run();
  if (!layout) return;
  metadata.exif.assign(tiff.begin(), tiff.end());
  if (layout->orientation.at != 0) {
    const uint32_t orientation = NumberAt(TiffBlock(tiff), layout->orientation);
    metadata.orientation = orientation >= 1 && orientation <= 8 ? static_cast<int>(orientation) : 0;
  }
}

// A zlib stream's content, when it is whole and no larger than a profile
// can sensibly be; empty otherwise.
std::vector<uint8_t> Inflate(std::span<const uint8_t> stream) {
  constexpr size_t kMostProfileBytes = 16 << 20;
  z_stream z{};
  if (inflateInit(&z) != Z_OK) return {};
  std::vector<uint8_t> out(64 * 1024);
  z.next_in = const_cast<Bytef*>(stream.data());
  z.avail_in = static_cast<uInt>(stream.size());
  int status = Z_OK;
  while (status == Z_OK) {
    if (z.total_out == out.size()) {
      if (out.size() >= kMostProfileBytes) break;
      out.resize(2 * out.size());
    }
    z.next_out = out.data() + z.total_out;
    z.avail_out = static_cast<uInt>(out.size() - z.total_out);
    status = inflate(&z, Z_NO_FLUSH);
  }
  const size_t produced = z.total_out;
  inflateEnd(&z);
  if (status != Z_STREAM_END) return {};
  out.resize(produced);
  return out;
}

// PNG: eXIf holds an EXIF block as a JPEG's APP1 does (some writers keep the
// "Exif\0\0" before it), iCCP a name, a zero, the method 0 and the profile
// compressed by zlib. Chunks are walked to IEND or the first damage.
void ReadPngMetadata(std::span<const uint8_t> file, CameraMetadata& metadata) {
  bool exifSeen = false, iccSeen = false;
  for (size_t at = 8; at + 12 <= file.size();) {
    const size_t length = size_t{file[at]} << 24 | size_t{file[at + 1]} << 16 | size_t{file[at + 2]} << 8 | file[at + 3];
    if (length > file.size() - at - 12) break;
    const std::string_view type(reinterpret_cast<const char*>(&file[at + 4]), 4);
    std::span<const uint8_t> data = file.subspan(at + 8, length);
    if (type == "eXIf" && !exifSeen) {
      exifSeen = true;
      if (StartsWith(data, kExifSignature)) data = data.subspan(kExifSignature.size());
      KeepExif(data, metadata);
    } else if (type == "iCCP" && !iccSeen) {
      iccSeen = true;
      const size_t nameEnd = std::find(data.begin(), data.end(), 0) - data.begin();
      if (nameEnd + 2 <= data.size() && data[nameEnd + 1] == 0) metadata.icc = Inflate(data.subspan(nameEnd + 2));
    } else if (type == "IEND") {
      break;
    }
    at += 12 + length;
  }
}

// The tags of a camera's IFD0 that a panorama keeps: those that describe the
// camera and the photograph, not its pixels.
constexpr uint16_t kCameraTags[] = {
    0x010E /* ImageDescription */, 0x010F /* Make */, 0x0110 /* Model */, kTagOrientation,
    0x011A /* XResolution */, 0x011B /* YResolution */, 0x0128 /* ResolutionUnit */, 0x0131 /* Software */,
    0x0132 /* DateTime */, 0x013B /* Artist */, 0x8298 /* Copyright */};
constexpr uint16_t kTagMakerNote = 0x927C;
constexpr uint16_t kTagIcc = 34675;

// The bytes of one number of each type that byte order turns around: 2 for
// SHORT, 4 for LONG, FLOAT, IFD and each half of a RATIONAL, 8 for DOUBLE.
size_t SwapUnit(uint16_t type) {
  switch (type) {
    case 3: case 8: return 2;
    case 4: case 5: case 9: case 10: case 11: case 13: return 4;
    case 12: return 8;
    default: return 1;
  }
}

// The entries of the directory at `at` that `keep` accepts, values made
// little-endian; false when the directory or a kept value lies outside the
// block.
bool ReadEntries(std::span<const uint8_t> block, size_t at, const std::function<bool(uint16_t)>& keep,
                 std::vector<TiffTag>& entries) {
  const TiffBlock tiff(block);
  if (at < kTiffHeaderBytes || at + 2 > block.size()) return false;
  const size_t count = tiff.U16(at);
  if (at + 2 + kIfdEntryBytes * count > block.size()) return false;
  for (size_t i = 0; i < count; ++i) {
    const size_t entry = at + 2 + kIfdEntryBytes * i;
    TiffTag kept{tiff.U16(entry), tiff.U16(entry + 2), tiff.U32(entry + 4), {}};
    const uint64_t valueBytes = uint64_t{TypeBytes(kept.type)} * kept.count;
    if (!keep(kept.tag) || valueBytes == 0) continue;
    const size_t valueAt = valueBytes <= 4 ? entry + 8 : tiff.U32(entry + 8);
    if (valueAt + valueBytes > block.size()) return false;
    kept.value.assign(block.begin() + valueAt, block.begin() + valueAt + valueBytes);
    if (block[0] == 'M') {
      const size_t unit = SwapUnit(kept.type);
      for (size_t n = 0; n + unit <= kept.value.size(); n += unit)
        std::reverse(kept.value.begin() + n, kept.value.begin() + n + unit);
    }
    entries.push_back(std::move(kept));
  }
  // A directory's tags should be in order and each once; a damaged one's
  // are put in order, and the first of a tag met twice kept.
  std::stable_sort(entries.begin(), entries.end(), [](const TiffTag& a, const TiffTag& b) { return a.tag < b.tag; });
  entries.erase(std::unique(entries.begin(), entries.end(), [](const TiffTag& a, const TiffTag& b) { return a.tag == b.tag; }),
                entries.end());
  return true;
}

// A little-endian EXIF block of the directories: IFD0 with pointers to the
// Exif and GPS directories that are not empty, each directory followed by
// the values too long for its entries.
std::vector<uint8_t> JoinExif(const ExifDirectories& directories) {
  std::vector<uint8_t> block = {'I', 'I', 42, 0, 0, 0, 0, 0};
  PutU32(block, 4, kTiffHeaderBytes);
  std::vector<TiffTag> zero = directories.camera;
  const std::pair<uint16_t, const std::vector<TiffTag>*> children[] = {{kTagExifIfd, &directories.exif},
                                                                       {kTagGpsIfd, &directories.gps}};
  for (const auto& [tag, child] : children) {
    if (child->empty()) continue;
    const TiffTag link{tag, kTypeLong, 1, {0, 0, 0, 0}};
    zero.insert(std::find_if(zero.begin(), zero.end(), [&link](const TiffTag& t) { return t.tag > link.tag; }), link);
  }
  const size_t zeroAt = AppendTiffDirectory(block, zero);
  for (const auto& [tag, child] : children) {
    if (child->empty()) continue;
    const size_t at = AppendTiffDirectory(block, *child);
    PutU32(block, TiffValueField(block, zeroAt, tag), static_cast<uint32_t>(at));
  }
  return block;
}

// A TIFF file's own first directory describes its pixels; its camera tags,
// Exif and GPS directories make the EXIF block.
void ReadTiffMetadata(std::span<const uint8_t> file, CameraMetadata& metadata) {
  ExifDirectories directories;
  if (SplitExif(file, directories) && !directories.camera.empty()) KeepExif(JoinExif(directories), metadata);
  std::vector<TiffTag> icc;
  if (ReadEntries(file, TiffBlock(file).U32(4), [](uint16_t tag) { return tag == kTagIcc; }, icc) && !icc.empty() &&
      icc.front().value.size() > 4) {
    metadata.icc = std::move(icc.front().value);
  }
}

}  // namespace

// Values that do not fit their entries follow the directory, each at an even
// offset, as TIFF asks.
size_t AppendTiffDirectory(std::vector<uint8_t>& file, const std::vector<TiffTag>& tags) {
  if (file.size() % 2 != 0) file.push_back(0);
  const size_t at = file.size();
  file.resize(at + 2 + kIfdEntryBytes * tags.size() + 4, 0);
  PutU16(file, at, static_cast<uint16_t>(tags.size()));
  for (size_t i = 0; i < tags.size(); ++i) {
    const TiffTag& entry = tags[i];
    assert(i == 0 || tags[i - 1].tag < entry.tag);
    const size_t field = at + 2 + kIfdEntryBytes * i;
    PutU16(file, field, entry.tag);
    PutU16(file, field + 2, entry.type);
    PutU32(file, field + 4, entry.count);
    if (entry.value.size() <= 4) {
      std::copy(entry.value.begin(), entry.value.end(), file.begin() + field + 8);
    } else {
      PutU32(file, field + 8, static_cast<uint32_t>(file.size()));
      file.insert(file.end(), entry.value.begin(), entry.value.end());
      if (file.size() % 2 != 0) file.push_back(0);
    }
  }
  return at;
}

size_t TiffValueField(std::span<const uint8_t> file, size_t directoryAt, uint16_t tag) {
  const TiffBlock tiff(file);
  for (size_t i = 0; i < tiff.U16(directoryAt); ++i) {
    const size_t field = directoryAt + 2 + kIfdEntryBytes * i;
    if (tiff.U16(field) == tag) return field + 8;
  }
  assert(false && "the directory has no such tag");
  return 0;
}

bool SplitExif(std::span<const uint8_t> tiff, ExifDirectories& directories) {
  const TiffBlock block(tiff);
  if (!block.HasByteOrderMark() || tiff.size() < kTiffHeaderBytes || block.U16(2) != 42) return false;
  const size_t ifd0 = block.U32(4);
  ExifDirectories split;
  const auto cameraTag = [](uint16_t tag) {
    return std::find(std::begin(kCameraTags), std::end(kCameraTags), tag) != std::end(kCameraTags);
  };
  std::vector<TiffTag> pointers;
  if (!ReadEntries(tiff, ifd0, cameraTag, split.camera) ||
      !ReadEntries(tiff, ifd0, [](uint16_t tag) { return tag == kTagExifIfd || tag == kTagGpsIfd; }, pointers))
    return false;
  for (const TiffTag& pointer : pointers) {
    if (pointer.count != 1 || (pointer.type != kTypeLong && pointer.type != kTypeIfd)) return false;
    const size_t at = size_t{pointer.value[0]} | size_t{pointer.value[1]} << 8 | size_t{pointer.value[2]} << 16 |
                      size_t{pointer.value[3]} << 24;
    const bool exif = pointer.tag == kTagExifIfd;
    const auto keep = [exif](uint16_t tag) { return !exif || (tag != kTagMakerNote && tag != kTagInteropIfd); };
    if (!ReadEntries(tiff, at, keep, exif ? split.exif : split.gps)) return false;
  }
  directories = std::move(split);
  return true;
}

CameraMetadata ReadCameraMetadata(std::span<const uint8_t> file) {
  CameraMetadata metadata;
  if (LooksLikePng(file)) {
    ReadPngMetadata(file, metadata);
    return metadata;
  }
  if (LooksLikeTiff(file)) {
    ReadTiffMetadata(file, metadata);
    return metadata;
  }
  const std::span<const uint8_t> jpegFile = file;
  bool exifSeen = false;
  std::vector<JpegSegment> iccParts;
  // Metadata comes before the first scan. Only the first EXIF segment is
  // EXIF; XMP is never read: the panorama gets a packet of our own.
  WalkJpegSegments(jpegFile, [&](const JpegSegment& segment) {
    if (segment.marker == kApp1 && !exifSeen && StartsWith(segment.payload, kExifSignature)) {
      exifSeen = true;
      const std::span<const uint8_t> tiff = segment.payload.subspan(kExifSignature.size());
      const std::optional<ExifLayout> layout = segment.complete() ? ExifWalk(tiff).Run() : std::nullopt;
      if (layout) {
        metadata.exif.assign(tiff.begin(), tiff.end());
        if (layout->orientation.at != 0) {
          const uint32_t orientation = NumberAt(TiffBlock(tiff), layout->orientation);
          metadata.orientation = orientation >= 1 && orientation <= 8 ? static_cast<int>(orientation) : 0;
        }
      }
    } else if (segment.marker == kApp2 && StartsWith(segment.payload, kIccSignature)) {
      iccParts.push_back(segment);
    }
    return segment.marker != 0xDA;
  });
  metadata.icc = JoinIccParts(iccParts);
  return metadata;
}

bool PatchExifForPanorama(std::vector<uint8_t>& tiff, int32_t width, int32_t height) {
  const std::optional<ExifLayout> layout = ExifWalk(tiff).Run();
  if (!layout || width <= 0 || height <= 0) return false;
  PutNumber(tiff, layout->orientation, 1);
  PutNumber(tiff, layout->imageWidth, static_cast<uint32_t>(width));
  PutNumber(tiff, layout->imageLength, static_cast<uint32_t>(height));
  PutNumber(tiff, layout->pixelX, static_cast<uint32_t>(width));
  PutNumber(tiff, layout->pixelY, static_cast<uint32_t>(height));
  PutU32(tiff, layout->nextIfdAt, 0);
  return true;
}

// A JPEG segment holds at most 65533 payload bytes, 14 of them the part's
// header.
std::vector<std::vector<uint8_t>> IccJpegPayloads(std::span<const uint8_t> icc) {
  constexpr size_t kPartBytes = 65533 - kIccSignature.size() - 2;
  const size_t parts = (icc.size() + kPartBytes - 1) / kPartBytes;
  if (parts == 0 || parts > 255) return {};
  std::vector<std::vector<uint8_t>> payloads;
  for (size_t part = 0; part < parts; ++part) {
    const std::span<const uint8_t> data = icc.subspan(part * kPartBytes, std::min(kPartBytes, icc.size() - part * kPartBytes));
    std::vector<uint8_t> payload(kIccSignature.begin(), kIccSignature.end());
    payload.push_back(static_cast<uint8_t>(part + 1));
    payload.push_back(static_cast<uint8_t>(parts));
    payload.insert(payload.end(), data.begin(), data.end());
    payloads.push_back(std::move(payload));
  }
  return payloads;
}

// iCCP: a profile name (1 to 79 Latin-1 characters), a zero, compression
// method 0, then the profile as a zlib stream (RFC 1950). Our stream stores
// the profile in deflate's uncompressed blocks (RFC 1951, block type 0):
// Windows has no zlib to call, and this way both systems write the same bytes.
// Profiles are small next to the picture, so nothing is lost that matters.
std::vector<uint8_t> IccPngChunkData(std::span<const uint8_t> icc) {
  constexpr char kName[] = "ICC profile";
  std::vector<uint8_t> data(kName, kName + sizeof kName);  // with its zero
  data.push_back(0);                                       // compression method: zlib
  // CMF 0x78: deflate with a 32 kB window; FLG 0x01: no dictionary, and
  // 0x7801 is a multiple of 31, as the header check asks.
  data.push_back(0x78);
  data.push_back(0x01);
  constexpr size_t kMostStoredBytes = 0xFFFF;
  size_t at = 0;
  do {
    const size_t length = std::min(kMostStoredBytes, icc.size() - at);
    const bool last = at + length == icc.size();
    data.push_back(last ? 1 : 0);  // BFINAL, then BTYPE 00, padded to the byte
    data.push_back(static_cast<uint8_t>(length));
    data.push_back(static_cast<uint8_t>(length >> 8));
    data.push_back(static_cast<uint8_t>(~length));
    data.push_back(static_cast<uint8_t>(~length >> 8));
    data.insert(data.end(), icc.begin() + at, icc.begin() + at + length);
    at += length;
  } while (at < icc.size());
  // Adler-32 of the profile, big-endian; 5552 bytes is the most that can be
  // summed before the 32-bit sums must be reduced.
  uint32_t a = 1, b = 0;
  for (size_t start = 0; start < icc.size(); start += 5552) {
    const size_t end = std::min(icc.size(), start + 5552);
    for (size_t i = start; i < end; ++i) {
      a += icc[i];
      b += a;
    }
    a %= 65521;
    b %= 65521;
  }
  const uint32_t adler = b << 16 | a;
  for (int shift = 24; shift >= 0; shift -= 8) data.push_back(static_cast<uint8_t>(adler >> shift));
  return data;
}

double RollOfOrientation(int orientation) {
  // 6: the picture's top edge is the scene's right, so the camera was turned
  // a quarter clockwise as seen from behind; 8 the other way; 3 upside down.
  switch (orientation) {
    case 3: return 180.0;
    case 6: return 90.0;
    case 8: return -90.0;
    default: return 0.0;
  }
}
