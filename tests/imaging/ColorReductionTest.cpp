// Median cut quantizer: documented cases, stage handling and a comparison with
// a plain implementation (hash buckets and linked boxes, every box scanned for
// every pixel).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <random>
#include <vector>

#include "Imaging.h"
#include "ImagingFormats.h"
#include "TestSupport.h"

using namespace Imaging;

namespace {

// ---------------------------------------------------------------------------
// Plain reference quantizer over 0xAARRGGBB colours
// ---------------------------------------------------------------------------

int Chan(uint32_t C, int Channel) {  // channel order A, R, G, B
  static const int Shift[4] = {24, 16, 8, 0};
  return int((C >> Shift[Channel]) & 0xFF);
}

// The histogram and the boxes exactly as the algorithm describes them:
// 32768 hash buckets of linked nodes, boxes holding linked lists, nodes
// pushed at the head of their list.
struct RefNode {
  uint32_t Color = 0;
  uint32_t Count = 0;
  RefNode* Next = nullptr;
};

struct RefBox {
  int Min[4] = {256, 256, 256, 256}, Max[4] = {-1, -1, -1, -1};
  long long Total = 0;
  uint32_t Color = 0;
  RefNode* List = nullptr;
  void Push(RefNode* N) {
    for (int c = 0; c < 4; ++c) {
      Min[c] = std::min(Min[c], Chan(N->Color, c));
      Max[c] = std::max(Max[c], Chan(N->Color, c));
    }
    Total += N->Count;
    N->Next = List;
    List = N;
  }
};

struct RefResult {
  std::vector<uint32_t> Palette;
  std::vector<uint32_t> Indices;
};

// Counts Pixels and maps MapPixels (Pixels when not given).
RefResult RefQuantize(const std::vector<uint32_t>& Pixels, uint8_t Mask, int MaxColors,
                      const std::vector<uint32_t>* MapPixels = nullptr) {
  const uint32_t M = Mask * 0x01010101u;
  std::deque<RefNode> Pool;
  std::vector<RefNode*> Buckets(0x8000, nullptr);
  for (uint32_t P : Pixels) {
    uint32_t C = P & M;
    uint32_t H = (uint32_t(Chan(C, 0)) + 11 * uint32_t(Chan(C, 3)) + 59 * uint32_t(Chan(C, 1)) +
                  119 * uint32_t(Chan(C, 2))) & 0x7FFF;
    RefNode* N = Buckets[H];
    while (N && N->Color != C) N = N->Next;
    if (N) {
      ++N->Count;
    } else {
      Pool.push_back(RefNode{C, 1, Buckets[H]});
      Buckets[H] = &Pool.back();
    }
  }
  std::vector<RefBox> Boxes(1);
  for (RefNode*& Head : Buckets) {
    while (Head) {
      RefNode* N = Head;
      Head = N->Next;
      Boxes[0].Push(N);
    }
  }
  const int Weight[4] = {1024, 612, 1202, 234};
  while (!Pool.empty() && int(Boxes.size()) < MaxColors) {
    long long Best = 0;
    int Picked = -1, PickedChannel = 0;
    for (size_t b = 0; b < Boxes.size(); ++b) {
      long long Score = -1;
      int Channel = 0;
      for (int c = 0; c < 4; ++c) {
        long long S = (long long)(Boxes[b].Max[c] - Boxes[b].Min[c]) * Weight[c];
        if (S > Score) Score = S, Channel = c;
      }
      if (Score > Best) Best = Score, Picked = int(b), PickedChannel = Channel;
    }
    if (Picked < 0) break;
    RefNode* Old = Boxes[size_t(Picked)].List;
    int S = (Boxes[size_t(Picked)].Min[PickedChannel] + Boxes[size_t(Picked)].Max[PickedChannel]) / 2;
    Boxes[size_t(Picked)] = RefBox();
    Boxes.push_back(RefBox());
    while (Old) {
      RefNode* N = Old;
      Old = N->Next;
      (Chan(N->Color, PickedChannel) <= S ? Boxes[size_t(Picked)] : Boxes.back()).Push(N);
    }
  }
  for (RefBox& B : Boxes) {
    if (B.Total == 0) continue;
    unsigned long long Sum[4] = {0, 0, 0, 0};
    for (RefNode* N = B.List; N; N = N->Next)
      for (int c = 0; c < 4; ++c) Sum[c] += (unsigned long long)N->Count * Chan(N->Color, c);
    B.Color = uint32_t(Sum[0] / B.Total) << 24 | uint32_t(Sum[1] / B.Total) << 16 | uint32_t(Sum[2] / B.Total) << 8 |
              uint32_t(Sum[3] / B.Total);
    for (int c = 0; c < 4; ++c) {
      B.Min[c] &= Mask;
      B.Max[c] = (B.Max[c] & Mask) + (Mask ^ 0xFF);
    }
  }
  for (size_t j = 0; j + 1 < Boxes.size(); ++j) {
    size_t Largest = j;
    for (size_t k = j; k < Boxes.size(); ++k)
      if (Boxes[k].Total > Boxes[Largest].Total) Largest = k;
    if (Largest != j) std::swap(Boxes[j], Boxes[Largest]);
  }
  RefResult R;
  for (int i = 0; i < MaxColors; ++i)
    R.Palette.push_back(i < int(Boxes.size()) && Boxes[size_t(i)].Total ? Boxes[size_t(i)].Color : 0xFF000000u);
  for (uint32_t P : MapPixels ? *MapPixels : Pixels) {
    uint32_t Index = 0;
    for (size_t b = 0; b < Boxes.size(); ++b) {
      bool Inside = true;
      for (int c = 0; c < 4; ++c) Inside = Inside && Chan(P, c) >= Boxes[b].Min[c] && Chan(P, c) <= Boxes[b].Max[c];
      if (Inside) {
        Index = uint32_t(b);
        break;
      }
    }
    R.Indices.push_back(Index);
  }
  return R;
}

// ---------------------------------------------------------------------------
// Helpers over the real quantizer
// ---------------------------------------------------------------------------

class ColorReduction : public ::testing::Test {
protected:
  void SetUp() override { InitFormatInfoTable(); }
};

PImageFormatInfo Info(TImageFormat F) { return FormatInfoTable[F]; }

std::vector<uint8_t> ArgbBytes(const std::vector<uint32_t>& Colors) {
  std::vector<uint8_t> Out(Colors.size() * 4);
  if (!Colors.empty()) std::memcpy(Out.data(), Colors.data(), Out.size());
  return Out;
}

// Quantizes 0xAARRGGBB pixels from an A8R8G8B8 buffer to Index8.
RefResult Quantize(const std::vector<uint32_t>& Pixels, uint8_t Mask = 0xFF, int MaxColors = 256,
                   TImageFormat SrcFormat = fmtA8R8G8B8, const std::vector<uint8_t>* Raw = nullptr) {
  std::vector<uint8_t> Src = Raw ? *Raw : ArgbBytes(Pixels);
  int32_t Count = int32_t(Raw ? Src.size() / size_t(Info(SrcFormat)->BytesPerPixel) : Pixels.size());
  std::vector<uint8_t> Dst(size_t(Count) + 1, 0xEE);
  RefResult R;
  R.Palette.assign(size_t(std::clamp(MaxColors, 2, 4096)) + 1, 0x12345678u);
  QuantizeMedianCut(Count, Src.data(), Dst.data(), raAll, reinterpret_cast<TColor32Rec*>(R.Palette.data()), Mask,
                    MaxColors, Info(fmtIndex8), Info(SrcFormat));
  EXPECT_EQ(Dst.back(), 0xEE) << "index written past the end";
  EXPECT_EQ(R.Palette.back(), 0x12345678u) << "palette written past its entries";
  R.Palette.pop_back();
  R.Indices.assign(Dst.begin(), Dst.end() - 1);
  return R;
}

std::vector<uint32_t> RandomPixels(std::mt19937& Rng, size_t N, int Distinct, uint32_t OrMask = 0) {
  std::vector<uint32_t> Colors(static_cast<size_t>(Distinct));
  for (auto& C : Colors) C = uint32_t(Rng()) | OrMask;
  std::vector<uint32_t> Out(N);
  for (auto& P : Out) P = Colors[Rng() % Colors.size()];
  return Out;
}

// A smooth gradient with noise, like a small photo.
std::vector<uint32_t> PhotoPixels(int W, int H, uint32_t Seed) {
  std::mt19937 Rng(Seed);
  std::vector<uint32_t> Out;
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x) {
      auto Noise = [&](int V) { return uint32_t(std::clamp(V + int(Rng() % 17) - 8, 0, 255)); };
      Out.push_back(0xFF000000u | Noise(x * 255 / W) << 16 | Noise(y * 255 / H) << 8 | Noise((x + y) * 127 / (W + H)));
    }
  return Out;
}

}  // namespace

