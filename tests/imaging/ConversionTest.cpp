// Pixel format conversion: half floats, the rule of every pair of format
// classes with hand-computed values, the row-wise fast paths against the
// per-pixel rules, the block-compressed formats and the failure paths.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "Imaging.h"
#include "ImagingFormats.h"
#include "TestSupport.h"

using namespace Imaging;

namespace {

class ConversionTest : public ::testing::Test {
protected:
  void SetUp() override { TestSupport::InitCore(); }
};

// An image released at the end of the test.
struct TOwned {
  TImageData Image;
  TOwned() = default;
  explicit TOwned(const TImageData& I) : Image(I) {}
  ~TOwned() { ReleaseImage(Image); }
  TOwned(const TOwned&) = delete;
  TOwned& operator=(const TOwned&) = delete;
  template <typename T>
  T At(int64_t Index) const {
    T v;
    std::memcpy(&v, static_cast<const uint8_t*>(Image.Bits) + Index * int64_t(sizeof(T)), sizeof(T));
    return v;
  }
  const uint8_t* Bytes() const { return static_cast<const uint8_t*>(Image.Bits); }
};

// A Width x Height image of Format holding the given pixel bytes.
template <typename T>
TImageData Make(int32_t Width, int32_t Height, TImageFormat Format, std::initializer_list<T> Values) {
  TImageData img;
  EXPECT_TRUE(CreateImage(Width, Height, Format, img));
  EXPECT_EQ(size_t(img.Size), Values.size() * sizeof(T));
  std::memcpy(img.Bits, Values.begin(), std::min(size_t(img.Size), Values.size() * sizeof(T)));
  return img;
}

uint32_t FloatBits(float F) {
  uint32_t b;
  std::memcpy(&b, &F, 4);
  return b;
}
float BitsFloat(uint32_t B) {
  float f;
  std::memcpy(&f, &B, 4);
  return f;
}

// ---------------------------------------------------------------------------
// Half floats
// ---------------------------------------------------------------------------

TEST_F(ConversionTest, SingleToHalfEdgeRules) {
  struct {
    float Value;
    uint16_t Half;
  } cases[] = {
      {0.0f, 0x0000},        {-0.0f, 0x0000},  // the sign of zero is not kept
      {1.0f, 0x3C00},        {-2.0f, 0xC000},          {0.5f, 0x3800},
      {1.9999f, 0x4000},  // rounding carries into the exponent
      {65504.0f, 0x7BFF},    {65520.0f, 0x7C00},       {-70000.0f, 0xFC00},
      {1e30f, 0x7C00},       {INFINITY, 0x7C00},       {-INFINITY, 0xFC00},
      {std::ldexp(1.0f, -14), 0x0400},                 // smallest normal
      {std::ldexp(1.0f, -24), 0x0001},                 // smallest subnormal
      {std::ldexp(1.0f, -25), 0x0001},                 // half of it rounds up
      {std::ldexp(1.0f, -26), 0x0000},                 // too small
      {-std::ldexp(1.0f, -26), 0x0000},                // too small: +0
      {-std::ldexp(3.0f, -24), 0x8003},                // negative subnormal keeps its sign
      {std::ldexp(1.0f, -14) - std::ldexp(1.0f, -25), 0x0400},  // subnormal rounding carries to normal
      {1.0f + std::ldexp(1.0f, -11), 0x3C01},          // half-way rounds up (away from zero)
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Value);
    EXPECT_EQ(FloatToHalf(c.Value), c.Half);
  }
  EXPECT_EQ(FloatToHalf(BitsFloat(0x7FC00000)), 0x7E00);
  EXPECT_EQ(FloatToHalf(BitsFloat(0xFFC02000)), 0xFE01);
  // A NaN with its payload only in the low bits stays a NaN, not infinity.
  EXPECT_EQ(FloatToHalf(BitsFloat(0x7F800001)), 0x7E00);
}

TEST_F(ConversionTest, HalfToSingleAndRoundTrip) {
  EXPECT_EQ(HalfToFloat(0x0001), std::ldexp(1.0f, -24));
  EXPECT_EQ(HalfToFloat(0x03FF), std::ldexp(1023.0f, -24));
  EXPECT_EQ(HalfToFloat(0x0400), std::ldexp(1.0f, -14));
  EXPECT_EQ(HalfToFloat(0x3C00), 1.0f);
  EXPECT_EQ(HalfToFloat(0xC000), -2.0f);
  EXPECT_EQ(HalfToFloat(0x7BFF), 65504.0f);
  EXPECT_EQ(FloatBits(HalfToFloat(0x8000)), 0x80000000u);
  EXPECT_EQ(FloatBits(HalfToFloat(0x7C00)), 0x7F800000u);
  EXPECT_EQ(FloatBits(HalfToFloat(0xFC00)), 0xFF800000u);
  EXPECT_EQ(FloatBits(HalfToFloat(0x7C01)), 0x7F802000u);
  // Every half survives the trip through single precision, except -0.
  for (uint32_t h = 0; h < 0x10000; ++h) {
    if (h == 0x8000) continue;
    ASSERT_EQ(FloatToHalf(HalfToFloat(uint16_t(h))), h) << std::hex << h;
  }
  EXPECT_EQ(FloatToHalf(HalfToFloat(0x8000)), 0);
}

// ---------------------------------------------------------------------------
// The edge cases of the converter
// ---------------------------------------------------------------------------

