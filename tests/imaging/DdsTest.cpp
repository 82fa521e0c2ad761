// DirectDraw Surface handler: registration, structure of mipmap chains, cube
// maps and volumes, exact headers written, hostile headers, the Pillow corpus
// and files exchanged with ImageMagick and Pillow in both directions.
#include <gtest/gtest.h>

#include "BmpTgaHelpers.h"
#include "ImagingDds.h"

using namespace Imaging;
using namespace BmpTga;
using TestSupport::CorpusDir;
using TestSupport::TempDir;

namespace {

TImageFileFormat* Dds() {
  TestSupport::InitCore();
  return FindHandlerByExtension("dds");
}

uint32_t Get32(const std::vector<uint8_t>& B, size_t Offset) {
  return uint32_t(B[Offset]) | uint32_t(B[Offset + 1]) << 8 | uint32_t(B[Offset + 2]) << 16 |
         uint32_t(B[Offset + 3]) << 24;
}
void Put32(std::vector<uint8_t>& B, size_t Offset, uint32_t V) {
  for (int i = 0; i < 4; ++i) B[Offset + i] = uint8_t(V >> (8 * i));
}

struct THeader {
  uint32_t Flags = 0x1007, Width = 4, Height = 4, Pitch = 0, Depth = 0, MipMaps = 0;
  uint32_t PfFlags = 0x40, FourCC = 0, Bits = 32, R = 0xFF0000, G = 0xFF00, B = 0xFF, A = 0;
  uint32_t Caps1 = 0x1000, Caps2 = 0;
};

std::vector<uint8_t> MakeDds(const THeader& H, size_t DataBytes, uint8_t Fill = 0) {
  std::vector<uint8_t> f(128, 0);
  Put32(f, 0, 0x20534444);
  Put32(f, 4, 124);
  Put32(f, 8, H.Flags);
  Put32(f, 12, H.Height);
  Put32(f, 16, H.Width);
  Put32(f, 20, H.Pitch);
  Put32(f, 24, H.Depth);
  Put32(f, 28, H.MipMaps);
  Put32(f, 76, 32);
  Put32(f, 80, H.PfFlags);
  Put32(f, 84, H.FourCC);
  Put32(f, 88, H.Bits);
  Put32(f, 92, H.R);
  Put32(f, 96, H.G);
  Put32(f, 100, H.B);
  Put32(f, 104, H.A);
  Put32(f, 108, H.Caps1);
  Put32(f, 112, H.Caps2);
  for (size_t i = 0; i < DataBytes; ++i) f.push_back(Fill ? Fill : uint8_t(i * 7 + 1));
  return f;
}

uint32_t Code(const char* S) { return uint32_t(S[0]) | uint32_t(S[1]) << 8 | uint32_t(S[2]) << 16 | uint32_t(S[3]) << 24; }

std::vector<uint8_t> Bytes(const TImageData& Image) {
  auto* p = static_cast<const uint8_t*>(Image.Bits);
  return std::vector<uint8_t>(p, p + Image.Size);
}

std::vector<uint8_t> SaveAll(const TDynImageDataArray& Images) {
  size_t total = 0;
  for (const TImageData& i : Images) total += size_t(i.Size) * 4;
  std::vector<uint8_t> buf(total + 65536);
  int32_t size = int32_t(buf.size());
  EXPECT_TRUE(Dds()->SaveToMemory(buf.data(), size, Images, false));
  buf.resize(size_t(size));
  return buf;
}

std::string SaveError(const TDynImageDataArray& Images) {
  std::vector<uint8_t> buf(1 << 20);
  int32_t size = int32_t(buf.size());
  try {
    Dds()->SaveToMemory(buf.data(), size, Images, false);
  } catch (const EImagingError& e) {
    return e.what();
  }
  return "";
}

// Resets the save options after a test changed them.
struct TSaveOptions {
  TSaveOptions(int32_t Cube, int32_t Volume, int32_t MipMaps, int32_t Depth) {
    Dds();
    SetImagingOption(OptDdsSaveCubeMap, Cube);
    SetImagingOption(OptDdsSaveVolume, Volume);
    SetImagingOption(OptDdsSaveMipMapCount, MipMaps);
    SetImagingOption(OptDdsSaveDepth, Depth);
  }
  ~TSaveOptions() {
    SetImagingOption(OptDdsSaveCubeMap, 0);
    SetImagingOption(OptDdsSaveVolume, 0);
    SetImagingOption(OptDdsSaveMipMapCount, 1);
    SetImagingOption(OptDdsSaveDepth, 1);
  }
};

struct TImages {
  TDynImageDataArray List;
  ~TImages() { ReleaseImageArray(List); }
};

}  // namespace

TEST(Dds, RegistrationAndContentTest) {
  TImageFileFormat* h = Dds();
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h->Name(), "DirectDraw Surface");
  EXPECT_EQ(h->Masks(), std::vector<std::string>{"*.dds"});
  EXPECT_TRUE(h->CanLoad() && h->CanSave() && h->IsMultiImageFormat());
  EXPECT_TRUE(h->SupportedFormats().Contains(fmtATI2N));
  EXPECT_FALSE(h->SupportedFormats().Contains(fmtBTC));
  EXPECT_EQ(GetImagingOption(OptDdsSaveMipMapCount), 1);
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
  std::vector<uint8_t> good = MakeDds(THeader{}, 0);
  EXPECT_TRUE(test(good));
  EXPECT_FALSE(test(std::vector<uint8_t>(good.begin(), good.begin() + 127)));
  THeader noTexture;
  noTexture.Caps1 = 0x8;
  EXPECT_FALSE(test(MakeDds(noTexture, 0)));
  good[3] = 'X';
  EXPECT_FALSE(test(good));
}

