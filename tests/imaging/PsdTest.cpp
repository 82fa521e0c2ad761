// Photoshop handler: registration, the merged image in every mode, depth and
// channel count, PackBits rows, exact files written with and without the
// layer section, truncated and hostile files, the Pillow corpus and files
// exchanged with ImageMagick and Pillow in both directions.
#include <gtest/gtest.h>

#include <random>
#include <tuple>

#include "BmpTgaHelpers.h"
#include "ImagingPsd.h"

using namespace Imaging;
using namespace BmpTga;
using TestSupport::CorpusDir;
using TestSupport::TempDir;

namespace {

TImageFileFormat* Psd() {
  TestSupport::InitCore();
  return FindHandlerByExtension("psd");
}

void Append16(std::vector<uint8_t>& B, uint32_t V) { B.insert(B.end(), {uint8_t(V >> 8), uint8_t(V)}); }
void Append32(std::vector<uint8_t>& B, uint32_t V) {
  B.insert(B.end(), {uint8_t(V >> 24), uint8_t(V >> 16), uint8_t(V >> 8), uint8_t(V)});
}
uint32_t Get16(const std::vector<uint8_t>& B, size_t O) { return uint32_t(B[O] << 8 | B[O + 1]); }
uint32_t Get32(const std::vector<uint8_t>& B, size_t O) {
  return uint32_t(B[O]) << 24 | uint32_t(B[O + 1]) << 16 | uint32_t(B[O + 2]) << 8 | B[O + 3];
}

// A file with empty sections (colour mode data as given) and the merged
// data Data after the compression code.
std::vector<uint8_t> MakePsd(int Channels, int Width, int Height, int Depth, int Mode, int Compression,
                             const std::vector<uint8_t>& Data, const std::vector<uint8_t>& ModeData = {}) {
  std::vector<uint8_t> f = {'8', 'B', 'P', 'S', 0, 1, 0, 0, 0, 0, 0, 0};
  Append16(f, uint32_t(Channels));
  Append32(f, uint32_t(Height));
  Append32(f, uint32_t(Width));
  Append16(f, uint32_t(Depth));
  Append16(f, uint32_t(Mode));
  Append32(f, uint32_t(ModeData.size()));
  f.insert(f.end(), ModeData.begin(), ModeData.end());
  Append32(f, 0);
  Append32(f, 0);
  Append16(f, uint32_t(Compression));
  f.insert(f.end(), Data.begin(), Data.end());
  return f;
}

std::vector<uint8_t> Bytes(const TImageData& Image) {
  auto* p = static_cast<const uint8_t*>(Image.Bits);
  return std::vector<uint8_t>(p, p + Image.Size);
}

std::vector<uint8_t> Pack(const std::vector<uint8_t>& Row) {
  std::vector<uint8_t> out(Row.size() * 3 + 3);
  out.resize(size_t(PSDPackBits::Encode(Row.data(), int64_t(Row.size()), out.data())));
  return out;
}

std::vector<uint8_t> Unpack(const std::vector<uint8_t>& Packed, size_t Size) {
  std::vector<uint8_t> out(Size, 0xEE);
  out.resize(size_t(PSDPackBits::Decode(Packed.data(), int64_t(Packed.size()), out.data(), int64_t(Size))));
  return out;
}

// ImageMagick's decode of the merged image as stored: by default it takes
// the colours of transparent images as blended with white and unblends them.
TRgbaImage MagickPsd(const std::string& File, const std::string& Options = "") {
  TRgbaImage r;
  std::string dims, raw;
  const std::string input = "-define psd:alpha-unblend=false '" + File + "[0]'";
  if (TestSupport::RunCommand("identify -format '%w %h' " + input + " 2>/dev/null", &dims) != 0) return r;
  std::istringstream is(dims);
  if (!(is >> r.Width >> r.Height)) return r;
  if (TestSupport::RunCommand("convert " + input + " " + Options + " -depth 8 rgba:- 2>/dev/null", &raw) != 0) return r;
  r.Rgba.assign(raw.begin(), raw.end());
  r.Ok = r.Rgba.size() == size_t(r.Width) * r.Height * 4;
  return r;
}

struct TImages {
  TDynImageDataArray List;
  ~TImages() { ReleaseImageArray(List); }
};

struct TLayerOption {
  explicit TLayerOption(int32_t Value) {
    Psd();
    SetImagingOption(OptPsdSaveAsLayer, Value);
  }
  ~TLayerOption() { SetImagingOption(OptPsdSaveAsLayer, -1); }
};

}  // namespace

