// Windows Bitmap handler: registration, exact bytes written, the bmpsuite and
// PngSuite corpus against Pillow, files written by ImageMagick, netpbm and
// Pillow in every variant, our files decoded by the peers, and hostile input.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <map>
#include <set>

#include "BmpTgaHelpers.h"
#include "ImagingBitmap.h"

using namespace Imaging;
using namespace BmpTga;
using TestSupport::CorpusDir;
using TestSupport::TempDir;

namespace {

TImageFileFormat* Bmp() {
  TestSupport::InitCore();
  return FindHandlerByExtension("bmp");
}

uint32_t Le32(const std::vector<uint8_t>& B, size_t At) {
  return uint32_t(B[At]) | (uint32_t(B[At + 1]) << 8) | (uint32_t(B[At + 2]) << 16) | (uint32_t(B[At + 3]) << 24);
}
uint16_t Le16(const std::vector<uint8_t>& B, size_t At) { return uint16_t(B[At] | (B[At + 1] << 8)); }

// A bitmap file assembled field by field.
struct TBmpBuilder {
  int32_t HeaderSize = 40, Width = 1, Height = 1;
  uint16_t Planes = 1, BitCount = 8;
  uint32_t Compression = 0, ImageSize = 0, ColorsUsed = 0;
  int32_t XRes = 2835, YRes = 2835;
  std::vector<uint32_t> Masks;
  std::vector<uint8_t> Palette;  // 4 bytes per entry
  std::vector<uint8_t> Pixels;
  int64_t PixelOffsetOverride = -1;
  int64_t FileSizeOverride = -1;

  std::vector<uint8_t> Build() const {
    std::vector<uint8_t> info;
    AppendLE(info, uint32_t(HeaderSize), 4);
    AppendLE(info, uint32_t(Width), 4);
    AppendLE(info, uint32_t(Height), 4);
    AppendLE(info, Planes, 2);
    AppendLE(info, BitCount, 2);
    AppendLE(info, Compression, 4);
    AppendLE(info, ImageSize, 4);
    AppendLE(info, uint32_t(XRes), 4);
    AppendLE(info, uint32_t(YRes), 4);
    AppendLE(info, ColorsUsed, 4);
    AppendLE(info, 0, 4);
    for (uint32_t m : Masks) AppendLE(info, m, 4);
    while (info.size() < size_t(HeaderSize)) info.push_back(0);
    uint32_t offset = uint32_t(14 + info.size() + Palette.size());
    if (PixelOffsetOverride >= 0) offset = uint32_t(PixelOffsetOverride);
    std::vector<uint8_t> file = {'B', 'M'};
    uint32_t total = uint32_t(14 + info.size() + Palette.size() + Pixels.size());
    AppendLE(file, FileSizeOverride >= 0 ? uint32_t(FileSizeOverride) : total, 4);
    AppendLE(file, 0, 4);
    AppendLE(file, offset, 4);
    file.insert(file.end(), info.begin(), info.end());
    file.insert(file.end(), Palette.begin(), Palette.end());
    file.insert(file.end(), Pixels.begin(), Pixels.end());
    return file;
  }
};

std::vector<uint8_t> GrayTable(int Entries) {
  std::vector<uint8_t> t;
  for (int i = 0; i < Entries; ++i) t.insert(t.end(), {uint8_t(i), uint8_t(i), uint8_t(i), 0});
  return t;
}

void ExpectLoadFails(const std::vector<uint8_t>& Data, const std::string& Cause) {
  TDynImageDataArray images;
  std::string error = LoadBytes(Bmp(), Data, images);
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
  bool result = Bmp()->TestFormat(h);
  EXPECT_EQ(io.Tell(h), 0);
  io.Close(h);
  return result;
}

// Significant bits per channel of a file's pixels for comparisons: 16-bit
// pixels have 4 to 6-bit channels, which peers widen to 8 bits differently.
int BitsFor(const std::string& File) {
  std::vector<uint8_t> b = TestSupport::ReadFileBytes(File);
  if (b.size() < 30) return 8;
  uint32_t headerSize = Le32(b, 14);
  uint16_t bitCount = headerSize == 12 ? Le16(b, 24) : Le16(b, 28);
  return bitCount == 16 ? 4 : 8;
}
int ToleranceFor(const std::string& File) { return BitsFor(File) < 8 ? 2 : 0; }


}  // namespace

TEST(Bitmap, Registration) {
  TImageFileFormat* h = Bmp();
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h, HandlerAtIndex(0));
  EXPECT_EQ(h->Name(), "Windows Bitmap Image");
  EXPECT_EQ(h->Extensions(), (std::vector<std::string>{"bmp", "dib"}));
  EXPECT_TRUE(h->CanLoad());
  EXPECT_TRUE(h->CanSave());
  EXPECT_FALSE(h->IsMultiImageFormat());
  EXPECT_EQ(FindHandlerByExtension("DIB"), h);
  EXPECT_EQ(GetImagingOption(OptBitmapRLE), -1);
  for (TImageFormat f : {fmtIndex8, fmtR5G6B5, fmtA1R5G5B5, fmtA4R4G4B4, fmtX1R5G5B5, fmtX4R4G4B4, fmtR8G8B8,
                         fmtA8R8G8B8, fmtX8R8G8B8})
    EXPECT_TRUE(h->SupportedFormats().Contains(f)) << f;
  EXPECT_FALSE(h->SupportedFormats().Contains(fmtGray8));
}

