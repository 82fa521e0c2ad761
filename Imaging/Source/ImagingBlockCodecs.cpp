// Block compression codecs: DXT1, DXT3, DXT5 (S3TC), BTC, ATI1N and ATI2N
// (3Dc). Every 4 x 4 block is decoded and encoded on its own; an image is
// processed as floor(Width / 4) x floor(Height / 4) blocks, stored row of
// blocks after row of blocks, so nothing outside the buffers implied by the
// image size is ever read or written.
#include <cstring>

#include "ImagingFormats.h"

namespace Imaging {

namespace {

inline uint16_t Load16(const uint8_t* P) { return uint16_t(P[0] | (P[1] << 8)); }
inline uint32_t Load24(const uint8_t* P) { return uint32_t(P[0]) | (uint32_t(P[1]) << 8) | (uint32_t(P[2]) << 16); }
inline uint32_t Load32(const uint8_t* P) { return Load24(P) | (uint32_t(P[3]) << 24); }
inline void Store16(uint8_t* P, uint32_t V) {
  P[0] = uint8_t(V);
  P[1] = uint8_t(V >> 8);
}
inline void Store24(uint8_t* P, uint32_t V) {
  P[0] = uint8_t(V);
  P[1] = uint8_t(V >> 8);
  P[2] = uint8_t(V >> 16);
}
inline void Store32(uint8_t* P, uint32_t V) {
  Store24(P, V);
  P[3] = uint8_t(V >> 24);
}

// Bytes of one block and bytes per pixel of the uncompressed partner format.
int BlockBytes(TImageFormat Format) {
  switch (Format) {
    case fmtDXT1:
    case fmtATI1N:
      return 8;
    case fmtDXT3:
    case fmtDXT5:
    case fmtATI2N:
      return 16;
    case fmtBTC:
      return 4;
    default:
      return 0;
  }
}

int NearestBytesPerPixel(TImageFormat Format) { return (Format == fmtBTC || Format == fmtATI1N) ? 1 : 4; }

// R5G6B5 to 8-bit channels with the integer expansion c * 255 / (2^bits - 1).
struct TRgb {
  int R, G, B;
};

inline TRgb ExpandRGB565(uint16_t C) {
  return TRgb{int((C >> 11) & 0x1F) * 255 / 31, int((C >> 5) & 0x3F) * 255 / 63, int(C & 0x1F) * 255 / 31};
}

inline uint32_t PackColor(int R, int G, int B, int A) {
  return uint32_t(B) | (uint32_t(G) << 8) | (uint32_t(R) << 16) | (uint32_t(A) << 24);
}

inline TRgb Blend3(const TRgb& C0, const TRgb& C1) {  // (2 c0 + c1 + 1) / 3
  return TRgb{(2 * C0.R + C1.R + 1) / 3, (2 * C0.G + C1.G + 1) / 3, (2 * C0.B + C1.B + 1) / 3};
}
inline TRgb Half(const TRgb& C0, const TRgb& C1) {
  return TRgb{(C0.R + C1.R) / 2, (C0.G + C1.G) / 2, (C0.B + C1.B) / 2};
}

// The four colours of a colour block, as 0xAARRGGBB values. DXT1 switches to
// the three-colour table (with a transparent fourth entry) unless colour 0 is
// greater than colour 1; DXT3 and DXT5 always use the four-colour table.
void DecoderColorTable(uint16_t C0, uint16_t C1, bool Dxt1, uint32_t Table[4]) {
  TRgb E0 = ExpandRGB565(C0), E1 = ExpandRGB565(C1);
  TRgb Third = Blend3(E1, E0);  // (c0 + 2 c1 + 1) / 3
  Table[0] = PackColor(E0.R, E0.G, E0.B, 255);
  Table[1] = PackColor(E1.R, E1.G, E1.B, 255);
  if (!Dxt1 || C0 > C1) {
    TRgb TwoThirds = Blend3(E0, E1);
    Table[2] = PackColor(TwoThirds.R, TwoThirds.G, TwoThirds.B, 255);
    Table[3] = PackColor(Third.R, Third.G, Third.B, 255);
  } else {
    TRgb Mid = Half(E0, E1);
    Table[2] = PackColor(Mid.R, Mid.G, Mid.B, 255);
    Table[3] = PackColor(Third.R, Third.G, Third.B, 0);
  }
}

// The eight values of an alpha ramp block.
void MakeAlphaRamp(int A0, int A1, uint8_t Ramp[8]) {
  Ramp[0] = uint8_t(A0);
  Ramp[1] = uint8_t(A1);
  if (A0 > A1) {
    for (int i = 1; i <= 6; ++i) Ramp[i + 1] = uint8_t(((7 - i) * A0 + i * A1 + 3) / 7);
  } else {
    for (int i = 1; i <= 4; ++i) Ramp[i + 1] = uint8_t(((5 - i) * A0 + i * A1 + 2) / 5);
    Ramp[6] = 0;
    Ramp[7] = 255;
  }
}

// The eight-value ramp used by the encoder whatever the order of the values.
void MakeEncoderRamp(int A0, int A1, int Ramp[8]) {
  Ramp[0] = A0;
  Ramp[1] = A1;
  for (int i = 1; i <= 6; ++i) Ramp[i + 1] = ((7 - i) * A0 + i * A1 + 3) / 7;
}

// ---------------------------------------------------------------------------
// Block decoders: each produces the 16 pixels of its block in pixel order.
// ---------------------------------------------------------------------------

void DecodeColorBlock(const uint8_t* Block, bool Dxt1, uint32_t Out[16]) {
  uint32_t Table[4];
  DecoderColorTable(Load16(Block), Load16(Block + 2), Dxt1, Table);
  uint32_t Indices = Load32(Block + 4);
  for (int k = 0; k < 16; ++k) Out[k] = Table[(Indices >> (2 * k)) & 3];
}

void DecodeAlphaRampBlock(const uint8_t* Block, uint8_t Out[16]) {
  uint8_t Ramp[8];
  MakeAlphaRamp(Block[0], Block[1], Ramp);
  uint32_t Lo = Load24(Block + 2), Hi = Load24(Block + 5);
  for (int k = 0; k < 8; ++k) {
    Out[k] = Ramp[(Lo >> (3 * k)) & 7];
    Out[k + 8] = Ramp[(Hi >> (3 * k)) & 7];
  }
}

// Decodes one block of Format. Pixels are 0xAARRGGBB values for the colour
// formats and ATI2N, gray values in the low byte for BTC and ATI1N.
void DecodeBlock(const uint8_t* Block, TImageFormat Format, uint32_t Out[16]) {
  switch (Format) {
    case fmtDXT1:
      DecodeColorBlock(Block, true, Out);
      break;
    case fmtDXT3: {
      DecodeColorBlock(Block + 8, false, Out);
      for (int Row = 0; Row < 4; ++Row) {
        uint16_t Word = Load16(Block + 2 * Row);
        for (int Col = 0; Col < 4; ++Col) {
          uint32_t Alpha = ((Word >> (4 * Col)) & 0xF) * 17;
          uint32_t& P = Out[4 * Row + Col];
          P = (P & 0x00FFFFFF) | (Alpha << 24);
        }
      }
      break;
    }
    case fmtDXT5: {
      uint8_t Alpha[16];
      DecodeColorBlock(Block + 8, false, Out);
      DecodeAlphaRampBlock(Block, Alpha);
      for (int k = 0; k < 16; ++k) Out[k] = (Out[k] & 0x00FFFFFF) | (uint32_t(Alpha[k]) << 24);
      break;
    }
    case fmtBTC: {
      uint32_t Low = Block[0], High = Block[1], Mask = Load16(Block + 2);
      for (int k = 0; k < 16; ++k) Out[k] = ((Mask >> k) & 1) ? High : Low;
      break;
    }
    case fmtATI1N: {
      uint8_t Values[16];
      DecodeAlphaRampBlock(Block, Values);
      for (int k = 0; k < 16; ++k) Out[k] = Values[k];
      break;
    }
    case fmtATI2N: {
      uint8_t Red[16], Green[16];
      DecodeAlphaRampBlock(Block, Red);
      DecodeAlphaRampBlock(Block + 8, Green);
      for (int k = 0; k < 16; ++k) Out[k] = PackColor(Red[k], Green[k], 0, 255);
      break;
    }
    default:
      break;
  }
}

// ---------------------------------------------------------------------------
// Block encoders: each takes the 16 pixels of its block in pixel order, with
// the same pixel representation as the decoders.
// ---------------------------------------------------------------------------

inline int ToRGB565(int R, int G, int B) { return ((R >> 3) << 11) | ((G >> 2) << 5) | (B >> 3); }

inline int Dist2(int R0, int G0, int B0, const TRgb& C) {
  int dr = R0 - C.R, dg = G0 - C.G, db = B0 - C.B;
  return dr * dr + dg * dg + db * db;
}

// Writes the 8-byte colour block of 16 pixels. With Dxt1 a pixel with alpha
// below 128 switches the block to three-colour mode.
void EncodeColorBlock(const uint32_t Pixels[16], bool Dxt1, uint8_t* Block) {
  int R[16], G[16], B[16];
  bool Transparent = false;
  for (int k = 0; k < 16; ++k) {
    uint32_t P = Pixels[k];
    B[k] = int(P & 0xFF);
    G[k] = int((P >> 8) & 0xFF);
    R[k] = int((P >> 16) & 0xFF);
    Transparent |= (P >> 24) < 128;
  }
  Transparent &= Dxt1;

  // Endpoints: the pair of pixels farthest apart in R, G, B; the first pair
  // found keeps its place on equal distances.
  int BestDist = 0, BestI = 0, BestJ = 0;
  for (int i = 0; i < 15; ++i) {
    for (int j = i + 1; j < 16; ++j) {
      int dr = R[i] - R[j], dg = G[i] - G[j], db = B[i] - B[j];
      int d = dr * dr + dg * dg + db * db;
      bool Better = d > BestDist;
      BestDist = Better ? d : BestDist;
      BestI = Better ? i : BestI;
      BestJ = Better ? j : BestJ;
    }
  }
  int C0 = ToRGB565(R[BestI], G[BestI], B[BestI]);
  int C1 = ToRGB565(R[BestJ], G[BestJ], B[BestJ]);
  // Three-colour mode wants colour 0 <= colour 1, four-colour mode the
  // reverse; equal endpoints stay as they are.
  if (Transparent ? (C0 > C1) : (C0 < C1)) {
    int T = C0;
    C0 = C1;
    C1 = T;
  }

  TRgb Table[4];
  Table[0] = ExpandRGB565(uint16_t(C0));
  Table[1] = ExpandRGB565(uint16_t(C1));
  if (Transparent) {
    Table[2] = Table[3] = Half(Table[0], Table[1]);
  } else {
    Table[2] = Blend3(Table[0], Table[1]);
    Table[3] = Blend3(Table[1], Table[0]);
  }

  uint32_t Indices = 0;
  for (int k = 0; k < 16; ++k) {
    int d0 = Dist2(R[k], G[k], B[k], Table[0]);
    int d1 = Dist2(R[k], G[k], B[k], Table[1]);
    int d2 = Dist2(R[k], G[k], B[k], Table[2]);
    int d3 = Dist2(R[k], G[k], B[k], Table[3]);
    uint32_t Index = 0;
    int Best = d0;
    Index = d1 < Best ? 1 : Index;
    Best = d1 < Best ? d1 : Best;
    Index = d2 < Best ? 2 : Index;
    Best = d2 < Best ? d2 : Best;
    if (Transparent) {
      Index = (Pixels[k] >> 24) < 128 ? 3 : Index;
    } else {
      Index = d3 < Best ? 3 : Index;
    }
    Indices |= Index << (2 * k);
  }
  Store16(Block, uint32_t(C0));
  Store16(Block + 2, uint32_t(C1));
  Store32(Block + 4, Indices);
}

// Writes the 8-byte alpha ramp block of 16 channel values: the largest and the
// smallest value as the endpoints, every value to its nearest ramp entry.
void EncodeAlphaRampBlock(const uint8_t Values[16], uint8_t* Block) {
  int A0 = Values[0], A1 = Values[0];
  for (int k = 1; k < 16; ++k) {
    A0 = Values[k] > A0 ? Values[k] : A0;
    A1 = Values[k] < A1 ? Values[k] : A1;
  }
  int Ramp[8];
  MakeEncoderRamp(A0, A1, Ramp);
  uint32_t Lo = 0, Hi = 0;
  for (int k = 0; k < 16; ++k) {
    int V = Values[k];
    int Best = V > Ramp[0] ? V - Ramp[0] : Ramp[0] - V;
    uint32_t Index = 0;
    for (int i = 1; i < 8; ++i) {
      int d = V > Ramp[i] ? V - Ramp[i] : Ramp[i] - V;
      Index = d < Best ? uint32_t(i) : Index;
      Best = d < Best ? d : Best;
    }
    if (k < 8)
      Lo |= Index << (3 * k);
    else
      Hi |= Index << (3 * (k - 8));
  }
  Block[0] = uint8_t(A0);
  Block[1] = uint8_t(A1);
  Store24(Block + 2, Lo);
  Store24(Block + 5, Hi);
}

void EncodeBlock(const uint32_t Pixels[16], TImageFormat Format, uint8_t* Block) {
  switch (Format) {
    case fmtDXT1:
      EncodeColorBlock(Pixels, true, Block);
      break;
    case fmtDXT3:
      for (int i = 0; i < 8; ++i)
        Block[i] = uint8_t(((Pixels[2 * i] >> 24) >> 4) | ((Pixels[2 * i + 1] >> 24) & 0xF0));
      EncodeColorBlock(Pixels, false, Block + 8);
      break;
    case fmtDXT5: {
      uint8_t Alpha[16];
      for (int k = 0; k < 16; ++k) Alpha[k] = uint8_t(Pixels[k] >> 24);
      EncodeAlphaRampBlock(Alpha, Block);
      EncodeColorBlock(Pixels, false, Block + 8);
      break;
    }
    case fmtBTC: {
      int Sum = 0;
      for (int k = 0; k < 16; ++k) Sum += int(Pixels[k] & 0xFF);
      int Mean = Sum / 16;
      int HighSum = 0, HighCount = 0;
      uint32_t Mask = 0;
      for (int k = 0; k < 16; ++k) {
        int V = int(Pixels[k] & 0xFF);
        int IsHigh = V > Mean;
        Mask |= uint32_t(IsHigh) << k;
        HighSum += IsHigh ? V : 0;
        HighCount += IsHigh;
      }
      int LowCount = 16 - HighCount;
      int High = HighCount ? HighSum / HighCount : 0;
      int Low = LowCount ? (Sum - HighSum) / LowCount : 0;
      Block[0] = uint8_t(Low < 0 ? 0 : Low > 255 ? 255 : Low);
      Block[1] = uint8_t(High < 0 ? 0 : High > 255 ? 255 : High);
      Store16(Block + 2, Mask);
      break;
    }
    case fmtATI1N: {
      uint8_t Values[16];
      for (int k = 0; k < 16; ++k) Values[k] = uint8_t(Pixels[k]);
      EncodeAlphaRampBlock(Values, Block);
      break;
    }
    case fmtATI2N: {
      uint8_t Red[16], Green[16];
      for (int k = 0; k < 16; ++k) {
        Red[k] = uint8_t(Pixels[k] >> 16);
        Green[k] = uint8_t(Pixels[k] >> 8);
      }
      EncodeAlphaRampBlock(Red, Block);
      EncodeAlphaRampBlock(Green, Block + 8);
      break;
    }
    default:
      break;
  }
}

}  // namespace

void DecodeBlocks(const TImageData& Image, void* TargetBits, TImageFormat Format) {
  const int BlockSize = BlockBytes(Format);
  IMAGING_ASSERT(BlockSize > 0);
  const int BlocksX = Image.Width > 0 ? Image.Width / 4 : 0;
  const int BlocksY = Image.Height > 0 ? Image.Height / 4 : 0;
  if (BlocksX == 0 || BlocksY == 0) return;
  IMAGING_ASSERT(Image.Bits != nullptr && TargetBits != nullptr);

  const int Bpp = NearestBytesPerPixel(Format);
  const size_t RowBytes = size_t(Image.Width) * size_t(Bpp);
  const uint8_t* Src = static_cast<const uint8_t*>(Image.Bits);
  uint8_t* Dst = static_cast<uint8_t*>(TargetBits);
  uint32_t Pixels[16];

  for (int By = 0; By < BlocksY; ++By) {
    if ((By & 63) == 0) PollCancel();
    uint8_t* BlockRow = Dst + size_t(By) * 4 * RowBytes;
    for (int Bx = 0; Bx < BlocksX; ++Bx) {
      DecodeBlock(Src, Format, Pixels);
      Src += BlockSize;
      uint8_t* Out = BlockRow + size_t(Bx) * 4 * size_t(Bpp);
      for (int Row = 0; Row < 4; ++Row, Out += RowBytes) {
        if (Bpp == 4) {
          for (int Col = 0; Col < 4; ++Col) Store32(Out + 4 * Col, Pixels[4 * Row + Col]);
        } else {
          for (int Col = 0; Col < 4; ++Col) Out[Col] = uint8_t(Pixels[4 * Row + Col]);
        }
      }
    }
  }
}

void EncodeBlocks(const void* SrcBits, TImageData& Image, TImageFormat Format) {
  const int BlockSize = BlockBytes(Format);
  IMAGING_ASSERT(BlockSize > 0);
  const int BlocksX = Image.Width > 0 ? Image.Width / 4 : 0;
  const int BlocksY = Image.Height > 0 ? Image.Height / 4 : 0;
  if (BlocksX == 0 || BlocksY == 0) return;
  IMAGING_ASSERT(Image.Bits != nullptr && SrcBits != nullptr);

  const int Bpp = NearestBytesPerPixel(Format);
  const size_t RowBytes = size_t(Image.Width) * size_t(Bpp);
  const uint8_t* Src = static_cast<const uint8_t*>(SrcBits);
  uint8_t* Dst = static_cast<uint8_t*>(Image.Bits);
  uint32_t Pixels[16];

  for (int By = 0; By < BlocksY; ++By) {
    if ((By & 63) == 0) PollCancel();
    const uint8_t* BlockRow = Src + size_t(By) * 4 * RowBytes;
    for (int Bx = 0; Bx < BlocksX; ++Bx) {
      const uint8_t* In = BlockRow + size_t(Bx) * 4 * size_t(Bpp);
      for (int Row = 0; Row < 4; ++Row, In += RowBytes) {
        if (Bpp == 4) {
          for (int Col = 0; Col < 4; ++Col) Pixels[4 * Row + Col] = Load32(In + 4 * Col);
        } else {
          for (int Col = 0; Col < 4; ++Col) Pixels[4 * Row + Col] = In[Col];
        }
      }
      EncodeBlock(Pixels, Format, Dst);
      Dst += BlockSize;
    }
  }
}

}  // namespace Imaging
