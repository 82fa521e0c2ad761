// Portable maps: header parsing, every loaded variant, the writers, hostile
// headers, and interoperability with netpbm and ImageMagick in both
// directions (files they write load here with their pixels; files written
// here decode there to the pixels we meant).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <sstream>

#include "ImagingPortableMaps.h"
#include "TestSupport.h"

using namespace Imaging;
namespace fs = std::filesystem;

namespace {

std::vector<uint8_t> Bytes(const std::string& S) { return std::vector<uint8_t>(S.begin(), S.end()); }

TImageFileFormat* Handler(const char* Ext) {
  TestSupport::InitCore();
  return FindHandlerByExtension(Ext);
}

// Loads Data through the handler for Ext; returns the load result.
bool LoadMem(const char* Ext, const std::vector<uint8_t>& Data, TDynImageDataArray& Images) {
  return Handler(Ext)->LoadFromMemory(Data.data(), int32_t(Data.size()), Images);
}

std::string LoadError(const char* Ext, const std::vector<uint8_t>& Data) {
  TDynImageDataArray images;
  try {
    LoadMem(Ext, Data, images);
  } catch (const EImagingError& e) {
    ReleaseImageArray(images);
    return e.what();
  }
  ReleaseImageArray(images);
  return "";
}

std::vector<uint8_t> SaveMem(const char* Ext, const TImageData& Image) {
  std::vector<uint8_t> buf(size_t(Image.Size) * 4 + 4096);
  int32_t size = int32_t(buf.size());
  TDynImageDataArray images{Image};
  EXPECT_TRUE(Handler(Ext)->SaveToMemory(buf.data(), size, images, true));
  buf.resize(size_t(size));
  return buf;
}

std::vector<uint8_t> ImageBytes(const TImageData& Image) {
  auto* p = static_cast<const uint8_t*>(Image.Bits);
  return std::vector<uint8_t>(p, p + Image.Size);
}

struct TOwned {
  TImageData Image;
  ~TOwned() { ReleaseImage(Image); }
};

// Loads a file with our handlers, keeping the loaded pixel format.
bool LoadFile(const std::string& File, TImageData& Image) {
  TestSupport::InitCore();
  return ReadImageFile(File, Image);
}

// ImageMagick's raw decode of a file: "gray", "rgb" or "rgba" samples of
// Depth bits (16-bit little-endian).
std::vector<uint8_t> PeerRaw(const std::string& File, const std::string& Map, int Depth) {
  std::string out;
  int rc = TestSupport::RunCommand("convert '" + File + "' -endian LSB -depth " + std::to_string(Depth) + " " + Map +
                                       ":- 2>/dev/null",
                                   &out);
  EXPECT_EQ(rc, 0) << File;
  return std::vector<uint8_t>(out.begin(), out.end());
}

// Samples of a netpbm file in file order, read by netpbm itself and printed
// as plain text (pnmtoplainpnm / pamtopam's plain form through pamtopnm).
std::vector<uint32_t> PeerSamples(const std::string& File, int32_t& MaxVal) {
  std::string text;
  TestSupport::RunCommand("pnmtoplainpnm '" + File + "' 2>/dev/null", &text);
  std::istringstream is(text);
  std::string magic;
  int w = 0, h = 0;
  is >> magic >> w >> h;
  MaxVal = 1;
  if (magic != "P1") is >> MaxVal;
  std::vector<uint32_t> samples;
  if (magic == "P1") {
    char c;
    while (is >> c) samples.push_back(uint32_t(c - '0'));
  } else {
    uint32_t v;
    while (is >> v) samples.push_back(v);
  }
  return samples;
}

// Our pixels in file order (R, G, B for colour), as 8- or 16-bit values.
std::vector<uint32_t> OwnSamplesFileOrder(const TImageData& Image) {
  TImageFormatInfo info;
  QueryFormatInfo(Image.Format, info);
  std::vector<uint32_t> out;
  int32_t channels = info.ChannelCount;
  int32_t sampleBytes = info.BytesPerPixel / channels;
  int64_t pixels = int64_t(Image.Width) * Image.Height;
  for (int64_t i = 0; i < pixels; ++i) {
    for (int32_t c = 0; c < channels; ++c) {
      int32_t src = c;
      if (!info.HasGrayChannel && channels >= 3 && c < 3) src = 2 - c;
      const uint8_t* p = static_cast<const uint8_t*>(Image.Bits) + i * info.BytesPerPixel + src * sampleBytes;
      out.push_back(sampleBytes == 2 ? uint32_t(p[0] | p[1] << 8) : p[0]);
    }
  }
  return out;
}

// Our pixels as ImageMagick's "gray"/"rgb"/"rgba" raw output of the same depth.
std::vector<uint8_t> OwnRaw(const TImageData& Image) {
  std::vector<uint32_t> s = OwnSamplesFileOrder(Image);
  TImageFormatInfo info;
  QueryFormatInfo(Image.Format, info);
  bool deep = info.BytesPerPixel / info.ChannelCount == 2;
  std::vector<uint8_t> out;
  for (uint32_t v : s) {
    out.push_back(uint8_t(v));
    if (deep) out.push_back(uint8_t(v >> 8));
  }
  return out;
}

std::string MapFor(const TImageData& Image) {
  TImageFormatInfo info;
  QueryFormatInfo(Image.Format, info);
  if (info.HasGrayChannel) return info.HasAlphaChannel ? "graya" : "gray";
  return info.HasAlphaChannel ? "rgba" : "rgb";
}

}  // namespace

// ---------------------------------------------------------------------------
// Registry, options and content tests
// ---------------------------------------------------------------------------

