// TIFF handler: registration and options, content test, every pixel format
// through a save and a load, orientation, multi-page files, hostile files,
// and pixels against libtiff's tools, ImageMagick and Pillow both ways.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <sstream>

#include "ImagingTiff.h"
#include "TestSupport.h"

using namespace Imaging;
namespace fs = std::filesystem;

namespace {

const char* const Magick = "/usr/bin/convert";

TTiffFileFormat* TiffHandler() {
  TestSupport::InitCore();
  return dynamic_cast<TTiffFileFormat*>(FindHandlerByExtension("tif"));
}

std::string Quote(const std::string& S) { return "'" + S + "'"; }

// One page as ImageMagick shows it (orientation applied), 16-bit R, G, B, A,
// from one PAM stream.
bool PeerPage(const std::string& File, int Page, int32_t& W, int32_t& H, std::vector<uint16_t>& Rgba) {
  std::string raw;
  if (TestSupport::RunCommand(std::string(Magick) + " " + Quote(File + "[" + std::to_string(Page) + "]") +
                                  " -auto-orient -type TrueColorAlpha -depth 16 pam:- 2>/dev/null",
                              &raw) != 0)
    return false;
  size_t end = raw.find("ENDHDR\n");
  if (end == std::string::npos) return false;
  std::istringstream is(raw.substr(0, end));
  std::string key;
  int depth = 0;
  W = H = 0;
  while (is >> key) {
    if (key == "WIDTH") is >> W;
    if (key == "HEIGHT") is >> H;
    if (key == "DEPTH") is >> depth;
  }
  const size_t count = size_t(W) * H * 4;
  if (depth != 4 || raw.size() - end - 7 != count * 2) return false;
  Rgba.resize(count);
  const auto* p = reinterpret_cast<const uint8_t*>(raw.data() + end + 7);
  for (size_t i = 0; i < count; ++i) Rgba[i] = uint16_t(p[2 * i] << 8 | p[2 * i + 1]);
  return true;
}

// Our image as 16-bit R, G, B, A; 8-bit channels become v * 257.
std::vector<uint16_t> OwnRgba16(const TImageData& Image) {
  TImageFormatInfo info;
  QueryFormatInfo(Image.Format, info);
  const bool eightBit = info.IsIndexed || (!info.IsFloatingPoint && info.BytesPerPixel == info.ChannelCount);
  TImageData copy;
  EXPECT_TRUE(DuplicateImage(Image, copy));
  EXPECT_TRUE(ChangeImageFormat(copy, eightBit ? fmtA8R8G8B8 : fmtA16R16G16B16));
  std::vector<uint16_t> out(size_t(copy.Width) * copy.Height * 4);
  for (size_t i = 0; i < out.size(); i += 4) {
    uint16_t c[4];
    if (eightBit)
      for (int k = 0; k < 4; ++k) c[k] = uint16_t(static_cast<const uint8_t*>(copy.Bits)[i + k] * 257);
    else
      std::memcpy(c, static_cast<const uint16_t*>(copy.Bits) + i, sizeof c);
    out[i] = c[2];
    out[i + 1] = c[1];
    out[i + 2] = c[0];
    out[i + 3] = c[3];
  }
  ReleaseImage(copy);
  return out;
}

int MaxDifference(const std::vector<uint16_t>& A, const std::vector<uint16_t>& B) {
  if (A.size() != B.size()) return 65536;
  int worst = 0;
  for (size_t i = 0; i < A.size(); ++i) worst = std::max(worst, std::abs(int(A[i]) - int(B[i])));
  return worst;
}

TDynImageDataArray LoadAll(const std::string& File) {
  TDynImageDataArray images;
  EXPECT_TRUE(TiffHandler()->LoadFromFile(File, images)) << File;
  return images;
}

std::vector<uint8_t> SaveToBytes(const TDynImageDataArray& Images, bool OnlyFirst = false) {
  TMemoryStream stream;
  EXPECT_TRUE(TiffHandler()->SaveToStream(&stream, Images, OnlyFirst));
  return stream.Data();
}

TDynImageDataArray LoadBytes(const std::vector<uint8_t>& Data) {
  TDynImageDataArray images;
  EXPECT_TRUE(TiffHandler()->LoadFromMemory(Data.data(), int32_t(Data.size()), images));
  return images;
}

bool SamePixels(const TImageData& A, const TImageData& B) {
  return A.Width == B.Width && A.Height == B.Height && A.Format == B.Format && A.Size == B.Size &&
         std::memcmp(A.Bits, B.Bits, size_t(A.Size)) == 0;
}

struct TOptionGuard {
  TOptionGuard() { OptionStack().Push(); }
  ~TOptionGuard() { OptionStack().Pop(); }
};

std::string TiffTag(const std::string& File, const std::string& Name) {
  std::string out;
  TestSupport::RunCommand("tiffinfo " + Quote(File) + " 2>/dev/null", &out);
  std::istringstream is(out);
  std::string line;
  while (std::getline(is, line)) {
    size_t at = line.find(Name + ": ");
    if (at != std::string::npos) return line.substr(at + Name.size() + 2);
  }
  return "";
}

}  // namespace

