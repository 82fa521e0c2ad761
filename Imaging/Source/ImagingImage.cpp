// Image lifecycle and manipulation: creating, validating, duplicating and
// releasing images, flips, channel exchange, rectangle copy, fill, colour
// replacement, stretching and scaling, palette helpers, pixel access and the
// one-line image description used in every error message.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <vector>

#include "Imaging.h"

namespace Imaging {

namespace {

PImageFormatInfo InfoOf(TImageFormat Format) {
  if (Format < 0 || Format > MaxImageFormatValue) return nullptr;
  return FormatInfoTable[Format];
}

// A valid record whose Size is not 0 must have pixel memory; anything else is
// a damaged record that would be dereferenced.
void CheckPixelMemory(const TImageData& Image) {
  if (Image.Size > 0 && !Image.Bits) RaiseImagingError("The image has no pixel memory.");
}

uint8_t* PixelAddress(const TImageData& Image, PImageFormatInfo Info, int64_t X, int64_t Y) {
  return static_cast<uint8_t*>(Image.Bits) + (Y * Image.Width + X) * Info->BytesPerPixel;
}

bool SameDescription(TImageFormat A, TImageFormat B) { return InfoOf(A) == InfoOf(B); }

bool SharesMemory(const TImageData& A, const TImageData& B) {
  return (A.Bits && A.Bits == B.Bits) || (A.Palette && A.Palette == B.Palette);
}

// Runs Work on Image in a format whose pixels can be addressed: a special
// (block-compressed) image is decoded to the default format first and encoded
// back into its own format afterwards, also when Work fails.
template <typename TWork>
bool WithPlainFormat(TImageData& Image, TWork&& Work) {
  PImageFormatInfo info = InfoOf(Image.Format);
  if (!info->IsSpecial) return Work(Image, info);
  const TImageFormat original = Image.Format;
  if (!ChangeImageFormat(Image, DefaultImageFormat)) RaiseImagingError("The image could not be decoded.");
  bool result;
  try {
    result = Work(Image, InfoOf(Image.Format));
  } catch (...) {
    try {
      ChangeImageFormat(Image, original);
    } catch (...) {
    }
    throw;
  }
  ChangeImageFormat(Image, original);
  return result;
}

// Releases a temporary image when it goes out of scope.
struct TTempImage {
  TImageData Image;
  ~TTempImage() {
    try {
      ReleaseImage(Image);
    } catch (...) {
    }
  }
};

// Fill and replace clipping of one axis. False when nothing is left.
bool ClipFillAxis(int64_t& Start, int64_t& Length, int64_t Size) {
  if (Length <= 0) return false;
  if (Start < 0) {
    Length += Start;
    Start = 0;
  }
  if (Start + Length > Size) Length = std::max<int64_t>(Size - Start, 0);
  return Length > 0;
}

// Copy clipping of one axis: S source start, T target start, N length.
bool ClipCopyAxis(int64_t& S, int64_t& T, int64_t& N, int64_t SrcSize, int64_t DstSize) {
  if (N <= 0) return false;
  if (T < 0) {
    N += T;
    S -= T;
    T = 0;
  }
  if (S < 0) {
    N += S;
    T -= S;
    S = 0;
  }
  N = std::min({N, SrcSize - S, DstSize - T});
  return N > 0;
}

// Rounds to the nearest integer (ties to even), kept in a range where the
// clipping arithmetic cannot overflow.
int64_t RoundClip(double Value) {
  if (!(Value == Value)) return 0;
  if (Value > 4.0e18) return int64_t(4000000000000000000LL);
  if (Value < -4.0e18) return -int64_t(4000000000000000000LL);
  return std::llrint(Value);
}

// Stretch clipping of one axis: source start S and length N in a source of
// SrcSize, target start T and length M in a target of DstSize. A cut on one
// side shortens the other side in proportion. The ratio is a single, the
// products are formed in double precision: cuts near 2^31 pixels do not fit
// the 24 bits of a single's mantissa.
bool ClipStretchAxis(int64_t& S, int64_t& N, int64_t SrcSize, int64_t& T, int64_t& M, int64_t DstSize) {
  if (N <= 0 || M <= 0) return false;
  const float ratio = float(M) / float(N);
  if (T < 0) {
    const int64_t cut = -T;
    const int64_t srcCut = RoundClip(double(cut) / double(ratio));
    M -= cut;
    T = 0;
    N -= srcCut;
    S += srcCut;
  }
  if (S < 0) {
    const int64_t cut = -S;
    const int64_t dstCut = RoundClip(double(cut) * double(ratio));
    N -= cut;
    S = 0;
    M -= dstCut;
    T += dstCut;
  }
  if (N <= 0 || M <= 0) return false;
  if (S + N > SrcSize) {
    const int64_t oldN = N;
    N = SrcSize - S;
    if (N <= 0) return false;
    M = RoundClip(double(N) / double(oldN) * double(M));
  }
  if (M <= 0) return false;
  if (T + M > DstSize) {
    const int64_t oldM = M;
    M = DstSize - T;
    if (M <= 0) return false;
    N = RoundClip(double(M) / double(oldM) * double(N));
  }
  return N > 0 && M > 0 && S + N <= SrcSize && T + M <= DstSize;
}

// Reverses the order of the Count pixels of Size bytes at Row.
template <size_t Size>
void MirrorRow(uint8_t* Row, int64_t Count) {
  uint8_t* left = Row;
  uint8_t* right = Row + (Count - 1) * int64_t(Size);
  for (; left < right; left += Size, right -= Size) {
    uint8_t t[Size];
    std::memcpy(t, left, Size);
    std::memcpy(left, right, Size);
    std::memcpy(right, t, Size);
  }
}

void MirrorRowAny(uint8_t* Row, int64_t Count, int32_t Size) {
  uint8_t* left = Row;
  uint8_t* right = Row + (Count - 1) * Size;
  for (; left < right; left += Size, right -= Size) std::swap_ranges(left, left + Size, right);
}

// Fills Count pixels of Size bytes at Dst with the pixel at Value.
void FillPixels(uint8_t* Dst, int64_t Count, const uint8_t* Value, int32_t Size) {
  switch (Size) {
    case 1:
      std::memset(Dst, Value[0], size_t(Count));
      return;
    case 2: {
      uint16_t v;
      std::memcpy(&v, Value, 2);
      std::fill_n(reinterpret_cast<uint16_t*>(Dst), Count, v);
      return;
    }
    case 4: {
      uint32_t v;
      std::memcpy(&v, Value, 4);
      std::fill_n(reinterpret_cast<uint32_t*>(Dst), Count, v);
      return;
    }
    default: {
      // Seed one pixel, then double the filled run.
      std::memcpy(Dst, Value, size_t(Size));
      const int64_t total = Count * Size;
      int64_t done = Size;
      while (done < total) {
        const int64_t n = std::min(done, total - done);
        std::memcpy(Dst + done, Dst, size_t(n));
        done += n;
      }
    }
  }
}

template <typename T>
void ReplaceTyped(uint8_t* Row, int64_t Count, const void* OldValue, const void* NewValue) {
  T o, n;
  std::memcpy(&o, OldValue, sizeof(T));
  std::memcpy(&n, NewValue, sizeof(T));
  T* p = reinterpret_cast<T*>(Row);
  for (int64_t i = 0; i < Count; ++i)
    if (p[i] == o) p[i] = n;
}

void ReplaceRow(uint8_t* Row, int64_t Count, const void* OldValue, const void* NewValue, int32_t Size) {
  switch (Size) {
    case 1:
      ReplaceTyped<uint8_t>(Row, Count, OldValue, NewValue);
      return;
    case 2:
      ReplaceTyped<uint16_t>(Row, Count, OldValue, NewValue);
      return;
    case 4:
      ReplaceTyped<uint32_t>(Row, Count, OldValue, NewValue);
      return;
    case 8:
      ReplaceTyped<uint64_t>(Row, Count, OldValue, NewValue);
      return;
    default:
      for (int64_t i = 0; i < Count; ++i, Row += Size)
        if (std::memcmp(Row, OldValue, size_t(Size)) == 0) std::memcpy(Row, NewValue, size_t(Size));
  }
}

int32_t ChannelDistance(const TColor32Rec& A, const TColor32Rec& B) {
  return std::abs(int32_t(A.R) - B.R) + std::abs(int32_t(A.G) - B.G) + std::abs(int32_t(A.B) - B.B) +
         std::abs(int32_t(A.A) - B.A);
}

uint16_t& DeepChannel(TColorDeepRec& C, int32_t Index) {
  switch (Index) {
    case 0:
      return C.B;
    case 1:
      return C.G;
    case 2:
      return C.R;
    default:
      return C.A;
  }
}

// Exchanges two bytes (or two 16-bit words) at fixed offsets in every pixel.
template <typename T>
void ExchangeElements(uint8_t* Bits, int64_t PixelCount, int32_t PixelSize, int32_t First, int32_t Second) {
  for (int64_t i = 0; i < PixelCount; ++i, Bits += PixelSize) {
    T a, b;
    std::memcpy(&a, Bits + First * sizeof(T), sizeof(T));
    std::memcpy(&b, Bits + Second * sizeof(T), sizeof(T));
    std::memcpy(Bits + First * sizeof(T), &b, sizeof(T));
    std::memcpy(Bits + Second * sizeof(T), &a, sizeof(T));
  }
}

bool ExchangePlainChannels(TImageData& Image, PImageFormatInfo Info, int32_t First, int32_t Second) {
  auto* bits = static_cast<uint8_t*>(Image.Bits);
  const int64_t count = int64_t(Image.Width) * Image.Height;
  const int32_t bpp = Info->BytesPerPixel;

  if (Info->IsIndexed) {
    if (!Image.Palette) RaiseImagingError("The indexed image has no palette.");
    ExchangePaletteChannels(Image.Palette, Info->PaletteEntries, First, Second);
    return true;
  }
  if (Info->HasGrayChannel) {
    // Gray carries no separate colour channels: only gray and alpha can move.
    if (First != 3 && Second != 3) return true;
    if (!Info->HasAlphaChannel) return false;
    if (bpp == 2) ExchangeElements<uint8_t>(bits, count, bpp, 0, 1);
    else if (bpp == 4) ExchangeElements<uint16_t>(bits, count, bpp, 0, 1);
    else return false;
    return true;
  }
  if (Info->IsFloatingPoint) {
    for (int64_t i = 0; i < count; ++i, bits += bpp) {
      TColorFPRec c;
      FloatGetSrcPixel(bits, Info, c);
      std::swap(c.Channels[First], c.Channels[Second]);
      FloatSetDstPixel(bits, Info, c);
    }
    return true;
  }
  if (!Info->UsePixelFormat) {
    // 8 bits per channel: B, G, R (, A/X) bytes; the alpha byte of R8G8B8
    // does not exist, so that case goes through the working colour below.
    if (Info->Format == fmtA8R8G8B8 || (bpp == 3 && First < 3 && Second < 3)) {
      ExchangeElements<uint8_t>(bits, count, bpp, First, Second);
      return true;
    }
    // 16 bits per channel: words B, G, R (, A), red and blue exchanged in the
    // R/B-swapped formats.
    if ((bpp == 6 && First < 3 && Second < 3) || (bpp == 8 && Info->HasAlphaChannel)) {
      auto word = [&](int32_t Channel) { return Info->IsRBSwapped && Channel != 1 && Channel != 3 ? 2 - Channel : Channel; };
      ExchangeElements<uint16_t>(bits, count, bpp, word(First), word(Second));
      return true;
    }
  }
  for (int64_t i = 0; i < count; ++i, bits += bpp) {
    TColorDeepRec c;
    ChannelGetSrcPixel(bits, Info, c);
    std::swap(DeepChannel(c, First), DeepChannel(c, Second));
    ChannelSetDstPixel(bits, Info, c);
  }
  return true;
}

// Copies Height rows of RowBytes bytes; handles overlapping rectangles of one
// image by choosing the row order.
void CopyRows(const uint8_t* Src, int64_t SrcStride, uint8_t* Dst, int64_t DstStride, int64_t RowBytes,
              int64_t Height) {
  if (Dst > Src && Dst < Src + SrcStride * Height) {
    for (int64_t y = Height - 1; y >= 0; --y) std::memmove(Dst + y * DstStride, Src + y * SrcStride, size_t(RowBytes));
  } else {
    for (int64_t y = 0; y < Height; ++y) std::memmove(Dst + y * DstStride, Src + y * SrcStride, size_t(RowBytes));
  }
}

// A copy of Source in Format (fmtDefault means the default format).
void ConvertedCopy(const TImageData& Source, TImageFormat Format, TImageData& Copy) {
  if (!DuplicateImage(Source, Copy) || !ChangeImageFormat(Copy, Format))
    RaiseImagingError("The source image could not be converted to format \"%s\".", FormatDisplayName(Format));
  if (Copy.Width != Source.Width || Copy.Height != Source.Height)
    RaiseImagingError("The converted source image changed its size.");
}

}  // namespace

// ---------------------------------------------------------------------------
// Lifecycle
// ---------------------------------------------------------------------------

void ResetImage(TImageData& Image) {
  Image.Width = 0;
  Image.Height = 0;
  Image.Format = fmtNone;
  Image.Size = 0;
  Image.Bits = nullptr;
  Image.Palette = nullptr;
}

bool IsValidImage(const TImageData& Image) {
  try {
    PImageFormatInfo info = InfoOf(Image.Format);
    if (!info || !info->GetPixelsSize) return false;
    if (Image.Width < 0 || Image.Height < 0 || Image.Size < 0) return false;
    // No format packs more than four pixels into a byte, so larger records can
    // never match a 32-bit Size (and the size rule is kept from overflowing).
    if (int64_t(Image.Width) * Image.Height > 4 * MaxImageSize) return false;
    return info->GetPixelsSize(Image.Format, Image.Width, Image.Height) == Image.Size;
  } catch (...) {
    return false;
  }
}

namespace {

bool NewImage(int32_t Width, int32_t Height, TImageFormat Format, TImageData& Image, bool Cleared) {
  IMAGING_ASSERT(Width > 0 && Height > 0 && IsFormatValid(Format));
  void* bits = nullptr;
  PPalette32 palette = nullptr;
  try {
    ReleaseImage(Image);
    const TImageFormat format = Format == fmtDefault ? DefaultImageFormat : Format;
    PImageFormatInfo info = InfoOf(format);
    if (!info || !info->GetPixelsSize) return false;
    int32_t width = Width, height = Height;
    const auto refuse = [&](int64_t Bytes) {
      RaiseImagingError("An image of %d x %d pixels in format %s needs %d bytes, more than %d.", (long long)Width,
                        (long long)Height, FormatDisplayName(format), (long long)Bytes, (long long)MaxImageSize);
    };
    // Rounding up to whole blocks must not overflow; such images are far too
    // large anyway.
    if (info->IsSpecial && (width > INT32_MAX - 3 || height > INT32_MAX - 3))
      refuse(int64_t(width) * height);
    if (info->CheckDimensions) info->CheckDimensions(format, width, height);
    if (width <= 0 || height <= 0) return false;
    if (int64_t(width) * height > 4 * MaxImageSize) refuse(int64_t(width) * height);
    const int64_t size = info->GetPixelsSize(format, width, height);
    if (size > MaxImageSize || size < 0) refuse(size);
    if (size == 0) return false;
    CheckPixelLimit(width, height);
    bits = Cleared ? AllocMem(size) : AllocMemUncleared(size);
    if (info->PaletteEntries > 0)
      palette = static_cast<PPalette32>(AllocMem(int64_t(info->PaletteEntries) * int64_t(sizeof(TColor32Rec))));
    Image.Width = width;
    Image.Height = height;
    Image.Format = format;
    Image.Size = int32_t(size);
    Image.Bits = bits;
    Image.Palette = palette;
    return IsValidImage(Image);
  } catch (...) {
    FreeMem(bits);
    FreeMem(palette);
    ResetImage(Image);
    RaiseImagingError("Error while creating image data with params: Width=%d Height=%d Format=%s.", Width, Height,
                      FormatDisplayName(Format));
  }
}

}  // namespace

bool CreateImage(int32_t Width, int32_t Height, TImageFormat Format, TImageData& Image) {
  return NewImage(Width, Height, Format, Image, true);
}

bool CreateImageUncleared(int32_t Width, int32_t Height, TImageFormat Format, TImageData& Image) {
  return NewImage(Width, Height, Format, Image, false);
}

void ReleaseImage(TImageData& Image) {
  try {
    if (IsValidImage(Image)) {
      FreeMem(Image.Bits);
      FreeMem(Image.Palette);
    }
    ResetImage(Image);
  } catch (...) {
    const std::string description = DescribeImage(Image);
    ResetImage(Image);
    RaiseImagingError("Error while freeing image. %s", description);
  }
}

void ReleaseImageArray(TDynImageDataArray& Images) {
  for (TImageData& image : Images) ReleaseImage(image);
  Images.clear();
}

bool AreValidImages(const TDynImageDataArray& Images) {
  if (Images.empty()) return false;
  for (const TImageData& image : Images)
    if (!IsValidImage(image)) return false;
  return true;
}

bool DuplicateImage(const TImageData& Source, TImageData& Target) {
  if (!IsValidImage(Source)) return false;
  // Duplicating a record onto itself leaves it as it is.
  if (&Source == &Target) return true;
  void* bits = nullptr;
  PPalette32 palette = nullptr;
  try {
    CheckPixelMemory(Source);
    PImageFormatInfo info = InfoOf(Source.Format);
    if (IsValidImage(Target) && !SharesMemory(Source, Target)) ReleaseImage(Target);
    else ResetImage(Target);
    if (info->PaletteEntries > 0) {
      const int64_t bytes = int64_t(info->PaletteEntries) * int64_t(sizeof(TColor32Rec));
      palette = static_cast<PPalette32>(AllocMem(bytes));
      if (Source.Palette) std::memcpy(palette, Source.Palette, size_t(bytes));
    }
    bits = AllocMem(Source.Size);
    if (Source.Size > 0) std::memcpy(bits, Source.Bits, size_t(Source.Size));
    Target.Width = Source.Width;
    Target.Height = Source.Height;
    Target.Format = Source.Format;
    Target.Size = Source.Size;
    Target.Bits = bits;
    Target.Palette = palette;
    return true;
  } catch (...) {
    FreeMem(bits);
    FreeMem(palette);
    RaiseImagingError("Error while cloning image. %s", DescribeImage(Source));
  }
}

// ---------------------------------------------------------------------------
// Manipulation
// ---------------------------------------------------------------------------

bool FlipVertical(TImageData& Image) {
  if (!IsValidImage(Image)) return false;
  try {
    CheckPixelMemory(Image);
    return WithPlainFormat(Image, [](TImageData& Img, PImageFormatInfo Info) {
      const int64_t rowBytes = int64_t(Img.Width) * Info->BytesPerPixel;
      auto* bits = static_cast<uint8_t*>(Img.Bits);
      for (int64_t i = 0, j = Img.Height - 1; i < j; ++i, --j)
        std::swap_ranges(bits + i * rowBytes, bits + (i + 1) * rowBytes, bits + j * rowBytes);
      return true;
    });
  } catch (...) {
    RaiseImagingError("Error while flipping image. %s", DescribeImage(Image));
  }
}

bool FlipHorizontal(TImageData& Image) {
  if (!IsValidImage(Image)) return false;
  try {
    CheckPixelMemory(Image);
    return WithPlainFormat(Image, [](TImageData& Img, PImageFormatInfo Info) {
      const int32_t bpp = Info->BytesPerPixel;
      const int64_t rowBytes = int64_t(Img.Width) * bpp;
      auto* bits = static_cast<uint8_t*>(Img.Bits);
      if (Img.Width < 2) return true;
      for (int64_t y = 0; y < Img.Height; ++y) {
        uint8_t* row = bits + y * rowBytes;
        switch (bpp) {
          case 1:
            std::reverse(row, row + Img.Width);
            break;
          case 2:
            MirrorRow<2>(row, Img.Width);
            break;
          case 3:
            MirrorRow<3>(row, Img.Width);
            break;
          case 4:
            MirrorRow<4>(row, Img.Width);
            break;
          case 6:
            MirrorRow<6>(row, Img.Width);
            break;
          case 8:
            MirrorRow<8>(row, Img.Width);
            break;
          case 16:
            MirrorRow<16>(row, Img.Width);
            break;
          default:
            MirrorRowAny(row, Img.Width, bpp);
        }
      }
      return true;
    });
  } catch (...) {
    RaiseImagingError("Error while mirroring image. %s", DescribeImage(Image));
  }
}

bool ExchangeChannels(TImageData& Image, int32_t First, int32_t Second) {
  IMAGING_ASSERT(First >= 0 && First <= 3 && Second >= 0 && Second <= 3);
  if (!IsValidImage(Image) || First == Second) return false;
  try {
    CheckPixelMemory(Image);
    return WithPlainFormat(Image, [&](TImageData& Img, PImageFormatInfo Info) {
      return ExchangePlainChannels(Img, Info, First, Second);
    });
  } catch (...) {
    RaiseImagingError("Error while swapping channels of image. %s", DescribeImage(Image));
  }
}

bool CopyImageRect(const TImageData& Source, int32_t X, int32_t Y, int32_t Width, int32_t Height, TImageData& Target,
                   int32_t TargetX, int32_t TargetY) {
  if (!IsValidImage(Source) || !IsValidImage(Target)) return false;
  try {
    int64_t sx = X, sy = Y, tx = TargetX, ty = TargetY, w = Width, h = Height;
    if (!ClipCopyAxis(sx, tx, w, Source.Width, Target.Width) || !ClipCopyAxis(sy, ty, h, Source.Height, Target.Height))
      return false;
    CheckPixelMemory(Source);
    CheckPixelMemory(Target);
    return WithPlainFormat(Target, [&](TImageData& Dst, PImageFormatInfo Info) {
      TTempImage converted;
      const TImageData* src = &Source;
      if (!SameDescription(Source.Format, Dst.Format)) {
        ConvertedCopy(Source, Dst.Format, converted.Image);
        src = &converted.Image;
      }
      const int64_t bpp = Info->BytesPerPixel;
      CopyRows(PixelAddress(*src, Info, sx, sy), int64_t(src->Width) * bpp, PixelAddress(Dst, Info, tx, ty),
               int64_t(Dst.Width) * bpp, w * bpp, h);
      return true;
    });
  } catch (...) {
    RaiseImagingError("Error while copying rect from image %s to image %s.", DescribeImage(Source),
                      DescribeImage(Target));
  }
}

bool FillImageRect(TImageData& Image, int32_t X, int32_t Y, int32_t Width, int32_t Height, const void* Value) {
  IMAGING_ASSERT(Value != nullptr);
  if (!IsValidImage(Image)) return false;
  try {
    int64_t x = X, y = Y, w = Width, h = Height;
    if (!ClipFillAxis(x, w, Image.Width) || !ClipFillAxis(y, h, Image.Height)) return false;
    CheckPixelMemory(Image);
    return WithPlainFormat(Image, [&](TImageData& Img, PImageFormatInfo Info) {
      const int32_t bpp = Info->BytesPerPixel;
      const int64_t stride = int64_t(Img.Width) * bpp;
      uint8_t* first = PixelAddress(Img, Info, x, y);
      FillPixels(first, w, static_cast<const uint8_t*>(Value), bpp);
      for (int64_t row = 1; row < h; ++row) std::memcpy(first + row * stride, first, size_t(w * bpp));
      return true;
    });
  } catch (...) {
    RaiseImagingError("Error while filling rectangle X:%d Y:%d W:%d H:%d in image %s", X, Y, Width, Height,
                      DescribeImage(Image));
  }
}

bool ReplaceImageColor(TImageData& Image, int32_t X, int32_t Y, int32_t Width, int32_t Height, const void* OldValue,
                       const void* NewValue) {
  IMAGING_ASSERT(OldValue != nullptr && NewValue != nullptr);
  if (!IsValidImage(Image)) return false;
  try {
    int64_t x = X, y = Y, w = Width, h = Height;
    if (!ClipFillAxis(x, w, Image.Width) || !ClipFillAxis(y, h, Image.Height)) return false;
    CheckPixelMemory(Image);
    return WithPlainFormat(Image, [&](TImageData& Img, PImageFormatInfo Info) {
      const int32_t bpp = Info->BytesPerPixel;
      for (int64_t row = 0; row < h; ++row) ReplaceRow(PixelAddress(Img, Info, x, y + row), w, OldValue, NewValue, bpp);
      return true;
    });
  } catch (...) {
    RaiseImagingError("Error while replacing colors in rectangle X:%d Y:%d W:%d H:%d of image %s", X, Y, Width, Height,
                      DescribeImage(Image));
  }
}

bool StretchImageRect(const TImageData& Source, int32_t X, int32_t Y, int32_t Width, int32_t Height,
                      TImageData& Target, int32_t TargetX, int32_t TargetY, int32_t TargetWidth,
                      int32_t TargetHeight, TResizeFilter Filter) {
  if (!IsValidImage(Source) || !IsValidImage(Target)) return false;
  int64_t sx = X, sy = Y, sw = Width, sh = Height;
  int64_t tx = TargetX, ty = TargetY, tw = TargetWidth, th = TargetHeight;
  if (!ClipStretchAxis(sx, sw, Source.Width, tx, tw, Target.Width) ||
      !ClipStretchAxis(sy, sh, Source.Height, ty, th, Target.Height))
    return false;
  if (sw == tw && sh == th)
    return CopyImageRect(Source, int32_t(sx), int32_t(sy), int32_t(sw), int32_t(sh), Target, int32_t(tx), int32_t(ty));
  try {
    CheckPixelMemory(Source);
    CheckPixelMemory(Target);
    return WithPlainFormat(Target, [&](TImageData& Dst, PImageFormatInfo Info) {
      TTempImage converted;
      const TImageData* src = &Source;
      if (!SameDescription(Source.Format, Dst.Format)) {
        ConvertedCopy(Source, Dst.Format, converted.Image);
        src = &converted.Image;
      }
      const TResizeFilter filter = Info->IsIndexed ? rfNearest : Filter;
      switch (filter) {
        case rfBilinear:
        case rfBicubic:
          StretchResample(*src, int32_t(sx), int32_t(sy), int32_t(sw), int32_t(sh), Dst, int32_t(tx), int32_t(ty),
                          int32_t(tw), int32_t(th), filter == rfBilinear ? skTriangle : skCatmullRom, false);
          break;
        default:
          StretchNearest(*src, int32_t(sx), int32_t(sy), int32_t(sw), int32_t(sh), Dst, int32_t(tx), int32_t(ty),
                         int32_t(tw), int32_t(th));
      }
      return true;
    });
  } catch (...) {
    RaiseImagingError("Error while stretching rect from image %s to image %s.", DescribeImage(Source),
                      DescribeImage(Target));
  }
}

bool ScaleImage(TImageData& Image, int32_t Width, int32_t Height, TResizeFilter Filter) {
  IMAGING_ASSERT(Width > 0 && Height > 0);
  if (!IsValidImage(Image)) return false;
  if (Image.Width == Width && Image.Height == Height) return false;
  TImageData scaled;
  try {
    if (!CreateImage(Width, Height, Image.Format, scaled)) RaiseImagingError("The resized image could not be created.");
    StretchImageRect(Image, 0, 0, Image.Width, Image.Height, scaled, 0, 0, scaled.Width, scaled.Height, Filter);
    // The resized image keeps the palette of the old one.
    if (Image.Palette && scaled.Palette) {
      FreeMem(scaled.Palette);
      scaled.Palette = Image.Palette;
    } else {
      FreeMem(Image.Palette);
    }
    FreeMem(Image.Bits);
    Image = scaled;
    return true;
  } catch (...) {
    try {
      ReleaseImage(scaled);
    } catch (...) {
    }
    RaiseImagingError("Error while resizing image.  %s", DescribeImage(Image));
  }
}

bool MapToPalette(TImageData& Image, const TColor32Rec* Palette, int32_t Count) {
  IMAGING_ASSERT(Palette != nullptr && Count >= 2 && Count <= 256);
  if (!IsValidImage(Image)) return false;
  TTempImage work, mapped;
  try {
    CheckPixelMemory(Image);
    if (!DuplicateImage(Image, work.Image) || !ChangeImageFormat(work.Image, fmtA8R8G8B8))
      RaiseImagingError("The image could not be converted to A8R8G8B8.");
    if (!CreateImage(work.Image.Width, work.Image.Height, fmtIndex8, mapped.Image))
      RaiseImagingError("The indexed image could not be created.");
    PImageFormatInfo indexInfo = InfoOf(fmtIndex8);
    const int32_t entries = std::min(Count, indexInfo->PaletteEntries);
    std::memcpy(mapped.Image.Palette, Palette, size_t(entries) * sizeof(TColor32Rec));

    const auto* src = static_cast<const TColor32Rec*>(work.Image.Bits);
    auto* dst = static_cast<uint8_t*>(mapped.Image.Bits);
    const int64_t count = int64_t(work.Image.Width) * work.Image.Height;
    uint32_t lastColor = 0;
    uint8_t lastIndex = 0;
    bool haveLast = false;
    for (int64_t i = 0; i < count; ++i) {
      const TColor32Rec c = src[i];
      if (!haveLast || c.Color != lastColor) {
        int32_t best = 0, bestDistance = 1020;
        for (int32_t e = 0; e < entries; ++e) {
          const int32_t d = ChannelDistance(Palette[e], c);
          if (d < bestDistance) {
            bestDistance = d;
            best = e;
          }
        }
        lastColor = c.Color;
        lastIndex = uint8_t(best);
        haveLast = true;
      }
      dst[i] = lastIndex;
    }
    ReleaseImage(Image);
    Image = mapped.Image;
    ResetImage(mapped.Image);
    return true;
  } catch (...) {
    RaiseImagingError("Error while mapping image %s to palette.", DescribeImage(Image));
  }
}

// ---------------------------------------------------------------------------
// Pixels
// ---------------------------------------------------------------------------

TColor32Rec ReadPixel32(const TImageData& Image, int32_t X, int32_t Y) {
  PImageFormatInfo info = InfoOf(Image.Format);
  return info->GetPixel32(PixelAddress(Image, info, X, Y), info, Image.Palette);
}

void WritePixel32(TImageData& Image, int32_t X, int32_t Y, const TColor32Rec& Color) {
  PImageFormatInfo info = InfoOf(Image.Format);
  info->SetPixel32(PixelAddress(Image, info, X, Y), info, Image.Palette, Color);
}

TColorFPRec ReadPixelFP(const TImageData& Image, int32_t X, int32_t Y) {
  PImageFormatInfo info = InfoOf(Image.Format);
  return info->GetPixelFP(PixelAddress(Image, info, X, Y), info, Image.Palette);
}

void WritePixelFP(TImageData& Image, int32_t X, int32_t Y, const TColorFPRec& Color) {
  PImageFormatInfo info = InfoOf(Image.Format);
  info->SetPixelFP(PixelAddress(Image, info, X, Y), info, Image.Palette, Color);
}

// ---------------------------------------------------------------------------
// Palettes
// ---------------------------------------------------------------------------

int32_t NearestPaletteIndex(const TColor32Rec* Palette, int32_t Count, const TColor32Rec& Color) {
  IMAGING_ASSERT(Palette != nullptr);
  if (Count <= 0) return -1;
  for (int32_t i = 0; i < Count; ++i)
    if (Palette[i].Color == Color.Color) return i;
  int32_t best = -1, bestDistance = 1020;
  for (int32_t i = 0; i < Count; ++i) {
    const int32_t d = ChannelDistance(Palette[i], Color);
    if (d < bestDistance) {
      bestDistance = d;
      best = i;
    }
  }
  return best;
}

bool PaletteAlphaInUse(const TImageData& Image) {
  if (Image.Format != fmtIndex8 || !Image.Palette || !Image.Bits || Image.Size <= 0) return false;
  bool used[256] = {};
  const auto* p = static_cast<const uint8_t*>(Image.Bits);
  for (int32_t i = 0; i < Image.Size; ++i) used[p[i]] = true;
  for (int i = 0; i < 256; ++i)
    if (used[i] && Image.Palette[i].A != 0xFF) return true;
  return false;
}

void MakeGrayPalette(TColor32Rec* Palette, int32_t Count) {
  if (Count > 0 && !Palette) RaiseImagingError("Error while filling grayscale palette @%p with %d entries.",
                                                static_cast<const void*>(Palette), Count);
  for (int32_t i = 0; i < Count; ++i) {
    Palette[i].B = uint8_t(i);
    Palette[i].G = uint8_t(i);
    Palette[i].R = uint8_t(i);
    Palette[i].A = 0xFF;
  }
}

void MakeBitPalette(TColor32Rec* Palette, int32_t Count, int32_t RedBits, int32_t GreenBits, int32_t BlueBits,
                    uint8_t Alpha) {
  if (Count <= 0) return;
  // A channel has at most 16 bits; a field wider than that cannot be built.
  if (!Palette || RedBits < 0 || GreenBits < 0 || BlueBits < 0 || RedBits > 16 || GreenBits > 16 || BlueBits > 16)
    RaiseImagingError("Error while filling custom palette @%p with %d entries.", static_cast<const void*>(Palette),
                      Count);
  std::memset(Palette, 0, size_t(Count) * sizeof(TColor32Rec));
  const int32_t totalBits = RedBits + GreenBits + BlueBits;
  const int64_t entries = std::min<int64_t>(int64_t(1) << totalBits, Count);
  const auto channel = [](int64_t Field, int32_t Bits) -> uint8_t {
    if (Bits == 0) return 0;
    return uint8_t(Field * 255 / ((int64_t(1) << Bits) - 1));
  };
  for (int64_t i = 0; i < entries; ++i) {
    const int64_t blue = i & ((int64_t(1) << BlueBits) - 1);
    const int64_t green = (i >> BlueBits) & ((int64_t(1) << GreenBits) - 1);
    const int64_t red = (i >> (BlueBits + GreenBits)) & ((int64_t(1) << RedBits) - 1);
    Palette[i].R = channel(red, RedBits);
    Palette[i].G = channel(green, GreenBits);
    Palette[i].B = channel(blue, BlueBits);
    Palette[i].A = Alpha;
  }
}

void ExchangePaletteChannels(TColor32Rec* Palette, int32_t Count, int32_t First, int32_t Second) {
  IMAGING_ASSERT(Palette != nullptr);
  IMAGING_ASSERT(First >= 0 && First <= 3 && Second >= 0 && Second <= 3);
  for (int32_t i = 0; i < Count; ++i) std::swap(Palette[i].Channels[First], Palette[i].Channels[Second]);
}

// ---------------------------------------------------------------------------
// Description
// ---------------------------------------------------------------------------

std::string DescribeImage(const TImageData& Image) {
  if (!IsValidImage(Image))
    return FormatText("Access violation encountered when getting info on image at address %p.",
                      {TFormatArg(static_cast<const void*>(&Image))});
  const bool inBytes = Image.Size <= 8192;
  return FormatText("Image @%p info: Width = %dpx, Height = %dpx, Format = %s, Size = %.0n %s, Bits @%p, Palette @%p.",
                    {TFormatArg(static_cast<const void*>(&Image)), TFormatArg(Image.Width), TFormatArg(Image.Height),
                     TFormatArg(FormatDisplayName(Image.Format)), TFormatArg(inBytes ? Image.Size : Image.Size / 1024),
                     TFormatArg(inBytes ? "B" : "KiB"), TFormatArg(static_cast<const void*>(Image.Bits)),
                     TFormatArg(static_cast<const void*>(Image.Palette))});
}

}  // namespace Imaging