TEST_F(ColorReduction, SingleColourImage) {
  RefResult R = Quantize(std::vector<uint32_t>(100, 0x80402010u));
  ASSERT_EQ(R.Palette.size(), 256u);
  EXPECT_EQ(R.Palette[0], 0x80402010u);
  for (size_t i = 1; i < 256; ++i) ASSERT_EQ(R.Palette[i], 0xFF000000u) << i;
  EXPECT_EQ(R.Indices, std::vector<uint32_t>(100, 0));
}

TEST_F(ColorReduction, FewColoursAreKeptExactly) {
  std::mt19937 Rng(3);
  for (int Distinct : {2, 17, 255, 256}) {
    std::vector<uint32_t> Colors;
    while (int(Colors.size()) < Distinct) {
      uint32_t C = uint32_t(Rng());
      if (std::find(Colors.begin(), Colors.end(), C) == Colors.end()) Colors.push_back(C);
    }
    std::vector<uint32_t> Px;
    for (int i = 0; i < 3000; ++i) Px.push_back(Colors[size_t(i) % Colors.size()]);
    RefResult R = Quantize(Px);
    for (size_t i = 0; i < Px.size(); ++i) ASSERT_EQ(R.Palette[R.Indices[i]], Px[i]) << Distinct << " pixel " << i;
    std::vector<uint32_t> Used(R.Palette.begin(), R.Palette.begin() + Distinct), Want = Colors;
    std::sort(Used.begin(), Used.end());
    std::sort(Want.begin(), Want.end());
    EXPECT_EQ(Used, Want);
    for (size_t i = size_t(Distinct); i < 256; ++i) ASSERT_EQ(R.Palette[i], 0xFF000000u);
  }
}