TEST(Bitmap, TestFormat) {
  EXPECT_FALSE(Bmp()->TestFormat(nullptr));
  std::vector<uint8_t> bm = {'B', 'M', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_FALSE(TestFormatOn(bm));  // 13 bytes
  bm.push_back(0);
  EXPECT_TRUE(TestFormatOn(bm));
  EXPECT_FALSE(TestFormatOn({'B', 'N', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  // A bitmap without the file header, as the clipboard stores it.
  TBmpBuilder b;
  std::vector<uint8_t> dib = b.Build();
  dib.erase(dib.begin(), dib.begin() + 14);
  EXPECT_TRUE(TestFormatOn(dib));
  dib[12] = 2;  // planes
  EXPECT_FALSE(TestFormatOn(dib));
}

// ---------------------------------------------------------------------------
// Writing: exact bytes
// ---------------------------------------------------------------------------

TEST(Bitmap, RLE8RowEncoding) {
  auto encode = [](std::vector<uint8_t> Row) {
    std::vector<uint8_t> out;
    BitmapRLE::EncodeRow8(Row.data(), int32_t(Row.size()), out);
    return out;
  };
  EXPECT_EQ(encode({7, 7, 7, 7, 7}), (std::vector<uint8_t>{5, 7}));
  EXPECT_EQ(encode({1, 2, 3, 4}), (std::vector<uint8_t>{0, 4, 1, 2, 3, 4}));
  EXPECT_EQ(encode({1, 2, 3}), (std::vector<uint8_t>{0, 3, 1, 2, 3, 0}));  // odd literal padded
  EXPECT_EQ(encode({1, 2}), (std::vector<uint8_t>{1, 1, 1, 2}));          // too short for a literal
  // 1 and 2 are followed by a run of 3: no literal of 3 bytes forms.
  EXPECT_EQ(encode({1, 2, 3, 3, 3}), (std::vector<uint8_t>{1, 1, 1, 2, 3, 3}));
  EXPECT_EQ(encode({1, 2, 3, 4, 4}), (std::vector<uint8_t>{0, 3, 1, 2, 3, 0, 2, 4}));
  std::vector<uint8_t> long_(300, 9);
  EXPECT_EQ(encode(long_), (std::vector<uint8_t>{255, 9, 45, 9}));
  std::vector<uint8_t> ramp(300);
  for (int i = 0; i < 300; ++i) ramp[size_t(i)] = uint8_t(i);
  std::vector<uint8_t> got = encode(ramp);
  ASSERT_EQ(got.size(), size_t(2 + 255 + 1 + 2 + 45 + 1));
  EXPECT_EQ(got[0], 0);
  EXPECT_EQ(got[1], 255);
  EXPECT_EQ(got[2 + 255], 0);  // pad
  EXPECT_EQ(got[258], 0);
  EXPECT_EQ(got[259], 45);
}

TEST(Bitmap, WrittenHeadersAndRows) {
  TImageFileFormat* h = Bmp();
  // 3 x 1 Index8 with RLE: palette, then the codes ending 0,0,0,1.
  TImageData img = TestSupport::RandomImage(3, 1, fmtIndex8, 1);
  for (int i = 0; i < 256; ++i) img.Palette[i].A = i == 7 ? 0x40 : 255;  // entry 7 is not used
  auto* p = static_cast<uint8_t*>(img.Bits);
  p[0] = p[1] = p[2] = 5;
  std::vector<uint8_t> b = SaveBytes(h, img);
  ASSERT_EQ(b.size(), size_t(14 + 40 + 1024 + 6));
  EXPECT_EQ(Le32(b, 2), b.size());
  EXPECT_EQ(Le32(b, 10), 14u + 40 + 1024);
  EXPECT_EQ(Le32(b, 14), 40u);
  EXPECT_EQ(Le32(b, 30), 1u);  // RLE8
  EXPECT_EQ(Le32(b, 34), 6u);  // image data size
  EXPECT_EQ(Le32(b, 38), 2835u);
  EXPECT_EQ(Le32(b, 42), 2835u);
  EXPECT_EQ(std::vector<uint8_t>(b.end() - 6, b.end()), (std::vector<uint8_t>{3, 5, 0, 0, 0, 1}));
  EXPECT_EQ(b[54 + 4 * 7 + 0], img.Palette[7].B);
  EXPECT_EQ(b[54 + 4 * 7 + 2], img.Palette[7].R);
  EXPECT_EQ(b[54 + 4 * 7 + 3], img.Palette[7].A);

  // Without RLE: rows of 4 bytes.
  ASSERT_TRUE(SetImagingOption(OptBitmapRLE, 0));
  b = SaveBytes(h, img);
  SetImagingOption(OptBitmapRLE, -1);
  ASSERT_EQ(b.size(), size_t(14 + 40 + 1024 + 4));
  EXPECT_EQ(Le32(b, 30), 0u);
  EXPECT_EQ(std::vector<uint8_t>(b.end() - 4, b.end()), (std::vector<uint8_t>{5, 5, 5, 0}));
  ReleaseImage(img);

  // 1 x 2 24-bit: bottom row first, 3 bytes and one pad byte each.
  img = TestSupport::RandomImage(1, 2, fmtR8G8B8, 2);
  p = static_cast<uint8_t*>(img.Bits);
  b = SaveBytes(h, img);
  ASSERT_EQ(b.size(), size_t(54 + 8));
  EXPECT_EQ(Le16(b, 28), 24);
  EXPECT_EQ(std::vector<uint8_t>(b.begin() + 54, b.end()), (std::vector<uint8_t>{p[3], p[4], p[5], 0, p[0], p[1], p[2], 0}));
  ReleaseImage(img);

  // A4R4G4B4: 108-byte header with bit fields and the alpha mask.
  img = TestSupport::RandomImage(2, 2, fmtA4R4G4B4, 3);
  b = SaveBytes(h, img);
  EXPECT_EQ(Le32(b, 14), 108u);
  EXPECT_EQ(Le32(b, 30), 3u);
  EXPECT_EQ(Le32(b, 54), 0x0F00u);
  EXPECT_EQ(Le32(b, 58), 0x00F0u);
  EXPECT_EQ(Le32(b, 62), 0x000Fu);
  EXPECT_EQ(Le32(b, 66), 0xF000u);
  EXPECT_EQ(Le32(b, 10), 14u + 108);
  ReleaseImage(img);

  // R5G6B5: 40-byte header followed by the three masks.
  img = TestSupport::RandomImage(2, 2, fmtR5G6B5, 4);
  b = SaveBytes(h, img);
  EXPECT_EQ(Le32(b, 14), 40u);
  EXPECT_EQ(Le32(b, 30), 3u);
  EXPECT_EQ(Le32(b, 54), 0xF800u);
  EXPECT_EQ(Le32(b, 58), 0x07E0u);
  EXPECT_EQ(Le32(b, 62), 0x001Fu);
  EXPECT_EQ(Le32(b, 10), 14u + 40 + 12);
  ReleaseImage(img);

  // A8R8G8B8: 108-byte header with bit fields and the alpha mask, rows of
  // B, G, R, A.
  img = TestSupport::RandomImage(1, 1, fmtA8R8G8B8, 6);
  b = SaveBytes(h, img);
  EXPECT_EQ(Le32(b, 14), 108u);
  EXPECT_EQ(Le32(b, 30), 3u);
  EXPECT_EQ(Le32(b, 54), 0x00FF0000u);
  EXPECT_EQ(Le32(b, 58), 0x0000FF00u);
  EXPECT_EQ(Le32(b, 62), 0x000000FFu);
  EXPECT_EQ(Le32(b, 66), 0xFF000000u);
  ASSERT_EQ(b.size(), size_t(14 + 108 + 4));
  EXPECT_EQ(std::memcmp(b.data() + 14 + 108, img.Bits, 4), 0);
  ReleaseImage(img);

  // X1R5G5B5: plain 16-bit file.
  img = TestSupport::RandomImage(2, 2, fmtX1R5G5B5, 5);
  b = SaveBytes(h, img);
  EXPECT_EQ(Le32(b, 14), 40u);
  EXPECT_EQ(Le32(b, 30), 0u);
  EXPECT_EQ(Le16(b, 28), 16);
  ReleaseImage(img);
}

TEST(Bitmap, ConversionsOnSave) {
  TImageFileFormat* h = Bmp();
  struct TCase {
    TImageFormat From;
    uint16_t BitCount;
    TImageFormat Loaded;
  };
  const TCase cases[] = {
      {fmtGray8, 8, fmtIndex8},       {fmtA8Gray8, 32, fmtA8R8G8B8},  {fmtGray16, 8, fmtIndex8},
      {fmtR16G16B16, 24, fmtR8G8B8},  {fmtA16R16G16B16, 32, fmtA8R8G8B8}, {fmtR3G3B2, 16, fmtX1R5G5B5},
      {fmtR32F, 24, fmtR8G8B8},       {fmtA32R32G32B32F, 32, fmtA8R8G8B8},
  };
  for (const TCase& c : cases) {
    TImageData img = TestSupport::RandomImage(5, 3, c.From, 11);
    std::vector<uint8_t> b = SaveBytes(h, img);
    ASSERT_GT(b.size(), 54u);
    EXPECT_EQ(Le16(b, 28), c.BitCount) << FormatDisplayName(c.From);
    TDynImageDataArray loaded;
    ASSERT_EQ(LoadBytes(h, b, loaded), "");
    // Our decode equals the image converted the way the handler converts it.
    TImageData expected;
    DuplicateImage(img, expected);
    ChangeImageFormat(expected, c.Loaded);
    EXPECT_EQ(CompareRgba(ToRgba(loaded[0]), ToRgba(expected), 0, true), "") << FormatDisplayName(c.From);
    ReleaseImage(expected);
    ReleaseImageArray(loaded);
    ReleaseImage(img);
  }
}

// Every accepted format survives our own save and load unchanged.
TEST(Bitmap, OwnRoundTrip) {
  TImageFileFormat* h = Bmp();
  for (int rle : {-1, 0}) {
    SetImagingOption(OptBitmapRLE, rle);
    for (TImageFormat f : {fmtIndex8, fmtR5G6B5, fmtA1R5G5B5, fmtA4R4G4B4, fmtX1R5G5B5, fmtX4R4G4B4, fmtR8G8B8,
                           fmtA8R8G8B8, fmtX8R8G8B8}) {
      for (int32_t w : {1, 2, 3, 5, 17}) {
        TImageData img = TestSupport::RandomImage(w, 7, f, uint32_t(w * 100 + f));
        // An opaque palette stays 8-bit (one with alpha in use is saved as
        // 32-bit pixels, see PaletteTransparencySurvivesSaving).
        if (img.Palette)
          for (int i = 0; i < 256; ++i) img.Palette[i].A = 255;
        if (f == fmtIndex8 && w == 17) {  // runs as well as literals
          auto* p = static_cast<uint8_t*>(img.Bits);
          std::fill(p, p + 40, uint8_t(3));
        }
        std::vector<uint8_t> b = SaveBytes(h, img);
        TDynImageDataArray loaded;
        ASSERT_EQ(LoadBytes(h, b, loaded), "") << FormatDisplayName(f);
        TImageData& l = loaded[0];
        // X formats carry no alpha.
        bool alpha = f != fmtX1R5G5B5 && f != fmtX4R4G4B4 && f != fmtX8R8G8B8;
        EXPECT_EQ(CompareRgba(ToRgba(l), ToRgba(img), 0, alpha), "")
            << FormatDisplayName(f) << " w=" << w;
        if (f == fmtIndex8 || f == fmtR8G8B8 || f == fmtR5G6B5) {
          EXPECT_EQ(l.Format, f);
          EXPECT_EQ(std::memcmp(l.Bits, img.Bits, size_t(img.Size)), 0);
        }
        ReleaseImageArray(loaded);
        ReleaseImage(img);
      }
    }
  }
  SetImagingOption(OptBitmapRLE, -1);
}

// ---------------------------------------------------------------------------
// Reading: corpus
// ---------------------------------------------------------------------------

TEST(Bitmap, CorpusGoodFilesMatchPillow) {
  if (!TestSupport::HavePillow()) GTEST_SKIP() << "Pillow is not installed";
  TempDir tmp;
  fs::path pillow = CorpusDir() / "pillow/bmp";
  std::vector<std::string> files = FilesIn(pillow / "bmpsuite-good", ".bmp");
  // mmap_error.bmp's pixel offset points into its colour table; it is
  // refused (see HostileHeadersAreRefused).
  for (const std::string& f : FilesIn(pillow, ".bmp"))
    if (fs::path(f).filename() != "mmap_error.bmp") files.push_back(f);
  files.push_back((pillow / "clipboard.dib").string());
  for (const auto& e : fs::recursive_directory_iterator(CorpusDir() / "pngsuite/bmp"))
    if (e.path().extension() == ".bmp") files.push_back(e.path().string());
  ASSERT_GT(files.size(), 180u);
  std::vector<TRgbaImage> peers = PillowDecode(files, tmp);
  int viaMagick = 0;
  for (size_t i = 0; i < files.size(); ++i) {
    TImageFormat format = fmtNone;
    TRgbaImage own = OwnDecode(Bmp(), files[i], &format);
    ASSERT_TRUE(own.Ok) << files[i] << ": " << own.Error;
    int bits = BitsFor(files[i]), tolerance = ToleranceFor(files[i]);
    std::string pillow = CompareRgba(own, peers[i], tolerance, PillowHasAlpha(peers[i]), bits);
    if (pillow.empty()) continue;
    // Pillow cannot read every file (rgb32bf.bmp) and reads pal4rle.bmp
    // wrongly; those must match ImageMagick.
    ++viaMagick;
    EXPECT_EQ(CompareRgba(own, MagickDecode(files[i]), tolerance, format != fmtX8R8G8B8, bits), "")
        << files[i] << " (Pillow: " << pillow << ")";
  }
  EXPECT_LE(viaMagick, 2);
}

TEST(Bitmap, CorpusReferencePngs) {
  if (!TestSupport::HavePillow()) GTEST_SKIP() << "Pillow is not installed";
  TempDir tmp;
  fs::path dir = CorpusDir() / "pillow/bmp";
  std::vector<std::string> pngs, bmps;
  for (const std::string& png : FilesIn(dir / "bmpsuite-ref-png", ".png")) {
    std::string stem = fs::path(png).stem().string();
    if (stem.size() > 2 && stem.substr(stem.size() - 2) == "-e") continue;  // an expanded variant
    pngs.push_back(png);
    bmps.push_back((dir / "bmpsuite-good" / (stem + ".bmp")).string());
  }
  ASSERT_GE(pngs.size(), 10u);
  std::vector<TRgbaImage> refs = PillowDecode(pngs, tmp);
  for (size_t i = 0; i < pngs.size(); ++i) {
    TRgbaImage own = OwnDecode(Bmp(), bmps[i]);
    // The references round palette colours and 5-bit channels slightly
    // differently from every decoder.
    EXPECT_EQ(CompareRgba(own, refs[i], 2, true, BitsFor(bmps[i])), "") << bmps[i];
  }
}

TEST(Bitmap, CorpusQuestionableLoadOrFailCleanly) {
  fs::path dir = CorpusDir() / "pillow/bmp/bmpsuite-questionable";
  std::vector<std::string> files = FilesIn(dir, ".bmp");
  ASSERT_GE(files.size(), 20u);
  std::set<std::string> loaded;
  for (const std::string& f : files) {
    TRgbaImage own = OwnDecode(Bmp(), f);
    if (own.Ok) {
      loaded.insert(fs::path(f).filename().string());
      EXPECT_GT(own.Width, 0);
    } else {
      EXPECT_EQ(own.Error.rfind(LoadingMessage(f, "bmp"), 0), 0u) << own.Error;
    }
  }
  // Files that are merely unusual load.
  for (const char* name : {"pal8offs.bmp", "rgb32h52.bmp", "rgba32h56.bmp", "rgb32bf-xbgr.bmp", "rgba32.bmp",
                           "rgb16-231.bmp", "rgba16-4444.bmp", "rgb32-111110.bmp", "pal8os2v2.bmp",
                           "pal8os2v2-16.bmp", "pal8rletrns.bmp", "pal4rletrns.bmp", "rgb24largepal.bmp",
                           "pal8oversizepal.bmp"})
    EXPECT_TRUE(loaded.count(name)) << name;
  // Embedded JPEG and PNG streams are not decoded.
  EXPECT_FALSE(loaded.count("rgb24jpeg.bmp"));
  EXPECT_FALSE(loaded.count("rgb24png.bmp"));
}

TEST(Bitmap, CorpusQuestionableBitFieldsMatchPillow) {
  if (!TestSupport::HavePillow()) GTEST_SKIP() << "Pillow is not installed";
  TempDir tmp;
  fs::path dir = CorpusDir() / "pillow/bmp/bmpsuite-questionable";
  std::vector<std::string> files;
  for (const char* name : {"rgb32h52.bmp", "rgba32h56.bmp", "rgb32bf-xbgr.bmp", "rgba32.bmp", "rgb32-111110.bmp",
                           "rgba16-4444.bmp", "pal8offs.bmp", "pal8os2v2.bmp", "rgb24largepal.bmp"})
    files.push_back((dir / name).string());
  std::vector<TRgbaImage> peers = PillowDecode(files, tmp);
  for (size_t i = 0; i < files.size(); ++i) {
    if (!peers[i].Ok) continue;
    TRgbaImage own = OwnDecode(Bmp(), files[i]);
    EXPECT_EQ(CompareRgba(own, peers[i], 2, PillowHasAlpha(peers[i]), BitsFor(files[i])), "") << files[i];
  }
}

// Damage that does not touch the pixels: nonsense resolutions, a wrong image
// data size, run-length data that runs past the bitmap or is stored top-down.
// Every peer shows these; so do we.
const char* const ReadableDamagedFiles[] = {"bmpsuite-bad/baddens1.bmp", "bmpsuite-bad/baddens2.bmp",
                                            "bmpsuite-bad/badbitssize.bmp", "bmpsuite-bad/badrle.bmp",
                                            "bmpsuite-bad/rletopdown.bmp", "hopper_rle8_row_overflow.bmp"};

TEST(Bitmap, CorpusDamageOutsideThePixelsLoadsAsPillowShowsIt) {
  TempDir tmp;
  fs::path dir = CorpusDir() / "pillow/bmp/bad";
  std::vector<std::string> files;
  for (const char* name : ReadableDamagedFiles) files.push_back((dir / name).string());
  std::vector<TRgbaImage> peers = PillowDecode(files, tmp);
  for (size_t i = 0; i < files.size(); ++i) {
    TRgbaImage own = OwnDecode(Bmp(), files[i]);
    ASSERT_TRUE(own.Ok) << files[i] << ": " << own.Error;
    if (files[i].ends_with("badrle.bmp")) continue;
    if (peers[i].Ok) {
      EXPECT_EQ(CompareRgba(own, peers[i], 0, true), "") << files[i];
    }
  }
  // In badrle.bmp runs reach past the row ends. Pillow carries the surplus
  // pixels over into the next row; ImageMagick clips them as we do, and only
  // differs in 4 pixels it writes past a row end before a delta.
  if (!TestSupport::HaveProgram("convert")) return;
  TRgbaImage own = OwnDecode(Bmp(), files[3]), magick = MagickDecode(files[3]);
  ASSERT_TRUE(magick.Ok);
  ASSERT_EQ(own.Rgba.size(), magick.Rgba.size());
  int differing = 0;
  for (size_t i = 0; i < own.Rgba.size(); i += 4)
    differing += std::memcmp(&own.Rgba[i], &magick.Rgba[i], 4) != 0 ? 1 : 0;
  EXPECT_LE(differing, 4);
}

TEST(Bitmap, CorpusBadFilesFailWithLoadingMessage) {
  fs::path dir = CorpusDir() / "pillow/bmp/bad";
  std::vector<std::string> files = FilesIn(dir / "bmpsuite-bad", ".bmp");
  for (const std::string& f : FilesIn(dir, ".bmp")) files.push_back(f);
  ASSERT_GE(files.size(), 16u);
  std::erase_if(files, [&](const std::string& f) {
    return std::any_of(std::begin(ReadableDamagedFiles), std::end(ReadableDamagedFiles),
                       [&](const char* name) { return fs::path(f) == dir / name; });
  });
  ASSERT_GE(files.size(), 10u);
  for (const std::string& f : files) {
    TRgbaImage own = OwnDecode(Bmp(), f);
    EXPECT_FALSE(own.Ok) << f << " loaded";
    EXPECT_EQ(own.Error.rfind(LoadingMessage(f, "bmp"), 0), 0u) << own.Error;
  }
  // The framework's single-image entry point reports the same and leaves the
  // target untouched.
  TImageData img;
  EXPECT_THROW(ReadImageFile((dir / "bmpsuite-bad/badplanes.bmp").string(), img), EImagingError);
  EXPECT_EQ(img.Bits, nullptr);
}

// ---------------------------------------------------------------------------
// Reading: files written by the peers, in every variant
// ---------------------------------------------------------------------------

namespace {

// A test picture with smooth areas (for runs), noise (for literals) and
// transparency, written by ImageMagick as a PNG.
std::string MakeSource(const TempDir& Tmp, int W, int H) {
  TImageData img = TestSupport::RandomImage(W, H, fmtA8R8G8B8, 77);
  auto* p = static_cast<uint8_t*>(img.Bits);
  for (int y = 0; y < H / 2; ++y)
    for (int x = 0; x < W; ++x) {
      uint8_t* q = p + (size_t(y) * W + x) * 4;
      q[0] = uint8_t(x * 4);
      q[1] = uint8_t(y * 8);
      q[2] = uint8_t(x < W / 3 ? 200 : 30);
      q[3] = x < W / 4 ? 0 : (x < W / 2 ? 128 : 255);
    }
  // Write as a PAM file the peers read directly.
  std::string pam = Tmp.File("source.pam");
  std::vector<uint8_t> data;
  std::string header = "P7\nWIDTH " + std::to_string(W) + "\nHEIGHT " + std::to_string(H) +
                       "\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n";
  data.assign(header.begin(), header.end());
  for (int i = 0; i < W * H; ++i) data.insert(data.end(), {p[i * 4 + 2], p[i * 4 + 1], p[i * 4], p[i * 4 + 3]});
  TestSupport::WriteFileBytes(pam, data);
  ReleaseImage(img);
  return pam;
}

}  // namespace

TEST(Bitmap, ReadsImageMagickVariants) {
  REQUIRE_PROGRAM("convert");
  TempDir tmp;
  std::string src = MakeSource(tmp, 37, 21);
  struct TVariant {
    const char* Name;
    const char* Options;
    const char* Target;
  };
  const TVariant variants[] = {
      {"24", "-alpha off -type TrueColor", "BMP3:"},
      {"32", "-type TrueColorAlpha", "BMP:"},
      {"32v3", "-type TrueColorAlpha", "BMP3:"},
      {"pal8", "-alpha off -colors 200 -type Palette", "BMP3:"},
      {"pal8rle", "-alpha off -colors 200 -type Palette -compress RLE", "BMP3:"},
      {"pal4", "-alpha off -colors 14 -type Palette", "BMP3:"},
      {"pal4rle", "-alpha off -colors 14 -type Palette -compress RLE", "BMP3:"},
      {"pal1", "-alpha off -colors 2 -type Palette", "BMP3:"},
      {"gray8", "-alpha off -type Grayscale", "BMP3:"},
      {"rgb565", "-alpha off -define bmp:subtype=RGB565", "BMP:"},
      {"rgb555", "-alpha off -define bmp:subtype=RGB555", "BMP:"},
      {"argb1555", "-define bmp:subtype=ARGB1555", "BMP:"},
      {"argb4444", "-define bmp:subtype=ARGB4444", "BMP:"},
      {"os2", "-alpha off -colors 100 -type Palette", "BMP2:"},
  };
  for (const TVariant& v : variants) {
    std::string out = tmp.File(std::string(v.Name) + ".bmp");
    ASSERT_EQ(TestSupport::RunCommand("convert '" + src + "' " + v.Options + " '" + v.Target + out + "' 2>/dev/null"), 0)
        << v.Name;
    TRgbaImage peer;
    ASSERT_TRUE(TestSupport::PeerDecodeRGBA(out, peer.Width, peer.Height, peer.Rgba)) << v.Name;
    peer.Ok = true;
    TImageFormat format = fmtNone;
    TRgbaImage own = OwnDecode(Bmp(), out, &format);
    bool alpha = std::string(v.Name) == "32" || std::string(v.Name).find("argb") == 0;
    int bits = std::string(v.Name).find("rgb") != std::string::npos ? 4 : 8;
    int alphaBits = std::string(v.Name) == "argb1555" ? 1 : bits;
    EXPECT_EQ(CompareRgba(own, peer, bits < 8 ? 2 : 0, alpha, bits, alphaBits), "")
        << v.Name << " loaded as " << FormatDisplayName(format);
  }
}

TEST(Bitmap, ReadsNetpbmAndPillowVariants) {
  REQUIRE_PROGRAM("ppmtobmp");
  if (!TestSupport::HavePillow()) GTEST_SKIP() << "Pillow is not installed";
  TempDir tmp;
  std::string src = MakeSource(tmp, 29, 13);
  std::vector<std::string> files;
  ASSERT_EQ(TestSupport::RunCommand("pamtopnm '" + src + "' > '" + tmp.File("src.ppm") + "' 2>/dev/null"), 0);
  ASSERT_EQ(TestSupport::RunCommand("pnmquant 16 '" + tmp.File("src.ppm") + "' > '" + tmp.File("q16.ppm") +
                                    "' 2>/dev/null"),
            0);
  for (std::string args : {"-bpp 24 -windows", "-bpp 24 -os2", "-bpp 4 -windows", "-bpp 8 -windows", "-bpp 8 -os2"}) {
    std::string name = args;
    std::replace(name.begin(), name.end(), ' ', '_');
    std::string out = tmp.File("netpbm" + name + ".bmp");
    std::string input = args.find("-bpp 24") == 0 ? tmp.File("src.ppm") : tmp.File("q16.ppm");
    ASSERT_EQ(TestSupport::RunCommand("ppmtobmp " + args + " '" + input + "' > '" + out + "' 2>/dev/null"), 0) << args;
    files.push_back(out);
  }
  // Pillow in each mode it writes: 1, L, P, RGB, RGBA.
  std::string script = tmp.File("w.py");
  TestSupport::WriteFileBytes(script, [] {
    std::string s =
        "import sys\nfrom PIL import Image\nim=Image.open(sys.argv[1]).convert('RGBA')\n"
        "for m in ['1','L','P','RGB','RGBA']:\n"
        "  c = im.convert(m) if m!='P' else im.convert('RGB').quantize(60)\n"
        "  c.save(sys.argv[2]+'/pillow_'+m+'.bmp')\n";
    return std::vector<uint8_t>(s.begin(), s.end());
  }());
  std::string png = tmp.File("source.png");
  ASSERT_EQ(TestSupport::RunCommand("convert '" + src + "' '" + png + "' 2>/dev/null"), 0);
  ASSERT_EQ(TestSupport::RunCommand(TestSupport::PillowPython() + " '" + script + "' '" + png + "' '" +
                                    tmp.Path().string() + "'"),
            0);
  for (const char* m : {"1", "L", "P", "RGB", "RGBA"}) files.push_back(tmp.File(std::string("pillow_") + m + ".bmp"));

  // Top-down variants made from a Pillow file by negating the height and
  // reversing the rows.
  for (const char* m : {"P", "RGB"}) {
    std::vector<uint8_t> b = TestSupport::ReadFileBytes(tmp.File(std::string("pillow_") + m + ".bmp"));
    int32_t height = int32_t(Le32(b, 22));
    uint32_t offset = Le32(b, 10);
    size_t row = (b.size() - offset) / size_t(height);
    std::vector<uint8_t> flipped(b.begin(), b.begin() + offset);
    for (int32_t y = height - 1; y >= 0; --y)
      flipped.insert(flipped.end(), b.begin() + offset + size_t(y) * row, b.begin() + offset + size_t(y + 1) * row);
    uint32_t neg = uint32_t(-height);
    for (int i = 0; i < 4; ++i) flipped[22 + size_t(i)] = uint8_t(neg >> (8 * i));
    std::string out = tmp.File(std::string("topdown_") + m + ".bmp");
    TestSupport::WriteFileBytes(out, flipped);
    files.push_back(out);
  }

  std::vector<TRgbaImage> peers = PillowDecode(files, tmp);
  for (size_t i = 0; i < files.size(); ++i) {
    ASSERT_TRUE(peers[i].Ok) << files[i];
    TRgbaImage own = OwnDecode(Bmp(), files[i]);
    EXPECT_EQ(CompareRgba(own, peers[i], 0, PillowHasAlpha(peers[i])), "") << files[i];
  }
}

// ---------------------------------------------------------------------------
// Writing: our files decoded by the peers
// ---------------------------------------------------------------------------

TEST(Bitmap, PeersDecodeWhatWeWrite) {
  REQUIRE_PROGRAM("convert");
  if (!TestSupport::HavePillow()) GTEST_SKIP() << "Pillow is not installed";
  TempDir tmp;
  struct TCase {
    TImageFormat Format;
    int Rle;
    bool Alpha;  // peers see our alpha
  };
  const TCase cases[] = {
      {fmtIndex8, -1, false},  {fmtIndex8, 0, false},   {fmtR5G6B5, 0, false},   {fmtA1R5G5B5, 0, true},
      {fmtA4R4G4B4, 0, true},  {fmtX1R5G5B5, 0, false}, {fmtX4R4G4B4, 0, false}, {fmtR8G8B8, 0, false},
      {fmtA8R8G8B8, 0, true},  {fmtX8R8G8B8, 0, false}, {fmtGray8, -1, false},   {fmtA8Gray8, 0, true},
      {fmtR16G16B16, 0, false}, {fmtA32R32G32B32F, 0, true}, {fmtR3G3B2, 0, false},
  };
  std::vector<std::string> files;
  std::vector<TRgbaImage> expected;
  std::vector<bool> alpha;
  for (const TCase& c : cases) {
    SetImagingOption(OptBitmapRLE, c.Rle);
    TImageData img = TestSupport::RandomImage(23, 9, c.Format, uint32_t(c.Format) + 5);
    if (c.Format == fmtIndex8 || c.Format == fmtGray8) {  // runs for the encoder
      auto* p = static_cast<uint8_t*>(img.Bits);
      std::fill(p + 23, p + 80, uint8_t(7));
    }
    std::string out = tmp.File(FormatDisplayName(c.Format) + (c.Rle ? "_rle" : "") + ".bmp");
    ASSERT_TRUE(WriteImageFile(out, img)) << out;
    // What we meant: our own decode of the written file, checked above to be
    // the source in its saved format.
    expected.push_back(OwnDecode(Bmp(), out));
    files.push_back(out);
    alpha.push_back(c.Alpha);
    ReleaseImage(img);
  }
  SetImagingOption(OptBitmapRLE, -1);
  std::vector<TRgbaImage> pillow = PillowDecode(files, tmp);
  for (size_t i = 0; i < files.size(); ++i) {
    TImageFormat f = cases[i].Format;
    bool is4444 = f == fmtA4R4G4B4 || f == fmtX4R4G4B4;
    int bits = (f == fmtR5G6B5 || f == fmtA1R5G5B5 || f == fmtX1R5G5B5 || f == fmtR3G3B2) ? 5 : (is4444 ? 4 : 8);
    int tolerance = bits < 8 ? 2 : 0;
    // Pillow reads no 4-bit channels and no 16-bit alpha.
    if (!is4444) {
      EXPECT_EQ(CompareRgba(pillow[i], expected[i], tolerance, alpha[i] && f != fmtA1R5G5B5, bits), "")
          << "Pillow: " << files[i];
    }
    TRgbaImage magick;
    magick.Ok = TestSupport::PeerDecodeRGBA(files[i], magick.Width, magick.Height, magick.Rgba);
    EXPECT_EQ(CompareRgba(magick, expected[i], tolerance, alpha[i], bits, f == fmtA1R5G5B5 ? 1 : bits), "")
        << "ImageMagick: " << files[i];
  }
}

// A palette image with transparency (a PNG with tRNS, made by ImageMagick)
// is written as 32-bit pixels with alpha: every peer sees the transparency.
// An opaque palette image stays 8-bit.
TEST(Bitmap, PaletteTransparencySurvivesSaving) {
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
  const std::string bmp = tmp.File("palette-alpha.bmp");
  ASSERT_TRUE(WriteImageFile(bmp, source));
  const std::vector<uint8_t> bytes = TestSupport::ReadFileBytes(bmp);
  EXPECT_EQ(Le16(bytes, 28), 32);
  TRgbaImage png8 = MagickDecode(png);
  EXPECT_EQ(CompareRgba(OwnDecode(Bmp(), bmp), png8, 0, true), "");
  EXPECT_EQ(CompareRgba(MagickDecode(bmp), png8, 0, true), "");
  if (TestSupport::HavePillow()) {
    EXPECT_EQ(CompareRgba(PillowDecodeOne(bmp, tmp), png8, 0, true), "");
  }

  for (int i = 0; i < 256; ++i) source.Palette[i].A = 255;
  ASSERT_TRUE(WriteImageFile(bmp, source));
  EXPECT_EQ(Le16(TestSupport::ReadFileBytes(bmp), 28), 8);
  ReleaseImage(source);
}

// ---------------------------------------------------------------------------
// Reading: edge cases and hostile headers
// ---------------------------------------------------------------------------

TEST(Bitmap, RowOrderAndAlphaRules) {
  // Negative height: the first stored row is the top row.
  TBmpBuilder b;
  b.Width = 1;
  b.Height = -2;
  b.BitCount = 24;
  b.Pixels = {1, 2, 3, 0, 4, 5, 6, 0};
  TDynImageDataArray images;
  ASSERT_EQ(LoadBytes(Bmp(), b.Build(), images), "");
  EXPECT_EQ(images[0].Format, fmtR8G8B8);
  EXPECT_EQ(static_cast<uint8_t*>(images[0].Bits)[0], 1);
  b.Height = 2;
  ASSERT_EQ(LoadBytes(Bmp(), b.Build(), images), "");
  EXPECT_EQ(static_cast<uint8_t*>(images[0].Bits)[0], 4);

  // 32-bit: all alpha bytes zero gives X8R8G8B8, one 0x80 keeps A8R8G8B8.
  b.BitCount = 32;
  b.Pixels = {1, 2, 3, 0, 4, 5, 6, 0};
  ASSERT_EQ(LoadBytes(Bmp(), b.Build(), images), "");
  EXPECT_EQ(images[0].Format, fmtX8R8G8B8);
  b.Pixels[3] = 0x80;
  ASSERT_EQ(LoadBytes(Bmp(), b.Build(), images), "");
  EXPECT_EQ(images[0].Format, fmtA8R8G8B8);

  // 16-bit without compression: X1R5G5B5 unless some pixel has bit 15.
  b.BitCount = 16;
  b.Pixels = {0x1F, 0x7C, 0, 0, 0xE0, 0x03, 0, 0};
  ASSERT_EQ(LoadBytes(Bmp(), b.Build(), images), "");
  EXPECT_EQ(images[0].Format, fmtX1R5G5B5);
  b.Pixels[1] = 0xFC;
  ASSERT_EQ(LoadBytes(Bmp(), b.Build(), images), "");
  EXPECT_EQ(images[0].Format, fmtA1R5G5B5);

  // 32-bit bit fields in another channel order are decoded by their masks.
  b.BitCount = 32;
  b.Compression = 3;
  b.Masks = {0x000000FF, 0x0000FF00, 0x00FF0000};  // red in the low byte
  b.Pixels = {10, 20, 30, 0, 40, 50, 60, 0};
  ASSERT_EQ(LoadBytes(Bmp(), b.Build(), images), "");
  TColor32Rec c = ReadPixel32(images[0], 0, 1);
  EXPECT_EQ(c.R, 10);
  EXPECT_EQ(c.G, 20);
  EXPECT_EQ(c.B, 30);
  ReleaseImageArray(images);
}

// Bit fields of any width from 1 to 16 bits (and wider ones through their
// top 16 bits) scale to 8 bits exactly: 5 and 6-bit fields repeat their top
// bits below themselves (31 gives 255, as ImageMagick shows), other widths
// give the nearest level. Alpha comes only from an alpha mask; without one
// the remaining bits are padding and the image is opaque.
TEST(Bitmap, BitFieldsOfEveryWidth) {
  auto level = [](uint32_t V, int Bits) -> int {
    if (Bits == 5) return int((V << 3) | (V >> 2));
    if (Bits == 6) return int((V << 2) | (V >> 4));
    if (Bits > 16) {
      V >>= Bits - 16;
      Bits = 16;
    }
    return int(std::lround(double(V) * 255.0 / double((uint64_t(1) << Bits) - 1)));
  };
  struct TCase {
    const char* Name;
    uint16_t BitCount;
    uint32_t R, G, B, A;
    TImageFormat Format;
  };
  const TCase cases[] = {
      {"2-3-1", 16, 0x0030, 0x000E, 0x0001, 0, fmtX8R8G8B8},
      {"1-9-2-4 alpha", 16, 0x7FC0, 0x0030, 0x000F, 0x8000, fmtA8R8G8B8},
      {"4-4-4 X", 16, 0x0F00, 0x00F0, 0x000F, 0, fmtX4R4G4B4},
      {"4-4-4-4", 16, 0x0F00, 0x00F0, 0x000F, 0xF000, fmtA4R4G4B4},
      {"5-6-5", 16, 0xF800, 0x07E0, 0x001F, 0, fmtR5G6B5},
      {"5-5-5 X", 16, 0x7C00, 0x03E0, 0x001F, 0, fmtX1R5G5B5},
      {"5-5-5 in the high bits", 16, 0xF800, 0x07C0, 0x003E, 0, fmtX8R8G8B8},
      {"10-10-10 X", 32, 0x3FF00000, 0x000FFC00, 0x000003FF, 0, fmtX8R8G8B8},
      {"10-10-10-2", 32, 0x3FF00000, 0x000FFC00, 0x000003FF, 0xC0000000, fmtA8R8G8B8},
      {"8-8-8 X", 32, 0x00FF0000, 0x0000FF00, 0x000000FF, 0, fmtX8R8G8B8},
      {"8-8-8-8", 32, 0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000, fmtA8R8G8B8},
      {"16-8-8", 32, 0xFFFF0000, 0x0000FF00, 0x000000FF, 0, fmtX8R8G8B8},
      {"24-8", 32, 0xFFFFFF00, 0x000000FF, 0, 0, fmtX8R8G8B8},
  };
  const int width = 97;
  for (const TCase& c : cases) {
    TBmpBuilder b;
    b.HeaderSize = 108;
    b.Width = width;
    b.Height = 1;
    b.BitCount = c.BitCount;
    b.Compression = 3;
    b.Masks = {c.R, c.G, c.B, c.A};
    std::vector<uint32_t> pixels;
    for (int x = 0; x < width; ++x) {
      uint32_t v = uint32_t(x) * 0x9E3779B1u;
      v ^= v >> 13;
      if (x < 2) v = x ? 0xFFFFFFFFu : 0;  // every field at 0, then at its maximum
      pixels.push_back(c.BitCount == 16 ? (v & 0xFFFF) : v);
      AppendLE(b.Pixels, pixels.back(), c.BitCount / 8);
    }
    while (b.Pixels.size() % 4) b.Pixels.push_back(0);
    TDynImageDataArray images;
    ASSERT_EQ(LoadBytes(Bmp(), b.Build(), images), "") << c.Name;
    EXPECT_EQ(images[0].Format, c.Format) << c.Name;
    auto field = [](uint32_t Pixel, uint32_t Mask, int& Bits) -> uint32_t {
      Bits = std::popcount(Mask);
      return Mask ? (Pixel & Mask) >> std::countr_zero(Mask) : 0;
    };
    for (int x = 0; x < width; ++x) {
      const TColor32Rec got = ReadPixel32(images[0], x, 0);
      int rb, gb, bb, ab;
      const uint32_t r = field(pixels[x], c.R, rb), g = field(pixels[x], c.G, gb), bl = field(pixels[x], c.B, bb),
                     a = field(pixels[x], c.A, ab);
      const int expected[4] = {bb ? level(bl, bb) : 0, gb ? level(g, gb) : 0, rb ? level(r, rb) : 0,
                               ab ? level(a, ab) : 255};
      ASSERT_EQ((std::vector<int>{got.B, got.G, got.R, got.A}),
                (std::vector<int>{expected[0], expected[1], expected[2], expected[3]}))
          << c.Name << " pixel " << x << " value " << std::hex << pixels[x];
    }
    // Padding bits never reach a saved file.
    if (!FormatInfoTable[images[0].Format]->HasAlphaChannel && images[0].Format != fmtR5G6B5) {
      const auto* p = static_cast<const uint8_t*>(images[0].Bits);
      if (images[0].Format == fmtX8R8G8B8)
        EXPECT_EQ(p[4 + 3], 0) << c.Name;
      else
        EXPECT_EQ(p[2 + 1] & 0xF0, images[0].Format == fmtX1R5G5B5 ? 0x70 : 0x00) << c.Name;
    }
    ReleaseImageArray(images);
  }
}

// What the clipboard and many writers store: 32-bit bit fields with red,
// green and blue masks, no alpha mask and stray values in the fourth byte.
// Pillow and ImageMagick show it opaque.
TEST(Bitmap, BitFieldsWithoutAlphaMaskAreOpaqueAsPeersShowThem) {
  TempDir tmp;
  TBmpBuilder b;
  b.Width = 3;
  b.Height = 2;
  b.BitCount = 32;
  b.Compression = 3;
  b.Masks = {0x00FF0000, 0x0000FF00, 0x000000FF};
  b.Pixels = {1, 2, 3, 0x00, 4, 5, 6, 0x80, 7, 8, 9, 0xFF, 10, 11, 12, 0x01, 13, 14, 15, 0x00, 16, 17, 18, 0x7F};
  const std::string file = tmp.File("xrgb.bmp");
  TestSupport::WriteFileBytes(file, b.Build());
  TImageFormat format = fmtNone;
  TRgbaImage own = OwnDecode(Bmp(), file, &format);
  ASSERT_TRUE(own.Ok) << own.Error;
  EXPECT_EQ(format, fmtX8R8G8B8);
  // Bottom row stored first.
  EXPECT_EQ(own.Rgba, (std::vector<uint8_t>{12, 11, 10, 255, 15, 14, 13, 255, 18, 17, 16, 255,  //
                                            3, 2, 1, 255, 6, 5, 4, 255, 9, 8, 7, 255}));
  TRgbaImage pillow = PillowDecodeOne(file, tmp);
  if (pillow.Ok) {
    EXPECT_EQ(CompareRgba(own, pillow, 0, true), "");
  }
  if (TestSupport::HaveProgram("convert")) {
    EXPECT_EQ(CompareRgba(own, MagickDecode(file), 0, true), "");
  }
  // Saved again, the padding does not come back as alpha.
  TDynImageDataArray images;
  ASSERT_EQ(LoadBytes(Bmp(), b.Build(), images), "");
  std::vector<uint8_t> saved = SaveBytes(Bmp(), images[0]);
  ReleaseImageArray(images);
  ASSERT_EQ(LoadBytes(Bmp(), saved, images), "");
  EXPECT_FALSE(FormatInfoTable[images[0].Format]->HasAlphaChannel) << FormatDisplayName(images[0].Format);
  ReleaseImageArray(images);
}

// 5 and 6-bit fields as ImageMagick widens them: exactly, for every value.
TEST(Bitmap, SixteenBitPixelsMatchImageMagickExactly) {
  REQUIRE_PROGRAM("convert");
  TempDir tmp;
  struct TCase {
    const char* Name;
    uint32_t R, G, B;
  };
  // (ImageMagick shifts 4-bit fields without repeating them; those are
  // covered by the exact levels above.)
  for (const TCase& c : {TCase{"565", 0xF800, 0x07E0, 0x001F}, TCase{"555", 0x7C00, 0x03E0, 0x001F}}) {
    TBmpBuilder b;
    b.Width = 256;
    b.Height = 2;
    b.BitCount = 16;
    b.Compression = 3;
    b.Masks = {c.R, c.G, c.B};
    for (uint32_t v = 0; v < 512; ++v) AppendLE(b.Pixels, (v * 0x3F1Du) & (c.R | c.G | c.B), 2);
    const std::string file = tmp.File(std::string(c.Name) + ".bmp");
    TestSupport::WriteFileBytes(file, b.Build());
    EXPECT_EQ(CompareRgba(OwnDecode(Bmp(), file), MagickDecode(file), 0, false), "") << c.Name;
  }
}

TEST(Bitmap, RunLengthDecoding) {
  // 4 x 2 RLE8: delta, end of line, literal, end of bitmap.
  TBmpBuilder b;
  b.Width = 4;
  b.Height = 2;
  b.Compression = 1;
  b.Palette = GrayTable(256);
  b.Pixels = {2, 9, 0, 2, 1, 0, 1, 8, 0, 0, 0, 4, 1, 2, 3, 4, 0, 1};
  TDynImageDataArray images;
  ASSERT_EQ(LoadBytes(Bmp(), b.Build(), images), "");
  const auto* p = static_cast<const uint8_t*>(images[0].Bits);
  // Bottom row (stored first): 9 9 . 8 -> moved by the delta onto the top row.
  EXPECT_EQ(std::vector<uint8_t>(p, p + 8), (std::vector<uint8_t>{1, 2, 3, 4, 9, 9, 0, 8}));

  // RLE4: runs alternate nibbles, literals take them high first.
  b.BitCount = 4;
  b.Compression = 2;
  b.Palette = GrayTable(16);
  b.Width = 5;
  b.Height = 1;
  b.Pixels = {3, 0x12, 0, 0, 0, 1};
  ASSERT_EQ(LoadBytes(Bmp(), b.Build(), images), "");
  p = static_cast<const uint8_t*>(images[0].Bits);
  EXPECT_EQ(std::vector<uint8_t>(p, p + 5), (std::vector<uint8_t>{1, 2, 1, 0, 0}));
  b.Pixels = {0, 5, 0x34, 0x56, 0x70, 0, 0, 1};
  ASSERT_EQ(LoadBytes(Bmp(), b.Build(), images), "");
  p = static_cast<const uint8_t*>(images[0].Bits);
  EXPECT_EQ(std::vector<uint8_t>(p, p + 5), (std::vector<uint8_t>{3, 4, 5, 6, 7}));

  // Data that ends early leaves the rest 0.
  b.Pixels = {2, 0x11};
  ASSERT_EQ(LoadBytes(Bmp(), b.Build(), images), "");
  p = static_cast<const uint8_t*>(images[0].Bits);
  EXPECT_EQ(std::vector<uint8_t>(p, p + 5), (std::vector<uint8_t>{1, 1, 0, 0, 0}));

  // Runs, literals and deltas that leave the bitmap are clipped to it.
  struct TClipCase {
    std::vector<uint8_t> Data;
    std::vector<uint8_t> Row;
  };
  const TClipCase clips[] = {
      {{8, 0x12, 0, 1}, {1, 2, 1, 2, 1}},                  // into the row padding
      {{9, 0x11, 0, 1}, {1, 1, 1, 1, 1}},                  // past the padding
      {{0, 9, 0x12, 0x34, 0x56, 0x78, 0x90, 0, 0, 1}, {1, 2, 3, 4, 5}},  // a literal
      {{3, 0x77, 0, 2, 1, 5, 3, 0x22, 0, 1}, {7, 7, 7, 0, 0}},  // a delta below the last row ends the data
      {{0, 2, 7, 0, 3, 0x22, 0, 0, 4, 0x33, 0, 1}, {0, 0, 0, 0, 0}},  // a delta past the row end
  };
  for (const TClipCase& c : clips) {
    b.Pixels = c.Data;
    ASSERT_EQ(LoadBytes(Bmp(), b.Build(), images), "");
    p = static_cast<const uint8_t*>(images[0].Bits);
    EXPECT_EQ(std::vector<uint8_t>(p, p + 5), c.Row) << int(c.Data[0]) << " " << int(c.Data[1]);
  }

  // Top-down run-length bitmaps: the first line is the top row.
  b.BitCount = 8;
  b.Compression = 1;
  b.Palette = GrayTable(256);
  b.Width = 2;
  b.Height = -2;
  b.Pixels = {2, 5, 0, 0, 2, 6, 0, 1};
  ASSERT_EQ(LoadBytes(Bmp(), b.Build(), images), "");
  p = static_cast<const uint8_t*>(images[0].Bits);
  EXPECT_EQ(std::vector<uint8_t>(p, p + 4), (std::vector<uint8_t>{5, 5, 6, 6}));
  ReleaseImageArray(images);
}

TEST(Bitmap, HostileHeadersAreRefused) {
  TBmpBuilder base;
  base.Width = 4;
  base.Height = 4;
  base.Palette = GrayTable(256);
  base.Pixels.assign(16, 1);

  // RLE with a bit count other than 8 / 4.
  TBmpBuilder b = base;
  b.Compression = 1;
  b.BitCount = 24;
  b.Palette.clear();
  ExpectLoadFails(b.Build(), "RLE8 bitmap with bit count 24");
  b.Compression = 2;
  b.BitCount = 8;
  ExpectLoadFails(b.Build(), "RLE4 bitmap with bit count 8");

  // A pixel offset past the end of the file gives an empty RLE block: the
  // image loads with every pixel 0.
  b = base;
  b.Compression = 1;
  b.Pixels = {4, 1, 0, 0, 0, 1};
  b.PixelOffsetOverride = 100000;
  TDynImageDataArray images;
  ASSERT_EQ(LoadBytes(Bmp(), b.Build(), images), "");
  const auto* p = static_cast<const uint8_t*>(images[0].Bits);
  EXPECT_TRUE(std::all_of(p, p + 16, [](uint8_t v) { return v == 0; }));
  ReleaseImageArray(images);

  // Dimensions whose image would not fit the 32-bit size, refused before
  // anything is allocated (the data is tiny).
  b = base;
  b.BitCount = 32;
  b.Palette.clear();
  b.Width = 40000;
  b.Height = 40000;
  ExpectLoadFails(b.Build(), "too large");
  b.Width = 0x7FFFFFFF;
  b.Height = -0x7FFFFFFF;
  ExpectLoadFails(b.Build(), "too large");
  // Fits 32 bits, but the pixel data cannot be in the file.
  b.Width = 10000;
  b.Height = 10000;
  b.BitCount = 8;
  b.Palette = GrayTable(256);
  ExpectLoadFails(b.Build(), "pixel data is truncated");
  // The same for an RLE bitmap: far more pixels than its data could describe.
  b.Compression = 1;
  b.Pixels = {0, 1};
  ExpectLoadFails(b.Build(), "cannot describe");

  // A missing pad of the last row is tolerated, a missing pixel is not.
  b = base;
  b.Width = 3;
  b.Height = 2;
  b.Pixels = {1, 2, 3, 0, 4, 5, 6};
  ASSERT_EQ(LoadBytes(Bmp(), b.Build(), images), "");
  p = static_cast<const uint8_t*>(images[0].Bits);
  EXPECT_EQ(std::vector<uint8_t>(p, p + 6), (std::vector<uint8_t>{4, 5, 6, 1, 2, 3}));
  ReleaseImageArray(images);
  b.Pixels.pop_back();
  ExpectLoadFails(b.Build(), "pixel data is truncated");

  // A pixel offset inside the colour table.
  b = base;
  b.PixelOffsetOverride = 54;
  ExpectLoadFails(b.Build(), "points into the headers");
  {
    TRgbaImage own = OwnDecode(Bmp(), (CorpusDir() / "pillow/bmp/mmap_error.bmp").string());
    EXPECT_NE(own.Error.find("points into the headers"), std::string::npos) << own.Error;
  }

  // Fields no genuine file has.
  b = base;
  b.Planes = 2;
  ExpectLoadFails(b.Build(), "plane count");
  b = base;
  b.BitCount = 7;
  ExpectLoadFails(b.Build(), "bit count 7");
  b = base;
  b.HeaderSize = 66;
  ExpectLoadFails(b.Build(), "header size 66");
  b = base;
  b.Width = -4;
  ExpectLoadFails(b.Build(), "dimensions");
  b = base;
  b.Compression = 4;
  ExpectLoadFails(b.Build(), "compression 4");
  b = base;
  b.ColorsUsed = 100000000;
  ExpectLoadFails(b.Build(), "colour table");
  b = base;
  b.ColorsUsed = 2;
  b.Pixels.assign(16, 1);
  b.Pixels[5] = 2;
  ExpectLoadFails(b.Build(), "outside its 2-colour palette");
  b = base;
  b.FileSizeOverride = 0x7FFFFF00;
  ExpectLoadFails(b.Build(), "truncated");
  b = base;
  b.Compression = 3;
  b.BitCount = 16;
  b.Palette.clear();
  b.Masks = {0xF0F0, 0x0F00, 0x000F};
  b.Pixels.assign(32, 0);
  ExpectLoadFails(b.Build(), "not contiguous");

  // Every prefix of a valid file fails cleanly or loads.
  std::vector<uint8_t> full = base.Build();
  for (size_t n = 0; n < full.size(); ++n) {
    std::vector<uint8_t> cut(full.begin(), full.begin() + n);
    TDynImageDataArray out;
    std::string error = LoadBytes(Bmp(), cut, out);
    EXPECT_FALSE(error.empty()) << n;
  }
}
