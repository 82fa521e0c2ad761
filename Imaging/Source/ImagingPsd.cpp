// Photoshop reader and writer. A file is a 26-byte header, the colour mode
// data, the image resources, the layer and mask section (each a 4-byte length
// and its bytes) and the merged image: a 2-byte compression code, then the
// channels one after another, raw or as PackBits rows with a table of row
// byte counts in front. Every number is big-endian. Only the merged image is
// read; resources and layers are skipped.
//
// Reading checks every section length, the channel data and the PackBits
// row counts against the bytes left in the file before the image is
// allocated, so truncated files fail instead of loading stale pixels.
#include "ImagingPsd.h"

#include <algorithm>
#include <bit>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <tmmintrin.h>
#endif
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace Imaging {

namespace {

constexpr int32_t HeaderSize = 26;
constexpr uint16_t ModeBitmap = 0, ModeGray = 1, ModeIndexed = 2, ModeRGB = 3, ModeCMYK = 4, ModeMultichannel = 7,
                   ModeDuotone = 8, ModeLab = 9;
constexpr uint16_t CompressionRaw = 0, CompressionRLE = 1;
constexpr int32_t PaletteDataSize = 768;
// Channels past the fifth are never read.
constexpr int32_t MaxReadChannel = 4;

uint16_t Get16(const uint8_t* P) { return uint16_t(P[0] << 8 | P[1]); }
uint32_t Get32(const uint8_t* P) { return uint32_t(P[0]) << 24 | uint32_t(P[1]) << 16 | uint32_t(P[2]) << 8 | P[3]; }
void Put16(uint8_t* P, uint32_t V) {
  P[0] = uint8_t(V >> 8);
  P[1] = uint8_t(V);
}
void Put32(uint8_t* P, uint32_t V) {
  P[0] = uint8_t(V >> 24);
  P[1] = uint8_t(V >> 16);
  P[2] = uint8_t(V >> 8);
  P[3] = uint8_t(V);
}

struct TPSDHeader {
  uint16_t Channels;
  uint32_t Rows, Columns;
  uint16_t Depth, Mode;
};

// Pixel format of the merged image; fmtNone for combinations no reader
// knows.
TImageFormat SelectFormat(const TPSDHeader& H) {
  const int32_t c = H.Channels;
  switch (H.Mode) {
    case ModeGray:
    case ModeDuotone:
      if (c < 1) return fmtNone;
      if (H.Depth == 8) return c == 1 ? fmtGray8 : fmtA8Gray8;
      if (H.Depth == 16) return c == 1 ? fmtGray16 : fmtA16Gray16;
      if (H.Depth == 32 && c == 1) return fmtR32F;
      return fmtNone;
    case ModeIndexed:
      return H.Depth == 8 && c >= 1 ? fmtIndex8 : fmtNone;
    case ModeRGB:
    case ModeCMYK:
    case ModeMultichannel:
    case ModeLab:
      if (H.Depth == 32 && c >= 1) return fmtA32R32G32B32F;
      if (c < 3) return fmtNone;
      if (H.Depth == 8) return c == 3 ? fmtR8G8B8 : fmtA8R8G8B8;
      if (H.Depth == 16) return c == 3 ? fmtR16G16B16 : fmtA16R16G16B16;
      return fmtNone;
  }
  return fmtNone;
}

// Slot of a pixel that file channel C goes to, or -1 for ignored channels.
int32_t ReadSlot(int32_t C, const TImageFormatInfo& Info, bool CMYK) {
  if (C > MaxReadChannel) return -1;
  int32_t s;
  if (Info.HasAlphaChannel && !CMYK)
    s = C == Info.ChannelCount - 1 ? C : Info.ChannelCount - 2 - C;
  else
    s = Info.ChannelCount - 1 - C;
  return s >= 0 ? s : -1;
}

// Slot written channel I takes its samples from.
int32_t WriteSlot(int32_t I, const TImageFormatInfo& Info, bool Alpha) {
  if (!Alpha) return Info.ChannelCount - 1 - I;
  return I == Info.ChannelCount - 1 ? I : Info.ChannelCount - 2 - I;
}

// Whether the format stores a transparency channel (an index plane is not
// one, even though indexed pixels may be transparent through the palette).
bool StoresAlpha(const TImageFormatInfo& Info) { return Info.HasAlphaChannel && !Info.IsIndexed; }

// Big-endian samples of a row to and from memory order.
void SwapSamples(uint8_t* Row, int64_t Count, int32_t SampleSize) {
  if (SampleSize == 2) {
    for (int64_t i = 0; i < Count; ++i) std::swap(Row[i * 2], Row[i * 2 + 1]);
  } else if (SampleSize == 4) {
    for (int64_t i = 0; i < Count; ++i) {
      uint8_t* p = Row + i * 4;
      std::swap(p[0], p[3]);
      std::swap(p[1], p[2]);
    }
  }
}

// Copies Width samples of Row into slot Slot of each pixel.
template <int32_t SampleSize>
void ScatterSamples(const uint8_t* Row, uint8_t* Pixels, int32_t Width, int32_t PixelSize, int32_t Slot) {
  uint8_t* dst = Pixels + Slot * SampleSize;
  for (int32_t x = 0; x < Width; ++x, Row += SampleSize, dst += PixelSize) std::memcpy(dst, Row, SampleSize);
}

template <int32_t SampleSize>
void GatherSamples(const uint8_t* Pixels, uint8_t* Row, int32_t Width, int32_t PixelSize, int32_t Slot) {
  const uint8_t* src = Pixels + Slot * SampleSize;
  for (int32_t x = 0; x < Width; ++x, Row += SampleSize, src += PixelSize) std::memcpy(Row, src, SampleSize);
}

void Scatter(const uint8_t* Row, uint8_t* Pixels, int32_t Width, int32_t PixelSize, int32_t Slot, int32_t SampleSize) {
  switch (SampleSize) {
    case 1: ScatterSamples<1>(Row, Pixels, Width, PixelSize, Slot); break;
    case 2: ScatterSamples<2>(Row, Pixels, Width, PixelSize, Slot); break;
    default: ScatterSamples<4>(Row, Pixels, Width, PixelSize, Slot); break;
  }
}

void Gather(const uint8_t* Pixels, uint8_t* Row, int32_t Width, int32_t PixelSize, int32_t Slot, int32_t SampleSize) {
  switch (SampleSize) {
    case 1: GatherSamples<1>(Pixels, Row, Width, PixelSize, Slot); break;
    case 2: GatherSamples<2>(Pixels, Row, Width, PixelSize, Slot); break;
    default: GatherSamples<4>(Pixels, Row, Width, PixelSize, Slot); break;
  }
}

// CMYK stored as inverted ink, in slots 3 (C) to 0 (K), to opaque RGB.
template <typename T>
void ConvertCMYK(T* P, int64_t PixelCount, uint32_t Max) {
  for (int64_t i = 0; i < PixelCount; ++i, P += 4) {
    const uint32_t c = Max - P[3], m = Max - P[2], y = Max - P[1], k = Max - P[0];
    P[2] = T(Max - (c - c * k / Max + k));
    P[1] = T(Max - (m - m * k / Max + k));
    P[0] = T(Max - (y - y * k / Max + k));
    P[3] = T(Max);
  }
}

class TReader {
public:
  TReader(const TIOFunctions& IO, THandle Handle, int64_t Available) : FIO(IO), FHandle(Handle), FLeft(Available) {}
  int64_t Left() const { return FLeft; }
  void Read(void* Buffer, int64_t Count, const char* What) {
    if (Count <= 0) return;
    if (Count > FLeft || FIO.Read(FHandle, Buffer, int32_t(Count)) != Count)
      RaiseImagingError("Photoshop %s is truncated.", What);
    FLeft -= Count;
  }
  void Skip(int64_t Count, const char* What) {
    if (Count <= 0) return;
    if (Count > FLeft) RaiseImagingError("Photoshop %s is truncated.", What);
    FIO.Seek(FHandle, int32_t(Count), smFromCurrent);
    FLeft -= Count;
  }
  uint32_t Read32(const char* What) {
    uint8_t b[4];
    Read(b, 4, What);
    return Get32(b);
  }
  // Skips a section given by a 4-byte length.
  void SkipSection(const char* What) {
    const uint32_t length = Read32(What);
    if (length > FLeft)
      RaiseImagingError("Photoshop %s of %d bytes is longer than the %d bytes left.", What, length, FLeft);
    Skip(length, What);
  }

private:
  const TIOFunctions& FIO;
  THandle FHandle;
  int64_t FLeft;
};

}  // namespace

// ---------------------------------------------------------------------------
// PackBits
// ---------------------------------------------------------------------------

namespace PSDPackBits {

int64_t Decode(const uint8_t* In, int64_t InSize, uint8_t* Out, int64_t OutSize) {
  int64_t in = 0, out = 0;
  while (in < InSize && out < OutSize) {
    const int8_t h = int8_t(In[in++]);
    if (h >= 0) {
      const int64_t count = std::min({int64_t(h) + 1, OutSize - out, InSize - in});
      std::memcpy(Out + out, In + in, size_t(count));
      out += count;
      in += int64_t(h) + 1;
    } else if (h != -128) {
      if (in >= InSize) break;
      const int64_t count = std::min(int64_t(1 - h), OutSize - out);
      std::memset(Out + out, In[in++], size_t(count));
      out += count;
    }
  }
  return out;
}

int64_t Encode(const uint8_t* In, int64_t Size, uint8_t* Out) {
  uint8_t* const start = Out;
  int64_t i = 0;
  while (i < Size) {
    const int64_t left = Size - i;
    const int64_t runLimit = std::min<int64_t>(left, 128);
    int64_t run = 1;
    bool runOpen = true;
#if defined(__SSE2__)
    // Sixteen bytes at a time while they lie inside the run's limit.
    const __m128i first = _mm_set1_epi8(char(In[i]));
    while (runOpen && run + 16 <= runLimit) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(In + i + run));
      const uint32_t equal = uint32_t(_mm_movemask_epi8(_mm_cmpeq_epi8(v, first)));
      runOpen = equal == 0xFFFF;
      run += runOpen ? 16 : std::countr_zero(~equal);
    }
#endif
    while (runOpen && run < runLimit && In[i + run] == In[i]) ++run;
    if (run >= 3) {
      *Out++ = uint8_t(1 - run);
      *Out++ = In[i];
      i += run;
      continue;
    }
    // Literals up to where three equal bytes begin; the last byte of the
    // row is taken only when it is all that is left. Eight start positions
    // are tested at once while all their triples lie inside the row.
    int64_t n = 0;
    const int64_t wordEnd = std::min<int64_t>(128, left - 2);
    while (n + 8 <= wordEnd && n + 10 <= left) {
      uint64_t a, b, c;
      std::memcpy(&a, In + i + n, 8);
      std::memcpy(&b, In + i + n + 1, 8);
      std::memcpy(&c, In + i + n + 2, 8);
      // A zero byte of v marks a start whose triple is equal; the lowest
      // flagged byte of the test below is always a true one.
      const uint64_t v = (a ^ b) | (b ^ c);
      const uint64_t zero = (v - 0x0101010101010101ull) & ~v & 0x8080808080808080ull;
      if (zero != 0) {
        n += std::countr_zero(zero) / 8;
        break;
      }
      n += 8;
    }
    while (n < 128 && n < left) {
      const uint8_t* p = In + i + n;
      if (n + 2 < left && p[0] == p[1] && p[0] == p[2]) break;
      if (n == left - 1 && n > 0) break;
      ++n;
    }
    *Out++ = uint8_t(n - 1);
    std::memcpy(Out, In + i, size_t(n));
    Out += n;
    i += n;
  }
  return Out - start;
}

}  // namespace PSDPackBits

