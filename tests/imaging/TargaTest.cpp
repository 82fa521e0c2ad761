// Truevision Targa handler: registration, run-length packets, exact bytes
// written, the Pillow corpus in every origin, files written by ImageMagick,
// netpbm and Pillow, our files decoded by the peers, and hostile input.
#include <gtest/gtest.h>

#include <algorithm>

#include "BmpTgaHelpers.h"
#include "ImagingTarga.h"

using namespace Imaging;
using namespace BmpTga;
using TestSupport::CorpusDir;
using TestSupport::TempDir;

namespace {

TImageFileFormat* Tga() {
  TestSupport::InitCore();
  return FindHandlerByExtension("tga");
}

std::vector<uint8_t> Header(uint8_t Type, uint16_t Width, uint16_t Height, uint8_t Depth, uint8_t Desc,
                            uint8_t MapType = 0, uint16_t MapLength = 0, uint8_t EntrySize = 0, uint8_t IdLength = 0) {
  std::vector<uint8_t> h = {IdLength, MapType, Type, 0, 0};
  AppendLE(h, MapLength, 2);
  h.push_back(EntrySize);
  AppendLE(h, 0, 4);
  AppendLE(h, Width, 2);
  AppendLE(h, Height, 2);
  h.push_back(Depth);
  h.push_back(Desc);
  return h;
}

std::vector<uint8_t> Concat(std::vector<uint8_t> A, const std::vector<uint8_t>& B) {
  A.insert(A.end(), B.begin(), B.end());
  return A;
}

std::vector<uint8_t> Encode(const std::vector<uint8_t>& Row, int32_t PixelSize) {
  std::vector<uint8_t> out(Row.size() * 2 + 16);
  uint8_t* p = out.data();
  TargaRLE::EncodeRow(Row.data(), int32_t(Row.size()) / PixelSize, PixelSize, p);
  out.resize(size_t(p - out.data()));
  return out;
}

void ExpectLoadFails(const std::vector<uint8_t>& Data, const std::string& Cause) {
  TDynImageDataArray images;
  std::string error = LoadBytes(Tga(), Data, images);
  EXPECT_NE(error.find("Error while loading images from memory"), std::string::npos) << error;
  EXPECT_NE(error.find(Cause), std::string::npos) << error;
  EXPECT_TRUE(images.empty());
}

bool TestFormatOn(const std::vector<uint8_t>& Data) {
  TMemoryIOState state;
  InitMemoryIOState(const_cast<uint8_t*>(Data.data()), int32_t(Data.size()), state);
  UseMemoryIO();
  TIOFunctions io = CurrentIOTable();
  THandle h = io.OpenRead(&state);
  bool result = Tga()->TestFormat(h);
  EXPECT_EQ(io.Tell(h), 0);
  io.Close(h);
  return result;
}

}  // namespace

TEST(Targa, Registration) {
  TImageFileFormat* h = Tga();
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h->Name(), "Truevision Targa Image");
  EXPECT_EQ(h->Extensions(), std::vector<std::string>{"tga"});
  EXPECT_EQ(h->Masks(), std::vector<std::string>{"*.tga"});
  EXPECT_TRUE(h->CanLoad());
  EXPECT_TRUE(h->CanSave());
  EXPECT_FALSE(h->IsMultiImageFormat());
  EXPECT_EQ(GetImagingOption(OptTargaRLE), 0);
  for (TImageFormat f : {fmtIndex8, fmtGray8, fmtA1R5G5B5, fmtR8G8B8, fmtA8R8G8B8})
    EXPECT_TRUE(h->SupportedFormats().Contains(f));
  EXPECT_FALSE(h->SupportedFormats().Contains(fmtX1R5G5B5));
  // Registered after the Bitmap handler.
  int32_t bmp = -1, tga = -1;
  for (int32_t i = 0; i < HandlerCount(); ++i) {
    if (HandlerAtIndex(i) == FindHandlerByExtension("bmp")) bmp = i;
    if (HandlerAtIndex(i) == h) tga = i;
  }
  EXPECT_LT(bmp, tga);
}

TEST(Targa, TestFormat) {
  EXPECT_FALSE(Tga()->TestFormat(nullptr));
  std::vector<uint8_t> h = Header(2, 1, 1, 24, 0);
  EXPECT_TRUE(TestFormatOn(h));
  EXPECT_FALSE(TestFormatOn(std::vector<uint8_t>(h.begin(), h.end() - 1)));
  EXPECT_FALSE(TestFormatOn(Header(4, 1, 1, 24, 0)));
  EXPECT_FALSE(TestFormatOn(Header(2, 1, 1, 12, 0)));
  EXPECT_FALSE(TestFormatOn(Header(1, 1, 1, 8, 0, 1, 2, 8)));
  for (uint8_t type : {0, 1, 2, 3, 9, 10, 11}) EXPECT_TRUE(TestFormatOn(Header(type, 1, 1, 8, 0)));
}