TEST_F(ConversionTest, ColourToGrayAndBack) {
  TOwned a(Make<uint8_t>(1, 1, fmtA8R8G8B8, {0x20, 0x40, 0x80, 0xFF}));
  ASSERT_TRUE(ChangeImageFormat(a.Image, fmtGray8));
  EXPECT_EQ(a.Image.Format, fmtGray8);
  EXPECT_EQ(a.Image.Size, 1);
  EXPECT_EQ(a.Bytes()[0], 79);  // 0x80 x 0.299 + 0x40 x 0.587 + 0x20 x 0.114 = 79.488

  // Through 16 bits the same colour gives 79 too, but by another route:
  // lum(0x8080, 0x4040, 0x2020) = 20428.42 -> 20428, x 255 / 65535 = 79.49.
  TOwned b(Make<uint8_t>(1, 1, fmtA8R8G8B8, {0x20, 0x40, 0x80, 0x33}));
  ASSERT_TRUE(ChangeImageFormat(b.Image, fmtA16Gray16));
  EXPECT_EQ(b.At<uint16_t>(0), 20428);
  EXPECT_EQ(b.At<uint16_t>(1), 0x3333);
  ASSERT_TRUE(ChangeImageFormat(b.Image, fmtA8Gray8));
  EXPECT_EQ(b.Bytes()[0], 79);
  EXPECT_EQ(b.Bytes()[1], 0x33);

  // Ties of the luminance round to even.
  TOwned t(Make<uint8_t>(3, 1, fmtR8G8B8, {44, 1, 3, 16, 8, 20, 132, 3, 9}));
  ASSERT_TRUE(ChangeImageFormat(t.Image, fmtGray8));
  EXPECT_EQ(t.Bytes()[0], 6);   // 6.5
  EXPECT_EQ(t.Bytes()[1], 12);  // 12.5
  EXPECT_EQ(t.Bytes()[2], 20);  // 19.5

  TOwned g(Make<uint8_t>(2, 1, fmtGray8, {0x42, 0xFF}));
  ASSERT_TRUE(ChangeImageFormat(g.Image, fmtDefault));
  EXPECT_EQ(g.Image.Format, fmtA8R8G8B8);
  EXPECT_EQ(g.At<uint32_t>(0), 0xFF424242u);
  EXPECT_EQ(g.At<uint32_t>(1), 0xFFFFFFFFu);
}

TEST_F(ConversionTest, PackedAndPaletteColoursThroughSixteenBits) {
  TOwned w(Make<uint16_t>(1, 1, fmtR5G6B5, {0xFFFF}));
  ASSERT_TRUE(ChangeImageFormat(w.Image, fmtA8R8G8B8));
  EXPECT_EQ(w.At<uint32_t>(0), 0xFFFFFFFFu);  // full intensity stays full

  TImageData idx = Make<uint8_t>(2, 1, fmtIndex8, {1, 0});
  idx.Palette[1] = Color32(255, 255, 255, 255);
  idx.Palette[0] = Color32(0x80, 0x12, 0x34, 0x56);
  TImageData copy;
  ASSERT_TRUE(DuplicateImage(idx, copy));
  TOwned i1(idx), i2(copy);
  ASSERT_TRUE(ChangeImageFormat(i1.Image, fmtX8R8G8B8));
  EXPECT_EQ(i1.At<uint32_t>(0), Color32(254, 254, 254, 254).Color);  // entry << 8, then x 255 / 65535
  EXPECT_EQ(i1.Image.Palette, nullptr);
  ASSERT_TRUE(ChangeImageFormat(i2.Image, fmtA8R8G8B8));
  EXPECT_EQ(i2.At<uint32_t>(0), 0xFFFFFFFFu);  // copied exactly
  EXPECT_EQ(i2.At<uint32_t>(1), 0x80123456u);
}

// Every value of every packed format widens each field to 8 bits as peers
// do: 5 and 6-bit fields repeat their top bits below themselves, the other
// widths give the nearest 8-bit level; narrowing back gives the field again.
TEST_F(ConversionTest, PackedFieldsWidenToFullRange) {
  auto widened = [](uint32_t V, int Bits) -> uint32_t {
    if (Bits == 5) return (V << 3) | (V >> 2);
    if (Bits == 6) return (V << 2) | (V >> 4);
    const uint32_t max = (1u << Bits) - 1;
    return uint32_t(std::lround(double(V) * 255.0 / max));
  };
  struct TCase {
    TImageFormat Format;
    int A, R, G, B;  // field widths from the top bit down
  };
  const TCase cases[] = {{fmtR3G3B2, 0, 3, 3, 2},   {fmtX5R1G1B1, 0, 1, 1, 1},  {fmtR5G6B5, 0, 5, 6, 5},
                         {fmtA1R5G5B5, 1, 5, 5, 5}, {fmtX1R5G5B5, 0, 5, 5, 5}, {fmtA4R4G4B4, 4, 4, 4, 4},
                         {fmtX4R4G4B4, 0, 4, 4, 4}};
  for (const TCase& c : cases) {
    const int bpp = FormatInfoTable[c.Format]->BytesPerPixel;
    const uint32_t values = bpp == 1 ? 256 : 65536;
    TImageData img;
    ASSERT_TRUE(CreateImage(int32_t(values), 1, c.Format, img));
    TOwned packed(img);
    for (uint32_t v = 0; v < values; ++v) {
      if (bpp == 1)
        static_cast<uint8_t*>(packed.Image.Bits)[v] = uint8_t(v);
      else
        static_cast<uint16_t*>(packed.Image.Bits)[v] = uint16_t(v);
    }
    TImageData copy;
    ASSERT_TRUE(DuplicateImage(packed.Image, copy));
    TOwned argb(copy);
    ASSERT_TRUE(ChangeImageFormat(argb.Image, fmtA8R8G8B8));
    int mismatches = 0;
    for (uint32_t v = 0; v < values && mismatches < 5; ++v) {
      const uint32_t b = v & ((1u << c.B) - 1), g = (v >> c.B) & ((1u << c.G) - 1),
                     r = (v >> (c.B + c.G)) & ((1u << c.R) - 1), a = c.A ? (v >> (c.B + c.G + c.R)) & ((1u << c.A) - 1) : 0;
      const uint32_t expected = (c.A ? widened(a, c.A) : 255) << 24 | widened(r, c.R) << 16 | widened(g, c.G) << 8 |
                                widened(b, c.B);
      if (argb.At<uint32_t>(v) != expected) {
        ++mismatches;
        ADD_FAILURE() << FormatDisplayName(c.Format) << " value " << v << ": " << std::hex << argb.At<uint32_t>(v)
                      << " expected " << expected;
      }
    }
    // The 8-bit levels narrow back to the fields they came from.
    ASSERT_TRUE(ChangeImageFormat(argb.Image, c.Format));
    const uint32_t used = (1u << (c.A + c.R + c.G + c.B)) - 1;
    for (uint32_t v = 0; v < values; ++v) {
      const uint32_t back = bpp == 1 ? argb.Bytes()[v] : argb.At<uint16_t>(v);
      ASSERT_EQ(back, v & used) << FormatDisplayName(c.Format);
    }
    // The widened levels are those of 16-bit channels as well.
    ASSERT_TRUE(ChangeImageFormat(packed.Image, fmtA16R16G16B16));
    const uint16_t top = packed.At<uint16_t>(int64_t(values - 1) * 4 + 2);
    EXPECT_EQ(top, 65535) << FormatDisplayName(c.Format);
  }
}