// ---------------------------------------------------------------------------
// Handler
// ---------------------------------------------------------------------------

TPSDFileFormat::TPSDFileFormat() {
  FName = "Photoshop Image";
  FCanLoad = true;
  FCanSave = true;
  FIsMultiImageFormat = false;
  FSupportedFormats = {fmtIndex8,    fmtGray8,        fmtA8Gray8,      fmtGray16, fmtA16Gray16,    fmtR8G8B8,
                       fmtA8R8G8B8,  fmtR16G16B16,    fmtA16R16G16B16, fmtR32F,   fmtA32R32G32B32F};
  SetMaskList("*.psd,*.pdd");
  RegisterOptionVariable(OptPsdSaveAsLayer, &FSaveAsLayer);
}

bool TPSDFileFormat::TestFormat(THandle Handle) {
  if (!Handle) return false;
  TIOFunctions IO = CurrentIOTable();
  uint8_t b[HeaderSize];
  int32_t got = IO.Read(Handle, b, HeaderSize);
  if (got > 0) IO.Seek(Handle, -got, smFromCurrent);
  return got == HeaderSize && std::memcmp(b, "8BPS", 4) == 0 && Get16(b + 4) == 1;
}

bool TPSDFileFormat::ReadImages(THandle Handle, TDynImageDataArray& Images, bool) {
  TIOFunctions IO = CurrentIOTable();
  const int64_t start = IO.Tell(Handle);
  TReader in(IO, Handle, std::max<int64_t>(0, int64_t(MeasureHandleSize(IO, Handle)) - start));
  uint8_t raw[HeaderSize];
  in.Read(raw, HeaderSize, "header");
  TPSDHeader h;
  h.Channels = Get16(raw + 12);
  h.Rows = Get32(raw + 14);
  h.Columns = Get32(raw + 18);
  h.Depth = Get16(raw + 22);
  h.Mode = Get16(raw + 24);

  const TImageFormat format = SelectFormat(h);
  if (format == fmtNone) return false;
  const bool cmyk = h.Mode == ModeCMYK;
  if (cmyk && h.Depth == 32)
    RaiseImagingError("Photoshop CMYK images of 32 bits per channel are not supported.");
  if (cmyk && h.Channels < 4)
    RaiseImagingError("Photoshop CMYK image has %d channels; four are needed.", int32_t(h.Channels));
  if (h.Rows == 0 || h.Columns == 0 || h.Rows > INT32_MAX || h.Columns > INT32_MAX)
    RaiseImagingError("Invalid Photoshop image dimensions %u x %u.", h.Columns, h.Rows);
  const int32_t width = int32_t(h.Columns), height = int32_t(h.Rows);
  const TImageFormatInfo info = FormatInfoFor(format);
  const int32_t sampleSize = info.BytesPerPixel / info.ChannelCount;
  const int64_t rowBytes = int64_t(width) * sampleSize;
  // Each factor fits 31 bits, so the first product cannot overflow.
  if (int64_t(width) * height > MaxImageSize || int64_t(width) * height * info.BytesPerPixel > MaxImageSize)
    RaiseImagingError("Photoshop image of %d x %d pixels is too large.", width, height);

  // Colour mode data: the palette of indexed images, planar red, green, blue.
  const uint32_t modeLength = in.Read32("colour mode data");
  uint8_t palette[PaletteDataSize];
  if (format == fmtIndex8) {
    if (modeLength < uint32_t(PaletteDataSize))
      RaiseImagingError("Photoshop indexed image has a colour table of %d bytes instead of 768.", modeLength);
    in.Read(palette, PaletteDataSize, "colour table");
    in.Skip(int64_t(modeLength) - PaletteDataSize, "colour mode data");
  } else {
    in.Skip(modeLength, "colour mode data");
  }
  in.SkipSection("image resources section");
  in.SkipSection("layer and mask section");

  uint8_t code[2];
  in.Read(code, 2, "merged image data");
  const bool rle = Get16(code) == CompressionRLE;
  const int32_t channels = h.Channels;
  std::vector<int32_t> slots(static_cast<size_t>(channels));
  for (int32_t c = 0; c < channels; ++c) slots[size_t(c)] = ReadSlot(c, info, cmyk);

  // Row byte counts, channel by channel; everything the read channels need
  // must be in the file before the image is allocated.
  std::vector<uint16_t> counts;
  int64_t largest = 0;
  if (rle) {
    const int64_t tableBytes = int64_t(height) * channels * 2;
    if (tableBytes > in.Left()) RaiseImagingError("Photoshop row byte count table is truncated.");
    std::vector<uint8_t> table(static_cast<size_t>(tableBytes));
    in.Read(table.data(), tableBytes, "row byte count table");
    counts.resize(size_t(height) * channels);
    // A whole row takes at least two bytes per 128 bytes it unpacks to; a
    // shorter row is damaged (and would let a tiny file claim a huge image).
    const int64_t fewest = (rowBytes + 127) / 128 * 2;
    int64_t needed = 0, total = 0;
    for (size_t i = 0; i < counts.size(); ++i) {
      counts[i] = Get16(table.data() + i * 2);
      total += counts[i];
      if (slots[i / size_t(height)] >= 0) {
        if (counts[i] < fewest)
          RaiseImagingError("Photoshop row %d of channel %d is packed into %d bytes; %d unpacked bytes need %d.",
                            int64_t(i % size_t(height)), int64_t(i / size_t(height)), int32_t(counts[i]), rowBytes,
                            fewest);
        needed = total;
        largest = std::max<int64_t>(largest, counts[i]);
      }
    }
    if (needed > in.Left())
      RaiseImagingError("Photoshop image data is truncated: %d bytes of rows needed, %d present.", needed, in.Left());
  } else {
    int32_t last = -1;
    for (int32_t c = 0; c < channels; ++c)
      if (slots[size_t(c)] >= 0) last = c;
    const int64_t needed = (last + 1) * rowBytes * height;
    if (needed > in.Left())
      RaiseImagingError("Photoshop image data is truncated: %d bytes needed, %d present.", needed, in.Left());
  }

  Images.resize(1);
  TImageData& image = Images[0];
  if (!CreateImage(width, height, format, image))
    RaiseImagingError("Cannot create a %d x %d Photoshop image.", width, height);
  if (format == fmtIndex8)
    for (int32_t i = 0; i < 256; ++i)
      image.Palette[i] = Color32(255, palette[i], palette[256 + i], palette[512 + i]);

  std::vector<uint8_t> row(static_cast<size_t>(rowBytes));
  std::vector<uint8_t> packed(static_cast<size_t>(largest));
  auto* bits = static_cast<uint8_t*>(image.Bits);
  const int64_t imageRow = int64_t(width) * info.BytesPerPixel;
  for (int32_t c = 0; c < channels; ++c) {
    const int32_t slot = slots[size_t(c)];
    const uint16_t* rowCounts = rle ? counts.data() + size_t(c) * height : nullptr;
    if (slot < 0) {
      // Channels after the last one read are never reached.
      bool more = false;
      for (int32_t k = c + 1; k < channels; ++k) more |= slots[size_t(k)] >= 0;
      if (!more) break;
      int64_t skip = 0;
      if (rle)
        for (int32_t y = 0; y < height; ++y) skip += rowCounts[y];
      else
        skip = rowBytes * height;
      in.Skip(skip, "channel data");
      continue;
    }
    for (int32_t y = 0; y < height; ++y) {
      uint8_t* target = info.ChannelCount == 1 ? bits + y * imageRow : row.data();
      if (rle) {
        in.Read(packed.data(), rowCounts[y], "row data");
        // A row that unpacks short keeps zeros, not the previous row.
        const int64_t got = PSDPackBits::Decode(packed.data(), rowCounts[y], target, rowBytes);
        if (got < rowBytes) std::memset(target + got, 0, size_t(rowBytes - got));
      } else {
        in.Read(target, rowBytes, "row data");
      }
      SwapSamples(target, width, sampleSize);
      if (info.ChannelCount != 1) Scatter(target, bits + y * imageRow, width, info.BytesPerPixel, slot, sampleSize);
    }
  }

  const int64_t pixels = int64_t(width) * height;
  if (cmyk) {
    if (sampleSize == 1)
      ConvertCMYK(bits, pixels, 255);
    else
      ConvertCMYK(reinterpret_cast<uint16_t*>(bits), pixels, 65535);
  }
  if (h.Depth == 32 && h.Channels == 3 && h.Mode == ModeRGB) {
    auto* p = reinterpret_cast<float*>(bits);
    for (int64_t i = 0; i < pixels; ++i) p[i * 4 + 3] = 1.0f;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Writing
// ---------------------------------------------------------------------------

void TPSDFileFormat::ConvertToAccepted(TImageData& Image, const TImageFormatInfo& Info) {
  TImageFormat target;
  if (Info.IsFloatingPoint)
    target = Info.ChannelCount == 1 ? fmtR32F : fmtA32R32G32B32F;
  else if (Info.HasGrayChannel)
    target = Info.HasAlphaChannel ? fmtA16Gray16 : fmtGray16;
  else if (Info.RBSwapFormat != fmtNone && FSupportedFormats.Contains(Info.RBSwapFormat))
    target = Info.RBSwapFormat;
  else
    target = Info.HasAlphaChannel ? fmtA8R8G8B8 : fmtR8G8B8;
  ChangeImageFormat(Image, target);
}

namespace {

// The rows of one channel of an image as big-endian samples, one row at a
// time (the raw rows of floating-point images).
class TChannelRows {
public:
  TChannelRows(const TImageData& Image, const TImageFormatInfo& Info, int32_t SampleSize)
      : FImage(Image), FInfo(Info), FSampleSize(SampleSize), FRowBytes(int64_t(Image.Width) * SampleSize),
        FRow(size_t(FRowBytes)) {}
  // The big-endian samples of slot Slot in row Y.
  const uint8_t* Row(int32_t Y, int32_t Slot) {
    const auto* pixels = static_cast<const uint8_t*>(FImage.Bits) + int64_t(Y) * FImage.Width * FInfo.BytesPerPixel;
    if (FInfo.ChannelCount == 1)
      std::memcpy(FRow.data(), pixels, size_t(FRowBytes));
    else
      Gather(pixels, FRow.data(), FImage.Width, FInfo.BytesPerPixel, Slot, FSampleSize);
    SwapSamples(FRow.data(), FImage.Width, FSampleSize);
    return FRow.data();
  }
  int64_t RowBytes() const { return FRowBytes; }

private:
  const TImageData& FImage;
  const TImageFormatInfo& FInfo;
  int32_t FSampleSize;
  int64_t FRowBytes;
  std::vector<uint8_t> FRow;
};

// Collects output and writes it in large blocks.
class TWriter {
public:
  TWriter(const TIOFunctions& IO, THandle Handle) : FIO(IO), FHandle(Handle) { FBuffer.reserve(Capacity); }
  void Write(const void* Data, int64_t Count) {
    const auto* p = static_cast<const uint8_t*>(Data);
    if (int64_t(FBuffer.size()) + Count > Capacity) Flush();
    if (Count > Capacity) {
      Put(p, Count);
      return;
    }
    FBuffer.insert(FBuffer.end(), p, p + Count);
  }
  void Write16(uint32_t V) {
    uint8_t b[2];
    Put16(b, V);
    Write(b, 2);
  }
  void Write32(uint32_t V) {
    uint8_t b[4];
    Put32(b, V);
    Write(b, 4);
  }
  int64_t Position() {
    Flush();
    return FIO.Tell(FHandle);
  }
  void Seek(int64_t Position) {
    Flush();
    FIO.Seek(FHandle, int32_t(Position), smFromBeginning);
  }
  void Flush() {
    Put(FBuffer.data(), int64_t(FBuffer.size()));
    FBuffer.clear();
  }
  bool Ok() const { return FOk; }

private:
  static constexpr int64_t Capacity = int64_t(1) << 20;
  void Put(const uint8_t* Data, int64_t Count) {
    if (Count > 0 && FIO.Write(FHandle, Data, int32_t(Count)) != Count) FOk = false;
  }
  const TIOFunctions& FIO;
  THandle FHandle;
  TByteBuffer FBuffer;
  bool FOk = true;
};

// One channel packed: its table of big-endian row byte counts and its rows.
struct TPackedChannel {
  std::vector<uint8_t> Table;
  TByteBuffer Rows;
};

// Splits a row of 8-bit pixels of Slots samples (2, 3 or 4) into one plane
// per sample slot; returns the pixels done, the rest is left to the caller.
#if defined(__x86_64__) || defined(__i386__)
#define PSD_HAVE_SSSE3_PATH 1
__attribute__((target("ssse3"))) int32_t SplitRowSSSE3(const uint8_t* Src, int32_t Width, int32_t Slots,
                                                       uint8_t* const* Planes) {
  int32_t x = 0;
  if (Slots == 4) {
    // Four pixels per register grouped by slot, then a 4 x 4 transpose of
    // 32-bit words gives sixteen samples of each slot.
    const __m128i group = _mm_setr_epi8(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15);
    for (; x + 16 <= Width; x += 16) {
      const uint8_t* p = Src + x * 4;
      __m128i a = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), group);
      __m128i b = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16)), group);
      __m128i c = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32)), group);
      __m128i d = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48)), group);
      const __m128i ab0 = _mm_unpacklo_epi32(a, b), ab1 = _mm_unpackhi_epi32(a, b);
      const __m128i cd0 = _mm_unpacklo_epi32(c, d), cd1 = _mm_unpackhi_epi32(c, d);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(Planes[0] + x), _mm_unpacklo_epi64(ab0, cd0));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(Planes[1] + x), _mm_unpackhi_epi64(ab0, cd0));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(Planes[2] + x), _mm_unpacklo_epi64(ab1, cd1));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(Planes[3] + x), _mm_unpackhi_epi64(ab1, cd1));
    }
  } else if (Slots == 3) {
    // Sixteen pixels in three registers; each plane takes its bytes from
    // all three (index -1 gives zero).
    alignas(16) int8_t masks[3][3][16];
    for (int s = 0; s < 3; ++s)
      for (int r = 0; r < 3; ++r)
        for (int k = 0; k < 16; ++k) {
          const int from = 3 * k + s - 16 * r;
          masks[s][r][k] = int8_t(from >= 0 && from < 16 ? from : -1);
        }
    for (; x + 16 <= Width; x += 16) {
      const uint8_t* p = Src + x * 3;
      const __m128i r0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      const __m128i r1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
      const __m128i r2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32));
      for (int s = 0; s < 3; ++s) {
        const __m128i v = _mm_or_si128(
            _mm_or_si128(_mm_shuffle_epi8(r0, _mm_load_si128(reinterpret_cast<const __m128i*>(masks[s][0]))),
                         _mm_shuffle_epi8(r1, _mm_load_si128(reinterpret_cast<const __m128i*>(masks[s][1])))),
            _mm_shuffle_epi8(r2, _mm_load_si128(reinterpret_cast<const __m128i*>(masks[s][2]))));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(Planes[s] + x), v);
      }
    }
  } else if (Slots == 2) {
    const __m128i low = _mm_set1_epi16(0x00FF);
    for (; x + 16 <= Width; x += 16) {
      const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(Src + x * 2));
      const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(Src + x * 2 + 16));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(Planes[0] + x),
                       _mm_packus_epi16(_mm_and_si128(a, low), _mm_and_si128(b, low)));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(Planes[1] + x),
                       _mm_packus_epi16(_mm_srli_epi16(a, 8), _mm_srli_epi16(b, 8)));
    }
  }
  return x;
}

