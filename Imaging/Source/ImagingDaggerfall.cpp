// Daggerfall picture handlers.
//
// Every file is little-endian and palette-indexed. IMG files and CIF
// records start with a 12-byte picture header (unused dword, width, height,
// compression, data size); compression 2 is run-length coding: a control
// byte below 0x80 copies the next control + 1 bytes, any other repeats the
// next byte control - 127 times. A number of game files carry no header and
// are recognised by their exact size.
//
// Readers check every read: a damaged file fails with an error instead of
// giving pictures with stale pixels, and coded rows that do not advance end
// their row.
#include "ImagingDaggerfall.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace Imaging {

namespace {

constexpr int32_t PictureHeaderSize = 12;
constexpr int32_t GroupHeaderSize = 76;
constexpr int32_t GroupFrameSlots = 31;
constexpr int32_t MaxSavedPixels = 65535;
constexpr uint16_t CompressionRLE = 2;
constexpr uint16_t CompressionGrouped = 21;

constexpr int32_t TextureHeaderSize = 26;
constexpr int32_t TextureNameSize = 24;
constexpr int32_t TextureEntrySize = 20;
constexpr int32_t TextureRecordHeaderSize = 28;
constexpr int32_t TextureRowStride = 256;
constexpr int32_t SolidTextureArchiveSize = 2586;
constexpr int32_t MaxTextureFrames = 64;
constexpr int32_t MaxTextureRows = 256;
constexpr uint16_t RowCoded = 0x8000;

constexpr int32_t SkyPaletteCount = 32;
constexpr int32_t SkyPaletteRecordSize = 776;
constexpr int32_t SkyPictureCount = 64;
constexpr int32_t SkyWidth = 512;
constexpr int32_t SkyHeight = 220;
constexpr int32_t SkyPixelsOffset = 549120;
constexpr uint8_t SkySignature[6] = {0x08, 0x03, 0x00, 0x00, 0x23, 0xB1};

// The game palette (red, green, blue).
constexpr uint32_t DefaultPalette[256] = {
    0x000000, 0xFF00FF, 0xFF00FF, 0xFF00FF, 0xFF00FF, 0xFF00FF, 0xFF00FF, 0xFF00FF,
    0xFF00FF, 0xFF00FF, 0xFF00FF, 0xFF00FF, 0xFF00FF, 0xFF00FF, 0xFF00FF, 0xFF00FF,
    0xFF00FF, 0xFF00FF, 0xFF00FF, 0xFF00FF, 0xFF00FF, 0xFF00FF, 0xFF00FF, 0xFF00FF,
    0xFF00FF, 0xFF00FF, 0xFF00FF, 0xFF00FF, 0xFF00FF, 0xFF00FF, 0xFF00FF, 0xFF00FF,
    0xF4CAA7, 0xE3B490, 0xCF9876, 0xC18564, 0xB47150, 0xA56446, 0x985D3F, 0x8C5637,
    0x814F30, 0x7A4B2B, 0x704628, 0x674027, 0x5B4326, 0x4F3F2B, 0x423629, 0x363228,
    0xE8C4C4, 0xDCB1B1, 0xCC9D9D, 0xBC8A8A, 0xAF7A7A, 0x9B696A, 0x8F5E61, 0x7E5159,
    0x6D4858, 0x654455, 0x563D4D, 0x4B3747, 0x43333F, 0x3F2F38, 0x382D34, 0x2E2C2E,
    0xF5D4AC, 0xE5C196, 0xD5AE80, 0xC49A69, 0xB78C58, 0xAD7F4E, 0xA0764A, 0x976E45,
    0x866741, 0x7B5C3C, 0x6D5536, 0x604C33, 0x53472C, 0x453F2A, 0x3D3626, 0x322D22,
    0xCDCDE0, 0xBCBCC7, 0xA5A5AE, 0x91919F, 0x878795, 0x7A7A89, 0x72727F, 0x676774,
    0x5E5E6D, 0x555560, 0x4B4B55, 0x444450, 0x3D3D43, 0x35353B, 0x303032, 0x2C2C2D,
    0xB0CDFF, 0x93B9F4, 0x7BA4E6, 0x6898D9, 0x5789CD, 0x447CC0, 0x4470B3, 0x3E69A7,
    0x37619A, 0x315A8E, 0x2D527A, 0x334D66, 0x344557, 0x323E49, 0x2F3B3C, 0x2C3031,
    0xDCDCDC, 0xC5C5C5, 0xB9B9B9, 0xAEAEAE, 0xA2A2A2, 0x939393, 0x848484, 0x777777,
    0x6E6E6E, 0x636363, 0x575757, 0x4E4E4E, 0x434343, 0x3A3A3A, 0x333333, 0x2C2C2C,
    0xB6DAE3, 0x9ECACA, 0x86BBBB, 0x6DAAAA, 0x579A9A, 0x4D8E8E, 0x468787, 0x3E7C7C,
    0x367070, 0x2E6767, 0x275B5B, 0x285353, 0x2D4848, 0x2F3F3F, 0x323737, 0x2D3030,
    0xFFF667, 0xF1EE2D, 0xE2DC00, 0xD4CB00, 0xC5B900, 0xB7A800, 0xA89600, 0x9A8500,
    0x8B7300, 0x7F6A04, 0x746107, 0x68570B, 0x5D4E0E, 0x514512, 0x453C15, 0x3A3319,
    0xCADDC4, 0xAFC8A8, 0x94B08D, 0x7B9C76, 0x6B906D, 0x5D825E, 0x527456, 0x4D6E4E,
    0x446343, 0x3D5935, 0x344D2D, 0x2E4425, 0x273C27, 0x1E371E, 0x223322, 0x282F28,
    0xB36B53, 0xAF5F4B, 0xAF5743, 0xA34F3B, 0x9B4B33, 0x93472F, 0x9B5B2F, 0x8B532B,
    0x7F4B27, 0x734323, 0x633F1F, 0x57371B, 0x4B2F17, 0x3B2713, 0x2F1F0F, 0x23170B,
    0xD8E3A2, 0xB9CD7F, 0x9FB765, 0x82A24D, 0x6D9242, 0x65893C, 0x5C7F36, 0x547630,
    0x4C6C2A, 0x416225, 0x355722, 0x334B23, 0x2D4025, 0x2B3827, 0x263328, 0x2B2E2D,
    0xB3734F, 0xAF6F4B, 0xAB6B47, 0xA76743, 0x9F633F, 0x9B5F3B, 0x975B37, 0x8F5733,
    0x282828, 0x262626, 0x232323, 0x1F1F1F, 0x1B1B1B, 0x171717, 0x131313, 0x0F0F0F,
    0xFEFFC7, 0xFEF5B9, 0xFEEBAA, 0xFEE19C, 0xFFD78D, 0xFFCD7F, 0xFFC370, 0xFFB962,
    0xFFAF53, 0xF1A736, 0xEA9B32, 0xE28F2E, 0xDB832B, 0xD47727, 0xCD6B23, 0xC65F1F,
    0xBE541B, 0xB74817, 0xB03C13, 0xA9300F, 0xA2240C, 0x9A1808, 0x930C04, 0x821600,
    0x6F2200, 0x662101, 0x5C2103, 0x53200A, 0x4A271B, 0x412921, 0x392B27, 0x302D2D,
};

struct TSpecialSize {
  int32_t Size, Width, Height;
};

// Headerless single pictures by file size.
constexpr TSpecialSize ImgSizes[] = {
    {64, 8, 8},       {90, 9, 10},      {128, 8, 16},     {720, 9, 80},       {990, 45, 22},
    {1720, 43, 40},   {2140, 107, 20},  {2916, 81, 36},   {3200, 40, 80},     {3938, 179, 22},
    {4096, 64, 64},   {4280, 107, 40},  {4508, 322, 14},  {20480, 320, 64},   {26496, 184, 144},
    {64000, 320, 200}, {64768, 320, 200}, {68800, 320, 215}, {112128, 512, 219}};

// Headerless picture sets by file size: pictures of one size back to back.
constexpr TSpecialSize CifSizes[] = {{2601, 17, 17},  {3168, 44, 9},    {4356, 22, 22},  {10752, 32, 16},
                                     {49152, 64, 64}, {249856, 64, 64}, {2060295, 64, 64}};

template <size_t N>
const TSpecialSize* FindSize(const TSpecialSize (&Table)[N], int32_t Size) {
  for (const TSpecialSize& s : Table)
    if (s.Size == Size) return &s;
  return nullptr;
}

uint16_t Get16(const uint8_t* P) { return uint16_t(P[0] | (P[1] << 8)); }
uint32_t Get32(const uint8_t* P) { return uint32_t(P[0]) | (uint32_t(P[1]) << 8) | (uint32_t(P[2]) << 16) | (uint32_t(P[3]) << 24); }
void Put16(uint8_t* P, uint32_t V) {
  P[0] = uint8_t(V);
  P[1] = uint8_t(V >> 8);
}

struct TPictureHeader {
  uint16_t Width = 0, Height = 0, Compression = 0, DataSize = 0;
};

TPictureHeader ParsePictureHeader(const uint8_t* B) {
  return TPictureHeader{Get16(B + 4), Get16(B + 6), Get16(B + 8), Get16(B + 10)};
}

TPictureHeader ReadPictureHeader(Elder::TReader& Reader) {
  uint8_t b[PictureHeaderSize];
  Reader.Read(b, PictureHeaderSize);
  return ParsePictureHeader(b);
}

// Run-length decoding into Count pixels; stops when the picture is full or
// the coded bytes run out (the rest of the picture is left as it is).
void DecodeRLE(const uint8_t* Src, size_t SrcSize, uint8_t* Dst, size_t Count) {
  size_t in = 0, out = 0;
  while (out < Count && in < SrcSize) {
    uint8_t b = Src[in++];
    if (b < 0x80) {
      size_t n = std::min({size_t(b) + 1, SrcSize - in, Count - out});
      std::memcpy(Dst + out, Src + in, n);
      in += size_t(b) + 1;
      out += n;
    } else {
      if (in >= SrcSize) break;
      size_t n = std::min(size_t(b) - 127, Count - out);
      std::memset(Dst + out, Src[in++], n);
      out += n;
    }
  }
}

// Reads Count coded bytes and decodes them into the picture.
void ReadRLE(Elder::TReader& Reader, int64_t Count, TImageData& Picture) {
  std::vector<uint8_t> coded(size_t(std::max<int64_t>(Count, 0)));
  Reader.Read(coded.data(), int64_t(coded.size()));
  DecodeRLE(coded.data(), coded.size(), static_cast<uint8_t*>(Picture.Bits), size_t(Picture.Size));
}

void SetPictureSize(uint8_t* Header, int32_t Width, int32_t Height) {
  std::memset(Header, 0, PictureHeaderSize);
  Put16(Header + 4, uint32_t(Width));
  Put16(Header + 6, uint32_t(Height));
  Put16(Header + 10, uint32_t(Width * Height));
}

// Writes one picture with a header and raw pixels; raises Message when the
// picture is too large for the 16-bit data size.
bool WritePicture(const TIOFunctions& IO, THandle Handle, const TImageData& Image, const char* Message) {
  if (int64_t(Image.Width) * Image.Height > MaxSavedPixels) RaiseImagingError(Message, DescribeImage(Image));
  uint8_t header[PictureHeaderSize];
  SetPictureSize(header, Image.Width, Image.Height);
  return IO.Write(Handle, header, PictureHeaderSize) == PictureHeaderSize &&
         IO.Write(Handle, Image.Bits, Image.Size) == Image.Size;
}

}  // namespace

