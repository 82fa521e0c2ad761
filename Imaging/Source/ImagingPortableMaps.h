// The portable map family: bit maps (PBM), gray maps (PGM), pixel maps (PPM),
// arbitrary maps (PAM) and float maps (PFM). One reader accepts every variant
// (P1-P7, PF, Pf) whichever handler was chosen; each subclass fixes its name,
// masks, the magic characters its content test accepts, the pixel formats it
// stores and how it writes.
#pragma once

#include "Imaging.h"

namespace Imaging {

class TPortableMapFileFormat : public TImageFileFormat {
public:
  TPortableMapFileFormat();
  bool ReadImages(THandle Handle, TDynImageDataArray& Images, bool OnlyFirstLevel) override;
  bool TestFormat(THandle Handle) override;

protected:
  // Writes image Index as the given variant: Magic is the character after
  // "P"; Kind 0 lets the image's channels decide (gray or colour, with or
  // without alpha).
  bool SaveDataInternal(THandle Handle, const TDynImageDataArray& Images, int32_t Index, char Magic,
                        bool Binary, int32_t Kind);

  // The two accepted second bytes of the magic: the plain (text) variant and
  // the binary one.
  char FIdNumbers[2] = {'0', '0'};
  int32_t FSaveBinary = -1;
};

class TPBMFileFormat : public TPortableMapFileFormat {
public:
  TPBMFileFormat();
};

class TPGMFileFormat : public TPortableMapFileFormat {
public:
  TPGMFileFormat();
  bool WriteImages(THandle Handle, const TDynImageDataArray& Images, int32_t Index) override;
  void ConvertToAccepted(TImageData& Image, const TImageFormatInfo& Info) override;
};

class TPPMFileFormat : public TPortableMapFileFormat {
public:
  TPPMFileFormat();
  bool WriteImages(THandle Handle, const TDynImageDataArray& Images, int32_t Index) override;
  void ConvertToAccepted(TImageData& Image, const TImageFormatInfo& Info) override;
};

class TPAMFileFormat : public TPortableMapFileFormat {
public:
  TPAMFileFormat();
  bool WriteImages(THandle Handle, const TDynImageDataArray& Images, int32_t Index) override;
  void ConvertToAccepted(TImageData& Image, const TImageFormatInfo& Info) override;
};

class TPFMFileFormat : public TPortableMapFileFormat {
public:
  TPFMFileFormat();
  bool WriteImages(THandle Handle, const TDynImageDataArray& Images, int32_t Index) override;
  void ConvertToAccepted(TImageData& Image, const TImageFormatInfo& Info) override;
};

}  // namespace Imaging
