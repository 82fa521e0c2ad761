// JPEG 2000 handler: options and the quality-to-rate rule, content test,
// lossless round trips of every format as JP2 and codestream, channel
// placement from the channel definitions, subsampled sYCC, hostile headers,
// and pixels against opj_decompress, ImageMagick and Pillow both ways.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <map>
#include <sstream>

#include "ImagingJpeg2000.h"
#include "TestSupport.h"

using namespace Imaging;
namespace fs = std::filesystem;

namespace {

TJpeg2000FileFormat* J2kHandler() {
  TestSupport::InitCore();
  return dynamic_cast<TJpeg2000FileFormat*>(FindHandlerByExtension("jp2"));
}

std::string Quote(const std::string& S) { return "'" + S + "'"; }

struct TOptionGuard {
  TOptionGuard() { OptionStack().Push(); }
  ~TOptionGuard() { OptionStack().Pop(); }
};

// A decoded picture: Depth samples per pixel, values up to MaxVal.
struct TPeerImage {
  int32_t Width = 0, Height = 0, Depth = 0;
  uint32_t MaxVal = 0;
  std::vector<uint32_t> Samples;
  // Components written to files of their own (each with Depth 1).
  std::vector<TPeerImage> Planes;
};

bool ReadPnm(const std::vector<uint8_t>& data, TPeerImage& Out);

// opj_decompress's own decode (colour conversion included) as PNM/PAM.
bool OpjDecode(const std::string& File, const TestSupport::TempDir& Dir, TPeerImage& Out) {
  const std::string pnm = Dir.File("opj.pnm");
  std::error_code ec;
  fs::remove(pnm, ec);
  const std::string part0 = Dir.File("opj_0.pgm"), part1 = Dir.File("opj_1.pgm");
  fs::remove(part0, ec);
  fs::remove(part1, ec);
  if (TestSupport::RunCommand("opj_decompress -i " + Quote(File) + " -o " + Quote(pnm) + " >/dev/null 2>&1") != 0)
    return false;
  if (!fs::exists(pnm) && fs::exists(part0) && fs::exists(part1)) {
    // Two components without alpha come as two gray files: merge them.
    TPeerImage a, b;
    if (!ReadPnm(TestSupport::ReadFileBytes(part0), a) || !ReadPnm(TestSupport::ReadFileBytes(part1), b)) return false;
    Out = TPeerImage();
    Out.Depth = 2;
    Out.Planes = {a, b};
    return true;
  }
  return fs::exists(pnm) && ReadPnm(TestSupport::ReadFileBytes(pnm), Out);
}

bool ReadPnm(const std::vector<uint8_t>& data, TPeerImage& Out) {
  std::string text(data.begin(), data.end());
  std::istringstream is(text);
  std::string magic, token;
  is >> magic;
  auto next = [&]() {
    while (is >> token)
      if (token[0] == '#')
        std::getline(is, token);
      else
        return std::stoi(token);
    return -1;
  };
  if (magic == "P7") {
    while (is >> token && token != "ENDHDR") {
      if (token == "WIDTH") is >> Out.Width;
      if (token == "HEIGHT") is >> Out.Height;
      if (token == "DEPTH") is >> Out.Depth;
      if (token == "MAXVAL") is >> Out.MaxVal;
      if (token == "TUPLTYPE" || token[0] == '#') std::getline(is, token);
    }
  } else {
    Out.Depth = magic == "P5" ? 1 : magic == "P6" ? 3 : 0;
    Out.Width = next();
    Out.Height = next();
    Out.MaxVal = uint32_t(next());
  }
  is.get();
  const size_t offset = size_t(is.tellg());
  const size_t count = size_t(Out.Width) * Out.Height * Out.Depth;
  const int size = Out.MaxVal > 255 ? 2 : 1;
  if (Out.Depth == 0 || data.size() < offset + count * size) return false;
  Out.Samples.resize(count);
  for (size_t i = 0; i < count; ++i)
    Out.Samples[i] = size == 1 ? data[offset + i] : uint32_t(data[offset + 2 * i] << 8 | data[offset + 2 * i + 1]);
  return true;
}

uint32_t Channel(const TImageData& Image, const TImageFormatInfo& Info, size_t Pixel, int32_t Slot) {
  const int32_t b = Info.BytesPerPixel / Info.ChannelCount;
  const uint8_t* p = static_cast<const uint8_t*>(Image.Bits) + Pixel * Info.BytesPerPixel + Slot * b;
  if (b == 1) return *p;
  if (b == 2) {
    uint16_t v;
    std::memcpy(&v, p, 2);
    return v;
  }
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

// Largest difference between our image and the peer's samples scaled to our
// channel range (peer component order R, G, B, A or gray, alpha).
// opj_decompress writes a component subsampled as a whole in its own size;
// we repeat its samples over the image, so pixel (x, y) is compared with
// the sample covering it.
int64_t DifferenceToPeer(const TImageData& Image, const TPeerImage& Peer) {
  TImageFormatInfo info;
  QueryFormatInfo(Image.Format, info);
  if (info.ChannelCount != Peer.Depth || Peer.Depth < 1 || Peer.Depth > 4) return -1;
  std::vector<TPeerImage> planes = Peer.Planes;
  if (planes.empty())
    for (int32_t c = 0; c < Peer.Depth; ++c) {
      TPeerImage p = Peer;
      p.Depth = 1;
      p.Samples.resize(size_t(Peer.Width) * Peer.Height);
      for (size_t i = 0; i < p.Samples.size(); ++i) p.Samples[i] = Peer.Samples[i * Peer.Depth + c];
      planes.push_back(p);
    }
  const uint64_t target = (uint64_t(1) << (8 * (info.BytesPerPixel / info.ChannelCount))) - 1;
  static const int32_t slots[5][4] = {{}, {0}, {0, 1}, {2, 1, 0}, {2, 1, 0, 3}};
  int64_t worst = 0;
  for (int32_t c = 0; c < Peer.Depth; ++c) {
    const TPeerImage& p = planes[size_t(c)];
    if (p.Width <= 0 || p.Height <= 0 || p.MaxVal == 0) return -1;
    const int32_t sx = (Image.Width + p.Width - 1) / p.Width, sy = (Image.Height + p.Height - 1) / p.Height;
    if ((Image.Width + sx - 1) / sx != p.Width || (Image.Height + sy - 1) / sy != p.Height) return -1;
    for (size_t y = 0; y < size_t(Image.Height); ++y)
      for (size_t x = 0; x < size_t(Image.Width); ++x) {
        const uint64_t expected = uint64_t(p.Samples[(y / sy) * p.Width + x / sx]) * target / p.MaxVal;
        const uint32_t own = Channel(Image, info, y * Image.Width + x, slots[Peer.Depth][c]);
        worst = std::max<int64_t>(worst, std::llabs(int64_t(expected) - int64_t(own)));
      }
  }
  return worst;
}

bool SamePixels(const TImageData& A, const TImageData& B) {
  return A.Width == B.Width && A.Height == B.Height && A.Format == B.Format && A.Size == B.Size &&
         std::memcmp(A.Bits, B.Bits, size_t(A.Size)) == 0;
}

std::vector<uint8_t> SaveBytes(const TImageData& Image) {
  TMemoryStream s;
  EXPECT_TRUE(J2kHandler()->SaveToStream(&s, {Image}));
  return s.Data();
}

TImageData LoadBytes(const std::vector<uint8_t>& Data) {
  TDynImageDataArray images;
  EXPECT_TRUE(J2kHandler()->LoadFromMemory(Data.data(), int32_t(Data.size()), images));
  TImageData img = images.empty() ? TImageData() : images[0];
  return img;
}

std::string LoadError(const std::vector<uint8_t>& Data) {
  TDynImageDataArray images;
  try {
    bool ok = J2kHandler()->LoadFromMemory(Data.data(), int32_t(Data.size()), images);
    ReleaseImageArray(images);
    return ok ? "loaded" : "false";
  } catch (const EImagingError& e) {
    return e.what();
  }
}

const TImageFormat Accepted[] = {fmtGray8,  fmtA8Gray8,  fmtGray16,    fmtA16Gray16,
                                 fmtR8G8B8, fmtA8R8G8B8, fmtR16G16B16, fmtA16R16G16B16};

}  // namespace

TEST(Jpeg2000, RegistrationAndOptions) {
  TJpeg2000FileFormat* h = J2kHandler();
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h->Name(), "JPEG 2000 Image");
  EXPECT_TRUE(h->CanLoad() && h->CanSave());
  EXPECT_FALSE(h->IsMultiImageFormat());
  EXPECT_EQ(h->Extensions(), (std::vector<std::string>{"jp2", "j2k", "j2c", "jpx", "jpc"}));
  EXPECT_EQ(GetImagingOption(OptJpeg2000Quality), 80);
  EXPECT_EQ(GetImagingOption(OptJpeg2000CodeStreamOnly), 0);  // bound here, not to GIF's variable
  EXPECT_EQ(GetImagingOption(OptJpeg2000Lossless), 0);
  TOptionGuard guard;
  for (int32_t q : {0, 101, -5}) {
    SetImagingOption(OptJpeg2000Quality, q);
    h->CheckOptionsValidity();
    EXPECT_EQ(GetImagingOption(OptJpeg2000Quality), 80) << q;
  }
  // Registered just before TIFF.
  int32_t self = -1, tiff = -1;
  for (int32_t i = 0; i < HandlerCount(); ++i) {
    if (HandlerAtIndex(i) == h) self = i;
    if (HandlerAtIndex(i) == FindHandlerByExtension("tif")) tiff = i;
  }
  EXPECT_EQ(self + 1, tiff);
}

