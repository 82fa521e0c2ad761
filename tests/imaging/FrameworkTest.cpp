// The file format framework: masks, registry scan orders, detection, the load
// and save sequences with their messages, MakeCompatible and the options.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <random>

#include "Imaging.h"
#include "TestSupport.h"

using namespace Imaging;

namespace {

// A tiny format for the tests: "TST1", width, height (32-bit little-endian),
// then A8R8G8B8 pixels; several images follow each other.
class TTestFormat : public TImageFileFormat {
public:
  TTestFormat(const std::string& Name = "Test Format", const std::string& Masks = "*.tst", bool Multi = false) {
    FName = Name;
    FCanLoad = true;
    FCanSave = true;
    FIsMultiImageFormat = Multi;
    FSupportedFormats = TImageFormats{fmtA8R8G8B8};
    SetMaskList(Masks);
  }

  bool TestFormat(THandle Handle) override {
    if (!Handle) return false;
    TIOFunctions io = CurrentIOTable();
    char magic[4] = {};
    int32_t n = io.Read(Handle, magic, 4);
    io.Seek(Handle, -n, smFromCurrent);
    return n == 4 && std::memcmp(magic, "TST1", 4) == 0;
  }

  bool ReadImages(THandle Handle, TDynImageDataArray& Images, bool) override {
    TIOFunctions io = CurrentIOTable();
    char magic[4];
    while (io.Read(Handle, magic, 4) == 4) {
      if (std::memcmp(magic, "TST1", 4) != 0) RaiseImagingError("Bad test image magic.");
      int32_t dims[2];
      if (io.Read(Handle, dims, 8) != 8) RaiseImagingError("Truncated test image header.");
      TImageData image;
      CreateImage(dims[0], dims[1], fmtA8R8G8B8, image);
      Images.push_back(image);
      if (io.Read(Handle, image.Bits, image.Size) != image.Size) RaiseImagingError("Truncated test image data.");
    }
    return true;
  }

  bool WriteImages(THandle Handle, const TDynImageDataArray& Images, int32_t Index) override {
    TIOFunctions io = CurrentIOTable();
    int32_t first = FIsMultiImageFormat ? FFirstIdx : Index;
    int32_t last = FIsMultiImageFormat ? FLastIdx : Index;
    for (int32_t i = first; i <= last; ++i) {
      TImageData image;
      bool mustBeFreed;
      if (!MakeCompatible(Images[size_t(i)], image, mustBeFreed)) return false;
      int32_t dims[2] = {image.Width, image.Height};
      io.Write(Handle, "TST1", 4);
      io.Write(Handle, dims, 8);
      io.Write(Handle, image.Bits, image.Size);
      if (mustBeFreed) ReleaseImage(image);
    }
    return true;
  }

