// TIFF handler over libtiff.
//
// libtiff runs on the framework's stream through client callbacks. Each load
// and save owns one TTiffSession: the I/O table copy and handle the callbacks
// use, the first error libtiff reported, and an exception the I/O table raised
// inside a callback (parked there, since nothing may be thrown through
// libtiff's C frames, and raised again once libtiff has returned). The error
// and warning handlers are given to libtiff per open file, with the session as
// their user data, so loads and saves on several threads never meet.
#include "ImagingTiff.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <mutex>
#include <vector>

#include <tiffio.h>

#if defined(__x86_64__) || defined(__i386__)
#include <tmmintrin.h>
#endif

namespace Imaging {

namespace {

// Compression tag values by OptTiffCompression.
constexpr uint16_t CompressionTags[] = {COMPRESSION_NONE, COMPRESSION_LZW, COMPRESSION_PACKBITS,
                                        COMPRESSION_ADOBE_DEFLATE, COMPRESSION_JPEG};
// Directory numbers are 16-bit in the image array's bookkeeping.
constexpr uint32_t MaxDirectories = 0xFFFF;

struct TTiffSession {
  TIOFunctions IO;
  THandle Handle = nullptr;
  // Offsets inside a TIFF count from its first byte, which need not be the
  // start of the stream.
  int64_t Base = 0;
  // Written so far (relative to Base): the end of the file being written. A
  // memory block's own end is its capacity, not the end of our data.
  bool Writing = false;
  int64_t Written = 0;
  std::string Error;
  std::exception_ptr IOFailure;