TEST_F(ColorReduction, ColoursDifferingOnlyInAlphaAreSplit) {
  std::vector<uint32_t> Px = {0x10AABBCCu, 0x10AABBCCu, 0x11AABBCCu};
  RefResult R = Quantize(Px, 0xFF, 2);
  EXPECT_EQ(R.Palette, (std::vector<uint32_t>{0x10AABBCCu, 0x11AABBCCu}));
  EXPECT_EQ(R.Indices, (std::vector<uint32_t>{0, 0, 1}));
  // An alpha range of 1 (1 x 1024) beats a blue range of 4 (4 x 234).
  Px = {0x00000000u, 0x01000000u, 0x00000004u};
  R = Quantize(Px, 0xFF, 2);
  EXPECT_EQ(R.Palette, (std::vector<uint32_t>{0x00000002u, 0x01000000u}));
  EXPECT_EQ(R.Indices, (std::vector<uint32_t>{0, 1, 0}));
}

TEST_F(ColorReduction, MaskMergesColoursAndWidensBoxes) {
  // (R, G, B, A) = (0x12, 0x34, 0x56, 0xFF) and (0x1F, 0x3F, 0x5F, 0xFF) with mask 0xF0.
  std::vector<uint32_t> Px = {0xFF123456u, 0xFF1F3F5Fu, 0xFF123456u};
  RefResult R = Quantize(Px, 0xF0);
  EXPECT_EQ(R.Palette[0], 0xF0103050u);  // mean of the masked values, alpha 0xF0
  EXPECT_EQ(R.Palette[1], 0xFF000000u);
  EXPECT_EQ(R.Indices, (std::vector<uint32_t>{0, 0, 0}));
}