  void ConvertToAccepted(TImageData& Image, const TImageFormatInfo&) override {
    ChangeImageFormat(Image, fmtA8R8G8B8);
  }

};

class TOtherFormat : public TTestFormat {
public:
  TOtherFormat() : TTestFormat("Other Format", "*.oth,*.tst") {}
  bool TestFormat(THandle Handle) override {
    if (!Handle) return false;
    TIOFunctions io = CurrentIOTable();
    char magic[4] = {};
    int32_t n = io.Read(Handle, magic, 4);
    io.Seek(Handle, -n, smFromCurrent);
    return n == 4 && (std::memcmp(magic, "TST1", 4) == 0 || std::memcmp(magic, "OTH1", 4) == 0);
  }
};

// Exposes the protected mask handling of the base class.
class TMaskFormat : public TImageFileFormat {
public:
  explicit TMaskFormat(const std::string& Masks) { SetMaskList(Masks); }
};

TTestFormat* RegisterTestFormats() {
  static TTestFormat* test = nullptr;
  if (!test) {
    InitImaging();
    AddFileFormatHandler<TTestFormat>();
    test = static_cast<TTestFormat*>(HandlerAtIndex(HandlerCount() - 1));
    AddFileFormatHandler<TOtherFormat>();
    AddFileFormatHandler([] { return std::unique_ptr<TImageFileFormat>(new TTestFormat("Multi", "*.mtst", true)); });
  }
  return test;
}

TImageData MakeImage(int32_t W, int32_t H, uint32_t Seed) {
  return TestSupport::RandomImage(W, H, fmtA8R8G8B8, Seed);
}

std::vector<uint8_t> Encode(const std::vector<TImageData>& Images) {
  std::vector<uint8_t> out;
  for (const TImageData& img : Images) {
    out.insert(out.end(), {'T', 'S', 'T', '1'});
    int32_t dims[2] = {img.Width, img.Height};
    auto* d = reinterpret_cast<const uint8_t*>(dims);
    out.insert(out.end(), d, d + 8);
    auto* p = static_cast<const uint8_t*>(img.Bits);
    out.insert(out.end(), p, p + img.Size);
  }
  return out;
}

bool SameImage(const TImageData& A, const TImageData& B) {
  return A.Width == B.Width && A.Height == B.Height && A.Format == B.Format && A.Size == B.Size &&
         std::memcmp(A.Bits, B.Bits, size_t(A.Size)) == 0;
}

// The recursive definition of mask matching, as a reference.
bool ReferenceMatch(const char* Name, const char* Mask) {
  auto up = [](char c) { return char(std::toupper(static_cast<unsigned char>(c))); };
  while (*Name && *Mask) {
    if (*Mask == '*') {
      while (*Mask == '*') ++Mask;
      if (!*Mask) return true;
      for (; *Name; ++Name)
        if (ReferenceMatch(Name, Mask)) return true;
      return false;
    }
    if (*Mask != '?' && up(*Mask) != up(*Name)) return false;
    ++Mask;
    ++Name;
  }
  if (*Name) return false;
  while (*Mask == '*' || *Mask == '?') ++Mask;
  return !*Mask;
}

}  // namespace

TEST(Masks, ExtensionsComeFromTheMasks) {
  TMaskFormat a("*.bmp,*.dib");
  EXPECT_EQ(a.Extensions(), (std::vector<std::string>{"bmp", "dib"}));
  EXPECT_EQ(a.Masks(), (std::vector<std::string>{"*.bmp", "*.dib"}));
  TMaskFormat b("*.dagsky,sky??.dat");
  EXPECT_EQ(b.Extensions(), (std::vector<std::string>{"dagsky", "dat"}));
  TMaskFormat c("*.bsi,texbsi.*");
  EXPECT_EQ(c.Extensions(), (std::vector<std::string>{"bsi"}));
  TMaskFormat d(" *.jpg, *.jpeg ,noext");
  EXPECT_EQ(d.Extensions(), (std::vector<std::string>{"jpg", "jpeg"}));
  EXPECT_EQ(d.Masks(), (std::vector<std::string>{"*.jpg", "*.jpeg", "noext"}));
  EXPECT_EQ(a.Name(), "Unknown and unsupported format");
}

TEST(Masks, NamesAreMatchedIgnoringCaseAndFolders) {
  TMaskFormat sky("*.dagsky,sky??.dat");
  EXPECT_TRUE(sky.TestFileName("SKY01.DAT"));
  EXPECT_TRUE(sky.TestFileName("/some/folder.x/sky07.dat"));
  EXPECT_FALSE(sky.TestFileName("sky7.dat"));
  EXPECT_FALSE(sky.TestFileName("sky01.dat/other"));
  TMaskFormat bsi("*.bsi,texbsi.*");
  EXPECT_TRUE(bsi.TestFileName("TEXBSI.003"));
  EXPECT_TRUE(bsi.TestFileName("texbsi.png"));
  EXPECT_FALSE(bsi.TestFileName("texbsi"));
  EXPECT_TRUE(MatchFileNameMask("abc", "abc?"));   // a trailing ? matches nothing
  EXPECT_FALSE(MatchFileNameMask("ab", "abc?"));
  EXPECT_TRUE(MatchFileNameMask("anything", ""));
  EXPECT_TRUE(MatchFileNameMask("a.b.c.png", "*.PNG"));
  EXPECT_FALSE(MatchFileNameMask("a.png.bak", "*.png"));
}

