// Block codecs: exact block bytes and pixels for the documented cases, and a
// comparison with a plain per-block implementation on random data.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "Imaging.h"
#include "ImagingFormats.h"

using namespace Imaging;

namespace {

// ---------------------------------------------------------------------------
// Plain reference codec, written pixel by pixel without any shortcuts.
// ---------------------------------------------------------------------------

struct RefPixel {
  int R = 0, G = 0, B = 0, A = 0;
  bool operator==(const RefPixel&) const = default;
};

int RefBlockBytes(TImageFormat F) {
  return F == fmtBTC ? 4 : (F == fmtDXT1 || F == fmtATI1N) ? 8 : 16;
}
bool RefIsGray(TImageFormat F) { return F == fmtBTC || F == fmtATI1N; }

RefPixel RefExpand(int C) {
  RefPixel P;
  P.R = ((C >> 11) & 31) * 255 / 31;
  P.G = ((C >> 5) & 63) * 255 / 63;
  P.B = (C & 31) * 255 / 31;
  P.A = 255;
  return P;
}

void RefColorTable(int C0, int C1, bool ThreeColorAllowed, RefPixel T[4]) {
  T[0] = RefExpand(C0);
  T[1] = RefExpand(C1);
  if (!ThreeColorAllowed || C0 > C1) {
    T[2] = {(2 * T[0].R + T[1].R + 1) / 3, (2 * T[0].G + T[1].G + 1) / 3, (2 * T[0].B + T[1].B + 1) / 3, 255};
    T[3] = {(T[0].R + 2 * T[1].R + 1) / 3, (T[0].G + 2 * T[1].G + 1) / 3, (T[0].B + 2 * T[1].B + 1) / 3, 255};
  } else {
    T[2] = {(T[0].R + T[1].R) / 2, (T[0].G + T[1].G) / 2, (T[0].B + T[1].B) / 2, 255};
    T[3] = {(T[0].R + 2 * T[1].R + 1) / 3, (T[0].G + 2 * T[1].G + 1) / 3, (T[0].B + 2 * T[1].B + 1) / 3, 0};
  }
}

std::vector<int> RefRamp(int A0, int A1, bool AlwaysEight) {
  if (A0 > A1 || AlwaysEight)
    return {A0,
            A1,
            (6 * A0 + A1 + 3) / 7,
            (5 * A0 + 2 * A1 + 3) / 7,
            (4 * A0 + 3 * A1 + 3) / 7,
            (3 * A0 + 4 * A1 + 3) / 7,
            (2 * A0 + 5 * A1 + 3) / 7,
            (A0 + 6 * A1 + 3) / 7};
  return {A0, A1, (4 * A0 + A1 + 2) / 5, (3 * A0 + 2 * A1 + 2) / 5, (2 * A0 + 3 * A1 + 2) / 5, (A0 + 4 * A1 + 2) / 5,
          0, 255};
}

int RefRampIndex(const uint8_t* B, int K) {
  // 48 bits in bytes 2..7, pixel k at bit 3k of the 48-bit number
  uint64_t Bits = 0;
  for (int i = 0; i < 6; ++i) Bits |= uint64_t(B[2 + i]) << (8 * i);
  return int((Bits >> (3 * K)) & 7);
}

// Decodes one block into 16 pixels (gray formats use R as the value).
void RefDecode(const uint8_t* B, TImageFormat F, RefPixel Out[16]) {
  auto U16 = [&](int o) { return B[o] | (B[o + 1] << 8); };
  auto U32 = [&](int o) { return uint32_t(U16(o)) | (uint32_t(U16(o + 2)) << 16); };
  if (F == fmtDXT1 || F == fmtDXT3 || F == fmtDXT5) {
    int o = F == fmtDXT1 ? 0 : 8;
    RefPixel T[4];
    RefColorTable(U16(o), U16(o + 2), F == fmtDXT1, T);
    for (int k = 0; k < 16; ++k) Out[k] = T[(U32(o + 4) >> (2 * k)) & 3];
    if (F == fmtDXT3)
      for (int k = 0; k < 16; ++k) Out[k].A = ((U16(2 * (k / 4)) >> (4 * (k % 4))) & 15) * 17;
    if (F == fmtDXT5) {
      std::vector<int> Ramp = RefRamp(B[0], B[1], false);
      for (int k = 0; k < 16; ++k) Out[k].A = Ramp[size_t(RefRampIndex(B, k))];
    }
  } else if (F == fmtBTC) {
    for (int k = 0; k < 16; ++k) Out[k].R = ((U16(2) >> k) & 1) ? B[1] : B[0];
  } else if (F == fmtATI1N) {
    std::vector<int> Ramp = RefRamp(B[0], B[1], false);
    for (int k = 0; k < 16; ++k) Out[k].R = Ramp[size_t(RefRampIndex(B, k))];
  } else {
    std::vector<int> Red = RefRamp(B[0], B[1], false), Green = RefRamp(B[8], B[9], false);
    for (int k = 0; k < 16; ++k)
      Out[k] = {Red[size_t(RefRampIndex(B, k))], Green[size_t(RefRampIndex(B + 8, k))], 0, 255};
  }
}

void RefEncodeColor(const RefPixel P[16], bool Dxt1, uint8_t* Out) {
  bool Three = false;
  if (Dxt1)
    for (int k = 0; k < 16; ++k)
      if (P[k].A < 128) Three = true;
  int Best = -1, BI = 0, BJ = 0;
  for (int i = 0; i < 16; ++i)
    for (int j = i + 1; j < 16; ++j) {
      int D = (P[i].R - P[j].R) * (P[i].R - P[j].R) + (P[i].G - P[j].G) * (P[i].G - P[j].G) +
              (P[i].B - P[j].B) * (P[i].B - P[j].B);
      if (D > Best) {
        Best = D;
        BI = i;
        BJ = j;
      }
    }
  auto To565 = [](const RefPixel& X) { return (X.R / 8) * 2048 + (X.G / 4) * 32 + X.B / 8; };
  int C0 = To565(P[BI]), C1 = To565(P[BJ]);
  if ((Three && C0 > C1) || (!Three && C0 < C1)) std::swap(C0, C1);
  RefPixel T[4];
  T[0] = RefExpand(C0);
  T[1] = RefExpand(C1);
  if (Three) {
    T[2] = {(T[0].R + T[1].R) / 2, (T[0].G + T[1].G) / 2, (T[0].B + T[1].B) / 2, 255};
    T[3] = T[2];
  } else {
    T[2] = {(2 * T[0].R + T[1].R + 1) / 3, (2 * T[0].G + T[1].G + 1) / 3, (2 * T[0].B + T[1].B + 1) / 3, 255};
    T[3] = {(T[0].R + 2 * T[1].R + 1) / 3, (T[0].G + 2 * T[1].G + 1) / 3, (T[0].B + 2 * T[1].B + 1) / 3, 255};
  }
  uint32_t Indices = 0;
  for (int k = 0; k < 16; ++k) {
    int Index = 0;
    if (Three && P[k].A < 128) {
      Index = 3;
    } else {
      int BestD = 1 << 30;
      for (int e = 0; e < (Three ? 3 : 4); ++e) {
        int D = (P[k].R - T[e].R) * (P[k].R - T[e].R) + (P[k].G - T[e].G) * (P[k].G - T[e].G) +
                (P[k].B - T[e].B) * (P[k].B - T[e].B);
        if (D < BestD) {
          BestD = D;
          Index = e;
        }
      }
    }
    Indices |= uint32_t(Index) << (2 * k);
  }
  Out[0] = uint8_t(C0);
  Out[1] = uint8_t(C0 >> 8);
  Out[2] = uint8_t(C1);
  Out[3] = uint8_t(C1 >> 8);
  for (int i = 0; i < 4; ++i) Out[4 + i] = uint8_t(Indices >> (8 * i));
}

void RefEncodeRamp(const int V[16], uint8_t* Out) {
  int A0 = 0, A1 = 255;
  for (int k = 0; k < 16; ++k) {
    A0 = std::max(A0, V[k]);
    A1 = std::min(A1, V[k]);
  }
  std::vector<int> Ramp = RefRamp(A0, A1, true);
  uint64_t Bits = 0;
  for (int k = 0; k < 16; ++k) {
    int Index = 0, BestD = 1000;
    for (int e = 0; e < 8; ++e)
      if (std::abs(V[k] - Ramp[size_t(e)]) < BestD) {
        BestD = std::abs(V[k] - Ramp[size_t(e)]);
        Index = e;
      }
    Bits |= uint64_t(Index) << (3 * k);
  }
  Out[0] = uint8_t(A0);
  Out[1] = uint8_t(A1);
  for (int i = 0; i < 6; ++i) Out[2 + i] = uint8_t(Bits >> (8 * i));
}

void RefEncode(const RefPixel P[16], TImageFormat F, uint8_t* Out) {
  int V[16];
  switch (F) {
    case fmtDXT1:
      RefEncodeColor(P, true, Out);
      break;
    case fmtDXT3:
      for (int i = 0; i < 8; ++i) Out[i] = uint8_t((P[2 * i].A >> 4) | (P[2 * i + 1].A & 0xF0));
      RefEncodeColor(P, false, Out + 8);
      break;
    case fmtDXT5:
      for (int k = 0; k < 16; ++k) V[k] = P[k].A;
      RefEncodeRamp(V, Out);
      RefEncodeColor(P, false, Out + 8);
      break;
    case fmtBTC: {
      int Sum = 0;
      for (int k = 0; k < 16; ++k) Sum += P[k].R;
      int Mean = Sum / 16, HS = 0, HN = 0, LS = 0, LN = 0, Mask = 0;
      for (int k = 0; k < 16; ++k) {
        if (P[k].R > Mean) {
          Mask |= 1 << k;
          HS += P[k].R;
          ++HN;
        } else {
          LS += P[k].R;
          ++LN;
        }
      }
      Out[0] = uint8_t(LN ? LS / LN : 0);
      Out[1] = uint8_t(HN ? HS / HN : 0);
      Out[2] = uint8_t(Mask);
      Out[3] = uint8_t(Mask >> 8);
      break;
    }
    case fmtATI1N:
      for (int k = 0; k < 16; ++k) V[k] = P[k].R;
      RefEncodeRamp(V, Out);
      break;
    default:
      for (int k = 0; k < 16; ++k) V[k] = P[k].R;
      RefEncodeRamp(V, Out);
      for (int k = 0; k < 16; ++k) V[k] = P[k].G;
      RefEncodeRamp(V, Out + 8);
      break;
  }
}

// ---------------------------------------------------------------------------
// Helpers over the real codecs
// ---------------------------------------------------------------------------

const TImageFormat BlockFormats[] = {fmtDXT1, fmtDXT3, fmtDXT5, fmtBTC, fmtATI1N, fmtATI2N};

int PixelBytes(TImageFormat F) { return RefIsGray(F) ? 1 : 4; }

TImageData BlockImage(int W, int H, TImageFormat F, std::vector<uint8_t>& Store) {
  TImageData Img;
  Img.Width = W;
  Img.Height = H;
  Img.Format = F;
  Img.Size = int32_t(Store.size());
  Img.Bits = Store.data();
  return Img;
}

// Pixel (x, y) of a decoded buffer as a RefPixel.
RefPixel PixelAt(const std::vector<uint8_t>& Buf, int W, int X, int Y, TImageFormat F) {
  RefPixel P;
  if (RefIsGray(F)) {
    P.R = Buf[size_t(Y * W + X)];
  } else {
    const uint8_t* Q = &Buf[size_t(Y * W + X) * 4];
    P = {Q[2], Q[1], Q[0], Q[3]};
  }
  return P;
}

std::vector<uint8_t> Decode(const std::vector<uint8_t>& Blocks, int W, int H, TImageFormat F) {
  std::vector<uint8_t> Copy = Blocks;
  TImageData Img = BlockImage(W, H, F, Copy);
  std::vector<uint8_t> Out(size_t(W) * size_t(H) * size_t(PixelBytes(F)), 0);
  DecodeBlocks(Img, Out.data(), F);
  return Out;
}

std::vector<uint8_t> Encode(const std::vector<uint8_t>& Pixels, int W, int H, TImageFormat F) {
  std::vector<uint8_t> Blocks(size_t(W / 4) * size_t(H / 4) * size_t(RefBlockBytes(F)), 0);
  TImageData Img = BlockImage(W, H, F, Blocks);
  EncodeBlocks(Pixels.data(), Img, F);
  return Blocks;
}

// One 4 x 4 A8R8G8B8 block from 16 0xAARRGGBB values.
std::vector<uint8_t> ArgbBlock(const std::vector<uint32_t>& Colors) {
  std::vector<uint8_t> Out(64);
  for (size_t k = 0; k < 16; ++k) std::memcpy(&Out[k * 4], &Colors[k], 4);
  return Out;
}

uint32_t ArgbAt(const std::vector<uint8_t>& Buf, size_t K) {
  uint32_t V;
  std::memcpy(&V, &Buf[K * 4], 4);
  return V;
}

}  // namespace

