// Image lifecycle and manipulation: creation and validation, duplication and
// release, flips, channel exchange, rectangle copy, fill, colour replacement,
// stretching and scaling, palettes, pixel access and descriptions.
#include <gtest/gtest.h>

#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "Imaging.h"

using namespace Imaging;

namespace {

class CoreEnvironment : public ::testing::Environment {
public:
  void SetUp() override { InitFormatInfoTable(); }
};
const auto* const Env = ::testing::AddGlobalTestEnvironment(new CoreEnvironment);

// Releases an image at the end of a test.
struct TImage {
  TImageData Img;
  TImage() = default;
  TImage(int32_t W, int32_t H, TImageFormat F, uint32_t Seed = 0) {
    EXPECT_TRUE(CreateImage(W, H, F, Img));
    if (Seed) Randomize(Seed);
  }
  ~TImage() { ReleaseImage(Img); }
  TImage(const TImage&) = delete;
  TImage& operator=(const TImage&) = delete;
  void Randomize(uint32_t Seed) {
    std::mt19937 rng(Seed);
    for (int32_t i = 0; i < Img.Size; ++i) Bytes()[i] = uint8_t(rng() >> 24);
  }
  uint8_t* Bytes() { return static_cast<uint8_t*>(Img.Bits); }
  std::vector<uint8_t> Copy() const {
    auto* p = static_cast<const uint8_t*>(Img.Bits);
    return std::vector<uint8_t>(p, p + Img.Size);
  }
};

int32_t Bpp(TImageFormat F) {
  TImageFormatInfo info;
  EXPECT_TRUE(QueryFormatInfo(F, info));
  return info.BytesPerPixel;
}

std::string Pointer(const void* P) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%016" PRIXPTR, reinterpret_cast<uintptr_t>(P));
  return buf;
}

// A record that passes validation but has no pixel memory: every operation
// touching its pixels fails and must report through its own message.
TImageData Hollow(int32_t W, int32_t H) {
  TImageData img;
  img.Width = W;
  img.Height = H;
  img.Format = fmtGray8;
  img.Size = W * H;
  return img;
}

std::string MessageOf(const std::function<void()>& Action) {
  try {
    Action();
  } catch (const EImagingError& e) {
    return e.what();
  }
  return "<no EImagingError>";
}

}  // namespace

// --------------------------------------------------------------------------
// Lifecycle
// --------------------------------------------------------------------------

TEST(ImageLifecycle, CreateAppliesDimensionRuleAndZeroFills) {
  TImage dxt;
  ASSERT_TRUE(CreateImage(5, 5, fmtDXT1, dxt.Img));
  EXPECT_EQ(dxt.Img.Width, 8);
  EXPECT_EQ(dxt.Img.Height, 8);
  EXPECT_EQ(dxt.Img.Size, 32);
  EXPECT_EQ(dxt.Img.Palette, nullptr);

  TImage idx(3, 2, fmtIndex8);
  EXPECT_EQ(idx.Img.Size, 6);
  ASSERT_NE(idx.Img.Palette, nullptr);
  for (int i = 0; i < 256; ++i) EXPECT_EQ(idx.Img.Palette[i].Color, 0u);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(idx.Bytes()[i], 0);

  TImage def(3, 2, fmtDefault);
  EXPECT_EQ(def.Img.Format, fmtA8R8G8B8);
  EXPECT_EQ(def.Img.Size, 24);

  // Creating again releases the old memory (the sanitizer build sees leaks).
  ASSERT_TRUE(CreateImage(7, 1, fmtR8G8B8, def.Img));
  EXPECT_EQ(def.Img.Size, 21);
}

TEST(ImageLifecycle, CreateAssertsBeforeChangingAnything) {
  TImage img(2, 2, fmtGray8, 1);
  const TImageData before = img.Img;
  EXPECT_THROW(CreateImage(0, 4, fmtGray8, img.Img), EAssertionFailed);
  EXPECT_THROW(CreateImage(4, -1, fmtGray8, img.Img), EAssertionFailed);
  EXPECT_THROW(CreateImage(4, 4, TImageFormat(2), img.Img), EAssertionFailed);
  EXPECT_THROW(CreateImage(4, 4, TImageFormat(226), img.Img), EAssertionFailed);
  EXPECT_EQ(img.Img.Bits, before.Bits);
  EXPECT_EQ(img.Img.Width, 2);
  EXPECT_TRUE(IsValidImage(img.Img));
}

TEST(ImageLifecycle, CreateRefusesSizesBeyondThirtyTwoBits) {
  struct TCase {
    int32_t W, H;
    TImageFormat F;
    const char* Name;
  } cases[] = {
      {70000, 70000, fmtA8R8G8B8, "A8R8G8B8"},
      {46341, 46341, fmtGray8, "Gray8"},
      {INT32_MAX, INT32_MAX, fmtA32R32G32B32F, "A32R32G32B32F"},
      {INT32_MAX, 1, fmtDXT1, "DXT1"},
      {INT32_MAX - 1, INT32_MAX, fmtBTC, "BTC"},
      {65536, 32768, fmtA8R8G8B8, "A8R8G8B8"},
  };
  for (const TCase& c : cases) {
    TImage img(1, 1, fmtGray8);
    const std::string msg = MessageOf([&] { CreateImage(c.W, c.H, c.F, img.Img); });
    const std::string head = "Error while creating image data with params: Width=" + std::to_string(c.W) +
                             " Height=" + std::to_string(c.H) + " Format=" + c.Name + ". Exception Message: ";
    EXPECT_EQ(msg.substr(0, head.size()), head) << msg;
    // The record is left empty and owns nothing.
    EXPECT_EQ(img.Img.Bits, nullptr);
    EXPECT_EQ(img.Img.Format, fmtNone);
    EXPECT_FALSE(IsValidImage(img.Img));
  }
}