TEST(Jpeg2000, QualityToRate) {
  // 100 x 100 R8G8B8: 30000 raw bytes.
  EXPECT_NEAR(TJpeg2000FileFormat::QualityToRate(80, 100, 100, 3, 3), 30000.0 / (30000.0 * 100 / 1225 + 834), 1e-4);
  EXPECT_NEAR(TJpeg2000FileFormat::QualityToRate(100, 100, 100, 3, 3), 30000.0 / 14167.33, 1e-4);
  EXPECT_NEAR(TJpeg2000FileFormat::QualityToRate(80, 100, 100, 3, 3), 9.138f, 1e-3);
}

TEST(Jpeg2000, TestFormatSignatures) {
  TestSupport::InitCore();
  const std::vector<std::pair<std::vector<uint8_t>, bool>> cases = {
      {{0x00, 0x00, 0x00, 0x0C, 0x6A, 0x50, 0x20, 0x20}, true},
      {{0xFF, 0x4F, 0xFF, 0x51, 0, 0, 0, 0}, true},
      {{0xFF, 0x4F, 0xFF, 0x51, 0, 0, 0}, false},  // fewer than 8 bytes
      {{0x00, 0x00, 0x00, 0x0C, 0x6A, 0x50, 0x20, 0x21}, false},
      {{0xFF, 0x4F, 0xFF, 0x52, 0, 0, 0, 0}, false},
  };
  for (const auto& [bytes, expected] : cases) {
    TMemoryStream s(bytes);
    EXPECT_EQ(DetectStreamFormat(&s) == "jp2", expected) << bytes.size();
    EXPECT_EQ(s.GetPosition(), 0);
  }
}

