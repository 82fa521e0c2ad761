// Block compression codecs: DXT1, DXT3, DXT5 (S3TC), BTC, ATI1N and ATI2N
// (3Dc). Every 4 x 4 block is decoded and encoded on its own; an image is
// processed as floor(Width / 4) x floor(Height / 4) blocks, stored row of
// blocks after row of blocks, so nothing outside the buffers implied by the
// image size is ever read or written.
#include <cstring>
#include <utility>

#include "ImagingFormats.h"

#if (defined(__x86_64__) || defined(__i386__)) && defined(__SSE2__)
#define BLOCK_HAVE_X86_PATHS 1
#include <immintrin.h>
#endif

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

// The four colours of a block from its two end points: the blends at one
// and two thirds, or (with transparency) their half and the transparent slot.
void MakeColorTable(int C0, int C1, bool Transparent, TRgb Table[4]) {
  Table[0] = ExpandRGB565(uint16_t(C0));
  Table[1] = ExpandRGB565(uint16_t(C1));
  if (Transparent) {
    Table[2] = Table[3] = Half(Table[0], Table[1]);
  } else {
    Table[2] = Blend3(Table[0], Table[1]);
    Table[3] = Blend3(Table[1], Table[0]);
  }
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
  MakeColorTable(C0, C1, Transparent, Table);

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

#if defined(BLOCK_HAVE_X86_PATHS)
// The same encoders on vector registers, giving exactly the same bytes.

// Alpha ramp block with SSE2: the 16 values in one register, distances to
// the ramp entries as unsigned byte differences; an entry replaces the
// current choice only when it is strictly nearer, as in the scalar loop.
void EncodeAlphaRampBlockSSE2(const uint8_t Values[16], uint8_t* Block) {
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(Values));
  __m128i mx = _mm_max_epu8(v, _mm_srli_si128(v, 8)), mn = _mm_min_epu8(v, _mm_srli_si128(v, 8));
  mx = _mm_max_epu8(mx, _mm_srli_si128(mx, 4));
  mn = _mm_min_epu8(mn, _mm_srli_si128(mn, 4));
  mx = _mm_max_epu8(mx, _mm_srli_si128(mx, 2));
  mn = _mm_min_epu8(mn, _mm_srli_si128(mn, 2));
  mx = _mm_max_epu8(mx, _mm_srli_si128(mx, 1));
  mn = _mm_min_epu8(mn, _mm_srli_si128(mn, 1));
  const int A0 = _mm_cvtsi128_si32(mx) & 0xFF, A1 = _mm_cvtsi128_si32(mn) & 0xFF;
  if (A0 == A1) {
    // A constant block: every value is nearest to entry 0.
    Block[0] = Block[1] = uint8_t(A0);
    std::memset(Block + 2, 0, 6);
    return;
  }
  // The ramp of MakeEncoderRamp; (x * 9363) >> 16 is x / 7 for every sum
  // that can occur (x <= 7 * 255 + 3).
  uint32_t Ramp[8] = {uint32_t(A0), uint32_t(A1)};
  for (int i = 1; i <= 6; ++i) Ramp[i + 1] = (uint32_t((7 - i) * A0 + i * A1 + 3) * 9363u) >> 16;
  auto absDiff = [&v](uint32_t R) {
    const __m128i r = _mm_set1_epi32(int(R * 0x01010101u));
    return _mm_or_si128(_mm_subs_epu8(v, r), _mm_subs_epu8(r, v));
  };
  __m128i best = absDiff(Ramp[0]), index = _mm_setzero_si128();
  for (int i = 1; i < 8; ++i) {
    const __m128i d = absDiff(Ramp[i]);
    const __m128i notNearer = _mm_cmpeq_epi8(_mm_max_epu8(d, best), d);  // d >= best
    index = _mm_or_si128(_mm_and_si128(notNearer, index), _mm_andnot_si128(notNearer, _mm_set1_epi8(char(i))));
    best = _mm_min_epu8(best, d);
  }
  // Pack the 3-bit indices: pairs into 6 bits, then fours into 12 bits.
  __m128i pairs = _mm_or_si128(_mm_and_si128(index, _mm_set1_epi16(0x0007)),
                               _mm_and_si128(_mm_srli_epi16(index, 5), _mm_set1_epi16(0x0038)));
  __m128i fours = _mm_or_si128(_mm_and_si128(pairs, _mm_set1_epi32(0x003F)),
                               _mm_and_si128(_mm_srli_epi32(pairs, 10), _mm_set1_epi32(0x0FC0)));
  alignas(16) uint32_t q[4];
  _mm_store_si128(reinterpret_cast<__m128i*>(q), fours);
  Block[0] = uint8_t(A0);
  Block[1] = uint8_t(A1);
  Store24(Block + 2, q[0] | (q[1] << 12));
  Store24(Block + 5, q[2] | (q[3] << 12));
}