TEST(Psd, RegistrationAndContentTest) {
  TImageFileFormat* h = Psd();
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h->Name(), "Photoshop Image");
  EXPECT_EQ(h->Masks(), (std::vector<std::string>{"*.psd", "*.pdd"}));
  EXPECT_TRUE(h->CanLoad() && h->CanSave());
  EXPECT_FALSE(h->IsMultiImageFormat());
  EXPECT_EQ(GetImagingOption(OptPsdSaveAsLayer), -1);
  auto test = [&](std::vector<uint8_t> f) {
    TMemoryIOState state;
    InitMemoryIOState(f.data(), int32_t(f.size()), state);
    UseMemoryIO();
    TIOFunctions io = CurrentIOTable();
    THandle handle = io.OpenRead(&state);
    bool r = h->TestFormat(handle);
    EXPECT_EQ(io.Tell(handle), 0);
    io.Close(handle);
    return r;
  };
  std::vector<uint8_t> good = MakePsd(1, 1, 1, 8, 1, 0, {7});
  EXPECT_TRUE(test(good));
  EXPECT_FALSE(test(std::vector<uint8_t>(good.begin(), good.begin() + 25)));
  good[5] = 2;  // version 2 (large documents)
  EXPECT_FALSE(test(good));
  good[5] = 1;
  good[0] = '9';
  EXPECT_FALSE(test(good));
}

TEST(Psd, PackBitsRows) {
  struct {
    std::vector<uint8_t> Row, Packed;
  } cases[] = {
      {{5}, {0, 5}},
      {{1, 2}, {0, 1, 0, 2}},  // the last byte is never part of a longer literal
      {{1, 2, 3}, {1, 1, 2, 0, 3}},
      {{7, 7, 1}, {1, 7, 7, 0, 1}},  // two equal bytes stay literal
      {{7, 7, 7}, {0xFE, 7}},
      {{1, 9, 9, 9, 2}, {0, 1, 0xFE, 9, 0, 2}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Pack(c.Row), c.Packed);
    EXPECT_EQ(Unpack(c.Packed, c.Row.size()), c.Row);
  }
  // 129 equal bytes: a 128-byte repeat and a one-byte literal.
  std::vector<uint8_t> run(129, 4);
  EXPECT_EQ(Pack(run), (std::vector<uint8_t>{0x81, 4, 0, 4}));
  // 300 different bytes: literals of at most 128.
  std::vector<uint8_t> ramp(300);
  for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = uint8_t(i * 37 + i / 256);
  std::vector<uint8_t> packed = Pack(ramp);
  EXPECT_EQ(packed[0], 127);
  EXPECT_EQ(packed[129], 127);
  EXPECT_EQ(Unpack(packed, ramp.size()), ramp);
  // Decoding: -128 is skipped, output and input are both limits.
  EXPECT_EQ(Unpack({0x80, 0xFD, 3, 0x80, 1, 8, 9}, 10), (std::vector<uint8_t>{3, 3, 3, 3, 8, 9}));
  EXPECT_EQ(Unpack({0xF0, 6}, 3), (std::vector<uint8_t>{6, 6, 6}));
  EXPECT_EQ(Unpack({5, 1, 2}, 10), (std::vector<uint8_t>{1, 2}));
  EXPECT_EQ(Unpack({0xFE}, 10), (std::vector<uint8_t>{}));
  // Random rows survive the round trip and pack exactly as the plain
  // byte-by-byte rule does.
  auto reference = [](const std::vector<uint8_t>& Row) {
    std::vector<uint8_t> out;
    size_t i = 0;
    while (i < Row.size()) {
      const size_t left = Row.size() - i;
      size_t run = 1;
      while (run < left && run < 128 && Row[i + run] == Row[i]) ++run;
      if (run >= 3) {
        out.insert(out.end(), {uint8_t(1 - int(run)), Row[i]});
        i += run;
        continue;
      }
      size_t n = 0;
      while (n < 128 && n < left) {
        if (n + 2 < left && Row[i + n] == Row[i + n + 1] && Row[i + n] == Row[i + n + 2]) break;
        if (n == left - 1 && n > 0) break;
        ++n;
      }
      out.push_back(uint8_t(n - 1));
      out.insert(out.end(), Row.begin() + long(i), Row.begin() + long(i + n));
      i += n;
    }
    return out;
  };
  std::mt19937 rng(5);
  for (int n = 0; n < 600; ++n) {
    std::vector<uint8_t> row(size_t(rng() % 700 + 1));
    const uint32_t spread = n % 3 == 0 ? 3 : (n % 3 == 1 ? 16 : 256);
    for (auto& b : row) b = uint8_t(rng() % spread);
    EXPECT_EQ(Pack(row), reference(row));
    EXPECT_EQ(Unpack(Pack(row), row.size()), row);
  }
}

