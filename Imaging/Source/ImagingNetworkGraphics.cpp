// The PNG family: chunk reader and writer, PNG frame codec, PNG handler.
//
// Reading a file goes through the chunk stream once (LoadFile), collecting
// every frame's header, palette, transparency and background. The image data
// of PNG frames are decoded as they are read when the handler asks for it
// (DecodeWhileReading): each chunk is inflated and unfiltered row by row into
// the frame's image by a TPNGFrameDecoder; otherwise they are collected and
// decoded later (LoadImageFromPNGFrame). Palette and transparency are applied
// at the end (ApplyFrameSettings). Saving runs the other way: rows are
// filtered one at a time and deflated, the zlib stream going either into the
// frame's collected data (StoreImageToPNGFrame, written by SaveFile) or, once
// BeginFile has started the file, straight into the frame's data chunk. A
// frame's zlib stream is always one IDAT or fdAT chunk.
#include "ImagingNetworkGraphics.h"

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <functional>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace Imaging {

const TNGSignature PNGSignature = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
const TNGSignature MNGSignature = {0x8A, 0x4D, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
const TNGSignature JNGSignature = {0x8B, 0x4A, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};

namespace {

// ---------------------------------------------------------------------------
// Byte order, chunk ids, messages
// ---------------------------------------------------------------------------

inline uint32_t SwapEndian32(uint32_t V) { return __builtin_bswap32(V); }
inline uint16_t SwapEndian16(uint16_t V) { return __builtin_bswap16(V); }
inline uint32_t ReadBE32(const uint8_t* P) {
  return (uint32_t(P[0]) << 24) | (uint32_t(P[1]) << 16) | (uint32_t(P[2]) << 8) | P[3];
}
inline void WriteBE32(uint8_t* P, uint32_t V) {
  P[0] = uint8_t(V >> 24);
  P[1] = uint8_t(V >> 16);
  P[2] = uint8_t(V >> 8);
  P[3] = uint8_t(V);
}

using TChunkId = uint32_t;  // the four letters read as a big-endian number
constexpr TChunkId MakeId(const char (&S)[5]) {
  return (TChunkId(uint8_t(S[0])) << 24) | (TChunkId(uint8_t(S[1])) << 16) | (TChunkId(uint8_t(S[2])) << 8) |
         TChunkId(uint8_t(S[3]));
}
constexpr TChunkId IHDRId = MakeId("IHDR"), IENDId = MakeId("IEND"), MHDRId = MakeId("MHDR"),
                   MENDId = MakeId("MEND"), JHDRId = MakeId("JHDR"), IDATId = MakeId("IDAT"),
                   JDATId = MakeId("JDAT"), JDAAId = MakeId("JDAA"), PLTEId = MakeId("PLTE"),
                   tRNSId = MakeId("tRNS"), bKGDId = MakeId("bKGD"), acTLId = MakeId("acTL"),
                   fcTLId = MakeId("fcTL"), fdATId = MakeId("fdAT");

std::string IdText(TChunkId Id) {
  std::string s(4, '?');
  for (int i = 0; i < 4; ++i) {
    char c = char((Id >> (24 - 8 * i)) & 0xFF);
    s[size_t(i)] = (c >= 32 && c < 127) ? c : '?';
  }
  return s;
}

[[noreturn]] void RaiseChunkDataError(TChunkId Id) {
  RaiseImagingError("Error when reading %s chunk data. File may be corrupted.", IdText(Id));
}
[[noreturn]] void RaiseCrcError(TChunkId Id) {
  RaiseImagingError("CRC error in %s chunk. File may be corrupted.", IdText(Id));
}
[[noreturn]] void RaiseInvalidChunk(TChunkId Id) {
  RaiseImagingError("Invalid %s chunk. File may be corrupted.", IdText(Id));
}

// Chunk CRCs are the CRC-32 of the PNG standard (reflected polynomial
// EDB88320, preset and final complement) over id and data; zlib's crc32
// computes exactly that value.

// ---------------------------------------------------------------------------
// zlib
// ---------------------------------------------------------------------------

[[noreturn]] void RaiseZlibError(int Code, bool Compressing) {
  std::string text = std::string("zlib: ") + zError(Code);
  if (Compressing) throw ECompressionError(text);
  throw EDecompressionError(text);
}

// Deflates a stream given in pieces; the output goes to Out in blocks of at
// most 64 KiB as zlib produces it (each block becomes one data chunk).
class TStreamDeflater {
public:
  using TOutput = std::function<void(const uint8_t*, size_t)>;
  TStreamDeflater(int Level, TOutput Out) : FOut(std::move(Out)), FBuffer(new uint8_t[BlockSize]) {
    std::memset(&FStream, 0, sizeof(FStream));
    int ret = deflateInit(&FStream, Level);
    if (ret != Z_OK) RaiseZlibError(ret, true);
    FStream.next_out = FBuffer.get();
    FStream.avail_out = BlockSize;
  }
  ~TStreamDeflater() { deflateEnd(&FStream); }
  TStreamDeflater(const TStreamDeflater&) = delete;
  TStreamDeflater& operator=(const TStreamDeflater&) = delete;

  void Write(const uint8_t* Data, size_t Size) {
    while (Size > 0) {
      uInt part = uInt(std::min<size_t>(Size, 1u << 30));
      FStream.next_in = const_cast<Bytef*>(Data);
      FStream.avail_in = part;
      Run(Z_NO_FLUSH);
      Data += part;
      Size -= part;
    }
  }
  // Ends the stream and hands over what is left.
  void Finish() {
    FStream.next_in = nullptr;
    FStream.avail_in = 0;
    Run(Z_FINISH);
    if (FStream.avail_out < BlockSize) FOut(FBuffer.get(), BlockSize - FStream.avail_out);
  }

private:
  static constexpr uInt BlockSize = 1u << 16;
  // Deflate consumes all input unless the output block fills, so Z_NO_FLUSH
  // is done once the block has room left; Z_FINISH once the stream ended.
  void Run(int Flush) {
    for (;;) {
      int ret = deflate(&FStream, Flush);
      if (ret != Z_OK && ret != Z_STREAM_END && ret != Z_BUF_ERROR) RaiseZlibError(ret, true);
      if (FStream.avail_out == 0) {
        FOut(FBuffer.get(), BlockSize);
        FStream.next_out = FBuffer.get();
        FStream.avail_out = BlockSize;
        continue;
      }
      if (Flush == Z_FINISH ? ret == Z_STREAM_END : FStream.avail_in == 0) break;
      if (ret == Z_BUF_ERROR) RaiseZlibError(ret, true);
    }
  }
  z_stream FStream;
  TOutput FOut;
  std::unique_ptr<uint8_t[]> FBuffer;
};

// ---------------------------------------------------------------------------
// Row reconstruction (decoding). Dst receives the unfiltered row, Src holds
// the filtered bytes, Prev is the unfiltered row above (zeros for the first
// row). Whole rows at a time; Sub, Average and Paeth carry a dependency from
// pixel to pixel, so they step one pixel (B bytes) at a time in registers.
// ---------------------------------------------------------------------------

inline uint8_t PaethPredictor(int A, int B, int C) {
  int pa = std::abs(B - C);
  int pb = std::abs(A - C);
  int pc = std::abs(A + B - 2 * C);
  int bc = pb <= pc ? B : C;
  return uint8_t((pa <= pb && pa <= pc) ? A : bc);
}

void UnfilterUp(uint8_t* __restrict Dst, const uint8_t* __restrict Src, const uint8_t* __restrict Prev, size_t N) {
  size_t i = 0;
#if defined(__SSE2__)
  for (; i + 16 <= N; i += 16) {
    __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(Src + i));
    __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(Prev + i));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(Dst + i), _mm_add_epi8(x, b));
  }
#endif
  for (; i < N; ++i) Dst[i] = uint8_t(Src[i] + Prev[i]);
}

void UnfilterScalar(int Type, uint8_t* __restrict Dst, const uint8_t* __restrict Src,
                    const uint8_t* __restrict Prev, size_t N, size_t B) {
  switch (Type) {
    case 1:
      for (size_t i = 0; i < std::min(B, N); ++i) Dst[i] = Src[i];
      for (size_t i = B; i < N; ++i) Dst[i] = uint8_t(Src[i] + Dst[i - B]);
      break;
    case 3:
      for (size_t i = 0; i < std::min(B, N); ++i) Dst[i] = uint8_t(Src[i] + (Prev[i] >> 1));
      for (size_t i = B; i < N; ++i) Dst[i] = uint8_t(Src[i] + ((Dst[i - B] + Prev[i]) >> 1));
      break;
    case 4:
      for (size_t i = 0; i < std::min(B, N); ++i) Dst[i] = uint8_t(Src[i] + Prev[i]);
      for (size_t i = B; i < N; ++i) Dst[i] = uint8_t(Src[i] + PaethPredictor(Dst[i - B], Prev[i], Prev[i - B]));
      break;
  }
}

#if defined(__SSE2__)
template <size_t B>
inline __m128i LoadPixel(const uint8_t* P) {
  uint64_t v = 0;
  std::memcpy(&v, P, B);
  return _mm_cvtsi64_si128(int64_t(v));
}
template <size_t B>
inline void StorePixel(uint8_t* P, __m128i V) {
  uint64_t v = uint64_t(_mm_cvtsi128_si64(V));
  std::memcpy(P, &v, B);
}
inline __m128i Abs16(__m128i V) { return _mm_max_epi16(V, _mm_sub_epi16(_mm_setzero_si128(), V)); }

// Paeth predictor on eight 16-bit lanes, with the exact tie rules.
inline __m128i Paeth16(__m128i A, __m128i B, __m128i C) {
  __m128i pa = Abs16(_mm_sub_epi16(B, C));
  __m128i pb = Abs16(_mm_sub_epi16(A, C));
  __m128i pc = Abs16(_mm_add_epi16(_mm_sub_epi16(B, C), _mm_sub_epi16(A, C)));
  __m128i smallest = _mm_min_epi16(pc, _mm_min_epi16(pa, pb));
  __m128i useA = _mm_cmpeq_epi16(smallest, pa);
  __m128i useB = _mm_cmpeq_epi16(smallest, pb);
  __m128i bc = _mm_or_si128(_mm_and_si128(useB, B), _mm_andnot_si128(useB, C));
  return _mm_or_si128(_mm_and_si128(useA, A), _mm_andnot_si128(useA, bc));
}

// Pixel-at-a-time reconstruction for 3 to 8 bytes per pixel. Pixels of 3
// and 6 bytes are moved as 4 and 8 bytes except the last of the row: the
// extra bytes read belong to the row, and the extra byte written is the next
// pixel's, which is written again in the next step.
template <size_t B>
void UnfilterPixels(int Type, uint8_t* __restrict Dst, const uint8_t* __restrict Src,
                    const uint8_t* __restrict Prev, size_t N) {
  constexpr size_t W = B == 3 ? 4 : B == 6 ? 8 : B;
  const __m128i zero = _mm_setzero_si128();
  const size_t pixels = N / B;
  if (pixels == 0) return;
  const size_t wide = W == B ? pixels : pixels - 1;
  auto run = [&](auto Step) {
    size_t p = 0;
    for (; p < wide; ++p) Step(p, std::integral_constant<size_t, W>());
    for (; p < pixels; ++p) Step(p, std::integral_constant<size_t, B>());
  };
  switch (Type) {
    case 1: {
      __m128i a = zero;
      run([&](size_t p, auto Width) {
        a = _mm_add_epi8(a, LoadPixel<Width()>(Src + p * B));
        StorePixel<Width()>(Dst + p * B, a);
      });
      break;
    }
    case 3: {
      __m128i a = zero;
      const __m128i one = _mm_set1_epi8(1);
      run([&](size_t p, auto Width) {
        __m128i b = LoadPixel<Width()>(Prev + p * B);
        __m128i avg = _mm_sub_epi8(_mm_avg_epu8(a, b), _mm_and_si128(_mm_xor_si128(a, b), one));
        a = _mm_add_epi8(avg, LoadPixel<Width()>(Src + p * B));
        StorePixel<Width()>(Dst + p * B, a);
      });
      break;
    }
    case 4: {
      // Lanes beyond the pixel carry garbage that never reaches its bytes.
      __m128i a = zero, c = zero;
      run([&](size_t p, auto Width) {
        __m128i b = _mm_unpacklo_epi8(LoadPixel<Width()>(Prev + p * B), zero);
        __m128i pred = _mm_packus_epi16(Paeth16(a, b, c), zero);
        __m128i x = _mm_add_epi8(pred, LoadPixel<Width()>(Src + p * B));
        StorePixel<Width()>(Dst + p * B, x);
        a = _mm_unpacklo_epi8(x, zero);
        c = b;
      });
      break;
    }
  }
}
#endif

