// The PNG family beyond plain PNG: composition of animated PNG frames, the
// JPEG-coded frames of JNG and MNG files (colour through the JPEG handler's
// coder over in-memory streams, alpha as PNG or JPEG data), and the MNG and
// JNG file format handlers.
#include <algorithm>
#include <cstring>

#include "ImagingJpeg.h"
#include "ImagingNetworkGraphics.h"

namespace Imaging {

namespace {

// ---------------------------------------------------------------------------
// Animated PNG composition
// ---------------------------------------------------------------------------

// Source-over of one row of pixels with non-premultiplied alpha as the last
// of Colors + 1 samples of type T: the exact rational result, rounded.
// Base is the canvas under the row (it may be Dst itself).
template <typename T, int Colors>
void BlendRowOver(T* Dst, const T* Base, const T* Src, size_t Pixels) {
  constexpr uint64_t M = T(~T(0));
  constexpr int N = Colors + 1;
  for (size_t i = 0; i < Pixels; ++i, Dst += N, Base += N, Src += N) {
    const uint64_t as = Src[Colors];
    if (as == 0) {
      if (Dst != Base) std::memcpy(Dst, Base, sizeof(T) * N);
      continue;
    }
    if (as == M) {
      std::memcpy(Dst, Src, sizeof(T) * N);
      continue;
    }
    const uint64_t ad = Base[Colors];
    const uint64_t weightD = ad * (M - as);     // destination weight, times M
    const uint64_t total = as * M + weightD;    // result alpha, times M
    for (int c = 0; c < Colors; ++c)
      Dst[c] = T((Src[c] * as * M + Base[c] * weightD + total / 2) / total);
    Dst[Colors] = T((total + M / 2) / M);
  }
}

template <typename T, int Colors>
void BlendRowOverBytes(uint8_t* Dst, const uint8_t* Base, const uint8_t* Src, size_t Pixels) {
  BlendRowOver<T, Colors>(reinterpret_cast<T*>(Dst), reinterpret_cast<const T*>(Base),
                          reinterpret_cast<const T*>(Src), Pixels);
}

// Draws Frame with source-over at (X, Y) onto Base (nullptr: the canvas
// itself), writing the result into Canvas; the frame lies inside the canvas
// and all share a format with alpha (or opaque ones, copied).
void BlendOver(const TImageData& Frame, const TImageData* Base, TImageData& Canvas, int32_t X, int32_t Y) {
  TImageFormatInfo info;
  QueryFormatInfo(Frame.Format, info);
  const size_t bpp = size_t(info.BytesPerPixel);
  const auto* src = static_cast<const uint8_t*>(Frame.Bits);
  auto* dst = static_cast<uint8_t*>(Canvas.Bits);
  const auto* under = static_cast<const uint8_t*>(Base ? Base->Bits : Canvas.Bits);
  const size_t srcRow = size_t(Frame.Width) * bpp, dstRow = size_t(Canvas.Width) * bpp;
  for (int32_t y = 0; y < Frame.Height; ++y) {
    const uint8_t* s = src + size_t(y) * srcRow;
    const size_t offset = size_t(Y + y) * dstRow + size_t(X) * bpp;
    uint8_t* d = dst + offset;
    const uint8_t* b = under + offset;
    const size_t n = size_t(Frame.Width);
    switch (Frame.Format) {
      case fmtA8Gray8: BlendRowOverBytes<uint8_t, 1>(d, b, s, n); break;
      case fmtA8R8G8B8: BlendRowOverBytes<uint8_t, 3>(d, b, s, n); break;
      case fmtA16Gray16: BlendRowOverBytes<uint16_t, 1>(d, b, s, n); break;
      case fmtA16R16G16B16: BlendRowOverBytes<uint16_t, 3>(d, b, s, n); break;
      default: std::memcpy(d, s, srcRow); break;  // opaque pixels
    }
  }
}

// Copies Base into Canvas except the rectangle (X, Y, Width, Height), which
// the frame drawn next fills.
void CopyAround(const TImageData& Base, TImageData& Canvas, int32_t X, int32_t Y, int32_t Width, int32_t Height,
                size_t Bpp) {
  const size_t row = size_t(Canvas.Width) * Bpp;
  const auto* src = static_cast<const uint8_t*>(Base.Bits);
  auto* dst = static_cast<uint8_t*>(Canvas.Bits);
  std::memcpy(dst, src, size_t(Y) * row);
  const size_t left = size_t(X) * Bpp, right = size_t(X + Width) * Bpp;
  for (int32_t r = Y; r < Y + Height; ++r) {
    const size_t at = size_t(r) * row;
    std::memcpy(dst + at, src + at, left);
    std::memcpy(dst + at + right, src + at + right, row - right);
  }
  const size_t below = size_t(Y + Height) * row;
  std::memcpy(dst + below, src + below, size_t(Canvas.Size) - below);
}

// The format with alpha that a composed frame needs to show the transparent
// canvas around or under its frames.
TImageFormat WithAlpha(TImageFormat Format) {
  switch (Format) {
    case fmtGray8: return fmtA8Gray8;
    case fmtGray16: return fmtA16Gray16;
    case fmtR8G8B8:
    case fmtIndex8: return fmtA8R8G8B8;
    case fmtR16G16B16: return fmtA16R16G16B16;
    default: return Format;
  }
}

bool HasTranslucentEntries(const TImageData& Image) {
  if (!Image.Palette) return false;
  for (int i = 0; i < 256; ++i)
    if (Image.Palette[i].A != 255) return true;
  return false;
}

}  // namespace

void TAPNGAnimator::Animate(TDynImageDataArray& Images, const TacTL&,
                            const std::vector<std::unique_ptr<TFrameInfo>>& Frames) {
  if (Images.empty() || Frames.size() != Images.size()) return;
  // A default image without fcTL is not part of the animation.
  const size_t first = Frames[0]->HasfcTL ? 0 : 1;
  if (first >= Frames.size()) return;
  const int32_t width = int32_t(Frames[0]->IHDR.Width), height = int32_t(Frames[0]->IHDR.Height);
  for (size_t e = first; e < Frames.size(); ++e)
    if (!IsValidImage(Images[e]) || Images[e].Format != Images[first].Format ||
        Images[e].Width != Frames[e]->FrameWidth || Images[e].Height != Frames[e]->FrameHeight)
      RaiseImagingError("Frame %d of the animation could not be decoded.", int64_t(e));

  // Frames that do not all cover the canvas show the transparent canvas
  // around them; an indexed frame drawn over others with translucent
  // palette entries mixes colours. Both need true alpha.
  bool partial = false, over = false;
  for (size_t e = first; e < Frames.size(); ++e) {
    const TfcTL& fc = Frames[e]->fcTL;
    if (fc.XOffset != 0 || fc.YOffset != 0 || Images[e].Width != width || Images[e].Height != height) partial = true;
    if (fc.BlendOp == 1) over = true;
  }
  TImageFormat format = Images[first].Format;
  if (partial || (format == fmtIndex8 && over && HasTranslucentEntries(Images[first]))) format = WithAlpha(format);
  TImageFormatInfo info;
  QueryFormatInfo(format, info);
  const int64_t outputs = int64_t(Frames.size() - first);
  if (int64_t(width) * height * info.BytesPerPixel * outputs > MaxComposedBytes)
    RaiseImagingError("Animation of %d frames on a %d x %d canvas is too large to compose.", outputs, width, height);
  if (format != Images[first].Format)
    for (size_t e = first; e < Frames.size(); ++e)
      if (!ChangeImageFormat(Images[e], format)) RaiseImagingError("Frame %d of the animation could not be converted.", int64_t(e));

  TDynImageDataArray composed;
  composed.reserve(size_t(outputs));
  // The canvas the next frame starts from: none (all transparent), one of
  // the composed frames, or Scratch (a composed frame with its region
  // cleared).
  TCompatibleImage scratch;
  const TImageData* base = nullptr;
  try {
    for (size_t e = first; e < Frames.size(); ++e) {
      const TfcTL& fc = Frames[e]->fcTL;
      TImageData& raw = Images[e];
      const int32_t x = int32_t(fc.XOffset), y = int32_t(fc.YOffset);
      const bool full = x == 0 && y == 0 && raw.Width == width && raw.Height == height;
      TImageData frame;
      if (full && (fc.BlendOp == 0 || base == nullptr)) {
        // Drawing over transparent black leaves the frame as it is.
        frame = raw;
        ResetImage(raw);
      } else {
        // Over a base every pixel is written below, so the canvas need not
        // be cleared first.
        const bool created = base ? CreateImageUncleared(width, height, format, frame)
                                  : CreateImage(width, height, format, frame);
        if (!created) RaiseImagingError("Animation canvas of %d x %d pixels cannot be created.", width, height);
        if (frame.Palette && raw.Palette) std::memcpy(frame.Palette, raw.Palette, 256 * sizeof(TColor32Rec));
        // The frame's region is written whole below (copied, or blended
        // from the base's pixels); only the rest of the base is copied.
        if (base) CopyAround(*base, frame, x, y, raw.Width, raw.Height, size_t(info.BytesPerPixel));
        if (fc.BlendOp == 0)
          CopyImageRect(raw, 0, 0, raw.Width, raw.Height, frame, x, y);
        else
          BlendOver(raw, base, frame, x, y);
        ReleaseImage(raw);
      }
      composed.push_back(frame);
      switch (fc.DisposeOp) {
        case 0:
          base = &composed.back();
          break;
        case 1:
          // Its region goes back to transparent black.
          if (full) {
            base = nullptr;
          } else {
            if (!scratch.MustBeFreed) {
              if (!CreateImage(width, height, format, scratch.Image))
                RaiseImagingError("Animation canvas of %d x %d pixels cannot be created.", width, height);
              scratch.MustBeFreed = true;
            }
            const TImageData& shown = composed.back();
            std::memcpy(scratch.Image.Bits, shown.Bits, size_t(shown.Size));
            const size_t bpp = size_t(info.BytesPerPixel), row = size_t(width) * bpp;
            auto* bits = static_cast<uint8_t*>(scratch.Image.Bits);
            for (int32_t r = 0; r < int32_t(fc.Height); ++r)
              std::memset(bits + size_t(y + r) * row + size_t(x) * bpp, 0, size_t(fc.Width) * bpp);
            base = &scratch.Image;
          }
          break;
        default:
          // The canvas goes back to what it was before the frame.
          break;
      }
    }
  } catch (...) {
    ReleaseImageArray(composed);
    throw;
  }
  for (size_t e = 0; e < Images.size(); ++e) ReleaseImage(Images[e]);
  Images = std::move(composed);
}

// ---------------------------------------------------------------------------
// JPEG-coded frames
// ---------------------------------------------------------------------------

namespace {

// Decodes the JPEG data of a frame's stream with the JPEG handler's coder
// (and so its error handling and memory limits).
void DecodeJpegStream(TMemoryStream& Stream, TImageData& Image) {
  Stream.SetPosition(0);
  TCustomIOJpegFileFormat jpeg;
  jpeg.AssignCustomIO(StreamIOTable);
  TDynImageDataArray images;
  THandle handle = StreamIOTable.OpenRead(&Stream);
  bool ok = false;
  try {
    ok = jpeg.ReadImages(handle, images, true);
  } catch (...) {
    StreamIOTable.Close(handle);
    ReleaseImageArray(images);
    throw;
  }
  StreamIOTable.Close(handle);
  if (!ok || images.empty() || !IsValidImage(images[0])) {
    ReleaseImageArray(images);
    RaiseImagingError("The JPEG data of the frame cannot be decoded.");
  }
  ReleaseImage(Image);
  Image = images[0];
  for (size_t i = 1; i < images.size(); ++i) ReleaseImage(images[i]);
}

void EncodeJpegStream(const TImageData& Image, int32_t Quality, bool Progressive, TMemoryStream& Stream) {
  TCustomIOJpegFileFormat jpeg;
  jpeg.AssignCustomIO(StreamIOTable);
  jpeg.SetQuality(Quality);
  jpeg.SetProgressive(Progressive);
  TDynImageDataArray images{Image};  // shares the pixels
  THandle handle = StreamIOTable.OpenWrite(&Stream);
  bool ok = false;
  try {
    ok = jpeg.WriteImages(handle, images, 0);
  } catch (...) {
    StreamIOTable.Close(handle);
    throw;
  }
  if (!StreamIOTable.Close(handle) || !ok) RaiseImagingError("The JPEG data of the frame cannot be written.");
}

}  // namespace

void TNGFileLoader::LoadImageFromJNGFrame(int32_t FrameWidth, int32_t FrameHeight, const TJHDR& JHDR,
                                          TMemoryStream& IDATStream, TMemoryStream& JDATStream,
                                          TMemoryStream& JDAAStream, TImageData& Image) {
  // This coder has 8-bit samples only; a picture it cannot decode is refused
  // rather than shown black.
  if (JHDR.SampleDepth == 12)
    RaiseImagingError("JNG images with 12-bit samples are not supported.");
  TCompatibleImage color, alpha;
  color.MustBeFreed = alpha.MustBeFreed = true;
  DecodeJpegStream(JDATStream, color.Image);

  const bool wantsAlpha = JHDR.ColorType == 12 || JHDR.ColorType == 14;
  const bool hasAlphaData = JHDR.AlphaCompression != 0 ? !JDAAStream.Data().empty() : !IDATStream.Data().empty();
  if (wantsAlpha && hasAlphaData && (color.Image.Format == fmtGray8 || color.Image.Format == fmtR8G8B8)) {
    if (JHDR.AlphaCompression != 0) {
      DecodeJpegStream(JDAAStream, alpha.Image);
    } else {
      TIHDR ihdr{};
      ihdr.Width = uint32_t(FrameWidth);
      ihdr.Height = uint32_t(FrameHeight);
      ihdr.BitDepth = JHDR.AlphaSampleDepth;
      ihdr.ColorType = 0;
      ihdr.Filter = JHDR.AlphaFilter;
      ihdr.Interlacing = JHDR.AlphaInterlacing;
      const int d = JHDR.AlphaSampleDepth;
      if (!(d == 1 || d == 2 || d == 4 || d == 8 || d == 16) || JHDR.AlphaInterlacing > 1)
        RaiseImagingError("Invalid JHDR chunk. File may be corrupted.");
      LoadImageFromPNGFrame(FrameWidth, FrameHeight, ihdr, IDATStream, alpha.Image);
    }
    if (alpha.Image.Width != color.Image.Width || alpha.Image.Height != color.Image.Height)
      ScaleImage(alpha.Image, color.Image.Width, color.Image.Height, rfNearest);
    if (alpha.Image.Format == fmtGray16) {
      // 16-bit alpha narrowed with rounding, as viewers show it.
      TCompatibleImage narrow;
      if (!CreateImage(alpha.Image.Width, alpha.Image.Height, fmtGray8, narrow.Image))
        RaiseImagingError("The alpha of the frame cannot be converted.");
      narrow.MustBeFreed = true;
      const auto* wide = static_cast<const uint16_t*>(alpha.Image.Bits);
      auto* bytes = static_cast<uint8_t*>(narrow.Image.Bits);
      for (size_t i = 0, n = size_t(alpha.Image.Width) * size_t(alpha.Image.Height); i < n; ++i)
        bytes[i] = uint8_t((uint32_t(wide[i]) * 255 + 32767) / 65535);
      std::swap(alpha.Image, narrow.Image);
    } else if (alpha.Image.Format != fmtGray8) {
      ChangeImageFormat(alpha.Image, fmtGray8);
    }
    const bool gray = color.Image.Format == fmtGray8;
    ChangeImageFormat(color.Image, gray ? fmtA8Gray8 : fmtA8R8G8B8);
    const size_t step = gray ? 2 : 4;
    auto* dst = static_cast<uint8_t*>(color.Image.Bits) + step - 1;
    const auto* src = static_cast<const uint8_t*>(alpha.Image.Bits);
    const size_t pixels = size_t(color.Image.Width) * size_t(color.Image.Height);
    for (size_t i = 0; i < pixels; ++i) dst[i * step] = src[i];
  }
  ReleaseImage(Image);
  Image = color.Image;
  color.MustBeFreed = false;
}

void TNGFileSaver::StoreImageToJNGFrame(const TJHDR& JHDR, const TImageData& Image, TMemoryStream& IDATStream,
                                        TMemoryStream& JDATStream, TMemoryStream& JDAAStream) {
  const bool hasAlpha = Image.Format == fmtA8Gray8 || Image.Format == fmtA8R8G8B8;
  if (!hasAlpha) {
    EncodeJpegStream(Image, Quality, Progressive, JDATStream);
    return;
  }
  const bool gray = Image.Format == fmtA8Gray8;
  TCompatibleImage color, alpha;
  if (!DuplicateImage(Image, color.Image)) RaiseImagingError("The image cannot be copied.");
  color.MustBeFreed = true;
  ChangeImageFormat(color.Image, gray ? fmtGray8 : fmtR8G8B8);
  if (!CreateImage(Image.Width, Image.Height, fmtGray8, alpha.Image)) RaiseImagingError("The image cannot be copied.");
  alpha.MustBeFreed = true;
  const size_t step = gray ? 2 : 4;
  const auto* src = static_cast<const uint8_t*>(Image.Bits) + step - 1;
  auto* dst = static_cast<uint8_t*>(alpha.Image.Bits);
  const size_t pixels = size_t(Image.Width) * size_t(Image.Height);
  for (size_t i = 0; i < pixels; ++i) dst[i] = src[i * step];

  EncodeJpegStream(color.Image, Quality, Progressive, JDATStream);
  if (LossyAlpha) {
    EncodeJpegStream(alpha.Image, Quality, false, JDAAStream);
  } else {
    TIHDR ihdr{};
    ihdr.Width = JHDR.Width;
    ihdr.Height = JHDR.Height;
    ihdr.BitDepth = JHDR.AlphaSampleDepth;
    ihdr.ColorType = 0;
    ihdr.Filter = JHDR.AlphaFilter;
    ihdr.Interlacing = JHDR.AlphaInterlacing;
    TImageFormatInfo info;
    QueryFormatInfo(fmtGray8, info);
    StoreImageToPNGFrame(ihdr, alpha.Image.Bits, info, IDATStream);
  }
}

// ---------------------------------------------------------------------------
// TMNGFileFormat
// ---------------------------------------------------------------------------

namespace {

// Decodes every frame of a loaded file into Images.
void DecodeFrames(TNGFileLoader& Loader, TDynImageDataArray& Images) {
  Images.resize(Loader.Frames.size());
  for (TImageData& image : Images) ResetImage(image);
  for (size_t i = 0; i < Loader.Frames.size(); ++i) {
    TFrameInfo& f = *Loader.Frames[i];
    if (f.IsJpegFrame)
      Loader.LoadImageFromJNGFrame(f.FrameWidth, f.FrameHeight, f.JHDR, *f.IDATMemory, *f.JDATMemory, *f.JDAAMemory,
                                   Images[i]);
    else
      Loader.LoadImageFromPNGFrame(f.FrameWidth, f.FrameHeight, f.IHDR, *f.IDATMemory, Images[i],
                                   f.LastDataChunkStart);
    Loader.ApplyFrameSettings(f, Images[i]);
  }
}

}  // namespace

TMNGFileFormat::TMNGFileFormat() {
  FName = "Multiple Network Graphics";
  FIsMultiImageFormat = true;
  SetMaskList("*.mng");
  std::memcpy(FSignature, MNGSignature, 8);
  FSupportedFormats = GetSupportedFormats();
  RegisterOptionVariable(OptMngLossyCompression, &FLossyCompression);
  RegisterOptionVariable(OptMngLossyAlpha, &FLossyAlpha);
  RegisterOptionVariable(OptMngPreFilter, &FPreFilter);
  RegisterOptionVariable(OptMngCompressLevel, &FCompressLevel);
  RegisterOptionVariable(OptMngQuality, &FQuality);
  RegisterOptionVariable(OptMngProgressive, &FProgressive);
}

bool TMNGFileFormat::ReadImages(THandle Handle, TDynImageDataArray& Images, bool OnlyFirstLevel) {
  TNGFileLoader loader;
  loader.FirstImageOnly = OnlyFirstLevel;
  if (!loader.LoadFile(Handle)) return false;
  if (loader.Frames.empty()) {
    // A file of control chunks only: one blank image of the frame size.
    const uint32_t w = loader.MHDR.FrameWidth, h = loader.MHDR.FrameHeight;
    if (w == 0 || h == 0 || w > 0x7FFFFFFFu || h > 0x7FFFFFFFu)
      RaiseImagingError("MNG file without frames has an invalid frame size of %d x %d.", int64_t(w), int64_t(h));
    Images.resize(1);
    ResetImage(Images[0]);
    return CreateImage(int32_t(w), int32_t(h), fmtDefault, Images[0]);
  }
  // Every frame becomes an image: their memory together is bounded before
  // any is decoded (JPEG frames may become 32-bit colour).
  int64_t total = 0;
  for (const auto& f : loader.Frames) {
    const int ct = f->IHDR.ColorType;
    const int64_t pixelBytes = f->IsJpegFrame ? 4
                               : (ct == 3 ? 1 : (ct == 0 || ct == 4) ? 2 : 4) * (f->IHDR.BitDepth == 16 ? 2 : 1);
    total += int64_t(f->FrameWidth) * f->FrameHeight * pixelBytes;
    if (total > MaxComposedBytes)
      RaiseImagingError("MNG file of %d frames is too large to load.", int64_t(loader.Frames.size()));
  }
  DecodeFrames(loader, Images);
  return true;
}

bool TMNGFileFormat::WriteImages(THandle Handle, const TDynImageDataArray& Images, int32_t) {
  TNGFileSaver saver;
  saver.FileType = ngMNG;
  saver.SetFileOptions(*this);
  int32_t width = 0, height = 0;
  for (int32_t i = FFirstIdx; i <= FLastIdx; ++i) {
    width = std::max(width, Images[size_t(i)].Width);
    height = std::max(height, Images[size_t(i)].Height);
  }
  saver.MHDR.FrameWidth = uint32_t(width);
  saver.MHDR.FrameHeight = uint32_t(height);
  // Frames are shown a third of a second each (one tick, as in the animated
  // PNGs we write); with no time base at all viewers show only one picture.
  saver.MHDR.TicksPerSecond = 3;
  saver.MHDR.NominalFrameCount = uint32_t(FLastIdx - FFirstIdx + 1);
  saver.MHDR.SimplicityProfile = 473;
  // Every frame is written as soon as it is prepared.
  saver.BeginFile(Handle);
  for (int32_t i = FFirstIdx; i <= FLastIdx; ++i) {
    TCompatibleImage compatible;
    if (!MakeCompatible(Images[size_t(i)], compatible)) return false;
    saver.AddFrame(compatible.Image, FLossyCompression != 0);
  }
  saver.SaveFile(Handle);
  return true;
}

// ---------------------------------------------------------------------------
// TJNGFileFormat
// ---------------------------------------------------------------------------

TJNGFileFormat::TJNGFileFormat() {
  FName = "JPEG Network Graphics";
  FIsMultiImageFormat = false;
  SetMaskList("*.jng");
  std::memcpy(FSignature, JNGSignature, 8);
  FLossyCompression = -1;
  FSupportedFormats = GetSupportedFormats();
  RegisterOptionVariable(OptJngLossyAlpha, &FLossyAlpha);
  RegisterOptionVariable(OptJngPreFilter, &FPreFilter);
  RegisterOptionVariable(OptJngCompressLevel, &FCompressLevel);
  RegisterOptionVariable(OptJngQuality, &FQuality);
  RegisterOptionVariable(OptJngProgressive, &FProgressive);
}

bool TJNGFileFormat::ReadImages(THandle Handle, TDynImageDataArray& Images, bool) {
  TNGFileLoader loader;
  loader.FirstImageOnly = true;
  if (!loader.LoadFile(Handle) || loader.Frames.empty()) return false;
  TFrameInfo& f = *loader.Frames[0];
  if (!f.IsJpegFrame) RaiseImagingError("JNG file holds no JPEG-coded image.");
  Images.resize(1);
  ResetImage(Images[0]);
  loader.LoadImageFromJNGFrame(f.FrameWidth, f.FrameHeight, f.JHDR, *f.IDATMemory, *f.JDATMemory, *f.JDAAMemory,
                               Images[0]);
  loader.ApplyFrameSettings(f, Images[0]);
  return true;
}

bool TJNGFileFormat::WriteImages(THandle Handle, const TDynImageDataArray& Images, int32_t Index) {
  TCompatibleImage compatible;
  if (!MakeCompatible(Images[size_t(Index)], compatible)) return false;
  TNGFileSaver saver;
  saver.FileType = ngJNG;
  saver.SetFileOptions(*this);
  saver.AddFrame(compatible.Image, true);
  saver.SaveFile(Handle);
  return true;
}

}  // namespace Imaging
