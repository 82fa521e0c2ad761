// Resampling: the sampling kernels, the contribution tables of a stretch, the
// filtered resampler with its 8-bit integer and floating-point paths, and the
// nearest-neighbour stretch in 16.16 fixed point.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "Imaging.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace Imaging {

namespace {

constexpr double Pi = 3.14159265358979323846;

double Sinc(double X) {
  if (X == 0.0) return 1.0;
  const double t = Pi * X;
  return std::sin(t) / t;
}

float BoxKernel(float X) { return (X > -0.5f && X <= 0.5f) ? 1.0f : 0.0f; }

float TriangleKernel(float X) {
  const double a = std::fabs(double(X));
  return a < 1.0 ? float(1.0 - a) : 0.0f;
}

float CosineKernel(float X) {
  const double a = std::fabs(double(X));
  return a < 1.0 ? float((std::cos(Pi * X) + 1.0) / 2.0) : 0.0f;
}

float HermiteKernel(float X) {
  const double a = std::fabs(double(X));
  return a < 1.0 ? float(a * a * (2.0 * a - 3.0) + 1.0) : 0.0f;
}

float QuadraticKernel(float X) {
  const double a = std::fabs(double(X));
  if (a < 0.5) return float(0.75 - a * a);
  if (a < 1.5) return float(0.5 * (a - 1.5) * (a - 1.5));
  return 0.0f;
}

float GaussianKernel(float X) {
  const double x = X;
  return float(std::exp(-2.0 * x * x) * std::sqrt(2.0 / Pi));
}

float SplineKernel(float X) {
  const double a = std::fabs(double(X));
  if (a < 1.0) return float(a * a * a / 2.0 - a * a + 2.0 / 3.0);
  if (a < 2.0) return float((2.0 - a) * (2.0 - a) * (2.0 - a) / 6.0);
  return 0.0f;
}

float Lanczos3Kernel(float X) {
  const double a = std::fabs(double(X));
  return a < 3.0 ? float(Sinc(a) * Sinc(a / 3.0)) : 0.0f;
}

float MitchellKernel(float X) {
  const double a = std::fabs(double(X));
  if (a < 1.0) return float((7.0 * a * a * a - 12.0 * a * a + 16.0 / 3.0) / 6.0);
  if (a < 2.0) return float((-(7.0 / 3.0) * a * a * a + 12.0 * a * a - 20.0 * a + 32.0 / 3.0) / 6.0);
  return 0.0f;
}

float CatmullRomKernel(float X) {
  const double a = std::fabs(double(X));
  if (a < 1.0) return float((a * a * (3.0 * a - 5.0) + 2.0) / 2.0);
  if (a < 2.0) return float((a * (a * (5.0 - a) - 8.0) + 4.0) / 2.0);
  return 0.0f;
}

struct TKernelEntry {
  TFilterFunction Function;
  float Radius;
};

const TKernelEntry KernelTable[10] = {
    {BoxKernel, 1.0f},      {TriangleKernel, 1.0f}, {CosineKernel, 1.0f},   {HermiteKernel, 1.0f},
    {QuadraticKernel, 1.5f}, {GaussianKernel, 1.25f}, {SplineKernel, 2.0f},  {Lanczos3Kernel, 3.0f},
    {MitchellKernel, 2.0f}, {CatmullRomKernel, 2.0f},
};

PImageFormatInfo InfoOf(TImageFormat Format) {
  if (Format < 0 || Format > MaxImageFormatValue) return nullptr;
  return FormatInfoTable[Format];
}

// Fixed-point weights of the 8-bit path. With 1/256 steps the rounding of
// the weights alone moves results by up to 2.5 levels from the exact value;
// 1/4096 keeps the path within one level of the float path.
constexpr int32_t IntWeightBits = 12;
constexpr float IntWeightOne = float(1 << IntWeightBits);

// A mapping table flattened into arrays: the contributions of destination i
// are Pos/Weight[Start[i] .. Start[i + 1]).
struct TFlatTable {
  std::vector<int32_t> Start;
  std::vector<int32_t> Pos;
  std::vector<float> Weight;
  std::vector<int32_t> IntWeight;
  size_t MaxCluster = 0;
};

TFlatTable Flatten(const TMappingTable& Table, bool IntegerWeights) {
  TFlatTable flat;
  flat.Start.reserve(Table.size() + 1);
  flat.Start.push_back(0);
  for (const TCluster& cluster : Table) {
    const size_t first = flat.Pos.size();
    int32_t intSum = 0;
    for (const TPointRec& p : cluster) {
      flat.Pos.push_back(p.Pos);
      flat.Weight.push_back(p.Weight);
      if (IntegerWeights) {
        const int32_t w = RoundToInt(p.Weight * IntWeightOne);
        flat.IntWeight.push_back(w);
        intSum += w;
      }
    }
    // Rounding each weight can lose or gain a little in total (strongly with
    // many small weights of a large reduction); the remainder goes to the
    // middle entry, as the normalisation of the float weights does, so that
    // flat areas keep their level.
    const int32_t one = 1 << IntWeightBits;
    if (IntegerWeights && !cluster.empty() && intSum != one) flat.IntWeight[first + (cluster.size() - 1) / 2] += one - intSum;
    flat.MaxCluster = std::max(flat.MaxCluster, cluster.size());
    flat.Start.push_back(int32_t(flat.Pos.size()));
  }
  return flat;
}

// Weights one source row into the column buffer (stores instead of adding for
// the first row of a cluster), eight values at a time in vector registers.
using TInt8x = int32_t __attribute__((vector_size(32)));
using TByte8x = uint8_t __attribute__((vector_size(8)));

template <bool First>
void WeightRow(int32_t* __restrict Buf, const uint8_t* __restrict Row, int64_t Count, int32_t W) {
  int64_t i = 0;
  for (; i + 8 <= Count; i += 8) {
    TByte8x bytes;
    std::memcpy(&bytes, Row + i, sizeof bytes);
    TInt8x v = __builtin_convertvector(bytes, TInt8x) * W;
    if constexpr (!First) {
      TInt8x sum;
      std::memcpy(&sum, Buf + i, sizeof sum);
      v += sum;
    }
    std::memcpy(Buf + i, &v, sizeof v);
  }
  for (; i < Count; ++i) {
    if constexpr (First) Buf[i] = int32_t(Row[i]) * W;
    else Buf[i] += int32_t(Row[i]) * W;
  }
}

// The 8-bit path: every byte of a pixel is a channel. Rows of the source are
// weighted into a column buffer (weights in 1/4096), then the columns of the
// buffer into the destination pixels; the buffer enters the second pass with
// 8 fractional bits (1/256 of a level, so that the 32-bit sums cannot
// overflow for any kernel) and the result is clamped to the channel range
// and truncated.
constexpr int32_t BufferShift = IntWeightBits - 8;
constexpr int32_t ResultShift = 8 + IntWeightBits;

#if defined(__x86_64__) || defined(__i386__)
#define RESAMPLE_HAVE_AVX2_PATH 1
#endif

// Row passes of the 8-bit path on AVX2 registers, with the arithmetic of the
// portable loops and so the same results.
#if defined(RESAMPLE_HAVE_AVX2_PATH)
template <bool First>
__attribute__((target("avx2"))) void WeightRowAVX2(int32_t* __restrict Buf, const uint8_t* __restrict Row,
                                                   int64_t Count, int32_t W) {
  const __m256i w = _mm256_set1_epi32(W);
  int64_t i = 0;
  for (; i + 8 <= Count; i += 8) {
    __m256i v = _mm256_mullo_epi32(
        _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(Row + i))), w);
    if constexpr (!First) v = _mm256_add_epi32(v, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(Buf + i)));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(Buf + i), v);
  }
  for (; i < Count; ++i) {
    if constexpr (First) Buf[i] = int32_t(Row[i]) * W;
    else Buf[i] += int32_t(Row[i]) * W;
  }
}