TEST_F(ColorReduction, MostFrequentColourComesFirst) {
  std::vector<uint32_t> Px;
  for (int i = 0; i < 5; ++i) Px.push_back(0xFF0000FFu);
  for (int i = 0; i < 9; ++i) Px.push_back(0xFFFF0000u);
  for (int i = 0; i < 7; ++i) Px.push_back(0xFF00FF00u);
  for (int i = 0; i < 9; ++i) Px.push_back(0xFF808080u);
  RefResult R = Quantize(Px);
  // Cuts: green at 127 ({blue, red} | {green, grey}), red at 127, green at
  // 191, giving boxes blue, grey, red, green. Sorted by count, the first of
  // the equal counts (grey before red) leads.
  EXPECT_EQ(R.Palette[0], 0xFF808080u);
  EXPECT_EQ(R.Palette[1], 0xFFFF0000u);
  EXPECT_EQ(R.Palette[2], 0xFF00FF00u);
  EXPECT_EQ(R.Palette[3], 0xFF0000FFu);
  EXPECT_EQ(R.Indices[0], 3u);
  EXPECT_EQ(R.Indices[5], 1u);
  EXPECT_EQ(R.Indices[5 + 9], 2u);
  EXPECT_EQ(R.Indices[5 + 9 + 7], 0u);
  EXPECT_EQ(R.Palette, RefQuantize(Px, 0xFF, 256).Palette);
}

TEST_F(ColorReduction, MatchesPlainQuantizer) {
  std::mt19937 Rng(11);
  struct Case {
    int Distinct;
    uint8_t Mask;
    int MaxColors;
    uint32_t Or;
  };
  const Case Cases[] = {{1000, 0xFF, 256, 0},    {1000, 0xF8, 256, 0},   {5000, 0xFF, 16, 0xFF000000u},
                        {300, 0xE0, 64, 0},      {3000, 0x0F, 256, 0},   {2000, 0xFF, 4096, 0},
                        {6000, 0xFC, 2, 0},      {50, 0xFF, 300, 0},     {8000, 0xFF, 256, 0xFF000000u}};
  for (const Case& C : Cases) {
    std::vector<uint32_t> Px = RandomPixels(Rng, 20000, C.Distinct, C.Or);
    RefResult Want = RefQuantize(Px, C.Mask, C.MaxColors);
    RefResult Got = Quantize(Px, C.Mask, C.MaxColors, fmtA8R8G8B8);
    if (C.MaxColors > 256) {
      // Index8 stores the low byte of larger indices.
      for (auto& I : Want.Indices) I &= 0xFF;
    }
    ASSERT_EQ(Got.Palette, Want.Palette) << C.Distinct << " " << int(C.Mask) << " " << C.MaxColors;
    ASSERT_EQ(Got.Indices, Want.Indices) << C.Distinct << " " << int(C.Mask) << " " << C.MaxColors;
  }
  // More pixels than one counting batch sorts at a time.
  {
    std::vector<uint32_t> Px = RandomPixels(Rng, 4600000, 3000);
    RefResult Want = RefQuantize(Px, 0xFF, 16);
    RefResult Got = Quantize(Px, 0xFF, 16);
    ASSERT_EQ(Got.Palette, Want.Palette);
    ASSERT_EQ(Got.Indices, Want.Indices);
  }
  // A photo-like image with many distinct colours.
  std::vector<uint32_t> Px = PhotoPixels(300, 200, 5);
  for (uint8_t Mask : {uint8_t(0xFF), uint8_t(0xF8)}) {
    RefResult Want = RefQuantize(Px, Mask, 256);
    RefResult Got = Quantize(Px, Mask, 256);
    ASSERT_EQ(Got.Palette, Want.Palette);
    ASSERT_EQ(Got.Indices, Want.Indices);
  }
}