TEST(PortableMaps, HandlersAndOptions) {
  struct {
    const char* Ext;
    const char* Name;
    bool CanSave;
  } expected[] = {{"pbm", "Portable Bit Map", false},
                  {"pgm", "Portable Gray Map", true},
                  {"ppm", "Portable Pixel Map", true},
                  {"pam", "Portable Arbitrary Map", true},
                  {"pfm", "Portable Float Map", true}};
  for (auto& e : expected) {
    TImageFileFormat* h = Handler(e.Ext);
    ASSERT_NE(h, nullptr) << e.Ext;
    EXPECT_EQ(h->Name(), e.Name);
    EXPECT_EQ(h->CanSave(), e.CanSave);
    EXPECT_TRUE(h->CanLoad());
    EXPECT_FALSE(h->IsMultiImageFormat());
    ASSERT_GE(h->Masks().size(), 1u);
    EXPECT_EQ(h->Masks()[0], std::string("*.") + e.Ext);
  }
  // ".pnm", netpbm's name for any of the bit, gray and pixel maps, is the
  // pixel map handler's second mask; its content decides how it loads.
  EXPECT_EQ(Handler("ppm")->Masks(), (std::vector<std::string>{"*.ppm", "*.pnm"}));
  EXPECT_EQ(FindHandlerByExtension("pnm"), Handler("ppm"));
  EXPECT_TRUE(IsSupportedFileName("photo.PNM"));
  TestSupport::TempDir tmp;
  for (const std::string& content : {std::string("P5\n2 1\n255\n\x10\x20"), std::string("P4\n2 1\n\x80")}) {
    const std::string file = tmp.File("map.pnm");
    TestSupport::WriteFileBytes(file, Bytes(content));
    TOwned loaded;
    ASSERT_TRUE(LoadFile(file, loaded.Image)) << content;
    EXPECT_EQ(loaded.Image.Format, fmtGray8);
    EXPECT_EQ(ImageBytes(loaded.Image), content[1] == '5' ? (std::vector<uint8_t>{0x10, 0x20})
                                                            : (std::vector<uint8_t>{0, 255}));
  }
  // The five follow each other in the registry, in this order.
  int32_t first = -1;
  for (int32_t i = 0; i < HandlerCount(); ++i)
    if (HandlerAtIndex(i) == Handler("pbm")) first = i;
  ASSERT_GE(first, 0);
  for (int32_t k = 0; k < 5; ++k) EXPECT_EQ(HandlerAtIndex(first + k), Handler(expected[k].Ext));
  EXPECT_EQ(GetImagingOption(OptPgmSaveBinary), -1);
  EXPECT_EQ(GetImagingOption(OptPpmSaveBinary), -1);
  EXPECT_TRUE(Handler("pgm")->SupportedFormats() == TImageFormats({fmtGray8, fmtGray16}));
  EXPECT_TRUE(Handler("pfm")->SupportedFormats() == TImageFormats({fmtR32F, fmtA32B32G32R32F}));
}

TEST(PortableMaps, TestFormatAcceptsOwnMagicsOnly) {
  TestSupport::InitCore();
  struct {
    const char* Data;
    const char* Accepting;
  } cases[] = {{"P1\n", "pbm"}, {"P4 ", "pbm"}, {"P2\r", "pgm"}, {"P5\t", "pgm"}, {"P3\n", "ppm"},
               {"P6\n", "ppm"}, {"P7\n", "pam"}, {"PF\n", "pfm"}, {"Pf\n", "pfm"}};
  const char* exts[] = {"pbm", "pgm", "ppm", "pam", "pfm"};
  for (auto& c : cases) {
    for (const char* ext : exts) {
      std::string text = std::string(c.Data) + "1 1\n255\n";
      TMemoryIOState state;
      InitMemoryIOState(text.data(), int32_t(text.size()), state);
      UseMemoryIO();
      TIOFunctions io = CurrentIOTable();
      THandle h = io.OpenRead(&state);
      bool accepted = Handler(ext)->TestFormat(h);
      EXPECT_EQ(accepted, std::strcmp(ext, c.Accepting) == 0) << c.Data << " " << ext;
      EXPECT_EQ(io.Tell(h), 0) << "the content test must leave the position where it was";
      io.Close(h);
    }
  }
  EXPECT_FALSE(Handler("ppm")->TestFormat(nullptr));
  // The third byte must be whitespace.
  TDynImageDataArray images;
  std::string msg = LoadError("ppm", Bytes("P632 35888888863 2!\n"));
  EXPECT_NE(msg.find("does not contain valid image in \"Portable Pixel Map\" format"), std::string::npos) << msg;
}

// ---------------------------------------------------------------------------
// Loading
// ---------------------------------------------------------------------------

TEST(PortableMaps, PlainGrayWithCommentAndMaxval15) {
  TDynImageDataArray images;
  ASSERT_TRUE(LoadMem("pgm", Bytes("P2\n# comment\n2 1\n15\n0 15\n"), images));
  ASSERT_EQ(images.size(), 1u);
  EXPECT_EQ(images[0].Format, fmtGray8);
  EXPECT_EQ(ImageBytes(images[0]), (std::vector<uint8_t>{0, 255}));
  ReleaseImageArray(images);
  // Comments may stand between any two header values, also right after one.
  ASSERT_TRUE(LoadMem("pgm", Bytes("P2 #c\n2#c\n 1\n#x\n255 7\n9"), images));
  EXPECT_EQ(ImageBytes(images[0]), (std::vector<uint8_t>{7, 9}));
  ReleaseImageArray(images);
}

TEST(PortableMaps, RawGrayDataStartsAfterOneWhitespace) {
  TDynImageDataArray images;
  ASSERT_TRUE(LoadMem("pgm", Bytes(std::string("P5\n2 1\n255\n\x20\x0a", 13)), images));
  EXPECT_EQ(ImageBytes(images[0]), (std::vector<uint8_t>{0x20, 0x0a}));
  ReleaseImageArray(images);
  // The header may stand on the magic's own line.
  ASSERT_TRUE(LoadMem("pgm", Bytes(std::string("P5 2 1 255 \x01\x02", 13)), images));
  EXPECT_EQ(ImageBytes(images[0]), (std::vector<uint8_t>{1, 2}));
  ReleaseImageArray(images);
}

TEST(PortableMaps, SixteenBitSamplesAreBigEndianAndScaled) {
  TDynImageDataArray images;
  // maxval 1000: 1000 -> 65535, 500 -> 500 * 65535 / 1000 = 32767 (truncated).
  ASSERT_TRUE(LoadMem("pgm", Bytes(std::string("P5\n3 1\n1000\n\x03\xe8\x01\xf4\x00\x01", 18)), images));
  ASSERT_EQ(images[0].Format, fmtGray16);
  auto* w = static_cast<uint16_t*>(images[0].Bits);
  EXPECT_EQ(w[0], 65535);
  EXPECT_EQ(w[1], 32767);
  EXPECT_EQ(w[2], 65);
  ReleaseImageArray(images);
  // maxval 256 already takes two bytes per sample.
  ASSERT_TRUE(LoadMem("pgm", Bytes(std::string("P5\n1 1\n256\n\x01\x00", 13)), images));
  EXPECT_EQ(images[0].Format, fmtGray16);
  EXPECT_EQ(*static_cast<uint16_t*>(images[0].Bits), 65535);
  ReleaseImageArray(images);
  // Large maxvals: s * 65535 must not overflow 32 bits.
  ASSERT_TRUE(LoadMem("pgm", Bytes(std::string("P5\n1 1\n40000\n\x9c\x3f", 15)), images));
  EXPECT_EQ(*static_cast<uint16_t*>(images[0].Bits), uint16_t(uint64_t(39999) * 65535 / 40000));
  ReleaseImageArray(images);
  // Big-endian whatever the first line break is; colour arrives as B, G, R.
  for (const char* eol : {"\n", "\r\n"}) {
    std::string f = std::string("P6") + eol + "1 1" + eol + "65535\n" + std::string("\x01\x02\x03\x04\x05\x06", 6);
    ASSERT_TRUE(LoadMem("ppm", Bytes(f), images));
    ASSERT_EQ(images[0].Format, fmtR16G16B16);
    auto* p = static_cast<uint16_t*>(images[0].Bits);
    EXPECT_EQ(p[2], 0x0102);  // red
    EXPECT_EQ(p[1], 0x0304);
    EXPECT_EQ(p[0], 0x0506);
    ReleaseImageArray(images);
  }
}