TEST(Masks, MatchingAgreesWithTheRecursiveDefinition) {
  std::mt19937 rng(99);
  const char alphabet[] = "ab*?.";
  for (int i = 0; i < 200000; ++i) {
    std::string mask, name;
    for (size_t n = rng() % 7; n > 0; --n) mask.push_back(alphabet[rng() % 5]);
    for (size_t n = rng() % 8; n > 0; --n) name.push_back("ab."[rng() % 3]);
    bool expected = mask.empty() || ReferenceMatch(name.c_str(), mask.c_str());
    ASSERT_EQ(MatchFileNameMask(name, mask), expected)
        << "name '" << name << "' mask '" << mask << "'";
  }
}

TEST(Registry, LookupsScanFromTheLastHandler) {
  TTestFormat* test = RegisterTestFormats();
  TImageFileFormat* other = HandlerAtIndex(HandlerCount() - 2);
  EXPECT_EQ(FindHandlerForFileName("x.tst"), other);  // both claim *.tst; the later wins
  EXPECT_EQ(FindHandlerByExtension("TST"), other);
  EXPECT_EQ(FindHandlerByExtension("oth"), other);
  EXPECT_EQ(FindHandlerByExtension(""), nullptr);
  EXPECT_EQ(FindHandlerForFileName("x.unknownext"), nullptr);
  EXPECT_FALSE(IsSupportedFileName("x.unknownext"));
  EXPECT_TRUE(IsSupportedFileName("dir/X.MTST"));
  EXPECT_EQ(HandlerAtIndex(-1), nullptr);
  EXPECT_EQ(HandlerAtIndex(HandlerCount()), nullptr);
  (void)test;
}

TEST(Registry, EnumerationFollowsRegistrationOrder) {
  RegisterTestFormats();
  int32_t index = 0, count = 0;
  std::string name, ext, masks, lastName, lastMasks;
  bool canSave, multi, lastMulti = false;
  while (NextFileFormatInfo(index, name, ext, masks, canSave, multi)) {
    ++count;
    EXPECT_EQ(index, count);
    if (count == HandlerCount() - 1) {
      EXPECT_EQ(name, "Other Format");
      EXPECT_EQ(ext, "oth");
      EXPECT_EQ(masks, "*.oth;*.tst");
    }
    lastName = name;
    lastMulti = multi;
  }
  EXPECT_EQ(count, HandlerCount());
  EXPECT_EQ(lastName, "Multi");
  EXPECT_TRUE(lastMulti);
  EXPECT_TRUE(name.empty() && ext.empty() && masks.empty() && !canSave && !multi);
}

TEST(Detection, NameAndContentFirstThenContentAlone) {
  TestSupport::TempDir dir;
  RegisterTestFormats();
  TImageData img = MakeImage(3, 2, 1);
  std::vector<uint8_t> bytes = Encode({img});
  // Named .tst: the first pass finds the first handler whose mask and content
  // both match (the test format, registered before the other one).
  TestSupport::WriteFileBytes(dir.File("a.tst"), bytes);
  EXPECT_EQ(DetectFileFormat(dir.File("a.tst")), "tst");
  // Named .oth with test content: no first-pass hit for "Test Format", but the
  // other format claims both the name and the content.
  TestSupport::WriteFileBytes(dir.File("a.oth"), bytes);
  EXPECT_EQ(DetectFileFormat(dir.File("a.oth")), "oth");
  // A misleading name: the second pass goes by content alone.
  TestSupport::WriteFileBytes(dir.File("a.jpg"), bytes);
  EXPECT_EQ(DetectFileFormat(dir.File("a.jpg")), "tst");
  // Unknown content and missing files give the empty string.
  TestSupport::WriteFileBytes(dir.File("b.tst"), {1, 2, 3});
  EXPECT_EQ(DetectFileFormat(dir.File("b.tst")), "");
  EXPECT_EQ(DetectFileFormat(dir.File("missing.tst")), "");
  TMemoryStream stream(bytes);
  stream.SetPosition(0);
  EXPECT_EQ(DetectStreamFormat(&stream), "tst");
  EXPECT_EQ(stream.GetPosition(), 0);
  ReleaseImage(img);
}