TEST(Targa, RunLengthPackets) {
  const uint8_t A = 1, B = 2, C = 3;
  EXPECT_EQ(Encode({A, A, A, B, C, C}, 1), (std::vector<uint8_t>{0x82, A, 0x00, B, 0x81, C}));
  EXPECT_EQ(Encode({A, B, C}, 1), (std::vector<uint8_t>{0x02, A, B, C}));
  EXPECT_EQ(Encode({A}, 1), (std::vector<uint8_t>{0x00, A}));
  EXPECT_EQ(Encode(std::vector<uint8_t>(200, 7), 1), (std::vector<uint8_t>{0xFF, 7, 0xC7, 7}));
  std::vector<uint8_t> ramp(130);
  for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = uint8_t(i);
  std::vector<uint8_t> got = Encode(ramp, 1);
  ASSERT_EQ(got.size(), size_t(1 + 128 + 1 + 2));
  EXPECT_EQ(got[0], 127);
  EXPECT_EQ(got[129], 1);
  // Three-byte pixels: pixels compare as a whole.
  EXPECT_EQ(Encode({1, 2, 3, 1, 2, 3, 1, 2, 4}, 3), (std::vector<uint8_t>{0x81, 1, 2, 3, 0x00, 1, 2, 4}));

  // Decoding: packets may cross row ends; the count of bytes used is returned.
  std::vector<uint8_t> packets = {0x84, 9, 0x01, 5, 6, 0x80, 1};
  std::vector<uint8_t> out(8, 0xEE);
  EXPECT_EQ(TargaRLE::Decode(packets.data(), int64_t(packets.size()), out.data(), 8, 1), 7);
  EXPECT_EQ(out, (std::vector<uint8_t>{9, 9, 9, 9, 9, 5, 6, 1}));
  // A packet reaching past the image is cut.
  std::vector<uint8_t> two(2);
  EXPECT_EQ(TargaRLE::Decode(packets.data(), 2, two.data(), 2, 1), 2);
  EXPECT_EQ(two, (std::vector<uint8_t>{9, 9}));
  // Data ending early is an error.
  EXPECT_THROW(TargaRLE::Decode(packets.data(), 4, out.data(), 8, 1), EImagingError);
}

TEST(Targa, WrittenBytes) {
  TImageFileFormat* h = Tga();
  struct TCase {
    TImageFormat Format;
    uint8_t Type, RleType, Depth, Desc, MapType;
  };
  const TCase cases[] = {
      {fmtIndex8, 1, 9, 8, 32, 1},   {fmtGray8, 3, 11, 8, 32, 0},    {fmtA1R5G5B5, 2, 10, 16, 33, 0},
      {fmtR8G8B8, 2, 10, 24, 32, 0}, {fmtA8R8G8B8, 2, 10, 32, 40, 0}, {fmtGray16, 3, 11, 8, 32, 0},
      {fmtA8Gray8, 2, 10, 32, 40, 0}, {fmtX1R5G5B5, 2, 10, 16, 33, 0}, {fmtR16G16B16, 2, 10, 24, 32, 0},
  };
  for (const TCase& c : cases) {
    for (int rle : {0, 1}) {
      SetImagingOption(OptTargaRLE, rle);
      TImageData img = TestSupport::RandomImage(3, 2, c.Format, 9);
      // An opaque palette (one with alpha in use gets a 32-bit map, below).
      if (img.Palette)
        for (int i = 0; i < 256; ++i) img.Palette[i].A = 255;
      std::vector<uint8_t> b = SaveBytes(h, img);
      ASSERT_GE(b.size(), 18u);
      EXPECT_EQ(b[0], 0);
      EXPECT_EQ(b[1], c.MapType) << FormatDisplayName(c.Format);
      EXPECT_EQ(b[2], rle ? c.RleType : c.Type) << FormatDisplayName(c.Format);
      EXPECT_EQ(b[5] | (b[6] << 8), c.MapType ? 256 : 0);
      EXPECT_EQ(b[7], c.MapType ? 24 : 0);
      EXPECT_EQ(b[12] | (b[13] << 8), 3);
      EXPECT_EQ(b[14] | (b[15] << 8), 2);
      EXPECT_EQ(b[16], c.Depth) << FormatDisplayName(c.Format);
      EXPECT_EQ(b[17], c.Desc) << FormatDisplayName(c.Format);
      size_t pixels = 18 + (c.MapType ? 768 : 0);
      if (!rle) {
        EXPECT_EQ(b.size(), pixels + size_t(6 * (c.Depth / 8))) << FormatDisplayName(c.Format);
      }
      if (c.Format == fmtIndex8) {
        EXPECT_EQ(b[18 + 3 * 5 + 0], img.Palette[5].B);
        EXPECT_EQ(b[18 + 3 * 5 + 2], img.Palette[5].R);
        if (!rle) {
          EXPECT_EQ(std::memcmp(b.data() + pixels, img.Bits, 6), 0);  // top row first
        }
      }
      if (c.Format == fmtX1R5G5B5 && !rle) {
        for (int i = 0; i < 6; ++i) EXPECT_TRUE(b[pixels + 2 * size_t(i) + 1] & 0x80);
      }
      TDynImageDataArray loaded;
      ASSERT_EQ(LoadBytes(h, b, loaded), "");
      TImageData expected;
      DuplicateImage(img, expected);
      h->ConvertToAccepted(expected, [&] {
        TImageFormatInfo i;
        QueryFormatInfo(expected.Format, i);
        return i;
      }());
      EXPECT_EQ(CompareRgba(ToRgba(loaded[0]), ToRgba(expected), 0, true), "")
          << FormatDisplayName(c.Format);
      ReleaseImage(expected);
      ReleaseImageArray(loaded);
      ReleaseImage(img);
    }
  }
  SetImagingOption(OptTargaRLE, 0);
}

