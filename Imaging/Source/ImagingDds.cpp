// DirectDraw Surface reader and writer. A file is the magic "DDS ", a
// 124-byte surface description and the data of every stored surface: the
// mipmap levels of a texture, each face of a cube map with its whole chain,
// or the slices of a volume level by level. Every number is little-endian.
//
// Reading checks the bytes every surface needs against the rest of the file
// before its image is allocated, so a header that declares more levels,
// faces or slices than the file holds fails cleanly.
#include "ImagingDds.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>

namespace Imaging {

namespace {

// The loader reports what it found through option values the caller reads
// afterwards. Loads on several threads may store them at once; each store is
// whole (the last load's values win).
void SetLoadedOption(int32_t& Option, int32_t Value) {
  std::atomic_ref<int32_t>(Option).store(Value, std::memory_order_relaxed);
}

constexpr int32_t HeaderSize = 128;
constexpr uint32_t Magic = 0x20534444;  // "DDS "

// Description flags.
constexpr uint32_t FlagCaps = 0x1, FlagHeight = 0x2, FlagWidth = 0x4, FlagPitch = 0x8, FlagPixelFormat = 0x1000,
                   FlagMipMapCount = 0x20000, FlagLinearSize = 0x80000, FlagDepth = 0x800000;
// Pixel format flags.
constexpr uint32_t PfAlphaPixels = 0x1, PfFourCC = 0x4, PfRGB = 0x40, PfLuminance = 0x20000, PfBumpDuDv = 0x40000,
                   PfBumpLuminance = 0x80000;
// Caps.
constexpr uint32_t Caps1Complex = 0x8, Caps1Texture = 0x1000, Caps1MipMap = 0x400000;
constexpr uint32_t Caps2CubeMap = 0x200, Caps2Faces = 0xFC00, Caps2Volume = 0x200000;
constexpr uint32_t CubeFaceBits[6] = {0x400, 0x800, 0x1000, 0x2000, 0x4000, 0x8000};

// A file with more surfaces than this is not a texture anyone made.
constexpr int64_t MaxSurfaces = int64_t(1) << 20;

constexpr uint32_t FourCC(const char (&S)[5]) {
  return uint32_t(uint8_t(S[0])) | uint32_t(uint8_t(S[1])) << 8 | uint32_t(uint8_t(S[2])) << 16 |
         uint32_t(uint8_t(S[3])) << 24;
}

struct TFourCCFormat {
  uint32_t Code;
  TImageFormat Format;
};
const TFourCCFormat FourCCFormats[] = {
    {36, fmtA16B16G16R16},          {111, fmtR16F},  {113, fmtA16B16G16R16F}, {114, fmtR32F},
    {116, fmtA32B32G32R32F},        {FourCC("ATI1"), fmtATI1N}, {FourCC("ATI2"), fmtATI2N},
    {FourCC("DXT1"), fmtDXT1},      {FourCC("DXT3"), fmtDXT3},  {FourCC("DXT5"), fmtDXT5},
};

uint32_t Get32(const uint8_t* P) { return uint32_t(P[0]) | uint32_t(P[1]) << 8 | uint32_t(P[2]) << 16 | uint32_t(P[3]) << 24; }
void Put32(uint8_t* P, uint32_t V) {
  P[0] = uint8_t(V);
  P[1] = uint8_t(V >> 8);
  P[2] = uint8_t(V >> 16);
  P[3] = uint8_t(V >> 24);
}

struct TDDSHeader {
  uint32_t Flags, Height, Width, PitchOrLinearSize, Depth, MipMapCount;
  uint32_t PfFlags, FourCC, BitCount, RMask, GMask, BMask, AMask;
  uint32_t Caps1, Caps2;
};

TDDSHeader ParseHeader(const uint8_t* B) {
  TDDSHeader h;
  h.Flags = Get32(B + 8);
  h.Height = Get32(B + 12);
  h.Width = Get32(B + 16);
  h.PitchOrLinearSize = Get32(B + 20);
  h.Depth = Get32(B + 24);
  h.MipMapCount = Get32(B + 28);
  h.PfFlags = Get32(B + 80);
  h.FourCC = Get32(B + 84);
  h.BitCount = Get32(B + 88);
  h.RMask = Get32(B + 92);
  h.GMask = Get32(B + 96);
  h.BMask = Get32(B + 100);
  h.AMask = Get32(B + 104);
  h.Caps1 = Get32(B + 108);
  h.Caps2 = Get32(B + 112);
  return h;
}

// The FourCC as text when it is printable, else as a number.
std::string FourCCText(uint32_t Code) {
  std::string s;
  for (int i = 0; i < 4; ++i) {
    char c = char(Code >> (8 * i));
    if (c < 32 || c > 126) return std::to_string(Code);
    s.push_back(c);
  }
  return "\"" + s + "\"";
}

// Whether the four masks of a packed format equal the file's.
bool MasksMatch(TImageFormat Format, const TDDSHeader& H) {
  TImageFormatInfo info;
  if (!QueryFormatInfo(Format, info) || !info.PixelFormat) return false;
  const TPixelFormatInfo& pf = *info.PixelFormat;
  return pf.RBitMask == H.RMask && pf.GBitMask == H.GMask && pf.BBitMask == H.BMask && pf.ABitMask == H.AMask;
}

TImageFormat FirstMatching(std::initializer_list<TImageFormat> Formats, const TDDSHeader& H) {
  for (TImageFormat f : Formats)
    if (MasksMatch(f, H)) return f;
  return fmtNone;
}

// Pixel format of the surfaces; Swap tells that red and blue are stored the
// other way round. fmtNone for layouts no reader knows.
TImageFormat SelectFormat(const TDDSHeader& H, bool& Swap) {
  Swap = false;
  const bool alpha = (H.PfFlags & PfAlphaPixels) != 0;
  if (H.PfFlags & PfFourCC) {
    for (const TFourCCFormat& f : FourCCFormats)
      if (f.Code == H.FourCC) return f.Format;
    return fmtNone;
  }
  if (H.PfFlags & PfRGB) {
    if (alpha) {
      if (H.BitCount == 16) return FirstMatching({fmtA4R4G4B4, fmtA1R5G5B5}, H);
      if (H.BitCount == 32) {
        Swap = H.BMask == 0xFF0000;
        return fmtA8R8G8B8;
      }
      return fmtNone;
    }
    switch (H.BitCount) {
      case 8: return FirstMatching({fmtR3G3B2}, H);
      case 16: return FirstMatching({fmtX4R4G4B4, fmtX1R5G5B5, fmtR5G6B5}, H);
      case 24: return fmtR8G8B8;
      case 32: Swap = H.BMask == 0xFF0000; return fmtX8R8G8B8;
    }
    return fmtNone;
  }
  if (H.PfFlags & PfLuminance) {
    if (!alpha && H.BitCount == 8) return fmtGray8;
    if (!alpha && H.BitCount == 16) return fmtGray16;
    if (alpha && H.BitCount == 16) return fmtA8Gray8;
    return fmtNone;
  }
  if (H.PfFlags & PfBumpDuDv) {
    if (H.BitCount == 32 && H.BMask == 0xFF0000) {
      Swap = true;
      return fmtX8R8G8B8;
    }
    return fmtNone;
  }
  if (H.PfFlags & PfBumpLuminance) {
    if (H.BitCount == 16) return fmtA8Gray8;
    if (H.BitCount == 32 && H.AMask == 0xFF000000) {
      Swap = true;
      return fmtA8R8G8B8;
    }
    if (H.BitCount == 64) return fmtA16B16G16R16;
  }
  return fmtNone;
}

[[noreturn]] void RaiseUnsupported(const TDDSHeader& H, const uint8_t* Dxgi) {
  if ((H.PfFlags & PfFourCC) && H.FourCC == FourCC("DX10")) {
    if (Dxgi) RaiseImagingError("DDS files with the DX10 header (DXGI format %d) are not supported.", Get32(Dxgi));
    RaiseImagingError("DDS files with the DX10 header are not supported.");
  }
  if (H.PfFlags & PfFourCC) RaiseImagingError("Unsupported DDS pixel format: FourCC %s.", FourCCText(H.FourCC));
  RaiseImagingError("Unsupported DDS pixel format: flags %x, %d bits per pixel, masks %x %x %x %x.", H.PfFlags,
                    H.BitCount, H.RMask, H.GMask, H.BMask, H.AMask);
}

void ReadExact(const TIOFunctions& IO, THandle Handle, void* Buffer, int64_t Count) {
  if (Count > 0 && IO.Read(Handle, Buffer, int32_t(Count)) != Count) RaiseImagingError("DDS surface data is truncated.");
}

bool WriteAll(const TIOFunctions& IO, THandle Handle, const void* Data, int64_t Count) {
  return Count <= 0 || IO.Write(Handle, Data, int32_t(Count)) == Count;
}

// Width and height an image of the format really gets (whole blocks).
void CreatedSize(const TImageFormatInfo& Info, int32_t& W, int32_t& H) {
  if (Info.CheckDimensions) Info.CheckDimensions(Info.Format, W, H);
}

}  // namespace

// ---------------------------------------------------------------------------
// Mipmap arithmetic
// ---------------------------------------------------------------------------

namespace DDSLayout {

int32_t ChainLevels(int32_t Width, int32_t Height) {
  int32_t levels = 1;
  while (Width > 1 || Height > 1) {
    Width = std::max(1, Width / 2);
    Height = std::max(1, Height / 2);
    ++levels;
  }
  return levels;
}

int64_t VolumeSlices(int64_t Depth, int64_t MipMaps) {
  // From level 63 on every level holds one slice.
  int64_t total = 0;
  const int64_t walked = std::min<int64_t>(MipMaps, 63);
  for (int64_t l = 0; l < walked; ++l) total += std::max<int64_t>(1, Depth >> l);
  return total + std::max<int64_t>(0, MipMaps - walked);
}

void SurfaceSize(int64_t N, int32_t Width, int32_t Height, int64_t MipMaps, bool Volume, bool CubeMap,
                 int64_t Depth, int32_t& W, int32_t& H) {
  W = Width;
  H = Height;
  if (MipMaps <= 1) return;
  if (Volume) {
    for (int64_t l = 0; l < MipMaps && (W > 1 || H > 1); ++l) {
      const int64_t slices = std::max<int64_t>(1, l < 63 ? Depth >> l : 0);
      if (N < slices) break;
      N -= slices;
      W = std::max(1, W / 2);
      H = std::max(1, H / 2);
    }
    return;
  }
  const int64_t level = CubeMap ? N % MipMaps : N;
  for (int64_t l = 0; l < level && (W > 1 || H > 1); ++l) {
    W = std::max(1, W / 2);
    H = std::max(1, H / 2);
  }
}

}  // namespace DDSLayout

// ---------------------------------------------------------------------------
// Handler
// ---------------------------------------------------------------------------

TDDSFileFormat::TDDSFileFormat() {
  FName = "DirectDraw Surface";
  FCanLoad = true;
  FCanSave = true;
  FIsMultiImageFormat = true;
  FSupportedFormats = {fmtGray8,    fmtA8Gray8,      fmtGray16,  fmtR3G3B2,        fmtR5G6B5,  fmtA1R5G5B5,
                       fmtA4R4G4B4, fmtX1R5G5B5,     fmtX4R4G4B4, fmtR8G8B8,       fmtA8R8G8B8, fmtX8R8G8B8,
                       fmtA16B16G16R16, fmtR32F,     fmtA32B32G32R32F, fmtR16F,    fmtA16B16G16R16F,
                       fmtDXT1,     fmtDXT3,         fmtDXT5,    fmtATI1N,         fmtATI2N};
  SetMaskList("*.dds");
  RegisterOptionVariable(OptDdsLoadedCubeMap, &FLoadedCubeMap);
  RegisterOptionVariable(OptDdsLoadedVolume, &FLoadedVolume);
  RegisterOptionVariable(OptDdsLoadedMipMapCount, &FLoadedMipMapCount);
  RegisterOptionVariable(OptDdsLoadedDepth, &FLoadedDepth);
  RegisterOptionVariable(OptDdsSaveCubeMap, &FSaveCubeMap);
  RegisterOptionVariable(OptDdsSaveVolume, &FSaveVolume);
  RegisterOptionVariable(OptDdsSaveMipMapCount, &FSaveMipMapCount);
  RegisterOptionVariable(OptDdsSaveDepth, &FSaveDepth);
}

void TDDSFileFormat::CheckOptionsValidity() {
  if (FSaveCubeMap) FSaveVolume = 0;
  if (FSaveVolume) FSaveCubeMap = 0;
  if (FSaveDepth < 1) FSaveDepth = 1;
  if (FSaveMipMapCount < 1) FSaveMipMapCount = 1;
}

bool TDDSFileFormat::TestFormat(THandle Handle) {
  if (!Handle) return false;
  TIOFunctions IO = CurrentIOTable();
  uint8_t b[HeaderSize];
  int32_t got = IO.Read(Handle, b, HeaderSize);
  if (got > 0) IO.Seek(Handle, -got, smFromCurrent);
  return got == HeaderSize && Get32(b) == Magic && (Get32(b + 108) & Caps1Texture) != 0;
}

bool TDDSFileFormat::ReadImages(THandle Handle, TDynImageDataArray& Images, bool OnlyFirstLevel) {
  SetLoadedOption(FLoadedMipMapCount, 1);
  SetLoadedOption(FLoadedDepth, 1);
  SetLoadedOption(FLoadedVolume, 0);
  SetLoadedOption(FLoadedCubeMap, 0);

  TIOFunctions IO = CurrentIOTable();
  const int64_t start = IO.Tell(Handle);
  int64_t available = std::max<int64_t>(0, int64_t(MeasureHandleSize(IO, Handle)) - start);
  uint8_t raw[HeaderSize];
  if (IO.Read(Handle, raw, HeaderSize) != HeaderSize) RaiseImagingError("DDS header is truncated.");
  available -= HeaderSize;
  const TDDSHeader h = ParseHeader(raw);

  bool swap;
  const TImageFormat format = SelectFormat(h, swap);
  if (format == fmtNone) {
    uint8_t dxgi[4];
    bool haveDxgi = IO.Read(Handle, dxgi, 4) == 4;
    RaiseUnsupported(h, haveDxgi ? dxgi : nullptr);
  }
  const TImageFormatInfo info = FormatInfoFor(format);
  if (h.Width == 0 || h.Height == 0 || h.Width > INT32_MAX || h.Height > INT32_MAX)
    RaiseImagingError("Invalid DDS dimensions %u x %u.", h.Width, h.Height);
  const int32_t width = int32_t(h.Width), height = int32_t(h.Height);
  // No format takes less than half a byte per pixel; the bound also keeps
  // the byte counts below far from overflowing.
  if (int64_t(width) * height > 2 * MaxImageSize)
    RaiseImagingError("DDS image of %d x %d pixels is too large.", width, height);

  // Structure: mipmap levels, then the slices of a volume chain or the
  // faces of a cube map.
  int64_t mipMaps = h.MipMapCount >= 2 ? int64_t(h.MipMapCount) : 1;
  int64_t count = mipMaps;
  SetLoadedOption(FLoadedMipMapCount, int32_t(std::min<int64_t>(mipMaps, INT32_MAX)));
  const bool volume = (h.Caps2 & Caps2Volume) && (h.Flags & FlagDepth);
  const bool cubeMap = (h.Caps2 & Caps2CubeMap) != 0;
  int64_t depth = 1;
  if (volume) {
    SetLoadedOption(FLoadedVolume, -1);
    depth = h.Depth;
    SetLoadedOption(FLoadedDepth, int32_t(std::min<int64_t>(depth, INT32_MAX)));
    count = DDSLayout::VolumeSlices(depth, mipMaps);
  }
  if (cubeMap) {
    SetLoadedOption(FLoadedCubeMap, -1);
    depth = std::popcount(h.Caps2 & Caps2Faces);
    SetLoadedOption(FLoadedDepth, int32_t(depth));
    if (depth == 0) RaiseImagingError("DDS cube map has no faces.");
    count *= depth;
  }
  if (count > MaxSurfaces) RaiseImagingError("DDS file declares %d surfaces, more than %d.", count, MaxSurfaces);

  // Block data is always sized by its blocks, whatever the flags say.
  const bool linear = info.IsSpecial || (h.Flags & FlagLinearSize) || !(h.Flags & (FlagPitch | FlagLinearSize));
  const int64_t bpp = info.BytesPerPixel;

  // Bytes stored for surface N of W x H pixels, and the row pitch for the
  // padded layout.
  auto surfaceBytes = [&](int64_t N, int32_t W, int32_t H, int64_t& Pitch) -> int64_t {
    // Rows are stored whole bytes long without padding (the pitch of
    // every writer in use, and what 24-bit mipmap chains need to fit).
    Pitch = W * bpp;
    if (linear) {
      // The size follows from the dimensions; writers fill the linear size
      // field with the whole chain, a pitch or nothing, so it is not used.
      int32_t cw = W, ch = H;
      CreatedSize(info, cw, ch);
      return info.GetPixelsSize(format, cw, ch);
    }
    if (N == 0 && h.PitchOrLinearSize != 0) {
      // A pitch shorter than a row cannot hold the picture (and would let a
      // tiny file claim a huge one).
      if (h.PitchOrLinearSize < Pitch)
        RaiseImagingError("DDS pitch of %d bytes is shorter than a row of %d bytes.", h.PitchOrLinearSize, Pitch);
      Pitch = h.PitchOrLinearSize;
      return int64_t(h.Height) * h.PitchOrLinearSize;
    }
    return H * Pitch;
  };

  const int64_t wanted = OnlyFirstLevel ? 1 : count;
  // Everything the surfaces need must be in the file before anything is
  // allocated.
  {
    int64_t needed = 0;
    for (int64_t n = 0; n < wanted; ++n) {
      int32_t w, hh;
      int64_t pitch;
      DDSLayout::SurfaceSize(n, width, height, mipMaps, volume, cubeMap, depth, w, hh);
      needed += surfaceBytes(n, w, hh, pitch);
      if (needed > available)
        RaiseImagingError("DDS data is truncated: surface %d of %d needs more than the %d bytes left.", n + 1,
                          count, available);
    }
  }

  Images.reserve(size_t(wanted));
  for (int64_t n = 0; n < wanted; ++n) {
    int32_t w, hh;
    int64_t pitch;
    DDSLayout::SurfaceSize(n, width, height, mipMaps, volume, cubeMap, depth, w, hh);
    const int64_t bytes = surfaceBytes(n, w, hh, pitch);
    Images.emplace_back();
    TImageData& image = Images.back();
    if (!CreateImage(w, hh, format, image))
      RaiseImagingError("Cannot create a %d x %d DDS surface.", w, hh);
    auto* bits = static_cast<uint8_t*>(image.Bits);
    if (linear || bytes == image.Size) {
      const int64_t stored = std::min<int64_t>(bytes, image.Size);
      ReadExact(IO, Handle, bits, stored);
      if (bytes > stored) IO.Seek(Handle, int32_t(bytes - stored), smFromCurrent);
    } else {
      // Padded rows: the visible part of each row goes into the image.
      const int64_t rowBytes = int64_t(image.Width) * bpp;
      const int64_t copied = rowBytes;
      int64_t left = bytes;
      for (int32_t y = 0; y < image.Height && left >= pitch && pitch > 0; ++y) {
        ReadExact(IO, Handle, bits + y * rowBytes, copied);
        if (pitch > copied) IO.Seek(Handle, int32_t(pitch - copied), smFromCurrent);
        left -= pitch;
      }
      if (left > 0) IO.Seek(Handle, int32_t(left), smFromCurrent);
    }
    if (swap) ExchangeChannels(image, 2, 0);
  }
  return true;
}

// ---------------------------------------------------------------------------
// Writing
// ---------------------------------------------------------------------------

void TDDSFileFormat::ConvertToAccepted(TImageData& Image, const TImageFormatInfo& Info) {
  TImageFormat target;
  if (Info.IsIndexed || Info.IsSpecial)
    target = fmtA8R8G8B8;
  else if (Info.IsFloatingPoint)
    target = Info.Format == fmtA16R16G16B16F ? fmtA16B16G16R16F : fmtA32B32G32R32F;
  else if (Info.HasGrayChannel)
    target = Info.HasAlphaChannel ? fmtA8Gray8 : (Info.BytesPerPixel == 1 ? fmtGray8 : fmtGray16);
  else if (Info.BytesPerPixel >= 5)
    target = fmtA16B16G16R16;
  else if (Info.HasAlphaChannel)
    target = fmtA8R8G8B8;
  else
    target = fmtX8R8G8B8;
  ChangeImageFormat(Image, target);
}

namespace {

// The pixel format part of the description (offsets 76 to 107).
void PutPixelFormat(uint8_t* B, const TImageFormatInfo& Info) {
  Put32(B + 76, 32);
  uint32_t flags = 0, fourCC = 0, bits = uint32_t(Info.BytesPerPixel) * 8, r = 0, g = 0, b = 0, a = 0;
  if (Info.IsSpecial || Info.IsFloatingPoint || Info.BytesPerPixel > 4) {
    flags = PfFourCC;
    bits = 0;
    for (const TFourCCFormat& f : FourCCFormats)
      if (f.Format == Info.Format) fourCC = f.Code;
  } else if (Info.HasGrayChannel) {
    flags = PfLuminance;
    r = Info.BytesPerPixel == 1 ? 0xFF : 0xFFFF;
    if (Info.Format == fmtA8Gray8) {
      flags |= PfAlphaPixels;
      r = 0xFF;
      a = 0xFF00;
    }
  } else {
    flags = PfRGB | (Info.HasAlphaChannel ? PfAlphaPixels : 0);
    if (Info.BytesPerPixel <= 2 && Info.PixelFormat) {
      r = Info.PixelFormat->RBitMask;
      g = Info.PixelFormat->GBitMask;
      b = Info.PixelFormat->BBitMask;
      a = Info.PixelFormat->ABitMask;
    } else {
      r = 0xFF0000;
      g = 0xFF00;
      b = 0xFF;
      a = Info.HasAlphaChannel ? 0xFF000000 : 0;
    }
  }
  Put32(B + 80, flags);
  Put32(B + 84, fourCC);
  Put32(B + 88, bits);
  Put32(B + 92, r);
  Put32(B + 96, g);
  Put32(B + 100, b);
  Put32(B + 104, a);
}

}  // namespace

bool TDDSFileFormat::WriteImages(THandle Handle, const TDynImageDataArray& Images, int32_t) {
  const int64_t available = int64_t(FLastIdx) - FFirstIdx + 1;
  const bool cubeMap = FSaveCubeMap != 0;
  const bool volume = FSaveVolume != 0;
  const int64_t depth = FSaveDepth;
  const int64_t saveMipMaps = FSaveMipMapCount;
  if (cubeMap && depth > 6)
    RaiseImagingError("A DDS cube map has at most 6 faces, %d were asked for.", depth);
  if (cubeMap && available < depth * saveMipMaps)
    RaiseImagingError("A DDS cube map of %d faces with %d levels needs %d images, %d were given.", depth,
                      saveMipMaps, depth * saveMipMaps, available);
  if (volume && available < DDSLayout::VolumeSlices(depth, saveMipMaps))
    RaiseImagingError("A DDS volume of %d slices with %d levels needs %d images, %d were given.", depth, saveMipMaps,
                      DDSLayout::VolumeSlices(depth, saveMipMaps), available);

  TCompatibleImage first;
  if (!MakeCompatible(Images[size_t(FFirstIdx)], first)) return false;
  const TImageData& base = first.Image;
  const TImageFormatInfo info = FormatInfoFor(base.Format);

  int64_t levels, surfaces;
  if (cubeMap) {
    levels = saveMipMaps;
    surfaces = depth * saveMipMaps;
  } else if (volume) {
    levels = saveMipMaps;
    surfaces = DDSLayout::VolumeSlices(depth, saveMipMaps);
  } else {
    levels = std::min<int64_t>(available, DDSLayout::ChainLevels(base.Width, base.Height));
    surfaces = levels;
  }

  uint8_t header[HeaderSize] = {};
  Put32(header, Magic);
  Put32(header + 4, 124);
  uint32_t flags = FlagCaps | FlagHeight | FlagWidth | FlagPixelFormat | FlagLinearSize;
  uint32_t caps1 = Caps1Texture, caps2 = 0;
  if (levels > 1) {
    flags |= FlagMipMapCount;
    caps1 |= Caps1Complex | Caps1MipMap;
    Put32(header + 28, uint32_t(levels));
  }
  if (cubeMap) {
    caps1 |= Caps1Complex;
    caps2 = Caps2CubeMap;
    for (int64_t i = 0; i < depth; ++i) caps2 |= CubeFaceBits[i];
  } else if (volume) {
    flags |= FlagDepth;
    caps1 |= Caps1Complex;
    caps2 = Caps2Volume;
    Put32(header + 24, uint32_t(depth));
  }
  Put32(header + 8, flags);
  Put32(header + 12, uint32_t(base.Height));
  Put32(header + 16, uint32_t(base.Width));
  Put32(header + 20, uint32_t(base.Size));
  PutPixelFormat(header, info);
  Put32(header + 108, caps1);
  Put32(header + 112, caps2);

  TIOFunctions IO = CurrentIOTable();
  if (!WriteAll(IO, Handle, header, HeaderSize) || !WriteAll(IO, Handle, base.Bits, base.Size)) return false;

  for (int64_t k = 1; k < surfaces; ++k) {
    const TImageData& image = Images[size_t(FFirstIdx + k)];
    int32_t w, h;
    DDSLayout::SurfaceSize(k, base.Width, base.Height, levels, volume, cubeMap, depth, w, h);
    int32_t cw = w, ch = h;
    CreatedSize(info, cw, ch);
    if (image.Format == base.Format && image.Width == cw && image.Height == ch) {
      if (!WriteAll(IO, Handle, image.Bits, image.Size)) return false;
      continue;
    }
    // A level of another size or format: a converted, resized copy. Block
    // formats are resized in their plain format and compressed once, so a
    // level smaller than a block fills the corner decoders read.
    TCompatibleImage copy;
    copy.MustBeFreed = true;
    if (!DuplicateImage(image, copy.Image)) return false;
    if (info.IsSpecial) {
      ChangeImageFormat(copy.Image, info.SpecialNearestFormat);
      if (copy.Image.Width != w || copy.Image.Height != h) ScaleImage(copy.Image, w, h, rfBilinear);
      ChangeImageFormat(copy.Image, base.Format);
    } else {
      ChangeImageFormat(copy.Image, base.Format);
      if (copy.Image.Width != w || copy.Image.Height != h) ScaleImage(copy.Image, w, h, rfBilinear);
    }
    if (!WriteAll(IO, Handle, copy.Image.Bits, copy.Image.Size)) return false;
  }
  return true;
}

}  // namespace Imaging
