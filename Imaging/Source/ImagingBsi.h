// Bethesda BSI pictures: sets of chunks (header, palette, colour tables,
// pixel data), alone in a file or one after the other in texture archives.
// Load only.
#pragma once

#include "ImagingDaggerfall.h"

namespace Imaging {

// Palette-indexed sets load as Index8 pictures, sets with colour tables as
// A8R8G8B8 pictures.
class TBSIFileFormat : public TElderFileFormat {
public:
  TBSIFileFormat();
  bool ReadImages(THandle Handle, TDynImageDataArray& Images, bool OnlyFirstLevel) override;
  bool TestFormat(THandle Handle) override;
};

}  // namespace Imaging
