#include "imageio/load_picture.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <system_error>
#include <thread>

#include "imageio/decode_picture.h"
#include "imageio/decoded_rows.h"
#include "imageio/jpeg_header.h"
#include "imageio/video_signature.h"

namespace {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

Result ReadFailure(int error) { return Result::Failure(std::string("cannot read the file: ") + std::strerror(error)); }

}  // namespace

Result ReadWholeFile(const std::string& name, std::vector<uint8_t>& bytes) {
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(name.c_str(), "rb"));
  if (!file) return ReadFailure(errno);
  // Read in pieces rather than trusting a size taken beforehand: a folder, a
  // pipe or a file that changes meanwhile all end up handled the same way.
  std::vector<uint8_t> content;
  constexpr size_t kPiece = 64 * 1024;
  std::unique_ptr<uint8_t[]> piece(new uint8_t[kPiece]);
  for (;;) {
    size_t got = std::fread(piece.get(), 1, kPiece, file.get());
    content.insert(content.end(), piece.get(), piece.get() + got);
    if (got < kPiece) break;
  }
  if (std::ferror(file.get())) return ReadFailure(errno != 0 ? errno : EIO);
  bytes = std::move(content);
  return {};
}

bool FileHas16BitSamples(const std::string& name) {
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(name.c_str(), "rb"));
  if (!file) return false;
  const auto readAt = [&](long at, uint8_t* to, size_t count) {
    return std::fseek(file.get(), at, SEEK_SET) == 0 && std::fread(to, 1, count, file.get()) == count;
  };
  uint8_t head[26];
  if (!readAt(0, head, sizeof head)) return false;
  // PNG: the IHDR chunk comes first; its bit depth follows width and height.
  if (LooksLikePng(head)) return head[24] == 16;
  if (!LooksLikeTiff(head)) return false;
  const bool bigEndian = head[0] == 'M';
  const auto u16 = [&](const uint8_t* at) { return bigEndian ? at[0] << 8 | at[1] : at[1] << 8 | at[0]; };
  const auto u32 = [&](const uint8_t* at) {
    return bigEndian ? uint32_t(u16(at)) << 16 | u16(at + 2) : uint32_t(u16(at + 2)) << 16 | u16(at);
  };
  // The first directory's BitsPerSample (tag 258): its first value, in the
  // entry itself for up to two values, else where the entry points.
  const uint32_t directory = u32(head + 4);
  uint8_t count[2];
  if (directory > 0x7FFFFFFF || !readAt(static_cast<long>(directory), count, 2)) return false;
  std::vector<uint8_t> entries(12 * static_cast<size_t>(u16(count)));
  if (!readAt(static_cast<long>(directory) + 2, entries.data(), entries.size())) return false;
  for (size_t at = 0; at < entries.size(); at += 12) {
    if (u16(&entries[at]) != 258) continue;
    if (u32(&entries[at + 4]) <= 2) return u16(&entries[at + 8]) == 16;
    uint8_t first[2];
    const uint32_t valuesAt = u32(&entries[at + 8]);
    return valuesAt <= 0x7FFFFFFF && readAt(static_cast<long>(valuesAt), first, 2) && u16(first) == 16;
  }
  return false;
}

// Camera JPEGs hold 2 to 20 pixels per byte; even a flat sky stays well
// below this many.
constexpr int64_t kMostPixelsPerFileByte = 256;

bool BelievableDeclaredSize(std::span<const uint8_t> bytes, int64_t& width, int64_t& height) {
  // A file far too small for the size it declares (a few hundred bytes that
  // claim 49 megapixels) is nearly always damaged or made to hurt.
  return DeclaredJpegSize(bytes, width, height) && width > 0 && height > 0 && width * height <= kSourceCapacityPixels &&
         width * height <= kMostPixelsPerFileByte * static_cast<int64_t>(bytes.size());
}

Result DecodePreparingPages(std::span<const uint8_t> bytes, uint8_t* destination,
                            std::initializer_list<uint8_t*> alongside, int32_t& width, int32_t& height,
                            PixelStore* samples16) {
  // The decoder runs on one core. When the file declares a believable size,
  // another thread has the system provide the pages that the decoder and
  // whatever follows it will fill, meanwhile; otherwise the decoder fails
  // having touched little.
  if (const std::optional<VideoContainer> video = VideoContainerOf(bytes)) return Result::Failure(VideoRefusal(*video));
  int64_t declaredWidth = 0;
  int64_t declaredHeight = 0;
  std::thread preparer;
  if (BelievableDeclaredSize(bytes, declaredWidth, declaredHeight)) {
    const size_t pictureBytes = 4 * static_cast<size_t>(declaredWidth * declaredHeight);
    try {
      preparer = std::thread([destination, alongside = std::vector<uint8_t*>(alongside), pictureBytes] {
        PrepareStorePages(destination, pictureBytes);
        for (uint8_t* store : alongside) {
          if (store != nullptr) PrepareStorePages(store, pictureBytes);
        }
      });
    } catch (const std::system_error&) {
      // No thread to be had: the pages come as they are written.
    }
  }
  Result decode = DecodePicture(bytes, destination, kSourceCapacityPixels, width, height, samples16);
  if (preparer.joinable()) preparer.join();
  return decode;
}

PixelBuffer LoadedPicture::View() const { return {store.get(), width, height}; }

PixelBuffer16 LoadedPicture::View16() const {
  return {reinterpret_cast<uint16_t*>(samples16.get()), samples16 ? width : 0, samples16 ? height : 0};
}

Result ReadForDecoding(const std::string& name, std::vector<uint8_t>& bytes, PixelStore& store) {
  Result read = ReadWholeFile(name, bytes);
  if (!read.ok()) return read;
  // The store's pages cost nothing until written. A picture is decoded into
  // a fresh one, so that a failure leaves the one in use as it was.
  store = AllocatePixels(kSourceCapacityPixels);
  if (!store) return Result::Failure("not enough memory to load a picture");
  return {};
}

Result LoadPicture(const std::string& name, LoadedPicture& picture, std::vector<uint8_t>* fileBytes,
                   bool keep16Bits) {
  std::vector<uint8_t> bytes;
  PixelStore decoded;
  Result ready = ReadForDecoding(name, bytes, decoded);
  if (!ready.ok()) return ready;
  PixelStore samples16;
  int32_t width = 0;
  int32_t height = 0;
  Result decode = DecodePreparingPages(bytes, decoded.get(), {}, width, height, keep16Bits ? &samples16 : nullptr);
  if (!decode.ok()) return decode;
  picture.store = std::move(decoded);
  picture.samples16 = std::move(samples16);
  picture.width = width;
  picture.height = height;
  if (fileBytes != nullptr) *fileBytes = std::move(bytes);
  return {};
}