TEST(ImageLifecycle, ValidityFollowsTheSizeRule) {
  TImageData img;
  EXPECT_FALSE(IsValidImage(img));  // the empty record has no format
  img.Width = 3;
  img.Height = 2;
  img.Format = fmtR8G8B8;
  img.Size = 18;
  EXPECT_TRUE(IsValidImage(img));
  img.Size = 17;
  EXPECT_FALSE(IsValidImage(img));
  img.Size = 18;
  img.Format = TImageFormat(2);
  EXPECT_FALSE(IsValidImage(img));
  img.Format = TImageFormat(-5);
  EXPECT_FALSE(IsValidImage(img));
  img.Format = TImageFormat(1000);
  EXPECT_FALSE(IsValidImage(img));
  // Hostile dimensions never reach an overflowing size rule.
  img.Format = fmtA32R32G32B32F;
  img.Width = img.Height = INT32_MAX;
  img.Size = 0;
  EXPECT_FALSE(IsValidImage(img));
  img.Width = img.Height = -2;
  img.Format = fmtGray8;
  img.Size = 4;
  EXPECT_FALSE(IsValidImage(img));
}

TEST(ImageLifecycle, ReleaseOfMismatchedRecordOnlyResets) {
  uint8_t stackPixels[16];
  TImageData img;
  img.Width = 4;
  img.Height = 4;
  img.Format = fmtGray8;
  img.Size = 15;  // does not match: releasing would free stack memory
  img.Bits = stackPixels;
  ReleaseImage(img);
  EXPECT_EQ(img.Bits, nullptr);
  EXPECT_EQ(img.Width, 0);
  EXPECT_EQ(img.Format, fmtNone);
}

TEST(ImageLifecycle, ArraysOfImages) {
  TDynImageDataArray images;
  EXPECT_FALSE(AreValidImages(images));
  ReleaseImageArray(images);
  images.resize(2);
  ASSERT_TRUE(CreateImage(2, 2, fmtGray8, images[0]));
  ASSERT_TRUE(CreateImage(3, 3, fmtIndex8, images[1]));
  EXPECT_TRUE(AreValidImages(images));
  images.push_back(TImageData{});
  EXPECT_FALSE(AreValidImages(images));
  ReleaseImageArray(images);
  EXPECT_TRUE(images.empty());
}

TEST(ImageLifecycle, DuplicateCopiesPixelsAndPalette) {
  TImage src(5, 3, fmtIndex8, 7);
  for (int i = 0; i < 256; ++i) src.Img.Palette[i].Color = 0x01000000u * uint32_t(i) + uint32_t(i);
  TImage dst(9, 9, fmtA8R8G8B8, 3);  // its memory is released by the copy
  ASSERT_TRUE(DuplicateImage(src.Img, dst.Img));
  EXPECT_NE(dst.Img.Bits, src.Img.Bits);
  EXPECT_NE(dst.Img.Palette, src.Img.Palette);
  EXPECT_EQ(dst.Img.Width, 5);
  EXPECT_EQ(dst.Img.Height, 3);
  EXPECT_EQ(dst.Img.Format, fmtIndex8);
  EXPECT_EQ(dst.Copy(), src.Copy());
  EXPECT_EQ(std::memcmp(dst.Img.Palette, src.Img.Palette, 1024), 0);

  TImageData invalid;
  EXPECT_FALSE(DuplicateImage(invalid, dst.Img));
  EXPECT_EQ(dst.Img.Width, 5);
}

TEST(ImageLifecycle, DuplicateOntoItselfOrASharingRecord) {
  TImage img(4, 4, fmtGray8, 11);
  const std::vector<uint8_t> pixels = img.Copy();
  void* bits = img.Img.Bits;
  ASSERT_TRUE(DuplicateImage(img.Img, img.Img));
  EXPECT_EQ(img.Img.Bits, bits);
  EXPECT_EQ(img.Copy(), pixels);

  // A by-value copy shares the memory: it is reset, not released.
  TImage alias;
  alias.Img = img.Img;
  ASSERT_TRUE(DuplicateImage(img.Img, alias.Img));
  EXPECT_NE(alias.Img.Bits, bits);
  EXPECT_EQ(img.Copy(), pixels);
  EXPECT_EQ(alias.Copy(), pixels);
}

// --------------------------------------------------------------------------
// Flips
// --------------------------------------------------------------------------

TEST(ImageFlip, VerticalExchangesRows) {
  for (int32_t h : {1, 2, 5}) {
    TImage img(3, h, fmtR8G8B8, 5);
    const std::vector<uint8_t> before = img.Copy();
    ASSERT_TRUE(FlipVertical(img.Img));
    for (int32_t y = 0; y < h; ++y)
      EXPECT_EQ(std::memcmp(img.Bytes() + y * 9, before.data() + (h - 1 - y) * 9, 9), 0) << "row " << y;
  }
  TImageData invalid;
  EXPECT_FALSE(FlipVertical(invalid));
}

TEST(ImageFlip, HorizontalMirrorsEveryPixelSize) {
  for (TImageFormat f : {fmtGray8, fmtR5G6B5, fmtR8G8B8, fmtA8R8G8B8, fmtR16G16B16, fmtA16R16G16B16,
                         fmtA32R32G32B32F}) {
    for (int32_t w : {1, 2, 7}) {
      TImage img(w, 3, f, 9);
      const int32_t bpp = Bpp(f);
      const std::vector<uint8_t> before = img.Copy();
      ASSERT_TRUE(FlipHorizontal(img.Img));
      for (int32_t y = 0; y < 3; ++y)
        for (int32_t x = 0; x < w; ++x)
          ASSERT_EQ(std::memcmp(img.Bytes() + (y * w + x) * bpp, before.data() + (y * w + (w - 1 - x)) * bpp, bpp), 0)
              << FormatDisplayName(f) << " w=" << w << " x=" << x << " y=" << y;
    }
  }
}

TEST(ImageFlip, FailuresCarryTheImageDescription) {
  TImageData hollow = Hollow(4, 3);
  EXPECT_EQ(MessageOf([&] { FlipVertical(hollow); }),
            "Error while flipping image. " + DescribeImage(hollow) + " Exception Message: The image has no pixel memory.");
  EXPECT_EQ(MessageOf([&] { FlipHorizontal(hollow); }),
            "Error while mirroring image. " + DescribeImage(hollow) + " Exception Message: The image has no pixel memory.");
  EXPECT_EQ(MessageOf([&] { ExchangeChannels(hollow, 0, 3); }),
            "Error while swapping channels of image. " + DescribeImage(hollow) +
                " Exception Message: The image has no pixel memory.");
  TImage target(2, 2, fmtGray8);
  EXPECT_EQ(MessageOf([&] { DuplicateImage(hollow, target.Img); }),
            "Error while cloning image. " + DescribeImage(hollow) + " Exception Message: The image has no pixel memory.");
}

// --------------------------------------------------------------------------
// Channel exchange
// --------------------------------------------------------------------------

