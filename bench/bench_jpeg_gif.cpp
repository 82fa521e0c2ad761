// JPEG and GIF coding speed beside the peers.
//
// JPEG: our handler against the same libjpeg driven directly (memory source
// and destination, nothing else in between) and against the cjpeg/djpeg
// programs; the ratio of the first two is what our layers add. GIF: our
// encoder (colour reduction included) and our decoder of a 100-frame
// animation against ImageMagick's convert doing the same work.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "ImagingGif.h"
#include "ImagingJpeg.h"

extern "C" {
#include <jpeglib.h>
}

#include "BenchPhoto.h"

using namespace Imaging;

namespace {

void WriteFile(const std::string& Path, const void* Data, size_t Size) {
  std::ofstream os(Path, std::ios::binary);
  os.write(static_cast<const char*>(Data), std::streamsize(Size));
}

std::vector<uint8_t> OurJpeg(int32_t Quality) {
  Photo();  // also makes the core ready
  SetImagingOption(OptJpegQuality, Quality);
  std::vector<uint8_t> buf(64 << 20);
  int32_t size = int32_t(buf.size());
  FindHandlerByExtension("jpg")->SaveToMemory(buf.data(), size, {Photo()}, true);
  buf.resize(size_t(size));
  return buf;
}

const std::string& PhotoPpm() {
  static std::string path = [] {
    std::string p = TempPath("photo.ppm");
    std::ofstream os(p, std::ios::binary);
    os << "P6\n" << PhotoWidth << " " << PhotoHeight << "\n255\n";
    const auto* px = static_cast<const uint8_t*>(Photo().Bits);
    std::vector<uint8_t> row(size_t(PhotoWidth) * 3);
    for (int32_t y = 0; y < PhotoHeight; ++y) {
      const uint8_t* s = px + size_t(y) * PhotoWidth * 3;
      for (int32_t x = 0; x < PhotoWidth; ++x) {
        row[size_t(x) * 3] = s[x * 3 + 2];
        row[size_t(x) * 3 + 1] = s[x * 3 + 1];
        row[size_t(x) * 3 + 2] = s[x * 3];
      }
      os.write(reinterpret_cast<const char*>(row.data()), std::streamsize(row.size()));
    }
    return p;
  }();
  return path;
}

// Times one shell command per iteration (the peers run as programs).
void RunTimed(benchmark::State& State, const std::string& Command) {
  for (auto _ : State) {
    auto start = std::chrono::steady_clock::now();
    if (std::system(Command.c_str()) != 0) {
      State.SkipWithError(("failed: " + Command).c_str());
      return;
    }
    State.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
}

// ---------------------------------------------------------------------------
// JPEG
// ---------------------------------------------------------------------------

void BM_JpegEncode_Ours(benchmark::State& State) {
  const int32_t quality = int32_t(State.range(0));
  Photo();
  SetImagingOption(OptJpegQuality, quality);
  std::vector<uint8_t> buf(64 << 20);
  for (auto _ : State) {
    int32_t size = int32_t(buf.size());
    FindHandlerByExtension("jpg")->SaveToMemory(buf.data(), size, {Photo()}, true);
    benchmark::DoNotOptimize(size);
  }
}

// The same library with nothing of ours in between.
void BM_JpegEncode_Libjpeg(benchmark::State& State) {
  const int quality = int(State.range(0));
  const TImageData& img = Photo();
  for (auto _ : State) {
    jpeg_compress_struct info;
    jpeg_error_mgr err;
    info.err = jpeg_std_error(&err);
    jpeg_create_compress(&info);
    unsigned char* out = nullptr;
    unsigned long outSize = 0;
    jpeg_mem_dest(&info, &out, &outSize);
    info.image_width = JDIMENSION(img.Width);
    info.image_height = JDIMENSION(img.Height);
    info.input_components = 3;
    info.in_color_space = JCS_EXT_BGR;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, quality, TRUE);
    jpeg_start_compress(&info, TRUE);
    while (info.next_scanline < info.image_height) {
      JSAMPROW row = static_cast<uint8_t*>(img.Bits) + size_t(info.next_scanline) * img.Width * 3;
      jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    benchmark::DoNotOptimize(outSize);
    std::free(out);
  }
}

void BM_JpegEncode_Cjpeg(benchmark::State& State) {
  RunTimed(State, "cjpeg -quality " + std::to_string(State.range(0)) + " -outfile /dev/null '" + PhotoPpm() + "'");
}

const std::vector<uint8_t>& Jpeg90() {
  static std::vector<uint8_t> data = OurJpeg(90);
  return data;
}

void BM_JpegDecode_Ours(benchmark::State& State) {
  const std::vector<uint8_t>& data = Jpeg90();
  for (auto _ : State) {
    TDynImageDataArray images;
    FindHandlerByExtension("jpg")->LoadFromMemory(data.data(), int32_t(data.size()), images);
    ReleaseImageArray(images);
  }
}

void BM_JpegDecode_Libjpeg(benchmark::State& State) {
  const std::vector<uint8_t>& data = Jpeg90();
  for (auto _ : State) {
    // A fresh result buffer per decode, as a load that returns an image has.
    auto* pixels = static_cast<uint8_t*>(std::calloc(size_t(PhotoWidth) * PhotoHeight * 3, 1));
    jpeg_decompress_struct info;
    jpeg_error_mgr err;
    info.err = jpeg_std_error(&err);
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, data.data(), static_cast<unsigned long>(data.size()));
    jpeg_read_header(&info, TRUE);
    info.out_color_space = JCS_EXT_BGR;
    jpeg_start_decompress(&info);
    while (info.output_scanline < info.output_height) {
      JSAMPROW row = pixels + size_t(info.output_scanline) * PhotoWidth * 3;
      jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    benchmark::DoNotOptimize(pixels);
    std::free(pixels);
  }
}

void BM_JpegDecode_Djpeg(benchmark::State& State) {
  static std::string path = [] {
    std::string p = TempPath("photo90.jpg");
    WriteFile(p, Jpeg90().data(), Jpeg90().size());
    return p;
  }();
  RunTimed(State, "djpeg -pnm -outfile /dev/null '" + path + "'");
}

BENCHMARK(BM_JpegEncode_Ours)->Arg(90)->Arg(100)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_JpegEncode_Libjpeg)->Arg(90)->Arg(100)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_JpegEncode_Cjpeg)->Arg(90)->Arg(100)->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK(BM_JpegDecode_Ours)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_JpegDecode_Libjpeg)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_JpegDecode_Djpeg)->Unit(benchmark::kMillisecond)->UseManualTime();

