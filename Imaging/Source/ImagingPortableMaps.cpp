// The portable map family (PBM, PGM, PPM, PAM, PFM).
//
// Every file starts with "P" and a variant character:
//   P1 plain bit map   P2 plain gray map   P3 plain pixel map
//   P4 raw bit map     P5 raw gray map     P6 raw pixel map
//   P7 arbitrary map (keyword header)      PF colour floats, Pf gray floats
// followed by a text header of whitespace-separated values ("#" starts a
// comment up to the end of the line). Raw variants end the header with one
// whitespace character; the samples follow, 16-bit ones big-endian. Float
// maps store their rows bottom row first, little-endian when the scale value
// is negative and big-endian when it is positive.
#include "ImagingPortableMaps.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace Imaging {

namespace {

// The reader's classification of a map; also the index of the PAM tuple type.
enum TMapKind : int32_t {
  mkInvalid = 0,
  mkBlackAndWhite = 1,
  mkGrayScale = 2,
  mkRGB = 3,
  mkBlackAndWhiteAlpha = 4,
  mkGrayScaleAlpha = 5,
  mkRGBAlpha = 6,
  mkGrayScaleFP = 7,
  mkRGBFP = 8,
};

const char* const TupleTypeNames[9] = {"INVALID",         "BLACKANDWHITE", "GRAYSCALE",   "RGB",  "BLACKANDWHITE_ALPHA",
                                       "GRAYSCALE_ALPHA", "RGB_ALPHA",     "GRAYSCALEFP", "RGBFP"};

int32_t KindChannels(int32_t Kind) {
  switch (Kind) {
    case mkBlackAndWhite:
    case mkGrayScale:
    case mkGrayScaleFP:
      return 1;
    case mkBlackAndWhiteAlpha:
    case mkGrayScaleAlpha:
      return 2;
    case mkRGB:
    case mkRGBFP:
      return 3;
    case mkRGBAlpha:
      return 4;
    default:
      return 0;
  }
}

bool IsMapSpace(int C) { return C == ' ' || C == '\t' || C == '\n' || C == '\r' || C == '\v' || C == '\f'; }

bool SameTextAscii(const std::string& A, const char* B) {
  size_t n = std::strlen(B);
  if (A.size() != n) return false;
  for (size_t i = 0; i < n; ++i) {
    char a = A[i], b = B[i];
    if (a >= 'a' && a <= 'z') a = char(a - 32);
    if (b >= 'a' && b <= 'z') b = char(b - 32);
    if (a != b) return false;
  }
  return true;
}

[[noreturn]] void RaiseNotInteger(const std::string& Token) {
  RaiseImagingError("'%s' is not a valid integer value", Token);
}

// Decimal integer of a header token; anything else, or a value outside the
// 32-bit range, is a conversion error.
int32_t TokenToInt(const std::string& Token) {
  size_t i = 0;
  bool negative = false;
  if (i < Token.size() && (Token[i] == '-' || Token[i] == '+')) negative = Token[i++] == '-';
  if (i == Token.size()) RaiseNotInteger(Token);
  int64_t value = 0;
  for (; i < Token.size(); ++i) {
    char c = Token[i];
    if (c < '0' || c > '9') RaiseNotInteger(Token);
    value = value * 10 + (c - '0');
    if (value > int64_t(0x80000000)) RaiseNotInteger(Token);
  }
  if (negative) value = -value;
  if (value > 0x7FFFFFFF) RaiseNotInteger(Token);
  return int32_t(value);
}

// Decimal number with "." as the separator, whatever the locale.
double TokenToFloat(const std::string& Token) {
  double value = 0;
  const char* first = Token.data();
  const char* last = first + Token.size();
  if (first < last && *first == '+') ++first;
  auto [ptr, ec] = std::from_chars(first, last, value, std::chars_format::general);
  if (ec != std::errc() || ptr != last || first == last)
    RaiseImagingError("'%s' is not a valid floating point value", Token);
  return value;
}

// Sequential reader over the handle through a 16 KiB buffer. Position() is the
// absolute position of the next unconsumed byte.
class TMapReader {
public:
  TMapReader(const TIOFunctions& IO, THandle Handle) : FIO(IO), FHandle(Handle) {
    FBufStart = IO.Tell(Handle);
  }

  int Peek() {
    if (FPos == FLen && !Refill()) return -1;
    return FBuf[FPos];
  }
  int Get() {
    if (FPos == FLen && !Refill()) return -1;
    return FBuf[FPos++];
  }
  int64_t Position() const { return FBufStart + FPos; }

