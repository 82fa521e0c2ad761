// Truevision Targa handler.
//
// Layout of a file: an 18-byte header, the image ID (ID length bytes), the
// colour map, the pixel data (uncompressed or as run-length packets), and
// optionally an extension area and a 26-byte footer ending in
// "TRUEVISION-XFILE.". Rows are stored bottom-up unless bit 5 of the image
// descriptor is set; bit 4 stores each row right to left. Every number is
// little-endian.
//
// Reading validates the header before anything is allocated: the image must
// fit the 32-bit Size and its pixel data must fit the rest of the file (for
// run-length data: at least the bytes the fewest possible packets take).
#include "ImagingTarga.h"

#include <algorithm>
#include <cstring>

#include "ImagingPixelMath.h"

namespace Imaging {

namespace {

constexpr int32_t HeaderSize = 18;
constexpr int32_t FooterSize = 26;
constexpr int32_t ExtensionAreaSize = 495;
constexpr char FooterSignature[] = "TRUEVISION-XFILE";
constexpr int32_t MaxPacketPixels = 128;

// Descriptor bits.
constexpr uint8_t DescRightToLeft = 0x10;
constexpr uint8_t DescTopDown = 0x20;
constexpr uint8_t DescAttributeBits = 0x0F;

uint16_t Get16(const uint8_t* P) { return uint16_t(P[0] | (P[1] << 8)); }
void Put16(uint8_t* P, uint32_t V) {
  P[0] = uint8_t(V);
  P[1] = uint8_t(V >> 8);
}

struct TTargaHeader {
  uint8_t IDLength;
  uint8_t ColorMapType;
  uint8_t ImageType;
  uint16_t ColorMapOff;
  uint16_t ColorMapLength;
  uint8_t ColorEntrySize;
  uint16_t XOrg;
  uint16_t YOrg;
  uint16_t Width;
  uint16_t Height;
  uint8_t PixelSize;
  uint8_t Desc;
};

TTargaHeader ParseHeader(const uint8_t* B) {
  TTargaHeader h;
  h.IDLength = B[0];
  h.ColorMapType = B[1];
  h.ImageType = B[2];
  h.ColorMapOff = Get16(B + 3);
  h.ColorMapLength = Get16(B + 5);
  h.ColorEntrySize = B[7];
  h.XOrg = Get16(B + 8);
  h.YOrg = Get16(B + 10);
  h.Width = Get16(B + 12);
  h.Height = Get16(B + 14);
  h.PixelSize = B[16];
  h.Desc = B[17];
  return h;
}

void ReadExact(const TIOFunctions& IO, THandle Handle, void* Buffer, int64_t Count, const char* What) {
  if (Count <= 0) return;
  if (IO.Read(Handle, Buffer, int32_t(Count)) != Count) RaiseImagingError("Targa %s is truncated.", What);
}

// Pixel format of the image data; raises for combinations no reader knows.
TImageFormat SelectFormat(const TTargaHeader& H) {
  switch (H.ImageType) {
    case 1:
    case 9:
      if (H.PixelSize == 8) return fmtIndex8;
      break;
    case 2:
    case 10:
      switch (H.PixelSize) {
        case 8: return fmtGray8;
        case 15: return fmtX1R5G5B5;
        case 16: return fmtA1R5G5B5;
        case 24: return fmtR8G8B8;
        case 32: return fmtA8R8G8B8;
      }
      break;
    case 3:
    case 11:
      // 16-bit gray files carry an alpha byte after each gray byte.
      if (H.PixelSize == 8) return fmtGray8;
      if (H.PixelSize == 16) return fmtA8Gray8;
      break;
    case 0:
      RaiseImagingError("Targa file contains no image data.");
  }
  RaiseImagingError("Unsupported Targa image type %d with pixel depth %d.", int32_t(H.ImageType),
                    int32_t(H.PixelSize));
}

// Bytes of one colour map entry (15-bit entries take 2).
int32_t EntryBytes(int32_t EntrySize) { return (EntrySize + 7) / 8; }

// Fills the palette from the colour map entries; the first entry has index
// First, entries beyond index 255 are dropped. 15 and 16-bit entries hold
// 5-bit red, green and blue; bit 15 of a 16-bit entry is its attribute
// (alpha) bit when the descriptor declares attribute bits, and a map that
// never sets it is opaque.
void DecodeColorMap(const uint8_t* Map, int32_t First, int32_t Entries, int32_t EntrySize, uint8_t Desc,
                    PPalette32 Palette) {
  const int32_t count = std::clamp(256 - First, 0, Entries);
  const int32_t bytes = EntryBytes(EntrySize);
  TColor32Rec* out = Palette + std::min(First, 256);
  if (EntrySize <= 16) {
    bool anyAlpha = false;
    if (EntrySize == 16 && (Desc & DescAttributeBits) != 0)
      for (int32_t i = 0; i < count; ++i) anyAlpha |= (Get16(Map + i * 2) & 0x8000) != 0;
    for (int32_t i = 0; i < count; ++i) {
      uint16_t v = Get16(Map + i * 2);
      out[i].R = PixelMath::WidenField((v >> 10) & 0x1F, 5);
      out[i].G = PixelMath::WidenField((v >> 5) & 0x1F, 5);
      out[i].B = PixelMath::WidenField(v & 0x1F, 5);
      out[i].A = (!anyAlpha || (v & 0x8000)) ? 0xFF : 0x00;
    }
  } else {
    for (int32_t i = 0; i < count; ++i) {
      const uint8_t* p = Map + i * bytes;
      out[i].B = p[0];
      out[i].G = p[1];
      out[i].R = p[2];
      out[i].A = bytes == 4 ? p[3] : 0xFF;
    }
  }
}

// Moves past an extension area to where a footer would start. Every pass
// consumes bytes, so the loop ends at the end of the data.
void PositionAfterImage(const TIOFunctions& IO, THandle Handle) {
  for (;;) {
    uint8_t size[2];
    int32_t got = IO.Read(Handle, size, 2);
    if (got == 2 && Get16(size) == ExtensionAreaSize) {
      uint8_t skip[ExtensionAreaSize - 2];
      if (IO.Read(Handle, skip, sizeof skip) != int32_t(sizeof skip)) return;
      continue;
    }
    if (got > 0) IO.Seek(Handle, -got, smFromCurrent);
    uint8_t footer[FooterSize];
    got = IO.Read(Handle, footer, FooterSize);
    if (got < FooterSize) return;
    if (std::memcmp(footer + 8, FooterSignature, 16) == 0) {
      IO.Seek(Handle, -FooterSize, smFromCurrent);
      return;
    }
  }
}

// Bytes a row of run-length packets can take at most.
int64_t WorstCaseRow(int32_t Width, int32_t PixelSize) { return int64_t(Width) * (PixelSize + 1); }

}  // namespace

// ---------------------------------------------------------------------------
// Run-length packets
// ---------------------------------------------------------------------------

namespace TargaRLE {

void EncodeRow(const uint8_t* Row, int32_t Width, int32_t PixelSize, uint8_t*& Out) {
  auto same = [&](int32_t A, int32_t B) {
    return std::memcmp(Row + int64_t(A) * PixelSize, Row + int64_t(B) * PixelSize, size_t(PixelSize)) == 0;
  };
  int32_t i = 0;
  while (i < Width) {
    // Literal: pixels that differ from their successor; the last pixel of the
    // row belongs to a literal that reaches it.
    int32_t literal = 0;
    while (i + literal < Width && literal < MaxPacketPixels) {
      if (i + literal == Width - 1) {
        ++literal;
        break;
      }
      if (same(i + literal, i + literal + 1)) break;
      ++literal;
    }
    if (literal > 0) {
      *Out++ = uint8_t(literal - 1);
      std::memcpy(Out, Row + int64_t(i) * PixelSize, size_t(literal) * PixelSize);
      Out += int64_t(literal) * PixelSize;
      i += literal;
    } else {
      int32_t run = 1;
      while (i + run < Width && run < MaxPacketPixels && same(i, i + run)) ++run;
      *Out++ = uint8_t((run - 1) | 0x80);
      std::memcpy(Out, Row + int64_t(i) * PixelSize, size_t(PixelSize));
      Out += PixelSize;
      i += run;
    }
  }
}

int64_t Decode(const uint8_t* Src, int64_t SrcSize, uint8_t* Dst, int64_t PixelCount, int32_t PixelSize) {
  int64_t pos = 0, done = 0;
  while (done < PixelCount) {
    if (pos >= SrcSize) RaiseImagingError("Targa run-length data ends after %d of %d pixels.", int64_t(done),
                                          int64_t(PixelCount));
    uint8_t h = Src[pos++];
    int64_t count = std::min<int64_t>((h & 0x7F) + 1, PixelCount - done);
    uint8_t* out = Dst + done * PixelSize;
    if (h & 0x80) {
      if (pos + PixelSize > SrcSize) RaiseImagingError("Targa run-length data is truncated.");
      const uint8_t* pixel = Src + pos;
      pos += PixelSize;
      if (PixelSize == 1) {
        std::memset(out, *pixel, size_t(count));
      } else {
        for (int64_t k = 0; k < count; ++k) std::memcpy(out + k * PixelSize, pixel, size_t(PixelSize));
      }
    } else {
      int64_t bytes = count * PixelSize;
      if (pos + bytes > SrcSize) RaiseImagingError("Targa run-length data is truncated.");
      std::memcpy(out, Src + pos, size_t(bytes));
      // A literal that reaches past the image still occupies its bytes.
      pos += int64_t((h & 0x7F) + 1) * PixelSize;
      pos = std::min(pos, SrcSize);
    }
    done += count;
  }
  return pos;
}

}  // namespace TargaRLE

// ---------------------------------------------------------------------------
// Handler
// ---------------------------------------------------------------------------

TTargaFileFormat::TTargaFileFormat() {
  FName = "Truevision Targa Image";
  FCanLoad = true;
  FCanSave = true;
  FIsMultiImageFormat = false;
  FSupportedFormats = {fmtIndex8, fmtGray8, fmtA1R5G5B5, fmtR8G8B8, fmtA8R8G8B8};
  SetMaskList("*.tga");
  FUseRLE = 0;
  RegisterOptionVariable(OptTargaRLE, &FUseRLE);
}

bool TTargaFileFormat::TestFormat(THandle Handle) {
  if (!Handle) return false;
  TIOFunctions IO = CurrentIOTable();
  uint8_t b[HeaderSize];
  int32_t got = IO.Read(Handle, b, HeaderSize);
  if (got > 0) IO.Seek(Handle, -got, smFromCurrent);
  if (got != HeaderSize) return false;
  TTargaHeader h = ParseHeader(b);
  bool type = h.ImageType <= 3 || (h.ImageType >= 9 && h.ImageType <= 11);
  bool depth = h.PixelSize == 1 || h.PixelSize == 8 || h.PixelSize == 15 || h.PixelSize == 16 ||
               h.PixelSize == 24 || h.PixelSize == 32;
  bool entry = h.ColorEntrySize == 0 || h.ColorEntrySize == 15 || h.ColorEntrySize == 16 || h.ColorEntrySize == 24 ||
               h.ColorEntrySize == 32;
  return type && depth && entry;
}

bool TTargaFileFormat::ReadImages(THandle Handle, TDynImageDataArray& Images, bool) {
  TIOFunctions IO = CurrentIOTable();
  const int64_t start = IO.Tell(Handle);
  const int64_t available = std::max<int64_t>(0, int64_t(MeasureHandleSize(IO, Handle)) - start);
  uint8_t raw[HeaderSize];
  ReadExact(IO, Handle, raw, HeaderSize, "header");
  const TTargaHeader h = ParseHeader(raw);

  const TImageFormat format = SelectFormat(h);
  if (h.Width == 0 || h.Height == 0) RaiseImagingError("Invalid Targa dimensions %d x %d.", int32_t(h.Width), int32_t(h.Height));
  const bool rle = h.ImageType >= 9;
  const int32_t pixelSize = (h.PixelSize + 7) / 8;
  const int64_t pixelCount = int64_t(h.Width) * h.Height;
  const int64_t imageBytes = pixelCount * pixelSize;
  if (imageBytes > MaxImageSize)
    RaiseImagingError("Targa image of %d x %d pixels is too large.", int32_t(h.Width), int32_t(h.Height));

  // Colour map: checked against the file before anything is allocated.
  const bool hasMap = h.ColorMapType == 1;
  const int64_t mapBytes = hasMap ? int64_t(h.ColorMapLength) * EntryBytes(h.ColorEntrySize) : 0;
  const int64_t dataPos = HeaderSize + int64_t(h.IDLength) + mapBytes;
  if (dataPos > available) RaiseImagingError("Targa colour map is truncated.");
  const int64_t remaining = available - dataPos;
  if (!rle && imageBytes > remaining) RaiseImagingError("Targa pixel data is truncated.");
  // The fewest packets an image can take: runs of 128 pixels.
  if (rle && (pixelCount + MaxPacketPixels - 1) / MaxPacketPixels * (pixelSize + 1) > remaining)
    RaiseImagingError("Targa run-length data is truncated.");
  CheckPixelLimit(h.Width, h.Height);

  Images.resize(1);
  TImageData& image = Images[0];
  if (!CreateImage(h.Width, h.Height, format, image))
    RaiseImagingError("Cannot create a %d x %d Targa image.", int32_t(h.Width), int32_t(h.Height));

  IO.Seek(Handle, int32_t(start + HeaderSize + h.IDLength), smFromBeginning);
  if (hasMap) {
    std::vector<uint8_t> map(static_cast<size_t>(mapBytes));
    ReadExact(IO, Handle, map.data(), mapBytes, "colour map");
    if (format == fmtIndex8 && (h.ColorEntrySize == 15 || h.ColorEntrySize == 16 || h.ColorEntrySize == 24 ||
                                h.ColorEntrySize == 32))
      DecodeColorMap(map.data(), h.ColorMapOff, h.ColorMapLength, h.ColorEntrySize, h.Desc, image.Palette);
  }

  auto* bits = static_cast<uint8_t*>(image.Bits);
  if (!rle) {
    ReadExact(IO, Handle, bits, imageBytes, "pixel data");
  } else {
    // Room for the worst case: every pixel its own one-pixel packet.
    const int64_t inSize = std::min(remaining, pixelCount * (pixelSize + 1));
    std::vector<uint8_t> packed(static_cast<size_t>(inSize));
    ReadExact(IO, Handle, packed.data(), inSize, "run-length data");
    int64_t used = TargaRLE::Decode(packed.data(), inSize, bits, pixelCount, pixelSize);
    IO.Seek(Handle, int32_t(start + dataPos + used), smFromBeginning);
  }

  if (format == fmtA1R5G5B5) {
    const auto* p = reinterpret_cast<const uint16_t*>(bits);
    uint16_t any = 0;
    for (int64_t i = 0; i < pixelCount; ++i) any |= p[i];
    if ((any & 0x8000) == 0) image.Format = fmtX1R5G5B5;
  }

  PositionAfterImage(IO, Handle);

  if ((h.Desc & DescTopDown) == 0) FlipVertical(image);
  if (h.Desc & DescRightToLeft) FlipHorizontal(image);
  return true;
}

// ---------------------------------------------------------------------------
// Writing
// ---------------------------------------------------------------------------

void TTargaFileFormat::ConvertToAccepted(TImageData& Image, const TImageFormatInfo& Info) {
  TImageFormat target;
  if (Info.HasGrayChannel)
    target = Info.HasAlphaChannel ? fmtA8R8G8B8 : fmtGray8;
  else if (Info.IsIndexed)
    target = fmtIndex8;
  else if (Info.HasAlphaChannel)
    target = fmtA8R8G8B8;
  else if (Info.UsePixelFormat)
    target = fmtA1R5G5B5;
  else
    target = fmtR8G8B8;
  ChangeImageFormat(Image, target);
}

bool TTargaFileFormat::WriteImages(THandle Handle, const TDynImageDataArray& Images, int32_t Index) {
  TCompatibleImage compatible;
  if (!MakeCompatible(Images[size_t(Index)], compatible)) return false;
  const TImageData& image = compatible.Image;

  TIOFunctions IO = CurrentIOTable();
  TImageFormatInfo info;
  QueryFormatInfo(image.Format, info);
  const int32_t pixelSize = info.BytesPerPixel;
  const bool rle = FUseRLE != 0;
  // A palette whose used entries are not all opaque keeps its alpha in
  // 32-bit colour map entries.
  const bool mapAlpha = image.Palette && PaletteAlphaInUse(image);

  uint8_t header[HeaderSize] = {};
  if (image.Palette) {
    header[1] = 1;
    header[2] = rle ? 9 : 1;
    Put16(header + 5, 256);
    header[7] = mapAlpha ? 32 : 24;
  } else if (info.HasGrayChannel) {
    header[2] = rle ? 11 : 3;
  } else {
    header[2] = rle ? 10 : 2;
  }
  Put16(header + 12, uint32_t(image.Width));
  Put16(header + 14, uint32_t(image.Height));
  header[16] = uint8_t(pixelSize * 8);
  header[17] = image.Format == fmtA8R8G8B8 || mapAlpha ? 40 : (image.Format == fmtA1R5G5B5 ? 33 : 32);

  auto write = [&](const void* Data, int64_t Count) {
    return Count == 0 || IO.Write(Handle, Data, int32_t(Count)) == Count;
  };
  if (!write(header, HeaderSize)) return false;
  if (image.Palette) {
    const int entry = mapAlpha ? 4 : 3;
    uint8_t map[256 * 4];
    for (int i = 0; i < 256; ++i) {
      map[i * entry + 0] = image.Palette[i].B;
      map[i * entry + 1] = image.Palette[i].G;
      map[i * entry + 2] = image.Palette[i].R;
      if (mapAlpha) map[i * entry + 3] = image.Palette[i].A;
    }
    if (!write(map, 256 * entry)) return false;
  }

  const auto* bits = static_cast<const uint8_t*>(image.Bits);
  if (!rle) return write(bits, image.Size);

  // Packets of many rows are collected and written together; the buffer
  // always has room for the worst case of the next row.
  const int64_t rowBytes = int64_t(image.Width) * pixelSize;
  const int64_t worstRow = WorstCaseRow(image.Width, pixelSize);
  const int64_t capacity = std::min(worstRow * image.Height, std::max<int64_t>(worstRow, int64_t(1) << 20));
  std::vector<uint8_t> buffer(static_cast<size_t>(capacity));
  uint8_t* out = buffer.data();
  for (int32_t y = 0; y < image.Height; ++y) {
    if ((out - buffer.data()) + worstRow > capacity) {
      if (!write(buffer.data(), out - buffer.data())) return false;
      out = buffer.data();
    }
    TargaRLE::EncodeRow(bits + y * rowBytes, image.Width, pixelSize, out);
  }
  return write(buffer.data(), out - buffer.data());
}

}  // namespace Imaging