TEST(Targa, OriginsAndFormats) {
  // 2 x 2 24-bit pixels a b / c d stored in the four orders.
  const std::vector<uint8_t> a = {1, 1, 1}, b = {2, 2, 2}, c = {3, 3, 3}, d = {4, 4, 4};
  struct TOrigin {
    uint8_t Desc;
    std::vector<std::vector<uint8_t>> Stored;
  };
  const TOrigin origins[] = {
      {0x00, {c, d, a, b}},  // bottom left
      {0x20, {a, b, c, d}},  // top left
      {0x10, {d, c, b, a}},  // bottom right
      {0x30, {b, a, d, c}},  // top right
  };
  for (const TOrigin& o : origins) {
    std::vector<uint8_t> file = Header(2, 2, 2, 24, o.Desc);
    for (const auto& px : o.Stored) file = Concat(file, px);
    TDynImageDataArray images;
    ASSERT_EQ(LoadBytes(Tga(), file, images), "");
    const auto* p = static_cast<const uint8_t*>(images[0].Bits);
    EXPECT_EQ(std::vector<uint8_t>({p[0], p[3], p[6], p[9]}), (std::vector<uint8_t>{1, 2, 3, 4})) << int(o.Desc);
    ReleaseImageArray(images);
  }

  // 16-bit true colour without bit 15 loads as X1R5G5B5, with it A1R5G5B5.
  TDynImageDataArray images;
  ASSERT_EQ(LoadBytes(Tga(), Concat(Header(2, 2, 1, 16, 0x20), {0x1F, 0x00, 0xE0, 0x03}), images), "");
  EXPECT_EQ(images[0].Format, fmtX1R5G5B5);
  ASSERT_EQ(LoadBytes(Tga(), Concat(Header(2, 2, 1, 16, 0x20), {0x1F, 0x80, 0xE0, 0x03}), images), "");
  EXPECT_EQ(images[0].Format, fmtA1R5G5B5);
  ASSERT_EQ(LoadBytes(Tga(), Concat(Header(2, 2, 1, 15, 0x20), {0x1F, 0x80, 0xE0, 0x03}), images), "");
  EXPECT_EQ(images[0].Format, fmtX1R5G5B5);

  // A true-colour file that carries a colour map: pixels come after the map.
  ASSERT_EQ(LoadBytes(Tga(), Concat(Header(2, 1, 1, 24, 0x20, 1, 2, 24), {9, 9, 9, 8, 8, 8, 1, 2, 3}), images), "");
  EXPECT_EQ(images[0].Format, fmtR8G8B8);
  EXPECT_EQ(static_cast<uint8_t*>(images[0].Bits)[2], 3);

  // Image ID, 16-bit colour map entries (widened to full range, attribute
  // bit as alpha when the descriptor declares one).
  std::vector<uint8_t> file = Header(1, 2, 1, 8, 0x21, 1, 2, 16, 3);
  file = Concat(file, {'a', 'b', 'c', 0x1F, 0x00, 0x00, 0xFC, 0, 1});
  ASSERT_EQ(LoadBytes(Tga(), file, images), "");
  EXPECT_EQ(images[0].Palette[0].Color, 0x000000FFu);  // bit 15 clear: transparent
  EXPECT_EQ(images[0].Palette[1].Color, 0xFFFF0000u);
  // Without attribute bits in the descriptor the map is opaque.
  file[17] = 0x20;
  ASSERT_EQ(LoadBytes(Tga(), file, images), "");
  EXPECT_EQ(images[0].Palette[0].Color, 0xFF0000FFu);
  EXPECT_EQ(images[0].Palette[1].Color, 0xFFFF0000u);
  // A map that never sets the attribute bit is opaque.
  file[17] = 0x21;
  file[18 + 3 + 3] = 0x7C;
  ASSERT_EQ(LoadBytes(Tga(), file, images), "");
  EXPECT_EQ(images[0].Palette[0].Color, 0xFF0000FFu);

  // 16-bit gray files carry alpha.
  ASSERT_EQ(LoadBytes(Tga(), Concat(Header(3, 1, 1, 16, 0x20), {0x40, 0x80}), images), "");
  EXPECT_EQ(images[0].Format, fmtA8Gray8);
  TColor32Rec px = ReadPixel32(images[0], 0, 0);
  EXPECT_EQ(px.R, 0x40);
  EXPECT_EQ(px.A, 0x80);

  // A footer after the pixels is passed over.
  file = Concat(Header(3, 1, 1, 8, 0x20), {7});
  std::vector<uint8_t> footer(8, 0);
  std::string sig = "TRUEVISION-XFILE.";
  footer.insert(footer.end(), sig.begin(), sig.end());
  footer.push_back(0);
  ASSERT_EQ(LoadBytes(Tga(), Concat(file, footer), images), "");
  EXPECT_EQ(static_cast<uint8_t*>(images[0].Bits)[0], 7);
  ReleaseImageArray(images);
}