TEST_F(ConversionTest, GrayWidths) {
  TOwned a(Make<uint8_t>(1, 1, fmtGray8, {255}));
  ASSERT_TRUE(ChangeImageFormat(a.Image, fmtGray16));
  EXPECT_EQ(a.At<uint16_t>(0), 0xFF00);
  TOwned b(Make<uint8_t>(1, 1, fmtGray8, {255}));
  ASSERT_TRUE(ChangeImageFormat(b.Image, fmtA16Gray16));
  EXPECT_EQ(b.At<uint16_t>(0), 0xFFFF);
  EXPECT_EQ(b.At<uint16_t>(1), 0xFFFF);
  TOwned c(Make<uint16_t>(1, 1, fmtGray16, {0x1234}));
  ASSERT_TRUE(ChangeImageFormat(c.Image, fmtGray32));
  EXPECT_EQ(c.At<uint32_t>(0), 0x12340000u);
  ASSERT_TRUE(ChangeImageFormat(c.Image, fmtGray64));
  EXPECT_EQ(c.At<uint64_t>(0), 0x1234000000000000ull);
  ASSERT_TRUE(ChangeImageFormat(c.Image, fmtGray8));
  EXPECT_EQ(c.Bytes()[0], 0x12);  // Gray64 -> Gray8 through the gray reader: 0x1234 x 255 / 65535
  TOwned d(Make<uint64_t>(1, 1, fmtGray64, {0x0123456789ABCDEFull}));
  ASSERT_TRUE(ChangeImageFormat(d.Image, fmtGray16));
  EXPECT_EQ(d.At<uint16_t>(0), 0x0123);
  TOwned e(Make<uint32_t>(1, 1, fmtGray32, {0x89ABCDEFu}));
  ASSERT_TRUE(ChangeImageFormat(e.Image, fmtGray16));
  EXPECT_EQ(e.At<uint16_t>(0), 0x89AB);
  TOwned f(Make<uint16_t>(1, 1, fmtA16Gray16, {0xFFFF, 0x8000}));
  ASSERT_TRUE(ChangeImageFormat(f.Image, fmtA8Gray8));
  EXPECT_EQ(f.Bytes()[0], 255);
  EXPECT_EQ(f.Bytes()[1], 127);
  TOwned g(Make<uint16_t>(2, 1, fmtGray16, {0x12FF, 0xFF00}));
  ASSERT_TRUE(ChangeImageFormat(g.Image, fmtGray8));
  EXPECT_EQ(g.Bytes()[0], 0x12);
  EXPECT_EQ(g.Bytes()[1], 0xFF);
}

TEST_F(ConversionTest, XByteAndAlphaOfThirtyTwoBitColour) {
  TOwned a(Make<uint8_t>(1, 1, fmtA8R8G8B8, {1, 2, 3, 128}));
  ASSERT_TRUE(ChangeImageFormat(a.Image, fmtX8R8G8B8));
  EXPECT_EQ(a.At<uint32_t>(0), 0x80030201u);  // the alpha stays in the top byte
  ASSERT_TRUE(ChangeImageFormat(a.Image, fmtA8R8G8B8));
  EXPECT_EQ(a.At<uint32_t>(0), 0xFF030201u);  // X reads as opaque
  TOwned b(Make<uint8_t>(2, 1, fmtR8G8B8, {1, 2, 3, 4, 5, 6}));
  ASSERT_TRUE(ChangeImageFormat(b.Image, fmtX8R8G8B8));
  EXPECT_EQ(b.At<uint32_t>(0), 0x00030201u);
  EXPECT_EQ(b.At<uint32_t>(1), 0x00060504u);
  TOwned c(Make<uint8_t>(2, 1, fmtR8G8B8, {1, 2, 3, 4, 5, 6}));
  ASSERT_TRUE(ChangeImageFormat(c.Image, fmtA8R8G8B8));
  EXPECT_EQ(c.At<uint32_t>(1), 0xFF060504u);
  ASSERT_TRUE(ChangeImageFormat(c.Image, fmtR8G8B8));
  EXPECT_EQ(c.Image.Size, 6);
  EXPECT_EQ(std::vector<uint8_t>(c.Bytes(), c.Bytes() + 6), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6}));
  TOwned d(Make<uint8_t>(1, 1, fmtA8Gray8, {0x80, 0x40}));
  ASSERT_TRUE(ChangeImageFormat(d.Image, fmtX8R8G8B8));
  EXPECT_EQ(d.At<uint32_t>(0), 0x40808080u);
  TOwned e(Make<uint8_t>(1, 1, fmtGray8, {0x80}));
  ASSERT_TRUE(ChangeImageFormat(e.Image, fmtX8R8G8B8));
  EXPECT_EQ(e.At<uint32_t>(0), 0x00808080u);
}

