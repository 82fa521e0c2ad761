// PNG decoding and encoding of a 4000 x 3000 RGB and RGBA image at zlib
// levels 0, 5 and 9 with the row filter choices 0 (none), 5 (Paeth for RGB
// and RGBA) and 6 (adaptive), beside libpng doing the same job on the same
// data (BGR memory order through png_set_bgr, default zlib strategy, the same
// filter). Every iteration runs both, one after the other, and the counters
// give both times and their ratio (ours / libpng).
#include <benchmark/benchmark.h>

#include <ctime>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "Imaging.h"

#ifdef VORELLE_HAVE_LIBPNG
#include <png.h>
#include <zlib.h>
#endif

using namespace Imaging;

namespace {

constexpr int32_t Width = 4000;
constexpr int32_t Height = 3000;

// Photograph-like content: smooth gradients with some noise, so that the
// filters and deflate have real work.
const TImageData& SourceImage(bool Alpha) {
  static TImageData images[2];
  TImageData& img = images[Alpha ? 1 : 0];
  if (!img.Bits) {
    InitImaging();
    CreateImage(Width, Height, Alpha ? fmtA8R8G8B8 : fmtR8G8B8, img);
    std::mt19937 rng(1);
    const int bpp = Alpha ? 4 : 3;
    auto* p = static_cast<uint8_t*>(img.Bits);
    for (int32_t y = 0; y < Height; ++y)
      for (int32_t x = 0; x < Width; ++x) {
        uint8_t* px = p + (size_t(y) * Width + x) * bpp;
        uint32_t n = rng();
        px[0] = uint8_t((x / 16 + y / 9) + (n & 7));
        px[1] = uint8_t((x * y) / 40000 + ((n >> 3) & 3));
        px[2] = uint8_t((y / 12) ^ (x / 64));
        if (Alpha) px[3] = uint8_t(255 - ((x + y) / 28) + ((n >> 5) & 1));
      }
  }
  return img;
}

// The machine is shared: both sides are timed in CPU time of this thread.
double ThreadSeconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// The encoded file in a block left uninitialised before the save, as
// libpng's output below is only reserved.
struct TEncoded {
  std::unique_ptr<uint8_t[]> Block;
  size_t Size = 0;
};

TEncoded OurEncode(const TImageData& Image, int Level, int Filter) {
  SetImagingOption(OptPngCompressLevel, Level);
  SetImagingOption(OptPngPreFilter, Filter);
  const size_t room = size_t(Image.Size) + Image.Size / 8 + (1 << 20);
  TEncoded out{std::unique_ptr<uint8_t[]>(new uint8_t[room]), 0};
  int32_t size = int32_t(room);
  TDynImageDataArray images{Image};
  if (FindHandlerByExtension("png")->SaveToMemory(out.Block.get(), size, images, true)) out.Size = size_t(size);
  return out;
}

void OurDecode(const std::vector<uint8_t>& Png) {
  TDynImageDataArray images;
  FindHandlerByExtension("png")->LoadFromMemory(Png.data(), int32_t(Png.size()), images);
  benchmark::DoNotOptimize(images[0].Bits);
  ReleaseImageArray(images);
}

#ifdef VORELLE_HAVE_LIBPNG
struct TReadState {
  const std::vector<uint8_t>* Data;
  size_t Pos;
};

void ReadFromMemory(png_structp Png, png_bytep Out, png_size_t Count) {
  auto* s = static_cast<TReadState*>(png_get_io_ptr(Png));
  if (s->Pos + Count > s->Data->size()) png_error(Png, "read past end");
  std::memcpy(Out, s->Data->data() + s->Pos, Count);
  s->Pos += Count;
}

void WriteToMemory(png_structp Png, png_bytep Data, png_size_t Count) {
  auto* v = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(Png));
  v->insert(v->end(), Data, Data + Count);
}

void FlushNothing(png_structp) {}

// Decodes into a new pixel block, as our decoder makes a new image.
void LibpngDecode(const std::vector<uint8_t>& Data) {
  std::unique_ptr<uint8_t[]> Pixels;
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  TReadState state{&Data, 0};
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_read_struct(&png, &info, nullptr);
    return;
  }
  png_set_read_fn(png, &state, ReadFromMemory);
  png_read_info(png, info);
  png_set_bgr(png);
  png_read_update_info(png, info);
  const png_uint_32 h = png_get_image_height(png, info);
  const size_t rowBytes = png_get_rowbytes(png, info);
  Pixels.reset(new uint8_t[rowBytes * h]);
  std::vector<png_bytep> rows(h);
  for (png_uint_32 y = 0; y < h; ++y) rows[y] = Pixels.get() + y * rowBytes;
  png_read_image(png, rows.data());
  png_read_end(png, nullptr);
  png_destroy_read_struct(&png, &info, nullptr);
  benchmark::DoNotOptimize(Pixels.get());
}