// Lossless saves of every accepted format, JP2 and codestream, load back
// bit for bit here and in opj_decompress; other formats are converted first.
TEST(Jpeg2000, LosslessRoundTripsAndOpjDecompressAgrees) {
  TestSupport::InitCore();  // options are set before the first handler call
  REQUIRE_PROGRAM("opj_decompress");
  TOptionGuard guard;
  TestSupport::TempDir dir;
  SetImagingOption(OptJpeg2000Lossless, 1);
  for (int32_t codestream : {0, 1}) {
    SetImagingOption(OptJpeg2000CodeStreamOnly, codestream);
    for (TImageFormat format : Accepted) {
      // Small and odd-sized images too: fewer wavelet levels than six.
      for (auto [w, h] : {std::pair{45, 33}, std::pair{3, 70}, std::pair{1, 1}}) {
        TImageData img = TestSupport::RandomImage(w, h, format, uint32_t(format + codestream + w));
        const std::vector<uint8_t> data = SaveBytes(img);
        const std::string what = FormatDisplayName(format) + (codestream ? " j2k " : " jp2 ") + std::to_string(w);
        ASSERT_GT(data.size(), 8u) << what;
        EXPECT_EQ(data[0] == 0xFF, codestream == 1) << what;
        TImageData back = LoadBytes(data);
        EXPECT_TRUE(SamePixels(img, back)) << what;
        const std::string file = dir.File(codestream ? "o.j2k" : "o.jp2");
        TestSupport::WriteFileBytes(file, data);
        TPeerImage peer;
        ASSERT_TRUE(OpjDecode(file, dir, peer)) << what;
        EXPECT_EQ(DifferenceToPeer(img, peer), 0) << what;
        ReleaseImage(img);
        ReleaseImage(back);
      }
    }
  }
  const std::vector<std::pair<TImageFormat, TImageFormat>> substitutes = {
      {fmtIndex8, fmtA8R8G8B8},   {fmtGray32, fmtGray16},        {fmtR32F, fmtGray16},
      {fmtR5G6B5, fmtR8G8B8},     {fmtA4R4G4B4, fmtA8R8G8B8},    {fmtA32R32G32B32F, fmtA16R16G16B16},
      {fmtB16G16R16, fmtR16G16B16}, {fmtA16B16G16R16, fmtA16R16G16B16}};
  for (const auto& [from, to] : substitutes) {
    TImageData img = TestSupport::RandomImage(8, 8, from, 3);
    TImageData back = LoadBytes(SaveBytes(img));
    EXPECT_EQ(back.Format, to) << FormatDisplayName(from);
    ReleaseImage(img);
    ReleaseImage(back);
  }
}