TEST(PortableMaps, BitMapsPlainAndRaw) {
  TDynImageDataArray images;
  // Plain bit maps need no whitespace between pixels: 0101 is four pixels.
  ASSERT_TRUE(LoadMem("pbm", Bytes("P1\n5 1\n0101 1"), images));
  EXPECT_EQ(images[0].Format, fmtGray8);
  EXPECT_EQ(ImageBytes(images[0]), (std::vector<uint8_t>{255, 0, 255, 0, 0}));
  ReleaseImageArray(images);
  // Raw: rows of whole bytes, most significant bit first, 1 is black.
  ASSERT_TRUE(LoadMem("pbm", Bytes(std::string("P4\n10 2\n\xa0\x40\x00\xff", 12)), images));
  EXPECT_EQ(ImageBytes(images[0]), (std::vector<uint8_t>{0, 255, 0, 255, 255, 255, 255, 255, 255, 0,  //
                                                         255, 255, 255, 255, 255, 255, 255, 255, 0, 0}));
  ReleaseImageArray(images);
  EXPECT_NE(LoadError("pbm", Bytes("P1\n2 1\n0 2")).find("'2' is not a valid integer value"), std::string::npos);
}

TEST(PortableMaps, ArbitraryMapsByTupleType) {
  struct {
    const char* Tuple;
    int Depth;
    int MaxVal;
    std::string Data;
    TImageFormat Format;
    std::vector<uint8_t> Bits;
  } cases[] = {
      {"BLACKANDWHITE", 1, 1, std::string("\x00\x01", 2), fmtGray8, {0, 255}},
      {"GRAYSCALE", 1, 255, "\x10\x20", fmtGray8, {0x10, 0x20}},
      {"grayscale_alpha", 2, 255, "\x10\x20\x30\x40", fmtA8Gray8, {0x10, 0x20, 0x30, 0x40}},
      {"BLACKANDWHITE_ALPHA", 2, 1, std::string("\x01\x00\x00\x01", 4), fmtA8Gray8, {255, 0, 0, 255}},
      {"RGB", 3, 255, "\x01\x02\x03\x04\x05\x06", fmtR8G8B8, {3, 2, 1, 6, 5, 4}},
      {"RGB_ALPHA", 4, 255, "\x01\x02\x03\x04\x05\x06\x07\x08", fmtA8R8G8B8, {3, 2, 1, 4, 7, 6, 5, 8}},
      {"RGB_ALPHA", 4, 15, std::string("\x01\x02\x03\x0f\x05\x06\x07\x00", 8), fmtA8R8G8B8, {51, 34, 17, 255, 119, 102, 85, 0}},
      {"GRAYSCALE_ALPHA", 2, 65535, "\x01\x02\x03\x04\x05\x06\x07\x08", fmtA16Gray16, {2, 1, 4, 3, 6, 5, 8, 7}},
  };
  for (auto& c : cases) {
    std::string f = "P7\nWIDTH 2\nHEIGHT 1\nDEPTH " + std::to_string(c.Depth) + "\nMAXVAL " + std::to_string(c.MaxVal) +
                    "\nTUPLTYPE " + c.Tuple + "\nENDHDR\n" + c.Data;
    TDynImageDataArray images;
    ASSERT_TRUE(LoadMem("pam", Bytes(f), images)) << c.Tuple;
    EXPECT_EQ(images[0].Format, c.Format) << c.Tuple;
    EXPECT_EQ(ImageBytes(images[0]), c.Bits) << c.Tuple << " maxval " << c.MaxVal;
    ReleaseImageArray(images);
  }
  // Keywords may come in any order; a depth that does not fit the tuple
  // type, an unknown keyword or a keyword in lower case fails the header.
  TDynImageDataArray images;
  EXPECT_TRUE(LoadMem("pam", Bytes("P7\nTUPLTYPE GRAYSCALE\nMAXVAL 255\nDEPTH 1\nHEIGHT 1\nWIDTH 1\nENDHDR\nx"), images));
  ReleaseImageArray(images);
  EXPECT_FALSE(LoadMem("pam", Bytes("P7\nWIDTH 1\nHEIGHT 1\nDEPTH 3\nMAXVAL 255\nTUPLTYPE GRAYSCALE\nENDHDR\nxyz"), images));
  EXPECT_FALSE(LoadMem("pam", Bytes("P7\nWIDTH 1\nHEIGHT 1\nDEPTH 5\nMAXVAL 255\nENDHDR\nxxxxx"), images));
  EXPECT_FALSE(LoadMem("pam", Bytes("P7\nwidth 1\nHEIGHT 1\nDEPTH 1\nMAXVAL 255\nTUPLTYPE GRAYSCALE\nENDHDR\nx"), images));
  EXPECT_FALSE(LoadMem("pam", Bytes("P7\nWIDTH 1\nHEIGHT 1\nDEPTH 1\nMAXVAL 255\nTUPLTYPE INVALID\nENDHDR\nx"), images));
  EXPECT_FALSE(LoadMem("pam", Bytes("P7\nWIDTH 1\nWIDTH 1\nHEIGHT 1\nDEPTH 1\nMAXVAL 255\nTUPLTYPE GRAYSCALE\nENDHDR\nx"), images));
  // Integer samples under a float tuple type become s / maxval.
  ASSERT_TRUE(LoadMem("pam", Bytes("P7\nWIDTH 2\nHEIGHT 1\nDEPTH 1\nMAXVAL 4\nTUPLTYPE GRAYSCALEFP\nENDHDR\n\x01\x04"), images));
  ASSERT_EQ(images[0].Format, fmtR32F);
  EXPECT_FLOAT_EQ(static_cast<float*>(images[0].Bits)[0], 0.25f);
  EXPECT_FLOAT_EQ(static_cast<float*>(images[0].Bits)[1], 1.0f);
  ReleaseImageArray(images);
}

