// GIF handler: LZW coder edge cases, hostile streams, frame composition,
// the exact bytes of saved files, and pixel equality with ImageMagick and
// Pillow in both directions.
#include <gtest/gtest.h>

#include <array>

#include <cstring>
#include <random>
#include <sstream>

#include "ImagingGif.h"
#include "TestSupport.h"

using namespace Imaging;
namespace fs = std::filesystem;

namespace {

const char* const LZWError = "Error when decoding GIF LZW data";

TGIFFileFormat* GifHandler() {
  TestSupport::InitCore();
  return dynamic_cast<TGIFFileFormat*>(FindHandlerByExtension("gif"));
}

// Writes codes least significant bit first, tracking the code width the
// way a decoder does, and wraps them into sub-blocks.
class TCodeWriter {
public:
  explicit TCodeWriter(int32_t CodeSize) : FCodeSize(CodeSize) { Reset(); }
  void Reset() {
    FWidth = FCodeSize + 1;
    FNextFree = (1 << FCodeSize) + 2;
    FFirst = true;
    FFull = false;
  }
  void Clear() {
    Put(1 << FCodeSize);
    Reset();
  }
  void Code(int32_t C) {
    Put(C);
    if (FFirst) {
      FFirst = false;
      return;
    }
    if (FFull) return;
    if (++FNextFree == (1 << FWidth)) {
      if (FWidth < 12)
        ++FWidth;
      else
        FFull = true;
    }
  }
  void End() { Put((1 << FCodeSize) + 1); }
  // Code size byte, sub-blocks of at most 255 bytes, terminator.
  std::vector<uint8_t> Data(bool Terminate = true) {
    std::vector<uint8_t> bytes = FBytes;
    if (FCount > 0) bytes.push_back(uint8_t(FBits));
    std::vector<uint8_t> out{uint8_t(FCodeSize)};
    for (size_t i = 0; i < bytes.size(); i += 255) {
      size_t n = std::min<size_t>(255, bytes.size() - i);
      out.push_back(uint8_t(n));
      out.insert(out.end(), bytes.begin() + long(i), bytes.begin() + long(i + n));
    }
    if (Terminate) out.push_back(0);
    return out;
  }

private:
  void Put(int32_t C) {
    FBits |= uint32_t(C) << FCount;
    FCount += FWidth;
    while (FCount >= 8) {
      FBytes.push_back(uint8_t(FBits));
      FBits >>= 8;
      FCount -= 8;
    }
  }
  int32_t FCodeSize, FWidth = 0, FNextFree = 0, FCount = 0;
  uint32_t FBits = 0;
  bool FFirst = true, FFull = false;
  std::vector<uint8_t> FBytes;
};

// A GIF file put together block by block.
struct TGifBuilder {
  std::vector<uint8_t> B;
  void U16(uint32_t V) {
    B.push_back(uint8_t(V));
    B.push_back(uint8_t(V >> 8));
  }
  void Header(uint32_t W, uint32_t H, int32_t GlobalBits = 0, uint8_t Background = 0) {
    const char* sig = "GIF89a";
    B.insert(B.end(), sig, sig + 6);
    U16(W);
    U16(H);
    B.push_back(uint8_t(GlobalBits > 0 ? 0x80 | 0x70 | (GlobalBits - 1) : 0x70));
    B.push_back(Background);
    B.push_back(0);
    if (GlobalBits > 0) Palette(GlobalBits, 0);
  }
  // Entry i = (i*7+Salt, i*13, 255-i).
  void Palette(int32_t Bits, int32_t Salt) {
    for (int32_t i = 0; i < (1 << Bits); ++i) {
      B.push_back(uint8_t(i * 7 + Salt));
      B.push_back(uint8_t(i * 13));
      B.push_back(uint8_t(255 - i));
    }
  }
  void Control(int32_t Disposal, bool Transparent, uint8_t Index) {
    const uint8_t gce[8] = {0x21, 0xF9, 4, uint8_t((Disposal << 2) | (Transparent ? 1 : 0)), 10, 0, Index, 0};
    B.insert(B.end(), gce, gce + 8);
  }
  void Descriptor(uint32_t L, uint32_t T, uint32_t W, uint32_t H, uint8_t Packed) {
    B.push_back(0x2C);
    U16(L);
    U16(T);
    U16(W);
    U16(H);
    B.push_back(Packed);
  }
  void Frame(uint32_t L, uint32_t T, uint32_t W, uint32_t H, const std::vector<uint8_t>& Pixels, int32_t LocalBits = 0,
             bool Interlaced = false) {
    Descriptor(L, T, W, H, uint8_t((LocalBits > 0 ? 0x80 | (LocalBits - 1) : 0) | (Interlaced ? 0x40 : 0)));
    if (LocalBits > 0) Palette(LocalBits, 100);
    std::vector<uint8_t> data;
    TGIFFileFormat::EncodeLZWData(data, Pixels.data(), Interlaced, 8, int32_t(H), int32_t(W));
    B.insert(B.end(), data.begin(), data.end());
  }
  void Raw(const std::vector<uint8_t>& Data) { B.insert(B.end(), Data.begin(), Data.end()); }
  void Trailer() { B.push_back(0x3B); }
};

TDynImageDataArray LoadBytes(const std::vector<uint8_t>& Bytes, bool Animated = true) {
  TGIFFileFormat* h = GifHandler();
  h->SetLoadAnimated(Animated);
  TDynImageDataArray images;
  bool ok = h->LoadFromMemory(Bytes.data(), int32_t(Bytes.size()), images);
  h->SetLoadAnimated(true);
  if (!ok) ReleaseImageArray(images);
  return images;
}

size_t CountFrames(const std::vector<uint8_t>& Bytes, bool Animated) {
  TDynImageDataArray images = LoadBytes(Bytes, Animated);
  size_t count = images.size();
  ReleaseImageArray(images);
  return count;
}

std::vector<uint8_t> RandomPixels(size_t Count, uint32_t Seed, uint32_t Levels = 256) {
  std::mt19937 rng(Seed);
  std::vector<uint8_t> p(Count);
  for (auto& v : p) v = uint8_t(rng() % Levels);
  return p;
}

std::vector<uint8_t> Decode(const std::vector<uint8_t>& Data, int32_t W, int32_t H, bool Interlaced = false) {
  std::vector<uint8_t> out(size_t(W) * H, 0);
  TGIFFileFormat::DecodeLZWData(Data.data(), Data.size(), out.data(), Interlaced, H, W);
  return out;
}

std::string DecodeError(const std::vector<uint8_t>& Data, int32_t W, int32_t H) {
  try {
    Decode(Data, W, H);
  } catch (const EImagingError& e) {
    return e.what();
  }
  return "";
}

uint32_t Pixel(const TImageData& Img, int32_t X, int32_t Y) {
  return static_cast<const uint32_t*>(Img.Bits)[size_t(Y) * Img.Width + X];
}

// RGBA rows of a raw Index8 frame through its palette.
std::vector<uint8_t> IndexedToRgba(const TImageData& Img) {
  std::vector<uint8_t> out(size_t(Img.Width) * Img.Height * 4);
  const auto* p = static_cast<const uint8_t*>(Img.Bits);
  for (size_t i = 0; i < size_t(Img.Width) * Img.Height; ++i) {
    TColor32Rec c = Img.Palette[p[i]];
    out[i * 4] = c.R;
    out[i * 4 + 1] = c.G;
    out[i * 4 + 2] = c.B;
    out[i * 4 + 3] = c.A;
  }
  return out;
}

std::vector<uint8_t> ArgbToRgba(const TImageData& Img) {
  std::vector<uint8_t> out(size_t(Img.Width) * Img.Height * 4);
  const auto* p = static_cast<const uint8_t*>(Img.Bits);
  for (size_t i = 0; i < size_t(Img.Width) * Img.Height; ++i) {
    out[i * 4] = p[i * 4 + 2];
    out[i * 4 + 1] = p[i * 4 + 1];
    out[i * 4 + 2] = p[i * 4];
    out[i * 4 + 3] = p[i * 4 + 3];
  }
  return out;
}

// Pixels equal, except that colours under alpha 0 do not matter.
size_t CountDifferences(const std::vector<uint8_t>& A, const std::vector<uint8_t>& B) {
  if (A.size() != B.size()) return SIZE_MAX;
  size_t diff = 0;
  for (size_t i = 0; i < A.size(); i += 4) {
    if (A[i + 3] == 0 && B[i + 3] == 0) continue;
    if (std::memcmp(&A[i], &B[i], 4) != 0) ++diff;
  }
  return diff;
}

int32_t MagickFrameCount(const std::string& File) {
  std::string out;
  if (TestSupport::RunCommand("identify -format '%n\\n' '" + File + "' 2>/dev/null | head -1", &out) != 0) return -1;
  return std::atoi(out.c_str());
}

// ImageMagick's decode of one frame (raw, or coalesced onto the canvas).
bool MagickFrame(const std::string& File, int32_t Index, bool Coalesce, int32_t& W, int32_t& H,
                 std::vector<uint8_t>& Rgba) {
  std::string cmd = "/usr/bin/convert '" + File + "'";
  if (Coalesce) {
    cmd += " -coalesce";
    if (Index > 0) cmd += " -delete 0-" + std::to_string(Index - 1);
    cmd += " -delete 1--1";
  } else {
    cmd = "/usr/bin/convert '" + File + "[" + std::to_string(Index) + "]'";
  }
  std::string dims, raw;
  if (TestSupport::RunCommand(cmd + " -format '%w %h' info:- 2>/dev/null", &dims) != 0) return false;
  std::istringstream is(dims);
  if (!(is >> W >> H)) return false;
  if (TestSupport::RunCommand(cmd + " -depth 8 rgba:- 2>/dev/null", &raw) != 0) return false;
  Rgba.assign(raw.begin(), raw.end());
  return Rgba.size() == size_t(W) * H * 4;
}

bool HaveMagick() { return TestSupport::HaveProgram("/usr/bin/convert") && TestSupport::HaveProgram("identify"); }

}  // namespace

