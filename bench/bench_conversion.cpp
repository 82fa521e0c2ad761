// Pixel format conversion of a 4000 x 3000 image: the row-wise fast paths of
// the common pairs and, for comparison, the per-pixel path of a few pairs.
// Each iteration converts a fresh copy (the copy is not timed); the time
// includes allocating the converted pixels. Figures are megapixels per second.
#include <benchmark/benchmark.h>

#include <cstring>
#include <map>
#include <random>

#include "Imaging.h"
#include "ImagingFormats.h"

using namespace Imaging;

namespace {

constexpr int32_t Width = 4000, Height = 3000;

// One source image per format, made once: random bytes, floats in -0.1..1.1,
// a random palette.
const TImageData& Source(TImageFormat Format) {
  static std::map<TImageFormat, TImageData> images;
  auto it = images.find(Format);
  if (it != images.end()) return it->second;
  InitImaging();
  TImageData img;
  if (!CreateImage(Width, Height, Format, img)) std::abort();
  std::mt19937 rng(uint32_t(Format) * 7919u);
  TImageFormatInfo info;
  QueryFormatInfo(Format, info);
  if (info.IsFloatingPoint && info.BytesPerPixel % 4 == 0) {
    std::uniform_real_distribution<float> value(-0.1f, 1.1f);
    auto* p = static_cast<float*>(img.Bits);
    for (int64_t i = 0; i < img.Size / 4; ++i) p[i] = value(rng);
  } else {
    auto* p = static_cast<uint8_t*>(img.Bits);
    for (int64_t i = 0; i < img.Size; ++i) p[i] = uint8_t(rng() >> 24);
  }
  if (img.Palette)
    for (int i = 0; i < info.PaletteEntries; ++i) img.Palette[i].Color = rng();
  return images.emplace(Format, img).first->second;
}

void Convert(benchmark::State& State, TImageFormat From, TImageFormat To, bool PerPixel) {
  const TImageData& source = Source(From);
  TImageData work;
  for (auto _ : State) {
    State.PauseTiming();
    if (!DuplicateImage(source, work)) std::abort();
    State.ResumeTiming();
    const bool done = PerPixel ? ChangeImageFormatGeneric(work, To) : ChangeImageFormat(work, To);
    benchmark::DoNotOptimize(done);
    benchmark::DoNotOptimize(work.Bits);
    State.PauseTiming();
    ReleaseImage(work);
    State.ResumeTiming();
  }
  State.counters["MP/s"] =
      benchmark::Counter(double(Width) * Height * double(State.iterations()) / 1e6, benchmark::Counter::kIsRate);
}

#define CONVERSION(Name, From, To) \
  BENCHMARK_CAPTURE(Convert, Name, From, To, false)->Unit(benchmark::kMillisecond)
#define PER_PIXEL(Name, From, To) \
  BENCHMARK_CAPTURE(Convert, Name##_per_pixel, From, To, true)->Unit(benchmark::kMillisecond)

// 8-bit channel shuffles.
CONVERSION(A8R8G8B8_to_R8G8B8, fmtA8R8G8B8, fmtR8G8B8);
CONVERSION(R8G8B8_to_A8R8G8B8, fmtR8G8B8, fmtA8R8G8B8);
CONVERSION(A8R8G8B8_to_X8R8G8B8, fmtA8R8G8B8, fmtX8R8G8B8);
CONVERSION(X8R8G8B8_to_A8R8G8B8, fmtX8R8G8B8, fmtA8R8G8B8);
CONVERSION(Gray8_to_A8R8G8B8, fmtGray8, fmtA8R8G8B8);
CONVERSION(A8Gray8_to_A8R8G8B8, fmtA8Gray8, fmtA8R8G8B8);
// Luminance.
CONVERSION(A8R8G8B8_to_Gray8, fmtA8R8G8B8, fmtGray8);
CONVERSION(R8G8B8_to_Gray8, fmtR8G8B8, fmtGray8);
CONVERSION(A8R8G8B8_to_A8Gray8, fmtA8R8G8B8, fmtA8Gray8);
// Palette look-up.
CONVERSION(Index8_to_R8G8B8, fmtIndex8, fmtR8G8B8);
CONVERSION(Index8_to_A8R8G8B8, fmtIndex8, fmtA8R8G8B8);
CONVERSION(Index8_to_X8R8G8B8, fmtIndex8, fmtX8R8G8B8);
// 8 <-> 16 bits per channel.
CONVERSION(A8R8G8B8_to_A16R16G16B16, fmtA8R8G8B8, fmtA16R16G16B16);
CONVERSION(A8R8G8B8_to_A16B16G16R16, fmtA8R8G8B8, fmtA16B16G16R16);
CONVERSION(R8G8B8_to_R16G16B16, fmtR8G8B8, fmtR16G16B16);
CONVERSION(A16R16G16B16_to_A8R8G8B8, fmtA16R16G16B16, fmtA8R8G8B8);
CONVERSION(A16B16G16R16_to_A8R8G8B8, fmtA16B16G16R16, fmtA8R8G8B8);
CONVERSION(B16G16R16_to_R8G8B8, fmtB16G16R16, fmtR8G8B8);
// Float <-> 8 bits.
CONVERSION(A8R8G8B8_to_A32R32G32B32F, fmtA8R8G8B8, fmtA32R32G32B32F);
CONVERSION(A8R8G8B8_to_A32B32G32R32F, fmtA8R8G8B8, fmtA32B32G32R32F);
CONVERSION(A32R32G32B32F_to_A8R8G8B8, fmtA32R32G32B32F, fmtA8R8G8B8);
CONVERSION(A32B32G32R32F_to_R8G8B8, fmtA32B32G32R32F, fmtR8G8B8);
CONVERSION(R32F_to_A8R8G8B8, fmtR32F, fmtA8R8G8B8);
// The per-pixel rules of some of the same pairs, and pairs without a fast path.
PER_PIXEL(A8R8G8B8_to_R8G8B8, fmtA8R8G8B8, fmtR8G8B8);
PER_PIXEL(A8R8G8B8_to_Gray8, fmtA8R8G8B8, fmtGray8);
PER_PIXEL(Index8_to_A8R8G8B8, fmtIndex8, fmtA8R8G8B8);
PER_PIXEL(A32R32G32B32F_to_A8R8G8B8, fmtA32R32G32B32F, fmtA8R8G8B8);
CONVERSION(A8R8G8B8_to_R5G6B5, fmtA8R8G8B8, fmtR5G6B5);
// Table look-up of 2-byte sources.
CONVERSION(R5G6B5_to_A8R8G8B8, fmtR5G6B5, fmtA8R8G8B8);
CONVERSION(A1R5G5B5_to_R8G8B8, fmtA1R5G5B5, fmtR8G8B8);
CONVERSION(A16R16G16B16F_to_A8R8G8B8, fmtA16R16G16B16F, fmtA8R8G8B8);
CONVERSION(R16F_to_A32R32G32B32F, fmtR16F, fmtA32R32G32B32F);
PER_PIXEL(R5G6B5_to_A8R8G8B8, fmtR5G6B5, fmtA8R8G8B8);
CONVERSION(A8R8G8B8_to_A16R16G16B16F, fmtA8R8G8B8, fmtA16R16G16B16F);

}  // namespace