TEST_F(ConversionTest, FloatsOutsideTheUnitRange) {
  TOwned a(Make<float>(1, 1, fmtA32R32G32B32F, {1.5f, -0.2f, std::nanf(""), 0.5f}));
  ASSERT_TRUE(ChangeImageFormat(a.Image, fmtA8R8G8B8));
  // B 1.5 -> 255, G -0.2 -> 0, R NaN -> 0, A 0.5 x 65535 = 32767.5 -> 32768 -> 127.
  EXPECT_EQ(a.At<uint32_t>(0), Color32(127, 0, 0, 255).Color);
  TOwned r(Make<float>(2, 1, fmtR32F, {0.5f, 7.0f}));
  ASSERT_TRUE(ChangeImageFormat(r.Image, fmtA8R8G8B8));
  // A single float channel is a gray level.
  EXPECT_EQ(r.At<uint32_t>(0), Color32(255, 127, 127, 127).Color);
  EXPECT_EQ(r.At<uint32_t>(1), Color32(255, 255, 255, 255).Color);
  TOwned g(Make<float>(1, 1, fmtA32R32G32B32F, {-1.0f, std::nanf(""), 1.0f, 2.0f}));
  ASSERT_TRUE(ChangeImageFormat(g.Image, fmtA16Gray16));
  EXPECT_EQ(g.At<uint16_t>(0), 19595);  // 0.299 x 65535 = 19594.96
  EXPECT_EQ(g.At<uint16_t>(1), 65535);
  ASSERT_TRUE(ChangeImageFormat(g.Image, fmtGray8));
  EXPECT_EQ(g.Bytes()[0], 76);
  TOwned h(Make<uint16_t>(1, 1, fmtR16F, {0x3C00}));
  ASSERT_TRUE(ChangeImageFormat(h.Image, fmtR16G16B16));
  EXPECT_EQ(h.At<uint16_t>(0), 65535);
  EXPECT_EQ(h.At<uint16_t>(2), 65535);
}

// One-channel float maps are gray to every non-float format (BMP shows gray,
// PGM keeps the brightness instead of 0.299 of it) and stay as they are among
// the float formats.
TEST_F(ConversionTest, SingleFloatChannelIsGray) {
  const std::vector<float> values = {0.0f, 0.25f, 0.5f, 1.0f, 2.0f, -1.0f};
  // Through the 16-bit working colour (x 65535, rounded, then x 255 / 65535
  // truncated); colour reduction reads 8-bit colours (x 255, rounded).
  const uint8_t bytes[] = {0, 63, 127, 255, 255, 0};
  const uint8_t reduced[] = {0, 64, 128, 255, 255, 0};
  for (TImageFormat src : {fmtR32F, fmtR16F}) {
    SCOPED_TRACE(FormatDisplayName(src));
    auto make = [&] {
      TImageData img;
      EXPECT_TRUE(CreateImage(6, 1, src, img));
      for (size_t x = 0; x < values.size(); ++x) {
        if (src == fmtR32F)
          std::memcpy(static_cast<uint8_t*>(img.Bits) + 4 * x, &values[x], 4);
        else {
          uint16_t h = FloatToHalf(values[x]);
          std::memcpy(static_cast<uint8_t*>(img.Bits) + 2 * x, &h, 2);
        }
      }
      return img;
    };
    for (TImageFormat dst : {fmtA8R8G8B8, fmtR8G8B8, fmtX8R8G8B8, fmtGray8, fmtA16Gray16, fmtA16R16G16B16, fmtIndex8}) {
      SCOPED_TRACE(FormatDisplayName(dst));
      TOwned img(make());
      ASSERT_TRUE(ChangeImageFormat(img.Image, dst));
      for (int32_t x = 0; x < 6; ++x) {
        TColor32Rec c = ReadPixel32(img.Image, x, 0);
        const uint8_t expected = dst == fmtIndex8 ? reduced[x] : bytes[x];
        EXPECT_EQ(c.R, expected) << x;
        EXPECT_EQ(c.G, expected) << x;
        EXPECT_EQ(c.B, expected) << x;
      }
    }
    TOwned img(make());
    ASSERT_TRUE(ChangeImageFormat(img.Image, fmtGray16));
    EXPECT_EQ(img.At<uint16_t>(1), 16384);  // 0.25 x 65535 = 16383.75
    EXPECT_EQ(img.At<uint16_t>(3), 65535);
  }
  // Among float formats the value is carried as red, and comes back exactly.
  TOwned f(Make<float>(6, 1, fmtR32F, {0.0f, 0.25f, 0.5f, 1.0f, 2.0f, -1.0f}));
  ASSERT_TRUE(ChangeImageFormat(f.Image, fmtA32B32G32R32F));
  EXPECT_EQ(f.At<float>(4 * 1 + 0), 0.25f);
  EXPECT_EQ(f.At<float>(4 * 1 + 2), 0.0f);
  ASSERT_TRUE(ChangeImageFormat(f.Image, fmtR32F));
  for (int32_t x = 0; x < 6; ++x) EXPECT_EQ(f.At<float>(x), values[size_t(x)]) << x;
}

TEST_F(ConversionTest, FloatFormatsAmongThemselves) {
  TOwned r(Make<float>(1, 1, fmtR32F, {0.25f}));
  ASSERT_TRUE(ChangeImageFormat(r.Image, fmtA32B32G32R32F));
  EXPECT_EQ(r.At<float>(0), 0.25f);  // red first
  EXPECT_EQ(r.At<float>(2), 0.0f);
  EXPECT_EQ(r.At<float>(3), 1.0f);
  TOwned a(Make<float>(1, 1, fmtA32R32G32B32F, {1.9999f, 65520.0f, -0.0f, std::nanf("")}));
  ASSERT_TRUE(ChangeImageFormat(a.Image, fmtA16R16G16B16F));
  EXPECT_EQ(a.At<uint16_t>(0), 0x4000);
  EXPECT_EQ(a.At<uint16_t>(1), 0x7C00);
  EXPECT_EQ(a.At<uint16_t>(2), 0x0000);
  EXPECT_EQ(a.At<uint16_t>(3), 0x7E00);
  ASSERT_TRUE(ChangeImageFormat(a.Image, fmtR32F));
  EXPECT_EQ(a.At<float>(0), 0.0f);
}

