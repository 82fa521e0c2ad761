// Daggerfall game pictures: single pictures (IMG), picture sets (CIF, RCI),
// texture archives and sky archives, all palette-indexed. IMG and CIF can be
// written, in the game palette.
#pragma once

#include <array>
#include <mutex>
#include <string>

#include "Imaging.h"

namespace Imaging {

// Shared by the Daggerfall handlers and the Bethesda BSI handler: the
// 256-colour palette of pictures that carry none, the size-based format test
// and the conversion of foreign images into the palette.
class TElderFileFormat : public TImageFileFormat {
public:
  TElderFileFormat();
  void ConvertToAccepted(TImageData& Image, const TImageFormatInfo& Info) override;
  bool AcceptsImage(const TImageData& Image) const override;
  bool TestFormat(THandle Handle) override;

  // The palette as 256 red-green-blue triples (768 bytes).
  const uint8_t* Palette() const { return FPalette.data(); }
  // Copies 768 bytes of triples and rebuilds the palette of loaded pictures.
  void SetPalette(const uint8_t* Rgb);
  // The palette that loaded pictures receive and saved pictures must use.
  const TColor32Rec* ARGBPalette() const { return FARGBPalette.data(); }

protected:
  std::array<uint8_t, 768> FPalette{};
  std::array<TColor32Rec, 256> FARGBPalette{};
};

// Single pictures: a 12-byte header with raw or run-length coded pixels, or
// headerless files recognised by their size; an optional trailing palette.
class TIMGFileFormat : public TElderFileFormat {
public:
  TIMGFileFormat();
  bool ReadImages(THandle Handle, TDynImageDataArray& Images, bool OnlyFirstLevel) override;
  bool WriteImages(THandle Handle, const TDynImageDataArray& Images, int32_t Index) override;
};

// Picture sets: headered records one after the other, groups of run-length
// coded frames (with or without a leading picture), or headerless sets of
// equal pictures recognised by the file size.
class TCIFFileFormat : public TElderFileFormat {
public:
  TCIFFileFormat();
  bool ReadImages(THandle Handle, TDynImageDataArray& Images, bool OnlyFirstLevel) override;
  bool WriteImages(THandle Handle, const TDynImageDataArray& Images, int32_t Index) override;
};

// Texture archives: a directory of records, each holding one picture with
// 256-byte rows, frames of skip/count coded rows, or frames described by a
// table of raw and run-length coded rows. Load only.
class TTextureFileFormat : public TElderFileFormat {
public:
  TTextureFileFormat();
  bool ReadImages(THandle Handle, TDynImageDataArray& Images, bool OnlyFirstLevel) override;
  bool TestFormat(THandle Handle) override;
  // The cleaned name of the archive loaded last (by any thread).
  std::string LastTextureName() const;

private:
  mutable std::mutex FNameLock;
  std::string FLastTextureName;
};

// Sky archives: 64 pictures of 512 x 220 with 32 palettes, each shared by
// pictures i and i + 32. Load only.
class TSKYFileFormat : public TElderFileFormat {
public:
  TSKYFileFormat();
  bool ReadImages(THandle Handle, TDynImageDataArray& Images, bool OnlyFirstLevel) override;
  bool TestFormat(THandle Handle) override;
};

namespace Elder {

// Fills 256 entries from Bytes bytes of red-green-blue triples (entries
// beyond them black); entry 0 is transparent when TransparentZero is set,
// every other entry opaque.
void ConvertPalette(const uint8_t* Rgb, int32_t Bytes, TColor32Rec* Target, bool TransparentZero);

// Reading through the I/O table with the checks every reader of these
// formats needs: reads that must be complete, positions kept inside the
// data, and a bound on the picture memory a load may allocate, proportional
// to the size of the data (pictures are never larger than their data could
// describe by much; a hostile header cannot make a small file allocate
// gigabytes).
class TReader {
public:
  TReader(THandle Handle, const char* What);
  int32_t Size() const { return FSize; }
  int32_t Tell() const;
  int32_t Remaining() const { return FSize - Tell(); }
  bool AtEnd() const { return Tell() >= FSize; }
  // Moves to an absolute position, kept within [0, Size].
  void Seek(int64_t Position);
  // Reads exactly Count bytes or raises the truncation error.
  void Read(void* Buffer, int64_t Count);
  // Reads up to Count bytes; returns how many were read.
  int32_t ReadUpTo(void* Buffer, int32_t Count);
  uint8_t ReadByte();
  uint16_t ReadWord();
  // Appends a zero-filled picture of Width x Height in Format, with a copy of
  // Palette (256 entries) when one is given.
  TImageData& AddPicture(TDynImageDataArray& Images, int64_t Width, int64_t Height, TImageFormat Format,
                         const TColor32Rec* Palette = nullptr);
  [[noreturn]] void RaiseTruncated(int64_t Needed) const;
  const char* What() const { return FWhat; }

private:
  TIOFunctions FIO;
  THandle FHandle;
  const char* FWhat;
  int32_t FSize;
  int64_t FBudget;
};

}  // namespace Elder

}  // namespace Imaging