TEST(Loading, ReadImageFileKeepsTheFirstImage) {
  TestSupport::TempDir dir;
  RegisterTestFormats();
  TImageData a = MakeImage(4, 3, 2), b = MakeImage(2, 2, 3);
  TestSupport::WriteFileBytes(dir.File("two.tst"), Encode({a, b}));
  TImageData loaded;
  ASSERT_TRUE(ReadImageFile(dir.File("two.tst"), loaded));
  EXPECT_TRUE(SameImage(loaded, a));
  ReleaseImage(loaded);

  TDynImageDataArray all;
  ASSERT_TRUE(ReadImagesFromFile(dir.File("two.tst"), all));
  ASSERT_EQ(all.size(), 2u);
  EXPECT_TRUE(SameImage(all[1], b));
  ReleaseImageArray(all);
  EXPECT_TRUE(all.empty());

  // Unrecognised content: false, and the target image is left as it was.
  TestSupport::WriteFileBytes(dir.File("junk.tst"), {9, 9, 9, 9, 9});
  TImageData keep = MakeImage(1, 1, 4);
  TImageData before = keep;
  EXPECT_FALSE(ReadImageFile(dir.File("junk.tst"), keep));
  EXPECT_EQ(keep.Bits, before.Bits);
  ReleaseImage(keep);
  ReleaseImage(a);
  ReleaseImage(b);
}

TEST(Loading, FailuresAreWrappedWithTheFrameworksMessages) {
  TestSupport::TempDir dir;
  TTestFormat* test = RegisterTestFormats();
  std::string name = dir.File("bad.tst");
  TestSupport::WriteFileBytes(name, {'X', 'X', 'X', 'X'});
  TDynImageDataArray images;
  try {
    test->LoadFromFile(name, images);
    FAIL();
  } catch (const EImagingError& e) {
    EXPECT_EQ(std::string(e.what()), "Error while loading images from file \"" + name +
                                         "\" (file format: tst). Exception Message: File \"" + name +
                                         "\" is not valid image in \"Test Format\" format.");
  }
  // A truncated file: the handler's own message is chained, and the image
  // created before the failure is released.
  TImageData img = MakeImage(5, 5, 5);
  std::vector<uint8_t> bytes = Encode({img});
  bytes.resize(bytes.size() - 7);
  TestSupport::WriteFileBytes(name, bytes);
  try {
    test->LoadFromFile(name, images);
    FAIL();
  } catch (const EImagingError& e) {
    EXPECT_EQ(std::string(e.what()), "Error while loading images from file \"" + name +
                                         "\" (file format: tst). Exception Message: Truncated test image data.");
  }
  EXPECT_TRUE(images.empty());
  // The missing file: the system's open error is chained.
  try {
    test->LoadFromFile(dir.File("missing.tst"), images);
    FAIL();
  } catch (const EImagingError& e) {
    EXPECT_EQ(std::string(e.what()).rfind("Error while loading images from file \"" + dir.File("missing.tst") +
                                              "\" (file format: tst). Exception Message: Cannot open file",
                                          0),
              0u)
        << e.what();
  }
  // Memory and stream variants.
  try {
    test->LoadFromMemory(bytes.data(), int32_t(bytes.size()), images);
    FAIL();
  } catch (const EImagingError& e) {
    std::string expected = FormatText("Error while loading images from memory %p (%d Bytes) (file format: tst).",
                                      {(const void*)bytes.data(), int(bytes.size())});
    EXPECT_EQ(std::string(e.what()).rfind(expected, 0), 0u) << e.what();
  }
  TMemoryStream stream(bytes);
  stream.SetPosition(0);
  try {
    test->LoadFromStream(&stream, images);
    FAIL();
  } catch (const EImagingError& e) {
    std::string expected =
        FormatText("Error while loading images from stream %p (file format: tst).", {(const void*)&stream});
    EXPECT_EQ(std::string(e.what()).rfind(expected, 0), 0u) << e.what();
  }
  EXPECT_EQ(stream.GetPosition(), 0);  // the entry position is restored
  ReleaseImage(img);
}

TEST(Loading, StreamAtItsEndIsRefused) {
  RegisterTestFormats();
  TMemoryStream stream(std::vector<uint8_t>{1, 2});
  stream.SetPosition(2);
  TImageData img;
  try {
    ReadImageStream(&stream, img);
    FAIL();
  } catch (const EImagingError& e) {
    EXPECT_STREQ(e.what(), "Input stream has no data. Check Position property.");
  }
}