TEST(Gif, Registration) {
  TGIFFileFormat* h = GifHandler();
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h->Name(), "Graphics Interchange Format");
  EXPECT_EQ(h->Extensions(), std::vector<std::string>{"gif"});
  EXPECT_TRUE(h->CanLoad());
  EXPECT_TRUE(h->CanSave());
  EXPECT_TRUE(h->IsMultiImageFormat());
  EXPECT_TRUE(h->SupportedFormats() == TImageFormats{fmtIndex8});
  EXPECT_TRUE(h->LoadAnimated());
}

TEST(Gif, TestFormat) {
  TGIFFileFormat* h = GifHandler();
  EXPECT_FALSE(h->TestFormat(nullptr));
  struct Case {
    const char* Text;
    int32_t Size;
    bool Expected;
  } cases[] = {{"GIF89a1234567", 13, true}, {"GIF87a1234567", 13, true}, {"GIF89a123456", 12, false},
               {"GIF88a1234567", 13, false}, {"gif89a1234567", 13, false}};
  for (const Case& c : cases) {
    TMemoryIOState state;
    InitMemoryIOState(const_cast<char*>(c.Text), c.Size, state);
    UseMemoryIO();
    THandle handle = MemoryIOTable.OpenRead(&state);
    EXPECT_EQ(h->TestFormat(handle), c.Expected) << c.Text;
    EXPECT_EQ(MemoryIOTable.Tell(handle), 0);
    MemoryIOTable.Close(handle);
  }
}

// Encoder and decoder agree for every depth, for images long enough to fill
// the dictionary many times over (resets at code 4094), and interlaced.
TEST(Gif, LzwRoundTrip) {
  struct Case {
    int32_t W, H, Bits;
    uint32_t Levels;
  } cases[] = {{1, 1, 8, 256},   {7, 3, 2, 2},     {64, 64, 2, 4},  {100, 37, 4, 16},
               {300, 200, 8, 256}, {513, 129, 8, 3}, {257, 1, 8, 256}, {1000, 1000, 8, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.W) + "x" + std::to_string(c.H) + " levels " + std::to_string(c.Levels));
    std::vector<uint8_t> px = RandomPixels(size_t(c.W) * c.H, uint32_t(c.W * 31 + c.H), c.Levels);
    for (bool interlaced : {false, true}) {
      std::vector<uint8_t> data;
      TGIFFileFormat::EncodeLZWData(data, px.data(), interlaced, c.Bits, c.H, c.W);
      EXPECT_EQ(data[0], std::max(c.Bits, 2));
      EXPECT_EQ(data.back(), 0);
      EXPECT_EQ(Decode(data, c.W, c.H, interlaced), px);
    }
  }
}