  // Skips whitespace and comments ("#" up to and including the line feed).
  void SkipSpace() {
    for (;;) {
      int c = Peek();
      if (c == '#') {
        do c = Get();
        while (c >= 0 && c != '\n');
      } else if (c >= 0 && IsMapSpace(c)) {
        ++FPos;
      } else {
        return;
      }
    }
  }

  // Reads the next header value: whitespace and comments are skipped, the
  // token runs up to whitespace or a comment, and exactly one whitespace
  // character after it is consumed (the raw data of a binary map starts at
  // the next byte). A comment right after the token is consumed with its
  // line feed. Returns an empty token at the end of the data.
  std::string Token() {
    SkipSpace();
    std::string token;
    for (int c = Peek(); c >= 0 && !IsMapSpace(c) && c != '#'; c = Peek()) {
      if (token.size() >= MaxTokenLength) RaiseImagingError("Portable map header value is too long.");
      token.push_back(char(c));
      ++FPos;
    }
    int c = Peek();
    if (c == '#') {
      do c = Get();
      while (c >= 0 && c != '\n');
    } else if (c >= 0) {
      ++FPos;
    }
    return token;
  }

  // Next decimal sample of a plain map, saturated at Limit + 1 so that no
  // value can overflow. Raises for a non-numeric token or the end of data.
  uint32_t Sample(uint32_t Limit) {
    SkipSpace();
    uint32_t value = 0;
    int digits = 0;
    for (;;) {
      if (FPos == FLen && !Refill()) break;
      uint8_t c = FBuf[FPos];
      if (c < '0' || c > '9') {
        if (!IsMapSpace(c) && c != '#') RaiseBadSample();
        break;
      }
      value = value * 10 + (c - '0');
      if (value > Limit) value = Limit + 1;
      ++digits;
      ++FPos;
    }
    if (digits == 0) {
      if (Peek() < 0) RaiseImagingError("Portable map image data is truncated.");
      RaiseBadSample();
    }
    return value;
  }

  // Next pixel of a plain bit map: a single '0' or '1', whitespace between
  // pixels being optional.
  int BitSample() {
    SkipSpace();
    int c = Get();
    if (c == '0' || c == '1') return c - '0';
    if (c < 0) RaiseImagingError("Portable map image data is truncated.");
    FPos--;
    RaiseBadSample();
  }

private:
  static constexpr size_t MaxTokenLength = 256;
  static constexpr int32_t BufferSize = 16384;

  bool Refill() {
    FBufStart += FLen;
    FPos = 0;
    FLen = FIO.Read(FHandle, FBuf, BufferSize);
    if (FLen < 0) FLen = 0;
    return FLen > 0;
  }

  [[noreturn]] void RaiseBadSample() {
    std::string token;
    while (token.size() < 32) {
      int c = Peek();
      if (c < 0 || IsMapSpace(c)) break;
      token.push_back(char(c));
      ++FPos;
    }
    RaiseNotInteger(token);
  }

