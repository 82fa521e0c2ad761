// Daggerfall IMG, CIF, texture and sky handlers: files built byte by byte
// for every header variant, coding and record kind, pixels checked against
// values worked out by hand, the writers' round trips and limits, and
// damaged files.
#include <gtest/gtest.h>

#include <cstring>

#include "ImagingDaggerfall.h"
#include "TestSupport.h"

using namespace Imaging;

namespace {

using TBytes = std::vector<uint8_t>;

TImageFileFormat* Handler(const std::string& Ext) {
  TestSupport::InitCore();
  TImageFileFormat* h = FindHandlerByExtension(Ext);
  EXPECT_NE(h, nullptr) << Ext;
  return h;
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
void Append(TBytes& B, const TBytes& More) { B.insert(B.end(), More.begin(), More.end()); }

// A 12-byte picture header followed by Data.
TBytes Picture(int W, int H, int Compression, const TBytes& Data, int DataSize = -1) {
  TBytes b(12, 0);
  Put16(b, 4, W);
  Put16(b, 6, H);
  Put16(b, 8, Compression);
  Put16(b, 10, DataSize < 0 ? int(Data.size()) : DataSize);
  Append(b, Data);
  return b;
}

bool Load(const std::string& Ext, const TBytes& Data, TDynImageDataArray& Images, bool OnlyFirst = false) {
  return Handler(Ext)->LoadFromMemory(Data.data(), int32_t(Data.size()), Images, OnlyFirst);
}

// The message of the load's error, or "" when it raised none.
std::string LoadError(const std::string& Ext, const TBytes& Data) {
  TDynImageDataArray images;
  try {
    Load(Ext, Data, images);
  } catch (const EImagingError& e) {
    ReleaseImageArray(images);
    return e.what();
  }
  ReleaseImageArray(images);
  return "";
}

TBytes Pixels(const TImageData& Image) {
  auto* p = static_cast<const uint8_t*>(Image.Bits);
  return TBytes(p, p + Image.Size);
}

const TColor32Rec* GamePalette() { return static_cast<TElderFileFormat*>(Handler("img"))->ARGBPalette(); }

bool HasGamePalette(const TImageData& Image) {
  return Image.Palette && std::memcmp(Image.Palette, GamePalette(), 1024) == 0;
}

struct TImages {
  TDynImageDataArray List;
  ~TImages() { ReleaseImageArray(List); }
};

}  // namespace

TEST(Daggerfall, HandlersAreRegisteredInOrderWithTheirIdentity) {
  TestSupport::InitCore();
  struct {
    const char* Ext;
    const char* Name;
    const char* Masks;
    bool CanSave, Multi;
  } table[] = {{"bsi", "Bethesda Image", "*.bsi;texbsi.*", false, true},
               {"cif", "Daggerfall MultiImage", "*.cif;*.rci", true, true},
               {"img", "Daggerfall Image", "*.img", true, false},
               {"dagtexture", "Daggerfall Texture", "*.dagtexture;texture.*", false, true},
               {"dagsky", "Daggerfall Sky Images", "*.dagsky;sky??.dat", false, true}};
  int32_t previous = -1;
  for (const auto& t : table) {
    int32_t index = -1;
    for (int32_t i = 0; i < HandlerCount(); ++i)
      if (HandlerAtIndex(i) == FindHandlerByExtension(t.Ext)) index = i;
    ASSERT_GE(index, 0) << t.Ext;
    if (previous >= 0) {
      EXPECT_EQ(index, previous + 1) << t.Ext;
    }
    previous = index;
    int32_t at = index;
    std::string name, ext, masks;
    bool canSave, multi;
    ASSERT_TRUE(NextFileFormatInfo(at, name, ext, masks, canSave, multi));
    EXPECT_EQ(name, t.Name);
    EXPECT_EQ(ext, t.Ext);
    EXPECT_EQ(masks, t.Masks);
    EXPECT_EQ(canSave, t.CanSave) << t.Ext;
    EXPECT_EQ(multi, t.Multi) << t.Ext;
  }
  // The last handler of the start-up list.
  EXPECT_EQ(previous, HandlerCount() - 1);
  EXPECT_EQ(FindHandlerForFileName("/x/TEXTURE.042")->Name(), "Daggerfall Texture");
  EXPECT_EQ(FindHandlerForFileName("SKY07.DAT")->Name(), "Daggerfall Sky Images");
  EXPECT_EQ(FindHandlerForFileName("TEXBSI.001")->Name(), "Bethesda Image");
}

TEST(Daggerfall, GamePaletteAndItsSetter) {
  const TColor32Rec* p = GamePalette();
  EXPECT_EQ(p[0].Color, 0x00000000u);  // index 0 is transparent black
  EXPECT_EQ(p[1].Color, 0xFFFF00FFu);
  EXPECT_EQ(p[32].Color, 0xFFF4CAA7u);
  EXPECT_EQ(p[110].Color, 0xFF2F3B3Cu);
  EXPECT_EQ(p[216].Color, 0xFF282828u);
  EXPECT_EQ(p[255].Color, 0xFF302D2Du);
  TIMGFileFormat own;
  EXPECT_EQ(own.Palette()[32 * 3], 0xF4);
  uint8_t rgb[768];
  for (int i = 0; i < 768; ++i) rgb[i] = uint8_t(i * 7);
  own.SetPalette(rgb);
  EXPECT_EQ(own.ARGBPalette()[0].Color, 0x0000070Eu);
  EXPECT_EQ(own.ARGBPalette()[2].Color, 0xFF2A3138u);
  EXPECT_EQ(std::memcmp(own.Palette(), rgb, 768), 0);
}

TEST(Daggerfall, ImgPictures) {
  struct {
    const char* Name;
    TBytes File;
    int W, H;
    TBytes Pixels;
  } table[] = {
      {"raw", Picture(3, 2, 0, {1, 2, 3, 4, 5, 6}), 3, 2, {1, 2, 3, 4, 5, 6}},
      {"coded", Picture(3, 2, 2, {0x02, 1, 2, 3, 0x82, 9}), 3, 2, {1, 2, 3, 9, 9, 9}},
      // A run is cut at the end of the picture; a literal too.
      {"coded, long run", Picture(2, 2, 2, {0x85, 7}), 2, 2, {7, 7, 7, 7}},
      {"coded, long literal", Picture(2, 2, 2, {0x82, 5, 0x03, 1}), 2, 2, {5, 5, 5, 1}},
      // Coded bytes that run out leave the rest 0.
      {"coded, short", Picture(4, 1, 2, {0x80, 5}), 4, 1, {5, 0, 0, 0}},
  };
  for (const auto& t : table) {
    TImages images;
    ASSERT_TRUE(Load("img", t.File, images.List)) << t.Name;
    ASSERT_EQ(images.List.size(), 1u) << t.Name;
    const TImageData& img = images.List[0];
    EXPECT_EQ(img.Format, fmtIndex8) << t.Name;
    EXPECT_EQ(img.Width, t.W) << t.Name;
    EXPECT_EQ(img.Height, t.H) << t.Name;
    EXPECT_EQ(Pixels(img), t.Pixels) << t.Name;
    EXPECT_TRUE(HasGamePalette(img)) << t.Name;
  }
}

TEST(Daggerfall, ImgHeaderlessSizesAndTrailingPalette) {
  TBytes plain(64000);
  for (size_t i = 0; i < plain.size(); ++i) plain[i] = uint8_t(i * 13);
  TImages a;
  ASSERT_TRUE(Load("img", plain, a.List));
  EXPECT_EQ(a.List[0].Width, 320);
  EXPECT_EQ(a.List[0].Height, 200);
  EXPECT_EQ(Pixels(a.List[0]), plain);
  EXPECT_TRUE(HasGamePalette(a.List[0]));

  TBytes withPalette = plain;
  for (int i = 0; i < 768; ++i) withPalette.push_back(uint8_t(255 - i % 256));
  TImages b;
  ASSERT_TRUE(Load("img", withPalette, b.List));
  EXPECT_EQ(Pixels(b.List[0]), plain);
  EXPECT_EQ(b.List[0].Palette[0].Color, 0x00FFFEFDu);
  EXPECT_EQ(b.List[0].Palette[1].Color, 0xFFFCFBFAu);
  EXPECT_EQ(b.List[0].Palette[255].Color, 0xFF020100u);

  struct {
    size_t Size;
    int W, H;
  } sizes[] = {{64, 8, 8}, {90, 9, 10}, {3938, 179, 22}, {4508, 322, 14}, {68800, 320, 215}, {112128, 512, 219}};
  for (const auto& s : sizes) {
    TImages c;
    ASSERT_TRUE(Load("img", TBytes(s.Size, 3), c.List)) << s.Size;
    EXPECT_EQ(c.List[0].Width, s.W);
    EXPECT_EQ(c.List[0].Height, s.H);
  }
}

TEST(Daggerfall, FormatTestsOfImgAndCif) {
  TBytes img = Picture(3, 2, 0, {1, 2, 3, 4, 5, 6});
  TBytes cif = img;
  Append(cif, Picture(1, 1, 0, {7}));
  TBytes imgPlusPalette = img;
  Append(imgPlusPalette, TBytes(768, 1));
  struct {
    const char* Name;
    TBytes File;
    bool Img, Cif;
  } table[] = {
      {"one picture", img, true, false},
      {"two pictures", cif, false, true},
      // The size no longer matches the header.
      {"picture and palette", imgPlusPalette, false, true},
      {"headerless IMG size", TBytes(4096, 0), true, false},
      {"headerless CIF size", TBytes(2601, 0), false, true},
      {"data size 0", Picture(3, 2, 0, {}, 0), false, false},
      {"width 0", Picture(0, 2, 0, {1, 2}), false, false},
      {"data larger than the picture", Picture(1, 1, 0, {1, 2}), false, false},
      {"picture over 65535 pixels", Picture(256, 256, 0, {1, 2}), false, false},
      {"empty", {}, false, false},
  };
  for (const auto& t : table) {
    TMemoryStream stream(t.File);
    TImageFileFormat* expect = t.Img ? Handler("img") : t.Cif ? Handler("cif") : nullptr;
    std::string found = DetectStreamFormat(&stream);
    if (expect)
      EXPECT_EQ(found, expect->Extensions()[0]) << t.Name;
    else
      EXPECT_TRUE(found != "img" && found != "cif") << t.Name << ": " << found;
  }
}

TEST(Daggerfall, ImgRefusals) {
  TImages images;
  EXPECT_FALSE(Load("img", Picture(2, 1, 0x0104, {1, 2}), images.List));
  EXPECT_FALSE(Load("img", Picture(2, 1, 0x0108, {1, 2}), images.List));
  EXPECT_TRUE(images.List.empty());
  // Raw pixels beyond the end of the file.
  std::string e = LoadError("img", Picture(4, 4, 0, {1, 2, 3, 4}));
  EXPECT_NE(e.find("Error while loading images from memory"), std::string::npos) << e;
  EXPECT_NE(e.find("Daggerfall IMG data is truncated: 16 bytes needed at offset 12, 4 present."), std::string::npos)
      << e;
}

TEST(Daggerfall, CifLayouts) {
  // Plain: a raw record (longer and shorter data than the picture) and a
  // coded one.
  TBytes plain = Picture(3, 1, 2, {0x82, 8});
  Append(plain, Picture(2, 2, 0, {1, 2, 3, 4, 5, 6}));
  Append(plain, Picture(2, 2, 0, {9, 9}));
  Append(plain, Picture(1, 1, 0, {}));

  // A group of 2 x 2 frames: three frames, the last one up to the group's
  // total size.
  auto group = [](bool TotalSize = true) {
    TBytes g(76, 0);
    Put16(g, 0, 2);
    Put16(g, 2, 2);
    Put16(g, 12, 76);
    Put16(g, 14, 78);
    Put16(g, 16, 81);
    TBytes frames = {0x83, 1, 0x01, 2, 3, 0x81, 4, 0x00, 5};
    Put16(g, 74, TotalSize ? 76 + frames.size() : 0);
    Append(g, frames);
    return g;
  };
  TBytes leader = Picture(2, 1, 0, {6, 7});
  Append(leader, group());
  Append(leader, group());

  // Without a leading picture the file starts with a group whose unused
  // bytes read as a plausible picture header of compression 21.
  TBytes grouped = group();
  Put16(grouped, 4, 10);
  Put16(grouped, 6, 10);
  Put16(grouped, 8, 21);
  Put16(grouped, 10, 20);
  TBytes endless = grouped;
  Put16(endless, 74, 0);

  // A run of four; a literal of two; a run of two and a literal of one.
  const TBytes frames = {1, 1, 1, 1, 2, 3, 0, 0, 4, 4, 5, 0};
  struct {
    const char* Name;
    TBytes File;
    std::vector<std::pair<int, int>> Sizes;
    TBytes Pixels;  // of all pictures together
  } table[] = {
      {"plain", plain, {{3, 1}, {2, 2}, {2, 2}, {1, 1}}, {8, 8, 8, 1, 2, 3, 4, 9, 9, 0, 0, 0}},
      {"leading picture", leader, {{2, 1}, {2, 2}, {2, 2}, {2, 2}, {2, 2}, {2, 2}, {2, 2}}, {}},
      {"grouped", grouped, {{2, 2}, {2, 2}, {2, 2}}, frames},
      // A group of total size 0 ends the file instead of reading itself again.
      // Its last frame has no length then.
      {"group of size 0", endless, {{2, 2}, {2, 2}, {2, 2}}, {1, 1, 1, 1, 2, 3, 0, 0, 0, 0, 0, 0}},
  };
  TBytes leaderPixels = {6, 7};
  Append(leaderPixels, frames);
  Append(leaderPixels, frames);
  table[1].Pixels = leaderPixels;
  for (const auto& t : table) {
    TImages images;
    ASSERT_TRUE(Load("cif", t.File, images.List)) << t.Name;
    ASSERT_EQ(images.List.size(), t.Sizes.size()) << t.Name;
    TBytes all;
    for (size_t i = 0; i < t.Sizes.size(); ++i) {
      EXPECT_EQ(images.List[i].Width, t.Sizes[i].first) << t.Name << " " << i;
      EXPECT_EQ(images.List[i].Height, t.Sizes[i].second) << t.Name << " " << i;
      EXPECT_TRUE(HasGamePalette(images.List[i])) << t.Name;
      Append(all, Pixels(images.List[i]));
    }
    EXPECT_EQ(all, t.Pixels) << t.Name;
    // Asked for one picture, the reader stops after it.
    TImages first;
    ASSERT_TRUE(Load("cif", t.File, first.List, true)) << t.Name;
    ASSERT_EQ(first.List.size(), 1u) << t.Name;
    EXPECT_EQ(Pixels(first.List[0]), Pixels(images.List[0])) << t.Name;
  }
}

TEST(Daggerfall, CifHeaderlessSets) {
  TBytes file(49152);
  for (size_t i = 0; i < file.size(); ++i) file[i] = uint8_t(i / 4096 + i);
  TImages images;
  ASSERT_TRUE(Load("cif", file, images.List));
  ASSERT_EQ(images.List.size(), 12u);
  for (size_t i = 0; i < 12; ++i) {
    EXPECT_EQ(images.List[i].Width, 64);
    EXPECT_EQ(images.List[i].Height, 64);
    EXPECT_EQ(Pixels(images.List[i]), TBytes(file.begin() + i * 4096, file.begin() + (i + 1) * 4096)) << i;
  }
  TImages odd;
  ASSERT_TRUE(Load("cif", TBytes(3168, 5), odd.List));
  ASSERT_EQ(odd.List.size(), 8u);
  EXPECT_EQ(odd.List[7].Width, 44);
  EXPECT_EQ(odd.List[7].Height, 9);
}

TEST(Daggerfall, DamagedCifFilesFailWithAClearError) {
  TBytes group(76, 0);
  Put16(group, 0, 2);
  Put16(group, 2, 2);
  Put16(group, 4, 10);
  Put16(group, 6, 10);
  Put16(group, 8, 21);
  Put16(group, 10, 20);
  Put16(group, 12, 76);
  Put16(group, 74, 90);
  TBytes longFrame = group;
  Append(longFrame, {0x83, 1});
  TBytes truncated = Picture(2, 2, 0, {1, 2, 3, 4});
  Append(truncated, Picture(2, 2, 0, {1}, 4));
  TBytes huge = Picture(2, 2, 0, {1, 2, 3, 4});
  Append(huge, Picture(65535, 65535, 0, {1}));
  TBytes zero = Picture(2, 2, 0, {1, 2, 3, 4});
  Append(zero, Picture(0, 2, 0, {1}));
  struct {
    const char* Name;
    TBytes File;
    const char* Message;
  } table[] = {
      {"raw record cut short", truncated, "Daggerfall CIF data is truncated: 4 bytes needed at offset 28, 1 present."},
      {"frame beyond the end", longFrame, "Daggerfall CIF data is truncated: 14 bytes needed at offset 76, 2 present."},
      {"huge record", huge, "Daggerfall CIF pictures need more memory than 29 bytes of data can describe."},
      {"width 0", zero, "Daggerfall CIF picture has invalid dimensions 0 x 2."},
  };
  for (const auto& t : table) {
    std::string e = LoadError("cif", t.File);
    EXPECT_NE(e.find("Error while loading images from memory"), std::string::npos) << t.Name << ": " << e;
    EXPECT_NE(e.find(t.Message), std::string::npos) << t.Name << ": " << e;
  }
}

TEST(Daggerfall, WritersRoundTripIndexesAndPalette) {
  TImageData a, b;
  ASSERT_TRUE(CreateImage(5, 3, fmtIndex8, a));
  ASSERT_TRUE(CreateImage(2, 2, fmtIndex8, b));
  for (int i = 0; i < 15; ++i) static_cast<uint8_t*>(a.Bits)[i] = uint8_t(i * 17);
  for (int i = 0; i < 4; ++i) static_cast<uint8_t*>(b.Bits)[i] = uint8_t(200 + i);
  std::memcpy(a.Palette, GamePalette(), 1024);
  std::memcpy(b.Palette, GamePalette(), 1024);
  TDynImageDataArray pair{a, b};

  // CIF: both pictures with headers of compression 0, raw pixels.
  TMemoryStream cif;
  ASSERT_TRUE(Handler("cif")->SaveToStream(&cif, pair));
  TBytes expect = Picture(5, 3, 0, Pixels(a));
  Append(expect, Picture(2, 2, 0, Pixels(b)));
  EXPECT_EQ(cif.Data(), expect);
  TImages back;
  ASSERT_TRUE(Load("cif", cif.Data(), back.List));
  ASSERT_EQ(back.List.size(), 2u);
  EXPECT_EQ(Pixels(back.List[0]), Pixels(a));
  EXPECT_EQ(Pixels(back.List[1]), Pixels(b));
  EXPECT_TRUE(HasGamePalette(back.List[0]) && HasGamePalette(back.List[1]));

  // Through files: the name picks the handler, the single-image entry point
  // gives the first picture.
  TestSupport::TempDir dir;
  ASSERT_TRUE(WriteImagesToFile(dir.File("set.rci"), pair));
  EXPECT_EQ(TestSupport::ReadFileBytes(dir.File("set.rci")), expect);
  TImages fromFile;
  ASSERT_TRUE(ReadImagesFromFile(dir.File("set.rci"), fromFile.List));
  ASSERT_EQ(fromFile.List.size(), 2u);
  EXPECT_EQ(Pixels(fromFile.List[1]), Pixels(b));
  TImageData firstOnly;
  ASSERT_TRUE(ReadImageFile(dir.File("set.rci"), firstOnly));
  EXPECT_EQ(Pixels(firstOnly), Pixels(a));
  ReleaseImage(firstOnly);

  // IMG: one picture, no palette written.
  TMemoryStream img;
  ASSERT_TRUE(Handler("img")->SaveToStream(&img, {a}));
  EXPECT_EQ(img.Data(), Picture(5, 3, 0, Pixels(a)));
  TImages single;
  ASSERT_TRUE(Load("img", img.Data(), single.List));
  EXPECT_EQ(Pixels(single.List[0]), Pixels(a));
  EXPECT_TRUE(HasGamePalette(single.List[0]));
  ReleaseImage(a);
  ReleaseImage(b);
}

TEST(Daggerfall, ForeignImagesAreShrunkAndMappedToTheGamePalette) {
  struct {
    int W, H, ExpectW, ExpectH;
    TImageFormat Format;
  } table[] = {{400, 300, 266, 200, fmtR8G8B8},
               {300, 400, 200, 266, fmtR8G8B8},
               {1000, 100, 320, 32, fmtR8G8B8},
               {200, 100, 200, 100, fmtR8G8B8},
               {300, 300, 200, 200, fmtIndex8}};
  for (const auto& t : table) {
    TImageData rgb;
    ASSERT_TRUE(CreateImage(t.W, t.H, t.Format, rgb));
    // One colour of the game palette, entry 32 (F4CAA7), everywhere; the
    // indexed image has it at every entry of a palette of its own.
    for (int64_t i = 0; i < int64_t(t.W) * t.H && t.Format == fmtR8G8B8; ++i) {
      auto* p = static_cast<uint8_t*>(rgb.Bits) + i * 3;
      p[0] = 0xA7, p[1] = 0xCA, p[2] = 0xF4;
    }
    for (int i = 0; i < 256 && rgb.Palette; ++i) rgb.Palette[i] = Color32(0xFFF4CAA7);
    TMemoryStream out;
    ASSERT_TRUE(Handler("img")->SaveToStream(&out, {rgb}));
    ReleaseImage(rgb);
    TImages back;
    ASSERT_TRUE(Load("img", out.Data(), back.List));
    EXPECT_EQ(back.List[0].Width, t.ExpectW) << t.W << "x" << t.H;
    EXPECT_EQ(back.List[0].Height, t.ExpectH) << t.W << "x" << t.H;
    EXPECT_EQ(Pixels(back.List[0]), TBytes(size_t(t.ExpectW) * t.ExpectH, 32));
  }
}

TEST(Daggerfall, SizeLimitOfTheWriters) {
  TImageData big;
  ASSERT_TRUE(CreateImage(300, 300, fmtIndex8, big));
  std::memcpy(big.Palette, GamePalette(), 1024);
  // Accepted unconverted, so nothing shrinks it.
  EXPECT_TRUE(Handler("img")->AcceptsImage(big));
  struct {
    const char* Ext;
    const char* Message;
  } table[] = {{"img", "Size of image in IMG format cannot exceed 65535 bytes. Image @"},
               {"cif", "Size of image in IMG/CIF format cannot exceed 65535 bytes. Image @"}};
  TImageData small;
  ASSERT_TRUE(CreateImage(1, 1, fmtIndex8, small));
  std::memcpy(small.Palette, GamePalette(), 1024);
  for (const auto& t : table) {
    TMemoryStream out;
    try {
      Handler(t.Ext)->SaveToStream(&out, {small, big});
      ADD_FAILURE() << t.Ext << " saved a picture of 90000 bytes";
    } catch (const EImagingError& e) {
      EXPECT_NE(std::string(e.what()).find(t.Message), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find("Width = 300px"), std::string::npos) << e.what();
    }
  }
  // The CIF writer wrote the first picture only.
  TMemoryStream cif;
  EXPECT_THROW(Handler("cif")->SaveToStream(&cif, {small, big}), EImagingError);
  EXPECT_EQ(cif.Data(), Picture(1, 1, 0, {0}));
  small.Palette[3].R ^= 1;
  EXPECT_FALSE(Handler("img")->AcceptsImage(small));
  ReleaseImage(big);
  ReleaseImage(small);
}

// ---------------------------------------------------------------------------
// Texture archives
// ---------------------------------------------------------------------------

namespace {

// An archive header of Count records and Name, and the directory.
TBytes TextureArchive(const std::string& Name, const std::vector<TBytes>& Records) {
  TBytes f(26, 0);
  Put16(f, 0, uint32_t(Records.size()));
  std::memcpy(f.data() + 2, Name.data(), std::min<size_t>(Name.size(), 24));
  size_t at = 26 + Records.size() * 20;
  for (size_t i = 0; i < Records.size(); ++i) {
    TBytes entry(20, 0xEE);
    Put32(entry, 2, uint32_t(at));
    Append(f, entry);
    at += Records[i].size();
  }
  for (const TBytes& r : Records) Append(f, r);
  return f;
}

// A record header (28 bytes, data right after it) and its data.
TBytes TextureRecord(int W, int H, int Compression, int Frames, const TBytes& Data) {
  TBytes r(28, 0);
  Put16(r, 4, W);
  Put16(r, 6, H);
  Put16(r, 8, Compression);
  Put32(r, 14, 28);
  Put16(r, 20, Frames);
  Append(r, Data);
  return r;
}

}  // namespace

TEST(DaggerfallTexture, FormatTestAndName) {
  TTextureFileFormat* texture = static_cast<TTextureFileFormat*>(Handler("dagtexture"));
  struct {
    const char* Name;
    int Count;
    std::string Title;
    bool Accepted;
  } table[] = {{"plain", 1, "Walls (old)", true},
               {"punctuation", 2048, std::string("\t\"'+,-./\\_09azAZ\0", 17), true},
               {"no records", 0, "Walls", false},
               {"too many records", 2049, "Walls", false},
               {"odd character", 1, "Walls!", false},
               {"control character", 1, "Wal\x01ls", false}};
  for (const auto& t : table) {
    TBytes f(26, 0);
    Put16(f, 0, t.Count);
    std::memcpy(f.data() + 2, t.Title.data(), t.Title.size());
    TMemoryStream s(f);
    EXPECT_EQ(DetectStreamFormat(&s) == "dagtexture", t.Accepted) << t.Name;
  }
  TMemoryStream shortHeader(TBytes(25, 0x41));
  EXPECT_NE(DetectStreamFormat(&shortHeader), "dagtexture");

  // Control characters and leading blanks leave the name.
  TBytes f = TextureArchive(std::string("  \t Rock\0B y", 12), {TextureRecord(1, 1, 0, 1, {5})});
  TImages images;
  ASSERT_TRUE(Load("dagtexture", f, images.List));
  EXPECT_EQ(texture->LastTextureName(), "RockB y");
}

TEST(DaggerfallTexture, SolidColourArchives) {
  struct {
    std::string Name;
    int Base;
  } table[] = {{"Blue things", 128}, {"blue things", 0}};
  for (const auto& t : table) {
    TBytes f(2586, 0);
    Put16(f, 0, 3);
    std::memcpy(f.data() + 2, t.Name.data(), t.Name.size());
    TImages images;
    ASSERT_TRUE(Load("dagtexture", f, images.List)) << t.Name;
    ASSERT_EQ(images.List.size(), 3u);
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(images.List[i].Width, 16);
      EXPECT_EQ(images.List[i].Height, 16);
      EXPECT_EQ(Pixels(images.List[i]), TBytes(256, uint8_t(t.Base + i))) << t.Name;
      EXPECT_TRUE(HasGamePalette(images.List[i]));
    }
  }
  for (size_t size : {46, 126, 266}) {
    TBytes f(size, 0);
    Put16(f, 0, 1);
    TImages images;
    EXPECT_FALSE(Load("dagtexture", f, images.List)) << size;
  }
}