TEST(Dds, PixelFormatsFromTheDescription) {
  struct {
    uint32_t PfFlags, FourCC, Bits, R, G, B, A;
    TImageFormat Format;
    bool Swapped;
  } cases[] = {
      {0x4, 36, 0, 0, 0, 0, 0, fmtA16B16G16R16, false},
      {0x4, 111, 0, 0, 0, 0, 0, fmtR16F, false},
      {0x4, 113, 0, 0, 0, 0, 0, fmtA16B16G16R16F, false},
      {0x4, 114, 0, 0, 0, 0, 0, fmtR32F, false},
      {0x4, 116, 0, 0, 0, 0, 0, fmtA32B32G32R32F, false},
      {0x4, Code("ATI1"), 0, 0, 0, 0, 0, fmtATI1N, false},
      {0x4, Code("ATI2"), 0, 0, 0, 0, 0, fmtATI2N, false},
      {0x4, Code("DXT1"), 0, 0, 0, 0, 0, fmtDXT1, false},
      {0x4, Code("DXT3"), 0, 0, 0, 0, 0, fmtDXT3, false},
      {0x4, Code("DXT5"), 0, 0, 0, 0, 0, fmtDXT5, false},
      {0x41, 0, 16, 0xF00, 0xF0, 0xF, 0xF000, fmtA4R4G4B4, false},
      {0x41, 0, 16, 0x7C00, 0x3E0, 0x1F, 0x8000, fmtA1R5G5B5, false},
      {0x41, 0, 32, 0xFF0000, 0xFF00, 0xFF, 0xFF000000, fmtA8R8G8B8, false},
      {0x41, 0, 32, 0xFF, 0xFF00, 0xFF0000, 0xFF000000, fmtA8R8G8B8, true},
      {0x40, 0, 8, 0xE0, 0x1C, 0x3, 0, fmtR3G3B2, false},
      {0x40, 0, 16, 0xF00, 0xF0, 0xF, 0, fmtX4R4G4B4, false},
      {0x40, 0, 16, 0x7C00, 0x3E0, 0x1F, 0, fmtX1R5G5B5, false},
      {0x40, 0, 16, 0xF800, 0x7E0, 0x1F, 0, fmtR5G6B5, false},
      {0x40, 0, 24, 0xFF0000, 0xFF00, 0xFF, 0, fmtR8G8B8, false},
      {0x40, 0, 32, 0xFF0000, 0xFF00, 0xFF, 0, fmtX8R8G8B8, false},
      {0x40, 0, 32, 0xFF, 0xFF00, 0xFF0000, 0, fmtX8R8G8B8, true},
      {0x20000, 0, 8, 0xFF, 0, 0, 0, fmtGray8, false},
      {0x20000, 0, 16, 0xFFFF, 0, 0, 0, fmtGray16, false},
      {0x20001, 0, 16, 0xFF, 0, 0, 0xFF00, fmtA8Gray8, false},
      {0x40000, 0, 32, 0xFF, 0xFF00, 0xFF0000, 0, fmtX8R8G8B8, true},
      {0x80000, 0, 16, 0, 0, 0, 0, fmtA8Gray8, false},
      {0x80000, 0, 32, 0xFF, 0xFF00, 0xFF0000, 0xFF000000, fmtA8R8G8B8, true},
      {0x80000, 0, 64, 0, 0, 0, 0, fmtA16B16G16R16, false},
  };
  for (const auto& c : cases) {
    THeader h;
    h.PfFlags = c.PfFlags, h.FourCC = c.FourCC, h.Bits = c.Bits, h.R = c.R, h.G = c.G, h.B = c.B, h.A = c.A;
    const int64_t bytes = ImageBytesFor(c.Format, 4, 4);
    TImages images;
    ASSERT_EQ(LoadBytes(Dds(), MakeDds(h, size_t(bytes)), images.List), "") << FormatDisplayName(c.Format);
    ASSERT_EQ(images.List.size(), 1u);
    EXPECT_EQ(images.List[0].Format, c.Format);
    const std::vector<uint8_t> file = MakeDds(h, size_t(bytes));
    const std::vector<uint8_t> stored(file.begin() + 128, file.end());
    if (c.Swapped) {
      // Bytes 0 and 2 of every pixel exchanged.
      EXPECT_EQ(Bytes(images.List[0])[0], stored[2]);
      EXPECT_EQ(Bytes(images.List[0])[2], stored[0]);
      EXPECT_EQ(Bytes(images.List[0])[1], stored[1]);
    } else {
      EXPECT_EQ(Bytes(images.List[0]), stored) << FormatDisplayName(c.Format);
    }
  }
}

TEST(Dds, UnknownLayoutsNameTheReason) {
  struct {
    uint32_t PfFlags, FourCC, Bits, R, G, B, A;
    const char* Reason;
  } cases[] = {
      {0x4, Code("DX10"), 0, 0, 0, 0, 0, "DDS files with the DX10 header (DXGI format 98) are not supported."},
      {0x4, Code("BC4U"), 0, 0, 0, 0, 0, "Unsupported DDS pixel format: FourCC \"BC4U\"."},
      {0x4, 0, 0, 0, 0, 0, 0, "Unsupported DDS pixel format: FourCC 0."},
      {0x40, 0, 16, 0xF000, 0xF00, 0xF0, 0, "flags 40, 16 bits per pixel, masks f000 f00 f0 0."},
      {0x20, 0, 8, 0, 0, 0, 0, "flags 20, 8 bits per pixel"},
      {0x20001, 0, 8, 0xFF, 0, 0, 0, "flags 20001, 8 bits per pixel"},
  };
  for (const auto& c : cases) {
    THeader h;
    h.PfFlags = c.PfFlags, h.FourCC = c.FourCC, h.Bits = c.Bits, h.R = c.R, h.G = c.G, h.B = c.B, h.A = c.A;
    std::vector<uint8_t> f = MakeDds(h, 64);
    f[128] = 98;
    f[129] = f[130] = f[131] = 0;
    TImages images;
    std::string error = LoadBytes(Dds(), f, images.List);
    EXPECT_NE(error.find("Error while loading images from memory"), std::string::npos) << error;
    EXPECT_NE(error.find(c.Reason), std::string::npos) << error;
  }
}

