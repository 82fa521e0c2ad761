// Portable maps at 4000 x 3000: load, save and load+save of PPM (P6), PGM (P5)
// and PFM (PF) beside ImageMagick and netpbm doing the same on the same
// files. Each iteration times our operation and the peers' commands; the
// counters give the milliseconds and the ratio ours / peer (below 1 means
// faster than the peer; peer times include the start of their process).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

#include "Imaging.h"

using namespace Imaging;
namespace fs = std::filesystem;

namespace {

constexpr int32_t BenchWidth = 4000;
constexpr int32_t BenchHeight = 3000;

struct TMapCase {
  const char* Ext;
  TImageFormat Format;
  const char* NetpbmLoad;       // reads every sample of %in (output discarded)
  const char* NetpbmRoundTrip;  // reads %in, writes %out
};

const TMapCase Cases[] = {
    {"ppm", fmtR8G8B8, "pamtopam < %in > /dev/null", "ppmtoppm < %in > %out"},
    {"pgm", fmtGray8, "pamtopam < %in > /dev/null", "pgmtopgm < %in > %out"},
    {"pfm", fmtA32B32G32R32F, "pfmtopam %in > /dev/null", "pfmtopam %in | pamtopfm > %out"},
};

fs::path BenchDir() {
  static fs::path dir = [] {
    fs::path d = fs::temp_directory_path() / ("vorelle-bench-pnm-" + std::to_string(::getpid()));
    fs::create_directories(d);
    return d;
  }();
  // The inputs are large: remove them when the program ends.
  static struct TCleanup {
    ~TCleanup() {
      std::error_code ec;
      fs::remove_all(dir, ec);
    }
  } cleanup;
  return dir;
}

std::string Replace(std::string S, const std::string& From, const std::string& To) {
  for (size_t p = S.find(From); p != std::string::npos; p = S.find(From, p + To.size())) S.replace(p, From.size(), To);
  return S;
}

double TimeCommand(const std::string& Command) {
  auto t0 = std::chrono::steady_clock::now();
  int rc = std::system((Command + " >/dev/null 2>&1").c_str());
  (void)rc;
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

template <typename F>
double TimeIt(F&& Body) {
  auto t0 = std::chrono::steady_clock::now();
  Body();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// A smooth pattern with some noise, written once per format by our writer.
const std::string& InputFile(const TMapCase& C) {
  static std::string files[3];
  size_t index = size_t(&C - Cases);
  if (files[index].empty()) {
    InitImaging();
    TImageData image;
    CreateImage(BenchWidth, BenchHeight, fmtR8G8B8, image);
    auto* p = static_cast<uint8_t*>(image.Bits);
    uint32_t seed = 12345;
    for (int32_t y = 0; y < BenchHeight; ++y)
      for (int32_t x = 0; x < BenchWidth; ++x, p += 3) {
        seed = seed * 1664525u + 1013904223u;
        p[0] = uint8_t(x / 16 + (seed >> 28));
        p[1] = uint8_t(y / 12 + (seed >> 29));
        p[2] = uint8_t((x + y) / 28);
      }
    ChangeImageFormat(image, C.Format);
    files[index] = (BenchDir() / (std::string("in.") + C.Ext)).string();
    WriteImageFile(files[index], image);
    ReleaseImage(image);
  }
  return files[index];
}

void Report(benchmark::State& State, double Own, double Magick, double Netpbm, int64_t Runs) {
  State.counters["own_ms"] = Own * 1000 / double(Runs);
  State.counters["magick_ms"] = Magick * 1000 / double(Runs);
  State.counters["netpbm_ms"] = Netpbm * 1000 / double(Runs);
  State.counters["ratio_magick"] = Own / Magick;
  State.counters["ratio_netpbm"] = Own / Netpbm;
}

void BM_Load(benchmark::State& State) {
  const TMapCase& c = Cases[State.range(0)];
  const std::string& in = InputFile(c);
  State.SetLabel(c.Ext);
  double own = 0, magick = 0, netpbm = 0;
  int64_t runs = 0;
  for (auto _ : State) {
    TImageData image;
    double t = TimeIt([&] { ReadImageFile(in, image); });
    ReleaseImage(image);
    own += t;
    State.SetIterationTime(t);
    magick += TimeCommand("convert " + in + " null:");
    netpbm += TimeCommand(Replace(c.NetpbmLoad, "%in", in));
    ++runs;
  }
  Report(State, own, magick, netpbm, runs);
}

// Load and save from file to file; the peers' save time is their round trip
// less their load.
void BM_LoadSave(benchmark::State& State) {
  const TMapCase& c = Cases[State.range(0)];
  const std::string& in = InputFile(c);
  std::string out = (BenchDir() / (std::string("out.") + c.Ext)).string();
  State.SetLabel(c.Ext);
  double own = 0, ownSave = 0, magick = 0, magickLoad = 0, netpbm = 0, netpbmLoad = 0;
  int64_t runs = 0;
  for (auto _ : State) {
    TImageData image;
    double load = TimeIt([&] { ReadImageFile(in, image); });
    double save = TimeIt([&] { WriteImageFile(out, image); });
    ReleaseImage(image);
    own += load + save;
    ownSave += save;
    State.SetIterationTime(load + save);
    magick += TimeCommand("convert " + in + " " + out);
    magickLoad += TimeCommand("convert " + in + " null:");
    netpbm += TimeCommand(Replace(Replace(c.NetpbmRoundTrip, "%in", in), "%out", out));
    netpbmLoad += TimeCommand(Replace(c.NetpbmLoad, "%in", in));
    ++runs;
  }
  Report(State, own, magick, netpbm, runs);
  State.counters["own_save_ms"] = ownSave * 1000 / double(runs);
  // Only meaningful when the peer's round trip took longer than its load
  // (netpbm's "load" commands are separate programs with their own cost).
  if (magick > magickLoad) State.counters["save_ratio_magick"] = ownSave / (magick - magickLoad);
  if (netpbm > netpbmLoad) State.counters["save_ratio_netpbm"] = ownSave / (netpbm - netpbmLoad);
}

}  // namespace

BENCHMARK(BM_Load)->DenseRange(0, 2)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadSave)->DenseRange(0, 2)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);
