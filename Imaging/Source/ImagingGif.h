// GIF handler: reads every frame of GIF87a/GIF89a files with its own LZW
// decoder (composing animations into full-canvas 32-bit frames by default)
// and writes 8-bit indexed images as GIF89a with its own LZW encoder.
#pragma once

#include "Imaging.h"

namespace Imaging {

// The disposal field of a graphic control extension.
enum TDisposalMethod : uint8_t {
  dmNoRemoval = 0,
  dmLeave = 1,
  dmRestoreBackground = 2,
  dmRestorePrevious = 3,
  dmReserved4 = 4,
  dmReserved5 = 5,
  dmReserved6 = 6,
  dmReserved7 = 7,
};

// What loading keeps of one frame besides its pixels.
struct TGIFFrameRecord {
  uint32_t Left = 0;
  uint32_t Top = 0;
  uint32_t Width = 0;
  uint32_t Height = 0;
  TDisposalMethod Disposal = dmNoRemoval;
  bool HasTransparency = false;
  bool HasLocalPalette = false;
  uint32_t TransparentIndex = 0;
  uint32_t BackgroundIndex = 0;
};

class TGIFFileFormat : public TImageFileFormat {
public:
  TGIFFileFormat();

  bool ReadImages(THandle Handle, TDynImageDataArray& Images, bool OnlyFirstLevel) override;
  bool WriteImages(THandle Handle, const TDynImageDataArray& Images, int32_t Index) override;
  void ConvertToAccepted(TImageData& Image, const TImageFormatInfo& Info) override;
  bool TestFormat(THandle Handle) override;

  // True: frames are composed the way a player shows them (A8R8G8B8, canvas
  // size). False: the raw Index8 frames with their own sizes and palettes.
  bool LoadAnimated() const { return FLoadAnimated != 0; }
  void SetLoadAnimated(bool Value) { FLoadAnimated = Value ? -1 : 0; }

  // Decodes one frame's image data (code size byte, then the data sub-blocks)
  // into Width x Height 8-bit pixels. Raises "Error when decoding GIF LZW
  // data" for a code size outside 2..11, a code past the next free code or an
  // over-long chain; stops quietly when the sub-blocks run out.
  static void DecodeLZWData(const uint8_t* Data, size_t Size, uint8_t* Bits, bool Interlaced, int32_t Height,
                            int32_t Width);
  // Encodes Width x Height 8-bit pixels as code size byte plus sub-blocks.
  static void EncodeLZWData(std::vector<uint8_t>& Output, const uint8_t* Bits, bool Interlaced,
                            int32_t BitsPerPixel, int32_t Height, int32_t Width);

protected:
  int32_t FLoadAnimated = -1;
};

}  // namespace Imaging
