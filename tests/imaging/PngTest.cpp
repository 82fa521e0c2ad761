// PNG handler and the PNG chunk layer: registry entry and options, decoding
// of hand-built streams (every layout, filters, Adam7, palettes and
// transparency), hostile streams, the encoder's filters and levels, and
// animated PNG frames.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <random>

#include "ImagingNetworkGraphics.h"
#include "PngTestSupport.h"
#include "TestSupport.h"

using namespace Imaging;
using namespace PngTest;

namespace {

class PngTest : public ::testing::Test {
protected:
  void SetUp() override { TestSupport::InitCore(); }
  void TearDown() override {
    SetImagingOption(OptPngPreFilter, 5);
    SetImagingOption(OptPngCompressLevel, 5);
    SetImagingOption(OptPngLoadAnimated, -1);
  }
};

// One gray 8-bit row per call, unfiltered.
std::vector<uint8_t> RawRows(const std::vector<std::vector<uint8_t>>& Rows, uint8_t Filter = 0) {
  std::vector<uint8_t> raw;
  for (const auto& r : Rows) {
    raw.push_back(Filter);
    raw.insert(raw.end(), r.begin(), r.end());
  }
  return raw;
}

}  // namespace

// ---------------------------------------------------------------------------
// Registry, options, detection
// ---------------------------------------------------------------------------

TEST_F(PngTest, RegistryEntryAndOptions) {
  TImageFileFormat* h = FindHandlerByExtension("PNG");
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h->Name(), "Portable Network Graphics");
  EXPECT_EQ(h->Masks(), (std::vector<std::string>{"*.png", "*.apng"}));
  EXPECT_EQ(h->Extensions(), (std::vector<std::string>{"png", "apng"}));
  EXPECT_TRUE(IsSupportedFileName("movie.APNG"));
  EXPECT_EQ(FindHandlerForFileName("movie.apng"), h);
  EXPECT_TRUE(h->CanLoad());
  EXPECT_TRUE(h->CanSave());
  EXPECT_TRUE(h->IsMultiImageFormat());
  EXPECT_EQ(GetImagingOption(OptPngPreFilter), 5);
  EXPECT_EQ(GetImagingOption(OptPngCompressLevel), 5);
  EXPECT_NE(GetImagingOption(OptPngLoadAnimated), 0);
  TImageFormats lossless{fmtIndex8,    fmtGray8,     fmtA8Gray8,      fmtGray16,    fmtA16Gray16,   fmtR8G8B8,
                         fmtA8R8G8B8, fmtR16G16B16, fmtA16R16G16B16, fmtB16G16R16, fmtA16B16G16R16};
  EXPECT_TRUE(h->SupportedFormats() == lossless);

  // Out-of-range options are repaired before a save.
  SetImagingOption(OptPngPreFilter, 9);
  SetImagingOption(OptPngCompressLevel, 12);
  h->CheckOptionsValidity();
  EXPECT_EQ(GetImagingOption(OptPngPreFilter), 5);
  EXPECT_EQ(GetImagingOption(OptPngCompressLevel), 5);
  SetImagingOption(OptPngPreFilter, -1);
  h->CheckOptionsValidity();
  EXPECT_EQ(GetImagingOption(OptPngPreFilter), 5);
  SetImagingOption(OptPngPreFilter, 6);
  SetImagingOption(OptPngCompressLevel, 0);
  h->CheckOptionsValidity();
  EXPECT_EQ(GetImagingOption(OptPngPreFilter), 6);
  EXPECT_EQ(GetImagingOption(OptPngCompressLevel), 0);
}

TEST_F(PngTest, TestFormatLeavesThePositionAndNeedsTheWholeSignature) {
  TImageFileFormat* h = FindHandlerByExtension("png");
  std::vector<uint8_t> png = TPngBuilder().Header(1, 1, 8, 0).Data(RawRows({{7}})).End().Bytes;
  TMemoryStream good(png);
  good.Seek(0, smFromBeginning);
  UseStreamIO();
  auto test = [&](TStream& Stream) {
    THandle handle = StreamIOTable.OpenRead(&Stream);
    bool result = h->TestFormat(handle);
    StreamIOTable.Close(handle);
    return result;
  };
  EXPECT_TRUE(test(good));
  EXPECT_EQ(good.GetPosition(), 0);
  TMemoryStream shortOne(std::vector<uint8_t>(png.begin(), png.begin() + 5));
  EXPECT_FALSE(test(shortOne));
  EXPECT_EQ(shortOne.GetPosition(), 0);
  std::vector<uint8_t> mng(png);
  mng[0] = 0x8A;
  TMemoryStream other(mng);
  EXPECT_FALSE(test(other));
  EXPECT_EQ(other.GetPosition(), 0);
  EXPECT_FALSE(h->TestFormat(nullptr));
  EXPECT_EQ(DetectStreamFormat(&good), "png");
}

// ---------------------------------------------------------------------------
// Decoding
// ---------------------------------------------------------------------------

TEST_F(PngTest, SubByteGrayExpandsToFullRange) {
  // 1-bit: 0 and 1 become 0 and 255; a one-pixel-wide image too.
  {
    auto png = TPngBuilder().Header(10, 1, 1, 0).Data(RawRows({{0xA5, 0x80}})).End().Bytes;
    TDynImageDataArray images = LoadPng(png);
    ASSERT_EQ(images.size(), 1u);
    EXPECT_EQ(images[0].Format, fmtGray8);
    EXPECT_EQ(PixelBytes(images[0]), (std::vector<uint8_t>{255, 0, 255, 0, 0, 255, 0, 255, 255, 0}));
    ReleaseImageArray(images);
    auto narrow = TPngBuilder().Header(1, 3, 1, 0).Data(RawRows({{0x80}, {0x00}, {0xFF}})).End().Bytes;
    images = LoadPng(narrow);
    EXPECT_EQ(PixelBytes(images[0]), (std::vector<uint8_t>{255, 0, 255}));
    ReleaseImageArray(images);
  }
  {
    auto png = TPngBuilder().Header(5, 1, 2, 0).Data(RawRows({{0x1B, 0xC0}})).End().Bytes;
    TDynImageDataArray images = LoadPng(png);
    EXPECT_EQ(PixelBytes(images[0]), (std::vector<uint8_t>{0, 85, 170, 255, 255}));
    ReleaseImageArray(images);
  }
  {
    auto png = TPngBuilder().Header(3, 1, 4, 0).Data(RawRows({{0x0F, 0x70}})).End().Bytes;
    TDynImageDataArray images = LoadPng(png);
    EXPECT_EQ(PixelBytes(images[0]), (std::vector<uint8_t>{0, 255, 7 * 17}));
    ReleaseImageArray(images);
  }
  {
    // Palette indices are not scaled.
    auto png = TPngBuilder()
                   .Header(4, 1, 2, 3)
                   .Chunk("PLTE", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12})
                   .Data(RawRows({{0x1B}}))
                   .End()
                   .Bytes;
    TDynImageDataArray images = LoadPng(png);
    EXPECT_EQ(images[0].Format, fmtIndex8);
    EXPECT_EQ(PixelBytes(images[0]), (std::vector<uint8_t>{0, 1, 2, 3}));
    ASSERT_NE(images[0].Palette, nullptr);
    EXPECT_EQ(images[0].Palette[1].Color, 0xFF040506u);
    EXPECT_EQ(images[0].Palette[4].Color, 0xFFFFFFFFu);  // beyond the file's palette: opaque white
    ReleaseImageArray(images);
  }
}

TEST_F(PngTest, LayoutsMapToPixelFormatsInMemoryOrder) {
  struct TCase {
    int Depth, ColorType;
    std::vector<uint8_t> Row;
    TImageFormat Format;
    std::vector<uint8_t> Pixels;
  };
  const TCase cases[] = {
      {8, 0, {9}, fmtGray8, {9}},
      {16, 0, {0x12, 0x34}, fmtGray16, {0x34, 0x12}},
      {8, 2, {1, 2, 3}, fmtR8G8B8, {3, 2, 1}},
      {16, 2, {1, 2, 3, 4, 5, 6}, fmtR16G16B16, {6, 5, 4, 3, 2, 1}},
      {8, 4, {7, 8}, fmtA8Gray8, {7, 8}},
      {16, 4, {1, 2, 3, 4}, fmtA16Gray16, {2, 1, 4, 3}},
      {8, 6, {1, 2, 3, 4}, fmtA8R8G8B8, {3, 2, 1, 4}},
      {16, 6, {1, 2, 3, 4, 5, 6, 7, 8}, fmtA16R16G16B16, {6, 5, 4, 3, 2, 1, 8, 7}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "depth " << c.Depth << " type " << c.ColorType);
    auto png = TPngBuilder().Header(1, 1, c.Depth, c.ColorType).Data(RawRows({c.Row})).End().Bytes;
    TDynImageDataArray images = LoadPng(png);
    ASSERT_EQ(images.size(), 1u);
    EXPECT_EQ(images[0].Format, c.Format);
    EXPECT_EQ(images[0].Size, int32_t(c.Pixels.size()));
    EXPECT_EQ(PixelBytes(images[0]), c.Pixels);
    ReleaseImageArray(images);
  }
}