TEST(Saving, SingleImageHandlersNumberTheirFiles) {
  TestSupport::TempDir dir;
  TTestFormat* test = RegisterTestFormats();
  TDynImageDataArray images{MakeImage(2, 2, 6), MakeImage(3, 1, 7), MakeImage(1, 4, 8)};
  ASSERT_TRUE(test->SaveToFile(dir.File("name.ext"), images));
  for (int i = 0; i < 3; ++i) {
    std::string file = dir.File("name00" + std::to_string(i) + ".ext");
    ASSERT_TRUE(std::filesystem::exists(file));
    EXPECT_EQ(TestSupport::ReadFileBytes(file), Encode({images[size_t(i)]}));
  }
  EXPECT_FALSE(std::filesystem::exists(dir.File("name.ext")));
  // First level only: one file with image 0.
  ASSERT_TRUE(test->SaveToFile(dir.File("first.tst"), images, true));
  EXPECT_EQ(TestSupport::ReadFileBytes(dir.File("first.tst")), Encode({images[0]}));
  // A multi-image handler writes all of them into one file.
  ASSERT_TRUE(WriteImagesToFile(dir.File("all.mtst"), images));
  EXPECT_EQ(TestSupport::ReadFileBytes(dir.File("all.mtst")), Encode(images));
  // An invalid image: false, and nothing is created.
  TDynImageDataArray bad{images[0], TImageData{}};
  EXPECT_FALSE(test->SaveToFile(dir.File("bad.tst"), bad));
  EXPECT_FALSE(std::filesystem::exists(dir.File("bad.tst")));
  EXPECT_FALSE(test->SaveToFile(dir.File("none.tst"), TDynImageDataArray{}));
  ReleaseImageArray(images);
}

TEST(Saving, WriteImageFileChoosesTheHandlerByName) {
  TestSupport::TempDir dir;
  RegisterTestFormats();
  TImageData img = MakeImage(3, 3, 9);
  EXPECT_TRUE(WriteImageFile(dir.File("out.oth"), img));
  EXPECT_EQ(TestSupport::ReadFileBytes(dir.File("out.oth")), Encode({img}));
  EXPECT_FALSE(WriteImageFile(dir.File("out.unknown"), img));
  EXPECT_FALSE(std::filesystem::exists(dir.File("out.unknown")));
  TMemoryStream stream;
  EXPECT_TRUE(WriteImageStream("tst", &stream, img));
  EXPECT_EQ(stream.Data(), Encode({img}));
  ReleaseImage(img);
}

TEST(Saving, AFullDiskIsAFailedSave) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "/dev/full is not available";
  TTestFormat* test = RegisterTestFormats();
  TDynImageDataArray images{MakeImage(8, 8, 10)};
  EXPECT_FALSE(test->SaveToFile("/dev/full", images));
  ReleaseImageArray(images);
}

TEST(Saving, MemoryBlocksThatAreTooSmallReportWhatWasNeeded) {
  TTestFormat* test = RegisterTestFormats();
  TDynImageDataArray images{MakeImage(4, 4, 11)};
  std::vector<uint8_t> expected = Encode(images);
  std::vector<uint8_t> block(200, 0);
  int32_t size = int32_t(block.size());
  ASSERT_TRUE(test->SaveToMemory(block.data(), size, images));
  EXPECT_EQ(size, int32_t(expected.size()));
  EXPECT_EQ(0, std::memcmp(block.data(), expected.data(), expected.size()));

  std::vector<uint8_t> small(20, 0xEE);
  size = 10;
  EXPECT_FALSE(test->SaveToMemory(small.data(), size, images));
  EXPECT_EQ(size, int32_t(expected.size()));
  EXPECT_EQ(small[10], 0xEE);  // nothing written past the given capacity
  ReleaseImageArray(images);
}

