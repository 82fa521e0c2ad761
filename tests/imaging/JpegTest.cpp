// JPEG handler: options, content test, libjpeg error mapping, hostile
// streams, and pixel equality with libjpeg-turbo's djpeg/cjpeg and
// ImageMagick in both directions.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <sstream>

#include "ImagingJpeg.h"
#include "TestSupport.h"

using namespace Imaging;
namespace fs = std::filesystem;

namespace {

TJpegFileFormat* JpegHandler() {
  TestSupport::InitCore();
  return dynamic_cast<TJpegFileFormat*>(FindHandlerByExtension("jpg"));
}

// A smooth, photo-like colour image (gradients and soft waves), B, G, R rows.
TImageData PhotoImage(int32_t Width, int32_t Height, TImageFormat Format = fmtR8G8B8) {
  TestSupport::InitCore();
  TImageData img;
  EXPECT_TRUE(CreateImage(Width, Height, fmtR8G8B8, img));
  auto* p = static_cast<uint8_t*>(img.Bits);
  for (int32_t y = 0; y < Height; ++y)
    for (int32_t x = 0; x < Width; ++x, p += 3) {
      p[0] = uint8_t(128 + 100 * std::sin(x * 0.05 + y * 0.02));
      p[1] = uint8_t((x * 255) / std::max(Width - 1, 1));
      p[2] = uint8_t((y * 255) / std::max(Height - 1, 1));
    }
  if (Format != fmtR8G8B8) {
    EXPECT_TRUE(ChangeImageFormat(img, Format));
  }
  return img;
}

// Reads a binary PGM/PPM as written by djpeg and ImageMagick.
bool ReadPnm(const std::string& Bytes, int32_t& Width, int32_t& Height, int32_t& Channels, std::vector<uint8_t>& Px) {
  std::istringstream is(Bytes);
  std::string magic;
  int maxval;
  if (!(is >> magic >> Width >> Height >> maxval) || maxval != 255) return false;
  if (magic == "P5")
    Channels = 1;
  else if (magic == "P6")
    Channels = 3;
  else
    return false;
  is.get();
  Px.resize(size_t(Width) * Height * Channels);
  is.read(reinterpret_cast<char*>(Px.data()), std::streamsize(Px.size()));
  return size_t(is.gcount()) == Px.size();
}

bool Djpeg(const std::string& File, int32_t& W, int32_t& H, int32_t& C, std::vector<uint8_t>& Px,
           const std::string& Args = "") {
  // djpeg exits with 2 after a warning (stray bytes between markers) but
  // still writes the image.
  std::string out;
  if (TestSupport::RunCommand("djpeg " + Args + " -pnm '" + File + "' 2>/dev/null", &out) == 1) return false;
  return ReadPnm(out, W, H, C, Px);
}

void WritePpm(const std::string& File, const TImageData& Img) {
  std::ofstream os(File, std::ios::binary);
  bool gray = Img.Format == fmtGray8;
  os << (gray ? "P5\n" : "P6\n") << Img.Width << " " << Img.Height << "\n255\n";
  const auto* p = static_cast<const uint8_t*>(Img.Bits);
  for (int32_t i = 0; i < Img.Width * Img.Height; ++i) {
    if (gray) {
      os.put(char(p[i]));
    } else {
      os.put(char(p[i * 3 + 2]));
      os.put(char(p[i * 3 + 1]));
      os.put(char(p[i * 3 + 0]));
    }
  }
}

TImageData LoadOne(const std::string& File) {
  TDynImageDataArray images;
  EXPECT_TRUE(JpegHandler()->LoadFromFile(File, images)) << File;
  EXPECT_EQ(images.size(), 1u);
  TImageData img = images.empty() ? TImageData{} : images[0];
  for (size_t i = 1; i < images.size(); ++i) ReleaseImage(images[i]);
  return img;
}

// Our pixels (Gray8 or R8G8B8 or A8R8G8B8) against djpeg's PNM samples.
void ExpectSamePixels(const TImageData& Img, int32_t W, int32_t H, int32_t C, const std::vector<uint8_t>& Px,
                      int Tolerance, const std::string& What) {
  ASSERT_EQ(Img.Width, W) << What;
  ASSERT_EQ(Img.Height, H) << What;
  const auto* p = static_cast<const uint8_t*>(Img.Bits);
  int bpp = Img.Format == fmtGray8 ? 1 : Img.Format == fmtR8G8B8 ? 3 : 4;
  ASSERT_EQ(bpp == 1 ? 1 : 3, C) << What;
  int worst = 0;
  for (size_t i = 0; i < size_t(W) * H; ++i)
    for (int c = 0; c < C; ++c) {
      int ours = C == 1 ? p[i] : p[i * bpp + (2 - c)];
      worst = std::max(worst, std::abs(ours - int(Px[i * C + c])));
    }
  EXPECT_LE(worst, Tolerance) << What;
}

std::vector<uint8_t> SaveToBytes(const TImageData& Img) {
  std::vector<uint8_t> buf(64 << 20);
  int32_t size = int32_t(buf.size());
  EXPECT_TRUE(JpegHandler()->SaveToMemory(buf.data(), size, {Img}, true));
  buf.resize(size_t(size));
  return buf;
}

std::string LoadErrorOf(const std::vector<uint8_t>& Bytes) {
  TDynImageDataArray images;
  try {
    JpegHandler()->LoadFromMemory(Bytes.data(), int32_t(Bytes.size()), images);
  } catch (const EImagingError& e) {
    return e.what();
  }
  ReleaseImageArray(images);
  return "";
}

}  // namespace

