// Resampling: kernels, contribution tables, the integer and float paths of
// the filtered resampler against hand-computed values, their agreement, and
// the 16.16 nearest stretch.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "Imaging.h"

using namespace Imaging;

namespace {

class CoreEnvironment : public ::testing::Environment {
public:
  void SetUp() override { InitFormatInfoTable(); }
};
const auto* const Env = ::testing::AddGlobalTestEnvironment(new CoreEnvironment);

struct TImage {
  TImageData Img;
  TImage(int32_t W, int32_t H, TImageFormat F) { EXPECT_TRUE(CreateImage(W, H, F, Img)); }
  ~TImage() { ReleaseImage(Img); }
  TImage(const TImage&) = delete;
  TImage& operator=(const TImage&) = delete;
  uint8_t* Bytes() { return static_cast<uint8_t*>(Img.Bits); }
  float* Floats() { return static_cast<float*>(Img.Bits); }
};

float K(TSampleKernel Kernel, float X) { return SampleKernelFunction(Kernel)(X); }

float ClusterSum(const TCluster& Cluster) {
  float sum = 0.0f;
  for (const TPointRec& p : Cluster) sum += p.Weight;
  return sum;
}

// Total weight per source index of one cluster.
std::vector<float> WeightsBySource(const TCluster& Cluster, int32_t SourceCount) {
  std::vector<float> w(static_cast<size_t>(SourceCount), 0.0f);
  for (const TPointRec& p : Cluster) {
    EXPECT_GE(p.Pos, 0);
    EXPECT_LT(p.Pos, SourceCount);
    w[size_t(p.Pos)] += p.Weight;
  }
  return w;
}

}  // namespace

TEST(ResampleKernels, ValuesAndRadii) {
  EXPECT_EQ(K(skBox, -0.5f), 0.0f);
  EXPECT_EQ(K(skBox, 0.5f), 1.0f);
  EXPECT_EQ(K(skBox, 0.0f), 1.0f);
  EXPECT_EQ(K(skTriangle, 0.25f), 0.75f);
  EXPECT_EQ(K(skTriangle, -1.0f), 0.0f);
  EXPECT_FLOAT_EQ(K(skCosine, 0.5f), 0.5f);
  EXPECT_EQ(K(skHermite, 0.5f), 0.5f);
  EXPECT_EQ(K(skQuadratic, 0.0f), 0.75f);
  EXPECT_EQ(K(skQuadratic, 0.5f), 0.5f);
  EXPECT_EQ(K(skQuadratic, 1.5f), 0.0f);
  EXPECT_FLOAT_EQ(K(skGaussian, 0.0f), 0.7978845608f);
  EXPECT_FLOAT_EQ(K(skGaussian, 2.0f), float(std::exp(-8.0) * std::sqrt(2.0 / 3.14159265358979)));  // no cut-off
  EXPECT_FLOAT_EQ(K(skSpline, 0.0f), 2.0f / 3.0f);
  EXPECT_FLOAT_EQ(K(skSpline, 1.0f), 1.0f / 6.0f);
  EXPECT_EQ(K(skLanczos3, 0.0f), 1.0f);
  EXPECT_NEAR(K(skLanczos3, 1.0f), 0.0f, 1e-7);
  EXPECT_FLOAT_EQ(K(skLanczos3, 0.5f), float((std::sin(3.14159265358979 / 2) / (3.14159265358979 / 2)) *
                                               (std::sin(3.14159265358979 / 6) / (3.14159265358979 / 6))));
  EXPECT_FLOAT_EQ(K(skMitchell, 0.0f), 16.0f / 18.0f);
  EXPECT_FLOAT_EQ(K(skMitchell, 1.0f), 1.0f / 18.0f);
  EXPECT_EQ(K(skCatmullRom, 0.0f), 1.0f);
  EXPECT_EQ(K(skCatmullRom, 1.25f), -0.0703125f);
  EXPECT_EQ(K(skCatmullRom, -0.75f), 0.2265625f);
  EXPECT_EQ(K(skCatmullRom, 2.0f), 0.0f);

  const float radii[10] = {1.0f, 1.0f, 1.0f, 1.0f, 1.5f, 1.25f, 2.0f, 3.0f, 2.0f, 2.0f};
  for (int k = 0; k < 10; ++k) EXPECT_EQ(SampleKernelRadius(TSampleKernel(k)), radii[k]) << k;
  EXPECT_THROW(SampleKernelFunction(TSampleKernel(10)), EAssertionFailed);
  EXPECT_THROW(SampleKernelRadius(TSampleKernel(-1)), EAssertionFailed);
}