TEST(ImageChannels, ByteFormats) {
  TImage argb(3, 2, fmtA8R8G8B8, 21);
  const std::vector<uint8_t> before = argb.Copy();
  EXPECT_FALSE(ExchangeChannels(argb.Img, 2, 2));
  EXPECT_EQ(argb.Copy(), before);
  ASSERT_TRUE(ExchangeChannels(argb.Img, 2, 0));
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(argb.Bytes()[i * 4 + 0], before[i * 4 + 2]);
    EXPECT_EQ(argb.Bytes()[i * 4 + 1], before[i * 4 + 1]);
    EXPECT_EQ(argb.Bytes()[i * 4 + 2], before[i * 4 + 0]);
    EXPECT_EQ(argb.Bytes()[i * 4 + 3], before[i * 4 + 3]);
  }
  ASSERT_TRUE(ExchangeChannels(argb.Img, 3, 1));
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(argb.Bytes()[i * 4 + 1], before[i * 4 + 3]);
    EXPECT_EQ(argb.Bytes()[i * 4 + 3], before[i * 4 + 1]);
  }

  TImage rgb(5, 1, fmtR8G8B8, 22);
  const std::vector<uint8_t> rgbBefore = rgb.Copy();
  ASSERT_TRUE(ExchangeChannels(rgb.Img, 0, 1));
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(rgb.Bytes()[i * 3 + 0], rgbBefore[i * 3 + 1]);
    EXPECT_EQ(rgb.Bytes()[i * 3 + 1], rgbBefore[i * 3 + 0]);
    EXPECT_EQ(rgb.Bytes()[i * 3 + 2], rgbBefore[i * 3 + 2]);
  }
  // R8G8B8 has no alpha byte: exchanging with alpha (opaque) never touches
  // the next pixel.
  ASSERT_TRUE(ExchangeChannels(rgb.Img, 2, 3));
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(rgb.Bytes()[i * 3 + 2], 255);
    EXPECT_EQ(rgb.Bytes()[i * 3 + 0], rgbBefore[i * 3 + 1]);
  }

  EXPECT_THROW(ExchangeChannels(argb.Img, 4, 0), EAssertionFailed);
  EXPECT_THROW(ExchangeChannels(argb.Img, 0, -1), EAssertionFailed);
  TImageData invalid;
  EXPECT_FALSE(ExchangeChannels(invalid, 0, 2));
}

TEST(ImageChannels, IndexedGrayWordAndPackedFormats) {
  TImage idx(4, 1, fmtIndex8, 3);
  for (int i = 0; i < 256; ++i) idx.Img.Palette[i] = Color32(uint8_t(i), 1, 2, 3);
  const std::vector<uint8_t> indices = idx.Copy();
  ASSERT_TRUE(ExchangeChannels(idx.Img, 0, 3));
  EXPECT_EQ(idx.Copy(), indices);
  EXPECT_EQ(idx.Img.Palette[9].Color, Color32(3, 1, 2, 9).Color);

  TImage ag(3, 1, fmtA8Gray8);
  const uint8_t agPixels[6] = {10, 200, 20, 100, 30, 0};
  std::memcpy(ag.Bytes(), agPixels, 6);
  ASSERT_TRUE(ExchangeChannels(ag.Img, 3, 0));
  const uint8_t agExpected[6] = {200, 10, 100, 20, 0, 30};
  EXPECT_EQ(std::memcmp(ag.Bytes(), agExpected, 6), 0);

  TImage ag16(1, 1, fmtA16Gray16);
  const uint16_t ag16Pixel[2] = {0x1234, 0xABCD};
  std::memcpy(ag16.Bytes(), ag16Pixel, 4);
  ASSERT_TRUE(ExchangeChannels(ag16.Img, 1, 3));
  uint16_t ag16Out[2];
  std::memcpy(ag16Out, ag16.Bytes(), 4);
  EXPECT_EQ(ag16Out[0], 0xABCD);
  EXPECT_EQ(ag16Out[1], 0x1234);

  // A16B16G16R16 stores R, G, B, A: blue (0) is word 2.
  TImage abgr(1, 1, fmtA16B16G16R16);
  const uint16_t abgrPixel[4] = {0x1111, 0x2222, 0x3333, 0x4444};
  std::memcpy(abgr.Bytes(), abgrPixel, 8);
  ASSERT_TRUE(ExchangeChannels(abgr.Img, 0, 3));
  uint16_t abgrOut[4];
  std::memcpy(abgrOut, abgr.Bytes(), 8);
  EXPECT_EQ(abgrOut[0], 0x1111);
  EXPECT_EQ(abgrOut[2], 0x4444);
  EXPECT_EQ(abgrOut[3], 0x3333);

  TImage argb16(1, 1, fmtA16R16G16B16);
  std::memcpy(argb16.Bytes(), abgrPixel, 8);
  ASSERT_TRUE(ExchangeChannels(argb16.Img, 2, 0));
  uint16_t argb16Out[4];
  std::memcpy(argb16Out, argb16.Bytes(), 8);
  EXPECT_EQ(argb16Out[0], 0x3333);
  EXPECT_EQ(argb16Out[1], 0x2222);
  EXPECT_EQ(argb16Out[2], 0x1111);

  // Packed: full red becomes full blue through the working colour.
  TImage packed(2, 1, fmtR5G6B5);
  const uint16_t packedPixels[2] = {0xF800, 0x07E0};
  std::memcpy(packed.Bytes(), packedPixels, 4);
  ASSERT_TRUE(ExchangeChannels(packed.Img, 2, 0));
  uint16_t packedOut[2];
  std::memcpy(packedOut, packed.Bytes(), 4);
  EXPECT_EQ(packedOut[0], 0x001F);
  EXPECT_EQ(packedOut[1], 0x07E0);

  TImage fp(1, 1, fmtA32R32G32B32F);
  const float fpPixel[4] = {0.25f, 0.5f, 0.75f, 1.0f};  // B, G, R, A
  std::memcpy(fp.Bytes(), fpPixel, 16);
  ASSERT_TRUE(ExchangeChannels(fp.Img, 1, 3));
  float fpOut[4];
  std::memcpy(fpOut, fp.Bytes(), 16);
  EXPECT_EQ(fpOut[0], 0.25f);
  EXPECT_EQ(fpOut[1], 1.0f);
  EXPECT_EQ(fpOut[2], 0.75f);
  EXPECT_EQ(fpOut[3], 0.5f);
}

