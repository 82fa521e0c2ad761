// GIF handler.
//
// Loading walks the blocks of the file: header and global palette, then
// extensions and images until the trailer. Each image's data sub-blocks are
// copied into memory and decoded by DecodeLZWData; a frame that fails to
// decode is dropped and reading goes on. With LoadAnimated the frames are
// then composed onto full-canvas A8R8G8B8 images the way a player shows them.
//
// Saving writes a GIF89a file with one local 256-entry palette per image,
// each image converted to Index8 first (colour reduction) and coded by
// EncodeLZWData.
#include "ImagingGif.h"

#include <algorithm>
#include <cstring>

namespace Imaging {

namespace {

constexpr uint8_t GIFExtensionIntroducer = 0x21;
constexpr uint8_t GIFGraphicControlLabel = 0xF9;
constexpr uint8_t GIFImageSeparator = 0x2C;
constexpr uint8_t GIFTrailer = 0x3B;

constexpr int32_t MaxLZWCodes = 4096;
constexpr int32_t MaxLZWBits = 12;

const char* const LZWErrorMessage = "Error when decoding GIF LZW data";

// Composed frames are full canvases of 4 bytes per pixel; their total is
// kept within 1 GiB, so that a small file with many frames, or tiny frames on
// a huge logical screen, cannot ask for unbounded memory and time.
constexpr int64_t MaxComposedBytes = int64_t(1) << 30;

// Reads the file through the I/O table; every failed read counts as the end.
class TGIFReader {
public:
  TGIFReader(const TIOFunctions& IO, THandle Handle) : FIO(IO), FHandle(Handle) {}

  bool ReadByte(uint8_t& Value) { return FIO.Read(FHandle, &Value, 1) == 1; }
  int32_t Read(void* Buffer, int32_t Count) { return std::max<int32_t>(FIO.Read(FHandle, Buffer, Count), 0); }

  // Skips data sub-blocks up to and including the terminating empty one.
  void SkipSubBlocks() {
    uint8_t size;
    while (ReadByte(size) && size != 0)
      if (FIO.Seek(FHandle, size, smFromCurrent) < 0) return;
  }

