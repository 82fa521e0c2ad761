// Animated PNG decoding beside Pillow: a 100-frame 640 x 480 animation
// decoded to its composed full-canvas RGBA frames. The file is written by
// Pillow itself (frames cut to the changed region, drawn with "over" and
// disposed as Pillow chooses), and a second one by our writer (every frame
// whole). Pillow's time is measured inside its own process, around the frame
// loop only, so that the interpreter's start is not counted. The machine is
// shared: both sides count CPU time of their own thread or process, and the
// counter "ratio" of our benchmark is our CPU time over Pillow's (the median
// of three of its runs).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "ImagingNetworkGraphics.h"

using namespace Imaging;

namespace {

constexpr int32_t Width = 640, Height = 480, Frames = 100;

std::string TempPath(const std::string& Name) {
  const char* dir = std::getenv("TMPDIR");
  return std::string(dir ? dir : "/tmp") + "/vorelle_bench_" + Name;
}

std::string Python() { return std::system("/usr/bin/python3 -c 'import PIL' 2>/dev/null") == 0 ? "/usr/bin/python3" : "python3"; }

// The animation as Pillow writes it: a soft background with a moving,
// partly translucent disc and a counter bar.
const std::string& PillowFile() {
  static std::string path = [] {
    std::string p = TempPath("pillow.apng");
    std::string script = TempPath("make_apng.py");
    std::ofstream(script) << "import sys\n"
                             "from PIL import Image, ImageDraw\n"
                             "W, H, N = 640, 480, 100\n"
                             "bg = Image.new('RGBA', (W, H))\n"
                             "px = bg.load()\n"
                             "for y in range(H):\n"
                             "    for x in range(W):\n"
                             "        px[x, y] = (x * 255 // W, y * 255 // H, (x ^ y) & 255, 255)\n"
                             "frames = []\n"
                             "for k in range(N):\n"
                             "    f = bg.copy()\n"
                             "    d = ImageDraw.Draw(f, 'RGBA')\n"
                             "    cx, cy = 60 + k * 5, 240 + (k % 20) * 6 - 60\n"
                             "    d.ellipse((cx - 50, cy - 50, cx + 50, cy + 50), fill=(255, 255, 255, 160))\n"
                             "    d.rectangle((0, 460, k * 6, 479), fill=(20, 20, 20, 255))\n"
                             "    frames.append(f)\n"
                             "frames[0].save(sys.argv[1], save_all=True, append_images=frames[1:], duration=40)\n";
    if (std::system((Python() + " '" + script + "' '" + p + "'").c_str()) != 0) return std::string();
    return p;
  }();
  return path;
}

std::vector<uint8_t> ReadAll(const std::string& Path) {
  std::ifstream is(Path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(is), {});
}

// The same kind of animation written by us: whole frames, source blend.
const std::string& OwnFile() {
  static std::string path = [] {
    InitImaging();
    TDynImageDataArray frames;
    for (int32_t k = 0; k < Frames; ++k) {
      TImageData f;
      CreateImage(Width, Height, fmtA8R8G8B8, f);
      auto* p = static_cast<uint8_t*>(f.Bits);
      for (int32_t y = 0; y < Height; ++y)
        for (int32_t x = 0; x < Width; ++x, p += 4) {
          const int dx = x - (60 + k * 5), dy = y - 240;
          const bool disc = dx * dx + dy * dy < 2500;
          p[0] = uint8_t(disc ? 255 : (x ^ y));
          p[1] = uint8_t(disc ? 255 : y * 255 / Height);
          p[2] = uint8_t(disc ? 255 : x * 255 / Width);
          p[3] = 255;
        }
      frames.push_back(f);
    }
    SetImagingOption(OptPngCompressLevel, 5);
    std::vector<uint8_t> buf(size_t(Width) * Height * 4 * Frames + (1 << 20));
    int32_t size = int32_t(buf.size());
    FindHandlerByExtension("png")->SaveToMemory(buf.data(), size, frames);
    ReleaseImageArray(frames);
    std::string p = TempPath("own.apng");
    std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(buf.data()), size);
    return p;
  }();
  return path;
}

const std::string& FileFor(int64_t Which) { return Which == 0 ? PillowFile() : OwnFile(); }

double ThreadSeconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// Pillow's decode time (CPU) of every composed frame, in seconds.
double PillowSeconds(const std::string& Path) {
  std::string script = TempPath("read_apng.py");
  std::ofstream(script) << "import sys, time\n"
                           "from PIL import Image, ImageSequence\n"
                           "t = time.process_time()\n"
                           "im = Image.open(sys.argv[1])\n"
                           "n = 0\n"
                           "for f in ImageSequence.Iterator(im):\n"
                           "    f.convert('RGBA').load()\n"
                           "    n += 1\n"
                           "print(n, time.process_time() - t)\n";
  FILE* out = popen((Python() + " '" + script + "' '" + Path + "'").c_str(), "r");
  if (!out) return -1;
  int n = 0;
  double seconds = -1;
  if (std::fscanf(out, "%d %lf", &n, &seconds) != 2 || n != Frames) seconds = -1;
  pclose(out);
  return seconds;
}

void BM_ApngDecode100_Ours(benchmark::State& State) {
  const std::string& path = FileFor(State.range(0));
  if (path.empty()) return State.SkipWithError("Pillow could not write the animation");
  InitImaging();
  const std::vector<uint8_t> data = ReadAll(path);
  TImageFileFormat* png = FindHandlerByExtension("png");
  // One untimed load first: the time of memory this process has never
  // touched depends on the host (a virtual machine backs it lazily), and
  // a converter that runs for a while reuses its memory.
  {
    TDynImageDataArray images;
    png->LoadFromMemory(data.data(), int32_t(data.size()), images);
    ReleaseImageArray(images);
  }
  double total = 0;
  for (auto _ : State) {
    const double start = ThreadSeconds();
    TDynImageDataArray images;
    png->LoadFromMemory(data.data(), int32_t(data.size()), images);
    if (images.size() != size_t(Frames) || images[0].Width != Width) State.SkipWithError("frames missing");
    ReleaseImageArray(images);
    total += ThreadSeconds() - start;
  }
  // Pillow's time varies by a third from run to run on a busy machine: the
  // median of three runs.
  std::vector<double> runs;
  for (int i = 0; i < 3; ++i)
    if (const double seconds = PillowSeconds(path); seconds > 0) runs.push_back(seconds);
  std::sort(runs.begin(), runs.end());
  const double pillow = runs.empty() ? -1 : runs[runs.size() / 2];
  if (pillow > 0 && State.iterations() > 0) State.counters["ratio"] = total / double(State.iterations()) / pillow;
}

void BM_ApngDecode100_Pillow(benchmark::State& State) {
  const std::string& path = FileFor(State.range(0));
  if (path.empty()) return State.SkipWithError("Pillow could not write the animation");
  for (auto _ : State) {
    const double seconds = PillowSeconds(path);
    if (seconds < 0) return State.SkipWithError("Pillow failed");
    State.SetIterationTime(seconds);
  }
}

// Argument 0: the file Pillow wrote; 1: the file we wrote.
BENCHMARK(BM_ApngDecode100_Ours)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ApngDecode100_Pillow)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);

}  // namespace
