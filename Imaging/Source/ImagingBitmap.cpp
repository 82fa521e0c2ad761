// Windows Bitmap handler.
//
// Layout of a file: an optional 14-byte file header ("BM", file size, pixel
// offset), the info header (its first 4 bytes give its size: 12 for the OS/2
// core header, otherwise a Windows or OS/2 2.x header), bit-field masks, the
// colour table and the pixel rows, bottom-up unless the height is negative.
// Every number is little-endian.
//
// Reading validates the whole header before anything is allocated: sizes are
// computed in 64 bits, the pixel data must lie inside the file, and fields
// that no genuine file carries (planes other than 1, unknown bit counts, a
// colour table larger than the file) reject the file. Fields the pixels do
// not depend on (resolutions, the image data size of uncompressed files) are
// not trusted and not checked.
#include "ImagingBitmap.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "ImagingPixelMath.h"

namespace Imaging {

namespace {

constexpr uint16_t BitmapMagic = 0x4D42;  // "BM"
constexpr int32_t FileHeaderSize = 14;
constexpr int32_t CoreHeaderSize = 12;
constexpr int32_t InfoHeaderSize = 40;
constexpr int32_t V4HeaderSize = 108;
constexpr int32_t MaxInfoHeaderRead = 104;  // a header is read as far as its colour space fields

constexpr uint32_t BI_RGB = 0;
constexpr uint32_t BI_RLE8 = 1;
constexpr uint32_t BI_RLE4 = 2;
constexpr uint32_t BI_BITFIELDS = 3;

// Some writers drop the padding of the last row but still count it in the
// file and image sizes of the header.
constexpr int64_t LastRowPaddingSlack = 3;

uint16_t Get16(const uint8_t* P) { return uint16_t(P[0] | (P[1] << 8)); }
uint32_t Get32(const uint8_t* P) {
  return uint32_t(P[0]) | (uint32_t(P[1]) << 8) | (uint32_t(P[2]) << 16) | (uint32_t(P[3]) << 24);
}
void Put16(uint8_t* P, uint32_t V) {
  P[0] = uint8_t(V);
  P[1] = uint8_t(V >> 8);
}
void Put32(uint8_t* P, uint32_t V) {
  for (int i = 0; i < 4; ++i) P[i] = uint8_t(V >> (8 * i));
}

void ReadExact(const TIOFunctions& IO, THandle Handle, void* Buffer, int64_t Count, const char* What) {
  if (Count <= 0) return;
  if (IO.Read(Handle, Buffer, int32_t(Count)) != Count) RaiseImagingError("Bitmap %s is truncated.", What);
}

// Everything the reader takes from the headers.
struct TBitmapHeader {
  int64_t Start = 0;        // position of the first header byte
  bool HasFileHeader = true;
  uint32_t FileSize = 0;
  uint32_t PixelOffset = 0;  // from Start
  uint32_t HeaderSize = 0;
  int32_t Width = 0;
  int32_t Height = 0;        // negative: rows stored top-down
  uint16_t Planes = 0;
  uint16_t BitCount = 0;
  uint32_t Compression = BI_RGB;
  uint32_t ImageDataSize = 0;
  int32_t XResolution = 0;
  int32_t YResolution = 0;
  uint32_t ColorsUsed = 0;
  uint32_t RedMask = 0, GreenMask = 0, BlueMask = 0, AlphaMask = 0;
  int64_t MasksEnd = 0;      // position after the header and the separate masks
};

bool IsOS2Header(uint32_t Size) { return Size == 16 || Size == 64; }

bool IsKnownHeaderSize(uint32_t Size) {
  switch (Size) {
    case 12: case 16: case 40: case 52: case 56: case 64: case 108: case 124:
      return true;
    default:
      return false;
  }
}

bool IsKnownBitCount(uint32_t BitCount) {
  return BitCount == 1 || BitCount == 4 || BitCount == 8 || BitCount == 16 || BitCount == 24 || BitCount == 32;
}

// A contiguous mask: the shift of its lowest bit and its width. Fields wider
// than 16 bits are read through their top 16 bits.
constexpr int32_t MaxFieldBits = 16;

struct TMaskField {
  uint32_t Mask = 0;
  int32_t Shift = 0;
  int32_t Bits = 0;
  std::vector<uint8_t> Levels;  // 8-bit level of every field value
};

TMaskField DescribeMask(uint32_t Mask) {
  TMaskField f;
  f.Mask = Mask;
  if (Mask == 0) return f;
  f.Shift = std::countr_zero(Mask);
  uint32_t shifted = Mask >> f.Shift;
  f.Bits = std::popcount(shifted);
  if ((shifted & (shifted + 1)) != 0) RaiseImagingError("Bitmap bit-field mask %x is not contiguous.", Mask);
  if (f.Bits > MaxFieldBits) {
    f.Shift += f.Bits - MaxFieldBits;
    f.Bits = MaxFieldBits;
  }
  f.Levels.resize(size_t(1) << f.Bits);
  for (uint32_t v = 0; v < f.Levels.size(); ++v) f.Levels[v] = PixelMath::WidenField(v, f.Bits);
  return f;
}

uint8_t ScaleChannel(const TMaskField& F, uint32_t Pixel) {
  if (F.Mask == 0) return 0;
  return F.Levels[(Pixel & F.Mask) >> F.Shift & ((uint32_t(1) << F.Bits) - 1)];
}

// Fills in every header field; raises for headers no genuine file has.
TBitmapHeader ReadHeaders(const TIOFunctions& IO, THandle Handle, int64_t Start, int64_t Available) {
  TBitmapHeader h;
  h.Start = Start;
  uint8_t fileHeader[FileHeaderSize] = {};
  int32_t got = IO.Read(Handle, fileHeader, 2);
  h.HasFileHeader = got == 2 && Get16(fileHeader) == BitmapMagic;
  if (h.HasFileHeader) {
    ReadExact(IO, Handle, fileHeader + 2, FileHeaderSize - 2, "file header");
    h.FileSize = Get32(fileHeader + 2);
    h.PixelOffset = Get32(fileHeader + 10);
  } else {
    IO.Seek(Handle, int32_t(Start), smFromBeginning);
  }
  int64_t infoStart = Start + (h.HasFileHeader ? FileHeaderSize : 0);

  uint8_t sizeBytes[4];
  ReadExact(IO, Handle, sizeBytes, 4, "info header");
  h.HeaderSize = Get32(sizeBytes);
  if (!IsKnownHeaderSize(h.HeaderSize)) RaiseImagingError("Unsupported bitmap info header size %u.", h.HeaderSize);

  if (h.HeaderSize == CoreHeaderSize) {
    uint8_t core[8];
    ReadExact(IO, Handle, core, 8, "core header");
    h.Width = Get16(core);
    h.Height = Get16(core + 2);
    h.Planes = Get16(core + 4);
    h.BitCount = Get16(core + 6);
  } else {
    uint8_t info[MaxInfoHeaderRead] = {};
    ReadExact(IO, Handle, info, std::min<int64_t>(h.HeaderSize - 4, MaxInfoHeaderRead), "info header");
    h.Width = int32_t(Get32(info + 0));
    h.Height = int32_t(Get32(info + 4));
    h.Planes = Get16(info + 8);
    h.BitCount = Get16(info + 10);
    h.Compression = Get32(info + 12);
    h.ImageDataSize = Get32(info + 16);
    h.XResolution = int32_t(Get32(info + 20));
    h.YResolution = int32_t(Get32(info + 24));
    h.ColorsUsed = Get32(info + 28);
    if (!IsOS2Header(h.HeaderSize)) {
      h.RedMask = Get32(info + 36);
      h.GreenMask = Get32(info + 40);
      h.BlueMask = Get32(info + 44);
      h.AlphaMask = Get32(info + 48);
    }
  }
  // Colour masks only mean something in bit-field files.
  if (h.Compression != BI_BITFIELDS) h.RedMask = h.GreenMask = h.BlueMask = 0;
  h.MasksEnd = infoStart + h.HeaderSize;
  if (h.Compression == BI_BITFIELDS && h.HeaderSize == InfoHeaderSize) {
    uint8_t masks[12];
    ReadExact(IO, Handle, masks, 12, "bit-field masks");
    h.RedMask = Get32(masks);
    h.GreenMask = Get32(masks + 4);
    h.BlueMask = Get32(masks + 8);
    h.MasksEnd += 12;
  }

  // Field checks.
  if (h.Width <= 0 || h.Height == 0 || h.Height == INT32_MIN)
    RaiseImagingError("Invalid bitmap dimensions %d x %d.", h.Width, h.Height);
  if (h.Planes != 1) RaiseImagingError("Invalid bitmap plane count %d.", int32_t(h.Planes));
  if (!IsKnownBitCount(h.BitCount)) RaiseImagingError("Unsupported bitmap bit count %d.", int32_t(h.BitCount));
  if (h.Compression > BI_BITFIELDS || (IsOS2Header(h.HeaderSize) && h.Compression == BI_BITFIELDS))
    RaiseImagingError("Unsupported bitmap compression %u.", h.Compression);
  if (h.Compression == BI_RLE8 && h.BitCount != 8)
    RaiseImagingError("RLE8 bitmap with bit count %d.", int32_t(h.BitCount));
  if (h.Compression == BI_RLE4 && h.BitCount != 4)
    RaiseImagingError("RLE4 bitmap with bit count %d.", int32_t(h.BitCount));
  if (h.Compression == BI_BITFIELDS && h.BitCount != 16 && h.BitCount != 32)
    RaiseImagingError("Bit-field bitmap with bit count %d.", int32_t(h.BitCount));
  if (h.HasFileHeader && int64_t(h.FileSize) > Available + LastRowPaddingSlack)
    RaiseImagingError("Bitmap file is truncated (%u of %d bytes).", h.FileSize, int32_t(Available));
  return h;
}

int64_t ColorTableEntries(const TBitmapHeader& H) {
  if (H.BitCount > 8) return 0;
  if (H.HeaderSize == CoreHeaderSize || H.ColorsUsed == 0) return int64_t(1) << H.BitCount;
  return H.ColorsUsed;
}

// RLE8 and RLE4 decoding into one index byte per pixel, rows in storage
// order from the bottom (or from the top for a top-down file). Pixels the
// data does not reach stay 0; runs and deltas that reach past the row end or
// below the last row are clipped to the bitmap, as every peer decoder does.
void DecodeRLE(const uint8_t* Data, int64_t Size, bool FourBit, bool TopDown, TImageData& Image) {
  const int32_t width = Image.Width, height = Image.Height;
  auto* bits = static_cast<uint8_t*>(Image.Bits);
  int64_t pos = 0;
  int32_t line = 0;
  int64_t col = 0;
  auto rowPtr = [&](int32_t Line) { return bits + int64_t(TopDown ? Line : height - 1 - Line) * width; };
  auto visible = [&](int64_t Count) { return std::clamp<int64_t>(width - col, 0, Count); };

  while (line < height && pos + 2 <= Size) {
    uint8_t n = Data[pos], v = Data[pos + 1];
    pos += 2;
    if (n > 0) {
      int64_t count = visible(n);
      uint8_t* dst = count > 0 ? rowPtr(line) + col : nullptr;
      if (FourBit) {
        const uint8_t pair[2] = {uint8_t(v >> 4), uint8_t(v & 0x0F)};
        for (int64_t i = 0; i < count; ++i) dst[i] = pair[i & 1];
      } else {
        if (count > 0) std::memset(dst, v, size_t(count));
      }
      col += n;
    } else if (v == 0) {  // end of line
      ++line;
      col = 0;
    } else if (v == 1) {  // end of bitmap
      break;
    } else if (v == 2) {  // delta
      if (pos + 2 > Size) break;
      int32_t dx = Data[pos], dy = Data[pos + 1];
      pos += 2;
      col += dx;
      line += dy;
    } else {  // literal run of v pixels
      int64_t bytes = FourBit ? (int64_t(v) + 1) / 2 : v;
      int64_t avail = std::min<int64_t>(bytes, Size - pos);
      int64_t count = std::min<int64_t>(visible(v), FourBit ? avail * 2 : avail);
      uint8_t* dst = count > 0 ? rowPtr(line) + col : nullptr;
      if (FourBit) {
        for (int64_t i = 0; i < count; ++i) {
          uint8_t b = Data[pos + i / 2];
          dst[i] = (i & 1) ? uint8_t(b & 0x0F) : uint8_t(b >> 4);
        }
      } else {
        if (count > 0) std::memcpy(dst, Data + pos, size_t(count));
      }
      col += v;
      pos += (bytes + 1) & ~int64_t(1);
    }
  }
}

// Raises when an index refers past the colours the file defines.
void CheckIndices(const TImageData& Image, int64_t Colors) {
  if (Colors >= 256) return;
  const auto* p = static_cast<const uint8_t*>(Image.Bits);
  uint8_t highest = 0;
  for (int32_t i = 0; i < Image.Size; ++i) highest = std::max(highest, p[i]);
  if (highest >= Colors)
    RaiseImagingError("Bitmap pixel index %d is outside its %d-colour palette.", int32_t(highest), int32_t(Colors));
}

// The pixel format whose layout the masks describe, kept as it is, or
// fmtNone. In a bit-field file alpha comes only from an alpha mask: without
// one the bits outside the colour masks are padding (see ClearPadding).
TImageFormat NativeBitFieldFormat(const TBitmapHeader& H) {
  if (H.Compression != BI_BITFIELDS) return H.BitCount == 16 ? fmtA1R5G5B5 : fmtA8R8G8B8;
  if (H.BitCount == 16) {
    if (H.RedMask == 0xF800 && H.GreenMask == 0x07E0 && H.BlueMask == 0x001F && H.AlphaMask == 0) return fmtR5G6B5;
    if (H.RedMask == 0x7C00 && H.GreenMask == 0x03E0 && H.BlueMask == 0x001F &&
        (H.AlphaMask == 0 || H.AlphaMask == 0x8000))
      return H.AlphaMask == 0 ? fmtX1R5G5B5 : fmtA1R5G5B5;
    if (H.RedMask == 0x0F00 && H.GreenMask == 0x00F0 && H.BlueMask == 0x000F)
      return H.AlphaMask == 0 ? fmtX4R4G4B4 : (H.AlphaMask == 0xF000 ? fmtA4R4G4B4 : fmtNone);
    return fmtNone;
  }
  if (H.RedMask == 0x00FF0000 && H.GreenMask == 0x0000FF00 && H.BlueMask == 0x000000FF &&
      (H.AlphaMask == 0 || H.AlphaMask == 0xFF000000))
    return H.AlphaMask == 0 ? fmtX8R8G8B8 : fmtA8R8G8B8;
  return fmtNone;
}

// Clears the padding bits of a bit-field image kept in an X format, so that
// stray values there never come back as alpha (in a saved file, say).
void ClearPadding(TImageData& Image) {
  const int64_t count = int64_t(Image.Width) * Image.Height;
  if (Image.Format == fmtX8R8G8B8) {
    auto* p = static_cast<uint8_t*>(Image.Bits);
    for (int64_t i = 0; i < count; ++i) p[i * 4 + 3] = 0;
  } else if (Image.Format == fmtX1R5G5B5 || Image.Format == fmtX4R4G4B4) {
    const uint16_t keep = Image.Format == fmtX1R5G5B5 ? 0x7FFF : 0x0FFF;
    auto* p = static_cast<uint16_t*>(Image.Bits);
    for (int64_t i = 0; i < count; ++i) p[i] &= keep;
  }
}

// Decodes rows of 16 or 32-bit pixels with arbitrary masks into A8R8G8B8.
void DecodeBitFields(const uint8_t* Block, int64_t RowSize, bool TopDown, const TBitmapHeader& H, TImageData& Image) {
  const TMaskField r = DescribeMask(H.RedMask), g = DescribeMask(H.GreenMask), b = DescribeMask(H.BlueMask),
                   a = DescribeMask(H.AlphaMask);
  const int32_t bpp = H.BitCount / 8;
  for (int32_t y = 0; y < Image.Height; ++y) {
    const uint8_t* src = Block + RowSize * (TopDown ? y : Image.Height - 1 - y);
    uint8_t* dst = static_cast<uint8_t*>(Image.Bits) + int64_t(y) * Image.Width * 4;
    for (int32_t x = 0; x < Image.Width; ++x, src += bpp, dst += 4) {
      uint32_t pixel = bpp == 2 ? Get16(src) : Get32(src);
      dst[0] = ScaleChannel(b, pixel);
      dst[1] = ScaleChannel(g, pixel);
      dst[2] = ScaleChannel(r, pixel);
      dst[3] = a.Mask ? ScaleChannel(a, pixel) : 0;
    }
  }
}

// Expands 1 or 4-bit rows (top-down order in Block) to one byte per pixel.
void ExpandPackedRows(const uint8_t* Block, int64_t RowSize, bool TopDown, int32_t BitCount, TImageData& Image) {
  for (int32_t y = 0; y < Image.Height; ++y) {
    const uint8_t* src = Block + RowSize * (TopDown ? y : Image.Height - 1 - y);
    uint8_t* dst = static_cast<uint8_t*>(Image.Bits) + int64_t(y) * Image.Width;
    if (BitCount == 1) {
      for (int32_t x = 0; x < Image.Width; ++x) dst[x] = (src[x >> 3] >> (7 - (x & 7))) & 1;
    } else {
      for (int32_t x = 0; x < Image.Width; ++x) dst[x] = (x & 1) ? (src[x >> 1] & 0x0F) : (src[x >> 1] >> 4);
    }
  }
}

// Step after decoding: a file without an alpha mask keeps an alpha channel
// only when some pixel uses it.
void DropUnusedAlpha(TImageData& Image) {
  if (Image.Format == fmtA1R5G5B5) {
    const auto* p = static_cast<const uint16_t*>(Image.Bits);
    int64_t count = int64_t(Image.Width) * Image.Height;
    uint16_t any = 0;
    for (int64_t i = 0; i < count; ++i) any |= p[i];
    if ((any & 0x8000) == 0) Image.Format = fmtX1R5G5B5;
  } else if (Image.Format == fmtA8R8G8B8) {
    const auto* p = static_cast<const uint8_t*>(Image.Bits);
    int64_t count = int64_t(Image.Width) * Image.Height;
    uint8_t any = 0;
    for (int64_t i = 0; i < count; ++i) any |= p[i * 4 + 3];
    if (any == 0) Image.Format = fmtX8R8G8B8;
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// Handler
// ---------------------------------------------------------------------------

TBitmapFileFormat::TBitmapFileFormat() {
  FName = "Windows Bitmap Image";
  FCanLoad = true;
  FCanSave = true;
  FIsMultiImageFormat = false;
  FSupportedFormats = {fmtIndex8,   fmtR5G6B5, fmtA1R5G5B5, fmtA4R4G4B4, fmtX1R5G5B5,
                       fmtX4R4G4B4, fmtR8G8B8, fmtA8R8G8B8, fmtX8R8G8B8};
  SetMaskList("*.bmp,*.dib");
  FUseRLE = -1;
  RegisterOptionVariable(OptBitmapRLE, &FUseRLE);
}

bool TBitmapFileFormat::TestFormat(THandle Handle) {
  if (!Handle) return false;
  TIOFunctions IO = CurrentIOTable();
  uint8_t hdr[20] = {};
  int32_t got = IO.Read(Handle, hdr, sizeof hdr);
  if (got > 0) IO.Seek(Handle, -got, smFromCurrent);
  if (got >= FileHeaderSize && Get16(hdr) == BitmapMagic) return true;
  // A device-independent bitmap without the file header, as the clipboard
  // stores it: a Windows info header with plausible fields.
  if (got < 20) return false;
  uint32_t size = Get32(hdr);
  if (size != 40 && size != 108 && size != 124) return false;
  int32_t width = int32_t(Get32(hdr + 4)), height = int32_t(Get32(hdr + 8));
  return width > 0 && height != 0 && Get16(hdr + 12) == 1 && IsKnownBitCount(Get16(hdr + 14)) &&
         Get32(hdr + 16) <= BI_BITFIELDS;
}

bool TBitmapFileFormat::ReadImages(THandle Handle, TDynImageDataArray& Images, bool) {
  TIOFunctions IO = CurrentIOTable();
  const int64_t start = IO.Tell(Handle);
  const int64_t available = std::max<int64_t>(0, int64_t(MeasureHandleSize(IO, Handle)) - start);
  TBitmapHeader h = ReadHeaders(IO, Handle, start, available);

  const int32_t width = h.Width;
  const int32_t height = h.Height < 0 ? -h.Height : h.Height;
  const bool topDown = h.Height < 0;

  // Pixel format.
  TImageFormat format = fmtNone;
  bool generalBitFields = false;
  switch (h.BitCount) {
    case 1: case 4: case 8: format = fmtIndex8; break;
    case 24: format = fmtR8G8B8; break;
    case 16:
    case 32:
      format = NativeBitFieldFormat(h);
      if (format == fmtNone) {
        generalBitFields = true;
        format = h.AlphaMask ? fmtA8R8G8B8 : fmtX8R8G8B8;
      }
      break;
  }

  // Colour table.
  const int64_t tableEntries = ColorTableEntries(h);
  const int64_t entrySize = h.HeaderSize == CoreHeaderSize ? 3 : 4;
  const int64_t tablePos = h.MasksEnd;
  if (tablePos - start + tableEntries * entrySize > available)
    RaiseImagingError("Bitmap colour table of %d entries exceeds the file.", int32_t(std::min<int64_t>(tableEntries, INT32_MAX)));

  // Pixel data: where it starts and how much of the file it may use.
  int64_t pixelOffset = h.HasFileHeader ? int64_t(h.PixelOffset) : tablePos - start + tableEntries * entrySize;
  if (h.HasFileHeader && pixelOffset == 0) pixelOffset = tablePos - start + tableEntries * entrySize;
  // Pixels may not overlap the headers, nor the colour table of a Windows
  // header (OS/2 core files may carry a shorter table than their bit count
  // implies, with the pixels right after it).
  const int64_t firstPixelPos =
      h.HeaderSize == CoreHeaderSize ? tablePos - start : tablePos - start + tableEntries * entrySize;
  if (pixelOffset < firstPixelPos)
    RaiseImagingError("Bitmap pixel offset %d points into the headers.", int32_t(pixelOffset));
  const int64_t remaining = std::max<int64_t>(0, available - pixelOffset);
  const int64_t rowSize = ((int64_t(width) * h.BitCount + 31) / 32) * 4;
  const int64_t imageBytes = ImageBytesFor(format, width, height);
  if (imageBytes <= 0 || imageBytes > MaxImageSize)
    RaiseImagingError("Bitmap of %d x %d pixels is too large.", width, height);
  CheckPixelLimit(width, height);

  const bool rle = h.Compression == BI_RLE8 || h.Compression == BI_RLE4;
  int64_t blockSize;
  if (rle) {
    // The rest of the file: the runs end themselves with their end-of-bitmap
    // code, and writers often get the image data size field wrong.
    blockSize = remaining;
    // Two bytes of runs describe at most 255 pixels; a bitmap far larger than
    // its data could describe is not allocated.
    if (int64_t(width) * height > 256 * (blockSize + 256))
      RaiseImagingError("Run-length data of %d bytes cannot describe %d x %d pixels.", int32_t(blockSize), width,
                        height);
  } else {
    // The last row's padding may be missing.
    int64_t needed = rowSize * (height - 1) + (int64_t(width) * h.BitCount + 7) / 8;
    if (needed > remaining) RaiseImagingError("Bitmap pixel data is truncated.");
    blockSize = std::min(rowSize * height, remaining);
  }

  Images.resize(1);
  TImageData& image = Images[0];
  if (!CreateImage(width, height, format, image)) RaiseImagingError("Cannot create a %d x %d bitmap image.", width, height);

  if (format == fmtIndex8) {
    std::vector<uint8_t> table(size_t(std::min<int64_t>(tableEntries, 256) * entrySize));
    IO.Seek(Handle, int32_t(tablePos), smFromBeginning);
    ReadExact(IO, Handle, table.data(), int64_t(table.size()), "colour table");
    for (size_t i = 0; i * entrySize < table.size(); ++i) {
      image.Palette[i].B = table[i * entrySize];
      image.Palette[i].G = table[i * entrySize + 1];
      image.Palette[i].R = table[i * entrySize + 2];
    }
    for (int i = 0; i < 256; ++i) image.Palette[i].A = 0xFF;
  }

  IO.Seek(Handle, int32_t(start + pixelOffset), smFromBeginning);
  const int64_t bytesPerPixel = h.BitCount / 8;
  const int64_t lineBytes = int64_t(width) * bytesPerPixel;
  auto* bits = static_cast<uint8_t*>(image.Bits);

  if (rle) {
    std::vector<uint8_t> block(static_cast<size_t>(blockSize));
    int32_t got = blockSize > 0 ? IO.Read(Handle, block.data(), int32_t(blockSize)) : 0;
    DecodeRLE(block.data(), std::max(got, 0), h.Compression == BI_RLE4, topDown, image);
  } else if (h.BitCount >= 8 && !generalBitFields && rowSize == lineBytes) {
    // Rows without padding go straight into the image.
    ReadExact(IO, Handle, bits, blockSize, "pixel data");
    if (!topDown) FlipVertical(image);
  } else {
    std::vector<uint8_t> block(size_t(rowSize * height), 0);
    ReadExact(IO, Handle, block.data(), blockSize, "pixel data");
    if (h.BitCount < 8) {
      ExpandPackedRows(block.data(), rowSize, topDown, h.BitCount, image);
    } else if (generalBitFields) {
      DecodeBitFields(block.data(), rowSize, topDown, h, image);
    } else {
      for (int32_t y = 0; y < height; ++y)
        std::memcpy(bits + y * lineBytes, block.data() + rowSize * (topDown ? y : height - 1 - y), size_t(lineBytes));
    }
  }

  if (format == fmtIndex8) CheckIndices(image, tableEntries);
  if (h.Compression == BI_BITFIELDS)
    ClearPadding(image);
  else if (h.AlphaMask == 0)
    DropUnusedAlpha(image);
  return true;
}

// ---------------------------------------------------------------------------
// Writing
// ---------------------------------------------------------------------------

namespace BitmapRLE {

void EncodeRow8(const uint8_t* Row, int32_t Width, std::vector<uint8_t>& Out) {
  int32_t x = 0;
  while (x < Width) {
    int32_t run = 1;
    while (run < 255 && x + run < Width && Row[x + run] == Row[x]) ++run;
    int32_t literal = 0;
    if (run == 1) {
      // Positions whose byte differs from the next one; the last byte of the
      // row differs from its (absent) successor.
      while (x + literal < Width && literal < 255 &&
             (x + literal + 1 >= Width || Row[x + literal + 1] != Row[x + literal]))
        ++literal;
    }
    if (literal < 3) {
      Out.push_back(uint8_t(run));
      Out.push_back(Row[x]);
      x += run;
    } else {
      Out.push_back(0);
      Out.push_back(uint8_t(literal));
      Out.insert(Out.end(), Row + x, Row + x + literal);
      if (literal & 1) Out.push_back(0);
      x += literal;
    }
  }
}

}  // namespace BitmapRLE

void TBitmapFileFormat::ConvertToAccepted(TImageData& Image, const TImageFormatInfo& Info) {
  TImageFormat target;
  if (Info.HasAlphaChannel)
    target = fmtA8R8G8B8;
  else if (Info.IsFloatingPoint)
    target = fmtR8G8B8;
  else if (Info.HasGrayChannel || Info.IsIndexed)
    target = fmtIndex8;
  else if (Info.UsePixelFormat)
    target = fmtX1R5G5B5;
  else
    target = fmtR8G8B8;
  ChangeImageFormat(Image, target);
}

bool TBitmapFileFormat::WriteImages(THandle Handle, const TDynImageDataArray& Images, int32_t Index) {
  TCompatibleImage compatible;
  if (!MakeCompatible(Images[size_t(Index)], compatible)) return false;
  if (PaletteAlphaInUse(compatible.Image)) {
    // A colour table has no alpha that readers honour: a palette with
    // transparency is written as 32-bit pixels with alpha instead.
    TImageData argb;
    if (!DuplicateImage(compatible.Image, argb)) return false;
    try {
      ChangeImageFormat(argb, fmtA8R8G8B8);
    } catch (...) {
      ReleaseImage(argb);
      throw;
    }
    if (compatible.MustBeFreed) ReleaseImage(compatible.Image);
    compatible.Image = argb;
    compatible.MustBeFreed = true;
  }
  const TImageData& image = compatible.Image;

  TIOFunctions IO = CurrentIOTable();
  TImageFormatInfo info;
  QueryFormatInfo(image.Format, info);
  const int64_t start = IO.Tell(Handle);
  const int32_t bytesPerPixel = info.BytesPerPixel;
  const bool is16 = bytesPerPixel == 2;
  // Formats with alpha get a 108-byte header whose alpha mask tells readers
  // that the alpha bits are alpha (without it they show the image opaque).
  const bool hasAlpha = image.Format == fmtA1R5G5B5 || image.Format == fmtA4R4G4B4 || image.Format == fmtA8R8G8B8;

  uint32_t compression = BI_RGB;
  if (image.Format == fmtIndex8 && FUseRLE != 0)
    compression = BI_RLE8;
  else if ((is16 && image.Format != fmtX1R5G5B5) || image.Format == fmtA8R8G8B8)
    compression = BI_BITFIELDS;

  const int32_t headerSize = hasAlpha ? V4HeaderSize : InfoHeaderSize;
  uint8_t fileHeader[FileHeaderSize] = {};
  uint8_t infoHeader[V4HeaderSize] = {};
  Put16(fileHeader, BitmapMagic);
  Put32(infoHeader + 0, uint32_t(headerSize));
  Put32(infoHeader + 4, uint32_t(image.Width));
  Put32(infoHeader + 8, uint32_t(image.Height));
  Put16(infoHeader + 12, 1);
  Put16(infoHeader + 14, uint32_t(bytesPerPixel * 8));
  Put32(infoHeader + 16, compression);
  Put32(infoHeader + 24, 2835);
  Put32(infoHeader + 28, 2835);
  uint8_t masks[12] = {};
  if (compression == BI_BITFIELDS && image.Format == fmtA8R8G8B8) {
    Put32(infoHeader + 40, 0x00FF0000);
    Put32(infoHeader + 44, 0x0000FF00);
    Put32(infoHeader + 48, 0x000000FF);
    Put32(infoHeader + 52, 0xFF000000);
  } else if (compression == BI_BITFIELDS) {
    Put32(infoHeader + 40, info.PixelFormat->RBitMask);
    Put32(infoHeader + 44, info.PixelFormat->GBitMask);
    Put32(infoHeader + 48, info.PixelFormat->BBitMask);
    Put32(infoHeader + 52, info.PixelFormat->ABitMask);
    std::memcpy(masks, infoHeader + 40, 12);
  }

  auto write = [&](const void* Data, int64_t Count) {
    return Count == 0 || IO.Write(Handle, Data, int32_t(Count)) == Count;
  };
  if (!write(fileHeader, FileHeaderSize) || !write(infoHeader, headerSize)) return false;
  if (compression == BI_BITFIELDS && headerSize == InfoHeaderSize && !write(masks, 12)) return false;
  if (image.Palette) {
    uint8_t table[256 * 4];
    for (int i = 0; i < 256; ++i) {
      table[i * 4 + 0] = image.Palette[i].B;
      table[i * 4 + 1] = image.Palette[i].G;
      table[i * 4 + 2] = image.Palette[i].R;
      table[i * 4 + 3] = image.Palette[i].A;
    }
    if (!write(table, sizeof table)) return false;
  }
  const int64_t pixelOffset = IO.Tell(Handle) - start;

  const auto* bits = static_cast<const uint8_t*>(image.Bits);
  const int64_t lineBytes = int64_t(image.Width) * bytesPerPixel;
  if (compression == BI_RLE8) {
    constexpr size_t FlushSize = 8192;
    std::vector<uint8_t> out;
    out.reserve(FlushSize + 1024);
    for (int32_t y = image.Height - 1; y >= 0; --y) {
      BitmapRLE::EncodeRow8(bits + y * lineBytes, image.Width, out);
      out.push_back(0);  // end of line
      out.push_back(0);
      if (y == 0) {  // end of bitmap
        out.push_back(0);
        out.push_back(1);
      }
      if (out.size() >= FlushSize) {
        if (!write(out.data(), int64_t(out.size()))) return false;
        out.clear();
      }
    }
    if (!write(out.data(), int64_t(out.size()))) return false;
  } else {
    const int64_t rowSize = (lineBytes + 3) & ~int64_t(3);
    // Rows go out in groups of about 64 KiB.
    const int64_t rowsPerChunk = std::max<int64_t>(1, 65536 / rowSize);
    std::vector<uint8_t> chunk(size_t(rowSize * rowsPerChunk), 0);
    int32_t y = image.Height - 1;
    while (y >= 0) {
      int64_t rows = std::min<int64_t>(rowsPerChunk, y + 1);
      for (int64_t i = 0; i < rows; ++i) std::memcpy(chunk.data() + i * rowSize, bits + (y - i) * lineBytes, size_t(lineBytes));
      if (!write(chunk.data(), rows * rowSize)) return false;
      y -= int32_t(rows);
    }
  }

  const int64_t end = IO.Tell(Handle);
  Put32(fileHeader + 2, uint32_t(end - start));
  Put32(fileHeader + 10, uint32_t(pixelOffset));
  Put32(infoHeader + 20, uint32_t(end - start - pixelOffset));
  IO.Seek(Handle, int32_t(start), smFromBeginning);
  if (!write(fileHeader, FileHeaderSize) || !write(infoHeader, headerSize)) return false;
  IO.Seek(Handle, int32_t(end), smFromBeginning);
  return true;
}

}  // namespace Imaging
