// JPEG 2000 handler (JP2 files and raw codestreams) over OpenJPEG.
#pragma once

#include "Imaging.h"

namespace Imaging {

// Loads the first image of a JP2 file or codestream as 8-, 16- or 32-bit
// gray, gray + alpha, RGB or RGB + alpha, with subsampled components
// repeated and sYCC turned into RGB. Saves gray and RGB formats (with or
// without alpha, 8 or 16 bits) as JP2 or, with OptJpeg2000CodeStreamOnly, as a
// bare codestream; lossless with OptJpeg2000Lossless, else at a rate derived
// from OptJpeg2000Quality.
class TJpeg2000FileFormat : public TImageFileFormat {
public:
  TJpeg2000FileFormat();
  bool ReadImages(THandle Handle, TDynImageDataArray& Images, bool OnlyFirstLevel) override;
  bool WriteImages(THandle Handle, const TDynImageDataArray& Images, int32_t Index) override;
  void ConvertToAccepted(TImageData& Image, const TImageFormatInfo& Info) override;
  bool TestFormat(THandle Handle) override;
  void CheckOptionsValidity() override;

  // The compression ratio asked of the encoder for an image of Width x Height
  // pixels of BytesPerPixel bytes in Channels channels (0: lossless).
  static float QualityToRate(int32_t Quality, int32_t Width, int32_t Height, int32_t BytesPerPixel,
                             int32_t Channels);

protected:
  int32_t FQuality = 80;
  int32_t FCodeStreamOnly = 0;
  int32_t FLosslessCompression = 0;
};

}  // namespace Imaging