TEST(Tiff, RegistrationAndOptions) {
  TTiffFileFormat* h = TiffHandler();
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h->Name(), "Tagged Image File Format");
  EXPECT_TRUE(h->CanLoad() && h->CanSave() && h->IsMultiImageFormat());
  EXPECT_EQ(h->Extensions(), (std::vector<std::string>{"tif", "tiff"}));
  EXPECT_EQ(GetImagingOption(OptTiffCompression), 1);
  // Directly after JPEG 2000 (or the portable maps while it is missing) and
  // before PCX in the start-up list.
  int32_t tiff = -1, pcx = -1;
  for (int32_t i = 0; i < HandlerCount(); ++i) {
    if (HandlerAtIndex(i) == h) tiff = i;
    if (HandlerAtIndex(i) == FindHandlerByExtension("pcx")) pcx = i;
  }
  EXPECT_LT(tiff, pcx);
  EXPECT_GT(tiff, 0);
}

TEST(Tiff, TestFormatAcceptsBothByteOrdersOnly) {
  TestSupport::InitCore();
  const std::vector<std::pair<std::vector<uint8_t>, bool>> cases = {
      {{0x49, 0x49, 0x2A, 0x00}, true},        {{0x4D, 0x4D, 0x00, 0x2A}, true},
      {{0x49, 0x49, 0x2B, 0x00}, false},       // BigTIFF
      {{0x4D, 0x4D, 0x2A, 0x00}, false},       {{0x49, 0x49, 0x2A}, false},
      {{0x49, 0x49, 0x2A, 0x00, 8, 0}, true},
  };
  for (const auto& [bytes, expected] : cases) {
    TMemoryStream s(bytes);
    EXPECT_EQ(DetectStreamFormat(&s) == "tif", expected) << bytes.size();
    EXPECT_EQ(s.GetPosition(), 0);
  }
}

// Every accepted format survives a save and a load bit for bit with every
// compression; formats it does not accept come back in their documented
// substitute.
TEST(Tiff, EveryFormatRoundTripsWithEveryCompression) {
  TOptionGuard guard;
  const TImageFormat formats[] = {fmtIndex8,       fmtGray8,        fmtA8Gray8,       fmtGray16, fmtGray32,
                                  fmtA16Gray16,    fmtR8G8B8,       fmtA8R8G8B8,      fmtR16G16B16,
                                  fmtA16R16G16B16, fmtR32F,         fmtA32R32G32B32F, fmtR16F,
                                  fmtA16R16G16B16F};
  for (int32_t compression = 0; compression <= 4; ++compression) {
    SetImagingOption(OptTiffCompression, compression);
    for (TImageFormat format : formats) {
      TImageData img = TestSupport::RandomImage(37, 23, format, uint32_t(format * 7 + compression));
      if (img.Palette)
        for (int i = 0; i < 256; ++i) img.Palette[i].A = 255;  // TIFF colour maps have no alpha
      TDynImageDataArray back = LoadBytes(SaveToBytes({img}));
      ASSERT_EQ(back.size(), 1u);
      const bool lossy = compression == 4 && (format == fmtGray8 || format == fmtR8G8B8);
      if (!lossy) {
        EXPECT_TRUE(SamePixels(img, back[0])) << FormatDisplayName(format) << " compression " << compression;
        if (format == fmtIndex8) {
          EXPECT_EQ(std::memcmp(img.Palette, back[0].Palette, 256 * 4), 0);
        }
      } else {
        EXPECT_EQ(back[0].Format, format);
      }
      ReleaseImage(img);
      ReleaseImageArray(back);
    }
  }
  const std::vector<std::pair<TImageFormat, TImageFormat>> substitutes = {
      {fmtGray64, fmtGray32}, {fmtR5G6B5, fmtR8G8B8}, {fmtA1R5G5B5, fmtA8R8G8B8}, {fmtX8R8G8B8, fmtR8G8B8},
      {fmtA32B32G32R32F, fmtA32R32G32B32F}, {fmtDXT1, fmtA8R8G8B8}};
  for (const auto& [from, to] : substitutes) {
    TImageData img = TestSupport::RandomImage(8, 8, from, 5);
    TDynImageDataArray back = LoadBytes(SaveToBytes({img}));
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(back[0].Format, to) << FormatDisplayName(from);
    ReleaseImage(img);
    ReleaseImageArray(back);
  }
}

