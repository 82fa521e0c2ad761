// Helpers of the PNG test programs: a chunk stream builder, reference row
// filters written independently of the product, chunk inspection, and a
// common 16-bit RGBA view of the pixel formats the PNG handler produces.
#pragma once

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "Imaging.h"
#include "TestSupport.h"

namespace PngTest {

using namespace Imaging;

inline void PutBE(std::vector<uint8_t>& V, uint32_t X) {
  V.push_back(uint8_t(X >> 24));
  V.push_back(uint8_t(X >> 16));
  V.push_back(uint8_t(X >> 8));
  V.push_back(uint8_t(X));
}

inline uint32_t ReadBE(const std::vector<uint8_t>& V, size_t At) {
  return (uint32_t(V[At]) << 24) | (uint32_t(V[At + 1]) << 16) | (uint32_t(V[At + 2]) << 8) | V[At + 3];
}

inline std::vector<uint8_t> BE(std::initializer_list<uint32_t> Values) {
  std::vector<uint8_t> v;
  for (uint32_t x : Values) PutBE(v, x);
  return v;
}

inline std::vector<uint8_t> Concat(std::vector<uint8_t> A, const std::vector<uint8_t>& B) {
  A.insert(A.end(), B.begin(), B.end());
  return A;
}

inline std::vector<uint8_t> Zlib(const std::vector<uint8_t>& Raw, int Level = 6) {
  uLongf size = compressBound(uLong(Raw.size()));
  std::vector<uint8_t> out(size);
  EXPECT_EQ(compress2(out.data(), &size, Raw.data(), uLong(Raw.size()), Level), Z_OK);
  out.resize(size);
  return out;
}

inline std::vector<uint8_t> InflateAll(const std::vector<uint8_t>& Z) {
  std::vector<uint8_t> out;
  z_stream zs{};
  inflateInit(&zs);
  zs.next_in = const_cast<Bytef*>(Z.data());
  zs.avail_in = uInt(Z.size());
  uint8_t buf[65536];
  int ret;
  do {
    zs.next_out = buf;
    zs.avail_out = sizeof(buf);
    ret = inflate(&zs, Z_NO_FLUSH);
    out.insert(out.end(), buf, buf + (sizeof(buf) - zs.avail_out));
  } while (ret == Z_OK);
  inflateEnd(&zs);
  EXPECT_EQ(ret, Z_STREAM_END);
  return out;
}

inline std::vector<uint8_t> IHDRBytes(uint32_t W, uint32_t H, int Depth, int ColorType, int Interlace = 0) {
  std::vector<uint8_t> v = BE({W, H});
  v.push_back(uint8_t(Depth));
  v.push_back(uint8_t(ColorType));
  v.push_back(0);
  v.push_back(0);
  v.push_back(uint8_t(Interlace));
  return v;
}

inline std::vector<uint8_t> FcTL(uint32_t Seq, uint32_t W, uint32_t H, uint32_t X, uint32_t Y, uint8_t Dispose = 0,
                                 uint8_t Blend = 0) {
  std::vector<uint8_t> v = BE({Seq, W, H, X, Y});
  v.push_back(0);
  v.push_back(1);
  v.push_back(0);
  v.push_back(10);
  v.push_back(Dispose);
  v.push_back(Blend);
  return v;
}

// Builds a chunk stream; every chunk gets a correct CRC unless asked.
struct TPngBuilder {
  std::vector<uint8_t> Bytes;
  TPngBuilder() { Bytes = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A}; }
  TPngBuilder& Chunk(const char* Id, const std::vector<uint8_t>& Data, bool BadCrc = false) {
    PutBE(Bytes, uint32_t(Data.size()));
    size_t start = Bytes.size();
    Bytes.insert(Bytes.end(), Id, Id + 4);
    Bytes.insert(Bytes.end(), Data.begin(), Data.end());
    uint32_t crc = uint32_t(crc32(0, Bytes.data() + start, uInt(Bytes.size() - start)));
    PutBE(Bytes, BadCrc ? ~crc : crc);
    return *this;
  }
  TPngBuilder& Header(uint32_t W, uint32_t H, int Depth, int ColorType, int Interlace = 0) {
    return Chunk("IHDR", IHDRBytes(W, H, Depth, ColorType, Interlace));
  }
  TPngBuilder& Data(const std::vector<uint8_t>& Raw, int Level = 6) { return Chunk("IDAT", Zlib(Raw, Level)); }
  TPngBuilder& RawData(const std::vector<uint8_t>& Z) { return Chunk("IDAT", Z); }
  TPngBuilder& End() { return Chunk("IEND", {}); }
};

