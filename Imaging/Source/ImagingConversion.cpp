// Pixel format conversion: the per-pixel readers and writers of the working
// representations, half <-> single, the rules for each pair of format
// classes, row-wise fast paths for the common pairs and the path through the
// block codecs for the special formats.
//
// The per-pixel rules (ConvertPixel and the readers/writers) are the
// reference. Every fast path below must give exactly the bytes the per-pixel
// rules give; ChangeImageFormatGeneric runs the reference alone so that tests
// can compare the two.
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#if defined(__SSE__) || defined(__x86_64__)
#include <xmmintrin.h>
#endif

#include "Imaging.h"
#include "ImagingFormats.h"
#include "ImagingPixelMath.h"

namespace Imaging {

using namespace PixelMath;

// ---------------------------------------------------------------------------
// Half <-> single
// ---------------------------------------------------------------------------

float HalfToFloat(uint16_t Half) {
  const uint32_t sign = uint32_t(Half >> 15) << 31;
  int32_t exponent = (Half >> 10) & 0x1F;
  uint32_t mantissa = Half & 0x3FF;
  uint32_t bits;
  if (exponent == 0) {
    if (mantissa == 0) {
      bits = sign;  // signed zero
    } else {
      // Subnormal: normalise it.
      while ((mantissa & 0x400) == 0) {
        mantissa <<= 1;
        --exponent;
      }
      ++exponent;
      mantissa &= ~uint32_t(0x400);
      bits = sign | (uint32_t(exponent + 112) << 23) | (mantissa << 13);
    }
  } else if (exponent == 31) {
    bits = sign | 0x7F800000u | (mantissa << 13);  // infinity or NaN
  } else {
    bits = sign | (uint32_t(exponent + 112) << 23) | (mantissa << 13);
  }
  float result;
  std::memcpy(&result, &bits, 4);
  return result;
}

uint16_t FloatToHalf(float Value) {
  uint32_t bits;
  std::memcpy(&bits, &Value, 4);
  const uint32_t sign = (bits >> 16) & 0x8000;
  const int32_t singleExponent = int32_t((bits >> 23) & 0xFF);
  int32_t exponent = singleExponent - 127 + 15;
  uint32_t mantissa = bits & 0x7FFFFF;

  if (exponent > 0 && exponent < 30) {
    uint32_t m = (mantissa + 0x1000) >> 13;
    if (m & 0x400) {  // rounding carried into the exponent
      ++exponent;
      m = 0;
    }
    return uint16_t(sign | (uint32_t(exponent) << 10) | m);
  }
  if (bits == 0) return 0;
  if (exponent <= 0) {
    if (exponent < -10) return 0;  // too small: +0 (the sign is not kept)
    mantissa = (mantissa | 0x800000) >> (1 - exponent);
    if (mantissa & 0x1000) mantissa += 0x2000;
    return uint16_t(sign | ((mantissa >> 13) & 0x7FFF));  // a carry gives the smallest normal
  }
  if (singleExponent == 255) {
    uint32_t m = mantissa >> 13;
    // A NaN whose payload sits only in the low bits would otherwise come out
    // as infinity; keep it a (quiet) NaN.
    if (mantissa != 0 && m == 0) m = 0x200;
    return uint16_t(sign | 0x7C00 | m);
  }
  // exponent >= 30: the largest normals, or too large.
  if (mantissa & 0x1000) {
    mantissa += 0x2000;
    if (mantissa & 0x800000) {
      mantissa = 0;
      ++exponent;
    }
  }
  if (exponent > 30) return uint16_t(sign | 0x7C00);
  return uint16_t(sign | (uint32_t(exponent) << 10) | (mantissa >> 13));
}

// ---------------------------------------------------------------------------
// Per-pixel readers and writers
// ---------------------------------------------------------------------------

namespace {

inline uint16_t LoadWord(const uint8_t* P) {
  uint16_t v;
  std::memcpy(&v, P, 2);
  return v;
}
inline void StoreWord(uint8_t* P, uint16_t V) { std::memcpy(P, &V, 2); }
inline float LoadFloat(const uint8_t* P) {
  float v;
  std::memcpy(&v, P, 4);
  return v;
}
inline void StoreFloat(uint8_t* P, float V) { std::memcpy(P, &V, 4); }

}  // namespace

void ChannelGetSrcPixel(const void* Src, PImageFormatInfo SrcInfo, TColorDeepRec& Pix) {
  const auto* p = static_cast<const uint8_t*>(Src);
  Pix = TColorDeepRec{0, 0, 0, 0};
  switch (SrcInfo->BytesPerPixel) {
    case 1:
    case 2: {
      const uint32_t pixel = SrcInfo->BytesPerPixel == 1 ? p[0] : LoadWord(p);
      const TPixelFormatInfo& pf = *SrcInfo->PixelFormat;
      // Each field is widened to 8 bits by repeating its bits, then to 16 bits
      // as x 257, so full intensity stays full and 8-bit targets get the
      // widened byte back exactly.
      auto field = [pixel](uint32_t Mask, uint8_t Shift, uint8_t Bits) -> uint16_t {
        if (Bits == 0) return 0;
        return uint16_t(WidenField((pixel & Mask) >> Shift, Bits) * 257);
      };
      Pix.A = field(pf.ABitMask, pf.AShift, pf.ABitCount);
      Pix.R = field(pf.RBitMask, pf.RShift, pf.RBitCount);
      Pix.G = field(pf.GBitMask, pf.GShift, pf.GBitCount);
      Pix.B = field(pf.BBitMask, pf.BShift, pf.BBitCount);
      break;
    }
    case 3:
      Pix.B = uint16_t(p[0] * 65535 / 255);
      Pix.G = uint16_t(p[1] * 65535 / 255);
      Pix.R = uint16_t(p[2] * 65535 / 255);
      break;
    case 4:
      Pix.B = uint16_t(p[0] * 65535 / 255);
      Pix.G = uint16_t(p[1] * 65535 / 255);
      Pix.R = uint16_t(p[2] * 65535 / 255);
      Pix.A = uint16_t(p[3] * 65535 / 255);
      break;
    case 6:
      Pix.B = LoadWord(p);
      Pix.G = LoadWord(p + 2);
      Pix.R = LoadWord(p + 4);
      break;
    case 8:
      Pix.B = LoadWord(p);
      Pix.G = LoadWord(p + 2);
      Pix.R = LoadWord(p + 4);
      Pix.A = LoadWord(p + 6);
      break;
    default:
      break;
  }
  if (!SrcInfo->HasAlphaChannel) Pix.A = 65535;
  if (SrcInfo->IsRBSwapped) std::swap(Pix.R, Pix.B);
}

void ChannelSetDstPixel(void* Dst, PImageFormatInfo DstInfo, const TColorDeepRec& Pix) {
  auto* p = static_cast<uint8_t*>(Dst);
  TColorDeepRec c = Pix;
  if (DstInfo->IsRBSwapped) std::swap(c.R, c.B);
  switch (DstInfo->BytesPerPixel) {
    case 1:
    case 2: {
      const TPixelFormatInfo& pf = *DstInfo->PixelFormat;
      // The top bits of the high byte of each channel; X bits stay 0.
      auto field = [](uint16_t Value, uint8_t Bits, uint8_t Shift) -> uint32_t {
        return ((uint32_t(Value >> 8) << Bits) >> 8) << Shift;
      };
      const uint32_t pixel = field(c.A, pf.ABitCount, pf.AShift) | field(c.R, pf.RBitCount, pf.RShift) |
                             field(c.G, pf.GBitCount, pf.GShift) | field(c.B, pf.BBitCount, pf.BShift);
      if (DstInfo->BytesPerPixel == 1)
        p[0] = uint8_t(pixel);
      else
        StoreWord(p, uint16_t(pixel));
      break;
    }
    case 4:
      p[3] = uint8_t(c.A * 255 / 65535);
      [[fallthrough]];
    case 3:
      p[0] = uint8_t(c.B * 255 / 65535);
      p[1] = uint8_t(c.G * 255 / 65535);
      p[2] = uint8_t(c.R * 255 / 65535);
      break;
    case 8:
      StoreWord(p + 6, c.A);
      [[fallthrough]];
    case 6:
      StoreWord(p, c.B);
      StoreWord(p + 2, c.G);
      StoreWord(p + 4, c.R);
      break;
    default:
      break;
  }
}

void GrayGetSrcPixel(const void* Src, PImageFormatInfo SrcInfo, uint64_t& Gray, uint16_t& Alpha) {
  const auto* p = static_cast<const uint8_t*>(Src);
  Gray = 0;
  Alpha = 0;
  switch (SrcInfo->Format) {
    case fmtGray8:
      Gray = uint64_t(p[0] * 65535 / 255) << 48;
      break;
    case fmtA8Gray8:
      Gray = uint64_t(p[0] * 65535 / 255) << 48;
      Alpha = uint16_t(p[1] * 65535 / 255);
      break;
    case fmtGray16:
      Gray = uint64_t(LoadWord(p)) << 48;
      break;
    case fmtA16Gray16:
      Gray = uint64_t(LoadWord(p)) << 48;
      Alpha = LoadWord(p + 2);
      break;
    case fmtGray32: {
      uint32_t v;
      std::memcpy(&v, p, 4);
      Gray = uint64_t(v) << 32;
      break;
    }
    case fmtGray64:
      std::memcpy(&Gray, p, 8);
      break;
    default:
      break;
  }
  if (!SrcInfo->HasAlphaChannel) Alpha = 65535;
}

void GraySetDstPixel(void* Dst, PImageFormatInfo DstInfo, uint64_t Gray, uint16_t Alpha) {
  auto* p = static_cast<uint8_t*>(Dst);
  const uint32_t top = uint32_t(Gray >> 48);
  switch (DstInfo->Format) {
    case fmtGray8:
      p[0] = uint8_t(top * 255 / 65535);
      break;
    case fmtA8Gray8:
      p[0] = uint8_t(top * 255 / 65535);
      p[1] = uint8_t(uint32_t(Alpha) * 255 / 65535);
      break;
    case fmtGray16:
      StoreWord(p, uint16_t(top));
      break;
    case fmtA16Gray16:
      StoreWord(p, uint16_t(top));
      StoreWord(p + 2, Alpha);
      break;
    case fmtGray32: {
      const uint32_t v = uint32_t(Gray >> 32);
      std::memcpy(p, &v, 4);
      break;
    }
    case fmtGray64:
      std::memcpy(p, &Gray, 8);
      break;
    default:
      break;
  }
}

void FloatGetSrcPixel(const void* Src, PImageFormatInfo SrcInfo, TColorFPRec& Pix) {
  const auto* p = static_cast<const uint8_t*>(Src);
  Pix.B = Pix.G = Pix.R = Pix.A = 0.0f;
  switch (SrcInfo->Format) {
    case fmtR32F:
      Pix.R = LoadFloat(p);
      break;
    case fmtA32R32G32B32F:
    case fmtA32B32G32R32F:
      for (int i = 0; i < 4; ++i) Pix.Channels[i] = LoadFloat(p + 4 * i);
      break;
    case fmtR16F:
      Pix.R = HalfToFloat(LoadWord(p));
      break;
    case fmtA16R16G16B16F:
    case fmtA16B16G16R16F:
      for (int i = 0; i < 4; ++i) Pix.Channels[i] = HalfToFloat(LoadWord(p + 2 * i));
      break;
    default:
      break;
  }
  if (!SrcInfo->HasAlphaChannel) Pix.A = 1.0f;
  if (SrcInfo->IsRBSwapped) std::swap(Pix.R, Pix.B);
}

void FloatGetSrcColor(const void* Src, PImageFormatInfo SrcInfo, TColorFPRec& Pix) {
  FloatGetSrcPixel(Src, SrcInfo, Pix);
  if (SrcInfo->Format == fmtR32F || SrcInfo->Format == fmtR16F) Pix.G = Pix.B = Pix.R;
}

void FloatSetDstPixel(void* Dst, PImageFormatInfo DstInfo, const TColorFPRec& Pix) {
  auto* p = static_cast<uint8_t*>(Dst);
  TColorFPRec c = Pix;
  if (DstInfo->IsRBSwapped) std::swap(c.R, c.B);
  switch (DstInfo->Format) {
    case fmtR32F:
      StoreFloat(p, c.R);
      break;
    case fmtA32R32G32B32F:
    case fmtA32B32G32R32F:
      for (int i = 0; i < 4; ++i) StoreFloat(p + 4 * i, c.Channels[i]);
      break;
    case fmtR16F:
      StoreWord(p, FloatToHalf(c.R));
      break;
    case fmtA16R16G16B16F:
    case fmtA16B16G16R16F:
      for (int i = 0; i < 4; ++i) StoreWord(p + 2 * i, FloatToHalf(c.Channels[i]));
      break;
    default:
      break;
  }
}

void IndexGetSrcPixel(const void* Src, PImageFormatInfo SrcInfo, uint32_t& Index) {
  const auto* p = static_cast<const uint8_t*>(Src);
  switch (SrcInfo->BytesPerPixel) {
    case 1:
      Index = p[0];
      break;
    case 2:
      Index = LoadWord(p);
      break;
    case 4:
      std::memcpy(&Index, p, 4);
      break;
    default:
      Index = 0;
      break;
  }
}

void IndexSetDstPixel(void* Dst, PImageFormatInfo DstInfo, uint32_t Index) {
  auto* p = static_cast<uint8_t*>(Dst);
  switch (DstInfo->BytesPerPixel) {
    case 1:
      p[0] = uint8_t(Index);
      break;
    case 2:
      StoreWord(p, uint16_t(Index));
      break;
    case 4:
      std::memcpy(p, &Index, 4);
      break;
    default:
      break;
  }
}

namespace {

// ---------------------------------------------------------------------------
// The rule of each pair of classes, one pixel at a time
// ---------------------------------------------------------------------------

// One conversion run over the pixels of an image, in memory order.
struct TPixelRun {
  const uint8_t* Src;
  const TImageFormatInfo* SrcInfo;
  const TColor32Rec* SrcPalette;
  uint8_t* Dst;
  const TImageFormatInfo* DstInfo;
  TColor32Rec* DstPalette;
  int64_t Count;
};

inline uint32_t RoundedLuminance(uint32_t R, uint32_t G, uint32_t B, uint32_t Max) {
  return uint32_t(ClampRound(Luminance(R, G, B), TExtended(Max)));
}

int32_t IndexBitsFor(int32_t PaletteEntries) {
  int32_t bits = 0;
  while (bits < 16 && (int32_t(1) << bits) < PaletteEntries) ++bits;
  return bits;
}

TColor32Rec PaletteEntry(const TPixelRun& Run, const uint8_t* S) {
  uint32_t index;
  IndexGetSrcPixel(S, Run.SrcInfo, index);
  if (index < uint32_t(Run.SrcInfo->PaletteEntries)) return Run.SrcPalette[index];
  return Color32(0, 0, 0, 0);
}

// Converts the pixel at S into D by the rule of the two classes. Colour
// reduction (channel or float to indexed) works on whole images and is not
// done here; the palette of a gray to indexed conversion is made by the
// caller.
void ConvertPixel(const TPixelRun& Run, TFormatClass SC, TFormatClass DC, const uint8_t* S, uint8_t* D) {
  const TImageFormatInfo& si = *Run.SrcInfo;
  const TImageFormatInfo& di = *Run.DstInfo;
  switch (SC) {
    case TFormatClass::Channel:
      switch (DC) {
        case TFormatClass::Channel: {
          if (si.BytesPerPixel == 3 && di.BytesPerPixel == 4) {
            D[0] = S[0];
            D[1] = S[1];
            D[2] = S[2];
            D[3] = di.HasAlphaChannel ? 255 : 0;
          } else if (si.BytesPerPixel == 4 && di.BytesPerPixel == 3) {
            D[0] = S[0];
            D[1] = S[1];
            D[2] = S[2];
          } else {
            TColorDeepRec c;
            ChannelGetSrcPixel(S, &si, c);
            ChannelSetDstPixel(D, &di, c);
          }
          return;
        }
        case TFormatClass::Gray: {
          if ((si.BytesPerPixel == 3 || si.BytesPerPixel == 4) && di.Format == fmtGray8) {
            D[0] = uint8_t(RoundedLuminance(S[2], S[1], S[0], 255));
          } else {
            TColorDeepRec c;
            ChannelGetSrcPixel(S, &si, c);
            const uint32_t gray = RoundedLuminance(c.R, c.G, c.B, 65535);
            GraySetDstPixel(D, &di, uint64_t(gray) << 48, c.A);
          }
          return;
        }
        case TFormatClass::Float: {
          TColorDeepRec c;
          ChannelGetSrcPixel(S, &si, c);
          TColorFPRec f;
          f.B = WordToFloat(c.B);
          f.G = WordToFloat(c.G);
          f.R = WordToFloat(c.R);
          f.A = WordToFloat(c.A);
          FloatSetDstPixel(D, &di, f);
          return;
        }
        case TFormatClass::Indexed:
          return;  // whole-image colour reduction
      }
      return;

    case TFormatClass::Gray: {
      if (DC == TFormatClass::Indexed) {
        if (si.Format == fmtGray8 && di.BytesPerPixel == 1) {
          IndexSetDstPixel(D, &di, S[0]);
        } else {
          uint64_t gray;
          uint16_t alpha;
          GrayGetSrcPixel(S, &si, gray, alpha);
          IndexSetDstPixel(D, &di, uint32_t(gray >> 48) >> (16 - IndexBitsFor(di.PaletteEntries)));
        }
        return;
      }
      if (DC == TFormatClass::Gray) {
        if (si.Format == fmtGray8 && di.Format == fmtGray16) {
          StoreWord(D, uint16_t(S[0] << 8));
        } else if (si.Format == fmtGray16 && di.Format == fmtGray8) {
          D[0] = uint8_t(LoadWord(S) >> 8);
        } else {
          uint64_t gray;
          uint16_t alpha;
          GrayGetSrcPixel(S, &si, gray, alpha);
          GraySetDstPixel(D, &di, gray, alpha);
        }
        return;
      }
      if (DC == TFormatClass::Channel && si.Format == fmtGray8 &&
          (di.BytesPerPixel == 3 || di.BytesPerPixel == 4)) {
        D[0] = D[1] = D[2] = S[0];
        if (di.BytesPerPixel == 4) D[3] = di.HasAlphaChannel ? 255 : 0;
        return;
      }
      uint64_t gray;
      uint16_t alpha;
      GrayGetSrcPixel(S, &si, gray, alpha);
      const uint16_t top = uint16_t(gray >> 48);
      if (DC == TFormatClass::Float) {
        TColorFPRec f;
        f.B = f.G = f.R = WordToFloat(top);
        f.A = WordToFloat(alpha);
        FloatSetDstPixel(D, &di, f);
      } else {
        ChannelSetDstPixel(D, &di, TColorDeepRec{top, top, top, alpha});
      }
      return;
    }

    case TFormatClass::Float: {
      if (DC == TFormatClass::Indexed) return;  // whole-image colour reduction
      TColorFPRec f;
      if (DC == TFormatClass::Float) {
        FloatGetSrcPixel(S, &si, f);
        FloatSetDstPixel(D, &di, f);
        return;
      }
      FloatGetSrcColor(S, &si, f);
      for (float& c : f.Channels) c = Clamp01(c);
      if (DC == TFormatClass::Gray) {
        const uint16_t alpha = uint16_t(ClampRound(f.A * 65535.0f, 65535.0f));
        const uint32_t gray = uint32_t(ClampRound(Luminance(f.R, f.G, f.B) * 65535, TExtended(65535)));
        GraySetDstPixel(D, &di, uint64_t(gray) << 48, alpha);
      } else {
        TColorDeepRec c;
        c.B = uint16_t(ClampRound(f.B * 65535.0f, 65535.0f));
        c.G = uint16_t(ClampRound(f.G * 65535.0f, 65535.0f));
        c.R = uint16_t(ClampRound(f.R * 65535.0f, 65535.0f));
        c.A = uint16_t(ClampRound(f.A * 65535.0f, 65535.0f));
        ChannelSetDstPixel(D, &di, c);
      }
      return;
    }

    case TFormatClass::Indexed: {
      if (DC == TFormatClass::Indexed) {
        uint32_t index;
        IndexGetSrcPixel(S, &si, index);
        IndexSetDstPixel(D, &di, index);
        return;
      }
      const TColor32Rec e = PaletteEntry(Run, S);
      switch (DC) {
        case TFormatClass::Gray:
          if (si.Format == fmtIndex8 && di.Format == fmtGray8) {
            D[0] = uint8_t(RoundedLuminance(e.R, e.G, e.B, 255));
          } else {
            const uint32_t gray = RoundedLuminance(e.R, e.G, e.B, 255) * 65535 / 255;
            GraySetDstPixel(D, &di, uint64_t(gray) << 48, uint16_t(e.A << 8));
          }
          return;
        case TFormatClass::Float: {
          TColorFPRec f;
          for (int i = 0; i < 4; ++i) f.Channels[i] = ByteToFloat(e.Channels[i]);
          FloatSetDstPixel(D, &di, f);
          return;
        }
        case TFormatClass::Channel:
          if (si.Format == fmtIndex8 && (di.Format == fmtR8G8B8 || di.Format == fmtA8R8G8B8)) {
            D[0] = e.B;
            D[1] = e.G;
            D[2] = e.R;
            if (di.Format == fmtA8R8G8B8) D[3] = e.A;
          } else {
            ChannelSetDstPixel(
                D, &di, TColorDeepRec{uint16_t(e.B << 8), uint16_t(e.G << 8), uint16_t(e.R << 8), uint16_t(e.A << 8)});
          }
          return;
        default:
          return;
      }
    }
  }
}

// Work that some pairs need once per image, before or instead of the pixels.
// Returns true when the pixels are done too (colour reduction).
bool PrepareRun(const TPixelRun& Run, TFormatClass SC, TFormatClass DC) {
  if (DC != TFormatClass::Indexed) return false;
  const TImageFormatInfo& di = *Run.DstInfo;
  switch (SC) {
    case TFormatClass::Channel:
    case TFormatClass::Float:
      QuantizeMedianCut(int32_t(Run.Count), Run.Src, Run.Dst, raAll, Run.DstPalette, uint8_t(ColorReductionMask()),
                        di.PaletteEntries, Run.DstInfo, Run.SrcInfo);
      return true;
    case TFormatClass::Gray:
      MakeGrayPalette(Run.DstPalette, di.PaletteEntries);
      return false;
    case TFormatClass::Indexed:
      std::memcpy(Run.DstPalette, Run.SrcPalette,
                  size_t(std::min(Run.SrcInfo->PaletteEntries, di.PaletteEntries)) * sizeof(TColor32Rec));
      return false;
  }
  return false;
}

// ---------------------------------------------------------------------------
// Row-wise fast paths
// ---------------------------------------------------------------------------

// Luminance of 8-bit (Scale 1) or widened 8-bit (Scale 257) channels in
// exact integer arithmetic. Each single-precision weight is a whole multiple
// of 2^-27, so R*wr + G*wg + B*wb is an integer count of 2^-27 units; the
// extended-precision sum of the per-pixel rule is exact too, so rounding the
// unit count half to even gives the same result.
constexpr int LumFractionBits = 27;

struct TLumTables {
  uint64_t R[256], G[256], B[256];
  explicit TLumTables(uint32_t Scale) {
    const uint64_t wr = WeightUnits(GrayConstRed), wg = WeightUnits(GrayConstGreen), wb = WeightUnits(GrayConstBlue);
    for (uint32_t c = 0; c < 256; ++c) {
      R[c] = c * Scale * wr;
      G[c] = c * Scale * wg;
      B[c] = c * Scale * wb;
    }
  }
  static uint64_t WeightUnits(float Weight) {
    const TExtended units = TExtended(Weight) * TExtended(uint64_t(1) << LumFractionBits);
    const uint64_t whole = uint64_t(units);
    IMAGING_ASSERT(TExtended(whole) == units);
    return whole;
  }
  static uint32_t Round(uint64_t Units) {
    constexpr uint64_t half = uint64_t(1) << (LumFractionBits - 1), mask = (uint64_t(1) << LumFractionBits) - 1;
    uint64_t q = Units >> LumFractionBits;
    const uint64_t rest = Units & mask;
    q += (rest > half || (rest == half && (q & 1))) ? 1 : 0;
    return uint32_t(q);
  }
  uint32_t Luma(uint8_t R8, uint8_t G8, uint8_t B8) const { return Round(R[R8] + G[G8] + B[B8]); }
};

const TLumTables& LumTables8() {
  static const TLumTables tables(1);
  return tables;
}
const TLumTables& LumTables16() {
  static const TLumTables tables(257);
  return tables;
}

// Rounding of the per-pixel rule (RoundToInt of a float) without a call: the
// SSE conversion uses the current rounding mode, which the core never changes
// from nearest-even.
inline int32_t RoundFloat(float Value) {
#if defined(__SSE__) || defined(__x86_64__)
  return _mm_cvtss_si32(_mm_set_ss(Value));
#else
  return RoundToInt(Value);
#endif
}

// Float channel to a 16-bit working channel: clamp to 0..1, x 65535, round.
inline uint32_t FloatToWord(float Value) {
#if defined(__SSE__) || defined(__x86_64__)
  // Without branches: MAXSS returns its second operand (0) when the first is
  // NaN.
  __m128 v = _mm_max_ss(_mm_set_ss(Value), _mm_setzero_ps());
  v = _mm_min_ss(v, _mm_set_ss(1.0f));
  return uint32_t(RoundFloat(_mm_cvtss_f32(_mm_mul_ss(v, _mm_set_ss(65535.0f)))));
#else
  Value = Value > 0.0f ? Value : 0.0f;  // NaN gives 0
  Value = Value < 1.0f ? Value : 1.0f;
  return uint32_t(RoundFloat(Value * 65535.0f));
#endif
}

inline uint8_t WordToByte(uint32_t Word) { return uint8_t(Word * 255 / 65535); }

// Widened 8-bit channels as floats (the channel -> float rule).
const float* ByteAsWordFloat() {
  static const auto table = [] {
    std::unique_ptr<float[]> t(new float[256]);
    for (uint32_t c = 0; c < 256; ++c) t[c] = WordToFloat(c * 65535 / 255);
    return t;
  }();
  return table.get();
}

bool IsByteColor(TImageFormat F) { return F == fmtR8G8B8 || F == fmtA8R8G8B8 || F == fmtX8R8G8B8; }
bool IsWordColor(TImageFormat F) {
  return F == fmtR16G16B16 || F == fmtA16R16G16B16 || F == fmtB16G16R16 || F == fmtA16B16G16R16;
}
bool IsFloatColor(TImageFormat F) { return F == fmtR32F || F == fmtA32R32G32B32F || F == fmtA32B32G32R32F; }

template <int SBpp, int DBpp, typename TBody>
inline void ForEachPixel(const TPixelRun& Run, TBody Body) {
  const uint8_t* s = Run.Src;
  uint8_t* d = Run.Dst;
  for (int64_t i = 0; i < Run.Count; ++i, s += SBpp, d += DBpp) Body(s, d);
}

// 32-bit -> 24-bit colour: B, G, R of every pixel. All pixels but the last
// are stored as 4 bytes, the fourth being overwritten by the next pixel.
void DropFourthByte(const TPixelRun& Run) {
  const uint8_t* s = Run.Src;
  uint8_t* d = Run.Dst;
  const int64_t count = Run.Count;
  for (int64_t i = 0; i + 1 < count; ++i, s += 4, d += 3) std::memcpy(d, s, 4);
  if (count > 0) std::memcpy(d, s, 3);
}

// 24-bit -> 32-bit colour with the given top byte. All pixels but the last
// are loaded as 4 bytes.
void AddFourthByte(const TPixelRun& Run, uint32_t Top) {
  const uint8_t* s = Run.Src;
  uint8_t* d = Run.Dst;
  const int64_t count = Run.Count;
  for (int64_t i = 0; i + 1 < count; ++i, s += 3, d += 4) {
    uint32_t v;
    std::memcpy(&v, s, 4);
    v = (v & 0x00FFFFFFu) | Top;
    std::memcpy(d, &v, 4);
  }
  if (count > 0) {
    const uint32_t v = uint32_t(s[0]) | (uint32_t(s[1]) << 8) | (uint32_t(s[2]) << 16) | Top;
    std::memcpy(d, &v, 4);
  }
}

// 8-bit colour <-> 8-bit colour and gray.
bool ByteColorPaths(const TPixelRun& Run) {
  const TImageFormat sf = Run.SrcInfo->Format, df = Run.DstInfo->Format;
  switch (sf) {
    case fmtA8R8G8B8:
      switch (df) {
        case fmtR8G8B8:
          DropFourthByte(Run);
          return true;
        case fmtX8R8G8B8:  // every byte survives the 16-bit round trip
          std::memcpy(Run.Dst, Run.Src, size_t(Run.Count) * 4);
          return true;
        default:
          break;
      }
      break;
    case fmtX8R8G8B8:
      switch (df) {
        case fmtR8G8B8:
          DropFourthByte(Run);
          return true;
        case fmtA8R8G8B8:
          ForEachPixel<4, 4>(Run, [](const uint8_t* s, uint8_t* d) {
            uint32_t v;
            std::memcpy(&v, s, 4);
            v |= 0xFF000000u;
            std::memcpy(d, &v, 4);
          });
          return true;
        default:
          break;
      }
      break;
    case fmtR8G8B8:
      if (df == fmtA8R8G8B8 || df == fmtX8R8G8B8) {
        AddFourthByte(Run, df == fmtA8R8G8B8 ? 0xFF000000u : 0);
        return true;
      }
      break;
    case fmtGray8:
      switch (df) {
        case fmtA8R8G8B8:
        case fmtX8R8G8B8: {
          const uint32_t top = df == fmtA8R8G8B8 ? 0xFF000000u : 0;
          ForEachPixel<1, 4>(Run, [top](const uint8_t* s, uint8_t* d) {
            const uint32_t v = uint32_t(s[0]) * 0x010101u | top;
            std::memcpy(d, &v, 4);
          });
          return true;
        }
        case fmtR8G8B8:
          ForEachPixel<1, 3>(Run, [](const uint8_t* s, uint8_t* d) { d[0] = d[1] = d[2] = s[0]; });
          return true;
        case fmtA8Gray8:
          ForEachPixel<1, 2>(Run, [](const uint8_t* s, uint8_t* d) {
            d[0] = s[0];
            d[1] = 255;
          });
          return true;
        case fmtGray16:
          ForEachPixel<1, 2>(Run, [](const uint8_t* s, uint8_t* d) { StoreWord(d, uint16_t(s[0] << 8)); });
          return true;
        default:
          break;
      }
      break;
    case fmtA8Gray8:
      switch (df) {
        case fmtA8R8G8B8:
        case fmtX8R8G8B8:  // the X byte receives the alpha
          ForEachPixel<2, 4>(Run, [](const uint8_t* s, uint8_t* d) {
            const uint32_t v = uint32_t(s[0]) * 0x010101u | (uint32_t(s[1]) << 24);
            std::memcpy(d, &v, 4);
          });
          return true;
        case fmtR8G8B8:
          ForEachPixel<2, 3>(Run, [](const uint8_t* s, uint8_t* d) { d[0] = d[1] = d[2] = s[0]; });
          return true;
        case fmtGray8:
          ForEachPixel<2, 1>(Run, [](const uint8_t* s, uint8_t* d) { d[0] = s[0]; });
          return true;
        default:
          break;
      }
      break;
    case fmtGray16:
      if (df == fmtGray8) {
        ForEachPixel<2, 1>(Run, [](const uint8_t* s, uint8_t* d) { d[0] = uint8_t(LoadWord(s) >> 8); });
        return true;
      }
      break;
    default:
      break;
  }

  if (IsByteColor(sf) && df == fmtGray8) {
    const TLumTables& t = LumTables8();
    if (Run.SrcInfo->BytesPerPixel == 4)
      ForEachPixel<4, 1>(Run, [&t](const uint8_t* s, uint8_t* d) { d[0] = uint8_t(t.Luma(s[2], s[1], s[0])); });
    else
      ForEachPixel<3, 1>(Run, [&t](const uint8_t* s, uint8_t* d) { d[0] = uint8_t(t.Luma(s[2], s[1], s[0])); });
    return true;
  }
  if (IsByteColor(sf) && df == fmtA8Gray8) {
    // Widened to 16 bits, luminance, back to 8 bits (the general channel ->
    // gray rule); alpha is the alpha byte or 255.
    const TLumTables& t = LumTables16();
    if (sf == fmtA8R8G8B8)
      ForEachPixel<4, 2>(Run, [&t](const uint8_t* s, uint8_t* d) {
        d[0] = WordToByte(t.Luma(s[2], s[1], s[0]));
        d[1] = s[3];
      });
    else if (sf == fmtX8R8G8B8)
      ForEachPixel<4, 2>(Run, [&t](const uint8_t* s, uint8_t* d) {
        d[0] = WordToByte(t.Luma(s[2], s[1], s[0]));
        d[1] = 255;
      });
    else
      ForEachPixel<3, 2>(Run, [&t](const uint8_t* s, uint8_t* d) {
        d[0] = WordToByte(t.Luma(s[2], s[1], s[0]));
        d[1] = 255;
      });
    return true;
  }
  return false;
}

// 8 <-> 16 bits per channel, both channel orders.
template <int SBpp, int DBpp>
void BytesToWords(const TPixelRun& Run, bool SrcAlpha, bool Swapped) {
  const int r = Swapped ? 0 : 2, b = Swapped ? 2 : 0;
  ForEachPixel<SBpp, DBpp>(Run, [=](const uint8_t* s, uint8_t* d) {
    uint16_t w[4];
    w[b] = uint16_t(s[0] * 257);
    w[1] = uint16_t(s[1] * 257);
    w[r] = uint16_t(s[2] * 257);
    if constexpr (DBpp == 8) w[3] = SrcAlpha ? uint16_t(s[SBpp == 4 ? 3 : 0] * 257) : 65535;
    std::memcpy(d, w, DBpp);
  });
}

template <int SBpp, int DBpp>
void WordsToBytes(const TPixelRun& Run, bool SrcAlpha, bool Swapped) {
  const int r = Swapped ? 0 : 2, b = Swapped ? 2 : 0;
  ForEachPixel<SBpp, DBpp>(Run, [=](const uint8_t* s, uint8_t* d) {
    uint16_t w[4];
    std::memcpy(w, s, SBpp);
    d[0] = WordToByte(w[b]);
    d[1] = WordToByte(w[1]);
    d[2] = WordToByte(w[r]);
    if constexpr (DBpp == 4) d[3] = SrcAlpha ? WordToByte(w[SBpp == 8 ? 3 : 0]) : 255;
  });
}

bool WordColorPaths(const TPixelRun& Run) {
  const TImageFormat sf = Run.SrcInfo->Format, df = Run.DstInfo->Format;
  const int sb = Run.SrcInfo->BytesPerPixel, db = Run.DstInfo->BytesPerPixel;
  if (IsByteColor(sf) && IsWordColor(df)) {
    const bool alpha = Run.SrcInfo->HasAlphaChannel, swapped = Run.DstInfo->IsRBSwapped;
    if (sb == 3)
      db == 6 ? BytesToWords<3, 6>(Run, alpha, swapped) : BytesToWords<3, 8>(Run, alpha, swapped);
    else
      db == 6 ? BytesToWords<4, 6>(Run, alpha, swapped) : BytesToWords<4, 8>(Run, alpha, swapped);
    return true;
  }
  if (IsWordColor(sf) && IsByteColor(df)) {
    const bool alpha = Run.SrcInfo->HasAlphaChannel, swapped = Run.SrcInfo->IsRBSwapped;
    if (sb == 6)
      db == 3 ? WordsToBytes<6, 3>(Run, alpha, swapped) : WordsToBytes<6, 4>(Run, alpha, swapped);
    else
      db == 3 ? WordsToBytes<8, 3>(Run, alpha, swapped) : WordsToBytes<8, 4>(Run, alpha, swapped);
    return true;
  }
  return false;
}

// Four-float colour -> 8-bit colour: clamp, widen to 16 bits, back to 8.
template <int DBpp>
void FloatsToBytes(const TPixelRun& Run, bool Swapped) {
  const int r = Swapped ? 0 : 2, b = Swapped ? 2 : 0;
  ForEachPixel<16, DBpp>(Run, [=](const uint8_t* s, uint8_t* d) {
    float f[4];
    std::memcpy(f, s, 16);
    d[0] = WordToByte(FloatToWord(f[b]));
    d[1] = WordToByte(FloatToWord(f[1]));
    d[2] = WordToByte(FloatToWord(f[r]));
    if constexpr (DBpp == 4) d[3] = WordToByte(FloatToWord(f[3]));
  });
}

// One-channel float (a gray level) -> 8-bit colour.
template <int DBpp>
void GrayFloatToBytes(const TPixelRun& Run) {
  ForEachPixel<4, DBpp>(Run, [](const uint8_t* s, uint8_t* d) {
    d[0] = d[1] = d[2] = WordToByte(FloatToWord(LoadFloat(s)));
    if constexpr (DBpp == 4) d[3] = 255;
  });
}

template <int SBpp>
void BytesToFloats(const TPixelRun& Run, bool SrcAlpha, TImageFormat Dst) {
  const float* lut = ByteAsWordFloat();
  const float opaque = WordToFloat(65535);
  if (Dst == fmtR32F) {
    ForEachPixel<SBpp, 4>(Run, [lut](const uint8_t* s, uint8_t* d) { StoreFloat(d, lut[s[2]]); });
    return;
  }
  const int r = Dst == fmtA32B32G32R32F ? 0 : 2, b = 2 - r;
  ForEachPixel<SBpp, 16>(Run, [=](const uint8_t* s, uint8_t* d) {
    float f[4];
    f[b] = lut[s[0]];
    f[1] = lut[s[1]];
    f[r] = lut[s[2]];
    f[3] = SrcAlpha ? lut[s[SBpp == 4 ? 3 : 0]] : opaque;
    std::memcpy(d, f, 16);
  });
}

// Every half as a single.
const float* HalfAsFloat() {
  static const auto table = [] {
    std::unique_ptr<float[]> t(new float[65536]);
    for (uint32_t h = 0; h < 65536; ++h) t[h] = HalfToFloat(uint16_t(h));
    return t;
  }();
  return table.get();
}

// Widened 8-bit channels as halves (the channel -> float rule, then the
// float writer).
const uint16_t* ByteAsWordHalf() {
  static const auto table = [] {
    std::unique_ptr<uint16_t[]> t(new uint16_t[256]);
    const float* f = ByteAsWordFloat();
    for (uint32_t c = 0; c < 256; ++c) t[c] = FloatToHalf(f[c]);
    return t;
  }();
  return table.get();
}

bool IsHalfColor(TImageFormat F) { return F == fmtA16R16G16B16F || F == fmtA16B16G16R16F; }

// Four-half colour -> 8-bit colour: as four floats.
template <int DBpp>
void HalvesToBytes(const TPixelRun& Run, bool Swapped) {
  const int r = Swapped ? 0 : 2, b = Swapped ? 2 : 0;
  const float* half = HalfAsFloat();
  ForEachPixel<8, DBpp>(Run, [=](const uint8_t* s, uint8_t* d) {
    uint16_t w[4];
    std::memcpy(w, s, 8);
    d[0] = WordToByte(FloatToWord(half[w[b]]));
    d[1] = WordToByte(FloatToWord(half[w[1]]));
    d[2] = WordToByte(FloatToWord(half[w[r]]));
    if constexpr (DBpp == 4) d[3] = WordToByte(FloatToWord(half[w[3]]));
  });
}

template <int SBpp>
void BytesToHalves(const TPixelRun& Run, bool SrcAlpha, bool Swapped) {
  const uint16_t* lut = ByteAsWordHalf();
  const uint16_t opaque = FloatToHalf(WordToFloat(65535));
  const int r = Swapped ? 0 : 2, b = 2 - r;
  ForEachPixel<SBpp, 8>(Run, [=](const uint8_t* s, uint8_t* d) {
    uint16_t w[4];
    w[b] = lut[s[0]];
    w[1] = lut[s[1]];
    w[r] = lut[s[2]];
    w[3] = SrcAlpha ? lut[s[SBpp == 4 ? 3 : 0]] : opaque;
    std::memcpy(d, w, 8);
  });
}

bool HalfColorPaths(const TPixelRun& Run) {
  const TImageFormat sf = Run.SrcInfo->Format, df = Run.DstInfo->Format;
  if (IsHalfColor(sf) && IsByteColor(df)) {
    Run.DstInfo->BytesPerPixel == 3 ? HalvesToBytes<3>(Run, Run.SrcInfo->IsRBSwapped)
                                    : HalvesToBytes<4>(Run, Run.SrcInfo->IsRBSwapped);
    return true;
  }
  if (IsByteColor(sf) && IsHalfColor(df)) {
    if (Run.SrcInfo->BytesPerPixel == 3)
      BytesToHalves<3>(Run, false, Run.DstInfo->IsRBSwapped);
    else
      BytesToHalves<4>(Run, Run.SrcInfo->HasAlphaChannel, Run.DstInfo->IsRBSwapped);
    return true;
  }
  return false;
}

bool FloatColorPaths(const TPixelRun& Run) {
  const TImageFormat sf = Run.SrcInfo->Format, df = Run.DstInfo->Format;
  const int db = Run.DstInfo->BytesPerPixel;
  if (IsFloatColor(sf) && IsByteColor(df)) {
    if (sf == fmtR32F)
      db == 3 ? GrayFloatToBytes<3>(Run) : GrayFloatToBytes<4>(Run);
    else
      db == 3 ? FloatsToBytes<3>(Run, Run.SrcInfo->IsRBSwapped) : FloatsToBytes<4>(Run, Run.SrcInfo->IsRBSwapped);
    return true;
  }
  if (IsByteColor(sf) && IsFloatColor(df)) {
    if (Run.SrcInfo->BytesPerPixel == 3)
      BytesToFloats<3>(Run, false, df);
    else
      BytesToFloats<4>(Run, Run.SrcInfo->HasAlphaChannel, df);
    return true;
  }
  return false;
}

template <int SBpp, int DBpp>
void LookUpPixels(const TPixelRun& Run, const uint8_t* Table) {
  ForEachPixel<SBpp, DBpp>(Run, [Table](const uint8_t* s, uint8_t* d) {
    const uint32_t key = SBpp == 1 ? s[0] : LoadWord(s);
    std::memcpy(d, Table + size_t(key) * DBpp, DBpp);
  });
}

template <int SBpp>
bool LookUpPixels(const TPixelRun& Run, int DBpp, const uint8_t* Table) {
  switch (DBpp) {
    case 1: LookUpPixels<SBpp, 1>(Run, Table); return true;
    case 2: LookUpPixels<SBpp, 2>(Run, Table); return true;
    case 3: LookUpPixels<SBpp, 3>(Run, Table); return true;
    case 4: LookUpPixels<SBpp, 4>(Run, Table); return true;
    case 6: LookUpPixels<SBpp, 6>(Run, Table); return true;
    case 8: LookUpPixels<SBpp, 8>(Run, Table); return true;
    case 16: LookUpPixels<SBpp, 16>(Run, Table); return true;
    default: return false;
  }
}

// Below this many pixels a table of all 65536 results of a 2-byte format
// costs more than it saves.
constexpr int64_t WordTableMinPixels = 4 * 65536;

// Sources of 1 or 2 bytes per pixel (Index8, Gray8, the packed formats,
// A8Gray8, Gray16, R16F): every possible result is made once by the
// per-pixel rule, then every pixel is a table look-up. Each result depends on
// the pixel's own bytes (and the palette) only, so this is exact.
bool LookUpPaths(const TPixelRun& Run) {
  const TFormatClass sc = ClassOf(*Run.SrcInfo), dc = ClassOf(*Run.DstInfo);
  if (dc == TFormatClass::Indexed && sc != TFormatClass::Gray) return false;
  if (Run.SrcInfo->Format == fmtGray8 && Run.DstInfo->Format == fmtIndex8) {
    std::memcpy(Run.Dst, Run.Src, size_t(Run.Count));  // the palette is the gray ramp
    return true;
  }
  const int sb = Run.SrcInfo->BytesPerPixel, db = Run.DstInfo->BytesPerPixel;
  if (db > 16 || (sb != 1 && sb != 2) || (sb == 2 && Run.Count < WordTableMinPixels)) return false;
  const uint32_t keys = sb == 1 ? 256 : 65536;
  std::vector<uint8_t> table(size_t(keys) * size_t(db));
  for (uint32_t key = 0; key < keys; ++key) {
    uint8_t pixel[2] = {uint8_t(key), uint8_t(key >> 8)};
    ConvertPixel(Run, sc, dc, pixel, table.data() + size_t(key) * size_t(db));
  }
  return sb == 1 ? LookUpPixels<1>(Run, db, table.data()) : LookUpPixels<2>(Run, db, table.data());
}

bool ConvertPixelsFast(const TPixelRun& Run) {
  return ByteColorPaths(Run) || WordColorPaths(Run) || FloatColorPaths(Run) || HalfColorPaths(Run) ||
         LookUpPaths(Run);
}

// Converts a run: once-per-image work, then the fast path of the pair if
// there is one and Fast is set, otherwise every pixel through ConvertPixel.
void ConvertPixels(const TPixelRun& Run, bool Fast) {
  const TFormatClass sc = ClassOf(*Run.SrcInfo), dc = ClassOf(*Run.DstInfo);
  if (PrepareRun(Run, sc, dc)) return;
  const int64_t sbpp = Run.SrcInfo->BytesPerPixel, dbpp = Run.DstInfo->BytesPerPixel;
  // In slices, between which a cancel of this thread ends the conversion.
  constexpr int64_t SlicePixels = int64_t(1) << 20;
  for (int64_t first = 0; first < Run.Count; first += SlicePixels) {
    PollCancel();
    TPixelRun part = Run;
    part.Src += first * sbpp;
    part.Dst += first * dbpp;
    part.Count = std::min(SlicePixels, Run.Count - first);
    if (Fast && ConvertPixelsFast(part)) continue;
    for (int64_t i = 0; i < part.Count; ++i) ConvertPixel(part, sc, dc, part.Src + i * sbpp, part.Dst + i * dbpp);
  }
}

// ---------------------------------------------------------------------------
// Whole images
// ---------------------------------------------------------------------------

// An image record owned by the converter until it is handed over; whatever
// it still holds is released when it goes out of scope.
struct TOwnedImage {
  TImageData Image;
  TOwnedImage() = default;
  TOwnedImage(const TOwnedImage&) = delete;
  TOwnedImage& operator=(const TOwnedImage&) = delete;
  ~TOwnedImage() { Free(); }
  void Free() {
    FreeMem(Image.Bits);
    FreeMem(Image.Palette);
    Image = TImageData();
  }
  TImageData Release() {
    const TImageData result = Image;
    Image = TImageData();
    return result;
  }
  void Take(TOwnedImage& Other) {
    Free();
    Image = Other.Release();
  }
};

int64_t PixelCount(const TImageData& Image) {
  return Image.Width > 0 && Image.Height > 0 ? int64_t(Image.Width) * Image.Height : 0;
}

// Zero-filled pixels (and palette) for an image; sizes that do not fit the
// 32-bit Size of an image are refused before anything is allocated.
void AllocateImage(int32_t Width, int32_t Height, TImageFormat Format, TOwnedImage& Out) {
  const TImageFormatInfo& info = *FormatInfoTable[Format];
  const int64_t bytes = info.GetPixelsSize(Format, Width, Height);
  if (bytes < 0 || bytes > MaxImageSize)
    RaiseImagingError("An image of %d x %d pixels in format \"%s\" would need %d bytes, more than the %d an image can hold.",
                      Width, Height, FormatDisplayName(Format), (long long)bytes, (long long)MaxImageSize);
  Out.Free();
  Out.Image.Bits = AllocMem(bytes);
  if (info.PaletteEntries > 0) Out.Image.Palette = static_cast<PPalette32>(AllocMem(int64_t(info.PaletteEntries) * 4));
  Out.Image.Width = Width;
  Out.Image.Height = Height;
  Out.Image.Format = Format;
  Out.Image.Size = int32_t(bytes);
}

// Exchanges red and blue of every pixel of a format and its RB-swapped
// partner: elements 0 and 2 of each pixel, nothing else.
void SwapRedBlue(void* Bits, int64_t Count, const TImageFormatInfo& Info) {
  auto* p = static_cast<uint8_t*>(Bits);
  const int64_t bpp = Info.BytesPerPixel;
  const size_t element = size_t(bpp / Info.ChannelCount);
  uint8_t t[4];
  for (int64_t i = 0; i < Count; ++i, p += bpp) {
    std::memcpy(t, p, element);
    std::memcpy(p, p + 2 * element, element);
    std::memcpy(p + 2 * element, t, element);
  }
}

void ConvertToNew(const TImageData& Src, TImageFormat Dst, TOwnedImage& Out, bool Fast);

// Either format is block-compressed: decode to the source's nearest format,
// convert, fit the size to whole blocks and encode. Works on temporaries
// only; Src is never changed.
void ConvertSpecial(const TImageData& Src, const TImageFormatInfo& SI, TImageFormat Dst, const TImageFormatInfo& DI,
                    TOwnedImage& Out, bool Fast) {
  TOwnedImage work;
  const TImageData* pixels = &Src;
  if (SI.IsSpecial) {
    AllocateImage(Src.Width, Src.Height, SI.SpecialNearestFormat, work);
    DecodeBlocks(Src, work.Image.Bits, Src.Format);
    pixels = &work.Image;
  }
  if (!DI.IsSpecial) {
    if (FormatInfoTable[work.Image.Format] == &DI)
      Out.Take(work);
    else
      ConvertToNew(work.Image, Dst, Out, Fast);
    return;
  }
  const TImageFormat nearest = DI.SpecialNearestFormat;
  if (FormatInfoTable[pixels->Format] != FormatInfoTable[nearest]) {
    TOwnedImage converted;
    ConvertToNew(*pixels, nearest, converted, Fast);
    work.Take(converted);
    pixels = &work.Image;
  }
  int32_t width = pixels->Width, height = pixels->Height;
  DI.CheckDimensions(Dst, width, height);
  if (width != pixels->Width || height != pixels->Height) {
    if (pixels != &work.Image) {
      ConvertToNew(*pixels, pixels->Format, work, Fast);  // a copy that may be resized
      pixels = &work.Image;
    }
    if (!ScaleImage(work.Image, width, height, rfNearest))
      RaiseImagingError("Cannot resize the image to %d x %d pixels.", width, height);
  }
  TOwnedImage encoded;
  AllocateImage(width, height, Dst, encoded);
  EncodeBlocks(pixels->Bits, encoded.Image, Dst);
  Out.Take(encoded);
}

// Builds Src converted to Dst in Out without changing Src.
void ConvertToNew(const TImageData& Src, TImageFormat Dst, TOwnedImage& Out, bool Fast) {
  const TImageFormatInfo& si = *FormatInfoTable[Src.Format];
  const TImageFormatInfo& di = *FormatInfoTable[Dst];
  if (si.IsSpecial || di.IsSpecial) {
    if (&si != &di) {
      ConvertSpecial(Src, si, Dst, di, Out, Fast);
      return;
    }
  }
  if (si.IsIndexed && !Src.Palette) RaiseImagingError("The indexed image has no palette.");
  TOwnedImage result;
  AllocateImage(Src.Width, Src.Height, Dst, result);
  const int64_t count = PixelCount(Src);
  if (&si == &di) {
    std::memcpy(result.Image.Bits, Src.Bits, size_t(Src.Size));
    if (result.Image.Palette)
      std::memcpy(result.Image.Palette, Src.Palette, size_t(di.PaletteEntries) * sizeof(TColor32Rec));
  } else if (si.RBSwapFormat == Dst && di.RBSwapFormat == Src.Format) {
    std::memcpy(result.Image.Bits, Src.Bits, size_t(Src.Size));
    SwapRedBlue(result.Image.Bits, count, si);
  } else {
    const TPixelRun run{static_cast<const uint8_t*>(Src.Bits), &si, Src.Palette,
                        static_cast<uint8_t*>(result.Image.Bits), &di, result.Image.Palette, count};
    ConvertPixels(run, Fast);
  }
  Out.Take(result);
}

bool ConvertImage(TImageData& Image, TImageFormat Format, bool Fast) {
  IMAGING_ASSERT(IsFormatValid(Format));
  if (!IsValidImage(Image)) return false;
  if (Format == fmtDefault) Format = DefaultImageFormat;
  const TImageFormatInfo& si = *FormatInfoTable[Image.Format];
  const TImageFormatInfo& di = *FormatInfoTable[Format];
  if (&si == &di) return true;
  try {
    if (si.RBSwapFormat == Format && di.RBSwapFormat == Image.Format) {
      SwapRedBlue(Image.Bits, PixelCount(Image), si);  // cannot fail: done in place
      Image.Format = Format;
      return true;
    }
    TOwnedImage result;
    ConvertToNew(Image, Format, result, Fast);
    // Only now, with the new pixels complete, the old ones go.
    FreeMem(Image.Bits);
    FreeMem(Image.Palette);
    Image = result.Release();
    return true;
  } catch (...) {
    RaiseImagingError("Error while converting image to format \"%s\". %s", FormatDisplayName(Format),
                      DescribeImage(Image));
  }
}

}  // namespace

bool ChangeImageFormat(TImageData& Image, TImageFormat Format) { return ConvertImage(Image, Format, true); }

bool ChangeImageFormatGeneric(TImageData& Image, TImageFormat Format) { return ConvertImage(Image, Format, false); }

}  // namespace Imaging
