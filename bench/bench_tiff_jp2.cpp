// TIFF and JPEG 2000 coding speed beside the peers, on a 4000 x 3000 photo.
//
// TIFF (LZW and Deflate): our handler against libtiff driven directly over
// memory with nothing of ours in between (the ratio of the two is what our
// layers add), and against tiffcp and ImageMagick's convert doing a whole
// decode and encode as programs. JPEG 2000: our handler against OpenJPEG
// driven directly, and against opj_compress / opj_decompress.
#include <benchmark/benchmark.h>

#include <tiffio.h>

#include <openjpeg.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "ImagingJpeg2000.h"
#include "ImagingTiff.h"

#include "BenchPhoto.h"

using namespace Imaging;

namespace {

void WriteFile(const std::string& Path, const std::vector<uint8_t>& Data) {
  std::ofstream os(Path, std::ios::binary);
  os.write(reinterpret_cast<const char*>(Data.data()), std::streamsize(Data.size()));
}

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

std::vector<uint8_t> OurSave(const char* Ext, const std::vector<std::pair<int32_t, int32_t>>& Options) {
  Photo();
  for (auto [id, value] : Options) SetImagingOption(id, value);
  std::vector<uint8_t> buf(96 << 20);
  int32_t size = int32_t(buf.size());
  FindHandlerByExtension(Ext)->SaveToMemory(buf.data(), size, {Photo()}, true);
  buf.resize(size_t(size));
  return buf;
}

// ---------------------------------------------------------------------------
// TIFF
// ---------------------------------------------------------------------------

int32_t TiffOption(int64_t Compression) { return Compression == COMPRESSION_LZW ? 1 : 3; }

// A memory file for libtiff's client I/O.
struct TMemFile {
  std::vector<uint8_t> Data;
  size_t Pos = 0;
};

tmsize_t MemRead(thandle_t H, void* B, tmsize_t N) {
  auto* m = static_cast<TMemFile*>(H);
  tmsize_t n = std::min<tmsize_t>(N, tmsize_t(m->Data.size()) - tmsize_t(m->Pos));
  if (n <= 0) return 0;
  std::memcpy(B, m->Data.data() + m->Pos, size_t(n));
  m->Pos += size_t(n);
  return n;
}
tmsize_t MemWrite(thandle_t H, void* B, tmsize_t N) {
  auto* m = static_cast<TMemFile*>(H);
  if (m->Pos + size_t(N) > m->Data.size()) m->Data.resize(m->Pos + size_t(N));
  std::memcpy(m->Data.data() + m->Pos, B, size_t(N));
  m->Pos += size_t(N);
  return N;
}
toff_t MemSeek(thandle_t H, toff_t Off, int Whence) {
  auto* m = static_cast<TMemFile*>(H);
  int64_t base = Whence == SEEK_CUR ? int64_t(m->Pos) : Whence == SEEK_END ? int64_t(m->Data.size()) : 0;
  m->Pos = size_t(base + int64_t(Off));
  return m->Pos;
}
int MemClose(thandle_t) { return 0; }
toff_t MemSize(thandle_t H) { return static_cast<TMemFile*>(H)->Data.size(); }
int MemMap(thandle_t, void**, toff_t*) { return 0; }
void MemUnmap(thandle_t, void*, toff_t) {}

TIFF* MemOpen(TMemFile& F, const char* Mode) {
  return TIFFClientOpen("bench", Mode, &F, MemRead, MemWrite, MemSeek, MemClose, MemSize, MemMap, MemUnmap);
}

const std::vector<uint8_t>& TiffOf(int64_t Compression) {
  static std::vector<uint8_t> lzw = OurSave("tif", {{OptTiffCompression, 1}});
  static std::vector<uint8_t> deflate = OurSave("tif", {{OptTiffCompression, 3}});
  return Compression == COMPRESSION_LZW ? lzw : deflate;
}

const std::string& TiffFile(int64_t Compression) {
  static std::string lzw, deflate;
  std::string& path = Compression == COMPRESSION_LZW ? lzw : deflate;
  if (path.empty()) {
    path = TempPath(Compression == COMPRESSION_LZW ? "photo_lzw.tif" : "photo_deflate.tif");
    WriteFile(path, TiffOf(Compression));
  }
  return path;
}

void BM_TiffSave_Ours(benchmark::State& State) {
  Photo();
  SetImagingOption(OptTiffCompression, TiffOption(State.range(0)));
  std::vector<uint8_t> buf(96 << 20);
  for (auto _ : State) {
    int32_t size = int32_t(buf.size());
    FindHandlerByExtension("tif")->SaveToMemory(buf.data(), size, {Photo()}, true);
    benchmark::DoNotOptimize(size);
  }
}

// The same strips written by libtiff with nothing of ours in between.
void BM_TiffSave_Libtiff(benchmark::State& State) {
  const TImageData& img = Photo();
  std::vector<uint8_t> row(size_t(img.Width) * 3);
  for (auto _ : State) {
    TMemFile f;
    f.Data.reserve(96 << 20);
    TIFF* tif = MemOpen(f, "w");
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, uint32_t(img.Width));
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, uint32_t(img.Height));
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 3);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, uint16_t(State.range(0)));
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, uint32_t(img.Height));
    for (int32_t y = 0; y < img.Height; ++y) {
      std::memcpy(row.data(), static_cast<const uint8_t*>(img.Bits) + size_t(y) * row.size(), row.size());
      TIFFWriteScanline(tif, row.data(), uint32_t(y), 0);
    }
    TIFFWriteDirectory(tif);
    TIFFClose(tif);
    benchmark::DoNotOptimize(f.Data.data());
  }
}

