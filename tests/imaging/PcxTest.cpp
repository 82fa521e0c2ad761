// ZSoft PCX reader: header test, every layout, run-length details, the
// trailing palette, hostile headers, files written by netpbm and ImageMagick
// (compared with their own decodes) and the peer corpus.
#include <gtest/gtest.h>

#include <cstring>

#include "ImagingPcx.h"
#include "TestSupport.h"

using namespace Imaging;
namespace fs = std::filesystem;

namespace {

TImageFileFormat* Pcx() {
  TestSupport::InitCore();
  return FindHandlerByExtension("pcx");
}

// A 128-byte header followed by Data.
std::vector<uint8_t> MakePcx(int Bits, int Planes, int Width, int Height, int BytesPerLine, int Encoding,
                             const std::vector<uint8_t>& Data, int Version = 5, int PaletteInfo = 1) {
  std::vector<uint8_t> f(128, 0);
  f[0] = 10;
  f[1] = uint8_t(Version);
  f[2] = uint8_t(Encoding);
  f[3] = uint8_t(Bits);
  f[8] = uint8_t(Width - 1);
  f[9] = uint8_t((Width - 1) >> 8);
  f[10] = uint8_t(Height - 1);
  f[11] = uint8_t((Height - 1) >> 8);
  for (int i = 0; i < 16; ++i) {  // header palette: entry i = (i*16, i, 255-i)
    f[16 + i * 3] = uint8_t(i * 16);
    f[17 + i * 3] = uint8_t(i);
    f[18 + i * 3] = uint8_t(255 - i);
  }
  f[65] = uint8_t(Planes);
  f[66] = uint8_t(BytesPerLine);
  f[67] = uint8_t(BytesPerLine >> 8);
  f[68] = uint8_t(PaletteInfo);
  f.insert(f.end(), Data.begin(), Data.end());
  return f;
}

bool Load(const std::vector<uint8_t>& Data, TDynImageDataArray& Images) {
  return Pcx()->LoadFromMemory(Data.data(), int32_t(Data.size()), Images);
}

std::string LoadError(const std::vector<uint8_t>& Data) {
  TDynImageDataArray images;
  try {
    Load(Data, images);
  } catch (const EImagingError& e) {
    ReleaseImageArray(images);
    return e.what();
  }
  ReleaseImageArray(images);
  return "";
}

std::vector<uint8_t> Bits(const TImageData& Image) {
  auto* p = static_cast<const uint8_t*>(Image.Bits);
  return std::vector<uint8_t>(p, p + Image.Size);
}

// Our decode as 8-bit RGB or RGBA rows, palettes applied (no conversion).
std::vector<uint8_t> OwnPixels(const TImageData& Image, bool Alpha) {
  std::vector<uint8_t> out;
  auto* p = static_cast<const uint8_t*>(Image.Bits);
  int64_t n = int64_t(Image.Width) * Image.Height;
  for (int64_t i = 0; i < n; ++i) {
    uint8_t r, g, b, a = 255;
    if (Image.Format == fmtIndex8) {
      TColor32Rec c = Image.Palette[p[i]];
      r = c.R, g = c.G, b = c.B;
    } else if (Image.Format == fmtR8G8B8) {
      b = p[i * 3], g = p[i * 3 + 1], r = p[i * 3 + 2];
    } else {
      b = p[i * 4], g = p[i * 4 + 1], r = p[i * 4 + 2], a = p[i * 4 + 3];
    }
    out.insert(out.end(), {r, g, b});
    if (Alpha) out.push_back(a);
  }
  return out;
}

// netpbm's decode: the pixels of pcxtoppm's raw PPM output.
bool NetpbmPixels(const std::string& File, std::vector<uint8_t>& Rgb) {
  std::string out;
  if (TestSupport::RunCommand("pcxtoppm '" + File + "' 2>/dev/null | pamdepth 255 | convert - -depth 8 rgb:-", &out) !=
      0)
    return false;
  Rgb.assign(out.begin(), out.end());
  return !Rgb.empty();
}

struct TOwned {
  TImageData Image;
  ~TOwned() { ReleaseImage(Image); }
};

}  // namespace