TEST(Tiff, CompressionTagsAndJpegFallback) {
  TestSupport::InitCore();  // options are set before the first handler call
  REQUIRE_PROGRAM("tiffinfo");
  TOptionGuard guard;
  TestSupport::TempDir dir;
  struct TCase {
    int32_t Option;
    TImageFormat Format;
    const char* Scheme;
  };
  const TCase cases[] = {
      {0, fmtR8G8B8, "None"},         {1, fmtR8G8B8, "LZW"},   {2, fmtGray8, "PackBits"},
      {3, fmtR16G16B16, "AdobeDeflate"}, {4, fmtR8G8B8, "JPEG"}, {4, fmtGray8, "JPEG"},
      {4, fmtA8R8G8B8, "LZW"},        {4, fmtIndex8, "LZW"},   {4, fmtGray16, "LZW"},
      {7, fmtR8G8B8, "LZW"},          {-1, fmtR8G8B8, "LZW"},
  };
  for (const TCase& c : cases) {
    SetImagingOption(OptTiffCompression, c.Option);
    TImageData img = TestSupport::RandomImage(16, 16, c.Format, 1);
    std::string file = dir.File("c.tif");
    ASSERT_TRUE(TiffHandler()->SaveToFile(file, {img}));
    std::string scheme = TiffTag(file, "Compression Scheme");
    EXPECT_EQ(scheme, c.Scheme) << c.Option << " " << FormatDisplayName(c.Format);
    ReleaseImage(img);
  }
  EXPECT_EQ(GetImagingOption(OptTiffCompression), 1);  // 7 and -1 repaired
}

TEST(Tiff, MultiPageSaveAndFirstPageOnly) {
  TImageData a = TestSupport::RandomImage(10, 7, fmtR8G8B8, 1);
  TImageData b = TestSupport::RandomImage(3, 12, fmtGray16, 2);
  TImageData c = TestSupport::RandomImage(5, 5, fmtIndex8, 3);
  std::vector<uint8_t> data = SaveToBytes({a, b, c});
  TDynImageDataArray all = LoadBytes(data);
  ASSERT_EQ(all.size(), 3u);
  EXPECT_TRUE(SamePixels(a, all[0]));
  EXPECT_TRUE(SamePixels(b, all[1]));
  EXPECT_TRUE(SamePixels(c, all[2]));
  // Only the first image asked for (the single-image entry point).
  TDynImageDataArray first;
  ASSERT_TRUE(TiffHandler()->LoadFromMemory(data.data(), int32_t(data.size()), first, true));
  ASSERT_EQ(first.size(), 1u);
  EXPECT_TRUE(SamePixels(a, first[0]));
  TMemoryStream s(data);
  TImageData one;
  ASSERT_TRUE(ReadImageStream(&s, one));
  EXPECT_TRUE(SamePixels(a, one));
  // Saving only the first of three.
  TDynImageDataArray saved = LoadBytes(SaveToBytes({a, b, c}, true));
  EXPECT_EQ(saved.size(), 1u);
  ReleaseImageArray(saved);
  for (TImageData* i : {&a, &b, &c, &one}) ReleaseImage(*i);
  ReleaseImageArray(all);
  ReleaseImageArray(first);
}

// The saved image is not changed by the save (red and blue are exchanged in
// a row buffer, never in the caller's image).
TEST(Tiff, SaveLeavesTheImageAlone) {
  for (TImageFormat f : {fmtR8G8B8, fmtA16R16G16B16, fmtA8Gray8}) {
    TImageData img = TestSupport::RandomImage(9, 9, f, 4);
    TImageData before;
    ASSERT_TRUE(DuplicateImage(img, before));
    SaveToBytes({img});
    EXPECT_TRUE(SamePixels(img, before)) << FormatDisplayName(f);
    ReleaseImage(img);
    ReleaseImage(before);
  }
}