TEST(Psd, MergedImageInEveryLayout) {
  std::vector<uint8_t> ramp768(768);
  for (int i = 0; i < 768; ++i) ramp768[size_t(i)] = uint8_t(i * 3);
  const float one = 1.0f, half = 0.5f;
  auto be = [](float F) {
    uint32_t v;
    std::memcpy(&v, &F, 4);
    return std::vector<uint8_t>{uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
  };
  std::vector<uint8_t> rgb32;
  for (float v : {half, one, 0.25f}) {
    auto b = be(v);
    rgb32.insert(rgb32.end(), b.begin(), b.end());
  }
  std::vector<uint8_t> rgba32 = rgb32;
  auto quarter = be(0.75f);
  rgba32.insert(rgba32.end(), quarter.begin(), quarter.end());
  struct {
    const char* Name;
    int Channels, Width, Height, Depth, Mode, Compression;
    std::vector<uint8_t> Data, ModeData;
    TImageFormat Format;
    std::vector<uint8_t> Pixels;
  } cases[] = {
      {"gray", 1, 2, 1, 8, 1, 0, {10, 20}, {}, fmtGray8, {10, 20}},
      {"duotone", 1, 2, 1, 8, 8, 0, {10, 20}, {1, 2, 3}, fmtGray8, {10, 20}},
      {"gray with alpha", 2, 2, 1, 8, 1, 0, {10, 20, 30, 40}, {}, fmtA8Gray8, {10, 30, 20, 40}},
      {"gray, three channels", 3, 1, 1, 8, 1, 0, {10, 30, 99}, {}, fmtA8Gray8, {10, 30}},
      {"gray 16", 1, 2, 1, 16, 1, 0, {1, 2, 3, 4}, {}, fmtGray16, {2, 1, 4, 3}},
      {"gray 16 with alpha", 2, 1, 1, 16, 1, 0, {1, 2, 3, 4}, {}, fmtA16Gray16, {2, 1, 4, 3}},
      {"gray 32", 1, 1, 1, 32, 1, 0, be(half), {}, fmtR32F, {0, 0, 0, 0x3F}},
      {"rgb", 3, 2, 1, 8, 3, 0, {1, 2, 3, 4, 5, 6}, {}, fmtR8G8B8, {5, 3, 1, 6, 4, 2}},
      {"rgba", 4, 1, 1, 8, 3, 0, {1, 2, 3, 4}, {}, fmtA8R8G8B8, {3, 2, 1, 4}},
      {"rgb, five channels", 5, 1, 1, 8, 3, 0, {1, 2, 3, 4, 5}, {}, fmtA8R8G8B8, {3, 2, 1, 4}},
      {"rgb 16", 3, 1, 1, 16, 3, 0, {1, 2, 3, 4, 5, 6}, {}, fmtR16G16B16, {6, 5, 4, 3, 2, 1}},
      {"rgba 16", 4, 1, 1, 16, 3, 0, {1, 2, 3, 4, 5, 6, 7, 8}, {}, fmtA16R16G16B16, {6, 5, 4, 3, 2, 1, 8, 7}},
      {"lab as it is", 3, 1, 1, 8, 9, 0, {1, 2, 3}, {}, fmtR8G8B8, {3, 2, 1}},
      {"multichannel", 4, 1, 1, 8, 7, 0, {1, 2, 3, 4}, {}, fmtA8R8G8B8, {3, 2, 1, 4}},
      {"compression code 2 is raw", 3, 1, 1, 8, 3, 2, {1, 2, 3}, {}, fmtR8G8B8, {3, 2, 1}},
      // C, M, Y, K stored as inverted ink: 255 - 200 = 55 cyan and so on.
      {"cmyk", 4, 1, 1, 8, 4, 0, {200, 255, 0, 255}, {}, fmtA8R8G8B8, {0, 255, 200, 255}},
      {"cmyk with black", 5, 1, 1, 8, 4, 0, {255, 255, 255, 155, 7}, {}, fmtA8R8G8B8, {155, 155, 155, 255}},
      {"cmyk 16", 4, 1, 1, 16, 4, 0, {0xFF, 0xFF, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}, {}, fmtA16R16G16B16,
       {0xFF, 0xFF, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}},
  };
  for (const auto& c : cases) {
    TImages images;
    ASSERT_EQ(LoadBytes(Psd(), MakePsd(c.Channels, c.Width, c.Height, c.Depth, c.Mode, c.Compression, c.Data,
                                       c.ModeData),
                        images.List),
              "")
        << c.Name;
    ASSERT_EQ(images.List.size(), 1u);
    EXPECT_EQ(images.List[0].Format, c.Format) << c.Name;
    EXPECT_EQ(Bytes(images.List[0]), c.Pixels) << c.Name;
  }
  // 32-bit RGB: float samples, alpha 1.0 with three channels, the fourth
  // channel otherwise.
  for (const auto& data : {rgb32, rgba32}) {
    TImages images;
    ASSERT_EQ(LoadBytes(Psd(), MakePsd(int(data.size() / 4), 1, 1, 32, 3, 0, data), images.List), "");
    ASSERT_EQ(images.List[0].Format, fmtA32R32G32B32F);
    const float* p = static_cast<const float*>(images.List[0].Bits);
    EXPECT_EQ(p[2], half);
    EXPECT_EQ(p[1], one);
    EXPECT_EQ(p[0], 0.25f);
    EXPECT_EQ(p[3], data.size() == 12 ? 1.0f : 0.75f);
  }
  // Indexed: 768 bytes of planar palette whatever else the section holds.
  std::vector<uint8_t> modeData = ramp768;
  modeData.insert(modeData.end(), {9, 9, 9});
  TImages images;
  ASSERT_EQ(LoadBytes(Psd(), MakePsd(2, 2, 1, 8, 2, 0, {3, 255, 7, 7}, modeData), images.List), "");
  EXPECT_EQ(images.List[0].Format, fmtIndex8);
  EXPECT_EQ(Bytes(images.List[0]), (std::vector<uint8_t>{3, 255}));
  EXPECT_EQ(images.List[0].Palette[3].Color, Color32(255, 9, uint8_t(259 * 3), uint8_t(515 * 3)).Color);
  // Layouts no reader knows are not loaded.
  for (auto [channels, depth, mode] : {std::tuple{1, 1, 0}, {1, 8, 0}, {3, 8, 5}, {3, 8, 6}, {3, 8, 10}, {2, 8, 3},
                                       {1, 16, 2}, {2, 32, 1}, {3, 24, 3}, {0, 8, 1}}) {
    TImages none;
    EXPECT_EQ(LoadBytes(Psd(), MakePsd(channels, 1, 1, depth, mode, 0, std::vector<uint8_t>(64, 1)), none.List),
              "load returned false")
        << channels << " " << depth << " " << mode;
  }
}

TEST(Psd, PackBitsMergedData) {
  // 3 x 2 RGB: byte count table, then rows channel by channel; a row that
  // unpacks short is padded with zeros, not with the row before.
  std::vector<uint8_t> data;
  for (int n : {2, 2, 2, 2, 4, 2}) Append16(data, uint32_t(n));
  std::vector<std::vector<uint8_t>> rows = {{0xFE, 10}, {0xFE, 11}, {0xFE, 20}, {0x80, 0x80}, {2, 1, 2, 3}, {0, 5}};
  // (Every row is long enough to be whole; "-128" packets unpack nothing.)
  for (const auto& r : rows) data.insert(data.end(), r.begin(), r.end());
  TImages images;
  ASSERT_EQ(LoadBytes(Psd(), MakePsd(3, 3, 2, 8, 3, 1, data), images.List), "");
  EXPECT_EQ(Bytes(images.List[0]), (std::vector<uint8_t>{1, 20, 10, 2, 20, 10, 3, 20, 10,  //
                                                          5, 0, 11, 0, 0, 11, 0, 0, 11}));
}

TEST(Psd, TruncatedAndHostileFilesFailCleanly) {
  std::vector<uint8_t> rle;
  for (int i = 0; i < 3; ++i) Append16(rle, 2);
  rle.insert(rle.end(), {0xFE, 1, 0xFE, 2, 0xFE, 3});
  const std::vector<uint8_t> good = MakePsd(3, 3, 1, 8, 3, 1, rle);
  TImages check;
  ASSERT_EQ(LoadBytes(Psd(), good, check.List), "");
  struct {
    const char* Name;
    std::vector<uint8_t> File;
    const char* Cause;
  } cases[] = {
      {"header", std::vector<uint8_t>(good.begin(), good.begin() + 20), "does not contain valid image"},
      {"sections", std::vector<uint8_t>(good.begin(), good.begin() + 30), "Photoshop image resources section is truncated."},
      {"last row", std::vector<uint8_t>(good.begin(), good.end() - 1),
       "Photoshop image data is truncated: 6 bytes of rows needed, 5 present."},
      {"count table", std::vector<uint8_t>(good.begin(), good.begin() + 42),
       "Photoshop row byte count table is truncated."},
      {"raw rows", MakePsd(3, 4, 4, 8, 3, 0, std::vector<uint8_t>(47, 1)),
       "Photoshop image data is truncated: 48 bytes needed, 47 present."},
      {"raw alpha", MakePsd(4, 4, 4, 8, 3, 0, std::vector<uint8_t>(63, 1)), "64 bytes needed, 63 present"},
      {"long mode data", MakePsd(3, 1, 1, 8, 3, 0, {1, 2, 3}, std::vector<uint8_t>(4, 0)), ""},
      {"short palette", MakePsd(1, 1, 1, 8, 2, 0, {1}, std::vector<uint8_t>(300, 0)),
       "Photoshop indexed image has a colour table of 300 bytes instead of 768."},
      {"cmyk of three channels", MakePsd(3, 1, 1, 8, 4, 0, {1, 2, 3}),
       "Photoshop CMYK image has 3 channels; four are needed."},
      {"cmyk 32", MakePsd(4, 1, 1, 32, 4, 0, std::vector<uint8_t>(16, 0)),
       "Photoshop CMYK images of 32 bits per channel are not supported."},
      {"zero width", MakePsd(3, 0, 1, 8, 3, 0, {}), "Invalid Photoshop image dimensions 0 x 1."},
      {"huge", MakePsd(4, 30000, 30000, 16, 3, 0, {}), "Photoshop image of 30000 x 30000 pixels is too large."},
      {"huge both ways", MakePsd(4, 0x7FFFFFFF, 0x7FFFFFFF, 32, 3, 0, {}), "is too large"},
      {"huge rle", MakePsd(3, 20000, 20000, 8, 3, 1, {}), "Photoshop row byte count table is truncated."},
      {"rows packed too short", MakePsd(1, 300, 1, 8, 1, 1, {0, 5, 0xFF, 1, 0xFF, 2, 0xD5}),
       "Photoshop row 0 of channel 0 is packed into 5 bytes; 300 unpacked bytes need 6."},
      {"empty rows of a wide image", MakePsd(3, 500000000, 1, 8, 3, 1, {0, 0, 0, 0, 0, 0}),
       "Photoshop row 0 of channel 0 is packed into 0 bytes"},
      {"huge sizes in rle table", MakePsd(3, 1, 1, 8, 3, 1, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 1}),
       "196605 bytes of rows needed, 1 present"},
  };
  // The mode data length declares more than the file has.
  std::vector<uint8_t>& longMode = cases[6].File;
  longMode[29] = 0xFF;
  cases[6].Cause = "Photoshop colour mode data is truncated.";
  for (auto& c : cases) {
    TImages images;
    std::string error = LoadBytes(Psd(), c.File, images.List);
    EXPECT_NE(error.find("Error while loading images from memory"), std::string::npos) << c.Name << ": " << error;
    EXPECT_NE(error.find(c.Cause), std::string::npos) << c.Name << ": " << error;
    EXPECT_TRUE(images.List.empty());
  }
  // Section lengths beyond the end.
  std::vector<uint8_t> f = good;
  f[33] = 0x40;  // image resources length 64
  TImages images;
  EXPECT_NE(LoadBytes(Psd(), f, images.List).find("Photoshop image resources section of 64 bytes is longer than the"),
            std::string::npos);
}

