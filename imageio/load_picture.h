#pragma once
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <vector>

#include "imageio/result.h"
#include "transform/stores.h"

// A decoded picture in a store of its own (layout: pixel_buffer.h). The
// store is sized for the largest picture the program loads; its pages past
// the picture cost nothing.
// A file with 16 bits a sample also keeps them in `samples16`.
struct LoadedPicture {
  PixelStore store;
  PixelStore samples16;  // empty for a picture of 8 bits a sample
  int32_t width = 0;
  int32_t height = 0;

  PixelBuffer View() const;
  PixelBuffer16 View16() const;  // base null for a picture of 8 bits a sample
};

// Reads and decodes the picture file `name`. On failure `picture` is left as
// it was. `fileBytes`, when given, receives the file's whole content. A
// file's 16-bit samples are kept only when `keep16Bits` asks for them: they
// take twice the 8-bit picture's memory.
Result LoadPicture(const std::string& name, LoadedPicture& picture, std::vector<uint8_t>* fileBytes = nullptr,
                   bool keep16Bits = false);

// Whether the file `name` is a PNG or TIFF file of 16 bits a sample, from its
// header alone; false for any other file and for one that cannot be read.
bool FileHas16BitSamples(const std::string& name);

// The size a JPEG file declares, when it is believable for the file's size.
bool BelievableDeclaredSize(std::span<const uint8_t> bytes, int64_t& width, int64_t& height);

// DecodePicture into `destination` (the capacity of SourceStore), while
// another thread has the system provide the pages of `destination` and of the
// `alongside` stores that a picture of the declared size will fill.
Result DecodePreparingPages(std::span<const uint8_t> bytes, uint8_t* destination,
                            std::initializer_list<uint8_t*> alongside, int32_t& width, int32_t& height,
                            PixelStore* samples16 = nullptr);

// The whole content of the file `name`, and a fresh store of SourceStore's
// capacity to decode it into.
Result ReadForDecoding(const std::string& name, std::vector<uint8_t>& bytes, PixelStore& store);

// The whole content of a file.
Result ReadWholeFile(const std::string& name, std::vector<uint8_t>& bytes);