// All eight orientations show the same picture, for native rows and for the
// RGBA reader alike.
TEST(Tiff, OrientationAppliedOnBothPaths) {
  REQUIRE_PROGRAM("tiffset");
  TestSupport::TempDir dir;
  for (TImageFormat format : {fmtR8G8B8, fmtR16G16B16}) {
    TImageData img = TestSupport::RandomImage(6, 4, format, 9);
    std::string file = dir.File("o.tif");
    ASSERT_TRUE(TiffHandler()->SaveToFile(file, {img}));
    for (int o = 1; o <= 8; ++o) {
      ASSERT_EQ(TestSupport::RunCommand("tiffset -s 274 " + std::to_string(o) + " " + Quote(file)), 0);
      TDynImageDataArray images = LoadAll(file);
      ASSERT_EQ(images.size(), 1u);
      const TImageData& got = images[0];
      ASSERT_EQ(got.Width, o <= 4 ? 6 : 4);
      int32_t peerW, peerH;
      std::vector<uint16_t> peer;
      if (PeerPage(file, 0, peerW, peerH, peer)) {
        EXPECT_EQ(MaxDifference(OwnRgba16(got), peer), 0) << "orientation " << o;
      }
      // Stored pixel (0, 0) is where the orientation puts it.
      const int32_t x = (o == 2 || o == 3 || o == 6 || o == 7) ? got.Width - 1 : 0;
      const int32_t y = (o == 3 || o == 4 || o == 7 || o == 8) ? got.Height - 1 : 0;
      TImageFormatInfo info;
      QueryFormatInfo(format, info);
      EXPECT_EQ(std::memcmp(static_cast<uint8_t*>(got.Bits) + (size_t(y) * got.Width + x) * info.BytesPerPixel,
                            img.Bits, size_t(info.BytesPerPixel)),
                0)
          << "orientation " << o;
      ReleaseImageArray(images);
    }
    ReleaseImage(img);
  }
}

// Files written by tiffcp in every compression, with and without predictor,
// in strips and tiles, load with exactly the pixels of the source.
TEST(Tiff, TiffcpFilesLoadExactly) {
  REQUIRE_PROGRAM("tiffcp");
  TestSupport::TempDir dir;
  TImageData rgb = TestSupport::RandomImage(67, 45, fmtR8G8B8, 21);
  TImageData gray16 = TestSupport::RandomImage(67, 45, fmtGray16, 22);
  TImageData rgba = TestSupport::RandomImage(67, 45, fmtA8R8G8B8, 23);
  SetImagingOption(OptTiffCompression, 0);
  std::string src = dir.File("src.tif");
  ASSERT_TRUE(TiffHandler()->SaveToFile(src, {rgb, gray16, rgba}));
  SetImagingOption(OptTiffCompression, 1);
  const char* variants[] = {"-c none", "-c lzw", "-c lzw:2", "-c packbits", "-c zip", "-c zip:2",
                            "-c lzw -t -w 16 -l 32", "-c zip:2 -t -w 32 -l 16", "-c none -r 7"};
  for (const char* v : variants) {
    std::string out = dir.File("cp.tif");
    ASSERT_EQ(TestSupport::RunCommand("tiffcp " + std::string(v) + " " + Quote(src) + " " + Quote(out)), 0) << v;
    TDynImageDataArray back = LoadAll(out);
    ASSERT_EQ(back.size(), 3u) << v;
    EXPECT_TRUE(SamePixels(rgb, back[0])) << v;
    EXPECT_TRUE(SamePixels(gray16, back[1])) << v;
    EXPECT_TRUE(SamePixels(rgba, back[2])) << v;
    ReleaseImageArray(back);
  }
  // Planar files (tiffcp splits 8-bit samples only).
  for (const char* v : {"-c none -p separate", "-c lzw -p separate -t -w 16 -l 16", "-c zip -p separate -r 5"}) {
    std::string out = dir.File("planar.tif");
    ASSERT_EQ(TestSupport::RunCommand("tiffcp " + std::string(v) + " " + Quote(src + ",0,2") + " " + Quote(out)), 0)
        << v;
    TDynImageDataArray back = LoadAll(out);
    ASSERT_EQ(back.size(), 2u) << v;
    EXPECT_TRUE(SamePixels(rgb, back[0])) << v;
    EXPECT_TRUE(SamePixels(rgba, back[1])) << v;
    ReleaseImageArray(back);
  }
  // JPEG inside TIFF: lossy, but the same decoder as tiffcp's output as a
  // plain file.
  std::string jpeg = dir.File("jpeg.tif"), plain = dir.File("plain.tif");
  ASSERT_EQ(TestSupport::RunCommand("tiffcp -c jpeg:90 -r 16 " + Quote(src + ",0") + " " + Quote(jpeg)), 0);
  ASSERT_EQ(TestSupport::RunCommand("tiffcp -c none " + Quote(jpeg) + " " + Quote(plain)), 0);
  TDynImageDataArray j = LoadAll(jpeg), p = LoadAll(plain);
  ASSERT_EQ(j.size(), 1u);
  ASSERT_EQ(p.size(), 1u);
  EXPECT_EQ(MaxDifference(OwnRgba16(j[0]), OwnRgba16(p[0])), 0);
  ReleaseImageArray(j);
  ReleaseImageArray(p);
  for (TImageData* i : {&rgb, &gray16, &rgba}) ReleaseImage(*i);
}