// ---------------------------------------------------------------------------
// Shared reading helpers
// ---------------------------------------------------------------------------

namespace Elder {

void ConvertPalette(const uint8_t* Rgb, int32_t Bytes, TColor32Rec* Target, bool TransparentZero) {
  uint8_t full[768] = {};
  if (Bytes > 0) std::memcpy(full, Rgb, size_t(std::min(Bytes, 768)));
  for (int32_t i = 0; i < 256; ++i)
    Target[i] = Color32(i == 0 && TransparentZero ? 0 : 255, full[i * 3], full[i * 3 + 1], full[i * 3 + 2]);
}

// Picture memory a load may take: enough for every real game file, and a
// bounded multiple of the data beyond that.
constexpr int64_t BaseBudget = int64_t(8) << 20;
constexpr int64_t BudgetPerByte = 64;

TReader::TReader(THandle Handle, const char* What)
    : FIO(CurrentIOTable()), FHandle(Handle), FWhat(What), FSize(std::max(MeasureHandleSize(FIO, Handle), 0)),
      FBudget(BaseBudget + BudgetPerByte * int64_t(FSize)) {}

int32_t TReader::Tell() const { return FIO.Tell(FHandle); }

void TReader::Seek(int64_t Position) { FIO.Seek(FHandle, int32_t(std::clamp<int64_t>(Position, 0, FSize)), smFromBeginning); }

void TReader::RaiseTruncated(int64_t Needed) const {
  RaiseImagingError("%s data is truncated: %d bytes needed at offset %d, %d present.", FWhat, (long long)Needed,
                    (long long)Tell(), (long long)std::max(Remaining(), 0));
}

void TReader::Read(void* Buffer, int64_t Count) {
  if (Count <= 0) return;
  if (Count > Remaining()) RaiseTruncated(Count);
  if (FIO.Read(FHandle, Buffer, int32_t(Count)) != Count) RaiseTruncated(Count);
}

int32_t TReader::ReadUpTo(void* Buffer, int32_t Count) { return std::max(FIO.Read(FHandle, Buffer, Count), 0); }

uint8_t TReader::ReadByte() {
  uint8_t b;
  Read(&b, 1);
  return b;
}

uint16_t TReader::ReadWord() {
  uint8_t b[2];
  Read(b, 2);
  return Get16(b);
}

TImageData& TReader::AddPicture(TDynImageDataArray& Images, int64_t Width, int64_t Height, TImageFormat Format,
                                const TColor32Rec* Palette) {
  if (Width <= 0 || Height <= 0 || Width > 65535 || Height > 65535)
    RaiseImagingError("%s picture has invalid dimensions %d x %d.", FWhat, (long long)Width, (long long)Height);
  const int64_t bytes = ImageBytesFor(Format, int32_t(Width), int32_t(Height));
  if (bytes > FBudget)
    RaiseImagingError("%s pictures need more memory than %d bytes of data can describe.", FWhat, (long long)FSize);
  FBudget -= bytes;
  TImageData image;
  if (!CreateImage(int32_t(Width), int32_t(Height), Format, image))
    RaiseImagingError("%s picture of %d x %d could not be created.", FWhat, (long long)Width, (long long)Height);
  if (Palette && image.Palette) std::memcpy(image.Palette, Palette, sizeof(TColor32Rec) * 256);
  Images.push_back(image);
  return Images.back();
}

}  // namespace Elder