// Lossy saves: opj_decompress sees exactly what we decode, the files grow
// with the quality, and ImageMagick and Pillow read them.
TEST(Jpeg2000, LossyQualitiesReadByPeers) {
  TestSupport::InitCore();  // options are set before the first handler call
  REQUIRE_PROGRAM("opj_decompress");
  TOptionGuard guard;
  TestSupport::TempDir dir;
  TImageData photo;
  ASSERT_TRUE(CreateImage(96, 64, fmtR8G8B8, photo));
  auto* p = static_cast<uint8_t*>(photo.Bits);
  for (int32_t y = 0; y < 64; ++y)
    for (int32_t x = 0; x < 96; ++x, p += 3) {
      p[0] = uint8_t(128 + 100 * std::sin(x * 0.1 + y * 0.05) + ((x * 7919 + y * 104729) % 23));
      p[1] = uint8_t(x * 255 / 95);
      p[2] = uint8_t(y * 255 / 63);
    }
  for (int32_t codestream : {0, 1}) {
    SetImagingOption(OptJpeg2000CodeStreamOnly, codestream);
    size_t previous = 0;
    for (int32_t quality : {10, 50, 80, 100}) {
      SetImagingOption(OptJpeg2000Quality, quality);
      const std::vector<uint8_t> data = SaveBytes(photo);
      EXPECT_GT(data.size(), previous) << quality;
      previous = data.size();
      const std::string file = dir.File(codestream ? "q.j2k" : "q.jp2");
      TestSupport::WriteFileBytes(file, data);
      TImageData ours = LoadBytes(data);
      TPeerImage peer;
      ASSERT_TRUE(OpjDecode(file, dir, peer));
      EXPECT_EQ(DifferenceToPeer(ours, peer), 0) << quality;
      int32_t w, h;
      std::vector<uint8_t> magick, own;
      if (!codestream && TestSupport::PeerDecodeRGBA(file, w, h, magick)) {
        ASSERT_TRUE(TestSupport::OwnDecodeRGBA(file, w, h, own));
        EXPECT_EQ(magick, own) << quality;
      }
      ReleaseImage(ours);
    }
  }
  if (TestSupport::HavePillow()) {
    SetImagingOption(OptJpeg2000CodeStreamOnly, 0);
    SetImagingOption(OptJpeg2000Quality, 50);
    const std::string file = dir.File("pillow.jp2");
    TestSupport::WriteFileBytes(file, SaveBytes(photo));
    std::string out;
    ASSERT_EQ(TestSupport::RunCommand(TestSupport::PillowPython() +
                                          " -c 'import sys; from PIL import Image; "
                                          "sys.stdout.buffer.write(Image.open(sys.argv[1]).convert(\"RGB\").tobytes())' " +
                                          Quote(file),
                                      &out),
              0);
    TImageData ours = LoadBytes(TestSupport::ReadFileBytes(file));
    std::string own(size_t(ours.Size), '\0');
    const auto* q = static_cast<const uint8_t*>(ours.Bits);
    for (size_t i = 0; i < own.size(); i += 3) {
      own[i] = char(q[i + 2]);
      own[i + 1] = char(q[i + 1]);
      own[i + 2] = char(q[i]);
    }
    EXPECT_TRUE(out == own);
    ReleaseImage(ours);
  }
  ReleaseImage(photo);
}

