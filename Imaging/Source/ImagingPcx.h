// ZSoft Paintbrush (PCX) reader: monochrome, 4- and 16-colour (packed or
// four bit planes), 256-colour indexed images and 24/32-bit colour stored as
// 8-bit planes, raw or run-length encoded. Load only, one image per file.
#pragma once

#include "Imaging.h"

namespace Imaging {

class TPCXFileFormat : public TImageFileFormat {
public:
  TPCXFileFormat();
  bool ReadImages(THandle Handle, TDynImageDataArray& Images, bool OnlyFirstLevel) override;
  bool TestFormat(THandle Handle) override;
};

}  // namespace Imaging
