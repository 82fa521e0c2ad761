// Truevision Targa file format handler.
#pragma once

#include "Imaging.h"

namespace Imaging {

// Reads colour-mapped (8-bit indices), true-colour (15, 16, 24, 32-bit) and
// gray (8-bit, or 16-bit gray with alpha) images, uncompressed or run-length
// encoded, in all four origins; writes Index8, Gray8, A1R5G5B5, R8G8B8 and
// A8R8G8B8 top-down, run-length encoded when OptTargaRLE is non-zero.
class TTargaFileFormat : public TImageFileFormat {
public:
  TTargaFileFormat();
  bool ReadImages(THandle Handle, TDynImageDataArray& Images, bool OnlyFirstLevel) override;
  bool WriteImages(THandle Handle, const TDynImageDataArray& Images, int32_t Index) override;
  void ConvertToAccepted(TImageData& Image, const TImageFormatInfo& Info) override;
  bool TestFormat(THandle Handle) override;

protected:
  // Non-zero: images are written run-length encoded.
  int32_t FUseRLE = 0;
};

namespace TargaRLE {
// Appends the packets of one row of Width pixels of PixelSize bytes.
void EncodeRow(const uint8_t* Row, int32_t Width, int32_t PixelSize, uint8_t*& Out);
// Decodes packets from Src (SrcSize bytes) until PixelCount pixels are made;
// returns the number of source bytes consumed. Raises when the data ends
// before the image is complete.
int64_t Decode(const uint8_t* Src, int64_t SrcSize, uint8_t* Dst, int64_t PixelCount, int32_t PixelSize);
}  // namespace TargaRLE

}  // namespace Imaging
