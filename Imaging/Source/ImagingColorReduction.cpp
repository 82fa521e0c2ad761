// Median cut colour quantizer over 32-bit colours with alpha.
//
// The histogram is a hash table of 32768 buckets, each a singly linked list of
// colour nodes taken from one pool. Cutting copies the nodes into one array in
// which every box owns a contiguous range, so a split is an in-place partition
// of the box's range. Mapping looks colours up in per-channel bit sets of the
// boxes, which gives the first box (in palette order) containing a colour
// without visiting every box.
#include <algorithm>
#include <cstring>
#include <vector>

#include "ImagingFormats.h"

namespace Imaging {

namespace {

constexpr int32_t HashBuckets = 0x8000;
constexpr int32_t MaxBoxes = 4096;
constexpr int32_t NoNode = -1;
// Pixels are read and processed in runs of this many.
constexpr int32_t ChunkPixels = 4096;

// Channel order of the boxes and of the cut: A, R, G, B. Shifts of each
// channel inside a packed 0xAARRGGBB colour.
constexpr int ChannelShift[4] = {24, 16, 8, 0};
constexpr int32_t ChannelWeight[4] = {1024, 612, 1202, 234};

inline int ChannelOf(uint32_t Color, int Channel) { return int((Color >> ChannelShift[Channel]) & 0xFF); }

struct THistNode {
  uint32_t Color;  // masked colour, 0xAARRGGBB
  uint32_t Count;
  int32_t Next;
};

struct TCutEntry {
  uint32_t Color;
  uint32_t Count;
};

struct TColorBox {
  int32_t Min[4], Max[4];  // per channel A, R, G, B; empty: 256 and -1
  int64_t Total;
  TColor32Rec Color;
  // Range of the box's colours in the cut array (only during the cut).
  int32_t First, Last;
  // Cached split score and the channel that produced it.
  int64_t Score;
  int32_t ScoreChannel;
};

// Process-wide working storage: one quantization at a time.
struct TQuantizer {
  int32_t Heads[HashBuckets];
  std::vector<THistNode> Nodes;
  std::vector<TCutEntry> Cut;
  TColorBox Boxes[MaxBoxes];
  int32_t BoxCount = 0;