#if defined(__x86_64__) || defined(__i386__)
#define PNG_HAVE_PAETH_SSE41_PATH 1
#include <smmintrin.h>

inline uint32_t ReadLE32(const uint8_t* P) {
  uint32_t v;
  std::memcpy(&v, P, 4);
  return v;
}

// Paeth reconstruction of 4-byte pixels, one pixel per step: the left
// neighbour a of each pixel is the result of the step before, so the step's
// latency is the cost. With e = b - c and d = a - c the predictor's three
// distances are |e|, |d| and |d + e|, and its choice with the usual tie
// rules comes down to comparisons of d against limits that depend on the
// row above only: with d' = d signed like e and f = |e|, a is chosen when
// d' >= f or d' <= -2f, else b when 2d' >= -f, else c. Only the subtraction,
// the sign, the comparisons and two blends wait for a.
__attribute__((target("sse4.1"))) void UnfilterPaeth4SSE41(uint8_t* __restrict Dst, const uint8_t* __restrict Src,
                                                           const uint8_t* __restrict Prev, size_t N) {
  const __m128i zero = _mm_setzero_si128(), one = _mm_set1_epi16(1);
  __m128i a = zero, c = zero;
  for (size_t i = 0; i + 4 <= N; i += 4) {
    const __m128i b = _mm_unpacklo_epi8(_mm_cvtsi32_si128(int(ReadLE32(Prev + i))), zero);
    const __m128i s = _mm_unpacklo_epi8(_mm_cvtsi32_si128(int(ReadLE32(Src + i))), zero);
    const __m128i e = _mm_sub_epi16(b, c);
    const __m128i f = _mm_abs_epi16(e);
    const __m128i aAbove = _mm_sub_epi16(f, one);                                           // a: d' > f - 1
    const __m128i aBelow = _mm_sub_epi16(one, _mm_add_epi16(f, f));                         // or d' < 1 - 2f
    const __m128i bAbove = _mm_sub_epi16(zero, _mm_add_epi16(_mm_srli_epi16(f, 1), one));  // b: d' > -(f / 2) - 1
    const __m128i d = _mm_sign_epi16(_mm_sub_epi16(a, c), e);
    const __m128i pickA = _mm_or_si128(_mm_cmpgt_epi16(d, aAbove), _mm_cmpgt_epi16(aBelow, d));
    const __m128i bOrC = _mm_blendv_epi8(c, b, _mm_cmpgt_epi16(d, bAbove));
    // Bytewise addition keeps the sum modulo 256 in the low byte of each
    // 16-bit lane and the high byte zero.
    a = _mm_add_epi8(_mm_blendv_epi8(bOrC, a, pickA), s);
    const uint32_t v = uint32_t(_mm_cvtsi128_si32(_mm_packus_epi16(a, zero)));
    std::memcpy(Dst + i, &v, 4);
    c = b;
  }
}

bool HaveSSE41() {
  static const bool have = __builtin_cpu_supports("sse4.1");
  return have;
}
#endif

// Reconstructs one row. A filter type above 4 leaves Dst as it was.
void UnfilterRow(int Type, uint8_t* Dst, const uint8_t* Src, const uint8_t* Prev, size_t N, size_t B) {
  switch (Type) {
    case 0:
      std::memcpy(Dst, Src, N);
      return;
    case 2:
      UnfilterUp(Dst, Src, Prev, N);
      return;
    case 1:
    case 3:
    case 4:
      break;
    default:
      return;
  }
#if defined(PNG_HAVE_PAETH_SSE41_PATH)
  if (Type == 4 && B == 4 && HaveSSE41()) return UnfilterPaeth4SSE41(Dst, Src, Prev, N);
#endif
#if defined(__SSE2__)
  switch (B) {
    case 3: UnfilterPixels<3>(Type, Dst, Src, Prev, N); return;
    case 4: UnfilterPixels<4>(Type, Dst, Src, Prev, N); return;
    case 6: UnfilterPixels<6>(Type, Dst, Src, Prev, N); return;
    case 8: UnfilterPixels<8>(Type, Dst, Src, Prev, N); return;
    default: break;
  }
#endif
  UnfilterScalar(Type, Dst, Src, Prev, N, B);
}

// ---------------------------------------------------------------------------
// Row filtering (encoding): Out[i] = Src[i] - prediction, the prediction
// taken from the unfiltered rows only, so every byte is independent.
// ---------------------------------------------------------------------------

void FilterRow(int Type, uint8_t* __restrict Out, const uint8_t* __restrict Src, const uint8_t* __restrict Prev,
               size_t N, size_t B) {
  size_t head = std::min(B, N);
  switch (Type) {
    case 0:
      std::memcpy(Out, Src, N);
      return;
    case 1:
      std::memcpy(Out, Src, head);
      break;
    case 2:
      head = 0;
      break;
    case 3:
      for (size_t i = 0; i < head; ++i) Out[i] = uint8_t(Src[i] - (Prev[i] >> 1));
      break;
    case 4:
      for (size_t i = 0; i < head; ++i) Out[i] = uint8_t(Src[i] - Prev[i]);
      break;
    default:
      return;
  }
  size_t i = head;
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128();
  const __m128i one = _mm_set1_epi8(1);
  for (; i + 16 <= N; i += 16) {
    __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(Src + i));
    __m128i r;
    if (Type == 2) {
      r = _mm_sub_epi8(x, _mm_loadu_si128(reinterpret_cast<const __m128i*>(Prev + i)));
    } else {
      __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(Src + i - B));
      if (Type == 1) {
        r = _mm_sub_epi8(x, a);
      } else {
        __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(Prev + i));
        if (Type == 3) {
          __m128i avg = _mm_sub_epi8(_mm_avg_epu8(a, b), _mm_and_si128(_mm_xor_si128(a, b), one));
          r = _mm_sub_epi8(x, avg);
        } else {
          __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(Prev + i - B));
          __m128i lo = Paeth16(_mm_unpacklo_epi8(a, zero), _mm_unpacklo_epi8(b, zero), _mm_unpacklo_epi8(c, zero));
          __m128i hi = Paeth16(_mm_unpackhi_epi8(a, zero), _mm_unpackhi_epi8(b, zero), _mm_unpackhi_epi8(c, zero));
          r = _mm_sub_epi8(x, _mm_packus_epi16(lo, hi));
        }
      }
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(Out + i), r);
  }
#endif
  switch (Type) {
    case 1:
      for (; i < N; ++i) Out[i] = uint8_t(Src[i] - Src[i - B]);
      break;
    case 2:
      for (; i < N; ++i) Out[i] = uint8_t(Src[i] - Prev[i]);
      break;
    case 3:
      for (; i < N; ++i) Out[i] = uint8_t(Src[i] - ((Src[i - B] + Prev[i]) >> 1));
      break;
    case 4:
      for (; i < N; ++i) Out[i] = uint8_t(Src[i] - PaethPredictor(Src[i - B], Prev[i], Prev[i - B]));
      break;
  }
}

// Score of a filtered row for the adaptive choice: the sum of its bytes read
// as signed 8-bit numbers, without sign.
uint64_t RowScore(const uint8_t* Row, size_t N) {
  uint64_t sum = 0;
  size_t i = 0;
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128();
  __m128i acc = zero;
  for (; i + 16 <= N; i += 16) {
    __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(Row + i));
    __m128i mag = _mm_min_epu8(x, _mm_sub_epi8(zero, x));
    acc = _mm_add_epi64(acc, _mm_sad_epu8(mag, zero));
  }
  sum = uint64_t(_mm_cvtsi128_si64(acc)) + uint64_t(_mm_cvtsi128_si64(_mm_unpackhi_epi64(acc, acc)));
#endif
  for (; i < N; ++i) sum += uint64_t(std::abs(int(int8_t(Row[i]))));
  return sum;
}

// ---------------------------------------------------------------------------
// Sample order. PNG rows hold R, G, B(, A) with big-endian 16-bit samples;
// images hold B, G, R(, A) with native 16-bit samples. The change is a fixed
// byte permutation inside every pixel, so it may be applied to filtered rows
// (filters work byte by byte at a distance of whole pixels) and it is its own
// inverse, which serves both directions.
// ---------------------------------------------------------------------------

enum TSampleOrder { soNone, soSwap8x3, soSwap8x4, soSwap16, soRGB16, soRGBA16 };

TSampleOrder SampleOrderFor(int ColorType, int BitDepth, bool RedBlueInFileOrder) {
  bool rgb = ColorType == 2 || ColorType == 6;
  if (BitDepth == 8) {
    if (!rgb || RedBlueInFileOrder) return soNone;
    return ColorType == 2 ? soSwap8x3 : soSwap8x4;
  }
  if (BitDepth == 16) {
    if (!rgb || RedBlueInFileOrder) return soSwap16;
    return ColorType == 2 ? soRGB16 : soRGBA16;
  }
  return soNone;
}

// Bytes per pixel of a permutation and where each output byte comes from.
struct TPermutation {
  size_t Size;
  uint8_t From[8];
};
const TPermutation& PermutationOf(TSampleOrder Order) {
  static const TPermutation table[] = {
      {1, {0}},
      {3, {2, 1, 0}},
      {4, {2, 1, 0, 3}},
      {2, {1, 0}},
      {6, {5, 4, 3, 2, 1, 0}},
      {8, {5, 4, 3, 2, 1, 0, 7, 6}},
  };
  return table[Order];
}

#if defined(__x86_64__) || defined(__i386__)
#define PNG_HAVE_SSSE3_PATH 1
#include <tmmintrin.h>

// Whole pixels of 16-byte blocks through one byte shuffle; returns how many
// bytes were done (a multiple of the pixel size).
__attribute__((target("ssse3"))) size_t ReorderBlocksSSSE3(const TPermutation& P, uint8_t* Dst, const uint8_t* Src,
                                                         size_t N) {
  const size_t perBlock = (16 / P.Size) * P.Size;  // 15, 16 or 12 bytes
  alignas(16) uint8_t mask[16];
  for (size_t i = 0; i < 16; ++i)
    mask[i] = i < perBlock ? uint8_t((i / P.Size) * P.Size + P.From[i % P.Size]) : uint8_t(i);
  const __m128i m = _mm_load_si128(reinterpret_cast<const __m128i*>(mask));
  size_t i = 0;
  // The bytes after a 15- or 12-byte block are stored unshuffled; they lie
  // inside the row and the next block or the tail rewrites them.
  for (; i + 16 <= N; i += perBlock) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(Src + i));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(Dst + i), _mm_shuffle_epi8(v, m));
  }
  return i;
}

bool HaveSSSE3() {
  static const bool have = __builtin_cpu_supports("ssse3");
  return have;
}