// A map without a tuple type is read by its depth, as netpbm reads it: the
// pixels equal those of the same map with the tuple type netpbm assumes, and
// those that netpbm itself decodes from it.
TEST(PortableMaps, ArbitraryMapsWithoutTupleTypeByDepth) {
  TestSupport::TempDir tmp;
  struct TCase {
    int Depth;
    const char* Assumed;
    TImageFormat Format;
  };
  const TCase cases[] = {{1, "GRAYSCALE", fmtGray8},
                         {2, "GRAYSCALE_ALPHA", fmtA8Gray8},
                         {3, "RGB", fmtR8G8B8},
                         {4, "RGB_ALPHA", fmtA8R8G8B8}};
  for (const TCase& c : cases) {
    std::string data;
    for (int i = 0; i < 5 * 3 * c.Depth; ++i) data.push_back(char((i * 37 + 11) & 0xFF));
    const std::string head = "P7\nWIDTH 5\nHEIGHT 3\nDEPTH " + std::to_string(c.Depth) + "\nMAXVAL 255\n";
    const std::string bare = tmp.File("bare" + std::to_string(c.Depth) + ".pam");
    const std::string typed = tmp.File("typed" + std::to_string(c.Depth) + ".pam");
    TestSupport::WriteFileBytes(bare, Bytes(head + "ENDHDR\n" + data));
    TestSupport::WriteFileBytes(typed, Bytes(head + "TUPLTYPE " + c.Assumed + "\nENDHDR\n" + data));
    TOwned own, expected;
    ASSERT_TRUE(LoadFile(bare, own.Image)) << c.Depth;
    ASSERT_TRUE(LoadFile(typed, expected.Image)) << c.Depth;
    EXPECT_EQ(own.Image.Format, c.Format);
    EXPECT_EQ(ImageBytes(own.Image), ImageBytes(expected.Image)) << c.Depth;
    if (TestSupport::HaveProgram("pamtopng") && TestSupport::HaveProgram("convert")) {
      const std::string png = tmp.File("netpbm" + std::to_string(c.Depth) + ".png");
      ASSERT_EQ(TestSupport::RunCommand("pamtopng '" + typed + "' > '" + png + "' 2>/dev/null"), 0);
      EXPECT_EQ(OwnRaw(own.Image), PeerRaw(png, MapFor(own.Image), 8)) << c.Depth;
    }
  }
}

TEST(PortableMaps, FloatMapsByteOrderAndBottomUpRows) {
  auto floats = [](std::initializer_list<float> v, bool big) {
    std::string s;
    for (float f : v) {
      uint8_t b[4];
      std::memcpy(b, &f, 4);
      if (big) std::swap(b[0], b[3]), std::swap(b[1], b[2]);
      s.append(reinterpret_cast<char*>(b), 4);
    }
    return s;
  };
  for (bool big : {false, true}) {
    TDynImageDataArray images;
    // Two rows; the file's first row is the image's bottom row.
    std::string f = std::string("Pf\n1 2\n") + (big ? "1.0" : "-1.0") + "\n" + floats({0.25f, 0.75f}, big);
    ASSERT_TRUE(LoadMem("pfm", Bytes(f), images));
    ASSERT_EQ(images[0].Format, fmtR32F);
    auto* p = static_cast<float*>(images[0].Bits);
    EXPECT_EQ(p[0], 0.75f);
    EXPECT_EQ(p[1], 0.25f);
    ReleaseImageArray(images);
    f = std::string("PF\n1 1\n") + (big ? "2.5" : "-0.5") + "\n" + floats({0.1f, 0.2f, 0.3f}, big);
    ASSERT_TRUE(LoadMem("pfm", Bytes(f), images));
    ASSERT_EQ(images[0].Format, fmtA32B32G32R32F);
    p = static_cast<float*>(images[0].Bits);
    EXPECT_EQ(p[0], 0.1f);  // R, G, B, A in memory
    EXPECT_EQ(p[1], 0.2f);
    EXPECT_EQ(p[2], 0.3f);
    EXPECT_EQ(p[3], 1.0f);
    ReleaseImageArray(images);
  }
  EXPECT_NE(LoadError("pfm", Bytes("Pf\n1 1\n1,0\nxxxx")).find("'1,0' is not a valid floating point value"),
            std::string::npos);
}

// ---------------------------------------------------------------------------
// Hostile headers and data
// ---------------------------------------------------------------------------

TEST(PortableMaps, HostileHeadersFailCleanly) {
  TDynImageDataArray images;
  // Invalid values: the handler reports the file as not loadable.
  EXPECT_FALSE(LoadMem("ppm", Bytes("P6\n0 1\n255\n"), images));
  EXPECT_FALSE(LoadMem("ppm", Bytes("P6\n-5 1\n255\n"), images));
  EXPECT_FALSE(LoadMem("ppm", Bytes("P6\n1 1\n0\n"), images));
  EXPECT_FALSE(LoadMem("ppm", Bytes("P6\n1 1\n65536\n"), images));
  // Numbers beyond 32 bits and words where numbers belong are conversion errors.
  std::string msg = LoadError("ppm", Bytes("P6\n99999999999 1\n255\n"));
  EXPECT_NE(msg.find("'99999999999' is not a valid integer value"), std::string::npos) << msg;
  EXPECT_NE(msg.find("Error while loading images from memory"), std::string::npos) << msg;
  msg = LoadError("ppm", Bytes("P6\nabc 1\n255\n"));
  EXPECT_NE(msg.find("'abc' is not a valid integer value"), std::string::npos) << msg;
  msg = LoadError("ppm", Bytes("P6\n" + std::string(5000, '1') + " 1\n255\n"));
  EXPECT_NE(msg.find("too long"), std::string::npos) << msg;
  // An image that would not fit the 32-bit size is refused before allocating.
  msg = LoadError("ppm", Bytes("P6\n2000000000 2000000000\n255\n"));
  EXPECT_NE(msg.find("too large"), std::string::npos) << msg;
  msg = LoadError("pam", Bytes("P7\nWIDTH 30000\nHEIGHT 30000\nDEPTH 4\nMAXVAL 65535\nTUPLTYPE RGB_ALPHA\nENDHDR\n"));
  EXPECT_NE(msg.find("too large"), std::string::npos) << msg;
  // Pixel data that cannot be in the rest of the file is refused up front.
  msg = LoadError("ppm", Bytes("P6\n10000 10000\n255\nabc"));
  EXPECT_NE(msg.find("truncated: 300000000 bytes needed, 3 present"), std::string::npos) << msg;
  msg = LoadError("pgm", Bytes("P2\n100 100\n255\n1 2 3"));  // at least 2 characters per sample
  EXPECT_NE(msg.find("truncated: 19999 bytes needed"), std::string::npos) << msg;
  msg = LoadError("pbm", Bytes("P1\n100 100\n0101"));
  EXPECT_NE(msg.find("truncated: 10000 bytes needed"), std::string::npos) << msg;
  msg = LoadError("pfm", Bytes("PF\n4 4\n-1\n" + std::string(100, 'x')));
  EXPECT_NE(msg.find("truncated: 192 bytes needed"), std::string::npos) << msg;
  // Plain data that passes the bound but ends early, or holds a word.
  msg = LoadError("pgm", Bytes("P2\n3 1\n255\n1111"));
  EXPECT_NE(msg.find("truncated"), std::string::npos) << msg;
  msg = LoadError("pgm", Bytes("P2\n3 1\n255\n1 x 3 "));
  EXPECT_NE(msg.find("'x' is not a valid integer value"), std::string::npos) << msg;
  // Samples above maxval are clamped to it; huge digit runs do not overflow.
  ASSERT_TRUE(LoadMem("pgm", Bytes("P2\n2 1\n100\n250 99999999999999999999"), images));
  EXPECT_EQ(ImageBytes(images[0]), (std::vector<uint8_t>{255, 255}));
  ReleaseImageArray(images);
  ASSERT_TRUE(LoadMem("pgm", Bytes(std::string("P5\n2 1\n100\n\xfa\x32", 13)), images));
  EXPECT_EQ(ImageBytes(images[0]), (std::vector<uint8_t>{255, 127}));
  ReleaseImageArray(images);
}