// The encoder's streams are pinned byte for byte (size and FNV-1a digest):
// flat images, stripes, short wide rows and a long-period pattern, straight
// and interlaced. The dictionary lookup may change, the codes may not.
TEST(Gif, LzwStreamsArePinned) {
  struct Case {
    int32_t W, H, Kind;
    bool Interlaced;
    size_t Size;
    uint64_t Digest;
  } cases[] = {
      {2000, 2000, 0, false, 3911u, 0x5CB6B3A31F508018ull},  {2000, 2000, 0, true, 3911u, 0x5CB6B3A31F508018ull},
      {640, 480, 1, false, 1828u, 0x8C2A3C8269342847ull},    {640, 480, 1, true, 1407u, 0x6F2DF79E9D3F1A98ull},
      {4096, 3, 2, false, 411u, 0x650776712B12146Dull},      {4096, 3, 2, true, 412u, 0x5AD56AD7B3DCF68Dull},
      {999, 1001, 3, false, 597588u, 0x89A3E2FF8B969D6Bull}, {999, 1001, 3, true, 790856u, 0xC204B069A3E607F2ull},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.W) + "x" + std::to_string(c.H) + " kind " + std::to_string(c.Kind));
    std::vector<uint8_t> px(size_t(c.W) * size_t(c.H));
    for (size_t i = 0; i < px.size(); ++i)
      px[i] = c.Kind == 0   ? 255
              : c.Kind == 1 ? uint8_t((i / 640) % 2 * 7)
              : c.Kind == 2 ? uint8_t(i % 5)
                            : uint8_t((i * i) >> 13);
    std::vector<uint8_t> data;
    TGIFFileFormat::EncodeLZWData(data, px.data(), c.Interlaced, 8, c.H, c.W);
    uint64_t digest = 1469598103934665603ull;
    for (uint8_t b : data) digest = (digest ^ b) * 1099511628211ull;
    EXPECT_EQ(data.size(), c.Size);
    EXPECT_EQ(digest, c.Digest);
    EXPECT_EQ(Decode(data, c.W, c.H, c.Interlaced), px);
  }
}

TEST(Gif, InterlacedRowOrder) {
  // Stored order of 10 rows: 0 8 | 4 | 2 6 | 1 3 5 7 9.
  const int32_t W = 3, H = 10;
  std::vector<uint8_t> px(W * H);
  for (int32_t y = 0; y < H; ++y)
    for (int32_t x = 0; x < W; ++x) px[size_t(y * W + x)] = uint8_t(y);
  std::vector<uint8_t> data;
  TGIFFileFormat::EncodeLZWData(data, px.data(), true, 8, H, W);
  std::vector<uint8_t> flat = Decode(data, W, H, false);
  const int order[10] = {0, 8, 4, 2, 6, 1, 3, 5, 7, 9};
  for (int32_t y = 0; y < H; ++y) EXPECT_EQ(flat[size_t(y * W)], order[y]) << y;
  // A single interlaced row decodes and stops.
  std::vector<uint8_t> one = {1, 2, 3, 4, 5};
  data.clear();
  TGIFFileFormat::EncodeLZWData(data, one.data(), true, 8, 1, 5);
  EXPECT_EQ(Decode(data, 5, 1, true), one);
}

TEST(Gif, LzwHostileStreams) {
  // Code sizes outside 2..9.
  for (int32_t size : {0, 1, 12, 13}) {
    TCodeWriter w(2);
    w.Clear();
    w.Code(1);
    w.End();
    std::vector<uint8_t> data = w.Data();
    data[0] = uint8_t(size);
    EXPECT_EQ(DecodeError(data, 4, 4), LZWError) << size;
  }
  EXPECT_EQ(DecodeError({}, 4, 4), LZWError);
  // A code past the next free code (4 clear, 5 end, next free 6).
  {
    TCodeWriter w(2);
    w.Clear();
    w.Code(0);
    w.Code(7);
    w.End();
    EXPECT_EQ(DecodeError(w.Data(), 4, 4), LZWError);
  }
  // The first code after a clear must be a pixel.
  {
    TCodeWriter w(2);
    w.Clear();
    w.Code(6);
    EXPECT_EQ(DecodeError(w.Data(), 4, 4), LZWError);
  }
  // The code equal to the next free one (KwKwK) is valid.
  {
    TCodeWriter w(2);
    w.Clear();
    w.Code(1);
    w.Code(6);  // "1" + "1"
    w.End();
    EXPECT_EQ(Decode(w.Data(), 3, 1), (std::vector<uint8_t>{1, 1, 1}));
  }
  // No clear code at the start: decoded as if there were one.
  {
    TCodeWriter w(2);
    w.Code(2);
    w.Code(3);
    w.End();
    EXPECT_EQ(Decode(w.Data(), 2, 1), (std::vector<uint8_t>{2, 3}));
  }
  // The sub-blocks run out (no end code, no terminator): decoding stops and
  // the rest stays 0.
  {
    std::vector<uint8_t> px(400, 3);
    for (size_t i = 0; i < px.size(); ++i) px[i] = uint8_t(1 + i % 3);
    std::vector<uint8_t> data;
    TGIFFileFormat::EncodeLZWData(data, px.data(), false, 2, 20, 20);
    std::vector<uint8_t> cut(data.begin(), data.begin() + 12);
    cut[1] = 10;  // one sub-block of 10 bytes, then the input ends
    std::vector<uint8_t> out = Decode(cut, 20, 20);
    EXPECT_EQ(out[0], px[0]);
    EXPECT_EQ(out[1], px[1]);
    EXPECT_EQ(out[399], 0);
    // With an early terminator instead.
    cut.push_back(0);
    cut.push_back(0x2A);  // bytes after the terminator are not image data
    out = Decode(cut, 20, 20);
    EXPECT_EQ(out[399], 0);
  }
}