// Channel definitions in unusual orders put each component in its slot:
// opacity first, and blue, green, red stored as components 0, 1, 2.
TEST(Jpeg2000, ChannelDefinitionsPlaceComponents) {
  TOptionGuard guard;
  SetImagingOption(OptJpeg2000Lossless, 1);
  TImageData img = TestSupport::RandomImage(20, 10, fmtA8R8G8B8, 11);
  std::vector<uint8_t> data = SaveBytes(img);
  // Our cdef: 4 entries (component, type, association): (0,0,1) (1,0,2) (2,0,3) (3,1,0).
  auto at = std::search(data.begin(), data.end(), std::begin("cdef"), std::end("cdef") - 1);
  ASSERT_NE(at, data.end());
  const size_t cdef = size_t(at - data.begin()) + 4;
  ASSERT_EQ(data[cdef + 1], 4);
  auto entry = [&](int i, uint16_t cn, uint16_t typ, uint16_t asoc) {
    uint8_t* e = &data[cdef + 2 + size_t(i) * 6];
    e[0] = uint8_t(cn >> 8), e[1] = uint8_t(cn), e[2] = uint8_t(typ >> 8), e[3] = uint8_t(typ);
    e[4] = uint8_t(asoc >> 8), e[5] = uint8_t(asoc);
  };
  auto expectSlots = [&](const TImageData& Got, const int (&FromSlot)[4], const char* What) {
    ASSERT_EQ(Got.Format, fmtA8R8G8B8) << What;
    const auto* s = static_cast<const uint8_t*>(img.Bits);
    const auto* g = static_cast<const uint8_t*>(Got.Bits);
    for (size_t px = 0; px < 200; ++px)
      for (int c = 0; c < 4; ++c) ASSERT_EQ(g[px * 4 + c], s[px * 4 + FromSlot[c]]) << What << " slot " << c;
  };
  // Stored components are R, G, B, A (slots 2, 1, 0, 3 of the source).
  // Component 0 declared blue and component 2 red: red and blue change places.
  entry(0, 0, 0, 3);
  entry(1, 1, 0, 2);
  entry(2, 2, 0, 1);
  entry(3, 3, 1, 0);
  TImageData swapped = LoadBytes(data);
  expectSlots(swapped, {2, 1, 0, 3}, "blue first");
  // Opacity declared on component 0, colours on 1, 2, 3: stored R is alpha,
  // stored G, B, A are red, green, blue.
  entry(0, 0, 1, 0);
  entry(1, 1, 0, 1);
  entry(2, 2, 0, 2);
  entry(3, 3, 0, 3);
  TImageData alphaFirst = LoadBytes(data);
  expectSlots(alphaFirst, {3, 0, 1, 2}, "opacity first");
  ReleaseImage(img);
  ReleaseImage(swapped);
  ReleaseImage(alphaFirst);
}

// Gray + alpha keeps its slots as JP2 (typed) and as a bare codestream
// (by position: gray first, as every peer reads it).
TEST(Jpeg2000, GrayAlphaSlots) {
  TOptionGuard guard;
  SetImagingOption(OptJpeg2000Lossless, 1);
  TImageData img;
  ASSERT_TRUE(CreateImage(4, 1, fmtA8Gray8, img));
  const uint8_t px[8] = {10, 200, 20, 100, 30, 0, 40, 255};  // gray, alpha
  std::memcpy(img.Bits, px, 8);
  for (int32_t codestream : {0, 1}) {
    SetImagingOption(OptJpeg2000CodeStreamOnly, codestream);
    TImageData back = LoadBytes(SaveBytes(img));
    ASSERT_EQ(back.Format, fmtA8Gray8);
    EXPECT_EQ(std::memcmp(back.Bits, px, 8), 0) << codestream;
    ReleaseImage(back);
  }
  ReleaseImage(img);
}