  TQuantizer() { std::fill(std::begin(Heads), std::end(Heads), NoNode); }
};

TQuantizer& Quantizer() {
  static TQuantizer* Q = new TQuantizer();
  return *Q;
}

inline uint32_t HashColor(uint32_t C) {
  uint32_t B = C & 0xFF, G = (C >> 8) & 0xFF, R = (C >> 16) & 0xFF, A = C >> 24;
  return (A + 11 * B + 59 * R + 119 * G) & 0x7FFF;
}

// Drops the storage of a very large histogram once it is no longer needed.
template <typename T>
void ReleaseStorage(std::vector<T>& V) {
  if (V.capacity() > (size_t(1) << 20)) {
    std::vector<T>().swap(V);
  } else {
    V.clear();
  }
}

// Reads Count pixels starting at pixel Start as 0xAARRGGBB values. The common
// 8-bit colour formats are read directly; everything else goes through the
// format's 32-bit access.
void ReadColors(const uint8_t* Bits, int64_t Start, int32_t Count, PImageFormatInfo Info, uint32_t* Out) {
  const int Bpp = Info->BytesPerPixel;
  const uint8_t* P = Bits + Start * Bpp;
  switch (Info->Format) {
    case fmtA8R8G8B8:
      std::memcpy(Out, P, size_t(Count) * 4);
      break;
    case fmtX8R8G8B8:
      for (int32_t i = 0; i < Count; ++i, P += 4)
        Out[i] = uint32_t(P[0]) | (uint32_t(P[1]) << 8) | (uint32_t(P[2]) << 16) | 0xFF000000u;
      break;
    case fmtR8G8B8:
      for (int32_t i = 0; i < Count; ++i, P += 3)
        Out[i] = uint32_t(P[0]) | (uint32_t(P[1]) << 8) | (uint32_t(P[2]) << 16) | 0xFF000000u;
      break;
    default:
      for (int32_t i = 0; i < Count; ++i, P += Bpp) Out[i] = Info->GetPixel32(P, Info, nullptr).Color;
      break;
  }
}

// ---------------------------------------------------------------------------
// Stage 2: counting
// ---------------------------------------------------------------------------

void CountPixels(TQuantizer& Q, int32_t PixelCount, const uint8_t* Src, PImageFormatInfo SrcInfo, uint8_t Mask) {
  const uint32_t Mask32 = uint32_t(Mask) * 0x01010101u;
  // A direct-mapped cache of recently seen colours in front of the buckets:
  // a hit goes straight to the colour's node, a miss walks the bucket as
  // usual. It only shortens the search; the histogram is the same.
  int CacheBits = 10;
  while (CacheBits < 16 && (int64_t(1) << CacheBits) < PixelCount) ++CacheBits;
  const uint32_t CacheShift = 32 - CacheBits;
  std::vector<int32_t> Cache(size_t(1) << CacheBits, NoNode);

  uint32_t Colors[ChunkPixels];
  uint32_t LastColor = 0;
  int32_t LastNode = NoNode;
  for (int64_t Start = 0; Start < PixelCount; Start += ChunkPixels) {
    int32_t Count = int32_t(std::min<int64_t>(ChunkPixels, PixelCount - Start));
    ReadColors(Src, Start, Count, SrcInfo, Colors);
    for (int32_t i = 0; i < Count; ++i) {
      uint32_t C = Colors[i] & Mask32;
      if (LastNode != NoNode && C == LastColor) {
        ++Q.Nodes[size_t(LastNode)].Count;
        continue;
      }
      int32_t& Slot = Cache[(C * 0x9E3779B1u) >> CacheShift];
      int32_t Node = Slot;
      if (Node == NoNode || Q.Nodes[size_t(Node)].Color != C) {
        uint32_t H = HashColor(C);
        Node = Q.Heads[H];
        while (Node != NoNode && Q.Nodes[size_t(Node)].Color != C) Node = Q.Nodes[size_t(Node)].Next;
        if (Node == NoNode) {
          Node = int32_t(Q.Nodes.size());
          Q.Nodes.push_back(THistNode{C, 0, Q.Heads[H]});
          Q.Heads[H] = Node;
        }
        Slot = Node;
      }
      ++Q.Nodes[size_t(Node)].Count;
      LastColor = C;
      LastNode = Node;
    }
  }
}

// ---------------------------------------------------------------------------
// Stage 4: cutting
// ---------------------------------------------------------------------------

void MakeEmptyBox(TColorBox& Box) {
  for (int c = 0; c < 4; ++c) {
    Box.Min[c] = 256;
    Box.Max[c] = -1;
  }
  Box.Total = 0;
  Box.Color.Color = 0;
  Box.First = Box.Last = 0;
  Box.Score = 0;
  Box.ScoreChannel = 0;
}

// Bounds and total count of the box's range in the cut array, and its score:
// the largest weighted channel range, the earlier channel winning ties.
void MeasureBox(TColorBox& Box, const std::vector<TCutEntry>& Cut) {
  int32_t Min[4] = {256, 256, 256, 256}, Max[4] = {-1, -1, -1, -1};
  int64_t Total = 0;
  for (int32_t i = Box.First; i < Box.Last; ++i) {
    uint32_t C = Cut[size_t(i)].Color;
    for (int c = 0; c < 4; ++c) {
      int32_t V = ChannelOf(C, c);
      Min[c] = std::min(Min[c], V);
      Max[c] = std::max(Max[c], V);
    }
    Total += Cut[size_t(i)].Count;
  }
  Box.Score = int64_t(Max[0] - Min[0]) * ChannelWeight[0];
  Box.ScoreChannel = 0;
  for (int c = 0; c < 4; ++c) {
    Box.Min[c] = Min[c];
    Box.Max[c] = Max[c];
    int64_t S = int64_t(Max[c] - Min[c]) * ChannelWeight[c];
    if (S > Box.Score) {
      Box.Score = S;
      Box.ScoreChannel = c;
    }
  }
  Box.Total = Total;
}

void CutBoxes(TQuantizer& Q, TColor32Rec* Palette, uint8_t Mask, int32_t MaxColors) {
  Q.BoxCount = 1;
  TColorBox& First = Q.Boxes[0];
  MakeEmptyBox(First);

  // Move the nodes into the cut array, bucket by bucket; the buckets become
  // empty and the pool is released.
  Q.Cut.clear();
  Q.Cut.reserve(Q.Nodes.size());
  for (int32_t H = 0; H < HashBuckets; ++H) {
    for (int32_t Node = Q.Heads[H]; Node != NoNode; Node = Q.Nodes[size_t(Node)].Next)
      Q.Cut.push_back(TCutEntry{Q.Nodes[size_t(Node)].Color, Q.Nodes[size_t(Node)].Count});
    Q.Heads[H] = NoNode;
  }
  ReleaseStorage(Q.Nodes);

  if (Q.Cut.empty()) {
    // Nothing was counted: one empty box and an all-black palette.
    for (int32_t i = 0; i < MaxColors; ++i) Palette[i].Color = 0xFF000000u;
    return;
  }

  First.First = 0;
  First.Last = int32_t(Q.Cut.size());
  MeasureBox(First, Q.Cut);

  while (Q.BoxCount < MaxColors) {
    int32_t Picked = -1;
    int64_t BestScore = 0;
    for (int32_t b = 0; b < Q.BoxCount; ++b) {
      if (Q.Boxes[b].Score > BestScore) {
        BestScore = Q.Boxes[b].Score;
        Picked = b;
      }
    }
    if (Picked < 0) break;

    TColorBox& Box = Q.Boxes[Picked];
    TColorBox& NewBox = Q.Boxes[Q.BoxCount];
    const int Channel = Box.ScoreChannel;
    const int Shift = ChannelShift[Channel];
    const uint32_t Split = uint32_t((Box.Min[Channel] + Box.Max[Channel]) / 2);
    // Colours with the channel value up to the split stay, the others move to
    // the new box at the end of the range.
    int32_t i = Box.First, j = Box.Last;
    while (i < j) {
      if (((Q.Cut[size_t(i)].Color >> Shift) & 0xFF) <= Split) {
        ++i;
      } else {
        --j;
        std::swap(Q.Cut[size_t(i)], Q.Cut[size_t(j)]);
      }
    }
    MakeEmptyBox(NewBox);
    NewBox.First = i;
    NewBox.Last = Box.Last;
    Box.Last = i;
    MeasureBox(Box, Q.Cut);
    MeasureBox(NewBox, Q.Cut);
    ++Q.BoxCount;
  }

  // Palette colour of every box: the count-weighted mean of its colours.
  for (int32_t b = 0; b < Q.BoxCount; ++b) {
    TColorBox& Box = Q.Boxes[b];
    uint64_t Sum[4] = {0, 0, 0, 0};
    for (int32_t i = Box.First; i < Box.Last; ++i) {
      uint32_t C = Q.Cut[size_t(i)].Color;
      uint64_t N = Q.Cut[size_t(i)].Count;
      for (int c = 0; c < 4; ++c) Sum[c] += N * uint64_t(ChannelOf(C, c));
    }
    uint64_t Total = uint64_t(Box.Total);
    Box.Color.A = uint8_t(Sum[0] / Total);
    Box.Color.R = uint8_t(Sum[1] / Total);
    Box.Color.G = uint8_t(Sum[2] / Total);
    Box.Color.B = uint8_t(Sum[3] / Total);
    Box.First = Box.Last = 0;
  }
  ReleaseStorage(Q.Cut);

  // Widen the bounds to cover the bits the mask removed.
  const int32_t Low = int32_t(Mask ^ 0xFF);
  for (int32_t b = 0; b < Q.BoxCount; ++b) {
    for (int c = 0; c < 4; ++c) {
      Q.Boxes[b].Min[c] &= Mask;
      Q.Boxes[b].Max[c] = (Q.Boxes[b].Max[c] & Mask) + Low;
    }
  }

  // Largest count first; the first of equal counts moves up.
  for (int32_t j = 0; j < Q.BoxCount - 1; ++j) {
    int32_t Largest = j;
    for (int32_t k = j + 1; k < Q.BoxCount; ++k)
      if (Q.Boxes[k].Total > Q.Boxes[Largest].Total) Largest = k;
    if (Largest != j) std::swap(Q.Boxes[j], Q.Boxes[Largest]);
  }

  for (int32_t i = 0; i < MaxColors; ++i)
    Palette[i].Color = i < Q.BoxCount ? Q.Boxes[i].Color.Color : 0xFF000000u;
}

// ---------------------------------------------------------------------------
// Stage 8: mapping
// ---------------------------------------------------------------------------

void MapPixels(TQuantizer& Q, int32_t PixelCount, const uint8_t* Src, PImageFormatInfo SrcInfo, uint8_t* Dst,
               PImageFormatInfo DstInfo) {
  const int DstBpp = DstInfo->BytesPerPixel;
  IMAGING_ASSERT(DstBpp == 1 || DstBpp == 2 || DstBpp == 4);
  // For every channel and value, the set of boxes whose range holds the
  // value; the first box holding a colour is the lowest bit of the four sets
  // of its channels ANDed together.
  const int32_t Words = std::max<int32_t>(1, (Q.BoxCount + 63) / 64);
  std::vector<uint64_t> Sets(size_t(4) * 256 * size_t(Words), 0);
  for (int32_t b = 0; b < Q.BoxCount; ++b) {
    const TColorBox& Box = Q.Boxes[b];
    for (int c = 0; c < 4; ++c) {
      int32_t Lo = std::max(Box.Min[c], 0), Hi = std::min(Box.Max[c], 255);
      for (int32_t v = Lo; v <= Hi; ++v)
        Sets[(size_t(c) * 256 + size_t(v)) * size_t(Words) + size_t(b / 64)] |= uint64_t(1) << (b % 64);
    }
  }
  const uint64_t* SetA = Sets.data();
  const uint64_t* SetR = SetA + 256 * size_t(Words);
  const uint64_t* SetG = SetR + 256 * size_t(Words);
  const uint64_t* SetB = SetG + 256 * size_t(Words);

  uint32_t Colors[ChunkPixels];
  uint32_t LastColor = 0, LastIndex = 0;
  bool HaveLast = false;
  for (int64_t Start = 0; Start < PixelCount; Start += ChunkPixels) {
    int32_t Count = int32_t(std::min<int64_t>(ChunkPixels, PixelCount - Start));
    ReadColors(Src, Start, Count, SrcInfo, Colors);
    uint8_t* Out = Dst + Start * DstBpp;
    for (int32_t i = 0; i < Count; ++i) {
      uint32_t C = Colors[i];
      uint32_t Index;
      if (HaveLast && C == LastColor) {
        Index = LastIndex;
      } else {
        const uint64_t* A = SetA + size_t(C >> 24) * size_t(Words);
        const uint64_t* R = SetR + size_t((C >> 16) & 0xFF) * size_t(Words);
        const uint64_t* G = SetG + size_t((C >> 8) & 0xFF) * size_t(Words);
        const uint64_t* B = SetB + size_t(C & 0xFF) * size_t(Words);
        Index = 0;
        for (int32_t w = 0; w < Words; ++w) {
          uint64_t Hit = A[w] & R[w] & G[w] & B[w];
          if (Hit) {
            Index = uint32_t(w * 64 + __builtin_ctzll(Hit));
            break;
          }
        }
        LastColor = C;
        LastIndex = Index;
        HaveLast = true;
      }
      switch (DstBpp) {
        case 1:
          Out[i] = uint8_t(Index);
          break;
        case 2: {
          uint16_t V = uint16_t(Index);
          std::memcpy(Out + 2 * i, &V, 2);
          break;
        }
        default:
          std::memcpy(Out + 4 * i, &Index, 4);
          break;
      }
    }
  }
}

}  // namespace

void QuantizeMedianCut(int32_t PixelCount, const void* SrcBits, void* DstBits, int32_t Stages,
                       TColor32Rec* Palette, uint8_t Mask, int32_t MaxColors, PImageFormatInfo DstInfo,
                       PImageFormatInfo SrcInfo) {
  IMAGING_ASSERT(PixelCount >= 0);
  MaxColors = std::clamp<int32_t>(MaxColors, 2, MaxBoxes);
  const bool Count = (Stages & raUpdateHistogram) != 0;
  const bool Map = (Stages & raMapImage) != 0;
  if (Count || Map) {
    IMAGING_ASSERT(SrcInfo != nullptr && !SrcInfo->IsSpecial && !SrcInfo->IsIndexed);
    IMAGING_ASSERT(PixelCount == 0 || SrcBits != nullptr);
  }
  if (Map) IMAGING_ASSERT(DstInfo != nullptr && (PixelCount == 0 || DstBits != nullptr));
  if (Stages & raMakeColorMap) IMAGING_ASSERT(Palette != nullptr);

  TQuantizer& Q = Quantizer();
  if (Stages & raCreateHistogram) {
    std::fill(std::begin(Q.Heads), std::end(Q.Heads), NoNode);
    Q.Nodes.clear();
  }
  if (Count) CountPixels(Q, PixelCount, static_cast<const uint8_t*>(SrcBits), SrcInfo, Mask);
  if (Stages & raMakeColorMap) CutBoxes(Q, Palette, Mask, MaxColors);
  if (Map)
    MapPixels(Q, PixelCount, static_cast<const uint8_t*>(SrcBits), SrcInfo, static_cast<uint8_t*>(DstBits), DstInfo);
}

}  // namespace Imaging