std::vector<uint8_t> LibpngEncode(const TImageData& Image, int Level, int Filter) {
  std::vector<uint8_t> out;
  out.reserve(size_t(Image.Size) + (1 << 20));
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return {};
  }
  png_set_write_fn(png, &out, WriteToMemory, FlushNothing);
  const bool alpha = Image.Format == fmtA8R8G8B8;
  png_set_IHDR(png, info, png_uint_32(Image.Width), png_uint_32(Image.Height), 8,
               alpha ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_set_compression_level(png, Level);
  png_set_compression_strategy(png, Z_DEFAULT_STRATEGY);
  png_set_filter(png, 0, Filter == 0 ? PNG_FILTER_NONE : Filter == 5 ? PNG_FILTER_PAETH : PNG_ALL_FILTERS);
  png_write_info(png, info);
  png_set_bgr(png);
  const size_t rowBytes = size_t(Image.Width) * (alpha ? 4 : 3);
  const auto* p = static_cast<const uint8_t*>(Image.Bits);
  for (int32_t y = 0; y < Image.Height; ++y) png_write_row(png, const_cast<png_bytep>(p + y * rowBytes));
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return out;
}
#endif

void SetCounters(benchmark::State& State, double Ours, double Theirs, int Runs) {
  State.counters["ours_ms"] = Ours / Runs * 1000.0;
#ifdef VORELLE_HAVE_LIBPNG
  State.counters["libpng_ms"] = Theirs / Runs * 1000.0;
  State.counters["ratio"] = Theirs > 0 ? Ours / Theirs : 0.0;
#else
  (void)Theirs;
#endif
}

void BM_Decode(benchmark::State& State) {
  const bool alpha = State.range(0) != 0;
  const int level = int(State.range(1)), filter = int(State.range(2));
  const TEncoded encoded = OurEncode(SourceImage(alpha), level, filter);
  const std::vector<uint8_t> png(encoded.Block.get(), encoded.Block.get() + encoded.Size);
  double ours = 0, theirs = 0;
  int runs = 0;
  for (auto _ : State) {
    double t = ThreadSeconds();
    OurDecode(png);
    ours += ThreadSeconds() - t;
#ifdef VORELLE_HAVE_LIBPNG
    t = ThreadSeconds();
    LibpngDecode(png);
    theirs += ThreadSeconds() - t;
#endif
    ++runs;
  }
  SetCounters(State, ours, theirs, runs);
  State.SetLabel(std::string(alpha ? "RGBA" : "RGB") + " level " + std::to_string(level) + " filter " +
                 std::to_string(filter) + ", " + std::to_string(png.size() / 1024) + " KiB");
}

void BM_Encode(benchmark::State& State) {
  const bool alpha = State.range(0) != 0;
  const int level = int(State.range(1)), filter = int(State.range(2));
  const TImageData& img = SourceImage(alpha);
  double ours = 0, theirs = 0;
  int runs = 0;
  size_t ourSize = 0, theirSize = 0;
  for (auto _ : State) {
    double t = ThreadSeconds();
    ourSize = OurEncode(img, level, filter).Size;
    ours += ThreadSeconds() - t;
#ifdef VORELLE_HAVE_LIBPNG
    t = ThreadSeconds();
    theirSize = LibpngEncode(img, level, filter).size();
    theirs += ThreadSeconds() - t;
#endif
    ++runs;
  }
  SetCounters(State, ours, theirs, runs);
  State.counters["ours_KiB"] = double(ourSize) / 1024.0;
  State.counters["libpng_KiB"] = double(theirSize) / 1024.0;
  State.SetLabel(std::string(alpha ? "RGBA" : "RGB") + " level " + std::to_string(level) + " filter " +
                 std::to_string(filter));
}

void Configs(benchmark::internal::Benchmark* B) {
  for (int alpha : {0, 1})
    for (int level : {0, 5, 9})
      for (int filter : {0, 5, 6}) B->Args({alpha, level, filter});
  B->Unit(benchmark::kMillisecond)->Iterations(3);
}

}  // namespace

BENCHMARK(BM_Decode)->Apply(Configs);
BENCHMARK(BM_Encode)->Apply(Configs);