// 4:2:0 YCbCr, as JP2 (sYCC) and as a bare codestream: chroma repeated over
// 2 x 2 pixels, then converted with the exact rule.
TEST(Jpeg2000, SubsampledYCbCr) {
  REQUIRE_PROGRAM("opj_compress");
  TestSupport::TempDir dir;
  const int w = 16, h = 12;
  std::vector<uint8_t> raw(size_t(w * h + 2 * (w / 2) * (h / 2)));
  for (size_t i = 0; i < raw.size(); ++i) raw[i] = uint8_t((i * 73 + 19) % 256);
  TestSupport::WriteFileBytes(dir.File("ycc.raw"), raw);
  for (const char* ext : {"jp2", "j2k"}) {
    const std::string file = dir.File(std::string("ycc.") + ext);
    ASSERT_EQ(TestSupport::RunCommand("opj_compress -i " + Quote(dir.File("ycc.raw")) + " -o " + Quote(file) +
                                      " -n 2 -F 16,12,3,8,u@1x1:2x2:2x2 >/dev/null 2>&1"),
              0);
    TImageData img = LoadBytes(TestSupport::ReadFileBytes(file));
    ASSERT_EQ(img.Format, fmtR8G8B8) << ext;
    const auto* p = static_cast<const uint8_t*>(img.Bits);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        const double Y = raw[size_t(y * w + x)];
        const double cb = raw[size_t(w * h + (y / 2) * (w / 2) + x / 2)] - 128.0;
        const double cr = raw[size_t(w * h + (w / 2) * (h / 2) + (y / 2) * (w / 2) + x / 2)] - 128.0;
        auto conv = [](double v) { return int(std::clamp(std::nearbyint(v), 0.0, 255.0)); };
        const uint8_t* px = p + size_t(y * w + x) * 3;
        ASSERT_EQ(px[2], conv(Y + 1.402 * cr)) << ext << " " << x << "," << y;
        ASSERT_EQ(px[1], conv(Y - 0.34414 * cb - 0.71414 * cr)) << ext << " " << x << "," << y;
        ASSERT_EQ(px[0], conv(Y + 1.772 * cb)) << ext << " " << x << "," << y;
      }
    // opj_decompress truncates and uses shorter factors: within 2 levels.
    TPeerImage peer;
    ASSERT_TRUE(OpjDecode(file, dir, peer));
    EXPECT_LE(DifferenceToPeer(img, peer), 2) << ext;
    ReleaseImage(img);
  }
}

// Every corpus file decodes as opj_decompress decodes it, or fails cleanly
// where opj_decompress fails too.
TEST(Jpeg2000, CorpusMatchesOpjDecompress) {
  REQUIRE_PROGRAM("opj_decompress");
  TestSupport::TempDir dir;
  const std::map<std::string, const char*> refused = {
      {"balloon_eciRGBv2_aware.jp2", "stream too short"},
      {"expected_to_read.jp2", "JP2 header box missing"},
  };
  int compared = 0;
  for (const auto& entry : fs::directory_iterator(TestSupport::CorpusDir() / "pillow" / "jpeg2000")) {
    const std::string name = entry.path().filename().string();
    if (!entry.is_regular_file() || name.ends_with(".png")) continue;
    TDynImageDataArray images;
    std::string error;
    bool loaded = false;
    try {
      loaded = J2kHandler()->LoadFromFile(entry.path().string(), images);
    } catch (const EImagingError& e) {
      error = e.what();
    }
    TPeerImage peer;
    const bool peerLoaded = OpjDecode(entry.path().string(), dir, peer);
    if (refused.count(name)) {
      EXPECT_FALSE(loaded) << name;
      EXPECT_FALSE(peerLoaded) << name;
      EXPECT_NE(error.find("Exception Message: JPEG 2000 Error: Reading the header failed: "), std::string::npos)
          << name << ": " << error;
      continue;
    }
    ASSERT_TRUE(loaded) << name << ": " << error;
    ASSERT_TRUE(peerLoaded) << name;
    EXPECT_EQ(DifferenceToPeer(images[0], peer), 0) << name << " " << FormatDisplayName(images[0].Format);
    ++compared;
    ReleaseImageArray(images);
  }
  EXPECT_EQ(compared, 13);
}