TEST(Jpeg, RegistrationAndOptions) {
  TJpegFileFormat* h = JpegHandler();
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h->Name(), "Joint Photographic Experts Group Image");
  EXPECT_EQ(h->Extensions(), (std::vector<std::string>{"jpg", "jpeg", "jfif", "jpe", "jif"}));
  EXPECT_TRUE(h->CanLoad());
  EXPECT_TRUE(h->CanSave());
  EXPECT_FALSE(h->IsMultiImageFormat());
  EXPECT_TRUE(h->SupportedFormats() == (TImageFormats{fmtGray8, fmtR8G8B8}));
  EXPECT_EQ(HandlerAtIndex(1), h);  // second in the fixed order

  // Options 10 and 11 are bound to the registered handler only.
  TCustomIOJpegFileFormat custom;
  ASSERT_TRUE(SetImagingOption(OptJpegQuality, 55));
  ASSERT_TRUE(SetImagingOption(OptJpegProgressive, -1));
  EXPECT_EQ(h->Quality(), 55);
  EXPECT_TRUE(h->Progressive());
  EXPECT_EQ(custom.Quality(), 90);
  EXPECT_FALSE(custom.Progressive());
  SetImagingOption(OptJpegProgressive, 0);

  // Out-of-range quality is repaired to 90 before a save.
  TImageData img = PhotoImage(16, 16);
  for (int32_t bad : {0, 101, -5, INT32_MIN}) {
    SetImagingOption(OptJpegQuality, bad);
    SaveToBytes(img);
    EXPECT_EQ(GetImagingOption(OptJpegQuality), 90) << bad;
  }
  SetImagingOption(OptJpegQuality, 1);
  SaveToBytes(img);
  EXPECT_EQ(GetImagingOption(OptJpegQuality), 1);
  SetImagingOption(OptJpegQuality, 90);
  ReleaseImage(img);
}

TEST(Jpeg, TestFormatNeedsTenBytesStartingWithSoi) {
  TJpegFileFormat* h = JpegHandler();
  uint8_t data[10] = {0xFF, 0xD8, 0xFF, 0xE0, 0, 0x10, 'J', 'F', 'I', 'F'};
  TMemoryIOState state;
  for (int32_t size : {10, 9}) {
    InitMemoryIOState(data, size, state);
    UseMemoryIO();
    THandle handle = MemoryIOTable.OpenRead(&state);
    EXPECT_EQ(h->TestFormat(handle), size == 10);
    EXPECT_EQ(MemoryIOTable.Tell(handle), 0);  // position restored
    MemoryIOTable.Close(handle);
  }
  data[1] = 0xD9;
  InitMemoryIOState(data, 10, state);
  THandle handle = MemoryIOTable.OpenRead(&state);
  EXPECT_FALSE(h->TestFormat(handle));
  MemoryIOTable.Close(handle);
  EXPECT_FALSE(h->TestFormat(nullptr));
}