// ---------------------------------------------------------------------------
// Decoders
// ---------------------------------------------------------------------------

TEST(BlockDecode, Dxt1FourAndThreeColourTables) {
  // Red 0xF800 over blue 0x001F: four colours with the thirds blends.
  std::vector<uint8_t> B = {0x00, 0xF8, 0x1F, 0x00, 0xE4, 0xE4, 0xE4, 0xE4};  // indices 0,1,2,3 per row
  std::vector<uint8_t> Out = Decode(B, 4, 4, fmtDXT1);
  EXPECT_EQ(ArgbAt(Out, 0), 0xFFFF0000u);
  EXPECT_EQ(ArgbAt(Out, 1), 0xFF0000FFu);
  EXPECT_EQ(ArgbAt(Out, 2), 0xFFAA0055u);  // (2*255+0+1)/3 = 170, (0+255+1)/3 = 85
  EXPECT_EQ(ArgbAt(Out, 3), 0xFF5500AAu);
  // Reversed endpoints: half blend and a transparent blend of one third.
  B = {0x1F, 0x00, 0x00, 0xF8, 0xE4, 0xE4, 0xE4, 0xE4};
  Out = Decode(B, 4, 4, fmtDXT1);
  EXPECT_EQ(ArgbAt(Out, 0), 0xFF0000FFu);
  EXPECT_EQ(ArgbAt(Out, 1), 0xFFFF0000u);
  EXPECT_EQ(ArgbAt(Out, 2), 0xFF7F007Fu);
  EXPECT_EQ(ArgbAt(Out, 3), 0x00AA0055u);
  // DXT3 and DXT5 use the four-colour table whatever the endpoint order.
  std::vector<uint8_t> B3(16, 0xFF);
  std::memcpy(&B3[8], B.data(), 8);
  Out = Decode(B3, 4, 4, fmtDXT3);
  EXPECT_EQ(ArgbAt(Out, 2), 0xFF5500AAu);
  EXPECT_EQ(ArgbAt(Out, 3), 0xFFAA0055u);
}