// Adler-32 of 32-byte blocks: per block, s1 grows by the byte sum and s2 by
// 32 * s1 plus the bytes weighted 32 .. 1. At most 173 blocks (5536 bytes)
// are summed before the modulo, so that no 32-bit sum can overflow.
__attribute__((target("ssse3"))) uint32_t Adler32BlocksSSSE3(uint32_t Adler, const uint8_t* P, size_t Blocks) {
  constexpr uint32_t Base = 65521;
  uint32_t s1 = Adler & 0xFFFF, s2 = Adler >> 16;
  const __m128i weightsHigh = _mm_setr_epi8(32, 31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20, 19, 18, 17);
  const __m128i weightsLow = _mm_setr_epi8(16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1);
  const __m128i ones = _mm_set1_epi16(1), zero = _mm_setzero_si128();
  while (Blocks > 0) {
    const size_t n = std::min<size_t>(Blocks, 173);
    Blocks -= n;
    __m128i prefix = _mm_cvtsi32_si128(int(s1 * uint32_t(n)));  // s1 before each block, summed
    __m128i sum1 = zero, sum2 = _mm_cvtsi32_si128(int(s2));
    for (size_t k = 0; k < n; ++k, P += 32) {
      const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(P));
      const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(P + 16));
      prefix = _mm_add_epi32(prefix, sum1);
      sum1 = _mm_add_epi32(sum1, _mm_add_epi32(_mm_sad_epu8(a, zero), _mm_sad_epu8(b, zero)));
      sum2 = _mm_add_epi32(sum2, _mm_madd_epi16(_mm_maddubs_epi16(a, weightsHigh), ones));
      sum2 = _mm_add_epi32(sum2, _mm_madd_epi16(_mm_maddubs_epi16(b, weightsLow), ones));
    }
    sum2 = _mm_add_epi32(sum2, _mm_slli_epi32(prefix, 5));
    sum1 = _mm_add_epi32(sum1, _mm_shuffle_epi32(sum1, 0x4E));
    sum2 = _mm_add_epi32(sum2, _mm_shuffle_epi32(sum2, 0xB1));
    sum2 = _mm_add_epi32(sum2, _mm_shuffle_epi32(sum2, 0x4E));
    s1 = (s1 + uint32_t(_mm_cvtsi128_si32(sum1))) % Base;
    s2 = uint32_t(_mm_cvtsi128_si32(sum2)) % Base;
  }
  return s1 | (s2 << 16);
}
#endif

// Adler-32 of the inflated data, as zlib would check it at the stream's end.
uint32_t Adler32Update(uint32_t Adler, const uint8_t* P, size_t N) {
#if defined(PNG_HAVE_SSSE3_PATH)
  if (N >= 64 && HaveSSSE3()) {
    const size_t blocks = N / 32;
    Adler = Adler32BlocksSSSE3(Adler, P, blocks);
    P += blocks * 32;
    N -= blocks * 32;
  }
#endif
  while (N > 0) {
    const uInt part = uInt(std::min<size_t>(N, 1u << 30));
    Adler = uint32_t(adler32(Adler, P, part));
    P += part;
    N -= part;
  }
  return Adler;
}

// Applies the sample order change to a row of N bytes, copying Src to Dst
// (they may be the same block).
void ReorderSamples(TSampleOrder Order, uint8_t* Dst, const uint8_t* Src, size_t N) {
  if (Order == soNone) {
    if (Dst != Src) std::memcpy(Dst, Src, N);
    return;
  }
  const TPermutation& p = PermutationOf(Order);
  size_t i = 0;
#if defined(PNG_HAVE_SSSE3_PATH)
  if (HaveSSSE3()) i = ReorderBlocksSSSE3(p, Dst, Src, N);
#endif
  for (; i + p.Size <= N; i += p.Size) {
    uint8_t px[8];
    for (size_t k = 0; k < p.Size; ++k) px[k] = Src[i + p.From[k]];
    std::memcpy(Dst + i, px, p.Size);
  }
  if (i < N && Dst != Src) std::memcpy(Dst + i, Src + i, N - i);
}

void ReorderSamples(TSampleOrder Order, uint8_t* Row, size_t N) { ReorderSamples(Order, Row, Row, N); }

// ---------------------------------------------------------------------------
// PNG layouts
// ---------------------------------------------------------------------------

int ChannelCount(int ColorType) {
  switch (ColorType) {
    case 0: return 1;
    case 2: return 3;
    case 3: return 1;
    case 4: return 2;
    case 6: return 4;
    default: return 0;
  }
}

bool IsValidLayout(int ColorType, int BitDepth) {
  switch (ColorType) {
    case 0: return BitDepth == 1 || BitDepth == 2 || BitDepth == 4 || BitDepth == 8 || BitDepth == 16;
    case 3: return BitDepth == 1 || BitDepth == 2 || BitDepth == 4 || BitDepth == 8;
    case 2:
    case 4:
    case 6: return BitDepth == 8 || BitDepth == 16;
    default: return false;
  }
}

TImageFormat FormatForLayout(int ColorType, int BitDepth) {
  switch (ColorType) {
    case 0: return BitDepth == 16 ? fmtGray16 : fmtGray8;
    case 2: return BitDepth == 16 ? fmtR16G16B16 : fmtR8G8B8;
    case 3: return fmtIndex8;
    case 4: return BitDepth == 16 ? fmtA16Gray16 : fmtA8Gray8;
    case 6: return BitDepth == 16 ? fmtA16R16G16B16 : fmtA8R8G8B8;
    default: return fmtNone;
  }
}

int32_t BytesPerPixelOf(TImageFormat Format) {
  switch (Format) {
    case fmtGray8:
    case fmtIndex8: return 1;
    case fmtGray16:
    case fmtA8Gray8: return 2;
    case fmtR8G8B8: return 3;
    case fmtA16Gray16:
    case fmtA8R8G8B8: return 4;
    case fmtR16G16B16: return 6;
    case fmtA16R16G16B16: return 8;
    default: return 0;
  }
}

const int Adam7StartRow[7] = {0, 0, 4, 0, 2, 0, 1};
const int Adam7StartCol[7] = {0, 4, 0, 2, 0, 1, 0};
const int Adam7RowStep[7] = {8, 8, 8, 4, 4, 2, 2};
const int Adam7ColStep[7] = {8, 8, 4, 4, 2, 2, 1};

uint8_t GrayScale(int BitDepth) { return BitDepth == 1 ? 255 : BitDepth == 2 ? 85 : BitDepth == 4 ? 17 : 1; }

// Expands a packed row of sub-byte samples to one byte per pixel.
void ExpandPackedRow(const uint8_t* Src, uint8_t* Dst, size_t Width, int BitDepth, uint8_t Scale) {
  const int perByte = 8 / BitDepth;
  const uint8_t mask = uint8_t((1 << BitDepth) - 1);
  size_t x = 0;
  for (size_t byte = 0; x < Width; ++byte) {
    uint8_t v = Src[byte];
    for (int k = 0; k < perByte && x < Width; ++k, ++x) {
      int shift = 8 - BitDepth * (k + 1);
      Dst[x] = uint8_t(((v >> shift) & mask) * Scale);
    }
  }
}

// Largest output a deflate stream of n bytes can give is about 1032 n; a
// large frame whose data cannot possibly fill it is refused before its
// memory is allocated.
constexpr int64_t MaxDeflateRatio = 1032;
constexpr int64_t SmallFrameBytes = 16 << 20;

// Ancillary chunks have a lower-case first letter.
inline bool IsAncillary(TChunkId Id) { return (Id & 0x20000000u) != 0; }

}  // namespace

// ---------------------------------------------------------------------------
// TFrameInfo and TNGFileHandler
// ---------------------------------------------------------------------------

TFrameInfo::TFrameInfo()
    : IDATMemory(new TMemoryStream()), JDATMemory(new TMemoryStream()), JDAAMemory(new TMemoryStream()) {}

TFrameInfo::~TFrameInfo() {
  Decoder.reset();
  if (Image.Bits) ReleaseImage(Image);
}

void TFrameInfo::AssignSharedProps(const TFrameInfo& Source) {
  IHDR = Source.IHDR;
  JHDR = Source.JHDR;
  Palette = Source.Palette;
  PaletteEntries = Source.PaletteEntries;
  Transparency = Source.Transparency;
  TransparencySize = Source.TransparencySize;
}

TNGFileHandler::~TNGFileHandler() { Clear(); }

void TNGFileHandler::Clear() {
  Frames.clear();
  GlobalPalette.clear();
  GlobalPaletteEntries = 0;
  GlobalTransparency.clear();
  GlobalTransparencySize = 0;
}

TFrameInfo* TNGFileHandler::GetLastFrame() { return Frames.empty() ? nullptr : Frames.back().get(); }

TFrameInfo* TNGFileHandler::AddFrameInfo() {
  Frames.push_back(std::make_unique<TFrameInfo>());
  return Frames.back().get();
}

// ---------------------------------------------------------------------------
// TNGFileLoader: the chunk stream
// ---------------------------------------------------------------------------

bool TNGFileLoader::LoadFile(THandle Handle) {
  Clear();
  MHDR = {};
  acTL = {};
  FSawIDAT = false;
  FSawacTL = false;
  FAnimationDamaged = false;
  FDefaultImageEnded = false;
  FStopped = false;
  FNextSequence = 0;
  FfcTLCount = 0;
  FRawBytes = 0;
  TIOFunctions io = CurrentIOTable();
  uint8_t sig[8];
  if (io.Read(Handle, sig, 8) != 8) return false;
  if (std::memcmp(sig, PNGSignature, 8) == 0)
    FileType = ngPNG;
  else if (std::memcmp(sig, MNGSignature, 8) == 0)
    FileType = ngMNG;
  else if (std::memcmp(sig, JNGSignature, 8) == 0)
    FileType = ngJNG;
  else
    return false;
  ReadChunks(io, Handle);
  if ((FileType == ngPNG || FileType == ngAPNG) && !FStopped) CheckAnimation();
  return true;
}

void TNGFileLoader::DropAnimation() {
  FAnimationDamaged = true;
  if (Frames.size() > 1) Frames.resize(1);
  if (!Frames.empty()) {
    TFrameInfo& f = *Frames[0];
    f.HasfcTL = false;
    f.fcTL = {};
    f.FrameWidth = int32_t(f.IHDR.Width);
    f.FrameHeight = int32_t(f.IHDR.Height);
  }
  if (FileType == ngAPNG) FileType = ngPNG;
  acTL = {};
}

void TNGFileLoader::EndAnimationFrame(TFrameInfo* Frame) {
  if (!Frame) return;
  if (Frames.empty() || Frame == Frames[0].get()) {
    EndFrameDecoding(Frame);
    return;
  }
  try {
    EndFrameDecoding(Frame);
  } catch (const EImagingError&) {
    DropAnimation();
  }
}

size_t TNGFileLoader::FramesForFirstImage() const {
  // Composed output starts with the first animation frame, which follows a
  // default image that is not part of the animation.
  if (ComposeAnimation && !Frames.empty() && !Frames[0]->HasfcTL) return 2;
  return 1;
}

void TNGFileLoader::CheckComposition(int64_t OutputFrames) const {
  if (!ComposeAnimation || Frames.empty()) return;
  const TIHDR& h = Frames[0]->IHDR;
  // Indexed animations may be composed in 32-bit colour.
  const int64_t pixelBytes = std::max<int64_t>(BytesPerPixelOf(FormatForLayout(h.ColorType, h.BitDepth)), 4);
  if (int64_t(h.Width) * h.Height * pixelBytes * OutputFrames > MaxComposedBytes)
    RaiseImagingError("Animation of %d frames on a %d x %d canvas is too large to compose.", OutputFrames,
                      int64_t(h.Width), int64_t(h.Height));
}