TEST(MakeCompatible, SharesAcceptedImagesAndConvertsOthers) {
  TTestFormat* test = RegisterTestFormats();
  TImageData img = MakeImage(3, 3, 12);
  TImageData compatible;
  bool mustBeFreed = true;
  ASSERT_TRUE(test->MakeCompatible(img, compatible, mustBeFreed));
  EXPECT_FALSE(mustBeFreed);
  EXPECT_EQ(compatible.Bits, img.Bits);

  TImageData gray = TestSupport::RandomImage(3, 3, fmtGray8, 13);
  ASSERT_TRUE(test->MakeCompatible(gray, compatible, mustBeFreed));
  EXPECT_TRUE(mustBeFreed);
  EXPECT_EQ(compatible.Format, fmtA8R8G8B8);
  EXPECT_EQ(gray.Format, fmtGray8);
  ReleaseImage(compatible);

  // The save override format is applied first.
  ASSERT_TRUE(SetImagingOption(OptSaveOverrideFormat, fmtGray8));
  ASSERT_TRUE(test->MakeCompatible(img, compatible, mustBeFreed));
  EXPECT_TRUE(mustBeFreed);
  EXPECT_EQ(compatible.Format, fmtA8R8G8B8);
  TImageData expected;
  DuplicateImage(img, expected);
  ChangeImageFormat(expected, fmtGray8);
  ChangeImageFormat(expected, fmtA8R8G8B8);
  EXPECT_TRUE(SameImage(compatible, expected));
  ReleaseImage(compatible);
  ReleaseImage(expected);
  SetImagingOption(OptSaveOverrideFormat, 0);
  ReleaseImage(img);
  ReleaseImage(gray);
}

TEST(Options, CoreOptionsAreClamped) {
  InitImaging();
  EXPECT_EQ(GetImagingOption(OptColorReductionMask), 255);
  EXPECT_TRUE(SetImagingOption(OptColorReductionMask, 300));
  EXPECT_EQ(GetImagingOption(OptColorReductionMask), 255);
  EXPECT_TRUE(SetImagingOption(OptColorReductionMask, -4));
  EXPECT_EQ(GetImagingOption(OptColorReductionMask), 0);
  SetImagingOption(OptColorReductionMask, 255);
  EXPECT_TRUE(SetImagingOption(OptLoadOverrideFormat, 12345));
  EXPECT_EQ(GetImagingOption(OptLoadOverrideFormat), 0);
  EXPECT_TRUE(SetImagingOption(OptLoadOverrideFormat, fmtGray16));
  EXPECT_EQ(GetImagingOption(OptLoadOverrideFormat), fmtGray16);
  SetImagingOption(OptLoadOverrideFormat, 0);
  EXPECT_TRUE(SetImagingOption(OptSamplingFilter, 10));
  EXPECT_EQ(GetImagingOption(OptSamplingFilter), 9);
  EXPECT_TRUE(SetImagingOption(OptSamplingFilter, -1));
  EXPECT_EQ(GetImagingOption(OptSamplingFilter), 0);
  SetImagingOption(OptSamplingFilter, 1);
  EXPECT_FALSE(SetImagingOption(99, 1));
  EXPECT_EQ(GetImagingOption(99), -2147483647);
  EXPECT_EQ(GetImagingOption(-1), InvalidOptionValue);
  EXPECT_EQ(GetImagingOption(100000), InvalidOptionValue);
  EXPECT_EQ(ClampOptionValue(OptJpegQuality, 1000), 1000);
}

TEST(Options, ALaterBindingTakesTheIdOver) {
  InitImaging();
  static int32_t first = 1, second = 2, far = 3;
  EXPECT_TRUE(RegisterOptionVariable(200, &first));
  EXPECT_TRUE(RegisterOptionVariable(200, &second));
  EXPECT_TRUE(SetImagingOption(200, 42));
  EXPECT_EQ(second, 42);
  EXPECT_EQ(first, 1);
  EXPECT_FALSE(RegisterOptionVariable(-5, &far));
  EXPECT_THROW(RegisterOptionVariable(201, nullptr), EAssertionFailed);
  // The table grows for large ids.
  EXPECT_TRUE(RegisterOptionVariable(5000, &far));
  EXPECT_EQ(GetImagingOption(5000), 3);
}

TEST(Options, TheStackSavesAndRestoresEightLevels) {
  InitImaging();
  static int32_t value = 7;
  RegisterOptionVariable(210, &value);
  TOptionStack& stack = OptionStack();
  for (int i = 0; i < 8; ++i) {
    EXPECT_TRUE(stack.Push()) << i;
    value = 100 + i;
  }
  EXPECT_FALSE(stack.Push());
  for (int i = 7; i >= 0; --i) {
    EXPECT_TRUE(stack.Pop());
    EXPECT_EQ(value, i == 0 ? 7 : 100 + i - 1);
  }
  EXPECT_FALSE(stack.Pop());
}

