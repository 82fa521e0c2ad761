// PNG against peers: every valid file of the corpus decodes to the pixels
// ImageMagick (and, for animation frames, Pillow) decodes; every damaged file
// fails with the framework's loading message; files written by the peers load
// as the peers decode them; and files we write, for every accepted format,
// filter choice and level, decode in a peer to the pixels we wrote.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "ImagingNetworkGraphics.h"
#include "PngTestSupport.h"
#include "TestSupport.h"

using namespace Imaging;
using namespace PngTest;
namespace fs = std::filesystem;

namespace {

class PngPeerTest : public ::testing::Test {
protected:
  void SetUp() override { TestSupport::InitCore(); }
  void TearDown() override {
    SetImagingOption(OptPngLoadAnimated, -1);
    SetImagingOption(OptPngPreFilter, 5);
    SetImagingOption(OptPngCompressLevel, 5);
  }
};

bool InBadFolder(const fs::path& P) {
  for (const auto& part : P)
    if (part == "bad") return true;
  return false;
}

// PNG files of the corpus, valid or damaged.
std::vector<fs::path> CorpusFiles(bool Bad) {
  std::vector<fs::path> files;
  const fs::path root = TestSupport::CorpusDir();
  for (const char* folder : {"pngsuite/png", "libpng/png", "libpng/apng", "pillow/png", "pillow/apng"}) {
    fs::path dir = root / folder;
    if (!fs::exists(dir)) continue;
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
      if (!e.is_regular_file()) continue;
      if (InBadFolder(fs::relative(e.path(), root)) != Bad) continue;
      std::string ext = e.path().extension().string();
      if (Bad || ext == ".png" || ext == ".apng") files.push_back(e.path());
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

bool LoadFile(const std::string& File, TDynImageDataArray& Images, std::string& Error) {
  try {
    if (!PngHandler()->LoadFromFile(File, Images)) {
      Error = "load returned false";
      return false;
    }
    return true;
  } catch (const EImagingError& e) {
    Error = e.what();
    return false;
  }
}

// Pillow's frames of an animated file as 8-bit RGBA, with the fcTL region,
// dispose and blend of each frame: "n w h" then per frame "x y w h dispose
// blend" and the frame's bytes.
struct TPillowFrame {
  int X = 0, Y = 0, W = 0, H = 0, Dispose = 0, Blend = 0;
  std::vector<uint8_t> Rgba;
};

bool PillowFrames(const std::string& File, std::vector<TPillowFrame>& Frames, int& W, int& H) {
  TestSupport::TempDir dir;
  std::string script = dir.File("frames.py");
  std::ofstream(script) << "import sys\n"
                           "from PIL import Image\n"
                           "im = Image.open(sys.argv[1])\n"
                           "n = getattr(im, 'n_frames', 1)\n"
                           "out = sys.stdout.buffer\n"
                           "out.write(('%d %d %d\\n' % (n, im.size[0], im.size[1])).encode())\n"
                           "for i in range(n):\n"
                           "    im.seek(i)\n"
                           "    d = im.convert('RGBA').tobytes()\n"
                           "    out.write(('%d\\n' % len(d)).encode())\n"
                           "    out.write(d)\n";
  std::string output;
  if (TestSupport::RunCommand(TestSupport::PillowPython() + " " + script + " '" + File + "' 2>/dev/null", &output) != 0)
    return false;
  std::istringstream in(output);
  int n = 0;
  in >> n >> W >> H;
  in.get();
  for (int i = 0; i < n; ++i) {
    size_t len = 0;
    in >> len;
    in.get();
    TPillowFrame f;
    f.Rgba.resize(len);
    in.read(reinterpret_cast<char*>(f.Rgba.data()), std::streamsize(len));
    if (!in) return false;
    Frames.push_back(std::move(f));
  }
  return true;
}

}  // namespace

TEST_F(PngPeerTest, EveryValidCorpusFileMatchesImageMagick) {
  REQUIRE_PROGRAM("convert");
  // The peer shows the default image of an animated file.
  SetImagingOption(OptPngLoadAnimated, 0);
  auto files = CorpusFiles(false);
  ASSERT_GT(files.size(), 300u);
  int compared = 0;
  for (const auto& file : files) {
    SCOPED_TRACE(file.string());
    TDynImageDataArray images;
    std::string error;
    if (!LoadFile(file.string(), images, error)) {
      ADD_FAILURE() << "does not load: " << error;
      continue;
    }
    int32_t w = 0, h = 0;
    std::vector<uint16_t> peer;
    ASSERT_TRUE(MagickRGBA16(file.string(), 0, w, h, peer)) << "peer cannot decode";
    EXPECT_EQ(images[0].Width, w);
    EXPECT_EQ(images[0].Height, h);
    EXPECT_TRUE(SameVisiblePixels(ToRGBA16(images[0]), peer));
    ++compared;
    ReleaseImageArray(images);
  }
  EXPECT_EQ(compared, int(files.size()));
}

TEST_F(PngPeerTest, AnimationFramesMatchPillow) {
  // Every animation composes, frame by frame, to the canvases Pillow shows
  // (which lists a default image outside the animation first, we do not).
  if (!TestSupport::HavePillow()) GTEST_SKIP() << "Pillow is not installed";
  int files = 0, checked = 0, pillowAlphaMixed = 0;
  for (const auto& file : CorpusFiles(false)) {
    TNGFileLoader loader;
    auto bytes = TestSupport::ReadFileBytes(file);
    TMemoryIOState state;
    InitMemoryIOState(bytes.data(), int32_t(bytes.size()), state);
    UseMemoryIO();
    if (!loader.LoadFile(&state) || loader.FileType != ngAPNG) continue;
    SCOPED_TRACE(file.string());
    TDynImageDataArray images;
    std::string error;
    ASSERT_TRUE(LoadFile(file.string(), images, error)) << error;
    std::vector<TPillowFrame> frames;
    int cw = 0, ch = 0;
    ASSERT_TRUE(PillowFrames(file.string(), frames, cw, ch));
    const size_t skip = loader.Frames[0]->HasfcTL ? 0 : 1;
    ASSERT_EQ(images.size() + skip, frames.size());
    for (size_t i = 0; i < images.size(); ++i) {
      ASSERT_EQ(images[i].Width, cw);
      ASSERT_EQ(images[i].Height, ch);
      std::vector<uint16_t> ours = ToRGBA16(images[i]);
      const std::vector<uint8_t>& peer = frames[i + skip].Rgba;
      ASSERT_EQ(ours.size(), peer.size());
      // Pillow draws "over" by mixing the alpha channel like a colour
      // (a translucent frame over an opaque canvas leaves it translucent);
      // there the alpha a viewer shows, ours, is higher than Pillow's.
      const bool over = loader.Frames[i + skip]->fcTL.BlendOp == 1;
      for (size_t k = 0; k < peer.size(); k += 4) {
        if (ours[k + 3] == 0 && peer[k + 3] == 0) continue;
        if (over && peer[k + 3] < (ours[k + 3] >> 8)) {
          ++pillowAlphaMixed;
          continue;
        }
        for (size_t c = 0; c < 4; ++c)
          ASSERT_EQ(ours[k + c] >> 8, peer[k + c]) << "frame " << i << " pixel " << k / 4 << " channel " << c;
      }
      ++checked;
    }
    ++files;
    ReleaseImageArray(images);
  }
  EXPECT_GE(files, 36);
  EXPECT_GT(checked, 150);
  // Translucent frames drawn over opaque ones: 127 frames of 64 x 64
  // pixels in blend_op_over_near_transparent.png, and three frames of
  // 128 x 64 in the palette files (Pillow mixes their palette indices).
  EXPECT_EQ(pillowAlphaMixed, 127 * 64 * 64 + 3 * 128 * 64);
}

TEST_F(PngPeerTest, DamagedAnimationsLoadTheirDefaultImage) {
  // Every animation of the damaged set loses its frames, not its default
  // image: that image alone loads, as the peer (which ignores animation
  // chunks) decodes it; a file without one fails with the loading message.
  REQUIRE_PROGRAM("convert");
  int loaded = 0, failed = 0;
  for (const auto& file : CorpusFiles(true)) {
    if (file.parent_path().parent_path().filename() != "apng") continue;
    SCOPED_TRACE(file.string());
    TDynImageDataArray images;
    std::string error;
    int32_t w = 0, h = 0;
    std::vector<uint16_t> peer;
    const bool peerDecodes = MagickRGBA16(file.string(), 0, w, h, peer);
    if (!LoadFile(file.string(), images, error)) {
      EXPECT_FALSE(peerDecodes) << error;
      EXPECT_EQ(error.rfind("Error while loading images from file \"" + file.string() + "\" (file format: png).", 0),
                0u)
          << error;
      ++failed;
      continue;
    }
    ASSERT_TRUE(peerDecodes);
    ASSERT_EQ(images.size(), 1u);
    EXPECT_EQ(images[0].Width, w);
    EXPECT_EQ(images[0].Height, h);
    EXPECT_TRUE(SameVisiblePixels(ToRGBA16(images[0]), peer));
    ReleaseImageArray(images);
    ++loaded;
  }
  // Only syntax_num_frames_zero.png has no image data at all.
  EXPECT_EQ(loaded, 17);
  EXPECT_EQ(failed, 1);
}

TEST_F(PngPeerTest, EveryDamagedCorpusFileFailsWithTheLoadingMessage) {
  auto files = CorpusFiles(true);
  ASSERT_GT(files.size(), 60u);
  for (const auto& file : files) {
    // Damaged animations are the test above.
    if (file.parent_path().parent_path().filename() == "apng") continue;
    SCOPED_TRACE(file.string());
    // Only its text chunks are hostile (the image itself is sound and we
    // never inflate text), or only an ancillary chunk is damaged (its CRC),
    // which is passed over as libpng does.
    if (file.filename() == "png_decompression_dos.png" || file.filename() == "unknown_compression_method.png") {
      TDynImageDataArray images;
      std::string error;
      EXPECT_TRUE(LoadFile(file.string(), images, error)) << error;
      int32_t w, h;
      std::vector<uint16_t> peer;
      if (!images.empty() && TestSupport::HaveProgram("convert") && MagickRGBA16(file.string(), 0, w, h, peer))
        EXPECT_TRUE(SameVisiblePixels(ToRGBA16(images[0]), peer));
      ReleaseImageArray(images);
      continue;
    }
    TDynImageDataArray images;
    try {
      PngHandler()->LoadFromFile(file.string(), images);
      ADD_FAILURE() << "loaded";
      ReleaseImageArray(images);
    } catch (const EImagingError& e) {
      std::string prefix = "Error while loading images from file \"" + file.string() + "\" (file format: png).";
      EXPECT_EQ(std::string(e.what()).rfind(prefix, 0), 0u) << e.what();
      EXPECT_NE(std::string(e.what()).find(" Exception Message: "), std::string::npos) << e.what();
    }
    EXPECT_TRUE(images.empty());
  }
}

TEST_F(PngPeerTest, FilesWrittenByImageMagickLoadAsItDecodesThem) {
  REQUIRE_PROGRAM("convert");
  TestSupport::TempDir dir;
  // A 16-bit RGBA source with few colours, so that palette output is exact.
  const int W = 37, H = 21;
  std::vector<uint8_t> src(size_t(W) * H * 8);
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x) {
      uint16_t v[4] = {uint16_t(x * 1771 + y * 13), uint16_t(y * 3001), uint16_t((x ^ y) * 2021),
                       uint16_t((x + y) % 3 == 0 ? 0 : 40000 + x * 100)};
      std::memcpy(&src[(size_t(y) * W + x) * 8], v, 8);
    }
  TestSupport::WriteFileBytes(dir.Path() / "src.raw", src);
  const std::string source = "-size " + std::to_string(W) + "x" + std::to_string(H) + " -depth 16 -endian LSB rgba:" +
                             dir.File("src.raw");
  struct TCase {
    const char* Name;
    std::string Options;
  };
  const TCase cases[] = {
      {"gray1", "-colorspace gray -depth 1 -type bilevel -define png:color-type=0 -define png:bit-depth=1"},
      {"gray2", "-colorspace gray -depth 2 -define png:color-type=0 -define png:bit-depth=2"},
      {"gray4", "-colorspace gray -depth 4 -define png:color-type=0 -define png:bit-depth=4"},
      {"gray8", "-alpha off -colorspace gray -depth 8 -define png:color-type=0"},
      {"gray16", "-alpha off -colorspace gray -depth 16 -define png:color-type=0"},
      {"graya8", "-colorspace gray -depth 8 -define png:color-type=4"},
      {"graya16", "-colorspace gray -depth 16 -define png:color-type=4"},
      {"rgb8", "-alpha off -depth 8 -define png:color-type=2"},
      {"rgb16", "-alpha off -depth 16 -define png:color-type=2"},
      {"rgba8", "-depth 8 -define png:color-type=6"},
      {"rgba16", "-depth 16 -define png:color-type=6"},
      {"palette", "-depth 8 -colors 200 PNG8:"},
      {"rgb8-trns", "-alpha off -depth 8 -fill black -draw 'point 1,1' -transparent black -define png:color-type=2"},
      {"gray8-trns", "-alpha off -colorspace gray -depth 8 -transparent black -define png:color-type=0"},
  };
  for (const TCase& c : cases)
    for (bool interlace : {false, true}) {
      SCOPED_TRACE(std::string(c.Name) + (interlace ? " interlaced" : ""));
      std::string options = c.Options;
      std::string prefix;
      size_t png8 = options.find("PNG8:");
      if (png8 != std::string::npos) {
        prefix = "PNG8:";
        options.erase(png8);
      }
      std::string file = dir.File(std::string(c.Name) + (interlace ? "-i" : "") + ".png");
      std::string cmd = "convert " + source + " " + options + (interlace ? " -interlace PNG " : " ") + prefix + file;
      ASSERT_EQ(TestSupport::RunCommand(cmd + " 2>&1"), 0) << cmd;
      auto bytes = TestSupport::ReadFileBytes(file);
      auto ihdr = ChunkData(bytes, "IHDR");
      ASSERT_EQ(ihdr.size(), 13u);
      EXPECT_EQ(ihdr[12], interlace ? 1 : 0);
      TDynImageDataArray images;
      std::string error;
      ASSERT_TRUE(LoadFile(file, images, error)) << error;
      int32_t w, h;
      std::vector<uint16_t> peer;
      ASSERT_TRUE(MagickRGBA16(file, 0, w, h, peer));
      EXPECT_TRUE(SameVisiblePixels(ToRGBA16(images[0]), peer)) << "type " << int(ihdr[9]) << " depth " << int(ihdr[8]);
      ReleaseImageArray(images);
    }
}

TEST_F(PngPeerTest, FilesWrittenByPillowLoadAsItDecodesThem) {
  if (!TestSupport::HavePillow()) GTEST_SKIP() << "Pillow is not installed";
  TestSupport::TempDir dir;
  std::string script = dir.File("make.py");
  std::ofstream(script) << "import sys, random\n"
                           "from PIL import Image\n"
                           "random.seed(3)\n"
                           "d = sys.argv[1]\n"
                           "w, h = 29, 17\n"
                           "def noise(mode, n):\n"
                           "    return bytes(random.randrange(256) for _ in range(w * h * n))\n"
                           "Image.frombytes('1', (w, h), noise('1', 1)).save(d + '/one.png')\n"
                           "Image.frombytes('L', (w, h), noise('L', 1)).save(d + '/l.png')\n"
                           "Image.frombytes('L', (w, h), noise('L', 1)).save(d + '/ltrns.png', transparency=7)\n"
                           "Image.frombytes('LA', (w, h), noise('LA', 2)).save(d + '/la.png')\n"
                           "Image.frombytes('RGB', (w, h), noise('RGB', 3)).save(d + '/rgb.png', optimize=True)\n"
                           "Image.frombytes('RGB', (w, h), noise('RGB', 3)).save(d + '/rgbtrns.png', "
                           "transparency=(1, 2, 3))\n"
                           "Image.frombytes('RGBA', (w, h), noise('RGBA', 4)).save(d + '/rgba.png', compress_level=1)\n"
                           "p = Image.frombytes('P', (w, h), bytes(random.randrange(16) for _ in range(w * h)))\n"
                           "p.putpalette([random.randrange(256) for _ in range(48)])\n"
                           "p.save(d + '/p4.png', bits=4, transparency=bytes([0, 128, 255]))\n"
                           "Image.frombytes('I;16', (w, h), noise('I;16', 2)).save(d + '/i16.png')\n";
  ASSERT_EQ(TestSupport::RunCommand(TestSupport::PillowPython() + " " + script + " " + dir.Path().string()), 0);
  for (const char* name : {"one", "l", "ltrns", "la", "rgb", "rgbtrns", "rgba", "p4", "i16"}) {
    SCOPED_TRACE(name);
    std::string file = dir.File(std::string(name) + ".png");
    TDynImageDataArray images;
    std::string error;
    ASSERT_TRUE(LoadFile(file, images, error)) << error;
    int32_t w, h;
    std::vector<uint16_t> peer;
    ASSERT_TRUE(MagickRGBA16(file, 0, w, h, peer));
    EXPECT_TRUE(SameVisiblePixels(ToRGBA16(images[0]), peer));
    ReleaseImageArray(images);
  }
}

TEST_F(PngPeerTest, EveryFormatFilterAndLevelWeWriteDecodesInAPeer) {
  REQUIRE_PROGRAM("convert");
  TestSupport::TempDir dir;
  const TImageFormat formats[] = {fmtIndex8,    fmtGray8,        fmtA8Gray8,   fmtGray16,      fmtA16Gray16,
                                  fmtR8G8B8,    fmtA8R8G8B8,     fmtR16G16B16, fmtA16R16G16B16, fmtB16G16R16,
                                  fmtA16B16G16R16};
  std::vector<std::string> files;
  std::vector<std::vector<uint16_t>> expected;
  std::vector<std::string> labels;
  uint32_t seed = 7;
  for (TImageFormat f : formats) {
    TImageData img = SmoothImage(19, 7, f, seed++);
    std::vector<uint16_t> want = ToRGBA16(img);
    for (int pre = 0; pre <= 6; ++pre)
      for (int level = 0; level <= 9; ++level) {
        SetImagingOption(OptPngPreFilter, pre);
        SetImagingOption(OptPngCompressLevel, level);
        std::string file = dir.File("f" + std::to_string(files.size()) + ".png");
        TestSupport::WriteFileBytes(file, SavePng({img}));
        files.push_back(file);
        expected.push_back(want);
        labels.push_back(FormatDisplayName(f) + " prefilter " + std::to_string(pre) + " level " +
                         std::to_string(level));
      }
    ReleaseImage(img);
  }
  // One peer process decodes them all, in batches.
  const size_t batch = 110;
  for (size_t first = 0; first < files.size(); first += batch) {
    std::string cmd = "cd '" + dir.Path().string() + "' && convert";
    size_t last = std::min(files.size(), first + batch);
    for (size_t i = first; i < last; ++i) cmd += " f" + std::to_string(i) + ".png";
    cmd += " -depth 16 -endian LSB +adjoin rgba:out-%d.raw 2>&1";
    std::string output;
    ASSERT_EQ(TestSupport::RunCommand(cmd, &output), 0) << output;
    for (size_t i = first; i < last; ++i) {
      auto raw = TestSupport::ReadFileBytes(dir.Path() / ("out-" + std::to_string(i - first) + ".raw"));
      std::vector<uint16_t> peer(raw.size() / 2);
      std::memcpy(peer.data(), raw.data(), peer.size() * 2);
      EXPECT_EQ(peer, expected[i]) << labels[i];
    }
  }
}

TEST_F(PngPeerTest, AnApngWeWriteIsAnimatedInPillow) {
  if (!TestSupport::HavePillow()) GTEST_SKIP() << "Pillow is not installed";
  TestSupport::TempDir dir;
  // Frames of noise whose streams are far larger than the blocks they are
  // deflated in; each still goes into one data chunk.
  TImageData a = TestSupport::RandomImage(150, 300, fmtA8R8G8B8, 1);
  TImageData b = TestSupport::RandomImage(200, 100, fmtA8R8G8B8, 2);
  TImageData c = TestSupport::RandomImage(5, 300, fmtA8R8G8B8, 3);
  std::string file = dir.File("anim.png");
  std::vector<uint8_t> png = SavePng({a, b, c});
  EXPECT_EQ(AllChunkData(png, "IDAT").size(), 1u);
  EXPECT_EQ(AllChunkData(png, "fdAT").size(), 2u);
  EXPECT_GT(ChunkData(png, "IDAT").size(), 150u * 300 * 4);
  TestSupport::WriteFileBytes(file, png);
  std::vector<TPillowFrame> frames;
  int w = 0, h = 0;
  ASSERT_TRUE(PillowFrames(file, frames, w, h));
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(w, 200);
  EXPECT_EQ(h, 300);
  // Frame i shows image i at the top-left corner (source blend).
  const TImageData* images[] = {&a, &b, &c};
  for (size_t i = 0; i < 3; ++i) {
    const TImageData& img = *images[i];
    const uint8_t* p = static_cast<const uint8_t*>(img.Bits);
    for (int y = 0; y < img.Height; ++y)
      for (int x = 0; x < img.Width; ++x) {
        const uint8_t* px = p + (size_t(y) * img.Width + x) * 4;
        const uint8_t* peer = frames[i].Rgba.data() + (size_t(y) * w + x) * 4;
        if (px[3] == 0 && peer[3] == 0) continue;
        ASSERT_EQ(peer[0], px[2]) << i;
        ASSERT_EQ(peer[1], px[1]) << i;
        ASSERT_EQ(peer[2], px[0]) << i;
        ASSERT_EQ(peer[3], px[3]) << i;
      }
  }
  ReleaseImage(a);
  ReleaseImage(b);
  ReleaseImage(c);
}