bool HaveSSSE3() {
  static const bool have = __builtin_cpu_supports("ssse3");
  return have;
}
#endif

// Splits row Y of the image into one plane of big-endian samples per slot.
void SplitRow(const TImageData& Image, const TImageFormatInfo& Info, int32_t SampleSize, int32_t Y,
              uint8_t* const* Planes) {
  const int32_t slots = Info.ChannelCount, width = Image.Width;
  const auto* pixels = static_cast<const uint8_t*>(Image.Bits) + int64_t(Y) * width * Info.BytesPerPixel;
  if (slots == 1) {
    std::memcpy(Planes[0], pixels, size_t(width) * size_t(SampleSize));
  } else {
    int32_t done = 0;
#if defined(PSD_HAVE_SSSE3_PATH)
    if (SampleSize == 1 && slots <= 4 && HaveSSSE3()) done = SplitRowSSSE3(pixels, width, slots, Planes);
#endif
    for (int32_t s = 0; s < slots; ++s)
      Gather(pixels + int64_t(done) * Info.BytesPerPixel, Planes[s] + int64_t(done) * SampleSize, width - done,
             Info.BytesPerPixel, s, SampleSize);
  }
  for (int32_t s = 0; s < slots; ++s) SwapSamples(Planes[s], width, SampleSize);
}