void TNGFileLoader::ReadChunks(const TIOFunctions& IO, THandle Handle) {
  const bool isPNG = FileType == ngPNG;  // APNG is recognised on the way
  const bool isMNG = FileType == ngMNG;
  const int64_t streamSize = MeasureHandleSize(IO, Handle);
  std::vector<uint8_t> data;
  // Read buffer of streamed image data and of skipped chunks.
  std::unique_ptr<uint8_t[]> piece;
  constexpr uint32_t PieceSize = 1u << 16;
  bool first = true;

  for (;;) {
    // Chunk header; the length is refused when it cannot be in the stream.
    uint8_t header[8];
    int32_t got = IO.Read(Handle, header, 8);
    TChunkId id = got >= 8 ? ReadBE32(header + 4) : MakeId("????");
    if (got != 8) RaiseChunkDataError(id);
    uint32_t length = ReadBE32(header);
    int64_t left = streamSize - int64_t(IO.Tell(Handle));
    if (length >= 0x80000000u || int64_t(length) + 4 > left) RaiseChunkDataError(id);

    const bool isMHDR = isMNG && first;
    first = false;
    const bool animationChunk = id == acTLId || id == fcTLId || id == fdATId;
    // Animation chunks of other file kinds, and of an animation found
    // damaged, are passed over like unknown chunks.
    const bool ignored = animationChunk && (isMNG || FileType == ngJNG || FAnimationDamaged);
    const bool known = !ignored && (isMHDR || id == IHDRId || id == fcTLId || id == JHDRId || id == IDATId ||
                                    id == fdATId || id == JDATId || id == JDAAId || id == PLTEId || id == tRNSId ||
                                    id == bKGDId || id == acTLId);
    TFrameInfo* frame = GetLastFrame();

    // Where the data go: image data straight into the frame's stream, the
    // rest into a work block. Unknown chunks are read in pieces only for
    // their CRC.
    uint8_t* dataPtr = nullptr;
    TMemoryStream* target = nullptr;
    if (known && (id == IDATId || id == fdATId || id == JDATId || id == JDAAId)) {
      if (!frame) RaiseInvalidChunk(id);
      target = id == JDATId ? frame->JDATMemory.get() : id == JDAAId ? frame->JDAAMemory.get()
                                                                     : frame->IDATMemory.get();
    }
    // In a PNG file IDAT belongs to the default image only, in one run that
    // ends where the animation frames begin; an IDAT anywhere else is damage
    // of the animation, and the chunk is passed over.
    bool skip = false;
    if (known && id == IDATId && (isPNG || FileType == ngAPNG) && (Frames.size() != 1 || FDefaultImageEnded)) {
      DropAnimation();
      skip = true;
    }
    // fdAT needs the fcTL of an animation frame before it.
    if (known && id == fdATId && (length < 4 || !frame->HasfcTL || Frames.size() < 2)) {
      DropAnimation();
      skip = true;
    }

    // Image data of a PNG frame decoded as they are read: the chunk is read
    // in pieces, each summed into the CRC and handed to the frame's decoder.
    if (!skip && DecodeWhileReading && known && (id == IDATId || id == fdATId) && (isPNG || FileType == ngAPNG)) {
      if (!piece) piece.reset(new uint8_t[PieceSize]);
      uint8_t idBytes[4];
      WriteBE32(idBytes, id);
      uLong sum = crc32(0L, idBytes, 4);
      uint32_t done = 0;
      bool damaged = false;
      if (id == fdATId) {
        uint8_t seq[4];
        if (IO.Read(Handle, seq, 4) != 4) RaiseChunkDataError(id);
        sum = crc32(sum, seq, 4);
        done = 4;
        if (ReadBE32(seq) != FNextSequence)
          damaged = true;
        else
          ++FNextSequence;
      }
      const uint32_t dataStart = done;
      // The default image's failures fail the load; an animation frame's
      // only cost the animation.
      const bool isDefault = frame == Frames[0].get();
      try {
        if (!damaged && !frame->Decoder && done < length)
          frame->Decoder.reset(new TPNGFrameDecoder(frame->FrameWidth, frame->FrameHeight, frame->IHDR, left));
        for (bool chunkStart = true; !damaged && done < length; chunkStart = false) {
          int32_t part = int32_t(std::min<uint32_t>(length - done, PieceSize));
          if (IO.Read(Handle, piece.get(), part) != part) RaiseChunkDataError(id);
          sum = crc32(sum, piece.get(), uInt(part));
          done += uint32_t(part);
          frame->Decoder->Feed(piece.get(), size_t(part), chunkStart);
        }
      } catch (const EImagingError&) {
        if (isDefault) throw;
        damaged = true;
      }
      if (damaged) {
        // The rest of the chunk is passed over.
        DropAnimation();
        if (IO.Seek(Handle, int32_t(length - done + 4), smFromCurrent) < 0) RaiseChunkDataError(id);
      } else {
        uint8_t crcBytes[4];
        if (IO.Read(Handle, crcBytes, 4) != 4) RaiseChunkDataError(id);
        if (uint32_t(sum) != ReadBE32(crcBytes)) {
          if (id == IDATId) RaiseCrcError(id);
          DropAnimation();
        } else {
          frame->DataSize += length - dataStart;
          if (id == IDATId) FSawIDAT = true;
        }
      }
      if (IO.Eof(Handle)) break;
      continue;
    }

    bool crcOk = true;
    if (known && !skip) {
      size_t at = 0;
      if (target && !isMHDR) {
        at = target->Data().size();
        // Room for the rest of the stream at once: a frame's data usually
        // come in many chunks, and the rest of the stream bounds them.
        if (target->Data().capacity() < at + length) target->Data().reserve(at + size_t(left));
        target->Data().resize(at + length);
        dataPtr = target->Data().data() + at;
      } else {
        // One spare byte: the block is never empty, so that the copies of
        // fixed records below always get a valid source.
        data.assign(size_t(length) + 1, 0);
        dataPtr = data.data();
      }
      // Read in pieces, each summed into the CRC while it is in the cache.
      uint8_t idBytes[4];
      WriteBE32(idBytes, id);
      uLong sum = crc32(0L, idBytes, 4);
      bool ok = true;
      for (uint32_t done = 0; ok && done < length;) {
        int32_t part = int32_t(std::min<uint32_t>(length - done, 1u << 16));
        ok = IO.Read(Handle, dataPtr + done, part) == part;
        if (ok) sum = crc32(sum, dataPtr + done, uInt(part));
        done += uint32_t(part);
      }
      uint8_t crcBytes[4];
      ok = ok && IO.Read(Handle, crcBytes, 4) == 4;
      if (!ok) {
        if (target && !isMHDR) target->Data().resize(at);
        RaiseChunkDataError(id);
      }
      crcOk = uint32_t(sum) == ReadBE32(crcBytes);
      if (!crcOk) {
        // A damaged ancillary chunk is passed over (its data taken back); a
        // damaged critical chunk fails the load.
        if (!IsAncillary(id) || isMHDR) RaiseCrcError(id);
        if (target) target->Data().resize(at);
        if (id == fdATId) DropAnimation();
      }
    } else if (IsAncillary(id)) {
      // Unknown ancillary chunks are not even read.
      if (IO.Seek(Handle, int32_t(length + 4), smFromCurrent) < 0) RaiseChunkDataError(id);
    } else {
      if (!piece) piece.reset(new uint8_t[PieceSize]);
      uLong c = 0;
      {
        uint8_t idBytes[4];
        WriteBE32(idBytes, id);
        c = crc32(0L, idBytes, 4);
      }
      uint32_t rest = length;
      while (rest > 0) {
        int32_t part = int32_t(std::min<uint32_t>(rest, PieceSize));
        if (IO.Read(Handle, piece.get(), part) != part) RaiseChunkDataError(id);
        c = crc32(c, piece.get(), uInt(part));
        rest -= uint32_t(part);
      }
      uint8_t crcBytes[4];
      if (IO.Read(Handle, crcBytes, 4) != 4) RaiseChunkDataError(id);
      if (uint32_t(c) != ReadBE32(crcBytes)) RaiseCrcError(id);
    }

    if (!known || skip || !crcOk) {
      // passed over
    } else if (isMHDR) {
      std::memcpy(&MHDR, dataPtr, std::min<size_t>(length, sizeof(MHDR)));
      uint32_t* fields = reinterpret_cast<uint32_t*>(&MHDR);
      for (int i = 0; i < 7; ++i) fields[i] = SwapEndian32(fields[i]);
    } else if (id == IHDRId) {
      if (isPNG || FileType == ngAPNG || FileType == ngJNG) {
        if (!Frames.empty()) RaiseInvalidChunk(id);
      } else if (FirstImageOnly && !Frames.empty()) {
        FStopped = true;
        break;
      }
      TFrameInfo* f = AddFrameInfo();
      std::memcpy(&f->IHDR, dataPtr, std::min<size_t>(length, sizeof(TIHDR)));
      f->IHDR.Width = SwapEndian32(f->IHDR.Width);
      f->IHDR.Height = SwapEndian32(f->IHDR.Height);
      const TIHDR& h = f->IHDR;
      if (h.Width == 0 || h.Height == 0 || h.Width > 0x7FFFFFFFu || h.Height > 0x7FFFFFFFu ||
          !IsValidLayout(h.ColorType, h.BitDepth) || h.Compression != 0 || h.Interlacing > 1 ||
          !(h.Filter == 0 || (isMNG && h.Filter == 64)))
        RaiseInvalidChunk(id);
      f->FrameWidth = int32_t(h.Width);
      f->FrameHeight = int32_t(h.Height);
      f->IsJpegFrame = false;
    } else if (id == fcTLId) {
      if (!frame) RaiseInvalidChunk(id);
      TfcTL fc{};
      std::memcpy(&fc, dataPtr, std::min<size_t>(length, sizeof(TfcTL)));
      fc.SeqNumber = SwapEndian32(fc.SeqNumber);
      fc.Width = SwapEndian32(fc.Width);
      fc.Height = SwapEndian32(fc.Height);
      fc.XOffset = SwapEndian32(fc.XOffset);
      fc.YOffset = SwapEndian32(fc.YOffset);
      fc.DelayNumer = SwapEndian16(fc.DelayNumer);
      fc.DelayDenom = SwapEndian16(fc.DelayDenom);
      const TIHDR& canvas = Frames.front()->IHDR;
      // The default image is the first frame of the animation when no image
      // data came before its fcTL: then the frame covers the whole canvas.
      const bool isDefault = Frames.size() == 1 && frame->DataSize == 0;
      bool valid = fc.SeqNumber == FNextSequence && fc.Width != 0 && fc.Height != 0 &&
                   uint64_t(fc.XOffset) + fc.Width <= canvas.Width &&
                   uint64_t(fc.YOffset) + fc.Height <= canvas.Height && fc.DisposeOp <= 2 && fc.BlendOp <= 1 &&
                   // the previous animation frame must have had its data
                   !(frame->HasfcTL && frame->DataSize == 0);
      if (valid && isDefault)
        valid = fc.XOffset == 0 && fc.YOffset == 0 && fc.Width == canvas.Width && fc.Height == canvas.Height;
      if (!valid) {
        DropAnimation();
      } else {
        TFrameInfo* f = frame;
        if (!isDefault) {
          if (FirstImageOnly && Frames.size() >= FramesForFirstImage()) {
            EndAnimationFrame(frame);
            FStopped = true;
            break;
          }
          if (frame == Frames[0].get()) FDefaultImageEnded = true;
          EndAnimationFrame(frame);
          if (!FAnimationDamaged) {
            CheckComposition(int64_t(FfcTLCount) + 1);
            // The raw frames together are held to the same bound.
            const TIHDR& h = Frames[0]->IHDR;
            FRawBytes += int64_t(fc.Width) * fc.Height * BytesPerPixelOf(FormatForLayout(h.ColorType, h.BitDepth));
            if (FRawBytes > MaxComposedBytes)
              RaiseImagingError("Animation of %d frames is too large to load.", int64_t(Frames.size()) + 1);
            f = AddFrameInfo();
            f->AssignSharedProps(*Frames.front());
          }
        }
        if (!FAnimationDamaged) {
          ++FNextSequence;
          ++FfcTLCount;
          f->fcTL = fc;
          f->HasfcTL = true;
          f->FrameWidth = int32_t(fc.Width);
          f->FrameHeight = int32_t(fc.Height);
          f->IsJpegFrame = false;
        }
      }
    } else if (id == JHDRId) {
      if (FileType != ngJNG && !isMNG) RaiseInvalidChunk(id);
      if (FileType == ngJNG && !Frames.empty()) RaiseInvalidChunk(id);
      if (FirstImageOnly && !Frames.empty()) {
        FStopped = true;
        break;
      }
      TFrameInfo* f = AddFrameInfo();
      std::memcpy(&f->JHDR, dataPtr, std::min<size_t>(length, sizeof(TJHDR)));
      f->JHDR.Width = SwapEndian32(f->JHDR.Width);
      f->JHDR.Height = SwapEndian32(f->JHDR.Height);
      if (f->JHDR.Width == 0 || f->JHDR.Height == 0 || f->JHDR.Width > 0x7FFFFFFFu ||
          f->JHDR.Height > 0x7FFFFFFFu)
        RaiseInvalidChunk(id);
      f->FrameWidth = int32_t(f->JHDR.Width);
      f->FrameHeight = int32_t(f->JHDR.Height);
      f->IsJpegFrame = true;
    } else if (id == IDATId) {
      frame->LastDataChunkStart = int64_t(target->Data().size()) - length;
      frame->DataSize += length;
      FSawIDAT = true;
    } else if (id == fdATId) {
      // fdAT: sequence number, then data continuing the frame's stream.
      std::vector<uint8_t>& d = target->Data();
      size_t at = d.size() - length;
      if (ReadBE32(d.data() + at) != FNextSequence) {
        d.resize(at);
        DropAnimation();
      } else {
        ++FNextSequence;
        d.erase(d.begin() + ptrdiff_t(at), d.begin() + ptrdiff_t(at) + 4);
        frame->LastDataChunkStart = int64_t(at);
        frame->DataSize += length - 4;
      }
    } else if (id == JDATId || id == JDAAId) {
      // collected for the JPEG frame decoder
    } else if (id == PLTEId || id == tRNSId) {
      const bool isPLTE = id == PLTEId;
      // In a PNG file a transparency chunk has the one size its colour type
      // allows (an MNG may leave it empty to take the global one).
      if (!isPLTE && frame && !isMNG && !frame->IsJpegFrame) {
        const int ct = frame->IHDR.ColorType;
        bool sizeOk = ct == 0 ? length == 2 : ct == 2 ? length == 6 : ct == 3 ? (length >= 1 && length <= 256) : false;
        if (!sizeOk) RaiseInvalidChunk(id);
      }
      if (!frame) {
        if (!isMNG) RaiseInvalidChunk(id);
        if (isPLTE) {
          GlobalPalette.assign(dataPtr, dataPtr + length);
          GlobalPaletteEntries = int32_t(length / 3);
        } else {
          GlobalTransparency.assign(dataPtr, dataPtr + length);
          GlobalTransparencySize = int32_t(length);
        }
      } else {
        std::vector<uint8_t>& block = isPLTE ? frame->Palette : frame->Transparency;
        int32_t& count = isPLTE ? frame->PaletteEntries : frame->TransparencySize;
        const std::vector<uint8_t>& global = isPLTE ? GlobalPalette : GlobalTransparency;
        if (block.empty()) {
          if (length > 0 || global.empty()) {
            block.assign(dataPtr, dataPtr + length);
            count = int32_t(isPLTE ? length / 3 : length);
          } else {
            block = global;
            count = isPLTE ? GlobalPaletteEntries : GlobalTransparencySize;
          }
        }
      }
    } else if (id == bKGDId) {
      if (!frame) RaiseInvalidChunk(id);
      if (!isMNG && !frame->IsJpegFrame) {
        const int ct = frame->IHDR.ColorType;
        if (length != uint32_t(ct == 3 ? 1 : (ct == 0 || ct == 4) ? 2 : 6)) RaiseInvalidChunk(id);
      }
      if (frame->Background.empty()) {
        frame->Background.assign(dataPtr, dataPtr + length);
        frame->BackgroundSize = int32_t(length);
      }
    } else if (id == acTLId) {
      if (Frames.empty()) RaiseInvalidChunk(id);
      TacTL a{};
      std::memcpy(&a, dataPtr, std::min<size_t>(length, sizeof(TacTL)));
      a.NumFrames = SwapEndian32(a.NumFrames);
      a.NumPlay = SwapEndian32(a.NumPlay);
      // One acTL, before the image data, announcing at least one frame.
      if (FSawacTL || FSawIDAT || a.NumFrames == 0 || a.NumFrames > 0x7FFFFFFFu) {
        DropAnimation();
      } else {
        acTL = a;
        FileType = ngAPNG;
        FSawacTL = true;
      }
    }

    if (id == MENDId) break;
    if (id == IENDId && !isMNG) break;
    if (IO.Eof(Handle)) break;
  }
  EndAnimationFrame(GetLastFrame());
}