TEST(Dds, StructureOfChainsCubeMapsAndVolumes) {
  struct {
    const char* Name;
    THeader Header;
    size_t DataBytes;
    std::vector<std::pair<int, int>> Sizes;
    int32_t MipMaps, Depth, Cube, Volume;
  } cases[] = {
      // 256 x 256 DXT1 with 9 levels: 2 x 2 and 1 x 1 are stored as whole blocks.
      {"dxt1 chain",
       {0xA1007, 256, 256, 32768, 0, 9, 0x4, Code("DXT1"), 0, 0, 0, 0, 0, 0x401008, 0},
       32768 + 8192 + 2048 + 512 + 128 + 32 + 8 + 8 + 8,
       {{256, 256}, {128, 128}, {64, 64}, {32, 32}, {16, 16}, {8, 8}, {4, 4}, {4, 4}, {4, 4}},
       9, 1, 0, 0},
      {"cube of six faces",
       {0x1007, 8, 8, 0, 0, 0, 0x40, 0, 8, 0xE0, 0x1C, 0x3, 0, 0x1008, 0xFE00},
       6 * 64,
       {{8, 8}, {8, 8}, {8, 8}, {8, 8}, {8, 8}, {8, 8}},
       1, 6, -1, 0},
      {"cube of two faces with three levels",
       {0x21007, 4, 4, 0, 0, 3, 0x40, 0, 8, 0xE0, 0x1C, 0x3, 0, 0x401008, 0x0E00},
       2 * (16 + 4 + 1),
       {{4, 4}, {2, 2}, {1, 1}, {4, 4}, {2, 2}, {1, 1}},
       3, 2, -1, 0},
      {"volume of four slices with three levels",
       {0x821007, 4, 2, 0, 4, 3, 0x20000, 0, 8, 0xFF, 0, 0, 0, 0x401008, 0x200000},
       4 * 8 + 2 * 2 + 1,
       {{4, 2}, {4, 2}, {4, 2}, {4, 2}, {2, 1}, {2, 1}, {1, 1}},
       3, 4, 0, -1},
      // The volume flag counts only with the depth flag.
      {"volume bit without depth flag",
       {0x1007, 4, 2, 0, 4, 0, 0x20000, 0, 8, 0xFF, 0, 0, 0, 0x1008, 0x200000}, 8, {{4, 2}}, 1, 1, 0, 0},
      // More levels than the chain has: the rest are 1 x 1.
      {"long chain", {0x21007, 2, 1, 0, 0, 4, 0x20000, 0, 8, 0xFF, 0, 0, 0, 0x401008, 0}, 2 + 1 + 1 + 1,
       {{2, 1}, {1, 1}, {1, 1}, {1, 1}}, 4, 1, 0, 0},
  };
  for (const auto& c : cases) {
    TImages images;
    ASSERT_EQ(LoadBytes(Dds(), MakeDds(c.Header, c.DataBytes), images.List), "") << c.Name;
    ASSERT_EQ(images.List.size(), c.Sizes.size()) << c.Name;
    size_t offset = 128;
    std::vector<uint8_t> file = MakeDds(c.Header, c.DataBytes);
    for (size_t i = 0; i < c.Sizes.size(); ++i) {
      EXPECT_EQ(images.List[i].Width, c.Sizes[i].first) << c.Name << " surface " << i;
      EXPECT_EQ(images.List[i].Height, c.Sizes[i].second) << c.Name << " surface " << i;
      EXPECT_EQ(Bytes(images.List[i]),
                std::vector<uint8_t>(file.begin() + offset, file.begin() + offset + images.List[i].Size))
          << c.Name << " surface " << i;
      offset += size_t(images.List[i].Size);
    }
    EXPECT_EQ(offset, file.size()) << c.Name;
    EXPECT_EQ(GetImagingOption(OptDdsLoadedMipMapCount), c.MipMaps) << c.Name;
    EXPECT_EQ(GetImagingOption(OptDdsLoadedDepth), c.Depth) << c.Name;
    EXPECT_EQ(GetImagingOption(OptDdsLoadedCubeMap), c.Cube) << c.Name;
    EXPECT_EQ(GetImagingOption(OptDdsLoadedVolume), c.Volume) << c.Name;
  }
}

TEST(Dds, PaddedRowsAndHeaderSizes) {
  // Pitch mode, 3 x 2 R8G8B8: rows of 9 bytes padded to a pitch of 12.
  THeader h;
  h.Flags = 0x100F, h.Width = 3, h.Height = 2, h.Pitch = 12, h.Bits = 24;
  std::vector<uint8_t> f = MakeDds(h, 24);
  TImages images;
  ASSERT_EQ(LoadBytes(Dds(), f, images.List), "");
  std::vector<uint8_t> expect(f.begin() + 128, f.begin() + 137);
  expect.insert(expect.end(), f.begin() + 140, f.begin() + 149);
  EXPECT_EQ(Bytes(images.List[0]), expect);
  // Levels after the first, and a first level without a pitch, are
  // unpadded rows.
  h.Flags = 0x2100F, h.MipMaps = 2, h.Caps1 = 0x401008;
  f = MakeDds(h, 24 + 3);
  ReleaseImageArray(images.List);
  ASSERT_EQ(LoadBytes(Dds(), f, images.List), "");
  ASSERT_EQ(images.List.size(), 2u);
  EXPECT_EQ(Bytes(images.List[0]), expect);
  EXPECT_EQ(Bytes(images.List[1]), std::vector<uint8_t>(f.begin() + 152, f.begin() + 155));
  h.Pitch = 0;
  f = MakeDds(h, 18 + 3);
  ReleaseImageArray(images.List);
  ASSERT_EQ(LoadBytes(Dds(), f, images.List), "");
  EXPECT_EQ(Bytes(images.List[0]), std::vector<uint8_t>(f.begin() + 128, f.begin() + 146));
  EXPECT_EQ(Bytes(images.List[1]), std::vector<uint8_t>(f.begin() + 146, f.begin() + 149));
  // A pitch larger than the row: the rest of each row is dropped.
  h.Pitch = 16, h.MipMaps = 0, h.Flags = 0x100F, h.Caps1 = 0x1000;
  f = MakeDds(h, 32);
  ReleaseImageArray(images.List);
  ASSERT_EQ(LoadBytes(Dds(), f, images.List), "");
  expect.assign(f.begin() + 128, f.begin() + 137);
  expect.insert(expect.end(), f.begin() + 144, f.begin() + 153);
  EXPECT_EQ(Bytes(images.List[0]), expect);
  // A linear size that does not fit the level (twice the level here, as some
  // writers store it) is not used: the size follows from the dimensions.
  THeader g;
  g.Flags = 0xA1007, g.Width = 2, g.Height = 2, g.Pitch = 8, g.MipMaps = 2, g.PfFlags = 0x20000, g.Bits = 8,
  g.R = 0xFF, g.Caps1 = 0x401008;
  f = MakeDds(g, 5);
  ReleaseImageArray(images.List);
  ASSERT_EQ(LoadBytes(Dds(), f, images.List), "");
  EXPECT_EQ(Bytes(images.List[0]), std::vector<uint8_t>(f.begin() + 128, f.begin() + 132));
  EXPECT_EQ(Bytes(images.List[1]), std::vector<uint8_t>{f[132]});
}

