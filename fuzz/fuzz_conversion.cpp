// Random images in random formats converted to random formats: the converter
// must never crash, leave an invalid image behind, or give other bytes than
// the per-pixel rules do.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "Imaging.h"
#include "ImagingFormats.h"

using namespace Imaging;

namespace {

// Input: source format, target format, width, height, flags, then pixel and
// palette bytes (repeated to fill the image).
void Fill(void* Target, size_t Bytes, const uint8_t* Data, size_t Size) {
  auto* p = static_cast<uint8_t*>(Target);
  if (Size == 0) return;
  for (size_t i = 0; i < Bytes; ++i) p[i] = Data[i % Size];
}

bool SameImage(const TImageData& A, const TImageData& B) {
  if (A.Width != B.Width || A.Height != B.Height || A.Format != B.Format || A.Size != B.Size) return false;
  if (std::memcmp(A.Bits, B.Bits, size_t(A.Size)) != 0) return false;
  if ((A.Palette == nullptr) != (B.Palette == nullptr)) return false;
  return !A.Palette || std::memcmp(A.Palette, B.Palette, 256 * sizeof(TColor32Rec)) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  static const bool initialised = (InitImaging(), true);
  (void)initialised;
  if (Size < 5) return 0;
  const TImageFormat source = AllImageFormats[Data[0] % 33];
  const TImageFormat target = Data[1] == 255 ? fmtDefault : AllImageFormats[Data[1] % 33];
  const int32_t width = 1 + Data[2] % 40, height = 1 + Data[3] % 40;
  const uint8_t flags = Data[4];
  Data += 5;
  Size -= 5;

  TImageData image;
  if (!CreateImage(width, height, source, image)) __builtin_trap();
  Fill(image.Bits, size_t(image.Size), Data, Size);
  if (image.Palette) Fill(image.Palette, 256 * sizeof(TColor32Rec), Data + Size / 2, Size - Size / 2);
  TImageData reference;
  if (!DuplicateImage(image, reference)) __builtin_trap();
  // Flag 1: an indexed image that lost its palette (conversion must fail
  // cleanly). The palettes are kept aside and released at the end.
  TColor32Rec* keptPalettes[2] = {nullptr, nullptr};
  const bool dropped = (flags & 1) && image.Palette;
  if (dropped) {
    keptPalettes[0] = image.Palette;
    keptPalettes[1] = reference.Palette;
    image.Palette = reference.Palette = nullptr;
  }
  const void* sourceBits = image.Bits;

  bool fastFailed = false, genericFailed = false;
  try {
    if (!ChangeImageFormat(image, target)) __builtin_trap();
  } catch (const EImagingError&) {
    fastFailed = true;
  }
  try {
    if (!ChangeImageFormatGeneric(reference, target)) __builtin_trap();
  } catch (const EImagingError&) {
    genericFailed = true;
  }
  if (fastFailed != genericFailed) __builtin_trap();
  if (!IsValidImage(image) || !IsValidImage(reference)) __builtin_trap();
  if (fastFailed) {
    // Only a missing palette may fail, and the image is left as it was.
    if (!dropped || image.Format != source || image.Bits != sourceBits) __builtin_trap();
  } else {
    const TImageFormat expected = target == fmtDefault ? DefaultImageFormat : target;
    if (FormatInfoTable[image.Format] != FormatInfoTable[expected]) __builtin_trap();
    if (!SameImage(image, reference)) __builtin_trap();
  }
  FreeMem(keptPalettes[0]);
  FreeMem(keptPalettes[1]);
  ReleaseImage(image);
  ReleaseImage(reference);
  return 0;
}
