// The start-up list of file format handlers. Registration order matters:
// detection by content scans the registry first to last, lookups by name and
// extension last to first, and a later handler takes over an option id bound
// earlier. Adding a handler is one include and one line at its place here.
#include "Imaging.h"
#include "ImagingBitmap.h"
#include "ImagingBsi.h"
#include "ImagingDaggerfall.h"
#include "ImagingGif.h"
#include "ImagingJpeg.h"
#include "ImagingNetworkGraphics.h"
#include "ImagingPcx.h"
#include "ImagingPortableMaps.h"
#include "ImagingTarga.h"

namespace Imaging {

void RegisterFileFormatHandlers() {
  // 1 Windows Bitmap
  AddFileFormatHandler<TBitmapFileFormat>();
  // 2 JPEG
  AddFileFormatHandler<TJpegFileFormat>();
  // 3 PNG
  AddFileFormatHandler<TPNGFileFormat>();
  // 4 MNG
  // 5 JNG
  // 6 GIF
  AddFileFormatHandler<TGIFFileFormat>();
  // 7 DirectDraw Surface
  // 8 Truevision Targa
  AddFileFormatHandler<TTargaFileFormat>();
  // 9-13 portable maps: PBM, PGM, PPM, PAM, PFM
  AddFileFormatHandler<TPBMFileFormat>();
  AddFileFormatHandler<TPGMFileFormat>();
  AddFileFormatHandler<TPPMFileFormat>();
  AddFileFormatHandler<TPAMFileFormat>();
  AddFileFormatHandler<TPFMFileFormat>();
  // 14 JPEG 2000
  // 15 TIFF
  // 16 Photoshop
  // 17 ZSoft PCX
  AddFileFormatHandler<TPCXFileFormat>();
  // 18 X Pixmap
  // 19 Bethesda BSI
  AddFileFormatHandler<TBSIFileFormat>();
  // 20-23 Daggerfall CIF, IMG, texture, sky
  AddFileFormatHandler<TCIFFileFormat>();
  AddFileFormatHandler<TIMGFileFormat>();
  AddFileFormatHandler<TTextureFileFormat>();
  AddFileFormatHandler<TSKYFileFormat>();
}

}  // namespace Imaging
