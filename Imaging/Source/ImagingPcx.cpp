// ZSoft Paintbrush (PCX) reader.
//
// A PCX file is a 128-byte header followed by scan lines. Each scan line holds
// BytesPerLine bytes for every plane in turn; with encoding 1 the whole
// sequence of scan lines is one run-length stream (a byte of 192 or more is a
// count in its low 6 bits followed by the byte to repeat, anything else is a
// literal), and runs may cross from one scan line into the next. 256-colour
// files end with the marker byte 12 and a 768-byte R, G, B palette.
#include "ImagingPcx.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

namespace Imaging {

namespace {

constexpr int32_t HeaderSize = 128;
constexpr uint8_t PcxManufacturer = 10;
constexpr uint8_t PaletteMarker = 12;

// The standard 16 colours of files without a header palette.
constexpr uint32_t DefaultPalette16[16] = {0xFF000000, 0xFF0000AA, 0xFF00AA00, 0xFF00AAAA, 0xFFAA0000, 0xFFAA00AA,
                                           0xFFAA5500, 0xFFAAAAAA, 0xFF555555, 0xFF5555FF, 0xFF55FF55, 0xFF55FFFF,
                                           0xFFFF5555, 0xFFFF55FF, 0xFFFFFF55, 0xFFFFFFFF};

struct TPcxHeader {
  uint8_t Manufacturer;
  uint8_t Version;
  uint8_t Encoding;
  uint8_t BitsPerPixel;
  uint16_t XMin, YMin, XMax, YMax;
  uint8_t ColorMap[48];
  uint8_t Planes;
  uint16_t BytesPerLine;
  uint16_t PaletteInfo;
};

uint16_t GetWord(const uint8_t* P) { return uint16_t(P[0] | (P[1] << 8)); }

TPcxHeader ParseHeader(const uint8_t* B) {
  TPcxHeader h;
  h.Manufacturer = B[0];
  h.Version = B[1];
  h.Encoding = B[2];
  h.BitsPerPixel = B[3];
  h.XMin = GetWord(B + 4);
  h.YMin = GetWord(B + 6);
  h.XMax = GetWord(B + 8);
  h.YMax = GetWord(B + 10);
  std::memcpy(h.ColorMap, B + 16, sizeof h.ColorMap);
  h.Planes = B[65];
  h.BytesPerLine = GetWord(B + 66);
  h.PaletteInfo = GetWord(B + 68);
  return h;
}

// The header fields that identify a PCX file. The palette information field
// is not used for decoding; writers commonly leave it 0, so 0 is accepted
// beside the documented 1 (colour or monochrome) and 2 (gray).
bool IsPlausibleHeader(const TPcxHeader& H) {
  return H.Manufacturer == PcxManufacturer && (H.Version == 0 || (H.Version >= 2 && H.Version <= 5)) &&
         H.Encoding <= 1 &&
         (H.BitsPerPixel == 1 || H.BitsPerPixel == 2 || H.BitsPerPixel == 4 || H.BitsPerPixel == 8) &&
         (H.Planes == 1 || H.Planes == 3 || H.Planes == 4) && H.PaletteInfo <= 2;
}

enum TPcxLayout { plMono, plPlanar16, plPacked4, plPacked16, plIndexed256, plRGB, plRGBA };

// Layout of the scan lines by bits per pixel and plane count; false for a
// combination this reader does not decode.
bool SelectLayout(const TPcxHeader& H, TPcxLayout& Layout, TImageFormat& Format) {
  Format = fmtIndex8;
  switch (H.BitsPerPixel) {
    case 1:
      if (H.Planes == 1) Layout = plMono;
      else if (H.Planes == 4) Layout = plPlanar16;
      else return false;
      return true;
    case 2:
      Layout = plPacked4;
      return true;
    case 4:
      // Only one plane holds packed nibbles; several 4-bit planes have no
      // defined meaning and would decode to nothing.
      if (H.Planes != 1) return false;
      Layout = plPacked16;
      return true;
    case 8:
      if (H.Planes == 1) {
        Layout = plIndexed256;
      } else if (H.Planes == 3) {
        Layout = plRGB;
        Format = fmtR8G8B8;
      } else if (H.Planes == 4) {
        Layout = plRGBA;
        Format = fmtA8R8G8B8;
      } else {
        return false;
      }
      return true;
    default:
      return false;
  }
}

// Sequential reader of the image data with its own block buffer; counts the
// bytes consumed so that the trailing palette can be found.
class TPcxSource {
public:
  TPcxSource(const TIOFunctions& IO, THandle Handle) : FIO(IO), FHandle(Handle), FBuffer(BlockSize) {}

