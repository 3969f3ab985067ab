#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "app/app_state.h"
#include "imageio/bmp_reader.h"
#include "imageio/bmp_writer.h"
#include "program_state.h"
#include "test_pictures.h"
#include "transform/stores.h"
#include "imageio/write_display.h"

namespace fs = std::filesystem;

namespace {

uint32_t U32(const std::vector<uint8_t>& b, size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t{b[at + 3]} << 24;
}
uint16_t U16(const std::vector<uint8_t>& b, size_t at) { return static_cast<uint16_t>(b[at] | b[at + 1] << 8); }

std::vector<uint8_t> Encode(const PixelBuffer& picture, SaveShape shape) {
  std::vector<uint8_t> bytes;
  EXPECT_TRUE(EncodeBmp(picture, shape, [&](std::span<const uint8_t> part) {
    bytes.insert(bytes.end(), part.begin(), part.end());
    return true;
  }));
  return bytes;
}

TEST(BmpWriterTest, WritesTheMiddleSquareOfAFiveByThreePicture) {
  std::vector<uint8_t> picture = MakeNoisePicture(5, 3, 11);
  PixelBuffer buffer{picture.data(), 5, 3};

  std::vector<uint8_t> square = Encode(buffer, SaveShape::Square);
  ASSERT_EQ(square.size(), 90u);
  EXPECT_EQ(U16(square, 0), 0x4D42);
  EXPECT_EQ(U32(square, 2), 90u);
  EXPECT_EQ(U32(square, 6), 0u);
  EXPECT_EQ(U32(square, 10), 54u);
  EXPECT_EQ(U32(square, 14), 40u);
  EXPECT_EQ(U32(square, 18), 3u);
  EXPECT_EQ(U32(square, 22), 3u);
  EXPECT_EQ(U16(square, 26), 1);
  EXPECT_EQ(U16(square, 28), 32);
  for (size_t at = 30; at < 54; at += 4) EXPECT_EQ(U32(square, at), 0u) << at;
  for (int y = 0; y < 3; ++y)  // stored order, one pixel into each row
    EXPECT_EQ(0, std::memcmp(&square[54 + 12 * y], buffer.Pixel(1, y), 12)) << y;

  std::vector<uint8_t> rectangle = Encode(buffer, SaveShape::Rectangle);
  ASSERT_EQ(rectangle.size(), 126u);
  EXPECT_EQ(U32(rectangle, 2), 126u);
  EXPECT_EQ(U32(rectangle, 18), 6u);
  for (int y = 0; y < 3; ++y) {
    EXPECT_EQ(0, std::memcmp(&rectangle[54 + 24 * y], &square[54 + 12 * y], 12)) << "same left half, row " << y;
    for (int i = 12; i < 24; ++i) EXPECT_EQ(rectangle[54 + 24 * y + i], 0) << y;
  }
}

TEST(BmpWriterTest, PortraitPicturesSaveTheirSquareWithBlackSides) {
  std::vector<uint8_t> picture = MakeNoisePicture(2, 5, 12);
  std::vector<uint8_t> square = Encode({picture.data(), 2, 5}, SaveShape::Square);
  ASSERT_EQ(square.size(), 54u + 4 * 25);
  for (int y = 0; y < 5; ++y) {
    const uint8_t* row = &square[54 + 20 * y];
    // The square starts two columns left of the picture.
    for (int x : {0, 1, 4})
      EXPECT_EQ(0u, U32(std::vector<uint8_t>(row + 4 * x, row + 4 * x + 4), 0)) << x << "," << y;
    EXPECT_EQ(0, std::memcmp(row + 8, &picture[8 * y], 8)) << y;
  }
}

TEST(BmpWriterTest, NamesGetTheExtensionUnlessTheyHaveIt) {
  EXPECT_EQ(BmpFileName("pano"), "pano.bmp");
  EXPECT_EQ(BmpFileName("pano.BMP"), "pano.BMP");
  EXPECT_EQ(BmpFileName("pano.bMp"), "pano.bMp");
  EXPECT_EQ(BmpFileName("pano.bmp.txt"), "pano.bmp.txt.bmp");
  EXPECT_EQ(BmpFileName("bmp"), "bmp.bmp");
  EXPECT_EQ(BmpFileName(".bmp"), ".bmp");
  EXPECT_EQ(BmpFileName(""), ".bmp");
}

class WriteBmpFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = ScratchFolder(::testing::UnitTest::GetInstance()->current_test_info()->name());
    InstallPicture(MakeFPicture(8, 6), 8, 6);
  }
  // Nothing but the expected files: no temporary left behind.
  std::vector<std::string> Listing() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder_)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  fs::path folder_;
};

TEST_F(WriteBmpFileTest, WritesTheDisplayInTheChosenShapeAndReplacesLongerFiles) {
  std::string name = (folder_ / "pano").string();
  WriteBytes(folder_ / "pano.bmp", std::vector<uint8_t>(5000, 0xEE));
  ASSERT_TRUE(WriteBmpFile(name).ok());
  EXPECT_EQ(name, (folder_ / "pano.bmp").string());
  std::vector<uint8_t> square = ReadBytes(name);
  EXPECT_EQ(square, Encode(DisplayBuffer(), SaveShape::Square));
  EXPECT_EQ(square.size(), 54u + 4 * 36);

  SaveAsRectangle = 1;
  std::string rectangleName = (folder_ / "wide.BMP").string();
  ASSERT_TRUE(WriteBmpFile(rectangleName).ok());
  EXPECT_EQ(rectangleName, (folder_ / "wide.BMP").string());
  EXPECT_EQ(ReadBytes(rectangleName), Encode(DisplayBuffer(), SaveShape::Rectangle));
  EXPECT_EQ(Listing(), (std::vector<std::string>{"pano.bmp", "wide.BMP"}));
}

