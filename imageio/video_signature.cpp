#include "imageio/video_signature.h"

#include <cstring>

namespace {

bool HasAt(std::span<const uint8_t> bytes, size_t at, const char* text) {
  const size_t length = std::strlen(text);
  return bytes.size() >= at + length && std::memcmp(bytes.data() + at, text, length) == 0;
}

}  // namespace

std::optional<VideoContainer> VideoContainerOf(std::span<const uint8_t> head) {
  // ISO media files (MP4, MOV, 3GP, a 360-degree camera's .insv) open with a
  // box: four bytes of size, then its type. Files from cameras start with
  // ftyp; older QuickTime files with their movie, media data or padding.
  for (const char* box : {"ftyp", "moov", "mdat", "wide", "free", "skip"}) {
    if (HasAt(head, 4, box)) return VideoContainer::Mp4;
  }
  // Matroska and WebM: the EBML header's identifier.
  if (HasAt(head, 0, "\x1A\x45\xDF\xA3")) return VideoContainer::Matroska;
  if (HasAt(head, 0, "RIFF") && HasAt(head, 8, "AVI ")) return VideoContainer::Avi;
  return std::nullopt;
}

const char* VideoContainerName(VideoContainer container) {
  switch (container) {
    case VideoContainer::Mp4: return "MP4";
    case VideoContainer::Matroska: return "Matroska";
    case VideoContainer::Avi: return "AVI";
  }
  return "video";
}

std::string VideoRefusal(VideoContainer container) {
  const std::string video = std::string("a video (") + VideoContainerName(container) + "), not a picture";
#if defined(_WIN32)
  return video + ": videos are converted by the Linux converter (quorvane-convert built on Linux)";
#else
  return video;
#endif
}