TEST(BlockDecode, Dxt1EqualEndpointsAreThreeColourMode) {
  // Colour 0x07E0 (pure green) twice; pixel 0 index 0, pixel 1 index 2, pixel 2 index 3.
  std::vector<uint8_t> B = {0xE0, 0x07, 0xE0, 0x07, 0x38, 0x00, 0x00, 0x00};
  std::vector<uint8_t> Out = Decode(B, 4, 4, fmtDXT1);
  EXPECT_EQ(ArgbAt(Out, 0), 0xFF00FF00u);
  EXPECT_EQ(ArgbAt(Out, 1), 0xFF00FF00u);
  EXPECT_EQ(ArgbAt(Out, 2), 0x0000FF00u);
}

TEST(BlockDecode, ExpansionOfR5G6B5) {
  // r5 = 1, g6 = 1, b5 = 30: 8, 4, 246.
  uint16_t C = (1 << 11) | (1 << 5) | 30;
  std::vector<uint8_t> B = {uint8_t(C), uint8_t(C >> 8), 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(ArgbAt(Decode(B, 4, 4, fmtDXT1), 0), 0xFF0804F6u);
}

TEST(BlockDecode, AlphaRampsAndExplicitAlpha) {
  // ATI1N a0 = 255 > a1 = 0: eight values; pixel k uses index k % 8.
  std::vector<uint8_t> B = {255, 0};
  uint64_t Bits = 0;
  for (int k = 0; k < 16; ++k) Bits |= uint64_t(k % 8) << (3 * k);
  for (int i = 0; i < 6; ++i) B.push_back(uint8_t(Bits >> (8 * i)));
  std::vector<uint8_t> Out = Decode(B, 4, 4, fmtATI1N);
  std::vector<uint8_t> Eight = {255, 0, 219, 182, 146, 109, 73, 36};
  for (int k = 0; k < 16; ++k) EXPECT_EQ(Out[size_t(k)], Eight[size_t(k % 8)]) << k;
  // a0 = 0 < a1 = 255: six values then 0 and 255.
  B[0] = 0;
  B[1] = 255;
  Out = Decode(B, 4, 4, fmtATI1N);
  std::vector<uint8_t> Six = {0, 255, 51, 102, 153, 204, 0, 255};
  for (int k = 0; k < 16; ++k) EXPECT_EQ(Out[size_t(k)], Six[size_t(k % 8)]) << k;
  // DXT3: row words, 4 bits per pixel from the low end, times 17.
  std::vector<uint8_t> B3(16, 0);
  B3[0] = 0x21;  // row 0: pixel 0 -> 1, pixel 1 -> 2
  B3[7] = 0xF0;  // row 3: pixel 3 -> 15
  Out = Decode(B3, 4, 4, fmtDXT3);
  EXPECT_EQ(ArgbAt(Out, 0) >> 24, 17u);
  EXPECT_EQ(ArgbAt(Out, 1) >> 24, 34u);
  EXPECT_EQ(ArgbAt(Out, 2) >> 24, 0u);
  EXPECT_EQ(ArgbAt(Out, 15) >> 24, 255u);
  // ATI2N: red from the first ramp, green from the second, blue 0, alpha 255.
  std::vector<uint8_t> B2(16, 0);
  B2[0] = 10;
  B2[1] = 10;
  B2[8] = 200;
  B2[9] = 200;
  Out = Decode(B2, 4, 4, fmtATI2N);
  EXPECT_EQ(ArgbAt(Out, 5), 0xFF0AC800u);
}

TEST(BlockDecode, BtcMaskSelectsHighValue) {
  std::vector<uint8_t> B = {7, 200, 0x01, 0x80};  // pixels 0 and 15 high
  std::vector<uint8_t> Out = Decode(B, 4, 4, fmtBTC);
  for (int k = 0; k < 16; ++k) EXPECT_EQ(Out[size_t(k)], (k == 0 || k == 15) ? 200 : 7) << k;
}

TEST(BlockDecode, MatchesPlainDecoderOnRandomBlocks) {
  std::mt19937 Rng(1234);
  const int W = 32, H = 24;
  for (TImageFormat F : BlockFormats) {
    for (int Round = 0; Round < 20; ++Round) {
      std::vector<uint8_t> Blocks(size_t(W / 4) * (H / 4) * size_t(RefBlockBytes(F)));
      for (auto& b : Blocks) b = uint8_t(Rng());
      // Some blocks with equal endpoints / ramp values, which switch tables.
      if (Round % 2)
        for (size_t b = 0; b < Blocks.size(); b += size_t(RefBlockBytes(F)) * 3) {
          bool Colour = F == fmtDXT1 || F == fmtDXT3 || F == fmtDXT5;
          size_t o = F == fmtDXT1 ? 0 : 8;
          if (Colour) {
            Blocks[b + o + 2] = Blocks[b + o];
            Blocks[b + o + 3] = Blocks[b + o + 1];
          }
          if (F == fmtDXT5 || F == fmtATI1N || F == fmtATI2N) Blocks[b + 1] = Blocks[b];
          if (F == fmtATI2N) Blocks[b + 9] = Blocks[b + 8];
        }
      std::vector<uint8_t> Out = Decode(Blocks, W, H, F);
      for (int By = 0; By < H / 4; ++By)
        for (int Bx = 0; Bx < W / 4; ++Bx) {
          RefPixel P[16];
          RefDecode(&Blocks[size_t(By * (W / 4) + Bx) * size_t(RefBlockBytes(F))], F, P);
          for (int k = 0; k < 16; ++k)
            ASSERT_EQ(PixelAt(Out, W, Bx * 4 + k % 4, By * 4 + k / 4, F), P[k])
                << "format " << int(F) << " block " << Bx << "," << By << " pixel " << k;
        }
    }
  }
}

TEST(BlockDecode, WritesNothingOutsideTheImage) {
  // 10 x 6 holds 2 x 1 full blocks; the pixels outside them and the bytes
  // after the buffer keep their guard values, and only the blocks implied by
  // the size are read (the source holds exactly 2 blocks).
  for (TImageFormat F : BlockFormats) {
    const int W = 10, H = 6, Bpp = PixelBytes(F);
    std::vector<uint8_t> Blocks(size_t(2 * RefBlockBytes(F)), 0x5A);
    TImageData Img = BlockImage(W, H, F, Blocks);
    std::vector<uint8_t> Out(size_t(W * H * Bpp) + 64, 0xEE);
    DecodeBlocks(Img, Out.data(), F);
    for (int y = 0; y < H; ++y)
      for (int x = 0; x < W; ++x) {
        bool Inside = x < 8 && y < 4;
        for (int b = 0; b < Bpp && !Inside; ++b)
          ASSERT_EQ(Out[size_t((y * W + x) * Bpp + b)], 0xEE) << int(F) << " " << x << "," << y;
      }
    for (size_t i = size_t(W * H * Bpp); i < Out.size(); ++i) ASSERT_EQ(Out[i], 0xEE);
    // Images smaller than a block decode nothing.
    TImageData Tiny = BlockImage(3, 3, F, Blocks);
    std::vector<uint8_t> TinyOut(9 * size_t(Bpp), 0xEE);
    DecodeBlocks(Tiny, TinyOut.data(), F);
    EXPECT_EQ(TinyOut, std::vector<uint8_t>(9 * size_t(Bpp), 0xEE));
  }
}

// ---------------------------------------------------------------------------
// Encoders
// ---------------------------------------------------------------------------

TEST(BlockEncode, Dxt1SingleOpaqueColour) {
  std::vector<uint8_t> Px = ArgbBlock(std::vector<uint32_t>(16, 0xFF123456u));
  std::vector<uint8_t> B = Encode(Px, 4, 4, fmtDXT1);
  // 0x12 / 8 = 2, 0x34 / 4 = 13, 0x56 / 8 = 10
  uint16_t C = (2 << 11) | (13 << 5) | 10;
  EXPECT_EQ(B, (std::vector<uint8_t>{uint8_t(C), uint8_t(C >> 8), uint8_t(C), uint8_t(C >> 8), 0, 0, 0, 0}));
  std::vector<uint8_t> Out = Decode(B, 4, 4, fmtDXT1);
  for (size_t k = 0; k < 16; ++k) EXPECT_EQ(ArgbAt(Out, k), 0xFF103452u);  // 2*255/31, 13*255/63, 10*255/31
  // Pure white stays white.
  B = Encode(ArgbBlock(std::vector<uint32_t>(16, 0xFFFFFFFFu)), 4, 4, fmtDXT1);
  EXPECT_EQ(B, (std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0}));
  EXPECT_EQ(ArgbAt(Decode(B, 4, 4, fmtDXT1), 7), 0xFFFFFFFFu);
}