// --------------------------------------------------------------------------
// Rectangle copy, fill and replace
// --------------------------------------------------------------------------

TEST(ImageRects, CopyWithNegativeTargetStartsAtFourthColumn) {
  TImage src(6, 2, fmtGray8);
  for (int i = 0; i < 12; ++i) src.Bytes()[i] = uint8_t(10 + i);
  TImage dst(4, 2, fmtGray8);
  std::memset(dst.Bytes(), 0xEE, 8);
  ASSERT_TRUE(CopyImageRect(src.Img, 0, 0, 6, 2, dst.Img, -3, 0));
  const uint8_t expected[8] = {13, 14, 15, 0xEE, 19, 20, 21, 0xEE};
  EXPECT_EQ(std::memcmp(dst.Bytes(), expected, 8), 0);

  // Negative source start shifts the target the other way.
  std::memset(dst.Bytes(), 0xEE, 8);
  ASSERT_TRUE(CopyImageRect(src.Img, -2, 1, 3, 5, dst.Img, 0, 0));
  const uint8_t expected2[8] = {0xEE, 0xEE, 16, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
  EXPECT_EQ(std::memcmp(dst.Bytes(), expected2, 8), 0);
}

TEST(ImageRects, CopyRefusesEmptyAndExtremeRectangles) {
  TImage src(4, 4, fmtGray8, 1);
  TImage dst(4, 4, fmtGray8, 2);
  const std::vector<uint8_t> before = dst.Copy();
  EXPECT_FALSE(CopyImageRect(src.Img, 0, 0, 0, 4, dst.Img, 0, 0));
  EXPECT_FALSE(CopyImageRect(src.Img, 0, 0, -4, 4, dst.Img, 0, 0));
  EXPECT_FALSE(CopyImageRect(src.Img, 0, 0, 4, 4, dst.Img, 4, 0));
  EXPECT_FALSE(CopyImageRect(src.Img, INT32_MIN, 0, INT32_MAX, 4, dst.Img, 0, 0));
  EXPECT_FALSE(CopyImageRect(src.Img, 0, 0, INT32_MAX, INT32_MAX, dst.Img, INT32_MAX, INT32_MAX));
  EXPECT_FALSE(CopyImageRect(src.Img, INT32_MAX, INT32_MAX, INT32_MAX, INT32_MAX, dst.Img, INT32_MIN, INT32_MIN));
  EXPECT_EQ(dst.Copy(), before);
  // A huge rectangle from far outside still copies exactly the overlap.
  ASSERT_TRUE(CopyImageRect(src.Img, INT32_MIN + 5, 0, INT32_MAX, 4, dst.Img, INT32_MIN + 5, 0));
  EXPECT_EQ(dst.Copy(), src.Copy());
  TImageData invalid;
  EXPECT_FALSE(CopyImageRect(invalid, 0, 0, 1, 1, dst.Img, 0, 0));
  EXPECT_FALSE(CopyImageRect(src.Img, 0, 0, 1, 1, invalid, 0, 0));
}

TEST(ImageRects, CopyWithinOneImageAndAcrossFormats) {
  TImage img(3, 4, fmtGray8);
  for (int i = 0; i < 12; ++i) img.Bytes()[i] = uint8_t(i);
  ASSERT_TRUE(CopyImageRect(img.Img, 0, 0, 3, 3, img.Img, 0, 1));  // overlapping, one row down
  const uint8_t expected[12] = {0, 1, 2, 0, 1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(std::memcmp(img.Bytes(), expected, 12), 0);

  TImage argb(2, 1, fmtA8R8G8B8);
  ASSERT_TRUE(CopyImageRect(img.Img, 1, 2, 2, 1, argb.Img, 0, 0));
  const uint8_t expectedArgb[8] = {4, 4, 4, 255, 5, 5, 5, 255};
  EXPECT_EQ(std::memcmp(argb.Bytes(), expectedArgb, 8), 0);
  EXPECT_EQ(img.Img.Format, fmtGray8);  // the source is left as it was
}

TEST(ImageRects, FillClipsAndFillsEveryPixelSize) {
  for (TImageFormat f : {fmtGray8, fmtA8Gray8, fmtR8G8B8, fmtA8R8G8B8, fmtA16R16G16B16, fmtA32R32G32B32F}) {
    const int32_t bpp = Bpp(f);
    TImage img(5, 4, f, 4);
    const std::vector<uint8_t> before = img.Copy();
    std::vector<uint8_t> value(static_cast<size_t>(bpp));
    for (int32_t i = 0; i < bpp; ++i) value[size_t(i)] = uint8_t(0xA0 + i);
    ASSERT_TRUE(FillImageRect(img.Img, -1, 2, 3, 9, value.data()));  // columns 0..1, rows 2..3
    for (int32_t y = 0; y < 4; ++y)
      for (int32_t x = 0; x < 5; ++x) {
        const uint8_t* px = img.Bytes() + (y * 5 + x) * bpp;
        const bool inside = x < 2 && y >= 2;
        ASSERT_EQ(std::memcmp(px, inside ? value.data() : before.data() + (y * 5 + x) * bpp, bpp), 0)
            << FormatDisplayName(f) << " x=" << x << " y=" << y;
      }
  }
  TImage img(4, 4, fmtGray8, 1);
  const uint8_t v = 7;
  EXPECT_FALSE(FillImageRect(img.Img, 0, 0, 0, 4, &v));
  EXPECT_FALSE(FillImageRect(img.Img, 0, 0, 4, -1, &v));
  EXPECT_FALSE(FillImageRect(img.Img, 4, 0, 4, 4, &v));
  EXPECT_FALSE(FillImageRect(img.Img, INT32_MIN, 0, INT32_MAX, 4, &v));
  EXPECT_TRUE(FillImageRect(img.Img, INT32_MIN + 2, INT32_MAX - 1, INT32_MAX, INT32_MAX, &v) == false);
  ASSERT_TRUE(FillImageRect(img.Img, INT32_MIN + 5, 3, INT32_MAX, INT32_MAX, &v));
  for (int x = 0; x < 4; ++x) EXPECT_EQ(img.Bytes()[12 + x], 7);
  EXPECT_THROW(FillImageRect(img.Img, 0, 0, 1, 1, nullptr), EAssertionFailed);

  TImageData hollow = Hollow(4, 4);
  EXPECT_EQ(MessageOf([&] { FillImageRect(hollow, -1, 2, 3, 4, &v); }),
            "Error while filling rectangle X:-1 Y:2 W:3 H:4 in image " + DescribeImage(hollow) +
                " Exception Message: The image has no pixel memory.");
}

TEST(ImageRects, ReplaceColorInsideTheRectangleOnly) {
  TImage img(4, 3, fmtR5G6B5);
  auto* px = reinterpret_cast<uint16_t*>(img.Bytes());
  for (int i = 0; i < 12; ++i) px[i] = (i % 2) ? 0x1234 : 0x4321;
  const uint16_t oldValue = 0x1234, newValue = 0xBEEF;
  ASSERT_TRUE(ReplaceImageColor(img.Img, 1, -5, 2, 7, &oldValue, &newValue));  // columns 1..2, rows 0..1
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 4; ++x) {
      const uint16_t original = ((y * 4 + x) % 2) ? 0x1234 : 0x4321;
      const bool inside = x >= 1 && x <= 2 && y <= 1;
      EXPECT_EQ(px[y * 4 + x], inside && original == 0x1234 ? 0xBEEF : original) << x << "," << y;
    }
  EXPECT_THROW(ReplaceImageColor(img.Img, 0, 0, 1, 1, &oldValue, nullptr), EAssertionFailed);
  EXPECT_THROW(ReplaceImageColor(img.Img, 0, 0, 1, 1, nullptr, &newValue), EAssertionFailed);
  EXPECT_FALSE(ReplaceImageColor(img.Img, 0, 0, 0, 1, &oldValue, &newValue));

  TImage rgb(3, 1, fmtR8G8B8);
  const uint8_t pixels[9] = {1, 2, 3, 1, 2, 4, 1, 2, 3};
  std::memcpy(rgb.Bytes(), pixels, 9);
  const uint8_t from[3] = {1, 2, 3}, to[3] = {9, 9, 9};
  ASSERT_TRUE(ReplaceImageColor(rgb.Img, 0, 0, 3, 1, from, to));
  const uint8_t expected[9] = {9, 9, 9, 1, 2, 4, 9, 9, 9};
  EXPECT_EQ(std::memcmp(rgb.Bytes(), expected, 9), 0);

  TImageData hollow = Hollow(4, 4);
  EXPECT_EQ(MessageOf([&] { ReplaceImageColor(hollow, 1, 2, 3, 4, from, to); }),
            "Error while replacing colors in rectangle X:1 Y:2 W:3 H:4 of image " + DescribeImage(hollow) +
                " Exception Message: The image has no pixel memory.");
}

// --------------------------------------------------------------------------
// Stretch and scale
// --------------------------------------------------------------------------

TEST(ImageStretch, NearestDoublesEachPixelIntoABlock) {
  TImage src(2, 2, fmtA8R8G8B8);
  const uint32_t colors[4] = {0xFF102030, 0x80405060, 0x01020304, 0xFFFFFFFF};
  std::memcpy(src.Bytes(), colors, 16);
  TImage dst(4, 4, fmtA8R8G8B8);
  ASSERT_TRUE(StretchImageRect(src.Img, 0, 0, 2, 2, dst.Img, 0, 0, 4, 4, rfNearest));
  const auto* out = reinterpret_cast<const uint32_t*>(dst.Bytes());
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 4; ++x) EXPECT_EQ(out[y * 4 + x], colors[(y / 2) * 2 + x / 2]) << x << "," << y;
}