TEST(ResampleTables, SingleSourceAndEmptyRanges) {
  TMappingTable t = BuildMappingTable(3, 5, 1, 10, SampleKernelFunction(skCatmullRom), 2.0f, false);
  ASSERT_EQ(t.size(), 3u);
  for (const TCluster& c : t) {
    ASSERT_EQ(c.size(), 1u);
    EXPECT_EQ(c[0].Pos, 5);
    EXPECT_EQ(c[0].Weight, 1.0f);
  }
  EXPECT_TRUE(BuildMappingTable(0, 0, 4, 4, SampleKernelFunction(skTriangle), 1.0f, false).empty());
  EXPECT_TRUE(BuildMappingTable(4, 0, 0, 4, SampleKernelFunction(skTriangle), 1.0f, false).empty());
}

TEST(ResampleTables, MagnificationWithTriangle) {
  // 2 -> 4: centres -0.25, 0.25, 0.75, 1.25 in source pixels.
  TMappingTable t = BuildMappingTable(4, 0, 2, 2, SampleKernelFunction(skTriangle), 1.0f, false);
  ASSERT_EQ(t.size(), 4u);
  const float expected[4][2] = {{1.0f, 0.0f}, {0.75f, 0.25f}, {0.25f, 0.75f}, {0.0f, 1.0f}};
  for (int i = 0; i < 4; ++i) {
    const std::vector<float> w = WeightsBySource(t[size_t(i)], 2);
    EXPECT_EQ(w[0], expected[i][0]) << i;
    EXPECT_EQ(w[1], expected[i][1]) << i;
  }
  // The first cluster holds the clamped left neighbour and pixel 0, in that order.
  ASSERT_EQ(t[0].size(), 2u);
  EXPECT_EQ(t[0][0].Weight, 0.25f);
  EXPECT_EQ(t[0][1].Weight, 0.75f);
}

TEST(ResampleTables, MinificationWidensTheSupport) {
  // 4 -> 2 with triangle: weights 1/8, 3/8, 3/8, 1/8 around centres 0.5 and 2.5.
  TMappingTable t = BuildMappingTable(2, 0, 4, 4, SampleKernelFunction(skTriangle), 1.0f, false);
  ASSERT_EQ(t.size(), 2u);
  const std::vector<float> w0 = WeightsBySource(t[0], 4);
  const std::vector<float> w1 = WeightsBySource(t[1], 4);
  EXPECT_EQ(w0, (std::vector<float>{0.5f, 0.375f, 0.125f, 0.0f}));
  EXPECT_EQ(w1, (std::vector<float>{0.0f, 0.125f, 0.375f, 0.5f}));

  // A sub-range of a larger source stays inside that range.
  TMappingTable sub = BuildMappingTable(3, 10, 7, 40, SampleKernelFunction(skCatmullRom), 2.0f, false);
  for (const TCluster& c : sub)
    for (const TPointRec& p : c) {
      EXPECT_GE(p.Pos, 10);
      EXPECT_LE(p.Pos, 16);
    }
}

