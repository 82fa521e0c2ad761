// Photoshop images: the merged (composite) picture of a file in grayscale,
// duotone, indexed, RGB, CMYK, multichannel or Lab mode at 8, 16 or 32 bits
// per channel; written with an optional layer section holding one layer.
#pragma once

#include "Imaging.h"

namespace Imaging {

class TPSDFileFormat : public TImageFileFormat {
public:
  TPSDFileFormat();
  bool ReadImages(THandle Handle, TDynImageDataArray& Images, bool OnlyFirstLevel) override;
  bool WriteImages(THandle Handle, const TDynImageDataArray& Images, int32_t Index) override;
  void ConvertToAccepted(TImageData& Image, const TImageFormatInfo& Info) override;
  bool TestFormat(THandle Handle) override;

private:
  int32_t FSaveAsLayer = -1;
};

// PackBits run-length coding of one row.
namespace PSDPackBits {
// Unpacks up to OutSize bytes from InSize packed bytes; returns the bytes
// written (the rest of Out is left as it was).
int64_t Decode(const uint8_t* In, int64_t InSize, uint8_t* Out, int64_t OutSize);
// Packs Size bytes into Out (room for 3 x Size bytes); returns the packed size.
int64_t Encode(const uint8_t* In, int64_t Size, uint8_t* Out);
}  // namespace PSDPackBits

}  // namespace Imaging