  const TIOFunctions& FIO;
  THandle FHandle;
  uint8_t FBuf[BufferSize];
  int32_t FPos = 0;
  int32_t FLen = 0;
  int64_t FBufStart = 0;
};

struct TMapInfo {
  char Variant = 0;  // '1'..'7', 'F' or 'f'
  int32_t Width = 0;
  int32_t Height = 0;
  int32_t Depth = 0;
  int32_t MaxVal = 0;
  int32_t Kind = mkInvalid;
  bool Binary = false;
  bool BigEndianFloats = false;
  int32_t SampleBytes = 1;  // 1 or 2 for integer samples
};

// Reads the keyword header of a P7 map. False when a keyword is unknown or
// repeated, a value is missing, or the tuple type is not one of the known
// names. Keywords are case sensitive; tuple type names are not. Without a
// tuple type the depth decides, as netpbm reads such maps: gray, gray with
// alpha, RGB or RGB with alpha.
bool ReadPamHeader(TMapReader& Reader, TMapInfo& Info) {
  bool haveWidth = false, haveHeight = false, haveDepth = false, haveMaxVal = false, haveTuple = false;
  for (;;) {
    std::string key = Reader.Token();
    if (key == "ENDHDR") break;
    if (key == "WIDTH" && !haveWidth) {
      Info.Width = TokenToInt(Reader.Token());
      haveWidth = true;
    } else if (key == "HEIGHT" && !haveHeight) {
      Info.Height = TokenToInt(Reader.Token());
      haveHeight = true;
    } else if (key == "DEPTH" && !haveDepth) {
      Info.Depth = TokenToInt(Reader.Token());
      haveDepth = true;
    } else if (key == "MAXVAL" && !haveMaxVal) {
      Info.MaxVal = TokenToInt(Reader.Token());
      haveMaxVal = true;
    } else if (key == "TUPLTYPE" && !haveTuple) {
      std::string name = Reader.Token();
      Info.Kind = mkInvalid;
      for (int32_t k = 1; k < 9; ++k)
        if (SameTextAscii(name, TupleTypeNames[k])) Info.Kind = k;
      haveTuple = true;
    } else {
      return false;
    }
  }
  if (!(haveWidth && haveHeight && haveDepth && haveMaxVal)) return false;
  if (!haveTuple) {
    constexpr int32_t kindOfDepth[5] = {mkInvalid, mkGrayScale, mkGrayScaleAlpha, mkRGB, mkRGBAlpha};
    Info.Kind = Info.Depth >= 1 && Info.Depth <= 4 ? kindOfDepth[Info.Depth] : mkInvalid;
  }
  return Info.Depth == KindChannels(Info.Kind);
}

// Reads and checks the header; the reader is left at the first byte of the
// pixel data. False when the header is not one of a loadable map.
bool ReadMapHeader(TMapReader& Reader, TMapInfo& Info) {
  if (Reader.Get() != 'P') return false;
  int variant = Reader.Get();
  Info.Variant = char(variant);
  switch (variant) {
    case '1':
    case '4':
      Info.Width = TokenToInt(Reader.Token());
      Info.Height = TokenToInt(Reader.Token());
      Info.MaxVal = 1;
      Info.Kind = mkBlackAndWhite;
      break;
    case '2':
    case '3':
    case '5':
    case '6':
      Info.Width = TokenToInt(Reader.Token());
      Info.Height = TokenToInt(Reader.Token());
      Info.MaxVal = TokenToInt(Reader.Token());
      Info.Kind = (variant == '2' || variant == '5') ? mkGrayScale : mkRGB;
      break;
    case '7':
      if (!ReadPamHeader(Reader, Info)) return false;
      break;
    case 'F':
    case 'f': {
      Info.Width = TokenToInt(Reader.Token());
      Info.Height = TokenToInt(Reader.Token());
      double scale = TokenToFloat(Reader.Token());
      Info.BigEndianFloats = scale > 0;
      Info.Kind = variant == 'F' ? mkRGBFP : mkGrayScaleFP;
      break;
    }
    default:
      return false;
  }
  Info.Binary = variant >= '4';
  bool floatFile = variant == 'F' || variant == 'f';
  if (Info.Width <= 0 || Info.Height <= 0 || Info.Kind == mkInvalid) return false;
  if (!floatFile && (Info.MaxVal < 1 || Info.MaxVal > 65535)) return false;
  Info.SampleBytes = Info.MaxVal >= 256 ? 2 : 1;
  return true;
}

TImageFormat FormatForMap(const TMapInfo& Info) {
  bool deep = Info.SampleBytes == 2;
  switch (Info.Kind) {
    case mkBlackAndWhite:
    case mkGrayScale:
      return deep ? fmtGray16 : fmtGray8;
    case mkBlackAndWhiteAlpha:
    case mkGrayScaleAlpha:
      return deep ? fmtA16Gray16 : fmtA8Gray8;
    case mkRGB:
      return deep ? fmtR16G16B16 : fmtR8G8B8;
    case mkRGBAlpha:
      return deep ? fmtA16R16G16B16 : fmtA8R8G8B8;
    case mkGrayScaleFP:
      return fmtR32F;
    case mkRGBFP:
      return fmtA32B32G32R32F;
    default:
      return fmtNone;
  }
}

// Sample value -> stored value for every value 0..MaxVal: s * 255 / MaxVal
// or s * 65535 / MaxVal (truncating, in 64 bits). Values above MaxVal are
// clamped to it before the lookup.
std::vector<uint16_t> MakeScaleTable(int32_t MaxVal, int32_t SampleBytes) {
  uint64_t top = SampleBytes == 2 ? 65535 : 255;
  std::vector<uint16_t> table(size_t(MaxVal) + 1);
  for (int32_t s = 0; s <= MaxVal; ++s) table[size_t(s)] = uint16_t(uint64_t(s) * top / uint64_t(MaxVal));
  return table;
}

void SwapFloatBytes(uint8_t* P, size_t Count) {
  for (size_t i = 0; i < Count; ++i, P += 4) {
    std::swap(P[0], P[3]);
    std::swap(P[1], P[2]);
  }
}

// Reads exactly Count bytes, raising when the data ends early.
void ReadExact(const TIOFunctions& IO, THandle Handle, uint8_t* Dest, int64_t Count) {
  while (Count > 0) {
    int32_t chunk = int32_t(std::min<int64_t>(Count, 1 << 24));
    int32_t got = IO.Read(Handle, Dest, chunk);
    if (got <= 0) RaiseImagingError("Portable map image data is truncated.");
    Dest += got;
    Count -= got;
  }
}

// Raw samples of P5, P6 and P7 maps read into the image in place, then
// scaled, byte-swapped and put into channel order.
void ReadRawSamples(const TIOFunctions& IO, THandle Handle, const TMapInfo& Info, TImageData& Image) {
  int32_t channels = KindChannels(Info.Kind);
  int64_t samples = int64_t(Info.Width) * Info.Height * channels;
  bool identity = Info.MaxVal == (Info.SampleBytes == 2 ? 65535 : 255);
  std::vector<uint16_t> table;
  if (!identity) table = MakeScaleTable(Info.MaxVal, Info.SampleBytes);
  uint32_t maxVal = uint32_t(Info.MaxVal);

  if (Info.Kind == mkGrayScaleFP || Info.Kind == mkRGBFP) {
    // Integer samples under a float tuple type: each becomes s / MaxVal;
    // colour pixels get an opaque alpha.
    int64_t rowSamples = int64_t(Info.Width) * channels;
    std::vector<uint8_t> row(size_t(rowSamples * Info.SampleBytes));
    auto* out = static_cast<float*>(Image.Bits);
    for (int32_t y = 0; y < Info.Height; ++y) {
      ReadExact(IO, Handle, row.data(), int64_t(row.size()));
      for (int64_t i = 0; i < rowSamples; ++i) {
        uint32_t s = Info.SampleBytes == 2 ? uint32_t(row[size_t(i * 2)] << 8 | row[size_t(i * 2 + 1)])
                                           : uint32_t(row[size_t(i)]);
        float v = float(std::min(s, maxVal)) / float(maxVal);
        if (Info.Kind == mkRGBFP) {
          out[(i / 3) * 4 + (i % 3)] = v;
          if (i % 3 == 2) out[(i / 3) * 4 + 3] = 1.0f;
        } else {
          out[i] = v;
        }
      }
      out += Info.Kind == mkRGBFP ? int64_t(Info.Width) * 4 : int64_t(Info.Width);
    }
    return;
  }

  auto* bytes = static_cast<uint8_t*>(Image.Bits);
  ReadExact(IO, Handle, bytes, samples * Info.SampleBytes);
  bool rgb = Info.Kind == mkRGB || Info.Kind == mkRGBAlpha;
  if (Info.SampleBytes == 1) {
    if (!identity) {
      uint8_t lut[256];
      for (uint32_t s = 0; s < 256; ++s) lut[s] = uint8_t(table[std::min(s, maxVal)]);
      for (int64_t i = 0; i < samples; ++i) bytes[i] = lut[bytes[i]];
    }
    if (rgb)
      for (int64_t i = 0; i < samples; i += channels) std::swap(bytes[i], bytes[i + 2]);
  } else {
    auto* words = static_cast<uint16_t*>(Image.Bits);
    for (int64_t i = 0; i < samples; ++i) {
      uint32_t s = uint32_t(bytes[i * 2] << 8 | bytes[i * 2 + 1]);
      words[i] = identity ? uint16_t(s) : table[std::min(s, maxVal)];
    }
    if (rgb)
      for (int64_t i = 0; i < samples; i += channels) std::swap(words[i], words[i + 2]);
  }
}

// P4: rows of ceil(width / 8) bytes, most significant bit first; a set bit is
// black (0), a clear one white (255).
void ReadRawBits(const TIOFunctions& IO, THandle Handle, const TMapInfo& Info, TImageData& Image) {
  int64_t rowBytes = (int64_t(Info.Width) + 7) / 8;
  std::vector<uint8_t> row(static_cast<size_t>(rowBytes));
  auto* out = static_cast<uint8_t*>(Image.Bits);
  for (int32_t y = 0; y < Info.Height; ++y) {
    ReadExact(IO, Handle, row.data(), rowBytes);
    for (int32_t x = 0; x < Info.Width; ++x) out[x] = ((row[size_t(x >> 3)] >> (7 - (x & 7))) & 1) ? 0 : 255;
    out += Info.Width;
  }
}

// PF and Pf: 12 or 4 bytes of floats per pixel, bottom row first.
void ReadFloats(const TIOFunctions& IO, THandle Handle, const TMapInfo& Info, TImageData& Image) {
  int32_t channels = KindChannels(Info.Kind);
  int64_t rowFloats = int64_t(Info.Width) * channels;
  std::vector<float> row(static_cast<size_t>(rowFloats));
  int32_t outChannels = channels == 3 ? 4 : 1;
  auto* bits = static_cast<float*>(Image.Bits);
  for (int32_t y = 0; y < Info.Height; ++y) {
    ReadExact(IO, Handle, reinterpret_cast<uint8_t*>(row.data()), rowFloats * 4);
    if (Info.BigEndianFloats) SwapFloatBytes(reinterpret_cast<uint8_t*>(row.data()), size_t(rowFloats));
    float* out = bits + int64_t(Info.Height - 1 - y) * Info.Width * outChannels;
    if (channels == 1) {
      std::memcpy(out, row.data(), size_t(rowFloats) * 4);
    } else {
      for (int32_t x = 0; x < Info.Width; ++x) {
        out[x * 4 + 0] = row[size_t(x) * 3 + 0];
        out[x * 4 + 1] = row[size_t(x) * 3 + 1];
        out[x * 4 + 2] = row[size_t(x) * 3 + 2];
        out[x * 4 + 3] = 1.0f;
      }
    }
  }
}

// P1, P2 and P3: one decimal token per sample (P1: one digit per pixel).
void ReadPlainSamples(TMapReader& Reader, const TMapInfo& Info, TImageData& Image) {
  int64_t pixels = int64_t(Info.Width) * Info.Height;
  if (Info.Variant == '1') {
    auto* out = static_cast<uint8_t*>(Image.Bits);
    for (int64_t i = 0; i < pixels; ++i) out[i] = Reader.BitSample() ? 0 : 255;
    return;
  }
  uint32_t maxVal = uint32_t(Info.MaxVal);
  std::vector<uint16_t> table = MakeScaleTable(Info.MaxVal, Info.SampleBytes);
  int32_t channels = KindChannels(Info.Kind);
  auto next = [&]() { return table[std::min(Reader.Sample(maxVal), maxVal)]; };
  if (Info.SampleBytes == 1) {
    auto* out = static_cast<uint8_t*>(Image.Bits);
    if (channels == 1) {
      for (int64_t i = 0; i < pixels; ++i) out[i] = uint8_t(next());
    } else {
      for (int64_t i = 0; i < pixels; ++i, out += 3) {
        out[2] = uint8_t(next());
        out[1] = uint8_t(next());
        out[0] = uint8_t(next());
      }
    }
  } else {
    auto* out = static_cast<uint16_t*>(Image.Bits);
    if (channels == 1) {
      for (int64_t i = 0; i < pixels; ++i) out[i] = next();
    } else {
      for (int64_t i = 0; i < pixels; ++i, out += 3) {
        out[2] = next();
        out[1] = next();
        out[0] = next();
      }
    }
  }
}

// Bytes the pixel data of a map needs at least: exact for raw data; for text
// one character per P1 pixel and, for P2 and P3, a digit and a separator per
// sample (the last separator may be missing).
int64_t MinimumDataBytes(const TMapInfo& Info) {
  int64_t pixels = int64_t(Info.Width) * Info.Height;
  int32_t channels = KindChannels(Info.Kind);
  switch (Info.Variant) {
    case '1':
      return pixels;
    case '2':
    case '3':
      return pixels * channels * 2 - 1;
    case '4':
      return (int64_t(Info.Width) + 7) / 8 * Info.Height;
    case 'F':
    case 'f':
      return pixels * channels * 4;
    default:
      return pixels * channels * Info.SampleBytes;
  }
}

// ---------------------------------------------------------------------------
// Writing
// ---------------------------------------------------------------------------

// Output through a block buffer in front of the handle.
class TMapWriter {
public:
  TMapWriter(const TIOFunctions& IO, THandle Handle) : FIO(IO), FHandle(Handle) { FBuf.reserve(BufferSize + 256); }
  ~TMapWriter() = default;