// Every channel of the image packed once, in the write order; the layer and
// the merged data are written from the same packed rows. Rows are split into
// their channels once, then each channel's row is packed.
std::vector<TPackedChannel> PackChannels(const TImageData& Image, const TImageFormatInfo& Info, int32_t SampleSize) {
  const int32_t channels = Info.ChannelCount, height = Image.Height;
  const bool alpha = StoresAlpha(Info);
  const int64_t rowBytes = int64_t(Image.Width) * SampleSize;
  std::vector<uint8_t> planeStore(size_t(rowBytes) * size_t(channels));
  std::vector<uint8_t*> planes(static_cast<size_t>(channels));
  for (int32_t s = 0; s < channels; ++s) planes[size_t(s)] = planeStore.data() + rowBytes * s;
  std::vector<uint8_t> packedRow(size_t(rowBytes) * 3 + 3);
  std::vector<TPackedChannel> packed(static_cast<size_t>(channels));
  for (TPackedChannel& channel : packed) {
    channel.Table.resize(size_t(height) * 2);
    channel.Rows.reserve(size_t(rowBytes + rowBytes / 64 + 2) * height);
  }
  for (int32_t y = 0; y < height; ++y) {
    SplitRow(Image, Info, SampleSize, y, planes.data());
    for (int32_t i = 0; i < channels; ++i) {
      TPackedChannel& channel = packed[size_t(i)];
      const int64_t n = PSDPackBits::Encode(planes[size_t(WriteSlot(i, Info, alpha))], rowBytes, packedRow.data());
      Put16(channel.Table.data() + y * 2, uint32_t(n));
      channel.Rows.insert(channel.Rows.end(), packedRow.data(), packedRow.data() + n);
    }
  }
  return packed;
}

}  // namespace