// Colour maps of every entry size, starting at index 0 or later: pixels
// index the map by absolute entry number, 5-bit fields widen to full range.
// ImageMagick reads every such file and shows the same picture (it widens
// 5-bit Targa fields by x 255 / 31 truncated, at most 1 level below ours).
TEST(Targa, ColourMapEntrySizesAndOrigins) {
  TempDir tmp;
  struct TCase {
    uint8_t EntrySize;
    uint16_t First;
  };
  const TCase cases[] = {{15, 0}, {16, 0}, {24, 0}, {32, 0}, {15, 3}, {16, 200}, {24, 7}, {32, 1}};
  for (const TCase& c : cases) {
    const uint16_t entries = 40;
    // 40 entries: 5-bit fields at every level for the small entries.
    std::vector<uint8_t> map;
    std::vector<TColor32Rec> expected;
    for (uint32_t i = 0; i < entries; ++i) {
      const uint32_t r = (i * 7) & 31, g = (i * 13 + 5) & 31, b = 31 - (i & 31);
      auto widen = [](uint32_t V) { return uint8_t((V << 3) | (V >> 2)); };
      if (c.EntrySize <= 16) {
        AppendLE(map, (r << 10) | (g << 5) | b | (c.EntrySize == 16 ? 0x8000 : 0), 2);
        expected.push_back(Color32(255, widen(r), widen(g), widen(b)));
      } else {
        map.insert(map.end(), {uint8_t(b * 8), uint8_t(g * 8), uint8_t(r * 8)});
        if (c.EntrySize == 32) map.push_back(uint8_t(255 - i));
        expected.push_back(Color32(c.EntrySize == 32 ? uint8_t(255 - i) : 255, uint8_t(r * 8), uint8_t(g * 8),
                                   uint8_t(b * 8)));
      }
    }
    std::vector<uint8_t> file = Header(1, entries, 1, 8, c.EntrySize == 32 ? 0x28 : 0x20, 1, entries, c.EntrySize);
    file[3] = uint8_t(c.First);
    file[4] = uint8_t(c.First >> 8);
    file = Concat(file, map);
    // Entries beyond index 255 cannot be reached by 8-bit pixels.
    const uint32_t reachable = std::min<uint32_t>(entries, 256 - c.First);
    for (uint32_t i = 0; i < entries; ++i) file.push_back(uint8_t(c.First + std::min(i, reachable - 1)));
    const std::string name = tmp.File("map" + std::to_string(c.EntrySize) + "-" + std::to_string(c.First) + ".tga");
    TestSupport::WriteFileBytes(name, file);

    TDynImageDataArray images;
    ASSERT_EQ(LoadBytes(Tga(), file, images), "") << name;
    for (uint32_t i = 0; i < entries; ++i) {
      const TColor32Rec got = ReadPixel32(images[0], int32_t(i), 0);
      EXPECT_EQ(got.Color, expected[std::min(i, reachable - 1)].Color) << name << " pixel " << i;
    }
    ReleaseImageArray(images);
    if (TestSupport::HaveProgram("convert")) {
      EXPECT_EQ(CompareRgba(OwnDecode(Tga(), name), MagickDecode(name, "-auto-orient"), c.EntrySize <= 16 ? 1 : 0,
                            c.EntrySize == 32),
                "")
          << name;
    }
  }
}