TEST(DaggerfallTexture, RecordKinds) {
  // Plain: 3 x 2, rows 256 bytes apart.
  TBytes rows(256 + 3, 0xCC);
  rows[0] = 1, rows[1] = 2, rows[2] = 3, rows[256] = 4, rows[257] = 5, rows[258] = 6;

  // Frames: a table of two offsets, frames of their own width 3.
  TBytes frames(8, 0);
  Put32(frames, 0, 8);
  TBytes f0 = {3, 0, 2, 0,             // width 3, height 2
               1, 2, 7, 8,             // row 0: skip 1, two pixels
               0, 1, 9, 2, 0};         // row 1: one pixel, skip 2, count 0
  Put32(frames, 4, uint32_t(8 + f0.size()));
  TBytes f1 = {3, 0, 2, 0,
               0, 0, 0, 3, 4, 5, 6};   // row 0 ends at (0, 0); row 1: three pixels
  Append(frames, f0);
  Append(frames, f1);

  // Row table: row 0 coded (a literal of 2, a run of 2), row 1 raw, and
  // row 2 coded with a run value of 0 that ends it.
  TBytes table(12, 0);
  TBytes coded0 = {4, 0, 2, 0, 11, 12, 0xFE, 0xFF, 13};
  TBytes raw1 = {21, 22, 23, 24};
  TBytes coded2 = {4, 0, 1, 0, 31, 0, 0, 77, 77};
  Put16(table, 0, 28 + 12);
  Put16(table, 2, 0x8000);
  Put16(table, 4, 28 + 12 + coded0.size());
  Put16(table, 8, 28 + 12 + coded0.size() + raw1.size());
  Put16(table, 10, 0x8000);
  Append(table, coded0);
  Append(table, raw1);
  Append(table, coded2);

  TBytes archive = TextureArchive("Test", {TextureRecord(3, 2, 0, 1, rows), TextureRecord(3, 2, 0, 2, frames),
                                           TextureRecord(4, 3, 0x0108, 1, table)});
  TImages images;
  ASSERT_TRUE(Load("dagtexture", archive, images.List));
  ASSERT_EQ(images.List.size(), 4u);
  EXPECT_EQ(Pixels(images.List[0]), (TBytes{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(Pixels(images.List[1]), (TBytes{0, 7, 8, 9, 0, 0}));
  EXPECT_EQ(Pixels(images.List[2]), (TBytes{0, 0, 0, 4, 5, 6}));
  EXPECT_EQ(Pixels(images.List[3]), (TBytes{11, 12, 13, 13, 21, 22, 23, 24, 31, 0, 0, 0}));
  EXPECT_EQ(images.List[3].Width, 4);
  for (const TImageData& image : images.List) EXPECT_TRUE(HasGamePalette(image));

  TImages first;
  ASSERT_TRUE(Load("dagtexture", archive, first.List, true));
  EXPECT_EQ(first.List.size(), 1u);

  // The row table decoder also serves several frames with compression 0x0108
  // and one frame with 0x1108; the table of each frame follows the last.
  TBytes two(8, 0);
  Put16(two, 0, 28 + 8);
  Put16(two, 4, 28 + 9);
  Append(two, {41, 42});
  TImages many;
  ASSERT_TRUE(Load("dagtexture", TextureArchive("T", {TextureRecord(1, 1, 0x0108, 2, two)}), many.List));
  ASSERT_EQ(many.List.size(), 2u);
  EXPECT_EQ(Pixels(many.List[0]), TBytes{41});
  EXPECT_EQ(Pixels(many.List[1]), TBytes{42});
  TImages other;
  ASSERT_TRUE(Load("dagtexture", TextureArchive("T", {TextureRecord(1, 1, 0x1108, 1, two)}), other.List));
  EXPECT_EQ(Pixels(other.List[0]), TBytes{41});
}

TEST(DaggerfallTexture, DamagedArchivesFailWithAClearError) {
  TBytes badTable(4, 0);
  Put16(badTable, 0, 28 + 4);
  Put16(badTable, 2, 0x8000);
  Append(badTable, {9, 0, 3, 0});  // nine pixels wanted, a literal of three missing
  TBytes directoryOnly = TextureArchive("T", {TextureRecord(1, 1, 0, 1, {1})});
  directoryOnly.resize(26 + 10);
  struct {
    const char* Name;
    TBytes File;
    const char* Message;
  } table[] = {
      {"wide plain rows", TextureArchive("T", {TextureRecord(300, 1, 0, 1, TBytes(300, 1))}),
       "Daggerfall texture rows of 300 pixels do not fit the 256-byte row stride."},
      {"plain rows cut short", TextureArchive("T", {TextureRecord(4, 2, 0, 1, TBytes(200, 1))}),
       "Daggerfall texture data is truncated: 260 bytes needed at offset 74, 200 present."},
      {"coded row cut short", TextureArchive("T", {TextureRecord(9, 1, 0x0108, 1, badTable)}),
       "Daggerfall texture data is truncated: 3 bytes needed at offset 82, 0 present."},
      {"directory cut short", directoryOnly, "Daggerfall texture data is truncated: 20 bytes needed at offset 26"},
      {"huge frames", TextureArchive("T", {TextureRecord(65535, 65535, 0, 3, TBytes(12, 0))}),
       "Daggerfall texture pictures need more memory than"},
  };
  for (const auto& t : table) {
    std::string e = LoadError("dagtexture", t.File);
    EXPECT_NE(e.find(t.Message), std::string::npos) << t.Name << ": " << e;
  }
}

// ---------------------------------------------------------------------------
// Sky archives
// ---------------------------------------------------------------------------

TEST(DaggerfallSky, PicturesAndSharedPalettes) {
  TBytes f(549120 + 64 * 112640, 0);
  for (int p = 0; p < 32; ++p) {
    TBytes record(776, 0);
    record[0] = 8, record[1] = 3, record[4] = 0x23, record[5] = 0xB1;
    for (int i = 0; i < 768; ++i) record[8 + i] = uint8_t(p + i);
    std::copy(record.begin(), record.end(), f.begin() + p * 776);
  }
  for (int i = 0; i < 64; ++i) {
    f[549120 + size_t(i) * 112640] = uint8_t(i);
    f[549120 + size_t(i) * 112640 + 112639] = uint8_t(100 + i);
  }
  TImages images;
  ASSERT_TRUE(Load("dagsky", f, images.List));
  ASSERT_EQ(images.List.size(), 64u);
  for (int i : {0, 1, 31, 32, 63}) {
    const TImageData& img = images.List[size_t(i)];
    EXPECT_EQ(img.Width, 512);
    EXPECT_EQ(img.Height, 220);
    const auto* bits = static_cast<const uint8_t*>(img.Bits);
    EXPECT_EQ(bits[0], i);
    EXPECT_EQ(bits[112639], 100 + i);
    const int p = i % 32;
    // Index 0 is opaque here.
    EXPECT_EQ(img.Palette[0].Color, Color32(255, uint8_t(p), uint8_t(p + 1), uint8_t(p + 2)).Color) << i;
    EXPECT_EQ(img.Palette[255].Color, Color32(255, uint8_t(p + 765), uint8_t(p + 766), uint8_t(p + 767)).Color);
  }
  TImages first;
  ASSERT_TRUE(Load("dagsky", f, first.List, true));
  EXPECT_EQ(first.List.size(), 1u);

  f.resize(f.size() - 1);
  EXPECT_NE(LoadError("dagsky", f).find("Daggerfall sky data is truncated: 112640 bytes needed"), std::string::npos);
  f[4] = 0x24;
  EXPECT_NE(LoadError("dagsky", f).find("does not contain valid image in \"Daggerfall Sky Images\" format"),
            std::string::npos);
  EXPECT_FALSE(Handler("dagsky")->CanSave());
}

TEST(Daggerfall, FuzzSeedsLoad) {
  // The fuzz targets start from these files: each must load (the sky seed
  // is the start of an archive only and must fail cleanly).
  for (const char* ext : {"img", "cif", "dagtexture", "dagsky", "bsi"}) {
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(TestSupport::SourceDir() / "fuzz" / "seeds" / ext)) {
      TBytes data = TestSupport::ReadFileBytes(entry.path());
      std::string name = entry.path().filename().string();
      ++files;
      if (name == "refused.img") {
        TImages images;
        EXPECT_FALSE(Load(ext, data, images.List)) << name;
      } else if (std::string(ext) == "dagsky") {
        EXPECT_NE(LoadError(ext, data).find("Daggerfall sky data is truncated"), std::string::npos) << name;
      } else {
        TImages images;
        EXPECT_TRUE(Load(ext, data, images.List)) << name;
        EXPECT_FALSE(images.List.empty()) << name;
      }
    }
    EXPECT_GT(files, 0) << ext;
  }
}