TEST(Errors, MessagesChainTheExceptionBeingHandled) {
  try {
    RaiseImagingError("Outer %s %d.", "text", 5);
  } catch (const EImagingError& e) {
    EXPECT_STREQ(e.what(), "Outer text 5.");
  }
  try {
    try {
      throw Exception("inner failure");
    } catch (...) {
      RaiseImagingError("Error while doing %s.", "work");
    }
  } catch (const EImagingError& e) {
    EXPECT_STREQ(e.what(), "Error while doing work. Exception Message: inner failure");
  }
  EXPECT_EQ(FormatText("%.0n %s", {8192, "B"}), "8,192 B");
  EXPECT_EQ(FormatText("%.0n", {123}), "123");
  EXPECT_EQ(FormatText("%.0n", {-1234567}), "-1,234,567");
  EXPECT_EQ(FormatText("@%p", {(const void*)0x1234}), "@0000000000001234");
  EXPECT_EQ(FormatText("100%% %x", {255}), "100% ff");
  EXPECT_EQ(RoundToInt(2.5), 2);
  EXPECT_EQ(RoundToInt(3.5), 4);
  EXPECT_EQ(RoundToInt(-0.5f), 0);
}

// ---------------------------------------------------------------------------
// The pixel limit
// ---------------------------------------------------------------------------

namespace {

// Restores the default pixel limit when a test ends.
struct TPixelLimit {
  explicit TPixelLimit(int32_t Limit) {
    InitImaging();
    SetImagingOption(OptMaxPixels, Limit);
  }
  ~TPixelLimit() { SetImagingOption(OptMaxPixels, DefaultMaxPixels); }
};

std::string LoadFailure(const std::string& File) {
  TImageData img;
  ResetImage(img);
  try {
    ReadImageFile(File, img);
  } catch (const EImagingError& e) {
    ReleaseImage(img);
    return e.what();
  }
  ReleaseImage(img);
  return std::string();
}

}  // namespace

TEST(PixelLimit, OptionDefaultBoundsAndCreateImage) {
  TPixelLimit limit(DefaultMaxPixels);
  EXPECT_EQ(GetImagingOption(OptMaxPixels), 178000000);
  EXPECT_TRUE(SetImagingOption(OptMaxPixels, -7));
  EXPECT_EQ(GetImagingOption(OptMaxPixels), 0);
  struct Case {
    int32_t Limit;
    int64_t W, H;
    bool Refused;
  } cases[] = {{100, 10, 10, false}, {100, 101, 1, true}, {100, 1, 101, true},   {100, 11, 10, true},
               {0, 1000000, 1000000, false}, {178000000, 13342, 13342, true}, {178000000, 13341, 13342, false},
               {5, 0xFFFFFFFFll, 0xFFFFFFFFll, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.Limit) + ": " + std::to_string(c.W) + " x " + std::to_string(c.H));
    SetImagingOption(OptMaxPixels, c.Limit);
    if (c.Refused)
      EXPECT_THROW(CheckPixelLimit(c.W, c.H), EImagingError);
    else
      EXPECT_NO_THROW(CheckPixelLimit(c.W, c.H));
  }
  SetImagingOption(OptMaxPixels, 100);
  try {
    CheckPixelLimit(20, 6);
    ADD_FAILURE() << "not refused";
  } catch (const EImagingError& e) {
    EXPECT_STREQ(e.what(), "The image has 20 x 6 pixels, more than the limit of 100 pixels.");
  }
  TImageData img;
  ResetImage(img);
  EXPECT_THROW(CreateImage(20, 6, fmtGray8, img), EImagingError);
  EXPECT_FALSE(IsValidImage(img));
  EXPECT_TRUE(CreateImage(10, 10, fmtGray8, img));
  ReleaseImage(img);
}