// What we write in every compression and format is what tiffcmp, ImageMagick
// and Pillow see.
TEST(Tiff, OurFilesReadByPeers) {
  REQUIRE_PROGRAM("tiffcmp");
  TOptionGuard guard;
  TestSupport::TempDir dir;
  const TImageFormat formats[] = {fmtIndex8, fmtGray8, fmtA8Gray8, fmtGray16, fmtA16Gray16,
                                  fmtR8G8B8, fmtA8R8G8B8, fmtR16G16B16, fmtA16R16G16B16};
  for (int32_t compression = 0; compression <= 4; ++compression) {
    SetImagingOption(OptTiffCompression, compression);
    for (TImageFormat format : formats) {
      TImageData img = TestSupport::RandomImage(31, 17, format, uint32_t(format + 100 * compression));
      if (img.Palette)
        for (int i = 0; i < 256; ++i) img.Palette[i].A = 255;
      std::string file = dir.File("ours.tif"), copy = dir.File("copy.tif");
      ASSERT_TRUE(TiffHandler()->SaveToFile(file, {img}));
      const std::string what = FormatDisplayName(format) + " compression " + std::to_string(compression);
      // tiffcp decodes and re-encodes every strip; tiffcmp compares samples.
      ASSERT_EQ(TestSupport::RunCommand("tiffcp -c none " + Quote(file) + " " + Quote(copy) + " 2>/dev/null"), 0)
          << what;
      EXPECT_EQ(TestSupport::RunCommand("tiffcmp " + Quote(file) + " " + Quote(copy) + " >/dev/null"), 0) << what;
      TDynImageDataArray back = LoadAll(file);
      int32_t w, h;
      std::vector<uint16_t> peer;
      if (PeerPage(file, 0, w, h, peer)) {
        const bool lossy = compression == 4 && (format == fmtGray8 || format == fmtR8G8B8);
        std::vector<uint16_t> own = OwnRgba16(lossy ? back[0] : img);
        EXPECT_EQ(MaxDifference(own, peer), 0) << what;
      }
      ReleaseImageArray(back);
      ReleaseImage(img);
    }
  }
}

TEST(Tiff, PillowReadsOurFilesAndWeReadPillows) {
  if (!TestSupport::HavePillow()) GTEST_SKIP() << "Pillow is not installed";
  TestSupport::TempDir dir;
  TImageData rgba = TestSupport::RandomImage(19, 11, fmtA8R8G8B8, 77);
  TImageData gray = TestSupport::RandomImage(19, 11, fmtGray8, 78);
  std::string ours = dir.File("ours.tif");
  ASSERT_TRUE(TiffHandler()->SaveToFile(ours, {rgba, gray}));
  // Pillow lists every page's mode and the bytes of each.
  std::string out;
  std::string script =
      "import sys\nfrom PIL import Image\nim=Image.open(sys.argv[1])\n"
      "for i in range(im.n_frames):\n im.seek(i); sys.stdout.write(im.mode+' '+im.tobytes().hex()+'\\n')\n";
  TestSupport::WriteFileBytes(dir.File("p.py"), std::vector<uint8_t>(script.begin(), script.end()));
  ASSERT_EQ(TestSupport::RunCommand(TestSupport::PillowPython() + " " + Quote(dir.File("p.py")) + " " + Quote(ours),
                                    &out),
            0);
  std::vector<uint8_t> rgbaBytes(size_t(rgba.Size));
  const auto* p = static_cast<const uint8_t*>(rgba.Bits);
  for (size_t i = 0; i < rgbaBytes.size(); i += 4) {
    rgbaBytes[i] = p[i + 2];
    rgbaBytes[i + 1] = p[i + 1];
    rgbaBytes[i + 2] = p[i];
    rgbaBytes[i + 3] = p[i + 3];
  }
  auto hex = [](const uint8_t* d, size_t n) {
    std::string s;
    char b[3];
    for (size_t i = 0; i < n; ++i) {
      std::snprintf(b, sizeof b, "%02x", d[i]);
      s += b;
    }
    return s;
  };
  EXPECT_EQ(out, "RGBA " + hex(rgbaBytes.data(), rgbaBytes.size()) + "\nL " +
                     hex(static_cast<uint8_t*>(gray.Bits), size_t(gray.Size)) + "\n");
  // And a multi-page file Pillow writes, LZW and Deflate.
  std::string theirs = dir.File("theirs.tif");
  std::string save = "import sys\nfrom PIL import Image\na=Image.open(sys.argv[1]); a.seek(0); x=a.copy(); a.seek(1);"
                     " y=a.copy()\nx.save(sys.argv[2], compression='tiff_lzw', save_all=True, append_images=[y])\n"
                     "x.save(sys.argv[3], compression='tiff_adobe_deflate')\n";
  TestSupport::WriteFileBytes(dir.File("s.py"), std::vector<uint8_t>(save.begin(), save.end()));
  std::string deflate = dir.File("deflate.tif");
  ASSERT_EQ(TestSupport::RunCommand(TestSupport::PillowPython() + " " + Quote(dir.File("s.py")) + " " + Quote(ours) +
                                    " " + Quote(theirs) + " " + Quote(deflate)),
            0);
  TDynImageDataArray back = LoadAll(theirs);
  ASSERT_EQ(back.size(), 2u);
  EXPECT_TRUE(SamePixels(rgba, back[0]));
  EXPECT_TRUE(SamePixels(gray, back[1]));
  TDynImageDataArray d = LoadAll(deflate);
  ASSERT_EQ(d.size(), 1u);
  EXPECT_TRUE(SamePixels(rgba, d[0]));
  ReleaseImageArray(back);
  ReleaseImageArray(d);
  ReleaseImage(rgba);
  ReleaseImage(gray);
}

