// Bethesda BSI handler: chunked sets built byte by byte (palette-indexed and
// colour-table sets, single and multi-frame, archives of prefixed sets), the
// format test, and damaged sets.
#include <gtest/gtest.h>

#include <cstring>

#include "ImagingBsi.h"
#include "TestSupport.h"

using namespace Imaging;

namespace {

using TBytes = std::vector<uint8_t>;

TImageFileFormat* Bsi() {
  TestSupport::InitCore();
  return FindHandlerByExtension("bsi");
}

void Put16(TBytes& B, size_t At, uint32_t V) {
  if (B.size() < At + 2) B.resize(At + 2);
  B[At] = uint8_t(V);
  B[At + 1] = uint8_t(V >> 8);
}
void Put32(TBytes& B, size_t At, uint32_t V) {
  Put16(B, At, V & 0xFFFF);
  Put16(B, At + 2, V >> 16);
}
TBytes Cat(std::initializer_list<TBytes> Parts) {
  TBytes r;
  for (const TBytes& p : Parts) r.insert(r.end(), p.begin(), p.end());
  return r;
}

// A chunk: four-character id, big-endian length, data.
TBytes Chunk(const char* Id, const TBytes& Data, int64_t Length = -1) {
  uint32_t n = uint32_t(Length < 0 ? Data.size() : Length);
  TBytes c(Id, Id + 4);
  for (int s = 24; s >= 0; s -= 8) c.push_back(uint8_t(n >> s));
  return Cat({c, Data});
}

// A picture header of 30 bytes (the last 4 unused).
TBytes Bhdr(int W, int H, int Frames) {
  TBytes b(30, 0x5A);
  Put16(b, 4, uint16_t(W));
  Put16(b, 6, uint16_t(H));
  Put16(b, 14, uint16_t(Frames));
  return Chunk("BHDR", b);
}

TBytes Head() { return Chunk("IFHD", {1, 2, 3, 4}); }
TBytes End() { return Chunk("END ", {}); }

// The 13-byte archive prefix: a name and a size.
TBytes Prefix(int32_t Size) {
  TBytes p = {'T', 'E', 'S', 'T', '.', 'B', 'S', 'I', 0};
  Put32(p, 9, uint32_t(Size));
  return p;
}

struct TImages {
  TDynImageDataArray List;
  ~TImages() { ReleaseImageArray(List); }
};

bool Load(const TBytes& Data, TDynImageDataArray& Images, bool OnlyFirst = false) {
  return Bsi()->LoadFromMemory(Data.data(), int32_t(Data.size()), Images, OnlyFirst);
}

std::string LoadError(const TBytes& Data) {
  TImages images;
  try {
    Load(Data, images.List);
  } catch (const EImagingError& e) {
    return e.what();
  }
  return "";
}

TBytes Pixels(const TImageData& Image) {
  auto* p = static_cast<const uint8_t*>(Image.Bits);
  return TBytes(p, p + Image.Size);
}

std::vector<uint32_t> Colors(const TImageData& Image) {
  auto* p = static_cast<const TColor32Rec*>(Image.Bits);
  std::vector<uint32_t> r;
  for (int64_t i = 0; i < int64_t(Image.Width) * Image.Height; ++i) r.push_back(p[i].Color);
  return r;
}

}  // namespace

TEST(Bsi, FormatTest) {
  TestSupport::InitCore();
  TBytes set = Cat({Head(), Bhdr(1, 1, 1), Chunk("DATA", {7}), End()});
  TBytes bsif = set;
  std::memcpy(bsif.data(), "BSIF", 4);
  TBytes shortPrefix = Prefix(100);
  shortPrefix.pop_back();
  struct {
    const char* Name;
    TBytes File;
    bool Accepted;
  } table[] = {
      {"IFHD", set, true},
      {"BSIF", bsif, false},
      {"prefix and BSIF", Cat({Prefix(100), bsif}), true},
      {"prefix and IFHD", Cat({Prefix(100), set}), true},
      {"12 bytes and BSIF", Cat({shortPrefix, bsif}), false},
      {"three bytes", {'I', 'F', 'H'}, false},
  };
  for (const auto& t : table) {
    TMemoryStream s(t.File);
    EXPECT_EQ(DetectStreamFormat(&s) == "bsi", t.Accepted) << t.Name;
  }
}

