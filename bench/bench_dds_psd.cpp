// DirectDraw Surface saves of a 4000 x 3000 picture with its whole mipmap
// chain in DXT1 and DXT5, and Photoshop loads and saves of the same picture,
// next to ImageMagick's convert doing the same. Each benchmark reports
// "vs_convert": our time per operation divided by convert's (best of three
// runs with std::system; for saves convert reads a raw PPM, whose reading is
// measured alone and subtracted). On a busy machine wall times say little, so
// "vs_convert_cpu" gives the same ratio over processor time (ours from
// getrusage for the process, convert's for the finished child processes).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

#include <sys/resource.h>

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

double CpuSeconds(int Who) {
  rusage u{};
  getrusage(Who, &u);
  return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

struct TPeerTime {
  double Wall = 0, Cpu = 0;
};

// Best of three runs of a command, wall and processor time.
TPeerTime PeerTime(const std::string& Command) {
  static std::map<std::string, TPeerTime> cache;
  auto it = cache.find(Command);
  if (it != cache.end()) return it->second;
  TPeerTime best{1e30, 1e30};
  for (int i = 0; i < 3; ++i) {
    const double c0 = CpuSeconds(RUSAGE_CHILDREN);
    auto t0 = std::chrono::steady_clock::now();
    int rc = std::system((Command + " >/dev/null 2>&1").c_str());
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (rc != 0) return cache[Command] = TPeerTime{};
    best.Wall = std::min(best.Wall, s);
    best.Cpu = std::min(best.Cpu, CpuSeconds(RUSAGE_CHILDREN) - c0);
  }
  return cache[Command] = best;
}

// Our time of one run of Work: wall and processor seconds.
template <typename TWork>
TPeerTime Measure(TWork&& Work) {
  const double c0 = CpuSeconds(RUSAGE_SELF);
  auto t0 = std::chrono::steady_clock::now();
  Work();
  return TPeerTime{std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(),
                   CpuSeconds(RUSAGE_SELF) - c0};
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

void ReportSave(benchmark::State& State, TPeerTime Own, const std::string& PeerOptions, const std::string& PeerOut) {
  State.counters["ms_per_op"] = Own.Wall * 1000.0;
  State.counters["cpu_ms_per_op"] = Own.Cpu * 1000.0;
  if (!HaveConvert()) return;
  const TPeerTime read = PeerTime("convert '" + PeerInput() + "' null:");
  const TPeerTime both = PeerTime("convert '" + PeerInput() + "' " + PeerOptions + " '" + PeerOut + "'");
  if (both.Wall > read.Wall && read.Wall > 0) {
    State.counters["convert_ms"] = (both.Wall - read.Wall) * 1000.0;
    State.counters["vs_convert"] = Own.Wall / (both.Wall - read.Wall);
  }
  if (both.Cpu > read.Cpu && read.Cpu > 0) {
    State.counters["convert_cpu_ms"] = (both.Cpu - read.Cpu) * 1000.0;
    State.counters["vs_convert_cpu"] = Own.Cpu / (both.Cpu - read.Cpu);
  }
}

TPeerTime PerOp(TPeerTime Total, int64_t Ops) {
  const double n = double(std::max<int64_t>(Ops, 1));
  return TPeerTime{Total.Wall / n, Total.Cpu / n};
}

// The whole chain made from the picture (each level halved from the one
// before), compressed, and written.
void DdsSaveMipMaps(benchmark::State& State, TImageFormat Format, std::string Compression) {
  TImageData picture = MakePicture(fmtA8R8G8B8);
  const std::string out = (WorkDir() / ("mipmaps-" + Compression + ".dds")).string();
  TPeerTime total;
  int64_t ops = 0;
  for (auto _ : State) {
    const TPeerTime t = Measure([&] {
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
    });
    total.Wall += t.Wall;
    total.Cpu += t.Cpu;
    ++ops;
  }
  ReleaseImage(picture);
  ReportSave(State, PerOp(total, ops),
             "-define dds:compression=" + Compression + " -define dds:mipmaps=12",
             out + ".peer.dds");
}

void PsdSave(benchmark::State& State, TImageFormat Format, std::string Name) {
  TImageData picture = MakePicture(Format);
  const std::string out = (WorkDir() / (Name + ".psd")).string();
  TPeerTime total;
  int64_t ops = 0;
  for (auto _ : State) {
    const TPeerTime t = Measure([&] { WriteImageFile(out, picture); });
    total.Wall += t.Wall;
    total.Cpu += t.Cpu;
    ++ops;
  }
  ReleaseImage(picture);
  ReportSave(State, PerOp(total, ops), Format == fmtR8G8B8 ? "-alpha off" : "-alpha set",
             out + ".peer.psd");
}

void PsdLoad(benchmark::State& State, TImageFormat Format, std::string Name) {
  const std::string file = (WorkDir() / (Name + "-load.psd")).string();
  TImageData picture = MakePicture(Format);
  WriteImageFile(file, picture);
  ReleaseImage(picture);
  TImageFileFormat* handler = FindHandlerByExtension("psd");
  TPeerTime total;
  int64_t ops = 0;
  for (auto _ : State) {
    const TPeerTime t = Measure([&] {
      TDynImageDataArray images;
      handler->LoadFromFile(file, images);
      benchmark::DoNotOptimize(images.data());
      ReleaseImageArray(images);
    });
    total.Wall += t.Wall;
    total.Cpu += t.Cpu;
    ++ops;
  }
  const TPeerTime own = PerOp(total, ops);
  State.counters["ms_per_op"] = own.Wall * 1000.0;
  State.counters["cpu_ms_per_op"] = own.Cpu * 1000.0;
  if (HaveConvert()) {
    const TPeerTime peer = PeerTime("convert '" + file + "[0]' null:");
    if (peer.Wall > 0) {
      State.counters["convert_ms"] = peer.Wall * 1000.0;
      State.counters["vs_convert"] = own.Wall / peer.Wall;
    }
    if (peer.Cpu > 0) {
      State.counters["convert_cpu_ms"] = peer.Cpu * 1000.0;
      State.counters["vs_convert_cpu"] = own.Cpu / peer.Cpu;
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
