// Spherical Video V1 in an MP4 file: the GSpherical XML, and the `uuid` box
// that carries it inserted into the video track of a finished file.
//
// An MP4 file is a sequence of boxes: a 32-bit big-endian size (header
// included), a four-letter type, then the contents; size 1 means a 64-bit
// size follows the type, size 0 that the box runs to the end of the file.
// The movie box (`moov`) holds the tracks (`trak`), and their chunk offsets
// count from the start of the file: the box is inserted only where no media
// data lies after it, so that no offset moves.
#include "video/spherical_v1.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <fstream>
#include <limits>
#include <optional>
#include <vector>

#include "app/program_info.h"

namespace {

// The V1 box's identifier, ffcc8263-f855-4a93-8814-587a02521fdd.
constexpr std::array<uint8_t, 16> kSphericalUuid = {0xff, 0xcc, 0x82, 0x63, 0xf8, 0x55, 0x4a, 0x93,
                                                    0x88, 0x14, 0x58, 0x7a, 0x02, 0x52, 0x1f, 0xdd};

// A movie box larger than this is not read into memory: a movie box holds
// the tables of a clip's samples, a few megabytes for hours of video.
constexpr uint64_t kLargestMovieBox = 256u << 20;

uint32_t BigEndian32(const uint8_t* bytes) {
  return uint32_t{bytes[0]} << 24 | uint32_t{bytes[1]} << 16 | uint32_t{bytes[2]} << 8 | bytes[3];
}

uint64_t BigEndian64(const uint8_t* bytes) { return uint64_t{BigEndian32(bytes)} << 32 | BigEndian32(bytes + 4); }

void PutBigEndian32(uint8_t* bytes, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(value >> (24 - 8 * i));
}

void PutBigEndian64(uint8_t* bytes, uint64_t value) {
  PutBigEndian32(bytes, static_cast<uint32_t>(value >> 32));
  PutBigEndian32(bytes + 4, static_cast<uint32_t>(value));
}

// One box's place: its start, its header's length (8, or 16 with a 64-bit
// size) and its whole length; `toEnd` when its size field is 0.
struct Box {
  uint64_t offset = 0;
  uint64_t header = 0;
  uint64_t size = 0;
  char type[5] = {};
  bool toEnd = false;

  uint64_t End() const { return offset + size; }
  bool Is(const char* name) const { return std::memcmp(type, name, 4) == 0; }
};

// The box whose header starts at `header` (the bytes available from there:
// `available`, at least 8), within a parent that ends `room` bytes on.
std::optional<Box> BoxAt(uint64_t offset, const uint8_t* header, uint64_t available, uint64_t room) {
  if (available < 8 || room < 8) return std::nullopt;
  Box box;
  box.offset = offset;
  box.header = 8;
  box.size = BigEndian32(header);
  std::memcpy(box.type, header + 4, 4);
  if (box.size == 1) {
    if (available < 16 || room < 16) return std::nullopt;
    box.header = 16;
    box.size = BigEndian64(header + 8);
  } else if (box.size == 0) {
    box.toEnd = true;
    box.size = room;
  }
  if (box.size < box.header || box.size > room) return std::nullopt;
  return box;
}

// The boxes of `bytes` from `begin` to `end`, which they must fill exactly.
std::optional<std::vector<Box>> ChildBoxes(const std::vector<uint8_t>& bytes, uint64_t begin, uint64_t end) {
  std::vector<Box> boxes;
  for (uint64_t at = begin; at < end;) {
    const std::optional<Box> box = BoxAt(at, bytes.data() + at, end - at, end - at);
    if (!box || box->toEnd) return std::nullopt;  // inside a box, a size of 0 means nothing
    boxes.push_back(*box);
    at = box->End();
  }
  return boxes;
}

// Whether the track box `trak` (in the movie box's bytes) is a video track:
// its media handler (mdia/hdlr, after the version, flags and a reserved
// word) is 'vide'.
bool IsVideoTrack(const std::vector<uint8_t>& movie, const Box& trak) {
  const auto children = ChildBoxes(movie, trak.offset + trak.header, trak.End());
  if (!children) return false;
  for (const Box& mdia : *children) {
    if (!mdia.Is("mdia")) continue;
    const auto media = ChildBoxes(movie, mdia.offset + mdia.header, mdia.End());
    if (!media) return false;
    for (const Box& hdlr : *media) {
      if (hdlr.Is("hdlr") && hdlr.size >= hdlr.header + 12)
        return std::memcmp(movie.data() + hdlr.offset + hdlr.header + 8, "vide", 4) == 0;
    }
  }
  return false;
}

// Adds `extra` to the size field of `box` (in `bytes`, at its offset);
// false when a 32-bit size cannot hold the new size.
bool GrowBox(std::vector<uint8_t>& bytes, const Box& box, uint64_t extra) {
  uint8_t* field = bytes.data() + box.offset;
  if (box.toEnd) return true;  // runs to the end of the file, wherever that is
  if (box.header == 16) {
    PutBigEndian64(field + 8, box.size + extra);
    return true;
  }
  if (box.size + extra > std::numeric_limits<uint32_t>::max()) return false;
  PutBigEndian32(field, static_cast<uint32_t>(box.size + extra));
  return true;
}

Result NotSuch(const std::string& path, const std::string& why) {
  return Result::Failure(path + ": cannot add the 360-degree video tags: " + why);
}

}  // namespace