// Every corpus file loads with ImageMagick's pixels (orientation applied),
// page by page, or fails cleanly where libtiff lacks the codec.
TEST(Tiff, CorpusMatchesImageMagick) {
  REQUIRE_PROGRAM(Magick);
  // Files whose decoding legitimately differs from ImageMagick's, with the
  // largest difference allowed (16-bit units) and why.
  const std::map<std::string, int> tolerance = {
      // Lossy JPEG strips: libjpeg versions and upsampling differ.
      {"hopper_jpg.tif", 65535},
      {"tiff_strip_ycbcr_jpeg_2x2_sampling.tif", 65535},
      {"tiff_tiled_ycbcr_jpeg_2x2_sampling.tif", 65535},
      {"tiff_strip_ycbcr_jpeg_1x1_sampling.tif", 65535},
      {"tiff_tiled_ycbcr_jpeg_1x1_sampling.tif", 65535},
      // Old-style JPEG: ImageMagick's decode is off; Pillow's matches its
      // reference picture and ours (checked in OldStyleJpegMatchesPillow).
      {"old-style-jpeg-compression.tif", 65535},
      {"old-style-jpeg-compression-no-samplesperpixel.tif", 65535},
      // 16-bit colour maps: we take the high byte (as Pillow does),
      // ImageMagick scales 0xFF00 to 254.
      {"no_rows_per_strip.tif", 255},
      // Floats from -0.16 (SMinSampleValue), which ImageMagick rescales.
      {"no_rows_per_strip.tif#1", 65535},
      {"multipage-mmap.tiff", 255},
      // CMYK to RGB in libtiff's RGBA reader rounds differently.
      {"tiff_strip_cmyk_jpeg.tif", 257},
      // Associated alpha taken back to plain colour in 8 bits (as Pillow
      // does), which ImageMagick does in 16.
      {"pil136.tiff", 257},
      // CIE L*a*b* to RGB: libtiff's and ImageMagick's conversions differ.
      {"lab.tif", 65535},
      {"lab-red.tif", 65535},
      {"lab-green.tif", 65535},
      {"hopper.Lab.tif", 65535},
      // Signed 16-bit gray: libtiff's RGBA reader takes the samples as
      // unsigned, ImageMagick offsets them by 32768.
      {"16bit.s.tif", 32896},
  };
  // Files we do not load, and why. Each must fail cleanly.
  const std::map<std::string, const char*> refused = {
      {"hopper_bigtiff.tif", "BigTIFF is not this format's signature"},
      {"16_bit_binary_pgm.tiff", "32-bit signed gray: libtiff's RGBA reader has no such layout"},
      {"10ct_32bit_128.tiff", "32-bit signed gray with 10 samples"},
      {"tiff_strip_cmyk_16l_jpeg.tif", "16-bit CMYK: libtiff's RGBA reader reads 8-bit CMYK only"},
      {"hopper_unknown_pixel_mode.tif", "32-bit unsigned RGB: no pixel format and no RGBA conversion"},
      {"12bit.cropped.tif", "12-bit gray: libtiff's RGBA reader reads 1, 2, 4, 8 and 16 bits"},
  };
  int compared = 0;
  for (const auto& entry : fs::directory_iterator(TestSupport::CorpusDir() / "pillow" / "tiff")) {
    const std::string name = entry.path().filename().string();
    const std::string ext = entry.path().extension().string();
    if (!entry.is_regular_file() || (ext != ".tif" && ext != ".tiff")) continue;
    TDynImageDataArray images;
    bool loaded = false;
    try {
      loaded = TiffHandler()->LoadFromFile(entry.path().string(), images);
    } catch (const EImagingError&) {
    }
    if (!loaded) {
      EXPECT_TRUE(refused.count(name)) << name << " did not load";
      continue;
    }
    EXPECT_FALSE(refused.count(name)) << name << " loads now";
    for (size_t page = 0; page < images.size(); ++page) {
      auto t = tolerance.find(name + "#" + std::to_string(page));
      if (t == tolerance.end()) t = tolerance.find(name);
      const int allowed = t == tolerance.end() ? 0 : t->second;
      int32_t w, h;
      std::vector<uint16_t> peer;
      if (!PeerPage(entry.path().string(), int(page), w, h, peer)) continue;  // ImageMagick cannot read it
      const int diff = MaxDifference(OwnRgba16(images[page]), peer);
      EXPECT_LE(diff, allowed) << name << " page " << page << ": " << images[page].Width << "x"
                               << images[page].Height << " vs " << w << "x" << h << " "
                               << FormatDisplayName(images[page].Format);
      ++compared;
    }
    ReleaseImageArray(images);
  }
  EXPECT_GT(compared, 50);
}