TEST(Psd, FilesWritten) {
  {
    // RGBA with the layer section: layer count -1, ids 0, 1, 2, -1.
    TLayerOption on(-1);
    TImageData image = TestSupport::RandomImage(5, 3, fmtA8R8G8B8, 1);
    std::vector<uint8_t> f = SaveBytes(Psd(), image);
    EXPECT_EQ(std::string(f.begin(), f.begin() + 4), "8BPS");
    EXPECT_EQ(Get16(f, 4), 1u);
    EXPECT_EQ(Get16(f, 12), 4u);
    EXPECT_EQ(Get32(f, 14), 3u);
    EXPECT_EQ(Get32(f, 18), 5u);
    EXPECT_EQ(Get16(f, 22), 8u);
    EXPECT_EQ(Get16(f, 24), 3u);
    EXPECT_EQ(Get32(f, 26), 0u);
    EXPECT_EQ(Get32(f, 30), 0u);
    const uint32_t section = Get32(f, 34);
    EXPECT_EQ(Get32(f, 38), section - 4);
    EXPECT_EQ(Get16(f, 42), 0xFFFFu);
    EXPECT_EQ(Get32(f, 44), 0u);
    EXPECT_EQ(Get32(f, 48), 0u);
    EXPECT_EQ(Get32(f, 52), 3u);
    EXPECT_EQ(Get32(f, 56), 5u);
    EXPECT_EQ(Get16(f, 60), 4u);
    uint32_t channelBytes = 0;
    for (int i = 0; i < 4; ++i) {
      EXPECT_EQ(Get16(f, size_t(62 + i * 6)), i == 3 ? 0xFFFFu : uint32_t(i));
      channelBytes += Get32(f, size_t(64 + i * 6));
    }
    EXPECT_EQ(std::string(f.begin() + 86, f.begin() + 94), "8BIMnorm");
    EXPECT_EQ(f[94], 255);
    EXPECT_EQ(Get32(f, 98), 16u);
    EXPECT_EQ(std::string(f.begin() + 110, f.begin() + 118), "\x07Layer 0");
    EXPECT_EQ(118 + channelBytes + 4, 38 + section);
    // Layer channel 0 is red, packed row by row.
    EXPECT_EQ(Get16(f, 118), 1u);
    const auto* px = static_cast<const uint8_t*>(image.Bits);
    std::vector<uint8_t> red;
    for (int x = 0; x < 5; ++x) red.push_back(px[x * 4 + 2]);
    std::vector<uint8_t> packedRed = Pack(red);
    EXPECT_EQ(Get16(f, 120), packedRed.size());
    EXPECT_EQ(std::vector<uint8_t>(f.begin() + 126, f.begin() + 126 + long(packedRed.size())), packedRed);
    // Merged data after the section: code 1, a table of 12 counts.
    const size_t merged = 38 + section;
    EXPECT_EQ(Get16(f, merged), 1u);
    EXPECT_EQ(Get16(f, merged + 2), packedRed.size());
    // Option off: the section is empty.
    TLayerOption off(0);
    f = SaveBytes(Psd(), image);
    EXPECT_EQ(Get32(f, 34), 0u);
    EXPECT_EQ(Get16(f, 38), 1u);
    ReleaseImage(image);
  }
  {
    // Floating point: code 0, no layer section whatever the option says.
    TImageData image = TestSupport::RandomImage(3, 2, fmtA32R32G32B32F, 2);
    std::vector<uint8_t> f = SaveBytes(Psd(), image);
    EXPECT_EQ(Get16(f, 22), 32u);
    EXPECT_EQ(Get32(f, 34), 0u);
    EXPECT_EQ(Get16(f, 38), 0u);
    EXPECT_EQ(f.size(), 40u + 3 * 2 * 16);
    const auto* p = static_cast<const uint8_t*>(image.Bits);
    // First sample: red of pixel 0, big-endian.
    EXPECT_EQ(f[40], p[11]);
    EXPECT_EQ(f[43], p[8]);
    ReleaseImage(image);
  }
  {
    // Indexed: mode 2, 768 bytes of palette, one channel, no transparency.
    TImageData image = TestSupport::RandomImage(4, 2, fmtIndex8, 3);
    std::vector<uint8_t> f = SaveBytes(Psd(), image);
    EXPECT_EQ(Get16(f, 12), 1u);
    EXPECT_EQ(Get16(f, 24), 2u);
    EXPECT_EQ(Get32(f, 26), 768u);
    EXPECT_EQ(f[30 + 5], image.Palette[5].R);
    EXPECT_EQ(f[30 + 256 + 5], image.Palette[5].G);
    EXPECT_EQ(f[30 + 512 + 5], image.Palette[5].B);
    EXPECT_EQ(Get16(f, 30 + 768 + 8 + 4), 1u);  // one layer
    EXPECT_EQ(Get16(f, 30 + 768 + 8 + 24), 0u);  // channel id 0
    ReleaseImage(image);
  }
}