TEST_F(ConversionTest, ChannelSourcesToEveryClass) {
  TOwned p(Make<uint8_t>(2, 1, fmtA8R8G8B8, {0x08, 0x80, 0xFF, 0x80, 0x08, 0x80, 0xFF, 0x7F}));
  ASSERT_TRUE(ChangeImageFormat(p.Image, fmtA1R5G5B5));
  EXPECT_EQ(p.At<uint16_t>(0), 0x8000 | 0x7C00 | 0x0200 | 0x0001);
  EXPECT_EQ(p.At<uint16_t>(1), 0x7C00 | 0x0200 | 0x0001);  // alpha 0x7F has a top bit of 0
  TOwned q(Make<uint8_t>(1, 1, fmtA8R8G8B8, {0x08, 0x80, 0xFF, 0x80}));
  ASSERT_TRUE(ChangeImageFormat(q.Image, fmtR5G6B5));
  EXPECT_EQ(q.At<uint16_t>(0), 0xFC01);

  TOwned a4(Make<uint16_t>(1, 1, fmtA4R4G4B4, {0x8F0F}));
  ASSERT_TRUE(ChangeImageFormat(a4.Image, fmtA8R8G8B8));
  EXPECT_EQ(a4.At<uint32_t>(0), Color32(136, 255, 0, 255).Color);  // 8 -> 0x88, 15 -> 0xFF

  TOwned w(Make<uint8_t>(1, 1, fmtR8G8B8, {1, 2, 3}));
  ASSERT_TRUE(ChangeImageFormat(w.Image, fmtA16R16G16B16));
  EXPECT_EQ(w.At<uint64_t>(0), 0xFFFF030302020101ull);
  ASSERT_TRUE(ChangeImageFormat(w.Image, fmtB16G16R16));
  EXPECT_EQ(w.At<uint16_t>(0), 0x0303);
  EXPECT_EQ(w.At<uint16_t>(2), 0x0101);

  TOwned s(Make<uint16_t>(1, 1, fmtB16G16R16, {0x1000, 0x2000, 0xFFFF}));
  ASSERT_TRUE(ChangeImageFormat(s.Image, fmtA8R8G8B8));
  EXPECT_EQ(s.At<uint32_t>(0), Color32(255, 15, 31, 255).Color);

  TOwned g(Make<uint16_t>(1, 1, fmtR5G6B5, {0xFFFF}));
  ASSERT_TRUE(ChangeImageFormat(g.Image, fmtA16Gray16));
  EXPECT_EQ(g.At<uint16_t>(0), 65535);
  EXPECT_EQ(g.At<uint16_t>(1), 65535);
  ASSERT_TRUE(ChangeImageFormat(g.Image, fmtGray8));
  EXPECT_EQ(g.Bytes()[0], 255);

  TOwned f(Make<uint8_t>(1, 1, fmtA8R8G8B8, {64, 128, 0, 255}));
  ASSERT_TRUE(ChangeImageFormat(f.Image, fmtA32R32G32B32F));
  EXPECT_EQ(f.At<float>(0), float(64 * 257) * OneDiv16Bit);
  EXPECT_EQ(f.At<float>(1), float(128 * 257) * OneDiv16Bit);
  EXPECT_EQ(f.At<float>(2), 0.0f);
  EXPECT_EQ(f.At<float>(3), 65535.0f * OneDiv16Bit);
  TOwned h(Make<uint16_t>(1, 1, fmtR16G16B16, {0xFFFF, 0, 0x8000}));
  ASSERT_TRUE(ChangeImageFormat(h.Image, fmtR32F));
  EXPECT_EQ(h.At<float>(0), float(0x8000) * OneDiv16Bit);

  // Colour reduction keeps every colour of an image with few colours.
  const uint32_t colours[3] = {0xFF102030, 0x80FFFFFF, 0x00000000};
  TImageData img;
  ASSERT_TRUE(CreateImage(4, 4, fmtA8R8G8B8, img));
  TOwned c(img);
  for (int i = 0; i < 16; ++i) static_cast<uint32_t*>(c.Image.Bits)[i] = colours[(i * 7) % 3];
  ASSERT_TRUE(ChangeImageFormat(c.Image, fmtIndex8));
  ASSERT_NE(c.Image.Palette, nullptr);
  EXPECT_EQ(c.Image.Size, 16);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(c.Image.Palette[c.Bytes()[i]].Color, colours[(i * 7) % 3]) << i;
}

TEST_F(ConversionTest, GraySourcesToEveryClass) {
  TOwned a(Make<uint16_t>(3, 1, fmtGray16, {0x8000, 0xFFFF, 0x00FF}));
  ASSERT_TRUE(ChangeImageFormat(a.Image, fmtIndex8));
  EXPECT_EQ(a.Bytes()[0], 0x80);
  EXPECT_EQ(a.Bytes()[1], 0xFF);
  EXPECT_EQ(a.Bytes()[2], 0x00);
  for (int i = 0; i < 256; ++i) ASSERT_EQ(a.Image.Palette[i].Color, Color32(255, i, i, i).Color);
  TOwned b(Make<uint8_t>(3, 1, fmtGray8, {0, 77, 255}));
  ASSERT_TRUE(ChangeImageFormat(b.Image, fmtIndex8));
  EXPECT_EQ(b.Bytes()[1], 77);
  EXPECT_EQ(b.Image.Palette[77].Color, 0xFF4D4D4Du);

  TOwned f(Make<uint8_t>(1, 1, fmtA8Gray8, {0x80, 0x40}));
  ASSERT_TRUE(ChangeImageFormat(f.Image, fmtA16R16G16B16F));
  EXPECT_EQ(f.At<uint16_t>(0), FloatToHalf(float(0x8080) * OneDiv16Bit));
  EXPECT_EQ(f.At<uint16_t>(2), f.At<uint16_t>(0));
  EXPECT_EQ(f.At<uint16_t>(3), FloatToHalf(float(0x4040) * OneDiv16Bit));
  TOwned g(Make<uint16_t>(1, 1, fmtGray16, {0xFFFF}));
  ASSERT_TRUE(ChangeImageFormat(g.Image, fmtA32R32G32B32F));
  for (int i = 0; i < 4; ++i) EXPECT_EQ(g.At<float>(i), 65535.0f * OneDiv16Bit);

  TOwned c(Make<uint16_t>(1, 1, fmtGray16, {0xFFFF}));
  ASSERT_TRUE(ChangeImageFormat(c.Image, fmtR5G6B5));
  EXPECT_EQ(c.At<uint16_t>(0), 0xFFFF);
  TOwned d(Make<uint8_t>(1, 1, fmtGray8, {0x80}));
  ASSERT_TRUE(ChangeImageFormat(d.Image, fmtA16R16G16B16));
  EXPECT_EQ(d.At<uint64_t>(0), 0xFFFF808080808080ull);
}