TEST(Jpeg2000, DamagedAndHostileFilesFailCleanly) {
  TestSupport::InitCore();
  // Several of these crashed other readers only: what opj_decompress
  // decodes may load; the rest fail with a message.
  TestSupport::TempDir dir;
  int total = 0, refused = 0;
  for (const auto& entry : fs::directory_iterator(TestSupport::CorpusDir() / "pillow" / "jpeg2000" / "bad")) {
    TDynImageDataArray images;
    bool loaded = false;
    try {
      loaded = J2kHandler()->LoadFromFile(entry.path().string(), images);
    } catch (const EImagingError& e) {
      EXPECT_NE(std::string(e.what()).find("Exception Message: JPEG 2000 "), std::string::npos) << e.what();
    }
    TPeerImage peer;
    if (loaded) {
      EXPECT_TRUE(OpjDecode(entry.path().string(), dir, peer)) << entry.path();
      EXPECT_TRUE(AreValidImages(images));
    }
    refused += !loaded;
    ++total;
    ReleaseImageArray(images);
  }
  EXPECT_GE(refused, 5);
  EXPECT_EQ(total, 9);
  // A codestream header claiming 60000 x 60000 pixels in 3 components is
  // refused before any decoding.
  std::vector<uint8_t> siz = {0xFF, 0x4F, 0xFF, 0x51, 0x00, 0x2F, 0x00, 0x00};
  auto put32 = [&](uint32_t v) {
    for (int k = 3; k >= 0; --k) siz.push_back(uint8_t(v >> (8 * k)));
  };
  put32(60000), put32(60000), put32(0), put32(0), put32(60000), put32(60000), put32(0), put32(0);
  siz.insert(siz.end(), {0x00, 0x03, 7, 1, 1, 7, 1, 1, 7, 1, 1});
  // COD, QCD and an empty tile would follow; the header alone must be enough
  // to refuse.
  siz.insert(siz.end(), {0xFF, 0x52, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x01, 0x00, 0x05, 0x04, 0x04, 0x00, 0x00,
                         0xFF, 0x5C, 0x00, 0x04, 0x40, 0x40, 0xFF, 0x90, 0x00, 0x0A, 0x00, 0x00, 0x00, 0x00,
                         0x00, 0x0E, 0x00, 0x01, 0xFF, 0x93, 0xFF, 0xD9});
  const std::string big = LoadError(siz);
  EXPECT_NE(big.find("JPEG 2000 image of 60000 x 60000 pixels in 3 components is too large."), std::string::npos)
      << big;
  // A truncated codestream fails with OpenJPEG's own message.
  TImageData img = TestSupport::RandomImage(64, 64, fmtR8G8B8, 2);
  TOptionGuard guard;
  SetImagingOption(OptJpeg2000CodeStreamOnly, 1);
  std::vector<uint8_t> data = SaveBytes(img);
  data.resize(data.size() / 3);
  const std::string truncated = LoadError(data);
  EXPECT_NE(truncated.find("JPEG 2000 Error: "), std::string::npos) << truncated;
  ReleaseImage(img);
}

TEST(Jpeg2000, MoreTilesThanTheDataCanHoldAreRefusedFirst) {
  // A header whose tile grid needs more tile-parts than the file has bytes
  // for is refused before OpenJPEG sets up its tiles; one tile, or a grid
  // the data does hold, loads.
  TImageData img = TestSupport::RandomImage(64, 8, fmtGray8, 3);
  for (int codestream : {1, 0}) {
    SCOPED_TRACE(codestream);
    SetImagingOption(OptJpeg2000CodeStreamOnly, codestream);
    SetImagingOption(OptJpeg2000Lossless, 1);
    std::vector<uint8_t> data = SaveBytes(img);
    const uint8_t mark[4] = {0xFF, 0x4F, 0xFF, 0x51};
    auto at = std::search(data.begin(), data.end(), mark, mark + 4);
    ASSERT_NE(at, data.end());
    const size_t siz = size_t(at - data.begin()) + 4;
    TImageData back = LoadBytes(data);
    EXPECT_TRUE(SamePixels(back, img));
    ReleaseImage(back);
    // XTsiz = YTsiz = 1: 512 tiles of one pixel in a few hundred bytes.
    std::vector<uint8_t> tiny = data;
    for (size_t k : {siz + 20, siz + 24}) {
      tiny[k] = tiny[k + 1] = tiny[k + 2] = 0;
      tiny[k + 3] = 1;
    }
    const std::string error = LoadError(tiny);
    const std::string cause = "(file format: jp2). Exception Message: JPEG 2000 Error: the image declares 512 "
                              "tiles, more than its " + std::to_string(data.size()) + " bytes of data can hold.";
    ASSERT_GE(error.size(), cause.size()) << error;
    EXPECT_EQ(error.substr(error.size() - cause.size()), cause);
  }
  SetImagingOption(OptJpeg2000CodeStreamOnly, 0);
  SetImagingOption(OptJpeg2000Lossless, 0);
  ReleaseImage(img);
}