// ---------------------------------------------------------------------------
// Writing
// ---------------------------------------------------------------------------

TEST(PortableMaps, WritersProduceExactBytes) {
  TestSupport::InitCore();
  TOwned gray;
  ASSERT_TRUE(CreateImage(3, 1, fmtGray8, gray.Image));
  std::memcpy(gray.Image.Bits, "\x00\x7f\xff", 3);
  EXPECT_EQ(SaveMem("pgm", gray.Image), Bytes(std::string("P5\n3 1\n255\n\x00\x7f\xff", 14)));
  ASSERT_TRUE(SetImagingOption(OptPgmSaveBinary, 0));
  EXPECT_EQ(SaveMem("pgm", gray.Image), Bytes("P2\n3 1\n255\n0 127 255 "));
  SetImagingOption(OptPgmSaveBinary, -1);

  TOwned deep;
  ASSERT_TRUE(CreateImage(1, 1, fmtR16G16B16, deep.Image));
  uint16_t rgb16[3] = {0x0506, 0x0304, 0x0102};  // B, G, R
  std::memcpy(deep.Image.Bits, rgb16, 6);
  EXPECT_EQ(SaveMem("ppm", deep.Image), Bytes(std::string("P6\n1 1\n65535\n\x01\x02\x03\x04\x05\x06", 19)));

  TOwned white;
  ASSERT_TRUE(CreateImage(8, 1, fmtR8G8B8, white.Image));
  std::memset(white.Image.Bits, 255, size_t(white.Image.Size));
  ASSERT_TRUE(SetImagingOption(OptPpmSaveBinary, 0));
  std::string px = "255 255 255 ";
  EXPECT_EQ(SaveMem("ppm", white.Image), Bytes("P3\n8 1\n255\n" + px + px + px + px + px + px + "\n" + px + px));
  SetImagingOption(OptPpmSaveBinary, -1);

  TOwned argb;
  ASSERT_TRUE(CreateImage(1, 1, fmtA8R8G8B8, argb.Image));
  std::memcpy(argb.Image.Bits, "\x03\x02\x01\x80", 4);  // B, G, R, A
  EXPECT_EQ(SaveMem("pam", argb.Image),
            Bytes("P7\nWIDTH 1\nHEIGHT 1\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n\x01\x02\x03\x80"));
  EXPECT_EQ(SaveMem("ppm", argb.Image), Bytes("P6\n1 1\n255\n\x01\x02\x03"));

  TOwned fl;
  ASSERT_TRUE(CreateImage(1, 2, fmtR32F, fl.Image));
  float v[2] = {0.5f, 2.0f};
  std::memcpy(fl.Image.Bits, v, 8);
  std::string expect = "Pf\n1 2\n-1\n";
  expect.append(reinterpret_cast<const char*>(&v[1]), 4);  // bottom row first
  expect.append(reinterpret_cast<const char*>(&v[0]), 4);
  EXPECT_EQ(SaveMem("pfm", fl.Image), Bytes(expect));
}

TEST(PortableMaps, OwnRoundTripOfEveryAcceptedFormat) {
  struct {
    const char* Ext;
    TImageFormat Format;
  } cases[] = {{"pgm", fmtGray8},      {"pgm", fmtGray16},       {"ppm", fmtR8G8B8},        {"ppm", fmtR16G16B16},
               {"pam", fmtGray8},      {"pam", fmtA8Gray8},      {"pam", fmtGray16},        {"pam", fmtA16Gray16},
               {"pam", fmtR8G8B8},     {"pam", fmtA8R8G8B8},     {"pam", fmtR16G16B16},     {"pam", fmtA16R16G16B16},
               {"pfm", fmtR32F},       {"pfm", fmtA32B32G32R32F}};
  for (auto& c : cases) {
    for (int32_t binary : {-1, 0}) {
      if (binary == 0 && std::strcmp(c.Ext, "pgm") && std::strcmp(c.Ext, "ppm")) continue;
      SetImagingOption(OptPgmSaveBinary, binary);
      SetImagingOption(OptPpmSaveBinary, binary);
      TOwned img{TestSupport::RandomImage(13, 7, c.Format, 42)};
      if (c.Format == fmtR32F || c.Format == fmtA32B32G32R32F)
        for (int i = 0; i < img.Image.Size / 4; ++i) static_cast<float*>(img.Image.Bits)[i] = float(i % 97) / 7.0f;
      if (c.Format == fmtA32B32G32R32F)  // colour float maps carry no alpha
        for (int i = 0; i < 13 * 7; ++i) static_cast<float*>(img.Image.Bits)[i * 4 + 3] = 1.0f;
      std::vector<uint8_t> file = SaveMem(c.Ext, img.Image);
      TDynImageDataArray back;
      ASSERT_TRUE(LoadMem(c.Ext, file, back)) << c.Ext << " " << c.Format;
      EXPECT_EQ(back[0].Format, c.Format);
      EXPECT_EQ(ImageBytes(back[0]), ImageBytes(img.Image)) << c.Ext << " " << c.Format << " binary " << binary;
      ReleaseImageArray(back);
    }
  }
  SetImagingOption(OptPgmSaveBinary, -1);
  SetImagingOption(OptPpmSaveBinary, -1);
}