// ---------------------------------------------------------------------------
// TElderFileFormat
// ---------------------------------------------------------------------------

TElderFileFormat::TElderFileFormat() {
  FCanLoad = true;
  FCanSave = true;
  FIsMultiImageFormat = true;
  uint8_t rgb[768];
  for (int32_t i = 0; i < 256; ++i) {
    rgb[i * 3] = uint8_t(DefaultPalette[i] >> 16);
    rgb[i * 3 + 1] = uint8_t(DefaultPalette[i] >> 8);
    rgb[i * 3 + 2] = uint8_t(DefaultPalette[i]);
  }
  SetPalette(rgb);
}

void TElderFileFormat::SetPalette(const uint8_t* Rgb) {
  std::memcpy(FPalette.data(), Rgb, FPalette.size());
  Elder::ConvertPalette(FPalette.data(), int32_t(FPalette.size()), FARGBPalette.data(), true);
}

bool TElderFileFormat::AcceptsImage(const TImageData& Image) const {
  return Image.Format == fmtIndex8 && Image.Palette &&
         std::memcmp(Image.Palette, FARGBPalette.data(), sizeof(TColor32Rec) * 256) == 0;
}

void TElderFileFormat::ConvertToAccepted(TImageData& Image, const TImageFormatInfo&) {
  if (!FCanSave) return;
  const int64_t w = Image.Width, h = Image.Height;
  if (w * h > MaxSavedPixels) {
    // Fit into a 320 x 200 box (200 x 320 for portrait pictures), keeping
    // the aspect ratio.
    const int64_t bw = w > h ? 320 : 200, bh = w > h ? 200 : 320;
    int64_t nw, nh;
    if (w * bh < h * bw) {
      nw = w * bh / h;
      nh = bh;
    } else {
      nw = bw;
      nh = h * bw / w;
    }
    ScaleImage(Image, int32_t(std::max<int64_t>(nw, 1)), int32_t(std::max<int64_t>(nh, 1)), rfBilinear);
  }
  MapToPalette(Image, FARGBPalette.data(), 256);
}