  // Next byte, or -1 at the end of the data.
  int NextByte() {
    if (FPos == FLen && !Refill()) return -1;
    ++FConsumed;
    return FBuffer[size_t(FPos++)];
  }

  // Copies up to Count bytes; returns how many were available.
  int32_t ReadBytes(uint8_t* Dest, int32_t Count) {
    int32_t done = 0;
    while (done < Count) {
      if (FPos == FLen && !Refill()) break;
      int32_t n = std::min(Count - done, FLen - FPos);
      std::memcpy(Dest + done, FBuffer.data() + FPos, size_t(n));
      FPos += n;
      done += n;
    }
    FConsumed += done;
    return done;
  }

  // Decodes one scan line of the run-length stream. A run left over from the
  // previous line is continued first. Missing data leaves the rest zero.
  void DecodeLine(uint8_t* Line, int32_t Count) {
    int32_t i = 0;
    while (i < Count) {
      if (FRunLeft > 0) {
        int32_t n = std::min(FRunLeft, Count - i);
        std::memset(Line + i, FRunValue, size_t(n));
        i += n;
        FRunLeft -= n;
        continue;
      }
      // Literal bytes straight from the buffer while they last.
      if (FPos < FLen) {
        const uint8_t* p = FBuffer.data();
        while (i < Count && FPos < FLen && p[FPos] < 0xC0) {
          Line[i++] = p[FPos++];
          ++FConsumed;
        }
        if (i == Count) break;
      }
      int b = NextByte();
      if (b < 0) break;
      if (b >= 0xC0) {
        int v = NextByte();
        if (v < 0) break;
        FRunLeft = b & 0x3F;
        FRunValue = uint8_t(v);
      } else {
        Line[i++] = uint8_t(b);
      }
    }
    if (i < Count) std::memset(Line + i, 0, size_t(Count - i));
  }

  int64_t Consumed() const { return FConsumed; }

private:
  static constexpr int32_t BlockSize = 0x10000;

  bool Refill() {
    FPos = 0;
    FLen = FIO.Read(FHandle, FBuffer.data(), BlockSize);
    if (FLen < 0) FLen = 0;
    return FLen > 0;
  }

