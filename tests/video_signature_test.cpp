// Videos told from pictures by their first bytes: the picture loader refuses
// them with a reason (on Windows one that names the Linux converter), and
// other files are left to the decoders.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "imageio/load_picture.h"
#include "imageio/video_signature.h"
#include "test_pictures.h"

namespace {

std::vector<uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

TEST(VideoSignatureTest, VideosAreRecognisedAndRefusedAsPictures) {
  struct Case {
    std::string head;
    const char* name;  // nullptr: not a video
  };
  const Case cases[] = {
      {std::string("\0\0\0\x20" "ftypisom\0\0\2\0", 16), "MP4"},
      {std::string("\0\0\0\x1C" "ftypqt  ", 12), "MP4"},  // QuickTime
      {std::string("\0\0\0\x08" "wide\0\0\0\0mdat", 16), "MP4"},
      {std::string("\x1A\x45\xDF\xA3\x9F\x42\x86\x81\x01", 9), "Matroska"},
      {std::string("RIFF\x10\0\0\0AVI LIST", 16), "AVI"},
      {std::string("RIFF\x10\0\0\0WAVEfmt ", 16), nullptr},  // a sound, not a video
      {std::string("\xFF\xD8\xFF\xE0\0\x10JFIF", 10), nullptr},
      {"ftyp", nullptr},  // too short to hold a box
  };
  const std::filesystem::path folder = ScratchFolder("video-signature");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name ? c.name : "not a video");
    const std::optional<VideoContainer> found = VideoContainerOf(Bytes(c.head));
    ASSERT_EQ(found.has_value(), c.name != nullptr);
    if (!found) continue;
    EXPECT_STREQ(VideoContainerName(*found), c.name);
    std::vector<uint8_t> file = Bytes(c.head);
    file.resize(4096, 0);
    WriteBytes(folder / "clip.mp4", file);
    LoadedPicture picture;
    const Result load = LoadPicture((folder / "clip.mp4").string(), picture);
    ASSERT_FALSE(load.ok());
    EXPECT_EQ(load.reason().find(std::string("a video (") + c.name + "), not a picture"), 0u) << load.reason();
#if defined(_WIN32)
    EXPECT_NE(load.reason().find("Linux converter"), std::string::npos) << load.reason();
#endif
  }
}

}  // namespace
