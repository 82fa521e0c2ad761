// The pixel format table: descriptions, lookups, size and dimension rules,
// packed layouts and the per-format pixel access functions.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "Imaging.h"
#include "ImagingFormats.h"
#include "TestSupport.h"

using namespace Imaging;

namespace {

class FormatsTest : public ::testing::Test {
protected:
  void SetUp() override { TestSupport::InitCore(); }
};

PImageFormatInfo Info(TImageFormat F) { return FormatInfoTable[F]; }

struct TExpectedRow {
  TImageFormat Format;
  const char* Name;
  int Bpp, Channels, Palette;
  const char* Flags;  // G A F P S I X
  TImageFormat Swap;
  TImageFormat Nearest;
};

const TExpectedRow ExpectedTable[33] = {
    {fmtIndex8, "Index8", 1, 1, 256, "AI", fmtNone, fmtNone},
    {fmtGray8, "Gray8", 1, 1, 0, "G", fmtNone, fmtNone},
    {fmtA8Gray8, "A8Gray8", 2, 2, 0, "GA", fmtNone, fmtNone},
    {fmtGray16, "Gray16", 2, 1, 0, "G", fmtNone, fmtNone},
    {fmtGray32, "Gray32", 4, 1, 0, "G", fmtNone, fmtNone},
    {fmtGray64, "Gray64", 8, 1, 0, "G", fmtNone, fmtNone},
    {fmtA16Gray16, "A16Gray16", 4, 2, 0, "GA", fmtNone, fmtNone},
    {fmtX5R1G1B1, "X5R1G1B1", 1, 3, 0, "P", fmtNone, fmtNone},
    {fmtR3G3B2, "R3G3B2", 1, 3, 0, "P", fmtNone, fmtNone},
    {fmtR5G6B5, "R5G6B5", 2, 3, 0, "P", fmtNone, fmtNone},
    {fmtA1R5G5B5, "A1R5G5B5", 2, 4, 0, "AP", fmtNone, fmtNone},
    {fmtA4R4G4B4, "A4R4G4B4", 2, 4, 0, "AP", fmtNone, fmtNone},
    {fmtX1R5G5B5, "X1R5G5B5", 2, 3, 0, "P", fmtNone, fmtNone},
    {fmtX4R4G4B4, "X4R4G4B4", 2, 3, 0, "P", fmtNone, fmtNone},
    {fmtR8G8B8, "R8G8B8", 3, 3, 0, "", fmtNone, fmtNone},
    {fmtA8R8G8B8, "A8R8G8B8", 4, 4, 0, "A", fmtNone, fmtNone},
    {fmtX8R8G8B8, "X8R8G8B8", 4, 3, 0, "", fmtNone, fmtNone},
    {fmtR16G16B16, "R16G16B16", 6, 3, 0, "", fmtB16G16R16, fmtNone},
    {fmtA16R16G16B16, "A16R16G16B16", 8, 4, 0, "A", fmtA16B16G16R16, fmtNone},
    {fmtB16G16R16, "B16G16R16", 6, 3, 0, "S", fmtR16G16B16, fmtNone},
    {fmtA16B16G16R16, "A16B16G16R16", 8, 4, 0, "AS", fmtA16R16G16B16, fmtNone},
    {fmtR32F, "R32F", 4, 1, 0, "F", fmtNone, fmtNone},
    {fmtA32R32G32B32F, "A32R32G32B32F", 16, 4, 0, "AF", fmtA32B32G32R32F, fmtNone},
    {fmtA32B32G32R32F, "A32B32G32R32F", 16, 4, 0, "AFS", fmtA32R32G32B32F, fmtNone},
    {fmtR16F, "R16F", 2, 1, 0, "F", fmtNone, fmtNone},
    {fmtA16R16G16B16F, "A16R16G16B16F", 8, 4, 0, "AF", fmtA16B16G16R16F, fmtNone},
    {fmtA16B16G16R16F, "A16B16G16R16F", 8, 4, 0, "AFS", fmtA16R16G16B16F, fmtNone},
    {fmtDXT1, "DXT1", 0, 4, 0, "AX", fmtNone, fmtA8R8G8B8},
    {fmtDXT3, "DXT3", 0, 4, 0, "AX", fmtNone, fmtA8R8G8B8},
    {fmtDXT5, "DXT5", 0, 4, 0, "AX", fmtNone, fmtA8R8G8B8},
    {fmtBTC, "BTC", 0, 1, 0, "X", fmtNone, fmtGray8},
    {fmtATI1N, "ATI1N", 0, 1, 0, "X", fmtNone, fmtGray8},
    {fmtATI2N, "ATI2N", 0, 2, 0, "X", fmtNone, fmtA8R8G8B8},
};

bool HasFlag(const char* Flags, char C) { return std::strchr(Flags, C) != nullptr; }

TEST_F(FormatsTest, DescriptionsMatchTheFormatTable) {
  for (int i = 0; i < 33; ++i) {
    const TExpectedRow& e = ExpectedTable[i];
    SCOPED_TRACE(e.Name);
    EXPECT_EQ(AllImageFormats[i], e.Format);
    TImageFormatInfo info;
    ASSERT_TRUE(QueryFormatInfo(e.Format, info));
    EXPECT_EQ(info.Format, e.Format);
    EXPECT_STREQ(info.Name, e.Name);
    EXPECT_EQ(FormatDisplayName(e.Format), e.Name);
    EXPECT_EQ(info.BytesPerPixel, e.Bpp);
    EXPECT_EQ(info.ChannelCount, e.Channels);
    EXPECT_EQ(info.PaletteEntries, e.Palette);
    EXPECT_EQ(info.HasGrayChannel, HasFlag(e.Flags, 'G'));
    EXPECT_EQ(info.HasAlphaChannel, HasFlag(e.Flags, 'A'));
    EXPECT_EQ(info.IsFloatingPoint, HasFlag(e.Flags, 'F'));
    EXPECT_EQ(info.UsePixelFormat, HasFlag(e.Flags, 'P'));
    EXPECT_EQ(info.IsRBSwapped, HasFlag(e.Flags, 'S'));
    EXPECT_EQ(info.IsIndexed, HasFlag(e.Flags, 'I'));
    EXPECT_EQ(info.IsSpecial, HasFlag(e.Flags, 'X'));
    EXPECT_EQ(info.RBSwapFormat, e.Swap);
    EXPECT_EQ(info.SpecialNearestFormat, e.Nearest);
    EXPECT_EQ(info.PixelFormat != nullptr, info.UsePixelFormat);
    ASSERT_NE(info.GetPixelsSize, nullptr);
    ASSERT_NE(info.CheckDimensions, nullptr);
    // Special formats have no per-pixel access; all others have all four.
    const bool access = !info.IsSpecial;
    EXPECT_EQ(info.GetPixel32 != nullptr, access);
    EXPECT_EQ(info.SetPixel32 != nullptr, access);
    EXPECT_EQ(info.GetPixelFP != nullptr, access);
    EXPECT_EQ(info.SetPixelFP != nullptr, access);
  }
}

TEST_F(FormatsTest, LookupOfValuesThatAreNotFormats) {
  int described = 0;
  for (int v = 0; v <= MaxImageFormatValue; ++v) described += FormatInfoTable[v] != nullptr;
  EXPECT_EQ(described, 34);  // 33 formats and the default entry
  EXPECT_EQ(FormatInfoTable[fmtNone], nullptr);
  EXPECT_EQ(FormatInfoTable[fmtDefault], FormatInfoTable[fmtA8R8G8B8]);
  EXPECT_TRUE(IsFormatValid(fmtDefault));
  EXPECT_EQ(FormatDisplayName(fmtDefault), "A8R8G8B8");
  for (int v : {0, 2, 9, 11, 39, 46, 79, 94, 169, 176, 219, 226, 255, 1000, -1, -88}) {
    SCOPED_TRACE(v);
    const auto f = TImageFormat(v);
    EXPECT_FALSE(IsFormatValid(f));
    EXPECT_EQ(FormatDisplayName(f), "Unknown and unsupported format");
    EXPECT_EQ(ImageBytesFor(f, 4, 4), 0);
    TImageFormatInfo info;
    std::memset(static_cast<void*>(&info), 0xAB, sizeof info);
    EXPECT_FALSE(QueryFormatInfo(f, info));
    const auto* bytes = reinterpret_cast<const uint8_t*>(&info);
    for (size_t i = 0; i < sizeof info; ++i) ASSERT_EQ(bytes[i], 0) << "byte " << i;
  }
  InitFormatInfoTable();  // idempotent
  EXPECT_EQ(FormatInfoTable[fmtDefault], FormatInfoTable[fmtA8R8G8B8]);
  EXPECT_EQ(FormatInfoTable[fmtR5G6B5]->PixelFormat->RBitMask, 0xF800u);
}

TEST_F(FormatsTest, SizeRules) {
  EXPECT_EQ(ImageBytesFor(fmtDXT1, 5, 5), 32);
  EXPECT_EQ(ImageBytesFor(fmtDXT5, 4, 4), 16);
  EXPECT_EQ(ImageBytesFor(fmtDXT3, 6, 6), 64);
  EXPECT_EQ(ImageBytesFor(fmtBTC, 1, 1), 4);
  EXPECT_EQ(ImageBytesFor(fmtBTC, 9, 4), 12);
  EXPECT_EQ(ImageBytesFor(fmtATI1N, 8, 4), 16);
  EXPECT_EQ(ImageBytesFor(fmtATI2N, 8, 4), 32);
  EXPECT_EQ(ImageBytesFor(fmtR8G8B8, 3, 2), 18);  // rows are not padded
  EXPECT_EQ(ImageBytesFor(fmtDefault, 3, 2), 24);
  EXPECT_EQ(ImageBytesFor(fmtA32R32G32B32F, 7, 3), 336);
  // 64-bit results: large images are reported at their real size, never
  // wrapped, so that callers can refuse them.
  EXPECT_EQ(ImageBytesFor(fmtA32R32G32B32F, 65536, 65536), int64_t(1) << 36);
  EXPECT_EQ(ImageBytesFor(fmtGray8, 0x7FFFFFFF, 3), int64_t(0x7FFFFFFF) * 3);
  EXPECT_EQ(ImageBytesFor(fmtDXT5, 0x7FFFFFFF, 0x7FFFFFFF), int64_t(0x80000000) * 0x80000000);
  EXPECT_EQ(ImageBytesFor(fmtA32B32G32R32F, 0x7FFFFFFF, 0x7FFFFFFF), std::numeric_limits<int64_t>::max());
  // Nothing for empty or negative sides.
  EXPECT_EQ(ImageBytesFor(fmtA8R8G8B8, 0, 5), 0);
  EXPECT_EQ(ImageBytesFor(fmtA8R8G8B8, -2, -2), 0);
  EXPECT_EQ(ImageBytesFor(fmtDXT1, -4, 4), 0);
}

TEST_F(FormatsTest, DimensionRules) {
  int32_t w = 5, h = 5;
  Info(fmtDXT1)->CheckDimensions(fmtDXT1, w, h);
  EXPECT_EQ(w, 8);
  EXPECT_EQ(h, 8);
  w = 4, h = 1;
  Info(fmtBTC)->CheckDimensions(fmtBTC, w, h);
  EXPECT_EQ(w, 4);
  EXPECT_EQ(h, 4);
  w = 0x7FFFFFFF, h = 0x7FFFFFFE;  // no overflow near the limit
  Info(fmtATI2N)->CheckDimensions(fmtATI2N, w, h);
  EXPECT_EQ(w % 4, 0);
  EXPECT_GT(w, 0);
  EXPECT_EQ(h % 4, 0);
  w = 5, h = 7;
  Info(fmtR8G8B8)->CheckDimensions(fmtR8G8B8, w, h);
  EXPECT_EQ(w, 5);
  EXPECT_EQ(h, 7);
}

TEST_F(FormatsTest, PackedLayouts) {
  struct {
    TImageFormat Format;
    uint8_t Bits[4];
    uint32_t Masks[4];
  } rows[] = {
      {fmtX5R1G1B1, {0, 1, 1, 1}, {0x00, 0x04, 0x02, 0x01}},
      {fmtR3G3B2, {0, 3, 3, 2}, {0x00, 0xE0, 0x1C, 0x03}},
      {fmtR5G6B5, {0, 5, 6, 5}, {0x0000, 0xF800, 0x07E0, 0x001F}},
      {fmtA1R5G5B5, {1, 5, 5, 5}, {0x8000, 0x7C00, 0x03E0, 0x001F}},
      {fmtA4R4G4B4, {4, 4, 4, 4}, {0xF000, 0x0F00, 0x00F0, 0x000F}},
      {fmtX1R5G5B5, {0, 5, 5, 5}, {0x0000, 0x7C00, 0x03E0, 0x001F}},
      {fmtX4R4G4B4, {0, 4, 4, 4}, {0x0000, 0x0F00, 0x00F0, 0x000F}},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(FormatDisplayName(r.Format));
    const TPixelFormatInfo& pf = *Info(r.Format)->PixelFormat;
    EXPECT_EQ(pf.ABitCount, r.Bits[0]);
    EXPECT_EQ(pf.RBitCount, r.Bits[1]);
    EXPECT_EQ(pf.GBitCount, r.Bits[2]);
    EXPECT_EQ(pf.BBitCount, r.Bits[3]);
    EXPECT_EQ(pf.ABitMask, r.Masks[0]);
    EXPECT_EQ(pf.RBitMask, r.Masks[1]);
    EXPECT_EQ(pf.GBitMask, r.Masks[2]);
    EXPECT_EQ(pf.BBitMask, r.Masks[3]);
    EXPECT_EQ(pf.BShift, 0);
    EXPECT_EQ(pf.GShift, r.Bits[3]);
    EXPECT_EQ(pf.RShift, r.Bits[3] + r.Bits[2]);
    EXPECT_EQ(pf.AShift, r.Bits[3] + r.Bits[2] + r.Bits[1]);
    EXPECT_EQ(pf.ARecDiv, r.Bits[0] ? (1 << r.Bits[0]) - 1 : 1);
    EXPECT_EQ(pf.RRecDiv, (1 << r.Bits[1]) - 1);
  }
  const TPixelFormatInfo wide = MakePixelFormatInfo(8, 8, 8, 8);
  EXPECT_EQ(wide.ABitMask, 0xFF000000u);
  EXPECT_EQ(wide.AShift, 24);
  EXPECT_EQ(wide.BRecDiv, 255);
}

// ---------------------------------------------------------------------------
// Pixel access
// ---------------------------------------------------------------------------

TColor32Rec Get32(TImageFormat F, const void* Bits, const TColor32Rec* Palette = nullptr) {
  return Info(F)->GetPixel32(Bits, Info(F), Palette);
}
void Set32(TImageFormat F, void* Bits, TColor32Rec C, const TColor32Rec* Palette = nullptr) {
  Info(F)->SetPixel32(Bits, Info(F), Palette, C);
}
TColorFPRec GetFP(TImageFormat F, const void* Bits, const TColor32Rec* Palette = nullptr) {
  return Info(F)->GetPixelFP(Bits, Info(F), Palette);
}
void SetFP(TImageFormat F, void* Bits, TColorFPRec C, const TColor32Rec* Palette = nullptr) {
  Info(F)->SetPixelFP(Bits, Info(F), Palette, C);
}

TEST_F(FormatsTest, DirectAccess) {
  uint8_t px[4] = {1, 2, 3, 4};
  EXPECT_EQ(Get32(fmtA8R8G8B8, px).Color, 0x04030201u);
  Set32(fmtA8R8G8B8, px, Color32(0xFFEEDDCC));
  EXPECT_EQ(px[0], 0xCC);
  EXPECT_EQ(px[3], 0xFF);
  const TColorFPRec f = GetFP(fmtA8R8G8B8, px);
  EXPECT_EQ(f.B, float(0xCC) * OneDiv8Bit);
  EXPECT_EQ(f.A, 255.0f * OneDiv8Bit);
  EXPECT_EQ(OneDiv8Bit, 0.0039215689f);
  // Out-of-range floats clamp, NaN gives 0, ties round to even (0.5 x 255 =
  // 127.5 -> 128).
  SetFP(fmtA8R8G8B8, px, ColorFP(std::nanf(""), 1.5f, -0.2f, 0.5f));
  EXPECT_EQ(px[0], 128);
  EXPECT_EQ(px[1], 0);
  EXPECT_EQ(px[2], 255);
  EXPECT_EQ(px[3], 0);
  SetFP(fmtA8R8G8B8, px, ColorFP(INFINITY, -INFINITY, 1.0f / 255.0f, 254.5f / 255.0f));
  EXPECT_EQ(px[3], 255);
  EXPECT_EQ(px[2], 0);
  EXPECT_EQ(px[1], 1);
}

TEST_F(FormatsTest, ByteAccess) {
  uint8_t x8[4] = {10, 20, 30, 0};
  EXPECT_EQ(Get32(fmtX8R8G8B8, x8).Color, Color32(255, 30, 20, 10).Color);  // X byte 0 reads as alpha 255
  x8[3] = 0x5A;
  Set32(fmtX8R8G8B8, x8, Color32(1, 2, 3, 4));
  EXPECT_EQ(x8[0], 4);
  EXPECT_EQ(x8[2], 2);
  EXPECT_EQ(x8[3], 0x5A);  // the X byte is left as it was

  uint8_t rgb[3] = {7, 8, 9};
  EXPECT_EQ(Get32(fmtR8G8B8, rgb).Color, Color32(255, 9, 8, 7).Color);

  uint8_t g[2] = {0, 0};
  // 0x80 x 0.299 + 0x40 x 0.587 + 0x20 x 0.114 = 79.488
  Set32(fmtGray8, g, Color32(0xFF, 0x80, 0x40, 0x20));
  EXPECT_EQ(g[0], 79);
  EXPECT_EQ(g[1], 0);  // Gray8 has one byte
  EXPECT_EQ(Get32(fmtGray8, g).Color, Color32(255, 79, 79, 79).Color);
  // Luminance ties round to even: (3, 1, 44) is exactly 6.5, (20, 8, 16)
  // exactly 12.5, (9, 3, 132) exactly 19.5.
  Set32(fmtGray8, g, Color32(0, 3, 1, 44));
  EXPECT_EQ(g[0], 6);
  Set32(fmtGray8, g, Color32(0, 20, 8, 16));
  EXPECT_EQ(g[0], 12);
  Set32(fmtGray8, g, Color32(0, 9, 3, 132));
  EXPECT_EQ(g[0], 20);

  Set32(fmtA8Gray8, g, Color32(0x33, 255, 255, 255));
  EXPECT_EQ(g[0], 255);
  EXPECT_EQ(g[1], 0x33);
  EXPECT_EQ(Get32(fmtA8Gray8, g).Color, Color32(0x33, 255, 255, 255).Color);

  SetFP(fmtA8Gray8, g, ColorFP(0.5f, 1.0f, 1.0f, 1.0f));
  EXPECT_EQ(g[0], 255);
  EXPECT_EQ(g[1], 128);
  SetFP(fmtA8Gray8, g, ColorFP(2.0f, 0.0f, std::nanf(""), 0.0f));
  EXPECT_EQ(g[0], 0);
  EXPECT_EQ(g[1], 255);
  const TColorFPRec f = GetFP(fmtGray8, g);
  EXPECT_EQ(f.R, 0.0f);
  EXPECT_EQ(f.A, 255.0f * OneDiv8Bit);
  SetFP(fmtR8G8B8, rgb, ColorFP(0.0f, 0.2f, 0.4f, 0.6f));
  EXPECT_EQ(rgb[0], 153);  // 0.6 x 255 = 153
  EXPECT_EQ(rgb[1], 102);
  EXPECT_EQ(rgb[2], 51);
}

TEST_F(FormatsTest, FloatAccess) {
  float r[1] = {0.25f};
  TColorFPRec f = GetFP(fmtR32F, r);
  EXPECT_EQ(f.R, 0.25f);
  EXPECT_EQ(f.G, 0.0f);
  EXPECT_EQ(f.B, 0.0f);
  EXPECT_EQ(f.A, 1.0f);
  SetFP(fmtR32F, r, ColorFP(0.1f, 0.2f, 0.3f, 0.4f));
  EXPECT_EQ(r[0], 0.2f);
  EXPECT_EQ(Get32(fmtR32F, r).Color, Color32(255, 51, 51, 51).Color);  // one channel reads as gray

  float rgba[4] = {1.0f, 2.0f, 3.0f, 4.0f};  // A32B32G32R32F: R, G, B, A in memory
  f = GetFP(fmtA32B32G32R32F, rgba);
  EXPECT_EQ(f.R, 1.0f);
  EXPECT_EQ(f.B, 3.0f);
  EXPECT_EQ(f.A, 4.0f);
  SetFP(fmtA32B32G32R32F, rgba, ColorFP(0.4f, 0.3f, 0.2f, 0.1f));
  EXPECT_EQ(rgba[0], 0.3f);
  EXPECT_EQ(rgba[2], 0.1f);
  // 32-bit access of floats: x 255, rounded, clamped; bytes x 1/255 back.
  float bgra[4] = {-1.0f, std::nanf(""), 2.0f, 0.5f};
  EXPECT_EQ(Get32(fmtA32R32G32B32F, bgra).Color, Color32(128, 255, 0, 0).Color);
  Set32(fmtA32R32G32B32F, bgra, Color32(255, 0, 1, 2));
  EXPECT_EQ(bgra[0], 2.0f * OneDiv8Bit);
  EXPECT_EQ(bgra[3], 255.0f * OneDiv8Bit);

  uint16_t h[4] = {0x3C00, 0x3800, 0x0000, 0x3C00};  // A16R16G16B16F: B = 1, G = 0.5, R = 0, A = 1
  f = GetFP(fmtA16R16G16B16F, h);
  EXPECT_EQ(f.B, 1.0f);
  EXPECT_EQ(f.G, 0.5f);
  EXPECT_EQ(Get32(fmtA16R16G16B16F, h).Color, Color32(255, 0, 128, 255).Color);
  uint16_t rh[1] = {0};
  Set32(fmtR16F, rh, Color32(0, 255, 0, 0));
  EXPECT_EQ(rh[0], FloatToHalf(255.0f * OneDiv8Bit));
  EXPECT_EQ(GetFP(fmtR16F, rh).A, 1.0f);
}

TEST_F(FormatsTest, GenericChannelAccess) {
  uint16_t w[1] = {0xFFFF};
  // White R5G6B5 stays white.
  EXPECT_EQ(Get32(fmtR5G6B5, w).Color, Color32(255, 255, 255, 255).Color);
  // X bits are written as 0 whatever the colour.
  w[0] = 0xFFFF;
  Set32(fmtX1R5G5B5, w, Color32(0xFFFFFFFF));
  EXPECT_EQ(w[0], 0x7FFF);
  Set32(fmtX4R4G4B4, w, Color32(0xFFFFFFFF));
  EXPECT_EQ(w[0], 0x0FFF);
  Set32(fmtA1R5G5B5, w, Color32(0x80, 0xFF, 0x00, 0x08));
  EXPECT_EQ(w[0], 0x8000 | 0x7C00 | 0x0001);
  Set32(fmtA1R5G5B5, w, Color32(0x7F, 0x00, 0xFF, 0x00));
  EXPECT_EQ(w[0], 0x03E0);
  uint8_t b[1] = {0xFF};
  Set32(fmtX5R1G1B1, b, Color32(0xFFFFFFFF));
  EXPECT_EQ(b[0], 0x07);
  b[0] = 0xA9;  // R3G3B2 101 010 01
  EXPECT_EQ(Get32(fmtR3G3B2, b).Color, Color32(255, 182, 73, 85).Color);  // 101 -> 10110110

  uint16_t rgb16[3] = {0x0000, 0x8000, 0xFFFF};  // R16G16B16: B, G, R
  EXPECT_EQ(Get32(fmtR16G16B16, rgb16).Color, Color32(255, 255, 127, 0).Color);
  EXPECT_EQ(Get32(fmtB16G16R16, rgb16).Color, Color32(255, 0, 127, 255).Color);
  Set32(fmtB16G16R16, rgb16, Color32(9, 1, 2, 3));
  EXPECT_EQ(rgb16[0], 1 * 257);
  EXPECT_EQ(rgb16[2], 3 * 257);
  const TColorFPRec f = GetFP(fmtR16G16B16, rgb16);
  EXPECT_EQ(f.B, float(1 * 257) * OneDiv16Bit);
  EXPECT_EQ(f.A, 65535.0f * OneDiv16Bit);
  uint16_t argb16[4] = {};
  SetFP(fmtA16R16G16B16, argb16, ColorFP(0.5f, 1.5f, std::nanf(""), -3.0f));
  EXPECT_EQ(argb16[0], 0);
  EXPECT_EQ(argb16[1], 0);
  EXPECT_EQ(argb16[2], 65535);
  EXPECT_EQ(argb16[3], 32768);  // 32767.5 rounds to even
}

TEST_F(FormatsTest, GenericGrayAccess) {
  uint16_t g16[2] = {0xFFFF, 0};
  EXPECT_EQ(Get32(fmtGray16, g16).Color, 0xFFFFFFFFu);
  Set32(fmtGray16, g16, Color32(0, 0x80, 0x40, 0x20));
  EXPECT_EQ(g16[0], 79 * 257);
  Set32(fmtA16Gray16, g16, Color32(0x12, 0, 0, 0));
  EXPECT_EQ(g16[0], 0);
  EXPECT_EQ(g16[1], 0x12 * 257);
  EXPECT_EQ(Get32(fmtA16Gray16, g16).Color, Color32(0x12, 0, 0, 0).Color);
  SetFP(fmtA16Gray16, g16, ColorFP(std::nanf(""), 1.0f, 1.0f, 1.0f));
  EXPECT_EQ(g16[0], 65535);
  EXPECT_EQ(g16[1], 0);
  uint32_t g32[1] = {0x89ABCDEF};
  EXPECT_EQ(Get32(fmtGray32, g32).R, 0x89AB * 255 / 65535);
  EXPECT_EQ(GetFP(fmtGray32, g32).G, float(0x89AB) * OneDiv16Bit);
  uint64_t g64[1] = {0};
  Set32(fmtGray64, g64, Color32(0, 255, 255, 255));
  EXPECT_EQ(g64[0], uint64_t(0xFFFF) << 48);
}

TEST_F(FormatsTest, GenericIndexAccess) {
  TColor32Rec palette[256] = {};
  uint8_t index[1] = {7};
  // An all-zero palette reads as transparent black.
  EXPECT_EQ(Get32(fmtIndex8, index, palette).Color, 0u);
  const TColorFPRec zero = GetFP(fmtIndex8, index, palette);
  EXPECT_EQ(zero.A, 0.0f);
  // No entry is close enough to opaque white: the index stored is 0.
  index[0] = 0x77;
  Set32(fmtIndex8, index, Color32(0xFFFFFFFF), palette);
  EXPECT_EQ(index[0], 0);
  palette[5] = Color32(255, 200, 100, 50);
  palette[6] = Color32(255, 201, 100, 50);
  Set32(fmtIndex8, index, Color32(255, 201, 101, 50), palette);
  EXPECT_EQ(index[0], 6);
  EXPECT_EQ(Get32(fmtIndex8, index, palette).Color, palette[6].Color);
  EXPECT_EQ(GetFP(fmtIndex8, index, palette).R, 201.0f * OneDiv8Bit);
  SetFP(fmtIndex8, index, ColorFP(1.0f, 200.0f / 255.0f, 100.0f / 255.0f, 50.0f / 255.0f), palette);
  EXPECT_EQ(index[0], 5);
}

}  // namespace
