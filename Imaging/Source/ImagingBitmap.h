// Windows Bitmap (BMP/DIB) file format handler.
#pragma once

#include "Imaging.h"

namespace Imaging {

// Reads uncompressed 1, 4, 8, 16, 24 and 32-bit bitmaps, RLE8 and RLE4
// bitmaps and bit-field bitmaps (OS/2 core, OS/2 2.x and Windows headers of
// 40, 52, 56, 108 and 124 bytes, with or without the 14-byte file header);
// writes 8-bit indexed (RLE8 unless OptBitmapRLE is 0), 16, 24 and 32-bit
// bitmaps.
class TBitmapFileFormat : public TImageFileFormat {
public:
  TBitmapFileFormat();
  bool ReadImages(THandle Handle, TDynImageDataArray& Images, bool OnlyFirstLevel) override;
  bool WriteImages(THandle Handle, const TDynImageDataArray& Images, int32_t Index) override;
  void ConvertToAccepted(TImageData& Image, const TImageFormatInfo& Info) override;
  bool TestFormat(THandle Handle) override;

protected:
  // Non-zero: Index8 images are written RLE8 compressed.
  int32_t FUseRLE = -1;
};

// Run-length encoders of the handler, exposed for tests and benchmarks.
namespace BitmapRLE {
// Appends the RLE8 codes of one row (without the end-of-line code).
void EncodeRow8(const uint8_t* Row, int32_t Width, std::vector<uint8_t>& Out);
}  // namespace BitmapRLE

}  // namespace Imaging