bool TElderFileFormat::TestFormat(THandle Handle) {
  if (!Handle) return false;
  TIOFunctions io = CurrentIOTable();
  const int32_t size = MeasureHandleSize(io, Handle);
  if (FindSize(ImgSizes, size)) return !FIsMultiImageFormat;
  if (FindSize(CifSizes, size)) return FIsMultiImageFormat;
  uint8_t b[PictureHeaderSize] = {};
  int32_t got = io.Read(Handle, b, PictureHeaderSize);
  if (got > 0) io.Seek(Handle, -got, smFromCurrent);
  const TPictureHeader h = ParsePictureHeader(b);
  const int64_t pixels = int64_t(h.Width) * h.Height;
  const bool plausible =
      got > 0 && pixels >= h.DataSize && pixels <= MaxSavedPixels && h.DataSize && h.Width && h.Height;
  const int64_t total = int64_t(h.DataSize) + PictureHeaderSize;
  return plausible && (FIsMultiImageFormat ? size > total : size == total);
}

// ---------------------------------------------------------------------------
// IMG
// ---------------------------------------------------------------------------

TIMGFileFormat::TIMGFileFormat() {
  FName = "Daggerfall Image";
  FIsMultiImageFormat = false;
  SetMaskList("*.img");
}

bool TIMGFileFormat::ReadImages(THandle Handle, TDynImageDataArray& Images, bool) {
  Elder::TReader reader(Handle, "Daggerfall IMG");
  int64_t width, height;
  bool coded = false;
  uint16_t dataSize = 0;
  if (const TSpecialSize* s = FindSize(ImgSizes, reader.Size())) {
    width = s->Width;
    height = s->Height;
  } else {
    const TPictureHeader h = ReadPictureHeader(reader);
    // Compressions 0x0104 and 0x0108 are not readable.
    if (h.Compression == 0x0104 || h.Compression == 0x0108) return false;
    width = h.Width;
    height = h.Height;
    coded = h.Compression == CompressionRLE;
    dataSize = h.DataSize;
  }
  // Raw pixels must all be there before the picture is made.
  if (!coded && width * height > reader.Remaining()) reader.RaiseTruncated(width * height);
  TImageData& picture = reader.AddPicture(Images, width, height, fmtIndex8, FARGBPalette.data());
  if (coded)
    ReadRLE(reader, dataSize, picture);
  else
    reader.Read(picture.Bits, picture.Size);

  // A palette of its own follows the pixels when it ends the file exactly.
  if (int64_t(reader.Tell()) + 768 == reader.Size()) {
    uint8_t rgb[768];
    reader.Read(rgb, 768);
    Elder::ConvertPalette(rgb, 768, picture.Palette, true);
  }
  return true;
}