void TNGFileLoader::CheckAnimation() {
  if (FAnimationDamaged) return;
  if (FfcTLCount > 0 && !FSawacTL) return DropAnimation();
  if (!FSawacTL) return;
  TFrameInfo* last = GetLastFrame();
  if (uint32_t(FfcTLCount) != acTL.NumFrames || (last && last->HasfcTL && last->DataSize == 0)) DropAnimation();
}

// ---------------------------------------------------------------------------
// TNGFileLoader: decoding a PNG frame
// ---------------------------------------------------------------------------

struct TPNGFrameDecoder::TState {
  ~TState() {
    if (ZlibReady) inflateEnd(&Zs);
    FreeMem(Bits);
  }

  // Sets up the first row of pass First or a later one that has pixels;
  // with none left the frame's rows are complete.
  void StartPass(int First) {
    for (Pass = First; Pass < (Interlaced ? 7 : 1); ++Pass) {
      StartCol = Interlaced ? Adam7StartCol[Pass] : 0;
      ColStep = Interlaced ? Adam7ColStep[Pass] : 1;
      RowStep = Interlaced ? Adam7RowStep[Pass] : 1;
      Y = Interlaced ? Adam7StartRow[Pass] : 0;
      if (StartCol >= Width || Y >= Height) continue;
      PassWidth = (Width - StartCol + ColStep - 1) / ColStep;
      PassRow = size_t((PassWidth * Bpp + 7) / 8);
      RawSize = PassRow + 1;
      Rows[0].assign(PassRow, 0);
      Rows[1].assign(PassRow, 0);
      Which = 0;
      return;
    }
    RowsDone = true;
  }

  // Unfilters the complete row in Raw and puts its pixels in the image.
  void ProcessRow() {
    const int type = Raw[0];
    uint8_t* src = Raw.data() + 1;
    uint8_t* dstRow = Bits + size_t(Y) * OutRow;
    if (!Interlaced && Depth >= 8) {
      // Straight into the image; the row above is the prediction. A row of
      // an unknown filter type is zero.
      if (type == 0) {
        ReorderSamples(Order, dstRow, src, PassRow);
      } else if (type > 4) {
        std::memset(dstRow, 0, PassRow);
      } else {
        ReorderSamples(Order, src, PassRow);
        const uint8_t* prev = Y == 0 ? Rows[0].data() : dstRow - OutRow;
        UnfilterRow(type, dstRow, src, prev, PassRow, B);
      }
    } else {
      uint8_t* cur = Rows[Which].data();
      const uint8_t* prev = Rows[Which ^ 1].data();
      Which ^= 1;
      if (Depth >= 8) ReorderSamples(Order, src, PassRow);
      if (type > 4)
        std::memset(cur, 0, PassRow);
      else
        UnfilterRow(type, cur, src, prev, PassRow, B);
      if (!Interlaced) {
        ExpandPackedRow(cur, dstRow, size_t(Width), Depth, Scale);
      } else if (Depth >= 8) {
        for (int64_t i = 0; i < PassWidth; ++i)
          std::memcpy(dstRow + size_t((StartCol + i * ColStep) * BytesPerPixel), cur + size_t(i) * B, B);
      } else {
        const uint8_t mask = uint8_t((1 << Depth) - 1);
        for (int64_t i = 0; i < PassWidth; ++i) {
          int64_t bit = i * Depth;
          int shift = 8 - Depth - int(bit & 7);
          dstRow[StartCol + i * ColStep] = uint8_t(((cur[bit >> 3] >> shift) & mask) * Scale);
        }
      }
    }
    Y += RowStep;
    if (Y >= Height) StartPass(Pass + 1);
  }

  z_stream Zs;
  bool ZlibReady = false;
  // zlib leaves the checksum to us: the Adler-32 of everything inflated and
  // the last four bytes taken from the input (the stored one at the end).
  uint32_t Adler = 1;
  uint32_t LastInput = 0;
  int64_t Width = 0, Height = 0;
  TIHDR IHDR{};
  int Depth = 0, ColorType = 0, Bpp = 0;
  size_t B = 0;  // distance of the filters: bytes per pixel, at least 1
  int64_t BytesPerPixel = 0;
  TImageFormat Format = fmtNone;
  TSampleOrder Order{};
  uint8_t Scale = 1;
  bool Interlaced = false;
  size_t OutRow = 0;
  int64_t ImageSize = 0;
  uint8_t* Bits = nullptr;

  // The row being inflated: pass geometry, the raw row (filter byte first)
  // and how much of it has arrived, unfiltered rows of the pass.
  int Pass = 0;
  int64_t StartCol = 0, ColStep = 1, RowStep = 1, Y = 0, PassWidth = 0;
  size_t PassRow = 0, RawSize = 0, Fill = 0;
  std::vector<uint8_t> Raw;
  std::vector<uint8_t> Rows[2];
  int Which = 0;
  bool RowsDone = false;
  bool Ended = false;     // the zlib stream ended
  bool Overflow = false;  // it went on past the frame's rows
};

TPNGFrameDecoder::TPNGFrameDecoder(int32_t FrameWidth, int32_t FrameHeight, const TIHDR& IHDR, int64_t InputBound)
    : FState(new TState()) {
  TState& s = *FState;
  s.Depth = IHDR.BitDepth;
  s.ColorType = IHDR.ColorType;
  if (FrameWidth <= 0 || FrameHeight <= 0 || !IsValidLayout(s.ColorType, s.Depth)) RaiseInvalidChunk(IHDRId);
  s.IHDR = IHDR;
  s.Width = FrameWidth;
  s.Height = FrameHeight;
  s.Format = FormatForLayout(s.ColorType, s.Depth);
  s.BytesPerPixel = BytesPerPixelOf(s.Format);
  s.ImageSize = s.Width * s.Height * s.BytesPerPixel;
  if (s.ImageSize > MaxImageSize) RaiseInvalidChunk(IHDRId);
  s.Bpp = s.Depth * ChannelCount(s.ColorType);
  s.B = size_t((s.Bpp + 7) / 8);
  s.Interlaced = IHDR.Interlacing == 1;
  s.Order = SampleOrderFor(s.ColorType, s.Depth, false);
  s.Scale = s.ColorType == 0 ? GrayScale(s.Depth) : 1;
  s.OutRow = size_t(s.Width * s.BytesPerPixel);
  const int64_t rowBytes = (s.Width * s.Bpp + 7) / 8;

  // Size of the inflated data the frame needs.
  int64_t needed = 0;
  if (!s.Interlaced) {
    needed = s.Height * (rowBytes + 1);
  } else {
    for (int pass = 0; pass < 7; ++pass) {
      if (Adam7StartCol[pass] >= s.Width || Adam7StartRow[pass] >= s.Height) continue;
      int64_t pw = (s.Width - Adam7StartCol[pass] + Adam7ColStep[pass] - 1) / Adam7ColStep[pass];
      int64_t rows = (s.Height - Adam7StartRow[pass] + Adam7RowStep[pass] - 1) / Adam7RowStep[pass];
      needed += rows * ((pw * s.Bpp + 7) / 8 + 1);
    }
  }
  const int64_t bound = std::clamp<int64_t>(InputBound, 0, int64_t(1) << 40);
  if (needed > SmallFrameBytes && needed > bound * MaxDeflateRatio + 65536) RaiseChunkDataError(IDATId);
  CheckPixelLimit(s.Width, s.Height);

  std::memset(&s.Zs, 0, sizeof(s.Zs));
  int ret = inflateInit(&s.Zs);
  if (ret != Z_OK) RaiseZlibError(ret, false);
  s.ZlibReady = true;
  ret = inflateValidate(&s.Zs, 0);
  if (ret != Z_OK) RaiseZlibError(ret, false);
  // Interlaced frames are zero-filled, so that pixels of passes that never
  // arrive stay zero; the rows of sequential frames are written whole as
  // they arrive, and those missing are cleared at the end.
  s.Bits = static_cast<uint8_t*>(s.Interlaced ? AllocMem(s.ImageSize) : AllocMemUncleared(s.ImageSize));
  s.Raw.assign(size_t(rowBytes) + 1, 0);
  s.StartPass(0);
}

