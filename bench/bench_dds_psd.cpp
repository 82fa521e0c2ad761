// DirectDraw Surface saves of a 4000 x 3000 picture with its whole mipmap
// chain in DXT1 and DXT5, and Photoshop loads and saves of the same picture,
// next to ImageMagick's convert doing the same. Each benchmark reports
// "vs_convert": our time per operation divided by convert's (best of three
// runs with std::system; for saves convert reads a raw PPM, whose reading is
// measured alone and subtracted).
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
    fs::path d = fs::temp_directory_path() / "vorelle-bench-ddspsd";
    fs::create_directories(d);
    return d;
  }();
  return dir;
}

// A photo-like picture: smooth gradients with a little noise and flat areas.
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
      const uint8_t noise = uint8_t((seed >> 16) & 3);
      const bool flat = (x / 500 + y / 500) % 3 == 0;
      q[0] = flat ? 40 : uint8_t(x / 16 + noise);
      q[1] = flat ? 90 : uint8_t(y / 12 + noise);
      q[2] = flat ? 200 : uint8_t((x + y) / 28);
      q[3] = uint8_t(255 - (x / 40 + y / 40) % 64);
    }
  ChangeImageFormat(img, Format);
  return img;
}

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

// The raw PPM convert starts its saves from.
const std::string& PeerInput() {
  static std::string ppm = [] {
    TImageData img = MakePicture(fmtR8G8B8);
    std::string file = (WorkDir() / "picture.ppm").string();
    WriteImageFile(file, img);
    ReleaseImage(img);
    return file;
  }();
  return ppm;
}

void ReportSave(benchmark::State& State, double Own, const std::string& PeerOptions, const std::string& PeerOut) {
  State.counters["ms_per_op"] = Own * 1000.0;
  if (!HaveConvert()) return;
  const double read = PeerSeconds("convert '" + PeerInput() + "' null:");
  const double both = PeerSeconds("convert '" + PeerInput() + "' " + PeerOptions + " '" + PeerOut + "'");
  if (both > read && read > 0) {
    State.counters["convert_ms"] = (both - read) * 1000.0;
    State.counters["vs_convert"] = Own / (both - read);
  }
}

// The whole chain made from the picture (each level halved from the one
// before), compressed, and written.
void DdsSaveMipMaps(benchmark::State& State, TImageFormat Format, std::string Compression) {
  TImageData picture = MakePicture(fmtA8R8G8B8);
  const std::string out = (WorkDir() / ("mipmaps-" + Compression + ".dds")).string();
  double total = 0;
  int64_t ops = 0;
  for (auto _ : State) {
    auto t0 = std::chrono::steady_clock::now();
    TDynImageDataArray chain(1);
    DuplicateImage(picture, chain[0]);
    while (chain.back().Width > 1 || chain.back().Height > 1) {
      TImageData level;
      DuplicateImage(chain.back(), level);
      ScaleImage(level, std::max(1, level.Width / 2), std::max(1, level.Height / 2), rfBilinear);
      chain.push_back(level);
    }
    for (TImageData& level : chain) ChangeImageFormat(level, Format);
    WriteImagesToFile(out, chain);
    ReleaseImageArray(chain);
    total += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    ++ops;
  }
  ReleaseImage(picture);
  ReportSave(State, total / double(std::max<int64_t>(ops, 1)),
             "-define dds:compression=" + Compression + " -define dds:mipmaps=12",
             out + ".peer.dds");
}

void PsdSave(benchmark::State& State, TImageFormat Format, std::string Name) {
  TImageData picture = MakePicture(Format);
  const std::string out = (WorkDir() / (Name + ".psd")).string();
  double total = 0;
  int64_t ops = 0;
  for (auto _ : State) {
    auto t0 = std::chrono::steady_clock::now();
    WriteImageFile(out, picture);
    total += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    ++ops;
  }
  ReleaseImage(picture);
  ReportSave(State, total / double(std::max<int64_t>(ops, 1)), Format == fmtR8G8B8 ? "-alpha off" : "-alpha set",
             out + ".peer.psd");
}

void PsdLoad(benchmark::State& State, TImageFormat Format, std::string Name) {
  const std::string file = (WorkDir() / (Name + "-load.psd")).string();
  TImageData picture = MakePicture(Format);
  WriteImageFile(file, picture);
  ReleaseImage(picture);
  TImageFileFormat* handler = FindHandlerByExtension("psd");
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
  const double own = total / double(std::max<int64_t>(ops, 1));
  State.counters["ms_per_op"] = own * 1000.0;
  if (HaveConvert()) {
    const double peer = PeerSeconds("convert '" + file + "[0]' null:");
    if (peer > 0) {
      State.counters["convert_ms"] = peer * 1000.0;
      State.counters["vs_convert"] = own / peer;
    }
  }
}

}  // namespace

BENCHMARK_CAPTURE(DdsSaveMipMaps, dxt1, fmtDXT1, std::string("dxt1"))->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(DdsSaveMipMaps, dxt5, fmtDXT5, std::string("dxt5"))->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(PsdLoad, rgb8, fmtR8G8B8, std::string("rgb8"))->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(PsdLoad, rgba8, fmtA8R8G8B8, std::string("rgba8"))->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(PsdSave, rgb8, fmtR8G8B8, std::string("rgb8"))->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(PsdSave, rgba8, fmtA8R8G8B8, std::string("rgba8"))->Unit(benchmark::kMillisecond)->UseRealTime();
