// The BMP decoder of the Linux port's windows, over pictures built in memory:
// 24-bit and palette pictures in both row orders, and damaged ones, which
// give no picture.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/common/bmp.h"
#include "support/program_images.h"

using testing_support::PutLittleEndian;

namespace {

struct Bitmap {
  std::int32_t width;
  std::int32_t height;  // negative: top row first
  std::uint16_t bits;
  std::uint32_t colours = 0;
  std::string palette;  // B, G, R, 0 per colour
  std::string pixels;   // rows as stored, each padded to 4 bytes
  std::uint32_t compression = 0;
};

std::string Bmp(const Bitmap& b) {
  std::string out(14 + 40, '\0');
  out[0] = 'B';
  out[1] = 'M';
  PutLittleEndian(out, 2, 54 + b.palette.size() + b.pixels.size(), 4);
  PutLittleEndian(out, 10, 54 + b.palette.size(), 4);  // pixel offset
  PutLittleEndian(out, 14, 40, 4);                     // info header size
  PutLittleEndian(out, 18, static_cast<std::uint32_t>(b.width), 4);
  PutLittleEndian(out, 22, static_cast<std::uint32_t>(b.height), 4);
  PutLittleEndian(out, 26, 1, 2);  // planes
  PutLittleEndian(out, 28, b.bits, 2);
  PutLittleEndian(out, 30, b.compression, 4);
  PutLittleEndian(out, 46, b.colours, 4);
  return out + b.palette + b.pixels;
}

std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s += static_cast<char>(v);
  return s;
}

// Two rows of two 24-bit pixels, each row padded by two bytes.
const std::string kRows24 = Bytes({1, 2, 3, 4, 5, 6, 0, 0, 7, 8, 9, 10, 11, 12, 0, 0});
const std::string kPalette = Bytes({10, 20, 30, 0, 40, 50, 60, 0});

TEST(BmpTest, DecodesWholePictures) {
  struct Case {
    std::string name;
    Bitmap bitmap;
    int width;
    int height;
    std::string rgb;
  };
  const std::vector<Case> cases = {
      {"24-bit, bottom row first",
       {2, 2, 24, 0, "", kRows24},
       2,
       2,
       Bytes({9, 8, 7, 12, 11, 10, 3, 2, 1, 6, 5, 4})},
      {"24-bit, top row first",
       {2, -2, 24, 0, "", kRows24},
       2,
       2,
       Bytes({3, 2, 1, 6, 5, 4, 9, 8, 7, 12, 11, 10})},
      {"8-bit with two colours",
       {3, 1, 8, 2, kPalette, Bytes({0, 1, 0, 0})},
       3,
       1,
       Bytes({30, 20, 10, 60, 50, 40, 30, 20, 10})},
      {"8-bit with 256 colours",
       {1, 1, 8, 0, std::string(1024, '\x7f'), Bytes({255, 0, 0, 0})},
       1,
       1,
       Bytes({127, 127, 127})},
  };
  for (const Case& c : cases) {
    const std::string data = Bmp(c.bitmap);
    const auto bitmap =
        platform::DecodeBmp(reinterpret_cast<const unsigned char*>(data.data()), data.size());
    ASSERT_TRUE(bitmap.has_value()) << c.name;
    EXPECT_EQ(c.width, bitmap->width) << c.name;
    EXPECT_EQ(c.height, bitmap->height) << c.name;
    EXPECT_EQ(c.rgb, std::string(bitmap->rgb.begin(), bitmap->rgb.end())) << c.name;
  }
}

TEST(BmpTest, DamagedPicturesGiveNone) {
  const std::string whole = Bmp({2, 2, 24, 0, "", kRows24});
  std::string notBm = whole;
  notBm[0] = 'X';
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"empty", ""},
      {"no BM", notBm},
      {"headers only, cut", whole.substr(0, 53)},
      {"pixels cut", whole.substr(0, whole.size() - 1)},
      {"compressed", Bmp({2, 2, 24, 0, "", kRows24, 1})},
      {"16-bit", Bmp({2, 2, 16, 0, "", kRows24})},
      {"no width", Bmp({0, 2, 24, 0, "", kRows24})},
      {"no height", Bmp({2, 0, 24, 0, "", kRows24})},
      {"too wide", Bmp({4097, 1, 24, 0, "", std::string(4097 * 3 + 1, '\0')})},
      {"too high", Bmp({1, 4097, 24, 0, "", std::string(4097 * 4, '\0')})},
      {"too high, top row first", Bmp({1, -4097, 24, 0, "", std::string(4097 * 4, '\0')})},
      {"palette index past the colours", Bmp({1, 1, 8, 2, kPalette, Bytes({2, 0, 0, 0})})},
      {"256 colours claimed, two there", Bmp({1, 1, 8, 0, kPalette, Bytes({0, 0, 0, 0})})},
  };
  for (const auto& c : cases) {
    EXPECT_FALSE(platform::DecodeBmp(reinterpret_cast<const unsigned char*>(c.second.data()),
                                     c.second.size())
                     .has_value())
        << c.first;
  }
}

}  // namespace
