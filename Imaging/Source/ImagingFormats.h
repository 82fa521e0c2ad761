// Pixel format table, pixel format conversion, colour reduction and block
// compression codecs.
#pragma once

#include "ImagingTypes.h"

namespace Imaging {

// ---------------------------------------------------------------------------
// Format table (ImagingFormats.cpp)
// ---------------------------------------------------------------------------

// 226 entries indexed by format value; null for values that are not formats,
// entry 1 (fmtDefault) points to the A8R8G8B8 description.
extern PImageFormatInfo FormatInfoTable[MaxImageFormatValue + 1];

// Fills FormatInfoTable and the packed layouts. Idempotent.
void InitFormatInfoTable();

bool IsFormatValid(TImageFormat Format);
bool QueryFormatInfo(TImageFormat Format, TImageFormatInfo& Info);
// Name of the format, or "Unknown and unsupported format".
std::string FormatDisplayName(TImageFormat Format);
// Bytes of an image of the given size in the format (0 for an invalid format).
int64_t ImageBytesFor(TImageFormat Format, int32_t Width, int32_t Height);
// Layout of a packed format from its four bit counts (A, R, G, B from the top).
TPixelFormatInfo MakePixelFormatInfo(uint8_t ABits, uint8_t RBits, uint8_t GBits, uint8_t BBits);

// Largest byte count an image may have: its Size field is 32-bit signed.
constexpr int64_t MaxImageSize = 0x7FFFFFFF;

// ---------------------------------------------------------------------------
// Arithmetic shared by the conversion routines
// ---------------------------------------------------------------------------

// Single-precision constants, used exactly as stored.
constexpr float GrayConstRed = 0.299f;
constexpr float GrayConstGreen = 0.587f;
constexpr float GrayConstBlue = 0.114f;
constexpr float OneDiv8Bit = 1.0f / 255.0f;
constexpr float OneDiv16Bit = 1.0f / 65535.0f;

// IEEE 754 half <-> single with the edge rules of the format table.
float HalfToFloat(uint16_t Half);
uint16_t FloatToHalf(float Value);

// ---------------------------------------------------------------------------
// Per-pixel readers and writers (the working representations). These are the
// reference rules; the row-wise fast paths of the converter must give the
// same values. (ImagingConversion.cpp)
// ---------------------------------------------------------------------------

void ChannelGetSrcPixel(const void* Src, PImageFormatInfo SrcInfo, TColorDeepRec& Pix);
void ChannelSetDstPixel(void* Dst, PImageFormatInfo DstInfo, const TColorDeepRec& Pix);
// Gray: the top 16 bits of the 64-bit value are the gray level.
void GrayGetSrcPixel(const void* Src, PImageFormatInfo SrcInfo, uint64_t& Gray, uint16_t& Alpha);
void GraySetDstPixel(void* Dst, PImageFormatInfo DstInfo, uint64_t Gray, uint16_t Alpha);
void FloatGetSrcPixel(const void* Src, PImageFormatInfo SrcInfo, TColorFPRec& Pix);
// The float reader for a non-float destination: the single channel of R32F
// and R16F is a gray level (R = G = B), as every peer reads a one-channel
// float map; the four-channel formats read as FloatGetSrcPixel.
void FloatGetSrcColor(const void* Src, PImageFormatInfo SrcInfo, TColorFPRec& Pix);
void FloatSetDstPixel(void* Dst, PImageFormatInfo DstInfo, const TColorFPRec& Pix);
void IndexGetSrcPixel(const void* Src, PImageFormatInfo SrcInfo, uint32_t& Index);
void IndexSetDstPixel(void* Dst, PImageFormatInfo DstInfo, uint32_t Index);

// Converts the image in place to Format (fmtDefault means DefaultImageFormat).
// False for an invalid image; an invalid Format is an assertion failure. On
// failure the image is left as it was.
bool ChangeImageFormat(TImageData& Image, TImageFormat Format);
// The same conversion with every pixel taken one at a time through the
// per-pixel rules above, never through the row-wise fast paths. Results are
// identical; it exists so that the fast paths can be checked against it.
bool ChangeImageFormatGeneric(TImageData& Image, TImageFormat Format);

// ---------------------------------------------------------------------------
// Colour reduction (ImagingColorReduction.cpp)
// ---------------------------------------------------------------------------

enum TReduceColorsAction : int32_t {
  raCreateHistogram = 1,
  raUpdateHistogram = 2,
  raMakeColorMap = 4,
  raMapImage = 8,
};
constexpr int32_t raAll = raCreateHistogram | raUpdateHistogram | raMakeColorMap | raMapImage;

// Median cut quantizer over 32-bit colours with alpha. Stages is a set of
// TReduceColorsAction. Reads PixelCount pixels of SrcBits in SrcInfo's format,
// writes indices into DstBits with DstInfo's bytes per pixel.
void QuantizeMedianCut(int32_t PixelCount, const void* SrcBits, void* DstBits, int32_t Stages,
                       TColor32Rec* Palette, uint8_t Mask, int32_t MaxColors, PImageFormatInfo DstInfo,
                       PImageFormatInfo SrcInfo);

// ---------------------------------------------------------------------------
// Block compression codecs (ImagingBlockCodecs.cpp)
// ---------------------------------------------------------------------------

// Expands the blocks of a special-format Image into TargetBits, an image of
// the same size in Format's SpecialNearestFormat.
void DecodeBlocks(const TImageData& Image, void* TargetBits, TImageFormat Format);
// Compresses SrcBits (the nearest format, same size) into Image.Bits.
void EncodeBlocks(const void* SrcBits, TImageData& Image, TImageFormat Format);

}  // namespace Imaging