TEST(ImageStretch, ClippingAndDegenerateRectangles) {
  TImage src(2, 1, fmtGray8);
  src.Bytes()[0] = 10;
  src.Bytes()[1] = 20;
  TImage dst(4, 1, fmtGray8);
  std::memset(dst.Bytes(), 0xEE, 4);
  // Target starts two pixels left of the image: the cut removes one source
  // pixel, the rest lands at column 0.
  ASSERT_TRUE(StretchImageRect(src.Img, 0, 0, 2, 1, dst.Img, -2, 0, 4, 1, rfNearest));
  const uint8_t expected[4] = {20, 20, 0xEE, 0xEE};
  EXPECT_EQ(std::memcmp(dst.Bytes(), expected, 4), 0);

  const std::vector<uint8_t> before = dst.Copy();
  EXPECT_FALSE(StretchImageRect(src.Img, 0, 0, 0, 1, dst.Img, 0, 0, 4, 1, rfBilinear));
  EXPECT_FALSE(StretchImageRect(src.Img, 0, 0, 2, 1, dst.Img, 0, 0, 0, 1, rfBilinear));
  EXPECT_FALSE(StretchImageRect(src.Img, 0, 0, -2, 1, dst.Img, 0, 0, 4, 1, rfBicubic));
  EXPECT_FALSE(StretchImageRect(src.Img, 0, 0, 2, 1, dst.Img, 0, 0, 4, -1, rfNearest));
  for (TResizeFilter filter : {rfNearest, rfBilinear, rfBicubic}) {
    EXPECT_FALSE(StretchImageRect(src.Img, INT32_MIN, INT32_MIN, INT32_MAX, INT32_MAX, dst.Img, INT32_MAX,
                                  INT32_MAX, INT32_MAX, INT32_MAX, filter));
    EXPECT_FALSE(StretchImageRect(src.Img, 0, 0, 2, 1, dst.Img, INT32_MIN, 0, 1, 1, filter));
    EXPECT_FALSE(StretchImageRect(src.Img, INT32_MAX, 0, INT32_MAX, 1, dst.Img, 0, 0, 4, 1, filter));
  }
  EXPECT_EQ(dst.Copy(), before);
  // Huge rectangles that do overlap both images are clipped, not overflowed.
  for (TResizeFilter filter : {rfNearest, rfBilinear, rfBicubic}) {
    EXPECT_TRUE(StretchImageRect(src.Img, INT32_MIN + 2, 0, INT32_MAX, 1, dst.Img, INT32_MIN + 4, 0, INT32_MAX, 1,
                                 filter));
    EXPECT_EQ(dst.Bytes()[2], 10);
    EXPECT_FALSE(StretchImageRect(src.Img, INT32_MIN + 2, 0, INT32_MAX, 1, dst.Img, INT32_MIN + 4, 0, INT32_MAX / 2,
                                  1, filter));
  }
  std::memcpy(dst.Bytes(), before.data(), 4);

  // Equal sizes are a plain copy.
  ASSERT_TRUE(StretchImageRect(src.Img, 0, 0, 2, 1, dst.Img, 1, 0, 2, 1, rfBicubic));
  EXPECT_EQ(dst.Bytes()[1], 10);
  EXPECT_EQ(dst.Bytes()[2], 20);
}