  void Park() {
    if (!IOFailure) IOFailure = std::current_exception();
  }
};

TTiffSession* SessionOf(thandle_t Client) { return static_cast<TTiffSession*>(Client); }

int ErrorHandler(TIFF*, void* UserData, const char* Module, const char* Format, va_list Args) {
  auto* s = static_cast<TTiffSession*>(UserData);
  if (s && s->Error.empty()) {
    char text[512];
    std::vsnprintf(text, sizeof text, Format, Args);
    s->Error = Module && *Module ? std::string(Module) + ": " + text : std::string(text);
  }
  return 1;  // handled: the process-wide handler is not called
}

int WarningHandler(TIFF*, void*, const char*, const char*, va_list) { return 1; }

// Messages libtiff emits outside any open file would reach stderr through the
// process-wide handlers; they are turned off once.
void SilenceGlobalHandlers() {
  static std::once_flag once;
  std::call_once(once, [] {
    TIFFSetErrorHandler(nullptr);
    TIFFSetWarningHandler(nullptr);
  });
}

// The I/O table works in 32-bit counts; larger requests go in pieces.
tmsize_t ClientRead(thandle_t Client, void* Buffer, tmsize_t Size) {
  TTiffSession* s = SessionOf(Client);
  tmsize_t done = 0;
  try {
    while (done < Size) {
      int32_t part = int32_t(std::min<tmsize_t>(Size - done, 0x40000000));
      int32_t got = s->IO.Read(s->Handle, static_cast<uint8_t*>(Buffer) + done, part);
      if (got <= 0) break;
      done += got;
      if (got < part) break;
    }
  } catch (...) {
    s->Park();
    return -1;
  }
  return done;
}

tmsize_t ClientWrite(thandle_t Client, void* Buffer, tmsize_t Size) {
  TTiffSession* s = SessionOf(Client);
  tmsize_t done = 0;
  try {
    while (done < Size) {
      int32_t part = int32_t(std::min<tmsize_t>(Size - done, 0x40000000));
      int32_t put = s->IO.Write(s->Handle, static_cast<uint8_t*>(Buffer) + done, part);
      if (put <= 0) break;
      done += put;
      if (put < part) break;
    }
    s->Written = std::max<int64_t>(s->Written, int64_t(s->IO.Tell(s->Handle)) - s->Base);
  } catch (...) {
    s->Park();
    return -1;
  }
  return done;
}

toff_t ClientSeek(thandle_t Client, toff_t Offset, int Whence) {
  constexpr toff_t Failed = toff_t(-1);
  TTiffSession* s = SessionOf(Client);
  if (Offset == Failed) return Failed;
  // Positions of the I/O tables are 32-bit signed; libtiff passes negative
  // relative offsets as wrapped unsigned values.
  int64_t offset = int64_t(Offset);
  if (offset > MaxFileSize || offset < -MaxFileSize) return Failed;
  TSeekMode mode = smFromBeginning;
  if (Whence == SEEK_CUR)
    mode = smFromCurrent;
  else if (Whence == SEEK_END && !s->Writing)
    mode = smFromEnd;
  else
    offset += s->Base + (Whence == SEEK_END ? s->Written : 0);
  if (offset > MaxFileSize || (mode == smFromBeginning && offset < 0)) return Failed;
  try {
    int32_t pos = s->IO.Seek(s->Handle, int32_t(offset), mode);
    return pos < s->Base ? Failed : toff_t(pos - s->Base);
  } catch (...) {
    s->Park();
    return Failed;
  }
}

int ClientClose(thandle_t) { return 0; }

toff_t ClientSize(thandle_t Client) {
  TTiffSession* s = SessionOf(Client);
  try {
    if (s->Writing) return toff_t(s->Written);
    return toff_t(std::max<int64_t>(int64_t(MeasureHandleSize(s->IO, s->Handle)) - s->Base, 0));
  } catch (...) {
    s->Park();
    return 0;
  }
}

int ClientMap(thandle_t, void**, toff_t*) { return 0; }
void ClientUnmap(thandle_t, void*, toff_t) {}

// Closes the file on every way out of a load or save.
struct TTiffCloser {
  void operator()(TIFF* Tif) const { TIFFClose(Tif); }
};
using TTiffPtr = std::unique_ptr<TIFF, TTiffCloser>;

TTiffPtr OpenTiff(TTiffSession& Session, const char* Mode) {
  SilenceGlobalHandlers();
  Session.Writing = Mode[0] == 'w';
  Session.Base = std::max(Session.IO.Tell(Session.Handle), 0);
  TIFFOpenOptions* opts = TIFFOpenOptionsAlloc();
  if (!opts) return nullptr;
  // No single buffer of libtiff's may exceed what one image may take: a
  // hostile strip or tile size fails there with libtiff's message.
  TIFFOpenOptionsSetMaxSingleMemAlloc(opts, tmsize_t(MaxImageSize));
  TIFFOpenOptionsSetErrorHandlerExtR(opts, ErrorHandler, &Session);
  TIFFOpenOptionsSetWarningHandlerExtR(opts, WarningHandler, &Session);
  TIFF* tif = TIFFClientOpenExt("LibTIFF", Mode, &Session, ClientRead, ClientWrite, ClientSeek, ClientClose,
                                ClientSize, ClientMap, ClientUnmap, opts);
  TIFFOpenOptionsFree(opts);
  return TTiffPtr(tif);
}

// An I/O failure inside libtiff comes first; then libtiff's own message.
[[noreturn]] void RaiseTiffError(const TTiffSession& Session, const char* What) {
  if (Session.IOFailure) std::rethrow_exception(Session.IOFailure);
  RaiseImagingError("TIFF Error: %s failed: %s", What,
                    Session.Error.empty() ? std::string("no reason given") : Session.Error);
}

// ---------------------------------------------------------------------------
// Loading
// ---------------------------------------------------------------------------

// What one directory becomes.
struct TPagePlan {
  uint32_t Width = 0, Height = 0;
  uint16_t Orientation = ORIENTATION_TOPLEFT;
  uint16_t BitsPerSample = 1, SamplesPerPixel = 1, SampleFormat = SAMPLEFORMAT_UINT;
  uint16_t Photometric = 0, PlanarConfig = PLANARCONFIG_CONTIG;
  TImageFormat Format = fmtNone;  // fmtNone: the RGBA reader
  int64_t Bytes = 0;
};

TImageFormat NativeFormat(const TPagePlan& P) {
  const uint16_t bps = P.BitsPerSample, spp = P.SamplesPerPixel;
  if (P.Photometric == PHOTOMETRIC_MINISBLACK) {
    if (P.SampleFormat == SAMPLEFORMAT_UINT) {
      if (bps == 8) return spp == 1 ? fmtGray8 : spp == 2 ? fmtA8Gray8 : fmtNone;
      if (bps == 16) return spp == 1 ? fmtGray16 : spp == 2 ? fmtA16Gray16 : fmtNone;
      if (bps == 32 && spp == 1) return fmtGray32;
    } else if (P.SampleFormat == SAMPLEFORMAT_IEEEFP && spp == 1) {
      if (bps == 16) return fmtR16F;
      if (bps == 32) return fmtR32F;
    }
  } else if (P.Photometric == PHOTOMETRIC_RGB) {
    if (P.SampleFormat == SAMPLEFORMAT_UINT) {
      if (bps == 8) return spp == 3 ? fmtR8G8B8 : spp == 4 ? fmtA8R8G8B8 : fmtNone;
      if (bps == 16) return spp == 3 ? fmtR16G16B16 : spp == 4 ? fmtA16R16G16B16 : fmtNone;
    } else if (P.SampleFormat == SAMPLEFORMAT_IEEEFP && spp == 4) {
      if (bps == 16) return fmtA16R16G16B16F;
      if (bps == 32) return fmtA32R32G32B32F;
    }
  } else if (P.Photometric == PHOTOMETRIC_PALETTE) {
    if (P.SampleFormat == SAMPLEFORMAT_UINT && bps == 8 && spp == 1) return fmtIndex8;
  }
  return fmtNone;
}

TPagePlan PlanPage(TIFF* Tif) {
  TPagePlan p;
  TIFFGetField(Tif, TIFFTAG_IMAGEWIDTH, &p.Width);
  TIFFGetField(Tif, TIFFTAG_IMAGELENGTH, &p.Height);
  TIFFGetFieldDefaulted(Tif, TIFFTAG_ORIENTATION, &p.Orientation);
  TIFFGetFieldDefaulted(Tif, TIFFTAG_BITSPERSAMPLE, &p.BitsPerSample);
  TIFFGetFieldDefaulted(Tif, TIFFTAG_SAMPLESPERPIXEL, &p.SamplesPerPixel);
  TIFFGetFieldDefaulted(Tif, TIFFTAG_SAMPLEFORMAT, &p.SampleFormat);
  if (!TIFFGetField(Tif, TIFFTAG_PHOTOMETRIC, &p.Photometric)) p.Photometric = 0;
  TIFFGetFieldDefaulted(Tif, TIFFTAG_PLANARCONFIG, &p.PlanarConfig);
  p.Format = NativeFormat(p);
  if (p.Format != fmtNone) {
    // The rows libtiff delivers must be exactly our rows (contiguous) or one
    // sample of them (planar); anything else goes through the RGBA reader.
    const int64_t sampleBytes = p.BitsPerSample / 8;
    const bool contig = p.PlanarConfig == PLANARCONFIG_CONTIG || p.SamplesPerPixel == 1;
    const int64_t expected = int64_t(p.Width) * sampleBytes * (contig ? p.SamplesPerPixel : 1);
    if (TIFFScanlineSize64(Tif) != uint64_t(expected)) p.Format = fmtNone;
  }
  TImageFormatInfo info;
  QueryFormatInfo(p.Format == fmtNone ? fmtA8R8G8B8 : p.Format, info);
  p.Bytes = int64_t(p.Width) * int64_t(p.Height) * info.BytesPerPixel;
  return p;
}

#if defined(__x86_64__) || defined(__i386__)
#define TIFF_HAVE_SSSE3_PATH 1
// Samples 0 and 2 of 8-bit pixels swapped sixteen bytes at a time (five
// 3-byte or four 4-byte pixels; a byte after five pixels is stored as it
// was); returns the bytes done.
__attribute__((target("ssse3"))) int64_t SwapRedBlueSSSE3(uint8_t* Row, int64_t Bytes, int32_t Bpp) {
  const __m128i mask = Bpp == 4 ? _mm_setr_epi8(2, 1, 0, 3, 6, 5, 4, 7, 10, 9, 8, 11, 14, 13, 12, 15)
                                : _mm_setr_epi8(2, 1, 0, 5, 4, 3, 8, 7, 6, 11, 10, 9, 14, 13, 12, 15);
  const int64_t step = Bpp == 4 ? 16 : 15;
  int64_t i = 0;
  for (; i + 16 <= Bytes; i += step) {
    __m128i* p = reinterpret_cast<__m128i*>(Row + i);
    _mm_storeu_si128(p, _mm_shuffle_epi8(_mm_loadu_si128(p), mask));
  }
  return i;
}

bool HaveSSSE3() {
  static const bool have = __builtin_cpu_supports("ssse3");
  return have;
}
#endif

// Swaps samples 0 and 2 of every pixel (R, G, B order to B, G, R and back).
void SwapRedBlue(uint8_t* Row, int64_t Width, int32_t Bpp, int32_t SampleSize) {
  if (SampleSize == 1) {
    int64_t x = 0;
#if defined(TIFF_HAVE_SSSE3_PATH)
    if ((Bpp == 3 || Bpp == 4) && HaveSSSE3()) x = SwapRedBlueSSSE3(Row, Width * Bpp, Bpp) / Bpp;
#endif
    for (Row += x * Bpp; x < Width; ++x, Row += Bpp) std::swap(Row[0], Row[2]);
    return;
  }
  uint8_t tmp[8];
  for (int64_t x = 0; x < Width; ++x, Row += Bpp) {
    std::memcpy(tmp, Row, size_t(SampleSize));
    std::memcpy(Row, Row + 2 * SampleSize, size_t(SampleSize));
    std::memcpy(Row + 2 * SampleSize, tmp, size_t(SampleSize));
  }
}

// Spreads one sample plane row (Count samples of Size bytes) into the
// interleaved row at sample position Sample of Stride samples.
void ScatterSamples(const uint8_t* Src, uint8_t* Dst, int64_t Count, int32_t Size, int32_t Sample, int32_t Stride) {
  Dst += size_t(Sample) * Size;
  const size_t step = size_t(Stride) * Size;
  for (int64_t i = 0; i < Count; ++i, Src += Size, Dst += step) std::memcpy(Dst, Src, size_t(Size));
}

// Reads the strips into the image; returns true when red and blue were
// already swapped (rows read whole are swapped while they are in cache).
bool ReadNativeStrips(TIFF* Tif, TTiffSession& Session, const TPagePlan& P, TImageData& Image, int32_t Bpp) {
  auto* bits = static_cast<uint8_t*>(Image.Bits);
  const size_t stride = size_t(Image.Width) * size_t(Bpp);
  const int32_t spp = P.SamplesPerPixel;
  if (P.PlanarConfig == PLANARCONFIG_CONTIG || spp == 1) {
    const bool swap = P.Photometric == PHOTOMETRIC_RGB;
    for (uint32_t y = 0; y < P.Height; ++y) {
      if (TIFFReadScanline(Tif, bits + y * stride, y, 0) < 0) RaiseTiffError(Session, "Reading a scanline");
      if (swap) SwapRedBlue(bits + y * stride, Image.Width, Bpp, P.BitsPerSample / 8);
    }
    return swap;
  }
  // Planar: one plane after the other, so that every strip is decoded once.
  const int32_t size = P.BitsPerSample / 8;
  std::vector<uint8_t> plane(static_cast<size_t>(TIFFScanlineSize64(Tif)));
  for (int32_t s = 0; s < spp; ++s)
    for (uint32_t y = 0; y < P.Height; ++y) {
      if (TIFFReadScanline(Tif, plane.data(), y, uint16_t(s)) < 0) RaiseTiffError(Session, "Reading a scanline");
      ScatterSamples(plane.data(), bits + y * stride, P.Width, size, s, spp);
    }
  return false;
}

void ReadNativeTiles(TIFF* Tif, TTiffSession& Session, const TPagePlan& P, TImageData& Image, int32_t Bpp) {
  uint32_t tw = 0, th = 0;
  TIFFGetField(Tif, TIFFTAG_TILEWIDTH, &tw);
  TIFFGetField(Tif, TIFFTAG_TILELENGTH, &th);
  const uint64_t tileSize = uint64_t(TIFFTileSize64(Tif));
  if (tw == 0 || th == 0 || tileSize == 0 || tileSize > uint64_t(MaxImageSize)) RaiseTiffError(Session, "Tile layout");
  const bool contig = P.PlanarConfig == PLANARCONFIG_CONTIG || P.SamplesPerPixel == 1;
  const int32_t spp = P.SamplesPerPixel, size = P.BitsPerSample / 8;
  const uint64_t tileRow = uint64_t(tw) * uint64_t(contig ? Bpp : size);
  if (tileRow * th > tileSize) RaiseTiffError(Session, "Tile layout");
  std::vector<uint8_t> tile(static_cast<size_t>(tileSize));
  auto* bits = static_cast<uint8_t*>(Image.Bits);
  const size_t stride = size_t(Image.Width) * size_t(Bpp);
  for (int32_t s = 0; s < (contig ? 1 : spp); ++s)
    for (uint32_t ty = 0; ty < P.Height; ty += th)
      for (uint32_t tx = 0; tx < P.Width; tx += tw) {
        if (TIFFReadTile(Tif, tile.data(), tx, ty, 0, uint16_t(s)) < 0) RaiseTiffError(Session, "Reading a tile");
        const uint32_t w = std::min(tw, P.Width - tx), h = std::min(th, P.Height - ty);
        for (uint32_t r = 0; r < h; ++r) {
          const uint8_t* src = tile.data() + r * tileRow;
          uint8_t* dst = bits + (ty + r) * stride + size_t(tx) * size_t(Bpp);
          if (contig)
            std::memcpy(dst, src, size_t(w) * size_t(Bpp));
          else
            ScatterSamples(src, dst, w, size, s, spp);
        }
      }
}

// Palette entries are 16-bit; files whose entries all fit in 8 bits were
// written with 8-bit values and are read as such.
void ReadColorMap(TIFF* Tif, TImageData& Image) {
  uint16_t *red = nullptr, *green = nullptr, *blue = nullptr;
  if (!TIFFGetField(Tif, TIFFTAG_COLORMAP, &red, &green, &blue) || !red || !green || !blue) return;
  bool eightBit = true;
  for (int i = 0; i < 256; ++i)
    if (red[i] > 255 || green[i] > 255 || blue[i] > 255) eightBit = false;
  const int shift = eightBit ? 0 : 8;
  for (int i = 0; i < 256; ++i)
    Image.Palette[i] = Color32(255, uint8_t(red[i] >> shift), uint8_t(green[i] >> shift), uint8_t(blue[i] >> shift));
}

// Takes colour channels stored multiplied by alpha (associated alpha) back
// to plain colour: c * max / a, 0 where a is 0; 8-bit results are truncated
// as Pillow does, 16-bit ones rounded as ImageMagick does. Alpha is the last
// of Channels samples of type T.
template <typename T>
void Unpremultiply(void* Bits, int64_t Pixels, int32_t Channels) {
  constexpr uint32_t Max = std::numeric_limits<T>::max();
  auto* p = static_cast<T*>(Bits);
  for (int64_t i = 0; i < Pixels; ++i, p += Channels) {
    const uint32_t a = p[Channels - 1];
    if (a == Max) continue;
    for (int32_t c = 0; c < Channels - 1; ++c)
      p[c] = a == 0 ? T(0) : T(std::min<uint64_t>(Max, (uint64_t(p[c]) * Max + (Max > 255 ? a / 2 : 0)) / a));
  }
}

// True when the last extra sample is alpha of the given kind.
bool LastExtraSampleIs(TIFF* Tif, uint16_t Kind) {
  uint16_t count = 0;
  uint16_t* kinds = nullptr;
  return TIFFGetField(Tif, TIFFTAG_EXTRASAMPLES, &count, &kinds) && count > 0 && kinds && kinds[count - 1] == Kind;
}

// Turns rows stored in the file's orientation into the picture as shown:
// 2-4 mirror, 5-8 also exchange rows and columns.
void ApplyOrientation(TImageData& Image, uint16_t Orientation) {
  switch (Orientation) {
    case ORIENTATION_TOPRIGHT:
      FlipHorizontal(Image);
      return;
    case ORIENTATION_BOTRIGHT:
      FlipHorizontal(Image);
      FlipVertical(Image);
      return;
    case ORIENTATION_BOTLEFT:
      FlipVertical(Image);
      return;
    case ORIENTATION_LEFTTOP:
    case ORIENTATION_RIGHTTOP:
    case ORIENTATION_RIGHTBOT:
    case ORIENTATION_LEFTBOT:
      break;
    default:
      return;
  }
  TImageData turned;
  if (!CreateImage(Image.Height, Image.Width, Image.Format, turned)) return;
  TImageFormatInfo info;
  QueryFormatInfo(Image.Format, info);
  const size_t bpp = size_t(info.BytesPerPixel);
  const auto* src = static_cast<const uint8_t*>(Image.Bits);
  auto* dst = static_cast<uint8_t*>(turned.Bits);
  // Source row y becomes target column y.
  for (int32_t y = 0; y < Image.Height; ++y) {
    const uint8_t* s = src + size_t(y) * Image.Width * bpp;
    for (int32_t x = 0; x < Image.Width; ++x, s += bpp)
      std::memcpy(dst + (size_t(x) * turned.Width + size_t(y)) * bpp, s, bpp);
  }
  if (Image.Palette && turned.Palette)
    std::memcpy(turned.Palette, Image.Palette, sizeof(TColor32Rec) * size_t(info.PaletteEntries));
  ReleaseImage(Image);
  Image = turned;
  if (Orientation == ORIENTATION_RIGHTTOP || Orientation == ORIENTATION_RIGHTBOT) FlipHorizontal(Image);
  if (Orientation == ORIENTATION_RIGHTBOT || Orientation == ORIENTATION_LEFTBOT) FlipVertical(Image);
}

// Reads the current directory into Image (which the caller releases on error).
bool ReadPage(TIFF* Tif, TTiffSession& Session, const TPagePlan& P, TImageData& Image) {
  if (P.Width == 0 || P.Height == 0 || P.Width > uint32_t(INT32_MAX) || P.Height > uint32_t(INT32_MAX))
    RaiseImagingError("TIFF image has invalid dimensions %d x %d.", int64_t(P.Width), int64_t(P.Height));
  const TImageFormat format = P.Format == fmtNone ? fmtA8R8G8B8 : P.Format;
  if (!CreateImage(int32_t(P.Width), int32_t(P.Height), format, Image)) return false;
  TImageFormatInfo info;
  QueryFormatInfo(format, info);
  if (P.Format != fmtNone) {
    bool swapped = false;
    if (TIFFIsTiled(Tif))
      ReadNativeTiles(Tif, Session, P, Image, info.BytesPerPixel);
    else
      swapped = ReadNativeStrips(Tif, Session, P, Image, info.BytesPerPixel);
    if (format == fmtIndex8) ReadColorMap(Tif, Image);
    if (P.Photometric == PHOTOMETRIC_RGB && !swapped) {
      const int32_t sampleSize = P.BitsPerSample / 8;
      auto* bits = static_cast<uint8_t*>(Image.Bits);
      SwapRedBlue(bits, int64_t(Image.Width) * Image.Height, info.BytesPerPixel, sampleSize);
    }
    if (info.HasAlphaChannel && !info.IsFloatingPoint && LastExtraSampleIs(Tif, EXTRASAMPLE_ASSOCALPHA)) {
      const int64_t pixels = int64_t(Image.Width) * Image.Height;
      if (P.BitsPerSample == 8)
        Unpremultiply<uint8_t>(Image.Bits, pixels, info.ChannelCount);
      else
        Unpremultiply<uint16_t>(Image.Bits, pixels, info.ChannelCount);
    }
  } else {
    // libtiff delivers R, G, B, A bytes in the file's own row order when asked
    // for the file's orientation; our orientation step then applies.
    if (!TIFFReadRGBAImageOriented(Tif, P.Width, P.Height, static_cast<uint32_t*>(Image.Bits), P.Orientation, 0)) {
      if (Session.IOFailure) std::rethrow_exception(Session.IOFailure);
      return false;
    }
    SwapRedBlue(static_cast<uint8_t*>(Image.Bits), int64_t(Image.Width) * Image.Height, 4, 1);
    // The RGBA reader multiplies colour by alpha whatever the file stores.
    if (LastExtraSampleIs(Tif, EXTRASAMPLE_ASSOCALPHA) || LastExtraSampleIs(Tif, EXTRASAMPLE_UNASSALPHA))
      Unpremultiply<uint8_t>(Image.Bits, int64_t(Image.Width) * Image.Height, 4);
  }
  if (Session.IOFailure) std::rethrow_exception(Session.IOFailure);
  ApplyOrientation(Image, P.Orientation);
  return true;
}

// ---------------------------------------------------------------------------
// Saving
// ---------------------------------------------------------------------------

void WritePage(TIFF* Tif, TTiffSession& Session, const TImageData& Image, uint16_t Compression) {
  TImageFormatInfo info;
  QueryFormatInfo(Image.Format, info);
  const int32_t bytesPerSample = info.BytesPerPixel / info.ChannelCount;
  const uint16_t bps = uint16_t(bytesPerSample * 8), spp = uint16_t(info.ChannelCount);
  const uint16_t sampleFormat = info.IsFloatingPoint ? SAMPLEFORMAT_IEEEFP : SAMPLEFORMAT_UINT;
  uint16_t photometric = PHOTOMETRIC_RGB;
  if (info.IsIndexed)
    photometric = PHOTOMETRIC_PALETTE;
  else if (info.HasGrayChannel || info.ChannelCount == 1)
    photometric = PHOTOMETRIC_MINISBLACK;
  if (Compression == COMPRESSION_JPEG &&
      !(bps == 8 && (spp == 1 || spp == 3) && !info.IsIndexed && !info.IsFloatingPoint))
    Compression = COMPRESSION_LZW;

  TIFFSetField(Tif, TIFFTAG_IMAGEWIDTH, uint32_t(Image.Width));
  TIFFSetField(Tif, TIFFTAG_IMAGELENGTH, uint32_t(Image.Height));
  TIFFSetField(Tif, TIFFTAG_PHOTOMETRIC, photometric);
  TIFFSetField(Tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(Tif, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
  TIFFSetField(Tif, TIFFTAG_BITSPERSAMPLE, bps);
  TIFFSetField(Tif, TIFFTAG_SAMPLESPERPIXEL, spp);
  TIFFSetField(Tif, TIFFTAG_SAMPLEFORMAT, sampleFormat);
  TIFFSetField(Tif, TIFFTAG_COMPRESSION, Compression);
  TIFFSetField(Tif, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(Tif, uint32_t(Image.Height)));
  // The last sample of gray + alpha and RGB + alpha is unassociated alpha;
  // without this tag readers take it for an unknown extra sample.
  if (info.HasAlphaChannel && (spp == 2 || spp == 4)) {
    uint16_t extra = EXTRASAMPLE_UNASSALPHA;
    TIFFSetField(Tif, TIFFTAG_EXTRASAMPLES, 1, &extra);
  }
  // Colour map entries are 16-bit: v * 257 is v in the high byte (what
  // libtiff and Pillow read) and also v exactly when a reader scales.
  if (info.IsIndexed) {
    std::vector<uint16_t> red(256, 0), green(256, 0), blue(256, 0);
    for (int32_t i = 0; i < std::min(info.PaletteEntries, 256); ++i) {
      red[size_t(i)] = uint16_t(Image.Palette[i].R * 257);
      green[size_t(i)] = uint16_t(Image.Palette[i].G * 257);
      blue[size_t(i)] = uint16_t(Image.Palette[i].B * 257);
    }
    TIFFSetField(Tif, TIFFTAG_COLORMAP, red.data(), green.data(), blue.data());
  }

  // Rows go through a buffer in file sample order; the image is left alone.
  const size_t stride = size_t(Image.Width) * size_t(info.BytesPerPixel);
  std::vector<uint8_t> row(stride);
  const auto* bits = static_cast<const uint8_t*>(Image.Bits);
  for (int32_t y = 0; y < Image.Height; ++y) {
    std::memcpy(row.data(), bits + size_t(y) * stride, stride);
    if (photometric == PHOTOMETRIC_RGB) SwapRedBlue(row.data(), Image.Width, info.BytesPerPixel, bytesPerSample);
    if (TIFFWriteScanline(Tif, row.data(), uint32_t(y), 0) < 0) RaiseTiffError(Session, "Writing a scanline");
  }
  if (!TIFFWriteDirectory(Tif)) RaiseTiffError(Session, "Writing a directory");
  if (Session.IOFailure) std::rethrow_exception(Session.IOFailure);
}

}  // namespace

// ---------------------------------------------------------------------------
// TTiffFileFormat
// ---------------------------------------------------------------------------

TTiffFileFormat::TTiffFileFormat() {
  FName = "Tagged Image File Format";
  FCanLoad = true;
  FCanSave = true;
  FIsMultiImageFormat = true;
  FSupportedFormats = TImageFormats{fmtIndex8,       fmtGray8,     fmtA8Gray8,      fmtGray16,
                                    fmtGray32,       fmtA16Gray16, fmtR8G8B8,       fmtA8R8G8B8,
                                    fmtR16G16B16,    fmtA16R16G16B16, fmtR32F,      fmtA32R32G32B32F,
                                    fmtR16F,         fmtA16R16G16B16F};
  SetMaskList("*.tif,*.tiff");
  FCompression = 1;
  RegisterOptionVariable(OptTiffCompression, &FCompression);
}

bool TTiffFileFormat::TestFormat(THandle Handle) {
  if (!Handle) return false;
  TIOFunctions io = CurrentIOTable();
  uint8_t header[4];
  int32_t count = std::max<int32_t>(io.Read(Handle, header, sizeof header), 0);
  io.Seek(Handle, -count, smFromCurrent);
  static const uint8_t BigEndian[4] = {0x4D, 0x4D, 0x00, 0x2A};
  static const uint8_t LittleEndian[4] = {0x49, 0x49, 0x2A, 0x00};
  return count == 4 && (std::memcmp(header, BigEndian, 4) == 0 || std::memcmp(header, LittleEndian, 4) == 0);
}

void TTiffFileFormat::ConvertToAccepted(TImageData& Image, const TImageFormatInfo& Info) {
  TImageFormat target;
  if (Info.IsFloatingPoint)
    target = Info.ChannelCount == 1 ? fmtR32F : fmtA32R32G32B32F;
  else if (Info.HasGrayChannel)
    target = Info.HasAlphaChannel ? fmtA16Gray16 : fmtGray32;
  else
    target = Info.HasAlphaChannel ? fmtA8R8G8B8 : fmtR8G8B8;
  ChangeImageFormat(Image, target);
}

bool TTiffFileFormat::ReadImages(THandle Handle, TDynImageDataArray& Images, bool OnlyFirstLevel) {
  TTiffSession session;
  session.IO = CurrentIOTable();
  session.Handle = Handle;
  TTiffPtr tif = OpenTiff(session, "r");
  if (!tif) {
    if (session.IOFailure) std::rethrow_exception(session.IOFailure);
    return false;
  }
  // Every page is planned before any is read: the pages must fit the memory
  // an image array may take, and their count a 16-bit counter.
  std::vector<TPagePlan> plans;
  int64_t total = 0;
  do {
    if (plans.size() >= MaxDirectories)
      RaiseImagingError("TIFF file has more than %d directories.", int64_t(MaxDirectories));
    plans.push_back(PlanPage(tif.get()));
    total += plans.back().Bytes;
    if (total > MaxImageSize)
      RaiseImagingError("TIFF pages need %d bytes, more than the %d bytes images may take.", total,
                        int64_t(MaxImageSize));
  } while (!OnlyFirstLevel && TIFFReadDirectory(tif.get()));
  if (session.IOFailure) std::rethrow_exception(session.IOFailure);

  Images.assign(plans.size(), TImageData());
  if (plans.size() > 1 && !TIFFSetDirectory(tif.get(), 0)) RaiseTiffError(session, "Selecting a directory");
  for (size_t i = 0; i < plans.size(); ++i) {
    if (i > 0 && !TIFFReadDirectory(tif.get())) RaiseTiffError(session, "Reading a directory");
    if (!ReadPage(tif.get(), session, plans[i], Images[i])) {
      ReleaseImageArray(Images);
      return false;
    }
  }
  return true;
}

bool TTiffFileFormat::WriteImages(THandle Handle, const TDynImageDataArray& Images, int32_t) {
  if (uint32_t(FCompression) > 4u) FCompression = 1;
  const uint16_t compression = CompressionTags[FCompression];
  TTiffSession session;
  session.IO = CurrentIOTable();
  session.Handle = Handle;
  TTiffPtr tif = OpenTiff(session, "w");
  if (!tif) {
    if (session.IOFailure) std::rethrow_exception(session.IOFailure);
    return false;
  }
  for (int32_t i = FFirstIdx; i <= FLastIdx; ++i) {
    TCompatibleImage compatible;
    if (!MakeCompatible(Images[size_t(i)], compatible)) continue;
    WritePage(tif.get(), session, compatible.Image, compression);
  }
  // Closing flushes nothing more (every directory is written above), but a
  // failure there still fails the save.
  TIFFFlush(tif.get());
  tif.reset();
  if (session.IOFailure) std::rethrow_exception(session.IOFailure);
  if (!session.Error.empty()) RaiseTiffError(session, "Closing the file");
  // libtiff's last write is a directory, which need not be at the end: the
  // stream is left behind the whole file (a memory save takes its size from
  // there).
  session.IO.Seek(Handle, int32_t(session.Base + session.Written), smFromBeginning);
  return true;
}

}  // namespace Imaging
