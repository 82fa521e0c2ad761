// File name masks and detection by content. The first bytes choose a mask
// and a name; the rest is detected as a stream.
#include <cstddef>
#include <cstdint>
#include <string>

#include "Imaging.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  static bool ready = (Imaging::InitImaging(), true);
  (void)ready;
  if (Size < 2 || Size > (1u << 20)) return 0;
  size_t maskLen = Data[0] % 32, nameLen = Data[1] % 64;
  size_t pos = 2;
  std::string mask(reinterpret_cast<const char*>(Data + pos), std::min(maskLen, Size - pos));
  pos += mask.size();
  std::string name(reinterpret_cast<const char*>(Data + pos), std::min(nameLen, Size - pos));
  pos += name.size();
  Imaging::MatchFileNameMask(name, mask);
  Imaging::IsSupportedFileName(name);
  Imaging::FindHandlerByExtension(mask);
  Imaging::TMemoryStream stream(std::vector<uint8_t>(Data + pos, Data + Size));
  std::string ext = Imaging::DetectStreamFormat(&stream);
  if (!ext.empty() && !Imaging::FindHandlerByExtension(ext)) __builtin_trap();
  // Detection must leave the stream where it was.
  if (stream.GetPosition() != 0) __builtin_trap();
  return 0;
}