TEST_F(ConversionTest, IndexedSourcesToEveryClass) {
  auto make = [](TColor32Rec Entry) {
    TImageData img = Make<uint8_t>(1, 1, fmtIndex8, {9});
    img.Palette[9] = Entry;
    return img;
  };
  const TColor32Rec entry = Color32(255, 0x80, 0x40, 0x20);
  TOwned g8(make(entry)), g16(make(entry)), ag(make(entry)), f(make(entry)), w(make(entry)), rgb(make(entry));
  ASSERT_TRUE(ChangeImageFormat(g8.Image, fmtGray8));
  EXPECT_EQ(g8.Bytes()[0], 79);
  ASSERT_TRUE(ChangeImageFormat(g16.Image, fmtGray16));
  EXPECT_EQ(g16.At<uint16_t>(0), 79 * 257);
  ASSERT_TRUE(ChangeImageFormat(ag.Image, fmtA8Gray8));
  EXPECT_EQ(ag.Bytes()[0], 79);
  EXPECT_EQ(ag.Bytes()[1], 254);  // alpha 255 << 8 = 65280 -> 254
  ASSERT_TRUE(ChangeImageFormat(f.Image, fmtA32B32G32R32F));
  EXPECT_EQ(f.At<float>(0), float(0x80) * OneDiv8Bit);
  EXPECT_EQ(f.At<float>(2), float(0x20) * OneDiv8Bit);
  EXPECT_EQ(f.At<float>(3), 255.0f * OneDiv8Bit);
  ASSERT_TRUE(ChangeImageFormat(w.Image, fmtR16G16B16));
  EXPECT_EQ(w.At<uint16_t>(0), 0x2000);
  EXPECT_EQ(w.At<uint16_t>(2), 0x8000);
  ASSERT_TRUE(ChangeImageFormat(rgb.Image, fmtR8G8B8));
  EXPECT_EQ(rgb.Bytes()[0], 0x20);
  EXPECT_EQ(rgb.Bytes()[2], 0x80);

  // An all-zero palette converts to transparent black everywhere.
  for (TImageFormat target : {fmtA8R8G8B8, fmtR8G8B8, fmtGray8, fmtA32R32G32B32F, fmtA16Gray16}) {
    SCOPED_TRACE(FormatDisplayName(target));
    TOwned z(Make<uint8_t>(2, 1, fmtIndex8, {3, 200}));
    ASSERT_TRUE(ChangeImageFormat(z.Image, target));
    for (int i = 0; i < z.Image.Size; ++i) EXPECT_EQ(z.Bytes()[i], 0) << i;
  }
}

TEST_F(ConversionTest, RedBlueSwappedPartners) {
  TOwned a(Make<uint16_t>(2, 1, fmtA16R16G16B16, {1, 2, 3, 4, 5, 6, 7, 8}));
  void* bits = a.Image.Bits;
  ASSERT_TRUE(ChangeImageFormat(a.Image, fmtA16B16G16R16));
  EXPECT_EQ(a.Image.Format, fmtA16B16G16R16);
  EXPECT_EQ(a.Image.Bits, bits);  // in place
  const uint16_t swapped[8] = {3, 2, 1, 4, 7, 6, 5, 8};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(a.At<uint16_t>(i), swapped[i]);
  ASSERT_TRUE(ChangeImageFormat(a.Image, fmtA16R16G16B16));
  for (int i = 0; i < 8; ++i) EXPECT_EQ(a.At<uint16_t>(i), i + 1);
  // Half floats are exchanged as words too, so even -0 and NaN payloads stay.
  TOwned h(Make<uint16_t>(1, 1, fmtA16R16G16B16F, {0x8000, 0x7C01, 0x3C00, 0xFFFF}));
  ASSERT_TRUE(ChangeImageFormat(h.Image, fmtA16B16G16R16F));
  EXPECT_EQ(h.At<uint64_t>(0), 0xFFFF80007C013C00ull);
  TOwned f(Make<float>(1, 1, fmtA32R32G32B32F, {1.0f, 2.0f, 3.0f, 4.0f}));
  ASSERT_TRUE(ChangeImageFormat(f.Image, fmtA32B32G32R32F));
  EXPECT_EQ(f.At<float>(0), 3.0f);
  EXPECT_EQ(f.At<float>(2), 1.0f);
  TOwned r(Make<uint16_t>(1, 1, fmtB16G16R16, {1, 2, 3}));
  ASSERT_TRUE(ChangeImageFormat(r.Image, fmtR16G16B16));
  EXPECT_EQ(r.At<uint16_t>(0), 3);
}

// ---------------------------------------------------------------------------
// Fast paths against the per-pixel rules
// ---------------------------------------------------------------------------

std::vector<TImageFormat> PlainFormats() {
  std::vector<TImageFormat> formats;
  for (TImageFormat f : AllImageFormats)
    if (!FormatInfoTable[f]->IsSpecial) formats.push_back(f);
  return formats;
}

