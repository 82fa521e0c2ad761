// libFuzzer target: arbitrary bytes through the JNG reader (JPEG colour with PNG or JPEG alpha).
#include "FuzzLoad.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) { return Fuzz::Load("jng", Data, Size); }