TEST(ResampleTables, NormalisationAndWrapping) {
  std::mt19937 rng(5);
  for (int k = 0; k < 10; ++k)
    for (int trial = 0; trial < 20; ++trial) {
      const int32_t src = int32_t(rng() % 40) + 2, dst = int32_t(rng() % 40) + 1;
      TMappingTable t = BuildMappingTable(dst, 0, src, src, SampleKernelFunction(TSampleKernel(k)),
                                          SampleKernelRadius(TSampleKernel(k)), false);
      ASSERT_EQ(t.size(), size_t(dst));
      for (const TCluster& c : t) {
        ASSERT_FALSE(c.empty());
        EXPECT_NEAR(ClusterSum(c), 1.0f, 2e-6f) << "kernel " << k << " " << src << "->" << dst;
      }
    }

  // The Gaussian does not sum to 1 by itself: only the middle entry absorbs
  // the difference.
  TMappingTable g = BuildMappingTable(4, 0, 2, 2, SampleKernelFunction(skGaussian), 1.25f, false);
  const TCluster& c = g[1];  // centre 0.25: indices -1 .. 2
  ASSERT_EQ(c.size(), 4u);
  const float raw[4] = {K(skGaussian, 1.25f), K(skGaussian, 0.25f), K(skGaussian, -0.75f), K(skGaussian, -1.75f)};
  EXPECT_EQ(c[0].Weight, raw[0]);
  EXPECT_NE(c[1].Weight, raw[1]);
  EXPECT_EQ(c[2].Weight, raw[2]);
  EXPECT_EQ(c[3].Weight, raw[3]);
  EXPECT_EQ(c[0].Pos, 0);
  EXPECT_EQ(c[3].Pos, 1);

  // Wrap mode folds the neighbours around the whole source.
  TMappingTable w = BuildMappingTable(8, 0, 4, 4, SampleKernelFunction(skCatmullRom), 2.0f, true);
  bool sawWrappedRight = false, sawWrappedLeft = false;
  for (const TPointRec& p : w[0]) sawWrappedRight |= p.Pos == 3;
  for (const TPointRec& p : w[7]) sawWrappedLeft |= p.Pos == 0;
  EXPECT_TRUE(sawWrappedRight);
  EXPECT_TRUE(sawWrappedLeft);
  // A support wider than the image never leaves it.
  TMappingTable tiny = BuildMappingTable(9, 0, 2, 2, SampleKernelFunction(skLanczos3), 3.0f, true);
  for (const TCluster& cl : tiny)
    for (const TPointRec& p : cl) {
      EXPECT_GE(p.Pos, 0);
      EXPECT_LE(p.Pos, 1);
    }
}

TEST(ResampleTables, SampleMapReportsTheColumnRange) {
  TMappingTable mx, my;
  int32_t xMin = -1, xMax = -1;
  BuildSampleMap(4, 3, 8, 6, 20, 10, 5, 2, SampleKernelFunction(skCatmullRom), 2.0f, false, mx, my, xMin, xMax);
  EXPECT_EQ(mx.size(), 8u);
  EXPECT_EQ(my.size(), 6u);
  EXPECT_EQ(xMin, 5);
  EXPECT_EQ(xMax, 8);
  for (const TCluster& c : my)
    for (const TPointRec& p : c) {
      EXPECT_GE(p.Pos, 2);
      EXPECT_LE(p.Pos, 4);
    }
}

TEST(ResampleImages, TriangleAndCatmullRomByHand) {
  // Integer path: weights in 1/256, two passes, result shifted right 16.
  TImage src(2, 1, fmtGray8);
  src.Bytes()[0] = 0;
  src.Bytes()[1] = 200;
  TImage dst(4, 1, fmtGray8);
  StretchResample(src.Img, 0, 0, 2, 1, dst.Img, 0, 0, 4, 1, skTriangle);
  EXPECT_EQ(std::vector<uint8_t>(dst.Bytes(), dst.Bytes() + 4), (std::vector<uint8_t>{0, 50, 150, 200}));

  // Catmull-Rom weights per source pixel: (1.0703125, -0.0703125),
  // (0.796875, 0.203125) and mirrored; in 1/256: 274/-18, 204/52.
  src.Bytes()[0] = 100;
  StretchResample(src.Img, 0, 0, 2, 1, dst.Img, 0, 0, 4, 1, skCatmullRom);
  EXPECT_EQ(std::vector<uint8_t>(dst.Bytes(), dst.Bytes() + 4), (std::vector<uint8_t>{92, 120, 179, 207}));
  // Overshoot is clamped to the channel range.
  src.Bytes()[0] = 0;
  src.Bytes()[1] = 255;
  StretchResample(src.Img, 0, 0, 2, 1, dst.Img, 0, 0, 4, 1, skCatmullRom);
  EXPECT_EQ(dst.Bytes()[0], 0);
  EXPECT_EQ(dst.Bytes()[3], 255);

  // The same along rows (the first pass of the resampler).
  TImage col(1, 2, fmtGray8);
  col.Bytes()[0] = 100;
  col.Bytes()[1] = 200;
  TImage colDst(1, 4, fmtGray8);
  StretchResample(col.Img, 0, 0, 1, 2, colDst.Img, 0, 0, 1, 4, skCatmullRom);
  EXPECT_EQ(std::vector<uint8_t>(colDst.Bytes(), colDst.Bytes() + 4), (std::vector<uint8_t>{92, 120, 179, 207}));

  // Float path: weights as singles, no rounding of the result.
  TImage fsrc(2, 1, fmtA32R32G32B32F);
  const float pixels[8] = {0.1f, 0.2f, 0.4f, 1.0f, 0.3f, 0.6f, 0.8f, 0.5f};
  std::memcpy(fsrc.Bytes(), pixels, sizeof pixels);
  TImage fdst(4, 1, fmtA32R32G32B32F);
  StretchResample(fsrc.Img, 0, 0, 2, 1, fdst.Img, 0, 0, 4, 1, skCatmullRom);
  const double w[4][2] = {{1.0703125, -0.0703125}, {0.796875, 0.203125}, {0.203125, 0.796875}, {-0.0703125, 1.0703125}};
  for (int i = 0; i < 4; ++i)
    for (int ch = 0; ch < 4; ++ch)
      EXPECT_NEAR(fdst.Floats()[i * 4 + ch], w[i][0] * pixels[ch] + w[i][1] * pixels[4 + ch], 1e-6) << i << "/" << ch;
}