// Files ImageMagick decodes differently, against Pillow (whose decode of the
// old-style JPEG file matches the reference picture beside it).
TEST(Tiff, CorpusFilesMatchPillow) {
  if (!TestSupport::HavePillow()) GTEST_SKIP() << "Pillow is not installed";
  TestSupport::TempDir dir;
  const std::string script =
      "import sys\nfrom PIL import Image\nim=Image.open(sys.argv[1]).convert('RGBA')\n"
      "sys.stdout.write('%d %d\\n' % im.size); sys.stdout.flush(); sys.stdout.buffer.write(im.tobytes())\n";
  TestSupport::WriteFileBytes(dir.File("p.py"), std::vector<uint8_t>(script.begin(), script.end()));
  for (const char* name : {"old-style-jpeg-compression.tif", "old-style-jpeg-compression-no-samplesperpixel.tif",
                           "g4_orientation_6.tif", "g4_orientation_7.tif", "pil136.tiff", "hopper_g4.tif",
                           "tiff_adobe_deflate.tif", "copyleft.tiff"}) {
    const std::string file = (TestSupport::CorpusDir() / "pillow" / "tiff" / name).string();
    std::string out;
    ASSERT_EQ(TestSupport::RunCommand(TestSupport::PillowPython() + " " + Quote(dir.File("p.py")) + " " + Quote(file) +
                                      " 2>/dev/null",
                                      &out),
              0)
        << name;
    size_t eol = out.find('\n');
    int32_t w = 0, h = 0;
    std::istringstream(out.substr(0, eol)) >> w >> h;
    int32_t ow, oh;
    std::vector<uint8_t> own;
    ASSERT_TRUE(TestSupport::OwnDecodeRGBA(file, ow, oh, own)) << name;
    EXPECT_EQ(ow, w) << name;
    EXPECT_EQ(oh, h) << name;
    EXPECT_TRUE(out.compare(eol + 1, std::string::npos, std::string(own.begin(), own.end())) == 0) << name;
  }
}

// Damaged and hostile files fail with the framework's loading message (or a
// false result), never anything else, and never leave images behind.
TEST(Tiff, BadCorpusFailsCleanly) {
  int refused = 0, total = 0;
  for (const auto& entry : fs::directory_iterator(TestSupport::CorpusDir() / "pillow" / "tiff" / "bad")) {
    const std::vector<uint8_t> data = TestSupport::ReadFileBytes(entry.path());
    TDynImageDataArray images;
    bool loaded = false;
    try {
      loaded = TiffHandler()->LoadFromMemory(data.data(), int32_t(data.size()), images);
    } catch (const EImagingError& e) {
      EXPECT_NE(std::string(e.what()).find("Error while loading images from memory"), std::string::npos);
    }
    // Some of these crashed other readers only; libtiff reads them.
    if (loaded) {
      EXPECT_TRUE(AreValidImages(images)) << entry.path();
    }
    refused += !loaded;
    ++total;
    ReleaseImageArray(images);
  }
  EXPECT_GE(refused, 10);
  EXPECT_EQ(total, 19);
}

