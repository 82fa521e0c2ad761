// X Pixmap handler: the bucket list behind saving, loading of colour lines
// and keys, malformed and hostile files, the exact text written, the Pillow
// corpus and files exchanged with ImageMagick and Pillow in both directions.
#include <gtest/gtest.h>

#include "BmpTgaHelpers.h"
#include "ImagingXpm.h"

using namespace Imaging;
using namespace BmpTga;
using TestSupport::CorpusDir;
using TestSupport::TempDir;

namespace {

TImageFileFormat* Xpm() {
  TestSupport::InitCore();
  return FindHandlerByExtension("xpm");
}

std::vector<uint8_t> Text(const std::string& S) { return std::vector<uint8_t>(S.begin(), S.end()); }

std::vector<uint32_t> Pixels(const TImageData& Image) {
  auto* p = static_cast<const uint32_t*>(Image.Bits);
  return std::vector<uint32_t>(p, p + int64_t(Image.Width) * Image.Height);
}

struct TImages {
  TDynImageDataArray List;
  ~TImages() { ReleaseImageArray(List); }
};

// An image whose pixels are the given colours, in a row of Width.
TImageData ColorImage(int32_t Width, const std::vector<uint32_t>& Colors) {
  TImageData image;
  CreateImage(Width, int32_t(Colors.size()) / Width, fmtA8R8G8B8, image);
  std::memcpy(image.Bits, Colors.data(), Colors.size() * 4);
  return image;
}

}  // namespace

TEST(SimpleBucketList, BucketsLookupsAndEnumeration) {
  EXPECT_EQ(TSimpleBucketList::BucketOf(0), 0);
  EXPECT_EQ(TSimpleBucketList::BucketOf(0x01000000), 1);                 // b3
  EXPECT_EQ(TSimpleBucketList::BucketOf(0x00000001), 11);                // 11 b0
  EXPECT_EQ(TSimpleBucketList::BucketOf(0x00010000), 59);                // 59 b2
  EXPECT_EQ(TSimpleBucketList::BucketOf(0x00000100), 119);               // 119 b1
  EXPECT_EQ(TSimpleBucketList::BucketOf(0xFFFFFFFF), (255 * 190) % 257);  // all four
  TSimpleBucketList list;
  // 0x02000000 and 0x00000100 land in buckets 2 and 119; 0x01000000 in 1.
  for (uint32_t key : {0x00000100u, 0x02000000u, 0x01000000u, 0x00000100u}) list.Add(key, "key" + std::to_string(key));
  EXPECT_EQ(list.ItemCount(), 3);
  EXPECT_TRUE(list.Exists(0x02000000));
  EXPECT_FALSE(list.Exists(5));
  EXPECT_EQ(list.GetData(0x00000100), "key256");
  EXPECT_EQ(list.GetData(5), "");
  list.SetData(0x01000000, "a string of more than eight");
  EXPECT_EQ(list.GetData(0x01000000), "a string");
  list.SetData(5, "x");
  EXPECT_FALSE(list.Exists(5));
  // Bucket order, then insertion order; the cursor wraps around.
  std::string data;
  std::vector<uint32_t> order;
  for (int i = 0; i < 6; ++i) order.push_back(list.EnumNext(data));
  EXPECT_EQ(order, (std::vector<uint32_t>{0x01000000, 0x02000000, 0x100, 0x01000000, 0x02000000, 0x100}));
  // Many keys in one bucket (growth past 64 items) keep insertion order.
  TSimpleBucketList same;
  std::vector<uint32_t> keys;
  for (uint32_t k = 0; keys.size() < 200; ++k)
    if (TSimpleBucketList::BucketOf(k) == 7) keys.push_back(k);
  for (uint32_t k : keys) same.Add(k, "");
  for (uint32_t k : keys) EXPECT_EQ(same.EnumNext(data), k);
}