__attribute__((target("avx2"))) void ShiftBufferAVX2(int32_t* Buf, int64_t Count) {
  int64_t i = 0;
  for (; i + 8 <= Count; i += 8) {
    __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(Buf + i));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(Buf + i), _mm256_srai_epi32(v, BufferShift));
  }
  for (; i < Count; ++i) Buf[i] >>= BufferShift;
}

// Columns of four-channel pixels: one pixel's four sums in one register.
__attribute__((target("avx2"))) void WeightColumns4AVX2(const int32_t* Buf, const TFlatTable& MapX, int32_t XMin,
                                                        int32_t DstWidth, uint8_t* Out) {
  const __m128i zero = _mm_setzero_si128(), maxValue = _mm_set1_epi32(255 << ResultShift);
  const int32_t* start = MapX.Start.data();
  const int32_t* pos = MapX.Pos.data();
  const int32_t* weight = MapX.IntWeight.data();
  for (int32_t dx = 0; dx < DstWidth; ++dx, Out += 4) {
    __m128i acc = zero;
    for (int32_t k = start[dx]; k < start[dx + 1]; ++k) {
      const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(Buf + int64_t(pos[k] - XMin) * 4));
      acc = _mm_add_epi32(acc, _mm_mullo_epi32(b, _mm_set1_epi32(weight[k])));
    }
    acc = _mm_srli_epi32(_mm_min_epi32(_mm_max_epi32(acc, zero), maxValue), ResultShift);
    acc = _mm_packus_epi16(_mm_packus_epi32(acc, zero), zero);
    const int32_t v = _mm_cvtsi128_si32(acc);
    std::memcpy(Out, &v, 4);
  }
}

