#include "test_pictures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <random>
#include <sstream>

std::vector<uint8_t> MakeFPicture(int32_t width, int32_t height) {
  std::vector<uint8_t> pixels(4 * static_cast<size_t>(width) * height);
  // The F is drawn in picture coordinates (row 0 at the top) and stored
  // bottom-up: its bar sits at the top, its stem on the left.
  auto inF = [&](int32_t x, int32_t top) {
    int32_t left = width / 5, stem = std::max(1, width / 6), right = 4 * width / 5;
    int32_t upper = height / 6, bar = std::max(1, height / 8), middle = height / 2;
    if (top < upper || top >= height - upper || x < left || x >= right) return false;
    if (x < left + stem) return true;                                // stem
    if (top < upper + bar) return true;                              // top bar
    return top >= middle && top < middle + bar && x < (left + right) / 2;  // middle bar
  };
  for (int32_t y = 0; y < height; ++y) {
    int32_t top = height - 1 - y;
    for (int32_t x = 0; x < width; ++x) {
      uint8_t* p = &pixels[4 * (static_cast<size_t>(y) * width + x)];
      bool f = inF(x, top);
      p[0] = f ? 20 : 220;                                    // blue
      p[1] = static_cast<uint8_t>(40 + 150 * x / std::max(1, width - 1));  // green ramp
      p[2] = f ? 230 : 30;                                    // red
      p[3] = 0;
    }
  }
  return pixels;
}

std::vector<uint8_t> MakeNoisePicture(int32_t width, int32_t height, uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<uint8_t> pixels(4 * static_cast<size_t>(width) * height);
  for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = i % 4 == 3 ? 0 : static_cast<uint8_t>(random());
  return pixels;
}

std::vector<uint16_t> MakeNoisePicture16(int32_t width, int32_t height, uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<uint16_t> samples(4 * static_cast<size_t>(width) * height);
  for (size_t i = 0; i < samples.size(); ++i) samples[i] = i % 4 == 3 ? 0 : static_cast<uint16_t>(random());
  return samples;
}

std::vector<uint16_t> Widened(const std::vector<uint8_t>& pixels) {
  std::vector<uint16_t> samples(pixels.size());
  for (size_t i = 0; i < pixels.size(); ++i) samples[i] = static_cast<uint16_t>(pixels[i] * 257);
  return samples;
}

std::vector<uint8_t> Reduced(const std::vector<uint16_t>& samples) {
  std::vector<uint8_t> pixels(samples.size());
  for (size_t i = 0; i < samples.size(); ++i) pixels[i] = ReduceSample(samples[i]);
  return pixels;
}

double Psnr16Of(const std::vector<uint16_t>& a, const std::vector<uint16_t>& b,
                const std::function<bool(size_t pixel)>& counted) {
  double squares = 0;
  size_t count = 0;
  for (size_t pixel = 0; pixel < a.size() / 4; ++pixel) {
    if (counted && !counted(pixel)) continue;
    for (int channel = 0; channel < 3; ++channel) {
      const double d = static_cast<double>(a[4 * pixel + channel]) - b[4 * pixel + channel];
      squares += d * d;
      ++count;
    }
  }
  if (squares == 0) return std::numeric_limits<double>::infinity();
  return 10.0 * std::log10(65535.0 * 65535.0 * static_cast<double>(count) / squares);
}

std::filesystem::path ScratchFolder(const std::string& name) {
  std::filesystem::path folder = std::filesystem::temp_directory_path() / ("quorvane-test-" + name);
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  return folder;
}

std::vector<uint8_t> ReadBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteBytes(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good()) << path;
}

std::string TestDataPath(const std::string& name) { return std::string(QUORVANE_TEST_DATA) + "/" + name; }

std::string SamplePath(const std::string& name) { return std::string(QUORVANE_SAMPLES) + "/" + name; }

std::vector<uint8_t> ReadPpm(const std::string& path, int32_t& width, int32_t& height) {
  std::ifstream in(path, std::ios::binary);
  std::string magic;
  int maxValue = 0;
  in >> magic >> width >> height >> maxValue;
  in.get();
  EXPECT_EQ(magic, "P6");
  EXPECT_EQ(maxValue, 255);
  std::vector<uint8_t> rgb(3 * static_cast<size_t>(width) * height);
  in.read(reinterpret_cast<char*>(rgb.data()), static_cast<std::streamsize>(rgb.size()));
  EXPECT_TRUE(in.good()) << path;
  // PPM rows run top-down in red, green, blue.
  std::vector<uint8_t> pixels(4 * static_cast<size_t>(width) * height);
  for (int32_t y = 0; y < height; ++y) {
    for (int32_t x = 0; x < width; ++x) {
      const uint8_t* from = &rgb[3 * (static_cast<size_t>(height - 1 - y) * width + x)];
      uint8_t* to = &pixels[4 * (static_cast<size_t>(y) * width + x)];
      to[0] = from[2];
      to[1] = from[1];
      to[2] = from[0];
      to[3] = 0;
    }
  }
  return pixels;
}

double PsnrOf(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b,
              const std::function<bool(size_t pixel)>& counted) {
  EXPECT_EQ(a.size(), b.size());
  double squaredError = 0;
  int64_t values = 0;
  for (size_t pixel = 0; 4 * pixel + 3 < std::min(a.size(), b.size()); ++pixel) {
    if (counted && !counted(pixel)) continue;
    for (size_t channel = 0; channel < 3; ++channel) {
      const double difference = static_cast<double>(a[4 * pixel + channel]) - b[4 * pixel + channel];
      squaredError += difference * difference;
      ++values;
    }
  }
  if (squaredError == 0) return std::numeric_limits<double>::infinity();
  return 10 * std::log10(255.0 * 255.0 / (squaredError / static_cast<double>(values)));
}

uint64_t Fnv1a(const uint8_t* bytes, size_t count) {
  uint64_t hash = 0xcbf29ce484222325u;
  for (size_t i = 0; i < count; ++i) hash = (hash ^ bytes[i]) * 0x100000001b3u;
  return hash;
}

std::vector<KernelPath> RunnableKernelPaths() {
  std::vector<KernelPath> paths = {KernelPath::Plain};
  for (KernelPath path : {KernelPath::Sse2, KernelPath::Avx2}) {
    if (UseKernelPath(path)) paths.push_back(path);
  }
  UseKernelPath(KernelPath::Automatic);
  return paths;
}

std::optional<std::array<std::string, 3>> PrintedBackLens(const std::string& printed) {
  const size_t at = printed.find("back lens: yaw ");
  if (at == std::string::npos) return std::nullopt;
  std::istringstream read(printed.substr(at));
  std::string words[8];
  for (std::string& word : words) read >> word;
  if (words[4] != "pitch" || words[6] != "roll") return std::nullopt;
  return std::array<std::string, 3>{words[3], words[5], words[7]};
}