inline TImageFileFormat* PngHandler() { return FindHandlerByExtension("png"); }

inline TDynImageDataArray LoadPng(const std::vector<uint8_t>& Png) {
  TDynImageDataArray images;
  try {
    if (!PngHandler()->LoadFromMemory(Png.data(), int32_t(Png.size()), images)) ADD_FAILURE() << "load returned false";
  } catch (const EImagingError& e) {
    ADD_FAILURE() << "load failed: " << e.what();
  }
  return images;
}

// The decoder's own message of a failed load (the part after the
// framework's wrapping), or "" when the load succeeded.
inline std::string LoadError(const std::vector<uint8_t>& Png) {
  TDynImageDataArray images;
  try {
    PngHandler()->LoadFromMemory(Png.data(), int32_t(Png.size()), images);
  } catch (const EImagingError& e) {
    std::string text = e.what();
    EXPECT_EQ(text.rfind("Error while loading images from memory ", 0), 0u) << text;
    const std::string marker = " Exception Message: ";
    size_t at = text.find(marker);
    return at == std::string::npos ? text : text.substr(at + marker.size());
  }
  ReleaseImageArray(images);
  return "";
}

inline std::vector<uint8_t> PixelBytes(const TImageData& Image) {
  const uint8_t* p = static_cast<const uint8_t*>(Image.Bits);
  return p ? std::vector<uint8_t>(p, p + Image.Size) : std::vector<uint8_t>();
}

inline std::vector<uint8_t> SavePng(const std::vector<TImageData>& Images) {
  int64_t total = 0;
  for (const auto& i : Images) total += i.Size;
  std::vector<uint8_t> buffer(size_t(total * 2 + 4096 + Images.size() * 4096));
  int32_t size = int32_t(buffer.size());
  TDynImageDataArray array(Images.begin(), Images.end());
  bool ok = false;
  try {
    ok = PngHandler()->SaveToMemory(buffer.data(), size, array, false);
  } catch (const EImagingError& e) {
    ADD_FAILURE() << e.what();
  }
  EXPECT_TRUE(ok);
  buffer.resize(ok ? size_t(size) : 0);
  return buffer;
}

// Chunks of a stream in order, as (id, data).
inline std::vector<std::pair<std::string, std::vector<uint8_t>>> Chunks(const std::vector<uint8_t>& Png) {
  std::vector<std::pair<std::string, std::vector<uint8_t>>> out;
  size_t p = 8;
  while (p + 12 <= Png.size()) {
    uint32_t n = ReadBE(Png, p);
    if (p + 12 + n > Png.size()) break;
    out.emplace_back(std::string(Png.begin() + p + 4, Png.begin() + p + 8),
                     std::vector<uint8_t>(Png.begin() + p + 8, Png.begin() + p + 8 + n));
    uint32_t crc = uint32_t(crc32(0, Png.data() + p + 4, uInt(n + 4)));
    EXPECT_EQ(ReadBE(Png, p + 8 + n), crc) << "CRC of " << out.back().first;
    p += 12 + n;
  }
  EXPECT_EQ(p, Png.size());
  return out;
}
inline std::vector<std::string> ChunkIds(const std::vector<uint8_t>& Png) {
  std::vector<std::string> ids;
  for (auto& c : Chunks(Png)) ids.push_back(c.first);
  return ids;
}
inline std::vector<std::vector<uint8_t>> AllChunkData(const std::vector<uint8_t>& Png, const std::string& Id) {
  std::vector<std::vector<uint8_t>> out;
  for (auto& c : Chunks(Png))
    if (c.first == Id) out.push_back(c.second);
  return out;
}
inline std::vector<uint8_t> ChunkData(const std::vector<uint8_t>& Png, const std::string& Id) {
  auto all = AllChunkData(Png, Id);
  EXPECT_FALSE(all.empty()) << "no " << Id;
  return all.empty() ? std::vector<uint8_t>() : all[0];
}