// ---------------------------------------------------------------------------
// Interoperability with netpbm and ImageMagick
// ---------------------------------------------------------------------------

// Files written by netpbm in every variant the reader accepts load with the
// samples netpbm itself reads from them (scaled by the documented rule).
TEST(PortableMapsPeers, NetpbmVariantsLoadWithNetpbmSamples) {
  REQUIRE_PROGRAM("pnmtoplainpnm");
  REQUIRE_PROGRAM("pamdepth");
  REQUIRE_PROGRAM("convert");
  TestSupport::TempDir dir;
  std::string base = dir.File("base.ppm");
  ASSERT_EQ(TestSupport::RunCommand("convert -size 37x23 xc: -seed 7 +noise Random -depth 8 '" + base + "'"), 0);
  struct {
    const char* Name;
    std::string Command;  // writes the variant from base.ppm to the named file
  } variants[] = {
      {"raw8.ppm", "cat base.ppm"},
      {"plain8.ppm", "pnmtoplainpnm base.ppm"},
      {"raw100.ppm", "pamdepth 100 base.ppm"},
      {"plain100.ppm", "pamdepth 100 base.ppm | pnmtoplainpnm"},
      {"raw1000.ppm", "pamdepth 1000 base.ppm"},
      {"plain1000.ppm", "pamdepth 1000 base.ppm | pnmtoplainpnm"},
      {"raw65535.ppm", "pamdepth 65535 base.ppm"},
      {"raw40000.ppm", "pamdepth 40000 base.ppm"},
      {"raw8.pgm", "ppmtopgm base.ppm"},
      {"plain8.pgm", "ppmtopgm base.ppm | pnmtoplainpnm"},
      {"raw7.pgm", "ppmtopgm base.ppm | pamdepth 7"},
      {"raw300.pgm", "ppmtopgm base.ppm | pamdepth 300"},
      {"plain65535.pgm", "ppmtopgm base.ppm | pamdepth 65535 | pnmtoplainpnm"},
      {"raw.pbm", "ppmtopgm base.ppm | pgmtopbm -threshold"},
      {"plain.pbm", "ppmtopgm base.ppm | pgmtopbm -threshold | pnmtoplainpnm"},
  };
  for (auto& v : variants) {
    std::string file = dir.File(v.Name);
    ASSERT_EQ(TestSupport::RunCommand("cd '" + dir.Path().string() + "' && " + v.Command + " > '" + file +
                                      "' 2>/dev/null"),
              0)
        << v.Command;
    int32_t maxVal = 0;
    std::vector<uint32_t> peer = PeerSamples(file, maxVal);
    TOwned own;
    ASSERT_TRUE(LoadFile(file, own.Image)) << v.Name;
    std::vector<uint32_t> ours = OwnSamplesFileOrder(own.Image);
    ASSERT_EQ(ours.size(), peer.size()) << v.Name;
    bool bitmap = std::string(v.Name).find(".pbm") != std::string::npos;
    uint64_t top = maxVal >= 256 ? 65535 : 255;
    size_t bad = 0;
    for (size_t i = 0; i < peer.size(); ++i) {
      uint32_t expect = bitmap ? (peer[i] ? 0 : 255) : uint32_t(uint64_t(peer[i]) * top / uint64_t(maxVal));
      if (ours[i] != expect && bad++ < 3) ADD_FAILURE() << v.Name << " sample " << i << ": " << ours[i] << " vs " << expect;
    }
    EXPECT_EQ(bad, 0u) << v.Name;
  }
}

// ImageMagick's PAM files (with and without alpha, 8 and 16 bits) and
// netpbm's float maps in both byte orders load with the peers' pixels.
TEST(PortableMapsPeers, PamAndPfmFromPeers) {
  REQUIRE_PROGRAM("convert");
  REQUIRE_PROGRAM("pamtopfm");
  TestSupport::TempDir dir;
  std::string base = dir.File("base.png");
  ASSERT_EQ(TestSupport::RunCommand("convert -size 29x17 xc: -seed 3 +noise Random -alpha set -channel A -fx 'rand()' "
                                    "+channel -depth 16 '" + base + "'"),
            0);
  struct {
    const char* Name;
    const char* Options;
    const char* Map;
    int Depth;
    TImageFormat Format;
  } pams[] = {{"rgba8.pam", "-depth 8", "rgba", 8, fmtA8R8G8B8},
              {"rgba16.pam", "-depth 16", "rgba", 16, fmtA16R16G16B16},
              {"rgb8.pam", "-alpha off -depth 8", "rgb", 8, fmtR8G8B8},
              {"rgb16.pam", "-alpha off -depth 16", "rgb", 16, fmtR16G16B16},
              {"gray8.pam", "-alpha off -colorspace gray -depth 8", "gray", 8, fmtGray8},
              {"graya16.pam", "-colorspace gray -depth 16", "graya", 16, fmtA16Gray16},
              {"graya8.pam", "-colorspace gray -depth 8", "graya", 8, fmtA8Gray8}};
  for (auto& p : pams) {
    std::string file = dir.File(p.Name);
    ASSERT_EQ(TestSupport::RunCommand("convert '" + base + "' " + p.Options + " '" + file + "'"), 0);
    std::vector<uint8_t> bytes = TestSupport::ReadFileBytes(file);
    ASSERT_GE(bytes.size(), 2u);
    ASSERT_EQ(std::string(bytes.begin(), bytes.begin() + 2), "P7");
    TOwned own;
    ASSERT_TRUE(LoadFile(file, own.Image)) << p.Name;
    EXPECT_EQ(own.Image.Format, p.Format) << p.Name;
    std::string map = p.Map == std::string("graya") ? "gray" : p.Map;
    if (std::string(p.Map) == "graya") {
      // ImageMagick has no gray+alpha raw map: compare gray and alpha apart.
      std::vector<uint8_t> g = PeerRaw(file, "gray", p.Depth), a;
      std::string alpha;
      TestSupport::RunCommand("convert '" + file + "' -alpha extract -endian LSB -depth " + std::to_string(p.Depth) +
                                  " gray:-",
                              &alpha);
      std::vector<uint8_t> expect;
      int sb = p.Depth / 8;
      for (size_t i = 0; i < g.size() / sb; ++i) {
        for (int k = 0; k < sb; ++k) expect.push_back(g[i * sb + k]);
        for (int k = 0; k < sb; ++k) expect.push_back(uint8_t(alpha[i * sb + k]));
      }
      EXPECT_EQ(OwnRaw(own.Image), expect) << p.Name;
    } else {
      EXPECT_EQ(OwnRaw(own.Image), PeerRaw(file, map, p.Depth)) << p.Name;
    }
  }
  // Float maps from netpbm: colour and gray, little- and big-endian. netpbm
  // stores s / maxval; the rows are bottom-up in the file.
  std::string ppm = dir.File("base16.ppm"), pgm = dir.File("base16.pgm");
  ASSERT_EQ(TestSupport::RunCommand("convert '" + base + "' -alpha off -depth 16 '" + ppm + "'"), 0);
  ASSERT_EQ(TestSupport::RunCommand("convert '" + base + "' -alpha off -colorspace gray -depth 16 '" + pgm + "'"), 0);
  TOwned ref16, refGray;
  ASSERT_TRUE(LoadFile(ppm, ref16.Image));
  ASSERT_TRUE(LoadFile(pgm, refGray.Image));
  for (const char* endian : {"little", "big"}) {
    for (bool colour : {true, false}) {
      std::string pfm = dir.File(std::string(colour ? "c" : "g") + endian + ".pfm");
      ASSERT_EQ(TestSupport::RunCommand("pamtopfm -endian=" + std::string(endian) + " '" + (colour ? ppm : pgm) +
                                        "' > '" + pfm + "' 2>/dev/null"),
                0);
      TOwned own;
      ASSERT_TRUE(LoadFile(pfm, own.Image)) << pfm;
      const TImageData& ref = colour ? ref16.Image : refGray.Image;
      ASSERT_EQ(own.Image.Format, colour ? fmtA32B32G32R32F : fmtR32F);
      auto* f = static_cast<const float*>(own.Image.Bits);
      auto* r = static_cast<const uint16_t*>(ref.Bits);
      int64_t pixels = int64_t(ref.Width) * ref.Height;
      size_t bad = 0;
      for (int64_t i = 0; i < pixels; ++i) {
        for (int c = 0; c < (colour ? 3 : 1); ++c) {
          float got = colour ? f[i * 4 + c] : f[i];
          float expect = float(colour ? r[i * 3 + (2 - c)] : r[i]) / 65535.0f;
          if (std::fabs(got - expect) > 1e-6f && bad++ < 3)
            ADD_FAILURE() << pfm << " pixel " << i << " channel " << c << ": " << got << " vs " << expect;
        }
        if (colour && f[i * 4 + 3] != 1.0f && bad++ < 3) ADD_FAILURE() << "alpha " << f[i * 4 + 3];
      }
      EXPECT_EQ(bad, 0u) << pfm;
    }
  }
}

