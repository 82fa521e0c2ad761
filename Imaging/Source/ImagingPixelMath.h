// Arithmetic shared by the pixel access functions of the format table and the
// format converter: luminance, clamped rounding and the class of a format.
// Everything here is the exact per-pixel rule; the row-wise converters must
// reproduce it bit for bit.
#pragma once

#include <cstdint>
#include <limits>

#include "Imaging.h"
#include "ImagingFormats.h"

namespace Imaging {
namespace PixelMath {

// Luminance is computed in extended precision. On x86-64 long double is the
// x87 80-bit format (64-bit mantissa): every product of a 16-bit channel and a
// single-precision weight is exact there, and so is their sum, which makes
// the result independent of the order in which the compiler evaluates it.
#if defined(__x86_64__) || defined(_M_X64)
static_assert(std::numeric_limits<long double>::digits == 64,
              "luminance needs the 80-bit extended format of x86-64");
#endif
using TExtended = long double;

inline TExtended Luminance(TExtended R, TExtended G, TExtended B) {
  return R * TExtended(GrayConstRed) + G * TExtended(GrayConstGreen) + B * TExtended(GrayConstBlue);
}

// Clamp first (NaN and anything not above 0 give 0), then round to nearest
// with ties to even. For values already inside 0..Max the result is plain
// rounding.
inline int32_t ClampRound(float Value, float Max) {
  if (!(Value > 0.0f)) return 0;
  if (Value > Max) Value = Max;
  return RoundToInt(Value);
}
inline int32_t ClampRound(TExtended Value, TExtended Max) {
  if (!(Value > 0.0L)) return 0;
  if (Value > Max) Value = Max;
  return RoundToInt(Value);
}

// Clamps a float channel to 0..1 (NaN gives 0).
inline float Clamp01(float Value) {
  if (!(Value > 0.0f)) return 0.0f;
  return Value > 1.0f ? 1.0f : Value;
}

inline float ByteToFloat(uint32_t Value) { return float(Value) * OneDiv8Bit; }
inline float WordToFloat(uint32_t Value) { return float(Value) * OneDiv16Bit; }

// Widens a channel field of Bits bits (1 to 16) to 8 bits. Up to 8 bits the
// field's bits are repeated below themselves (for 5 bits: abcde -> abcdeabc),
// so that 0 stays 0 and the largest field value becomes 255; wider fields are
// scaled by 255 / (2^Bits - 1) and rounded.
inline uint8_t WidenField(uint32_t Value, int32_t Bits) {
  if (Bits >= 8) {
    const uint32_t max = (uint32_t(1) << Bits) - 1;
    return uint8_t((uint64_t(Value) * 255 + max / 2) / max);
  }
  // One multiplication lays copies of the field side by side (for 5 bits:
  // x 0x21 gives abcdeabcde), the shift keeps the top 8 of them.
  static constexpr uint8_t Copies[8] = {0, 0xFF, 0x55, 0x49, 0x11, 0x21, 0x41, 0x81};
  static constexpr uint8_t Shift[8] = {0, 0, 0, 1, 0, 2, 4, 6};
  return uint8_t((Value * Copies[Bits]) >> Shift[Bits]);
}

// Class of a format for conversion, decided in this order.
enum class TFormatClass { Indexed, Gray, Float, Channel };

inline TFormatClass ClassOf(const TImageFormatInfo& Info) {
  if (Info.IsIndexed) return TFormatClass::Indexed;
  if (Info.HasGrayChannel) return TFormatClass::Gray;
  if (Info.IsFloatingPoint) return TFormatClass::Float;
  return TFormatClass::Channel;
}

}  // namespace PixelMath
}  // namespace Imaging
