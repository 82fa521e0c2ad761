// Helpers shared by the Bitmap and Targa tests: decoding with Pillow in
// batches, decoding with our handler, and comparing RGBA pixels.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "Imaging.h"
#include "TestSupport.h"

namespace BmpTga {

namespace fs = std::filesystem;
using namespace Imaging;

struct TRgbaImage {
  bool Ok = false;
  std::string Mode;  // Pillow's mode (RGB, RGBA, P, L, LA, ...) or our format name
  int32_t Width = 0, Height = 0;
  std::vector<uint8_t> Rgba;
  std::string Error;
};

// Decodes every file with Pillow into RGBA (one interpreter for all files).
inline std::vector<TRgbaImage> PillowDecode(const std::vector<std::string>& Files, const TestSupport::TempDir& Tmp) {
  std::vector<TRgbaImage> result(Files.size());
  if (!TestSupport::HavePillow()) return result;
  std::string list = Tmp.File("pillow-list.txt");
  {
    std::ofstream out(list);
    for (const std::string& f : Files) out << f << "\n";
  }
  std::string script = Tmp.File("pillow-decode.py");
  {
    std::ofstream out(script);
    out << "import sys\n"
           "from PIL import Image\n"
           "files=[l.rstrip('\\n') for l in open(sys.argv[1])]\n"
           "for i,f in enumerate(files):\n"
           "  try:\n"
           "    im=Image.open(f); im.load(); mode=im.mode\n"
           "    has_alpha = mode in ('RGBA','LA','PA') or (mode=='P' and 'transparency' in im.info)\n"
           "    data=im.convert('RGBA').tobytes()\n"
           "    open(sys.argv[2]+'/%d.rgba'%i,'wb').write(data)\n"
           "    open(sys.argv[2]+'/%d.txt'%i,'w').write('%s %d %d %d'%(mode,im.size[0],im.size[1],has_alpha))\n"
           "  except Exception as e:\n"
           "    open(sys.argv[2]+'/%d.txt'%i,'w').write('ERROR')\n";
  }
  fs::path outDir = Tmp.Path() / "pillow-out";
  fs::create_directories(outDir);
  TestSupport::RunCommand(TestSupport::PillowPython() + " '" + script + "' '" + list + "' '" + outDir.string() + "'");
  for (size_t i = 0; i < Files.size(); ++i) {
    std::ifstream info(outDir / (std::to_string(i) + ".txt"));
    std::string mode;
    int hasAlpha = 0;
    if (!(info >> mode) || mode == "ERROR") continue;
    TRgbaImage& r = result[i];
    info >> r.Width >> r.Height >> hasAlpha;
    r.Mode = hasAlpha ? mode + "+alpha" : mode;
    r.Rgba = TestSupport::ReadFileBytes(outDir / (std::to_string(i) + ".rgba"));
    r.Ok = r.Rgba.size() == size_t(r.Width) * r.Height * 4;
  }
  return result;
}

inline TRgbaImage PillowDecodeOne(const std::string& File, const TestSupport::TempDir& Tmp) {
  return PillowDecode({File}, Tmp)[0];
}

inline bool PillowHasAlpha(const TRgbaImage& Image) {
  return Image.Mode.find("+alpha") != std::string::npos;
}

// An image as RGBA bytes (through ChangeImageFormat to A8R8G8B8).
inline TRgbaImage ToRgba(const TImageData& Source) {
  TRgbaImage r;
  TImageData copy;
  if (!DuplicateImage(Source, copy)) return r;
  if (ChangeImageFormat(copy, fmtA8R8G8B8)) {
    r.Ok = true;
    r.Mode = FormatDisplayName(Source.Format);
    r.Width = copy.Width;
    r.Height = copy.Height;
    r.Rgba.resize(size_t(copy.Width) * copy.Height * 4);
    const auto* p = static_cast<const uint8_t*>(copy.Bits);
    for (size_t i = 0; i < size_t(copy.Width) * copy.Height; ++i) {
      r.Rgba[i * 4 + 0] = p[i * 4 + 2];
      r.Rgba[i * 4 + 1] = p[i * 4 + 1];
      r.Rgba[i * 4 + 2] = p[i * 4 + 0];
      r.Rgba[i * 4 + 3] = p[i * 4 + 3];
    }
  }
  ReleaseImage(copy);
  return r;
}

// Decodes a file with ImageMagick into RGBA rows, top row first. Options go
// before the output (ImageMagick keeps Targa rows in stored order unless
// told to -auto-orient).
inline TRgbaImage MagickDecode(const std::string& File, const std::string& Options = "") {
  TRgbaImage r;
  std::string dims, raw;
  std::string quoted = "'" + File + "[0]'";
  if (TestSupport::RunCommand("identify -format '%w %h' " + quoted + " 2>/dev/null", &dims) != 0) return r;
  std::istringstream is(dims);
  if (!(is >> r.Width >> r.Height)) return r;
  if (TestSupport::RunCommand("convert " + quoted + " " + Options + " -depth 8 rgba:- 2>/dev/null", &raw) != 0) return r;
  r.Rgba.assign(raw.begin(), raw.end());
  r.Ok = r.Rgba.size() == size_t(r.Width) * r.Height * 4;
  r.Mode = "magick+alpha";
  return r;
}

// Loads a file with one handler; Error holds the message on failure.
inline TRgbaImage OwnDecode(TImageFileFormat* Handler, const std::string& File, TImageFormat* Format = nullptr) {
  TDynImageDataArray images;
  TRgbaImage r;
  try {
    if (!Handler->LoadFromFile(File, images)) {
      r.Error = "load returned false";
      return r;
    }
  } catch (const EImagingError& e) {
    r.Error = e.what();
    return r;
  }
  if (Format) *Format = images[0].Format;
  r = ToRgba(images[0]);
  ReleaseImageArray(images);
  return r;
}

// Compares two RGBA images; channels 0..2 always, alpha when CompareAlpha.
// A channel matches when it is within Tolerance, or, for pictures stored with
// Bits bits per channel, when its top Bits bits agree (peers widen 4, 5 and
// 6-bit channels in different ways; AlphaBits, when given, for alpha). Returns an empty string when the images
// match, else a description of the first difference.
inline std::string CompareRgba(const TRgbaImage& Got, const TRgbaImage& Expected, int Tolerance, bool CompareAlpha,
                               int Bits = 8, int AlphaBits = -1) {
  if (AlphaBits < 0) AlphaBits = Bits;
  if (!Got.Ok || !Expected.Ok) return "decode failed: " + Got.Error;
  if (Got.Width != Expected.Width || Got.Height != Expected.Height)
    return "size " + std::to_string(Got.Width) + "x" + std::to_string(Got.Height) + " vs " +
           std::to_string(Expected.Width) + "x" + std::to_string(Expected.Height);
  for (size_t i = 0; i < Got.Rgba.size(); ++i) {
    if (!CompareAlpha && i % 4 == 3) continue;
    int a = Got.Rgba[i], b = Expected.Rgba[i];
    int d = a - b;
    if (d <= Tolerance && d >= -Tolerance) continue;
    int bits = i % 4 == 3 ? AlphaBits : Bits;
    if (bits < 8 && (a >> (8 - bits)) == (b >> (8 - bits))) continue;
    size_t pixel = i / 4;
    std::ostringstream os;
    os << "pixel (" << pixel % Got.Width << "," << pixel / Got.Width << ") channel " << i % 4 << ": got " << a
       << " expected " << b;
    return os.str();
  }
  return "";
}

// The framework's message for a failed load of File by a handler of Ext.
inline std::string LoadingMessage(const std::string& File, const std::string& Ext) {
  return "Error while loading images from file \"" + File + "\" (file format: " + Ext + ").";
}

inline std::vector<std::string> FilesIn(const fs::path& Dir, const std::string& Ext) {
  std::vector<std::string> files;
  if (!fs::exists(Dir)) return files;
  for (const auto& e : fs::directory_iterator(Dir))
    if (e.is_regular_file() && e.path().extension() == Ext) files.push_back(e.path().string());
  std::sort(files.begin(), files.end());
  return files;
}

inline void AppendLE(std::vector<uint8_t>& Out, uint32_t Value, int Bytes) {
  for (int i = 0; i < Bytes; ++i) Out.push_back(uint8_t(Value >> (8 * i)));
}

// Loads bytes from memory with a handler; returns the error message or "".
inline std::string LoadBytes(TImageFileFormat* Handler, const std::vector<uint8_t>& Data, TDynImageDataArray& Images) {
  try {
    if (!Handler->LoadFromMemory(Data.data(), int32_t(Data.size()), Images)) return "load returned false";
  } catch (const EImagingError& e) {
    return e.what();
  }
  return "";
}

// Saves one image with a handler into bytes.
inline std::vector<uint8_t> SaveBytes(TImageFileFormat* Handler, const TImageData& Image) {
  std::vector<uint8_t> buf(size_t(Image.Size) * 3 + 65536);
  int32_t size = int32_t(buf.size());
  TDynImageDataArray images{Image};
  EXPECT_TRUE(Handler->SaveToMemory(buf.data(), size, images, true));
  buf.resize(size_t(size));
  return buf;
}

}  // namespace BmpTga