TEST(BlockEncode, Dxt1TransparentPixelSelectsThreeColourMode) {
  std::vector<uint32_t> C(16, 0xFFFF0000u);
  for (size_t k = 8; k < 16; ++k) C[k] = 0xFF0000FFu;
  C[5] = 0x000000FFu;  // transparent
  std::vector<uint8_t> B = Encode(ArgbBlock(C), 4, 4, fmtDXT1);
  uint16_t C0 = uint16_t(B[0] | (B[1] << 8)), C1 = uint16_t(B[2] | (B[3] << 8));
  EXPECT_EQ(C0, 0x001F);  // ordered colour 0 <= colour 1
  EXPECT_EQ(C1, 0xF800);
  std::vector<uint8_t> Out = Decode(B, 4, 4, fmtDXT1);
  EXPECT_EQ(ArgbAt(Out, 5) >> 24, 0u);
  EXPECT_EQ(ArgbAt(Out, 0), 0xFFFF0000u);
  EXPECT_EQ(ArgbAt(Out, 9), 0xFF0000FFu);
  // Alpha 128 counts as opaque: four-colour mode, colour 0 >= colour 1.
  C[5] = 0x800000FFu;
  B = Encode(ArgbBlock(C), 4, 4, fmtDXT1);
  EXPECT_EQ(B[0] | (B[1] << 8), 0xF800);
  EXPECT_EQ(B[2] | (B[3] << 8), 0x001F);
}