TEST(Xpm, RegistrationAndContentTest) {
  TImageFileFormat* h = Xpm();
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h->Name(), "X Window Pixmap");
  EXPECT_EQ(h->Masks(), std::vector<std::string>{"*.xpm"});
  EXPECT_TRUE(h->CanLoad() && h->CanSave());
  EXPECT_FALSE(h->IsMultiImageFormat());
  auto test = [&](std::string s) {
    TMemoryIOState state;
    InitMemoryIOState(s.data(), int32_t(s.size()), state);
    UseMemoryIO();
    TIOFunctions io = CurrentIOTable();
    THandle handle = io.OpenRead(&state);
    bool r = h->TestFormat(handle);
    EXPECT_EQ(io.Tell(handle), 0);
    io.Close(handle);
    return r;
  };
  EXPECT_TRUE(test("/* XPM */"));
  EXPECT_TRUE(test("/* XPM */ anything at all"));
  EXPECT_FALSE(test("/*XPM*/\nstatic"));
  EXPECT_FALSE(test("/* XPM *"));
  EXPECT_FALSE(test(" /* XPM */"));
}

TEST(Xpm, ColourLinesAndKeys) {
  struct {
    const char* Name;
    std::string File;
    std::vector<uint32_t> Pixels;
  } cases[] = {
      {"hex, None, m context",
       "/* XPM */\nstatic char *x[] = {\n\"3 1 3 1\",\n\"a c #FF0000\",\n\"b c None\",\n\"c m white\",\n\"abc\"\n};\n",
       {0xFFFF0000, 0, 0xFFFFFFFF}},
      {"three digits are not expanded, nine and twelve are channels",
       "\"4 1 4 1\"\n\"a c #f80\"\n\"b c #0A0B0C\"\n\"c c #FFF800001\"\n\"d c #A643327780FF\"\n\"abcd\"",
       {0xFF000F80, 0xFF0A0B0C, 0xFFFF7F00, 0xFFA53280}},
      {"names ignore case, unknown names are transparent",
       "\"4 1 4 1 0 0 XPMEXT\"\r\n\"a c Teal\"\r\n\"b s symbol c red\"\r\n\"c c light gray\"\r\n\"d c DkMagenta\"\r\n\"abcd\"",
       {0xFF008080, 0, 0, 0xFF800080}},
      {"the first line of a key wins", "\"2 1 3 1\"\r\"a c #010203\"\r\"a c #040506\"\r\"b c blue\"\r\"ab\"",
       {0xFF010203, 0xFF0000FF}},
      {"two characters, unknown and cut keys", "\"3 2 2 2\"\n\"  c black\"\n\"x. c lime\"\n\"x.  x.\"\n\"x.zzx\"",
       {0xFF00FF00, 0xFF000000, 0xFF00FF00, 0xFF00FF00, 0, 0}},
      {"three characters", "\"2 1 2 3\"\n\"abc c #000001\"\n\"ab  c #000002\"\n\"ab abc\"", {0xFF000002, 0xFF000001}},
      {"comment with a quote is a data line, quotes inside a line are kept",
       "/* \"2 1 1 1\" */\n\"a c #112233\",\n\"a\"a\"", {0xFF112233, 0}},
      {"hexadecimal and signed values", "\"$2 0x1 +1 1\"\n\"a c navy\"\n\"aa\"", {0xFF000080, 0xFF000080}},
  };
  for (const auto& c : cases) {
    TImages images;
    ASSERT_EQ(LoadBytes(Xpm(), Text("/* XPM */\n" + c.File), images.List), "") << c.Name;
    ASSERT_EQ(images.List.size(), 1u);
    EXPECT_EQ(images.List[0].Format, fmtA8R8G8B8);
    EXPECT_EQ(Pixels(images.List[0]), c.Pixels) << c.Name;
  }
}