// A gray float map ("Pf") written as BMP and PGM stays gray at its own
// brightness, as in netpbm: pfmtopam | pamtopnm gives the same gray levels.
TEST(PortableMapsPeers, GrayFloatMapsConvertToGray) {
  REQUIRE_PROGRAM("convert");
  REQUIRE_PROGRAM("pamtopfm");
  TestSupport::TempDir dir;
  std::string pgm = dir.File("g.pgm"), pfm = dir.File("g.pfm");
  ASSERT_EQ(TestSupport::RunCommand("convert -size 31x19 gradient:black-white -depth 8 '" + pgm + "'"), 0);
  ASSERT_EQ(TestSupport::RunCommand("pamtopfm '" + pgm + "' > '" + pfm + "' 2>/dev/null"), 0);
  TOwned own;
  ASSERT_TRUE(LoadFile(pfm, own.Image));
  ASSERT_EQ(own.Image.Format, fmtR32F);
  std::string bmp = dir.File("g.bmp"), back = dir.File("back.pgm");
  ASSERT_TRUE(WriteImageFile(bmp, own.Image));
  ASSERT_TRUE(WriteImageFile(back, own.Image));
  std::vector<uint8_t> source = PeerRaw(pgm, "gray", 8);
  EXPECT_EQ(PeerRaw(back, "gray", 8), source);
  std::vector<uint8_t> rgb = PeerRaw(bmp, "rgb", 8);
  ASSERT_EQ(rgb.size(), source.size() * 3);
  size_t bad = 0;
  for (size_t i = 0; i < source.size(); ++i)
    for (int c = 0; c < 3; ++c) bad += rgb[i * 3 + size_t(c)] != source[i];
  EXPECT_EQ(bad, 0u);
}

// Every format each writer produces, from every pixel format it accepts,
// decodes in ImageMagick (and netpbm for the integer maps) to our pixels.
TEST(PortableMapsPeers, OwnFilesDecodeInPeers) {
  REQUIRE_PROGRAM("convert");
  REQUIRE_PROGRAM("pnmtoplainpnm");
  struct {
    const char* Ext;
    TImageFormat Format;
  } cases[] = {{"pgm", fmtGray8},  {"pgm", fmtGray16},   {"ppm", fmtR8G8B8},    {"ppm", fmtR16G16B16},
               {"pam", fmtGray8},  {"pam", fmtA8Gray8},  {"pam", fmtGray16},    {"pam", fmtA16Gray16},
               {"pam", fmtR8G8B8}, {"pam", fmtA8R8G8B8}, {"pam", fmtR16G16B16}, {"pam", fmtA16R16G16B16}};
  TestSupport::TempDir dir;
  for (auto& c : cases) {
    for (int32_t binary : {-1, 0}) {
      bool hasPlain = !std::strcmp(c.Ext, "pgm") || !std::strcmp(c.Ext, "ppm");
      if (binary == 0 && !hasPlain) continue;
      SetImagingOption(OptPgmSaveBinary, binary);
      SetImagingOption(OptPpmSaveBinary, binary);
      TOwned img{TestSupport::RandomImage(31, 9, c.Format, 1000 + c.Format)};
      std::string file = dir.File(std::string("out") + std::to_string(c.Format) + (binary ? "b." : "p.") + c.Ext);
      ASSERT_TRUE(WriteImageFile(file, img.Image)) << file;
      std::string map = MapFor(img.Image);
      int depth = c.Format == fmtGray16 || c.Format == fmtA16Gray16 || c.Format == fmtR16G16B16 ||
                          c.Format == fmtA16R16G16B16
                      ? 16
                      : 8;
      std::vector<uint8_t> ours = OwnRaw(img.Image);
      if (map == "graya") {
        // Gray + alpha: check gray and alpha separately.
        std::vector<uint8_t> g = PeerRaw(file, "gray", depth);
        std::string a;
        TestSupport::RunCommand("convert '" + file + "' -alpha extract -endian LSB -depth " + std::to_string(depth) +
                                    " gray:-",
                                &a);
        int sb = depth / 8;
        std::vector<uint8_t> peer;
        for (size_t i = 0; i + sb <= g.size(); i += sb) {
          for (int k = 0; k < sb; ++k) peer.push_back(g[i + k]);
          for (int k = 0; k < sb; ++k) peer.push_back(i + k < a.size() ? uint8_t(a[i + k]) : 0);
        }
        EXPECT_EQ(peer, ours) << file;
      } else {
        EXPECT_EQ(PeerRaw(file, map, depth), ours) << file;
      }
      if (hasPlain) {
        int32_t maxVal = 0;
        std::vector<uint32_t> peer = PeerSamples(file, maxVal);
        EXPECT_EQ(maxVal, depth == 16 ? 65535 : 255);
        EXPECT_EQ(peer, OwnSamplesFileOrder(img.Image)) << "netpbm reads " << file;
      }
    }
  }
  SetImagingOption(OptPgmSaveBinary, -1);
  SetImagingOption(OptPpmSaveBinary, -1);
}