TPNGFrameDecoder::~TPNGFrameDecoder() = default;

void TPNGFrameDecoder::Feed(const uint8_t* Data, size_t Size, bool ChunkStart) {
  TState& s = *FState;
  if (Size == 0) return;
  // A whole chunk of image data after the end of the stream is damage;
  // more image data than the frame needs are ignored.
  if (ChunkStart && s.Ended) RaiseInvalidChunk(IDATId);
  uint8_t scratch[256];
  while (Size > 0 && !s.Ended && !s.Overflow) {
    uInt part = uInt(std::min<size_t>(Size, 1u << 30));
    s.Zs.next_in = const_cast<Bytef*>(Data);
    s.Zs.avail_in = part;
    while (s.Zs.avail_in > 0 && !s.Ended && !s.Overflow) {
      uInt room;
      if (!s.RowsDone) {
        s.Zs.next_out = s.Raw.data() + s.Fill;
        room = uInt(s.RawSize - s.Fill);
      } else {
        // Past the frame's rows: a little more to find the stream's end.
        s.Zs.next_out = scratch;
        room = sizeof(scratch);
      }
      s.Zs.avail_out = room;
      const uInt available = s.Zs.avail_in;
      int ret = inflate(&s.Zs, Z_NO_FLUSH);
      const size_t produced = room - s.Zs.avail_out;
      if (ret != Z_OK && ret != Z_STREAM_END) RaiseZlibError(ret, false);
      // The checksum zlib would compare at the end, with zlib's error.
      const uInt consumed = available - s.Zs.avail_in;
      const uint8_t* in = s.Zs.next_in - consumed;
      for (uInt k = consumed > 4 ? consumed - 4 : 0; k < consumed; ++k) s.LastInput = (s.LastInput << 8) | in[k];
      s.Adler = Adler32Update(s.Adler, s.Zs.next_out - produced, produced);
      if (ret == Z_STREAM_END && s.LastInput != s.Adler) RaiseZlibError(Z_DATA_ERROR, false);
      if (!s.RowsDone) {
        s.Fill += produced;
        if (s.Fill == s.RawSize) {
          s.ProcessRow();
          s.Fill = 0;
        }
        if (ret == Z_STREAM_END) s.Ended = true;
      } else if (produced > 0) {
        s.Overflow = true;
      } else if (ret == Z_STREAM_END) {
        s.Ended = true;
      }
    }
    Data += part - s.Zs.avail_in;
    Size -= part - s.Zs.avail_in;
    if (s.Zs.avail_in > 0) break;  // ended or overflowed: the rest is ignored
  }
}

void TPNGFrameDecoder::Finish(TImageData& Image) {
  TState& s = *FState;
  if (!s.RowsDone) {
    // A stream cut short is zlib's buffer error; rows missing from a stream
    // that ended early are zero (a partly inflated row is completed with
    // zeros first).
    if (!s.Ended) RaiseZlibError(Z_BUF_ERROR, false);
    if (s.Fill > 0) {
      std::memset(s.Raw.data() + s.Fill, 0, s.RawSize - s.Fill);
      s.ProcessRow();
      s.Fill = 0;
    }
    if (!s.Interlaced && !s.RowsDone)
      std::memset(s.Bits + size_t(s.Y) * s.OutRow, 0, size_t(s.Height - s.Y) * s.OutRow);
  }

  // MNG intrapixel differencing: red and blue were stored less green.
  if (s.IHDR.Filter == 64 && (s.ColorType == 2 || s.ColorType == 6)) {
    const int64_t pixels = s.Width * s.Height;
    if (s.Depth == 8) {
      for (int64_t p = 0; p < pixels; ++p) {
        uint8_t* px = s.Bits + p * s.BytesPerPixel;
        px[0] = uint8_t(px[0] + px[1]);
        px[2] = uint8_t(px[2] + px[1]);
      }
    } else {
      for (int64_t p = 0; p < pixels; ++p) {
        uint16_t w[3];
        std::memcpy(w, s.Bits + p * s.BytesPerPixel, 6);
        w[0] = uint16_t(w[0] + w[1]);
        w[2] = uint16_t(w[2] + w[1]);
        std::memcpy(s.Bits + p * s.BytesPerPixel, w, 6);
      }
    }
  }
  ResetImage(Image);
  Image.Width = int32_t(s.Width);
  Image.Height = int32_t(s.Height);
  Image.Format = s.Format;
  Image.Size = int32_t(s.ImageSize);
  Image.Bits = s.Bits;
  s.Bits = nullptr;
}

void TNGFileLoader::LoadImageFromPNGFrame(int32_t FrameWidth, int32_t FrameHeight, const TIHDR& IHDR,
                                          TMemoryStream& IDATStream, TImageData& Image,
                                          int64_t LastChunkStart) {
  ResetImage(Image);
  const std::vector<uint8_t>& input = IDATStream.Data();
  TPNGFrameDecoder decoder(FrameWidth, FrameHeight, IHDR, int64_t(input.size()));
  const size_t split =
      LastChunkStart >= 0 && LastChunkStart < int64_t(input.size()) ? size_t(LastChunkStart) : input.size();
  decoder.Feed(input.data(), split, true);
  decoder.Feed(input.data() + split, input.size() - split, true);
  decoder.Finish(Image);
}

void TNGFileLoader::EndFrameDecoding(TFrameInfo* Frame) {
  if (!Frame || !Frame->Decoder) return;
  Frame->Decoder->Finish(Frame->Image);
  Frame->Decoder.reset();
}

// ---------------------------------------------------------------------------
// TNGFileLoader: palette, transparency and background
// ---------------------------------------------------------------------------

namespace {

// Reads up to 8 bytes of a tRNS or bKGD payload as the words of a colour
// (blue, green, red for RGB frames). False when the colour cannot occur in
// the image (a sample beyond the bit depth).
bool ReadColorWords(const std::vector<uint8_t>& Block, bool IsRGB, bool ScaleGray, int BitDepth, uint16_t W[4]) {
  W[0] = W[1] = W[2] = W[3] = 0;
  std::memcpy(W, Block.data(), std::min<size_t>(Block.size(), 8));
  if (IsRGB) std::swap(W[0], W[2]);
  for (int i = 0; i < 3; ++i) W[i] = SwapEndian16(W[i]);
  bool fits = true;
  if (BitDepth > 0 && BitDepth < 16)
    for (int i = 0; i < (IsRGB ? 3 : 1); ++i)
      if (W[i] >= (1u << BitDepth)) fits = false;
  if (ScaleGray) W[0] = uint16_t(W[0] * GrayScale(BitDepth));
  return fits;
}

}  // namespace

void TNGFileLoader::ApplyFrameSettings(TFrameInfo& Frame, TImageData& Image) {
  if (!IsValidImage(Image)) return;
  TImageFormatInfo info;
  if (!QueryFormatInfo(Image.Format, info)) return;
  const bool isRGB = Frame.IsJpegFrame ? (Frame.JHDR.ColorType == 10 || Frame.JHDR.ColorType == 14)
                                       : (Frame.IHDR.ColorType == 2 || Frame.IHDR.ColorType == 6);
  const bool isPNGGray = !Frame.IsJpegFrame && (Frame.IHDR.ColorType == 0 || Frame.IHDR.ColorType == 4);
  const int depth = Frame.IsJpegFrame ? 8 : Frame.IHDR.BitDepth;
  const bool scaleGray = isPNGGray && depth < 8;

  bool colorKey = false, keyFits = true;
  uint16_t key[4] = {0, 0, 0, 0}, back[4] = {0, 0, 0, 0};
  std::vector<uint8_t> alphaTable;
  if (Frame.TransparencySize > 0) {
    if (info.IsIndexed) {
      alphaTable = Frame.Transparency;
    } else if (!info.HasAlphaChannel) {
      keyFits = ReadColorWords(Frame.Transparency, isRGB, scaleGray, depth, key);
      colorKey = true;
    }
  }
  bool haveBack = false;
  if (Frame.BackgroundSize > 0) {
    ReadColorWords(Frame.Background, isRGB, scaleGray, depth, back);
    haveBack = true;
  }

  if (info.IsIndexed) {
    const int32_t entries = std::min<int32_t>(Frame.PaletteEntries, 256);
    // Every index must name an entry of the palette the file gave.
    if (entries > 0 && !Frame.IsJpegFrame && Frame.IHDR.ColorType == 3 && entries < (1 << Frame.IHDR.BitDepth)) {
      const uint8_t* px = static_cast<const uint8_t*>(Image.Bits);
      uint8_t highest = 0;
      for (int32_t i = 0; i < Image.Size; ++i) highest = std::max(highest, px[i]);
      if (highest >= entries)
        RaiseImagingError("Palette index %d is out of range of the palette (%d entries). File may be corrupted.",
                          int(highest), entries);
    }
    auto* palette = static_cast<TColor32Rec*>(AllocMem(256 * int64_t(sizeof(TColor32Rec))));
    std::memset(palette, 0xFF, 256 * sizeof(TColor32Rec));
    for (int32_t i = 0; i < entries; ++i) {
      palette[i].R = Frame.Palette[size_t(i) * 3];
      palette[i].G = Frame.Palette[size_t(i) * 3 + 1];
      palette[i].B = Frame.Palette[size_t(i) * 3 + 2];
    }
    const size_t alphas = std::min<size_t>(alphaTable.size(), 256);
    for (size_t i = 0; i < alphas; ++i) palette[i].A = alphaTable[i];
    if (Image.Palette) FreeMem(Image.Palette);
    Image.Palette = palette;
  }

  if (colorKey && keyFits) {
    TImageFormat target = fmtNone;
    switch (Image.Format) {
      case fmtGray8: target = fmtA8Gray8; break;
      case fmtGray16: target = fmtA16Gray16; break;
      case fmtR8G8B8: target = fmtA8R8G8B8; break;
      case fmtR16G16B16: target = fmtA16R16G16B16; break;
      default: break;
    }
    if (target == fmtNone) return;
    if (!ChangeImageFormat(Image, target)) return;
    if (!haveBack) std::memcpy(back, key, sizeof(key));
    uint8_t keyPixel[8], newPixel[8];
    auto build = [&](const uint16_t W[4], bool Opaque, uint8_t* Out) -> size_t {
      switch (target) {
        case fmtA8Gray8:
          Out[0] = uint8_t(W[0]);
          Out[1] = Opaque ? 255 : 0;
          return 2;
        case fmtA16Gray16: {
          uint16_t v[2] = {W[0], uint16_t(Opaque ? 65535 : 0)};
          std::memcpy(Out, v, 4);
          return 4;
        }
        case fmtA8R8G8B8:
          Out[0] = uint8_t(W[0]);
          Out[1] = uint8_t(W[1]);
          Out[2] = uint8_t(W[2]);
          Out[3] = Opaque ? 255 : 0;
          return 4;
        default: {
          uint16_t v[4] = {W[0], W[1], W[2], uint16_t(Opaque ? 65535 : 0)};
          std::memcpy(Out, v, 8);
          return 8;
        }
      }
    };
    build(key, true, keyPixel);
    build(back, false, newPixel);
    ReplaceImageColor(Image, 0, 0, Image.Width, Image.Height, keyPixel, newPixel);
  }
}

// ---------------------------------------------------------------------------
// TNGFileSaver
// ---------------------------------------------------------------------------

void TNGFileSaver::SetFileOptions(const TNetworkGraphicsFileFormat& FileFormat) {
  PreFilter = FileFormat.PreFilter();
  CompressLevel = FileFormat.CompressLevel();
  LossyAlpha = FileFormat.LossyAlpha();
  Quality = FileFormat.Quality();
  Progressive = FileFormat.Progressive();
}

