// Bethesda BSI handler.
//
// A set is a sequence of chunks, each an id of four characters and a
// big-endian data length: "IFHD" or "BSIF" first, "BHDR" (size and frame
// count), optionally "CMAP" (palette), "HICL" (gray levels per pixel value)
// and "HTBL" (15-bit colours), then "DATA" and "END ". In texture archives
// every set follows a 13-byte prefix (name, size); a size of 0 or less, or
// no prefix at all, ends the archive. Multi-frame sets start their DATA with
// a table of row offsets, one per row of every frame.
#include "ImagingBsi.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace Imaging {

namespace {

constexpr int32_t PrefixSize = 13;
constexpr int32_t ChunkHeaderSize = 8;
constexpr int32_t BhdrUsedSize = 26;
constexpr int32_t CmapMaxSize = 768;
// Multi-frame colour sets take their colours from this entry of HTBL on.
constexpr int32_t HtblColorBase = 3840;

// The BSI palette (red, green, blue).
constexpr uint32_t BsiPalette[256] = {
    0x000000, 0xFF00FF, 0xFF00FF, 0xFF00FF, 0xFF00FF, 0xFF00FF, 0xFF00FF, 0xFF00FF,
    0xFF00FF, 0xFF00FF, 0xFF00FF, 0xFF00FF, 0xFF00FF, 0xFF00FF, 0xFF00FF, 0xFF00FF,
    0x85C4B7, 0x64B599, 0x42A57C, 0x21965E, 0x1F8B57, 0x1C7F50, 0x1A7449, 0x186942,
    0x155D3B, 0x135234, 0x11472D, 0x0E3B26, 0x0C301F, 0x0A2518, 0x071911, 0x050E0A,
    0xE6B38E, 0xD89B7F, 0xC79788, 0xCD8676, 0xC78367, 0xBF826C, 0xCA715F, 0xB4705E,
    0xC55F4E, 0xB76A4E, 0xAE604B, 0xA05B3F, 0xA65437, 0x975B36, 0x984B31, 0x8E5133,
    0xD8E3A2, 0x9BD46D, 0x5FC639, 0x22B704, 0x20A904, 0x1D9B04, 0x1B8D04, 0x197F04,
    0x167104, 0x146404, 0x125603, 0x0F4803, 0x0D3A03, 0x0B2C03, 0x081E03, 0x061003,
    0x864839, 0x84472F, 0x7A4B33, 0x7B3D2C, 0x773B25, 0x673729, 0x682F1F, 0x622F1B,
    0x5B2D21, 0x532A22, 0x4B2818, 0x502116, 0x3F1D18, 0x421810, 0x331B18, 0x281818,
    0xFFF667, 0xF1EE2D, 0xEBF700, 0xE4E403, 0xCCCF01, 0xBDBB02, 0xADA602, 0x9E9203,
    0x8E7E03, 0x7F6A04, 0x726109, 0x605107, 0x4B3F06, 0x352F06, 0x231F06, 0x131206,
    0xB87453, 0xAF6039, 0xA64B1E, 0x9D3704, 0x913304, 0x852F04, 0x7A2B04, 0x6E2703,
    0x622303, 0x561F03, 0x4A1A03, 0x3E1603, 0x331203, 0x270E02, 0x1B0A02, 0x0F0602,
    0xFFFFB8, 0xFFF189, 0xFFE25A, 0xFFD42B, 0xF0BD27, 0xE1A623, 0xD3901E, 0xC4791A,
    0xB56216, 0xA35C14, 0x7F490F, 0x693C0D, 0x532E0C, 0x3D210A, 0x271408, 0x1A0F09,
    0xFCCBB3, 0xF5BD9E, 0xDEA785, 0xC4936F, 0xBA865B, 0xAE7D51, 0xA1764E, 0x936E48,
    0x886641, 0x7A5D3B, 0x6E5537, 0x624F35, 0x55452E, 0x423625, 0x2E281D, 0x1B1914,
    0xE48585, 0xE1605E, 0xDE3A37, 0xDB1510, 0xCA140F, 0xB9120E, 0xA7110D, 0x96100C,
    0x850E0B, 0x740D0B, 0x620C0A, 0x510A09, 0x400908, 0x2F0807, 0x1D0606, 0x0C0505,
    0xFFFFFF, 0xF0F0F0, 0xDCDCDC, 0xC9C9C9, 0xB5B5B5, 0xA2A2A2, 0x949494, 0x878787,
    0x797979, 0x6C6C6C, 0x5A5A5A, 0x4A4A4A, 0x3A3A3A, 0x2A2A2A, 0x161616, 0x080808,
    0x6896E9, 0x5D7DF2, 0x5262F9, 0x4848FF, 0x3030FF, 0x1919FE, 0x0707F6, 0x0707DC,
    0x0606C2, 0x0606A9, 0x05058F, 0x050575, 0x04045B, 0x040442, 0x030328, 0x03030E,
    0xBF5875, 0xB43F61, 0xA9264E, 0x9F0E38, 0x930D34, 0x870C30, 0x7B0C2C, 0x6F0B28,
    0x630A24, 0x570920, 0x4B081B, 0x3F0717, 0x330713, 0x27060F, 0x1B050B, 0x0F0407,
    0x87E0FF, 0x5BD5FF, 0x2EC5FF, 0x02B8FF, 0x02AAEB, 0x029CD7, 0x028DC3, 0x027FAF,
    0x02719B, 0x036388, 0x035474, 0x034660, 0x03384C, 0x032A38, 0x031B24, 0x030D10,
    0xFEFFC7, 0xFEEBAA, 0xFFD78D, 0xFFCD7F, 0xFFC370, 0xFFAF53, 0xEA9B32, 0xDB832B,
    0xCD6B23, 0xBE541B, 0xB03C13, 0x9B180A, 0x821509, 0x691308, 0x501007, 0x370D06,
    0xC5D7FF, 0xB5C4E9, 0xA5B1D4, 0x959EBE, 0x8A92B0, 0x7E86A2, 0x737A93, 0x676E85,
    0x5C6277, 0x515769, 0x454B5A, 0x3A3F4C, 0x2E333E, 0x232730, 0x171B21, 0x0C0F13,
};

uint16_t Get16(const uint8_t* P) { return uint16_t(P[0] | (P[1] << 8)); }
uint32_t Get32(const uint8_t* P) {
  return uint32_t(P[0]) | (uint32_t(P[1]) << 8) | (uint32_t(P[2]) << 16) | (uint32_t(P[3]) << 24);
}
uint32_t GetBE32(const uint8_t* P) {
  return (uint32_t(P[0]) << 24) | (uint32_t(P[1]) << 16) | (uint32_t(P[2]) << 8) | uint32_t(P[3]);
}

bool SameId(const uint8_t* Id, const char* Name) { return std::memcmp(Id, Name, 4) == 0; }

// True when a 13-byte archive prefix stands before the first chunk (the
// position is restored).
bool HasPrefix(const TIOFunctions& IO, THandle Handle) {
  const int32_t start = IO.Tell(Handle);
  uint8_t id[4];
  bool found = false;
  if (IO.Seek(Handle, start + PrefixSize, smFromBeginning) == start + PrefixSize)
    found = IO.Read(Handle, id, 4) == 4 && (SameId(id, "IFHD") || SameId(id, "BSIF"));
  IO.Seek(Handle, start, smFromBeginning);
  return found;
}

// Size field of the next archive prefix; a prefix cut short reads as zeros.
int32_t ReadPrefixSize(Elder::TReader& Reader) {
  uint8_t prefix[PrefixSize] = {};
  Reader.ReadUpTo(prefix, PrefixSize);
  return int32_t(Get32(prefix + 9));
}

// What one set holds.
struct TBsiSet {
  std::vector<uint8_t> Header, Palette, Hicl, Htbl, Data;
  bool HasHeader = false, HasPalette = false, HasHicl = false;
};

// Reads a chunk header; false at the very end of the data.
bool ReadChunkHeader(Elder::TReader& Reader, uint8_t* Id, uint32_t& Length) {
  uint8_t b[ChunkHeaderSize];
  const int32_t got = Reader.ReadUpTo(b, ChunkHeaderSize);
  if (got == 0) return false;
  if (got != ChunkHeaderSize) RaiseImagingError("BSI chunk header is truncated at offset %d.", Reader.Tell() - got);
  std::memcpy(Id, b, 4);
  Length = GetBE32(b + 4);
  return true;
}

void ReadChunkData(Elder::TReader& Reader, const uint8_t* Id, uint32_t Length, std::vector<uint8_t>* Target) {
  if (int64_t(Length) > Reader.Remaining())
    RaiseImagingError("Error when reading %s chunk data.", std::string(reinterpret_cast<const char*>(Id), 4));
  if (Target) {
    Target->resize(Length);
    Reader.Read(Target->data(), Length);
  } else {
    Reader.Seek(int64_t(Reader.Tell()) + Length);
  }
}

// Reads the chunks of one set up to and including "END ".
void ReadSet(Elder::TReader& Reader, TBsiSet& Set) {
  uint8_t id[4];
  uint32_t length;
  // The opening "IFHD" or "BSIF" chunk carries nothing needed here.
  if (!ReadChunkHeader(Reader, id, length)) Reader.RaiseTruncated(ChunkHeaderSize);
  ReadChunkData(Reader, id, length, nullptr);
  while (ReadChunkHeader(Reader, id, length)) {
    std::vector<uint8_t>* target = nullptr;
    if (SameId(id, "BHDR")) {
      target = &Set.Header;
      Set.HasHeader = true;
    } else if (SameId(id, "CMAP")) {
      target = &Set.Palette;
      Set.HasPalette = true;
    } else if (SameId(id, "HICL")) {
      target = &Set.Hicl;
      Set.HasHicl = true;
    } else if (SameId(id, "HTBL")) {
      target = &Set.Htbl;
    } else if (SameId(id, "DATA")) {
      target = &Set.Data;
    }
    ReadChunkData(Reader, id, length, target);
    if (SameId(id, "END ") || Reader.AtEnd()) break;
  }
}

// Scales a channel of Bits bits to 8 bits.
uint8_t Scale(uint32_t Value, uint32_t Max) { return uint8_t(Value * 255 / Max); }

}  // namespace

