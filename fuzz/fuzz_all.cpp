// Feeds arbitrary bytes to LoadFromMemory of every registered handler that
// can load. Anything but EImagingError escaping a load is a bug.
#include "FuzzLoad.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  Fuzz::Init();
  if (Size > Fuzz::MaxInput) return 0;
  for (int32_t i = 0; i < Imaging::HandlerCount(); ++i) {
    Imaging::TImageFileFormat* handler = Imaging::HandlerAtIndex(i);
    if (handler->CanLoad()) Fuzz::LoadWith(handler, Data, Size);
  }
  return 0;
}