TEST(Psd, EveryFormatRoundTrips) {
  struct {
    TImageFormat Source, Written;
  } cases[] = {
      {fmtIndex8, fmtIndex8},       {fmtGray8, fmtGray8},           {fmtA8Gray8, fmtA8Gray8},
      {fmtGray16, fmtGray16},       {fmtA16Gray16, fmtA16Gray16},   {fmtR8G8B8, fmtR8G8B8},
      {fmtA8R8G8B8, fmtA8R8G8B8},   {fmtR16G16B16, fmtR16G16B16},   {fmtA16R16G16B16, fmtA16R16G16B16},
      {fmtR32F, fmtR32F},           {fmtA32R32G32B32F, fmtA32R32G32B32F},
      {fmtX8R8G8B8, fmtR8G8B8},     {fmtGray32, fmtGray16},         {fmtA16B16G16R16, fmtA16R16G16B16},
      {fmtR16F, fmtR32F},           {fmtA32B32G32R32F, fmtA32R32G32B32F}, {fmtDXT5, fmtA8R8G8B8},
      {fmtR5G6B5, fmtR8G8B8},       {fmtB16G16R16, fmtR16G16B16},
  };
  for (int layer : {0, -1}) {
    TLayerOption option(layer);
    for (const auto& c : cases) {
      TImageData image = TestSupport::RandomImage(37, 5, c.Source, uint32_t(c.Source));
      TImageData expected;
      ASSERT_TRUE(DuplicateImage(image, expected));
      ChangeImageFormat(expected, c.Written);
      if (c.Written == fmtR32F || c.Written == fmtA32R32G32B32F) {
        // Random bytes would hold NaNs; use plain numbers.
        float* p = static_cast<float*>(image.Bits);
        for (int32_t i = 0; i < image.Size / 4; ++i) p[i] = float(i % 97) / 7.0f;
        ReleaseImage(expected);
        ASSERT_TRUE(DuplicateImage(image, expected));
        ChangeImageFormat(expected, c.Written);
      }
      std::vector<uint8_t> f = SaveBytes(Psd(), image);
      TImages back;
      ASSERT_EQ(LoadBytes(Psd(), f, back.List), "") << FormatDisplayName(c.Source);
      EXPECT_EQ(back.List[0].Format, c.Written) << FormatDisplayName(c.Source);
      EXPECT_EQ(Bytes(back.List[0]), Bytes(expected)) << FormatDisplayName(c.Source) << " layer " << layer;
      if (c.Written == fmtIndex8) {
        for (int i = 0; i < 256; ++i)
          EXPECT_EQ(back.List[0].Palette[i].Color, expected.Palette[i].Color | 0xFF000000u);
      }
      ReleaseImage(expected);
      ReleaseImage(image);
    }
  }
}