TEST(ResampleImages, FloatPathThroughTheFormatAccess) {
  // 16-bit formats are read and written as floats by their access functions.
  TImage gray(2, 1, fmtGray16);
  const uint16_t grayPixels[2] = {0, 40000};
  std::memcpy(gray.Bytes(), grayPixels, 4);
  TImage grayDst(4, 1, fmtGray16);
  StretchResample(gray.Img, 0, 0, 2, 1, grayDst.Img, 0, 0, 4, 1, skTriangle);
  uint16_t grayOut[4];
  std::memcpy(grayOut, grayDst.Bytes(), 8);
  EXPECT_EQ(std::vector<uint16_t>(grayOut, grayOut + 4), (std::vector<uint16_t>{0, 10000, 30000, 40000}));

  TImage argb(2, 1, fmtA16R16G16B16);
  const uint16_t argbPixels[8] = {0, 1000, 65535, 65535, 4000, 3000, 0, 65535};  // B, G, R, A words
  std::memcpy(argb.Bytes(), argbPixels, 16);
  TImage argbDst(4, 1, fmtA16R16G16B16);
  StretchResample(argb.Img, 0, 0, 2, 1, argbDst.Img, 0, 0, 4, 1, skTriangle);
  uint16_t argbOut[16];
  std::memcpy(argbOut, argbDst.Bytes(), 32);
  const uint16_t expected[16] = {0,    1000, 65535, 65535, 1000, 1500, 49151, 65535,
                                 3000, 2500, 16384, 65535, 4000, 3000, 0,     65535};
  for (int i = 0; i < 16; ++i) EXPECT_NEAR(argbOut[i], expected[i], 1) << i;
}

TEST(ResampleImages, BilinearTwoByTwoToFourByFour) {
  TImage src(2, 2, fmtA8R8G8B8);
  const uint8_t pixels[16] = {0, 10, 20, 255, 100, 110, 120, 255, 200, 210, 220, 0, 40, 50, 60, 128};
  std::memcpy(src.Bytes(), pixels, 16);
  TImage dst(4, 4, fmtA8R8G8B8);
  StretchResample(src.Img, 0, 0, 2, 2, dst.Img, 0, 0, 4, 4, skTriangle);
  const int32_t w[4][2] = {{256, 0}, {192, 64}, {64, 192}, {0, 256}};
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 4; ++x)
      for (int ch = 0; ch < 4; ++ch) {
        int32_t acc = 0;
        for (int sy = 0; sy < 2; ++sy)
          for (int sx = 0; sx < 2; ++sx) acc += pixels[(sy * 2 + sx) * 4 + ch] * w[y][sy] * w[x][sx];
        EXPECT_EQ(dst.Bytes()[(y * 4 + x) * 4 + ch], acc >> 16) << x << "," << y << " ch " << ch;
      }
}