  void Text(const std::string& S) { Bytes(S.data(), S.size()); }
  void Bytes(const void* Data, size_t Count) {
    const auto* p = static_cast<const char*>(Data);
    FBuf.insert(FBuf.end(), p, p + Count);
    if (FBuf.size() >= BufferSize) Flush();
  }
  void Char(char C) {
    FBuf.push_back(C);
    if (FBuf.size() >= BufferSize) Flush();
  }
  // Appends the decimal digits of Value; returns how many were written.
  int32_t Number(uint32_t Value) {
    char digits[12];
    auto [end, ec] = std::to_chars(digits, digits + sizeof digits, Value);
    (void)ec;
    Bytes(digits, size_t(end - digits));
    return int32_t(end - digits);
  }
  void Flush() {
    if (!FBuf.empty()) FIO.Write(FHandle, FBuf.data(), int32_t(FBuf.size()));
    FBuf.clear();
  }

private:
  static constexpr size_t BufferSize = 65536;
  const TIOFunctions& FIO;
  THandle FHandle;
  std::vector<char> FBuf;
};

}  // namespace

// ---------------------------------------------------------------------------
// TPortableMapFileFormat
// ---------------------------------------------------------------------------

TPortableMapFileFormat::TPortableMapFileFormat() {
  FCanLoad = true;
  FCanSave = false;
  FIsMultiImageFormat = false;
}