TEST(PortableMapsPeers, OwnFloatMapsDecodeInNetpbm) {
  REQUIRE_PROGRAM("pfmtopam");
  TestSupport::InitCore();
  TestSupport::TempDir dir;
  for (TImageFormat format : {fmtR32F, fmtA32B32G32R32F}) {
    TOwned img;
    ASSERT_TRUE(CreateImage(23, 11, format, img.Image));
    auto* f = static_cast<float*>(img.Image.Bits);
    int32_t ch = format == fmtR32F ? 1 : 4;
    for (int32_t i = 0; i < 23 * 11; ++i)
      for (int32_t c = 0; c < ch; ++c) f[i * ch + c] = c == 3 ? 1.0f : float((i * 7 + c * 13) % 65536 % 1000) / 999.0f;
    std::string file = dir.File(std::string("f") + std::to_string(format) + ".pfm");
    ASSERT_TRUE(WriteImageFile(file, img.Image));
    // pfmtopam turns the floats into samples of maxval 65535 (rounded) in
    // top-down order.
    // Debian's pfmtopam refuses a valid -maxval at random ("Maximum allowed
    // -maxval is 65535. You specified 65535"), so the peer gets a few tries.
    std::string pam = dir.File("back.pam"), out = dir.File("back.pnm");
    int status = -1;
    for (int attempt = 0; attempt < 20 && status != 0; ++attempt)
      status = TestSupport::RunCommand("pfmtopam -maxval=65535 '" + file + "' > '" + pam + "' 2>/dev/null");
    ASSERT_EQ(status, 0);
    ASSERT_EQ(TestSupport::RunCommand("pamtopnm '" + pam + "' > '" + out + "' 2>/dev/null"), 0);
    int32_t maxVal = 0;
    std::vector<uint32_t> peer = PeerSamples(out, maxVal);
    ASSERT_EQ(maxVal, 65535);
    int32_t pc = format == fmtR32F ? 1 : 3;
    ASSERT_EQ(peer.size(), size_t(23 * 11 * pc));
    size_t bad = 0;
    for (int32_t i = 0; i < 23 * 11; ++i)
      for (int32_t c = 0; c < pc; ++c) {
        double expect = double(f[i * ch + c]) * 65535.0;
        if (std::fabs(double(peer[size_t(i * pc + c)]) - expect) > 0.5001 && bad++ < 3)
          ADD_FAILURE() << "pixel " << i << " channel " << c << ": " << peer[size_t(i * pc + c)] << " vs " << expect;
      }
    EXPECT_EQ(bad, 0u);
  }
}

// ---------------------------------------------------------------------------
// Corpus
// ---------------------------------------------------------------------------

TEST(PortableMapsCorpus, GoodFilesLoadWithPeerPixels) {
  REQUIRE_PROGRAM("convert");
  fs::path dir = TestSupport::CorpusDir() / "pillow/pnm";
  if (!fs::exists(dir)) GTEST_SKIP() << "corpus folder " << dir << " is missing";
  int count = 0;
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (!entry.is_regular_file()) continue;
    std::string file = entry.path().string();
    TOwned own;
    ASSERT_TRUE(LoadFile(file, own.Image)) << file;
    ++count;
    TImageFormatInfo info;
    QueryFormatInfo(own.Image.Format, info);
    if (info.IsFloatingPoint) {
      // ImageMagick's 16-bit decode of a float map is the float scaled and
      // rounded (and clamped to 0..65535).
      std::vector<uint8_t> peer = PeerRaw(file, info.ChannelCount == 1 ? "gray" : "rgb", 16);
      auto* f = static_cast<const float*>(own.Image.Bits);
      int32_t ch = info.ChannelCount == 1 ? 1 : 3, stride = info.ChannelCount == 1 ? 1 : 4;
      int64_t pixels = int64_t(own.Image.Width) * own.Image.Height;
      ASSERT_EQ(peer.size(), size_t(pixels * ch * 2)) << file;
      size_t bad = 0;
      for (int64_t i = 0; i < pixels; ++i)
        for (int32_t c = 0; c < ch; ++c) {
          double v = std::clamp(double(f[i * stride + c]), 0.0, 1.0) * 65535.0;
          double p = peer[size_t((i * ch + c) * 2)] | peer[size_t((i * ch + c) * 2 + 1)] << 8;
          if (std::fabs(v - p) > 1.0 && bad++ < 3) ADD_FAILURE() << file << " " << i << ": " << v << " vs " << p;
        }
      EXPECT_EQ(bad, 0u) << file;
    } else {
      int depth = info.BytesPerPixel / info.ChannelCount * 8;
      EXPECT_EQ(OwnRaw(own.Image), PeerRaw(file, MapFor(own.Image), depth)) << file;
    }
  }
  EXPECT_GE(count, 15);
}

TEST(PortableMapsCorpus, BadFilesFailWithTheLoadingMessage) {
  fs::path dir = TestSupport::CorpusDir() / "pillow/pnm/bad";
  if (!fs::exists(dir)) GTEST_SKIP() << "corpus folder " << dir << " is missing";
  TestSupport::InitCore();
  for (const auto& entry : fs::directory_iterator(dir)) {
    std::string file = entry.path().string();
    for (const char* ext : {"pbm", "pgm", "ppm", "pam", "pfm"}) {
      TDynImageDataArray images;
      try {
        Handler(ext)->LoadFromFile(file, images);
        ADD_FAILURE() << file << " loaded as " << ext;
      } catch (const EImagingError& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Error while loading images from file \"" + file + "\" (file format: " +
                                                  ext + ").",
                                              0),
                  0u)
            << e.what();
      }
      ReleaseImageArray(images);
    }
  }
}