TEST(ResampleImages, RectanglesInsideLargerImages) {
  TImage src(6, 5, fmtGray8);
  for (int i = 0; i < 30; ++i) src.Bytes()[i] = uint8_t(i * 8);
  TImage dst(7, 7, fmtGray8);
  std::memset(dst.Bytes(), 0xEE, 49);
  // Source columns 2..3 of row 1 onto target columns 1..4 of rows 3..4.
  StretchResample(src.Img, 2, 1, 2, 1, dst.Img, 1, 3, 4, 2, skTriangle);
  const uint8_t a = src.Bytes()[1 * 6 + 2], b = src.Bytes()[1 * 6 + 3];
  const uint8_t row[4] = {a, uint8_t((a * 192 + b * 64) / 256), uint8_t((a * 64 + b * 192) / 256), b};
  for (int y = 0; y < 7; ++y)
    for (int x = 0; x < 7; ++x) {
      const bool inside = y >= 3 && y <= 4 && x >= 1 && x <= 4;
      EXPECT_EQ(dst.Bytes()[y * 7 + x], inside ? row[x - 1] : 0xEE) << x << "," << y;
    }
  // Rectangles outside the images or mixed formats are refused.
  EXPECT_THROW(StretchResample(src.Img, 5, 0, 2, 1, dst.Img, 0, 0, 2, 2, skTriangle), EAssertionFailed);
  EXPECT_THROW(StretchResample(src.Img, 0, 0, 2, 1, dst.Img, 6, 0, 2, 2, skTriangle), EAssertionFailed);
  TImage other(4, 4, fmtA8R8G8B8);
  EXPECT_THROW(StretchResample(src.Img, 0, 0, 2, 2, other.Img, 0, 0, 4, 4, skTriangle), EAssertionFailed);
  TImage idx(2, 2, fmtIndex8), idx2(4, 4, fmtIndex8);
  EXPECT_THROW(StretchResample(idx.Img, 0, 0, 2, 2, idx2.Img, 0, 0, 4, 4, skTriangle), EAssertionFailed);
}

TEST(ResampleImages, StrongReductionKeepsTheLevel) {
  // With 1/256 weights each tap of a 1000:3 reduction rounds to 0 or 1; the
  // level of a flat image must still come through.
  TImage src(1000, 2, fmtGray8);
  std::memset(src.Bytes(), 200, 2000);
  TImage dst(3, 1, fmtGray8);
  for (TSampleKernel k : {skTriangle, skCatmullRom, skLanczos3, skGaussian}) {
    StretchResample(src.Img, 0, 0, 1000, 2, dst.Img, 0, 0, 3, 1, k);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(dst.Bytes()[i], 200) << "kernel " << int(k) << " pixel " << i;
  }
}

TEST(ResampleImages, IntegerPathAgreesWithFloatPath) {
  // The same random picture in A8R8G8B8 (integer path) and A32R32G32B32F
  // (float path) resampled alike. The integer path truncates, so it lies up
  // to one level below the exact value, and never more than one level away
  // from the float result rounded to 8 bits.
  const int32_t w = 37, h = 23;
  TImage src8(w, h, fmtA8R8G8B8);
  TImage srcF(w, h, fmtA32R32G32B32F);
  std::mt19937 rng(77);
  for (int32_t i = 0; i < w * h * 4; ++i) {
    const uint8_t v = uint8_t(rng() >> 24);
    src8.Bytes()[i] = v;
    srcF.Floats()[i] = v / 255.0f;
  }
  const int32_t sizes[][2] = {{74, 46}, {111, 23}, {19, 12}, {5, 40}, {53, 17}, {12, 7}, {3, 2}, {36, 22}};
  for (TSampleKernel k : {skTriangle, skCatmullRom, skMitchell, skSpline, skLanczos3, skHermite})
    for (const auto& s : sizes) {
      TImage d8(s[0], s[1], fmtA8R8G8B8);
      TImage dF(s[0], s[1], fmtA32R32G32B32F);
      StretchResample(src8.Img, 0, 0, w, h, d8.Img, 0, 0, s[0], s[1], k);
      StretchResample(srcF.Img, 0, 0, w, h, dF.Img, 0, 0, s[0], s[1], k);
      for (int32_t i = 0; i < s[0] * s[1] * 4; ++i) {
        const double exact = std::clamp(double(dF.Floats()[i]) * 255.0, 0.0, 255.0);
        const int32_t value = d8.Bytes()[i];
        ASSERT_LE(std::abs(value - int32_t(std::lrint(exact))), 1)
            << "kernel " << int(k) << " " << s[0] << "x" << s[1] << " at " << i << ": " << value << " vs " << exact;
        ASSERT_GT(value - exact, -1.25) << "kernel " << int(k) << " " << s[0] << "x" << s[1] << " at " << i;
        ASSERT_LT(value - exact, 0.25) << "kernel " << int(k) << " " << s[0] << "x" << s[1] << " at " << i;
      }
    }
}