TEST(BlockEncode, FirstFarthestPairGivesTheEndpoints) {
  // Pairs (0, 3) and (1, 2) are equally far apart; the first one wins.
  std::vector<uint32_t> C(16, 0xFF323200u);  // the centre, closer to every corner
  C[0] = 0xFF000000u;
  C[1] = 0xFF640000u;
  C[2] = 0xFF006400u;
  C[3] = 0xFF646400u;
  std::vector<uint8_t> B = Encode(ArgbBlock(C), 4, 4, fmtDXT1);
  uint16_t Yellow = (12 << 11) | (25 << 5);  // 100 / 8, 100 / 4
  EXPECT_EQ(B[0] | (B[1] << 8), Yellow);
  EXPECT_EQ(B[2] | (B[3] << 8), 0);
}

TEST(BlockEncode, Dxt3AlphaKeepsTopFourBits) {
  std::vector<uint32_t> C(16, 0x8F808080u);
  C[1] = 0x10808080u;
  std::vector<uint8_t> B = Encode(ArgbBlock(C), 4, 4, fmtDXT3);
  EXPECT_EQ(B[0], 0x18);  // pixel 0 -> 8 (low nibble), pixel 1 -> 1 (high nibble)
  for (int i = 1; i < 8; ++i) EXPECT_EQ(B[size_t(i)], 0x88);
  std::vector<uint8_t> Out = Decode(B, 4, 4, fmtDXT3);
  EXPECT_EQ(ArgbAt(Out, 0) >> 24, 136u);
  EXPECT_EQ(ArgbAt(Out, 1) >> 24, 17u);
}