// Filter types of the rows of a non-interlaced single-frame stream.
inline std::vector<int> RowFilterTypes(const std::vector<uint8_t>& Png) {
  auto ihdr = ChunkData(Png, "IHDR");
  uint32_t w = ReadBE(ihdr, 0), h = ReadBE(ihdr, 4);
  int depth = ihdr[8], ct = ihdr[9];
  int channels = ct == 2 ? 3 : ct == 6 ? 4 : ct == 4 ? 2 : 1;
  size_t row = (size_t(w) * depth * channels + 7) / 8;
  auto raw = InflateAll(ChunkData(Png, "IDAT"));
  std::vector<int> types;
  EXPECT_EQ(raw.size(), (row + 1) * h);
  for (size_t y = 0; y < h && (row + 1) * y < raw.size(); ++y) types.push_back(raw[(row + 1) * y]);
  return types;
}

// The encoder form of the five filters, byte by byte from the definitions.
inline std::vector<uint8_t> ReferenceFilter(int Type, const std::vector<uint8_t>& Row, const std::vector<uint8_t>& Prev,
                                            size_t B) {
  std::vector<uint8_t> out(Row.size());
  for (size_t i = 0; i < Row.size(); ++i) {
    int a = i >= B ? Row[i - B] : 0, b = Prev[i], c = i >= B ? Prev[i - B] : 0;
    int pred = 0;
    switch (Type) {
      case 1: pred = a; break;
      case 2: pred = b; break;
      case 3: pred = (a + b) / 2; break;
      case 4: {
        int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
        pred = (pa <= pb && pa <= pc) ? a : (pb <= pc ? b : c);
        break;
      }
    }
    out[i] = uint8_t(Row[i] - pred);
  }
  return out;
}

// The row filters the adaptive choice must pick for an image (scores do not
// depend on the byte order inside pixels).
inline std::vector<int> ReferenceAdaptiveChoice(const TImageData& Image) {
  TImageFormatInfo info;
  QueryFormatInfo(Image.Format, info);
  size_t B = size_t(info.BytesPerPixel), rowBytes = size_t(Image.Width) * B;
  const uint8_t* p = static_cast<const uint8_t*>(Image.Bits);
  std::vector<int> types;
  std::vector<uint8_t> prev(rowBytes, 0);
  for (int y = 0; y < Image.Height; ++y) {
    std::vector<uint8_t> row(p + y * rowBytes, p + (y + 1) * rowBytes);
    int best = 0;
    uint64_t bestScore = UINT64_MAX;
    for (int t = 0; t <= 4; ++t) {
      auto f = ReferenceFilter(t, row, prev, B);
      uint64_t score = 0;
      for (uint8_t v : f) score += uint64_t(std::abs(int(int8_t(v))));
      if (score < bestScore) {
        bestScore = score;
        best = t;
      }
    }
    types.push_back(best);
    prev = row;
  }
  return types;
}

