// X Pixmap: a C source fragment whose quoted strings hold a values line, one
// line per colour and one line per pixel row. Loaded and written as
// A8R8G8B8; one image per file.
#pragma once

#include <string>
#include <unordered_map>
#include <vector>

#include "Imaging.h"

namespace Imaging {

// A hash list from 32-bit keys to short strings (at most 8 characters), in
// 257 buckets. Enumeration runs bucket by bucket, each in insertion order,
// and wraps around after the last item.
class TSimpleBucketList {
public:
  static constexpr int32_t BucketCount = 257;
  static constexpr size_t MaxDataLength = 8;

  TSimpleBucketList();
  // Appends AKey with AData unless AKey is present.
  void Add(uint32_t AKey, const std::string& AData);
  bool Exists(uint32_t AKey) const;
  std::string GetData(uint32_t AKey) const;
  void SetData(uint32_t AKey, const std::string& AData);
  // The key at the cursor, with its string in AData; advances the cursor.
  uint32_t EnumNext(std::string& AData);
  int32_t ItemCount() const { return FItemCount; }
  // Bucket of a key: (b3 + 11 b0 + 59 b2 + 119 b1) mod 257.
  static int32_t BucketOf(uint32_t AKey);

private:
  struct TBucketItem {
    uint32_t Key;
    std::string Data;
  };
  struct TBucket {
    int32_t Count = 0;
    int32_t ItemIdxStart = 0;
    std::vector<TBucketItem> Items;
  };
  TBucketItem* Find(uint32_t AKey);
  const TBucketItem* Find(uint32_t AKey) const;

  std::vector<TBucket> FBuckets;
  // Where each key sits in its bucket, so that lookups need not scan.
  std::unordered_map<uint32_t, int32_t> FIndex;
  int32_t FItemCount = 0;
  int32_t FABucket = 0;
  int32_t FAIndex = 0;
};

class TXPMFileFormat : public TImageFileFormat {
public:
  TXPMFileFormat();
  bool ReadImages(THandle Handle, TDynImageDataArray& Images, bool OnlyFirstLevel) override;
  bool WriteImages(THandle Handle, const TDynImageDataArray& Images, int32_t Index) override;
  void ConvertToAccepted(TImageData& Image, const TImageFormatInfo& Info) override;
  bool TestFormat(THandle Handle) override;
};

}  // namespace Imaging