// 15 and 16-bit true-colour pixels: as ImageMagick shows them, within its
// truncation.
TEST(Targa, SixteenBitPixelsMatchImageMagick) {
  REQUIRE_PROGRAM("convert");
  TempDir tmp;
  for (uint8_t depth : {15, 16}) {
    std::vector<uint8_t> file = Header(2, 256, 2, depth, 0x20);
    for (uint32_t v = 0; v < 512; ++v) AppendLE(file, (v * 0x3F1Du) & 0x7FFF, 2);
    const std::string name = tmp.File("rgb" + std::to_string(depth) + ".tga");
    TestSupport::WriteFileBytes(name, file);
    EXPECT_EQ(CompareRgba(OwnDecode(Tga(), name), MagickDecode(name, "-auto-orient"), 1, false), "") << name;
  }
}

// A palette image with transparency (a PNG with tRNS, made by ImageMagick)
// keeps its alpha in 32-bit colour map entries; an opaque one keeps 24-bit
// entries.
TEST(Targa, PaletteTransparencySurvivesSaving) {
  TestSupport::InitCore();  // options are set before the first handler call
  REQUIRE_PROGRAM("convert");
  TempDir tmp;
  const std::string png = tmp.File("palette-alpha.png");
  ASSERT_EQ(TestSupport::RunCommand("convert -size 16x4 gradient:red-blue -alpha set -channel A -fx 'i/15' +channel "
                                    "-type PaletteAlpha 'png8:" + png + "'"),
            0);
  TImageData source;
  ASSERT_TRUE(ReadImageFile(png, source));
  ASSERT_EQ(source.Format, fmtIndex8);
  const std::string tga = tmp.File("palette-alpha.tga");
  ASSERT_TRUE(WriteImageFile(tga, source));
  std::vector<uint8_t> bytes = TestSupport::ReadFileBytes(tga);
  ASSERT_GE(bytes.size(), 18u + 1024 + 64);
  EXPECT_EQ(bytes[1], 1);
  EXPECT_EQ(bytes[2], 1);
  EXPECT_EQ(bytes[7], 32);
  EXPECT_EQ(bytes[17], 0x28);
  TRgbaImage png8 = MagickDecode(png);
  EXPECT_EQ(CompareRgba(OwnDecode(Tga(), tga), png8, 0, true), "");
  EXPECT_EQ(CompareRgba(MagickDecode(tga, "-auto-orient"), png8, 0, true), "");

  for (int i = 0; i < 256; ++i) source.Palette[i].A = 255;
  ASSERT_TRUE(WriteImageFile(tga, source));
  bytes = TestSupport::ReadFileBytes(tga);
  EXPECT_EQ(bytes[7], 24);
  EXPECT_EQ(bytes[17], 0x20);
  EXPECT_EQ(bytes.size(), 18u + 768 + 64);
  ReleaseImage(source);
}

TEST(Targa, HostileInput) {
  // Worst-case run-length data: every pixel its own one-pixel packet.
  const int W = 100, H = 100;
  std::vector<uint8_t> file = Header(11, W, H, 8, 0x20);
  for (int i = 0; i < W * H; ++i) file = Concat(file, {0x00, uint8_t(i * 7)});
  TDynImageDataArray images;
  ASSERT_EQ(LoadBytes(Tga(), file, images), "");
  const auto* p = static_cast<const uint8_t*>(images[0].Bits);
  for (int i = 0; i < W * H; ++i) ASSERT_EQ(p[i], uint8_t(i * 7)) << i;
  // The same for 32-bit pixels.
  file = Header(10, 50, 50, 32, 0x28);
  for (int i = 0; i < 2500; ++i) file = Concat(file, {0x00, uint8_t(i), uint8_t(i >> 8), 1, 0xFF});
  ASSERT_EQ(LoadBytes(Tga(), file, images), "");
  EXPECT_EQ(ReadPixel32(images[0], 49, 49).Color, 0xFF0109C3u);
  ReleaseImageArray(images);

  // Truncated data, raw or run-length, fails.
  file = Concat(Header(3, 4, 4, 8, 0x20), std::vector<uint8_t>(15, 1));
  ExpectLoadFails(file, "pixel data is truncated");
  file = Concat(Header(11, 4, 4, 8, 0x20), {0x8E, 1});  // 15 of 16 pixels
  ExpectLoadFails(file, "run-length data ends");
  file = Concat(Header(11, 4, 4, 8, 0x20), {0x0F, 1, 2, 3});
  ExpectLoadFails(file, "truncated");

  // Sizes refused before allocating: beyond the 32-bit size, and far beyond
  // what the data could describe.
  ExpectLoadFails(Concat(Header(2, 65535, 65535, 32, 0), {0, 0, 0, 0}), "too large");
  ExpectLoadFails(Concat(Header(3, 40000, 40000, 8, 0), {0, 0, 0, 0}), "pixel data is truncated");
  ExpectLoadFails(Concat(Header(11, 40000, 40000, 8, 0), {0xFF, 0, 0xFF, 0}), "run-length data is truncated");
  ExpectLoadFails(Concat(Header(1, 4, 4, 8, 0, 1, 60000, 32), std::vector<uint8_t>(100, 0)), "colour map is truncated");

  // Headers that name no image.
  ExpectLoadFails(Header(0, 1, 1, 8, 0), "no image data");
  ExpectLoadFails(Concat(Header(1, 1, 1, 16, 0), {0, 0}), "Unsupported Targa image type 1 with pixel depth 16");
  ExpectLoadFails(Concat(Header(3, 1, 1, 24, 0), {0, 0, 0}), "Unsupported Targa image type 3 with pixel depth 24");
  ExpectLoadFails(Concat(Header(2, 0, 1, 24, 0), {0, 0, 0}), "dimensions");

  // Every prefix of a valid file fails cleanly.
  file = Concat(Header(10, 3, 3, 24, 0, 0, 0, 0, 2), {'i', 'd', 0x88, 1, 2, 3});
  ASSERT_EQ(LoadBytes(Tga(), file, images), "");
  ReleaseImageArray(images);
  for (size_t n = 0; n < file.size(); ++n) {
    std::string error = LoadBytes(Tga(), std::vector<uint8_t>(file.begin(), file.begin() + n), images);
    EXPECT_FALSE(error.empty()) << n;
  }
}

