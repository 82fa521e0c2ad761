// MNG and JNG handlers: registry entries and options, the chunks we write,
// JPEG-coded frames with PNG and JPEG alpha, hostile and damaged files, the
// single-image entry point, and files exchanged with ImageMagick and djpeg
// both ways.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "ImagingNetworkGraphics.h"
#include "PngTestSupport.h"
#include "TestSupport.h"

using namespace Imaging;
using namespace PngTest;

namespace {

class MngTest : public ::testing::Test {
protected:
  void SetUp() override { TestSupport::InitCore(); }
  void TearDown() override {
    for (int32_t id : {OptMngLossyCompression, OptMngLossyAlpha, OptMngProgressive, OptJngLossyAlpha,
                       OptJngProgressive})
      SetImagingOption(id, 0);
    SetImagingOption(OptMngQuality, 90);
    SetImagingOption(OptJngQuality, 90);
  }
};

TImageFileFormat* Handler(const char* Ext) { return FindHandlerByExtension(Ext); }

std::vector<uint8_t> Save(const char* Ext, const std::vector<TImageData>& Images) {
  int64_t total = 0;
  for (const auto& i : Images) total += i.Size;
  std::vector<uint8_t> buffer(size_t(total * 3 + 65536));
  int32_t size = int32_t(buffer.size());
  TDynImageDataArray array(Images.begin(), Images.end());
  bool ok = false;
  try {
    ok = Handler(Ext)->SaveToMemory(buffer.data(), size, array, false);
  } catch (const EImagingError& e) {
    ADD_FAILURE() << e.what();
  }
  EXPECT_TRUE(ok);
  buffer.resize(ok ? size_t(size) : 0);
  return buffer;
}

TDynImageDataArray Load(const char* Ext, const std::vector<uint8_t>& Bytes) {
  TDynImageDataArray images;
  try {
    if (!Handler(Ext)->LoadFromMemory(Bytes.data(), int32_t(Bytes.size()), images)) ADD_FAILURE() << "not loaded";
  } catch (const EImagingError& e) {
    ADD_FAILURE() << e.what();
  }
  return images;
}

// The handler's own message of a failed load.
std::string LoadError(const char* Ext, const std::vector<uint8_t>& Bytes) {
  TDynImageDataArray images;
  try {
    Handler(Ext)->LoadFromMemory(Bytes.data(), int32_t(Bytes.size()), images);
  } catch (const EImagingError& e) {
    std::string text = e.what();
    size_t at = text.find(" Exception Message: ");
    return at == std::string::npos ? text : text.substr(at + 20);
  }
  ReleaseImageArray(images);
  return "";
}

// A chunk stream with another signature.
std::vector<uint8_t> Resign(std::vector<uint8_t> Bytes, const uint8_t (&Signature)[8]) {
  std::memcpy(Bytes.data(), Signature, 8);
  return Bytes;
}

std::vector<uint8_t> JoinedChunks(const std::vector<uint8_t>& File, const char* Id) {
  std::vector<uint8_t> all;
  for (auto& c : AllChunkData(File, Id)) all.insert(all.end(), c.begin(), c.end());
  return all;
}

// djpeg's decode of a JPEG stream: gray or B, G, R bytes in our order.
bool Djpeg(const std::vector<uint8_t>& Jpeg, bool& Gray, std::vector<uint8_t>& Pixels, int& W, int& H) {
  TestSupport::TempDir dir;
  TestSupport::WriteFileBytes(dir.Path() / "a.jpg", Jpeg);
  std::string out;
  if (TestSupport::RunCommand("djpeg -pnm '" + dir.File("a.jpg") + "' 2>/dev/null", &out) != 0) return false;
  std::istringstream in(out);
  std::string magic;
  int maxval;
  in >> magic >> W >> H >> maxval;
  in.get();
  Gray = magic == "P5";
  const size_t n = size_t(W) * H * (Gray ? 1 : 3);
  Pixels.resize(n);
  in.read(reinterpret_cast<char*>(Pixels.data()), std::streamsize(n));
  if (!Gray)
    for (size_t i = 0; i < n; i += 3) std::swap(Pixels[i], Pixels[i + 2]);
  return bool(in);
}

// The colour bytes (without alpha) of a gray or RGB image with or without
// alpha, and its alpha bytes.
void Split(const TImageData& Image, std::vector<uint8_t>& Color, std::vector<uint8_t>& Alpha) {
  TImageFormatInfo info;
  QueryFormatInfo(Image.Format, info);
  const int bpp = info.BytesPerPixel, colors = info.HasGrayChannel ? 1 : 3;
  const auto* p = static_cast<const uint8_t*>(Image.Bits);
  Color.clear();
  Alpha.clear();
  for (int i = 0; i < Image.Width * Image.Height; ++i) {
    Color.insert(Color.end(), p + i * bpp, p + i * bpp + colors);
    if (info.HasAlphaChannel) Alpha.push_back(p[i * bpp + bpp - 1]);
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// Registry and options
// ---------------------------------------------------------------------------

TEST_F(MngTest, RegistryEntriesAndOptions) {
  // Places 4 and 5 of the start-up list, after BMP, JPEG and PNG.
  ASSERT_GE(HandlerCount(), 5);
  EXPECT_EQ(HandlerAtIndex(3), Handler("mng"));
  EXPECT_EQ(HandlerAtIndex(4), Handler("jng"));
  TImageFileFormat* mng = Handler("MNG");
  TImageFileFormat* jng = Handler("jng");
  EXPECT_EQ(mng->Name(), "Multiple Network Graphics");
  EXPECT_EQ(jng->Name(), "JPEG Network Graphics");
  EXPECT_EQ(mng->Masks(), std::vector<std::string>{"*.mng"});
  EXPECT_EQ(jng->Masks(), std::vector<std::string>{"*.jng"});
  EXPECT_TRUE(mng->IsMultiImageFormat());
  EXPECT_FALSE(jng->IsMultiImageFormat());
  EXPECT_TRUE(mng->CanSave() && mng->CanLoad() && jng->CanSave() && jng->CanLoad());
  const TImageFormats lossy{fmtGray8, fmtA8Gray8, fmtR8G8B8, fmtA8R8G8B8};
  EXPECT_EQ(jng->SupportedFormats(), lossy);
  EXPECT_EQ(mng->SupportedFormats(), Handler("png")->SupportedFormats());
  SetImagingOption(OptMngLossyCompression, -1);
  EXPECT_EQ(mng->SupportedFormats(), lossy);
  const std::pair<int32_t, int32_t> defaults[] = {{OptMngLossyCompression, -1}, {OptMngPreFilter, 5},
                                                  {OptMngCompressLevel, 5},      {OptMngQuality, 90},
                                                  {OptJngPreFilter, 5},          {OptJngCompressLevel, 5},
                                                  {OptJngQuality, 90}};
  for (auto [id, value] : defaults) EXPECT_EQ(GetImagingOption(id), value) << id;
  // Repairs on save: quality outside 1 to 100 becomes 90.
  SetImagingOption(OptJngQuality, 0);
  TImageData img = TestSupport::RandomImage(4, 4, fmtR8G8B8, 1);
  Save("jng", {img});
  EXPECT_EQ(GetImagingOption(OptJngQuality), 90);
  ReleaseImage(img);
  EXPECT_TRUE(IsSupportedFileName("a.MNG"));
  EXPECT_TRUE(IsSupportedFileName("a.jng"));
}

// ---------------------------------------------------------------------------
// Writing
// ---------------------------------------------------------------------------

TEST_F(MngTest, JngWithAlphaWritesItsChunksAndLoadsBack) {
  TImageData img = SmoothImage(23, 11, fmtA8R8G8B8, 3);
  auto jng = Save("jng", {img});
  ASSERT_EQ(std::vector<uint8_t>(jng.begin(), jng.begin() + 8),
            (std::vector<uint8_t>{0x8B, 0x4A, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A}));
  EXPECT_EQ(ChunkIds(jng), (std::vector<std::string>{"JHDR", "JDAT", "IDAT", "IEND"}));
  EXPECT_EQ(ChunkData(jng, "JHDR"), Concat(BE({23, 11}), {14, 8, 8, 0, 8, 0, 0, 0}));
  TDynImageDataArray back = Load("jng", jng);
  ASSERT_EQ(back.size(), 1u);
  EXPECT_EQ(back[0].Format, fmtA8R8G8B8);
  std::vector<uint8_t> color, alpha, color0, alpha0;
  Split(back[0], color, alpha);
  Split(img, color0, alpha0);
  EXPECT_EQ(alpha, alpha0);  // lossless alpha
  bool gray;
  std::vector<uint8_t> peer;
  int w, h;
  if (TestSupport::HaveProgram("djpeg")) {
    ASSERT_TRUE(Djpeg(ChunkData(jng, "JDAT"), gray, peer, w, h));
    EXPECT_FALSE(gray);
    EXPECT_EQ(color, peer);
  }
  ReleaseImageArray(back);

  // Lossy alpha: a JDAA chunk holding a gray JPEG, never progressive.
  SetImagingOption(OptJngLossyAlpha, -1);
  SetImagingOption(OptJngProgressive, -1);
  SetImagingOption(OptJngQuality, 75);
  jng = Save("jng", {img});
  EXPECT_EQ(ChunkIds(jng), (std::vector<std::string>{"JHDR", "JDAT", "JDAA", "IEND"}));
  EXPECT_EQ(ChunkData(jng, "JHDR"), Concat(BE({23, 11}), {14, 8, 8, 8, 8, 8, 0, 0}));
  auto jdat = ChunkData(jng, "JDAT"), jdaa = ChunkData(jng, "JDAA");
  auto hasMarker = [](const std::vector<uint8_t>& J, uint8_t M) {
    for (size_t i = 0; i + 1 < J.size(); ++i)
      if (J[i] == 0xFF && J[i + 1] == M) return true;
    return false;
  };
  EXPECT_TRUE(hasMarker(jdat, 0xC2));   // progressive colour
  EXPECT_FALSE(hasMarker(jdaa, 0xC2));  // sequential alpha
  back = Load("jng", jng);
  ASSERT_EQ(back.size(), 1u);
  Split(back[0], color, alpha);
  if (TestSupport::HaveProgram("djpeg")) {
    ASSERT_TRUE(Djpeg(jdaa, gray, peer, w, h));
    EXPECT_TRUE(gray);
    EXPECT_EQ(alpha, peer);
    ASSERT_TRUE(Djpeg(jdat, gray, peer, w, h));
    EXPECT_EQ(color, peer);
  }
  ReleaseImageArray(back);
  ReleaseImage(img);
}

TEST_F(MngTest, JngOfEveryLossyFormat) {
  struct TCase {
    TImageFormat Format;
    uint8_t ColorType;
    std::vector<std::string> Chunks;
  };
  const TCase cases[] = {{fmtGray8, 8, {"JHDR", "JDAT", "IEND"}},
                         {fmtA8Gray8, 12, {"JHDR", "JDAT", "IDAT", "IEND"}},
                         {fmtR8G8B8, 10, {"JHDR", "JDAT", "IEND"}},
                         {fmtA8R8G8B8, 14, {"JHDR", "JDAT", "IDAT", "IEND"}}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(FormatDisplayName(c.Format));
    TImageData img = SmoothImage(17, 9, c.Format, 5);
    auto jng = Save("jng", {img});
    EXPECT_EQ(ChunkIds(jng), c.Chunks);
    auto jhdr = ChunkData(jng, "JHDR");
    EXPECT_EQ(jhdr[8], c.ColorType);
    TDynImageDataArray back = Load("jng", jng);
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(back[0].Format, c.Format);
    std::vector<uint8_t> color, alpha, color0, alpha0, peer;
    Split(back[0], color, alpha);
    Split(img, color0, alpha0);
    EXPECT_EQ(alpha, alpha0);
    bool gray;
    int w, h;
    if (TestSupport::HaveProgram("djpeg")) {
      ASSERT_TRUE(Djpeg(ChunkData(jng, "JDAT"), gray, peer, w, h));
      EXPECT_EQ(color, peer);
    }
    ReleaseImageArray(back);
    ReleaseImage(img);
  }
  // Formats outside the set are converted first; 16-bit gray becomes gray.
  TImageData g16 = SmoothImage(5, 5, fmtGray16, 1);
  EXPECT_EQ(ChunkData(Save("jng", {g16}), "JHDR")[8], 8);
  ReleaseImage(g16);
}

TEST_F(MngTest, MngFramesAreLosslessOrJpeg) {
  TImageData a = SmoothImage(10, 10, fmtIndex8, 1);
  TImageData b = SmoothImage(20, 5, fmtA16R16G16B16, 2);
  TImageData c = SmoothImage(5, 30, fmtGray8, 3);
  auto mng = Save("mng", {a, b, c});
  EXPECT_EQ(std::vector<uint8_t>(mng.begin(), mng.begin() + 8),
            (std::vector<uint8_t>{0x8A, 0x4D, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A}));
  EXPECT_EQ(ChunkIds(mng), (std::vector<std::string>{"MHDR", "IHDR", "PLTE", "tRNS", "IDAT", "IEND", "IHDR", "IDAT",
                                                     "IEND", "IHDR", "IDAT", "IEND", "MEND"}));
  EXPECT_EQ(ChunkData(mng, "MHDR"), BE({20, 30, 3, 0, 3, 0, 473}));
  TDynImageDataArray back = Load("mng", mng);
  ASSERT_EQ(back.size(), 3u);
  const TImageData* in[] = {&a, &b, &c};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(back[i].Format, in[i]->Format);
    EXPECT_EQ(PixelBytes(back[i]), PixelBytes(*in[i])) << i;
  }
  EXPECT_EQ(std::memcmp(back[0].Palette, a.Palette, 256 * 4), 0);
  ReleaseImageArray(back);

  // Lossy: three JHDR groups, the indexed image (translucent palette) in
  // colour with alpha.
  SetImagingOption(OptMngLossyCompression, -1);
  mng = Save("mng", {a, b, c});
  EXPECT_EQ(ChunkIds(mng), (std::vector<std::string>{"MHDR", "JHDR", "JDAT", "IDAT", "IEND", "JHDR", "JDAT", "IDAT",
                                                     "IEND", "JHDR", "JDAT", "IEND", "MEND"}));
  EXPECT_EQ(ChunkData(mng, "MHDR"), BE({20, 30, 3, 0, 3, 0, 473}));
  back = Load("mng", mng);
  ASSERT_EQ(back.size(), 3u);
  EXPECT_EQ(back[0].Format, fmtA8R8G8B8);
  EXPECT_EQ(back[1].Format, fmtA8R8G8B8);
  EXPECT_EQ(back[2].Format, fmtGray8);
  ReleaseImageArray(back);
  ReleaseImage(a);
  ReleaseImage(b);
  ReleaseImage(c);
}

// ---------------------------------------------------------------------------
// Animated PNG composition
// ---------------------------------------------------------------------------

TEST_F(MngTest, ApngDisposeAndBlendFollowTheCanvasRules) {
  // Gray with alpha on a 4 x 1 canvas: a full frame, a region cleared after
  // it (dispose 1), a translucent pixel drawn over and then undone
  // (dispose 2), and a transparent pixel drawn over the cleared region.
  auto px = [](std::initializer_list<uint8_t> V) { return Zlib(Concat({0}, std::vector<uint8_t>(V))); };
  auto png = TPngBuilder()
                 .Header(4, 1, 8, 4)
                 .Chunk("acTL", BE({4, 0}))
                 .Chunk("fcTL", FcTL(0, 4, 1, 0, 0, 0, 0))
                 .RawData(px({10, 255, 10, 255, 10, 255, 10, 255}))
                 .Chunk("fcTL", FcTL(1, 2, 1, 0, 0, 1, 0))
                 .Chunk("fdAT", Concat(BE({2}), px({20, 255, 20, 255})))
                 .Chunk("fcTL", FcTL(3, 1, 1, 3, 0, 2, 1))
                 .Chunk("fdAT", Concat(BE({4}), px({30, 128})))
                 .Chunk("fcTL", FcTL(5, 1, 1, 0, 0, 0, 1))
                 .Chunk("fdAT", Concat(BE({6}), px({0, 0})))
                 .End()
                 .Bytes;
  TDynImageDataArray frames = PngTest::LoadPng(png);
  ASSERT_EQ(frames.size(), 4u);
  const std::vector<uint8_t> expected[] = {
      {10, 255, 10, 255, 10, 255, 10, 255},
      {20, 255, 20, 255, 10, 255, 10, 255},
      // (30 x 128 + 10 x 127) / 255 = 20.04, over an opaque pixel: opaque
      {0, 0, 0, 0, 10, 255, 20, 255},
      // back to the canvas before the translucent pixel, which is the one
      // after the region was cleared; transparent over transparent stays so
      {0, 0, 0, 0, 10, 255, 10, 255},
  };
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(frames[i].Format, fmtA8Gray8);
    EXPECT_EQ(PixelBytes(frames[i]), expected[i]) << "frame " << i;
  }
  ReleaseImageArray(frames);
}

// ---------------------------------------------------------------------------
// Reading hand-made and damaged files
// ---------------------------------------------------------------------------

TEST_F(MngTest, ControlChunksArePassedOverAndGlobalsShared) {
  // A global palette and transparency, control chunks between frames, an
  // empty PLTE taking the global palette.
  auto rows = std::vector<uint8_t>{0, 0, 1, 2};
  TPngBuilder b;
  b.Chunk("MHDR", BE({3, 1, 1, 0, 0, 0, 1}))
      .Chunk("TERM", {0})
      .Chunk("PLTE", {10, 20, 30, 40, 50, 60, 70, 80, 90})
      .Chunk("tRNS", {0, 128})
      .Chunk("FRAM", {1})
      .Header(3, 1, 8, 3)
      .Chunk("PLTE", {})
      .Chunk("tRNS", {})
      .Data(rows)
      .End()
      .Chunk("DEFI", {0, 1})
      .Header(3, 1, 8, 3)
      .Chunk("PLTE", {1, 2, 3, 4, 5, 6, 7, 8, 9})
      .Data(rows)
      .End()
      .Chunk("MEND", {});
  auto mng = Resign(b.Bytes, {0x8A, 0x4D, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A});
  TDynImageDataArray images = Load("mng", mng);
  ASSERT_EQ(images.size(), 2u);
  EXPECT_EQ(PixelBytes(images[0]), (std::vector<uint8_t>{0, 1, 2}));
  EXPECT_EQ(images[0].Palette[1].R, 40);
  EXPECT_EQ(images[0].Palette[0].A, 0);
  EXPECT_EQ(images[0].Palette[1].A, 128);
  EXPECT_EQ(images[0].Palette[2].A, 255);
  EXPECT_EQ(images[1].Palette[1].R, 4);
  EXPECT_EQ(images[1].Palette[0].A, 255);
  ReleaseImageArray(images);
}

TEST_F(MngTest, EmptyAndHostileFiles) {
  const uint8_t mngSig[8] = {0x8A, 0x4D, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
  const uint8_t jngSig[8] = {0x8B, 0x4A, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
  // Control chunks only: one blank image of the frame size.
  auto blank = Resign(TPngBuilder().Chunk("MHDR", BE({7, 3, 0, 0, 0, 0, 1})).Chunk("MEND", {}).Bytes, mngSig);
  TDynImageDataArray images = Load("mng", blank);
  ASSERT_EQ(images.size(), 1u);
  EXPECT_EQ(images[0].Width, 7);
  EXPECT_EQ(images[0].Height, 3);
  EXPECT_EQ(images[0].Format, fmtA8R8G8B8);
  EXPECT_EQ(PixelBytes(images[0]), std::vector<uint8_t>(7 * 3 * 4, 0));
  ReleaseImageArray(images);

  auto rows = Zlib({0, 5});
  struct TCase {
    const char* Name;
    const char* Ext;
    std::vector<uint8_t> File;
    std::string Message;
  };
  std::vector<TCase> cases = {
      {"no frame size", "mng",
       Resign(TPngBuilder().Chunk("MHDR", BE({0, 3, 0, 0, 0, 0, 1})).Chunk("MEND", {}).Bytes, mngSig),
       "MNG file without frames has an invalid frame size of 0 x 3."},
      {"huge blank", "mng",
       Resign(TPngBuilder().Chunk("MHDR", BE({0x7FFFFFFF, 0x7FFFFFFF, 0, 0, 0, 0, 1})).Chunk("MEND", {}).Bytes,
              mngSig),
       ""},
      {"empty MHDR", "mng", Resign(TPngBuilder().Chunk("MHDR", {}).Chunk("MEND", {}).Bytes, mngSig),
       "MNG file without frames has an invalid frame size of 0 x 0."},
      {"bad MHDR CRC", "mng", Resign(TPngBuilder().Chunk("MHDR", BE({1, 1, 0, 0, 0, 0, 1}), true).Bytes, mngSig),
       "CRC error in MHDR chunk. File may be corrupted."},
      {"12-bit JNG", "jng",
       Resign(TPngBuilder().Chunk("JHDR", Concat(BE({2, 2}), {10, 12, 8, 0, 0, 0, 0, 0})).Chunk("JDAT", {0xFF, 0xD8})
                  .End()
                  .Bytes,
              jngSig),
       "JNG images with 12-bit samples are not supported."},
      {"JNG without JPEG", "jng",
       Resign(TPngBuilder().Chunk("JHDR", Concat(BE({2, 2}), {10, 8, 8, 0, 0, 0, 0, 0})).End().Bytes, jngSig), ""},
      {"PNG frame in JNG", "jng", Resign(TPngBuilder().Header(1, 1, 8, 0).RawData(rows).End().Bytes, jngSig),
       "JNG file holds no JPEG-coded image."},
  };
  // Many frames that each claim 16 MiB of pixels from a few bytes.
  TPngBuilder many;
  many.Chunk("MHDR", BE({4096, 2048, 0, 0, 0, 0, 1}));
  for (int i = 0; i < 70; ++i) many.Header(4096, 2048, 8, 0).RawData(rows).End();
  many.Chunk("MEND", {});
  cases.push_back({"many large frames", "mng", Resign(many.Bytes, mngSig), "MNG file of 70 frames is too large to load."});
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    std::string error = LoadError(c.Ext, c.File);
    EXPECT_FALSE(error.empty());
    if (!c.Message.empty()) EXPECT_EQ(error, c.Message);
  }
}

TEST_F(MngTest, HostileAnimationFailsBeforeComposing) {
  // A 2048 x 2048 canvas and 65 frames, all but the first of 1 x 1: over a
  // GiB of composed frames from 20 KiB.
  auto one = Zlib({0, 0, 0, 0, 0});
  TPngBuilder b;
  b.Header(2048, 2048, 8, 6).Chunk("acTL", BE({65, 0})).Chunk("fcTL", FcTL(0, 2048, 2048, 0, 0));
  b.RawData(Zlib(std::vector<uint8_t>(size_t(2048) * (2048 * 4 + 1), 0), 9));
  uint32_t seq = 1;
  for (int i = 1; i < 65; ++i) {
    b.Chunk("fcTL", FcTL(seq++, 1, 1, 0, 0));
    b.Chunk("fdAT", Concat(BE({seq++}), one));
  }
  auto png = b.End().Bytes;
  EXPECT_EQ(PngTest::LoadError(png), "Animation of 65 frames on a 2048 x 2048 canvas is too large to compose.");
  // Its raw frames load, and so does its first picture.
  SetImagingOption(OptPngLoadAnimated, 0);
  TDynImageDataArray raw = PngTest::LoadPng(png);
  EXPECT_EQ(raw.size(), 65u);
  ReleaseImageArray(raw);
  SetImagingOption(OptPngLoadAnimated, -1);
  TMemoryStream stream(png);
  TImageData first;
  ASSERT_TRUE(ReadImageStream(&stream, first));
  EXPECT_EQ(first.Width, 2048);
  ReleaseImage(first);

  // Raw frames are bounded too: frames of 2000 x 2000 whose streams end
  // after one row (the rest is zero), 16 MB each, the 69th past a GiB.
  TPngBuilder r;
  const auto row = Zlib(std::vector<uint8_t>(2000 * 4 + 1, 0));
  r.Header(2000, 2000, 8, 6).Chunk("acTL", BE({70, 0})).Chunk("fcTL", FcTL(0, 2000, 2000, 0, 0)).RawData(row);
  seq = 1;
  for (int i = 1; i < 70; ++i) {
    r.Chunk("fcTL", FcTL(seq++, 2000, 2000, 0, 0));
    r.Chunk("fdAT", Concat(BE({seq++}), row));
  }
  SetImagingOption(OptPngLoadAnimated, 0);
  EXPECT_EQ(PngTest::LoadError(r.End().Bytes), "Animation of 69 frames is too large to load.");
  SetImagingOption(OptPngLoadAnimated, -1);
}

TEST_F(MngTest, OneImageAskedForReadsNoFurther) {
  // Whatever follows the frames the first picture is made of is not read:
  // here, damage that fails a whole load.
  auto frame = Zlib({0, 9, 9});
  auto tail = TPngBuilder().Chunk("IDAT", {1, 2, 3}).Bytes;
  tail.erase(tail.begin(), tail.begin() + 8);
  tail.resize(tail.size() - 2);  // cut short
  struct TCase {
    const char* Name;
    std::vector<uint8_t> File;
    std::vector<uint8_t> First;
  };
  const uint8_t mngSig[8] = {0x8A, 0x4D, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
  std::vector<TCase> cases = {
      {"MNG", Concat(Resign(TPngBuilder().Chunk("MHDR", BE({2, 1, 0, 0, 0, 0, 1})).Header(2, 1, 8, 0).RawData(frame)
                                .End()
                                .Header(2, 1, 8, 0)
                                .Bytes,
                            mngSig),
                     tail),
       {9, 9}},
      // Default image part of the animation: it is the first picture.
      {"APNG", Concat(TPngBuilder()
                          .Header(2, 1, 8, 0)
                          .Chunk("acTL", BE({2, 0}))
                          .Chunk("fcTL", FcTL(0, 2, 1, 0, 0))
                          .RawData(frame)
                          .Chunk("fcTL", FcTL(1, 1, 1, 0, 0))
                          .Bytes,
                      tail),
       {9, 9}},
      // Default image outside: the first animation frame on its canvas.
      {"APNG outside", Concat(TPngBuilder()
                                  .Header(2, 1, 8, 4)
                                  .Chunk("acTL", BE({2, 0}))
                                  .RawData(Zlib({0, 1, 1, 1, 1}))
                                  .Chunk("fcTL", FcTL(0, 1, 1, 1, 0))
                                  .Chunk("fdAT", Concat(BE({1}), Zlib({0, 7, 200})))
                                  .Chunk("fcTL", FcTL(2, 1, 1, 0, 0))
                                  .Bytes,
                              tail),
       {0, 0, 7, 200}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TMemoryStream stream(c.File);
    TImageData first;
    ASSERT_TRUE(ReadImageStream(&stream, first));
    EXPECT_EQ(PixelBytes(first), c.First);
    ReleaseImage(first);
    EXPECT_FALSE(LoadError(c.Name[0] == 'M' ? "mng" : "png", c.File).empty());
  }
}

// ---------------------------------------------------------------------------
// Peers both ways
// ---------------------------------------------------------------------------

TEST_F(MngTest, FilesWrittenByImageMagickLoadAsItDecodesThem) {
  REQUIRE_PROGRAM("convert");
  REQUIRE_PROGRAM("djpeg");
  TestSupport::TempDir dir;
  auto run = [&](const std::string& Cmd) { ASSERT_EQ(TestSupport::RunCommand(Cmd + " 2>&1"), 0) << Cmd; };
  run("convert -size 37x21 gradient:red-blue -swirl 90 '" + dir.File("rgb.png") + "'");
  run("convert -size 37x21 gradient:white-black -swirl 60 -alpha set -channel A -fx 'i/w' +channel '" +
      dir.File("rgba.png") + "'");
  run("convert -size 37x21 gradient:white-black -colorspace gray '" + dir.File("gray.png") + "'");
  run("convert -size 37x21 plasma:fractal -seed 3 -colors 40 '" + dir.File("pal.png") + "'");
  run("cd '" + dir.Path().string() + "' && convert rgb.png one.mng && convert rgb.png rgba.png gray.png pal.png "
      "four.mng && convert rgb.png rgb.jpg && convert rgb.jpg rgb.jng && convert rgba.png rgba.jng && "
      "convert gray.png -quality 80 gray.jng");
  // MNG frames are lossless: exactly the peer's pixels.
  for (const char* name : {"one.mng", "four.mng"}) {
    SCOPED_TRACE(name);
    auto bytes = TestSupport::ReadFileBytes(dir.Path() / name);
    TDynImageDataArray images = Load("mng", bytes);
    ASSERT_EQ(images.size(), std::string(name) == "one.mng" ? 1u : 4u);
    for (size_t i = 0; i < images.size(); ++i) {
      int32_t w, h;
      std::vector<uint16_t> peer;
      ASSERT_TRUE(MagickRGBA16(dir.File(name), int(i), w, h, peer));
      EXPECT_EQ(images[i].Width, w);
      EXPECT_TRUE(SameVisiblePixels(ToRGBA16(images[i]), peer)) << "frame " << i;
    }
    ReleaseImageArray(images);
  }
  // JNG colour exactly as djpeg decodes the embedded JPEG, alpha as the peer.
  for (const char* name : {"rgb.jng", "rgba.jng", "gray.jng"}) {
    SCOPED_TRACE(name);
    auto bytes = TestSupport::ReadFileBytes(dir.Path() / name);
    TDynImageDataArray images = Load("jng", bytes);
    ASSERT_EQ(images.size(), 1u);
    std::vector<uint8_t> color, alpha, peer;
    Split(images[0], color, alpha);
    bool gray;
    int w, h;
    ASSERT_TRUE(Djpeg(JoinedChunks(bytes, "JDAT"), gray, peer, w, h));
    EXPECT_EQ(color, peer);
    int32_t mw, mh;
    std::vector<uint16_t> magick;
    ASSERT_TRUE(MagickRGBA16(dir.File(name), 0, mw, mh, magick));
    std::vector<uint16_t> ours = ToRGBA16(images[0]);
    // The peer writes 16-bit alpha, which we narrow with rounding.
    for (size_t i = 0; i < ours.size(); i += 4)
      ASSERT_EQ(ours[i + 3] >> 8, (magick[i + 3] + 128) / 257) << "alpha of pixel " << i / 4;
    ReleaseImageArray(images);
  }
}

TEST_F(MngTest, FilesWeWriteAreReadByImageMagick) {
  REQUIRE_PROGRAM("convert");
  REQUIRE_PROGRAM("djpeg");
  TestSupport::TempDir dir;
  // MNG: every accepted format, lossless, in one file of all frames. The
  // peer draws each frame over the ones before it (MNG layers), so frames
  // with alpha are also written alone.
  const TImageFormat formats[] = {fmtIndex8,    fmtGray8,        fmtA8Gray8,   fmtGray16,      fmtA16Gray16,
                                  fmtR8G8B8,    fmtA8R8G8B8,     fmtR16G16B16, fmtA16R16G16B16, fmtB16G16R16,
                                  fmtA16B16G16R16};
  std::vector<TImageData> frames;
  for (TImageFormat f : formats) frames.push_back(SmoothImage(19, 7, f, uint32_t(frames.size() + 1)));
  auto all = Save("mng", frames);
  EXPECT_EQ(AllChunkData(all, "IHDR").size(), 11u);
  TestSupport::WriteFileBytes(dir.Path() / "all.mng", all);
  for (size_t i = 0; i < frames.size(); ++i) {
    SCOPED_TRACE(FormatDisplayName(formats[i]));
    TImageFormatInfo info;
    QueryFormatInfo(formats[i], info);
    const bool alone = info.HasAlphaChannel || formats[i] == fmtIndex8;
    if (alone) TestSupport::WriteFileBytes(dir.Path() / "one.mng", Save("mng", {frames[i]}));
    int32_t w, h;
    std::vector<uint16_t> peer;
    ASSERT_TRUE(MagickRGBA16(dir.File(alone ? "one.mng" : "all.mng"), alone ? 0 : int(i), w, h, peer));
    std::vector<uint16_t> ours = ToRGBA16(frames[i]);
    // The peer reads 16-bit MNG frames as 8-bit.
    if (formats[i] == fmtGray16 || formats[i] == fmtA16Gray16 || formats[i] >= fmtR16G16B16)
      for (auto* v : {&ours, &peer})
        for (uint16_t& x : *v) x = uint16_t((x >> 8) * 257);
    EXPECT_TRUE(SameVisiblePixels(ours, peer));
  }
  for (TImageData& f : frames) ReleaseImage(f);

  // JNG: the four lossy formats, alpha as PNG and as JPEG data.
  for (TImageFormat f : {fmtGray8, fmtA8Gray8, fmtR8G8B8, fmtA8R8G8B8})
    for (int32_t lossyAlpha : {0, -1}) {
      SCOPED_TRACE(FormatDisplayName(f) + (lossyAlpha ? " JPEG alpha" : " PNG alpha"));
      SetImagingOption(OptJngLossyAlpha, lossyAlpha);
      TImageData img = SmoothImage(21, 13, f, 9);
      auto jng = Save("jng", {img});
      TestSupport::WriteFileBytes(dir.Path() / "a.jng", jng);
      int32_t w, h;
      std::vector<uint16_t> peer;
      ASSERT_TRUE(MagickRGBA16(dir.File("a.jng"), 0, w, h, peer));
      std::vector<uint8_t> color, alpha, djpegColor, djpegAlpha;
      Split(img, color, alpha);
      bool gray;
      int dw, dh;
      ASSERT_TRUE(Djpeg(ChunkData(jng, "JDAT"), gray, djpegColor, dw, dh));
      if (lossyAlpha && !alpha.empty()) {
        bool alphaGray;
        ASSERT_TRUE(Djpeg(ChunkData(jng, "JDAA"), alphaGray, djpegAlpha, dw, dh));
        alpha = djpegAlpha;
      }
      const int colors = gray ? 1 : 3;
      for (int i = 0; i < w * h; ++i) {
        const uint16_t* p = &peer[size_t(i) * 4];
        for (int c = 0; c < 3; ++c)
          ASSERT_EQ(p[c] >> 8, djpegColor[size_t(i) * colors + (gray ? 0 : 2 - c)]) << "pixel " << i;
        ASSERT_EQ(p[3] >> 8, alpha.empty() ? 255 : alpha[size_t(i)]) << "alpha of pixel " << i;
      }
      ReleaseImage(img);
    }
}
