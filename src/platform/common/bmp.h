// The splash picture's decoder: an uncompressed 8-bit (palette) or 24-bit BMP
// as RGB bytes, top row first. The Linux port draws its splash picture from
// these bytes; the Windows build hands the BMP to the system instead.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

namespace platform {

struct DecodedBitmap {
  int width = 0;
  int height = 0;
  std::vector<unsigned char> rgb;  // width * height * 3 bytes
};

// Every size is checked against the data, so a damaged picture gives no
// picture (nullopt) instead of a read past the end. Pictures wider or higher
// than 4096 pixels, compressed ones and other colour depths give none either.
std::optional<DecodedBitmap> DecodeBmp(const unsigned char* data, std::size_t size);

}  // namespace platform