void BM_TiffLoad_Ours(benchmark::State& State) {
  const std::vector<uint8_t>& data = TiffOf(State.range(0));
  for (auto _ : State) {
    TDynImageDataArray images;
    FindHandlerByExtension("tif")->LoadFromMemory(data.data(), int32_t(data.size()), images);
    ReleaseImageArray(images);
  }
}

void BM_TiffLoad_Libtiff(benchmark::State& State) {
  TMemFile f;
  f.Data = TiffOf(State.range(0));
  for (auto _ : State) {
    f.Pos = 0;
    auto* pixels = static_cast<uint8_t*>(std::calloc(size_t(PhotoWidth) * PhotoHeight * 3, 1));
    TIFF* tif = MemOpen(f, "r");
    for (uint32_t y = 0; y < uint32_t(PhotoHeight); ++y)
      TIFFReadScanline(tif, pixels + size_t(y) * PhotoWidth * 3, y, 0);
    TIFFClose(tif);
    benchmark::DoNotOptimize(pixels);
    std::free(pixels);
  }
}

// Whole decode and encode by the peers' programs.
void BM_TiffCopy_Tiffcp(benchmark::State& State) {
  const char* scheme = State.range(0) == COMPRESSION_LZW ? "lzw" : "zip";
  RunTimed(State, std::string("tiffcp -s -r 3000 -c ") + scheme + " '" + TiffFile(State.range(0)) + "' '" +
                      TempPath("out.tif") + "'");
}

void BM_TiffCopy_ImageMagick(benchmark::State& State) {
  const char* scheme = State.range(0) == COMPRESSION_LZW ? "LZW" : "Zip";
  RunTimed(State, std::string("/usr/bin/convert '") + TiffFile(State.range(0)) + "' -compress " + scheme + " '" +
                      TempPath("out_im.tif") + "'");
}

void BM_TiffCopy_Ours(benchmark::State& State) {
  const std::vector<uint8_t>& data = TiffOf(State.range(0));
  SetImagingOption(OptTiffCompression, TiffOption(State.range(0)));
  std::vector<uint8_t> buf(96 << 20);
  for (auto _ : State) {
    TDynImageDataArray images;
    FindHandlerByExtension("tif")->LoadFromMemory(data.data(), int32_t(data.size()), images);
    int32_t size = int32_t(buf.size());
    FindHandlerByExtension("tif")->SaveToMemory(buf.data(), size, images, true);
    ReleaseImageArray(images);
  }
}

// ---------------------------------------------------------------------------
// JPEG 2000
// ---------------------------------------------------------------------------

const std::vector<uint8_t>& Jp2() {
  static std::vector<uint8_t> data = OurSave("jp2", {{OptJpeg2000Quality, 80}, {OptJpeg2000Lossless, 0}});
  return data;
}

void BM_Jp2Encode_Ours(benchmark::State& State) {
  Photo();
  SetImagingOption(OptJpeg2000Quality, 80);
  SetImagingOption(OptJpeg2000Lossless, 0);
  std::vector<uint8_t> buf(96 << 20);
  for (auto _ : State) {
    int32_t size = int32_t(buf.size());
    FindHandlerByExtension("jp2")->SaveToMemory(buf.data(), size, {Photo()}, true);
    benchmark::DoNotOptimize(size);
  }
}

// The same encoder set-up on OpenJPEG with the samples already in place and
// the output into a file stream of OpenJPEG's own.
void BM_Jp2Encode_OpenJpeg(benchmark::State& State) {
  const TImageData& img = Photo();
  for (auto _ : State) {
    opj_image_cmptparm_t parms[3];
    std::memset(parms, 0, sizeof parms);
    for (auto& p : parms) {
      p.dx = p.dy = 1;
      p.w = uint32_t(img.Width);
      p.h = uint32_t(img.Height);
      p.prec = 8;
    }
    opj_image_t* image = opj_image_create(3, parms, OPJ_CLRSPC_SRGB);
    image->x1 = uint32_t(img.Width);
    image->y1 = uint32_t(img.Height);
    const auto* px = static_cast<const uint8_t*>(img.Bits);
    for (size_t i = 0; i < size_t(img.Width) * img.Height; ++i)
      for (int c = 0; c < 3; ++c) image->comps[c].data[i] = px[i * 3 + 2 - c];
    opj_cparameters_t params;
    opj_set_default_encoder_parameters(&params);
    params.cp_disto_alloc = 1;
    params.tcp_numlayers = 1;
    params.numresolution = 6;
    params.tcp_rates[0] = TJpeg2000FileFormat::QualityToRate(80, img.Width, img.Height, 3, 3);
    params.cod_format = 1;
    opj_codec_t* codec = opj_create_compress(OPJ_CODEC_JP2);
    opj_setup_encoder(codec, &params, image);
    opj_stream_t* stream = opj_stream_create_default_file_stream(TempPath("direct.jp2").c_str(), OPJ_FALSE);
    opj_start_compress(codec, image, stream);
    opj_encode(codec, stream);
    opj_end_compress(codec, stream);
    opj_stream_destroy(stream);
    opj_destroy_codec(codec);
    opj_image_destroy(image);
  }
}