// ---------------------------------------------------------------------------
// Corpus
// ---------------------------------------------------------------------------

TEST(Targa, CorpusMatchesReferences) {
  if (!TestSupport::HavePillow()) GTEST_SKIP() << "Pillow is not installed";
  TempDir tmp;
  fs::path dir = CorpusDir() / "pillow/tga";
  // common/: each TGA against the PNG of the same picture.
  std::vector<std::string> tgas, refs;
  for (const std::string& f : FilesIn(dir / "common", ".tga")) {
    std::string stem = fs::path(f).stem().string();
    std::string base = stem.substr(0, stem.find('_', stem.find('_') + 1));  // "200x32_rgba"
    tgas.push_back(f);
    refs.push_back((dir / "common" / (base + ".png")).string());
  }
  ASSERT_EQ(tgas.size(), 24u);
  // The other files against Pillow's decode of the file itself.
  for (const std::string& f : FilesIn(dir, ".tga")) {
    tgas.push_back(f);
    refs.push_back(f);
  }
  std::vector<TRgbaImage> peers = PillowDecode(refs, tmp);
  for (size_t i = 0; i < tgas.size(); ++i) {
    ASSERT_TRUE(peers[i].Ok) << refs[i];
    TImageFormat format = fmtNone;
    TRgbaImage own = OwnDecode(Tga(), tgas[i], &format);
    ASSERT_TRUE(own.Ok) << tgas[i] << ": " << own.Error;
    bool is16 = format == fmtA1R5G5B5 || format == fmtX1R5G5B5;
    // 16-bit colours (pixels, or the entries of p_16.tga's colour map) are
    // widened by shifting here and by bit replication in Pillow, which also
    // reads them without their attribute bit.
    bool map16 = fs::path(tgas[i]).filename() == "p_16.tga";
    EXPECT_EQ(CompareRgba(own, peers[i], is16 ? 2 : 0, PillowHasAlpha(peers[i]) && !is16, is16 || map16 ? 5 : 8), "")
        << tgas[i];
  }
}

TEST(Targa, CorpusBadFilesFail) {
  std::vector<std::string> files = FilesIn(CorpusDir() / "pillow/tga/bad", ".tga");
  ASSERT_EQ(files.size(), 2u);
  for (const std::string& f : files) {
    TRgbaImage own = OwnDecode(Tga(), f);
    EXPECT_FALSE(own.Ok) << f;
    EXPECT_EQ(own.Error.rfind(LoadingMessage(f, "tga"), 0), 0u) << own.Error;
  }
}

// ---------------------------------------------------------------------------
// Interoperability
// ---------------------------------------------------------------------------

namespace {

// A PAM source with smooth and noisy areas and graded transparency.
std::string MakeSource(const TempDir& Tmp, int W, int H) {
  TImageData img = TestSupport::RandomImage(W, H, fmtA8R8G8B8, 78);
  auto* p = static_cast<uint8_t*>(img.Bits);
  for (int y = 0; y < H / 2; ++y)
    for (int x = 0; x < W; ++x) {
      uint8_t* q = p + (size_t(y) * W + x) * 4;
      q[0] = uint8_t(x * 4);
      q[1] = uint8_t(y * 8);
      q[2] = uint8_t(x < W / 3 ? 200 : 30);
      q[3] = x < W / 4 ? 0 : (x < W / 2 ? 128 : 255);
    }
  std::string pam = Tmp.File("source.pam");
  std::string header = "P7\nWIDTH " + std::to_string(W) + "\nHEIGHT " + std::to_string(H) +
                       "\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n";
  std::vector<uint8_t> data(header.begin(), header.end());
  for (int i = 0; i < W * H; ++i) data.insert(data.end(), {p[i * 4 + 2], p[i * 4 + 1], p[i * 4], p[i * 4 + 3]});
  TestSupport::WriteFileBytes(pam, data);
  ReleaseImage(img);
  return pam;
}

}  // namespace

