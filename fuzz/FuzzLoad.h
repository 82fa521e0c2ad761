// What a handler's fuzz target does: arbitrary bytes through one handler's
// LoadFromMemory. A load may fail only with EImagingError; any other
// exception escaping, a crash, a hang or a sanitizer report is a bug.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Imaging.h"

namespace Fuzz {

// Larger inputs only slow the search down.
inline constexpr size_t MaxInput = size_t(1) << 22;

// Images are held to 4 million pixels here. The program's own limit (178
// million) bounds memory but still lets a few hundred hostile bytes ask for
// seconds of honest work, which under the sanitizers' instrumentation
// becomes minutes and stalls the search; the limit's check itself is what
// larger sizes would exercise.
inline constexpr int32_t MaxFuzzPixels = 4000000;

inline void Init() {
  static bool ready = (Imaging::InitImaging(), Imaging::SetImagingOption(Imaging::OptMaxPixels, MaxFuzzPixels), true);
  (void)ready;
}

inline void LoadWith(Imaging::TImageFileFormat* Handler, const uint8_t* Data, size_t Size) {
  Imaging::TDynImageDataArray images;
  try {
    Handler->LoadFromMemory(Data, int32_t(Size), images);
  } catch (const Imaging::EImagingError&) {
  }
  Imaging::ReleaseImageArray(images);
}

// The handler registered for extension Ext.
inline int Load(const char* Ext, const uint8_t* Data, size_t Size) {
  Init();
  if (Size <= MaxInput) LoadWith(Imaging::FindHandlerByExtension(Ext), Data, Size);
  return 0;
}

}  // namespace Fuzz