bool TIMGFileFormat::WriteImages(THandle Handle, const TDynImageDataArray& Images, int32_t Index) {
  TCompatibleImage compatible;
  if (!MakeCompatible(Images[size_t(Index)], compatible)) return false;
  return WritePicture(CurrentIOTable(), Handle, compatible.Image,
                      "Size of image in IMG format cannot exceed 65535 bytes. %s");
}

// ---------------------------------------------------------------------------
// CIF and RCI
// ---------------------------------------------------------------------------

namespace {

enum TCifLayout { clPlain, clGroupedWithLeader, clGrouped };

// Looks at the first record (the position is restored): a compression of 21
// marks a grouped file, and a group header whose first frame offset is 76
// right after the first picture marks a grouped file with a leading picture.
TCifLayout DetectCifLayout(Elder::TReader& Reader) {
  const int32_t start = Reader.Tell();
  const TPictureHeader first = ReadPictureHeader(Reader);
  TCifLayout layout = clPlain;
  if (first.Compression == CompressionGrouped) {
    layout = clGrouped;
  } else if (int64_t(Reader.Tell()) + first.DataSize < Reader.Size()) {
    Reader.Seek(int64_t(Reader.Tell()) + first.DataSize);
    uint8_t group[GroupHeaderSize];
    if (Reader.ReadUpTo(group, GroupHeaderSize) >= 14 && Get16(group + 12) == GroupHeaderSize)
      layout = clGroupedWithLeader;
  }
  Reader.Seek(start);
  return layout;
}

// Reads one group of run-length coded frames of one size. Returns false
// when the caller wants no more pictures, or when the group's total size of
// 0 gives no way to the next group (such a group ends the file).
bool ReadCifGroup(Elder::TReader& Reader, TDynImageDataArray& Images, const TColor32Rec* Palette, bool OnlyFirst) {
  const int64_t g = Reader.Tell();
  uint8_t b[GroupHeaderSize];
  Reader.Read(b, GroupHeaderSize);
  const uint16_t width = Get16(b), height = Get16(b + 2), total = Get16(b + 74);
  for (int32_t i = 0; i < GroupFrameSlots; ++i) {
    const int32_t offset = Get16(b + 12 + i * 2);
    if (offset == 0) break;
    const int32_t next = i + 1 < GroupFrameSlots ? Get16(b + 12 + (i + 1) * 2) : 0;
    int32_t length = next - offset;
    if (length < 0) length = total - offset;
    Reader.Seek(g + offset);
    TImageData& picture = Reader.AddPicture(Images, width, height, fmtIndex8, Palette);
    ReadRLE(Reader, length, picture);
    if (OnlyFirst) return false;
  }
  if (total == 0) return false;
  Reader.Seek(g + total);
  return true;
}

}  // namespace

TCIFFileFormat::TCIFFileFormat() {
  FName = "Daggerfall MultiImage";
  SetMaskList("*.cif,*.rci");
}