namespace {

// Filters the rows of Bits (IHDR in native order) and deflates them; Out
// receives the zlib stream in blocks as it is produced.
void EncodeFrameRows(const TIHDR& IHDR, const void* Bits, const TImageFormatInfo& FmtInfo, int PreFilter,
                     int Level, const TStreamDeflater::TOutput& Out) {
  const size_t B = size_t(FmtInfo.BytesPerPixel);
  const size_t rowBytes = size_t(IHDR.Width) * B;
  const size_t height = IHDR.Height;
  const int colorType = IHDR.ColorType;
  const int depth = IHDR.BitDepth;

  int fixed = -1;  // one filter for every row, or -1 for the adaptive choice
  if (PreFilter >= 0 && PreFilter <= 4)
    fixed = PreFilter;
  else if (PreFilter == 5)
    fixed = (colorType == 2 || colorType == 6) ? 4 : 0;
  else
    fixed = (depth >= 8 && colorType != 3) ? -1 : 0;

  const bool fileOrder = FmtInfo.Format == fmtB16G16R16 || FmtInfo.Format == fmtA16B16G16R16;
  const TSampleOrder order = SampleOrderFor(colorType, depth, fileOrder);

  TStreamDeflater deflater(std::clamp(Level, 0, 9), Out);
  std::vector<uint8_t> filtered(rowBytes + 1);
  std::vector<uint8_t> zeroRow(rowBytes, 0);
  std::vector<uint8_t> candidates[5];
  if (fixed < 0)
    for (auto& c : candidates) c.resize(rowBytes);
  const uint8_t* src = static_cast<const uint8_t*>(Bits);
  uint8_t* out = filtered.data();
  for (size_t y = 0; y < height; ++y) {
    const uint8_t* row = src + y * rowBytes;
    const uint8_t* prev = y == 0 ? zeroRow.data() : row - rowBytes;
    // The sample order changes on the way into the output row.
    int type = fixed;
    if (fixed == 0) {
      ReorderSamples(order, out + 1, row, rowBytes);
    } else if (fixed > 0) {
      FilterRow(fixed, out + 1, row, prev, rowBytes, B);
      ReorderSamples(order, out + 1, rowBytes);
    } else {
      uint64_t best = RowScore(row, rowBytes);
      type = 0;
      for (int t = 1; t <= 4; ++t) {
        FilterRow(t, candidates[t].data(), row, prev, rowBytes, B);
        uint64_t score = RowScore(candidates[t].data(), rowBytes);
        if (score < best) {
          best = score;
          type = t;
        }
      }
      ReorderSamples(order, out + 1, type == 0 ? row : candidates[type].data(), rowBytes);
    }
    out[0] = uint8_t(type);
    deflater.Write(out, rowBytes + 1);
  }
  deflater.Finish();
}

}  // namespace

void TNGFileSaver::StoreImageToPNGFrame(const TIHDR& IHDR, const void* Bits, const TImageFormatInfo& FmtInfo,
                                        TMemoryStream& IDATStream) {
  std::vector<uint8_t>& target = IDATStream.Data();
  EncodeFrameRows(IHDR, Bits, FmtInfo, PreFilter, CompressLevel,
                  [&](const uint8_t* P, size_t N) { target.insert(target.end(), P, P + N); });
}

TFrameInfo* TNGFileSaver::AddFrame(const TImageData& Image, bool IsJpegFrame) {
  TImageFormatInfo info;
  if (!QueryFormatInfo(Image.Format, info)) RaiseImagingError("Unsupported image format.");
  if (IsJpegFrame) {
    const TImageFormat f = Image.Format;
    if (f != fmtGray8 && f != fmtA8Gray8 && f != fmtR8G8B8 && f != fmtA8R8G8B8)
      RaiseImagingError("Unsupported image format.");
    TFrameInfo* frame = AddFrameInfo();
    frame->IsJpegFrame = true;
    frame->FrameWidth = Image.Width;
    frame->FrameHeight = Image.Height;
    TJHDR& j = frame->JHDR;
    j.Width = uint32_t(Image.Width);
    j.Height = uint32_t(Image.Height);
    j.ColorType = f == fmtGray8 ? 8 : f == fmtA8Gray8 ? 12 : f == fmtR8G8B8 ? 10 : 14;
    j.SampleDepth = 8;
    j.Compression = 8;
    j.Interlacing = Progressive ? 8 : 0;
    j.AlphaSampleDepth = info.HasAlphaChannel ? 8 : 0;
    j.AlphaCompression = LossyAlpha ? 8 : 0;
    j.AlphaFilter = 0;
    j.AlphaInterlacing = 0;
    StoreImageToJNGFrame(j, Image, *frame->IDATMemory, *frame->JDATMemory, *frame->JDAAMemory);
    j.Width = SwapEndian32(j.Width);
    j.Height = SwapEndian32(j.Height);
    if (FStreaming) {
      // Written at once; the coded data are not kept.
      WriteFrame(CurrentIOTable(), FHandle, Frames.size() - 1, nullptr, nullptr);
      frame->IDATMemory->Data() = {};
      frame->JDATMemory->Data() = {};
      frame->JDAAMemory->Data() = {};
    }
    return frame;
  }
  TFrameInfo* frame = AddFrameInfo();
  frame->IsJpegFrame = false;
  TIHDR& h = frame->IHDR;
  h.Width = uint32_t(Image.Width);
  h.Height = uint32_t(Image.Height);
  int depth = info.BytesPerPixel * 8;
  if (info.HasGrayChannel) {
    if (info.HasAlphaChannel) {
      h.ColorType = 4;
      depth /= 2;
    } else {
      h.ColorType = 0;
    }
  } else if (info.IsIndexed) {
    h.ColorType = 3;
    depth = 8;
  } else if (info.HasAlphaChannel) {
    h.ColorType = 6;
    depth /= 4;
  } else {
    h.ColorType = 2;
    depth /= 3;
  }
  h.BitDepth = uint8_t(depth);
  h.Compression = 0;
  h.Filter = 0;
  h.Interlacing = 0;
  if (!IsValidLayout(h.ColorType, h.BitDepth)) RaiseImagingError("Unsupported image format.");
  frame->FrameWidth = Image.Width;
  frame->FrameHeight = Image.Height;

  if (FileType == ngAPNG) {
    TfcTL& fc = frame->fcTL;
    fc.SeqNumber = 0;
    fc.Width = SwapEndian32(uint32_t(Image.Width));
    fc.Height = SwapEndian32(uint32_t(Image.Height));
    fc.XOffset = 0;
    fc.YOffset = 0;
    fc.DelayNumer = SwapEndian16(1);
    fc.DelayDenom = SwapEndian16(3);
    fc.DisposeOp = 0;
    fc.BlendOp = 0;
  }

  if (info.IsIndexed && Image.Palette) {
    const int32_t entries = info.PaletteEntries > 0 ? std::min(info.PaletteEntries, 256) : 256;
    frame->Palette.resize(size_t(entries) * 3);
    frame->PaletteEntries = entries;
    bool translucent = false;
    for (int32_t i = 0; i < entries; ++i) {
      frame->Palette[size_t(i) * 3] = Image.Palette[i].R;
      frame->Palette[size_t(i) * 3 + 1] = Image.Palette[i].G;
      frame->Palette[size_t(i) * 3 + 2] = Image.Palette[i].B;
      if (Image.Palette[i].A != 255) translucent = true;
    }
    if (translucent) {
      frame->Transparency.resize(size_t(entries));
      for (int32_t i = 0; i < entries; ++i) frame->Transparency[size_t(i)] = Image.Palette[i].A;
      frame->TransparencySize = entries;
    }
  }
  if (FStreaming) {
    h.Width = SwapEndian32(h.Width);
    h.Height = SwapEndian32(h.Height);
    WriteFrame(CurrentIOTable(), FHandle, Frames.size() - 1, &Image, &info);
  } else {
    StoreImageToPNGFrame(h, Image.Bits, info, *frame->IDATMemory);
    h.Width = SwapEndian32(h.Width);
    h.Height = SwapEndian32(h.Height);
  }
  return frame;
}

namespace {

// Writes N bytes of chunk Id; a write the table does not take whole fails
// the save.
void PutBytes(const TIOFunctions& IO, THandle Handle, TChunkId Id, const void* P, size_t N) {
  const uint8_t* p = static_cast<const uint8_t*>(P);
  while (N > 0) {
    int32_t part = int32_t(std::min<size_t>(N, 1u << 30));
    if (IO.Write(Handle, p, part) != part) RaiseImagingError("Error when writing %s chunk.", IdText(Id));
    p += part;
    N -= size_t(part);
  }
}

// One chunk written as its data come, each piece summed into the CRC while
// it is in the cache. When the length is not known at the start it is
// written as 0 and put in place once the chunk is complete, so that a
// frame's whole zlib stream goes into a single chunk without being held in
// memory.
class TChunkWriter {
public:
  static constexpr int64_t UnknownLength = -1;
  // Extra (the fdAT sequence number) precedes the data inside the chunk and
  // counts in Length.
  TChunkWriter(const TIOFunctions& IO, THandle Handle, TChunkId Id, int64_t Length, const uint8_t* Extra = nullptr,
               size_t ExtraSize = 0)
      : FIO(IO), FHandle(Handle), FId(Id), FLengthKnown(Length != UnknownLength) {
    if (Length >= 0x80000000LL) RaiseTooLarge();
    if (!FLengthKnown) FStart = IO.Tell(Handle);
    uint8_t header[8];
    WriteBE32(header, FLengthKnown ? uint32_t(Length) : 0);
    WriteBE32(header + 4, Id);
    FCrc = crc32(0L, header + 4, 4);
    PutBytes(FIO, FHandle, FId, header, 8);
    if (ExtraSize > 0) Write(Extra, ExtraSize);
  }

  void Write(const void* Data, size_t Size) {
    const uint8_t* p = static_cast<const uint8_t*>(Data);
    FSize += Size;
    if (FSize >= 0x80000000u) RaiseTooLarge();
    for (size_t n = Size; n > 0;) {
      size_t part = std::min<size_t>(n, 1u << 16);
      PutBytes(FIO, FHandle, FId, p, part);
      FCrc = crc32(FCrc, p, uInt(part));
      p += part;
      n -= part;
    }
  }

  // The CRC, then the length in its place when it was not known.
  void Close() {
    uint8_t bytes[4];
    WriteBE32(bytes, uint32_t(FCrc));
    PutBytes(FIO, FHandle, FId, bytes, 4);
    if (FLengthKnown || FSize == 0) return;
    const int32_t end = FIO.Tell(FHandle);
    WriteBE32(bytes, uint32_t(FSize));
    if (FStart < 0 || end < 0 || FIO.Seek(FHandle, FStart, smFromBeginning) != FStart)
      RaiseImagingError("Error when writing %s chunk.", IdText(FId));
    PutBytes(FIO, FHandle, FId, bytes, 4);
    if (FIO.Seek(FHandle, end, smFromBeginning) != end) RaiseImagingError("Error when writing %s chunk.", IdText(FId));
  }

private:
  [[noreturn]] void RaiseTooLarge() { RaiseImagingError("Chunk %s is too large to be written.", IdText(FId)); }

  const TIOFunctions& FIO;
  THandle FHandle;
  TChunkId FId;
  bool FLengthKnown;
  int32_t FStart = -1;
  size_t FSize = 0;
  uLong FCrc = 0;
};

// Writes one chunk: length, id, data, CRC over id and data. Extra (the fdAT
// sequence number) precedes Data inside the chunk.
void WriteChunk(const TIOFunctions& IO, THandle Handle, TChunkId Id, const void* Data, size_t Size,
                const uint8_t* Extra = nullptr, size_t ExtraSize = 0) {
  TChunkWriter chunk(IO, Handle, Id, int64_t(Size + ExtraSize), Extra, ExtraSize);
  chunk.Write(Data, Size);
  chunk.Close();
}

}  // namespace