// Squared RGB distances of 8 pixels to one colour. Pixels are split into
// U = B | R << 16 and V = G: the 16-bit differences of each half squared and
// summed pairwise by pmaddwd give db^2 + dr^2 and dg^2, exactly.
__attribute__((target("avx2"))) inline __m256i Dist8(__m256i U, __m256i V, __m256i Uc, __m256i Vc) {
  const __m256i du = _mm256_sub_epi16(U, Uc), dv = _mm256_sub_epi16(V, Vc);
  return _mm256_add_epi32(_mm256_madd_epi16(du, du), _mm256_madd_epi16(dv, dv));
}

__attribute__((target("avx2"))) void EncodeColorBlockAVX2(const uint32_t Pixels[16], bool Dxt1, uint8_t* Block) {
  const __m256i p0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(Pixels));
  const __m256i p1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(Pixels + 8));
  const __m256i lowMask = _mm256_set1_epi32(0x00FF00FF), byteMask = _mm256_set1_epi32(0xFF);
  const __m256i u0 = _mm256_and_si256(p0, lowMask), u1 = _mm256_and_si256(p1, lowMask);
  const __m256i v0 = _mm256_and_si256(_mm256_srli_epi32(p0, 8), byteMask);
  const __m256i v1 = _mm256_and_si256(_mm256_srli_epi32(p1, 8), byteMask);
  const __m256i alphaLow0 = _mm256_cmpeq_epi32(_mm256_srai_epi32(p0, 31), _mm256_setzero_si256());
  const __m256i alphaLow1 = _mm256_cmpeq_epi32(_mm256_srai_epi32(p1, 31), _mm256_setzero_si256());
  const bool Transparent = Dxt1 && (_mm256_movemask_epi8(alphaLow0) | _mm256_movemask_epi8(alphaLow1)) != 0;

  // Endpoints: for each lane j the farthest i < j (the first on ties), then
  // the farthest of all with the smallest (i, j) on ties.
  const __m256i lanes0 = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
  const __m256i lanes1 = _mm256_setr_epi32(8, 9, 10, 11, 12, 13, 14, 15);
  __m256i bestD0 = _mm256_setzero_si256(), bestD1 = bestD0, bestI0 = bestD0, bestI1 = bestD0;
  // A block of one colour has only zero distances: the search would end
  // with the pair (0, 0), which the zero vectors already give.
  const __m256i rgb = _mm256_set1_epi32(0x00FFFFFF), first = _mm256_set1_epi32(int(Pixels[0] & 0x00FFFFFF));
  const bool oneColor = _mm256_movemask_epi8(_mm256_and_si256(_mm256_cmpeq_epi32(_mm256_and_si256(p0, rgb), first),
                                                              _mm256_cmpeq_epi32(_mm256_and_si256(p1, rgb), first))) == -1;
  // Pixel i of the first eight against all sixteen, then pixel i of the
  // last eight against the last eight.
  for (int i = 0; i < (oneColor ? 0 : 8); ++i) {
    const __m256i iv = _mm256_set1_epi32(i);
    const __m256i ui = _mm256_permutevar8x32_epi32(u0, iv), vi = _mm256_permutevar8x32_epi32(v0, iv);
    const __m256i d0 = _mm256_and_si256(Dist8(u0, v0, ui, vi), _mm256_cmpgt_epi32(lanes0, iv));  // j > i only
    bestI0 = _mm256_blendv_epi8(bestI0, iv, _mm256_cmpgt_epi32(d0, bestD0));
    bestD0 = _mm256_max_epi32(d0, bestD0);
    const __m256i d1 = Dist8(u1, v1, ui, vi);
    bestI1 = _mm256_blendv_epi8(bestI1, iv, _mm256_cmpgt_epi32(d1, bestD1));
    bestD1 = _mm256_max_epi32(d1, bestD1);
  }
  for (int i = 8; i < (oneColor ? 8 : 15); ++i) {
    const __m256i iv = _mm256_set1_epi32(i), sel = _mm256_set1_epi32(i - 8);
    const __m256i ui = _mm256_permutevar8x32_epi32(u1, sel), vi = _mm256_permutevar8x32_epi32(v1, sel);
    const __m256i d1 = _mm256_and_si256(Dist8(u1, v1, ui, vi), _mm256_cmpgt_epi32(lanes1, iv));
    bestI1 = _mm256_blendv_epi8(bestI1, iv, _mm256_cmpgt_epi32(d1, bestD1));
    bestD1 = _mm256_max_epi32(d1, bestD1);
  }
  __m256i m = _mm256_max_epi32(bestD0, bestD1);
  m = _mm256_max_epi32(m, _mm256_permute2x128_si256(m, m, 1));
  m = _mm256_max_epi32(m, _mm256_shuffle_epi32(m, 0x4E));
  m = _mm256_max_epi32(m, _mm256_shuffle_epi32(m, 0xB1));
  const __m256i none = _mm256_set1_epi32(0xFFFF);
  const __m256i k0 = _mm256_or_si256(_mm256_slli_epi32(bestI0, 4), lanes0);
  const __m256i k1 = _mm256_or_si256(_mm256_slli_epi32(bestI1, 4), lanes1);
  __m256i key = _mm256_min_epi32(_mm256_blendv_epi8(none, k0, _mm256_cmpeq_epi32(bestD0, m)),
                                 _mm256_blendv_epi8(none, k1, _mm256_cmpeq_epi32(bestD1, m)));
  key = _mm256_min_epi32(key, _mm256_permute2x128_si256(key, key, 1));
  key = _mm256_min_epi32(key, _mm256_shuffle_epi32(key, 0x4E));
  key = _mm256_min_epi32(key, _mm256_shuffle_epi32(key, 0xB1));
  const int best = _mm256_cvtsi256_si32(key);
  const uint32_t PI = Pixels[best >> 4], PJ = Pixels[best & 15];

  int C0 = ToRGB565(int((PI >> 16) & 0xFF), int((PI >> 8) & 0xFF), int(PI & 0xFF));
  int C1 = ToRGB565(int((PJ >> 16) & 0xFF), int((PJ >> 8) & 0xFF), int(PJ & 0xFF));
  if (Transparent ? (C0 > C1) : (C0 < C1)) std::swap(C0, C1);
  TRgb Table[4];
  MakeColorTable(C0, C1, Transparent, Table);

  // Nearest entry per pixel; a later entry wins only when strictly nearer.
  __m256i uc = _mm256_set1_epi32(Table[0].B | (Table[0].R << 16)), vc = _mm256_set1_epi32(Table[0].G);
  __m256i dist0 = Dist8(u0, v0, uc, vc), dist1 = Dist8(u1, v1, uc, vc);
  __m256i index0 = _mm256_setzero_si256(), index1 = index0;
  const int entries = Transparent ? 3 : 4;
  for (int t = 1; t < entries; ++t) {
    uc = _mm256_set1_epi32(Table[t].B | (Table[t].R << 16));
    vc = _mm256_set1_epi32(Table[t].G);
    const __m256i tv = _mm256_set1_epi32(t);
    const __m256i d0 = Dist8(u0, v0, uc, vc), d1 = Dist8(u1, v1, uc, vc);
    index0 = _mm256_blendv_epi8(index0, tv, _mm256_cmpgt_epi32(dist0, d0));
    index1 = _mm256_blendv_epi8(index1, tv, _mm256_cmpgt_epi32(dist1, d1));
    dist0 = _mm256_min_epi32(dist0, d0);
    dist1 = _mm256_min_epi32(dist1, d1);
  }
  if (Transparent) {
    const __m256i three = _mm256_set1_epi32(3);
    index0 = _mm256_blendv_epi8(index0, three, alphaLow0);
    index1 = _mm256_blendv_epi8(index1, three, alphaLow1);
  }
  __m256i packed = _mm256_or_si256(_mm256_sllv_epi32(index0, _mm256_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14)),
                                   _mm256_sllv_epi32(index1, _mm256_setr_epi32(16, 18, 20, 22, 24, 26, 28, 30)));
  packed = _mm256_or_si256(packed, _mm256_permute2x128_si256(packed, packed, 1));
  packed = _mm256_or_si256(packed, _mm256_shuffle_epi32(packed, 0x4E));
  packed = _mm256_or_si256(packed, _mm256_shuffle_epi32(packed, 0xB1));
  Store16(Block, uint32_t(C0));
  Store16(Block + 2, uint32_t(C1));
  Store32(Block + 4, uint32_t(_mm256_cvtsi256_si32(packed)));
}