TEST(PsdCorpus, FilesLoadAsPillowDecodesThem) {
  std::vector<std::string> files = FilesIn(CorpusDir() / "pillow/psd", ".psd");
  if (files.empty()) GTEST_SKIP() << "corpus is missing";
  if (!TestSupport::HavePillow()) GTEST_SKIP() << "Pillow is not installed";
  TempDir tmp;
  std::vector<TRgbaImage> pillow = PillowDecode(files, tmp);
  int compared = 0;
  for (size_t i = 0; i < files.size(); ++i) {
    std::string name = fs::path(files[i]).filename().string();
    TRgbaImage own = OwnDecode(Psd(), files[i]);
    ASSERT_TRUE(own.Ok) << name << ": " << own.Error;
    if (!pillow[i].Ok) {
      // Pillow does not open files whose layers lie partly outside the
      // canvas; ImageMagick's merged image is the reference there.
      TRgbaImage magick = MagickDecode(files[i]);
      EXPECT_EQ(CompareRgba(own, magick, 0, true), "") << name;
    } else {
      EXPECT_EQ(CompareRgba(own, pillow[i], 0, true), "") << name;
    }
    ++compared;
  }
  EXPECT_EQ(compared, 5);
}

// Files built to make readers hang or write out of bounds: a clean failure,
// or the merged image when only the layer records are damaged.
TEST(PsdCorpus, BadFilesFailCleanlyOrLoadAsPillowDoes) {
  std::vector<std::string> files = FilesIn(CorpusDir() / "pillow/psd/bad", ".psd");
  if (files.empty()) GTEST_SKIP() << "corpus is missing";
  TempDir tmp;
  std::vector<TRgbaImage> pillow = PillowDecode(files, tmp);
  int failed = 0;
  for (size_t i = 0; i < files.size(); ++i) {
    TRgbaImage own = OwnDecode(Psd(), files[i]);
    if (own.Ok) {
      // Damaged outside the merged image only (layer records the handler
      // skips): the same pixels as Pillow where Pillow reads the file.
      if (pillow[i].Ok) {
        EXPECT_EQ(CompareRgba(own, pillow[i], 0, true), "") << files[i];
      }
      continue;
    }
    ++failed;
    EXPECT_EQ(own.Error.rfind(LoadingMessage(files[i], "psd"), 0), 0u) << own.Error;
  }
  // Most of the set is damaged in the layer records only, which are skipped.
  EXPECT_GE(failed, 1);
}

