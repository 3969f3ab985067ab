#pragma once
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

// What a camera's picture says besides its pixels that a panorama made from it
// keeps: the EXIF block (make, model, date, exposure, position, maker notes)
// and the ICC colour profile.
struct CameraMetadata {
  std::vector<uint8_t> exif;  // the TIFF block after "Exif\0\0", as the camera wrote it
  std::vector<uint8_t> icc;   // the whole profile
  int orientation = 0;        // EXIF orientation, 1 to 8; 0 when absent or unreadable
};

// A camera held on its side or upside down (EXIF orientation 6, 8 or 3) had
// its lens rolled by this many degrees (90, -90, 180); 0 for any other.
double RollOfOrientation(int orientation);

// Reads the EXIF block and ICC profile of a JPEG, PNG or TIFF file (by its
// content). Either stays empty when the file has none or it is damaged in any
// way: nothing is kept by halves. A TIFF file's EXIF block is put together
// from its first directory's camera tags and its Exif and GPS directories.
CameraMetadata ReadCameraMetadata(std::span<const uint8_t> file);

// One entry of a TIFF directory, its value's bytes little-endian.
struct TiffTag {
  uint16_t tag = 0;
  uint16_t type = 0;
  uint32_t count = 0;
  std::vector<uint8_t> value;
};

// An EXIF block's IFD0 tags that describe the camera and the photograph, and
// its Exif directory (without the maker note and the interoperability
// pointer) and GPS directory, each in tag order.
struct ExifDirectories {
  std::vector<TiffTag> camera;
  std::vector<TiffTag> exif;
  std::vector<TiffTag> gps;
};

// Takes an EXIF block (or a whole TIFF file) apart; false when it is damaged.
bool SplitExif(std::span<const uint8_t> tiff, ExifDirectories& directories);

// Appends a little-endian TIFF directory of `tags` (in tag order) to `file`,
// which starts "II", with the values that do not fit after it, and returns
// where it starts; its next-directory offset is 0.
size_t AppendTiffDirectory(std::vector<uint8_t>& file, const std::vector<TiffTag>& tags);
// Where the directory at `directoryAt` keeps the value of `tag`.
size_t TiffValueField(std::span<const uint8_t> file, size_t directoryAt, uint16_t tag);

// Makes an EXIF block describe a panorama of this size, upright and without
// its thumbnail, moving nothing. False, the block unchanged, when it is damaged.
bool PatchExifForPanorama(std::vector<uint8_t>& tiff, int32_t width, int32_t height);

// What opens a JPEG APP1 segment that holds EXIF, and one APP2 segment's part
// of an ICC profile.
inline constexpr std::string_view kExifSignature{"Exif\0\0", 6};
inline constexpr std::string_view kIccSignature{"ICC_PROFILE\0", 12};

// The payloads of the APP2 segments that carry `icc`; none for a profile that
// 255 segments cannot hold.
std::vector<std::vector<uint8_t>> IccJpegPayloads(std::span<const uint8_t> icc);

// The data of a PNG iCCP chunk that carries `icc`.
std::vector<uint8_t> IccPngChunkData(std::span<const uint8_t> icc);