TEST(Xpm, MalformedFilesFailWithTheLoadingMessage) {
  struct {
    const char* Name;
    std::string File;
    const char* Cause;
  } cases[] = {
      {"no values line", "static char *x[] = {\n};\n", "X Pixmap file has no values line."},
      {"too few lines", "\"2 2 1 1\"\n\"a c red\"\n\"aa\"", "X Pixmap declares 1 colour and 2 pixel lines; the file has 2."},
      {"bad hexadecimal colour", "\"1 1 1 1\"\n\"a c #12G456\"\n\"a\"", "colour line 1 has an invalid colour \"#12G456\"."},
      {"ten digits", "\"1 1 1 1\"\n\"a c #FFFF000000\"\n\"a\"", "invalid colour"},
      {"bad twelve digits", "\"1 1 1 1\"\n\"a c #FFFF0000000G\"\n\"a\"", "invalid colour"},
      {"empty hexadecimal colour", "\"1 1 1 1\"\n\"a c #\"\n\"a\"", "invalid colour \"#\""},
      {"no value", "\"1 1 1 1\"\n\"a c\"\n\"a\"", "X Pixmap colour line 1 has no colour value."},
      {"no context", "\"1 1 1 1\"\n\"a\"\n\"a\"", "has no colour value"},
      {"key longer than the line", "\"1 1 1 3\"\n\"ab\"\n\"abc\"",
       "X Pixmap colour line 1 is shorter than its key of 3 characters."},
      {"more colours than keys", "\"1 1 257 1\"\n" + std::string(257 * 12, '\n') + "\"a\"",
       "X Pixmap declares 257 colours, more than keys of 1 characters can tell apart."},
      {"huge width", "\"2000000000 1 1 1\"\n\"a c red\"\n\"a\"", "larger than its file"},
      {"short file", "\"60000 60000 1 1\"\n\"a c red\"\n" + std::string(60000, '\n') + "\"a\"",
       "X Pixmap declares 1 colour and 60000 pixel lines; the file has 2."},
      {"huge size", [] {
         std::string rows;
         for (int i = 0; i < 60000; ++i) rows += "\"\"\n";
         return "\"60000 60000 1 1\"\n\"a c red\"\n" + rows;
       }(),
       "larger than its file"},
      {"huge key", "\"1 1 1 2000000000\"\n\"a c red\"\n\"a\"", "larger than its file"},
      {"huge colour count", "\"1 1 2000000000 4\"\n\"a c red\"\n\"a\"", "declares 2000000000 colour"},
      {"zero width", "\"0 1 1 1\"\n\"a c red\"\n\"a\"", "Invalid X Pixmap dimensions 0 x 1."},
      {"zero characters", "\"1 1 1 0\"\n\"a c red\"\n\"a\"", "Invalid X Pixmap characters per pixel 0."},
      {"negative colours", "\"1 1 -1 1\"\n\"a\"", "Invalid X Pixmap colour count -1."},
  };
  for (const auto& c : cases) {
    TImages images;
    std::string error = LoadBytes(Xpm(), Text("/* XPM */\n" + c.File), images.List);
    EXPECT_NE(error.find("Error while loading images from memory"), std::string::npos) << c.Name << ": " << error;
    EXPECT_NE(error.find(c.Cause), std::string::npos) << c.Name << ": " << error;
    EXPECT_TRUE(images.List.empty());
  }
  // A values line without four integers: not an X Pixmap this reader knows.
  for (const char* values : {"\"1 1 1\"", "\"1 1 1 x\"", "\"1 1 1 1.5\"", "\"\"", "\"99999999999 1 1 1\""}) {
    TImages images;
    EXPECT_EQ(LoadBytes(Xpm(), Text(std::string("/* XPM */\n") + values + "\n\"a c red\"\n\"a\""), images.List),
              "load returned false")
        << values;
  }
}