TEST_F(ColorReduction, DirectReadsMatchThePixelAccess) {
  std::mt19937 Rng(21);
  std::vector<uint32_t> Px = RandomPixels(Rng, 5000, 900);
  // X8R8G8B8 ignores the top byte and R8G8B8 has none: both read as opaque.
  std::vector<uint32_t> Opaque = Px;
  for (auto& P : Opaque) P |= 0xFF000000u;
  RefResult Want = RefQuantize(Opaque, 0xFF, 256);
  std::vector<uint8_t> X = ArgbBytes(Px), Rgb;
  for (uint32_t P : Px) Rgb.insert(Rgb.end(), {uint8_t(P), uint8_t(P >> 8), uint8_t(P >> 16)});
  RefResult FromX = Quantize({}, 0xFF, 256, fmtX8R8G8B8, &X);
  RefResult FromRgb = Quantize({}, 0xFF, 256, fmtR8G8B8, &Rgb);
  EXPECT_EQ(FromX.Palette, Want.Palette);
  EXPECT_EQ(FromX.Indices, Want.Indices);
  EXPECT_EQ(FromRgb.Palette, Want.Palette);
  EXPECT_EQ(FromRgb.Indices, Want.Indices);
  // Formats without a direct read go through GetPixel32.
  for (TImageFormat F : {fmtA16R16G16B16, fmtA4R4G4B4, fmtA8Gray8, fmtA32R32G32B32F}) {
    PImageFormatInfo I = Info(F);
    std::vector<uint8_t> Raw(5000 * size_t(I->BytesPerPixel));
    for (auto& b : Raw) b = uint8_t(Rng() % 7 * 40);  // few values, also valid floats' bytes
    if (I->IsFloatingPoint)
      for (size_t i = 0; i < Raw.size() / 4; ++i) {
        float V = float(Rng() % 9) / 8.0f;
        std::memcpy(&Raw[i * 4], &V, 4);
      }
    std::vector<uint32_t> Read;
    for (size_t i = 0; i < 5000; ++i)
      Read.push_back(I->GetPixel32(&Raw[i * size_t(I->BytesPerPixel)], I, nullptr).Color);
    RefResult Got = Quantize({}, 0xFF, 256, F, &Raw);
    RefResult Ref = RefQuantize(Read, 0xFF, 256);
    EXPECT_EQ(Got.Palette, Ref.Palette) << I->Name;
    EXPECT_EQ(Got.Indices, Ref.Indices) << I->Name;
  }
}