void BM_Jp2Encode_OpjCompress(benchmark::State& State) {
  static std::string ppm = [] {
    std::string p = TempPath("photo.ppm");
    std::ofstream os(p, std::ios::binary);
    os << "P6\n" << PhotoWidth << " " << PhotoHeight << "\n255\n";
    const auto* px = static_cast<const uint8_t*>(Photo().Bits);
    std::vector<uint8_t> row(size_t(PhotoWidth) * 3);
    for (int32_t y = 0; y < PhotoHeight; ++y) {
      const uint8_t* s = px + size_t(y) * PhotoWidth * 3;
      for (int32_t x = 0; x < PhotoWidth; ++x)
        for (int c = 0; c < 3; ++c) row[size_t(x) * 3 + c] = s[x * 3 + 2 - c];
      os.write(reinterpret_cast<const char*>(row.data()), std::streamsize(row.size()));
    }
    return p;
  }();
  const float rate = TJpeg2000FileFormat::QualityToRate(80, PhotoWidth, PhotoHeight, 3, 3);
  RunTimed(State, "opj_compress -i '" + ppm + "' -o '" + TempPath("opj.jp2") + "' -r " + std::to_string(rate) +
                      " -n 6 >/dev/null");
}

void BM_Jp2Decode_Ours(benchmark::State& State) {
  const std::vector<uint8_t>& data = Jp2();
  for (auto _ : State) {
    TDynImageDataArray images;
    FindHandlerByExtension("jp2")->LoadFromMemory(data.data(), int32_t(data.size()), images);
    ReleaseImageArray(images);
  }
}

void BM_Jp2Decode_OpenJpeg(benchmark::State& State) {
  static std::string path = [] {
    std::string p = TempPath("photo.jp2");
    WriteFile(p, Jp2());
    return p;
  }();
  for (auto _ : State) {
    opj_codec_t* codec = opj_create_decompress(OPJ_CODEC_JP2);
    opj_dparameters_t params;
    opj_set_default_decoder_parameters(&params);
    opj_setup_decoder(codec, &params);
    opj_stream_t* stream = opj_stream_create_default_file_stream(path.c_str(), OPJ_TRUE);
    opj_image_t* image = nullptr;
    opj_read_header(stream, codec, &image);
    opj_decode(codec, stream, image);
    opj_end_decompress(codec, stream);
    benchmark::DoNotOptimize(image->comps[0].data);
    opj_stream_destroy(stream);
    opj_destroy_codec(codec);
    opj_image_destroy(image);
  }
}

void BM_Jp2Decode_OpjDecompress(benchmark::State& State) {
  static std::string path = [] {
    std::string p = TempPath("photo_d.jp2");
    WriteFile(p, Jp2());
    return p;
  }();
  RunTimed(State, "opj_decompress -i '" + path + "' -o '" + TempPath("opj_out.ppm") + "' >/dev/null");
}

}  // namespace

BENCHMARK(BM_TiffSave_Ours)->Arg(COMPRESSION_LZW)->Arg(COMPRESSION_ADOBE_DEFLATE)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TiffSave_Libtiff)->Arg(COMPRESSION_LZW)->Arg(COMPRESSION_ADOBE_DEFLATE)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TiffLoad_Ours)->Arg(COMPRESSION_LZW)->Arg(COMPRESSION_ADOBE_DEFLATE)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TiffLoad_Libtiff)->Arg(COMPRESSION_LZW)->Arg(COMPRESSION_ADOBE_DEFLATE)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TiffCopy_Ours)->Arg(COMPRESSION_LZW)->Arg(COMPRESSION_ADOBE_DEFLATE)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TiffCopy_Tiffcp)
    ->Arg(COMPRESSION_LZW)
    ->Arg(COMPRESSION_ADOBE_DEFLATE)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime();
BENCHMARK(BM_TiffCopy_ImageMagick)
    ->Arg(COMPRESSION_LZW)
    ->Arg(COMPRESSION_ADOBE_DEFLATE)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime();
BENCHMARK(BM_Jp2Encode_Ours)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_Jp2Encode_OpenJpeg)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_Jp2Encode_OpjCompress)->Unit(benchmark::kMillisecond)->Iterations(2)->UseManualTime();
BENCHMARK(BM_Jp2Decode_Ours)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Jp2Decode_OpenJpeg)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Jp2Decode_OpjDecompress)->Unit(benchmark::kMillisecond)->Iterations(3)->UseManualTime();
