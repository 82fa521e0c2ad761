// JPEG 2000 handler over OpenJPEG 2.
//
// The codestream is decoded from and encoded to memory: a load reads the rest
// of the framework's stream into one buffer, a save collects the encoder's
// output and writes it in one piece. OpenJPEG applies the JP2 channel
// definition box itself when decoding (colour components come out in their
// association order, opacity flagged as alpha) and writes one from the alpha
// flags when encoding; the component types used to place components in
// pixel channels are derived from that. OpenJPEG's error messages are caught
// per codec object and become the text of the EImagingError raised.
#include "ImagingJpeg2000.h"

#include <algorithm>
#include <thread>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include <openjpeg.h>

namespace Imaging {

namespace {

// OpenJPEG codes the code-blocks of an image on this many threads, one per
// processor core: a large picture is coded several times faster, and the
// codestream is the same as on one thread.
// OpenJPEG sets up every tile the image size (SIZ) declares while it reads
// the header, some kilobytes each. Every tile has at least one tile-part of
// 14 bytes (SOT and SOD markers) in the codestream, so a header that declares
// more tiles than the data could hold is refused before OpenJPEG sees it: a
// file of 200 bytes must not ask for 20,000 tiles and hundreds of megabytes.
void CheckTileCount(const std::vector<uint8_t>& Data) {
  static const uint8_t marks[4] = {0xFF, 0x4F, 0xFF, 0x51};  // SOC, SIZ
  auto at = std::search(Data.begin(), Data.end(), marks, marks + 4);
  const size_t siz = size_t(at - Data.begin()) + 4;
  if (at == Data.end() || Data.size() < siz + 38) return;  // left to OpenJPEG
  auto u32 = [&](size_t Offset) {
    const uint8_t* p = Data.data() + siz + Offset;
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
  };
  // Lsiz, Rsiz, then Xsiz, Ysiz, XOsiz, YOsiz, XTsiz, YTsiz, XTOsiz, YTOsiz.
  const uint64_t xsiz = u32(4), ysiz = u32(8), xtsiz = u32(20), ytsiz = u32(24), xtosiz = u32(28), ytosiz = u32(32);
  if (xtsiz == 0 || ytsiz == 0 || xsiz <= xtosiz || ysiz <= ytosiz) return;  // left to OpenJPEG
  const uint64_t tiles = ((xsiz - xtosiz + xtsiz - 1) / xtsiz) * ((ysiz - ytosiz + ytsiz - 1) / ytsiz);
  const uint64_t room = Data.size() / 14 + 1;
  if (tiles > room)
    RaiseImagingError("JPEG 2000 Error: the image declares %d tiles, more than its %d bytes of data can hold.",
                      (long long)std::min<uint64_t>(tiles, INT64_MAX), (long long)Data.size());
}

int CodecThreads() {
  static const int threads = int(std::clamp(std::thread::hardware_concurrency(), 1u, 16u));
  return threads;
}

enum TJp2FileType { jtNone, jtJP2, jtCodestream };

constexpr uint8_t JP2Signature[8] = {0x00, 0x00, 0x00, 0x0C, 0x6A, 0x50, 0x20, 0x20};
constexpr uint8_t CodestreamSignature[4] = {0xFF, 0x4F, 0xFF, 0x51};

// Component types: what a component holds.
enum TComponentType : int32_t {
  ctUnspecified = 0,
  ctRed = 1,
  ctGreen = 2,
  ctBlue = 3,
  ctLuminance = 4,
  ctCb = 5,
  ctCr = 6,
  ctOpacity = 7,
};

// One channel of the target pixel format.
struct TChannelInfo {
  int32_t ChannelOffset;
  int32_t ComponentType;
  int64_t SignedShift;
  uint64_t SourceMax;
  uint64_t TargetMax;
};

TJp2FileType DetectFileType(const TIOFunctions& IO, THandle Handle) {
  uint8_t header[8];
  int32_t count = std::max<int32_t>(IO.Read(Handle, header, sizeof header), 0);
  IO.Seek(Handle, -count, smFromCurrent);
  if (count < 8) return jtNone;
  if (std::memcmp(header, JP2Signature, 8) == 0) return jtJP2;
  if (std::memcmp(header, CodestreamSignature, 4) == 0) return jtCodestream;
  return jtNone;
}

// ---------------------------------------------------------------------------
// Messages and memory streams
// ---------------------------------------------------------------------------

struct TMessages {
  std::string Error;
};

void OnError(const char* Message, void* Client) {
  auto* m = static_cast<TMessages*>(Client);
  if (!m->Error.empty()) return;  // the first message names the cause
  m->Error = Message ? Message : "";
  while (!m->Error.empty() && (m->Error.back() == '\n' || m->Error.back() == ' ')) m->Error.pop_back();
}

void OnWarning(const char*, void*) {}

void InstallMessages(opj_codec_t* Codec, TMessages& Messages) {
  opj_set_error_handler(Codec, OnError, &Messages);
  opj_set_warning_handler(Codec, OnWarning, &Messages);
  opj_set_info_handler(Codec, OnWarning, &Messages);
}

// Bytes the decoder reads from, or the encoder writes to (growing).
struct TMemoryBlock {
  std::vector<uint8_t> Data;
  size_t Position = 0;
  // Furthest the decoder read: where the codestream ended for it.
  size_t Reached = 0;
};

OPJ_SIZE_T BlockRead(void* Buffer, OPJ_SIZE_T Count, void* User) {
  auto* b = static_cast<TMemoryBlock*>(User);
  if (b->Position >= b->Data.size()) return OPJ_SIZE_T(-1);
  OPJ_SIZE_T n = std::min<OPJ_SIZE_T>(Count, b->Data.size() - b->Position);
  std::memcpy(Buffer, b->Data.data() + b->Position, n);
  b->Position += n;
  b->Reached = std::max(b->Reached, b->Position);
  return n;
}

OPJ_SIZE_T BlockWrite(void* Buffer, OPJ_SIZE_T Count, void* User) {
  auto* b = static_cast<TMemoryBlock*>(User);
  try {
    if (b->Position + Count > b->Data.size()) b->Data.resize(b->Position + Count);
  } catch (...) {
    return OPJ_SIZE_T(-1);
  }
  std::memcpy(b->Data.data() + b->Position, Buffer, Count);
  b->Position += Count;
  return Count;
}

OPJ_OFF_T BlockSkip(OPJ_OFF_T Count, void* User) {
  auto* b = static_cast<TMemoryBlock*>(User);
  const int64_t target = int64_t(b->Position) + Count;
  if (target < 0) return -1;
  b->Position = size_t(target);
  return Count;
}

OPJ_BOOL BlockSeek(OPJ_OFF_T Position, void* User) {
  auto* b = static_cast<TMemoryBlock*>(User);
  if (Position < 0) return OPJ_FALSE;
  b->Position = size_t(Position);
  return OPJ_TRUE;
}

opj_stream_t* OpenBlockStream(TMemoryBlock& Block, bool Input) {
  opj_stream_t* s = opj_stream_create(OPJ_J2K_STREAM_CHUNK_SIZE, Input ? OPJ_TRUE : OPJ_FALSE);
  if (!s) return nullptr;
  opj_stream_set_user_data(s, &Block, nullptr);
  if (Input) {
    opj_stream_set_user_data_length(s, Block.Data.size());
    opj_stream_set_read_function(s, BlockRead);
  } else {
    opj_stream_set_write_function(s, BlockWrite);
  }
  opj_stream_set_skip_function(s, BlockSkip);
  opj_stream_set_seek_function(s, BlockSeek);
  return s;
}

// Everything OpenJPEG hands out for one load or save, released on every way out.
struct TOpenJpegObjects {
  opj_codec_t* Codec = nullptr;
  opj_stream_t* Stream = nullptr;
  opj_image_t* Image = nullptr;
  ~TOpenJpegObjects() {
    if (Image) opj_image_destroy(Image);
    if (Stream) opj_stream_destroy(Stream);
    if (Codec) opj_destroy_codec(Codec);
  }
};

[[noreturn]] void RaiseOpenJpegError(const TMessages& Messages, const char* What) {
  RaiseImagingError("JPEG 2000 Error: %s failed: %s", What,
                    Messages.Error.empty() ? std::string("no reason given") : Messages.Error);
}

// ---------------------------------------------------------------------------
// Loading
// ---------------------------------------------------------------------------

TImageFormat FormatFor(uint32_t Components, uint32_t Precision) {
  const bool low = Precision >= 1 && Precision <= 8, high = Precision >= 9 && Precision <= 16;
  switch (Components) {
    case 2:
      return low ? fmtA8Gray8 : high ? fmtA16Gray16 : fmtNone;
    case 3:
      return low ? fmtR8G8B8 : high ? fmtR16G16B16 : fmtNone;
    case 4:
      return low ? fmtA8R8G8B8 : high ? fmtA16R16G16B16 : fmtNone;
    default:
      return low ? fmtGray8 : high ? fmtGray16 : Precision >= 17 && Precision <= 32 ? fmtGray32 : fmtNone;
  }
}

// The type of each component as the JP2 channel definitions give it (after
// OpenJPEG has put colour components in association order and flagged
// opacity), or unspecified where the file says nothing (bare codestreams).
// Bare codestreams carry no colour space. Three components whose second and
// third are subsampled and the first is not can only be Y, Cb, Cr (as
// opj_decompress and Pillow take them too).
OPJ_COLOR_SPACE EffectiveColorSpace(const opj_image_t& Image) {
  if (Image.color_space != OPJ_CLRSPC_UNKNOWN && Image.color_space != OPJ_CLRSPC_UNSPECIFIED)
    return Image.color_space;
  if (Image.numcomps == 3 && Image.comps[0].dx == 1 && Image.comps[0].dy == 1 &&
      (Image.comps[1].dx > 1 || Image.comps[1].dy > 1 || Image.comps[2].dx > 1 || Image.comps[2].dy > 1))
    return OPJ_CLRSPC_SYCC;
  return Image.color_space;
}

std::vector<int32_t> ComponentTypes(const opj_image_t& Image, OPJ_COLOR_SPACE Space) {
  std::vector<int32_t> types(Image.numcomps, ctUnspecified);
  int32_t colour = 0;
  for (uint32_t i = 0; i < Image.numcomps; ++i) {
    if (Image.comps[i].alpha) {
      types[i] = ctOpacity;
      continue;
    }
    switch (Space) {
      case OPJ_CLRSPC_SRGB:
        types[i] = colour < 3 ? ctRed + colour : ctUnspecified;
        break;
      case OPJ_CLRSPC_GRAY:
        types[i] = colour < 1 ? ctLuminance : ctUnspecified;
        break;
      case OPJ_CLRSPC_SYCC:
        types[i] = colour < 3 ? ctLuminance + colour : ctUnspecified;
        break;
      default:
        break;
    }
    ++colour;
  }
  return types;
}

// The channel (0 blue, 1 green, 2 red, 3 alpha; 0 gray, 1 alpha) component
// Index of Count components goes to, in a format of Channels channels.
int32_t SlotFor(int32_t Type, int32_t Index, uint32_t Count, int32_t Channels, OPJ_COLOR_SPACE Space) {
  int32_t slot;
  switch (Type) {
    case ctRed:
      slot = 2;
      break;
    case ctGreen:
    case ctCb:
      slot = 1;
      break;
    case ctBlue:
    case ctCr:
      slot = 0;
      break;
    case ctOpacity:
      slot = Channels - 1;
      break;
    case ctLuminance:
      slot = Space == OPJ_CLRSPC_SYCC ? 2 : 0;
      break;
    default:
      slot = -1;
      break;
  }
  if (slot < 0 || slot >= Channels) {
    // By position: R, G, B[, A], or gray[, alpha].
    if (Count == 4)
      slot = Index == 3 ? 3 : 2 - Index;
    else if (Count == 2)
      slot = Index;
    else
      slot = Channels - 1 - Index;
  }
  return slot;
}

// Copies one component into its channel: values shifted to unsigned, scaled
// to the channel's range, and repeated over dx x dy pixels when subsampled.
void CopyComponent(const opj_image_comp_t& Comp, const TChannelInfo& Ch, int32_t BytesPerChannel,
                   int32_t BytesPerPixel, TImageData& Image) {
  auto* bits = static_cast<uint8_t*>(Image.Bits);
  const size_t stride = size_t(Image.Width) * size_t(BytesPerPixel);
  const uint32_t dx = std::max<uint32_t>(Comp.dx, 1), dy = std::max<uint32_t>(Comp.dy, 1);
  const bool scale = Ch.SourceMax != Ch.TargetMax;
  auto store = [&](uint8_t* p, uint64_t v) {
    switch (BytesPerChannel) {
      case 1:
        *p = uint8_t(v);
        break;
      case 2: {
        uint16_t w = uint16_t(v);
        std::memcpy(p, &w, 2);
        break;
      }
      default: {
        uint32_t w = uint32_t(v);
        std::memcpy(p, &w, 4);
        break;
      }
    }
  };
  const uint32_t rows = std::min<uint64_t>(Comp.h, (uint64_t(Image.Height) + dy - 1) / dy);
  const uint32_t cols = std::min<uint64_t>(Comp.w, (uint64_t(Image.Width) + dx - 1) / dx);
  for (uint32_t y = 0; y < rows; ++y) {
    const OPJ_INT32* src = Comp.data + size_t(y) * Comp.w;
    uint8_t* row = bits + size_t(y) * dy * stride + size_t(Ch.ChannelOffset);
    for (uint32_t x = 0; x < cols; ++x) {
      int64_t v = int64_t(src[x]) + Ch.SignedShift;
      uint64_t u = uint64_t(std::clamp<int64_t>(v, 0, int64_t(Ch.SourceMax)));
      if (scale) u = u * Ch.TargetMax / Ch.SourceMax;
      const uint32_t first = x * dx, last = std::min<uint32_t>(first + dx, uint32_t(Image.Width));
      for (uint32_t px = first; px < last; ++px) store(row + size_t(px) * BytesPerPixel, u);
    }
    // The filled row repeated into the next dy - 1 rows, this channel only.
    const uint8_t* filled = row - Ch.ChannelOffset;
    for (uint32_t r = 1; r < dy && y * dy + r < uint32_t(Image.Height); ++r) {
      uint8_t* dst = const_cast<uint8_t*>(filled) + r * stride;
      for (int32_t px = 0; px < Image.Width; ++px)
        std::memcpy(dst + size_t(px) * BytesPerPixel + Ch.ChannelOffset,
                    filled + size_t(px) * BytesPerPixel + Ch.ChannelOffset, size_t(BytesPerChannel));
    }
  }
}

// Y in the red slot, Cb in green, Cr in blue, to R, G, B in place.
template <typename T>
void YCbCrToRGB(TImageData& Image, int32_t Channels) {
  constexpr double Max = std::numeric_limits<T>::max();
  constexpr double Mid = Max > 255 ? 32768.0 : 128.0;
  auto* p = static_cast<T*>(Image.Bits);
  const size_t count = size_t(Image.Width) * size_t(Image.Height);
  auto clampRound = [&](double v) { return T(std::clamp<double>(std::nearbyint(v), 0.0, Max)); };
  for (size_t i = 0; i < count; ++i, p += Channels) {
    const double y = p[2], cb = p[1] - Mid, cr = p[0] - Mid;
    p[2] = clampRound(y + 1.402 * cr);
    p[1] = clampRound(y - 0.34414 * cb - 0.71414 * cr);
    p[0] = clampRound(y + 1.772 * cb);
  }
}

// ---------------------------------------------------------------------------
// Saving
// ---------------------------------------------------------------------------

// Resolutions of the wavelet transform: 6, fewer for images too small for
// six (each level halves the smaller side).
uint32_t ResolutionsFor(int32_t Width, int32_t Height) {
  uint32_t levels = 6;
  while (levels > 1 && (uint32_t(std::min(Width, Height)) >> (levels - 1)) == 0) --levels;
  return levels;
}

}  // namespace

// ---------------------------------------------------------------------------
// TJpeg2000FileFormat
// ---------------------------------------------------------------------------

TJpeg2000FileFormat::TJpeg2000FileFormat() {
  FName = "JPEG 2000 Image";
  FCanLoad = true;
  FCanSave = true;
  FIsMultiImageFormat = false;
  FSupportedFormats = TImageFormats{fmtGray8,  fmtA8Gray8,  fmtGray16,    fmtA16Gray16,
                                    fmtR8G8B8, fmtA8R8G8B8, fmtR16G16B16, fmtA16R16G16B16};
  SetMaskList("*.jp2,*.j2k,*.j2c,*.jpx,*.jpc");
  FQuality = 80;
  FCodeStreamOnly = 0;
  FLosslessCompression = 0;
  RegisterOptionVariable(OptJpeg2000Quality, &FQuality);
  RegisterOptionVariable(OptJpeg2000CodeStreamOnly, &FCodeStreamOnly);
  RegisterOptionVariable(OptJpeg2000Lossless, &FLosslessCompression);
}

void TJpeg2000FileFormat::CheckOptionsValidity() {
  if (uint32_t(FQuality) - 1u > 99u) FQuality = 80;
}

bool TJpeg2000FileFormat::TestFormat(THandle Handle) {
  return Handle && DetectFileType(CurrentIOTable(), Handle) != jtNone;
}

void TJpeg2000FileFormat::ConvertToAccepted(TImageData& Image, const TImageFormatInfo& Info) {
  TImageFormat target;
  if (Info.IsFloatingPoint)
    target = Info.ChannelCount == 1 ? fmtGray16 : fmtA16R16G16B16;
  else if (Info.HasGrayChannel)
    target = Info.HasAlphaChannel ? fmtA16Gray16 : fmtGray16;
  else if (Info.IsIndexed)
    target = fmtA8R8G8B8;
  else if (Info.ChannelCount > 0 && Info.BytesPerPixel / Info.ChannelCount < 2)
    target = Info.HasAlphaChannel ? fmtA8R8G8B8 : fmtR8G8B8;
  else
    target = Info.HasAlphaChannel ? fmtA16R16G16B16 : fmtR16G16B16;
  ChangeImageFormat(Image, target);
}

float TJpeg2000FileFormat::QualityToRate(int32_t Quality, int32_t Width, int32_t Height, int32_t BytesPerPixel,
                                         int32_t Channels) {
  const float raw = float(Width) * float(Height) * float(BytesPerPixel);
  const float d = float(115 - Quality);
  const float target = raw * (100.0f / (d * d)) + 550.0f + 142.0f * float(Channels - 1);
  return 1.0f / (target / raw);
}

bool TJpeg2000FileFormat::ReadImages(THandle Handle, TDynImageDataArray& Images, bool) {
  const TIOFunctions io = CurrentIOTable();
  const TJp2FileType type = DetectFileType(io, Handle);
  if (type == jtNone) return false;

  // The rest of the stream into one block.
  const int32_t start = io.Tell(Handle);
  const int64_t available = int64_t(MeasureHandleSize(io, Handle)) - start;
  if (available <= 0) return false;
  TMemoryBlock block;
  block.Data.resize(size_t(available));
  const int32_t got = io.Read(Handle, block.Data.data(), int32_t(available));
  block.Data.resize(size_t(std::max(got, 0)));

  TMessages messages;
  TOpenJpegObjects o;
  o.Codec = opj_create_decompress(type == jtJP2 ? OPJ_CODEC_JP2 : OPJ_CODEC_J2K);
  if (!o.Codec) return false;
  InstallMessages(o.Codec, messages);
  opj_dparameters_t params;
  opj_set_default_decoder_parameters(&params);
  if (!opj_setup_decoder(o.Codec, &params)) RaiseOpenJpegError(messages, "Decoder set-up");
  opj_codec_set_threads(o.Codec, CodecThreads());
  CheckTileCount(block.Data);
  o.Stream = OpenBlockStream(block, true);
  if (!o.Stream) return false;
  if (!opj_read_header(o.Stream, o.Codec, &o.Image) || !o.Image) RaiseOpenJpegError(messages, "Reading the header");

  // Sizes are checked before anything is decoded: the image, and the
  // decoder's own 32-bit sample buffers for every component.
  const opj_image_t& hdr = *o.Image;
  if (hdr.numcomps == 0 || hdr.x1 <= hdr.x0 || hdr.y1 <= hdr.y0 || hdr.x1 - hdr.x0 > uint32_t(INT32_MAX) ||
      hdr.y1 - hdr.y0 > uint32_t(INT32_MAX))
    RaiseImagingError("JPEG 2000 image has invalid dimensions.");
  const int64_t width = hdr.x1 - hdr.x0, height = hdr.y1 - hdr.y0;
  const TImageFormat format = FormatFor(hdr.numcomps, hdr.comps[0].prec);
  if (format == fmtNone) return false;
  TImageFormatInfo info;
  QueryFormatInfo(format, info);
  const int32_t n = info.ChannelCount, b = info.BytesPerPixel / info.ChannelCount;
  int64_t samples = 0;
  for (uint32_t i = 0; i < hdr.numcomps; ++i) {
    const opj_image_comp_t& c = hdr.comps[i];
    if (c.dx == 0 || c.dy == 0) RaiseImagingError("JPEG 2000 image has invalid dimensions.");
    samples += ((width + c.dx - 1) / c.dx) * ((height + c.dy - 1) / c.dy);
  }
  if (width * height * info.BytesPerPixel > MaxImageSize || samples * 4 > MaxImageSize)
    RaiseImagingError("JPEG 2000 image of %d x %d pixels in %d components is too large.", width, height,
                      int64_t(hdr.numcomps));
  for (int32_t i = 0; i < n; ++i)
    if (hdr.comps[i].prec < 1 || hdr.comps[i].prec > 32) return false;

  if (!opj_decode(o.Codec, o.Stream, o.Image)) RaiseOpenJpegError(messages, "Decoding");
  if (!opj_end_decompress(o.Codec, o.Stream)) RaiseOpenJpegError(messages, "Decoding");
  const opj_image_t& img = *o.Image;
  for (int32_t i = 0; i < n; ++i)
    if (!img.comps[i].data || img.comps[i].w == 0 || img.comps[i].h == 0) RaiseOpenJpegError(messages, "Decoding");

  Images.resize(1);
  TImageData& image = Images[0];
  if (!CreateImage(int32_t(width), int32_t(height), format, image)) return false;
  const OPJ_COLOR_SPACE space = EffectiveColorSpace(img);
  const std::vector<int32_t> types = ComponentTypes(img, space);
  for (int32_t i = 0; i < n; ++i) {
    const opj_image_comp_t& c = img.comps[i];
    TChannelInfo ch;
    ch.ComponentType = types[size_t(i)];
    ch.ChannelOffset = SlotFor(ch.ComponentType, i, img.numcomps, n, space) * b;
    ch.SignedShift = c.sgnd ? int64_t(1) << (c.prec - 1) : 0;
    ch.SourceMax = c.prec >= 64 ? ~uint64_t(0) : (uint64_t(1) << c.prec) - 1;
    ch.TargetMax = (uint64_t(1) << (8 * b)) - 1;
    CopyComponent(c, ch, b, info.BytesPerPixel, image);
  }
  if (space == OPJ_CLRSPC_SYCC && (n == 3 || n == 4)) {
    if (b == 1)
      YCbCrToRGB<uint8_t>(image, n);
    else
      YCbCrToRGB<uint16_t>(image, n);
  }
  // The stream stands right behind what the decoder consumed.
  io.Seek(Handle, start + int32_t(std::min<size_t>(block.Reached, size_t(got))), smFromBeginning);
  return true;
}

bool TJpeg2000FileFormat::WriteImages(THandle Handle, const TDynImageDataArray& Images, int32_t Index) {
  const TIOFunctions io = CurrentIOTable();
  TCompatibleImage compatible;
  if (!MakeCompatible(Images[size_t(Index)], compatible)) return false;
  const TImageData& image = compatible.Image;
  TImageFormatInfo info;
  QueryFormatInfo(image.Format, info);
  const int32_t n = info.ChannelCount, b = info.BytesPerPixel / n;

  std::vector<opj_image_cmptparm_t> parms(static_cast<size_t>(n));
  for (opj_image_cmptparm_t& p : parms) {
    std::memset(&p, 0, sizeof p);
    p.dx = p.dy = 1;
    p.w = uint32_t(image.Width);
    p.h = uint32_t(image.Height);
    p.prec = uint32_t(8 * b);
    p.sgnd = 0;
  }
  TOpenJpegObjects o;
  o.Image = opj_image_create(uint32_t(n), parms.data(), info.HasGrayChannel ? OPJ_CLRSPC_GRAY : OPJ_CLRSPC_SRGB);
  if (!o.Image) RaiseImagingError("JPEG 2000 Error: not enough memory for the image.");
  o.Image->x0 = o.Image->y0 = 0;
  o.Image->x1 = uint32_t(image.Width);
  o.Image->y1 = uint32_t(image.Height);
  // The last component of a format with alpha is opacity (the JP2 channel
  // definitions are written from this flag); the others follow the colour
  // space in order.
  if (info.HasAlphaChannel) o.Image->comps[n - 1].alpha = 1;

  // Components R, G, B[, A] or gray[, A] from memory B, G, R[, A].
  const auto* bits = static_cast<const uint8_t*>(image.Bits);
  const size_t pixels = size_t(image.Width) * size_t(image.Height);
  for (int32_t k = 0; k < n; ++k) {
    const int32_t slot = info.HasAlphaChannel ? (k == n - 1 ? k : n - k - 2) : n - 1 - k;
    OPJ_INT32* dst = o.Image->comps[k].data;
    const uint8_t* src = bits + size_t(slot) * size_t(b);
    if (b == 1) {
      for (size_t i = 0; i < pixels; ++i, src += info.BytesPerPixel) dst[i] = *src;
    } else {
      for (size_t i = 0; i < pixels; ++i, src += info.BytesPerPixel) {
        uint16_t v;
        std::memcpy(&v, src, 2);
        dst[i] = v;
      }
    }
  }

  opj_cparameters_t params;
  opj_set_default_encoder_parameters(&params);
  params.cp_disto_alloc = 1;
  params.tcp_numlayers = 1;
  params.numresolution = int(ResolutionsFor(image.Width, image.Height));
  params.tcp_rates[0] =
      FLosslessCompression ? 0.0f : QualityToRate(FQuality, image.Width, image.Height, info.BytesPerPixel, n);
  // A ratio below 1 asks for more bytes than the raw samples: lossless.
  if (params.tcp_rates[0] < 1.0f) params.tcp_rates[0] = 0.0f;
  params.cod_format = FCodeStreamOnly ? 0 : 1;

  TMessages messages;
  o.Codec = opj_create_compress(FCodeStreamOnly ? OPJ_CODEC_J2K : OPJ_CODEC_JP2);
  if (!o.Codec) return false;
  InstallMessages(o.Codec, messages);
  if (!opj_setup_encoder(o.Codec, &params, o.Image)) RaiseOpenJpegError(messages, "Encoder set-up");
  opj_codec_set_threads(o.Codec, CodecThreads());
  TMemoryBlock out;
  o.Stream = OpenBlockStream(out, false);
  if (!o.Stream) return false;
  if (!opj_start_compress(o.Codec, o.Image, o.Stream) || !opj_encode(o.Codec, o.Stream) ||
      !opj_end_compress(o.Codec, o.Stream))
    RaiseOpenJpegError(messages, "Encoding");
  // The stream object holds the last bytes until it is destroyed.
  opj_stream_destroy(o.Stream);
  o.Stream = nullptr;
  const size_t size = out.Data.size();
  if (size > size_t(INT32_MAX)) RaiseImagingError("JPEG 2000 Error: the codestream is too large.");
  if (io.Write(Handle, out.Data.data(), int32_t(size)) != int32_t(size))
    RaiseImagingError("JPEG 2000 Error: writing %d bytes failed.", int64_t(size));
  return true;
}

}  // namespace Imaging