bool TPortableMapFileFormat::TestFormat(THandle Handle) {
  if (!Handle) return false;
  TIOFunctions io = CurrentIOTable();
  uint8_t id[4] = {0, 0, 0, 0};
  int32_t read = io.Read(Handle, id, 4);
  if (read > 0) io.Seek(Handle, -read, smFromCurrent);
  return read >= 3 && id[0] == 'P' && (id[1] == uint8_t(FIdNumbers[0]) || id[1] == uint8_t(FIdNumbers[1])) &&
         (id[2] == '\t' || id[2] == '\n' || id[2] == '\r' || id[2] == ' ');
}

bool TPortableMapFileFormat::ReadImages(THandle Handle, TDynImageDataArray& Images, bool) {
  TIOFunctions io = CurrentIOTable();
  TMapInfo info;
  int64_t dataStart;
  {
    TMapReader reader(io, Handle);
    if (!ReadMapHeader(reader, info)) return false;
    dataStart = reader.Position();

    TImageFormat format = FormatForMap(info);
    int64_t imageBytes = ImageBytesFor(format, info.Width, info.Height);
    if (imageBytes <= 0 || imageBytes > MaxImageSize)
      RaiseImagingError("Portable map image of %d x %d pixels is too large.", info.Width, info.Height);
    CheckPixelLimit(info.Width, info.Height);
    int64_t remaining = int64_t(MeasureHandleSize(io, Handle)) - dataStart;
    int64_t needed = MinimumDataBytes(info);
    if (needed > remaining)
      RaiseImagingError("Portable map image data is truncated: %d bytes needed, %d present.", (long long)needed,
                        (long long)std::max<int64_t>(remaining, 0));

    TImageData image;
    try {
      if (!CreateImage(info.Width, info.Height, format, image)) return false;
    } catch (const std::bad_alloc&) {
      RaiseImagingError("Not enough memory for a portable map of %d x %d pixels.", info.Width, info.Height);
    }
    Images.push_back(image);
    if (!info.Binary) {
      ReadPlainSamples(reader, info, Images.back());
      // Leave the handle behind the last sample read.
      io.Seek(Handle, int32_t(reader.Position()), smFromBeginning);
      return true;
    }
  }
  // Raw data starts right after the header's last whitespace character.
  io.Seek(Handle, int32_t(dataStart), smFromBeginning);
  TImageData& image = Images.back();
  if (info.Variant == '4')
    ReadRawBits(io, Handle, info, image);
  else if (info.Variant == 'F' || info.Variant == 'f')
    ReadFloats(io, Handle, info, image);
  else
    ReadRawSamples(io, Handle, info, image);
  return true;
}