TEST(BlockEncode, Dxt5ConstantAlpha) {
  std::vector<uint32_t> C(16, 0xC8204060u);
  C[3] = 0xC8FFFFFFu;
  std::vector<uint8_t> B = Encode(ArgbBlock(C), 4, 4, fmtDXT5);
  EXPECT_EQ(B[0], 200);
  EXPECT_EQ(B[1], 200);
  for (int i = 2; i < 8; ++i) EXPECT_EQ(B[size_t(i)], 0);
  std::vector<uint8_t> Out = Decode(B, 4, 4, fmtDXT5);
  for (size_t k = 0; k < 16; ++k) EXPECT_EQ(ArgbAt(Out, k) >> 24, 200u);
}

TEST(BlockEncode, BtcGroups) {
  std::vector<uint8_t> Px(16, 77);
  EXPECT_EQ(Encode(Px, 4, 4, fmtBTC), (std::vector<uint8_t>{77, 0, 0, 0}));
  // Values 10 (x12) and 250, 251, 252, 253: mean 70, high mean 251.
  for (size_t k = 0; k < 16; ++k) Px[k] = 10;
  Px[0] = 250, Px[5] = 251, Px[10] = 252, Px[15] = 253;
  EXPECT_EQ(Encode(Px, 4, 4, fmtBTC), (std::vector<uint8_t>{10, 251, 0x21, 0x84}));
}

TEST(BlockEncode, AlphaRampPicksNearestEntry) {
  // ATI1N with values 0..15: a0 = 15, a1 = 0, ramp 15, 0, 13, 11, 9, 6, 4, 2.
  std::vector<uint8_t> Px(16);
  for (size_t k = 0; k < 16; ++k) Px[k] = uint8_t(k);
  std::vector<uint8_t> B = Encode(Px, 4, 4, fmtATI1N);
  EXPECT_EQ(B[0], 15);
  EXPECT_EQ(B[1], 0);
  std::vector<uint8_t> Out = Decode(B, 4, 4, fmtATI1N);
  // On equal distances the lower ramp index wins: 1 -> 0 (index 1, not 7), 3 -> 4 (index 6, not 7),
  // 14 -> 15 (index 0, not 2).
  EXPECT_EQ(Out, (std::vector<uint8_t>{0, 0, 2, 4, 4, 6, 6, 6, 9, 9, 11, 11, 13, 13, 15, 15}));
}