TEST(Dds, DeclaredDataBeyondTheFileFailsCleanly) {
  struct {
    const char* Name;
    THeader Header;
    size_t DataBytes;
    const char* Cause;
  } cases[] = {
      {"short base level", {0x1007, 4, 4, 0, 0, 0, 0x40, 0, 32, 0xFF0000, 0xFF00, 0xFF, 0, 0x1000, 0}, 63,
       "DDS data is truncated: surface 1 of 1 needs more than the 63 bytes left."},
      {"mipmaps beyond the end", {0x21007, 4, 4, 0, 0, 3, 0x20000, 0, 8, 0xFF, 0, 0, 0, 0x401008, 0}, 20,
       "surface 3 of 3"},
      {"huge chain", {0x21007, 1, 1, 0, 0, 0xFFFFFFFF, 0x20000, 0, 8, 0xFF, 0, 0, 0, 0x401008, 0}, 100,
       "DDS file declares 4294967295 surfaces"},
      {"missing cube faces", {0x1007, 4, 4, 0, 0, 0, 0x20000, 0, 8, 0xFF, 0, 0, 0, 0x1008, 0xFE00}, 16 * 5,
       "surface 6 of 6"},
      {"cube without faces", {0x1007, 4, 4, 0, 0, 0, 0x20000, 0, 8, 0xFF, 0, 0, 0, 0x1008, 0x200}, 16,
       "DDS cube map has no faces."},
      {"deep volume", {0x821007, 4, 4, 0, 0x7FFFFFFF, 0, 0x20000, 0, 8, 0xFF, 0, 0, 0, 0x1008, 0x200000}, 16,
       "declares 2147483647 surfaces"},
      {"short block data", {0x81007, 8, 4, 0xFFFFFFF0, 0, 0, 0x4, Code("DXT1"), 0, 0, 0, 0, 0, 0x1000, 0}, 8,
       "surface 1 of 1 needs more than the 8 bytes left"},
      {"huge pitch", {0x100F, 4, 0x10000, 0x10000, 0, 0, 0x20000, 0, 8, 0xFF, 0, 0, 0, 0x1000, 0}, 8,
       "surface 1 of 1"},
      {"huge dimensions", {0x1007, 0x80000000, 1, 0, 0, 0, 0x20000, 0, 8, 0xFF, 0, 0, 0, 0x1000, 0}, 8,
       "Invalid DDS dimensions 2147483648 x 1."},
      {"pitch shorter than a row", {0x100F, 0x4000000, 5, 3, 0, 0, 0x40, 0, 32, 0xFF0000, 0xFF00, 0xFF, 0, 0x1000, 0},
       64, "DDS pitch of 3 bytes is shorter than a row of 268435456 bytes."},
      {"huge both ways", {0x100F, 0x7FFFFFFF, 0x7FFFFFFF, 0xFFFFFFFF, 0, 0, 0x4, 116, 0, 0, 0, 0, 0, 0x1000, 0}, 8,
       "DDS image of 2147483647 x 2147483647 pixels is too large."},
      {"zero width", {0x1007, 0, 1, 0, 0, 0, 0x20000, 0, 8, 0xFF, 0, 0, 0, 0x1000, 0}, 8, "Invalid DDS dimensions"},
      {"too large image", {0x81007, 0x10000, 0x8000, 1, 0, 0, 0x40, 0, 32, 0xFF0000, 0xFF00, 0xFF, 0, 0x1000, 0}, 8,
       "surface 1 of 1 needs more than the 8 bytes left."},
  };
  for (const auto& c : cases) {
    TImages images;
    std::string error = LoadBytes(Dds(), MakeDds(c.Header, c.DataBytes), images.List);
    EXPECT_NE(error.find("Error while loading images from memory"), std::string::npos) << c.Name << ": " << error;
    EXPECT_NE(error.find(c.Cause), std::string::npos) << c.Name << ": " << error;
    EXPECT_TRUE(images.List.empty()) << c.Name;
  }
}

TEST(Dds, OneImageAskedForStopsAfterTheFirstSurface) {
  // Levels 2 and 3 are missing: the whole load fails, the first level alone
  // loads, and the structure is still reported.
  THeader h{0x21007, 4, 4, 0, 0, 3, 0x20000, 0, 8, 0xFF, 0, 0, 0, 0x401008, 0};
  std::vector<uint8_t> f = MakeDds(h, 16);
  TImages images;
  EXPECT_NE(LoadBytes(Dds(), f, images.List), "");
  ASSERT_TRUE(Dds()->LoadFromMemory(f.data(), int32_t(f.size()), images.List, true));
  ASSERT_EQ(images.List.size(), 1u);
  EXPECT_EQ(GetImagingOption(OptDdsLoadedMipMapCount), 3);
  TMemoryStream stream(f);
  TImageData image;
  ASSERT_TRUE(ReadImageStream(&stream, image));
  EXPECT_EQ(image.Width, 4);
  ReleaseImage(image);
}