TEST_F(PngTest, FiveFiltersReconstructExactly) {
  // Rows filtered by an independent reference in the test support, every
  // filter type on every row, for 1 to 8 bytes per pixel.
  std::mt19937 rng(11);
  const struct {
    int Depth, ColorType;
  } layouts[] = {{8, 0}, {8, 4}, {8, 2}, {8, 6}, {16, 2}, {16, 6}, {16, 0}, {16, 4}, {4, 0}, {1, 3}};
  for (auto l : layouts) {
    SCOPED_TRACE(testing::Message() << "depth " << l.Depth << " type " << l.ColorType);
    const int width = 37, height = 11;
    const int bpp = l.Depth * (l.ColorType == 2 ? 3 : l.ColorType == 6 ? 4 : l.ColorType == 4 ? 2 : 1);
    const size_t rowBytes = size_t((width * bpp + 7) / 8);
    std::vector<std::vector<uint8_t>> rows(height, std::vector<uint8_t>(rowBytes));
    for (auto& r : rows)
      for (auto& b : r) b = uint8_t(rng() % 7 == 0 ? rng() : 128 + rng() % 5);
    std::vector<uint8_t> raw;
    for (int y = 0; y < height; ++y) {
      int type = y % 5;
      auto f = ReferenceFilter(type, rows[size_t(y)], y ? rows[size_t(y - 1)] : std::vector<uint8_t>(rowBytes, 0),
                               size_t((bpp + 7) / 8));
      raw.push_back(uint8_t(type));
      raw.insert(raw.end(), f.begin(), f.end());
    }
    TPngBuilder b;
    b.Header(width, height, l.Depth, l.ColorType);
    if (l.ColorType == 3) b.Chunk("PLTE", std::vector<uint8_t>(6, 0));
    auto png = b.Data(raw).End().Bytes;
    TDynImageDataArray images = LoadPng(png);
    ASSERT_EQ(images.size(), 1u);
    EXPECT_EQ(PixelBytes(images[0]), ExpectedPixels(rows, width, l.Depth, l.ColorType));
    ReleaseImageArray(images);
  }
}

TEST_F(PngTest, PaethOfRgbaRowsMatchesTheReference) {
  // Four-byte pixels have their own Paeth path: every row Paeth-filtered,
  // samples mostly from values around the predictor's ties (equal
  // neighbours, neighbours one apart, the ends of the range).
  std::mt19937 rng(5);
  const uint8_t near[] = {0, 1, 2, 3, 126, 127, 128, 129, 130, 252, 253, 254, 255};
  const int width = 1024, height = 192;
  const size_t rowBytes = size_t(width) * 4;
  std::vector<std::vector<uint8_t>> rows(height, std::vector<uint8_t>(rowBytes));
  for (auto& r : rows)
    for (auto& b : r) b = rng() % 4 == 0 ? uint8_t(rng()) : near[rng() % sizeof(near)];
  std::vector<uint8_t> raw;
  for (int y = 0; y < height; ++y) {
    auto f = ReferenceFilter(4, rows[size_t(y)], y ? rows[size_t(y - 1)] : std::vector<uint8_t>(rowBytes, 0), 4);
    raw.push_back(4);
    raw.insert(raw.end(), f.begin(), f.end());
  }
  TPngBuilder b;
  b.Header(width, height, 8, 6);
  TDynImageDataArray images = LoadPng(b.Data(raw).End().Bytes);
  ASSERT_EQ(images.size(), 1u);
  EXPECT_EQ(PixelBytes(images[0]), ExpectedPixels(rows, width, 8, 6));
  ReleaseImageArray(images);
}

TEST_F(PngTest, Adam7EqualsTheSequentialImage) {
  // The same pixels stored interlaced and not, for sub-byte and whole-byte
  // layouts and sizes smaller than the pass grid.
  std::mt19937 rng(5);
  const struct {
    int Depth, ColorType, Width, Height;
  } cases[] = {{8, 2, 13, 9}, {1, 0, 11, 7}, {2, 0, 3, 3}, {4, 3, 9, 5}, {16, 6, 7, 10}, {8, 0, 1, 1},
               {8, 6, 2, 9},  {1, 3, 1, 9}, {16, 0, 33, 2}};
  for (auto c : cases) {
    SCOPED_TRACE(testing::Message() << c.Width << "x" << c.Height << " depth " << c.Depth << " type " << c.ColorType);
    const int channels = c.ColorType == 2 ? 3 : c.ColorType == 6 ? 4 : c.ColorType == 4 ? 2 : 1;
    std::vector<std::vector<uint32_t>> samples(size_t(c.Height) * c.Width, std::vector<uint32_t>(size_t(channels)));
    for (auto& px : samples)
      for (auto& s : px) s = rng() & ((1u << c.Depth) - 1);
    if (c.ColorType == 3)
      for (auto& px : samples) px[0] &= 1;  // two palette entries
    auto seq = PackImage(samples, c.Width, c.Height, c.Depth, channels, false);
    auto adam = PackImage(samples, c.Width, c.Height, c.Depth, channels, true);
    auto make = [&](const std::vector<uint8_t>& raw, int interlace) {
      TPngBuilder b;
      b.Header(c.Width, c.Height, c.Depth, c.ColorType, interlace);
      if (c.ColorType == 3) b.Chunk("PLTE", {0, 0, 0, 255, 255, 255});
      return b.Data(raw).End().Bytes;
    };
    TDynImageDataArray a = LoadPng(make(seq, 0));
    TDynImageDataArray i = LoadPng(make(adam, 1));
    ASSERT_EQ(a.size(), 1u);
    ASSERT_EQ(i.size(), 1u);
    EXPECT_EQ(PixelBytes(a[0]), PixelBytes(i[0]));
    ReleaseImageArray(a);
    ReleaseImageArray(i);
  }
}

