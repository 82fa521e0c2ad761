// The photo-like test image of the codec benchmarks and their scratch files.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "Imaging.h"

namespace {

constexpr int32_t PhotoWidth = 4000, PhotoHeight = 3000;

// Soft gradients, waves and some fine texture: compresses like a photo.
const Imaging::TImageData& Photo() {
  static Imaging::TImageData img = [] {
    Imaging::InitImaging();
    Imaging::TImageData i;
    Imaging::CreateImage(PhotoWidth, PhotoHeight, Imaging::fmtR8G8B8, i);
    auto* p = static_cast<uint8_t*>(i.Bits);
    uint32_t noise = 12345;
    for (int32_t y = 0; y < PhotoHeight; ++y)
      for (int32_t x = 0; x < PhotoWidth; ++x, p += 3) {
        noise = noise * 1103515245u + 12345u;
        int n = int((noise >> 16) & 15) - 8;
        p[0] = uint8_t(std::clamp(128 + int(90 * std::sin(x * 0.004 + y * 0.007)) + n, 0, 255));
        p[1] = uint8_t(std::clamp(int(x * 200 / PhotoWidth) + int(30 * std::cos(y * 0.01)) + n, 0, 255));
        p[2] = uint8_t(std::clamp(int(y * 220 / PhotoHeight) + int(25 * std::sin(x * 0.02)) + n, 0, 255));
      }
    return i;
  }();
  return img;
}

std::string TempPath(const std::string& Name) {
  const char* dir = std::getenv("TMPDIR");
  return std::string(dir ? dir : "/tmp") + "/vorelle_bench_" + Name;
}

}  // namespace