TEST(Dds, HeadersWritten) {
  struct {
    TImageFormat Source, Written;
    uint32_t PfFlags, FourCC, Bits, R, G, B, A;
  } cases[] = {
      {fmtGray8, fmtGray8, 0x20000, 0, 8, 0xFF, 0, 0, 0},
      {fmtGray16, fmtGray16, 0x20000, 0, 16, 0xFFFF, 0, 0, 0},
      {fmtA8Gray8, fmtA8Gray8, 0x20001, 0, 16, 0xFF, 0, 0, 0xFF00},
      {fmtA16Gray16, fmtA8Gray8, 0x20001, 0, 16, 0xFF, 0, 0, 0xFF00},
      {fmtGray32, fmtGray16, 0x20000, 0, 16, 0xFFFF, 0, 0, 0},
      {fmtR3G3B2, fmtR3G3B2, 0x40, 0, 8, 0xE0, 0x1C, 0x3, 0},
      {fmtR5G6B5, fmtR5G6B5, 0x40, 0, 16, 0xF800, 0x7E0, 0x1F, 0},
      {fmtA1R5G5B5, fmtA1R5G5B5, 0x41, 0, 16, 0x7C00, 0x3E0, 0x1F, 0x8000},
      {fmtA4R4G4B4, fmtA4R4G4B4, 0x41, 0, 16, 0xF00, 0xF0, 0xF, 0xF000},
      {fmtX1R5G5B5, fmtX1R5G5B5, 0x40, 0, 16, 0x7C00, 0x3E0, 0x1F, 0},
      {fmtX4R4G4B4, fmtX4R4G4B4, 0x40, 0, 16, 0xF00, 0xF0, 0xF, 0},
      {fmtR8G8B8, fmtR8G8B8, 0x40, 0, 24, 0xFF0000, 0xFF00, 0xFF, 0},
      {fmtA8R8G8B8, fmtA8R8G8B8, 0x41, 0, 32, 0xFF0000, 0xFF00, 0xFF, 0xFF000000},
      {fmtX8R8G8B8, fmtX8R8G8B8, 0x40, 0, 32, 0xFF0000, 0xFF00, 0xFF, 0},
      {fmtX5R1G1B1, fmtX8R8G8B8, 0x40, 0, 32, 0xFF0000, 0xFF00, 0xFF, 0},
      {fmtIndex8, fmtA8R8G8B8, 0x41, 0, 32, 0xFF0000, 0xFF00, 0xFF, 0xFF000000},
      {fmtR16G16B16, fmtA16B16G16R16, 0x4, 36, 0, 0, 0, 0, 0},
      {fmtA16B16G16R16, fmtA16B16G16R16, 0x4, 36, 0, 0, 0, 0, 0},
      {fmtR32F, fmtR32F, 0x4, 114, 0, 0, 0, 0, 0},
      {fmtA32R32G32B32F, fmtA32B32G32R32F, 0x4, 116, 0, 0, 0, 0, 0},
      {fmtR16F, fmtR16F, 0x4, 111, 0, 0, 0, 0, 0},
      {fmtA16R16G16B16F, fmtA16B16G16R16F, 0x4, 113, 0, 0, 0, 0, 0},
      {fmtDXT1, fmtDXT1, 0x4, Code("DXT1"), 0, 0, 0, 0, 0},
      {fmtDXT3, fmtDXT3, 0x4, Code("DXT3"), 0, 0, 0, 0, 0},
      {fmtDXT5, fmtDXT5, 0x4, Code("DXT5"), 0, 0, 0, 0, 0},
      {fmtATI1N, fmtATI1N, 0x4, Code("ATI1"), 0, 0, 0, 0, 0},
      {fmtATI2N, fmtATI2N, 0x4, Code("ATI2"), 0, 0, 0, 0, 0},
      {fmtBTC, fmtA8R8G8B8, 0x41, 0, 32, 0xFF0000, 0xFF00, 0xFF, 0xFF000000},
  };
  for (const auto& c : cases) {
    TImageData image = TestSupport::RandomImage(8, 4, c.Source, 3);
    std::vector<uint8_t> f = SaveBytes(Dds(), image);
    TImageData expected;
    ASSERT_TRUE(DuplicateImage(image, expected));
    ChangeImageFormat(expected, c.Written);
    ASSERT_EQ(f.size(), 128u + size_t(expected.Size)) << FormatDisplayName(c.Source);
    EXPECT_EQ(Get32(f, 0), 0x20534444u);
    EXPECT_EQ(Get32(f, 4), 124u);
    EXPECT_EQ(Get32(f, 8), 0x81007u);
    EXPECT_EQ(Get32(f, 12), 4u);
    EXPECT_EQ(Get32(f, 16), 8u);
    EXPECT_EQ(Get32(f, 20), uint32_t(expected.Size));
    EXPECT_EQ(Get32(f, 28), 0u);
    EXPECT_EQ(Get32(f, 76), 32u);
    const char* name = FormatDisplayName(c.Source).c_str();
    EXPECT_EQ(Get32(f, 80), c.PfFlags) << name;
    EXPECT_EQ(Get32(f, 84), c.FourCC) << name;
    EXPECT_EQ(Get32(f, 88), c.Bits) << name;
    EXPECT_EQ(Get32(f, 92), c.R) << name;
    EXPECT_EQ(Get32(f, 96), c.G) << name;
    EXPECT_EQ(Get32(f, 100), c.B) << name;
    EXPECT_EQ(Get32(f, 104), c.A) << name;
    EXPECT_EQ(Get32(f, 108), 0x1000u);
    EXPECT_EQ(Get32(f, 112), 0u);
    EXPECT_EQ(std::vector<uint8_t>(f.begin() + 128, f.end()), Bytes(expected)) << name;
    // And back: the same format and bytes.
    TImages back;
    ASSERT_EQ(LoadBytes(Dds(), f, back.List), "") << name;
    EXPECT_EQ(back.List[0].Format, c.Written);
    EXPECT_EQ(Bytes(back.List[0]), Bytes(expected)) << name;
    ReleaseImage(expected);
    ReleaseImage(image);
  }
}

