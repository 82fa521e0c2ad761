// Loading and saving a 4000 x 3000 picture as Windows Bitmap and Targa, next
// to ImageMagick's convert doing the same with the same file. Each of our
// benchmarks reports "vs_convert": our time per operation divided by
// convert's (measured once per case with std::system, process start
// included, so small ratios are expected).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

#include "Imaging.h"

namespace fs = std::filesystem;
using namespace Imaging;

namespace {

constexpr int32_t Width = 4000, Height = 3000;

fs::path WorkDir() {
  static fs::path dir = [] {
    fs::path d = fs::temp_directory_path() / "vorelle-bench-bmptga";
    fs::create_directories(d);
    return d;
  }();
  return dir;
}

// A photo-like picture: smooth gradients with a little noise and a few flat
// areas, so that run-length coders meet both runs and literals.
TImageData MakePicture(TImageFormat Format) {
  InitImaging();
  TImageData img;
  CreateImage(Width, Height, fmtA8R8G8B8, img);
  auto* p = static_cast<uint8_t*>(img.Bits);
  uint32_t seed = 1;
  for (int32_t y = 0; y < Height; ++y)
    for (int32_t x = 0; x < Width; ++x) {
      uint8_t* q = p + (size_t(y) * Width + x) * 4;
      seed = seed * 1103515245 + 12345;
      uint8_t noise = uint8_t((seed >> 16) & 3);
      bool flat = (x / 500 + y / 500) % 3 == 0;
      q[0] = flat ? 40 : uint8_t(x / 16 + noise);
      q[1] = flat ? 90 : uint8_t(y / 12 + noise);
      q[2] = flat ? 200 : uint8_t((x + y) / 28);
      q[3] = 255;
    }
  ChangeImageFormat(img, Format);
  return img;
}

struct TCase {
  const char* Ext;
  TImageFormat Format;
  int32_t OptionId;
  int32_t OptionValue;
};

std::string FileFor(const std::string& Name, const TCase& C) { return (WorkDir() / (Name + "." + C.Ext)).string(); }

void ApplyOption(const TCase& C) { SetImagingOption(C.OptionId, C.OptionValue); }

// Writes the case's file once (our writer) and returns its name.
const std::string& SampleFile(const std::string& Name, const TCase& C) {
  static std::map<std::string, std::string> files;
  auto it = files.find(Name);
  if (it != files.end()) return it->second;
  TImageData img = MakePicture(C.Format);
  ApplyOption(C);
  std::string file = FileFor(Name, C);
  WriteImageFile(file, img);
  ReleaseImage(img);
  return files[Name] = file;
}

// Seconds per run of a shell command (best of three).
double PeerSeconds(const std::string& Command) {
  static std::map<std::string, double> cache;
  auto it = cache.find(Command);
  if (it != cache.end()) return it->second;
  double best = 1e30;
  for (int i = 0; i < 3; ++i) {
    auto t0 = std::chrono::steady_clock::now();
    int rc = std::system((Command + " >/dev/null 2>&1").c_str());
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (rc != 0) return cache[Command] = 0;
    best = std::min(best, s);
  }
  return cache[Command] = best;
}

bool HaveConvert() { return std::system("command -v convert >/dev/null 2>&1") == 0; }

void Report(benchmark::State& State, double OwnSeconds, int64_t Ops, const std::string& PeerCommand) {
  if (Ops == 0) return;
  double own = OwnSeconds / double(Ops);
  State.counters["ms_per_op"] = own * 1000.0;
  if (HaveConvert()) {
    double peer = PeerSeconds(PeerCommand);
    if (peer > 0) {
      State.counters["convert_ms"] = peer * 1000.0;
      State.counters["vs_convert"] = own / peer;
    }
  }
}

void Load(benchmark::State& State, const std::string& Name, TCase C) {
  const std::string& file = SampleFile(Name, C);
  TImageFileFormat* handler = FindHandlerByExtension(C.Ext);
  double total = 0;
  int64_t ops = 0;
  for (auto _ : State) {
    auto t0 = std::chrono::steady_clock::now();
    TDynImageDataArray images;
    handler->LoadFromFile(file, images);
    benchmark::DoNotOptimize(images.data());
    ReleaseImageArray(images);
    total += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    ++ops;
  }
  State.SetBytesProcessed(int64_t(State.iterations()) * int64_t(fs::file_size(file)));
  Report(State, total, ops, "convert '" + file + "' null:");
}

void Save(benchmark::State& State, const std::string& Name, TCase C) {
  const std::string& source = SampleFile(Name, C);
  TImageData img = MakePicture(C.Format);
  ApplyOption(C);
  std::string out = FileFor(Name + "-out", C);
  double total = 0;
  int64_t ops = 0;
  for (auto _ : State) {
    auto t0 = std::chrono::steady_clock::now();
    WriteImageFile(out, img);
    total += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    ++ops;
  }
  ReleaseImage(img);
  // convert's save: read a raw PPM (the cheapest input) and write the same
  // kind of file; the PPM read is measured alone and subtracted.
  std::string ppm = (WorkDir() / (Name + ".ppm")).string();
  std::string peerOptions = C.OptionValue != 0 ? "-compress RLE" : "-compress None";
  if (C.Format == fmtIndex8) peerOptions += " -type Palette";
  if (HaveConvert()) {
    std::system(("convert '" + source + "' '" + ppm + "' >/dev/null 2>&1").c_str());
    double read = PeerSeconds("convert '" + ppm + "' null:");
    double both = PeerSeconds("convert '" + ppm + "' " + peerOptions + " '" + out + ".peer." + C.Ext + "'");
    double own = total / double(std::max<int64_t>(ops, 1));
    State.counters["ms_per_op"] = own * 1000.0;
    if (both > read && read > 0) {
      State.counters["convert_ms"] = (both - read) * 1000.0;
      State.counters["vs_convert"] = own / (both - read);
    }
  }
}

const TCase Bmp24{"bmp", fmtR8G8B8, OptBitmapRLE, -1};
const TCase Bmp32{"bmp", fmtA8R8G8B8, OptBitmapRLE, -1};
const TCase BmpRle8{"bmp", fmtIndex8, OptBitmapRLE, -1};
const TCase Bmp8{"bmp", fmtIndex8, OptBitmapRLE, 0};
const TCase Tga24{"tga", fmtR8G8B8, OptTargaRLE, 0};
const TCase Tga32{"tga", fmtA8R8G8B8, OptTargaRLE, 0};
const TCase Tga24Rle{"tga", fmtR8G8B8, OptTargaRLE, 1};
const TCase Tga32Rle{"tga", fmtA8R8G8B8, OptTargaRLE, 1};

}  // namespace

BENCHMARK_CAPTURE(Load, bmp24, std::string("bmp24"), Bmp24)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(Load, bmp32, std::string("bmp32"), Bmp32)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(Load, bmp8, std::string("bmp8"), Bmp8)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(Load, bmp_rle8, std::string("bmprle8"), BmpRle8)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(Load, tga24, std::string("tga24"), Tga24)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(Load, tga32, std::string("tga32"), Tga32)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(Load, tga24_rle, std::string("tga24rle"), Tga24Rle)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(Load, tga32_rle, std::string("tga32rle"), Tga32Rle)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(Save, bmp24, std::string("bmp24"), Bmp24)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(Save, bmp32, std::string("bmp32"), Bmp32)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(Save, bmp_rle8, std::string("bmprle8"), BmpRle8)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(Save, tga24, std::string("tga24"), Tga24)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(Save, tga24_rle, std::string("tga24rle"), Tga24Rle)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(Save, tga32_rle, std::string("tga32rle"), Tga32Rle)->Unit(benchmark::kMillisecond)->UseRealTime();
