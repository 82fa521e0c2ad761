// Feeds arbitrary bytes to the JPEG handler's LoadFromMemory. Anything but
// EImagingError escaping a load is a bug and crashes the fuzzer.
#include <cstddef>
#include <cstdint>

#include "Imaging.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  static Imaging::TImageFileFormat* handler = (Imaging::InitImaging(), Imaging::FindHandlerByExtension("jpg"));
  if (Size > (1u << 22)) return 0;
  Imaging::TDynImageDataArray images;
  try {
    handler->LoadFromMemory(Data, int32_t(Size), images);
  } catch (const Imaging::EImagingError&) {
  }
  Imaging::ReleaseImageArray(images);
  return 0;
}