TEST(Dds, MipmapChainsWritten) {
  TImages images;
  for (int s : {64, 32, 16}) images.List.push_back(TestSupport::RandomImage(s, s, fmtA8R8G8B8, s));
  std::vector<uint8_t> f = SaveAll(images.List);
  EXPECT_EQ(Get32(f, 8), 0xA1007u);
  EXPECT_EQ(Get32(f, 28), 3u);
  EXPECT_EQ(Get32(f, 108), 0x401008u);
  ASSERT_EQ(f.size(), 128u + 4 * (64 * 64 + 32 * 32 + 16 * 16));
  TImages back;
  ASSERT_EQ(LoadBytes(Dds(), f, back.List), "");
  ASSERT_EQ(back.List.size(), 3u);
  for (size_t i = 0; i < 3; ++i) EXPECT_EQ(Bytes(back.List[i]), Bytes(images.List[i]));

  // A level of the wrong size and format is converted and resized.
  TImages odd;
  odd.List.push_back(TestSupport::RandomImage(64, 64, fmtA8R8G8B8, 1));
  odd.List.push_back(TestSupport::RandomImage(40, 40, fmtR8G8B8, 2));
  f = SaveAll(odd.List);
  TImageData expected;
  ASSERT_TRUE(DuplicateImage(odd.List[1], expected));
  ChangeImageFormat(expected, fmtA8R8G8B8);
  ScaleImage(expected, 32, 32, rfBilinear);
  ASSERT_EQ(f.size(), 128u + 4 * (64 * 64 + 32 * 32));
  EXPECT_EQ(std::vector<uint8_t>(f.begin() + 128 + 4 * 64 * 64, f.end()), Bytes(expected));
  ReleaseImage(expected);

  // More images than the chain has levels: the chain ends at 1 x 1.
  TImages many;
  for (int i = 0; i < 6; ++i) many.List.push_back(TestSupport::RandomImage(4, 2, fmtGray8, i));
  f = SaveAll(many.List);
  EXPECT_EQ(Get32(f, 28), 3u);
  EXPECT_EQ(f.size(), 128u + 8 + 2 + 1);

  // Block levels below a block: compressed from the plain level resized to
  // its real size, into the corner that decoders read.
  TImages blocks;
  blocks.List.push_back(TestSupport::RandomImage(8, 8, fmtA8R8G8B8, 5));
  ChangeImageFormat(blocks.List[0], fmtDXT5);
  blocks.List.push_back(TestSupport::RandomImage(4, 4, fmtA8R8G8B8, 6));
  blocks.List.push_back(TestSupport::RandomImage(2, 2, fmtA8R8G8B8, 7));
  f = SaveAll(blocks.List);
  EXPECT_EQ(Get32(f, 28), 3u);
  ASSERT_EQ(f.size(), 128u + 64 + 16 * 2);
  TImages loaded;
  ASSERT_EQ(LoadBytes(Dds(), f, loaded.List), "");
  ASSERT_EQ(loaded.List.size(), 3u);
  TImageData corner;
  ASSERT_TRUE(DuplicateImage(loaded.List[2], corner));
  ChangeImageFormat(corner, fmtA8R8G8B8);
  TImageData small;
  ASSERT_TRUE(DuplicateImage(blocks.List[2], small));
  TImageData packed;
  ASSERT_TRUE(DuplicateImage(small, packed));
  ChangeImageFormat(packed, fmtDXT5);
  ChangeImageFormat(packed, fmtA8R8G8B8);
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 2; ++x) EXPECT_EQ(ReadPixel32(corner, x, y).Color, ReadPixel32(packed, x, y).Color);
  ReleaseImage(corner);
  ReleaseImage(small);
  ReleaseImage(packed);
}

TEST(Dds, CubeMapsAndVolumesWritten) {
  {
    TSaveOptions options(1, 0, 2, 6);
    TImages images;
    for (int face = 0; face < 6; ++face) {
      images.List.push_back(TestSupport::RandomImage(8, 8, fmtA8R8G8B8, face * 2));
      images.List.push_back(TestSupport::RandomImage(4, 4, fmtA8R8G8B8, face * 2 + 1));
    }
    std::vector<uint8_t> f = SaveAll(images.List);
    EXPECT_EQ(Get32(f, 8), 0xA1007u);
    EXPECT_EQ(Get32(f, 108), 0x401008u);
    EXPECT_EQ(Get32(f, 112), 0xFE00u);
    EXPECT_EQ(Get32(f, 28), 2u);
    TImages back;
    ASSERT_EQ(LoadBytes(Dds(), f, back.List), "");
    ASSERT_EQ(back.List.size(), 12u);
    for (size_t i = 0; i < 12; ++i) EXPECT_EQ(Bytes(back.List[i]), Bytes(images.List[i])) << i;
    EXPECT_EQ(GetImagingOption(OptDdsLoadedCubeMap), -1);
    EXPECT_EQ(GetImagingOption(OptDdsLoadedDepth), 6);
    // Ten images are too few for six faces of two levels.
    TDynImageDataArray ten(images.List.begin(), images.List.begin() + 10);
    EXPECT_NE(SaveError(ten).find("A DDS cube map of 6 faces with 2 levels needs 12 images, 10 were given."),
              std::string::npos)
        << SaveError(ten);
    SetImagingOption(OptDdsSaveDepth, 3);
    SetImagingOption(OptDdsSaveMipMapCount, 1);
    TDynImageDataArray three(images.List.begin(), images.List.begin() + 3);
    f = SaveAll(three);
    EXPECT_EQ(Get32(f, 112), 0x1E00u);
    EXPECT_EQ(Get32(f, 8), 0x81007u);
    EXPECT_EQ(Get32(f, 108), 0x1008u);
    SetImagingOption(OptDdsSaveDepth, 7);
    EXPECT_NE(SaveError(images.List).find("A DDS cube map has at most 6 faces, 7 were asked for."),
              std::string::npos);
  }
  {
    TSaveOptions options(0, 1, 2, 3);
    TImages images;
    for (int i = 0; i < 3; ++i) images.List.push_back(TestSupport::RandomImage(4, 4, fmtGray8, i));
    EXPECT_NE(SaveError(images.List).find("A DDS volume of 3 slices with 2 levels needs 4 images, 3 were given."),
              std::string::npos);
    images.List.push_back(TestSupport::RandomImage(2, 2, fmtGray8, 9));
    std::vector<uint8_t> f = SaveAll(images.List);
    EXPECT_EQ(Get32(f, 8), 0x8A1007u);
    EXPECT_EQ(Get32(f, 24), 3u);
    EXPECT_EQ(Get32(f, 112), 0x200000u);
    EXPECT_EQ(f.size(), 128u + 3 * 16 + 4);
    TImages back;
    ASSERT_EQ(LoadBytes(Dds(), f, back.List), "");
    ASSERT_EQ(back.List.size(), 4u);
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(Bytes(back.List[i]), Bytes(images.List[i])) << i;
    EXPECT_EQ(GetImagingOption(OptDdsLoadedVolume), -1);
    EXPECT_EQ(GetImagingOption(OptDdsLoadedDepth), 3);
    // Both options set: the cube map wins; values below 1 become 1.
    SetImagingOption(OptDdsSaveCubeMap, 1);
    SetImagingOption(OptDdsSaveDepth, 0);
    SetImagingOption(OptDdsSaveMipMapCount, -5);
    f = SaveAll(images.List);
    EXPECT_EQ(Get32(f, 112), 0x600u);
    EXPECT_EQ(GetImagingOption(OptDdsSaveVolume), 0);
    EXPECT_EQ(GetImagingOption(OptDdsSaveDepth), 1);
    EXPECT_EQ(GetImagingOption(OptDdsSaveMipMapCount), 1);
  }
}