TEST(Pcx, HandlerAndContentTest) {
  TImageFileFormat* h = Pcx();
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h->Name(), "ZSoft Paintbrush Image");
  EXPECT_TRUE(h->CanLoad());
  EXPECT_FALSE(h->CanSave());
  EXPECT_FALSE(h->IsMultiImageFormat());
  EXPECT_EQ(h->Masks(), std::vector<std::string>{"*.pcx"});
  EXPECT_FALSE(h->TestFormat(nullptr));
  auto accepted = [&](std::vector<uint8_t> f) {
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
  std::vector<uint8_t> good = MakePcx(8, 1, 1, 1, 2, 0, {});
  EXPECT_TRUE(accepted(good));
  EXPECT_FALSE(accepted(std::vector<uint8_t>(good.begin(), good.begin() + 127)));
  EXPECT_FALSE(accepted(MakePcx(8, 1, 1, 1, 2, 0, {}, 1)));     // version 1
  EXPECT_FALSE(accepted(MakePcx(8, 1, 1, 1, 2, 0, {}, 6)));     // version 6
  EXPECT_TRUE(accepted(MakePcx(8, 1, 1, 1, 2, 0, {}, 0)));      // version 0
  EXPECT_FALSE(accepted(MakePcx(8, 1, 1, 1, 2, 2, {})));        // encoding 2
  EXPECT_FALSE(accepted(MakePcx(3, 1, 1, 1, 2, 0, {})));        // 3 bits
  EXPECT_FALSE(accepted(MakePcx(8, 2, 1, 1, 2, 0, {})));        // 2 planes
  EXPECT_FALSE(accepted(MakePcx(8, 1, 1, 1, 2, 0, {}, 5, 3)));  // palette information 3
  // Palette information 0 is common in real files (two of the corpus files).
  EXPECT_TRUE(accepted(MakePcx(8, 1, 1, 1, 2, 0, {}, 5, 0)));
}

TEST(Pcx, RunLengthStreamCrossesScanLines) {
  TDynImageDataArray images;
  // 0xC5 7 writes five 7s; 0xC0 x writes nothing; the run of five covers
  // row 0 (width 3) and two bytes of row 1.
  ASSERT_TRUE(Load(MakePcx(8, 1, 3, 2, 3, 1, {0xC5, 7, 0xC0, 99, 9, 12}), images));
  EXPECT_EQ(images[0].Format, fmtIndex8);
  EXPECT_EQ(Bits(images[0]), (std::vector<uint8_t>{7, 7, 7, 7, 7, 9}));
  ReleaseImageArray(images);
  // A run longer than the rest of the data is cut; missing data stays zero.
  ASSERT_TRUE(Load(MakePcx(8, 1, 2, 2, 2, 1, {0xC3, 1, 0xFF, 2}), images));
  EXPECT_EQ(Bits(images[0]), (std::vector<uint8_t>{1, 1, 1, 2}));
  ReleaseImageArray(images);
  ASSERT_TRUE(Load(MakePcx(8, 1, 4, 1, 4, 1, {0xC2, 5}), images));
  EXPECT_EQ(Bits(images[0]), (std::vector<uint8_t>{5, 5, 0, 0}));
  ReleaseImageArray(images);
}

