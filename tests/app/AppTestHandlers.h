// Small file format handlers for the application tests, registered after
// the system's own ones, so that the tests control exactly which formats a
// run writes and how they fail.
//
// A test file is a 4-byte magic, the width and height as 32-bit little-
// endian integers and the pixels as A8R8G8B8.
#pragma once

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "Imaging.h"

namespace AppTest {

using namespace Imaging;

class TTestFormatBase : public TImageFileFormat {
public:
  TTestFormatBase(const char* Name, const char* Masks, const char* Magic, bool CanSave, bool FailWrite)
      : FMagic(Magic), FFailWrite(FailWrite) {
    FName = Name;
    FCanLoad = true;
    FCanSave = CanSave;
    SetMaskList(Masks);
    FSupportedFormats = TImageFormats{fmtA8R8G8B8};
  }

  bool TestFormat(THandle Handle) override {
    if (!Handle) return false;
    TIOFunctions io = CurrentIOTable();
    int32_t start = io.Tell(Handle);
    char magic[4] = {};
    int32_t got = io.Read(Handle, magic, 4);
    io.Seek(Handle, start, smFromBeginning);
    return got == 4 && std::memcmp(magic, FMagic, 4) == 0;
  }

  // Loads started by any of the test handlers, on any thread.
  static inline std::atomic<int32_t> Loads{0};

  bool ReadImages(THandle Handle, TDynImageDataArray& Images, bool) override {
    ++Loads;
    TIOFunctions io = CurrentIOTable();
    char magic[4];
    int32_t size[2];
    if (io.Read(Handle, magic, 4) != 4 || io.Read(Handle, size, 8) != 8) RaiseImagingError("Test header is cut off.");
    if (size[0] <= 0 || size[1] <= 0 || size[0] > 4096 || size[1] > 4096)
      RaiseImagingError("Test image size %dx%d is not valid.", size[0], size[1]);
    // In the list at once: a read that fails (or a cancel inside it) leaves
    // the image to the framework, which releases it.
    TImageData image;
    CreateImage(size[0], size[1], fmtA8R8G8B8, image);
    Images.push_back(image);
    if (io.Read(Handle, image.Bits, image.Size) != image.Size) RaiseImagingError("Test pixel data is cut off.");
    return true;
  }

  bool WriteImages(THandle Handle, const TDynImageDataArray& Images, int32_t Index) override {
    TIOFunctions io = CurrentIOTable();
    const TImageData& image = Images[size_t(Index)];
    int32_t size[2] = {image.Width, image.Height};
    io.Write(Handle, FMagic, 4);
    io.Write(Handle, size, 8);
    if (FFailWrite) RaiseImagingError("Test handler refuses to write the pixels.");
    TImageData compatible;
    bool mustBeFreed = false;
    if (!MakeCompatible(image, compatible, mustBeFreed)) return false;
    io.Write(Handle, compatible.Bits, compatible.Size);
    if (mustBeFreed) ReleaseImage(compatible);
    return true;
  }

private:
  const char* FMagic;
  bool FFailWrite;
};

// Loads and saves "*.vtr".
class TTestRawFormat : public TTestFormatBase {
public:
  TTestRawFormat() : TTestFormatBase("Vorelle Test Raw", "*.vtr", "VTR1", true, false) {}
};
// Loads and saves "*.vtc" (another magic, so the two are told apart).
class TTestCopyFormat : public TTestFormatBase {
public:
  TTestCopyFormat() : TTestFormatBase("Vorelle Test Copy", "*.vtc", "VTC1", true, false) {}
};
// Loads "*.vtf"; every write fails after the header.
class TTestFailingFormat : public TTestFormatBase {
public:
  TTestFailingFormat() : TTestFormatBase("Vorelle Test Failing", "*.vtf", "VTF1", true, true) {}
};
// Loads "*.vtn" and cannot save: never an output format.
class TTestReadOnlyFormat : public TTestFormatBase {
public:
  TTestReadOnlyFormat() : TTestFormatBase("Vorelle Test Read Only", "*.vtn", "VTN1", false, false) {}
};

// Starts the imaging core and registers the test handlers once.
inline void InitTestHandlers() {
  static bool done = false;
  InitImaging();
  if (done) return;
  done = true;
  AddFileFormatHandler<TTestRawFormat>();
  AddFileFormatHandler<TTestCopyFormat>();
  AddFileFormatHandler<TTestFailingFormat>();
  AddFileFormatHandler<TTestReadOnlyFormat>();
}

// A test file of Width x Height with pixels from Seed.
inline std::vector<uint8_t> TestFileBytes(const char* Magic, int32_t Width, int32_t Height, uint32_t Seed) {
  std::vector<uint8_t> bytes(Magic, Magic + 4);
  for (int32_t v : {Width, Height})
    for (int i = 0; i < 4; ++i) bytes.push_back(uint8_t(uint32_t(v) >> (8 * i)));
  uint32_t x = Seed * 2654435761u + 1;
  for (int64_t i = 0; i < int64_t(Width) * Height * 4; ++i) {
    x = x * 1664525u + 1013904223u;
    bytes.push_back(uint8_t(x >> 24));
  }
  return bytes;
}

}  // namespace AppTest