bool HaveAVX2() {
  static const bool have = __builtin_cpu_supports("avx2");
  return have;
}
#endif

// The fastest encoders the processor has, all with the same output.
struct TBlockEncoders {
  void (*Color)(const uint32_t Pixels[16], bool Dxt1, uint8_t* Block) = EncodeColorBlock;
  void (*AlphaRamp)(const uint8_t Values[16], uint8_t* Block) = EncodeAlphaRampBlock;
};

const TBlockEncoders& BlockEncoders() {
  static const TBlockEncoders encoders = [] {
    TBlockEncoders e;
#if defined(BLOCK_HAVE_X86_PATHS)
    e.AlphaRamp = EncodeAlphaRampBlockSSE2;
    if (HaveAVX2()) e.Color = EncodeColorBlockAVX2;
#endif
    return e;
  }();
  return encoders;
}

void EncodeBlock(const uint32_t Pixels[16], TImageFormat Format, uint8_t* Block) {
  const TBlockEncoders& enc = BlockEncoders();
  switch (Format) {
    case fmtDXT1:
      enc.Color(Pixels, true, Block);
      break;
    case fmtDXT3:
      for (int i = 0; i < 8; ++i)
        Block[i] = uint8_t(((Pixels[2 * i] >> 24) >> 4) | ((Pixels[2 * i + 1] >> 24) & 0xF0));
      enc.Color(Pixels, false, Block + 8);
      break;
    case fmtDXT5: {
      uint8_t Alpha[16];
      for (int k = 0; k < 16; ++k) Alpha[k] = uint8_t(Pixels[k] >> 24);
      enc.AlphaRamp(Alpha, Block);
      enc.Color(Pixels, false, Block + 8);
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
      enc.AlphaRamp(Values, Block);
      break;
    }
    case fmtATI2N: {
      uint8_t Red[16], Green[16];
      for (int k = 0; k < 16; ++k) {
        Red[k] = uint8_t(Pixels[k] >> 16);
        Green[k] = uint8_t(Pixels[k] >> 8);
      }
      enc.AlphaRamp(Red, Block);
      enc.AlphaRamp(Green, Block + 8);
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
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
          std::memcpy(&Pixels[4 * Row], In, 16);
#else
          for (int Col = 0; Col < 4; ++Col) Pixels[4 * Row + Col] = Load32(In + 4 * Col);
#endif
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
