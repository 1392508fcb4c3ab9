#include "platform/common/bmp.h"

#include <cstdint>

#include "platform/common/little_endian.h"

namespace platform {

namespace {

std::uint32_t ReadLe(const unsigned char* p, int bytes) {
  return static_cast<std::uint32_t>(LittleEndian(p, 0, static_cast<std::size_t>(bytes)));
}

}  // namespace

std::optional<DecodedBitmap> DecodeBmp(const unsigned char* data, std::size_t size) {
  constexpr std::size_t kFileHeader = 14;
  if (size < kFileHeader + 40 || data[0] != 'B' || data[1] != 'M') return std::nullopt;
  const std::uint32_t pixelOffset = ReadLe(data + 10, 4);
  const unsigned char* info = data + kFileHeader;
  const std::uint32_t infoSize = ReadLe(info, 4);
  const std::int32_t width = static_cast<std::int32_t>(ReadLe(info + 4, 4));
  const std::int32_t rawHeight = static_cast<std::int32_t>(ReadLe(info + 8, 4));
  const std::uint32_t bitCount = ReadLe(info + 14, 2);
  const std::uint32_t compression = ReadLe(info + 16, 4);
  std::uint32_t colours = ReadLe(info + 32, 4);
  if (infoSize < 40 || compression != 0 || (bitCount != 8 && bitCount != 24)) return std::nullopt;
  if (width <= 0 || rawHeight == 0 || width > 4096 || rawHeight > 4096 || rawHeight < -4096) {
    return std::nullopt;
  }
  const bool bottomUp = rawHeight > 0;
  const int height = bottomUp ? rawHeight : -rawHeight;
  if (bitCount == 8 && (colours == 0 || colours > 256)) colours = 256;
  const std::size_t paletteOffset = kFileHeader + infoSize;
  if (bitCount == 8 && paletteOffset + std::size_t{colours} * 4 > size) return std::nullopt;
  const std::size_t stride = ((static_cast<std::size_t>(width) * bitCount + 31) / 32) * 4;
  if (pixelOffset > size || stride * height > size - pixelOffset) return std::nullopt;

  DecodedBitmap out;
  out.width = width;
  out.height = height;
  out.rgb.resize(static_cast<std::size_t>(width) * height * 3);
  for (int y = 0; y < height; ++y) {
    const unsigned char* row = data + pixelOffset + stride * (bottomUp ? height - 1 - y : y);
    unsigned char* dst = out.rgb.data() + static_cast<std::size_t>(y) * width * 3;
    for (int x = 0; x < width; ++x, dst += 3) {
      const unsigned char* bgr;
      if (bitCount == 8) {
        const unsigned index = row[x];
        if (index >= colours) return std::nullopt;
        bgr = data + paletteOffset + index * 4;
      } else {
        bgr = row + x * 3;
      }
      dst[0] = bgr[2];
      dst[1] = bgr[1];
      dst[2] = bgr[0];
    }
  }
  return out;
}

}  // namespace platform
