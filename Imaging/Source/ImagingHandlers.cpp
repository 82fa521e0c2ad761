// The start-up list of file format handlers. Registration order matters:
// detection by content scans the registry first to last, lookups by name and
// extension last to first, and a later handler takes over an option id bound
// earlier. Adding a handler is one include and one line at its place here.
#include "Imaging.h"
#include "ImagingBitmap.h"
#include "ImagingBsi.h"
#include "ImagingDaggerfall.h"
#include "ImagingDds.h"
#include "ImagingGif.h"
#include "ImagingJpeg.h"
#include "ImagingJpeg2000.h"
#include "ImagingNetworkGraphics.h"
#include "ImagingPcx.h"
#include "ImagingPortableMaps.h"
#include "ImagingPsd.h"
#include "ImagingTarga.h"
#include "ImagingTiff.h"
#include "ImagingXpm.h"

namespace Imaging {

void RegisterFileFormatHandlers() {
  // 1 Windows Bitmap
  AddFileFormatHandler<TBitmapFileFormat>();
  // 2 JPEG
  AddFileFormatHandler<TJpegFileFormat>();
  // 3 PNG
  AddFileFormatHandler<TPNGFileFormat>();
  // 4 MNG
  AddFileFormatHandler<TMNGFileFormat>();
  // 5 JNG
  AddFileFormatHandler<TJNGFileFormat>();
  // 6 GIF
  AddFileFormatHandler<TGIFFileFormat>();
  // 7 DirectDraw Surface
  AddFileFormatHandler<TDDSFileFormat>();
  // 8 Truevision Targa
  AddFileFormatHandler<TTargaFileFormat>();
  // 9-13 portable maps: PBM, PGM, PPM, PAM, PFM
  AddFileFormatHandler<TPBMFileFormat>();
  AddFileFormatHandler<TPGMFileFormat>();
  AddFileFormatHandler<TPPMFileFormat>();
  AddFileFormatHandler<TPAMFileFormat>();
  AddFileFormatHandler<TPFMFileFormat>();
  // 14 JPEG 2000
  AddFileFormatHandler<TJpeg2000FileFormat>();
  // 15 TIFF
  AddFileFormatHandler<TTiffFileFormat>();
  // 16 Photoshop
  AddFileFormatHandler<TPSDFileFormat>();
  // 17 ZSoft PCX
  AddFileFormatHandler<TPCXFileFormat>();
  // 18 X Pixmap
  AddFileFormatHandler<TXPMFileFormat>();
  // 19 Bethesda BSI
  AddFileFormatHandler<TBSIFileFormat>();
  // 20-23 Daggerfall CIF, IMG, texture, sky
  AddFileFormatHandler<TCIFFileFormat>();
  AddFileFormatHandler<TIMGFileFormat>();
  AddFileFormatHandler<TTextureFileFormat>();
  AddFileFormatHandler<TSKYFileFormat>();
}

}  // namespace Imaging