// The table fills without a clear code: decoding goes on with 12-bit codes
// and adds no entries (deferred clear).
TEST(Gif, DeferredClearKeepsTwelveBitCodes) {
  TCodeWriter w(2);
  w.Clear();
  const int32_t zeros = 4200;  // more codes than the table has room for
  for (int32_t i = 0; i < zeros; ++i) w.Code(0);
  for (int32_t i = 0; i < 5; ++i) w.Code(1);
  w.Code(4095);  // the last entry: "0" + "0"
  w.End();
  std::vector<uint8_t> out = Decode(w.Data(), zeros + 7, 1);
  for (int32_t i = 0; i < zeros; ++i) ASSERT_EQ(out[size_t(i)], 0) << i;
  for (int32_t i = zeros; i < zeros + 5; ++i) EXPECT_EQ(out[size_t(i)], 1) << i;
  EXPECT_EQ(out[size_t(zeros + 5)], 0);
  EXPECT_EQ(out[size_t(zeros + 6)], 0);
  // A full table refuses nothing at 4095, but the next clear resets widths.
  TCodeWriter w2(2);
  w2.Clear();
  for (int32_t i = 0; i < zeros; ++i) w2.Code(0);
  w2.Clear();
  w2.Code(2);
  w2.Code(6);
  w2.End();
  out = Decode(w2.Data(), zeros + 3, 1);
  EXPECT_EQ(out[size_t(zeros)], 2);
  EXPECT_EQ(out[size_t(zeros + 1)], 2);
  EXPECT_EQ(out[size_t(zeros + 2)], 2);
}

// Frames: the canvas grows to the union of screen and frames; a frame wider
// than the screen keeps its own size; a broken frame is dropped alone.
TEST(Gif, FramesAndCanvas) {
  std::vector<uint8_t> a = RandomPixels(100, 1, 16), b = RandomPixels(10 * 12, 2, 16);
  TGifBuilder g;
  g.Header(10, 10, 4, 3);
  g.Frame(0, 0, 10, 10, a);
  g.Frame(5, 6, 10, 12, b);  // extends past the screen on both axes
  // A frame with a code past the next free one.
  g.Descriptor(0, 0, 4, 4, 0);
  TCodeWriter bad(2);
  bad.Clear();
  bad.Code(0);
  bad.Code(7);
  bad.End();
  g.Raw(bad.Data());
  // A frame placed far outside the screen.
  g.Frame(12, 0, 2, 2, std::vector<uint8_t>(4, 1));
  g.Trailer();

  TDynImageDataArray raw = LoadBytes(g.B, false);
  ASSERT_EQ(raw.size(), 2u);
  EXPECT_EQ(raw[0].Format, fmtIndex8);
  EXPECT_EQ(raw[1].Width, 10);
  EXPECT_EQ(raw[1].Height, 12);
  EXPECT_EQ(std::memcmp(raw[1].Bits, b.data(), b.size()), 0);
  ReleaseImageArray(raw);

  TDynImageDataArray frames = LoadBytes(g.B);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[1].Format, fmtA8R8G8B8);
  // The picture keeps the screen's size; frame 1 is clipped to it.
  EXPECT_EQ(frames[1].Width, 10);
  EXPECT_EQ(frames[1].Height, 10);
  // Global palette entry i = (7i, 13i, 255-i); frame 0 stays under frame 1
  // (no disposal).
  auto color = [](uint32_t i) { return Color32(255, uint8_t(i * 7), uint8_t(i * 13), uint8_t(255 - i)).Color; };
  EXPECT_EQ(Pixel(frames[1], 9, 9), color(b[size_t(3 * 10 + 4)]));
  EXPECT_EQ(Pixel(frames[1], 5, 6), color(b[0]));
  EXPECT_EQ(Pixel(frames[1], 2, 2), color(a[22]));
  EXPECT_EQ(Pixel(frames[1], 4, 6), color(a[64]));
  ReleaseImageArray(frames);
}

