// libFuzzer target: arbitrary bytes through the Windows Bitmap reader.
#include "FuzzLoad.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) { return Fuzz::Load("bmp", Data, Size); }