TEST(BlockEncode, MatchesPlainEncoderOnRandomBlocks) {
  std::mt19937 Rng(99);
  const int W = 32, H = 32;
  for (TImageFormat F : BlockFormats) {
    for (int Round = 0; Round < 30; ++Round) {
      const int Bpp = PixelBytes(F);
      std::vector<uint8_t> Px(size_t(W * H * Bpp));
      // Alternate fully random pixels with pixels from a few colours and
      // alpha values near the threshold, which produce ties and equal endpoints.
      std::vector<uint32_t> Palette;
      for (int i = 0; i < 1 + Round % 4; ++i) Palette.push_back(uint32_t(Rng()));
      if (Round % 4 == 3)  // corners of the colour cube: many pairs at equal distances
        for (auto& P : Palette) P = (uint32_t(Rng()) & 0xFF000000u) | (Rng() % 2 ? 0xFF0000u : 0) | (Rng() % 2 ? 0xFF00u : 0) | (Rng() % 2 ? 0xFFu : 0);
      const uint8_t Alphas[] = {0, 127, 128, 255};
      for (int i = 0; i < W * H; ++i) {
        uint32_t V = Round % 2 ? uint32_t(Rng()) : Palette[Rng() % Palette.size()];
        if (Round % 3 == 1) V = (V & 0x00FFFFFFu) | (uint32_t(Alphas[Rng() % 4]) << 24);
        if (Round % 5 == 4) V |= 0xFF000000u;
        std::memcpy(&Px[size_t(i * Bpp)], &V, size_t(Bpp));
      }
      std::vector<uint8_t> Blocks = Encode(Px, W, H, F);
      for (int By = 0; By < H / 4; ++By)
        for (int Bx = 0; Bx < W / 4; ++Bx) {
          RefPixel P[16];
          for (int k = 0; k < 16; ++k) P[k] = PixelAt(Px, W, Bx * 4 + k % 4, By * 4 + k / 4, F);
          uint8_t Want[16];
          RefEncode(P, F, Want);
          const size_t N = size_t(RefBlockBytes(F));
          ASSERT_EQ(0, std::memcmp(Want, &Blocks[size_t(By * (W / 4) + Bx) * N], N))
              << "format " << int(F) << " round " << Round << " block " << Bx << "," << By;
        }
    }
  }
}

TEST(BlockEncode, IgnoresPixelsBeyondTheLastFullBlock) {
  for (TImageFormat F : BlockFormats) {
    const int W = 9, H = 7, Bpp = PixelBytes(F);
    std::mt19937 Rng(7);
    std::vector<uint8_t> Px(size_t(W * H * Bpp));
    for (auto& b : Px) b = uint8_t(Rng());
    std::vector<uint8_t> Changed = Px;
    for (int y = 0; y < H; ++y)
      for (int x = 0; x < W; ++x)
        if (x >= 8 || y >= 4)
          for (int b = 0; b < Bpp; ++b) Changed[size_t((y * W + x) * Bpp + b)] ^= 0xFF;
    // Exactly 2 blocks are written; the guard after them stays.
    const size_t N = size_t(RefBlockBytes(F));
    std::vector<uint8_t> A(2 * N + 16, 0xEE), B(2 * N + 16, 0xEE);
    TImageData ImgA = BlockImage(W, H, F, A), ImgB = BlockImage(W, H, F, B);
    EncodeBlocks(Px.data(), ImgA, F);
    EncodeBlocks(Changed.data(), ImgB, F);
    EXPECT_EQ(A, B) << int(F);
    for (size_t i = 2 * N; i < A.size(); ++i) ASSERT_EQ(A[i], 0xEE) << int(F);
  }
}

TEST(BlockCodecs, RoundTripOfRepresentableBlocks) {
  // Blocks whose pixels are exactly the table entries come back unchanged.
  std::mt19937 Rng(5);
  for (int Round = 0; Round < 50; ++Round) {
    std::vector<uint8_t> Blocks(8);
    for (auto& b : Blocks) b = uint8_t(Rng());
    if ((Blocks[0] | (Blocks[1] << 8)) <= (Blocks[2] | (Blocks[3] << 8))) std::swap(Blocks[1], Blocks[3]);
    if ((Blocks[0] | (Blocks[1] << 8)) <= (Blocks[2] | (Blocks[3] << 8))) continue;
    Blocks[4] = uint8_t((Blocks[4] & 0xF0) | 0x04);  // both endpoints occur
    std::vector<uint8_t> Px = Decode(Blocks, 4, 4, fmtDXT1);
    std::vector<uint8_t> Again = Decode(Encode(Px, 4, 4, fmtDXT1), 4, 4, fmtDXT1);
    EXPECT_EQ(Px, Again) << Round;
  }
  std::vector<uint8_t> Gray(16);
  for (size_t k = 0; k < 16; ++k) Gray[k] = k < 8 ? 30 : 220;
  EXPECT_EQ(Decode(Encode(Gray, 4, 4, fmtBTC), 4, 4, fmtBTC), Gray);
  EXPECT_EQ(Decode(Encode(Gray, 4, 4, fmtATI1N), 4, 4, fmtATI1N), Gray);
}