// Every corpus file loads as Pillow decodes it (the block formats exactly
// against Pillow's decoder), or fails with a reason when it is a layout
// outside the handler (DX10 headers, BC4U/BC5U codes, palettes).
TEST(DdsCorpus, FilesLoadAsPillowDecodesThem) {
  std::vector<std::string> files = FilesIn(CorpusDir() / "pillow/dds", ".dds");
  if (files.empty()) GTEST_SKIP() << "corpus is missing";
  if (!TestSupport::HavePillow()) GTEST_SKIP() << "Pillow is not installed";
  TempDir tmp;
  std::vector<TRgbaImage> pillow = PillowDecode(files, tmp);
  int compared = 0, refused = 0;
  for (size_t i = 0; i < files.size(); ++i) {
    std::string name = fs::path(files[i]).filename().string();
    TImageFormat format = fmtNone;
    TRgbaImage own = OwnDecode(Dds(), files[i], &format);
    std::vector<uint8_t> head = TestSupport::ReadFileBytes(files[i]);
    const bool dx10 = Get32(head, 84) == Code("DX10");
    if (!own.Ok) {
      // Refused: a layout the handler does not read, named in the message.
      ++refused;
      EXPECT_EQ(own.Error.rfind(LoadingMessage(files[i], "dds"), 0), 0u) << own.Error;
      EXPECT_TRUE(own.Error.find("DX10 header (DXGI format") != std::string::npos ||
                  own.Error.find("Unsupported DDS pixel format") != std::string::npos)
          << name << ": " << own.Error;
      EXPECT_TRUE(dx10 || Get32(head, 84) == Code("BC4U") || Get32(head, 84) == Code("BC5U") ||
                  Get32(head, 84) == Code("BC5S") || name == "palette.dds")
          << name << " refused: " << own.Error;
      continue;
    }
    if (!pillow[i].Ok) {
      // Pillow does not read 15-bit files; its test picture is beside it.
      fs::path png = fs::path(files[i]).replace_extension(".png");
      ASSERT_TRUE(fs::exists(png)) << name;
      pillow[i] = PillowDecodeOne(png.string(), tmp);
    }
    // Pillow truncates the thirds and sevenths of the block interpolation;
    // our codec rounds them to nearest, so block formats differ by at most 1.
    TImageFormatInfo info;
    QueryFormatInfo(format, info);
    // Packed 16-bit pixels reach 8 bits here through the converter's 16-bit
    // working colour, which can land one below Pillow's r5 * 255 / 31.
    const bool packed = info.BytesPerPixel == 2 && !info.HasGrayChannel;
    EXPECT_EQ(CompareRgba(own, pillow[i], info.IsSpecial || packed ? 1 : 0, true), "")
        << name << " (" << FormatDisplayName(format) << ")";
    ++compared;
  }
  EXPECT_GE(compared, 10);
  EXPECT_GE(refused, 10);
}

TEST(DdsCorpus, BadFilesFailWithTheLoadingMessage) {
  std::vector<std::string> files = FilesIn(CorpusDir() / "pillow/dds/bad", ".dds");
  if (files.empty()) GTEST_SKIP() << "corpus is missing";
  for (const std::string& f : files) {
    TRgbaImage own = OwnDecode(Dds(), f);
    if (own.Ok) {
      // A 24-bit RGB file whose masks are all zero: 24-bit data is read as
      // R8G8B8 whatever the masks say.
      EXPECT_EQ(fs::path(f).filename(), "zero_mask_totals.dds");
      continue;
    }
    EXPECT_TRUE(own.Error.rfind(LoadingMessage(f, "dds"), 0) == 0 ||
                own.Error.rfind("File \"" + f + "\" is not valid image", 0) == 0)
        << own.Error;
  }
}