// ImageMagick's PSD files in each mode and depth load with the pixels it
// wrote (its own decode misreads the alpha of its gray files with layers).
// Indexed files are left out: ImageMagick 6.9 writes 16-bit indices under an
// 8-bit header and cannot read them back itself.
TEST(PsdPeers, MagickFilesLoadWithTheirPixels) {
  REQUIRE_PROGRAM("convert");
  TempDir dir;
  std::string src = dir.File("src.png");
  ASSERT_EQ(TestSupport::RunCommand("convert -size 67x23 xc: -seed 3 +noise Random -alpha set -channel A -fx "
                                    "'rand()' +channel '" + src + "'"),
            0);
  struct {
    const char* Name;
    const char* Options;
    TImageFormat Format;
  } cases[] = {
      {"rgb", "-alpha off -depth 8", fmtR8G8B8},
      {"rgba", "-depth 8", fmtA8R8G8B8},
      {"rgb16", "-alpha off -depth 16", fmtR16G16B16},
      {"rgba16", "-depth 16", fmtA16R16G16B16},
      {"gray", "-alpha off -colorspace gray -depth 8", fmtGray8},
      {"graya", "-colorspace gray -depth 8", fmtA8Gray8},
      {"gray16", "-alpha off -colorspace gray -depth 16", fmtGray16},
      {"rle", "-alpha off -depth 8 -compress rle", fmtR8G8B8},
      {"cmyk", "-alpha off -colorspace cmyk -depth 8", fmtA8R8G8B8},
  };
  for (const auto& c : cases) {
    std::string file = dir.File(std::string(c.Name) + ".psd");
    ASSERT_EQ(TestSupport::RunCommand("convert '" + src + "' " + c.Options + " '" + file + "'"), 0) << c.Name;
    TImageFormat format = fmtNone;
    TRgbaImage own = OwnDecode(Psd(), file, &format);
    ASSERT_TRUE(own.Ok) << c.Name << ": " << own.Error;
    EXPECT_EQ(format, c.Format) << c.Name;
    const bool cmyk = std::string(c.Name) == "cmyk";
    TRgbaImage peer = cmyk ? MagickPsd(file, "-colorspace sRGB")
                           : MagickDecode(src, std::string(c.Options) + (std::string(c.Name).find("gray") == 0
                                                                              ? " -colorspace sRGB"
                                                                              : ""));
    // 16-bit samples reach 8 bits here through the converter, which
    // truncates where ImageMagick rounds. CMYK: ImageMagick computes
    // (1 - C)(1 - K) in floating point, a step from the integer rule.
    const bool deep = std::string(c.Name).find("16") != std::string::npos || cmyk;
    EXPECT_EQ(CompareRgba(own, peer, deep ? 1 : 0, true), "") << c.Name;
  }
}