bool TPortableMapFileFormat::SaveDataInternal(THandle Handle, const TDynImageDataArray& Images, int32_t Index,
                                              char Magic, bool Binary, int32_t Kind) {
  TIOFunctions io = CurrentIOTable();
  TCompatibleImage compatible;
  if (!MakeCompatible(Images[size_t(Index)], compatible)) return false;
  const TImageData& image = compatible.Image;
  TImageFormatInfo info = FormatInfoFor(image.Format);
  // Float maps: the compatible format decides between colour and gray.
  if (image.Format == fmtR32F) {
    Magic = 'f';
    Kind = mkGrayScaleFP;
  } else if (image.Format == fmtA32B32G32R32F) {
    Magic = 'F';
    Kind = mkRGBFP;
  }
  int32_t channels = info.ChannelCount;
  int32_t sampleBytes = info.BytesPerPixel / channels;
  if (Kind == mkInvalid) {
    if (info.HasGrayChannel)
      Kind = info.HasAlphaChannel ? mkGrayScaleAlpha : mkGrayScale;
    else
      Kind = info.HasAlphaChannel ? mkRGBAlpha : mkRGB;
  }
  uint32_t maxVal = sampleBytes == 2 ? 65535 : 255;
  TMapWriter out(io, Handle);

  // Header, each line ended by a single LF.
  std::string header = std::string("P") + Magic + "\n";
  if (Magic == '7') {
    header += FormatText("%s %d\n", {"WIDTH", image.Width});
    header += FormatText("%s %d\n", {"HEIGHT", image.Height});
    header += FormatText("%s %d\n", {"DEPTH", channels});
    header += FormatText("%s %d\n", {"MAXVAL", int(maxVal)});
    header += FormatText("%s %s\n", {"TUPLTYPE", TupleTypeNames[Kind]});
    header += "ENDHDR\n";
  } else {
    header += FormatText("%d %d\n", {image.Width, image.Height});
    if (Kind == mkGrayScaleFP || Kind == mkRGBFP)
      header += "-1\n";
    else
      header += FormatText("%d\n", {int(maxVal)});
  }
  out.Text(header);

  int64_t pixels = int64_t(image.Width) * image.Height;
  const auto* bytes = static_cast<const uint8_t*>(image.Bits);
  if (Kind == mkGrayScaleFP || Kind == mkRGBFP) {
    // Little-endian floats, bottom row first; colour maps keep R, G, B of
    // each R, G, B, A pixel.
    int32_t pixelBytes = info.BytesPerPixel;
    int64_t rowBytes = int64_t(image.Width) * pixelBytes;
    std::vector<uint8_t> row(size_t(image.Width) * (Kind == mkRGBFP ? 12 : 4));
    for (int32_t y = image.Height - 1; y >= 0; --y) {
      const uint8_t* src = bytes + y * rowBytes;
      if (Kind == mkRGBFP) {
        for (int32_t x = 0; x < image.Width; ++x) std::memcpy(&row[size_t(x) * 12], src + x * pixelBytes, 12);
        out.Bytes(row.data(), row.size());
      } else {
        out.Bytes(src, size_t(rowBytes));
      }
    }
  } else if (Binary) {
    bool rgb = !info.HasGrayChannel;
    int64_t rowSamples = int64_t(image.Width) * channels;
    std::vector<uint8_t> row(size_t(rowSamples * sampleBytes));
    for (int32_t y = 0; y < image.Height; ++y) {
      if (sampleBytes == 1) {
        const uint8_t* src = bytes + y * rowSamples;
        if (rgb) {
          // B, G, R (, A) in memory; R, G, B (, A) in the file.
          uint8_t* dst = row.data();
          if (channels == 3) {
            for (int64_t i = 0; i < rowSamples; i += 3) {
              dst[i] = src[i + 2];
              dst[i + 1] = src[i + 1];
              dst[i + 2] = src[i];
            }
          } else {
            for (int64_t i = 0; i < rowSamples; i += 4) {
              uint32_t v;
              std::memcpy(&v, src + i, 4);
              v = (v & 0xFF00FF00u) | ((v >> 16) & 0xFFu) | ((v & 0xFFu) << 16);
              std::memcpy(dst + i, &v, 4);
            }
          }
          out.Bytes(row.data(), row.size());
        } else {
          out.Bytes(src, size_t(rowSamples));
        }
      } else {
        const auto* src = reinterpret_cast<const uint16_t*>(bytes) + y * rowSamples;
        for (int64_t i = 0; i < rowSamples; ++i) {
          int64_t from = i;
          if (rgb) {
            int64_t c = i % channels;
            if (c == 0) from = i + 2;
            else if (c == 2) from = i - 2;
          }
          row[size_t(i * 2)] = uint8_t(src[from] >> 8);
          row[size_t(i * 2 + 1)] = uint8_t(src[from]);
        }
        out.Bytes(row.data(), row.size());
      }
    }
  } else {
    // Decimal text, each pixel followed by a space; a LF is put between
    // pixels once a line has passed 65 characters.
    int32_t count = 0;
    for (int64_t i = 0; i < pixels; ++i) {
      uint32_t v[3];
      int32_t n = channels == 1 ? 1 : 3;
      if (sampleBytes == 1) {
        const uint8_t* p = bytes + i * info.BytesPerPixel;
        if (n == 1) v[0] = p[0];
        else v[0] = p[2], v[1] = p[1], v[2] = p[0];
      } else {
        const auto* p = reinterpret_cast<const uint16_t*>(bytes + i * info.BytesPerPixel);
        if (n == 1) v[0] = p[0];
        else v[0] = p[2], v[1] = p[1], v[2] = p[0];
      }
      if (count > 65) {
        out.Char('\n');
        count = 1;
      }
      for (int32_t c = 0; c < n; ++c) {
        count += out.Number(v[c]) + 1;
        out.Char(' ');
      }
    }
  }
  out.Flush();
  return true;
}