TEST_F(PngTest, PalettesAndTransparency) {
  // A PLTE of 300 entries keeps the first 256; tRNS gives the alpha of the
  // first entries.
  {
    std::vector<uint8_t> plte(300 * 3);
    for (size_t i = 0; i < plte.size(); ++i) plte[i] = uint8_t(i * 7);
    auto png = TPngBuilder()
                   .Header(2, 1, 8, 3)
                   .Chunk("PLTE", plte)
                   .Chunk("tRNS", {10, 20})
                   .Data(RawRows({{0, 255}}))
                   .End()
                   .Bytes;
    TDynImageDataArray images = LoadPng(png);
    ASSERT_EQ(images.size(), 1u);
    const TColor32Rec* pal = images[0].Palette;
    EXPECT_EQ(pal[0].R, 0);
    EXPECT_EQ(pal[0].G, 7);
    EXPECT_EQ(pal[0].B, 14);
    EXPECT_EQ(pal[0].A, 10);
    EXPECT_EQ(pal[1].A, 20);
    EXPECT_EQ(pal[2].A, 255);
    EXPECT_EQ(pal[255].R, uint8_t(765 * 7));
    ReleaseImageArray(images);
  }
  // No PLTE at all: 256 opaque white entries.
  {
    auto png = TPngBuilder().Header(1, 1, 8, 3).Data(RawRows({{200}})).End().Bytes;
    TDynImageDataArray images = LoadPng(png);
    EXPECT_EQ(images[0].Palette[200].Color, 0xFFFFFFFFu);
    ReleaseImageArray(images);
  }
  // An RGB colour key turns exactly that colour transparent and gives it
  // the background colour.
  {
    auto png = TPngBuilder()
                   .Header(3, 1, 8, 2)
                   .Chunk("tRNS", {0, 10, 0, 20, 0, 30})
                   .Chunk("bKGD", {0, 1, 0, 2, 0, 3})
                   .Data(RawRows({{10, 20, 30, 10, 20, 31, 30, 20, 10}}))
                   .End()
                   .Bytes;
    TDynImageDataArray images = LoadPng(png);
    ASSERT_EQ(images.size(), 1u);
    EXPECT_EQ(images[0].Format, fmtA8R8G8B8);
    EXPECT_EQ(PixelBytes(images[0]), (std::vector<uint8_t>{3, 2, 1, 0, 31, 20, 10, 255, 10, 20, 30, 255}));
    ReleaseImageArray(images);
  }
  // Gray keys: 2-bit key value scaled like the samples; without bKGD the
  // transparent pixel keeps its colour. 16-bit keys compare whole words.
  {
    auto png = TPngBuilder().Header(4, 1, 2, 0).Chunk("tRNS", {0, 2}).Data(RawRows({{0x1B}})).End().Bytes;
    TDynImageDataArray images = LoadPng(png);
    EXPECT_EQ(images[0].Format, fmtA8Gray8);
    EXPECT_EQ(PixelBytes(images[0]), (std::vector<uint8_t>{0, 255, 85, 255, 170, 0, 255, 255}));
    ReleaseImageArray(images);
    auto png16 = TPngBuilder()
                     .Header(2, 1, 16, 0)
                     .Chunk("tRNS", {0x12, 0x34})
                     .Data(RawRows({{0x12, 0x34, 0x12, 0x35}}))
                     .End()
                     .Bytes;
    images = LoadPng(png16);
    EXPECT_EQ(images[0].Format, fmtA16Gray16);
    EXPECT_EQ(PixelBytes(images[0]), (std::vector<uint8_t>{0x34, 0x12, 0, 0, 0x35, 0x12, 0xFF, 0xFF}));
    ReleaseImageArray(images);
  }
  // A key that no sample of the bit depth can have makes nothing
  // transparent (its low byte must not match by accident).
  {
    auto png = TPngBuilder().Header(2, 1, 8, 0).Chunk("tRNS", {0x01, 0x05}).Data(RawRows({{5, 6}})).End().Bytes;
    TDynImageDataArray images = LoadPng(png);
    EXPECT_EQ(images[0].Format, fmtGray8);
    EXPECT_EQ(PixelBytes(images[0]), (std::vector<uint8_t>{5, 6}));
    ReleaseImageArray(images);
  }
}

TEST_F(PngTest, PaletteIndexBeyondThePaletteFails) {
  auto png = TPngBuilder().Header(2, 1, 8, 3).Chunk("PLTE", {1, 2, 3, 4, 5, 6}).Data(RawRows({{1, 2}})).End().Bytes;
  EXPECT_EQ(LoadError(png), "Palette index 2 is out of range of the palette (2 entries). File may be corrupted.");
}

TEST_F(PngTest, IntrapixelDifferencingIsUndoneModuloTheDepth) {
  TNGFileLoader loader;
  TIHDR ihdr{1, 1, 16, 2, 0, 64, 0};
  std::vector<uint8_t> raw = {0, 0xF0, 0x00, 0x20, 0x00, 0x10, 0x01};  // R-G, G, B-G big-endian
  TMemoryStream stream(Zlib(raw));
  TImageData image;
  loader.LoadImageFromPNGFrame(1, 1, ihdr, stream, image);
  ASSERT_EQ(image.Format, fmtR16G16B16);
  uint16_t w[3];
  std::memcpy(w, image.Bits, 6);
  EXPECT_EQ(w[0], uint16_t(0x1001 + 0x2000));  // blue
  EXPECT_EQ(w[1], 0x2000);
  EXPECT_EQ(w[2], uint16_t(0xF000 + 0x2000));  // red wraps around 65536
  ReleaseImage(image);
  TIHDR ihdr8{2, 1, 8, 6, 0, 64, 0};
  TMemoryStream stream8(Zlib({0, 250, 10, 5, 7, 1, 2, 3, 4}));
  loader.LoadImageFromPNGFrame(2, 1, ihdr8, stream8, image);
  EXPECT_EQ(PixelBytes(image), (std::vector<uint8_t>{15, 10, 4, 7, 5, 2, 3, 4}));
  ReleaseImage(image);
}

TEST_F(PngTest, ShortFixedChunksAndPartialRecords) {
  // An IHDR of 12 bytes leaves the interlace byte zero.
  std::vector<uint8_t> ihdr = IHDRBytes(2, 1, 8, 0, 0);
  ihdr.pop_back();
  auto png = TPngBuilder().Chunk("IHDR", ihdr).Data(RawRows({{1, 2}})).End().Bytes;
  TDynImageDataArray images = LoadPng(png);
  ASSERT_EQ(images.size(), 1u);
  EXPECT_EQ(PixelBytes(images[0]), (std::vector<uint8_t>{1, 2}));
  ReleaseImageArray(images);
}

TEST_F(PngTest, ShortStreamLeavesMissingRowsZero) {
  // The zlib stream ends cleanly after one of three rows.
  auto png = TPngBuilder().Header(2, 3, 8, 0).Data(RawRows({{9, 8}})).End().Bytes;
  TDynImageDataArray images = LoadPng(png);
  ASSERT_EQ(images.size(), 1u);
  EXPECT_EQ(PixelBytes(images[0]), (std::vector<uint8_t>{9, 8, 0, 0, 0, 0}));
  ReleaseImageArray(images);
}

TEST_F(PngTest, ShortStreamOfALargeFrameLeavesEveryMissingRowZero) {
  // 1500 rows of 1000 bytes: the stream ends inside row 2, far from the end.
  std::vector<std::vector<uint8_t>> rows(2, std::vector<uint8_t>(1000, 5));
  std::vector<uint8_t> raw = RawRows(rows);
  raw.resize(raw.size() - 400);
  auto png = TPngBuilder().Header(1000, 1500, 8, 0).Data(raw).End().Bytes;
  // Pixel memory is used again from image to image: a whole frame of the
  // same size, all 7, is loaded and released first.
  std::vector<std::vector<uint8_t>> full(1500, std::vector<uint8_t>(1000, 7));
  TDynImageDataArray images = LoadPng(TPngBuilder().Header(1000, 1500, 8, 0).Data(RawRows(full)).End().Bytes);
  ReleaseImageArray(images);
  images = LoadPng(png);
  ASSERT_EQ(images.size(), 1u);
  std::vector<uint8_t> expected(1000 * 1500, 0);
  std::fill(expected.begin(), expected.begin() + 1600, 5);
  EXPECT_TRUE(PixelBytes(images[0]) == expected);
  ReleaseImageArray(images);
}

TEST_F(PngTest, RowsOfAnUnknownFilterTypeAreZero) {
  // Row 1 has filter type 5; row 2 is "up" from it. Memory of an earlier
  // image (all 9) is used again underneath.
  std::vector<std::vector<uint8_t>> nines(300, std::vector<uint8_t>(1000, 9));
  TDynImageDataArray images = LoadPng(TPngBuilder().Header(250, 300, 8, 6).Data(RawRows(nines)).End().Bytes);
  ReleaseImageArray(images);
  std::vector<uint8_t> raw;
  for (int y = 0; y < 300; ++y) {
    raw.push_back(y == 1 ? 5 : y == 2 ? 2 : 0);
    raw.insert(raw.end(), 1000, uint8_t(y == 1 ? 200 : 3));
  }
  images = LoadPng(TPngBuilder().Header(250, 300, 8, 6).Data(raw).End().Bytes);
  ASSERT_EQ(images.size(), 1u);
  const std::vector<uint8_t> pixels = PixelBytes(images[0]);
  EXPECT_EQ(std::count(pixels.begin() + 1000, pixels.begin() + 2000, 0), 1000);
  EXPECT_EQ(std::count(pixels.begin() + 2000, pixels.begin() + 3000, 3), 1000);
  EXPECT_EQ(std::count(pixels.begin(), pixels.end(), 3), 299 * 1000);
  ReleaseImageArray(images);
}

TEST_F(PngTest, InflateStopsAtTheSizeTheFrameNeeds) {
  // 4 MiB of zeros after the frame's 2 rows are never produced.
  std::vector<uint8_t> raw = RawRows({{1, 2}, {3, 4}});
  raw.resize(raw.size() + (4 << 20), 0);
  auto png = TPngBuilder().Header(2, 2, 8, 0).Data(raw, 9).End().Bytes;
  EXPECT_LT(png.size(), 20000u);
  TDynImageDataArray images = LoadPng(png);
  ASSERT_EQ(images.size(), 1u);
  EXPECT_EQ(PixelBytes(images[0]), (std::vector<uint8_t>{1, 2, 3, 4}));
  ReleaseImageArray(images);
}