// Packs samples (one vector of channel values per pixel, row-major) into
// unfiltered PNG rows (filter byte 0), sequential or in the seven Adam7 passes.
inline std::vector<uint8_t> PackImage(const std::vector<std::vector<uint32_t>>& Samples, int W, int H, int Depth,
                                      int Channels, bool Interlaced) {
  std::vector<uint8_t> raw;
  auto packRow = [&](const std::vector<int>& Columns, int Y) {
    raw.push_back(0);
    std::vector<uint8_t> row;
    uint32_t acc = 0;
    int bits = 0;
    for (int x : Columns)
      for (int c = 0; c < Channels; ++c) {
        uint32_t s = Samples[size_t(Y) * W + x][size_t(c)];
        if (Depth == 16) {
          row.push_back(uint8_t(s >> 8));
          row.push_back(uint8_t(s));
        } else if (Depth == 8) {
          row.push_back(uint8_t(s));
        } else {
          acc = (acc << Depth) | s;
          bits += Depth;
          if (bits == 8) {
            row.push_back(uint8_t(acc));
            acc = 0;
            bits = 0;
          }
        }
      }
    if (bits > 0) row.push_back(uint8_t(acc << (8 - bits)));
    raw.insert(raw.end(), row.begin(), row.end());
  };
  if (!Interlaced) {
    std::vector<int> cols(static_cast<size_t>(W));
    for (int x = 0; x < W; ++x) cols[size_t(x)] = x;
    for (int y = 0; y < H; ++y) packRow(cols, y);
    return raw;
  }
  const int sr[7] = {0, 0, 4, 0, 2, 0, 1}, sc[7] = {0, 4, 0, 2, 0, 1, 0};
  const int rs[7] = {8, 8, 8, 4, 4, 2, 2}, cs[7] = {8, 8, 4, 4, 2, 2, 1};
  for (int pass = 0; pass < 7; ++pass) {
    std::vector<int> cols;
    for (int x = sc[pass]; x < W; x += cs[pass]) cols.push_back(x);
    if (cols.empty()) continue;
    for (int y = sr[pass]; y < H; y += rs[pass]) packRow(cols, y);
  }
  return raw;
}

// What the decoder must make of unfiltered rows, in the memory order of the
// pixel format of the layout.
inline std::vector<uint8_t> ExpectedPixels(const std::vector<std::vector<uint8_t>>& Rows, int W, int Depth,
                                           int ColorType) {
  std::vector<uint8_t> out;
  for (const auto& r : Rows) {
    if (Depth < 8) {
      int scale = ColorType == 3 ? 1 : (Depth == 1 ? 255 : Depth == 2 ? 85 : 17);
      for (int x = 0; x < W; ++x) {
        int bit = x * Depth;
        int v = (r[size_t(bit / 8)] >> (8 - Depth - bit % 8)) & ((1 << Depth) - 1);
        out.push_back(uint8_t(v * scale));
      }
      continue;
    }
    int channels = ColorType == 2 ? 3 : ColorType == 6 ? 4 : ColorType == 4 ? 2 : 1;
    int sb = Depth / 8;
    for (int x = 0; x < W; ++x) {
      const uint8_t* px = r.data() + size_t(x) * channels * sb;
      for (int c = 0; c < channels; ++c) {
        int src = c;
        if ((ColorType == 2 || ColorType == 6) && c < 3) src = 2 - c;  // B, G, R
        if (sb == 1) {
          out.push_back(px[src]);
        } else {
          out.push_back(px[src * 2 + 1]);
          out.push_back(px[src * 2]);
        }
      }
    }
  }
  return out;
}

// A gradient with a little noise, so that every filter has work to do.
inline TImageData SmoothImage(int W, int H, TImageFormat Format, uint32_t Seed) {
  TImageData img;
  EXPECT_TRUE(CreateImage(W, H, Format, img));
  TImageFormatInfo info;
  QueryFormatInfo(Format, info);
  std::mt19937 rng(Seed);
  auto* p = static_cast<uint8_t*>(img.Bits);
  int B = info.BytesPerPixel;
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x)
      for (int b = 0; b < B; ++b) p[(size_t(y) * W + x) * B + b] = uint8_t(x * (3 + b) + y * (5 + b) + rng() % 3);
  if (img.Palette)
    for (int i = 0; i < 256; ++i) img.Palette[i].Color = rng();
  return img;
}