TEST(Pcx, TrailingPalette) {
  std::vector<uint8_t> data = {0xC2, 1, 3, 0xC1, 0xC7};  // pixels 1 1 3 0xC7
  std::vector<uint8_t> pal(769, 0);
  pal[0] = 12;
  for (int i = 0; i < 256; ++i) pal[1 + i * 3] = uint8_t(i), pal[2 + i * 3] = uint8_t(255 - i), pal[3 + i * 3] = 9;
  std::vector<uint8_t> with = data;
  with.insert(with.end(), pal.begin(), pal.end());
  TDynImageDataArray images;
  ASSERT_TRUE(Load(MakePcx(8, 1, 4, 1, 4, 1, with), images));
  EXPECT_EQ(Bits(images[0]), (std::vector<uint8_t>{1, 1, 3, 0xC7}));
  EXPECT_EQ(images[0].Palette[3].Color, Color32(255, 3, 252, 9).Color);
  EXPECT_EQ(images[0].Palette[255].Color, Color32(255, 255, 0, 9).Color);
  ReleaseImageArray(images);
  // Without the marker the palette stays zero.
  std::vector<uint8_t> without = data;
  without.insert(without.end(), 769, 5);
  ASSERT_TRUE(Load(MakePcx(8, 1, 4, 1, 4, 1, without), images));
  for (int i = 0; i < 256; ++i) EXPECT_EQ(images[0].Palette[i].Color, 0u);
  ReleaseImageArray(images);
  // Padding between the data and the palette: the palette at the end of the
  // file is used.
  std::vector<uint8_t> padded = data;
  padded.insert(padded.end(), {0, 0, 0});
  padded.insert(padded.end(), pal.begin(), pal.end());
  ASSERT_TRUE(Load(MakePcx(8, 1, 4, 1, 4, 1, padded), images));
  EXPECT_EQ(images[0].Palette[3].Color, Color32(255, 3, 252, 9).Color);
  ReleaseImageArray(images);
}

TEST(Pcx, LowBitLayoutsUseTheHeaderPalette) {
  TDynImageDataArray images;
  // 16 colours in four bit planes: planes 0 and 2 set for pixel 0 give 5.
  ASSERT_TRUE(Load(MakePcx(1, 4, 3, 1, 1, 0, {0x80, 0x40, 0xA0, 0x20}), images));
  EXPECT_EQ(Bits(images[0]), (std::vector<uint8_t>{5, 2, 12}));
  EXPECT_EQ(images[0].Palette[5].Color, Color32(255, 80, 5, 250).Color);
  EXPECT_EQ(images[0].Palette[16].Color, 0u);
  ReleaseImageArray(images);
  // 2 bits, 4 x 2: each scan line from its own place.
  ASSERT_TRUE(Load(MakePcx(2, 1, 4, 2, 2, 0, {0x1B, 0xFF, 0xE4, 0x00}), images));
  EXPECT_EQ(Bits(images[0]), (std::vector<uint8_t>{0, 1, 2, 3, 3, 2, 1, 0}));
  ReleaseImageArray(images);
  // Monochrome, bit 7 first; 4 bits, high nibble first.
  ASSERT_TRUE(Load(MakePcx(1, 1, 10, 1, 2, 0, {0xA5, 0x40}), images));
  EXPECT_EQ(Bits(images[0]), (std::vector<uint8_t>{1, 0, 1, 0, 0, 1, 0, 1, 0, 1}));
  ReleaseImageArray(images);
  ASSERT_TRUE(Load(MakePcx(4, 1, 3, 1, 2, 0, {0x3A, 0xF0}), images));
  EXPECT_EQ(Bits(images[0]), (std::vector<uint8_t>{3, 10, 15}));
  ReleaseImageArray(images);
  // Combinations without a defined layout are not loaded.
  EXPECT_FALSE(Load(MakePcx(1, 3, 8, 1, 1, 0, {1, 2, 3}), images));
  EXPECT_FALSE(Load(MakePcx(4, 3, 2, 1, 1, 0, {1, 2, 3}), images));
}

TEST(Pcx, ColourPlanes) {
  TDynImageDataArray images;
  // Width 3, bytes per line 4: the fourth byte of each plane is ignored.
  ASSERT_TRUE(Load(MakePcx(8, 3, 3, 1, 4, 0, {1, 2, 3, 99, 4, 5, 6, 99, 7, 8, 9, 99}), images));
  EXPECT_EQ(images[0].Format, fmtR8G8B8);
  EXPECT_EQ(Bits(images[0]), (std::vector<uint8_t>{7, 4, 1, 8, 5, 2, 9, 6, 3}));
  ReleaseImageArray(images);
  // Four planes are R, G, B and alpha (as ImageMagick writes them).
  ASSERT_TRUE(Load(MakePcx(8, 4, 2, 1, 2, 0, {1, 2, 3, 4, 5, 6, 7, 8}), images));
  EXPECT_EQ(images[0].Format, fmtA8R8G8B8);
  EXPECT_EQ(Bits(images[0]), (std::vector<uint8_t>{5, 3, 1, 7, 6, 4, 2, 8}));
  ReleaseImageArray(images);
}

