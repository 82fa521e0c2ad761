// libFuzzer target: PNG and animated PNG loading from memory. Damaged input
// must end in EImagingError; any other exception escaping is a bug.
#include <cstddef>
#include <cstdint>

#include "Imaging.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  static bool initialized = [] {
    Imaging::InitImaging();
    return true;
  }();
  (void)initialized;
  if (Size > 0x7FFFFFFF) return 0;
  Imaging::TDynImageDataArray images;
  try {
    Imaging::FindHandlerByExtension("png")->LoadFromMemory(Data, int32_t(Size), images);
  } catch (const Imaging::EImagingError&) {
  }
  Imaging::ReleaseImageArray(images);
  return 0;
}