// ---------------------------------------------------------------------------
// The five handlers
// ---------------------------------------------------------------------------

TPBMFileFormat::TPBMFileFormat() {
  FName = "Portable Bit Map";
  FIdNumbers[0] = '1';
  FIdNumbers[1] = '4';
  SetMaskList("*.pbm");
}

TPGMFileFormat::TPGMFileFormat() {
  FName = "Portable Gray Map";
  FCanSave = true;
  FIdNumbers[0] = '2';
  FIdNumbers[1] = '5';
  FSupportedFormats = {fmtGray8, fmtGray16};
  SetMaskList("*.pgm");
  RegisterOptionVariable(OptPgmSaveBinary, &FSaveBinary);
}

bool TPGMFileFormat::WriteImages(THandle Handle, const TDynImageDataArray& Images, int32_t Index) {
  bool binary = FSaveBinary != 0;
  return SaveDataInternal(Handle, Images, Index, binary ? FIdNumbers[1] : FIdNumbers[0], binary, mkInvalid);
}

void TPGMFileFormat::ConvertToAccepted(TImageData& Image, const TImageFormatInfo& Info) {
  if (Info.IsFloatingPoint)
    ChangeImageFormat(Image, fmtGray16);
  else if (Info.HasGrayChannel)
    ChangeImageFormat(Image, Info.BytesPerPixel / Info.ChannelCount > 1 ? fmtGray16 : fmtGray8);
  else
    ChangeImageFormat(Image, Info.BytesPerPixel <= 4 ? fmtGray8 : fmtGray16);
}