bool TCIFFileFormat::ReadImages(THandle Handle, TDynImageDataArray& Images, bool OnlyFirstLevel) {
  Elder::TReader reader(Handle, "Daggerfall CIF");
  if (const TSpecialSize* s = FindSize(CifSizes, reader.Size())) {
    const int64_t bytes = int64_t(s->Width) * s->Height;
    while (int64_t(reader.Tell()) + bytes <= reader.Size()) {
      TImageData& picture = reader.AddPicture(Images, s->Width, s->Height, fmtIndex8, FARGBPalette.data());
      reader.Read(picture.Bits, picture.Size);
      if (OnlyFirstLevel) break;
    }
  } else {
    const TCifLayout layout = DetectCifLayout(reader);
    if (layout == clPlain) {
      while (!reader.AtEnd()) {
        const TPictureHeader h = ReadPictureHeader(reader);
        if (h.Compression != CompressionRLE && h.DataSize > reader.Remaining()) reader.RaiseTruncated(h.DataSize);
        TImageData& picture = reader.AddPicture(Images, h.Width, h.Height, fmtIndex8, FARGBPalette.data());
        if (h.Compression == CompressionRLE) {
          ReadRLE(reader, h.DataSize, picture);
        } else {
          // Raw data: the first width x height bytes are the pixels, a
          // shorter record leaves the rest 0.
          std::vector<uint8_t> data(h.DataSize);
          reader.Read(data.data(), h.DataSize);
          if (!data.empty())
            std::memcpy(picture.Bits, data.data(), std::min<size_t>(data.size(), size_t(picture.Size)));
        }
        if (OnlyFirstLevel) break;
      }
    } else {
      bool more = true;
      if (layout == clGroupedWithLeader) {
        const TPictureHeader h = ReadPictureHeader(reader);
        if (int64_t(h.Width) * h.Height > reader.Remaining()) reader.RaiseTruncated(int64_t(h.Width) * h.Height);
        TImageData& picture = reader.AddPicture(Images, h.Width, h.Height, fmtIndex8, FARGBPalette.data());
        reader.Read(picture.Bits, picture.Size);
        more = !OnlyFirstLevel;
      }
      while (more && !reader.AtEnd()) more = ReadCifGroup(reader, Images, FARGBPalette.data(), OnlyFirstLevel);
    }
  }
  return true;
}