TEST(Xpm, TextWritten) {
  // Opaque colours as hexadecimal, alpha below 128 as None (one key each).
  TImageData image = ColorImage(3, {0xFFFF8001, 0x7F000000, 0xFFFF8001, 0x80102030, 0x00FFFFFF, 0x7F000000});
  std::vector<uint8_t> f = SaveBytes(Xpm(), image);
  // Enumeration order: buckets 11 (0x80102030), 127 (0x7F000000), 136
  // (0x00FFFFFF) and 217 (0xFFFF8001).
  EXPECT_EQ(TSimpleBucketList::BucketOf(0x80102030), 11);
  EXPECT_EQ(TSimpleBucketList::BucketOf(0x7F000000), 127);
  EXPECT_EQ(TSimpleBucketList::BucketOf(0x00FFFFFF), 136);
  EXPECT_EQ(TSimpleBucketList::BucketOf(0xFFFF8001), 217);
  EXPECT_EQ(std::string(f.begin(), f.end()),
            "/* XPM */\r\n"
            "static char *graphic[] = {\r\n"
            "/* width height num_colors chars_per_pixel */\r\n"
            "\"3 2 4 1\", \r\n"
            "/* colors */\r\n"
            "\"  c #102030\",\r\n"
            "\". c None\",\r\n"
            "\"X c None\",\r\n"
            "\"o c #ff8001\",\r\n"
            "/* pixels */\r\n"
            "\"o.o\",\r\n"
            "\" X.\"\r\n"
            "};\r\n");
  ReleaseImage(image);
  // Other formats are converted; the pixels come back.
  TImageData gray = TestSupport::RandomImage(5, 3, fmtGray8, 1);
  f = SaveBytes(Xpm(), gray);
  TImages back;
  ASSERT_EQ(LoadBytes(Xpm(), f, back.List), "");
  ChangeImageFormat(gray, fmtA8R8G8B8);
  EXPECT_EQ(Pixels(back.List[0]), Pixels(gray));
  ReleaseImage(gray);
}

TEST(Xpm, KeyLengthsFollowTheColourCount) {
  struct {
    int32_t Colors, KeyLength;
  } cases[] = {{1, 1}, {92, 1}, {93, 2}, {8464, 2}, {8465, 3}, {60000, 3}};
  for (const auto& c : cases) {
    std::vector<uint32_t> colors;
    for (int32_t i = 0; i < c.Colors; ++i) colors.push_back(0xFF000000u | uint32_t(i * 37));
    TImageData image = ColorImage(c.Colors, colors);
    std::vector<uint8_t> f(4 << 20);
    int32_t size = int32_t(f.size());
    TDynImageDataArray list{image};
    ASSERT_TRUE(Xpm()->SaveToMemory(f.data(), size, list, true));
    f.resize(size_t(size));
    std::string text(f.begin(), f.end());
    const std::string values = "\"" + std::to_string(c.Colors) + " 1 " + std::to_string(c.Colors) + " " +
                               std::to_string(c.KeyLength) + "\", \r\n";
    EXPECT_NE(text.find(values), std::string::npos) << c.Colors;
    // The first key is all blanks, the 93rd ".", then blanks.
    EXPECT_NE(text.find("/* colors */\r\n\"" + std::string(size_t(c.KeyLength), ' ') + " c #"), std::string::npos);
    if (c.Colors > 92) {
      EXPECT_NE(text.find("\" ." + std::string(size_t(c.KeyLength) - 2, ' ') + " c #"), std::string::npos);
    }
    TImages back;
    ASSERT_EQ(LoadBytes(Xpm(), f, back.List), "");
    EXPECT_EQ(Pixels(back.List[0]), colors);
    ReleaseImage(image);
  }
  // Text of several megabytes is written in pieces: the rows come back
  // whole across the joins.
  TImageData tall;
  ASSERT_TRUE(CreateImage(1500, 800, fmtA8R8G8B8, tall));
  auto* px = static_cast<uint32_t*>(tall.Bits);
  for (uint32_t i = 0; i < 1500 * 800; ++i) px[i] = 0xFF000000u | (i * 7919u) % 200u * 0x010101u;
  std::vector<uint32_t> expected(px, px + 1500 * 800);
  std::vector<uint8_t> f(8 << 20);
  int32_t size = int32_t(f.size());
  TDynImageDataArray list{tall};
  ASSERT_TRUE(Xpm()->SaveToMemory(f.data(), size, list, true));
  f.resize(size_t(size));
  EXPECT_GT(size, 2 << 20);
  TImages back;
  ASSERT_EQ(LoadBytes(Xpm(), f, back.List), "");
  EXPECT_EQ(Pixels(back.List[0]), expected);
  ReleaseImage(tall);
}