TEST(ImageStretch, IndexedTargetAlwaysUsesNearest) {
  TImage src(2, 1, fmtIndex8);
  src.Bytes()[0] = 0;
  src.Bytes()[1] = 200;
  TImage dst(4, 1, fmtIndex8);
  ASSERT_TRUE(StretchImageRect(src.Img, 0, 0, 2, 1, dst.Img, 0, 0, 4, 1, rfBicubic));
  const uint8_t expected[4] = {0, 0, 200, 200};
  EXPECT_EQ(std::memcmp(dst.Bytes(), expected, 4), 0);
}

TEST(ImageStretch, SourceInAnotherFormatIsConverted) {
  TImage src(1, 1, fmtGray8);
  src.Bytes()[0] = 77;
  TImage dst(2, 2, fmtA8R8G8B8);
  ASSERT_TRUE(StretchImageRect(src.Img, 0, 0, 1, 1, dst.Img, 0, 0, 2, 2, rfBilinear));
  for (int i = 0; i < 4; ++i) EXPECT_EQ(reinterpret_cast<const uint32_t*>(dst.Bytes())[i], 0xFF4D4D4Du);
  EXPECT_EQ(src.Img.Format, fmtGray8);
}

TEST(ImageStretch, FailureMessagesChain) {
  TImageData hollow = Hollow(2, 2);
  TImage dst(4, 4, fmtGray8);
  EXPECT_EQ(MessageOf([&] { StretchImageRect(hollow, 0, 0, 2, 2, dst.Img, 0, 0, 4, 4, rfBilinear); }),
            "Error while stretching rect from image " + DescribeImage(hollow) + " to image " + DescribeImage(dst.Img) +
                ". Exception Message: The image has no pixel memory.");
  EXPECT_EQ(MessageOf([&] { CopyImageRect(hollow, 0, 0, 2, 2, dst.Img, 0, 0); }),
            "Error while copying rect from image " + DescribeImage(hollow) + " to image " + DescribeImage(dst.Img) +
                ". Exception Message: The image has no pixel memory.");
  const std::string resize = MessageOf([&] { ScaleImage(hollow, 3, 3, rfNearest); });
  const std::string head = "Error while resizing image.  " + DescribeImage(hollow) +
                           " Exception Message: Error while stretching rect from image " + DescribeImage(hollow);
  EXPECT_EQ(resize.substr(0, head.size()), head) << resize;
  EXPECT_NE(resize.find("Exception Message: The image has no pixel memory."), std::string::npos) << resize;
  EXPECT_EQ(hollow.Width, 2);  // the failed resize left the record alone
}

TEST(ImageScale, KeepsPaletteAndRefusesTheCurrentSize) {
  TImage img(2, 2, fmtIndex8);
  const uint8_t indices[4] = {1, 2, 3, 4};
  std::memcpy(img.Bytes(), indices, 4);
  for (int i = 0; i < 256; ++i) img.Img.Palette[i].Color = 0xFF000000u | uint32_t(i * 0x010101);
  PPalette32 palette = img.Img.Palette;
  EXPECT_FALSE(ScaleImage(img.Img, 2, 2, rfBilinear));
  ASSERT_TRUE(ScaleImage(img.Img, 4, 2, rfBilinear));
  EXPECT_EQ(img.Img.Palette, palette);
  EXPECT_EQ(img.Img.Palette[3].Color, 0xFF030303u);
  EXPECT_EQ(img.Img.Width, 4);
  EXPECT_EQ(img.Img.Size, 8);
  const uint8_t expected[8] = {1, 1, 2, 2, 3, 3, 4, 4};
  EXPECT_EQ(std::memcmp(img.Bytes(), expected, 8), 0);

  EXPECT_THROW(ScaleImage(img.Img, 0, 2, rfNearest), EAssertionFailed);
  EXPECT_THROW(ScaleImage(img.Img, 2, -2, rfNearest), EAssertionFailed);
  TImageData invalid;
  EXPECT_FALSE(ScaleImage(invalid, 2, 2, rfNearest));
}

TEST(ImageScale, BilinearOnColourImage) {
  TImage img(2, 1, fmtA8R8G8B8);
  const uint32_t colors[2] = {0xFF000000, 0xFFC8C8C8};
  std::memcpy(img.Bytes(), colors, 8);
  ASSERT_TRUE(ScaleImage(img.Img, 4, 1, rfBilinear));
  const uint32_t expected[4] = {0xFF000000, 0xFF323232, 0xFF969696, 0xFFC8C8C8};
  EXPECT_EQ(std::memcmp(img.Bytes(), expected, 16), 0);
}

// --------------------------------------------------------------------------
// Palettes and pixels
// --------------------------------------------------------------------------

TEST(ImagePalette, NearestIndexRules) {
  TColor32Rec black[4] = {};
  EXPECT_EQ(NearestPaletteIndex(black, 4, Color32(255, 255, 255, 255)), -1);
  EXPECT_EQ(NearestPaletteIndex(black, 0, Color32(0, 0, 0, 0)), -1);
  EXPECT_EQ(NearestPaletteIndex(black, 4, Color32(0, 0, 0, 0)), 0);
  EXPECT_THROW(NearestPaletteIndex(nullptr, 4, Color32(0, 0, 0, 0)), EAssertionFailed);

  TColor32Rec pal[5] = {Color32(255, 10, 10, 10), Color32(255, 20, 20, 20), Color32(255, 30, 30, 30),
                        Color32(255, 20, 20, 20), Color32(255, 24, 25, 25)};
  EXPECT_EQ(NearestPaletteIndex(pal, 5, Color32(255, 20, 20, 20)), 1);   // exact, lowest index
  EXPECT_EQ(NearestPaletteIndex(pal, 5, Color32(255, 25, 25, 25)), 4);   // distance 1
  EXPECT_EQ(NearestPaletteIndex(pal, 4, Color32(255, 25, 25, 25)), 1);   // tie 15 vs 15: lowest index
  EXPECT_EQ(NearestPaletteIndex(pal, 5, Color32(0, 10, 10, 10)), 0);     // alpha counts too
}