bool TPSDFileFormat::WriteImages(THandle Handle, const TDynImageDataArray& Images, int32_t Index) {
  TCompatibleImage compatible;
  if (!MakeCompatible(Images[size_t(Index)], compatible)) return false;
  const TImageData& image = compatible.Image;
  const TImageFormatInfo info = FormatInfoFor(image.Format);
  const int32_t channels = info.ChannelCount;
  const int32_t sampleSize = info.BytesPerPixel / channels;
  const bool alpha = StoresAlpha(info);

  TIOFunctions IO = CurrentIOTable();
  TWriter out(IO, Handle);
  uint8_t header[HeaderSize] = {'8', 'B', 'P', 'S'};
  Put16(header + 4, 1);
  Put16(header + 12, uint32_t(channels));
  Put32(header + 14, uint32_t(image.Height));
  Put32(header + 18, uint32_t(image.Width));
  Put16(header + 22, uint32_t(8 * sampleSize));
  Put16(header + 24, info.IsIndexed ? ModeIndexed : (info.HasGrayChannel || channels == 1 ? ModeGray : ModeRGB));
  out.Write(header, HeaderSize);

  if (info.IsIndexed) {
    uint8_t palette[PaletteDataSize] = {};
    for (int32_t i = 0; i < std::min(info.PaletteEntries, 256); ++i) {
      palette[i] = image.Palette[i].R;
      palette[256 + i] = image.Palette[i].G;
      palette[512 + i] = image.Palette[i].B;
    }
    out.Write32(PaletteDataSize);
    out.Write(palette, PaletteDataSize);
  } else {
    out.Write32(0);
  }
  out.Write32(0);  // image resources

  std::vector<TPackedChannel> packed;
  const int64_t sectionPos = out.Position();
  out.Write32(0);
  if (FSaveAsLayer != 0 && sampleSize < 4) {
    out.Write32(0);  // layer info length
    out.Write16(alpha ? 0xFFFF : 1);
    out.Write32(0);
    out.Write32(0);
    out.Write32(uint32_t(image.Height));
    out.Write32(uint32_t(image.Width));
    out.Write16(uint32_t(channels));
    const int64_t recordsPos = out.Position();
    std::vector<uint8_t> records(size_t(channels) * 6, 0);
    out.Write(records.data(), int64_t(records.size()));
    out.Write("8BIMnorm", 8);
    const uint8_t blending[4] = {255, 0, 0, 0};  // opacity, clipping, flags, filler
    out.Write(blending, 4);
    out.Write32(16);  // extra data
    out.Write32(0);   // layer mask data
    out.Write32(0);   // blending ranges
    out.Write("\x07Layer 0", 8);
    packed = PackChannels(image, info, sampleSize);
    std::vector<int64_t> lengths;
    for (const TPackedChannel& channel : packed) {
      out.Write16(CompressionRLE);
      out.Write(channel.Table.data(), int64_t(channel.Table.size()));
      out.Write(channel.Rows.data(), int64_t(channel.Rows.size()));
      lengths.push_back(2 + int64_t(channel.Table.size()) + int64_t(channel.Rows.size()));
    }
    out.Write32(0);
    const int64_t end = out.Position();
    for (int32_t i = 0; i < channels; ++i) {
      Put16(records.data() + i * 6, alpha && i == channels - 1 ? 0xFFFF : uint32_t(i));
      Put32(records.data() + i * 6 + 2, uint32_t(lengths[size_t(i)]));
    }
    out.Seek(sectionPos);
    out.Write32(uint32_t(end - sectionPos - 4));
    out.Write32(uint32_t(end - sectionPos - 8));
    out.Seek(recordsPos);
    out.Write(records.data(), int64_t(records.size()));
    out.Seek(end);
  }

  if (info.IsFloatingPoint) {
    out.Write16(CompressionRaw);
    TChannelRows rows(image, info, sampleSize);
    for (int32_t i = 0; i < channels; ++i)
      for (int32_t y = 0; y < image.Height; ++y)
        out.Write(rows.Row(y, WriteSlot(i, info, alpha)), rows.RowBytes());
  } else {
    // Code 1, every channel's row table, then every channel's rows.
    if (packed.empty()) packed = PackChannels(image, info, sampleSize);
    out.Write16(CompressionRLE);
    for (const TPackedChannel& channel : packed) out.Write(channel.Table.data(), int64_t(channel.Table.size()));
    for (const TPackedChannel& channel : packed) out.Write(channel.Rows.data(), int64_t(channel.Rows.size()));
  }
  out.Flush();
  return out.Ok();
}

}  // namespace Imaging
