// Block codecs and colour reduction on arbitrary data: random block data is
// decoded for every block format, random pixels are encoded and quantized.
// Every buffer has exactly the size implied by the image size, so any access
// outside it is reported.
#include <cstdint>
#include <cstring>
#include <vector>

#include "ImagingFormats.h"

using namespace Imaging;

namespace {

const TImageFormat Formats[] = {fmtDXT1, fmtDXT3, fmtDXT5, fmtBTC, fmtATI1N, fmtATI2N};

size_t BlockBytes(TImageFormat F) { return F == fmtBTC ? 4 : (F == fmtDXT1 || F == fmtATI1N) ? 8 : 16; }
size_t PixelBytes(TImageFormat F) { return (F == fmtBTC || F == fmtATI1N) ? 1 : 4; }

// Fills Out with Size bytes taken cyclically from the input.
void Fill(std::vector<uint8_t>& Out, const uint8_t* Data, size_t Size) {
  for (size_t i = 0; i < Out.size(); ++i) Out[i] = Size ? Data[i % Size] : uint8_t(i);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  if (Size < 4) return 0;
  InitFormatInfoTable();
  // Header: format, width, height, quantizer settings.
  const TImageFormat F = Formats[Data[0] % 6];
  const int32_t W = Data[1] % 67;
  const int32_t H = Data[2] % 67;
  const uint8_t Mask = Data[3];
  Data += 4;
  Size -= 4;

  TImageData Img;
  Img.Width = W;
  Img.Height = H;
  Img.Format = F;
  const size_t Blocks = size_t(W / 4) * size_t(H / 4);

  // Decode the input as block data.
  std::vector<uint8_t> BlockData(Blocks * BlockBytes(F));
  Fill(BlockData, Data, Size);
  std::vector<uint8_t> Pixels(size_t(W) * size_t(H) * PixelBytes(F));
  Img.Bits = BlockData.empty() ? nullptr : BlockData.data();
  Img.Size = int32_t(BlockData.size());
  if (!Pixels.empty()) DecodeBlocks(Img, Pixels.data(), F);

  // Encode the input as pixels, then decode the result again.
  Fill(Pixels, Data, Size);
  if (!Pixels.empty()) {
    EncodeBlocks(Pixels.data(), Img, F);
    DecodeBlocks(Img, Pixels.data(), F);
  }

  // Quantize the input as A8R8G8B8 pixels.
  std::vector<uint8_t> Argb(size_t(W) * size_t(H) * 4);
  Fill(Argb, Data, Size);
  std::vector<uint8_t> Indices(size_t(W) * size_t(H));
  const int32_t MaxColors = 2 + (Size ? Data[0] : 0);
  std::vector<TColor32Rec> Palette(static_cast<size_t>(MaxColors));
  QuantizeMedianCut(W * H, Argb.empty() ? nullptr : Argb.data(), Indices.empty() ? nullptr : Indices.data(), raAll,
                    Palette.data(), Mask, MaxColors, FormatInfoTable[fmtIndex8], FormatInfoTable[fmtA8R8G8B8]);
  for (uint8_t I : Indices)
    if (int32_t(I) >= MaxColors) __builtin_trap();
  return 0;
}