TEST(BlockCodecs, RejectsFormatsWithoutBlocks) {
  std::vector<uint8_t> Buf(64);
  TImageData Img = BlockImage(4, 4, fmtA8R8G8B8, Buf);
  EXPECT_THROW(DecodeBlocks(Img, Buf.data(), fmtA8R8G8B8), EAssertionFailed);
  EXPECT_THROW(EncodeBlocks(Buf.data(), Img, fmtGray8), EAssertionFailed);
}

TEST(BlockCodecs, ConversionUsesTheCodecs) {
  InitFormatInfoTable();
  std::mt19937 Rng(17);
  for (TImageFormat F : BlockFormats) {
    const TImageFormat Near = RefIsGray(F) ? fmtGray8 : fmtA8R8G8B8;
    TImageData Img;
    ASSERT_TRUE(CreateImage(12, 8, Near, Img));
    std::vector<uint8_t> Px(size_t(Img.Size));
    for (auto& b : Px) b = uint8_t(Rng());
    std::memcpy(Img.Bits, Px.data(), Px.size());
    ASSERT_TRUE(ChangeImageFormat(Img, F));
    std::vector<uint8_t> Blocks = Encode(Px, 12, 8, F);
    ASSERT_EQ(size_t(Img.Size), Blocks.size()) << int(F);
    EXPECT_EQ(0, std::memcmp(Img.Bits, Blocks.data(), Blocks.size())) << int(F);
    ASSERT_TRUE(ChangeImageFormat(Img, Near));
    std::vector<uint8_t> Decoded = Decode(Blocks, 12, 8, F);
    EXPECT_EQ(0, std::memcmp(Img.Bits, Decoded.data(), Decoded.size())) << int(F);
    ReleaseImage(Img);
  }
}

// The encoder's output is pinned byte for byte (FNV-1a digest) on a fixed
// picture mixing noise, smooth gradients with a little noise, flat areas and
// a few colours with alpha around the DXT1 threshold. Faster encoders must
// produce exactly these blocks.
TEST(BlockEncode, OutputIsPinned) {
  const int W = 260, H = 132;
  std::vector<uint32_t> Argb(size_t(W * H));
  uint32_t Seed = 12345;
  auto Next = [&Seed] { return Seed = Seed * 1103515245u + 12345u; };
  const uint32_t Few[4] = {0x7F10A0F0u, 0x80F01020u, 0xFF00FF00u, 0x00FFFFFFu};
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x) {
      const uint32_t R = Next() >> 8;
      const int Kind = (x / 32 + y / 32) % 4;
      uint32_t V;
      if (Kind == 0) V = R ^ (Next() << 8);
      else if (Kind == 1)
        V = (uint32_t(255 - (x + y) % 64) << 24) | (uint32_t((x * 3 + (R & 3)) & 255) << 16) |
            (uint32_t((y * 2 + ((R >> 2) & 3)) & 255) << 8) | uint32_t(((x + y) / 3) & 255);
      else if (Kind == 2) V = 0xFF285AC8u;
      else V = Few[R % 4];
      Argb[size_t(y * W + x)] = V;
    }
  struct Case {
    TImageFormat F;
    uint64_t Digest;
  } Cases[] = {{fmtDXT1, 0xB210FA4EB61B5879ull},  {fmtDXT3, 0xA4FEE9F7CD3A3A1Eull},  {fmtDXT5, 0x0204807EC1457E86ull},
                     {fmtBTC, 0xC9E413ED9B11FE42ull},   {fmtATI1N, 0x387EACB7B2AA76B0ull}, {fmtATI2N, 0x8B9C5861E1C809B2ull}};
  for (const Case& C : Cases) {
    const int Bpp = PixelBytes(C.F);
    std::vector<uint8_t> Px(size_t(W * H * Bpp));
    for (size_t i = 0; i < Argb.size(); ++i)
      if (Bpp == 4) std::memcpy(&Px[i * 4], &Argb[i], 4);
      else Px[i] = uint8_t(Argb[i] >> 8);
    std::vector<uint8_t> Blocks = Encode(Px, W, H, C.F);
    uint64_t Digest = 1469598103934665603ull;
    for (uint8_t b : Blocks) Digest = (Digest ^ b) * 1099511628211ull;
    EXPECT_EQ(Digest, C.Digest) << "format " << int(C.F) << std::hex << " digest 0x" << Digest;
  }
}