  // Appends data sub-blocks with their size bytes, up to and including the
  // terminator or the end of the input.
  void CopySubBlocks(std::vector<uint8_t>& Data) {
    uint8_t size;
    while (ReadByte(size)) {
      size_t at = Data.size();
      Data.resize(at + 1 + size);
      Data[at] = size;
      if (size == 0) return;
      int32_t got = Read(&Data[at + 1], size);
      if (got < size) {
        Data.resize(at + 1 + size_t(got));
        return;
      }
    }
  }

private:
  TIOFunctions FIO;
  THandle FHandle;
};

uint16_t GetU16(const uint8_t* P) { return uint16_t(P[0] | (P[1] << 8)); }
void PutU16(uint8_t* P, uint32_t V) {
  P[0] = uint8_t(V);
  P[1] = uint8_t(V >> 8);
}

// Reads Count R, G, B entries; the palette's other entries stay as they are.
void ReadPalette(TGIFReader& Reader, TColor32Rec* Palette, int32_t Count) {
  uint8_t rgb[256 * 3] = {};
  Reader.Read(rgb, Count * 3);
  for (int32_t i = 0; i < Count; ++i) Palette[i] = Color32(255, rgb[i * 3], rgb[i * 3 + 1], rgb[i * 3 + 2]);
}

// The most pixels an LZW stream of DataBytes can produce: every code takes
// at least 3 bits and stands for at most 4096 pixels. A frame claiming more
// than that cannot be filled by its data and is refused before allocating.
int64_t MaxLZWPixels(size_t DataBytes) { return (int64_t(DataBytes) * 8 / 3 + 1) * MaxLZWCodes; }

// Rows of a frame in the order the data stores them.
class TRowOrder {
public:
  TRowOrder(bool Interlaced, int32_t Height) : FInterlaced(Interlaced), FHeight(Height) {}
  int32_t Row() const { return FRow; }
  void Next() {
    if (!FInterlaced) {
      ++FRow;
      return;
    }
    static const int32_t Starts[4] = {0, 4, 2, 1};
    static const int32_t Steps[4] = {8, 8, 4, 2};
    FRow += Steps[FPass];
    while (FRow >= FHeight && FPass < 3) {
      ++FPass;
      FRow = Starts[FPass];
    }
    if (FRow >= FHeight) FRow = FHeight;  // all passes done
  }

private:
  bool FInterlaced;
  int32_t FHeight;
  int32_t FRow = 0;
  int32_t FPass = 0;
};

// ---------------------------------------------------------------------------
// Composition
// ---------------------------------------------------------------------------

void FillCanvasRect(TImageData& Canvas, int64_t Left, int64_t Top, int64_t Width, int64_t Height, TColor32Rec Color) {
  int64_t x0 = std::max<int64_t>(Left, 0), y0 = std::max<int64_t>(Top, 0);
  int64_t x1 = std::min<int64_t>(Left + Width, Canvas.Width), y1 = std::min<int64_t>(Top + Height, Canvas.Height);
  auto* bits = static_cast<TColor32Rec*>(Canvas.Bits);
  for (int64_t y = y0; y < y1; ++y) std::fill(bits + y * Canvas.Width + x0, bits + y * Canvas.Width + x1, Color);
}

// Copies every pixel whose palette entry is not fully transparent.
void DrawFrame(TImageData& Canvas, const TImageData& Frame, const TGIFFrameRecord& Rec) {
  const int64_t left = Rec.Left, top = Rec.Top;
  const int64_t x1 = std::min<int64_t>(left + Frame.Width, Canvas.Width);
  const int64_t y1 = std::min<int64_t>(top + Frame.Height, Canvas.Height);
  if (left >= x1) return;
  auto* dst = static_cast<TColor32Rec*>(Canvas.Bits);
  const auto* src = static_cast<const uint8_t*>(Frame.Bits);
  const TColor32Rec* pal = Frame.Palette;
  for (int64_t y = top; y < y1; ++y) {
    const uint8_t* s = src + (y - top) * Frame.Width;
    TColor32Rec* d = dst + y * Canvas.Width + left;
    for (int64_t x = 0, n = x1 - left; x < n; ++x) {
      TColor32Rec c = pal[s[x]];
      if (c.A != 0) d[x] = c;
    }
  }
}

// Composes every raw frame onto a canvas-sized A8R8G8B8 image.
void ComposeFrames(const TDynImageDataArray& Raw, const std::vector<TGIFFrameRecord>& Frames, int32_t CanvasWidth,
                   int32_t CanvasHeight, TDynImageDataArray& Composed) {
  const int32_t count = int32_t(Raw.size());
  const int64_t canvasBytes = int64_t(CanvasWidth) * CanvasHeight * 4;
  if (canvasBytes * count > MaxComposedBytes)
    RaiseImagingError("GIF animation of %d frames on a %d x %d canvas is too large to compose.", count, CanvasWidth,
                      CanvasHeight);
  int32_t previous = -1;  // index of the last composed canvas
  for (int32_t k = 0; k < count; ++k) {
    const TGIFFrameRecord& rec = Frames[size_t(k)];
    const TImageData& frame = Raw[size_t(k)];
    TImageData canvas;
    if (!CreateImage(CanvasWidth, CanvasHeight, fmtA8R8G8B8, canvas))
      RaiseImagingError("GIF animation canvas of %d x %d pixels cannot be created.", CanvasWidth, CanvasHeight);
    Composed.push_back(canvas);
    TImageData& target = Composed.back();
    TColor32Rec background = frame.Palette[rec.BackgroundIndex & 0xFF];

    if (previous >= 0 && previous == k - 1 && Frames[size_t(previous)].Disposal != dmRestorePrevious) {
      // Continue from the previous canvas.
      std::memcpy(target.Bits, Composed[size_t(previous)].Bits, size_t(canvasBytes));
      const TGIFFrameRecord& prev = Frames[size_t(previous)];
      if (prev.Disposal == dmRestoreBackground) {
        TColor32Rec fill = prev.HasTransparency ? Raw[size_t(previous)].Palette[prev.TransparentIndex & 0xFF]
                                                : background;
        FillCanvasRect(target, prev.Left, prev.Top, Raw[size_t(previous)].Width, Raw[size_t(previous)].Height, fill);
      }
    } else {
      // Rebuild from the latest full-canvas frame that clears itself. What no
      // frame covers stays transparent (the canvas starts zeroed), as
      // browsers show it.
      if (rec.HasTransparency) background = frame.Palette[rec.TransparentIndex & 0xFF];
      int32_t start = 0;
      for (int32_t j = k - 1; j >= 0; --j)
        if (Frames[size_t(j)].Left == 0 && Frames[size_t(j)].Top == 0 && Raw[size_t(j)].Width >= CanvasWidth &&
            Raw[size_t(j)].Height >= CanvasHeight && Frames[size_t(j)].Disposal == dmRestoreBackground) {
          start = j;
          break;
        }
      for (int32_t j = start; j < k; ++j) {
        const TGIFFrameRecord& r = Frames[size_t(j)];
        if (r.Disposal == dmNoRemoval || r.Disposal == dmLeave)
          DrawFrame(target, Raw[size_t(j)], r);
        else if (j > start && r.Disposal == dmRestoreBackground)
          FillCanvasRect(target, r.Left, r.Top, Raw[size_t(j)].Width, Raw[size_t(j)].Height, background);
      }
    }
    DrawFrame(target, frame, rec);
    previous = k;
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// LZW decoding
// ---------------------------------------------------------------------------

void TGIFFileFormat::DecodeLZWData(const uint8_t* Data, size_t Size, uint8_t* Bits, bool Interlaced, int32_t Height,
                                   int32_t Width) {
  if (Size < 1) RaiseImagingError(LZWErrorMessage);
  const int32_t codeSize = Data[0];
  // Sizes up to 11 still start with codes of at most 12 bits; real files
  // written with more than 8 exist and load in every peer.
  if (codeSize < 2 || codeSize > 11) RaiseImagingError(LZWErrorMessage);
  const int32_t clearCode = 1 << codeSize, endCode = clearCode + 1;

  uint16_t prefix[MaxLZWCodes];
  uint16_t suffix[MaxLZWCodes];
  uint16_t stack[MaxLZWCodes + 1];

  // Bit input over the sub-blocks, least significant bit first.
  size_t pos = 1;
  uint32_t blockLeft = 0;
  uint32_t bitBuffer = 0;
  int32_t bitCount = 0;
  auto nextByte = [&](uint32_t& Byte) {
    if (blockLeft == 0) {
      if (pos >= Size) return false;
      blockLeft = Data[pos++];
      if (blockLeft == 0) return false;  // terminator: the sub-blocks ran out
    }
    if (pos >= Size) return false;
    Byte = Data[pos++];
    --blockLeft;
    return true;
  };

  // Pixel output, row by row in the stored order.
  TRowOrder order(Interlaced, Height);
  int32_t x = 0, rowsDone = 0;
  uint8_t* row = Bits;
  auto emit = [&](const uint16_t* Pixels, int32_t Count) {
    // Pixels are stored last to first.
    while (Count > 0 && rowsDone < Height) {
      int32_t n = std::min(Count, Width - x);
      uint8_t* d = row + x;
      for (int32_t i = 0; i < n; ++i) d[i] = uint8_t(Pixels[Count - 1 - i]);
      Count -= n;
      x += n;
      if (x == Width) {
        x = 0;
        ++rowsDone;
        order.Next();
        row = Bits + size_t(std::min(order.Row(), Height - 1)) * size_t(Width);
      }
    }
  };

  int32_t codeWidth = codeSize + 1, limit = 1 << codeWidth, nextFree = clearCode + 2;
  bool tableFull = false;
  int32_t previous = -1, previousFirst = 0;
  while (rowsDone < Height) {
    while (bitCount < codeWidth) {
      uint32_t byte;
      if (!nextByte(byte)) return;  // data ended: the remaining pixels stay 0
      bitBuffer |= byte << bitCount;
      bitCount += 8;
    }
    const int32_t code = int32_t(bitBuffer & ((1u << codeWidth) - 1));
    bitBuffer >>= codeWidth;
    bitCount -= codeWidth;

    if (code == clearCode) {
      codeWidth = codeSize + 1;
      limit = 1 << codeWidth;
      nextFree = clearCode + 2;
      tableFull = false;
      previous = -1;
      continue;
    }
    if (code == endCode) return;
    if (previous < 0) {
      // First code after a clear: a single pixel, no new entry.
      if (code > clearCode) RaiseImagingError(LZWErrorMessage);
      uint16_t pixel = uint16_t(code);
      emit(&pixel, 1);
      previous = previousFirst = code;
      continue;
    }
    if (code > nextFree || (code == nextFree && tableFull)) RaiseImagingError(LZWErrorMessage);

    int32_t top = 0, current = code;
    if (code == nextFree) {
      // Not yet in the table: the previous string plus its first pixel.
      stack[top++] = uint16_t(previousFirst);
      current = previous;
    }
    while (current > endCode) {
      if (top >= MaxLZWCodes) RaiseImagingError(LZWErrorMessage);
      stack[top++] = suffix[current];
      current = prefix[current];
    }
    stack[top++] = uint16_t(current);
    const int32_t first = current;
    emit(stack, top);

    if (!tableFull) {
      prefix[nextFree] = uint16_t(previous);
      suffix[nextFree] = uint16_t(first);
      ++nextFree;
      if (nextFree == limit) {
        if (codeWidth < MaxLZWBits) {
          ++codeWidth;
          limit <<= 1;
        } else {
          tableFull = true;  // deferred clear: keep 12-bit codes, add nothing
        }
      }
    }
    previous = code;
    previousFirst = first;
  }
}

// ---------------------------------------------------------------------------
// LZW encoding
// ---------------------------------------------------------------------------

namespace {

// Dictionary slots of the encoder: a power of two well above the 4096 codes,
// so probe chains stay short.
constexpr uint32_t EncoderSlotBits = 14;
constexpr uint32_t EncoderSlotCount = 1u << EncoderSlotBits;

// Packs codes least significant bit first into data sub-blocks of 255 bytes.
class TCodePacker {
public:
  explicit TCodePacker(std::vector<uint8_t>& Output) : FOutput(Output) {}
  void Put(uint32_t Code, int32_t Width) {
    FBits |= uint64_t(Code) << FCount;
    FCount += Width;
    while (FCount >= 8) {
      FBlock[FBlockLen++] = uint8_t(FBits);
      FBits >>= 8;
      FCount -= 8;
      if (FBlockLen == 255) FlushBlock();
    }
  }
  void Finish() {
    if (FCount > 0) {
      FBlock[FBlockLen++] = uint8_t(FBits);
      FBits = 0;
      FCount = 0;
    }
    if (FBlockLen > 0) FlushBlock();
    FOutput.push_back(0);
  }

private:
  void FlushBlock() {
    FOutput.push_back(uint8_t(FBlockLen));
    FOutput.insert(FOutput.end(), FBlock, FBlock + FBlockLen);
    FBlockLen = 0;
  }
  std::vector<uint8_t>& FOutput;
  uint64_t FBits = 0;
  int32_t FCount = 0;
  uint8_t FBlock[260];
  int32_t FBlockLen = 0;
};

// One dictionary entry, keyed by (prefix code << 8 | suffix pixel). A slot
// belongs to the current dictionary only when its generation is the current
// one, so a clear code empties the dictionary without touching the slots.
struct TEncoderSlot {
  uint32_t Key;
  uint16_t Code;
  uint16_t Generation;
};

// Fibonacci hashing of the key: the whole key decides the slot, so strings
// of one repeated pixel (flat images) spread like any others.
inline uint32_t EncoderSlotOf(uint32_t Key) { return (Key * 0x9E3779B1u) >> (32 - EncoderSlotBits); }

}  // namespace

void TGIFFileFormat::EncodeLZWData(std::vector<uint8_t>& Output, const uint8_t* Bits, bool Interlaced,
                                   int32_t BitsPerPixel, int32_t Height, int32_t Width) {
  const int32_t codeSize = std::clamp(BitsPerPixel, 2, 8);
  const uint32_t clearCode = 1u << codeSize, endCode = clearCode + 1;
  Output.push_back(uint8_t(codeSize));
  TCodePacker packer(Output);

  // Open-addressed dictionary of the strings seen since the last clear code.
  std::vector<TEncoderSlot> slots(EncoderSlotCount, TEncoderSlot{0, 0, 0});
  uint16_t generation = 1;

  int32_t codeWidth = codeSize + 1;
  uint32_t limit = 1u << codeWidth, nextCode = clearCode + 2;
  packer.Put(clearCode, codeWidth);

  bool haveString = false;
  uint32_t current = 0;  // code of the current string
  const uint32_t pixelMask = (1u << codeSize) - 1;

  TRowOrder order(Interlaced, Height);
  for (int32_t r = 0; r < Height; ++r, order.Next()) {
    const uint8_t* row = Bits + size_t(order.Row()) * size_t(Width);
    for (int32_t xx = 0; xx < Width; ++xx) {
      const uint32_t pixel = row[xx] & pixelMask;
      if (!haveString) {
        current = pixel;
        haveString = true;
        continue;
      }
      // Look up (current, pixel).
      const uint32_t key = (current << 8) | pixel;
      uint32_t slot = EncoderSlotOf(key);
      bool found = false;
      while (slots[slot].Generation == generation) {
        if (slots[slot].Key == key) {
          found = true;
          break;
        }
        slot = (slot + 1) & (EncoderSlotCount - 1);
      }
      if (found) {
        current = slots[slot].Code;
        continue;
      }
      packer.Put(current, codeWidth);
      const uint32_t assigned = nextCode++;
      slots[slot] = TEncoderSlot{key, uint16_t(assigned), generation};
      current = pixel;
      if (assigned == limit) {
        ++codeWidth;
        limit <<= 1;
      } else if (assigned > 4093) {
        packer.Put(pixel, codeWidth);
        packer.Put(clearCode, codeWidth);
        if (++generation == 0) {
          // The generations went round: start from really empty slots.
          std::fill(slots.begin(), slots.end(), TEncoderSlot{0, 0, 0});
          generation = 1;
        }
        codeWidth = codeSize + 1;
        limit = 1u << codeWidth;
        nextCode = clearCode + 2;
        haveString = false;
      }
    }
  }
  if (haveString) {
    packer.Put(current, codeWidth);
    // A decoder adds one more entry on this code; when that reaches the
    // width limit it reads the end code one bit wider.
    if (nextCode == limit && codeWidth < MaxLZWBits) ++codeWidth;
  }
  packer.Put(endCode, codeWidth);
  packer.Finish();
}

// ---------------------------------------------------------------------------
// TGIFFileFormat
// ---------------------------------------------------------------------------

TGIFFileFormat::TGIFFileFormat() {
  FName = "Graphics Interchange Format";
  FCanLoad = true;
  FCanSave = true;
  FIsMultiImageFormat = true;
  FSupportedFormats = TImageFormats{fmtIndex8};
  SetMaskList("*.gif");
  FLoadAnimated = -1;
  RegisterOptionVariable(OptGifLoadAnimated, &FLoadAnimated);
}

bool TGIFFileFormat::TestFormat(THandle Handle) {
  if (!Handle) return false;
  TIOFunctions io = CurrentIOTable();
  uint8_t header[13];
  int32_t count = std::max<int32_t>(io.Read(Handle, header, sizeof header), 0);
  io.Seek(Handle, -count, smFromCurrent);
  return count > 12 && std::memcmp(header, "GIF", 3) == 0 &&
         (std::memcmp(header + 3, "87a", 3) == 0 || std::memcmp(header + 3, "89a", 3) == 0);
}

void TGIFFileFormat::ConvertToAccepted(TImageData& Image, const TImageFormatInfo&) {
  ChangeImageFormat(Image, fmtIndex8);
}

bool TGIFFileFormat::ReadImages(THandle Handle, TDynImageDataArray& Images, bool OnlyFirstLevel) {
  TGIFReader reader(CurrentIOTable(), Handle);
  ReleaseImageArray(Images);

  uint8_t header[13];
  if (reader.Read(header, sizeof header) != int32_t(sizeof header)) return false;
  const uint32_t screenWidth = GetU16(header + 6), screenHeight = GetU16(header + 8);
  const uint8_t screenPacked = header[10];
  const uint32_t backgroundIndex = header[11];
  const bool hasGlobalPalette = (screenPacked & 0x80) != 0;
  const int32_t globalCount = 1 << ((screenPacked & 7) + 1);
  TColor32Rec globalPalette[256] = {};
  if (hasGlobalPalette) ReadPalette(reader, globalPalette, globalCount);

  std::vector<TGIFFrameRecord> frames;
  // The picture has the logical screen's size; only the first frame may
  // enlarge it (files whose screen size is 0 or too small for their first
  // frame show that frame whole in browsers and peers). Later frames are
  // clipped to it.
  int64_t canvasWidth = screenWidth, canvasHeight = screenHeight;
  uint8_t control[4] = {};  // packed, delay (2), transparent index
  bool hasControl = false;
  std::vector<uint8_t> data;

  try {
    uint8_t b;
    if (!reader.ReadByte(b)) b = GIFTrailer;
    while (b != GIFTrailer) {
      while (b != GIFTrailer && b != GIFExtensionIntroducer && b != GIFImageSeparator)
        if (!reader.ReadByte(b)) b = GIFTrailer;
      hasControl = false;
      while (b == GIFExtensionIntroducer) {
        uint8_t label;
        if (!reader.ReadByte(label)) {
          b = GIFTrailer;
          break;
        }
        if (label == GIFGraphicControlLabel) {
          // Block size (normally 4), packed, delay, transparent index, then
          // the sub-block terminator.
          uint8_t size = 0, block[255] = {};
          if (reader.ReadByte(size)) reader.Read(block, size);
          std::memcpy(control, block, 4);
          hasControl = true;
        }
        // Everything else (comments, plain text, application blocks such as
        // the NETSCAPE loop count) carries nothing we use.
        reader.SkipSubBlocks();
        if (!reader.ReadByte(b)) b = GIFTrailer;
      }
      if (b != GIFImageSeparator) continue;

      // Image descriptor.
      uint8_t desc[9];
      if (reader.Read(desc, sizeof desc) != int32_t(sizeof desc)) break;
      TGIFFrameRecord rec;
      rec.Left = GetU16(desc);
      rec.Top = GetU16(desc + 2);
      rec.Width = GetU16(desc + 4);
      rec.Height = GetU16(desc + 6);
      const uint8_t packed = desc[8];
      const bool interlaced = (packed & 0x40) != 0;
      rec.HasLocalPalette = (packed & 0x80) != 0;
      rec.BackgroundIndex = backgroundIndex;
      // An unset size takes the screen's.
      if (rec.Width == 0) rec.Width = screenWidth;
      if (rec.Height == 0) rec.Height = screenHeight;

      TColor32Rec palette[256] = {};
      if (rec.HasLocalPalette)
        ReadPalette(reader, palette, 1 << ((packed & 7) + 1));
      else if (hasGlobalPalette)
        std::memcpy(palette, globalPalette, sizeof palette);
      else
        MakeBitPalette(palette, globalCount, 3, 3, 2, 255);

      if (hasControl) {
        rec.HasTransparency = (control[0] & 1) != 0;
        rec.Disposal = TDisposalMethod((control[0] >> 2) & 7);
        if (rec.HasTransparency) {
          rec.TransparentIndex = control[3];
          palette[rec.TransparentIndex].A = 0;
        }
      }

      data.clear();
      uint8_t codeSize;
      if (reader.ReadByte(codeSize)) {
        data.push_back(codeSize);
        reader.CopySubBlocks(data);
      }

      // Frames wholly outside the picture, without area, or bigger than
      // their data can fill are dropped.
      int64_t width = canvasWidth, height = canvasHeight;
      if (Images.empty()) {
        width = std::max<int64_t>(width, int64_t(rec.Left) + rec.Width);
        height = std::max<int64_t>(height, int64_t(rec.Top) + rec.Height);
      }
      const int64_t pixels = int64_t(rec.Width) * rec.Height;
      const bool placeable = rec.Left < width && rec.Top < height && pixels > 0 && pixels <= MaxImageSize &&
                             pixels <= MaxLZWPixels(data.size());
      // A frame its data could fill but above the pixel limit fails the load
      // with the reason (a dropped frame would leave no trace).
      if (placeable) CheckPixelLimit(rec.Width, rec.Height);
      if (placeable) {
        TImageData image;
        bool decoded = false;
        try {
          if (CreateImage(int32_t(rec.Width), int32_t(rec.Height), fmtIndex8, image)) {
            std::memcpy(image.Palette, palette, sizeof palette);
            DecodeLZWData(data.data(), data.size(), static_cast<uint8_t*>(image.Bits), interlaced,
                          int32_t(rec.Height), int32_t(rec.Width));
            decoded = true;
          }
        } catch (const EImagingError&) {
          // A frame that cannot be decoded is dropped; the others still load.
        }
        if (decoded) {
          Images.push_back(image);
          frames.push_back(rec);
          canvasWidth = width;
          canvasHeight = height;
        } else {
          ReleaseImage(image);
        }
      }
      // One image asked for: the first frame is all it is made of, and the
      // rest of the file is not read.
      if (OnlyFirstLevel && !Images.empty()) break;

      // Stray bytes after a frame are skipped at the top of the loop, as
      // other readers do, rather than ending the file there.
      if (!reader.ReadByte(b)) b = GIFTrailer;
    }

    if (LoadAnimated() && !Images.empty()) {
      TDynImageDataArray composed;
      try {
        ComposeFrames(Images, frames, int32_t(canvasWidth), int32_t(canvasHeight), composed);
      } catch (...) {
        ReleaseImageArray(composed);
        throw;
      }
      ReleaseImageArray(Images);
      Images = std::move(composed);
    }
  } catch (...) {
    ReleaseImageArray(Images);
    throw;
  }
  return true;
}

bool TGIFFileFormat::WriteImages(THandle Handle, const TDynImageDataArray& Images, int32_t) {
  TIOFunctions io = CurrentIOTable();
  int32_t screenWidth = 0, screenHeight = 0;
  for (int32_t i = FFirstIdx; i <= FLastIdx; ++i) {
    screenWidth = std::max(screenWidth, Images[size_t(i)].Width);
    screenHeight = std::max(screenHeight, Images[size_t(i)].Height);
  }

  // The file stores sizes in 16 bits.
  for (int32_t i = FFirstIdx; i <= FLastIdx; ++i)
    if (Images[size_t(i)].Width > 0xFFFF || Images[size_t(i)].Height > 0xFFFF)
      RaiseImagingError("Image of %d x %d pixels is too large for a GIF file.", Images[size_t(i)].Width,
                        Images[size_t(i)].Height);

  bool headerWritten = false;
  std::vector<uint8_t> out;
  for (int32_t i = FFirstIdx; i <= FLastIdx; ++i) {
    TCompatibleImage compatible;
    if (!MakeCompatible(Images[size_t(i)], compatible)) continue;  // cannot be converted: skipped
    const TImageData& image = compatible.Image;
    out.clear();
    if (!headerWritten) {
      // Logical screen: no global palette, 8-bit colour resolution.
      uint8_t screen[13] = {'G', 'I', 'F', '8', '9', 'a', 0, 0, 0, 0, 0x70, 0, 0};
      PutU16(screen + 6, uint32_t(screenWidth));
      PutU16(screen + 8, uint32_t(screenHeight));
      out.insert(out.end(), screen, screen + sizeof screen);
      headerWritten = true;
    }
    // Graphic control: no transparency, disposal unspecified, delay 0.65 s.
    const uint8_t control[8] = {GIFExtensionIntroducer, GIFGraphicControlLabel, 4, 0, 65, 0, 0, 0};
    out.insert(out.end(), control, control + sizeof control);
    // Image descriptor with a local palette of 256 entries, not interlaced.
    uint8_t desc[10] = {GIFImageSeparator, 0, 0, 0, 0, 0, 0, 0, 0, 0x87};
    PutU16(desc + 5, uint32_t(image.Width));
    PutU16(desc + 7, uint32_t(image.Height));
    out.insert(out.end(), desc, desc + sizeof desc);
    for (int32_t c = 0; c < 256; ++c) {
      const TColor32Rec& e = image.Palette[c];
      out.push_back(e.R);
      out.push_back(e.G);
      out.push_back(e.B);
    }
    EncodeLZWData(out, static_cast<const uint8_t*>(image.Bits), false, 8, image.Height, image.Width);
    io.Write(Handle, out.data(), int32_t(out.size()));
  }
  // A save in which no image could be written is a failure, not an empty file.
  if (!headerWritten) return false;
  const uint8_t trailer = GIFTrailer;
  io.Write(Handle, &trailer, 1);
  return true;
}

}  // namespace Imaging