TEST(ImagePalette, GrayAndBitPalettes) {
  TColor32Rec gray[256];
  MakeGrayPalette(gray, 256);
  EXPECT_EQ(gray[0].Color, 0xFF000000u);
  EXPECT_EQ(gray[128].Color, 0xFF808080u);
  EXPECT_EQ(gray[255].Color, 0xFFFFFFFFu);

  TColor32Rec pal[256];
  MakeBitPalette(pal, 256, 3, 3, 2, 255);
  EXPECT_EQ(pal[255].Color, 0xFFFFFFFFu);
  EXPECT_EQ(pal[0xE0].Color, 0xFFFF0000u);
  EXPECT_EQ(pal[0x1C].Color, 0xFF00FF00u);
  EXPECT_EQ(pal[0x03].Color, 0xFF0000FFu);
  EXPECT_EQ(pal[0x25].Color, Color32(255, 36, 36, 85).Color);  // r=1, g=1, b=1

  TColor32Rec small[16];
  for (auto& c : small) c.Color = 0x12345678;
  MakeBitPalette(small, 16, 1, 1, 1, 7);
  EXPECT_EQ(small[0].Color, 0x07000000u);
  EXPECT_EQ(small[5].Color, 0x07FF00FFu);
  EXPECT_EQ(small[7].Color, 0x07FFFFFFu);
  for (int i = 8; i < 16; ++i) EXPECT_EQ(small[i].Color, 0u) << i;

  TColor32Rec grayOnly[4];
  MakeBitPalette(grayOnly, 4, 0, 2, 0, 255);
  EXPECT_EQ(grayOnly[2].Color, Color32(255, 0, 170, 0).Color);

  EXPECT_THROW(MakeGrayPalette(nullptr, 4), EImagingError);
  EXPECT_EQ(MessageOf([] { MakeBitPalette(nullptr, 8, 1, 1, 1, 0); }),
            "Error while filling custom palette @0000000000000000 with 8 entries.");

  TColor32Rec swap[2] = {Color32(1, 2, 3, 4), Color32(5, 6, 7, 8)};
  ExchangePaletteChannels(swap, 2, 0, 2);
  EXPECT_EQ(swap[0].Color, Color32(1, 4, 3, 2).Color);
  EXPECT_EQ(swap[1].Color, Color32(5, 8, 7, 6).Color);
  EXPECT_THROW(ExchangePaletteChannels(nullptr, 2, 0, 2), EAssertionFailed);
  EXPECT_THROW(ExchangePaletteChannels(swap, 2, 0, 4), EAssertionFailed);
}

TEST(ImagePalette, MapToPaletteUsesNearestEntries) {
  TImage img(4, 1, fmtA8R8G8B8);
  const uint32_t colors[4] = {0xFF000000, 0xFFFFFFFF, 0xFF202020, 0xFFF0F0F0};
  std::memcpy(img.Bytes(), colors, 16);
  const TColor32Rec pal[3] = {Color32(255, 0, 0, 0), Color32(255, 255, 255, 255), Color32(255, 0, 0, 255)};
  ASSERT_TRUE(MapToPalette(img.Img, pal, 3));
  EXPECT_EQ(img.Img.Format, fmtIndex8);
  EXPECT_EQ(img.Img.Size, 4);
  const uint8_t expected[4] = {0, 1, 0, 1};
  EXPECT_EQ(std::memcmp(img.Bytes(), expected, 4), 0);
  EXPECT_EQ(img.Img.Palette[2].Color, 0xFF0000FFu);
  EXPECT_EQ(img.Img.Palette[3].Color, 0u);

  EXPECT_THROW(MapToPalette(img.Img, pal, 1), EAssertionFailed);
  EXPECT_THROW(MapToPalette(img.Img, pal, 257), EAssertionFailed);
  EXPECT_THROW(MapToPalette(img.Img, nullptr, 3), EAssertionFailed);

  TImageData hollow = Hollow(2, 2);
  EXPECT_EQ(MessageOf([&] { MapToPalette(hollow, pal, 3); }),
            "Error while mapping image " + DescribeImage(hollow) +
                " to palette. Exception Message: The image has no pixel memory.");
}

TEST(ImagePixels, ReadAndWriteThroughTheFormat) {
  TImage img(3, 2, fmtA8R8G8B8);
  WritePixel32(img.Img, 2, 1, Color32(0x11, 0x22, 0x33, 0x44));
  EXPECT_EQ(reinterpret_cast<const uint32_t*>(img.Bytes())[5], 0x11223344u);
  EXPECT_EQ(ReadPixel32(img.Img, 2, 1).Color, 0x11223344u);
  WritePixelFP(img.Img, 0, 1, ColorFP(1.0f, 0.0f, 0.5f, 1.0f));
  EXPECT_EQ(ReadPixel32(img.Img, 0, 1).Color, 0xFF0080FFu);
  const TColorFPRec c = ReadPixelFP(img.Img, 2, 1);
  EXPECT_FLOAT_EQ(c.R, 0x22 / 255.0f);

  TImage gray(2, 2, fmtGray8);
  gray.Bytes()[3] = 90;
  EXPECT_EQ(ReadPixel32(gray.Img, 1, 1).Color, 0xFF5A5A5Au);
}

// --------------------------------------------------------------------------
// Description
// --------------------------------------------------------------------------

TEST(ImageDescription, SizeUnitsAndAddresses) {
  TImage small(8192, 1, fmtGray8);
  EXPECT_EQ(DescribeImage(small.Img), "Image @" + Pointer(&small.Img) +
                                          " info: Width = 8192px, Height = 1px, Format = Gray8, Size = 8,192 B, Bits @" +
                                          Pointer(small.Img.Bits) + ", Palette @0000000000000000.");
  TImage large(8193, 1, fmtGray8);
  EXPECT_NE(DescribeImage(large.Img).find("Size = 8 KiB, Bits @"), std::string::npos) << DescribeImage(large.Img);
  TImage huge(1500, 1000, fmtA8R8G8B8);
  EXPECT_NE(DescribeImage(huge.Img).find("Format = A8R8G8B8, Size = 5,859 KiB"), std::string::npos);
  TImage idx(2, 2, fmtIndex8);
  EXPECT_NE(DescribeImage(idx.Img).find("Palette @" + Pointer(idx.Img.Palette) + "."), std::string::npos);

  TImageData invalid;
  EXPECT_EQ(DescribeImage(invalid),
            "Access violation encountered when getting info on image at address " + Pointer(&invalid) + ".");
}