// ImageMagick's DDS files (DXT1, DXT5 and uncompressed, with and without
// mipmaps) load with ImageMagick's pixels; every level is checked.
TEST(DdsPeers, MagickFilesLoadWithMagickPixels) {
  REQUIRE_PROGRAM("convert");
  TempDir dir;
  std::string src = dir.File("src.png");
  ASSERT_EQ(TestSupport::RunCommand("convert -size 64x32 xc: -seed 3 +noise Random -alpha set -channel A -fx "
                                    "'rand()' +channel '" + src + "'"),
            0);
  for (const char* compression : {"dxt1", "dxt5", "none"}) {
    for (int mipmaps : {0, 3}) {
      std::string file = dir.File(std::string(compression) + std::to_string(mipmaps) + ".dds");
      ASSERT_EQ(TestSupport::RunCommand("convert '" + src + "' -define dds:compression=" + compression +
                                        " -define dds:mipmaps=" + std::to_string(mipmaps) + " '" + file + "'"),
                0);
      TImages images;
      ASSERT_TRUE(Dds()->LoadFromFile(file, images.List)) << file;
      ASSERT_EQ(images.List.size(), size_t(mipmaps + 1)) << file;
      // Only the first level is compared: ImageMagick skips the others.
      for (int level = 1; level <= mipmaps; ++level) {
        EXPECT_EQ(images.List[size_t(level)].Width, std::max(4, 64 >> level)) << file;
        EXPECT_EQ(images.List[size_t(level)].Height, std::max(4, 32 >> level)) << file;
      }
      // ImageMagick truncates the block interpolation like Pillow.
      const bool blocks = std::string(compression) != "none";
      EXPECT_EQ(CompareRgba(ToRgba(images.List[0]), MagickDecode(file), blocks ? 1 : 0,
                            std::string(compression) != "dxt1"),
                "")
          << compression;
    }
  }
}

// What we write in every pixel format is read back by ImageMagick and
// Pillow with the pixels of our own decode.
TEST(DdsPeers, OurFilesDecodeAlikeInThePeers) {
  REQUIRE_PROGRAM("convert");
  TempDir dir;
  const TImageFormat formats[] = {fmtA8R8G8B8, fmtX8R8G8B8, fmtR8G8B8,   fmtDXT1,     fmtDXT3,     fmtDXT5,
                                  fmtGray8,    fmtA8Gray8,  fmtR5G6B5,   fmtATI1N,    fmtA1R5G5B5, fmtA4R4G4B4,
                                  fmtATI2N};
  std::vector<std::string> files;
  std::vector<TRgbaImage> own;
  for (TImageFormat format : formats) {
    TImageData image = TestSupport::RandomImage(32, 16, fmtA8R8G8B8, uint32_t(format));
    if (format == fmtDXT1) {
      // One-bit alpha, as DXT1 stores it.
      auto* p = static_cast<uint8_t*>(image.Bits);
      for (int i = 0; i < 32 * 16; ++i) p[i * 4 + 3] = p[i * 4 + 3] & 0x80 ? 255 : 0;
    }
    ChangeImageFormat(image, format);
    std::string file = dir.File(FormatDisplayName(format) + ".dds");
    ASSERT_TRUE(WriteImageFile(file, image));
    own.push_back(ToRgba(image));
    files.push_back(file);
    ReleaseImage(image);
  }
  std::vector<TRgbaImage> pillow = PillowDecode(files, dir);
  for (size_t i = 0; i < files.size(); ++i) {
    std::string name = FormatDisplayName(formats[i]);
    TRgbaImage magick = MagickDecode(files[i]);
    // Transparent DXT1 pixels carry a colour here and black in the peers.
    for (TRgbaImage* peer : {&magick, &pillow[i]})
      for (size_t p = 0; peer->Ok && p < peer->Rgba.size(); p += 4)
        if (peer->Rgba[p + 3] == 0 && own[i].Rgba[p + 3] == 0)
          for (int c = 0; c < 3; ++c) own[i].Rgba[p + c] = peer->Rgba[p + c];
    const bool gray =
        formats[i] == fmtGray8 || formats[i] == fmtA8Gray8 || formats[i] == fmtATI1N || formats[i] == fmtATI2N;
    // ImageMagick 6 reads neither luminance nor ATI nor 16-bit layouts.
    TImageFormatInfo info;
    QueryFormatInfo(formats[i], info);
    const int tolerance = info.IsSpecial ? 1 : 0;
    if (magick.Ok && !gray && formats[i] != fmtR5G6B5 && formats[i] != fmtA1R5G5B5 && formats[i] != fmtA4R4G4B4) {
      EXPECT_EQ(CompareRgba(magick, own[i], tolerance, true), "") << "ImageMagick, " << name;
    }
    // Pillow 9 reads 32-bit RGB without alpha as 24-bit pixels (its fault;
    // ImageMagick reads the file as written).
    if (pillow[i].Ok && formats[i] != fmtX8R8G8B8) {
      EXPECT_EQ(CompareRgba(pillow[i], own[i], tolerance, PillowHasAlpha(pillow[i])), "") << "Pillow, " << name;
    }
  }
  EXPECT_TRUE(pillow[0].Ok && pillow[3].Ok && pillow[5].Ok && pillow[6].Ok);
}

// Mipmapped and cube map files: the peers read the first surface, with our
// pixels (block rounding apart).
TEST(DdsPeers, FirstSurfaceOfChainsAndCubeMapsInThePeers) {
  REQUIRE_PROGRAM("convert");
  TempDir dir;
  TImages images;
  for (int i = 0; i < 6; ++i) {
    images.List.push_back(TestSupport::RandomImage(32, 32, fmtA8R8G8B8, uint32_t(i)));
    ChangeImageFormat(images.List.back(), fmtDXT5);
  }
  std::vector<std::string> files = {dir.File("chain.dds"), dir.File("cube.dds")};
  {
    TDynImageDataArray chain(images.List.begin(), images.List.begin() + 3);
    ASSERT_TRUE(Dds()->SaveToFile(files[0], chain));
    TSaveOptions cube(1, 0, 1, 6);
    ASSERT_TRUE(Dds()->SaveToFile(files[1], images.List));
  }
  std::vector<TRgbaImage> pillow = PillowDecode(files, dir);
  const TRgbaImage own = ToRgba(images.List[0]);
  for (size_t i = 0; i < files.size(); ++i) {
    EXPECT_EQ(CompareRgba(MagickDecode(files[i]), own, 1, true), "") << "ImageMagick, " << files[i];
    if (pillow[i].Ok) {
      EXPECT_EQ(CompareRgba(pillow[i], own, 1, true), "") << "Pillow, " << files[i];
    }
  }
  EXPECT_TRUE(pillow[0].Ok);
}