TEST(Targa, ReadsPeerVariants) {
  REQUIRE_PROGRAM("convert");
  REQUIRE_PROGRAM("ppmtotga");
  if (!TestSupport::HavePillow()) GTEST_SKIP() << "Pillow is not installed";
  TempDir tmp;
  std::string src = MakeSource(tmp, 41, 19);
  std::vector<std::string> files;
  // ImageMagick.
  for (std::string type : {"TrueColor", "TrueColorAlpha", "Grayscale", "Palette"})
    for (std::string compress : {"None", "RLE"}) {
      std::string out = tmp.File("im_" + type + "_" + compress + ".tga");
      std::string alpha = type == "TrueColorAlpha" ? "" : "-alpha off ";
      std::string colors = type == "Palette" ? "-colors 100 " : "";
      ASSERT_EQ(TestSupport::RunCommand("convert '" + src + "' " + alpha + colors + "-type " + type + " -compress " +
                                        compress + " 'TGA:" + out + "' 2>/dev/null"),
                0)
          << out;
      files.push_back(out);
    }
  // netpbm.
  ASSERT_EQ(TestSupport::RunCommand("pamtopnm '" + src + "' > '" + tmp.File("src.ppm") + "' 2>/dev/null"), 0);
  ASSERT_EQ(TestSupport::RunCommand("pnmquant 50 '" + tmp.File("src.ppm") + "' > '" + tmp.File("q.ppm") + "' 2>/dev/null"), 0);
  ASSERT_EQ(TestSupport::RunCommand("ppmtopgm '" + tmp.File("src.ppm") + "' > '" + tmp.File("g.pgm") + "' 2>/dev/null"), 0);
  for (std::string args : {"-rgb -norle", "-rgb", "-cmap -norle", "-cmap", "-mono -norle", "-mono"}) {
    std::string name = args;
    std::replace(name.begin(), name.end(), ' ', '_');
    std::string input = args.find("-cmap") == 0 ? tmp.File("q.ppm") : (args.find("-mono") == 0 ? tmp.File("g.pgm") : tmp.File("src.ppm"));
    std::string out = tmp.File("netpbm" + name + ".tga");
    ASSERT_EQ(TestSupport::RunCommand("ppmtotga " + args + " '" + input + "' > '" + out + "' 2>/dev/null"), 0) << args;
    files.push_back(out);
  }
  // Pillow: each mode, raw and RLE, both origins.
  std::string script = tmp.File("w.py");
  std::string s =
      "import sys\nfrom PIL import Image\nim=Image.open(sys.argv[1]).convert('RGBA')\n"
      "for m in ['L','LA','P','RGB','RGBA']:\n"
      "  c = im.convert(m) if m!='P' else im.convert('RGB').quantize(60)\n"
      "  for comp in [None,'tga_rle']:\n"
      "    for o in [-1,1]:\n"
      "      c.save('%s/pillow_%s_%s_%d.tga'%(sys.argv[2],m,comp,o), compression=comp, orientation=o)\n";
  TestSupport::WriteFileBytes(script, std::vector<uint8_t>(s.begin(), s.end()));
  std::string png = tmp.File("source.png");
  ASSERT_EQ(TestSupport::RunCommand("convert '" + src + "' '" + png + "' 2>/dev/null"), 0);
  ASSERT_EQ(TestSupport::RunCommand(TestSupport::PillowPython() + " '" + script + "' '" + png + "' '" +
                                    tmp.Path().string() + "'"),
            0);
  for (const std::string& f : FilesIn(tmp.Path(), ".tga"))
    if (fs::path(f).filename().string().rfind("pillow_", 0) == 0) files.push_back(f);
  ASSERT_GT(files.size(), 30u);

  // 15 and 16-bit true colour and 16 / 32-bit colour maps, assembled here
  // from random bytes and decoded by Pillow.
  auto random = [](size_t n, uint32_t seed) {
    std::vector<uint8_t> v(n);
    for (auto& b : v) b = uint8_t((seed = seed * 1103515245 + 12345) >> 16);
    return v;
  };
  TestSupport::WriteFileBytes(tmp.File("own_15.tga"), Concat(Header(2, 9, 5, 15, 0), random(90, 1)));
  TestSupport::WriteFileBytes(tmp.File("own_16rle.tga"),
                              Concat(Header(10, 4, 2, 16, 0x20), {0x83, 0x12, 0x34, 0x03, 1, 2, 3, 4, 5, 6, 7, 8}));
  std::vector<uint8_t> map16 = random(512, 2);
  for (size_t i = 1; i < map16.size(); i += 2) map16[i] &= 0x7F;  // attribute bit unused
  TestSupport::WriteFileBytes(tmp.File("own_map16.tga"), Concat(Concat(Header(1, 8, 4, 8, 0, 1, 256, 16), map16), random(32, 3)));
  TestSupport::WriteFileBytes(tmp.File("own_map32.tga"),
                              Concat(Concat(Header(9, 8, 4, 8, 0x20, 1, 256, 32), random(1024, 4)),
                                     {0x9F, 5, 0x8F, 200}));
  for (const char* f : {"own_15.tga", "own_16rle.tga", "own_map16.tga", "own_map32.tga"}) files.push_back(tmp.File(f));

  std::vector<TRgbaImage> pillow = PillowDecode(files, tmp);
  for (size_t i = 0; i < files.size(); ++i) {
    TImageFormat format = fmtNone;
    TRgbaImage own = OwnDecode(Tga(), files[i], &format);
    ASSERT_TRUE(own.Ok) << files[i] << ": " << own.Error;
    TRgbaImage expected = pillow[i];
    bool fromMagick = fs::path(files[i]).filename().string().rfind("im_", 0) == 0;
    // Pillow reads no 15-bit files.
    if (fromMagick || !expected.Ok) expected = MagickDecode(files[i], "-auto-orient");
    bool is16 = format == fmtA1R5G5B5 || format == fmtX1R5G5B5;
    bool map16 = files[i].find("map16") != std::string::npos;
    bool alpha = PillowHasAlpha(expected) && !is16 && files[i].find("map32") == std::string::npos;
    EXPECT_EQ(CompareRgba(own, expected, is16 ? 2 : 0, alpha, is16 || map16 ? 5 : 8), "")
        << files[i] << " (" << FormatDisplayName(format) << ")";
  }
}

