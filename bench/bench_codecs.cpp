// Colour reduction and block codecs on 4000 x 3000 images.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "ImagingFormats.h"

using namespace Imaging;

namespace {

constexpr int Width = 4000, Height = 3000;
constexpr int64_t Pixels = int64_t(Width) * Height;

// A smooth gradient over the whole frame with per-channel noise of +-8, like
// a photo: about a million distinct colours.
const std::vector<uint8_t>& PhotoArgb() {
  static std::vector<uint8_t> Data = [] {
    std::vector<uint8_t> D(size_t(Pixels) * 4);
    std::mt19937 Rng(42);
    uint8_t* P = D.data();
    for (int y = 0; y < Height; ++y)
      for (int x = 0; x < Width; ++x, P += 4) {
        uint32_t R = Rng();
        auto Noise = [&](int V, int Shift) { return uint8_t(std::clamp(V + int((R >> Shift) % 17) - 8, 0, 255)); };
        P[0] = Noise((x + y) * 255 / (Width + Height), 0);
        P[1] = Noise(y * 255 / Height, 8);
        P[2] = Noise(x * 255 / Width, 16);
        P[3] = 255;
      }
    return D;
  }();
  return Data;
}

const std::vector<uint8_t>& PhotoGray() {
  static std::vector<uint8_t> Data = [] {
    const std::vector<uint8_t>& Argb = PhotoArgb();
    std::vector<uint8_t> D(static_cast<size_t>(Pixels));
    for (size_t i = 0; i < D.size(); ++i) D[i] = Argb[i * 4 + 1];
    return D;
  }();
  return Data;
}

int64_t BlockBytes(TImageFormat F) {
  int64_t Blocks = int64_t(Width / 4) * (Height / 4);
  return Blocks * ((F == fmtBTC) ? 4 : (F == fmtDXT1 || F == fmtATI1N) ? 8 : 16);
}

bool IsGray(TImageFormat F) { return F == fmtBTC || F == fmtATI1N; }

void SetRate(benchmark::State& State) {
  State.counters["MP/s"] =
      benchmark::Counter(double(Pixels) * double(State.iterations()) / 1e6, benchmark::Counter::kIsRate);
}

void BM_QuantizeMedianCut(benchmark::State& State) {
  InitFormatInfoTable();
  const uint8_t Mask = uint8_t(State.range(0));
  const std::vector<uint8_t>& Src = PhotoArgb();
  std::vector<uint8_t> Dst(static_cast<size_t>(Pixels));
  std::vector<TColor32Rec> Palette(256);
  for (auto _ : State) {
    QuantizeMedianCut(int32_t(Pixels), Src.data(), Dst.data(), raAll, Palette.data(), Mask, 256,
                      FormatInfoTable[fmtIndex8], FormatInfoTable[fmtA8R8G8B8]);
    benchmark::DoNotOptimize(Dst.data());
  }
  SetRate(State);
}
BENCHMARK(BM_QuantizeMedianCut)->Arg(0xFF)->Arg(0xF8)->Unit(benchmark::kMillisecond);

void BM_Encode(benchmark::State& State) {
  const TImageFormat F = TImageFormat(State.range(0));
  const std::vector<uint8_t>& Src = IsGray(F) ? PhotoGray() : PhotoArgb();
  std::vector<uint8_t> Blocks(size_t(BlockBytes(F)));
  TImageData Img;
  Img.Width = Width;
  Img.Height = Height;
  Img.Format = F;
  Img.Size = int32_t(Blocks.size());
  Img.Bits = Blocks.data();
  for (auto _ : State) {
    EncodeBlocks(Src.data(), Img, F);
    benchmark::DoNotOptimize(Blocks.data());
  }
  SetRate(State);
}

void BM_Decode(benchmark::State& State) {
  const TImageFormat F = TImageFormat(State.range(0));
  const std::vector<uint8_t>& Src = IsGray(F) ? PhotoGray() : PhotoArgb();
  std::vector<uint8_t> Blocks(size_t(BlockBytes(F)));
  TImageData Img;
  Img.Width = Width;
  Img.Height = Height;
  Img.Format = F;
  Img.Size = int32_t(Blocks.size());
  Img.Bits = Blocks.data();
  EncodeBlocks(Src.data(), Img, F);
  std::vector<uint8_t> Out(Src.size());
  for (auto _ : State) {
    DecodeBlocks(Img, Out.data(), F);
    benchmark::DoNotOptimize(Out.data());
  }
  SetRate(State);
}

void BlockFormats(benchmark::internal::Benchmark* B) {
  for (TImageFormat F : {fmtDXT1, fmtDXT3, fmtDXT5, fmtBTC, fmtATI1N, fmtATI2N}) B->Arg(F);
  B->Unit(benchmark::kMillisecond);
}
BENCHMARK(BM_Encode)->Apply(BlockFormats);
BENCHMARK(BM_Decode)->Apply(BlockFormats);

}  // namespace
