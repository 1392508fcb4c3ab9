# Writes the bytes of IN as a C++ array into OUT (kSplashBitmap / kSplashBitmapSize).
file(READ ${IN} hex HEX)
string(LENGTH "${hex}" len)
math(EXPR size "${len} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," body "${hex}")
string(REGEX REPLACE "((0x..,){32})" "\\1\n" body "${body}")
file(WRITE ${OUT} "// Generated from res/splash.bmp; do not edit.\n#include <cstddef>\nextern const unsigned char kSplashBitmap[] = {\n${body}\n};\nextern const std::size_t kSplashBitmapSize = ${size};\n")