// What we write in every format, with and without the layer section, is
// read by ImageMagick and Pillow with our pixels.
TEST(PsdPeers, OurFilesDecodeAlikeInThePeers) {
  REQUIRE_PROGRAM("convert");
  TempDir dir;
  const TImageFormat formats[] = {fmtGray8,     fmtA8Gray8,      fmtR8G8B8, fmtA8R8G8B8,     fmtIndex8,
                                  fmtGray16,    fmtA16Gray16,    fmtR16G16B16, fmtA16R16G16B16, fmtR32F,
                                  fmtA32R32G32B32F};
  std::vector<std::string> files;
  std::vector<TRgbaImage> own;
  for (int layer : {0, -1}) {
    TLayerOption option(layer);
    for (TImageFormat format : formats) {
      TImageData image = TestSupport::RandomImage(41, 13, format == fmtIndex8 ? format : fmtA8R8G8B8, uint32_t(format));
      ChangeImageFormat(image, format);
      std::string file = dir.File(FormatDisplayName(format) + (layer ? "-layer" : "") + ".psd");
      ASSERT_TRUE(WriteImageFile(file, image));
      // Through 8 bits with alpha as the peers report it.
      TRgbaImage rgba = ToRgba(image);
      if (format == fmtIndex8)
        for (size_t p = 3; p < rgba.Rgba.size(); p += 4) rgba.Rgba[p] = 255;
      // One float channel is stored as 32-bit grayscale.
      if (format == fmtR32F)
        for (size_t p = 0; p < rgba.Rgba.size(); p += 4) rgba.Rgba[p + 1] = rgba.Rgba[p + 2] = rgba.Rgba[p];
      own.push_back(rgba);
      files.push_back(file);
      ReleaseImage(image);
    }
  }
  std::vector<TRgbaImage> pillow = PillowDecode(files, dir);
  for (size_t i = 0; i < files.size(); ++i) {
    std::string name = fs::path(files[i]).filename().string();
    const bool deep = name.find("16") != std::string::npos || name.find("32F") != std::string::npos;
    // Floating-point images are written without a layer section.
    const bool layered = name.find("-layer") != std::string::npos && name.find("32F") == std::string::npos;
    // ImageMagick takes a fourth merged channel as transparency only when a
    // layer section says so (a negative layer count); without one it is an
    // extra channel. It does not read indexed files (not even its own).
    // As with its own files, it misreads the alpha of gray files with layers.
    if (name.rfind("Index8", 0) != 0) {
      TRgbaImage magick = MagickPsd(files[i]);
      const bool alpha = layered && name.rfind("A8Gray8", 0) != 0 && name.rfind("A16Gray16", 0) != 0;
      EXPECT_EQ(CompareRgba(magick, own[i], deep ? 1 : 0, alpha), "") << "ImageMagick, " << name;
    }
    // Pillow 9 reads 8-bit files only, and misreads gray with alpha (it
    // takes the row table for one channel). ImageMagick reads the rest, the
    // deep ones within one step of our own conversion to 8 bits.
    if (!deep && name.rfind("A8Gray8", 0) != 0) {
      EXPECT_EQ(CompareRgba(pillow[i], own[i], 0, true), "") << "Pillow, " << name;
    }
  }
}

// Whole files written are pinned byte for byte (size and FNV-1a digest) for
// the pixel formats with fast row paths, with and without the layer section:
// rows mixing noise, short runs and flat stretches.
TEST(Psd, WrittenFilesArePinned) {
  struct {
    TImageFormat Format;
    int Layer;
    size_t Size;
    uint64_t Digest;
  } cases[] = {
      {fmtR8G8B8, 0, 31282, 0xF62C247BA3468836ull},       {fmtR8G8B8, -1, 62608, 0xD861A53FB36DB5EDull},
      {fmtA8R8G8B8, 0, 42235, 0x56EED4E612843A34ull},     {fmtA8R8G8B8, -1, 84522, 0x84726BDAF0EFAA10ull},
      {fmtA8Gray8, -1, 41288, 0x78751B455E5867AEull},     {fmtGray8, -1, 20406, 0x46B39399516A3132ull},
      {fmtA16R16G16B16, -1, 168184, 0x1550168C8F86E592ull},
  };
  for (const auto& c : cases) {
    TLayerOption option(c.Layer);
    TImageData image;
    ASSERT_TRUE(CreateImage(333, 41, c.Format, image));
    auto* p = static_cast<uint8_t*>(image.Bits);
    uint32_t seed = 3;
    for (int32_t i = 0; i < image.Size; ++i) {
      seed = seed * 1103515245u + 12345u;
      const int32_t x = (i / 3) % 333;
      p[i] = x % 100 < 30 ? uint8_t(seed >> 24) : x % 100 < 70 ? uint8_t(x / 8 + ((seed >> 16) & 3)) : uint8_t(200);
    }
    std::vector<uint8_t> f = SaveBytes(Psd(), image);
    ReleaseImage(image);
    uint64_t digest = 1469598103934665603ull;
    for (uint8_t b : f) digest = (digest ^ b) * 1099511628211ull;
    EXPECT_EQ(f.size(), c.Size) << FormatDisplayName(c.Format) << " layer " << c.Layer;
    EXPECT_EQ(digest, c.Digest) << FormatDisplayName(c.Format) << " layer " << c.Layer << std::hex << " 0x" << digest;
  }
}