TEST(XpmCorpus, FilesLoadAsThePeersDecodeThem) {
  std::vector<std::string> files = FilesIn(CorpusDir() / "pillow/xpm", ".xpm");
  if (files.empty()) GTEST_SKIP() << "corpus is missing";
  REQUIRE_PROGRAM("convert");
  TempDir tmp;
  std::vector<TRgbaImage> pillow = PillowDecode(files, tmp);
  for (size_t i = 0; i < files.size(); ++i) {
    TRgbaImage own = OwnDecode(Xpm(), files[i]);
    ASSERT_TRUE(own.Ok) << files[i] << ": " << own.Error;
    EXPECT_EQ(CompareRgba(own, MagickDecode(files[i]), 0, true), "") << files[i];
  }
  // Pillow 9 reads keys of one character only, and takes the comment line
  // before the pixels for the first row: its rows are ours one lower.
  ASSERT_TRUE(pillow[0].Ok);
  TRgbaImage own = OwnDecode(Xpm(), files[0]);
  const size_t row = size_t(own.Width) * 4;
  EXPECT_TRUE(std::equal(own.Rgba.begin(), own.Rgba.end() - long(row), pillow[0].Rgba.begin() + long(row)));
}

// ImageMagick's files (one- and two-character keys, transparency) load with
// its pixels; ours load in ImageMagick and Pillow with ours.
TEST(XpmPeers, FilesExchangedWithThePeers) {
  REQUIRE_PROGRAM("convert");
  TempDir dir;
  struct {
    const char* Name;
    const char* Options;
  } cases[] = {
      {"im16", "-colors 16"},
      {"im200", "-colors 200"},
      {"imalpha", "-colors 60 -channel A -threshold 50% +channel"},
  };
  for (const auto& c : cases) {
    std::string file = dir.File(std::string(c.Name) + ".xpm");
    ASSERT_EQ(TestSupport::RunCommand("convert -size 53x17 xc: -seed 7 +noise Random -alpha set -channel A -fx "
                                      "'rand()' +channel " + std::string(c.Options) + " '" + file + "'"),
              0);
    TRgbaImage own = OwnDecode(Xpm(), file);
    TRgbaImage peer = MagickDecode(file);
    // Transparent pixels: ImageMagick keeps its colour, the file says None.
    for (size_t p = 0; p < peer.Rgba.size(); p += 4)
      if (peer.Rgba[p + 3] == 0) std::fill(peer.Rgba.begin() + long(p), peer.Rgba.begin() + long(p) + 3, 0);
    EXPECT_EQ(CompareRgba(own, peer, 0, true), "") << c.Name;
  }
  // Ours: 1, 2 and 3-character keys.
  std::vector<std::string> files;
  std::vector<TRgbaImage> own;
  for (int colors : {50, 1000, 9000}) {
    TImageData image = TestSupport::RandomImage(120, 100, fmtA8R8G8B8, uint32_t(colors));
    auto* p = static_cast<uint32_t*>(image.Bits);
    for (int i = 0; i < 120 * 100; ++i) p[i] = 0xFF000000u | uint32_t((p[i] % uint32_t(colors)) * 1777);
    if (colors == 50)
      for (int i = 0; i < 120 * 100; i += 7) p[i] = 0x00000000;
    std::string file = dir.File("own" + std::to_string(colors) + ".xpm");
    ASSERT_TRUE(WriteImageFile(file, image));
    own.push_back(ToRgba(image));
    files.push_back(file);
    ReleaseImage(image);
  }
  std::vector<TRgbaImage> pillow = PillowDecode(files, dir);
  for (size_t i = 0; i < files.size(); ++i) {
    TRgbaImage magick = MagickDecode(files[i]);
    for (size_t p = 0; p < magick.Rgba.size(); p += 4)
      if (magick.Rgba[p + 3] == 0) std::fill(magick.Rgba.begin() + long(p), magick.Rgba.begin() + long(p) + 3, 0);
    EXPECT_EQ(CompareRgba(magick, own[i], 0, true), "") << "ImageMagick, " << files[i];
    // Pillow 9 takes the comment line before the colours for a colour.
    EXPECT_FALSE(pillow[i].Ok);
  }
}