// The cropped-area tags say which part of the whole sphere (2H x H for a
// panorama H high) the picture holds, as GPano's do for a saved picture: the
// square is the sphere's front half, in its middle; the rectangle is that
// square then H black columns, the whole sphere's size, with the lens axis a
// quarter of the way across, so that players open there the initial heading
// is 90 degrees to the left of the picture's middle.
std::string SphericalV1Xml(SaveShape shape, int32_t width, int32_t height) {
  std::string xml =
      "<?xml version=\"1.0\"?>"
      "<rdf:SphericalVideo\n"
      "xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\"\n"
      "xmlns:GSpherical=\"http://ns.google.com/videos/1.0/spherical/\">";
  const auto tag = [&](const char* name, const std::string& value) {
    xml += std::string("<GSpherical:") + name + ">" + value + "</GSpherical:" + name + ">";
  };
  tag("Spherical", "true");
  tag("Stitched", "true");
  tag("StitchingSoftware", std::string("Quorvane ") + kProgramVersion);
  tag("ProjectionType", "equirectangular");
  if (shape != SaveShape::Sphere) {
    const int32_t side = height;
    if (shape == SaveShape::Rectangle) tag("InitialViewHeadingDegrees", "270");
    tag("FullPanoWidthPixels", std::to_string(2 * side));
    tag("FullPanoHeightPixels", std::to_string(side));
    tag("CroppedAreaImageWidthPixels", std::to_string(width));
    tag("CroppedAreaImageHeightPixels", std::to_string(height));
    tag("CroppedAreaLeftPixels", std::to_string(shape == SaveShape::Square ? side / 2 : 0));
    tag("CroppedAreaTopPixels", "0");
  }
  xml += "</rdf:SphericalVideo>";
  return xml;
}