bool TCIFFileFormat::WriteImages(THandle Handle, const TDynImageDataArray& Images, int32_t) {
  TIOFunctions io = CurrentIOTable();
  for (int32_t i = FFirstIdx; i <= FLastIdx; ++i) {
    TCompatibleImage compatible;
    if (!MakeCompatible(Images[size_t(i)], compatible)) return false;
    if (!WritePicture(io, Handle, compatible.Image, "Size of image in IMG/CIF format cannot exceed 65535 bytes. %s"))
      return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Texture archives
// ---------------------------------------------------------------------------

namespace {

bool IsTextureNameChar(uint8_t C) {
  if ((C >= '0' && C <= '9') || (C >= 'A' && C <= 'Z') || (C >= 'a' && C <= 'z')) return true;
  return std::strchr("\t \"'()+,-./\\_", C) != nullptr;  // code 0 matches the terminator
}

// The archive name without control characters and leading blanks.
std::string CleanTextureName(const uint8_t* Name) {
  std::string s;
  for (int32_t i = 0; i < TextureNameSize; ++i) {
    if (Name[i] < 32 || (Name[i] == ' ' && s.empty())) continue;
    s.push_back(char(Name[i]));
  }
  return s;
}

struct TTextureRecord {
  int64_t Start;  // position of the record header
  uint16_t Width, Height, Compression, Frames;
};

// Rows 256 bytes apart, one picture.
void DecodePlainTexture(Elder::TReader& Reader, const TTextureRecord& R, TDynImageDataArray& Images,
                        const TColor32Rec* Palette) {
  if (R.Width > TextureRowStride)
    RaiseImagingError("Daggerfall texture rows of %d pixels do not fit the %d-byte row stride.", int32_t(R.Width),
                      TextureRowStride);
  const int64_t needed = int64_t(R.Height - 1) * TextureRowStride + R.Width;
  if (R.Height > 0 && needed > Reader.Remaining()) Reader.RaiseTruncated(needed);
  TImageData& picture = Reader.AddPicture(Images, R.Width, R.Height, fmtIndex8, Palette);
  std::vector<uint8_t> rows(static_cast<size_t>(needed));
  Reader.Read(rows.data(), needed);
  auto* bits = static_cast<uint8_t*>(picture.Bits);
  for (int32_t y = 0; y < R.Height; ++y)
    std::memcpy(bits + int64_t(y) * R.Width, rows.data() + int64_t(y) * TextureRowStride, R.Width);
}

// Frames of rows made of (skip, count) pairs: skip pixels stay 0, count
// pixel bytes follow. Rows of a frame lie the frame's own width apart.
bool DecodeTextureFrames(Elder::TReader& Reader, const TTextureRecord& R, TDynImageDataArray& Images,
                         const TColor32Rec* Palette, bool OnlyFirst) {
  const int64_t d = Reader.Tell();
  const int32_t frames = std::min<int32_t>(R.Frames, MaxTextureFrames);
  uint8_t table[MaxTextureFrames * 4];
  Reader.Read(table, int64_t(frames) * 4);
  for (int32_t f = 0; f < frames; ++f) {
    TImageData& picture = Reader.AddPicture(Images, R.Width, R.Height, fmtIndex8, Palette);
    auto* bits = static_cast<uint8_t*>(picture.Bits);
    const int64_t size = picture.Size;
    Reader.Seek(d + Get32(table + f * 4));
    const int64_t w = Reader.ReadWord(), h = Reader.ReadWord();
    uint8_t run[255];
    for (int64_t y = 0; y < h; ++y) {
      int64_t x = 0;
      while (x < w) {
        const uint8_t skip = Reader.ReadByte();
        // Skipped pixels are already 0.
        x += skip;
        const uint8_t count = Reader.ReadByte();
        if (skip == 0 && count == 0) break;  // no progress: the row ends
        Reader.Read(run, count);
        const int64_t at = y * w + x;
        if (at < size) std::memcpy(bits + at, run, size_t(std::min<int64_t>(count, size - at)));
        x += count;
      }
    }
    if (OnlyFirst) return false;
  }
  return true;
}

// Frames described by a table of rows (offset from the record, flag): raw
// rows of width bytes, or coded rows of signed runs (positive: literal
// bytes, otherwise one byte repeated).
bool DecodeTextureRowTable(Elder::TReader& Reader, const TTextureRecord& R, TDynImageDataArray& Images,
                           const TColor32Rec* Palette, bool OnlyFirst) {
  int64_t p = Reader.Tell();
  const int32_t rows = std::min<int32_t>(R.Height, MaxTextureRows);
  uint8_t table[MaxTextureRows * 4];
  std::vector<uint8_t> run(R.Width > 0x7FFF ? R.Width : 0x7FFF);
  for (int32_t f = 0; f < R.Frames; ++f) {
    Reader.Seek(p);
    Reader.Read(table, int64_t(rows) * 4);
    p = Reader.Tell();
    TImageData& picture = Reader.AddPicture(Images, R.Width, R.Height, fmtIndex8, Palette);
    auto* bits = static_cast<uint8_t*>(picture.Bits);
    const int64_t size = picture.Size;
    // Copies Count bytes to pixel At of the picture, cut at its end.
    auto put = [&](int64_t At, const uint8_t* Src, int64_t Count) {
      if (At < size) std::memcpy(bits + At, Src, size_t(std::min(Count, size - At)));
    };
    for (int32_t y = 0; y < rows; ++y) {
      const int64_t rowStart = int64_t(y) * R.Width;
      Reader.Seek(R.Start + Get16(table + y * 4));
      if (Get16(table + y * 4 + 2) != RowCoded) {
        Reader.Read(run.data(), R.Width);
        put(rowStart, run.data(), R.Width);
        continue;
      }
      const int64_t n = Reader.ReadWord();
      int64_t x = 0;
      while (x < n) {
        const int16_t c = int16_t(Reader.ReadWord());
        if (c > 0) {
          Reader.Read(run.data(), c);
          put(rowStart + x, run.data(), c);
          x += c;
        } else if (c < 0) {
          const uint8_t v = Reader.ReadByte();
          const int64_t at = rowStart + x;
          if (at < size) std::memset(bits + at, v, size_t(std::min<int64_t>(-int64_t(c), size - at)));
          x -= c;
        } else {
          break;  // a run of nothing: the row ends
        }
      }
    }
    if (OnlyFirst) return false;
  }
  return true;
}

}  // namespace

TTextureFileFormat::TTextureFileFormat() {
  FName = "Daggerfall Texture";
  FCanSave = false;
  SetMaskList("*.dagtexture,texture.*");
}

std::string TTextureFileFormat::LastTextureName() const {
  std::lock_guard<std::mutex> lock(FNameLock);
  return FLastTextureName;
}

bool TTextureFileFormat::TestFormat(THandle Handle) {
  if (!Handle) return false;
  TIOFunctions io = CurrentIOTable();
  uint8_t b[TextureHeaderSize];
  int32_t got = io.Read(Handle, b, TextureHeaderSize);
  if (got > 0) io.Seek(Handle, -got, smFromCurrent);
  if (got != TextureHeaderSize) return false;
  const uint16_t count = Get16(b);
  if (count < 1 || count > 2048) return false;
  return std::all_of(b + 2, b + TextureHeaderSize, IsTextureNameChar);
}

bool TTextureFileFormat::ReadImages(THandle Handle, TDynImageDataArray& Images, bool OnlyFirstLevel) {
  Elder::TReader reader(Handle, "Daggerfall texture");
  const int64_t start = reader.Tell();
  uint8_t header[TextureHeaderSize];
  reader.Read(header, TextureHeaderSize);
  const int32_t count = Get16(header);
  const std::string name = CleanTextureName(header + 2);
  {
    std::lock_guard<std::mutex> lock(FNameLock);
    FLastTextureName = name;
  }
  const int32_t size = reader.Size();
  if (size == 46 || size == 126 || size == 266) return false;

  if (size == SolidTextureArchiveSize) {
    // Solid colours: record i is filled with colour i (from 128 in archives
    // whose name holds a capital B).
    const int32_t base = name.find('B') != std::string::npos ? 128 : 0;
    for (int32_t i = 0; i < count; ++i) {
      TImageData& picture = reader.AddPicture(Images, 16, 16, fmtIndex8, FARGBPalette.data());
      std::memset(picture.Bits, (i + base) & 0xFF, size_t(picture.Size));
      if (OnlyFirstLevel) break;
    }
    return true;
  }

  std::vector<uint8_t> directory(size_t(count) * TextureEntrySize);
  reader.Read(directory.data(), int64_t(directory.size()));
  for (int32_t i = 0; i < count; ++i) {
    TTextureRecord r;
    r.Start = start + Get32(directory.data() + i * TextureEntrySize + 2);
    reader.Seek(r.Start);
    uint8_t rh[TextureRecordHeaderSize];
    reader.Read(rh, TextureRecordHeaderSize);
    r.Width = Get16(rh + 4);
    r.Height = Get16(rh + 6);
    r.Compression = Get16(rh + 8);
    r.Frames = Get16(rh + 20);
    reader.Seek(r.Start + Get32(rh + 14));
    bool more;
    const bool rowTable = r.Frames == 1 ? (r.Compression == 0x1108 || r.Compression == 0x0108) : r.Compression == 0x0108;
    if (rowTable) {
      more = DecodeTextureRowTable(reader, r, Images, FARGBPalette.data(), OnlyFirstLevel);
    } else if (r.Frames == 1) {
      DecodePlainTexture(reader, r, Images, FARGBPalette.data());
      more = !OnlyFirstLevel;
    } else {
      more = DecodeTextureFrames(reader, r, Images, FARGBPalette.data(), OnlyFirstLevel);
    }
    if (!more) break;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Sky archives
// ---------------------------------------------------------------------------

TSKYFileFormat::TSKYFileFormat() {
  FName = "Daggerfall Sky Images";
  FCanSave = false;
  SetMaskList("*.dagsky,sky??.dat");
}

bool TSKYFileFormat::TestFormat(THandle Handle) {
  if (!Handle) return false;
  TIOFunctions io = CurrentIOTable();
  uint8_t b[sizeof SkySignature];
  int32_t got = io.Read(Handle, b, int32_t(sizeof b));
  if (got > 0) io.Seek(Handle, -got, smFromCurrent);
  return got == int32_t(sizeof b) && std::memcmp(b, SkySignature, sizeof b) == 0;
}

bool TSKYFileFormat::ReadImages(THandle Handle, TDynImageDataArray& Images, bool OnlyFirstLevel) {
  Elder::TReader reader(Handle, "Daggerfall sky");
  const int32_t pictures = OnlyFirstLevel ? 1 : SkyPictureCount;
  for (int32_t i = 0; i < pictures; ++i) {
    const int64_t pixels = SkyPixelsOffset + int64_t(i) * SkyWidth * SkyHeight;
    reader.Seek(pixels);
    if (pixels + SkyWidth * SkyHeight > reader.Size()) reader.RaiseTruncated(int64_t(SkyWidth) * SkyHeight);
    TImageData& picture = reader.AddPicture(Images, SkyWidth, SkyHeight, fmtIndex8);
    reader.Seek(int64_t(i % SkyPaletteCount) * SkyPaletteRecordSize + 8);
    uint8_t rgb[768];
    reader.Read(rgb, 768);
    Elder::ConvertPalette(rgb, 768, picture.Palette, false);
    reader.Seek(pixels);
    reader.Read(picture.Bits, picture.Size);
  }
  return true;
}

}  // namespace Imaging