TEST(Pcx, HostileHeadersFailBeforeAllocating) {
  // Bytes per line too small for the width: 1-bit pixels of a 20-pixel line
  // need 3 bytes.
  std::string msg = LoadError(MakePcx(1, 1, 20, 2, 2, 0, std::vector<uint8_t>(100, 0)));
  EXPECT_NE(msg.find("Error while loading images from memory"), std::string::npos) << msg;
  EXPECT_NE(msg.find("PCX bytes per line (2) are too few for a width of 20 pixels."), std::string::npos) << msg;
  EXPECT_NE(LoadError(MakePcx(8, 3, 10, 1, 9, 0, std::vector<uint8_t>(100, 0))).find("too few"), std::string::npos);
  // x maximum below x minimum.
  std::vector<uint8_t> f = MakePcx(8, 1, 1, 1, 2, 0, {0, 0});
  f[4] = 5;  // x minimum 5, x maximum 0
  EXPECT_NE(LoadError(f).find("invalid dimensions"), std::string::npos);
  // 65535 x 65535 x 4 planes does not fit the 32-bit size.
  f = MakePcx(8, 4, 65535, 65535, 65535, 1, {0xC1, 0});
  EXPECT_NE(LoadError(f).find("too large"), std::string::npos) << LoadError(f);
  // More data than the rest of the file can hold: raw byte for byte, RLE at
  // most 63 bytes per two.
  msg = LoadError(MakePcx(8, 1, 100, 100, 100, 0, std::vector<uint8_t>(500, 0)));
  EXPECT_NE(msg.find("PCX image data is truncated: 10000 bytes needed, at most 500 present."), std::string::npos)
      << msg;
  msg = LoadError(MakePcx(8, 3, 1000, 1000, 1000, 1, std::vector<uint8_t>(10, 0xFF)));
  EXPECT_NE(msg.find("3000000 bytes needed, at most 315 present"), std::string::npos) << msg;
  // Inside the RLE bound a short stream leaves zeros.
  TDynImageDataArray images;
  ASSERT_TRUE(Load(MakePcx(8, 1, 63, 2, 63, 1, {0xFF, 4, 0xC0, 0}), images));
  std::vector<uint8_t> expect(126, 0);
  std::fill(expect.begin(), expect.begin() + 63, 4);
  EXPECT_EQ(Bits(images[0]), expect);
  ReleaseImageArray(images);
}