TEST_F(ColorReduction, StagesCanRunSeparately) {
  std::mt19937 Rng(8);
  std::vector<uint32_t> A = RandomPixels(Rng, 3000, 400, 0xFF000000u), B = RandomPixels(Rng, 2000, 400);
  std::vector<uint32_t> Both = A;
  Both.insert(Both.end(), B.begin(), B.end());
  RefResult Want = RefQuantize(Both, 0xFF, 128);

  std::vector<uint8_t> SA = ArgbBytes(A), SB = ArgbBytes(B), SBoth = ArgbBytes(Both);
  std::vector<uint32_t> Palette(128);
  std::vector<uint8_t> Dst(Both.size());
  auto* Pal = reinterpret_cast<TColor32Rec*>(Palette.data());
  QuantizeMedianCut(int32_t(A.size()), SA.data(), nullptr, raCreateHistogram | raUpdateHistogram, nullptr, 0xFF, 128,
                    nullptr, Info(fmtA8R8G8B8));
  QuantizeMedianCut(int32_t(B.size()), SB.data(), nullptr, raUpdateHistogram, nullptr, 0xFF, 128, nullptr,
                    Info(fmtA8R8G8B8));
  QuantizeMedianCut(0, nullptr, nullptr, raMakeColorMap, Pal, 0xFF, 128, nullptr, nullptr);
  QuantizeMedianCut(int32_t(Both.size()), SBoth.data(), Dst.data(), raMapImage, nullptr, 0xFF, 128, Info(fmtIndex8),
                    Info(fmtA8R8G8B8));
  EXPECT_EQ(Palette, Want.Palette);
  EXPECT_EQ(std::vector<uint32_t>(Dst.begin(), Dst.end()), Want.Indices);

  // Stage 1 forgets what was counted before.
  QuantizeMedianCut(int32_t(A.size()), SA.data(), nullptr, raUpdateHistogram, nullptr, 0xFF, 128, nullptr,
                    Info(fmtA8R8G8B8));
  RefResult Only = Quantize(B, 0xFF, 128);
  EXPECT_EQ(Only.Palette, RefQuantize(B, 0xFF, 128).Palette);

  // Colours that no box holds map to index 0.
  QuantizeMedianCut(int32_t(A.size()), SA.data(), nullptr, raCreateHistogram | raUpdateHistogram | raMakeColorMap,
                    Pal, 0xFF, 128, nullptr, Info(fmtA8R8G8B8));
  // A is opaque, so no box holds a colour with alpha below 255.
  std::vector<uint32_t> Other = {0x00000000u, 0x7F123456u, 0xFE808080u};
  for (int i = 0; i < 50; ++i) Other.push_back(uint32_t(Rng()) | 0xFF000000u);
  std::vector<uint8_t> OtherBytes = ArgbBytes(Other), Idx(Other.size(), 0xEE);
  QuantizeMedianCut(int32_t(Other.size()), OtherBytes.data(), Idx.data(), raMapImage, nullptr, 0xFF, 128,
                    Info(fmtIndex8), Info(fmtA8R8G8B8));
  EXPECT_EQ(Idx[0], 0);
  EXPECT_EQ(Idx[1], 0);
  EXPECT_EQ(Idx[2], 0);
  EXPECT_EQ(std::vector<uint32_t>(Idx.begin(), Idx.end()), RefQuantize(A, 0xFF, 128, &Other).Indices);
}

TEST_F(ColorReduction, WideIndicesAndClampedColourCount) {
  std::mt19937 Rng(4);
  std::vector<uint32_t> Px = RandomPixels(Rng, 4000, 3000);
  RefResult Want = RefQuantize(Px, 0xFF, 1000);
  TImageFormatInfo Wide = *Info(fmtIndex8);
  for (int Bpp : {2, 4}) {
    Wide.BytesPerPixel = Bpp;
    std::vector<uint8_t> Src = ArgbBytes(Px), Dst(Px.size() * size_t(Bpp));
    std::vector<uint32_t> Palette(1000);
    QuantizeMedianCut(int32_t(Px.size()), Src.data(), Dst.data(), raAll, reinterpret_cast<TColor32Rec*>(Palette.data()),
                      0xFF, 1000, &Wide, Info(fmtA8R8G8B8));
    EXPECT_EQ(Palette, Want.Palette);
    for (size_t i = 0; i < Px.size(); ++i) {
      uint32_t V = 0;
      std::memcpy(&V, &Dst[i * size_t(Bpp)], size_t(Bpp));
      ASSERT_EQ(V, Want.Indices[i]) << Bpp << " " << i;
    }
  }
  // A colour count below 2 still gives two entries; above 4096 at most 4096.
  RefResult Two = Quantize({0xFF000001u, 0xFF0000FFu, 0xFF000080u}, 0xFF, 1);
  EXPECT_EQ(Two.Palette.size(), 2u);
  EXPECT_EQ(Two.Palette, RefQuantize({0xFF000001u, 0xFF0000FFu, 0xFF000080u}, 0xFF, 2).Palette);
  std::vector<uint32_t> Many = RandomPixels(Rng, 8000, 6000);
  RefResult Max = Quantize(Many, 0xFF, 100000);
  EXPECT_EQ(Max.Palette.size(), 4096u);
  EXPECT_EQ(Max.Palette, RefQuantize(Many, 0xFF, 4096).Palette);
}

