// Median cut colour quantizer over 32-bit colours with alpha.
//
// The histogram is one pooled array of (colour, count) entries sorted by
// colour: every run of pixels is masked, radix sorted, collapsed into runs of
// equal colours and merged into it. Which order the colours of a box are kept
// in never changes a result (bounds, counts and sums do not depend on it), so
// the cut works on that array directly: every box owns a contiguous range and
// a split is an in-place partition of the box's range. Mapping looks colours
// up in per-channel bit sets of the boxes, which gives the first box (in
// palette order) containing a colour without visiting every box.
#include <algorithm>
#include <cstring>
#include <vector>

#include "ImagingFormats.h"

namespace Imaging {

namespace {

constexpr int32_t MaxBoxes = 4096;
// Pixels are read and processed in runs of this many.
constexpr int32_t ChunkPixels = 4096;
// Pixels sorted at a time while counting.
constexpr int32_t SortPixels = 1 << 22;

// Channel order of the boxes and of the cut: A, R, G, B. Shifts of each
// channel inside a packed 0xAARRGGBB colour.
constexpr int ChannelShift[4] = {24, 16, 8, 0};
constexpr int32_t ChannelWeight[4] = {1024, 612, 1202, 234};

inline int ChannelOf(uint32_t Color, int Channel) { return int((Color >> ChannelShift[Channel]) & 0xFF); }

// One colour of the histogram: the masked colour (0xAARRGGBB) and its pixel
// count. A colour whose count would pass 32 bits continues in a second entry.
struct TColorEntry {
  uint32_t Color;
  uint32_t Count;
};

struct TColorBox {
  int32_t Min[4], Max[4];  // per channel A, R, G, B; empty: 256 and -1
  int64_t Total;
  TColor32Rec Color;
  // Range of the box's colours in the histogram array (only during the cut).
  int32_t First, Last;
  // Cached split score and the channel that produced it.
  int64_t Score;
  int32_t ScoreChannel;
};

// Working storage of one thread's quantizations (several images may be
// reduced at once on several threads).
struct TQuantizer {
  std::vector<TColorEntry> Histogram;  // sorted by colour
  std::vector<TColorEntry> Runs;
  std::vector<uint32_t> Keys, Scratch;
  TColorBox Boxes[MaxBoxes];
  int32_t BoxCount = 0;
};

TQuantizer& Quantizer() {
  static thread_local TQuantizer Q;
  return Q;
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

// Sorts N keys (least significant byte first, skipping bytes that are the
// same in every key); returns the buffer that holds the result.
uint32_t* RadixSort(uint32_t* Keys, uint32_t* Scratch, size_t N) {
  static thread_local size_t Counts[4][256];
  std::memset(Counts, 0, sizeof(Counts));
  for (size_t i = 0; i < N; ++i) {
    uint32_t K = Keys[i];
    ++Counts[0][K & 0xFF];
    ++Counts[1][(K >> 8) & 0xFF];
    ++Counts[2][(K >> 16) & 0xFF];
    ++Counts[3][K >> 24];
  }
  uint32_t* Src = Keys;
  uint32_t* Dst = Scratch;
  for (int d = 0; d < 4; ++d) {
    const int Shift = 8 * d;
    if (Counts[d][(Keys[0] >> Shift) & 0xFF] == N) continue;
    size_t Offset[256];
    size_t Sum = 0;
    for (int b = 0; b < 256; ++b) {
      Offset[b] = Sum;
      Sum += Counts[d][b];
    }
    for (size_t i = 0; i < N; ++i) {
      uint32_t K = Src[i];
      Dst[Offset[(K >> Shift) & 0xFF]++] = K;
    }
    std::swap(Src, Dst);
  }
  return Src;
}

// Merges the sorted Runs into the sorted histogram, adding the counts of
// colours present in both.
void MergeRuns(std::vector<TColorEntry>& Histogram, const std::vector<TColorEntry>& Runs) {
  if (Histogram.empty()) {
    Histogram = Runs;
    return;
  }
  // Merge from the back into the grown array, then close the gap that equal
  // colours leave at the front.
  const size_t Old = Histogram.size();
  Histogram.resize(Old + Runs.size());
  size_t i = Old, j = Runs.size(), Out = Histogram.size();
  while (j > 0) {
    if (i > 0 && Histogram[i - 1].Color > Runs[j - 1].Color) {
      Histogram[--Out] = Histogram[--i];
    } else if (i > 0 && Histogram[i - 1].Color == Runs[j - 1].Color) {
      uint64_t Sum = uint64_t(Histogram[i - 1].Count) + Runs[j - 1].Count;
      if (Sum > 0xFFFFFFFFu) {
        Histogram[--Out] = Runs[--j];
        Histogram[--Out] = Histogram[--i];
      } else {
        TColorEntry E{Runs[j - 1].Color, uint32_t(Sum)};
        --i;
        --j;
        Histogram[--Out] = E;
      }
    } else {
      Histogram[--Out] = Runs[--j];
    }
  }
  // Entries [0, i) are already in place; [Out, end) follow them.
  if (Out != i) {
    std::memmove(&Histogram[i], &Histogram[Out], (Histogram.size() - Out) * sizeof(TColorEntry));
    Histogram.resize(i + (Histogram.size() - Out));
  }
}

void CountPixels(TQuantizer& Q, int32_t PixelCount, const uint8_t* Src, PImageFormatInfo SrcInfo, uint8_t Mask) {
  const uint32_t Mask32 = uint32_t(Mask) * 0x01010101u;
  const size_t Batch = size_t(std::min(PixelCount, SortPixels));
  Q.Keys.resize(Batch);
  Q.Scratch.resize(Batch);
  for (int64_t Start = 0; Start < PixelCount; Start += SortPixels) {
    const int32_t N = int32_t(std::min<int64_t>(SortPixels, PixelCount - Start));
    uint32_t* Keys = Q.Keys.data();
    for (int32_t Done = 0; Done < N; Done += ChunkPixels) {
      if ((Done & ((ChunkPixels << 8) - 1)) == 0) PollCancel();
      const int32_t Count = std::min(ChunkPixels, N - Done);
      ReadColors(Src, Start + Done, Count, SrcInfo, Keys + Done);
      for (int32_t i = 0; i < Count; ++i) Keys[Done + i] &= Mask32;
    }
    const uint32_t* Sorted = RadixSort(Keys, Q.Scratch.data(), size_t(N));
    Q.Runs.clear();
    for (int32_t i = 0; i < N;) {
      int32_t j = i + 1;
      while (j < N && Sorted[j] == Sorted[i]) ++j;
      Q.Runs.push_back(TColorEntry{Sorted[i], uint32_t(j - i)});
      i = j;
    }
    MergeRuns(Q.Histogram, Q.Runs);
  }
  ReleaseStorage(Q.Keys);
  ReleaseStorage(Q.Scratch);
  ReleaseStorage(Q.Runs);
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

// Running bounds and count of the colours sent to one box.
struct TBoxBounds {
  // Bytes of the packed colour are compared one channel at a time.
  int32_t Min[4] = {256, 256, 256, 256}, Max[4] = {-1, -1, -1, -1};
  int64_t Total = 0;
  inline void Add(const TColorEntry& E) {
    for (int c = 0; c < 4; ++c) {
      int32_t V = ChannelOf(E.Color, c);
      Min[c] = V < Min[c] ? V : Min[c];
      Max[c] = V > Max[c] ? V : Max[c];
    }
    Total += E.Count;
  }
};

// Installs bounds and count in the box and scores it: the largest weighted
// channel range, the earlier channel (A, R, G, B) winning ties.
void SetBox(TColorBox& Box, const TBoxBounds& Bounds) {
  Box.Score = -1;
  Box.ScoreChannel = 0;
  for (int c = 0; c < 4; ++c) {
    Box.Min[c] = Bounds.Min[c];
    Box.Max[c] = Bounds.Max[c];
    int64_t S = int64_t(Bounds.Max[c] - Bounds.Min[c]) * ChannelWeight[c];
    if (S > Box.Score) {
      Box.Score = S;
      Box.ScoreChannel = c;
    }
  }
  Box.Total = Bounds.Total;
}

void CutBoxes(TQuantizer& Q, TColor32Rec* Palette, uint8_t Mask, int32_t MaxColors) {
  std::vector<TColorEntry>& Colors = Q.Histogram;
  Q.BoxCount = 1;
  TColorBox& First = Q.Boxes[0];
  MakeEmptyBox(First);

  if (Colors.empty()) {
    // Nothing was counted: one empty box and an all-black palette.
    for (int32_t i = 0; i < MaxColors; ++i) Palette[i].Color = 0xFF000000u;
    return;
  }

  TBoxBounds All;
  for (const TColorEntry& E : Colors) All.Add(E);
  First.First = 0;
  First.Last = int32_t(Colors.size());
  SetBox(First, All);

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
    const int Shift = ChannelShift[Box.ScoreChannel];
    const uint32_t Split = uint32_t((Box.Min[Box.ScoreChannel] + Box.Max[Box.ScoreChannel]) / 2);
    // Colours with the channel value up to the split stay, the others move to
    // the new box at the end of the range.
    TBoxBounds Low, High;
    TColorEntry* E = Colors.data();
    int32_t i = Box.First, j = Box.Last;
    while (i < j) {
      if (((E[i].Color >> Shift) & 0xFF) <= Split) {
        Low.Add(E[i]);
        ++i;
      } else {
        --j;
        std::swap(E[i], E[j]);
        High.Add(E[j]);
      }
    }
    MakeEmptyBox(NewBox);
    NewBox.First = i;
    NewBox.Last = Box.Last;
    Box.Last = i;
    SetBox(Box, Low);
    SetBox(NewBox, High);
    ++Q.BoxCount;
  }

  // Palette colour of every box: the count-weighted mean of its colours.
  for (int32_t b = 0; b < Q.BoxCount; ++b) {
    TColorBox& Box = Q.Boxes[b];
    uint64_t Sum[4] = {0, 0, 0, 0};
    for (int32_t i = Box.First; i < Box.Last; ++i) {
      uint32_t C = Colors[size_t(i)].Color;
      uint64_t N = Colors[size_t(i)].Count;
      for (int c = 0; c < 4; ++c) Sum[c] += N * uint64_t(ChannelOf(C, c));
    }
    uint64_t Total = uint64_t(Box.Total);
    Box.Color.A = uint8_t(Sum[0] / Total);
    Box.Color.R = uint8_t(Sum[1] / Total);
    Box.Color.G = uint8_t(Sum[2] / Total);
    Box.Color.B = uint8_t(Sum[3] / Total);
    Box.First = Box.Last = 0;
  }
  ReleaseStorage(Colors);

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
    if ((Start & ((int64_t(ChunkPixels) << 8) - 1)) == 0) PollCancel();
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
    ReleaseStorage(Q.Histogram);
  }
  if (Count) CountPixels(Q, PixelCount, static_cast<const uint8_t*>(SrcBits), SrcInfo, Mask);
  if (Stages & raMakeColorMap) CutBoxes(Q, Palette, Mask, MaxColors);
  if (Map)
    MapPixels(Q, PixelCount, static_cast<const uint8_t*>(SrcBits), SrcInfo, static_cast<uint8_t*>(DstBits), DstInfo);
}

}  // namespace Imaging