TEST(Targa, PeersDecodeWhatWeWrite) {
  REQUIRE_PROGRAM("convert");
  if (!TestSupport::HavePillow()) GTEST_SKIP() << "Pillow is not installed";
  TempDir tmp;
  struct TCase {
    TImageFormat Format;
    bool Alpha;  // alpha reaches the peers
  };
  const TCase cases[] = {
      {fmtIndex8, false},    {fmtGray8, false},     {fmtA1R5G5B5, false},  {fmtR8G8B8, false},
      {fmtA8R8G8B8, true},   {fmtX1R5G5B5, false},  {fmtGray16, false},    {fmtA8Gray8, true},
      {fmtR16G16B16, false}, {fmtA16R16G16B16, true}, {fmtX8R8G8B8, false}, {fmtR5G6B5, false},
      {fmtA32R32G32B32F, true},
  };
  std::vector<std::string> files;
  std::vector<TRgbaImage> expected;
  std::vector<bool> alpha;
  for (int rle : {0, 1}) {
    SetImagingOption(OptTargaRLE, rle);
    for (const TCase& c : cases) {
      TImageData img = TestSupport::RandomImage(131, 7, c.Format, uint32_t(c.Format) * 3 + uint32_t(rle));
      // An opaque palette: the 24-bit colour map every peer reads.
      if (img.Palette)
        for (int i = 0; i < 256; ++i) img.Palette[i].A = 255;
      // Runs longer than one packet and across the row end.
      TImageFormatInfo info;
      QueryFormatInfo(img.Format, info);
      auto* p = static_cast<uint8_t*>(img.Bits);
      for (int i = 0; i < 200; ++i) std::memcpy(p + (100 + i) * info.BytesPerPixel, p, size_t(info.BytesPerPixel));
      std::string out = tmp.File(FormatDisplayName(c.Format) + (rle ? "_rle" : "") + ".tga");
      ASSERT_TRUE(WriteImageFile(out, img)) << out;
      expected.push_back(OwnDecode(Tga(), out));
      files.push_back(out);
      alpha.push_back(c.Alpha);
      ReleaseImage(img);
    }
  }
  SetImagingOption(OptTargaRLE, 0);
  std::vector<TRgbaImage> pillow = PillowDecode(files, tmp);
  for (size_t i = 0; i < files.size(); ++i) {
    ASSERT_TRUE(expected[i].Ok) << files[i];
    bool is16 = files[i].find("R5G") != std::string::npos;
    EXPECT_EQ(CompareRgba(pillow[i], expected[i], is16 ? 2 : 0, alpha[i], is16 ? 5 : 8), "") << "Pillow: " << files[i];
    EXPECT_EQ(CompareRgba(MagickDecode(files[i], "-auto-orient"), expected[i], is16 ? 2 : 0, alpha[i], is16 ? 5 : 8), "")
        << "ImageMagick: " << files[i];
  }
}