void TNGFileSaver::WriteSignature(const TIOFunctions& IO, THandle Handle) {
  const uint8_t* sig = (FileType == ngPNG || FileType == ngAPNG) ? PNGSignature
                       : FileType == ngMNG                       ? MNGSignature
                                                                 : JNGSignature;
  if (IO.Write(Handle, sig, 8) != 8) RaiseImagingError("Error when writing the file signature.");
  if (FileType == ngMNG) {
    TMHDR m = MHDR;
    uint32_t* fields = reinterpret_cast<uint32_t*>(&m);
    for (int i = 0; i < 7; ++i) fields[i] = SwapEndian32(fields[i]);
    WriteChunk(IO, Handle, MHDRId, &m, sizeof(m));
  }
}

void TNGFileSaver::WriteFrame(const TIOFunctions& IO, THandle Handle, size_t Index, const TImageData* Image,
                              const TImageFormatInfo* Info) {
  TFrameInfo& f = *Frames[Index];
  const std::vector<uint8_t>& idat = f.IDATMemory->Data();
  if (f.IsJpegFrame) {
    WriteChunk(IO, Handle, JHDRId, &f.JHDR, sizeof(TJHDR));
    WriteChunk(IO, Handle, JDATId, f.JDATMemory->Data().data(), f.JDATMemory->Data().size());
    if (f.JHDR.AlphaSampleDepth != 0) {
      if (f.JHDR.AlphaCompression != 0)
        WriteChunk(IO, Handle, JDAAId, f.JDAAMemory->Data().data(), f.JDAAMemory->Data().size());
      else
        WriteChunk(IO, Handle, IDATId, idat.data(), idat.size());
    }
    WriteChunk(IO, Handle, IENDId, nullptr, 0);
    return;
  }
  const bool first = Index == 0;
  if (FileType != ngAPNG || first) {
    WriteChunk(IO, Handle, IHDRId, &f.IHDR, sizeof(TIHDR));
    if (f.PaletteEntries > 0) WriteChunk(IO, Handle, PLTEId, f.Palette.data(), size_t(f.PaletteEntries) * 3);
    if (f.TransparencySize > 0) WriteChunk(IO, Handle, tRNSId, f.Transparency.data(), size_t(f.TransparencySize));
  }
  if (FileType == ngAPNG) {
    if (first) {
      TacTL a = acTL;
      a.NumFrames = SwapEndian32(a.NumFrames);
      a.NumPlay = SwapEndian32(a.NumPlay);
      WriteChunk(IO, Handle, acTLId, &a, sizeof(a));
    }
    TfcTL fc = f.fcTL;
    fc.SeqNumber = SwapEndian32(FSequence++);
    WriteChunk(IO, Handle, fcTLId, &fc, sizeof(fc));
  }
  // The frame's whole zlib stream in one chunk: IDAT for the first frame,
  // for later animation frames fdAT with the next sequence number.
  const bool fdAT = FileType == ngAPNG && !first;
  uint8_t seq[4];
  if (fdAT) WriteBE32(seq, FSequence++);
  if (Image) {
    TIHDR h = f.IHDR;
    h.Width = SwapEndian32(h.Width);
    h.Height = SwapEndian32(h.Height);
    TChunkWriter chunk(IO, Handle, fdAT ? fdATId : IDATId, TChunkWriter::UnknownLength, fdAT ? seq : nullptr,
                       fdAT ? 4 : 0);
    EncodeFrameRows(h, Image->Bits, *Info, PreFilter, CompressLevel,
                    [&](const uint8_t* P, size_t N) { chunk.Write(P, N); });
    chunk.Close();
  } else if (fdAT) {
    WriteChunk(IO, Handle, fdATId, idat.data(), idat.size(), seq, 4);
  } else {
    WriteChunk(IO, Handle, IDATId, idat.data(), idat.size());
  }
  if (FileType != ngAPNG) WriteChunk(IO, Handle, IENDId, nullptr, 0);
}

void TNGFileSaver::BeginFile(THandle Handle) {
  FHandle = Handle;
  FStreaming = true;
  FSequence = 0;
  WriteSignature(CurrentIOTable(), Handle);
}

void TNGFileSaver::SaveFile(THandle Handle) {
  TIOFunctions io = CurrentIOTable();
  if (!FStreaming) {
    FSequence = 0;
    WriteSignature(io, Handle);
    for (size_t i = 0; i < Frames.size(); ++i) WriteFrame(io, Handle, i, nullptr, nullptr);
  }
  if (FileType == ngAPNG && !Frames.empty()) WriteChunk(io, Handle, IENDId, nullptr, 0);
  if (FileType == ngMNG) WriteChunk(io, Handle, MENDId, nullptr, 0);
  FStreaming = false;
  FHandle = nullptr;
}

// ---------------------------------------------------------------------------
// TNetworkGraphicsFileFormat
// ---------------------------------------------------------------------------

TNetworkGraphicsFileFormat::TNetworkGraphicsFileFormat() {
  FCanLoad = true;
  FCanSave = true;
  FIsMultiImageFormat = false;
}

TImageFormats TNetworkGraphicsFileFormat::GetSupportedFormats() const {
  if (FLossyCompression != 0) return TImageFormats{fmtGray8, fmtA8Gray8, fmtR8G8B8, fmtA8R8G8B8};
  return TImageFormats{fmtIndex8,    fmtGray8,        fmtA8Gray8,   fmtGray16,      fmtA16Gray16,   fmtR8G8B8,
                       fmtA8R8G8B8, fmtR16G16B16, fmtA16R16G16B16, fmtB16G16R16, fmtA16B16G16R16};
}

void TNetworkGraphicsFileFormat::ConvertToAccepted(TImageData& Image, const TImageFormatInfo& Info) {
  TImageFormat target;
  if (FLossyCompression != 0) {
    if (Info.HasGrayChannel)
      target = Info.HasAlphaChannel ? fmtA8Gray8 : fmtGray8;
    else
      target = Info.HasAlphaChannel ? fmtA8R8G8B8 : fmtR8G8B8;
  } else if (Info.HasGrayChannel) {
    if (Info.HasAlphaChannel)
      target = Info.BytesPerPixel > 2 ? fmtA16Gray16 : fmtA8Gray8;
    else
      target = fmtGray16;
  } else if (Info.IsFloatingPoint) {
    target = Info.HasAlphaChannel ? fmtA16B16G16R16 : fmtB16G16R16;
  } else {
    target = (Info.HasAlphaChannel || Info.IsSpecial) ? fmtA8R8G8B8 : fmtR8G8B8;
  }
  ChangeImageFormat(Image, target);
}

bool TNetworkGraphicsFileFormat::TestFormat(THandle Handle) {
  if (!Handle) return false;
  TIOFunctions io = CurrentIOTable();
  uint8_t sig[8];
  int32_t got = io.Read(Handle, sig, 8);
  if (got > 0) io.Seek(Handle, -got, smFromCurrent);
  return got == 8 && std::memcmp(sig, FSignature, 8) == 0;
}

void TNetworkGraphicsFileFormat::CheckOptionsValidity() {
  if (uint32_t(FPreFilter) > 6) FPreFilter = 5;
  if (uint32_t(FCompressLevel) > 9) FCompressLevel = 5;
  if (FQuality < 1 || FQuality > 100) FQuality = 90;
}

// ---------------------------------------------------------------------------
// TPNGFileFormat
// ---------------------------------------------------------------------------

TPNGFileFormat::TPNGFileFormat() {
  FName = "Portable Network Graphics";
  FIsMultiImageFormat = true;
  SetMaskList("*.png,*.apng");
  std::memcpy(FSignature, PNGSignature, 8);
  FSupportedFormats = GetSupportedFormats();
  RegisterOptionVariable(OptPngPreFilter, &FPreFilter);
  RegisterOptionVariable(OptPngCompressLevel, &FCompressLevel);
  RegisterOptionVariable(OptPngLoadAnimated, &FLoadAnimated);
}

bool TPNGFileFormat::ReadImages(THandle Handle, TDynImageDataArray& Images, bool OnlyFirstLevel) {
  TNGFileLoader loader;
  loader.DecodeWhileReading = true;
  loader.ComposeAnimation = FLoadAnimated != 0;
  // One image asked for: reading ends with the frames it is made of.
  loader.FirstImageOnly = OnlyFirstLevel;
  if (!loader.LoadFile(Handle) || loader.Frames.empty()) return false;
  Images.resize(loader.Frames.size());
  for (TImageData& image : Images) ResetImage(image);
  for (size_t i = 0; i < loader.Frames.size(); ++i) {
    TFrameInfo& frame = *loader.Frames[i];
    if (frame.IsJpegFrame) continue;
    if (frame.Image.Bits) {
      Images[i] = frame.Image;
      ResetImage(frame.Image);
    } else {
      // A frame without image data: decoding its empty stream gives the
      // zlib error.
      loader.LoadImageFromPNGFrame(frame.FrameWidth, frame.FrameHeight, frame.IHDR, *frame.IDATMemory, Images[i],
                                   frame.LastDataChunkStart);
    }
    loader.ApplyFrameSettings(frame, Images[i]);
  }
  // Animated files load as the full-canvas frames a viewer shows, or else
  // as stored (each frame only as large as its region).
  if (loader.FileType == ngAPNG && FLoadAnimated != 0) TAPNGAnimator::Animate(Images, loader.acTL, loader.Frames);
  if (OnlyFirstLevel && Images.size() > 1) {
    for (size_t i = 1; i < Images.size(); ++i) ReleaseImage(Images[i]);
    Images.resize(1);
  }
  return true;
}

bool TPNGFileFormat::WriteImages(THandle Handle, const TDynImageDataArray& Images, int32_t) {
  TNGFileSaver saver;
  const bool animated = Images.size() >= 2;
  int32_t canvasWidth = 0, canvasHeight = 0;
  if (animated) {
    saver.FileType = ngAPNG;
    saver.acTL.NumFrames = uint32_t(FLastIdx - FFirstIdx + 1);
    saver.acTL.NumPlay = 1;
    for (int32_t i = FFirstIdx; i <= FLastIdx; ++i) {
      canvasWidth = std::max(canvasWidth, Images[size_t(i)].Width);
      canvasHeight = std::max(canvasHeight, Images[size_t(i)].Height);
    }
  } else {
    saver.FileType = ngPNG;
  }
  saver.SetFileOptions(*this);
  // Every frame is written as soon as it is prepared.
  saver.BeginFile(Handle);

  TImageFormat animationFormat = fmtNone;
  const int32_t last = animated ? FLastIdx : FFirstIdx;
  for (int32_t i = FFirstIdx; i <= last; ++i) {
    TCompatibleImage compatible;
    if (!MakeCompatible(Images[size_t(i)], compatible)) return false;
    const TImageData& image = compatible.Image;
    // The frame actually written: the compatible image or a copy adapted to
    // the animation's canvas and pixel format.
    TCompatibleImage temp;
    bool ok = true;
    if (animated) {
      if (animationFormat == fmtNone) {
        animationFormat = image.Format;
        if (image.Width != canvasWidth || image.Height != canvasHeight) {
          ok = CreateImage(canvasWidth, canvasHeight, image.Format, temp.Image);
          temp.MustBeFreed = ok;
          if (ok && image.Palette && temp.Image.Palette)
            std::memcpy(temp.Image.Palette, image.Palette, 256 * sizeof(TColor32Rec));
          ok = ok && CopyImageRect(image, 0, 0, image.Width, image.Height, temp.Image, 0, 0);
        }
      } else if (image.Format != animationFormat) {
        ok = DuplicateImage(image, temp.Image);
        temp.MustBeFreed = ok;
        ok = ok && ChangeImageFormat(temp.Image, animationFormat);
      }
    }
    if (!ok) return false;
    saver.AddFrame(temp.MustBeFreed ? temp.Image : image, false);
  }
  saver.SaveFile(Handle);
  return true;
}

}  // namespace Imaging