// Files written here decode in djpeg to exactly our own decode, and in
// ImageMagick; gray stays gray, alpha is dropped, Gray16 becomes 8-bit.
TEST(Jpeg, WrittenFilesDecodeInPeers) {
  REQUIRE_PROGRAM("djpeg");
  TestSupport::TempDir tmp;
  struct Case {
    TImageFormat Format;
    int32_t Quality;
    bool Progressive;
    int32_t Components;
  } cases[] = {{fmtR8G8B8, 100, false, 3}, {fmtR8G8B8, 75, true, 3}, {fmtA8R8G8B8, 90, false, 3},
               {fmtGray8, 90, false, 1},   {fmtGray16, 95, true, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(FormatDisplayName(c.Format) + " q" + std::to_string(c.Quality));
    TImageData img = PhotoImage(67, 45, c.Format);
    SetImagingOption(OptJpegQuality, c.Quality);
    SetImagingOption(OptJpegProgressive, c.Progressive ? -1 : 0);
    std::string file = tmp.File("out.jpg");
    ASSERT_TRUE(JpegHandler()->SaveToFile(file, {img}, true));
    std::vector<uint8_t> bytes = TestSupport::ReadFileBytes(file);
    ASSERT_GT(bytes.size(), 4u);
    EXPECT_EQ(bytes[0], 0xFF);
    EXPECT_EQ(bytes[1], 0xD8);
    EXPECT_EQ(bytes[2], 0xFF);
    EXPECT_EQ(bytes[3], 0xE0);  // JFIF header from the library's defaults
    // Progressive files carry SOF2, baseline files SOF0.
    bool sof2 = false, sof0 = false;
    for (size_t i = 0; i + 1 < bytes.size(); ++i) {
      sof2 |= bytes[i] == 0xFF && bytes[i + 1] == 0xC2;
      sof0 |= bytes[i] == 0xFF && bytes[i + 1] == 0xC0;
    }
    EXPECT_EQ(sof2, c.Progressive);
    EXPECT_EQ(sof0, !c.Progressive);

    int32_t w, h, ch;
    std::vector<uint8_t> px;
    ASSERT_TRUE(Djpeg(file, w, h, ch, px));
    EXPECT_EQ(ch, c.Components);
    TImageData back = LoadOne(file);
    ExpectSamePixels(back, w, h, ch, px, 0, "djpeg vs ours");
    // And the coding is close to what we wrote (quality dependent).
    TImageData ref = PhotoImage(67, 45, c.Components == 1 ? fmtGray8 : fmtR8G8B8);
    int worst = 0;
    const auto* a = static_cast<const uint8_t*>(back.Bits);
    const auto* b = static_cast<const uint8_t*>(ref.Bits);
    for (int32_t i = 0; i < ref.Size; ++i) worst = std::max(worst, std::abs(int(a[i]) - int(b[i])));
    EXPECT_LE(worst, c.Quality == 100 ? 8 : 40);
    if (TestSupport::HaveProgram("identify")) {
      int32_t mw, mh;
      std::vector<uint8_t> rgba;
      ASSERT_TRUE(TestSupport::PeerDecodeRGBA(file, mw, mh, rgba));
      EXPECT_EQ(mw, 67);
      EXPECT_EQ(mh, 45);
      int diff = 0;
      for (size_t i = 0; i < size_t(mw) * mh; ++i)
        for (int k = 0; k < 3; ++k)
          diff = std::max(diff, std::abs(int(rgba[i * 4 + k]) - int(px[i * ch + (ch == 1 ? 0 : k)])));
      EXPECT_LE(diff, 1);  // ImageMagick decodes with the same library
    }
    ReleaseImage(back);
    ReleaseImage(ref);
    ReleaseImage(img);
  }
  SetImagingOption(OptJpegQuality, 90);
  SetImagingOption(OptJpegProgressive, 0);
}

TEST(Jpeg, QualityReachesTheEncoder) {
  TImageData img = PhotoImage(64, 64);
  SetImagingOption(OptJpegQuality, 100);
  std::vector<uint8_t> q100 = SaveToBytes(img);
  SetImagingOption(OptJpegQuality, 10);
  std::vector<uint8_t> q10 = SaveToBytes(img);
  SetImagingOption(OptJpegQuality, 90);
  EXPECT_LT(q10.size(), q100.size());
  // At quality 100 every quantizer step of the first table is 1.
  const uint8_t marker[2] = {0xFF, 0xDB};
  auto dqt = std::search(q100.begin(), q100.end(), marker, marker + 2);
  ASSERT_NE(dqt, q100.end());
  for (int i = 0; i < 64; ++i) EXPECT_EQ(dqt[5 + i], 1) << i;
  ReleaseImage(img);
}

// cjpeg files in every common flavour load with exactly djpeg's pixels.
TEST(Jpeg, CjpegFilesMatchDjpeg) {
  REQUIRE_PROGRAM("cjpeg");
  REQUIRE_PROGRAM("djpeg");
  TestSupport::TempDir tmp;
  TImageData color = PhotoImage(101, 77);
  TImageData gray = PhotoImage(101, 77, fmtGray8);
  WritePpm(tmp.File("c.ppm"), color);
  WritePpm(tmp.File("g.pgm"), gray);
  const std::pair<const char*, const char*> variants[] = {
      {"baseline", "-quality 85 c.ppm"},
      {"progressive", "-progressive c.ppm"},
      {"gray", "-quality 90 g.pgm"},
      {"grayscale from colour", "-grayscale c.ppm"},
      {"restart markers", "-restart 1 c.ppm"},
      {"restart every 3 blocks", "-restart 3B -sample 2x2 c.ppm"},
      {"4:2:0", "-sample 2x2 c.ppm"},
      {"4:4:4", "-sample 1x1 c.ppm"},
      {"4:2:2", "-sample 2x1 c.ppm"},
      {"optimized", "-optimize -quality 60 c.ppm"},
      {"arithmetic", "-arithmetic c.ppm"},
      {"rgb colour space", "-rgb c.ppm"},
  };
  for (const auto& [name, args] : variants) {
    SCOPED_TRACE(name);
    std::string out = tmp.File("v.jpg");
    ASSERT_EQ(TestSupport::RunCommand("cd '" + tmp.Path().string() + "' && cjpeg " + args + " > v.jpg"), 0);
    int32_t w, h, c;
    std::vector<uint8_t> px;
    ASSERT_TRUE(Djpeg(out, w, h, c, px));
    TImageData img = LoadOne(out);
    ExpectSamePixels(img, w, h, c, px, 0, name);
    ReleaseImage(img);
  }
  ReleaseImage(color);
  ReleaseImage(gray);
}

// CMYK (ImageMagick writes Adobe-style inverted CMYK) loads as A8R8G8B8 with
// alpha 255. djpeg turns CMYK into RGB as C*K/255 on the stored bytes; our
// rule 255 - (c - c*k/255 + k) on the ink amounts is the same product with a
// different truncation, so the two agree within 1.
TEST(Jpeg, CmykFromImageMagick) {
  REQUIRE_PROGRAM("djpeg");
  if (!TestSupport::HaveProgram("/usr/bin/convert")) GTEST_SKIP() << "ImageMagick is not installed";
  TestSupport::TempDir tmp;
  TImageData color = PhotoImage(50, 40);
  WritePpm(tmp.File("c.ppm"), color);
  std::string file = tmp.File("cmyk.jpg");
  ASSERT_EQ(TestSupport::RunCommand("/usr/bin/convert '" + tmp.File("c.ppm") + "' -colorspace CMYK '" + file + "'"),
            0);
  int32_t w, h, c;
  std::vector<uint8_t> px;
  ASSERT_TRUE(Djpeg(file, w, h, c, px));
  TImageData img = LoadOne(file);
  EXPECT_EQ(img.Format, fmtA8R8G8B8);
  ExpectSamePixels(img, w, h, c, px, 1, "cmyk");
  const auto* p = static_cast<const uint8_t*>(img.Bits);
  for (int32_t i = 0; i < img.Width * img.Height; ++i) ASSERT_EQ(p[i * 4 + 3], 255);
  ReleaseImage(img);
  ReleaseImage(color);
}

// The CMYK rule on single pixels: no ink is white, full black is black.
TEST(Jpeg, CmykCornerValues) {
  REQUIRE_PROGRAM("djpeg");
  if (!TestSupport::HaveProgram("/usr/bin/convert")) GTEST_SKIP() << "ImageMagick is not installed";
  TestSupport::TempDir tmp;
  // Inverted CMYK bytes 255,255,255,255 (no ink) and 255,255,255,0 (black).
  std::string file = tmp.File("k.jpg");
  ASSERT_EQ(TestSupport::RunCommand("/usr/bin/convert -size 16x8 xc:white -colorspace CMYK -quality 100 '" + file + "'"),
            0);
  TImageData img = LoadOne(file);
  const auto* p = static_cast<const uint8_t*>(img.Bits);
  EXPECT_EQ(p[0], 255);
  EXPECT_EQ(p[1], 255);
  EXPECT_EQ(p[2], 255);
  ReleaseImage(img);
  ASSERT_EQ(TestSupport::RunCommand("/usr/bin/convert -size 16x8 xc:black -colorspace CMYK -quality 100 '" + file + "'"),
            0);
  img = LoadOne(file);
  p = static_cast<const uint8_t*>(img.Bits);
  EXPECT_LE(p[0], 1);
  EXPECT_LE(p[1], 1);
  EXPECT_LE(p[2], 1);
  ReleaseImage(img);
}

// Real files with odd markers and metadata load with djpeg's pixels (CMYK
// within 1, see above). The truncated ones fail with libjpeg's message.
TEST(Jpeg, CorpusMatchesDjpeg) {
  REQUIRE_PROGRAM("djpeg");
  std::vector<fs::path> files;
  for (const char* dir : {"pillow/jpeg", "libpng/jpeg", "pillow/jpeg/bad"})
    for (const auto& e : fs::directory_iterator(TestSupport::CorpusDir() / dir))
      if (e.is_regular_file()) files.push_back(e.path());
  ASSERT_GT(files.size(), 50u);
  int loaded = 0;
  for (const fs::path& f : files) {
    SCOPED_TRACE(f.string());
    std::string name = f.filename().string();
    // Cut short inside (or right at the start of) the entropy-coded data.
    if (name == "truncated_jpeg.jpg" || name == "ultrahdr.jpg") {
      TDynImageDataArray images;
      try {
        JpegHandler()->LoadFromFile(f.string(), images);
        ADD_FAILURE() << "truncated file loaded";
      } catch (const EImagingError& e) {
        std::string msg = e.what();
        EXPECT_NE(msg.find(" Exception Message: JPEG Error "), std::string::npos) << msg;
        EXPECT_NE(msg.find(": Premature end of JPEG file"), std::string::npos) << msg;
      }
      EXPECT_TRUE(images.empty());
      continue;
    }
    int32_t w, h, c;
    std::vector<uint8_t> px;
    ASSERT_TRUE(Djpeg(f.string(), w, h, c, px));
    TImageData img = LoadOne(f.string());
    ExpectSamePixels(img, w, h, c, px, img.Format == fmtA8R8G8B8 ? 1 : 0, name);
    ReleaseImage(img);
    ++loaded;
  }
  EXPECT_GT(loaded, 50);
}

TEST(Jpeg, TruncatedAndCorruptStreamsFailWithLibjpegMessage) {
  TImageData img = PhotoImage(128, 96);
  std::vector<uint8_t> good = SaveToBytes(img);
  ReleaseImage(img);
  ASSERT_EQ(LoadErrorOf(good), "");

  // Every cut inside the file fails cleanly; the message is libjpeg's.
  for (size_t cut : {size_t(2), size_t(20), size_t(200), good.size() / 2, good.size() - 3}) {
    std::vector<uint8_t> part(good.begin(), good.begin() + std::max<size_t>(cut, 10));
    std::string msg = LoadErrorOf(part);
    EXPECT_NE(msg.find("Exception Message: JPEG Error "), std::string::npos) << cut << ": " << msg;
  }
  std::vector<uint8_t> half(good.begin(), good.begin() + good.size() / 2);
  EXPECT_NE(LoadErrorOf(half).find("Premature end of JPEG file"), std::string::npos);

  // Even a stream that lacks only its EOI marker counts as cut short: the
  // decoder reads ahead into where the rest of the data would be.
  std::vector<uint8_t> noEoi(good.begin(), good.end() - 2);
  EXPECT_NE(LoadErrorOf(noEoi).find("Premature end of JPEG file"), std::string::npos);

  // A stray marker in the middle of the entropy-coded data: the decoder
  // resynchronises, like djpeg, and the image loads.
  std::vector<uint8_t> marked = good;
  size_t mid = good.size() * 2 / 3;
  marked[mid] = 0xFF;
  marked[mid + 1] = 0xD4;
  EXPECT_EQ(LoadErrorOf(marked), "");

  // Damaged frame header: no components.
  const uint8_t sofMarker[2] = {0xFF, 0xC0};
  std::vector<uint8_t> badSof = good;
  auto sof = std::search(badSof.begin(), badSof.end(), sofMarker, sofMarker + 2);
  ASSERT_NE(sof, badSof.end());
  sof[9] = 0;
  EXPECT_NE(LoadErrorOf(badSof).find("Exception Message: JPEG Error "), std::string::npos) << LoadErrorOf(badSof);

  // Garbage in the header tables.
  std::vector<uint8_t> badTables = good;
  for (size_t i = 20; i < 40; ++i) badTables[i] = 0x00;
  EXPECT_NE(LoadErrorOf(badTables).find("JPEG Error "), std::string::npos);
}

// A frame header whose image could not be held is refused before anything
// is allocated for it.
TEST(Jpeg, OversizedHeaderRefusedBeforeAllocating) {
  TImageData img = PhotoImage(16, 16, fmtGray8);
  std::vector<uint8_t> bytes = SaveToBytes(img);
  ReleaseImage(img);
  const uint8_t marker[2] = {0xFF, 0xC0};
  auto sof = std::search(bytes.begin(), bytes.end(), marker, marker + 2);
  ASSERT_NE(sof, bytes.end());
  // 65000 x 65000 gray: more than the 2 GiB an image may hold.
  sof[5] = 0xFD;
  sof[6] = 0xE8;
  sof[7] = 0xFD;
  sof[8] = 0xE8;
  std::string msg = LoadErrorOf(bytes);
  EXPECT_NE(msg.find("JPEG image of 65000 x 65000 pixels is too large."), std::string::npos) << msg;
}

// After a load from a stream, the stream stands just behind the JPEG data.
TEST(Jpeg, StreamPositionAfterLoad) {
  TImageData img = PhotoImage(40, 30);
  std::vector<uint8_t> bytes = SaveToBytes(img);
  ReleaseImage(img);
  size_t jpegSize = bytes.size();
  bytes.insert(bytes.end(), 100000, 0x55);
  TMemoryStream stream(bytes);
  TDynImageDataArray images;
  ASSERT_TRUE(JpegHandler()->LoadFromStream(&stream, images));
  EXPECT_EQ(stream.GetPosition(), int64_t(jpegSize));
  ReleaseImageArray(images);
}

// The whole path through the registry: detection, load and save by name.
TEST(Jpeg, ReadAndWriteThroughRegistry) {
  TestSupport::TempDir tmp;
  TImageData img = PhotoImage(33, 21, fmtA8R8G8B8);
  std::string file = tmp.File("x.jpeg");
  ASSERT_TRUE(WriteImageFile(file, img));
  EXPECT_EQ(DetectFileFormat(file), "jpg");
  TImageData back;
  ASSERT_TRUE(ReadImageFile(file, back));
  EXPECT_EQ(back.Format, fmtR8G8B8);
  EXPECT_EQ(back.Width, 33);
  EXPECT_EQ(back.Height, 21);
  ReleaseImage(back);
  ReleaseImage(img);
}
