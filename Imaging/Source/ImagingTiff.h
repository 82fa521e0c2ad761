// Tagged Image File Format handler over libtiff.
#pragma once

#include "Imaging.h"

namespace Imaging {

// Reads every directory (page) of a file as one image: layouts that match a
// pixel format are read sample for sample (strips or tiles, contiguous or
// planar), everything else through libtiff's RGBA reader as A8R8G8B8. Either
// way the Orientation tag is applied. Writes one directory per image with the
// compression chosen by OptTiffCompression: 0 none, 1 LZW (default),
// 2 PackBits, 3 Deflate, 4 JPEG (8-bit gray or RGB only, LZW otherwise).
class TTiffFileFormat : public TImageFileFormat {
public:
  TTiffFileFormat();
  bool ReadImages(THandle Handle, TDynImageDataArray& Images, bool OnlyFirstLevel) override;
  bool WriteImages(THandle Handle, const TDynImageDataArray& Images, int32_t Index) override;
  void ConvertToAccepted(TImageData& Image, const TImageFormatInfo& Info) override;
  bool TestFormat(THandle Handle) override;

protected:
  int32_t FCompression = 1;
};

}  // namespace Imaging