// 16-bit R, G, B, A of every pixel of the formats the PNG handler reads and
// writes, read straight from the memory layout.
inline std::vector<uint16_t> ToRGBA16(const TImageData& Image) {
  std::vector<uint16_t> out;
  const uint8_t* p = static_cast<const uint8_t*>(Image.Bits);
  const size_t n = size_t(Image.Width) * Image.Height;
  auto w = [&](size_t i) {
    uint16_t v;
    std::memcpy(&v, p + i * 2, 2);
    return v;
  };
  auto push = [&](uint32_t R, uint32_t G, uint32_t B, uint32_t A) {
    out.push_back(uint16_t(R));
    out.push_back(uint16_t(G));
    out.push_back(uint16_t(B));
    out.push_back(uint16_t(A));
  };
  for (size_t i = 0; i < n; ++i) {
    switch (Image.Format) {
      case fmtIndex8: {
        TColor32Rec c = Image.Palette[p[i]];
        push(c.R * 257u, c.G * 257u, c.B * 257u, c.A * 257u);
        break;
      }
      case fmtGray8: push(p[i] * 257u, p[i] * 257u, p[i] * 257u, 65535); break;
      case fmtA8Gray8: push(p[i * 2] * 257u, p[i * 2] * 257u, p[i * 2] * 257u, p[i * 2 + 1] * 257u); break;
      case fmtGray16: push(w(i), w(i), w(i), 65535); break;
      case fmtA16Gray16: push(w(i * 2), w(i * 2), w(i * 2), w(i * 2 + 1)); break;
      case fmtR8G8B8: push(p[i * 3 + 2] * 257u, p[i * 3 + 1] * 257u, p[i * 3] * 257u, 65535); break;
      case fmtA8R8G8B8: push(p[i * 4 + 2] * 257u, p[i * 4 + 1] * 257u, p[i * 4] * 257u, p[i * 4 + 3] * 257u); break;
      case fmtR16G16B16: push(w(i * 3 + 2), w(i * 3 + 1), w(i * 3), 65535); break;
      case fmtA16R16G16B16: push(w(i * 4 + 2), w(i * 4 + 1), w(i * 4), w(i * 4 + 3)); break;
      case fmtB16G16R16: push(w(i * 3), w(i * 3 + 1), w(i * 3 + 2), 65535); break;
      case fmtA16B16G16R16: push(w(i * 4), w(i * 4 + 1), w(i * 4 + 2), w(i * 4 + 3)); break;
      default: ADD_FAILURE() << "format " << Image.Format << " has no RGBA16 view"; return out;
    }
  }
  return out;
}

// A peer's decode (ImageMagick) of image Index of a file as 16-bit RGBA.
inline bool MagickRGBA16(const std::string& File, int Index, int32_t& W, int32_t& H, std::vector<uint16_t>& Rgba) {
  std::string source = "'" + File + "[" + std::to_string(Index) + "]'";
  std::string dims;
  if (TestSupport::RunCommand("identify -format '%w %h' " + source + " 2>/dev/null", &dims) != 0) return false;
  if (sscanf(dims.c_str(), "%d %d", &W, &H) != 2) return false;
  std::string raw;
  if (TestSupport::RunCommand("convert " + source + " -set colorspace sRGB -depth 16 -endian LSB rgba:- 2>/dev/null", &raw) != 0)
    return false;
  if (raw.size() != size_t(W) * H * 8) return false;
  Rgba.resize(size_t(W) * H * 4);
  std::memcpy(Rgba.data(), raw.data(), raw.size());
  return true;
}

// Compares two RGBA16 views; colours of pixels transparent in both do not
// count (a colour key may give them the background colour).
inline ::testing::AssertionResult SameVisiblePixels(const std::vector<uint16_t>& A, const std::vector<uint16_t>& B) {
  if (A.size() != B.size()) return ::testing::AssertionFailure() << "sizes " << A.size() << " and " << B.size();
  for (size_t i = 0; i < A.size(); i += 4) {
    if (A[i + 3] == 0 && B[i + 3] == 0) continue;
    for (size_t c = 0; c < 4; ++c)
      if (A[i + c] != B[i + c])
        return ::testing::AssertionFailure()
               << "pixel " << i / 4 << " channel " << c << ": " << A[i + c] << " vs " << B[i + c];
  }
  return ::testing::AssertionSuccess();
}

}  // namespace PngTest