TEST_F(ColorReduction, LargeCountsDoNotOverflowTheMeans) {
  // 20 million white pixels in one box: count x 255 needs more than 32 bits.
  std::vector<uint8_t> White = ArgbBytes(std::vector<uint32_t>(1000000, 0xFFFFFFFFu));
  std::vector<uint8_t> Black = ArgbBytes(std::vector<uint32_t>(10, 0xFF000000u));
  // (20,000,000 x 255 exceeds even an unsigned 32-bit sum.)
  QuantizeMedianCut(0, nullptr, nullptr, raCreateHistogram, nullptr, 0xFF, 256, nullptr, nullptr);
  for (int i = 0; i < 20; ++i)
    QuantizeMedianCut(1000000, White.data(), nullptr, raUpdateHistogram, nullptr, 0xFF, 256, nullptr,
                      Info(fmtA8R8G8B8));
  QuantizeMedianCut(10, Black.data(), nullptr, raUpdateHistogram, nullptr, 0xFF, 256, nullptr, Info(fmtA8R8G8B8));
  std::vector<uint32_t> Palette(2);
  QuantizeMedianCut(0, nullptr, nullptr, raMakeColorMap, reinterpret_cast<TColor32Rec*>(Palette.data()), 0xFF, 2,
                    nullptr, nullptr);
  EXPECT_EQ(Palette[0], 0xFFFFFFFFu);
  EXPECT_EQ(Palette[1], 0xFF000000u);
}

TEST_F(ColorReduction, EmptyHistogram) {
  std::vector<uint32_t> Palette(4, 0x12345678u);
  QuantizeMedianCut(0, nullptr, nullptr, raAll, reinterpret_cast<TColor32Rec*>(Palette.data()), 0xFF, 4,
                    Info(fmtIndex8), Info(fmtA8R8G8B8));
  EXPECT_EQ(Palette, std::vector<uint32_t>(4, 0xFF000000u));
}

TEST_F(ColorReduction, RefusesSpecialAndIndexedSources) {
  uint8_t Buf[64] = {};
  TColor32Rec Pal[256];
  EXPECT_THROW(QuantizeMedianCut(4, Buf, Buf, raAll, Pal, 0xFF, 256, Info(fmtIndex8), Info(fmtIndex8)),
               EAssertionFailed);
  EXPECT_THROW(QuantizeMedianCut(4, Buf, Buf, raAll, Pal, 0xFF, 256, Info(fmtIndex8), Info(fmtDXT1)),
               EAssertionFailed);
  // Cutting alone needs no source.
  EXPECT_NO_THROW(QuantizeMedianCut(0, nullptr, nullptr, raCreateHistogram | raMakeColorMap, Pal, 0xFF, 256, nullptr,
                                    Info(fmtDXT1)));
}

TEST_F(ColorReduction, ConversionToIndex8QuantizesTheImage) {
  std::mt19937 Rng(31);
  std::vector<uint32_t> Px = RandomPixels(Rng, 64 * 48, 700);
  TestSupport::InitCore();
  ASSERT_EQ(GetImagingOption(OptColorReductionMask), 255);
  TImageData Img;
  ASSERT_TRUE(CreateImage(64, 48, fmtA8R8G8B8, Img));
  std::memcpy(Img.Bits, Px.data(), Px.size() * 4);
  ASSERT_TRUE(ChangeImageFormat(Img, fmtIndex8));
  RefResult Want = RefQuantize(Px, uint8_t(GetImagingOption(OptColorReductionMask)), 256);
  ASSERT_NE(Img.Palette, nullptr);
  EXPECT_EQ(std::vector<uint32_t>(reinterpret_cast<uint32_t*>(Img.Palette), reinterpret_cast<uint32_t*>(Img.Palette) + 256),
            Want.Palette);
  const uint8_t* Idx = static_cast<const uint8_t*>(Img.Bits);
  EXPECT_EQ(std::vector<uint32_t>(Idx, Idx + Px.size()), Want.Indices);
  ReleaseImage(Img);
}