  const TIOFunctions& FIO;
  THandle FHandle;
  std::vector<uint8_t> FBuffer;
  int32_t FPos = 0;
  int32_t FLen = 0;
  int64_t FConsumed = 0;
  int32_t FRunLeft = 0;
  uint8_t FRunValue = 0;
};

// Expands one scan line (all planes) into row Y of the image.
void DistributeLine(TPcxLayout Layout, const uint8_t* Line, int32_t BytesPerLine, int32_t Width, uint8_t* Row) {
  const uint8_t* p0 = Line;
  switch (Layout) {
    case plIndexed256:
      std::memcpy(Row, p0, size_t(Width));
      break;
    case plRGB: {
      const uint8_t* r = p0;
      const uint8_t* g = p0 + BytesPerLine;
      const uint8_t* b = p0 + 2 * BytesPerLine;
      for (int32_t x = 0; x < Width; ++x) {
        Row[x * 3 + 0] = b[x];
        Row[x * 3 + 1] = g[x];
        Row[x * 3 + 2] = r[x];
      }
      break;
    }
    case plRGBA: {
      const uint8_t* r = p0;
      const uint8_t* g = p0 + BytesPerLine;
      const uint8_t* b = p0 + 2 * BytesPerLine;
      const uint8_t* a = p0 + 3 * BytesPerLine;
      for (int32_t x = 0; x < Width; ++x) {
        Row[x * 4 + 0] = b[x];
        Row[x * 4 + 1] = g[x];
        Row[x * 4 + 2] = r[x];
        Row[x * 4 + 3] = a[x];
      }
      break;
    }
    case plMono:
      for (int32_t x = 0; x < Width; ++x) Row[x] = (p0[x >> 3] >> (7 - (x & 7))) & 1;
      break;
    case plPacked4:
      for (int32_t x = 0; x < Width; ++x) Row[x] = (p0[x >> 2] >> (6 - 2 * (x & 3))) & 3;
      break;
    case plPacked16:
      for (int32_t x = 0; x < Width; ++x) Row[x] = (x & 1) ? (p0[x >> 1] & 0x0F) : (p0[x >> 1] >> 4);
      break;
    case plPlanar16:
      for (int32_t x = 0; x < Width; ++x) {
        int shift = 7 - (x & 7);
        int32_t byte = x >> 3;
        Row[x] = uint8_t(((p0[byte] >> shift) & 1) | (((p0[byte + BytesPerLine] >> shift) & 1) << 1) |
                         (((p0[byte + 2 * BytesPerLine] >> shift) & 1) << 2) |
                         (((p0[byte + 3 * BytesPerLine] >> shift) & 1) << 3));
      }
      break;
  }
}

// Reads the 769 bytes at Position; true when they are a palette marker and a
// full palette.
bool ReadTrailingPalette(const TIOFunctions& IO, THandle Handle, int64_t Position, PPalette32 Palette) {
  uint8_t buf[769];
  if (IO.Seek(Handle, int32_t(Position), smFromBeginning) != int32_t(Position)) return false;
  if (IO.Read(Handle, buf, 769) != 769 || buf[0] != PaletteMarker) return false;
  for (int32_t i = 0; i < 256; ++i) Palette[i] = Color32(255, buf[1 + i * 3], buf[2 + i * 3], buf[3 + i * 3]);
  return true;
}

}  // namespace

TPCXFileFormat::TPCXFileFormat() {
  FName = "ZSoft Paintbrush Image";
  FCanLoad = true;
  FCanSave = false;
  FIsMultiImageFormat = false;
  SetMaskList("*.pcx");
}

bool TPCXFileFormat::TestFormat(THandle Handle) {
  if (!Handle) return false;
  TIOFunctions io = CurrentIOTable();
  uint8_t buf[HeaderSize];
  int32_t read = io.Read(Handle, buf, HeaderSize);
  if (read > 0) io.Seek(Handle, -read, smFromCurrent);
  return read == HeaderSize && IsPlausibleHeader(ParseHeader(buf));
}

bool TPCXFileFormat::ReadImages(THandle Handle, TDynImageDataArray& Images, bool) {
  TIOFunctions io = CurrentIOTable();
  uint8_t raw[HeaderSize];
  int32_t start = io.Tell(Handle);
  if (io.Read(Handle, raw, HeaderSize) != HeaderSize) RaiseImagingError("PCX header is truncated.");
  TPcxHeader h = ParseHeader(raw);
  if (!IsPlausibleHeader(h)) return false;

  TPcxLayout layout;
  TImageFormat format;
  if (!SelectLayout(h, layout, format)) return false;

  int64_t width = int64_t(h.XMax) - h.XMin + 1;
  int64_t height = int64_t(h.YMax) - h.YMin + 1;
  if (width <= 0 || height <= 0)
    RaiseImagingError("PCX image has invalid dimensions %d x %d.", (long long)width, (long long)height);

  // Every plane of a scan line must hold the whole width; a smaller
  // BytesPerLine would make the pixels of one plane run into the next.
  int64_t bytesNeeded = (width * h.BitsPerPixel + 7) / 8;
  if (h.BytesPerLine < bytesNeeded)
    RaiseImagingError("PCX bytes per line (%d) are too few for a width of %d pixels.", int(h.BytesPerLine),
                      (long long)width);

  int64_t lineBytes = int64_t(h.BytesPerLine) * h.Planes;
  int64_t dataBytes = lineBytes * height;
  int64_t imageBytes = ImageBytesFor(format, int32_t(width), int32_t(height));
  if (imageBytes <= 0 || imageBytes > MaxImageSize || dataBytes > MaxImageSize)
    RaiseImagingError("PCX image of %d x %d pixels is too large.", (long long)width, (long long)height);
  CheckPixelLimit(width, height);

  // The data must be able to fill the image: raw data byte for byte, a run
  // of two bytes gives at most 63.
  int64_t remaining = int64_t(MeasureHandleSize(io, Handle)) - (start + HeaderSize);
  if (remaining < 0) remaining = 0;
  int64_t capacity = h.Encoding == 1 ? (remaining / 2) * 63 + (remaining % 2) : remaining;
  if (dataBytes > capacity)
    RaiseImagingError("PCX image data is truncated: %d bytes needed, at most %d present.", (long long)dataBytes,
                      (long long)capacity);

  TImageData image;
  try {
    if (!CreateImage(int32_t(width), int32_t(height), format, image)) return false;
  } catch (const std::bad_alloc&) {
    RaiseImagingError("Not enough memory for a PCX image of %d x %d pixels.", (long long)width, (long long)height);
  }
  Images.push_back(image);
  TImageData& img = Images.back();

  if (h.BitsPerPixel < 8 && img.Palette) {
    // Version 3 files carry no palette, and many writers leave the header
    // palette zero, which would make the image one flat colour: those get
    // the default colours, black and white for monochrome (also when its
    // two entries are the same), the standard 16 colours otherwise.
    bool noPalette = h.Version == 3 || std::all_of(h.ColorMap, h.ColorMap + 48, [](uint8_t b) { return b == 0; }) ||
                     (layout == plMono && std::equal(h.ColorMap, h.ColorMap + 3, h.ColorMap + 3));
    for (int32_t i = 0; i < 16; ++i) {
      if (!noPalette)
        img.Palette[i] = Color32(255, h.ColorMap[i * 3], h.ColorMap[i * 3 + 1], h.ColorMap[i * 3 + 2]);
      else if (layout == plMono)
        img.Palette[i] = Color32(i == 1 ? 0xFFFFFFFF : 0xFF000000);
      else
        img.Palette[i] = Color32(DefaultPalette16[i]);
    }
  }

  TImageFormatInfo info;
  QueryFormatInfo(format, info);
  int64_t rowBytes = width * info.BytesPerPixel;
  std::vector<uint8_t> line(static_cast<size_t>(lineBytes));
  TPcxSource source(io, Handle);
  auto* bits = static_cast<uint8_t*>(img.Bits);
  for (int64_t y = 0; y < height; ++y) {
    if (h.Encoding == 1) {
      source.DecodeLine(line.data(), int32_t(lineBytes));
    } else {
      int32_t got = source.ReadBytes(line.data(), int32_t(lineBytes));
      if (got < lineBytes) std::memset(line.data() + got, 0, size_t(lineBytes - got));
    }
    DistributeLine(layout, line.data(), h.BytesPerLine, int32_t(width), bits + y * rowBytes);
  }

  if (layout == plIndexed256 && img.Palette) {
    // The palette follows the image data. Some writers pad the data, so the
    // last 769 bytes of the file are tried as well before giving up.
    int64_t afterData = int64_t(start) + HeaderSize + source.Consumed();
    int64_t fileSize = MeasureHandleSize(io, Handle);
    if (!ReadTrailingPalette(io, Handle, afterData, img.Palette)) {
      if (fileSize - 769 <= afterData || !ReadTrailingPalette(io, Handle, fileSize - 769, img.Palette))
        std::memset(img.Palette, 0, 256 * sizeof(TColor32Rec));
      io.Seek(Handle, int32_t(std::min(afterData, fileSize)), smFromBeginning);
    }
  }
  return true;
}

}  // namespace Imaging