// Hand-made directories: too many pages, pages that together exceed what
// images may take, and data that ends inside a strip.
TEST(Tiff, HostileDirectoriesRefusedBeforeReading) {
  // A little-endian file with Count one-strip directories of Width x Height
  // 8-bit gray, strip data of DataBytes at offset 8, directories chained.
  auto build = [](uint32_t Count, uint32_t Width, uint32_t Height, uint32_t DataBytes) {
    std::vector<uint8_t> f = {0x49, 0x49, 0x2A, 0x00, 0, 0, 0, 0};
    auto put16 = [&](size_t at, uint16_t v) { f[at] = uint8_t(v); f[at + 1] = uint8_t(v >> 8); };
    auto put32 = [&](size_t at, uint32_t v) { for (int k = 0; k < 4; ++k) f[at + k] = uint8_t(v >> (8 * k)); };
    f.resize(8 + DataBytes, 0x55);
    size_t link = 4;
    for (uint32_t d = 0; d < Count; ++d) {
      const uint16_t tags[][2] = {{256, 4}, {257, 4}, {258, 3}, {259, 3}, {262, 3}, {273, 4}, {277, 3}, {278, 4}, {279, 4}};
      const uint32_t values[] = {Width, Height, 8, 1, 1, 8, 1, Height, Width * Height};
      size_t at = f.size();
      put32(link, uint32_t(at));
      f.resize(at + 2 + 9 * 12 + 4, 0);
      put16(at, 9);
      for (int t = 0; t < 9; ++t) {
        size_t e = at + 2 + size_t(t) * 12;
        put16(e, tags[t][0]);
        put16(e + 2, tags[t][1]);
        put32(e + 4, 1);
        put32(e + 8, values[t]);
      }
      link = at + 2 + 9 * 12;
    }
    return f;
  };
  auto messageOf = [](const std::vector<uint8_t>& Data, bool OnlyFirst) {
    TDynImageDataArray images;
    try {
      TiffHandler()->LoadFromMemory(Data.data(), int32_t(Data.size()), images, OnlyFirst);
    } catch (const EImagingError& e) {
      ReleaseImageArray(images);
      return std::string(e.what());
    }
    size_t n = images.size();
    ReleaseImageArray(images);
    return "loaded " + std::to_string(n);
  };
  EXPECT_EQ(messageOf(build(3, 4, 4, 16), false), "loaded 3");
  EXPECT_NE(messageOf(build(70000, 1, 1, 1), false).find("TIFF file has more than 65535 directories."),
            std::string::npos);
  EXPECT_EQ(messageOf(build(70000, 1, 1, 1), true), "loaded 1");
  // 600 pages of 60000 x 60 bytes each claim 2.16 GB in a file of a few KiB.
  EXPECT_NE(messageOf(build(600, 60000, 60, 16), false).find("more than the 2147483647 bytes images may take"),
            std::string::npos);
  // The strip ends early: the scanline read fails with libtiff's message.
  const std::string truncated = messageOf(build(1, 64, 64, 100), false);
  EXPECT_NE(truncated.find("TIFF Error: Reading a scanline failed: "), std::string::npos) << truncated;
}

// A TIFF saved into a memory block larger than itself, and one that starts
// behind other bytes of a stream: offsets count from the TIFF's first byte
// and the file ends where its data ends.
TEST(Tiff, MemoryBlocksAndStreamOffsets) {
  TImageData a;
  ASSERT_TRUE(CreateImage(4000, 300, fmtR8G8B8, a));  // compresses well: its directory is not last
  TImageData b = TestSupport::RandomImage(20, 30, fmtGray16, 32);
  std::vector<uint8_t> block(1 << 20);
  int32_t size = int32_t(block.size());
  ASSERT_TRUE(TiffHandler()->SaveToMemory(block.data(), size, {a, b}));
  ASSERT_LT(size_t(size), block.size());
  block.resize(size_t(size));
  EXPECT_EQ(block, SaveToBytes({a, b}));
  TDynImageDataArray back = LoadBytes(block);
  ASSERT_EQ(back.size(), 2u);
  EXPECT_TRUE(SamePixels(a, back[0]));
  EXPECT_TRUE(SamePixels(b, back[1]));
  ReleaseImageArray(back);
  // Behind a 13-byte prefix, written and read through the stream table.
  TMemoryStream stream(std::vector<uint8_t>(13, 0xAB));
  stream.SetPosition(13);
  ASSERT_TRUE(TiffHandler()->SaveToStream(&stream, {a, b}));
  EXPECT_EQ(std::vector<uint8_t>(stream.Data().begin() + 13, stream.Data().end()), block);
  EXPECT_EQ(stream.GetPosition(), int64_t(stream.Data().size()));
  stream.SetPosition(13);
  TDynImageDataArray fromStream;
  ASSERT_TRUE(TiffHandler()->LoadFromStream(&stream, fromStream));
  ASSERT_EQ(fromStream.size(), 2u);
  EXPECT_TRUE(SamePixels(a, fromStream[0]));
  ReleaseImageArray(fromStream);
  ReleaseImage(a);
  ReleaseImage(b);
}
