#include "picture_files.h"

#include <png.h>
#include <tiffio.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <unistd.h>

#include "test_pictures.h"

namespace picture_files {

Samples MakeSamples(int32_t width, int32_t height, int channels, int bits) {
  Samples samples{width, height, channels, bits, {}};
  const uint32_t top = bits == 16 ? 65535 : 255;
  for (int32_t y = 0; y < height; ++y) {
    for (int32_t x = 0; x < width; ++x) {
      const uint32_t red = top * x / std::max(1, width - 1);
      const uint32_t green = top * (height - 1 - y) / std::max(1, height - 1);
      const uint32_t blue = (x * 37 + y * 11) % 256 * (bits == 16 ? 257 : 1) ^ (bits == 16 ? (x * 5 + y) % 97 : 0);
      const uint32_t alpha = (x + 2 * y) % 3 == 0 ? 0 : (x + 2 * y) % 3 == 1 ? top / 2 : top;
      const bool grey = channels <= 2;
      samples.values.push_back(static_cast<uint16_t>(grey ? (red + blue) / 2 : red));
      if (!grey) {
        samples.values.push_back(static_cast<uint16_t>(green));
        samples.values.push_back(static_cast<uint16_t>(blue));
      }
      if (channels == 2 || channels == 4) samples.values.push_back(static_cast<uint16_t>(alpha));
    }
  }
  return samples;
}

namespace {

void PngToVector(png_structp png, png_bytep data, size_t length) {
  auto* file = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(png));
  file->insert(file->end(), data, data + length);
}

// The file's bytes of one row of samples, big-endian at 16 bits.
std::vector<uint8_t> RowBytes(const Samples& samples, int32_t y, bool bigEndian) {
  std::vector<uint8_t> row;
  for (int32_t x = 0; x < samples.width; ++x) {
    for (int c = 0; c < samples.channels; ++c) {
      const uint16_t value = samples.At(x, y)[c];
      if (samples.bits == 8) {
        row.push_back(static_cast<uint8_t>(value));
      } else if (bigEndian) {
        row.push_back(static_cast<uint8_t>(value >> 8));
        row.push_back(static_cast<uint8_t>(value));
      } else {
        row.push_back(static_cast<uint8_t>(value));
        row.push_back(static_cast<uint8_t>(value >> 8));
      }
    }
  }
  return row;
}

}  // namespace

std::vector<uint8_t> MakePng(const Samples& samples, const PngLayout& layout) {
  std::vector<uint8_t> file;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  png_set_write_fn(png, &file, PngToVector, nullptr);
  const int colourTypes[] = {0, PNG_COLOR_TYPE_GRAY, PNG_COLOR_TYPE_GRAY_ALPHA, PNG_COLOR_TYPE_RGB, PNG_COLOR_TYPE_RGBA};
  std::vector<std::vector<uint8_t>> rows;
  if (layout.palette) {
    // Indices into the colours in the order met; alpha through tRNS.
    std::map<std::vector<uint16_t>, int> index;
    std::vector<png_color> colours;
    std::vector<png_byte> alphas;
    for (int32_t y = 0; y < samples.height; ++y) {
      std::vector<uint8_t> row;
      for (int32_t x = 0; x < samples.width; ++x) {
        const std::vector<uint16_t> pixel(samples.At(x, y), samples.At(x, y) + samples.channels);
        auto [it, added] = index.emplace(pixel, static_cast<int>(colours.size()));
        if (added) {
          colours.push_back({static_cast<png_byte>(pixel[0]), static_cast<png_byte>(pixel[1]), static_cast<png_byte>(pixel[2])});
          alphas.push_back(static_cast<png_byte>(samples.channels == 4 ? pixel[3] : 255));
        }
        row.push_back(static_cast<uint8_t>(it->second));
      }
      rows.push_back(row);
    }
    png_set_IHDR(png, info, samples.width, samples.height, 8, PNG_COLOR_TYPE_PALETTE,
                 layout.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, 0, 0);
    png_set_PLTE(png, info, colours.data(), static_cast<int>(colours.size()));
    if (samples.channels == 4) png_set_tRNS(png, info, alphas.data(), static_cast<int>(alphas.size()), nullptr);
  } else {
    for (int32_t y = 0; y < samples.height; ++y) rows.push_back(RowBytes(samples, y, true));
    png_set_IHDR(png, info, samples.width, samples.height, samples.bits, colourTypes[samples.channels],
                 layout.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, 0, 0);
  }
  std::vector<png_bytep> pointers;
  for (auto& row : rows) pointers.push_back(row.data());
  png_write_info(png, info);
  png_write_image(png, pointers.data());
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  return file;
}