TEST(Bsi, IndexedSets) {
  // One frame with its own palette; unknown chunks are skipped and BHDR
  // bytes beyond the used ones ignored.
  TBytes single = Cat({Head(), Bhdr(3, 2, 1), Chunk("XTRA", {9, 9, 9}), Chunk("CMAP", {1, 2, 3, 4, 5, 6}),
                       Chunk("DATA", {0, 1, 2, 1, 0, 5, 6, 6}), End()});
  TImages a;
  ASSERT_TRUE(Load(single, a.List));
  ASSERT_EQ(a.List.size(), 1u);
  EXPECT_EQ(a.List[0].Format, fmtIndex8);
  EXPECT_EQ(a.List[0].Width, 3);
  EXPECT_EQ(a.List[0].Height, 2);
  EXPECT_EQ(Pixels(a.List[0]), (TBytes{0, 1, 2, 1, 0, 5}));
  EXPECT_EQ(a.List[0].Palette[0].Color, 0x00010203u);
  EXPECT_EQ(a.List[0].Palette[1].Color, 0xFF040506u);
  EXPECT_EQ(a.List[0].Palette[2].Color, 0xFF000000u);

  // Two frames of 2 x 2 through a row table; rows may share data, and a
  // row running past the end of DATA is cut there. No CMAP: the BSI palette.
  TBytes data(16, 0);
  Put32(data, 0, 16);
  Put32(data, 4, 18);
  Put32(data, 8, 18);
  Put32(data, 12, 20);
  data.insert(data.end(), {1, 2, 3, 4, 5});
  TBytes frames = Cat({Head(), Bhdr(2, 2, 2), Chunk("DATA", data), End()});
  TImages b;
  ASSERT_TRUE(Load(frames, b.List));
  ASSERT_EQ(b.List.size(), 2u);
  EXPECT_EQ(Pixels(b.List[0]), (TBytes{1, 2, 3, 4}));
  EXPECT_EQ(Pixels(b.List[1]), (TBytes{3, 4, 5, 0}));
  for (const TImageData& img : b.List) {
    EXPECT_EQ(img.Palette[0].Color, 0x00000000u);
    EXPECT_EQ(img.Palette[16].Color, 0xFF85C4B7u);
    EXPECT_EQ(img.Palette[255].Color, 0xFF0C0F13u);
  }
  TImages first;
  ASSERT_TRUE(Load(frames, first.List, true));
  EXPECT_EQ(first.List.size(), 1u);

  // DATA shorter than the picture leaves the rest 0.
  TImages c;
  ASSERT_TRUE(Load(Cat({Head(), Bhdr(2, 2, 1), Chunk("DATA", {4, 4, 4}), End()}), c.List));
  EXPECT_EQ(Pixels(c.List[0]), (TBytes{4, 4, 4, 0}));

  // Empty CMAP and DATA chunks: a black palette and no pixels.
  TImages d;
  ASSERT_TRUE(Load(Cat({Head(), Bhdr(1, 1, 1), Chunk("CMAP", {}), Chunk("DATA", {}), End()}), d.List));
  EXPECT_EQ(Pixels(d.List[0]), TBytes{0});
  EXPECT_EQ(d.List[0].Palette[0].Color, 0x00000000u);
  EXPECT_EQ(d.List[0].Palette[9].Color, 0xFF000000u);
}

TEST(Bsi, ColourTableSets) {
  TBytes hicl(256);
  for (int i = 0; i < 256; ++i) hicl[size_t(i)] = uint8_t(i);
  TImages gray;
  ASSERT_TRUE(Load(Cat({Head(), Bhdr(3, 1, 1), Chunk("HICL", hicl), Chunk("DATA", {0, 63, 65}), End()}), gray.List));
  ASSERT_EQ(gray.List.size(), 1u);
  EXPECT_EQ(gray.List[0].Format, fmtA8R8G8B8);
  // Index 0 transparent; 65 uses its low 6 bits: 1 * 255 div 63 = 4.
  EXPECT_EQ(Colors(gray.List[0]), (std::vector<uint32_t>{0x00000000, 0xFFFFFFFF, 0xFF040404}));

  // Two frames of 2 x 1 with 15-bit colours from HTBL entry 3840 on; the row
  // table's high 16 bits are not used.
  TBytes htbl(8192, 0);
  Put16(htbl, (3840 + 1) * 2, (31 << 10) | 16);
  Put16(htbl, (3840 + 2) * 2, (1 << 10) | (31 << 5));
  TBytes data(8, 0);
  Put32(data, 0, 0x00AB0008);
  Put32(data, 4, 10);
  data.insert(data.end(), {1, 0, 2, 2});
  TImages colour;
  ASSERT_TRUE(Load(Cat({Head(), Bhdr(2, 1, 2), Chunk("HICL", {0}), Chunk("HTBL", htbl), Chunk("DATA", data), End()}),
                   colour.List));
  ASSERT_EQ(colour.List.size(), 2u);
  // 16 * 255 div 31 = 131, 1 * 255 div 31 = 8.
  EXPECT_EQ(Colors(colour.List[0]), (std::vector<uint32_t>{0xFFFF0083, 0x00000000}));
  EXPECT_EQ(Colors(colour.List[1]), (std::vector<uint32_t>{0xFF08FF00, 0xFF08FF00}));
}