bool HaveAVX2() {
  static const bool have = __builtin_cpu_supports("avx2");
  return have;
}
#endif

template <int Channels>
void ResampleInteger(const TImageData& Src, TImageData& Dst, int32_t DstX, int32_t DstY, const TFlatTable& MapX,
                     const TFlatTable& MapY, int32_t XMin, int32_t XMax) {
  const int32_t columns = XMax - XMin + 1;
  const int32_t dstWidth = int32_t(MapX.Start.size()) - 1;
  const int32_t dstHeight = int32_t(MapY.Start.size()) - 1;
  const auto* srcBits = static_cast<const uint8_t*>(Src.Bits);
  auto* dstBits = static_cast<uint8_t*>(Dst.Bits);
  const int64_t count = int64_t(columns) * Channels;
  std::vector<int32_t> buffer(static_cast<size_t>(count));
  int32_t* buf = buffer.data();
  constexpr int32_t maxValue = 255 << ResultShift;
#if defined(RESAMPLE_HAVE_AVX2_PATH)
  const bool avx2 = HaveAVX2();
#else
  constexpr bool avx2 = false;
#endif

  for (int32_t dy = 0; dy < dstHeight; ++dy) {
    for (int32_t k = MapY.Start[dy]; k < MapY.Start[dy + 1]; ++k) {
      const uint8_t* row = srcBits + (int64_t(MapY.Pos[k]) * Src.Width + XMin) * Channels;
      const bool first = k == MapY.Start[dy];
#if defined(RESAMPLE_HAVE_AVX2_PATH)
      if (avx2) {
        if (first) WeightRowAVX2<true>(buf, row, count, MapY.IntWeight[k]);
        else WeightRowAVX2<false>(buf, row, count, MapY.IntWeight[k]);
        continue;
      }
#endif
      if (first) WeightRow<true>(buf, row, count, MapY.IntWeight[k]);
      else WeightRow<false>(buf, row, count, MapY.IntWeight[k]);
    }
    uint8_t* out = dstBits + (int64_t(DstY + dy) * Dst.Width + DstX) * Channels;
#if defined(RESAMPLE_HAVE_AVX2_PATH)
    if (avx2) {
      ShiftBufferAVX2(buf, count);
      if constexpr (Channels == 4) {
        WeightColumns4AVX2(buf, MapX, XMin, dstWidth, out);
        continue;
      }
    } else
#endif
      for (int64_t i = 0; i < count; ++i) buf[i] >>= BufferShift;
    for (int32_t dx = 0; dx < dstWidth; ++dx, out += Channels) {
      int32_t acc[Channels] = {};
      for (int32_t k = MapX.Start[dx]; k < MapX.Start[dx + 1]; ++k) {
        const int32_t* b = buf + int64_t(MapX.Pos[k] - XMin) * Channels;
        const int32_t w = MapX.IntWeight[k];
        for (int c = 0; c < Channels; ++c) acc[c] += b[c] * w;
      }
      for (int c = 0; c < Channels; ++c) out[c] = uint8_t(std::clamp(acc[c], 0, maxValue) >> ResultShift);
    }
  }
}