// Every handler that writes refuses its own file of one pixel more than the
// limit, with the loading message and the limit's reason; at the limit the
// file loads. A header announcing a huge image fails at once.
TEST(PixelLimit, EveryHandlerRefusesImagesAboveTheLimit) {
  TPixelLimit limit(DefaultMaxPixels);
  TestSupport::TempDir tmp;
  TImageData img = TestSupport::RandomImage(11, 10, fmtA8R8G8B8, 5);
  int32_t tried = 0;
  for (int32_t i = 0; i < HandlerCount(); ++i) {
    TImageFileFormat* h = HandlerAtIndex(i);
    if (!h->CanSave() || !h->CanLoad() || h->Extensions().empty()) continue;
    std::string ext = h->Extensions()[0];
    SCOPED_TRACE(ext);
    std::string file = tmp.File("limit." + ext);
    SetImagingOption(OptMaxPixels, 0);
    if (!WriteImageFile(file, img)) continue;  // a name claimed by a handler that cannot save
    ++tried;
    SetImagingOption(OptMaxPixels, 109);
    std::string message = LoadFailure(file);
    EXPECT_NE(message.find("Error while loading images from file"), std::string::npos) << message;
    EXPECT_NE(message.find("The image has 11 x 10 pixels, more than the limit of 109 pixels."), std::string::npos)
        << message;
    SetImagingOption(OptMaxPixels, 110);
    EXPECT_EQ(LoadFailure(file), "");
  }
  EXPECT_GE(tried, 8);
  ReleaseImage(img);

  // A bitmap header of 20000 x 10000 pixels with four bytes of data: refused
  // at the header.
  SetImagingOption(OptMaxPixels, DefaultMaxPixels);
  std::vector<uint8_t> bmp = {'B', 'M', 58, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0, 40, 0, 0, 0, 0x20, 0x4E, 0, 0,
                              0x10, 0x27, 0, 0, 1, 0, 24, 0};
  bmp.resize(58, 0);
  TestSupport::WriteFileBytes(tmp.File("huge.bmp"), bmp);
  EXPECT_NE(LoadFailure(tmp.File("huge.bmp"))
                .find("The image has 20000 x 10000 pixels, more than the limit of 178,000,000 pixels."),
            std::string::npos)
      << LoadFailure(tmp.File("huge.bmp"));
}

TEST(SaveLeavesTheImage, NoHandlerChangesTheImageItWrites) {
  // The conversion job writes one decoded image to every format in turn, so
  // a save must leave pixels, palette and record exactly as it found them.
  TestSupport::InitCore();
  const TImageFormat formats[] = {fmtR8G8B8,     fmtA8R8G8B8,     fmtX8R8G8B8, fmtIndex8,   fmtGray8,
                                  fmtA16B16G16R16, fmtA32B32G32R32F, fmtR5G6B5,   fmtA8Gray8, fmtGray16};
  for (int32_t i = 0; i < HandlerCount(); ++i) {
    TImageFileFormat* handler = HandlerAtIndex(i);
    if (!handler->CanSave()) continue;
    const std::string ext = handler->Extensions()[0];
    for (TImageFormat format : formats) {
      TImageData image = TestSupport::RandomImage(37, 21, format, 7);
      const TImageData record = image;
      const std::vector<uint8_t> bits(static_cast<uint8_t*>(image.Bits), static_cast<uint8_t*>(image.Bits) + image.Size);
      std::vector<uint8_t> palette;
      if (image.Palette)
        palette.assign(reinterpret_cast<uint8_t*>(image.Palette), reinterpret_cast<uint8_t*>(image.Palette) + 256 * 4);
      TMemoryStream stream;
      try {
        WriteImageStream(ext, &stream, image);
      } catch (const EImagingError&) {
        // A format that cannot hold this image may refuse it; it still must
        // not have touched it.
      }
      SCOPED_TRACE(ext + " " + std::to_string(int(format)));
      EXPECT_EQ(image.Width, record.Width);
      EXPECT_EQ(image.Height, record.Height);
      EXPECT_EQ(image.Format, record.Format);
      EXPECT_EQ(image.Bits, record.Bits);
      EXPECT_EQ(image.Palette, record.Palette);
      EXPECT_TRUE(std::memcmp(image.Bits, bits.data(), bits.size()) == 0);
      if (image.Palette) {
        EXPECT_TRUE(std::memcmp(image.Palette, palette.data(), palette.size()) == 0);
      }
      ReleaseImage(image);
    }
  }
}