TEST(Bsi, ArchivesOfPrefixedSets) {
  TBytes withPalette = Cat({Head(), Bhdr(1, 1, 1), Chunk("CMAP", {9, 8, 7, 6, 5, 4}), Chunk("DATA", {1}), End()});
  TBytes plain = Cat({Head(), Bhdr(2, 1, 1), Chunk("DATA", {2, 3}), End()});
  TImages two;
  ASSERT_TRUE(Load(Cat({Prefix(60), withPalette, Prefix(40), plain, Prefix(0), plain}), two.List));
  ASSERT_EQ(two.List.size(), 2u);
  EXPECT_EQ(Pixels(two.List[0]), TBytes{1});
  EXPECT_EQ(two.List[0].Palette[1].Color, 0xFF060504u);
  // The next set's palette is the handler's again.
  EXPECT_EQ(Pixels(two.List[1]), (TBytes{2, 3}));
  EXPECT_EQ(two.List[1].Palette[1].Color, 0xFFFF00FFu);

  struct {
    const char* Name;
    TBytes File;
    size_t Pictures;
  } table[] = {{"second prefix of size 0", Cat({Prefix(60), withPalette, Prefix(0), plain}), 1},
               {"negative size", Cat({Prefix(60), withPalette, Prefix(-5), plain}), 1},
               {"no second prefix", Cat({Prefix(60), withPalette}), 1},
               {"second prefix cut short", Cat({Prefix(60), withPalette, {'T', 'E'}}), 1},
               {"two sets", Cat({Prefix(60), withPalette, Prefix(1), plain}), 2}};
  for (const auto& t : table) {
    TImages images;
    ASSERT_TRUE(Load(t.File, images.List)) << t.Name;
    EXPECT_EQ(images.List.size(), t.Pictures) << t.Name;
  }
}

TEST(Bsi, DamagedSetsFailWithAClearError) {
  TBytes htbl(100, 0);
  struct {
    const char* Name;
    TBytes File;
    const char* Message;
  } table[] = {
      {"no BHDR", Cat({Head(), Chunk("DATA", {1}), End()}), "BSI picture set has no BHDR chunk."},
      {"DATA cut short", Cat({Head(), Bhdr(1, 1, 1), Chunk("DATA", {1, 2}, 3)}), "Error when reading DATA chunk data."},
      {"huge chunk", Cat({Head(), Chunk("XTRA", {}, 0xFFFFFFFF)}), "Error when reading XTRA chunk data."},
      {"chunk header cut short", Cat({Head(), {'B', 'H', 'D'}}), "BSI chunk header is truncated at offset 12."},
      {"HICL too short", Cat({Head(), Bhdr(1, 1, 1), Chunk("HICL", {1, 2}), Chunk("DATA", {5}), End()}),
       "BSI HICL table has no entry for pixel value 5."},
      {"HTBL too short",
       Cat({Head(), Bhdr(1, 1, 2), Chunk("HICL", {0}), Chunk("HTBL", htbl), Chunk("DATA", {8, 0, 0, 0, 8, 0, 0, 0, 1}),
            End()}),
       "BSI HTBL table has no entry for pixel value 1."},
      {"width 0", Cat({Head(), Bhdr(0, 2, 1), Chunk("DATA", {1}), End()}), "BSI picture has invalid dimensions 0 x 2."},
      {"negative height", Cat({Head(), Bhdr(2, -1, 1), Chunk("DATA", {1}), End()}),
       "BSI picture has invalid dimensions 2 x -1."},
      {"huge frames", Cat({Head(), Bhdr(32767, 32767, 100), Chunk("DATA", {1}), End()}),
       "BSI pictures need more memory than"},
  };
  for (const auto& t : table) {
    std::string e = LoadError(t.File);
    EXPECT_NE(e.find("Error while loading images from memory"), std::string::npos) << t.Name << ": " << e;
    EXPECT_NE(e.find(t.Message), std::string::npos) << t.Name << ": " << e;
  }
  // An empty BHDR asks for no frames: no pictures, a failed load.
  TImages none;
  EXPECT_FALSE(Load(Cat({Head(), Chunk("BHDR", {}), End()}), none.List));
  EXPECT_TRUE(none.List.empty());
  EXPECT_FALSE(Bsi()->CanSave());
}
