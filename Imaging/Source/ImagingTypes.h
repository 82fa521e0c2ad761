// Basic types of the imaging core: pixel formats, colour records, the image
// record and the description of a pixel format. Everything else in the core
// and in every handler is written against these definitions.
#pragma once

#include <atomic>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

namespace Imaging {

// ---------------------------------------------------------------------------
// Exceptions
// ---------------------------------------------------------------------------

// The general error class of the system; every error the core raises derives
// from it (EImagingError, assertion failures, buffered stream failures).
class Exception : public std::runtime_error {
public:
  explicit Exception(const std::string& Message) : std::runtime_error(Message) {}
};

// Errors of the imaging core. Messages are built by RaiseImagingError.
class EImagingError : public Exception {
public:
  explicit EImagingError(const std::string& Message) : Exception(Message) {}
};

// A violated precondition of an entry point. Raised before anything changes,
// in every build type (never compiled out).
class EAssertionFailed : public Exception {
public:
  explicit EAssertionFailed(const std::string& Message) : Exception(Message) {}
};

[[noreturn]] void AssertionFailed(const char* Expression, const char* File, int Line);

// Cancellation of long work on the calling thread. While a flag is set here
// and true, PollCancel raises EImagingError "Operation cancelled". The core
// polls it between slices of its long loops (pixel conversion, colour
// reduction, block compression, JPEG rows), so that a cancel ends them at
// once; set it to nullptr when done.
void SetCancelFlag(const std::atomic<bool>* Flag);
const std::atomic<bool>* CancelFlag();
bool CancelRequested();
void PollCancel();

#define IMAGING_ASSERT(Condition)                                              \
  do {                                                                         \
    if (!(Condition)) ::Imaging::AssertionFailed(#Condition, __FILE__, __LINE__); \
  } while (0)

// ---------------------------------------------------------------------------
// Pixel formats
// ---------------------------------------------------------------------------

enum TImageFormat : int32_t {
  fmtNone = 0,
  fmtDefault = 1,
  fmtIndex8 = 10,
  fmtGray8 = 40,
  fmtA8Gray8 = 41,
  fmtGray16 = 42,
  fmtGray32 = 43,
  fmtGray64 = 44,
  fmtA16Gray16 = 45,
  fmtX5R1G1B1 = 80,
  fmtR3G3B2 = 81,
  fmtR5G6B5 = 82,
  fmtA1R5G5B5 = 83,
  fmtA4R4G4B4 = 84,
  fmtX1R5G5B5 = 85,
  fmtX4R4G4B4 = 86,
  fmtR8G8B8 = 87,
  fmtA8R8G8B8 = 88,
  fmtX8R8G8B8 = 89,
  fmtR16G16B16 = 90,
  fmtA16R16G16B16 = 91,
  fmtB16G16R16 = 92,
  fmtA16B16G16R16 = 93,
  fmtR32F = 170,
  fmtA32R32G32B32F = 171,
  fmtA32B32G32R32F = 172,
  fmtR16F = 173,
  fmtA16R16G16B16F = 174,
  fmtA16B16G16R16F = 175,
  fmtDXT1 = 220,
  fmtDXT3 = 221,
  fmtDXT5 = 222,
  fmtBTC = 223,
  fmtATI1N = 224,
  fmtATI2N = 225,
};

// Highest value that can name a pixel format.
constexpr int32_t MaxImageFormatValue = 225;

// The process-wide default format; fmtDefault stands for it.
constexpr TImageFormat DefaultImageFormat = fmtA8R8G8B8;

// The 33 real pixel formats in the order of their values.
extern const TImageFormat AllImageFormats[33];

// A set of pixel formats (a bit set over the values 0..255).
class TImageFormats {
public:
  constexpr TImageFormats() = default;
  constexpr TImageFormats(std::initializer_list<TImageFormat> Formats) {
    for (TImageFormat F : Formats) Include(F);
  }
  constexpr void Include(TImageFormat F) {
    if (F >= 0 && F < 256) FBits[F >> 6] |= uint64_t(1) << (F & 63);
  }
  constexpr void Exclude(TImageFormat F) {
    if (F >= 0 && F < 256) FBits[F >> 6] &= ~(uint64_t(1) << (F & 63));
  }
  constexpr bool Contains(TImageFormat F) const {
    return F >= 0 && F < 256 && ((FBits[F >> 6] >> (F & 63)) & 1) != 0;
  }
  constexpr bool Empty() const { return (FBits[0] | FBits[1] | FBits[2] | FBits[3]) == 0; }
  constexpr bool operator==(const TImageFormats&) const = default;

private:
  uint64_t FBits[4] = {0, 0, 0, 0};
};

// ---------------------------------------------------------------------------
// Colour records (little-endian, channel 0 = blue, 1 = green, 2 = red, 3 = alpha)
// ---------------------------------------------------------------------------

struct TColor24Rec {
  union {
    struct {
      uint8_t B, G, R;
    };
    uint8_t Channels[3];
  };
};

struct TColor32Rec {
  union {
    uint32_t Color;  // reads 0xAARRGGBB
    struct {
      uint8_t B, G, R, A;
    };
    uint8_t Channels[4];
    TColor24Rec Color24Rec;
  };
};

struct TColorFPRec {
  union {
    struct {
      float B, G, R, A;
    };
    float Channels[4];
  };
};

// Working colour of the conversion routines: four 16-bit channels. For gray
// formats the gray level is carried in the A position.
struct TColorDeepRec {
  uint16_t B, G, R, A;
};

static_assert(sizeof(TColor24Rec) == 3, "TColor24Rec must be 3 bytes");
static_assert(sizeof(TColor32Rec) == 4, "TColor32Rec must be 4 bytes");
static_assert(sizeof(TColorFPRec) == 16, "TColorFPRec must be 16 bytes");
static_assert(sizeof(TColorDeepRec) == 8, "TColorDeepRec must be 8 bytes");
static_assert(offsetof(TColorDeepRec, A) == 6, "TColorDeepRec layout is B, G, R, A");

using PPalette32 = TColor32Rec*;
using TColor32RecArray = TColor32Rec[256];
using TPalette24Size256 = TColor24Rec[256];
using PPalette24 = TColor24Rec*;

// Builds a colour from its four 8-bit channels.
constexpr TColor32Rec Color32(uint8_t A, uint8_t R, uint8_t G, uint8_t B) {
  TColor32Rec C{};
  C.Color = (uint32_t(A) << 24) | (uint32_t(R) << 16) | (uint32_t(G) << 8) | B;
  return C;
}
inline TColor32Rec Color32(uint32_t Value) {
  TColor32Rec C;
  C.Color = Value;
  return C;
}
inline TColorFPRec ColorFP(float A, float R, float G, float B) {
  TColorFPRec C;
  C.A = A;
  C.R = R;
  C.G = G;
  C.B = B;
  return C;
}

// ---------------------------------------------------------------------------
// Image record
// ---------------------------------------------------------------------------

// One image. Rows are stored top-down without gaps. The record owns Bits and
// Palette; they are released only through ReleaseImage. An all-zero record is
// the empty image.
struct TImageData {
  int32_t Width = 0;
  int32_t Height = 0;
  TImageFormat Format = fmtNone;
  int32_t Size = 0;
  void* Bits = nullptr;
  PPalette32 Palette = nullptr;
};

using TDynImageDataArray = std::vector<TImageData>;

// Pixel memory of images and palettes: zero-filled, released with FreeMem.
// AllocMem refuses (EImagingError) sizes that are negative or do not fit the
// 32-bit Size of an image, and allocation failures.
void* AllocMem(int64_t Size);
// As AllocMem, for a block its caller writes whole before reading: the bytes
// start undefined, which spares clearing memory that is used again.
void* AllocMemUncleared(int64_t Size);
void FreeMem(void* Memory);
// Gives memory kept from released large blocks back to the system (the core
// keeps some for reuse; callers trim after a run).
void TrimMemory();

// An allocator that takes its memory from AllocMem, for the large working
// buffers of handlers (packed rows, output blocks): they get huge pages and
// reuse memory released by earlier images instead of faulting in fresh
// pages on every save. Fresh blocks are zero-filled.
template <typename T>
struct TPixelAllocator {
  using value_type = T;
  TPixelAllocator() noexcept = default;
  template <typename U>
  TPixelAllocator(const TPixelAllocator<U>&) noexcept {}
  T* allocate(size_t Count) {
    if (Count > size_t(0x7FFFFFFF) / sizeof(T)) throw std::bad_alloc();
    return static_cast<T*>(AllocMem(int64_t(Count * sizeof(T))));
  }
  void deallocate(T* Memory, size_t) noexcept { FreeMem(Memory); }
  template <typename U>
  bool operator==(const TPixelAllocator<U>&) const noexcept {
    return true;
  }
};

// A growable byte buffer on that memory.
using TByteBuffer = std::vector<uint8_t, TPixelAllocator<uint8_t>>;

// ---------------------------------------------------------------------------
// Pixel format description
// ---------------------------------------------------------------------------

struct TPixelFormatInfo {
  uint8_t ABitCount, RBitCount, GBitCount, BBitCount;
  uint32_t ABitMask, RBitMask, GBitMask, BBitMask;
  uint8_t AShift, RShift, GShift, BShift;
  uint8_t ARecDiv, RRecDiv, GRecDiv, BRecDiv;
};
using PPixelFormatInfo = TPixelFormatInfo*;

struct TImageFormatInfo;
using PImageFormatInfo = const TImageFormatInfo*;

// Size rule: bytes of an image of the given size (64-bit so that callers can
// refuse sizes that do not fit the 32-bit Size before allocating).
using TFormatGetPixelsSizeFunc = int64_t (*)(TImageFormat Format, int32_t Width, int32_t Height);
using TFormatCheckDimensionsProc = void (*)(TImageFormat Format, int32_t& Width, int32_t& Height);
using TGetPixel32Func = TColor32Rec (*)(const void* Bits, PImageFormatInfo Info, const TColor32Rec* Palette);
using TGetPixelFPFunc = TColorFPRec (*)(const void* Bits, PImageFormatInfo Info, const TColor32Rec* Palette);
using TSetPixel32Proc = void (*)(void* Bits, PImageFormatInfo Info, const TColor32Rec* Palette,
                                 const TColor32Rec& Color);
using TSetPixelFPProc = void (*)(void* Bits, PImageFormatInfo Info, const TColor32Rec* Palette,
                                 const TColorFPRec& Color);

struct TImageFormatInfo {
  TImageFormat Format;
  char Name[16];
  int32_t BytesPerPixel;
  int32_t ChannelCount;
  int32_t PaletteEntries;
  bool HasGrayChannel;
  bool HasAlphaChannel;
  bool IsFloatingPoint;
  bool UsePixelFormat;
  bool IsRBSwapped;
  TImageFormat RBSwapFormat;
  bool IsIndexed;
  bool IsSpecial;
  PPixelFormatInfo PixelFormat;
  TFormatGetPixelsSizeFunc GetPixelsSize;
  TFormatCheckDimensionsProc CheckDimensions;
  TGetPixel32Func GetPixel32;
  TGetPixelFPFunc GetPixelFP;
  TSetPixel32Proc SetPixel32;
  TSetPixelFPProc SetPixelFP;
  TImageFormat SpecialNearestFormat;
};

}  // namespace Imaging