// ---------------------------------------------------------------------------
// GIF
// ---------------------------------------------------------------------------

void BM_GifEncode_Ours(benchmark::State& State) {
  Photo();
  std::vector<uint8_t> buf(64 << 20);
  for (auto _ : State) {
    int32_t size = int32_t(buf.size());
    FindHandlerByExtension("gif")->SaveToMemory(buf.data(), size, {Photo()});  // reduction to 256 colours included
    benchmark::DoNotOptimize(size);
  }
}

// The LZW coding and file writing alone, on the photo already reduced.
void BM_GifEncode_OursIndexedInput(benchmark::State& State) {
  static TImageData reduced = [] {
    TImageData r;
    DuplicateImage(Photo(), r);
    ChangeImageFormat(r, fmtIndex8);
    return r;
  }();
  std::vector<uint8_t> buf(64 << 20);
  for (auto _ : State) {
    int32_t size = int32_t(buf.size());
    FindHandlerByExtension("gif")->SaveToMemory(buf.data(), size, {reduced});
    benchmark::DoNotOptimize(size);
  }
}

void BM_GifEncode_ImageMagick(benchmark::State& State) {
  RunTimed(State, "/usr/bin/convert '" + PhotoPpm() + "' '" + TempPath("im.gif") + "'");
}

// 100 frames of 400 x 300 with a moving, partly transparent patch.
constexpr int32_t AnimWidth = 400, AnimHeight = 300, AnimFrames = 100;

const std::vector<uint8_t>& Animation() {
  static std::vector<uint8_t> data = [] {
    InitImaging();
    TDynImageDataArray frames;
    for (int32_t k = 0; k < AnimFrames; ++k) {
      TImageData f;
      CreateImage(AnimWidth, AnimHeight, fmtIndex8, f);
      auto* p = static_cast<uint8_t*>(f.Bits);
      for (int32_t y = 0; y < AnimHeight; ++y)
        for (int32_t x = 0; x < AnimWidth; ++x)
          p[y * AnimWidth + x] = uint8_t(((x + k * 3) / 5 + (y / 7) * 3 + ((x * y + k) % 11 == 0 ? 17 : 0)) & 255);
      for (int32_t c = 0; c < 256; ++c) f.Palette[c] = Color32(255, uint8_t(c), uint8_t(255 - c), uint8_t(c * 3));
      frames.push_back(f);
    }
    std::vector<uint8_t> buf(64 << 20);
    int32_t size = int32_t(buf.size());
    FindHandlerByExtension("gif")->SaveToMemory(buf.data(), size, frames);
    buf.resize(size_t(size));
    ReleaseImageArray(frames);
    return buf;
  }();
  return data;
}

void BM_GifDecode100_Ours(benchmark::State& State) {
  const std::vector<uint8_t>& data = Animation();
  auto* gif = dynamic_cast<TGIFFileFormat*>(FindHandlerByExtension("gif"));
  gif->SetLoadAnimated(State.range(0) != 0);
  for (auto _ : State) {
    TDynImageDataArray images;
    gif->LoadFromMemory(data.data(), int32_t(data.size()), images);
    if (images.size() != size_t(AnimFrames)) State.SkipWithError("frames missing");
    ReleaseImageArray(images);
  }
  gif->SetLoadAnimated(true);
}

void BM_GifDecode100_ImageMagick(benchmark::State& State) {
  static std::string path = [] {
    std::string p = TempPath("anim.gif");
    WriteFile(p, Animation().data(), Animation().size());
    return p;
  }();
  RunTimed(State, "/usr/bin/convert '" + path + "'" + (State.range(0) ? " -coalesce" : "") + " null:");
}

BENCHMARK(BM_GifEncode_Ours)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GifEncode_OursIndexedInput)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GifEncode_ImageMagick)->Unit(benchmark::kMillisecond)->UseManualTime();
// Argument 1: frames composed onto the canvas; 0: raw frames.
BENCHMARK(BM_GifDecode100_Ours)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GifDecode100_ImageMagick)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseManualTime();

}  // namespace
