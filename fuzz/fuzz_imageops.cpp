// Rectangle operations with arbitrary 32-bit coordinates and sizes: copy,
// fill, replace, stretch, scale, flips and channel exchange on small images.
// Copy, fill and replace are checked pixel by pixel against the plain rule
// "a pixel changes exactly where both coordinates are inside".
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "Imaging.h"
#include "ImagingFormats.h"

using namespace Imaging;

namespace {

struct TReader {
  const uint8_t* Data;
  size_t Size;
  uint8_t Byte() {
    if (!Size) return 0;
    --Size;
    return *Data++;
  }
  int32_t Int() {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v = (v << 8) | Byte();
    // Mostly small values around the images, sometimes extremes.
    switch (v >> 30) {
      case 0:
        return int32_t(v % 41) - 20;
      case 1:
        return int32_t(v % 401) - 200;
      default:
        return int32_t(v);
    }
  }
};

const TImageFormat Formats[] = {fmtGray8, fmtA8Gray8, fmtR8G8B8, fmtA8R8G8B8, fmtR5G6B5,
                                fmtA16R16G16B16, fmtA32R32G32B32F, fmtIndex8, fmtGray16};

void Check(bool Condition) {
  if (!Condition) __builtin_trap();
}

bool Inside(int64_t Start, int64_t Length, int64_t Position) { return Position >= Start && Position < Start + Length; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  static const bool initialised = (InitFormatInfoTable(), true);
  (void)initialised;
  TReader in{Data, Size};
  const TImageFormat format = Formats[in.Byte() % (sizeof Formats / sizeof Formats[0])];
  TImageData a, b;
  CreateImage(1 + in.Byte() % 24, 1 + in.Byte() % 24, format, a);
  CreateImage(1 + in.Byte() % 24, 1 + in.Byte() % 24, format, b);
  for (int32_t i = 0; i < a.Size; ++i) static_cast<uint8_t*>(a.Bits)[i] = in.Byte();
  for (int32_t i = 0; i < b.Size; ++i) static_cast<uint8_t*>(b.Bits)[i] = uint8_t(i * 7);
  TImageFormatInfo info;
  QueryFormatInfo(format, info);
  const int32_t bpp = info.BytesPerPixel;

  try {
    for (int step = 0; step < 6 && in.Size > 0; ++step) {
      const uint8_t op = in.Byte() % 8;
      const int32_t x = in.Int(), y = in.Int(), w = in.Int(), h = in.Int(), tx = in.Int(), ty = in.Int();
      const std::vector<uint8_t> before(static_cast<uint8_t*>(b.Bits), static_cast<uint8_t*>(b.Bits) + b.Size);
      auto px = [&](const TImageData& Img, const uint8_t* Bytes, int64_t X, int64_t Y) {
        return Bytes + (Y * Img.Width + X) * bpp;
      };
      switch (op) {
        case 0: {
          const bool done = CopyImageRect(a, x, y, w, h, b, tx, ty);
          bool any = false;
          for (int64_t j = 0; j < b.Height; ++j)
            for (int64_t i = 0; i < b.Width; ++i) {
              const int64_t si = int64_t(x) + (i - tx), sj = int64_t(y) + (j - ty);
              const bool copied = Inside(tx, w, i) && Inside(ty, h, j) && si >= 0 && si < a.Width && sj >= 0 &&
                                  sj < a.Height;
              any |= copied;
              const uint8_t* expected =
                  copied ? px(a, static_cast<const uint8_t*>(a.Bits), si, sj) : px(b, before.data(), i, j);
              Check(std::memcmp(px(b, static_cast<const uint8_t*>(b.Bits), i, j), expected, size_t(bpp)) == 0);
            }
          Check(done == any);
          break;
        }
        case 1:
        case 2: {
          std::vector<uint8_t> value(static_cast<size_t>(bpp)), old(static_cast<size_t>(bpp));
          for (auto& v : value) v = in.Byte();
          std::memcpy(old.data(), before.data(), size_t(bpp));  // the first pixel's value
          const bool done = op == 1 ? FillImageRect(b, x, y, w, h, value.data())
                                    : ReplaceImageColor(b, x, y, w, h, old.data(), value.data());
          bool any = false;
          for (int64_t j = 0; j < b.Height; ++j)
            for (int64_t i = 0; i < b.Width; ++i) {
              const bool inside = Inside(x, w, i) && Inside(y, h, j);
              any |= inside;
              const uint8_t* was = px(b, before.data(), i, j);
              const bool changes = inside && (op == 1 || std::memcmp(was, old.data(), size_t(bpp)) == 0);
              Check(std::memcmp(px(b, static_cast<const uint8_t*>(b.Bits), i, j), changes ? value.data() : was,
                                size_t(bpp)) == 0);
            }
          Check(done == any);
          break;
        }
        case 3:
          StretchImageRect(a, x, y, w, h, b, tx, ty, in.Int(), in.Int(), TResizeFilter(in.Byte() % 3));
          break;
        case 4:
          ScaleImage(b, 1 + (uint32_t(w) % 40), 1 + (uint32_t(h) % 40), TResizeFilter(in.Byte() % 3));
          break;
        case 5:
          Check(FlipVertical(b) && FlipHorizontal(a));
          break;
        case 6:
          ExchangeChannels(b, uint32_t(x) % 4, uint32_t(y) % 4);
          break;
        default: {
          TImageData copy;
          Check(DuplicateImage(b, copy));
          Check(DuplicateImage(copy, copy));
          Check(std::memcmp(copy.Bits, b.Bits, size_t(b.Size)) == 0);
          ReleaseImage(copy);
        }
      }
      Check(IsValidImage(a) && IsValidImage(b));
      Check(!info.IsIndexed || (b.Palette && a.Palette));
    }
  } catch (const EImagingError&) {
    __builtin_trap();  // none of these operations can fail on sound images
  }
  DescribeImage(b);
  ReleaseImage(a);
  ReleaseImage(b);
  return 0;
}