TEST_F(PngTest, CrcIsVerified) {
  auto png = TPngBuilder().Header(1, 1, 8, 0).Data(RawRows({{1}})).End().Bytes;
  png[8 + 8 + 13] ^= 1;  // IHDR CRC
  EXPECT_EQ(LoadError(png), "CRC error in IHDR chunk. File may be corrupted.");
  // Critical chunks with a bad CRC fail; damaged ancillary chunks, known or
  // not, are passed over as if they were absent.
  auto rows = RawRows({{1, 2}});
  EXPECT_EQ(LoadError(TPngBuilder().Header(2, 1, 8, 0).Chunk("IDAT", Zlib(rows), true).End().Bytes),
            "CRC error in IDAT chunk. File may be corrupted.");
  EXPECT_EQ(LoadError(TPngBuilder().Header(2, 1, 8, 0).Data(rows).Chunk("IEND", {}, true).Bytes),
            "CRC error in IEND chunk. File may be corrupted.");
  EXPECT_EQ(LoadError(TPngBuilder().Header(2, 1, 8, 0).Chunk("ZZZZ", {1}, true).Data(rows).End().Bytes),
            "CRC error in ZZZZ chunk. File may be corrupted.");
  struct TCase {
    const char* Name;
    std::vector<uint8_t> Png;
    TImageFormat Format;
    std::vector<uint8_t> Pixels;
  };
  const TCase cases[] = {
      {"tEXt", TPngBuilder().Header(2, 1, 8, 0).Chunk("tEXt", {'a', 0, 'b'}, true).Data(rows).End().Bytes, fmtGray8,
       {1, 2}},
      {"iCCP", TPngBuilder().Header(2, 1, 8, 0).Chunk("iCCP", {'p', 0, 0, 1, 2}, true).Data(rows).End().Bytes,
       fmtGray8, {1, 2}},
      // Without its tRNS the gray key 1 is not transparent.
      {"tRNS", TPngBuilder().Header(2, 1, 8, 0).Chunk("tRNS", BE({1}), true).Data(rows).End().Bytes, fmtGray8, {1, 2}},
      {"good tRNS", TPngBuilder().Header(2, 1, 8, 0).Chunk("tRNS", {0, 1}).Data(rows).End().Bytes, fmtA8Gray8,
       {1, 0, 2, 255}},
      {"bKGD", TPngBuilder().Header(2, 1, 8, 0).Chunk("bKGD", {0, 9}, true).Chunk("tRNS", {0, 1}).Data(rows).End().Bytes,
       fmtA8Gray8, {1, 0, 2, 255}},
      {"acTL", TPngBuilder().Header(2, 1, 8, 0).Chunk("acTL", BE({1, 0}), true).Data(rows).End().Bytes, fmtGray8,
       {1, 2}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TDynImageDataArray images = LoadPng(c.Png);
    ASSERT_EQ(images.size(), 1u);
    EXPECT_EQ(images[0].Format, c.Format);
    EXPECT_EQ(PixelBytes(images[0]), c.Pixels);
    ReleaseImageArray(images);
  }
  // A large damaged ancillary chunk is passed over as well.
  auto huge =
      TPngBuilder().Header(2, 1, 8, 0).Chunk("zTXt", std::vector<uint8_t>(200000, 0x55), true).Data(rows).End().Bytes;
  TDynImageDataArray images = LoadPng(huge);
  ASSERT_EQ(images.size(), 1u);
  EXPECT_EQ(PixelBytes(images[0]), (std::vector<uint8_t>{1, 2}));
  ReleaseImageArray(images);
}

TEST_F(PngTest, HostileChunkLengthsAreRefusedBeforeAllocating) {
  auto base = TPngBuilder().Header(1, 1, 8, 0).Bytes;
  // Length 2^31 and 2^32 - 1 on a known and an unknown chunk.
  for (uint32_t length : {0x80000000u, 0xFFFFFFFFu, 0x7FFFFFFFu}) {
    for (const char* id : {"IDAT", "zTXt"}) {
      std::vector<uint8_t> png = base;
      uint8_t h[8] = {uint8_t(length >> 24), uint8_t(length >> 16), uint8_t(length >> 8), uint8_t(length),
                      uint8_t(id[0]),        uint8_t(id[1]),        uint8_t(id[2]),       uint8_t(id[3])};
      png.insert(png.end(), h, h + 8);
      png.resize(png.size() + 64, 0);
      EXPECT_EQ(LoadError(png), std::string("Error when reading ") + id + " chunk data. File may be corrupted.");
    }
  }
  // A chunk cut short, and a header cut short.
  auto full = TPngBuilder().Header(1, 1, 8, 0).Data(RawRows({{1}})).End().Bytes;
  std::vector<uint8_t> cut(full.begin(), full.begin() + 8 + 25 + 12);
  EXPECT_EQ(LoadError(cut), "Error when reading IDAT chunk data. File may be corrupted.");
  std::vector<uint8_t> header(full.begin(), full.begin() + 8 + 25 + 5);
  EXPECT_EQ(LoadError(header), "Error when reading ???? chunk data. File may be corrupted.");
  // No IEND at the end of the stream is fine.
  std::vector<uint8_t> noEnd(full.begin(), full.end() - 12);
  TDynImageDataArray images = LoadPng(noEnd);
  EXPECT_EQ(images.size(), 1u);
  ReleaseImageArray(images);
}

TEST_F(PngTest, InvalidHeadersFail) {
  struct TCase {
    uint32_t W, H;
    int Depth, ColorType, Interlace, Compression, Filter;
  } cases[] = {
      {1, 1, 8, 1, 0, 0, 0},  {1, 1, 8, 5, 0, 0, 0},  {1, 1, 8, 7, 0, 0, 0},   {1, 1, 3, 0, 0, 0, 0},
      {1, 1, 16, 3, 0, 0, 0}, {1, 1, 4, 2, 0, 0, 0},  {1, 1, 0, 0, 0, 0, 0},   {0, 1, 8, 0, 0, 0, 0},
      {1, 0, 8, 0, 0, 0, 0},  {0x80000000u, 1, 8, 0, 0, 0, 0}, {1, 1, 8, 0, 2, 0, 0}, {1, 1, 8, 0, 0, 1, 0},
      {1, 1, 8, 0, 0, 0, 64},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(testing::Message() << c.W << "x" << c.H << " depth " << c.Depth << " type " << c.ColorType);
    std::vector<uint8_t> ihdr = IHDRBytes(c.W, c.H, c.Depth, c.ColorType, c.Interlace);
    ihdr[10] = uint8_t(c.Compression);
    ihdr[11] = uint8_t(c.Filter);
    auto png = TPngBuilder().Chunk("IHDR", ihdr).Data(RawRows({{0, 0, 0, 0, 0, 0}})).End().Bytes;
    EXPECT_EQ(LoadError(png), "Invalid IHDR chunk. File may be corrupted.");
  }
  // A frame too large for the 32-bit image size, and one whose data cannot
  // possibly fill it, fail before their memory is taken.
  auto huge = TPngBuilder().Header(65536, 65536, 8, 6).Data(RawRows({{0}})).End().Bytes;
  EXPECT_EQ(LoadError(huge), "Invalid IHDR chunk. File may be corrupted.");
  auto bomb = TPngBuilder().Header(20000, 20000, 8, 4).Data(RawRows({{0}})).End().Bytes;
  EXPECT_EQ(LoadError(bomb), "Error when reading IDAT chunk data. File may be corrupted.");
  // Chunks that need a frame, before any IHDR.
  for (const char* id : {"fcTL", "IDAT", "PLTE", "bKGD"}) {
    auto png = TPngBuilder().Chunk(id, std::vector<uint8_t>(26, 0)).Header(1, 1, 8, 0).End().Bytes;
    EXPECT_EQ(LoadError(png), std::string("Invalid ") + id + " chunk. File may be corrupted.");
  }
  // A second IHDR.
  auto twice = TPngBuilder().Header(1, 1, 8, 0).Header(1, 1, 8, 0).Data(RawRows({{0}})).End().Bytes;
  EXPECT_EQ(LoadError(twice), "Invalid IHDR chunk. File may be corrupted.");
}

// The stream's checksum is checked over everything inflated, also when the
// stream is long (many blocks of the vector sums and their modulo steps)
// and its last bytes are split over data chunks in every way.
TEST_F(PngTest, ChecksumOfLongStreamsSplitOverChunks) {
  const uint32_t w = 3001, h = 7;
  std::vector<std::vector<uint8_t>> rows(h, std::vector<uint8_t>(w));
  uint32_t seed = 9;
  for (auto& row : rows)
    for (auto& b : row) b = uint8_t((seed = seed * 1103515245u + 12345u) >> 24 | 0xF0);  // large sums
  const std::vector<uint8_t> z = Zlib(RawRows(rows), 1);
  for (size_t tail = 1; tail <= 5; ++tail)
    for (int damage = -1; damage < 4; ++damage) {
      std::vector<uint8_t> bad = z;
      if (damage >= 0) bad[bad.size() - 4 + size_t(damage)] ^= 0x01;
      const size_t split = bad.size() - tail;
      auto png = TPngBuilder()
                     .Header(w, h, 8, 0)
                     .RawData(std::vector<uint8_t>(bad.begin(), bad.begin() + long(split)))
                     .RawData(std::vector<uint8_t>(bad.begin() + long(split), bad.end()))
                     .End()
                     .Bytes;
      EXPECT_EQ(LoadError(png), damage < 0 ? "" : "zlib: data error") << "tail " << tail << " damage " << damage;
    }
  auto images = LoadPng(TPngBuilder().Header(w, h, 8, 0).RawData(z).End().Bytes);
  ASSERT_EQ(images.size(), 1u);
  for (uint32_t y = 0; y < h; ++y)
    ASSERT_EQ(0, std::memcmp(static_cast<const uint8_t*>(images[0].Bits) + size_t(y) * w, rows[y].data(), w));
  ReleaseImageArray(images);
}

TEST_F(PngTest, ZlibFailuresCarryZlibsText) {
  std::vector<uint8_t> garbage = {0x78, 0x9C, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
  auto bad = TPngBuilder().Header(4, 4, 8, 0).RawData(garbage).End().Bytes;
  EXPECT_EQ(LoadError(bad), "zlib: data error");
  // A stream cut before its end: no progress is possible.
  std::vector<uint8_t> z = Zlib(RawRows({{1, 2, 3, 4}, {5, 6, 7, 8}, {9, 9, 9, 9}, {1, 1, 1, 1}}), 0);
  z.resize(z.size() - 12);
  auto cut = TPngBuilder().Header(4, 4, 8, 0).RawData(z).End().Bytes;
  EXPECT_EQ(LoadError(cut), "zlib: buffer error");
  // No image data at all.
  auto none = TPngBuilder().Header(4, 4, 8, 0).End().Bytes;
  EXPECT_EQ(LoadError(none), "zlib: buffer error");
  // A wrong checksum at the end of a complete frame.
  std::vector<uint8_t> sum = Zlib(RawRows({{1}}));
  sum.back() ^= 0x55;
  auto adler = TPngBuilder().Header(1, 1, 8, 0).RawData(sum).End().Bytes;
  EXPECT_EQ(LoadError(adler), "zlib: data error");
  // A preset dictionary.
  std::vector<uint8_t> dict = {0x78, 0xBB, 0, 0, 0, 1, 0x03, 0x00};
  auto needDict = TPngBuilder().Header(1, 1, 8, 0).RawData(dict).End().Bytes;
  EXPECT_EQ(LoadError(needDict), "zlib: need dictionary");
}

TEST_F(PngTest, WholeIdatAfterTheStreamEndFails) {
  std::vector<uint8_t> z = Zlib(RawRows({{1, 2}}));
  auto png = TPngBuilder().Header(2, 1, 8, 0).RawData(z).RawData(z).End().Bytes;
  EXPECT_EQ(LoadError(png), "Invalid IDAT chunk. File may be corrupted.");
  // Padding bytes inside the last IDAT after the stream are tolerated, as is
  // a stream split over several IDAT chunks.
  std::vector<uint8_t> padded = z;
  padded.push_back(0);
  padded.push_back(0);
  TDynImageDataArray images = LoadPng(TPngBuilder().Header(2, 1, 8, 0).RawData(padded).End().Bytes);
  EXPECT_EQ(PixelBytes(images[0]), (std::vector<uint8_t>{1, 2}));
  ReleaseImageArray(images);
  std::vector<uint8_t> a(z.begin(), z.begin() + 3), b(z.begin() + 3, z.end());
  images = LoadPng(TPngBuilder().Header(2, 1, 8, 0).RawData(a).RawData(b).RawData({}).End().Bytes);
  EXPECT_EQ(PixelBytes(images[0]), (std::vector<uint8_t>{1, 2}));
  ReleaseImageArray(images);
}

TEST_F(PngTest, FailureIsWrappedInTheFrameworkMessage) {
  auto png = TPngBuilder().Header(1, 1, 8, 9).Data(RawRows({{0}})).End().Bytes;
  TImageFileFormat* h = FindHandlerByExtension("png");
  TDynImageDataArray images;
  try {
    h->LoadFromMemory(png.data(), int32_t(png.size()), images);
    FAIL() << "loaded";
  } catch (const EImagingError& e) {
    std::string expected = FormatText("Error while loading images from memory %p (%d Bytes) (file format: png).",
                                      {TFormatArg((const void*)png.data()), TFormatArg(int(png.size()))}) +
                           " Exception Message: Invalid IHDR chunk. File may be corrupted.";
    EXPECT_EQ(e.what(), expected);
  }
  EXPECT_TRUE(images.empty());
}

// ---------------------------------------------------------------------------
// Animated PNG frames on loading
// ---------------------------------------------------------------------------

TEST_F(PngTest, ApngFramesLoadAsStored) {
  // Default image outside the animation, then two frames of their own size.
  auto frame = [](int W, int H, uint8_t V) {
    std::vector<std::vector<uint8_t>> rows(size_t(H), std::vector<uint8_t>(size_t(W), V));
    return Zlib(RawRows(rows));
  };
  auto png = TPngBuilder()
                 .Header(4, 3, 8, 0)
                 .Chunk("acTL", BE({2, 0}))
                 .RawData(frame(4, 3, 1))
                 .Chunk("fcTL", FcTL(0, 2, 2, 1, 1))
                 .Chunk("fdAT", Concat(BE({1}), frame(2, 2, 7)))
                 .Chunk("fcTL", FcTL(2, 4, 1, 0, 2))
                 .Chunk("fdAT", Concat(BE({3}), frame(4, 1, 9)))
                 .End()
                 .Bytes;
  {
    SetImagingOption(OptPngLoadAnimated, 0);
    TDynImageDataArray images = LoadPng(png);
    ASSERT_EQ(images.size(), 3u);
    EXPECT_EQ(images[0].Width, 4);
    EXPECT_EQ(images[0].Height, 3);
    EXPECT_EQ(images[1].Width, 2);
    EXPECT_EQ(images[1].Height, 2);
    EXPECT_EQ(PixelBytes(images[1]), std::vector<uint8_t>(4, 7));
    EXPECT_EQ(images[2].Width, 4);
    EXPECT_EQ(images[2].Height, 1);
    EXPECT_EQ(PixelBytes(images[2]), std::vector<uint8_t>(4, 9));
    ReleaseImageArray(images);
    SetImagingOption(OptPngLoadAnimated, -1);
  }

  // The frame records: shared header, fcTL fields in native order.
  TNGFileLoader loader;
  TMemoryIOState state;
  InitMemoryIOState(png.data(), int32_t(png.size()), state);
  UseMemoryIO();
  ASSERT_TRUE(loader.LoadFile(&state));
  EXPECT_EQ(loader.FileType, ngAPNG);
  EXPECT_EQ(+(loader.acTL.NumFrames), 2u);
  ASSERT_EQ(loader.Frames.size(), 3u);
  EXPECT_EQ(+(loader.Frames[0]->fcTL.Width), 0u);
  EXPECT_EQ(+(loader.Frames[1]->fcTL.XOffset), 1u);
  EXPECT_EQ(+(loader.Frames[1]->fcTL.DelayNumer), 1);
  EXPECT_EQ(+(loader.Frames[1]->fcTL.DelayDenom), 10);
  EXPECT_EQ(+(loader.Frames[2]->IHDR.Width), 4u);
  EXPECT_EQ(loader.Frames[2]->FrameWidth, 4);
  EXPECT_EQ(loader.Frames[2]->FrameHeight, 1);
}

TEST_F(PngTest, ApngStructureErrorsCostOnlyTheAnimation) {
  auto data = Zlib(RawRows({{1, 1}}));
  auto base = [&]() { return TPngBuilder().Header(2, 1, 8, 0); };
  struct TCase {
    const char* Name;
    std::vector<uint8_t> Png;
    const char* Message;
  };
  std::vector<TCase> cases;
  cases.push_back({"fcTL without acTL",
                   base().RawData(data).Chunk("fcTL", FcTL(0, 2, 1, 0, 0)).Chunk("fdAT", Concat(BE({1}), data)).End().Bytes,
                   "Invalid fcTL chunk. File may be corrupted."});
  cases.push_back({"acTL after IDAT", base().RawData(data).Chunk("acTL", BE({1, 0})).End().Bytes,
                   "Invalid acTL chunk. File may be corrupted."});
  cases.push_back({"two acTL", base().Chunk("acTL", BE({1, 0})).Chunk("acTL", BE({1, 0})).RawData(data).End().Bytes,
                   "Invalid acTL chunk. File may be corrupted."});
  cases.push_back({"zero frames", base().Chunk("acTL", BE({0, 0})).RawData(data).End().Bytes,
                   "Invalid acTL chunk. File may be corrupted."});
  cases.push_back({"frame count differs",
                   base().Chunk("acTL", BE({2, 0})).Chunk("fcTL", FcTL(0, 2, 1, 0, 0)).RawData(data).End().Bytes,
                   "Invalid acTL chunk. File may be corrupted."});
  cases.push_back({"fdAT without fcTL",
                   base().Chunk("acTL", BE({1, 0})).RawData(data).Chunk("fdAT", Concat(BE({0}), data)).End().Bytes,
                   "Invalid fdAT chunk. File may be corrupted."});
  cases.push_back({"sequence gap",
                   base()
                       .Chunk("acTL", BE({1, 0}))
                       .RawData(data)
                       .Chunk("fcTL", FcTL(0, 2, 1, 0, 0))
                       .Chunk("fdAT", Concat(BE({2}), data))
                       .End()
                       .Bytes,
                   "Invalid fdAT chunk. File may be corrupted."});
  cases.push_back({"fcTL without data",
                   base()
                       .Chunk("acTL", BE({2, 0}))
                       .RawData(data)
                       .Chunk("fcTL", FcTL(0, 2, 1, 0, 0))
                       .Chunk("fcTL", FcTL(1, 2, 1, 0, 0))
                       .Chunk("fdAT", Concat(BE({2}), data))
                       .End()
                       .Bytes,
                   "Invalid fcTL chunk. File may be corrupted."});
  cases.push_back({"region outside the canvas",
                   base()
                       .Chunk("acTL", BE({1, 0}))
                       .RawData(data)
                       .Chunk("fcTL", FcTL(0, 2, 1, 1, 0))
                       .Chunk("fdAT", Concat(BE({1}), data))
                       .End()
                       .Bytes,
                   "Invalid fcTL chunk. File may be corrupted."});
  cases.push_back({"IDAT after fdAT",
                   base()
                       .Chunk("acTL", BE({1, 0}))
                       .RawData(data)
                       .Chunk("fcTL", FcTL(0, 2, 1, 0, 0))
                       .Chunk("fdAT", Concat(BE({1}), data))
                       .RawData(data)
                       .End()
                       .Bytes,
                   "Invalid IDAT chunk. File may be corrupted."});
  cases.push_back({"bad fdAT CRC",
                   base()
                       .Chunk("acTL", BE({1, 0}))
                       .RawData(data)
                       .Chunk("fcTL", FcTL(0, 2, 1, 0, 0))
                       .Chunk("fdAT", Concat(BE({1}), data), true)
                       .End()
                       .Bytes,
                   ""});
  cases.push_back({"broken frame stream",
                   base()
                       .Chunk("acTL", BE({1, 0}))
                       .RawData(data)
                       .Chunk("fcTL", FcTL(0, 2, 1, 0, 0))
                       .Chunk("fdAT", Concat(BE({1}), {1, 2, 3, 4, 5}))
                       .End()
                       .Bytes,
                   ""});
  cases.push_back({"acTL of 2^31 frames", base().Chunk("acTL", BE({0x80000000u, 0})).RawData(data).End().Bytes, ""});
  // The default image is intact: it is what loads, alone, animated or not.
  for (const TCase& c : cases)
    for (int32_t animated : {-1, 0}) {
      SCOPED_TRACE(std::string(c.Name) + (animated ? " composed" : " raw"));
      SetImagingOption(OptPngLoadAnimated, animated);
      TDynImageDataArray images = LoadPng(c.Png);
      ASSERT_EQ(images.size(), 1u);
      EXPECT_EQ(images[0].Width, 2);
      EXPECT_EQ(images[0].Format, fmtGray8);
      EXPECT_EQ(PixelBytes(images[0]), (std::vector<uint8_t>{1, 1}));
      ReleaseImageArray(images);
    }
  SetImagingOption(OptPngLoadAnimated, -1);
  // Without a default image there is nothing to show.
  EXPECT_EQ(LoadError(base().Chunk("acTL", BE({1, 0})).Chunk("fcTL", FcTL(0, 2, 1, 0, 0)).End().Bytes),
            "zlib: buffer error");
  EXPECT_EQ(LoadError(base()
                          .Chunk("acTL", BE({1, 0}))
                          .Chunk("fcTL", FcTL(0, 2, 1, 0, 0))
                          .Chunk("IDAT", {1, 2, 3, 4})
                          .End()
                          .Bytes),
            "zlib: data error");
}

// ---------------------------------------------------------------------------
// Encoding
// ---------------------------------------------------------------------------

TEST_F(PngTest, PreFilterChoosesTheRowFilters) {
  TImageData rgb = TestSupport::RandomImage(17, 6, fmtR8G8B8, 1);
  TImageData gray = TestSupport::RandomImage(17, 6, fmtGray8, 2);
  TImageData index = TestSupport::RandomImage(17, 6, fmtIndex8, 3);
  for (int pre = 0; pre <= 6; ++pre) {
    SCOPED_TRACE(testing::Message() << "prefilter " << pre);
    SetImagingOption(OptPngPreFilter, pre);
    auto rgbTypes = RowFilterTypes(SavePng({rgb}));
    auto grayTypes = RowFilterTypes(SavePng({gray}));
    auto indexTypes = RowFilterTypes(SavePng({index}));
    ASSERT_EQ(rgbTypes.size(), 6u);
    if (pre <= 4) {
      EXPECT_EQ(rgbTypes, std::vector<int>(6, pre));
      EXPECT_EQ(indexTypes, std::vector<int>(6, pre));
    } else if (pre == 5) {
      EXPECT_EQ(rgbTypes, std::vector<int>(6, 4));
      EXPECT_EQ(grayTypes, std::vector<int>(6, 0));
      EXPECT_EQ(indexTypes, std::vector<int>(6, 0));
    } else {
      EXPECT_EQ(indexTypes, std::vector<int>(6, 0));
      EXPECT_EQ(rgbTypes, ReferenceAdaptiveChoice(rgb));
      EXPECT_EQ(grayTypes, ReferenceAdaptiveChoice(gray));
    }
  }
  ReleaseImage(rgb);
  ReleaseImage(gray);
  ReleaseImage(index);
}

TEST_F(PngTest, AdaptiveChoiceFollowsTheScores) {
  // Rows built so that each filter wins once: a constant row (None ties with
  // higher filters and wins), a ramp (Sub), a copy of the row above (Up).
  TImageData img;
  ASSERT_TRUE(CreateImage(64, 4, fmtGray8, img));
  auto* p = static_cast<uint8_t*>(img.Bits);
  for (int x = 0; x < 64; ++x) {
    p[x] = 0;
    p[64 + x] = uint8_t(x * 3 + 100);
    p[128 + x] = uint8_t(x * 3 + 100);
    p[192 + x] = uint8_t((x * 37) ^ 0x5A);
  }
  SetImagingOption(OptPngPreFilter, 6);
  auto types = RowFilterTypes(SavePng({img}));
  EXPECT_EQ(types, ReferenceAdaptiveChoice(img));
  EXPECT_EQ(types[0], 0);
  EXPECT_EQ(types[1], 1);
  EXPECT_EQ(types[2], 2);
  ReleaseImage(img);
}

TEST_F(PngTest, LevelZeroWritesStoredBlocksAndSingleImageIsPlainPng) {
  TImageData img = TestSupport::RandomImage(40, 30, fmtA8R8G8B8, 9);
  SetImagingOption(OptPngCompressLevel, 0);
  auto png = SavePng({img});
  auto chunks = ChunkIds(png);
  EXPECT_EQ(chunks, (std::vector<std::string>{"IHDR", "IDAT", "IEND"}));
  auto z = ChunkData(png, "IDAT");
  ASSERT_GE(z.size(), 3u);
  EXPECT_EQ(z[0], 0x78);
  EXPECT_EQ(z[1], 0x01);
  EXPECT_EQ(z[2] & 0x06, 0);  // stored block
  EXPECT_EQ(z.size(), 2 + 5 + 30 * (40 * 4 + 1) + 4);
  ReleaseImage(img);
}

TEST_F(PngTest, SixteenBitBgrFormatsKeepTheirOrder) {
  TImageData bgr;
  ASSERT_TRUE(CreateImage(1, 1, fmtB16G16R16, bgr));
  uint16_t w[3] = {0x0102, 0x0304, 0x0506};  // R, G, B in memory
  std::memcpy(bgr.Bits, w, 6);
  SetImagingOption(OptPngPreFilter, 0);
  auto png = SavePng({bgr});
  auto raw = InflateAll(ChunkData(png, "IDAT"));
  EXPECT_EQ(raw, (std::vector<uint8_t>{0, 1, 2, 3, 4, 5, 6}));
  TImageData rgb;
  ASSERT_TRUE(CreateImage(1, 1, fmtR16G16B16, rgb));
  std::memcpy(rgb.Bits, w, 6);  // B, G, R in memory
  raw = InflateAll(ChunkData(SavePng({rgb}), "IDAT"));
  EXPECT_EQ(raw, (std::vector<uint8_t>{0, 5, 6, 3, 4, 1, 2}));
  ReleaseImage(bgr);
  ReleaseImage(rgb);
}

TEST_F(PngTest, EveryFormatFilterAndLevelRoundTrips) {
  // Our own reload is identical for every accepted format, filter choice and
  // level; the files are also checked by a peer in PngPeerTest.
  const TImageFormat formats[] = {fmtIndex8,    fmtGray8,        fmtA8Gray8,   fmtGray16,      fmtA16Gray16,
                                  fmtR8G8B8,    fmtA8R8G8B8,     fmtR16G16B16, fmtA16R16G16B16, fmtB16G16R16,
                                  fmtA16B16G16R16};
  uint32_t seed = 100;
  for (TImageFormat f : formats) {
    TImageData img = SmoothImage(23, 9, f, seed++);
    for (int pre = 0; pre <= 6; ++pre)
      for (int level = 0; level <= 9; ++level) {
        SCOPED_TRACE(testing::Message() << FormatDisplayName(f) << " prefilter " << pre << " level " << level);
        SetImagingOption(OptPngPreFilter, pre);
        SetImagingOption(OptPngCompressLevel, level);
        auto png = SavePng({img});
        TDynImageDataArray back = LoadPng(png);
        ASSERT_EQ(back.size(), 1u);
        TImageFormat expected = f == fmtB16G16R16 ? fmtR16G16B16 : f == fmtA16B16G16R16 ? fmtA16R16G16B16 : f;
        EXPECT_EQ(back[0].Format, expected);
        EXPECT_EQ(ToRGBA16(back[0]), ToRGBA16(img));
        if (f == fmtIndex8) {
          for (int i = 0; i < 256; ++i) ASSERT_EQ(back[0].Palette[i].Color, img.Palette[i].Color) << i;
        }
        ReleaseImageArray(back);
      }
    ReleaseImage(img);
  }
}

TEST_F(PngTest, ConvertToAcceptedChoosesTheNearestFormat) {
  TImageFileFormat* h = FindHandlerByExtension("png");
  const struct {
    TImageFormat From, To;
  } cases[] = {{fmtGray32, fmtGray16},          {fmtA1R5G5B5, fmtA8R8G8B8},      {fmtR5G6B5, fmtR8G8B8},
               {fmtX8R8G8B8, fmtR8G8B8},        {fmtA32R32G32B32F, fmtA16B16G16R16}, {fmtR32F, fmtB16G16R16},
               {fmtDXT1, fmtA8R8G8B8},          {fmtA4R4G4B4, fmtA8R8G8B8}};
  for (auto c : cases) {
    SCOPED_TRACE(FormatDisplayName(c.From));
    TImageData img;
    ASSERT_TRUE(CreateImage(4, 4, c.From, img));
    TImageData compatible;
    bool mustBeFreed = false;
    ASSERT_TRUE(h->MakeCompatible(img, compatible, mustBeFreed));
    EXPECT_EQ(compatible.Format, c.To);
    EXPECT_TRUE(mustBeFreed);
    if (mustBeFreed) ReleaseImage(compatible);
    ReleaseImage(img);
  }
}

// ---------------------------------------------------------------------------
// Saving several images as an animated PNG
// ---------------------------------------------------------------------------

TEST_F(PngTest, SeveralImagesMakeAnApngOnTheLargestCanvas) {
  TImageData a = TestSupport::RandomImage(10, 10, fmtR8G8B8, 1);
  TImageData b = TestSupport::RandomImage(20, 5, fmtR8G8B8, 2);
  TImageData c = TestSupport::RandomImage(5, 30, fmtR8G8B8, 3);
  auto png = SavePng({a, b, c});
  EXPECT_EQ(ChunkIds(png), (std::vector<std::string>{"IHDR", "acTL", "fcTL", "IDAT", "fcTL", "fdAT", "fcTL", "fdAT",
                                                     "IEND"}));
  auto ihdr = ChunkData(png, "IHDR");
  EXPECT_EQ(ReadBE(ihdr, 0), 20u);
  EXPECT_EQ(ReadBE(ihdr, 4), 30u);
  auto actl = ChunkData(png, "acTL");
  EXPECT_EQ(ReadBE(actl, 0), 3u);
  EXPECT_EQ(ReadBE(actl, 4), 1u);
  auto fctls = AllChunkData(png, "fcTL");
  auto fdats = AllChunkData(png, "fdAT");
  ASSERT_EQ(fctls.size(), 3u);
  ASSERT_EQ(fdats.size(), 2u);
  EXPECT_EQ(ReadBE(fctls[0], 0), 0u);
  EXPECT_EQ(ReadBE(fctls[0], 4), 20u);
  EXPECT_EQ(ReadBE(fctls[0], 8), 30u);
  EXPECT_EQ(ReadBE(fctls[1], 0), 1u);
  EXPECT_EQ(ReadBE(fdats[0], 0), 2u);
  EXPECT_EQ(ReadBE(fctls[1], 4), 20u);
  EXPECT_EQ(ReadBE(fctls[1], 8), 5u);
  EXPECT_EQ(ReadBE(fctls[2], 0), 3u);
  EXPECT_EQ(ReadBE(fdats[1], 0), 4u);
  EXPECT_EQ(ReadBE(fctls[2], 4), 5u);
  EXPECT_EQ(ReadBE(fctls[2], 8), 30u);
  for (const auto& fc : fctls) {
    EXPECT_EQ(ReadBE(fc, 12), 0u);
    EXPECT_EQ(ReadBE(fc, 16), 0u);
    EXPECT_EQ((std::vector<uint8_t>(fc.begin() + 20, fc.end())), (std::vector<uint8_t>{0, 1, 0, 3, 0, 0}));
  }
  SetImagingOption(OptPngLoadAnimated, 0);
  TDynImageDataArray back = LoadPng(png);
  SetImagingOption(OptPngLoadAnimated, -1);
  ASSERT_EQ(back.size(), 3u);
  EXPECT_EQ(back[0].Width, 20);
  EXPECT_EQ(back[0].Height, 30);
  // The first image at the top-left of a zeroed canvas.
  for (int y = 0; y < 30; ++y)
    for (int x = 0; x < 20; ++x)
      for (int ch = 0; ch < 3; ++ch) {
        uint8_t expected = (x < 10 && y < 10) ? static_cast<uint8_t*>(a.Bits)[(y * 10 + x) * 3 + ch] : 0;
        ASSERT_EQ(static_cast<uint8_t*>(back[0].Bits)[(y * 20 + x) * 3 + ch], expected) << x << "," << y;
      }
  EXPECT_EQ(PixelBytes(back[1]), PixelBytes(b));
  EXPECT_EQ(PixelBytes(back[2]), PixelBytes(c));
  ReleaseImageArray(back);
  // Composed, each frame is drawn over its predecessor: frame 2 shows c at
  // the left, what b left at the top and a's zeroed canvas elsewhere.
  back = LoadPng(png);
  ASSERT_EQ(back.size(), 3u);
  for (const TImageData& f : back) {
    EXPECT_EQ(f.Width, 20);
    EXPECT_EQ(f.Height, 30);
    EXPECT_EQ(f.Format, fmtA8R8G8B8);
  }
  const auto* p2 = static_cast<const uint8_t*>(back[2].Bits);
  for (int y = 0; y < 30; ++y)
    for (int x = 0; x < 20; ++x) {
      const uint8_t* src = x < 5 ? static_cast<uint8_t*>(c.Bits) + (y * 5 + x) * 3
                           : y < 5 ? static_cast<uint8_t*>(b.Bits) + (y * 20 + x) * 3
                           : x < 10 && y < 10 ? static_cast<uint8_t*>(a.Bits) + (y * 10 + x) * 3
                                              : nullptr;
      for (int ch = 0; ch < 3; ++ch) ASSERT_EQ(p2[(y * 20 + x) * 4 + ch], src ? src[ch] : 0) << x << "," << y;
      ASSERT_EQ(p2[(y * 20 + x) * 4 + 3], 255);
    }
  ReleaseImageArray(back);
  ReleaseImage(a);
  ReleaseImage(b);
  ReleaseImage(c);
}

TEST_F(PngTest, LargeFramesKeepTheirStreamInOneDataChunk) {
  // Noise does not compress: each frame's stream is far larger than the
  // blocks it is deflated in, and still goes into one IDAT or fdAT chunk
  // whose length is right.
  TImageData a = TestSupport::RandomImage(160, 120, fmtA8R8G8B8, 11);
  TImageData b = TestSupport::RandomImage(200, 150, fmtA8R8G8B8, 12);
  SetImagingOption(OptPngCompressLevel, 9);
  auto png = SavePng({a, b});
  EXPECT_EQ(ChunkIds(png), (std::vector<std::string>{"IHDR", "acTL", "fcTL", "IDAT", "fcTL", "fdAT", "IEND"}));
  auto idat = ChunkData(png, "IDAT");
  auto fdat = ChunkData(png, "fdAT");
  EXPECT_GT(idat.size(), 65536u);
  EXPECT_GT(fdat.size(), 65536u);
  EXPECT_EQ(ReadBE(fdat, 0), 2u);
  EXPECT_EQ(InflateAll(idat).size(), 150u * (200 * 4 + 1));
  EXPECT_EQ(InflateAll(std::vector<uint8_t>(fdat.begin() + 4, fdat.end())).size(), 150u * (200 * 4 + 1));

  TDynImageDataArray back = LoadPng(png);
  ASSERT_EQ(back.size(), 2u);
  ASSERT_EQ(back[0].Width, 200);
  ASSERT_EQ(back[0].Height, 150);
  for (int y = 0; y < 120; ++y)
    ASSERT_EQ(std::memcmp(static_cast<uint8_t*>(back[0].Bits) + size_t(y) * 200 * 4,
                          static_cast<uint8_t*>(a.Bits) + size_t(y) * 160 * 4, 160 * 4),
              0)
        << y;
  EXPECT_EQ(PixelBytes(back[1]), PixelBytes(b));
  ReleaseImageArray(back);
  ReleaseImage(a);
  ReleaseImage(b);
}

TEST_F(PngTest, FileStreamAndMemorySavesWriteTheSameBytes) {
  // The data chunk's length is put in place after its data: through the
  // file table that means going back across buffered blocks.
  TImageData img = TestSupport::RandomImage(300, 200, fmtA8R8G8B8, 21);
  SetImagingOption(OptPngCompressLevel, 1);
  std::vector<uint8_t> memory = SavePng({img});
  TestSupport::TempDir dir;
  const std::string file = dir.File("noise.png");
  TDynImageDataArray images{img};
  ASSERT_TRUE(PngHandler()->SaveToFile(file, images));
  EXPECT_EQ(TestSupport::ReadFileBytes(file), memory);
  TMemoryStream stream;
  ASSERT_TRUE(PngHandler()->SaveToStream(&stream, images));
  EXPECT_EQ(stream.Data(), memory);
  EXPECT_EQ(ChunkIds(memory), (std::vector<std::string>{"IHDR", "IDAT", "IEND"}));
  TDynImageDataArray back = LoadPng(memory);
  ASSERT_EQ(back.size(), 1u);
  EXPECT_EQ(PixelBytes(back[0]), PixelBytes(img));
  ReleaseImageArray(back);
  ReleaseImage(img);
}

TEST_F(PngTest, DecodingWhileReadingEqualsDecodingCollectedData) {
  // Every PngSuite file that loads: frames decoded chunk by chunk as the
  // stream is read equal frames decoded from their collected data.
  const auto dir = TestSupport::CorpusDir() / "pngsuite" / "png";
  if (!std::filesystem::exists(dir)) GTEST_SKIP() << "no corpus";
  int compared = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (entry.path().extension() != ".png") continue;
    std::vector<uint8_t> bytes = TestSupport::ReadFileBytes(entry.path().string());
    TNGFileLoader streamed, collected;
    streamed.DecodeWhileReading = true;
    TMemoryIOState s1, s2;
    UseMemoryIO();
    InitMemoryIOState(bytes.data(), int32_t(bytes.size()), s1);
    InitMemoryIOState(bytes.data(), int32_t(bytes.size()), s2);
    try {
      if (!streamed.LoadFile(&s1)) continue;
    } catch (const EImagingError&) {
      EXPECT_THROW(collected.LoadFile(&s2), EImagingError) << entry.path();
      continue;
    }
    ASSERT_TRUE(collected.LoadFile(&s2)) << entry.path();
    ASSERT_EQ(streamed.Frames.size(), collected.Frames.size()) << entry.path();
    for (size_t i = 0; i < collected.Frames.size(); ++i) {
      TFrameInfo& f = *collected.Frames[i];
      EXPECT_TRUE(streamed.Frames[i]->IDATMemory->Data().empty());
      EXPECT_EQ(streamed.Frames[i]->DataSize, f.DataSize);
      TImageData image;
      collected.LoadImageFromPNGFrame(f.FrameWidth, f.FrameHeight, f.IHDR, *f.IDATMemory, image,
                                      f.LastDataChunkStart);
      const TImageData& other = streamed.Frames[i]->Image;
      ASSERT_EQ(other.Format, image.Format) << entry.path();
      EXPECT_EQ(PixelBytes(other), PixelBytes(image)) << entry.path();
      ReleaseImage(image);
      ++compared;
    }
  }
  EXPECT_GT(compared, 150);
}

TEST_F(PngTest, OneSelectedImageOfSeveralIsAnApngOfOneFrame) {
  TImageData a = TestSupport::RandomImage(3, 3, fmtGray8, 1);
  TImageData b = TestSupport::RandomImage(3, 3, fmtGray8, 2);
  TImageFileFormat* h = FindHandlerByExtension("png");
  std::vector<uint8_t> buffer(4096);
  int32_t size = int32_t(buffer.size());
  ASSERT_TRUE(h->SaveToMemory(buffer.data(), size, {a, b}, true));
  buffer.resize(size_t(size));
  EXPECT_EQ(ChunkIds(buffer), (std::vector<std::string>{"IHDR", "acTL", "fcTL", "IDAT", "IEND"}));
  EXPECT_EQ(ReadBE(ChunkData(buffer, "acTL"), 0), 1u);
  TDynImageDataArray back = LoadPng(buffer);
  ASSERT_EQ(back.size(), 1u);
  EXPECT_EQ(PixelBytes(back[0]), PixelBytes(a));
  ReleaseImageArray(back);
  ReleaseImage(a);
  ReleaseImage(b);
}

TEST_F(PngTest, LaterFramesTakeTheFirstFramesFormat) {
  TImageData a = TestSupport::RandomImage(4, 4, fmtR16G16B16, 1);
  TImageData b = TestSupport::RandomImage(4, 4, fmtA8R8G8B8, 2);
  auto png = SavePng({a, b});
  auto ihdr = ChunkData(png, "IHDR");
  EXPECT_EQ(ihdr[8], 16);
  EXPECT_EQ(ihdr[9], 2);
  TDynImageDataArray back = LoadPng(png);
  ASSERT_EQ(back.size(), 2u);
  EXPECT_EQ(back[1].Format, fmtR16G16B16);
  TImageData expected;
  ASSERT_TRUE(DuplicateImage(b, expected));
  ASSERT_TRUE(ChangeImageFormat(expected, fmtR16G16B16));
  EXPECT_EQ(PixelBytes(back[1]), PixelBytes(expected));
  ReleaseImage(expected);
  ReleaseImageArray(back);
  ReleaseImage(a);
  ReleaseImage(b);
}
