// The pixel format table: one constant description per format, the lookup by
// format value, size and dimension rules and the per-format pixel access
// functions (direct, 8-bit, float and generic).
#include <cstring>

#include "Imaging.h"
#include "ImagingFormats.h"
#include "ImagingPixelMath.h"

namespace Imaging {

using namespace PixelMath;

const TImageFormat AllImageFormats[33] = {
    fmtIndex8,        fmtGray8,         fmtA8Gray8,       fmtGray16,       fmtGray32,        fmtGray64,
    fmtA16Gray16,     fmtX5R1G1B1,      fmtR3G3B2,        fmtR5G6B5,       fmtA1R5G5B5,      fmtA4R4G4B4,
    fmtX1R5G5B5,      fmtX4R4G4B4,      fmtR8G8B8,        fmtA8R8G8B8,     fmtX8R8G8B8,      fmtR16G16B16,
    fmtA16R16G16B16,  fmtB16G16R16,     fmtA16B16G16R16,  fmtR32F,         fmtA32R32G32B32F, fmtA32B32G32R32F,
    fmtR16F,          fmtA16R16G16B16F, fmtA16B16G16R16F, fmtDXT1,         fmtDXT3,          fmtDXT5,
    fmtBTC,           fmtATI1N,         fmtATI2N,
};

PImageFormatInfo FormatInfoTable[MaxImageFormatValue + 1] = {};

namespace {

// ---------------------------------------------------------------------------
// Size and dimension rules
// ---------------------------------------------------------------------------

// Width x Height x Factor in 64 bits; sizes that do not fit 64 bits saturate
// (they are refused later anyway). Non-positive sizes hold no pixels.
int64_t AreaBytes(int64_t Width, int64_t Height, int64_t Factor) {
  if (Width <= 0 || Height <= 0 || Factor <= 0) return 0;
  const int64_t area = Width * Height;  // below 2^63 for 32-bit sides rounded to 4
  if (area > INT64_MAX / Factor) return INT64_MAX;
  return area * Factor;
}

int64_t RoundUp4(int32_t Value) { return (int64_t(Value) + 3) & ~int64_t(3); }

int64_t PlainPixelsSize(TImageFormat Format, int32_t Width, int32_t Height) {
  if (!IsFormatValid(Format)) return 0;
  return AreaBytes(Width, Height, FormatInfoTable[Format]->BytesPerPixel);
}

int64_t HalfBlockPixelsSize(TImageFormat, int32_t Width, int32_t Height) {
  return AreaBytes(RoundUp4(Width), RoundUp4(Height), 1) / 2;
}

int64_t FullBlockPixelsSize(TImageFormat, int32_t Width, int32_t Height) {
  return AreaBytes(RoundUp4(Width), RoundUp4(Height), 1);
}

int64_t QuarterBlockPixelsSize(TImageFormat, int32_t Width, int32_t Height) {
  return AreaBytes(RoundUp4(Width), RoundUp4(Height), 1) / 4;
}

void AnyDimensions(TImageFormat, int32_t&, int32_t&) {}

int32_t BlockDimension(int32_t Value) {
  const int64_t rounded = RoundUp4(Value);
  // Sides this close to the 32-bit limit cannot be allocated; keep them a
  // multiple of 4 without overflowing.
  return rounded > 0x7FFFFFFC ? 0x7FFFFFFC : int32_t(rounded);
}

void BlockDimensions(TImageFormat, int32_t& Width, int32_t& Height) {
  Width = BlockDimension(Width);
  Height = BlockDimension(Height);
}

// ---------------------------------------------------------------------------
// Direct access (A8R8G8B8)
// ---------------------------------------------------------------------------

TColor32Rec GetPixel32Direct(const void* Bits, PImageFormatInfo, const TColor32Rec*) {
  TColor32Rec c;
  std::memcpy(&c, Bits, 4);
  return c;
}

void SetPixel32Direct(void* Bits, PImageFormatInfo, const TColor32Rec*, const TColor32Rec& Color) {
  std::memcpy(Bits, &Color, 4);
}

TColorFPRec GetPixelFPDirect(const void* Bits, PImageFormatInfo, const TColor32Rec*) {
  const auto* p = static_cast<const uint8_t*>(Bits);
  TColorFPRec c;
  for (int i = 0; i < 4; ++i) c.Channels[i] = ByteToFloat(p[i]);
  return c;
}

void SetPixelFPDirect(void* Bits, PImageFormatInfo, const TColor32Rec*, const TColorFPRec& Color) {
  auto* p = static_cast<uint8_t*>(Bits);
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(ClampRound(Color.Channels[i] * 255.0f, 255.0f));
}

// ---------------------------------------------------------------------------
// 8-bit access (Gray8, A8Gray8, R8G8B8, X8R8G8B8)
// ---------------------------------------------------------------------------

TColor32Rec GetPixel32Byte(const void* Bits, PImageFormatInfo Info, const TColor32Rec*) {
  const auto* p = static_cast<const uint8_t*>(Bits);
  TColor32Rec c;
  if (Info->HasGrayChannel) {
    c.B = c.G = c.R = p[0];
    c.A = Info->HasAlphaChannel ? p[1] : 255;
  } else {
    c.B = p[0];
    c.G = p[1];
    c.R = p[2];
    c.A = 255;
  }
  return c;
}

void SetPixel32Byte(void* Bits, PImageFormatInfo Info, const TColor32Rec*, const TColor32Rec& Color) {
  auto* p = static_cast<uint8_t*>(Bits);
  if (Info->HasGrayChannel) {
    p[0] = uint8_t(ClampRound(Luminance(Color.R, Color.G, Color.B), TExtended(255)));
    if (Info->HasAlphaChannel) p[1] = Color.A;
  } else {
    p[0] = Color.B;
    p[1] = Color.G;
    p[2] = Color.R;
  }
}

TColorFPRec GetPixelFPByte(const void* Bits, PImageFormatInfo Info, const TColor32Rec* Palette) {
  const TColor32Rec c = GetPixel32Byte(Bits, Info, Palette);
  TColorFPRec f;
  for (int i = 0; i < 4; ++i) f.Channels[i] = ByteToFloat(c.Channels[i]);
  return f;
}

void SetPixelFPByte(void* Bits, PImageFormatInfo Info, const TColor32Rec*, const TColorFPRec& Color) {
  auto* p = static_cast<uint8_t*>(Bits);
  if (Info->HasGrayChannel) {
    p[0] = uint8_t(ClampRound(Luminance(Color.R, Color.G, Color.B) * 255, TExtended(255)));
    if (Info->HasAlphaChannel) p[1] = uint8_t(ClampRound(Color.A * 255.0f, 255.0f));
  } else {
    p[0] = uint8_t(ClampRound(Color.B * 255.0f, 255.0f));
    p[1] = uint8_t(ClampRound(Color.G * 255.0f, 255.0f));
    p[2] = uint8_t(ClampRound(Color.R * 255.0f, 255.0f));
  }
}

// ---------------------------------------------------------------------------
// Float access (R32F and the four-float formats) and the float class
// ---------------------------------------------------------------------------

TColorFPRec GetPixelFPFloat(const void* Bits, PImageFormatInfo Info, const TColor32Rec*) {
  TColorFPRec c;
  FloatGetSrcPixel(Bits, Info, c);
  return c;
}

void SetPixelFPFloat(void* Bits, PImageFormatInfo Info, const TColor32Rec*, const TColorFPRec& Color) {
  FloatSetDstPixel(Bits, Info, Color);
}

// ---------------------------------------------------------------------------
// Generic access through the per-pixel readers and writers of the converter
// ---------------------------------------------------------------------------

TColor32Rec GetPixel32Generic(const void* Bits, PImageFormatInfo Info, const TColor32Rec* Palette) {
  TColor32Rec c;
  c.Color = 0;
  switch (ClassOf(*Info)) {
    case TFormatClass::Channel: {
      TColorDeepRec d;
      ChannelGetSrcPixel(Bits, Info, d);
      c.B = uint8_t(d.B * 255 / 65535);
      c.G = uint8_t(d.G * 255 / 65535);
      c.R = uint8_t(d.R * 255 / 65535);
      c.A = uint8_t(d.A * 255 / 65535);
      break;
    }
    case TFormatClass::Gray: {
      uint64_t gray;
      uint16_t alpha;
      GrayGetSrcPixel(Bits, Info, gray, alpha);
      c.B = c.G = c.R = uint8_t(uint32_t(gray >> 48) * 255 / 65535);
      c.A = uint8_t(uint32_t(alpha) * 255 / 65535);
      break;
    }
    case TFormatClass::Float: {
      TColorFPRec f;
      FloatGetSrcColor(Bits, Info, f);
      for (int i = 0; i < 4; ++i) c.Channels[i] = uint8_t(ClampRound(f.Channels[i] * 255.0f, 255.0f));
      break;
    }
    case TFormatClass::Indexed: {
      uint32_t index;
      IndexGetSrcPixel(Bits, Info, index);
      if (Palette && index < uint32_t(Info->PaletteEntries)) c = Palette[index];
      break;
    }
  }
  return c;
}

void SetPixel32Generic(void* Bits, PImageFormatInfo Info, const TColor32Rec* Palette, const TColor32Rec& Color) {
  switch (ClassOf(*Info)) {
    case TFormatClass::Channel: {
      TColorDeepRec d;
      d.B = uint16_t(Color.B * 65535 / 255);
      d.G = uint16_t(Color.G * 65535 / 255);
      d.R = uint16_t(Color.R * 65535 / 255);
      d.A = uint16_t(Color.A * 65535 / 255);
      ChannelSetDstPixel(Bits, Info, d);
      break;
    }
    case TFormatClass::Gray: {
      const uint32_t lum = uint32_t(ClampRound(Luminance(Color.R, Color.G, Color.B), TExtended(255)));
      const uint64_t gray = uint64_t(lum * 65535 / 255) << 48;
      GraySetDstPixel(Bits, Info, gray, uint16_t(Color.A * 65535 / 255));
      break;
    }
    case TFormatClass::Float: {
      TColorFPRec f;
      for (int i = 0; i < 4; ++i) f.Channels[i] = ByteToFloat(Color.Channels[i]);
      FloatSetDstPixel(Bits, Info, f);
      break;
    }
    case TFormatClass::Indexed: {
      // No entry close enough gives -1; like the palette mapping, store 0.
      const int32_t index = NearestPaletteIndex(Palette, Info->PaletteEntries, Color);
      IndexSetDstPixel(Bits, Info, index < 0 ? 0u : uint32_t(index));
      break;
    }
  }
}

TColorFPRec GetPixelFPGeneric(const void* Bits, PImageFormatInfo Info, const TColor32Rec* Palette) {
  TColorFPRec f;
  switch (ClassOf(*Info)) {
    case TFormatClass::Channel: {
      TColorDeepRec d;
      ChannelGetSrcPixel(Bits, Info, d);
      f.B = WordToFloat(d.B);
      f.G = WordToFloat(d.G);
      f.R = WordToFloat(d.R);
      f.A = WordToFloat(d.A);
      break;
    }
    case TFormatClass::Gray: {
      uint64_t gray;
      uint16_t alpha;
      GrayGetSrcPixel(Bits, Info, gray, alpha);
      f.B = f.G = f.R = WordToFloat(uint32_t(gray >> 48));
      f.A = WordToFloat(alpha);
      break;
    }
    case TFormatClass::Float:
      FloatGetSrcPixel(Bits, Info, f);
      break;
    case TFormatClass::Indexed: {
      const TColor32Rec c = GetPixel32Generic(Bits, Info, Palette);
      for (int i = 0; i < 4; ++i) f.Channels[i] = ByteToFloat(c.Channels[i]);
      break;
    }
  }
  return f;
}

void SetPixelFPGeneric(void* Bits, PImageFormatInfo Info, const TColor32Rec* Palette, const TColorFPRec& Color) {
  switch (ClassOf(*Info)) {
    case TFormatClass::Channel: {
      TColorDeepRec d;
      d.B = uint16_t(ClampRound(Color.B * 65535.0f, 65535.0f));
      d.G = uint16_t(ClampRound(Color.G * 65535.0f, 65535.0f));
      d.R = uint16_t(ClampRound(Color.R * 65535.0f, 65535.0f));
      d.A = uint16_t(ClampRound(Color.A * 65535.0f, 65535.0f));
      ChannelSetDstPixel(Bits, Info, d);
      break;
    }
    case TFormatClass::Gray: {
      const uint32_t gray = uint32_t(ClampRound(Luminance(Color.R, Color.G, Color.B) * 65535, TExtended(65535)));
      const uint16_t alpha = uint16_t(ClampRound(Color.A * 65535.0f, 65535.0f));
      GraySetDstPixel(Bits, Info, uint64_t(gray) << 48, alpha);
      break;
    }
    case TFormatClass::Float:
      FloatSetDstPixel(Bits, Info, Color);
      break;
    case TFormatClass::Indexed: {
      TColor32Rec c;
      for (int i = 0; i < 4; ++i) c.Channels[i] = uint8_t(ClampRound(Color.Channels[i] * 255.0f, 255.0f));
      SetPixel32Generic(Bits, Info, Palette, c);
      break;
    }
  }
}

// ---------------------------------------------------------------------------
// The descriptions
// ---------------------------------------------------------------------------

// Packed layouts, computed by InitFormatInfoTable.
TPixelFormatInfo PFX5R1G1B1, PFR3G3B2, PFR5G6B5, PFA1R5G5B5, PFA4R4G4B4, PFX1R5G5B5, PFX4R4G4B4;

enum : unsigned { G = 1, A = 2, F = 4, P = 8, S = 16, I = 32, X = 64 };

enum class TAccess { Direct, Byte, Float, Generic, None };

constexpr TImageFormatInfo Describe(TImageFormat Format, const char* Name, int32_t BytesPerPixel,
                                    int32_t ChannelCount, int32_t PaletteEntries, unsigned Flags,
                                    TImageFormat RBSwapFormat, PPixelFormatInfo PixelFormat,
                                    TFormatGetPixelsSizeFunc Size, TFormatCheckDimensionsProc Dimensions,
                                    TAccess Access32, TAccess AccessFP, TImageFormat Nearest) {
  TImageFormatInfo info{};
  info.Format = Format;
  for (int i = 0; i < 15 && Name[i]; ++i) info.Name[i] = Name[i];
  info.BytesPerPixel = BytesPerPixel;
  info.ChannelCount = ChannelCount;
  info.PaletteEntries = PaletteEntries;
  info.HasGrayChannel = (Flags & G) != 0;
  info.HasAlphaChannel = (Flags & A) != 0;
  info.IsFloatingPoint = (Flags & F) != 0;
  info.UsePixelFormat = (Flags & P) != 0;
  info.IsRBSwapped = (Flags & S) != 0;
  info.RBSwapFormat = RBSwapFormat;
  info.IsIndexed = (Flags & I) != 0;
  info.IsSpecial = (Flags & X) != 0;
  info.PixelFormat = PixelFormat;
  info.GetPixelsSize = Size;
  info.CheckDimensions = Dimensions;
  switch (Access32) {
    case TAccess::Direct:
      info.GetPixel32 = GetPixel32Direct;
      info.SetPixel32 = SetPixel32Direct;
      break;
    case TAccess::Byte:
      info.GetPixel32 = GetPixel32Byte;
      info.SetPixel32 = SetPixel32Byte;
      break;
    case TAccess::Generic:
      info.GetPixel32 = GetPixel32Generic;
      info.SetPixel32 = SetPixel32Generic;
      break;
    default:
      break;
  }
  switch (AccessFP) {
    case TAccess::Direct:
      info.GetPixelFP = GetPixelFPDirect;
      info.SetPixelFP = SetPixelFPDirect;
      break;
    case TAccess::Byte:
      info.GetPixelFP = GetPixelFPByte;
      info.SetPixelFP = SetPixelFPByte;
      break;
    case TAccess::Float:
      info.GetPixelFP = GetPixelFPFloat;
      info.SetPixelFP = SetPixelFPFloat;
      break;
    case TAccess::Generic:
      info.GetPixelFP = GetPixelFPGeneric;
      info.SetPixelFP = SetPixelFPGeneric;
      break;
    default:
      break;
  }
  info.SpecialNearestFormat = Nearest;
  return info;
}

constexpr TAccess Dir = TAccess::Direct, Byt = TAccess::Byte, Flt = TAccess::Float, Gen = TAccess::Generic,
                  Non = TAccess::None;
constexpr TFormatGetPixelsSizeFunc Plain = PlainPixelsSize, Half = HalfBlockPixelsSize,
                                   Full = FullBlockPixelsSize, Quarter = QuarterBlockPixelsSize;
constexpr TFormatCheckDimensionsProc Any = AnyDimensions, Blocks = BlockDimensions;

const TImageFormatInfo Descriptions[33] = {
    Describe(fmtIndex8, "Index8", 1, 1, 256, A | I, fmtNone, nullptr, Plain, Any, Gen, Gen, fmtNone),
    Describe(fmtGray8, "Gray8", 1, 1, 0, G, fmtNone, nullptr, Plain, Any, Byt, Byt, fmtNone),
    Describe(fmtA8Gray8, "A8Gray8", 2, 2, 0, G | A, fmtNone, nullptr, Plain, Any, Byt, Byt, fmtNone),
    Describe(fmtGray16, "Gray16", 2, 1, 0, G, fmtNone, nullptr, Plain, Any, Gen, Gen, fmtNone),
    Describe(fmtGray32, "Gray32", 4, 1, 0, G, fmtNone, nullptr, Plain, Any, Gen, Gen, fmtNone),
    Describe(fmtGray64, "Gray64", 8, 1, 0, G, fmtNone, nullptr, Plain, Any, Gen, Gen, fmtNone),
    Describe(fmtA16Gray16, "A16Gray16", 4, 2, 0, G | A, fmtNone, nullptr, Plain, Any, Gen, Gen, fmtNone),
    Describe(fmtX5R1G1B1, "X5R1G1B1", 1, 3, 0, P, fmtNone, &PFX5R1G1B1, Plain, Any, Gen, Gen, fmtNone),
    Describe(fmtR3G3B2, "R3G3B2", 1, 3, 0, P, fmtNone, &PFR3G3B2, Plain, Any, Gen, Gen, fmtNone),
    Describe(fmtR5G6B5, "R5G6B5", 2, 3, 0, P, fmtNone, &PFR5G6B5, Plain, Any, Gen, Gen, fmtNone),
    Describe(fmtA1R5G5B5, "A1R5G5B5", 2, 4, 0, A | P, fmtNone, &PFA1R5G5B5, Plain, Any, Gen, Gen, fmtNone),
    Describe(fmtA4R4G4B4, "A4R4G4B4", 2, 4, 0, A | P, fmtNone, &PFA4R4G4B4, Plain, Any, Gen, Gen, fmtNone),
    Describe(fmtX1R5G5B5, "X1R5G5B5", 2, 3, 0, P, fmtNone, &PFX1R5G5B5, Plain, Any, Gen, Gen, fmtNone),
    Describe(fmtX4R4G4B4, "X4R4G4B4", 2, 3, 0, P, fmtNone, &PFX4R4G4B4, Plain, Any, Gen, Gen, fmtNone),
    Describe(fmtR8G8B8, "R8G8B8", 3, 3, 0, 0, fmtNone, nullptr, Plain, Any, Byt, Byt, fmtNone),
    Describe(fmtA8R8G8B8, "A8R8G8B8", 4, 4, 0, A, fmtNone, nullptr, Plain, Any, Dir, Dir, fmtNone),
    Describe(fmtX8R8G8B8, "X8R8G8B8", 4, 3, 0, 0, fmtNone, nullptr, Plain, Any, Byt, Byt, fmtNone),
    Describe(fmtR16G16B16, "R16G16B16", 6, 3, 0, 0, fmtB16G16R16, nullptr, Plain, Any, Gen, Gen, fmtNone),
    Describe(fmtA16R16G16B16, "A16R16G16B16", 8, 4, 0, A, fmtA16B16G16R16, nullptr, Plain, Any, Gen, Gen, fmtNone),
    Describe(fmtB16G16R16, "B16G16R16", 6, 3, 0, S, fmtR16G16B16, nullptr, Plain, Any, Gen, Gen, fmtNone),
    Describe(fmtA16B16G16R16, "A16B16G16R16", 8, 4, 0, A | S, fmtA16R16G16B16, nullptr, Plain, Any, Gen, Gen,
             fmtNone),
    Describe(fmtR32F, "R32F", 4, 1, 0, F, fmtNone, nullptr, Plain, Any, Gen, Flt, fmtNone),
    Describe(fmtA32R32G32B32F, "A32R32G32B32F", 16, 4, 0, A | F, fmtA32B32G32R32F, nullptr, Plain, Any, Gen, Flt,
             fmtNone),
    Describe(fmtA32B32G32R32F, "A32B32G32R32F", 16, 4, 0, A | F | S, fmtA32R32G32B32F, nullptr, Plain, Any, Gen,
             Flt, fmtNone),
    Describe(fmtR16F, "R16F", 2, 1, 0, F, fmtNone, nullptr, Plain, Any, Gen, Gen, fmtNone),
    Describe(fmtA16R16G16B16F, "A16R16G16B16F", 8, 4, 0, A | F, fmtA16B16G16R16F, nullptr, Plain, Any, Gen, Gen,
             fmtNone),
    Describe(fmtA16B16G16R16F, "A16B16G16R16F", 8, 4, 0, A | F | S, fmtA16R16G16B16F, nullptr, Plain, Any, Gen,
             Gen, fmtNone),
    Describe(fmtDXT1, "DXT1", 0, 4, 0, A | X, fmtNone, nullptr, Half, Blocks, Non, Non, fmtA8R8G8B8),
    Describe(fmtDXT3, "DXT3", 0, 4, 0, A | X, fmtNone, nullptr, Full, Blocks, Non, Non, fmtA8R8G8B8),
    Describe(fmtDXT5, "DXT5", 0, 4, 0, A | X, fmtNone, nullptr, Full, Blocks, Non, Non, fmtA8R8G8B8),
    Describe(fmtBTC, "BTC", 0, 1, 0, X, fmtNone, nullptr, Quarter, Blocks, Non, Non, fmtGray8),
    Describe(fmtATI1N, "ATI1N", 0, 1, 0, X, fmtNone, nullptr, Half, Blocks, Non, Non, fmtGray8),
    Describe(fmtATI2N, "ATI2N", 0, 2, 0, X, fmtNone, nullptr, Full, Blocks, Non, Non, fmtA8R8G8B8),
};

// The table is also built while the program starts, so that lookups work
// even before the core's start-up step has run.
[[maybe_unused]] const bool TableBuiltAtStart = (InitFormatInfoTable(), true);

}  // namespace

TPixelFormatInfo MakePixelFormatInfo(uint8_t ABits, uint8_t RBits, uint8_t GBits, uint8_t BBits) {
  auto mask = [](unsigned Bits, unsigned Shift) -> uint32_t {
    return Bits == 0 ? 0u : uint32_t(((uint64_t(1) << Bits) - 1) << Shift);
  };
  auto recDiv = [](unsigned Bits) -> uint8_t { return Bits == 0 ? 1 : uint8_t((1u << Bits) - 1); };
  TPixelFormatInfo pf{};
  pf.ABitCount = ABits;
  pf.RBitCount = RBits;
  pf.GBitCount = GBits;
  pf.BBitCount = BBits;
  pf.BShift = 0;
  pf.GShift = BBits;
  pf.RShift = uint8_t(GBits + BBits);
  pf.AShift = uint8_t(RBits + GBits + BBits);
  pf.ABitMask = mask(ABits, pf.AShift);
  pf.RBitMask = mask(RBits, pf.RShift);
  pf.GBitMask = mask(GBits, pf.GShift);
  pf.BBitMask = mask(BBits, pf.BShift);
  pf.ARecDiv = recDiv(ABits);
  pf.RRecDiv = recDiv(RBits);
  pf.GRecDiv = recDiv(GBits);
  pf.BRecDiv = recDiv(BBits);
  return pf;
}

void InitFormatInfoTable() {
  PFX5R1G1B1 = MakePixelFormatInfo(0, 1, 1, 1);
  PFR3G3B2 = MakePixelFormatInfo(0, 3, 3, 2);
  PFR5G6B5 = MakePixelFormatInfo(0, 5, 6, 5);
  PFA1R5G5B5 = MakePixelFormatInfo(1, 5, 5, 5);
  PFA4R4G4B4 = MakePixelFormatInfo(4, 4, 4, 4);
  PFX1R5G5B5 = MakePixelFormatInfo(0, 5, 5, 5);
  PFX4R4G4B4 = MakePixelFormatInfo(0, 4, 4, 4);
  for (auto& entry : FormatInfoTable) entry = nullptr;
  for (const TImageFormatInfo& info : Descriptions) FormatInfoTable[info.Format] = &info;
  FormatInfoTable[fmtDefault] = FormatInfoTable[DefaultImageFormat];
}

bool IsFormatValid(TImageFormat Format) {
  return Format >= 0 && Format <= MaxImageFormatValue && FormatInfoTable[Format] != nullptr;
}

bool QueryFormatInfo(TImageFormat Format, TImageFormatInfo& Info) {
  if (!IsFormatValid(Format)) {
    std::memset(static_cast<void*>(&Info), 0, sizeof Info);
    return false;
  }
  Info = *FormatInfoTable[Format];
  return true;
}

std::string FormatDisplayName(TImageFormat Format) {
  if (!IsFormatValid(Format)) return "Unknown and unsupported format";
  return FormatInfoTable[Format]->Name;
}

int64_t ImageBytesFor(TImageFormat Format, int32_t Width, int32_t Height) {
  if (!IsFormatValid(Format)) return 0;
  return FormatInfoTable[Format]->GetPixelsSize(Format, Width, Height);
}

}  // namespace Imaging
