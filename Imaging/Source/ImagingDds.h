// DirectDraw Surface: textures with mipmap chains, cube maps and volumes,
// uncompressed, floating-point or block-compressed (DXT1/3/5, ATI1N/2N). One
// image per stored surface; block data stays compressed on load.
#pragma once

#include "Imaging.h"

namespace Imaging {

class TDDSFileFormat : public TImageFileFormat {
public:
  TDDSFileFormat();
  bool ReadImages(THandle Handle, TDynImageDataArray& Images, bool OnlyFirstLevel) override;
  bool WriteImages(THandle Handle, const TDynImageDataArray& Images, int32_t Index) override;
  void ConvertToAccepted(TImageData& Image, const TImageFormatInfo& Info) override;
  bool TestFormat(THandle Handle) override;
  void CheckOptionsValidity() override;

private:
  // Structure found by the last load (set by loading, read through options).
  int32_t FLoadedCubeMap = 0;
  int32_t FLoadedVolume = 0;
  int32_t FLoadedMipMapCount = 1;
  int32_t FLoadedDepth = 1;
  // Structure to write.
  int32_t FSaveCubeMap = 0;
  int32_t FSaveVolume = 0;
  int32_t FSaveMipMapCount = 1;
  int32_t FSaveDepth = 1;
};

// Mipmap arithmetic shared by reading and writing.
namespace DDSLayout {
// Levels of a full chain for Width x Height (256 x 256 has 9).
int32_t ChainLevels(int32_t Width, int32_t Height);
// Slices of a volume chain of Depth slices and MipMaps levels.
int64_t VolumeSlices(int64_t Depth, int64_t MipMaps);
// Width and height of surface N of a file whose base surface is Width x
// Height (before any block rounding).
void SurfaceSize(int64_t N, int32_t Width, int32_t Height, int64_t MipMaps, bool Volume, bool CubeMap,
                 int64_t Depth, int32_t& W, int32_t& H);
}  // namespace DDSLayout

}  // namespace Imaging