// The general path: pixels are read as floats through the format's access
// functions. Converted source rows are cached, since neighbouring
// destination rows share most of their source rows.
void ResampleFloat(const TImageData& Src, TImageData& Dst, int32_t DstX, int32_t DstY, const TFlatTable& MapX,
                   const TFlatTable& MapY, int32_t XMin, int32_t XMax, PImageFormatInfo Info) {
  const int32_t columns = XMax - XMin + 1;
  const int32_t dstWidth = int32_t(MapX.Start.size()) - 1;
  const int32_t dstHeight = int32_t(MapY.Start.size()) - 1;
  const int32_t bpp = Info->BytesPerPixel;
  const auto* srcBits = static_cast<const uint8_t*>(Src.Bits);
  auto* dstBits = static_cast<uint8_t*>(Dst.Bits);

  const size_t slots = std::clamp<size_t>(MapY.MaxCluster, 1, 16);
  std::vector<std::vector<TColorFPRec>> cache(slots, std::vector<TColorFPRec>(size_t(columns)));
  std::vector<int32_t> cachedRow(slots, -1);
  auto sourceRow = [&](int32_t Row) -> const TColorFPRec* {
    const size_t slot = size_t(Row) % slots;
    std::vector<TColorFPRec>& line = cache[slot];
    if (cachedRow[slot] != Row) {
      const uint8_t* p = srcBits + (int64_t(Row) * Src.Width + XMin) * bpp;
      for (int32_t i = 0; i < columns; ++i, p += bpp) line[size_t(i)] = Info->GetPixelFP(p, Info, Src.Palette);
      cachedRow[slot] = Row;
    }
    return line.data();
  };

  std::vector<TColorFPRec> buffer(static_cast<size_t>(columns));
  for (int32_t dy = 0; dy < dstHeight; ++dy) {
    for (TColorFPRec& c : buffer) c.B = c.G = c.R = c.A = 0.0f;
    for (int32_t k = MapY.Start[dy]; k < MapY.Start[dy + 1]; ++k) {
      const TColorFPRec* row = sourceRow(MapY.Pos[k]);
      const float w = MapY.Weight[k];
      for (int32_t i = 0; i < columns; ++i) {
        buffer[size_t(i)].B += row[i].B * w;
        buffer[size_t(i)].G += row[i].G * w;
        buffer[size_t(i)].R += row[i].R * w;
        buffer[size_t(i)].A += row[i].A * w;
      }
    }
    uint8_t* out = dstBits + (int64_t(DstY + dy) * Dst.Width + DstX) * bpp;
    for (int32_t dx = 0; dx < dstWidth; ++dx, out += bpp) {
      TColorFPRec acc;
      acc.B = acc.G = acc.R = acc.A = 0.0f;
      for (int32_t k = MapX.Start[dx]; k < MapX.Start[dx + 1]; ++k) {
        const TColorFPRec& b = buffer[size_t(MapX.Pos[k] - XMin)];
        const float w = MapX.Weight[k];
        acc.B += b.B * w;
        acc.G += b.G * w;
        acc.R += b.R * w;
        acc.A += b.A * w;
      }
      Info->SetPixelFP(out, Info, Dst.Palette, acc);
    }
  }
}

template <size_t Size>
void NearestRow(const uint8_t* Src, const int32_t* Columns, int32_t Count, uint8_t* Dst) {
  for (int32_t i = 0; i < Count; ++i, Dst += Size) std::memcpy(Dst, Src + int64_t(Columns[i]) * Size, Size);
}

void NearestRowAny(const uint8_t* Src, const int32_t* Columns, int32_t Count, uint8_t* Dst, int32_t Size) {
  for (int32_t i = 0; i < Count; ++i, Dst += Size) std::memcpy(Dst, Src + int64_t(Columns[i]) * Size, size_t(Size));
}

bool RectInside(const TImageData& Image, int32_t X, int32_t Y, int32_t Width, int32_t Height) {
  return X >= 0 && Y >= 0 && Width > 0 && Height > 0 && int64_t(X) + Width <= Image.Width &&
         int64_t(Y) + Height <= Image.Height;
}

}  // namespace

TFilterFunction SampleKernelFunction(TSampleKernel Kernel) {
  IMAGING_ASSERT(Kernel >= skBox && Kernel <= skCatmullRom);
  return KernelTable[Kernel].Function;
}

float SampleKernelRadius(TSampleKernel Kernel) {
  IMAGING_ASSERT(Kernel >= skBox && Kernel <= skCatmullRom);
  return KernelTable[Kernel].Radius;
}