// Everything is read and checked before the first byte is written: the
// movie box grows by the new box, and what follows it (only free space) is
// written again after it.
Result InsertSphericalV1(const std::string& path, const std::string& xml) {
  std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
  if (!file) return Result::Failure(path + ": cannot open the file to add the 360-degree video tags");
  file.seekg(0, std::ios::end);
  const std::streamoff length = file.tellg();
  if (length < 0) return Result::Failure(path + ": cannot read the file");
  const uint64_t fileSize = static_cast<uint64_t>(length);

  // The top-level boxes, each header read where it starts.
  std::vector<Box> boxes;
  for (uint64_t at = 0; at < fileSize;) {
    uint8_t header[16] = {};
    const uint64_t available = std::min<uint64_t>(16, fileSize - at);
    file.seekg(static_cast<std::streamoff>(at));
    if (!file.read(reinterpret_cast<char*>(header), static_cast<std::streamsize>(available)))
      return Result::Failure(path + ": cannot read the file");
    const std::optional<Box> box = BoxAt(at, header, available, fileSize - at);
    if (!box) {
      if (boxes.empty()) return NotSuch(path, "it is not an MP4 file");
      return NotSuch(path, "its boxes are broken at byte " + std::to_string(at));
    }
    boxes.push_back(*box);
    at = box->End();
  }
  if (boxes.empty() || !boxes[0].Is("ftyp")) return NotSuch(path, "it is not an MP4 file");
  size_t movieIndex = boxes.size();
  bool mediaBefore = false;
  for (size_t i = 0; i < boxes.size(); ++i) {
    if (boxes[i].Is("moov")) {
      movieIndex = i;
      break;
    }
    if (boxes[i].Is("mdat")) mediaBefore = true;
  }
  if (movieIndex == boxes.size()) return NotSuch(path, "it has no movie box");
  if (!mediaBefore)
    return NotSuch(path, "its movie box comes before the media data (a fast-start file), whose offsets would move");
  for (size_t i = movieIndex + 1; i < boxes.size(); ++i) {
    if (!boxes[i].Is("free") && !boxes[i].Is("skip"))
      return NotSuch(path, std::string("a '") + boxes[i].type + "' box follows its movie box");
  }
  const Box movieBox = boxes[movieIndex];
  const uint64_t tailSize = fileSize - movieBox.End();
  if (movieBox.size + tailSize > kLargestMovieBox) return NotSuch(path, "its movie box is too large");

  // The movie box and the free space after it, in memory; offsets in
  // `movie` count from the movie box's start.
  std::vector<uint8_t> movie(static_cast<size_t>(movieBox.size + tailSize));
  file.seekg(static_cast<std::streamoff>(movieBox.offset));
  if (!file.read(reinterpret_cast<char*>(movie.data()), static_cast<std::streamsize>(movie.size())))
    return Result::Failure(path + ": cannot read the file");
  Box moov = movieBox;
  moov.offset = 0;
  const auto tracks = ChildBoxes(movie, moov.header, moov.size);
  if (!tracks) return NotSuch(path, "its movie box is broken");
  std::optional<Box> video;
  for (const Box& trak : *tracks) {
    if (trak.Is("trak") && IsVideoTrack(movie, trak)) {
      video = trak;
      break;
    }
  }
  if (!video) return NotSuch(path, "it has no video track");
  const auto trackBoxes = ChildBoxes(movie, video->offset + video->header, video->End());
  if (!trackBoxes) return NotSuch(path, "its video track is broken");
  for (const Box& child : *trackBoxes) {
    if (child.Is("uuid") && child.size >= child.header + 16 &&
        std::memcmp(movie.data() + child.offset + child.header, kSphericalUuid.data(), 16) == 0)
      return NotSuch(path, "its video track has them already");
  }

  // The new box at the end of the video track.
  std::vector<uint8_t> uuid(8 + kSphericalUuid.size());
  if (uuid.size() + xml.size() > std::numeric_limits<uint32_t>::max()) return NotSuch(path, "the tags are too long");
  PutBigEndian32(uuid.data(), static_cast<uint32_t>(uuid.size() + xml.size()));
  std::memcpy(uuid.data() + 4, "uuid", 4);
  std::memcpy(uuid.data() + 8, kSphericalUuid.data(), kSphericalUuid.size());
  uuid.insert(uuid.end(), xml.begin(), xml.end());
  if (!GrowBox(movie, *video, uuid.size()) || !GrowBox(movie, moov, uuid.size()))
    return NotSuch(path, "its movie box would outgrow its 32-bit size");
  movie.insert(movie.begin() + static_cast<ptrdiff_t>(video->End()), uuid.begin(), uuid.end());

  file.seekp(static_cast<std::streamoff>(movieBox.offset));
  file.write(reinterpret_cast<const char*>(movie.data()), static_cast<std::streamsize>(movie.size()));
  file.flush();
  if (!file) return Result::Failure(path + ": cannot write the 360-degree video tags");
  file.close();
  if (file.fail()) return Result::Failure(path + ": cannot write the 360-degree video tags");
  return {};
}
