// vorelle-make-samples FOLDER
//
// Writes one small sample image (16 x 12: colour gradients, a few flat
// colours, an alpha ramp) per readable format into FOLDER as sample.<ext>.
// Formats the imaging engine can write go through its own handlers
// (WriteImageFile); formats it can only read are written as bytes by the
// small writers below. Formats whose handler is not registered are skipped
// with a message, so running the program again after a handler lands adds
// its sample. Every file written is read back once as a check.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "Imaging.h"
#include "ImagingDaggerfall.h"

using namespace Imaging;

namespace {

constexpr int32_t SampleWidth = 16;
constexpr int32_t SampleHeight = 12;

// The default extension of every readable format, in registry order.
const char* const SampleExtensions[] = {"bmp", "jpg", "png", "mng", "jng", "gif",        "dds",   "tga",
                                        "pbm", "pgm", "ppm", "pam", "pfm", "jp2",        "tif",   "psd",
                                        "pcx", "xpm", "bsi", "cif", "img", "dagtexture", "dagsky"};

// Top half: red across, green down, blue fixed; bottom left: four flat
// colours; bottom right: white with alpha falling to the right.
TColor32Rec SamplePixel(int32_t X, int32_t Y) {
  if (Y < SampleHeight / 2)
    return Color32(255, uint8_t(X * 255 / (SampleWidth - 1)), uint8_t(Y * 255 / (SampleHeight / 2 - 1)), 96);
  if (X < SampleWidth / 2) {
    static const uint32_t flat[4] = {0xFF000000, 0xFFFFFFFF, 0xFF2060C0, 0xFFE0A000};
    return Color32(flat[(X / 4) + 2 * ((Y - SampleHeight / 2) / 3)]);
  }
  uint8_t alpha = uint8_t(255 - (X - SampleWidth / 2) * 255 / (SampleWidth / 2 - 1));
  return Color32(alpha, 255, 255, 255);
}

bool MakeSampleImage(TImageData& Image) {
  if (!CreateImage(SampleWidth, SampleHeight, fmtA8R8G8B8, Image)) return false;
  auto* p = static_cast<TColor32Rec*>(Image.Bits);
  for (int32_t y = 0; y < SampleHeight; ++y)
    for (int32_t x = 0; x < SampleWidth; ++x) p[y * SampleWidth + x] = SamplePixel(x, y);
  return true;
}

uint8_t Luminance(const TColor32Rec& C) { return uint8_t(0.299f * C.R + 0.587f * C.G + 0.114f * C.B + 0.5f); }

// ---------------------------------------------------------------------------
// Byte writers for formats the engine reads but does not write
// ---------------------------------------------------------------------------

// Raw bit map (P4): black where the luminance is below one half.
std::vector<uint8_t> WritePbm(const TImageData& Image) {
  std::string header = "P4\n# vorelle sample\n" + std::to_string(Image.Width) + " " + std::to_string(Image.Height) + "\n";
  std::vector<uint8_t> out(header.begin(), header.end());
  const auto* p = static_cast<const TColor32Rec*>(Image.Bits);
  for (int32_t y = 0; y < Image.Height; ++y) {
    std::vector<uint8_t> row(size_t((Image.Width + 7) / 8), 0);
    for (int32_t x = 0; x < Image.Width; ++x)
      if (Luminance(p[y * Image.Width + x]) < 128) row[size_t(x / 8)] |= uint8_t(0x80 >> (x % 8));
    out.insert(out.end(), row.begin(), row.end());
  }
  return out;
}

// ZSoft PCX, version 5, 24-bit colour in three run-length encoded planes.
std::vector<uint8_t> WritePcx(const TImageData& Image) {
  int32_t bytesPerLine = (Image.Width + 1) & ~1;  // even, as the format asks
  std::vector<uint8_t> out(128, 0);
  out[0] = 10;
  out[1] = 5;
  out[2] = 1;
  out[3] = 8;
  out[8] = uint8_t(Image.Width - 1);
  out[9] = uint8_t((Image.Width - 1) >> 8);
  out[10] = uint8_t(Image.Height - 1);
  out[11] = uint8_t((Image.Height - 1) >> 8);
  out[12] = 72;  // resolution
  out[14] = 72;
  out[65] = 3;
  out[66] = uint8_t(bytesPerLine);
  out[67] = uint8_t(bytesPerLine >> 8);
  out[68] = 1;
  const auto* p = static_cast<const TColor32Rec*>(Image.Bits);
  for (int32_t y = 0; y < Image.Height; ++y) {
    for (int32_t plane = 0; plane < 3; ++plane) {
      std::vector<uint8_t> line(size_t(bytesPerLine), 0);
      for (int32_t x = 0; x < Image.Width; ++x) {
        const TColor32Rec& c = p[y * Image.Width + x];
        line[size_t(x)] = plane == 0 ? c.R : plane == 1 ? c.G : c.B;
      }
      // Runs of up to 63; single bytes below 192 stand for themselves.
      for (size_t i = 0; i < line.size();) {
        size_t run = 1;
        while (i + run < line.size() && run < 63 && line[i + run] == line[i]) ++run;
        if (run > 1 || line[i] >= 0xC0) out.push_back(uint8_t(0xC0 | run));
        out.push_back(line[i]);
        i += run;
      }
    }
  }
  return out;
}

// The image mapped to the palette of the handler for Ext (index 0 is
// transparent there, so the transparent end of the alpha ramp maps to it).
std::vector<uint8_t> IndexedPixels(const TImageData& Image, const char* Ext) {
  auto* handler = static_cast<TElderFileFormat*>(FindHandlerByExtension(Ext));
  TImageData copy;
  if (!DuplicateImage(Image, copy) || !MapToPalette(copy, handler->ARGBPalette(), 256))
    throw Exception("cannot map the sample to the palette");
  const auto* p = static_cast<const uint8_t*>(copy.Bits);
  std::vector<uint8_t> pixels(p, p + copy.Size);
  ReleaseImage(copy);
  return pixels;
}

void Put16(std::vector<uint8_t>& Out, size_t At, uint32_t V) {
  Out[At] = uint8_t(V);
  Out[At + 1] = uint8_t(V >> 8);
}

// Bethesda BSI: one indexed frame in the handler's palette.
std::vector<uint8_t> WriteBsi(const TImageData& Image) {
  std::vector<uint8_t> out;
  auto chunk = [&](const char* Id, const std::vector<uint8_t>& Data) {
    out.insert(out.end(), Id, Id + 4);
    for (int s = 24; s >= 0; s -= 8) out.push_back(uint8_t(Data.size() >> s));
    out.insert(out.end(), Data.begin(), Data.end());
  };
  std::vector<uint8_t> header(38, 0);
  Put16(header, 4, uint32_t(Image.Width));
  Put16(header, 6, uint32_t(Image.Height));
  Put16(header, 14, 1);
  chunk("IFHD", std::vector<uint8_t>(44, 0));
  chunk("BHDR", header);
  chunk("DATA", IndexedPixels(Image, "bsi"));
  chunk("END ", {});
  return out;
}

// Daggerfall texture archive: one record of plain rows, 256 bytes apart.
std::vector<uint8_t> WriteTexture(const TImageData& Image) {
  const char name[] = "Vorelle sample";
  std::vector<uint8_t> out(26 + 20 + 28, 0);
  Put16(out, 0, 1);
  std::memcpy(out.data() + 2, name, sizeof name - 1);
  Put16(out, 26 + 2, 46);
  Put16(out, 46 + 4, uint32_t(Image.Width));
  Put16(out, 46 + 6, uint32_t(Image.Height));
  Put16(out, 46 + 14, 28);
  Put16(out, 46 + 20, 1);
  const std::vector<uint8_t> pixels = IndexedPixels(Image, "img");
  for (int32_t y = 0; y < Image.Height; ++y) {
    out.insert(out.end(), pixels.begin() + y * Image.Width, pixels.begin() + (y + 1) * Image.Width);
    if (y + 1 < Image.Height) out.insert(out.end(), size_t(256 - Image.Width), 0);
  }
  return out;
}

using TByteWriter = std::function<std::vector<uint8_t>(const TImageData&)>;

const std::map<std::string, TByteWriter>& ByteWriters() {
  static const std::map<std::string, TByteWriter> writers = {
      {"pbm", WritePbm}, {"pcx", WritePcx}, {"bsi", WriteBsi}, {"dagtexture", WriteTexture}};
  return writers;
}

// Options of the engine's writers used for the samples: small files.
void SetSampleOptions() {
  SetImagingOption(OptPngCompressLevel, 9);
  SetImagingOption(OptJpegQuality, 90);
  SetImagingOption(OptPgmSaveBinary, -1);
  SetImagingOption(OptPpmSaveBinary, -1);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
    return 2;
  }
  std::filesystem::path folder = argv[1];
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);

  InitImaging();
  SetSampleOptions();
  TImageData image;
  if (!MakeSampleImage(image)) {
    std::fprintf(stderr, "cannot create the sample image\n");
    return 1;
  }

  int written = 0, skipped = 0, failed = 0;
  for (const char* ext : SampleExtensions) {
    std::string file = (folder / (std::string("sample.") + ext)).string();
    TImageFileFormat* handler = FindHandlerByExtension(ext);
    if (!handler || !handler->CanLoad()) {
      std::printf("skipped sample.%s: no handler for this format yet\n", ext);
      ++skipped;
      continue;
    }
    try {
      if (handler->CanSave()) {
        if (!WriteImageFile(file, image)) throw Exception("the handler did not write the image");
      } else if (auto w = ByteWriters().find(ext); w != ByteWriters().end()) {
        std::vector<uint8_t> bytes = w->second(image);
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        if (!out) throw Exception("cannot write " + file);
      } else {
        std::printf("skipped sample.%s: %s cannot write and there is no byte writer for it yet\n", ext,
                    handler->Name().c_str());
        ++skipped;
        continue;
      }
      TImageData back;
      if (!ReadImageFile(file, back)) throw Exception("the written file does not load");
      std::printf("wrote sample.%s (%lld bytes): loads as %d x %d %s\n", ext,
                  (long long)std::filesystem::file_size(file), back.Width, back.Height,
                  FormatDisplayName(back.Format).c_str());
      ReleaseImage(back);
      ++written;
    } catch (const std::exception& e) {
      std::printf("FAILED sample.%s: %s\n", ext, e.what());
      ++failed;
    }
  }
  ReleaseImage(image);
  std::printf("%d written, %d skipped, %d failed\n", written, skipped, failed);
  FreeImaging();
  return failed ? 1 : 0;
}