void ExpectSameConversion(const TImageData& Source, TImageFormat Target) {
  TImageData fast, generic;
  ASSERT_TRUE(DuplicateImage(Source, fast));
  ASSERT_TRUE(DuplicateImage(Source, generic));
  TOwned f(fast), g(generic);
  ASSERT_TRUE(ChangeImageFormat(f.Image, Target));
  ASSERT_TRUE(ChangeImageFormatGeneric(g.Image, Target));
  ASSERT_EQ(f.Image.Format, g.Image.Format);
  ASSERT_EQ(f.Image.Size, g.Image.Size);
  ASSERT_EQ(f.Image.Width, Source.Width);
  for (int32_t i = 0; i < f.Image.Size; ++i)
    ASSERT_EQ(f.Bytes()[i], g.Bytes()[i]) << "byte " << i << " of " << FormatDisplayName(Source.Format) << " -> "
                                          << FormatDisplayName(Target);
  ASSERT_EQ(f.Image.Palette == nullptr, g.Image.Palette == nullptr);
  if (f.Image.Palette) {
    ASSERT_EQ(std::memcmp(f.Image.Palette, g.Image.Palette, 256 * 4), 0);
  }
}

TEST_F(ConversionTest, FastPathsGiveTheBytesOfThePerPixelRules) {
  uint32_t seed = 1;
  for (TImageFormat src : PlainFormats()) {
    // Random bytes: every byte value, NaN and infinite floats, random palettes.
    TOwned image(TestSupport::RandomImage(67, 41, src, seed++));
    for (TImageFormat dst : PlainFormats()) ExpectSameConversion(image.Image, dst);
  }
}

TEST_F(ConversionTest, LargeTwoByteImagesGiveTheBytesOfThePerPixelRules) {
  // Large enough for the table of all 65536 results of a 2-byte format.
  uint32_t seed = 100;
  for (TImageFormat src : {fmtA8Gray8, fmtGray16, fmtR5G6B5, fmtA1R5G5B5, fmtA4R4G4B4, fmtX1R5G5B5, fmtX4R4G4B4,
                           fmtR16F}) {
    TOwned image(TestSupport::RandomImage(512, 513, src, seed++));
    for (TImageFormat dst : {fmtA8R8G8B8, fmtR8G8B8, fmtX8R8G8B8, fmtGray8, fmtA16Gray16, fmtR5G6B5,
                             fmtA16B16G16R16, fmtA32B32G32R32F, fmtA16R16G16B16F, fmtIndex8})
      ExpectSameConversion(image.Image, dst);
  }
}

TEST_F(ConversionTest, EveryColourToGrayMatchesTheRule) {
  // All 2^24 colours, through the luminance tables of the fast paths and
  // through the extended-precision rule.
  TImageData img;
  ASSERT_TRUE(CreateImage(4096, 4096, fmtX8R8G8B8, img));
  TOwned all(img);
  auto* p = static_cast<uint32_t*>(all.Image.Bits);
  for (uint32_t i = 0; i < (1u << 24); ++i) p[i] = i | ((i * 37) << 24);
  ExpectSameConversion(all.Image, fmtGray8);
  ExpectSameConversion(all.Image, fmtA8Gray8);
}

// ---------------------------------------------------------------------------
// Block-compressed formats
// ---------------------------------------------------------------------------

TImageData Solid(int32_t Width, int32_t Height, TImageFormat Format, uint32_t Value) {
  TImageData img;
  EXPECT_TRUE(CreateImage(Width, Height, Format, img));
  const int bpp = FormatInfoTable[Format]->BytesPerPixel;
  for (int64_t i = 0; i < int64_t(Width) * Height; ++i)
    std::memcpy(static_cast<uint8_t*>(img.Bits) + i * bpp, &Value, size_t(bpp));
  return img;
}

TEST_F(ConversionTest, BlockFormatsFitSizesAndRoundTrip) {
  TOwned a(Solid(6, 6, fmtA8R8G8B8, 0xFFFF0000u));
  ASSERT_TRUE(ChangeImageFormat(a.Image, fmtDXT3));
  EXPECT_EQ(a.Image.Width, 8);
  EXPECT_EQ(a.Image.Height, 8);
  EXPECT_EQ(a.Image.Size, 64);
  ASSERT_TRUE(ChangeImageFormat(a.Image, fmtA8R8G8B8));
  for (int i = 0; i < 64; ++i) ASSERT_EQ(a.At<uint32_t>(i), 0xFFFF0000u) << i;

  TOwned b(Solid(5, 3, fmtA8R8G8B8, 0xFF0000FFu));
  ASSERT_TRUE(ChangeImageFormat(b.Image, fmtDXT1));
  EXPECT_EQ(b.Image.Width, 8);
  EXPECT_EQ(b.Image.Height, 4);
  EXPECT_EQ(b.Image.Size, 16);
  void* bits = b.Image.Bits;
  ASSERT_TRUE(ChangeImageFormat(b.Image, fmtDXT1));  // nothing to do
  EXPECT_EQ(b.Image.Bits, bits);
  ASSERT_TRUE(ChangeImageFormat(b.Image, fmtDXT5));  // decoded and encoded again
  EXPECT_EQ(b.Image.Size, 32);
  ASSERT_TRUE(ChangeImageFormat(b.Image, fmtR8G8B8));
  EXPECT_EQ(b.Image.Size, 8 * 4 * 3);
  for (int i = 0; i < 32; ++i) ASSERT_EQ(b.Bytes()[i * 3] | (b.Bytes()[i * 3 + 2] << 8), 0x00FF) << i;

  TOwned g(Solid(4, 4, fmtGray8, 0x80));
  ASSERT_TRUE(ChangeImageFormat(g.Image, fmtATI1N));
  EXPECT_EQ(g.Image.Size, 8);
  ASSERT_TRUE(ChangeImageFormat(g.Image, fmtGray16));
  for (int i = 0; i < 16; ++i) ASSERT_EQ(g.At<uint16_t>(i), 0x8000) << i;

  TOwned c(Solid(4, 4, fmtA8R8G8B8, 0xFF808080u));
  ASSERT_TRUE(ChangeImageFormat(c.Image, fmtBTC));  // through Gray8
  EXPECT_EQ(c.Image.Size, 4);
  ASSERT_TRUE(ChangeImageFormat(c.Image, fmtGray8));
  for (int i = 0; i < 16; ++i) ASSERT_EQ(c.Bytes()[i], 0x80) << i;
}

