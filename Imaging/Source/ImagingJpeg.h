// JPEG/JFIF handler. Coding is done by libjpeg (API 62) over the handler's
// own source and destination managers, which read and write through an I/O
// table; libjpeg's errors become EImagingError.
#pragma once

#include "Imaging.h"

namespace Imaging {

class TJpegFileFormat : public TImageFileFormat {
public:
  TJpegFileFormat();

  bool ReadImages(THandle Handle, TDynImageDataArray& Images, bool OnlyFirstLevel) override;
  bool WriteImages(THandle Handle, const TDynImageDataArray& Images, int32_t Index) override;
  void ConvertToAccepted(TImageData& Image, const TImageFormatInfo& Info) override;
  bool TestFormat(THandle Handle) override;
  void CheckOptionsValidity() override;

  int32_t Quality() const { return FQuality; }
  void SetQuality(int32_t Value) { FQuality = Value; }
  bool Progressive() const { return FProgressive != 0; }
  void SetProgressive(bool Value) { FProgressive = Value ? -1 : 0; }

protected:
  // Variants that must not take over the option ids pass false.
  explicit TJpegFileFormat(bool BindOptions);
  // Copies the I/O table the coders use for the coming load or save.
  virtual void SelectJpegIO();

  int32_t FQuality = 90;
  int32_t FProgressive = 0;
};

// The JPEG coder with an I/O table of the caller's choice (the JPEG streams
// inside JNG files). It binds no options; set Quality and Progressive directly.
class TCustomIOJpegFileFormat : public TJpegFileFormat {
public:
  TCustomIOJpegFileFormat();
  void AssignCustomIO(const TIOFunctions& IO) { FCustomIO = IO; }

protected:
  void SelectJpegIO() override;

  TIOFunctions FCustomIO;
};

}  // namespace Imaging