TPPMFileFormat::TPPMFileFormat() {
  FName = "Portable Pixel Map";
  FCanSave = true;
  FIdNumbers[0] = '3';
  FIdNumbers[1] = '6';
  FSupportedFormats = {fmtR8G8B8, fmtR16G16B16};
  // ".pnm" is netpbm's name for a map of any of the three kinds; the content
  // decides how it is read.
  SetMaskList("*.ppm,*.pnm");
  RegisterOptionVariable(OptPpmSaveBinary, &FSaveBinary);
}

bool TPPMFileFormat::WriteImages(THandle Handle, const TDynImageDataArray& Images, int32_t Index) {
  bool binary = FSaveBinary != 0;
  return SaveDataInternal(Handle, Images, Index, binary ? FIdNumbers[1] : FIdNumbers[0], binary, mkInvalid);
}

void TPPMFileFormat::ConvertToAccepted(TImageData& Image, const TImageFormatInfo& Info) {
  if (Info.IsFloatingPoint)
    ChangeImageFormat(Image, fmtR16G16B16);
  else if (Info.HasGrayChannel)
    ChangeImageFormat(Image, Info.BytesPerPixel / Info.ChannelCount > 1 ? fmtR16G16B16 : fmtR8G8B8);
  else
    ChangeImageFormat(Image, Info.BytesPerPixel <= 4 ? fmtR8G8B8 : fmtR16G16B16);
}

TPAMFileFormat::TPAMFileFormat() {
  FName = "Portable Arbitrary Map";
  FCanSave = true;
  FIdNumbers[0] = '7';
  FIdNumbers[1] = '7';
  FSupportedFormats = {fmtGray8,  fmtA8Gray8,  fmtGray16,    fmtA16Gray16,
                       fmtR8G8B8, fmtA8R8G8B8, fmtR16G16B16, fmtA16R16G16B16};
  SetMaskList("*.pam");
}

bool TPAMFileFormat::WriteImages(THandle Handle, const TDynImageDataArray& Images, int32_t Index) {
  return SaveDataInternal(Handle, Images, Index, '7', true, mkInvalid);
}

void TPAMFileFormat::ConvertToAccepted(TImageData& Image, const TImageFormatInfo& Info) {
  if (Info.IsFloatingPoint)
    ChangeImageFormat(Image, Info.HasAlphaChannel ? fmtA16R16G16B16 : fmtR16G16B16);
  else if (Info.HasGrayChannel)
    ChangeImageFormat(Image, Info.HasAlphaChannel ? fmtA16Gray16 : fmtGray16);
  else if (Info.BytesPerPixel <= 4)
    ChangeImageFormat(Image, Info.HasAlphaChannel ? fmtA8R8G8B8 : fmtR8G8B8);
  else
    ChangeImageFormat(Image, Info.HasAlphaChannel ? fmtA16R16G16B16 : fmtR16G16B16);
}

TPFMFileFormat::TPFMFileFormat() {
  FName = "Portable Float Map";
  FCanSave = true;
  FIdNumbers[0] = 'F';
  FIdNumbers[1] = 'f';
  FSupportedFormats = {fmtR32F, fmtA32B32G32R32F};
  SetMaskList("*.pfm");
}

bool TPFMFileFormat::WriteImages(THandle Handle, const TDynImageDataArray& Images, int32_t Index) {
  // "PF" or "Pf" follows from the compatible image (A32B32G32R32F or R32F).
  return SaveDataInternal(Handle, Images, Index, 'F', true, mkRGBFP);
}

void TPFMFileFormat::ConvertToAccepted(TImageData& Image, const TImageFormatInfo& Info) {
  ChangeImageFormat(Image, (Info.ChannelCount > 1 || Info.IsIndexed) ? fmtA32B32G32R32F : fmtR32F);
}

}  // namespace Imaging