// netpbm and ImageMagick write every layout the reader decodes; their files
// load here with their own decode's pixels.
TEST(PcxPeers, PeerFilesLoadWithPeerPixels) {
  REQUIRE_PROGRAM("ppmtopcx");
  REQUIRE_PROGRAM("pcxtoppm");
  REQUIRE_PROGRAM("convert");
  TestSupport::TempDir dir;
  struct {
    const char* Name;
    const char* Colors;     // ImageMagick colour count of the source ("" = all)
    const char* Writer;     // command reading src.ppm, writing the PCX to stdout
    int Bits, Planes;       // layout the writer is expected to choose
  } cases[] = {
      {"mono.pcx", "2", "ppmtopcx src.ppm", 1, 1},
      {"planar16.pcx", "16", "ppmtopcx src.ppm", 1, 4},
      {"packed4.pcx", "4", "ppmtopcx -packed src.ppm", 2, 1},
      {"packed16.pcx", "16", "ppmtopcx -packed src.ppm", 4, 1},
      {"index256.pcx", "200", "ppmtopcx src.ppm", 8, 1},
      {"rgb24.pcx", "", "ppmtopcx -24bit src.ppm", 8, 3},
      {"im_index.pcx", "100", "convert src.ppm -type palette pcx:-", 8, 1},
      {"im_rgb.pcx", "", "convert src.ppm pcx:-", 8, 3},
  };
  for (auto& c : cases) {
    for (int width : {37, 40}) {  // odd and even widths
      std::string src = dir.File("src.ppm");
      std::string colours = *c.Colors ? std::string(" -colors ") + c.Colors : "";
      ASSERT_EQ(TestSupport::RunCommand("convert -size " + std::to_string(width) + "x21 xc: -seed 5 +noise Random" +
                                        colours + " -depth 8 '" + src + "'"),
                0);
      std::string file = dir.File(c.Name);
      ASSERT_EQ(TestSupport::RunCommand("cd '" + dir.Path().string() + "' && " + c.Writer + " > '" + file +
                                        "' 2>/dev/null"),
                0);
      std::vector<uint8_t> bytes = TestSupport::ReadFileBytes(file);
      ASSERT_GE(bytes.size(), 128u);
      EXPECT_EQ(bytes[3], c.Bits) << c.Name;
      EXPECT_EQ(bytes[65], c.Planes) << c.Name;
      TDynImageDataArray images;
      ASSERT_TRUE(Pcx()->LoadFromFile(file, images)) << c.Name;
      std::vector<uint8_t> peer;
      ASSERT_TRUE(NetpbmPixels(file, peer));
      EXPECT_EQ(OwnPixels(images[0], false), peer) << c.Name << " width " << width;
      ReleaseImageArray(images);
    }
  }
  // Four planes with alpha, from ImageMagick, against ImageMagick's decode.
  std::string file = dir.File("rgba.pcx");
  ASSERT_EQ(TestSupport::RunCommand("convert -size 31x9 xc: -seed 9 +noise Random -alpha set -channel A -fx 'rand()' "
                                    "+channel '" + file + "'"),
            0);
  ASSERT_EQ(TestSupport::ReadFileBytes(file)[65], 4);
  TDynImageDataArray images;
  ASSERT_TRUE(Pcx()->LoadFromFile(file, images));
  std::string peer;
  ASSERT_EQ(TestSupport::RunCommand("convert '" + file + "' -depth 8 rgba:-", &peer), 0);
  EXPECT_EQ(OwnPixels(images[0], true), std::vector<uint8_t>(peer.begin(), peer.end()));
  ReleaseImageArray(images);
}

// Pillow writes monochrome files with an all-zero header palette; they load
// black and white as Pillow and netpbm decode them, not all black.
TEST(PcxPeers, PillowFilesLoadWithPillowPixels) {
  if (!TestSupport::HavePillow()) GTEST_SKIP() << "Pillow is not installed";
  TestSupport::TempDir dir;
  std::string script =
      "import random, sys\n"
      "from PIL import Image\n"
      "random.seed(4)\n"
      "im = Image.new('RGB', (37, 11))\n"
      "im.putdata([(random.randrange(256), random.randrange(256), random.randrange(256)) for _ in range(37 * 11)])\n"
      "d = sys.argv[1]\n"
      "for mode in ('1', 'L', 'P', 'RGB'):\n"
      "    m = im.convert(mode)\n"
      "    m.save(d + '/pil_' + mode + '.pcx')\n"
      "    open(d + '/pil_' + mode + '.rgb', 'wb').write(Image.open(d + '/pil_' + mode + '.pcx').convert('RGB').tobytes())\n";
  TestSupport::WriteFileBytes(dir.Path() / "make.py", std::vector<uint8_t>(script.begin(), script.end()));
  ASSERT_EQ(TestSupport::RunCommand(TestSupport::PillowPython() + " '" + dir.File("make.py") + "' '" +
                                    dir.Path().string() + "'"),
            0);
  for (const char* mode : {"1", "L", "P", "RGB"}) {
    std::string file = dir.File(std::string("pil_") + mode + ".pcx");
    TDynImageDataArray images;
    ASSERT_TRUE(Pcx()->LoadFromFile(file, images)) << file;
    EXPECT_EQ(OwnPixels(images[0], false), TestSupport::ReadFileBytes(dir.File(std::string("pil_") + mode + ".rgb")))
        << mode;
    if (std::string(mode) == "1") {
      std::vector<uint8_t> peer;
      ASSERT_TRUE(NetpbmPixels(file, peer));
      EXPECT_EQ(OwnPixels(images[0], false), peer);
    }
    ReleaseImageArray(images);
  }
}