// --------------------------------------------------------------------------
// Special (block-compressed) formats pass through the default format
// --------------------------------------------------------------------------

namespace {

// An 8 x 8 DXT1 image of four solid 4 x 4 blocks in colours that the block
// codec stores exactly: red, green / blue, white.
const uint32_t BlockColors[4] = {0xFFFF0000, 0xFF00FF00, 0xFF0000FF, 0xFFFFFFFF};

void MakeBlockImage(TImageData& Image) {
  ASSERT_TRUE(CreateImage(8, 8, fmtA8R8G8B8, Image));
  auto* px = static_cast<uint32_t*>(Image.Bits);
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x) px[y * 8 + x] = BlockColors[(y / 4) * 2 + x / 4];
  ASSERT_TRUE(ChangeImageFormat(Image, fmtDXT1));
  ASSERT_EQ(Image.Format, fmtDXT1);
}

// The colour of every pixel after decoding.
std::vector<uint32_t> Decoded(const TImageData& Image) {
  TImageData copy;
  EXPECT_TRUE(DuplicateImage(Image, copy));
  EXPECT_TRUE(ChangeImageFormat(copy, fmtA8R8G8B8));
  const auto* px = static_cast<const uint32_t*>(copy.Bits);
  std::vector<uint32_t> out(px, px + copy.Width * copy.Height);
  ReleaseImage(copy);
  return out;
}

}  // namespace

TEST(ImageSpecial, BlocksSurviveTheRoundTrip) {
  TImage img;
  MakeBlockImage(img.Img);
  const std::vector<uint32_t> px = Decoded(img.Img);
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x) ASSERT_EQ(px[size_t(y * 8 + x)], BlockColors[(y / 4) * 2 + x / 4]) << x << "," << y;
}

TEST(ImageSpecial, FlipsAndChannelExchange) {
  TImage img;
  MakeBlockImage(img.Img);
  ASSERT_TRUE(FlipVertical(img.Img));
  EXPECT_EQ(img.Img.Format, fmtDXT1);
  ASSERT_TRUE(FlipHorizontal(img.Img));
  EXPECT_EQ(img.Img.Format, fmtDXT1);
  std::vector<uint32_t> px = Decoded(img.Img);
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x)
      ASSERT_EQ(px[size_t(y * 8 + x)], BlockColors[(1 - y / 4) * 2 + (1 - x / 4)]) << x << "," << y;

  ASSERT_TRUE(ExchangeChannels(img.Img, 2, 0));
  EXPECT_EQ(img.Img.Format, fmtDXT1);
  px = Decoded(img.Img);
  EXPECT_EQ(px[63], 0xFF0000FFu);  // the red block, now bottom right, turned blue
  EXPECT_EQ(px[0], 0xFFFFFFFFu);
}

TEST(ImageSpecial, CopyFillAndScaleIntoBlocks) {
  TImage img;
  MakeBlockImage(img.Img);
  TImage green(4, 4, fmtA8R8G8B8);
  const uint32_t g = 0xFF00FF00;
  ASSERT_TRUE(FillImageRect(green.Img, 0, 0, 4, 4, &g));
  ASSERT_TRUE(CopyImageRect(green.Img, 0, 0, 4, 4, img.Img, 4, 4));  // over the white block
  EXPECT_EQ(img.Img.Format, fmtDXT1);
  std::vector<uint32_t> px = Decoded(img.Img);
  EXPECT_EQ(px[size_t(7 * 8 + 7)], 0xFF00FF00u);
  EXPECT_EQ(px[0], 0xFFFF0000u);

  const uint32_t blue = 0xFF0000FF;
  ASSERT_TRUE(FillImageRect(img.Img, 0, 0, 4, 4, &blue));  // value in the default format
  EXPECT_EQ(img.Img.Format, fmtDXT1);
  px = Decoded(img.Img);
  EXPECT_EQ(px[0], 0xFF0000FFu);
  EXPECT_EQ(px[4], 0xFF00FF00u);

  ASSERT_TRUE(ScaleImage(img.Img, 16, 16, rfNearest));
  EXPECT_EQ(img.Img.Format, fmtDXT1);
  EXPECT_EQ(img.Img.Width, 16);
  EXPECT_EQ(img.Img.Size, 128);
  px = Decoded(img.Img);
  EXPECT_EQ(px[0], 0xFF0000FFu);
  EXPECT_EQ(px[size_t(7 * 16 + 7)], 0xFF0000FFu);
  EXPECT_EQ(px[size_t(7 * 16 + 8)], 0xFF00FF00u);
  EXPECT_EQ(px[size_t(15 * 16 + 15)], 0xFF00FF00u);

  // A 5 x 5 request rounds to whole blocks.
  ASSERT_TRUE(ScaleImage(img.Img, 5, 5, rfBilinear));
  EXPECT_EQ(img.Img.Width, 8);
  EXPECT_EQ(img.Img.Height, 8);
  EXPECT_EQ(img.Img.Size, 32);
}

TEST(ImageSpecial, StretchFromBlocksIntoPlainImages) {
  TImage img;
  MakeBlockImage(img.Img);
  TImage dst(4, 4, fmtA8R8G8B8);
  ASSERT_TRUE(StretchImageRect(img.Img, 0, 0, 8, 8, dst.Img, 0, 0, 4, 4, rfNearest));
  const auto* px = reinterpret_cast<const uint32_t*>(dst.Bytes());
  EXPECT_EQ(px[0], 0xFFFF0000u);
  EXPECT_EQ(px[3], 0xFF00FF00u);
  EXPECT_EQ(px[12], 0xFF0000FFu);
  EXPECT_EQ(px[15], 0xFFFFFFFFu);
  EXPECT_EQ(img.Img.Format, fmtDXT1);

  TImage mapped;
  ASSERT_TRUE(DuplicateImage(img.Img, mapped.Img));
  const TColor32Rec pal[2] = {Color32(255, 0, 0, 0), Color32(255, 255, 255, 255)};
  ASSERT_TRUE(MapToPalette(mapped.Img, pal, 2));
  EXPECT_EQ(mapped.Img.Format, fmtIndex8);
  EXPECT_EQ(mapped.Bytes()[63], 1);
  EXPECT_EQ(mapped.Bytes()[0], 0);
}