// ---------------------------------------------------------------------------
// Failures
// ---------------------------------------------------------------------------

TEST_F(ConversionTest, InvalidArguments) {
  TOwned a(Make<uint8_t>(1, 1, fmtGray8, {5}));
  void* bits = a.Image.Bits;
  EXPECT_THROW(ChangeImageFormat(a.Image, TImageFormat(2)), EAssertionFailed);
  EXPECT_THROW(ChangeImageFormat(a.Image, TImageFormat(226)), EAssertionFailed);
  EXPECT_EQ(a.Image.Bits, bits);
  EXPECT_EQ(a.Image.Format, fmtGray8);

  TImageData broken = a.Image;
  broken.Size = 2;  // does not match the format
  EXPECT_FALSE(ChangeImageFormat(broken, fmtA8R8G8B8));
  EXPECT_EQ(broken.Bits, bits);
  TImageData empty;
  EXPECT_FALSE(ChangeImageFormat(empty, fmtA8R8G8B8));
  EXPECT_TRUE(ChangeImageFormat(a.Image, fmtGray8));
  EXPECT_EQ(a.Image.Bits, bits);
}

// A record that claims Width x Height pixels but holds only a few bytes: the
// conversions below must refuse it before touching or allocating anything.
TImageData Claimed(int32_t Width, int32_t Height, TImageFormat Format) {
  TImageData img;
  img.Width = Width;
  img.Height = Height;
  img.Format = Format;
  img.Size = int32_t(ImageBytesFor(Format, Width, Height));
  img.Bits = AllocMem(16);
  return img;
}

void ExpectRefusedIntact(TImageData& Image, TImageFormat Target) {
  const TImageData before = Image;
  try {
    ChangeImageFormat(Image, Target);
    ADD_FAILURE() << "conversion to " << FormatDisplayName(Target) << " succeeded";
  } catch (const EImagingError& e) {
    const std::string msg = e.what();
    const std::string head = "Error while converting image to format \"" + FormatDisplayName(Target) + "\". Image @";
    EXPECT_EQ(msg.rfind(head, 0), 0u) << msg;
    EXPECT_NE(msg.find(" Exception Message: "), std::string::npos) << msg;
  }
  EXPECT_EQ(std::memcmp(&before, &Image, sizeof Image), 0);
}

TEST_F(ConversionTest, ResultsTooLargeForAnImageAreRefused) {
  TImageData gray = Claimed(40000, 30000, fmtGray8);  // 1.2 GB: a valid size
  ASSERT_TRUE(IsValidImage(gray));
  ExpectRefusedIntact(gray, fmtA32R32G32B32F);  // 19.2 GB
  ExpectRefusedIntact(gray, fmtA8R8G8B8);       // 4.8 GB
  ExpectRefusedIntact(gray, fmtDXT1);
  FreeMem(gray.Bits);

  TImageData dxt = Claimed(40000, 40000, fmtDXT1);  // 800 MB compressed, 6.4 GB decoded
  ASSERT_TRUE(IsValidImage(dxt));
  ExpectRefusedIntact(dxt, fmtA8R8G8B8);
  ExpectRefusedIntact(dxt, fmtDXT5);
  ExpectRefusedIntact(dxt, fmtGray8);
  FreeMem(dxt.Bits);
}

TEST_F(ConversionTest, FailureOnTheWayToABlockFormatLeavesTheImage) {
  TOwned a(Make<uint8_t>(5, 1, fmtIndex8, {1, 2, 3, 4, 5}));
  TColor32Rec* palette = a.Image.Palette;
  a.Image.Palette = nullptr;  // an indexed image without its palette cannot be read
  ExpectRefusedIntact(a.Image, fmtDXT1);
  ExpectRefusedIntact(a.Image, fmtA8R8G8B8);
  try {
    ChangeImageFormat(a.Image, fmtDXT5);
  } catch (const EImagingError& e) {
    EXPECT_NE(std::string(e.what()).find("Exception Message: The indexed image has no palette."), std::string::npos)
        << e.what();
  }
  a.Image.Palette = palette;
  ASSERT_TRUE(ChangeImageFormat(a.Image, fmtDXT1));
  EXPECT_EQ(a.Image.Width, 8);
}

}  // namespace

// A cancel set for this thread ends conversions and colour reduction between
// slices, with the image left as it was; without a flag nothing changes.
TEST_F(ConversionTest, CancelEndsLongConversions) {
  std::atomic<bool> cancel{true};
  for (TImageFormat dst : {fmtR8G8B8, fmtA16R16G16B16, fmtIndex8, fmtDXT1}) {
    SCOPED_TRACE(FormatDisplayName(dst));
    TOwned img(TestSupport::RandomImage(1024, 1100, fmtA8R8G8B8, 9));
    std::vector<uint8_t> before(img.Bytes(), img.Bytes() + img.Image.Size);
    SetCancelFlag(&cancel);
    try {
      ChangeImageFormat(img.Image, dst);
      ADD_FAILURE() << "not cancelled";
    } catch (const EImagingError& e) {
      EXPECT_NE(std::string(e.what()).find("Exception Message: Operation cancelled"), std::string::npos) << e.what();
    }
    SetCancelFlag(nullptr);
    EXPECT_EQ(img.Image.Format, fmtA8R8G8B8);
    EXPECT_EQ(std::vector<uint8_t>(img.Bytes(), img.Bytes() + img.Image.Size), before);
    cancel = false;
    SetCancelFlag(&cancel);
    EXPECT_TRUE(ChangeImageFormat(img.Image, dst));
    SetCancelFlag(nullptr);
    cancel = true;
  }
}