TEST(ResampleNearest, FixedPointSteps) {
  TImage src(3, 1, fmtGray8);
  const uint8_t pixels[3] = {10, 20, 30};
  std::memcpy(src.Bytes(), pixels, 3);
  TImage up(5, 1, fmtGray8);
  StretchNearest(src.Img, 0, 0, 3, 1, up.Img, 0, 0, 5, 1);  // step 39321
  EXPECT_EQ(std::vector<uint8_t>(up.Bytes(), up.Bytes() + 5), (std::vector<uint8_t>{10, 10, 20, 20, 30}));
  TImage down(2, 1, fmtGray8);
  StretchNearest(src.Img, 0, 0, 3, 1, down.Img, 0, 0, 2, 1);  // step 98304, no half-pixel offset
  EXPECT_EQ(std::vector<uint8_t>(down.Bytes(), down.Bytes() + 2), (std::vector<uint8_t>{10, 20}));

  // Rows: 2 -> 3 takes rows 0, 0, 1.
  TImage rows(1, 2, fmtR8G8B8);
  const uint8_t rowPixels[6] = {1, 2, 3, 4, 5, 6};
  std::memcpy(rows.Bytes(), rowPixels, 6);
  TImage rowsUp(2, 3, fmtR8G8B8);
  StretchNearest(rows.Img, 0, 0, 1, 2, rowsUp.Img, 0, 0, 2, 3);
  const uint8_t expected[18] = {1, 2, 3, 1, 2, 3, 1, 2, 3, 1, 2, 3, 4, 5, 6, 4, 5, 6};
  EXPECT_EQ(std::memcmp(rowsUp.Bytes(), expected, 18), 0);
}

TEST(ResampleNearest, WideSourcesDoNotOverflowTheStep) {
  // 40000 * 65536 does not fit 32 bits.
  TImage src(40000, 1, fmtGray8);
  for (int32_t i = 0; i < 40000; ++i) src.Bytes()[i] = uint8_t(i % 251);
  TImage dst(3, 1, fmtGray8);
  StretchNearest(src.Img, 0, 0, 40000, 1, dst.Img, 0, 0, 3, 1);
  const int64_t step = (int64_t(40000) << 16) / 3;
  for (int i = 0; i < 3; ++i) EXPECT_EQ(dst.Bytes()[i], uint8_t(((i * step) >> 16) % 251)) << i;
}

// The 8-bit path is pinned byte for byte (FNV-1a digest over all results) on
// a fixed noisy gradient: halving as mipmap chains do, odd reductions and
// enlargements, for every channel count and several kernels.
TEST(ResampleImages, IntegerPathIsPinned) {
  const int32_t w = 203, h = 151;
  const struct {
    TImageFormat F;
    uint64_t Digest;
  } cases[] = {{fmtGray8, 0x63B09E624ECC883Full},
               {fmtA8Gray8, 0x71AF21838C3D8FE0ull},
               {fmtR8G8B8, 0xA22435898485CA97ull},
               {fmtA8R8G8B8, 0xC7CCC5460DEA8DA9ull}};
  const int32_t sizes[][2] = {{101, 75}, {50, 37}, {77, 151}, {203, 60}, {310, 200}, {1, 1}};
  for (const auto& c : cases) {
    TImage src(w, h, c.F);
    const int32_t bytes = w * h * int32_t(src.Img.Size / (size_t(w) * size_t(h)));
    uint32_t seed = 5;
    for (int32_t i = 0; i < bytes; ++i) {
      seed = seed * 1103515245u + 12345u;
      src.Bytes()[i] = uint8_t((i / 7) % 256 + ((seed >> 16) & 15) + ((i % 11 == 0) ? 100 : 0));
    }
    uint64_t digest = 1469598103934665603ull;
    for (TSampleKernel k : {skBox, skTriangle, skCatmullRom, skLanczos3, skGaussian})
      for (const auto& s : sizes) {
        TImage dst(s[0], s[1], c.F);
        StretchResample(src.Img, 0, 0, w, h, dst.Img, 0, 0, s[0], s[1], k);
        for (int32_t i = 0; i < dst.Img.Size; ++i) digest = (digest ^ dst.Bytes()[i]) * 1099511628211ull;
      }
    EXPECT_EQ(digest, c.Digest) << "format " << int(c.F) << std::hex << " digest 0x" << digest;
  }
}
