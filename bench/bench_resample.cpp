// Stretching a 4000 x 3000 A8R8G8B8 picture with each filter: reduction to
// 2000 x 1500, enlargement of 1000 x 750 to 4000 x 3000, and whole-image
// ScaleImage. Rates are destination megapixels per second.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>

#include "Imaging.h"

using namespace Imaging;

namespace {

TImageData MakePicture(int32_t Width, int32_t Height, TImageFormat Format) {
  InitFormatInfoTable();
  TImageData img;
  CreateImage(Width, Height, Format, img);
  // Smooth gradients with some noise, like a photograph.
  std::mt19937 rng(1);
  auto* p = static_cast<uint8_t*>(img.Bits);
  TImageFormatInfo info;
  QueryFormatInfo(Format, info);
  const int32_t bpp = info.BytesPerPixel;
  for (int32_t y = 0; y < Height; ++y)
    for (int32_t x = 0; x < Width; ++x)
      for (int32_t c = 0; c < bpp; ++c)
        p[(int64_t(y) * Width + x) * bpp + c] = uint8_t((x * (c + 1) + y * (3 - c % 3)) / 16 + (rng() & 15));
  return img;
}

void Report(benchmark::State& State, int64_t PixelsPerIteration) {
  State.counters["MP/s"] = benchmark::Counter(double(PixelsPerIteration) / 1e6, benchmark::Counter::kIsIterationInvariantRate);
}

void BM_StretchDown(benchmark::State& State) {
  const auto filter = TResizeFilter(State.range(0));
  TImageData src = MakePicture(4000, 3000, fmtA8R8G8B8);
  TImageData dst;
  CreateImage(2000, 1500, fmtA8R8G8B8, dst);
  for (auto _ : State) {
    StretchImageRect(src, 0, 0, 4000, 3000, dst, 0, 0, 2000, 1500, filter);
    benchmark::DoNotOptimize(dst.Bits);
  }
  Report(State, 2000LL * 1500);
  ReleaseImage(src);
  ReleaseImage(dst);
}

void BM_StretchUp(benchmark::State& State) {
  const auto filter = TResizeFilter(State.range(0));
  TImageData src = MakePicture(1000, 750, fmtA8R8G8B8);
  TImageData dst;
  CreateImage(4000, 3000, fmtA8R8G8B8, dst);
  for (auto _ : State) {
    StretchImageRect(src, 0, 0, 1000, 750, dst, 0, 0, 4000, 3000, filter);
    benchmark::DoNotOptimize(dst.Bits);
  }
  Report(State, 4000LL * 3000);
  ReleaseImage(src);
  ReleaseImage(dst);
}

// Whole-image resize including the allocation of the new image.
void BM_ScaleImageDown(benchmark::State& State) {
  const auto filter = TResizeFilter(State.range(0));
  TImageData original = MakePicture(4000, 3000, fmtA8R8G8B8);
  for (auto _ : State) {
    State.PauseTiming();
    TImageData img;
    DuplicateImage(original, img);
    State.ResumeTiming();
    ScaleImage(img, 2000, 1500, filter);
    benchmark::DoNotOptimize(img.Bits);
    State.PauseTiming();
    ReleaseImage(img);
    State.ResumeTiming();
  }
  Report(State, 2000LL * 1500);
  ReleaseImage(original);
}

// The float path, for comparison with the 8-bit integer path.
void BM_StretchDownFloat(benchmark::State& State) {
  const auto filter = TResizeFilter(State.range(0));
  TImageData src = MakePicture(1000, 750, fmtA32R32G32B32F);
  auto* f = static_cast<float*>(src.Bits);
  for (int64_t i = 0; i < int64_t(src.Size) / 4; ++i) f[i] = float(i % 255) / 255.0f;
  TImageData dst;
  CreateImage(500, 375, fmtA32R32G32B32F, dst);
  for (auto _ : State) {
    StretchImageRect(src, 0, 0, 1000, 750, dst, 0, 0, 500, 375, filter);
    benchmark::DoNotOptimize(dst.Bits);
  }
  Report(State, 500LL * 375);
  ReleaseImage(src);
  ReleaseImage(dst);
}

void Filters(benchmark::internal::Benchmark* B) {
  B->ArgName("filter")->Arg(rfNearest)->Arg(rfBilinear)->Arg(rfBicubic)->Unit(benchmark::kMillisecond);
}

}  // namespace

BENCHMARK(BM_StretchDown)->Apply(Filters);
BENCHMARK(BM_StretchUp)->Apply(Filters);
BENCHMARK(BM_ScaleImageDown)->Apply(Filters);
BENCHMARK(BM_StretchDownFloat)->Arg(rfBilinear)->Arg(rfBicubic)->Unit(benchmark::kMillisecond);
