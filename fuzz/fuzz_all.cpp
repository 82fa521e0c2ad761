// Feeds arbitrary bytes to LoadFromMemory of every registered handler that
// can load. Anything but EImagingError escaping a load is a bug.
#include <cstddef>
#include <cstdint>

#include "Imaging.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  static bool ready = (Imaging::InitImaging(), true);
  (void)ready;
  if (Size > (1u << 22)) return 0;
  for (int32_t i = 0; i < Imaging::HandlerCount(); ++i) {
    Imaging::TImageFileFormat* handler = Imaging::HandlerAtIndex(i);
    if (!handler->CanLoad()) continue;
    Imaging::TDynImageDataArray images;
    try {
      handler->LoadFromMemory(Data, int32_t(Size), images);
    } catch (const Imaging::EImagingError&) {
    }
    Imaging::ReleaseImageArray(images);
  }
  return 0;
}