TMappingTable BuildMappingTable(int32_t DstCount, int32_t SrcLow, int32_t SrcCount, int32_t SrcImageSize,
                                TFilterFunction Filter, float Radius, bool WrapEdges) {
  IMAGING_ASSERT(Filter != nullptr);
  TMappingTable table;
  if (DstCount <= 0 || SrcCount <= 0) return table;
  table.resize(size_t(DstCount));
  if (SrcCount == 1) {
    for (TCluster& cluster : table) cluster.push_back({SrcLow, 1.0f});
    return table;
  }

  const float scale = float(DstCount) / float(SrcCount);
  const int32_t low = SrcLow, high = SrcLow + SrcCount - 1;
  auto clampIndex = [&](int64_t Index) { return int32_t(std::clamp<int64_t>(Index, low, high)); };
  auto wrapIndex = [&](int64_t Index) {
    if (Index < 0) Index += SrcImageSize;
    else if (Index >= SrcImageSize) Index -= SrcImageSize;
    // A support wider than the whole image would still leave it; such
    // indices are clamped so that they never address outside the source.
    return int32_t(std::clamp<int64_t>(Index, 0, std::max(SrcImageSize - 1, 0)));
  };

  for (int32_t i = 0; i < DstCount; ++i) {
    TCluster& cluster = table[size_t(i)];
    const double centre = double(SrcLow) - 0.5 + (double(i) + 0.5) / double(scale);
    if (scale >= 1.0f) {
      const int64_t left = int64_t(std::floor(centre - Radius));
      const int64_t right = int64_t(std::ceil(centre + Radius));
      for (int64_t j = left; j <= right; ++j) {
        const float weight = Filter(float(centre - double(j)));
        if (weight == 0.0f) continue;
        cluster.push_back({WrapEdges ? wrapIndex(j) : clampIndex(j), weight});
      }
    } else {
      const double width = double(Radius) / double(scale);
      const int64_t left = int64_t(std::floor(centre - width));
      const int64_t right = int64_t(std::ceil(centre + width));
      for (int64_t j = left; j <= right; ++j) {
        const float weight = scale * Filter(float(double(scale) * (centre - double(j))));
        if (weight == 0.0f) continue;
        cluster.push_back({clampIndex(j), weight});
      }
      if (cluster.empty()) cluster.push_back({clampIndex(int64_t(std::floor(centre))), 1.0f});
    }
    if (cluster.empty()) continue;
    float sum = 0.0f;
    for (const TPointRec& p : cluster) sum += p.Weight;
    if (sum != 1.0f) cluster[(cluster.size() - 1) / 2].Weight -= sum - 1.0f;
  }
  return table;
}

void BuildSampleMap(int32_t SrcWidth, int32_t SrcHeight, int32_t DstWidth, int32_t DstHeight, int32_t SrcImageWidth,
                    int32_t SrcImageHeight, int32_t SrcX, int32_t SrcY, TFilterFunction Filter, float Radius,
                    bool WrapEdges, TMappingTable& MapX, TMappingTable& MapY, int32_t& XMin, int32_t& XMax) {
  MapX = BuildMappingTable(DstWidth, SrcX, SrcWidth, SrcImageWidth, Filter, Radius, WrapEdges);
  MapY = BuildMappingTable(DstHeight, SrcY, SrcHeight, SrcImageHeight, Filter, Radius, WrapEdges);
  XMin = INT32_MAX;
  XMax = INT32_MIN;
  for (const TCluster& cluster : MapX)
    for (const TPointRec& p : cluster) {
      XMin = std::min(XMin, p.Pos);
      XMax = std::max(XMax, p.Pos);
    }
  if (XMin > XMax) XMin = XMax = 0;
}