TEST_F(WriteBmpFileTest, AFailedSaveKeepsTheOldFileAndSaysWhy) {
  // Into a folder that does not exist.
  std::string missing = (folder_ / "no-such-folder" / "pano.bmp").string();
  Result result = WriteBmpFile(missing);
  EXPECT_FALSE(result.ok());
  EXPECT_NE(result.reason().find("cannot create"), std::string::npos) << result.reason();

  // Onto a folder of the same name.
  fs::create_directory(folder_ / "taken.bmp");
  WriteBytes(folder_ / "taken.bmp" / "inside.txt", {1, 2, 3});
  std::string taken = (folder_ / "taken.bmp").string();
  EXPECT_FALSE(WriteBmpFile(taken).ok());
  EXPECT_EQ(ReadBytes(folder_ / "taken.bmp" / "inside.txt"), (std::vector<uint8_t>{1, 2, 3}));

  // A sink that fails half-way stops the encoding at once.
  int calls = 0;
  EXPECT_FALSE(EncodeBmp(DisplayBuffer(), SaveShape::Square, [&](std::span<const uint8_t>) { return ++calls < 3; }));
  EXPECT_EQ(calls, 3);
  EXPECT_EQ(Listing(), (std::vector<std::string>{"taken.bmp"}));
}

TEST_F(WriteBmpFileTest, NothingLoadedWritesNoFile) {
  ResetProgramState();
  std::string name = (folder_ / "empty.bmp").string();
  Result result = WriteBmpFile(name);
  EXPECT_FALSE(result.ok());
  EXPECT_TRUE(Listing().empty());
}

TEST(BmpReaderTest, ReadsWhatTheWriterWritesAndPlainTopDown24BitFiles) {
  std::vector<uint8_t> picture = MakeFPicture(7, 7);
  std::vector<uint8_t> file = Encode({picture.data(), 7, 7}, SaveShape::Square);
  int32_t width = 0, height = 0;
  ASSERT_TRUE(ReadBmpSize(file, width, height).ok());
  EXPECT_EQ(width, 7);
  EXPECT_EQ(height, 7);
  std::vector<uint8_t> back(picture.size(), 0xCC);
  ReadBmpPixels(file, back.data());
  EXPECT_EQ(back, picture);

  // 2 x 2, 24 bits, top row first, rows padded to 8 bytes.
  std::vector<uint8_t> small = file;
  small.resize(54);
  small[28] = 24;
  const uint32_t negativeTwo = static_cast<uint32_t>(-2);
  for (int i = 0; i < 4; ++i) {
    small[18 + i] = static_cast<uint8_t>(2 >> (8 * i));
    small[22 + i] = static_cast<uint8_t>(negativeTwo >> (8 * i));
  }
  const uint8_t rows[] = {1, 2, 3, 4, 5, 6, 0, 0, 7, 8, 9, 10, 11, 12, 0, 0};
  small.insert(small.end(), std::begin(rows), std::end(rows));
  ASSERT_TRUE(ReadBmpSize(small, width, height).ok());
  EXPECT_EQ(width, 2);
  EXPECT_EQ(height, 2);
  std::vector<uint8_t> pixels(16, 0xCC);
  ReadBmpPixels(small, pixels.data());
  EXPECT_EQ(pixels, (std::vector<uint8_t>{7, 8, 9, 0, 10, 11, 12, 0, 1, 2, 3, 0, 4, 5, 6, 0}));
}

TEST(BmpReaderTest, RefusesDamagedAndForeignFiles) {
  std::vector<uint8_t> picture = MakeFPicture(4, 4);
  const std::vector<uint8_t> good = Encode({picture.data(), 4, 4}, SaveShape::Square);
  auto refuses = [](std::vector<uint8_t> bytes, const char* what) {
    int32_t width = -1, height = -1;
    EXPECT_FALSE(ReadBmpSize(bytes, width, height).ok()) << what;
    EXPECT_EQ(width, -1) << what;
  };
  refuses(std::vector<uint8_t>(good.begin(), good.end() - 1), "one byte short");
  refuses(std::vector<uint8_t>(good.begin(), good.begin() + 30), "header cut");
  std::vector<uint8_t> huge = good;
  huge[18 + 3] = 0x7F;  // width about two thousand million
  refuses(huge, "width beyond the data");
  std::vector<uint8_t> compressed = good;
  compressed[30] = 1;
  refuses(compressed, "run-length compressed");
  std::vector<uint8_t> paletted = good;
  paletted[28] = 8;
  refuses(paletted, "8 bits");
  std::vector<uint8_t> zero = good;
  std::fill(zero.begin() + 18, zero.begin() + 22, 0);
  refuses(zero, "zero width");
  std::vector<uint8_t> offset = good;
  offset[10] = 0xFF;
  offset[11] = 0xFF;
  refuses(offset, "pixel offset past the end");
}

}  // namespace