TBSIFileFormat::TBSIFileFormat() {
  FName = "Bethesda Image";
  FCanSave = false;
  SetMaskList("*.bsi,texbsi.*");
  uint8_t rgb[768];
  for (int32_t i = 0; i < 256; ++i) {
    rgb[i * 3] = uint8_t(BsiPalette[i] >> 16);
    rgb[i * 3 + 1] = uint8_t(BsiPalette[i] >> 8);
    rgb[i * 3 + 2] = uint8_t(BsiPalette[i]);
  }
  SetPalette(rgb);
}

bool TBSIFileFormat::TestFormat(THandle Handle) {
  if (!Handle) return false;
  TIOFunctions io = CurrentIOTable();
  if (HasPrefix(io, Handle)) return true;
  uint8_t id[4];
  const int32_t got = io.Read(Handle, id, 4);
  if (got > 0) io.Seek(Handle, -got, smFromCurrent);
  return got == 4 && SameId(id, "IFHD");
}

bool TBSIFileFormat::ReadImages(THandle Handle, TDynImageDataArray& Images, bool OnlyFirstLevel) {
  ReleaseImageArray(Images);
  Elder::TReader reader(Handle, "BSI");
  const bool prefixed = HasPrefix(CurrentIOTable(), Handle);
  bool more = !prefixed || ReadPrefixSize(reader) > 0;
  while (more) {
    TBsiSet set;
    ReadSet(reader, set);
    if (!set.HasHeader) RaiseImagingError("BSI picture set has no BHDR chunk.");
    uint8_t bhdr[BhdrUsedSize] = {};
    if (!set.Header.empty())
      std::memcpy(bhdr, set.Header.data(), std::min<size_t>(set.Header.size(), BhdrUsedSize));
    const int32_t width = int16_t(Get16(bhdr + 4)), height = int16_t(Get16(bhdr + 6));
    const int32_t frames = Get16(bhdr + 14);
    const std::vector<uint8_t>& data = set.Data;
    const int64_t dataSize = int64_t(data.size());

    TColor32Rec palette[256];
    if (set.HasPalette)
      Elder::ConvertPalette(set.Palette.data(), int32_t(set.Palette.size()), palette, true);
    else
      std::memcpy(palette, FARGBPalette.data(), sizeof palette);

    // Entry of row y of frame f in the row table at the start of DATA (a
    // table cut short gives rows past the end of DATA, which stay empty).
    auto rowEntry = [&](int32_t F, int32_t Y) -> uint32_t {
      const int64_t entry = (int64_t(F) * height + Y) * 4;
      return entry + 4 <= dataSize ? Get32(data.data() + entry) : 0xFFFFFFFF;
    };
    auto hicl = [&](uint8_t B) {
      if (B >= set.Hicl.size()) RaiseImagingError("BSI HICL table has no entry for pixel value %d.", int32_t(B));
      return Scale(set.Hicl[B] & 63, 63);
    };
    auto htbl = [&](uint8_t B) {
      const size_t at = (size_t(HtblColorBase) + B) * 2;
      if (at + 2 > set.Htbl.size()) RaiseImagingError("BSI HTBL table has no entry for pixel value %d.", int32_t(B));
      const uint32_t c = Get16(set.Htbl.data() + at);
      return Color32(B ? 255 : 0, Scale((c >> 10) & 31, 31), Scale((c >> 5) & 31, 31), Scale(c & 31, 31));
    };

    const int32_t count = frames == 1 ? 1 : frames;
    for (int32_t f = 0; f < count; ++f) {
      if (!set.HasHicl) {
        TImageData& picture = reader.AddPicture(Images, width, height, fmtIndex8, palette);
        auto* bits = static_cast<uint8_t*>(picture.Bits);
        if (frames == 1) {
          if (dataSize > 0) std::memcpy(bits, data.data(), size_t(std::min<int64_t>(picture.Size, dataSize)));
        } else {
          for (int32_t y = 0; y < height; ++y) {
            const int64_t from = rowEntry(f, y);
            if (from < dataSize)
              std::memcpy(bits + int64_t(y) * width, data.data() + from, size_t(std::min<int64_t>(width, dataSize - from)));
          }
        }
      } else {
        TImageData& picture = reader.AddPicture(Images, width, height, fmtA8R8G8B8);
        auto* bits = static_cast<TColor32Rec*>(picture.Bits);
        if (frames == 1) {
          const int64_t n = std::min<int64_t>(int64_t(width) * height, dataSize);
          for (int64_t i = 0; i < n; ++i) {
            const uint8_t b = data[size_t(i)], v = hicl(b);
            bits[i] = Color32(b ? 255 : 0, v, v, v);
          }
        } else {
          for (int32_t y = 0; y < height; ++y) {
            const uint32_t entry = rowEntry(f, y);
            if (entry == 0xFFFFFFFF) continue;
            const int64_t from = entry & 0xFFFF;
            const int64_t n = std::min<int64_t>(width, dataSize - from);
            TColor32Rec* row = bits + int64_t(y) * width;
            for (int64_t x = 0; x < n; ++x) row[x] = htbl(data[size_t(from + x)]);
          }
        }
      }
      if (OnlyFirstLevel) return true;
    }
    more = prefixed && ReadPrefixSize(reader) > 0;
  }
  return true;
}

}  // namespace Imaging