void StretchResample(const TImageData& Src, int32_t SrcX, int32_t SrcY, int32_t SrcWidth, int32_t SrcHeight,
                     TImageData& Dst, int32_t DstX, int32_t DstY, int32_t DstWidth, int32_t DstHeight,
                     TSampleKernel Kernel, bool WrapEdges) {
  PImageFormatInfo info = InfoOf(Src.Format);
  IMAGING_ASSERT(info != nullptr && info == InfoOf(Dst.Format) && !info->IsIndexed && !info->IsSpecial);
  IMAGING_ASSERT(RectInside(Src, SrcX, SrcY, SrcWidth, SrcHeight) && RectInside(Dst, DstX, DstY, DstWidth, DstHeight));
  IMAGING_ASSERT(Src.Bits != nullptr && Dst.Bits != nullptr);

  TMappingTable mapX, mapY;
  int32_t xMin, xMax;
  BuildSampleMap(SrcWidth, SrcHeight, DstWidth, DstHeight, Src.Width, Src.Height, SrcX, SrcY,
                 SampleKernelFunction(Kernel), SampleKernelRadius(Kernel), WrapEdges, mapX, mapY, xMin, xMax);
  if (mapX.empty() || mapY.empty()) return;

  const bool integerPath = info->ChannelCount > 0 && info->BytesPerPixel / info->ChannelCount == 1 &&
                           !info->UsePixelFormat && info->BytesPerPixel <= 4;
  const TFlatTable flatX = Flatten(mapX, integerPath);
  const TFlatTable flatY = Flatten(mapY, integerPath);
  if (!integerPath) {
    ResampleFloat(Src, Dst, DstX, DstY, flatX, flatY, xMin, xMax, info);
    return;
  }
  switch (info->BytesPerPixel) {
    case 1:
      ResampleInteger<1>(Src, Dst, DstX, DstY, flatX, flatY, xMin, xMax);
      break;
    case 2:
      ResampleInteger<2>(Src, Dst, DstX, DstY, flatX, flatY, xMin, xMax);
      break;
    case 3:
      ResampleInteger<3>(Src, Dst, DstX, DstY, flatX, flatY, xMin, xMax);
      break;
    default:
      ResampleInteger<4>(Src, Dst, DstX, DstY, flatX, flatY, xMin, xMax);
  }
}

void StretchNearest(const TImageData& Src, int32_t SrcX, int32_t SrcY, int32_t SrcWidth, int32_t SrcHeight,
                    TImageData& Dst, int32_t DstX, int32_t DstY, int32_t DstWidth, int32_t DstHeight) {
  PImageFormatInfo info = InfoOf(Src.Format);
  IMAGING_ASSERT(info != nullptr && info == InfoOf(Dst.Format) && !info->IsSpecial);
  IMAGING_ASSERT(RectInside(Src, SrcX, SrcY, SrcWidth, SrcHeight) && RectInside(Dst, DstX, DstY, DstWidth, DstHeight));
  IMAGING_ASSERT(Src.Bits != nullptr && Dst.Bits != nullptr);

  const int32_t bpp = info->BytesPerPixel;
  // 16.16 steps; the products are 64-bit so that wide sources do not overflow.
  const int64_t xStep = (int64_t(SrcWidth) << 16) / DstWidth;
  const int64_t yStep = (int64_t(SrcHeight) << 16) / DstHeight;
  std::vector<int32_t> columns(static_cast<size_t>(DstWidth));
  int64_t xAcc = 0;
  for (int32_t i = 0; i < DstWidth; ++i, xAcc += xStep) columns[size_t(i)] = SrcX + int32_t(xAcc >> 16);

  const auto* srcBits = static_cast<const uint8_t*>(Src.Bits);
  auto* dstBits = static_cast<uint8_t*>(Dst.Bits);
  const int64_t rowBytes = int64_t(DstWidth) * bpp;
  int64_t yAcc = 0;
  int32_t previous = -1;
  const uint8_t* previousRow = nullptr;
  for (int32_t j = 0; j < DstHeight; ++j, yAcc += yStep) {
    const int32_t sy = SrcY + int32_t(yAcc >> 16);
    uint8_t* out = dstBits + (int64_t(DstY + j) * Dst.Width + DstX) * bpp;
    if (sy == previous) {
      // Enlarging repeats source rows: copy the row built just before.
      std::memcpy(out, previousRow, size_t(rowBytes));
    } else {
      const uint8_t* in = srcBits + int64_t(sy) * Src.Width * bpp;
      switch (bpp) {
        case 1:
          NearestRow<1>(in, columns.data(), DstWidth, out);
          break;
        case 2:
          NearestRow<2>(in, columns.data(), DstWidth, out);
          break;
        case 3:
          NearestRow<3>(in, columns.data(), DstWidth, out);
          break;
        case 4:
          NearestRow<4>(in, columns.data(), DstWidth, out);
          break;
        case 8:
          NearestRow<8>(in, columns.data(), DstWidth, out);
          break;
        case 16:
          NearestRow<16>(in, columns.data(), DstWidth, out);
          break;
        default:
          NearestRowAny(in, columns.data(), DstWidth, out, bpp);
      }
    }
    previous = sy;
    previousRow = out;
  }
}

}  // namespace Imaging