// The picture has the logical screen's size, as browsers and the peers show
// it: later frames are clipped, what no frame covers is transparent, a frame
// wholly outside is dropped, and only a first frame larger than the screen
// (a screen of 0 x 0, say) enlarges it.
TEST(Gif, LogicalScreenBoundsThePicture) {
  auto color = [](uint32_t i) { return Color32(255, uint8_t(i * 7), uint8_t(i * 13), uint8_t(255 - i)).Color; };
  struct TFrame {
    uint32_t L, T, W, H;
    uint8_t Index;
  };
  struct TCase {
    const char* Name;
    uint32_t ScreenW, ScreenH;
    std::vector<TFrame> Frames;
    int32_t Width, Height;
    size_t Count;
    // Expected pixels of the last picture: x, y, palette index or -1 for transparent.
    std::vector<std::array<int32_t, 3>> Pixels;
  };
  const TCase cases[] = {
      {"uncovered", 6, 6, {{1, 1, 2, 2, 5}}, 6, 6, 1, {{0, 0, -1}, {1, 1, 5}, {2, 2, 5}, {3, 3, -1}, {5, 5, -1}}},
      {"past the screen", 10, 10, {{0, 0, 10, 10, 1}, {5, 6, 10, 12, 2}}, 10, 10, 2,
       {{4, 5, 1}, {5, 6, 2}, {9, 9, 2}}},
      {"wholly outside", 6, 6, {{0, 0, 6, 6, 1}, {6, 0, 2, 2, 2}, {0, 9, 2, 2, 3}}, 6, 6, 1, {{5, 5, 1}}},
      {"zero screen", 0, 0, {{0, 0, 3, 2, 5}, {2, 1, 4, 4, 6}}, 3, 2, 2, {{0, 0, 5}, {1, 1, 5}, {2, 1, 6}}},
      {"small screen, offset first frame", 2, 2, {{1, 1, 3, 2, 4}}, 4, 3, 1, {{0, 0, -1}, {1, 1, 4}, {3, 2, 4}}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TGifBuilder g;
    g.Header(c.ScreenW, c.ScreenH, 3, 3);
    for (const TFrame& f : c.Frames) g.Frame(f.L, f.T, f.W, f.H, std::vector<uint8_t>(size_t(f.W) * f.H, f.Index));
    g.Trailer();
    TDynImageDataArray frames = LoadBytes(g.B);
    ASSERT_EQ(frames.size(), c.Count);
    for (const TImageData& f : frames) {
      EXPECT_EQ(f.Width, c.Width);
      EXPECT_EQ(f.Height, c.Height);
    }
    for (const auto& [x, y, index] : c.Pixels)
      EXPECT_EQ(Pixel(frames.back(), x, y), index < 0 ? 0u : color(uint32_t(index))) << x << "," << y;
    // Where every pixel is covered, ImageMagick's coalesced frames are ours.
    const bool covered = std::none_of(c.Pixels.begin(), c.Pixels.end(), [](const auto& p) { return p[2] < 0; });
    if (covered && frames.size() == c.Frames.size() && HaveMagick()) {
      TestSupport::TempDir tmp;
      const std::string file = tmp.File("screen.gif");
      TestSupport::WriteFileBytes(file, g.B);
      for (size_t k = 0; k < frames.size(); ++k) {
        int32_t w, h;
        std::vector<uint8_t> rgba;
        ASSERT_TRUE(MagickFrame(file, int32_t(k), true, w, h, rgba));
        EXPECT_EQ(w, frames[k].Width);
        EXPECT_EQ(h, frames[k].Height);
        EXPECT_EQ(CountDifferences(rgba, ArgbToRgba(frames[k])), 0u) << "frame " << k;
      }
    }
    ReleaseImageArray(frames);
    EXPECT_EQ(CountFrames(g.B, false), c.Count);
  }
}

// Disposal methods and transparency in the composed frames.
TEST(Gif, Composition) {
  auto color = [](uint32_t i) { return Color32(255, uint8_t(i * 7), uint8_t(i * 13), uint8_t(255 - i)).Color; };
  std::vector<uint8_t> full(16, 1);
  std::vector<uint8_t> patch = {2, 5, 5, 2};  // 5 is transparent
  for (int32_t disposal : {0, 1, 2, 3}) {
    SCOPED_TRACE(disposal);
    TGifBuilder g;
    g.Header(4, 4, 3, 4);
    g.Control(1, false, 0);
    g.Frame(0, 0, 4, 4, full);
    g.Control(disposal, true, 5);
    g.Frame(1, 1, 2, 2, patch);
    g.Control(0, false, 0);
    g.Frame(3, 3, 1, 1, {6});
    g.Trailer();
    TDynImageDataArray f = LoadBytes(g.B);
    ASSERT_EQ(f.size(), 3u);
    EXPECT_EQ(Pixel(f[1], 1, 1), color(2));
    EXPECT_EQ(Pixel(f[1], 2, 1), color(1));  // transparent pixel leaves frame 0 visible
    EXPECT_EQ(Pixel(f[2], 3, 3), color(6));
    uint32_t expected = color(2);
    if (disposal == 2) expected = Color32(0, 5 * 7, 5 * 13, 250).Color;  // its transparent entry
    if (disposal == 3) expected = color(1);                                // restored
    EXPECT_EQ(Pixel(f[2], 1, 1), expected);
    EXPECT_EQ(Pixel(f[2], 2, 1), disposal == 2 ? Color32(0, 5 * 7, 5 * 13, 250).Color : color(1));
    ReleaseImageArray(f);
  }
  // With LoadAnimated off: raw frames of their own sizes, transparent entry
  // with alpha 0.
  TGifBuilder g;
  g.Header(4, 4, 3, 0);
  g.Frame(0, 0, 4, 4, full);
  g.Control(0, true, 5);
  g.Frame(1, 1, 2, 2, patch, 3);
  g.Trailer();
  TDynImageDataArray raw = LoadBytes(g.B, false);
  ASSERT_EQ(raw.size(), 2u);
  EXPECT_EQ(raw[1].Width, 2);
  EXPECT_EQ(raw[1].Palette[5].A, 0);
  EXPECT_EQ(raw[1].Palette[2].Color, Color32(255, 2 * 7 + 100, 26, 253).Color);  // local palette
  EXPECT_EQ(raw[1].Palette[8].Color, 0u);                                        // beyond the local table
  EXPECT_EQ(raw[0].Palette[1].A, 255);
  ReleaseImageArray(raw);
}

// Hostile files: nothing decodable, oversized frames, a screen too large to
// compose: clean failure, no large allocation.
TEST(Gif, HostileFiles) {
  TGIFFileFormat* h = GifHandler();
  {
    TGifBuilder g;  // a frame claiming 65535 x 65535 pixels from 4 bytes
    g.Header(65535, 65535, 1);
    g.Descriptor(0, 0, 65535, 65535, 0);
    g.Raw({2, 2, 0x4C, 0x01, 0});
    g.Trailer();
    TDynImageDataArray images;
    EXPECT_FALSE(h->LoadFromMemory(g.B.data(), int32_t(g.B.size()), images));
    EXPECT_TRUE(images.empty());
  }
  {
    TGifBuilder g;  // a small frame on a screen whose canvas cannot be held
    g.Header(60000, 60000, 1);
    g.Frame(0, 0, 1, 1, {1});
    g.Trailer();
    TDynImageDataArray images;
    try {
      h->LoadFromMemory(g.B.data(), int32_t(g.B.size()), images);
      ADD_FAILURE() << "loaded";
    } catch (const EImagingError& e) {
      EXPECT_NE(std::string(e.what()).find("too large to compose"), std::string::npos) << e.what();
    }
    // Raw frames need no canvas.
    EXPECT_EQ(CountFrames(g.B, false), 1u);
  }
  {
    // Every cut of a valid file loads or fails cleanly.
    TGifBuilder g;
    g.Header(20, 20, 8);
    g.Frame(0, 0, 20, 20, RandomPixels(400, 5));
    g.Control(2, true, 0);
    g.Frame(2, 2, 5, 5, RandomPixels(25, 6), 8, true);
    g.Trailer();
    for (size_t cut = 13; cut < g.B.size(); cut += 7) {
      std::vector<uint8_t> part(g.B.begin(), g.B.begin() + long(cut));
      TDynImageDataArray images;
      try {
        h->LoadFromMemory(part.data(), int32_t(part.size()), images);
      } catch (const EImagingError&) {
      }
      ReleaseImageArray(images);
    }
  }
}

// Saving: exact header, control and descriptor bytes; screen = largest
// width and height; colour images are reduced to a palette.
TEST(Gif, SavedBytes) {
  TestSupport::InitCore();
  TImageData a = TestSupport::RandomImage(30, 10, fmtIndex8, 1);
  TImageData b = TestSupport::RandomImage(10, 20, fmtIndex8, 2);
  std::vector<uint8_t> buf(1 << 20);
  int32_t size = int32_t(buf.size());
  ASSERT_TRUE(GifHandler()->SaveToMemory(buf.data(), size, {a, b}));
  buf.resize(size_t(size));
  const uint8_t head[13] = {'G', 'I', 'F', '8', '9', 'a', 30, 0, 20, 0, 0x70, 0, 0};
  EXPECT_EQ(std::memcmp(buf.data(), head, 13), 0);
  const uint8_t control[8] = {0x21, 0xF9, 4, 0, 65, 0, 0, 0};
  EXPECT_EQ(std::memcmp(buf.data() + 13, control, 8), 0);
  const uint8_t desc[10] = {0x2C, 0, 0, 0, 0, 30, 0, 10, 0, 0x87};
  EXPECT_EQ(std::memcmp(buf.data() + 21, desc, 10), 0);
  for (int i = 0; i < 256; ++i) {
    EXPECT_EQ(buf[size_t(31 + i * 3)], a.Palette[i].R);
    EXPECT_EQ(buf[size_t(33 + i * 3)], a.Palette[i].B);
  }
  EXPECT_EQ(buf[31 + 768], 8);  // code size
  EXPECT_EQ(buf.back(), 0x3B);

  TDynImageDataArray back = LoadBytes(buf, false);
  ASSERT_EQ(back.size(), 2u);
  EXPECT_EQ(std::memcmp(back[0].Bits, a.Bits, size_t(a.Size)), 0);
  EXPECT_EQ(std::memcmp(back[1].Bits, b.Bits, size_t(b.Size)), 0);
  ReleaseImageArray(back);
  ReleaseImage(a);
  ReleaseImage(b);
}

TEST(Gif, ColourImagesAreReducedAndLoseAlpha) {
  TestSupport::InitCore();
  TImageData img;
  ASSERT_TRUE(CreateImage(40, 30, fmtA8R8G8B8, img));
  auto* p = static_cast<TColor32Rec*>(img.Bits);
  for (int32_t i = 0; i < 40 * 30; ++i) p[i] = Color32(uint8_t(i % 2 ? 0 : 255), uint8_t(i % 7 * 30), uint8_t(i % 5 * 50), 9);
  std::vector<uint8_t> buf(1 << 20);
  int32_t size = int32_t(buf.size());
  ASSERT_TRUE(GifHandler()->SaveToMemory(buf.data(), size, {img}));
  buf.resize(size_t(size));
  TDynImageDataArray back = LoadBytes(buf);
  ASSERT_EQ(back.size(), 1u);
  const auto* q = static_cast<const TColor32Rec*>(back[0].Bits);
  for (int32_t i = 0; i < 40 * 30; ++i) {
    // Fewer than 256 colours: every colour survives exactly, alpha does not.
    ASSERT_EQ(q[i].R, p[i].R) << i;
    ASSERT_EQ(q[i].G, p[i].G) << i;
    ASSERT_EQ(q[i].B, p[i].B) << i;
    ASSERT_EQ(q[i].A, 255) << i;
  }
  ReleaseImageArray(back);
  ReleaseImage(img);
}

namespace {
// A handler that cannot convert anything: every image is skipped.
class TNoConvertGif : public TGIFFileFormat {
public:
  void ConvertToAccepted(TImageData&, const TImageFormatInfo&) override {}
};
}  // namespace

TEST(Gif, SaveWithEveryImageSkippedFails) {
  TestSupport::InitCore();
  TNoConvertGif h;
  TImageData img = TestSupport::RandomImage(8, 8, fmtA8R8G8B8, 3);
  std::vector<uint8_t> buf(4096, 0xEE);
  int32_t size = int32_t(buf.size());
  EXPECT_FALSE(h.SaveToMemory(buf.data(), size, {img, img}));
  EXPECT_EQ(size, 0);
  EXPECT_EQ(buf[0], 0xEE);  // nothing written
  // One convertible image among unconvertible ones is written alone.
  TImageData idx = TestSupport::RandomImage(8, 8, fmtIndex8, 4);
  size = int32_t(buf.size());
  EXPECT_TRUE(h.SaveToMemory(buf.data(), size, {img, idx}));
  buf.resize(size_t(size));
  EXPECT_EQ(CountFrames(buf, false), 1u);
  ReleaseImage(img);
  ReleaseImage(idx);
}

// Files we write decode in ImageMagick and Pillow with the pixels we meant.
TEST(Gif, WrittenFilesDecodeInPeers) {
  if (!HaveMagick()) GTEST_SKIP() << "ImageMagick is not installed";
  TestSupport::TempDir tmp;
  TDynImageDataArray images;
  images.push_back(TestSupport::RandomImage(64, 48, fmtIndex8, 11));
  images.push_back(TestSupport::RandomImage(64, 48, fmtIndex8, 12));
  images.push_back(TestSupport::RandomImage(300, 200, fmtIndex8, 13));  // dictionary resets
  for (TImageData& i : images)
    for (int c = 0; c < 256; ++c) i.Palette[c].A = 255;
  std::string file = tmp.File("ours.gif");
  ASSERT_TRUE(GifHandler()->SaveToFile(file, images));
  EXPECT_EQ(MagickFrameCount(file), 3);
  for (int32_t k = 0; k < 3; ++k) {
    int32_t w, h;
    std::vector<uint8_t> rgba;
    ASSERT_TRUE(MagickFrame(file, k, false, w, h, rgba)) << k;
    EXPECT_EQ(w, images[size_t(k)].Width);
    EXPECT_EQ(CountDifferences(rgba, IndexedToRgba(images[size_t(k)])), 0u) << k;
  }
  if (TestSupport::HavePillow()) {
    std::string out;
    std::string script = "from PIL import Image\nim=Image.open('" + file +
                         "')\nimport sys\nfor i in range(im.n_frames):\n im.seek(i)\n f=im.convert('RGB')\n "
                         "sys.stdout.buffer.write(f.crop((0,0,64,48)).tobytes())\n";
    TestSupport::WriteFileBytes(tmp.File("p.py"), std::vector<uint8_t>(script.begin(), script.end()));
    ASSERT_EQ(TestSupport::RunCommand(TestSupport::PillowPython() + " '" + tmp.File("p.py") + "'", &out), 0);
    ASSERT_EQ(out.size(), size_t(64 * 48 * 3 * 3));
    for (int32_t k = 0; k < 2; ++k) {
      std::vector<uint8_t> rgba = IndexedToRgba(images[size_t(k)]);
      size_t diff = 0;
      for (size_t i = 0; i < size_t(64 * 48); ++i)
        for (int c = 0; c < 3; ++c) diff += uint8_t(out[size_t(k) * 64 * 48 * 3 + i * 3 + c]) != rgba[i * 4 + c];
      EXPECT_EQ(diff, 0u) << "Pillow frame " << k;
    }
  }
  ReleaseImageArray(images);
}

// Files written by ImageMagick, Pillow and giflib: every raw frame equals
// ImageMagick's decode of that frame; composed frames equal its coalesced
// frames where both follow the same disposal rules.
TEST(Gif, PeerFilesMatchImageMagick) {
  if (!HaveMagick()) GTEST_SKIP() << "ImageMagick is not installed";
  TestSupport::TempDir tmp;
  auto t = [&](const std::string& n) { return tmp.File(n); };
  std::vector<std::pair<std::string, std::string>> made = {
      {"static256.gif", "/usr/bin/convert -size 120x80 plasma:fractal -seed 3 -colors 256 " + t("static256.gif")},
      {"two.gif", "/usr/bin/convert -size 33x17 pattern:checkerboard -monochrome " + t("two.gif")},
      {"interlaced.gif", "/usr/bin/convert -size 90x61 gradient:red-blue -colors 64 -interlace GIF " + t("interlaced.gif")},
      {"transparent.gif", "/usr/bin/convert -size 40x40 xc:none -fill red -draw 'circle 20,20 20,5' " + t("transparent.gif")},
      {"dispose_none.gif", "/usr/bin/convert -dispose None -size 30x30 xc:blue \\( -size 10x10 xc:red -set page +5+5 \\) "
                           "\\( -size 10x10 xc:green -set page +12+12 \\) " + t("dispose_none.gif")},
      {"dispose_prev.gif", "/usr/bin/convert -size 30x30 xc:blue -dispose Previous \\( -size 10x10 xc:red -set page +5+5 \\) "
                           "\\( -size 10x10 xc:green -set page +12+12 \\) " + t("dispose_prev.gif")},
      {"dispose_bg_transparent.gif", "/usr/bin/convert -dispose Background -size 30x30 xc:none -fill blue -draw 'rectangle 0,0 14,29' "
                                     "\\( -size 10x10 xc:red -set page +5+5 \\) \\( -size 10x10 xc:green -set page +12+12 \\) " +
                                         t("dispose_bg_transparent.gif")},
  };
  for (auto& [name, cmd] : made) ASSERT_EQ(TestSupport::RunCommand(cmd + " 2>/dev/null"), 0) << cmd;
  if (TestSupport::HavePillow()) {
    std::string script =
        "from PIL import Image, ImageDraw\nfr=[]\nfor i in range(4):\n im=Image.new('P',(50,40),0)\n "
        "im.putpalette([j%256 for j in range(768)])\n d=ImageDraw.Draw(im)\n d.rectangle((i*8,i*5,i*8+20,i*5+15),fill=40+i*50)\n "
        "fr.append(im)\nfr[0].save('" + t("pillow.gif") + "',save_all=True,append_images=fr[1:],disposal=[0,1,2,1],"
        "transparency=0,duration=50,loop=0)\nImage.open('" + t("pillow.gif") + "').save('" + t("pillow_single.gif") +
        "',interlace=True)\n";
    TestSupport::WriteFileBytes(t("p.py"), std::vector<uint8_t>(script.begin(), script.end()));
    ASSERT_EQ(TestSupport::RunCommand(TestSupport::PillowPython() + " '" + t("p.py") + "'"), 0);
    made.push_back({"pillow.gif", ""});
    made.push_back({"pillow_single.gif", ""});
  }
  if (TestSupport::HaveProgram("gifbuild")) {
    // giflib's text form: a 16-colour screen, one interlaced image.
    std::ostringstream s;
    s << "screen width 8\nscreen height 6\nscreen colors 16\nscreen background 0\npixel aspect byte 0\n\n"
         "screen map\n\tsort flag off\n";
    for (int i = 0; i < 16; ++i) s << "\trgb " << i * 16 << " " << 255 - i * 16 << " " << i * 3 << "\n";
    s << "end\n\nimage # 0\nimage left 0\nimage top 0\nimage interlaced\nimage bits 8 by 6\n";
    const char* rows[6] = {"0123456789", "abcdef01", "23456789", "abcdefab", "cdef0123", "45678abc"};
    (void)rows;
    const char* digits = "0123456789abcdef";
    for (int y = 0; y < 6; ++y) {
      for (int x = 0; x < 8; ++x) s << digits[(x * 3 + y * 5) % 16];
      s << "\n";
    }
    s << "\n";
    std::string text = s.str();
    TestSupport::WriteFileBytes(t("g.txt"), std::vector<uint8_t>(text.begin(), text.end()));
    if (TestSupport::RunCommand("gifbuild '" + t("g.txt") + "' > '" + t("giflib.gif") + "' 2>/dev/null") == 0)
      made.push_back({"giflib.gif", ""});
  }

  for (auto& entry : made) {
    const std::string& name = entry.first;
    SCOPED_TRACE(name);
    std::string file = t(name);
    TDynImageDataArray raw, composed;
    ASSERT_TRUE(GifHandler()->LoadFromFile(file, composed));
    GifHandler()->SetLoadAnimated(false);
    ASSERT_TRUE(GifHandler()->LoadFromFile(file, raw));
    GifHandler()->SetLoadAnimated(true);
    int32_t count = MagickFrameCount(file);
    ASSERT_EQ(int32_t(raw.size()), count);
    ASSERT_EQ(composed.size(), raw.size());
    for (int32_t k = 0; k < count; ++k) {
      int32_t w, h;
      std::vector<uint8_t> rgba;
      ASSERT_TRUE(MagickFrame(file, k, false, w, h, rgba));
      ASSERT_EQ(w, raw[size_t(k)].Width) << k;
      ASSERT_EQ(h, raw[size_t(k)].Height) << k;
      EXPECT_EQ(CountDifferences(rgba, IndexedToRgba(raw[size_t(k)])), 0u) << "raw frame " << k;
      // ImageMagick clears a frame disposed to the background to transparent;
      // we fill it with the background colour when that frame itself has no
      // transparency (its frame 1 here), so only the frames up to 1 agree.
      if (name == "dispose_bg_transparent.gif" && k > 1) continue;
      ASSERT_TRUE(MagickFrame(file, k, true, w, h, rgba));
      EXPECT_EQ(w, composed[size_t(k)].Width);
      EXPECT_EQ(CountDifferences(rgba, ArgbToRgba(composed[size_t(k)])), 0u) << "composed frame " << k;
    }
    ReleaseImageArray(raw);
    ReleaseImageArray(composed);
  }
}

// The real files of the corpus: every good one loads; its raw frames equal
// ImageMagick's frames; the bad ones fail cleanly.
TEST(Gif, Corpus) {
  fs::path dir = TestSupport::CorpusDir() / "pillow/gif";
  int files = 0;
  for (const auto& e : fs::directory_iterator(dir)) {
    if (!e.is_regular_file()) continue;
    std::string file = e.path().string();
    SCOPED_TRACE(file);
    ++files;
    TDynImageDataArray composed, raw;
    ASSERT_TRUE(GifHandler()->LoadFromFile(file, composed));
    EXPECT_FALSE(composed.empty());
    GifHandler()->SetLoadAnimated(false);
    ASSERT_TRUE(GifHandler()->LoadFromFile(file, raw));
    GifHandler()->SetLoadAnimated(true);
    ASSERT_EQ(raw.size(), composed.size());
    if (HaveMagick()) {
      int32_t count = MagickFrameCount(file);
      EXPECT_EQ(int32_t(raw.size()), count);
      for (int32_t k = 0; k < std::min<int32_t>(count, 3); ++k) {
        int32_t w, h;
        std::vector<uint8_t> rgba;
        if (!MagickFrame(file, k, false, w, h, rgba)) continue;
        if (w != raw[size_t(k)].Width || h != raw[size_t(k)].Height) {
          ADD_FAILURE() << "frame " << k << " size " << raw[size_t(k)].Width << "x" << raw[size_t(k)].Height
                        << " vs ImageMagick " << w << "x" << h;
          continue;
        }
        // Colours only: the peers differ on which entries are transparent
        // only when a control block names one; compare those too.
        EXPECT_EQ(CountDifferences(rgba, IndexedToRgba(raw[size_t(k)])), 0u) << "frame " << k;
      }
    }
    ReleaseImageArray(raw);
    ReleaseImageArray(composed);
  }
  EXPECT_GE(files, 35);
  for (const auto& e : fs::directory_iterator(dir / "bad")) {
    SCOPED_TRACE(e.path().string());
    TDynImageDataArray images;
    try {
      bool ok = GifHandler()->LoadFromFile(e.path().string(), images);
      if (e.path().filename() != "decompression_bomb_extents.gif") {
        EXPECT_FALSE(ok);
      }
      // That one has a valid first frame; the frame placed at 65535,65535 is dropped.
      if (ok) {
        EXPECT_EQ(images.size(), 1u);
      }
    } catch (const EImagingError&) {
    }
    ReleaseImageArray(images);
  }
}

TEST(Gif, OneImageAskedForReadsOnlyTheFirstFrame) {
  // The first frame is what a whole load composes first; the rest of the
  // file is not read, so a damaged or oversized later frame does not matter.
  std::vector<uint8_t> a = RandomPixels(8 * 6, 4, 16);
  TGifBuilder g;
  g.Header(8, 6, 4, 2);
  g.Control(0, true, 5);
  g.Frame(0, 0, 8, 6, a);
  TGifBuilder whole = g;
  whole.Frame(2, 2, 4, 4, RandomPixels(16, 5, 16));
  whole.Trailer();
  g.Frame(0, 0, 40, 40, RandomPixels(1600, 6, 16));  // above the limit set below
  g.Raw({0x2C, 1, 2});                                // cut off in a descriptor
  TGIFFileFormat* h = GifHandler();
  for (bool animated : {true, false}) {
    SCOPED_TRACE(animated);
    h->SetLoadAnimated(animated);
    TDynImageDataArray all, first, damaged;
    ASSERT_TRUE(h->LoadFromMemory(whole.B.data(), int32_t(whole.B.size()), all));
    ASSERT_TRUE(h->LoadFromMemory(whole.B.data(), int32_t(whole.B.size()), first, true));
    ASSERT_EQ(all.size(), 2u);
    ASSERT_EQ(first.size(), 1u);
    ASSERT_EQ(first[0].Format, all[0].Format);
    ASSERT_EQ(first[0].Size, all[0].Size);
    EXPECT_EQ(std::memcmp(first[0].Bits, all[0].Bits, size_t(all[0].Size)), 0);
    const int32_t limit = GetImagingOption(OptMaxPixels);
    SetImagingOption(OptMaxPixels, 1000);
    EXPECT_TRUE(h->LoadFromMemory(g.B.data(), int32_t(g.B.size()), damaged, true));
    TDynImageDataArray refused;
    EXPECT_THROW(h->LoadFromMemory(g.B.data(), int32_t(g.B.size()), refused), EImagingError);
    SetImagingOption(OptMaxPixels, limit);
    ASSERT_EQ(damaged.size(), 1u);
    EXPECT_EQ(std::memcmp(damaged[0].Bits, all[0].Bits, size_t(all[0].Size)), 0);
    ReleaseImageArray(all);
    ReleaseImageArray(first);
    ReleaseImageArray(damaged);
  }
  h->SetLoadAnimated(true);
}