std::vector<uint8_t> MakeTiff(const Samples& samples, const TiffLayout& layout) {
  const std::filesystem::path path =
      std::filesystem::temp_directory_path() / ("quorvane-test-tiff-" + std::to_string(getpid()) + ".tif");
  TIFF* tiff = TIFFOpen(path.string().c_str(), "w");
  const bool grey = samples.channels <= 2;
  for (int page = 0; page < layout.pages; ++page) {
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, samples.width);
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, samples.height);
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, samples.bits);
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, samples.channels);
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC,
                 grey ? (layout.minIsWhite ? PHOTOMETRIC_MINISWHITE : PHOTOMETRIC_MINISBLACK) : PHOTOMETRIC_RGB);
    TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, layout.separatePlanes ? PLANARCONFIG_SEPARATE : PLANARCONFIG_CONTIG);
    TIFFSetField(tiff, TIFFTAG_COMPRESSION, layout.compression);
    if (samples.channels == 2 || samples.channels == 4) {
      const uint16_t kind = EXTRASAMPLE_UNASSALPHA;
      TIFFSetField(tiff, TIFFTAG_EXTRASAMPLES, 1, &kind);
    }
    if (layout.compression == 5 || layout.compression == 8) TIFFSetField(tiff, TIFFTAG_PREDICTOR, 2);
    // The file's rows: minimum-is-white grey is stored inverted.
    Samples stored = samples;
    if (page > 0) std::fill(stored.values.begin(), stored.values.end(), 0);
    if (layout.minIsWhite) {
      for (uint16_t& value : stored.values) value = static_cast<uint16_t>((samples.bits == 16 ? 65535 : 255) - value);
    }
    const size_t pixelBytes = size_t(samples.channels) * samples.bits / 8;
    if (layout.separatePlanes) {
      TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, samples.height);
      for (int c = 0; c < samples.channels; ++c) {
        std::vector<uint8_t> plane;
        for (size_t i = c; i < stored.values.size(); i += samples.channels) {
          plane.push_back(static_cast<uint8_t>(stored.values[i]));
          if (samples.bits == 16) plane.push_back(static_cast<uint8_t>(stored.values[i] >> 8));
        }
        TIFFWriteEncodedStrip(tiff, c, plane.data(), static_cast<tmsize_t>(plane.size()));
      }
    } else if (layout.tileSide > 0) {
      TIFFSetField(tiff, TIFFTAG_TILEWIDTH, layout.tileSide);
      TIFFSetField(tiff, TIFFTAG_TILELENGTH, layout.tileSide);
      std::vector<uint8_t> tile(layout.tileSide * layout.tileSide * pixelBytes);
      for (int32_t top = 0; top < samples.height; top += layout.tileSide) {
        for (int32_t left = 0; left < samples.width; left += layout.tileSide) {
          std::fill(tile.begin(), tile.end(), 0);
          for (int32_t y = top; y < std::min(samples.height, top + layout.tileSide); ++y) {
            const std::vector<uint8_t> row = RowBytes(stored, y, false);
            const int32_t columns = std::min(layout.tileSide, samples.width - left);
            std::copy_n(row.begin() + left * pixelBytes, columns * pixelBytes,
                        tile.begin() + (y - top) * layout.tileSide * pixelBytes);
          }
          TIFFWriteTile(tiff, tile.data(), left, top, 0, 0);
        }
      }
    } else {
      TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, layout.rowsPerStrip);
      for (int32_t y = 0; y < samples.height; ++y) {
        std::vector<uint8_t> row = RowBytes(stored, y, false);
        TIFFWriteScanline(tiff, row.data(), y, 0);
      }
    }
    TIFFWriteDirectory(tiff);
  }
  TIFFClose(tiff);
  std::vector<uint8_t> bytes = ReadBytes(path);
  std::filesystem::remove(path);
  return bytes;
}

}  // namespace picture_files