TEST(Pcx, MissingHeaderPaletteGetsDefaultColours) {
  TDynImageDataArray images;
  std::vector<uint8_t> f = MakePcx(1, 4, 2, 1, 1, 0, {0xC0, 0x40, 0x00, 0x80});
  std::fill(f.begin() + 16, f.begin() + 64, 0);
  ASSERT_TRUE(Load(f, images));
  EXPECT_EQ(Bits(images[0]), (std::vector<uint8_t>{9, 3}));
  EXPECT_EQ(images[0].Palette[9].Color, 0xFF5555FFu);
  EXPECT_EQ(images[0].Palette[3].Color, 0xFF00AAAAu);
  ReleaseImageArray(images);
  // Monochrome whose two entries are the same colour would be one flat area.
  f = MakePcx(1, 1, 2, 1, 1, 0, {0x40});
  std::fill(f.begin() + 16, f.begin() + 22, 9);
  ASSERT_TRUE(Load(f, images));
  EXPECT_EQ(images[0].Palette[0].Color, 0xFF000000u);
  EXPECT_EQ(images[0].Palette[1].Color, 0xFFFFFFFFu);
  ReleaseImageArray(images);
  // Version 3 has no palette whatever the header holds.
  ASSERT_TRUE(Load(MakePcx(1, 1, 2, 1, 1, 0, {0x40}, 3), images));
  EXPECT_EQ(images[0].Palette[0].Color, 0xFF000000u);
  EXPECT_EQ(images[0].Palette[1].Color, 0xFFFFFFFFu);
  ReleaseImageArray(images);
}

TEST(PcxCorpus, GoodFilesLoadWithNetpbmPixels) {
  REQUIRE_PROGRAM("pcxtoppm");
  fs::path dir = TestSupport::CorpusDir() / "pillow/pcx";
  if (!fs::exists(dir)) GTEST_SKIP() << "corpus folder " << dir << " is missing";
  int loaded = 0;
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (!entry.is_regular_file()) continue;
    std::string file = entry.path().string();
    TDynImageDataArray images;
    if (entry.path().filename() == "01r_00.pcx") {
      // 88 pixels of 8 bits in 12 bytes per line: neither Pillow nor
      // ImageMagick decode it either; refused instead of read past the line.
      try {
        Pcx()->LoadFromFile(file, images);
        ADD_FAILURE() << file << " loaded";
      } catch (const EImagingError& e) {
        EXPECT_NE(std::string(e.what()).find("too few for a width of 88"), std::string::npos) << e.what();
      }
      continue;
    }
    ASSERT_TRUE(Pcx()->LoadFromFile(file, images)) << file;
    std::vector<uint8_t> peer;
    ASSERT_TRUE(NetpbmPixels(file, peer)) << file;
    EXPECT_EQ(OwnPixels(images[0], false), peer) << file;
    ReleaseImageArray(images);
    ++loaded;
  }
  EXPECT_EQ(loaded, 3);
}

TEST(PcxCorpus, BadFilesFailWithTheLoadingMessage) {
  fs::path dir = TestSupport::CorpusDir() / "pillow/pcx/bad";
  if (!fs::exists(dir)) GTEST_SKIP() << "corpus folder " << dir << " is missing";
  int count = 0;
  for (const auto& entry : fs::directory_iterator(dir)) {
    std::string file = entry.path().string();
    TDynImageDataArray images;
    try {
      Pcx()->LoadFromFile(file, images);
      ADD_FAILURE() << file << " loaded";
    } catch (const EImagingError& e) {
      EXPECT_EQ(std::string(e.what()).rfind("Error while loading images from file \"" + file +
                                                "\" (file format: pcx). Exception Message: ",
                                            0),
                0u)
          << e.what();
    }
    ReleaseImageArray(images);
    ++count;
  }
  EXPECT_EQ(count, 3);
}
